// Time for the gateway: a wrapping 32-bit millisecond tick for every time-out, sleep, and local
// wall-clock time for the access log.
#pragma once

#include <cstdint>

// Milliseconds since an arbitrary start, wrapping at 2^32. Compare two ticks only by their unsigned
// difference (later - earlier), never by "<".
std::uint32_t clock_tick_ms();

// Sleeps at least about ms milliseconds.
void clock_sleep_ms(std::uint32_t ms);

struct LocalTime {
    std::int32_t year;    // e.g. 1999
    std::int32_t month;   // 1-12
    std::int32_t day;     // 1-31
    std::int32_t hour;    // 0-23
    std::int32_t minute;  // 0-59
    std::int32_t second;  // 0-59 (60 on a leap second)
};

// The local wall-clock time now.
LocalTime clock_local_time();

// Test hook: adds bias to every later clock_tick_ms(), so that a test can run across the wrap.
void clock_set_tick_bias(std::uint32_t bias);

// Test hook: while set, clock_sleep_ms(ms) calls hook(ms) instead of sleeping, on the sleeping
// thread; a single-threaded harness (a fuzz target) lets time pass at once by moving the tick bias
// on. Null: real sleeps again.
void clock_set_sleep_hook(void (*hook)(std::uint32_t ms));
