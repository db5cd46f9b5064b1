// Tick, sleep and local time for Windows.
#include "platform/clock.h"

#include <windows.h>

#include <atomic>

static std::atomic<std::uint32_t> tick_bias{0};
static std::atomic<void (*)(std::uint32_t)> sleep_hook{nullptr};

std::uint32_t clock_tick_ms() {
    return static_cast<std::uint32_t>(GetTickCount()) + tick_bias.load(std::memory_order_relaxed);
}

void clock_sleep_ms(std::uint32_t ms) {
    void (*hook)(std::uint32_t) = sleep_hook.load();
    if (hook != nullptr) {
        hook(ms);
        return;
    }
    Sleep(ms);
}

LocalTime clock_local_time() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

void clock_set_tick_bias(std::uint32_t bias) { tick_bias.store(bias, std::memory_order_relaxed); }

void clock_set_sleep_hook(void (*hook)(std::uint32_t ms)) { sleep_hook.store(hook); }
