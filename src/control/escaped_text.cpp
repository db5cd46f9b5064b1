// Backslash escapes for texts on a command line, a terminal and the control channel.
#include "control/escaped_text.h"

#include <cstdint>
#include <cstdio>

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Length of a whole UTF-8 sequence starting at `at`, 0 when none starts there (a lone byte from
// 0x80 up, an overlong form, a surrogate, a code point past U+10FFFF, C1 controls).
std::size_t utf8_sequence(const unsigned char *at, std::size_t left) {
    unsigned char lead = at[0];
    std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                       : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || length > left) return 0;
    std::uint32_t code = lead & (0xFFu >> (length + 1));
    for (std::size_t i = 1; i < length; ++i) {
        if ((at[i] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (at[i] & 0x3Fu);
    }
    constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    if (code >= 0x80 && code <= 0x9F) return 0;
    return length;
}

}  // namespace

int escaped_text_read(const char *typed, std::string *bytes, std::string *problem) {
    bytes->clear();
    for (const char *at = typed; *at != '\0'; ++at) {
        if (*at != '\\') {
            *bytes += *at;
            continue;
        }
        char next = at[1];
        if (next == 'r') {
            *bytes += '\r';
        } else if (next == 'n') {
            *bytes += '\n';
        } else if (next == '\\') {
            *bytes += '\\';
        } else if (next == 'x') {
            int high = hex_digit(at[2]);
            int low = high < 0 ? -1 : hex_digit(at[3]);
            if (low < 0) {
                *problem = "\\x needs two hex digits";
                return -1;
            }
            if (high == 0 && low == 0) {
                *problem = "\\x00: a text cannot hold a NUL byte";
                return -1;
            }
            *bytes += static_cast<char>(high * 16 + low);
            at += 2;
        } else if (next == '\0') {
            *problem = "a lone backslash at the end (write \\\\ for a backslash)";
            return -1;
        } else {
            *problem = std::string("\\") + next + " is no escape (escapes: \\r \\n \\\\ \\xHH; write \\\\ for a backslash)";
            return -1;
        }
        ++at;
    }
    return 0;
}

std::string escaped_text_show(const char *bytes, std::size_t length, bool escape_space) {
    const unsigned char *at = reinterpret_cast<const unsigned char *>(bytes);
    std::string shown;
    for (std::size_t i = 0; i < length;) {
        unsigned char byte = at[i];
        std::size_t sequence = byte >= 0x80 ? utf8_sequence(at + i, length - i) : 0;
        if (sequence > 0) {
            shown.append(bytes + i, sequence);
            i += sequence;
            continue;
        }
        if (byte == '\\') {
            shown += "\\\\";
        } else if (byte == '\r') {
            shown += "\\r";
        } else if (byte == '\n') {
            shown += "\\n";
        } else if (byte < 0x20 || byte >= 0x7F || byte == '"' || (escape_space && byte == ' ')) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            shown += hex;
        } else {
            shown += static_cast<char>(byte);
        }
        ++i;
    }
    return shown;
}
