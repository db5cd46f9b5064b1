// The time-outs of a port as the gateway keeps them: what the file holds, turned into the
// milliseconds that the line and the relay wait, never wrapped.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "settings/settings.h"

namespace {

constexpr std::int32_t INT32_LOW = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t INT32_HIGH = std::numeric_limits<std::int32_t>::max();

TEST(Settings, TimeOutsFromTheFileAreKeptWithinTheTicksRange) {
    EXPECT_EQ(IDLE_TIMEOUT_S_MAX, 2147483);
    struct Case {
        std::int32_t stored;
        std::uint32_t idle_ms;  // idle_timeout_s = stored
        std::uint32_t wait_ms;  // connect_timeout_ms and disconnect_timeout_ms = stored
    };
    constexpr Case CASES[] = {
        {0, 0, 0},
        {1, 1000, 1},
        {600, 600000, 600},
        {2147483, 2147483000u, 2147483},
        {2147484, 2147483000u, 2147484},      // a second more than the tick keeps
        {4294967, 2147483000u, 4294967},      // 4294967000 ms fits 32 bits, but not half the tick
        {4294968, 2147483000u, 4294968},      // 32-bit milliseconds would make it 704 ms
        {INT32_HIGH, 2147483000u, 2147483647u},
        {-1, 0, 0},                           // negative: 0, no idle limit
        {-4294, 0, 0},
        {INT32_LOW, 0, 0},
    };
    for (const Case &c : CASES) {
        PortSettings settings{};
        settings.idle_timeout_s = c.stored;
        settings.connect_timeout_ms = c.stored;
        settings.disconnect_timeout_ms = c.stored;
        EXPECT_EQ(settings_idle_limit_ms(&settings), c.idle_ms) << c.stored;
        EXPECT_EQ(settings_connect_wait_ms(&settings), c.wait_ms) << c.stored;
        EXPECT_EQ(settings_disconnect_wait_ms(&settings), c.wait_ms) << c.stored;
        EXPECT_LE(settings_idle_limit_ms(&settings), SETTINGS_LONGEST_WAIT_MS) << c.stored;
        EXPECT_LE(settings_connect_wait_ms(&settings), SETTINGS_LONGEST_WAIT_MS) << c.stored;
    }
}

}  // namespace
