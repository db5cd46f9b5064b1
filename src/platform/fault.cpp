// The countdowns behind the fault hooks (file_fail_call, net_fail_send, platform_fail_call),
// shared by both backends.
#include "platform/fault.h"

#include <atomic>
#include <cstdint>

#include "platform/clock.h"
#include "platform/faults.h"
#include "platform/file.h"
#include "platform/net.h"

namespace {

std::atomic<std::int32_t> file_calls_left{0};
std::atomic<std::int32_t> sends_left{0};
std::atomic<std::int32_t> calls_left{0};
std::atomic<std::int64_t> calls_counted{0};
std::atomic<std::uint32_t> lookup_delay_ms{0};
std::atomic<std::int32_t> lookups_delayed{0};
thread_local int thread_exempt = 0;

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
void platform_fail_call(std::int32_t n) { calls_left.store(n); }
void net_delay_lookup(std::uint32_t ms) { lookup_delay_ms.store(ms); }

std::int32_t net_lookups_delayed() { return lookups_delayed.load(); }

void lookup_delay() {
    std::uint32_t ms = lookup_delay_ms.load();
    if (ms == 0) return;
    lookups_delayed.fetch_add(1);
    clock_sleep_ms(ms);
    lookups_delayed.fetch_sub(1);
}
std::int64_t platform_calls_counted() { return calls_counted.load(); }
void platform_fault_exempt_thread(int exempt) { thread_exempt = exempt; }

bool platform_fault_fires() {
    if (thread_exempt != 0) return false;
    calls_counted.fetch_add(1, std::memory_order_relaxed);
    return fires(&calls_left);
}

// Both countdowns count this call: neither may skip a call because the other fired.
bool file_fault_fires() {
    bool own = fires(&file_calls_left);
    return platform_fault_fires() || own;
}

bool send_fault_fires() {
    bool own = fires(&sends_left);
    return platform_fault_fires() || own;
}
