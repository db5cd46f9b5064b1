// The modem emulator: start and stop, the command line with its echo and results, the commands,
// and the loop that rings, answers and steps aside for the call.
#include "modem/modem.h"

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/version.h"
#include "serial/serial.h"

namespace {

constexpr std::uint32_t RELEASE_POLL_MS = 50;
constexpr std::uint8_t CR = 13;
constexpr std::int32_t NO_NUMBER = -1;

// modem_result_mode bits.
constexpr std::int32_t RESULT_VERBOSE = 1;  // V1: words rather than digits
constexpr std::int32_t RESULT_CODES_ON = 2;  // Q0: results are sent at all

// A result as words (V1) and as digits (V0). CONNECT's words depend on the settings and are made
// by connect_words.
struct ResultText {
    const char *words;
    const char *digits;
};

constexpr ResultText RESULT_OK = {"OK\r\n", "0\r\n"};
constexpr ResultText RESULT_CONNECT = {nullptr, "1\r\n"};
constexpr ResultText RESULT_RING = {"\r\nRING\r\n", "2\r\n"};
constexpr ResultText RESULT_NO_CARRIER = {"NO CARRIER\r\n", "3\r\n"};

// Writes a text to the equipment. A failed write is of no consequence to the emulator.
void write_text(PortRecord *port, const char *text) {
    (void)serial_write(port, text, static_cast<std::int32_t>(std::strlen(text)));
}

void connect_words(const PortRecord *port, char *out, std::size_t size) {
    if (port->modem_x_level == 0) {
        std::snprintf(out, size, "CONNECT\r\n");
    } else {
        std::snprintf(out, size, "CONNECT %d%s\r\n", port->modem_baud_rate,
                      port->modem_backslash_v != 0 ? "/TELNET" : "");
    }
}

// Sends a result as the result mode says: words (3), digits (2), or nothing (0 and 1: Q1).
void send_result(PortRecord *port, const ResultText &result) {
    if (port->modem_result_mode == (RESULT_CODES_ON | RESULT_VERBOSE)) {
        char connect[48];
        if (result.words == nullptr) connect_words(port, connect, sizeof connect);
        write_text(port, result.words != nullptr ? result.words : connect);
    } else if (port->modem_result_mode == RESULT_CODES_ON) {
        write_text(port, result.digits);
    }
}

void restore_defaults(PortRecord *port) {
    port->modem_echo = 1;
    port->modem_result_mode = RESULT_CODES_ON | RESULT_VERBOSE;
    port->modem_x_level = 1;
    port->modem_backslash_v = 1;
}

// -- the commands --

void command_answer(PortRecord *port, std::int32_t) { port->modem_answer.store(1); }

void command_echo(PortRecord *port, std::int32_t number) { port->modem_echo = number; }

void command_information(PortRecord *port, std::int32_t number) {
    if (number == 1) {
        char text[sizeof version_text + 8];
        std::snprintf(text, sizeof text, "Ver%s\r\n", version_text);
        write_text(port, text);
    } else {
        write_text(port, "NORVEX MODEM EMULATOR\r\n");
    }
}

void command_quiet(PortRecord *port, std::int32_t number) {
    if (number == 0) {
        port->modem_result_mode |= RESULT_CODES_ON;
    } else {
        port->modem_result_mode &= ~RESULT_CODES_ON;
    }
}

void command_verbose(PortRecord *port, std::int32_t number) {
    if (number != 0) {
        port->modem_result_mode |= RESULT_VERBOSE;
    } else {
        port->modem_result_mode &= ~RESULT_VERBOSE;
    }
}

void command_x_level(PortRecord *port, std::int32_t number) { port->modem_x_level = number; }

void command_defaults(PortRecord *port, std::int32_t) { restore_defaults(port); }

// One write, so that the equipment gets the whole text at once. X shows only whether the speed is
// reported, whatever the level.
void command_status(PortRecord *port, std::int32_t) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "DTE SPEED   : %dbps\r\nLINE STATUS : %s\r\nQ%d V%d X%d \\V%d\r\n",
                  port->modem_baud_rate, port->modem_online.load() != 0 ? "ONLINE" : "OFFLINE",
                  (port->modem_result_mode & RESULT_CODES_ON) != 0 ? 0 : 1,
                  (port->modem_result_mode & RESULT_VERBOSE) != 0 ? 1 : 0,
                  port->modem_x_level != 0 ? 1 : 0, port->modem_backslash_v != 0 ? 1 : 0);
    write_text(port, text);
}

void command_backslash_v(PortRecord *port, std::int32_t number) {
    port->modem_backslash_v = number;
}

struct ModemCommand {
    std::int32_t code;
    std::int32_t absent_number;  // the number when no digits followed the letter
    void (*run)(PortRecord *port, std::int32_t number);
};

