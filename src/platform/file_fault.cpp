// The countdown behind file_fail_call, shared by both file backends.
#include "platform/file.h"
#include "platform/file_fault.h"

#include <atomic>

static std::atomic<std::int32_t> calls_until_failure{0};

void file_fail_call(std::int32_t n) { calls_until_failure.store(n); }

bool file_fault_fires() {
    std::int32_t left = calls_until_failure.load();
    while (left > 0) {
        if (calls_until_failure.compare_exchange_weak(left, left - 1)) return left == 1;
    }
    return false;
}
