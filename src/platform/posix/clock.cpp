// Monotonic tick, sleep and local time for Linux.
#include "platform/clock.h"

#include <errno.h>
#include <time.h>

#include <atomic>

#include "platform/posix/posix_time.h"

static std::atomic<std::uint32_t> tick_bias{0};
static std::atomic<void (*)(std::uint32_t)> sleep_hook{nullptr};

void posix_cond_init_monotonic(pthread_cond_t *cond) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
}

timespec posix_deadline_after(std::uint32_t timeout_ms) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    now.tv_sec += timeout_ms / 1000;
    now.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (now.tv_nsec >= 1000000000L) {
        now.tv_sec += 1;
        now.tv_nsec -= 1000000000L;
    }
    return now;
}

std::uint64_t posix_monotonic_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

std::uint32_t clock_tick_ms() {
    return static_cast<std::uint32_t>(posix_monotonic_ms()) +
           tick_bias.load(std::memory_order_relaxed);
}

void clock_sleep_ms(std::uint32_t ms) {
    void (*hook)(std::uint32_t) = sleep_hook.load();
    if (hook != nullptr) {
        hook(ms);
        return;
    }
    timespec rest{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

LocalTime clock_local_time() {
    time_t now = time(nullptr);
    tm parts{};
    localtime_r(&now, &parts);
    return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                     parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

void clock_set_tick_bias(std::uint32_t bias) { tick_bias.store(bias, std::memory_order_relaxed); }

void clock_set_sleep_hook(void (*hook)(std::uint32_t ms)) { sleep_hook.store(hook); }
