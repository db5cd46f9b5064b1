// The program's message texts, by number, as the operator sees them. The Windows program shows
// them from its string table in Shift-JIS; the Linux program prints these UTF-8 copies.
#pragma once

#include <cstdint>

constexpr std::int32_t MSG_SETTINGS_READ_FAILED = 1002;
constexpr std::int32_t MSG_SERVER_START_FAILED = 1013;
constexpr std::int32_t MSG_SERVER_FORCED_STOP = 1014;
constexpr std::int32_t MSG_LISTEN_FAILED = 1016;  // takes the telnet port (%d)

// The text of a message (UTF-8), or null when the number has none.
const char *message_text(std::int32_t id);
// An English gloss of the same message for the console, or null.
const char *message_gloss(std::int32_t id);
