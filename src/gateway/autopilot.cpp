// The auto-pilot script walk and its wait for text.
#include "gateway/autopilot.h"

#include <cstring>

#include "gateway/caller.h"
#include "gateway/server_state.h"
#include "gateway/text_escapes.h"
#include "platform/clock.h"
#include "serial/serial.h"

namespace {

constexpr std::size_t SCRIPT_LIMIT = 256;
constexpr std::uint32_t WAIT_CYCLE_MS = 100;
constexpr std::uint32_t PAUSE_SLICE_MS = 100;

// A walk over the script that keeps the double-byte state across segments.
struct Script {
    const std::uint8_t *bytes;
    std::size_t length;
    std::size_t at;
    int state;
};

// A write of the script held back by flow control (equipment off, cable missing) ends on a server
// stop or a forced disconnect: no other thread is there to cancel it.
int write_gives_up(void *context) {
    const PortRecord *port = static_cast<const PortRecord *>(context);
    return server_stop.load() != 0 || port->disconnect_request.load() != 0;
}

bool is_opener(std::uint8_t byte) { return byte == '[' || byte == '{' || byte == '('; }
bool is_closer(std::uint8_t byte) { return byte == ']' || byte == '}' || byte == ')'; }

// Collects one segment into out: plain text up to an opener (inside_bracket false), or a bracket's
// content up to and past its closer (true). Returns the byte count. A backslash as the last byte
// is dropped and ends the script.
std::size_t collect(Script *script, bool inside_bracket, std::uint8_t *out) {
    std::size_t count = 0;
    while (script->at < script->length) {
        std::uint8_t byte = script->bytes[script->at];
        script->state = byte_state_next(script->state, byte);
        if (script->state == BYTE_SINGLE) {
            if (!inside_bracket && is_opener(byte)) break;  // left for the caller to step over
            if (inside_bracket && is_closer(byte)) {
                script->at += 1;
                break;
            }
            if (byte == '\\') {
                if (script->at + 1 >= script->length) {
                    script->at = script->length;
                    break;
                }
                // The escaped byte keeps the backslash's single-byte state.
                out[count++] = escape_table[script->bytes[script->at + 1]];
                script->at += 2;
                continue;
            }
        }
        script->at += 1;
        if (inside_bracket && byte < 0x20) continue;  // control bytes only by escape in brackets
        out[count++] = byte;
    }
    return count;
}

// A bracket's number, read as the C library's decimal conversion does: leading blanks, an optional
// sign, digits up to the first other character; no digits give 0. Kept within 32 bits.
std::int32_t bracket_number(const std::uint8_t *text, std::size_t length) {
    std::size_t i = 0;
    while (i < length && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::int64_t value = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL) value = 2147483648LL;
    }
    if (negative) value = -value;
    if (value > 2147483647LL) value = 2147483647LL;
    return static_cast<std::int32_t>(value);
}

// Pauses ms milliseconds (taken unsigned, so a negative number is a very long pause). The pause is
// cut short when the server stops, which fails the script: a long pause must not hold up a stop.
int pause(std::uint32_t ms) {
    std::uint32_t start = clock_tick_ms();
    for (;;) {
        if (server_stop.load() != 0) return -1;
        std::uint32_t elapsed = clock_tick_ms() - start;
        if (elapsed >= ms) return 0;
        std::uint32_t left = ms - elapsed;
        clock_sleep_ms(left < PAUSE_SLICE_MS ? left : PAUSE_SLICE_MS);
    }
}

// Waits until the equipment has sent text[0..length). Never reads more than is still needed, so
// what follows the text stays unread. Partial matches are not looked at again: a wait for ABAC
// misses ABABAC. One byte the caller typed is thrown away per cycle.
int wait_for_text(Caller *caller, PortRecord *port, const std::uint8_t *text,
                  std::size_t length, std::uint32_t wait_limit_ms) {
    std::uint32_t start = clock_tick_ms();
    std::size_t matched = 0;
    for (;;) {
        if (server_stop.load() != 0) return -1;
        if (matched >= length) return 0;

        std::uint8_t buffer[SCRIPT_LIMIT];
        std::uint32_t count = 0;
        if (!serial_read(port, buffer, static_cast<std::uint32_t>(length - matched), &count)) {
            return -1;
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            if (buffer[i] == text[matched]) {
                matched += 1;
            } else {
                matched = buffer[i] == text[0] ? 1 : 0;
            }
        }

        std::int32_t ready = 0;
        if (caller_wait(caller, CALLER_READABLE | CALLER_EXCEPTION, 0, &ready) != 0 ||
            (ready & CALLER_EXCEPTION) != 0) {
            return -1;
        }
        if ((ready & CALLER_READABLE) != 0 && caller_discard_one(caller) != 0) return -1;

        clock_sleep_ms(WAIT_CYCLE_MS);
        // Text that came complete in this cycle counts, even when the limit ran out meanwhile.
        if (matched >= length) return 0;
        if (wait_limit_ms != 0 && clock_tick_ms() - start >= wait_limit_ms) return -1;
    }
}

}  // namespace

int autopilot_run(Caller *caller, PortRecord *port, const char *text,
                  std::size_t length) {
    std::size_t script_length = 0;
    while (script_length < length && script_length < SCRIPT_LIMIT && text[script_length] != '\0') {
        ++script_length;
    }
    Script script{reinterpret_cast<const std::uint8_t *>(text), script_length, 0, BYTE_SINGLE};
    std::uint32_t wait_limit_ms = 0;
    std::uint8_t segment[SCRIPT_LIMIT];

    for (;;) {
        std::size_t count = collect(&script, false, segment);
        if (count > 0 && !serial_write_watched(port, segment, static_cast<std::int32_t>(count),
                                               write_gives_up, port)) {
            return -1;
        }
        if (script.at >= script.length) return 0;

        std::uint8_t opener = script.bytes[script.at++];
        count = collect(&script, true, segment);
        switch (opener) {
        case '(':
            if (pause(static_cast<std::uint32_t>(bracket_number(segment, count))) != 0) return -1;
            break;
        case '{':
            wait_limit_ms = static_cast<std::uint32_t>(bracket_number(segment, count));
            break;
        default:
            if (wait_for_text(caller, port, segment, count, wait_limit_ms) != 0) return -1;
            break;
        }
    }
}
