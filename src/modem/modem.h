// The modem emulator: a virtual Hayes-type modem facing the equipment of a port with modem
// emulation on. Its thread holds the port open between calls, answers AT command lines, rings
// the equipment while a call is offered (ring_request, set by line_connect), answers on ATA with
// CONNECT, steps aside while the call has the port and reports NO CARRIER when line_disconnect
// lets it go on. The port list starts and stops it; settings changed while a call holds the port
// reach the emulator when that call has released it, so that an edit never cuts a call.
#pragma once

#include <cstdint>

#include "settings/settings.h"

constexpr int MODEM_OPEN_ATTEMPTS = 10;               // the port is tried this often at start...
constexpr std::uint32_t MODEM_OPEN_RETRY_MS = 500;    // ...this far apart
constexpr std::uint32_t MODEM_STOP_WAIT_MS = 5000;    // a stop waits this long before cancelling
constexpr std::uint32_t MODEM_CANCEL_RETRY_MS = 100;  // then cancels its I/O this often
constexpr std::uint32_t MODEM_IDLE_POLL_MS = 500;     // between passes while the line is quiet
constexpr std::uint32_t MODEM_ACTIVE_POLL_MS = 50;    // between passes right after a byte
constexpr std::uint32_t MODEM_RING_INTERVAL_MS = 1000;  // RING at most this often
constexpr std::int32_t MODEM_LINE_SIZE = 64;          // command line bytes kept, AT included
constexpr std::uint32_t MODEM_READ_SIZE = 255;        // bytes taken from the port per pass

// Command codes: the letter with bit value 32 cleared, plus a prefix.
constexpr std::int32_t MODEM_PREFIX_AMPERSAND = 256;  // &F
constexpr std::int32_t MODEM_PREFIX_BACKSLASH = 512;  // \S, \V

// The command line being typed, as the emulator loop keeps it between reads.
struct ModemLine {
    std::uint8_t text[MODEM_LINE_SIZE + 1];  // the bytes, the CR that ends the line included
    std::int32_t length;                     // 0-MODEM_LINE_SIZE: bytes kept
};

// Opens the port from record->settings (MODEM_OPEN_ATTEMPTS tries, MODEM_OPEN_RETRY_MS apart) and
// starts the emulator thread on it. 1 when it runs (also when it ran already), 0 when the port
// could not be opened or the thread not started (nothing is left open then). The thread that
// writes the record's settings (the UI thread), while no call holds the port.
[[nodiscard]] std::int32_t modem_start(PortRecord *record);

// Ends the emulator thread (it is asked to; after MODEM_STOP_WAIT_MS its blocking I/O is cancelled
// until it has ended) and closes the port it holds, also when a call is using it: that call's
// serial calls fail from then on. A change it was left to take (modem_restart_after_call) is
// dropped. Nothing happens when no emulator runs. Always 1. The UI thread, or whoever drops the
// last reference of a record removed from the list (port_record_unreference); never with
// list_guard held.
std::int32_t modem_stop(PortRecord *record);

// Stops the record's emulator if one runs, then starts it when its settings ask for emulation.
// 1 on success (at once when emulation is off), 0 when the emulator could not be started. UI
// thread, while no call holds the port and none can be given it (emulator_restarting raised).
std::int32_t modem_restart(PortRecord *record);

// The same for a port that a call holds: the call keeps the port (the emulator's, or one it
// opened itself) and its active_settings, and nobody waits for it to end. The emulator takes the
// record's settings once the call has released the port: it closes the port and opens it again
// from them, or leaves the port to the calls when they ask for no emulation or it will not open
// (emulator_running 0), as a restart would; emulator_restarting stays raised until then. An
// emulator thread is started for it when none runs and the settings ask for one. 1 when the change
// is left to the emulator (or there is nothing to do), 0 when no emulator thread could be started.
// UI thread.
std::int32_t modem_restart_after_call(PortRecord *record);

// Executes one command of a command line: code as made from the letter and its prefix, number
// the value of the digits after it, -1 when there were none. Writes the information and status
// texts to the port. 0, or -1 for a code it does not know (which has no effect). The emulator
// thread (or a test driving the record without one).
int modem_execute_command(PortRecord *record, std::int32_t code, std::int32_t number);

// Takes bytes from the equipment: echoes them as the echo setting says, collects the command line
// and executes it at its CR, then writes OK unless it asked to answer. Returns when all bytes are
// taken, or early when the emulator is asked to stop. The emulator thread (or a test driving the
// record without one).
void modem_receive(PortRecord *record, ModemLine *line, const std::uint8_t *bytes,
                   std::uint32_t count);

// The emulator thread's body; arg is the PortRecord. Started by modem_start. Exit code 0.
std::uint32_t modem_thread(void *arg);
