// The countdowns behind file_fail_call and net_fail_send, shared by both backends.
#include "platform/fault.h"

#include <atomic>
#include <cstdint>

#include "platform/file.h"
#include "platform/net.h"

namespace {

std::atomic<std::int32_t> file_calls_left{0};
std::atomic<std::int32_t> sends_left{0};

// Counts one call; true for the one the countdown was armed for.
bool fires(std::atomic<std::int32_t> *left) {
    std::int32_t value = left->load();
    while (value > 0) {
        if (left->compare_exchange_weak(value, value - 1)) return value == 1;
    }
    return false;
}

}  // namespace

void file_fail_call(std::int32_t n) { file_calls_left.store(n); }
void net_fail_send(std::int32_t n) { sends_left.store(n); }
bool file_fault_fires() { return fires(&file_calls_left); }
bool send_fault_fires() { return fires(&sends_left); }
