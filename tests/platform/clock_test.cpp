// The wrapping tick, sleep and local time.
#include <gtest/gtest.h>

#include "platform/clock.h"

namespace {

TEST(Clock, SleepAdvancesTheTick) {
    std::uint32_t start = clock_tick_ms();
    clock_sleep_ms(100);
    std::uint32_t elapsed = clock_tick_ms() - start;
    // The Windows tick moves in steps of up to about 16 ms, and wine's is stepped by its server, which
    // lags under load: a difference may come out a step or two short.
    EXPECT_GE(elapsed, 65u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(Clock, UnsignedDifferencesSurviveTheWrap) {
    // Put the tick 50 ms before the wrap: a difference taken across it is still the elapsed time.
    std::uint32_t now = clock_tick_ms();
    clock_set_tick_bias(0xFFFFFFFFu - 50u - now);
    std::uint32_t before = clock_tick_ms();
    clock_sleep_ms(150);
    std::uint32_t after = clock_tick_ms();
    clock_set_tick_bias(0);
    EXPECT_GT(before, 0xFFFFFF00u);
    EXPECT_LT(after, 0x10000u);  // wrapped
    EXPECT_GE(after - before, 120u);  // wine's tick is coarse
    EXPECT_LT(after - before, 5000u);
}

TEST(Clock, LocalTimeIsAPlausibleCalendarTime) {
    LocalTime now = clock_local_time();
    EXPECT_GE(now.year, 2020);
    EXPECT_LE(now.year, 2200);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
    EXPECT_GE(now.day, 1);
    EXPECT_LE(now.day, 31);
    EXPECT_LE(now.hour, 23);
    EXPECT_LE(now.minute, 59);
    EXPECT_LE(now.second, 60);
}

}  // namespace
