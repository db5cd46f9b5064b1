// The serial port driver: opens a port from its settings (line format, flow control, the 50 ms
// read time-outs) and moves bytes with reads that return what has arrived and whole-block writes.
// The open port lives in the PortRecord's com_handle; reads and writes go through it.
#pragma once

#include <cstdint>

#include "platform/serial.h"
#include "settings/settings.h"

// Read time-outs set at open: a read returns at once with what has arrived, or after this long
// with what came meanwhile, possibly nothing.
constexpr std::uint32_t SERIAL_READ_WAIT_MS = 50;
// A watched write held back by flow control asks whether to give up this often.
constexpr std::uint32_t SERIAL_WRITE_SLICE_MS = 100;

// Rewrites the line format, flow control and special characters of *dcb from the settings; the
// other fields (the XON/XOFF limits among them) keep the values the block had. Any thread.
void serial_build_dcb(SerialDcb *dcb, const PortSettings *settings);

// Opens the device named by settings->port_name exclusively, applies serial_build_dcb to the
// block read from the device and sets the read and write time-outs. A device that refuses a
// setting is used with the configuration it kept. COM_INVALID_HANDLE when the device is missing,
// busy or cannot be opened; nothing is left open then. Called by the thread that will own the port
// (the connection thread, or the one that starts the modem emulator).
[[nodiscard]] ComHandle serial_open(const PortSettings *settings);

// Clears both directions (aborting a read or write in progress, which then fails), then closes the
// handle; COM_INVALID_HANDLE or a handle closed before is accepted. Always 0. Any thread, also
// while other threads still use the handle: their calls fail from then on.
int serial_close(ComHandle handle);

// Reads up to `maximum` bytes from port->com_handle into buffer: at once with what has arrived,
// else within about SERIAL_READ_WAIT_MS, possibly with 0 bytes. 1 with *count set; 0 on a device
// error or a closed port (*count is then 0). One reading thread per port at a time.
[[nodiscard]] int serial_read(PortRecord *port, void *buffer, std::uint32_t maximum,
                              std::uint32_t *count);

// Writes all `length` bytes to port->com_handle, waiting while flow control holds them back (no
// time limit; a cancel or a close ends the wait). A length of 0 or less writes nothing. 1 when
// everything was written; 0 on a device error, a cancel or a closed port. One writing thread per
// port at a time; it may run beside the reading one.
[[nodiscard]] int serial_write(PortRecord *port, const void *data, std::int32_t length);

// As serial_write, for a thread that nobody else can cancel: while flow control holds the bytes
// back it asks give_up(context) every SERIAL_WRITE_SLICE_MS and fails when the answer is non-zero.
// The port's write time-out is set to the slice for the time of the write and restored after it;
// a port whose time-outs cannot be read or set fails the write. 1 when everything was written, 0
// otherwise. The port's one writing thread, while no other thread changes its time-outs.
[[nodiscard]] int serial_write_watched(PortRecord *port, const void *data, std::int32_t length,
                                       int (*give_up)(void *context), void *context);
