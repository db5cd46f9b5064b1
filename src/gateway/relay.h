// The data relay of a connected call: serial to caller on the connection thread, caller to serial
// on a reader thread of its own (which also turns the caller's break into a serial break), until
// the call ends. It knows the caller only through gateway/caller.h.
#pragma once

#include <atomic>
#include <cstdint>

#include "gateway/caller.h"
#include "settings/settings.h"

constexpr std::int32_t RELAY_BLOCK_SIZE = 1024;     // bytes moved per read, each direction, unless
                                                    // the caller asks for larger blocks
constexpr std::uint32_t RELAY_BREAK_MS = 300;       // length of a serial break for a caller's break
constexpr std::uint32_t RELAY_READER_GRACE_MS = 2000;

// Handed by relay_run to its reader; lives on relay_run's stack for the reader's whole life.
struct RelayReaderArgs {
    Caller *caller;
    PortRecord *port;
    std::atomic<std::int32_t> *reader_done;  // the reader sets it when it ends; relay_run sets it
                                             // to make the reader end
    std::uint8_t *buffer;                    // block_size bytes for the caller's data
    std::int32_t block_size;
    std::atomic<std::uint32_t> *socket_activity_time;  // tick of the caller's last data
};

// Relays until the call ends. 0 on a normal end (the caller closed or failed, the watched signals
// dropped, the disconnect keyword arrived, both directions were idle for idle_timeout_s); -1 on an
// abnormal one (server stopping, forced disconnect, serial read failure, socket send failure, no
// reader thread or buffer). A send to a caller who does not read does not hold the call: it gives
// up on the server's stop, the forced disconnect, the caller leaving and the watched signals
// dropping, and the relay ends with that condition's result. When it returns, the reader has
// ended and holds nothing (the send guard is free). The connection thread.
[[nodiscard]] int relay_run(Caller *caller, PortRecord *port);

// Thread body of the caller's reader. Exit code 0.
std::uint32_t relay_socket_reader(void *args);

// Where the device can wait for its events (Linux), a quiet relay sleeps until the device has
// input or a line change, the caller leaves, its idle limit runs out, it is woken, or
// RELAY_QUIET_LOOK_MS have passed (it then looks at its end conditions, the modem status among
// them, as in any cycle); elsewhere it polls with every read. Whoever sets port->disconnect_request
// or server_stop wakes the relays afterwards with this (null: every relay, for the server's stop),
// so that they end at once. Any thread.
void relay_wake(PortRecord *port);

constexpr std::uint32_t RELAY_QUIET_LOOK_MS = 1000;

// Test hook: the quiet look's interval (0: RELAY_QUIET_LOOK_MS again), so that a test can tell an
// end that woke the relay from one it found by looking.
void relay_set_quiet_look_ms(std::uint32_t ms);
