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
#include "settings/port_list.h"

namespace {

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
        // Let go by a stop while the call may still be using the port: a write now would run
        // beside the call's own writes, and the port is about to be closed anyway. A stop that
        // comes once the call has released the port (a port removed during its call) lets the
        // end of the call be reported first.
        if (port->emulator_stop.load() != 0 && port->busy.load() != 0) return;
    }
    send_result(port, RESULT_NO_CARRIER);
}

// What the emulator loop keeps between its passes.
struct LoopState {
    ModemLine line;
    std::uint32_t poll_ms;
    std::uint32_t last_ring_ms;
    bool holding;  // the thread holds the port (emulator_running); it serves nothing without it
};

// A new command mode, as at the thread's start.
void enter_command_mode(PortRecord *port, LoopState *loop) {
    port->modem_online.store(0);
    restore_defaults(port);
    loop->line = ModemLine{};
    loop->poll_ms = MODEM_IDLE_POLL_MS;
    loop->last_ring_ms = 0;
}

// The tries of modem_start on the emulator's own thread, where a stop ends them early.
ComHandle open_for_thread(PortRecord *port, const PortSettings *settings) {
    for (int attempt = 0; attempt < MODEM_OPEN_ATTEMPTS; ++attempt) {
        if (attempt > 0) {
            (void)event_wait(port->emulator_resume, MODEM_OPEN_RETRY_MS);
            if (port->emulator_stop.load() != 0) break;
        }
        ComHandle handle = serial_open(settings);
        if (handle != COM_INVALID_HANDLE) return handle;
    }
    return COM_INVALID_HANDLE;
}

// Takes settings that changed while a call held the port, once that call has released it: the
// port is closed and opened again from them (or left closed, to the calls, when they ask for no
// emulation or it will not open), as a restart would. Done here rather than by the port list so
// that an edit neither cuts the call nor waits for it to end. No call can be given the port
// meanwhile: emulator_restarting stays raised until the change is through.
void take_changed_settings(PortRecord *port, LoopState *loop) {
    PortSettings wanted{};
    list_lock();
    bool take = port->emulator_settings_changed.load() != 0 && port->busy.load() == 0;
    if (take) {
        wanted = port->settings;
        port->emulator_settings_changed.store(0);
    }
    list_unlock();
    if (!take) return;

    // Nobody else uses the port now: the call has detached, and no other can be given it.
    if (loop->holding) {
        port->emulator_running.store(0);
        serial_close(port->com_handle.exchange(COM_INVALID_HANDLE));
        loop->holding = false;
    }
    if (wanted.modem_emulation != 0 && port->emulator_stop.load() == 0) {
        ComHandle handle = open_for_thread(port, &wanted);
        if (handle != COM_INVALID_HANDLE) {
            port->com_handle.store(handle);
            port->modem_baud_rate = wanted.baud_rate;
            port->ring_request.store(0);
            port->modem_answer.store(0);
            enter_command_mode(port, loop);
            port->emulator_running.store(1);
            loop->holding = true;
        }
    }
    port->emulator_restarting.fetch_sub(1);
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
    LoopState loop{};
    enter_command_mode(port, &loop);
    // Started by modem_start with the port open, or for a call's change without it.
    loop.holding = port->emulator_running.load() != 0;
    std::uint8_t buffer[MODEM_READ_SIZE];

    while (port->emulator_stop.load() == 0) {
        // A sleep that a stop cuts short. A stale signal from the end of an unanswered call may
        // cut it short too, which only makes this pass come early.
        (void)event_wait(port->emulator_resume, loop.poll_ms);
        loop.poll_ms = loop.poll_ms + 1 >= MODEM_IDLE_POLL_MS ? MODEM_IDLE_POLL_MS : loop.poll_ms + 1;
        if (port->emulator_stop.load() != 0) break;
        if (port->emulator_settings_changed.load() != 0) take_changed_settings(port, &loop);
        if (!loop.holding) continue;

        std::uint32_t now = clock_tick_ms();
        if (port->ring_request.load() != 0 && now - loop.last_ring_ms >= MODEM_RING_INTERVAL_MS) {
            loop.last_ring_ms = now;
            send_result(port, RESULT_RING);
        }
        answer_step(port);

        std::uint32_t count = 0;
        if (serial_read(port, buffer, sizeof buffer, &count) == 0) count = 0;
        if (count > 0) {
            modem_receive(port, &loop.line, buffer, count);
            loop.poll_ms = MODEM_ACTIVE_POLL_MS;
        }
    }
    return 0;
}

namespace {

// Starts the thread on the record; emulator_running says whether it holds the port already.
bool start_thread(PortRecord *record) {
    record->ring_request.store(0);
    record->modem_answer.store(0);
    record->emulator_stop.store(0);
    // A signal left from the last emulator's time is of no use to this one.
    (void)event_wait(record->emulator_resume, 0);
    record->emulator_thread = thread_start(modem_thread, record, 0);
    return record->emulator_thread != nullptr;
}

// The event that lets the emulator go on; kept until the record is freed. False when none can be
// made.
bool have_resume_event(PortRecord *record) {
    if (record->emulator_resume == nullptr) record->emulator_resume = event_create();
    return record->emulator_resume != nullptr;
}

}  // namespace

std::int32_t modem_start(PortRecord *record) {
    if (record->emulator_thread != nullptr) return 1;
    // The information line shows the version; the program reads it at start-up, a test may not.
    if (version_text[0] == '\0') (void)read_product_version();
    if (!have_resume_event(record)) return 0;

    ComHandle handle = COM_INVALID_HANDLE;
    for (int attempt = 0; attempt < MODEM_OPEN_ATTEMPTS; ++attempt) {
        if (attempt > 0) clock_sleep_ms(MODEM_OPEN_RETRY_MS);
        handle = serial_open(&record->settings);
        if (handle != COM_INVALID_HANDLE) break;
    }
    if (handle == COM_INVALID_HANDLE) return 0;
    record->com_handle.store(handle);
    record->modem_baud_rate = record->settings.baud_rate;
    // Before the thread runs, which reads it to know that it holds the port.
    record->emulator_running.store(1);
    if (!start_thread(record)) {
        record->emulator_running.store(0);
        serial_close(record->com_handle.exchange(COM_INVALID_HANDLE));
        return 0;
    }
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
    // A port that a call opened itself is that call's to close.
    if (record->emulator_running.exchange(0) != 0) {
        serial_close(record->com_handle.exchange(COM_INVALID_HANDLE));
    }
    list_lock();
    if (record->emulator_settings_changed.exchange(0) != 0) record->emulator_restarting.fetch_sub(1);
    list_unlock();
    return 1;
}

std::int32_t modem_restart(PortRecord *record) {
    if (record->emulator_thread != nullptr) modem_stop(record);
    if (record->settings.modem_emulation == 0) return 1;
    return modem_start(record);
}

std::int32_t modem_restart_after_call(PortRecord *record) {
    if (record->emulator_thread == nullptr) {
        if (record->settings.modem_emulation == 0) return 1;  // none before, none wanted
        // Without the port: the call may be using one it opened itself, and closes it at its end.
        if (version_text[0] == '\0') (void)read_product_version();
        if (!have_resume_event(record)) return 0;
        record->emulator_running.store(0);
        if (!start_thread(record)) return 0;
    }
    list_lock();
    // A change still waiting is replaced: the emulator reads the settings when it takes them.
    if (record->emulator_settings_changed.exchange(1) == 0) record->emulator_restarting.fetch_add(1);
    list_unlock();
    return 1;
}