constexpr ModemCommand COMMANDS[] = {
    {'A', NO_NUMBER, command_answer},
    {'E', 1, command_echo},
    {'I', NO_NUMBER, command_information},
    {'Q', 0, command_quiet},
    {'V', 1, command_verbose},
    {'X', 4, command_x_level},
    {'Z', NO_NUMBER, command_defaults},
    {MODEM_PREFIX_AMPERSAND + 'F', NO_NUMBER, command_defaults},
    {MODEM_PREFIX_BACKSLASH + 'S', NO_NUMBER, command_status},
    {MODEM_PREFIX_BACKSLASH + 'V', 1, command_backslash_v},
};

// Runs every command of a complete line (text[2] up to the CR at text[length]). Each letter takes
// the digits that follow it; the code made from the CR is never run.
void execute_line(PortRecord *port, const ModemLine *line) {
    std::int32_t prefix = 0;
    std::int32_t pending = 0;  // code 0: nothing
    std::int32_t number = NO_NUMBER;
    for (std::int32_t i = 2; i <= line->length; ++i) {
        std::uint8_t byte = line->text[i];
        if (byte == '&') {
            prefix = MODEM_PREFIX_AMPERSAND;
        } else if (byte == '\\') {
            prefix = MODEM_PREFIX_BACKSLASH;
        } else if (byte >= '0' && byte <= '9') {
            std::int32_t digit = byte - '0';
            std::int32_t so_far = number == NO_NUMBER ? 0 : number;
            // A line may hold 62 digits: a number past 32 bits stays at the largest, rather than
            // wrapping round to 0 or to the "no number" value.
            number = so_far > (INT32_MAX - digit) / 10 ? INT32_MAX : so_far * 10 + digit;
        } else {
            (void)modem_execute_command(port, pending, number);
            pending = (byte & ~0x20) + prefix;
            prefix = 0;
            number = NO_NUMBER;
        }
    }
}

// Acts on an A of the last command line: answers an offered call with CONNECT and steps aside
// until the call has ended, then reports NO CARRIER (at once when no call was offered).
void answer_step(PortRecord *port) {
    if (port->modem_answer.load() == 0) return;
    bool answer = false;
    if (port->ring_request.load() != 0) {
        // The end of a call that went unanswered also lets the emulator go on. Every such call
        // ended before this one rang, so its signal is there by now and is taken here, where it
        // can no longer cut short the wait for this call. A stop that came before this point is
        // seen below; one that comes later signals again.
        (void)event_wait(port->emulator_resume, 0);
        answer = port->ring_request.load() != 0 && port->emulator_stop.load() == 0;
    }
    port->modem_answer.store(0);
    if (answer) {
        send_result(port, RESULT_CONNECT);
        // The call takes the port as soon as it sees ring_request cleared: CONNECT is out by then,
        // and from here on nothing touches the port until the call lets the emulator go on.
        port->modem_online.store(1);
        port->ring_request.store(0);
        (void)event_wait(port->emulator_resume, WAIT_FOREVER_MS);
        port->modem_online.store(0);
        // Let go by a stop, the call may still be using the port: a write now would run beside
        // the call's own writes, and the port is about to be closed anyway.
        if (port->emulator_stop.load() != 0) return;
    }
    send_result(port, RESULT_NO_CARRIER);
}

// Waits up to limit_ms until no call holds the port; false when one still does.
bool wait_port_released(PortRecord *port, std::uint32_t limit_ms) {
    std::uint32_t start = clock_tick_ms();
    while (port->busy.load() != 0) {
        if (clock_tick_ms() - start >= limit_ms) return false;
        clock_sleep_ms(RELEASE_POLL_MS);
    }
    return true;
}

}  // namespace

int modem_execute_command(PortRecord *record, std::int32_t code, std::int32_t number) {
    for (const ModemCommand &command : COMMANDS) {
        if (command.code == code) {
            command.run(record, number == NO_NUMBER ? command.absent_number : number);
            return 0;
        }
    }
    return -1;
}

void modem_receive(PortRecord *record, ModemLine *line, const std::uint8_t *bytes,
                   std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if (record->emulator_stop.load() != 0) return;
        std::uint8_t byte = bytes[i];
        line->text[line->length] = byte;
        // The length passes 1 only over A then T (either case), so 2 or more means "AT" is in.
        if (line->length >= 2) {
            if (byte >= 32 && byte <= 127 && line->length < MODEM_LINE_SIZE) {
                if (record->modem_echo != 0) (void)serial_write(record, &byte, 1);
                line->length += 1;
            } else if (byte == CR) {
                if (record->modem_echo != 0) write_text(record, "\r\n");
                execute_line(record, line);
                if (record->modem_answer.load() == 0) send_result(record, RESULT_OK);
                std::memset(line->text, 0, sizeof line->text);
                line->length = 0;
            }
            // Anything else is dropped unseen; the next byte takes its place.
        } else {
            if (record->modem_echo != 0) (void)serial_write(record, &byte, 1);
            if (line->length == 0) {
                line->length = (byte == 'A' || byte == 'a') ? 1 : 0;
            } else {
                line->length = (byte == 'T' || byte == 't') ? 2 : 0;
            }
        }
    }
}

