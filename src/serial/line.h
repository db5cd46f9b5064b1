// Line signalling around a call: attach the port (or borrow the modem emulator's), the connect
// sequence (the emulator's ring and answer, raising the output signals, waiting for the confirm
// signals), the carrier test during the call, the disconnect sequence (dropping the signals, then
// handing the line back to the emulator or waiting for the watched signals to drop) and detach.
// Only the connection thread of the call runs these, in the order attach, connect, (carrier
// tests), disconnect, detach. Signals and time-outs come from port->active_settings.
#pragma once

#include <atomic>
#include <cstdint>

#include "settings/settings.h"

constexpr std::uint32_t LINE_RING_POLL_MS = 500;        // ring_request is looked at this often
constexpr std::uint32_t LINE_RING_GIVE_UP_MS = 10000;   // an unanswered ring ends here
constexpr std::uint32_t LINE_SIGNAL_POLL_MS = 100;      // input signals are tested this often

// Names the flag whose non-zero value ends the ring wait, the confirm-signal wait and the
// disconnect wait at their next look (the server's stop), so that a long connect_timeout_ms or
// disconnect_timeout_ms cannot hold up a server stop. Null: none. Set before calls start (the
// server's start); the flag is written by whoever stops the server and read by the calls.
void line_set_stop_flag(const std::atomic<std::int32_t> *stop_flag);

// Opens the port from active_settings into com_handle, or does nothing when the modem emulator
// holds it open. -1 when the port cannot be opened.
[[nodiscard]] int line_attach(PortRecord *port);

// With the emulator running: asks it to ring (ring_request) and waits for its answer; gives up
// after LINE_RING_GIVE_UP_MS or when the emulator or the server is stopped, clearing ring_request
// either way. Then raises DTR and RTS as raise_signals says and waits up to connect_timeout_ms for
// every confirm signal to be on at one status reading. -1 when the ring is not answered, a signal
// cannot be raised, the status cannot be read, the confirm signals do not come or the server
// stops meanwhile.
[[nodiscard]] int line_connect(PortRecord *port);

// 1 when the modem status can be read and every watched signal is on (with watch_signals 0:
// whenever the status can be read); 0 otherwise.
[[nodiscard]] int line_carrier_ok(PortRecord *port);

// Drops the raised signals. With the emulator running, lets it go on (it reports the end of the
// call to the equipment); otherwise waits up to disconnect_timeout_ms for a watched signal to
// drop. -1 when a signal could not be dropped or the wait ran out or was ended by a server stop
// (with watched signals and a disconnect_timeout_ms of 0: at once, without a test); the port is to
// be detached either way.
int line_disconnect(PortRecord *port);

// Closes the port and clears com_handle, unless the modem emulator holds it. Always 0.
int line_detach(PortRecord *port);
