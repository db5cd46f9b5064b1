// The backslash escapes and the Shift-JIS double-byte rule shared by the auto-pilot script and the
// disconnect keyword. A backslash or a bracket counts only as a single-byte character, so neither
// byte of a double-byte character (whose trail byte may be 0x5C or 0x5B) is ever taken for one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace text_escapes_detail {
constexpr std::array<std::uint8_t, 256> make_escape_table() {
    std::array<std::uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i) table[i] = static_cast<std::uint8_t>(i);
    table['E'] = table['e'] = 0x1B;
    table['N'] = table['n'] = 0x0A;
    table['R'] = table['r'] = 0x0D;
    table['a'] = 0x07;
    table['b'] = 0x08;
    table['f'] = 0x0C;
    table['t'] = 0x09;
    table['v'] = 0x0B;
    return table;
}

constexpr std::array<std::uint8_t, 256> make_lead_byte_table() {
    std::array<std::uint8_t, 256> table{};
    for (int i = 0x81; i <= 0x9F; ++i) table[i] = 1;
    for (int i = 0xE0; i <= 0xFC; ++i) table[i] = 1;
    return table;
}
}  // namespace text_escapes_detail

// The byte that a backslash followed by the index byte stands for; every other byte stands for
// itself (so "\\0" is the digit, not a NUL).
inline constexpr std::array<std::uint8_t, 256> escape_table = text_escapes_detail::make_escape_table();
// 1 for the lead bytes of Shift-JIS double-byte characters (0x81-0x9F, 0xE0-0xFC).
inline constexpr std::array<std::uint8_t, 256> lead_byte_table =
    text_escapes_detail::make_lead_byte_table();

constexpr bool is_lead_byte(std::uint8_t byte) { return lead_byte_table[byte] != 0; }

// Double-byte state of a byte: single, lead or trail.
constexpr int BYTE_SINGLE = 0;
constexpr int BYTE_LEAD = 1;
constexpr int BYTE_TRAIL = 2;

// The state of `byte` given the state of the byte before it.
constexpr int byte_state_next(int previous, std::uint8_t byte) {
    if (previous == BYTE_LEAD) return BYTE_TRAIL;
    return is_lead_byte(byte) ? BYTE_LEAD : BYTE_SINGLE;
}

// Builds the watched keyword from a disconnect_keyword text of `length` bytes (stopping early at a
// NUL): escapes replaced, a trailing lone backslash ending it, control bytes that do not come from
// an escape dropped. Writes a NUL-terminated keyword into out (at least length + 1 bytes) and
// returns its length; 0 means no keyword.
std::size_t keyword_build(const char *text, std::size_t length, std::uint8_t *out);

// Runs count bytes of serial data through the match of a keyword of keyword_length bytes (> 0):
// *matched is the number of keyword bytes matched so far, kept from one call to the next. A byte
// that breaks a partial match starts a new one only when it is the keyword's first byte; earlier
// bytes are not looked at again (ABAC is not found in ABABAC). True when the keyword was completed;
// the bytes after it are not looked at.
bool keyword_feed(const std::uint8_t *keyword, std::size_t keyword_length, std::size_t *matched,
                  const std::uint8_t *bytes, std::size_t count);