std::uint32_t modem_thread(void *arg) {
    PortRecord *port = static_cast<PortRecord *>(arg);
    port->modem_online.store(0);
    restore_defaults(port);
    ModemLine line{};
    std::uint32_t poll_ms = MODEM_IDLE_POLL_MS;
    std::uint32_t last_ring_ms = 0;
    std::uint8_t buffer[MODEM_READ_SIZE];

    while (port->emulator_stop.load() == 0) {
        // A sleep that a stop cuts short. A stale signal from the end of an unanswered call may
        // cut it short too, which only makes this pass come early.
        (void)event_wait(port->emulator_resume, poll_ms);
        poll_ms = poll_ms + 1 >= MODEM_IDLE_POLL_MS ? MODEM_IDLE_POLL_MS : poll_ms + 1;
        if (port->emulator_stop.load() != 0) break;

        std::uint32_t now = clock_tick_ms();
        if (port->ring_request.load() != 0 && now - last_ring_ms >= MODEM_RING_INTERVAL_MS) {
            last_ring_ms = now;
            send_result(port, RESULT_RING);
        }
        answer_step(port);

        std::uint32_t count = 0;
        if (serial_read(port, buffer, sizeof buffer, &count) == 0) count = 0;
        if (count > 0) {
            modem_receive(port, &line, buffer, count);
            poll_ms = MODEM_ACTIVE_POLL_MS;
        }
    }
    return 0;
}

std::int32_t modem_start(PortRecord *record) {
    if (record->emulator_thread != nullptr) return 1;
    // The information line shows the version; the program reads it at start-up, a test may not.
    if (version_text[0] == '\0') (void)read_product_version();
    if (record->emulator_resume == nullptr) {
        record->emulator_resume = event_create();
        if (record->emulator_resume == nullptr) return 0;
    }

    ComHandle handle = COM_INVALID_HANDLE;
    for (int attempt = 0; attempt < MODEM_OPEN_ATTEMPTS; ++attempt) {
        if (attempt > 0) clock_sleep_ms(MODEM_OPEN_RETRY_MS);
        handle = serial_open(&record->settings);
        if (handle != COM_INVALID_HANDLE) break;
    }
    if (handle == COM_INVALID_HANDLE) return 0;
    record->com_handle.store(handle);

    record->modem_baud_rate = record->settings.baud_rate;
    record->ring_request.store(0);
    record->modem_answer.store(0);
    record->emulator_stop.store(0);
    // A signal left from the last emulator's time is of no use to this one.
    (void)event_wait(record->emulator_resume, 0);
    record->emulator_thread = thread_start(modem_thread, record, 0);
    if (record->emulator_thread == nullptr) {
        serial_close(record->com_handle.exchange(COM_INVALID_HANDLE));
        return 0;
    }
    record->emulator_running.store(1);
    return 1;
}

std::int32_t modem_stop(PortRecord *record) {
    Thread *thread = record->emulator_thread;
    if (thread == nullptr) return 1;
    record->emulator_stop.store(1);
    event_set(record->emulator_resume);
    if (thread_join(thread, MODEM_STOP_WAIT_MS) != 0) {
        // Only a write held back by flow control keeps it this long. No thread is killed: its
        // I/O is cancelled (it then sees the stop) until it has ended.
        for (;;) {
            (void)com_cancel(record->com_handle.load());
            event_set(record->emulator_resume);
            if (thread_join(thread, MODEM_CANCEL_RETRY_MS) == 0) break;
        }
    }
    thread_close(thread);
    record->emulator_thread = nullptr;
    record->emulator_running.store(0);
    serial_close(record->com_handle.exchange(COM_INVALID_HANDLE));
    return 1;
}

std::int32_t modem_restart(PortRecord *record) {
    if (record->emulator_running.load() != 0) modem_stop(record);
    if (record->settings.modem_emulation == 0) return 1;
    // Until a call has released the port, its serial calls and its detach go to whatever
    // com_handle holds: the stopped emulator's port (that call fails now), or the port the call
    // opened itself, which a new emulator must neither take over nor leave open.
    if (!wait_port_released(record, MODEM_RELEASE_WAIT_MS)) return 0;
    return modem_start(record);
}
