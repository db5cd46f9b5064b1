// The disconnect keyword's escape processing and its match in the serial data.
#include "gateway/text_escapes.h"

std::size_t keyword_build(const char *text, std::size_t length, std::uint8_t *out) {
    std::size_t count = 0;
    int state = BYTE_SINGLE;
    for (std::size_t i = 0; i < length && text[i] != '\0'; ++i) {
        std::uint8_t byte = static_cast<std::uint8_t>(text[i]);
        state = byte_state_next(state, byte);
        if (state == BYTE_SINGLE && byte == '\\') {
            if (i + 1 >= length || text[i + 1] == '\0') break;  // a lone backslash ends it
            // The escaped byte keeps the backslash's single-byte state.
            out[count++] = escape_table[static_cast<std::uint8_t>(text[++i])];
            continue;
        }
        if (byte < 0x20) continue;
        out[count++] = byte;
    }
    out[count] = 0;
    return count;
}

bool keyword_feed(const std::uint8_t *keyword, std::size_t keyword_length, std::size_t *matched,
                  const std::uint8_t *bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] == keyword[*matched]) {
            if (++*matched == keyword_length) return true;
        } else {
            *matched = bytes[i] == keyword[0] ? 1 : 0;
        }
    }
    return false;
}
