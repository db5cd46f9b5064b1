// The operations table under the serial handles: what one kind of device must do. The portable
// handle layer (serial.cpp) validates handles, counts the calls in flight and orders the close;
// the operating system's table lives in <os>/serial.cpp. Tests may register further tables that
// claim device names of their own (the simulated devices of tests/sim), which is the only way in
// for anything but the operating system's devices.
#pragma once

#include <cstdint>

#include "platform/serial.h"

// Which of a device's transfers a cancel ends.
constexpr std::uint32_t COM_CANCEL_READ = 1;
constexpr std::uint32_t COM_CANCEL_WRITE = 2;

// A device kind. `device` is the backend's own per-open state. The handle layer guarantees that a
// device is used by no call once `close` runs, and that at most one read and one write run at a
// time. Every operation returns 0 or -1 as the com_* call it serves.
struct ComBackend {
    // Non-zero when the backend serves this name (the operating system's table claims none; it
    // serves whatever no other table claims). Null: claims nothing.
    int (*claims)(const char *name);
    void *(*open)(const char *name);  // null on failure
    int (*get_state)(void *device, SerialDcb *dcb);
    int (*set_state)(void *device, const SerialDcb *dcb);
    int (*get_timeouts)(void *device, SerialTimeouts *timeouts);
    int (*set_timeouts)(void *device, const SerialTimeouts *timeouts);
    int (*read)(void *device, void *buffer, std::uint32_t maximum, std::uint32_t *count);
    int (*write)(void *device, const void *data, std::uint32_t length, std::uint32_t *count);
    int (*escape)(void *device, std::uint32_t code);
    int (*modem_status)(void *device, std::uint32_t *status);
    // Null: the device reports no line errors (com_line_errors gives 0).
    int (*line_errors)(void *device, std::uint32_t *errors);
    int (*set_break)(void *device, int on);
    int (*purge)(void *device, std::uint32_t flags);
    // Ends the transfers named by `which` (COM_CANCEL_* bits) that run at this moment. With
    // `closing` non-zero the device is being closed: every transfer running or started from now on
    // must fail at once. Any thread; never blocks for long.
    void (*cancel)(void *device, std::uint32_t which, int closing);
    void (*close)(void *device);  // releases everything; no call runs any more
    // com_wait; counts as the device's read (at most one of either at a time, ended by a read
    // cancel). Null: the device cannot wait, and its users poll with reads.
    int (*wait)(void *device, ComWake *wake, int watch_lines, std::uint32_t timeout_ms,
                std::uint32_t *events);
};

// The operating system's devices.
extern const ComBackend com_os_backend;

// Adds a table that serves the names it claims (tests only). Tables are asked in the order they
// were added, before the operating system's. Adding one twice does nothing. -1 when the table of
// tables is full.
int com_register_backend(const ComBackend *backend);
