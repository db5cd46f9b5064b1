// Serial devices as the gateway sees them: open by name, the line settings as a portable copy of
// the device-control block, time-outs, reads and whole-block writes that may run at once on two
// threads, the modem-control lines, break, purge, cancel and close.
//
// Handles. A ComHandle names one open of one device and is never reused: a closed handle, and any
// copy of it that another thread still holds, makes every later call fail with -1 (or do nothing),
// whatever has been opened since. Closing waits until the calls running on the handle have left
// (cancelling their reads and writes first), so a port that one thread closes while another uses
// it only ever fails that user's calls; no call touches a closed or reused device.
//
// Threads: any thread may call anything. At most one read and one write may run on a handle at a
// time (the callers guarantee it); the other calls may run beside them.
//
// Linux (termios). COMn opens ./COMn when it exists (typically a symbolic link to a device), else
// /dev/ttyS(n-1); a name beginning with '/' is a device path; other names fail. The line is put in
// raw mode at open (its format stays until com_set_state) and drops DTR at the last close. The
// DTR/DSR handshake, which termios lacks, is kept by a watcher thread that looks at the lines every
// 10 ms: output stops while DSR is off (f_outx_dsr_flow), DTR drops while 2 KB of input wait
// unread (f_dtr_control handshake), and input that arrives while DSR is off is dropped, but only
// under the DSR handshake (f_dsr_sensitivity alone would lose everything on a line whose DSR is not
// wired, which Windows does). What termios cannot do: RTS/CTS is one switch for both directions,
// the XON/XOFF limits, f_tx_continue_on_xoff, f_null and f_abort_on_error have no effect,
// f_error_char makes a byte with a parity error arrive as NUL rather than error_char, and 1.5 stop
// bits (but with 5 data bits) and speeds outside the standard table are refused whole (the device
// keeps its configuration, as on Windows). A device without modem lines (a pty, some adapters)
// reads every input line as off, accepts raising and dropping an output line without effect,
// skips a break it cannot send, and has no DTR/DSR handshake (nothing to hold output by).
//
// Windows: the Win32 comm functions with overlapped I/O; COMn above 9 opens too (device namespace).
// Under wine a pty mapped as a COM port rejects the modem-line calls (com_escape, com_modem_status
// fail), and wine does not make an open exclusive: the backend refuses a second open of a device
// within the process itself.
#pragma once

#include <cstdint>

// One open of a device; COM_INVALID_HANDLE when none. Never reused (see above).
using ComHandle = std::uint64_t;
constexpr ComHandle COM_INVALID_HANDLE = 0;

constexpr std::uint32_t COM_MAXDWORD = 0xFFFFFFFFu;
constexpr std::uint32_t COM_DCB_LENGTH = 28;  // the size of the Win32 block this record mirrors

// f_dtr_control and f_rts_control.
constexpr std::uint32_t COM_LINE_CONTROL_DISABLE = 0;    // line held off
constexpr std::uint32_t COM_LINE_CONTROL_ENABLE = 1;     // line held on
constexpr std::uint32_t COM_LINE_CONTROL_HANDSHAKE = 2;  // line driven by the receive handshake

// parity and stop_bits, as the platform's codes.
constexpr std::uint8_t COM_PARITY_NONE = 0;
constexpr std::uint8_t COM_PARITY_ODD = 1;
constexpr std::uint8_t COM_PARITY_EVEN = 2;
constexpr std::uint8_t COM_PARITY_MARK = 3;
constexpr std::uint8_t COM_PARITY_SPACE = 4;
constexpr std::uint8_t COM_STOP_BITS_1 = 0;
constexpr std::uint8_t COM_STOP_BITS_1_5 = 1;
constexpr std::uint8_t COM_STOP_BITS_2 = 2;

// com_escape codes.
constexpr std::uint32_t COM_SETRTS = 3;
constexpr std::uint32_t COM_CLRRTS = 4;
constexpr std::uint32_t COM_SETDTR = 5;
constexpr std::uint32_t COM_CLRDTR = 6;

// com_modem_status bits.
constexpr std::uint32_t COM_CTS_ON = 0x10;
constexpr std::uint32_t COM_DSR_ON = 0x20;
constexpr std::uint32_t COM_RING_ON = 0x40;
constexpr std::uint32_t COM_RLSD_ON = 0x80;  // carrier detect

// com_line_errors bits, as the Win32 CE_* flags.
constexpr std::uint32_t COM_ERROR_OVERRUN = 0x02;  // received bytes were lost
constexpr std::uint32_t COM_ERROR_PARITY = 0x04;
constexpr std::uint32_t COM_ERROR_FRAME = 0x08;
constexpr std::uint32_t COM_ERROR_BREAK = 0x10;    // a break came in

// com_purge flags.
constexpr std::uint32_t COM_PURGE_TXABORT = 1;  // end a write in progress (it fails)
constexpr std::uint32_t COM_PURGE_RXABORT = 2;  // end a read in progress (it fails)
constexpr std::uint32_t COM_PURGE_TXCLEAR = 4;  // drop what waits to be sent
constexpr std::uint32_t COM_PURGE_RXCLEAR = 8;  // drop what has arrived and was not read

// The device-control block: line format, flow control and special characters. Field names follow
// the Win32 DCB; flags are 0 or 1.
struct SerialDcb {
    std::uint32_t dcb_length;             // COM_DCB_LENGTH
    std::uint32_t baud_rate;              // bits per second
    std::uint32_t f_binary;               // no end-of-file character processing
    std::uint32_t f_parity;               // check the parity of received bytes
    std::uint32_t f_outx_cts_flow;        // output waits while CTS is off
    std::uint32_t f_outx_dsr_flow;        // output waits while DSR is off
    std::uint32_t f_dtr_control;          // COM_LINE_CONTROL_*
    std::uint32_t f_dsr_sensitivity;      // received bytes are dropped while DSR is off
    std::uint32_t f_tx_continue_on_xoff;  // keep sending after sending XOFF
    std::uint32_t f_out_x;                // output stops at XOFF received, goes on at XON
    std::uint32_t f_in_x;                 // send XOFF/XON as the receive buffer fills/empties
    std::uint32_t f_error_char;           // replace bytes with parity errors by error_char
    std::uint32_t f_null;                 // drop received NUL bytes
    std::uint32_t f_rts_control;          // COM_LINE_CONTROL_*
    std::uint32_t f_abort_on_error;       // a line error ends reads and writes
    std::uint16_t xon_lim;                // receive-buffer bytes below which XON is sent
    std::uint16_t xoff_lim;               // free bytes below which XOFF is sent
    std::uint8_t byte_size;               // data bits: 5 to 8
    std::uint8_t parity;                  // COM_PARITY_*
    std::uint8_t stop_bits;               // COM_STOP_BITS_*
    std::uint8_t xon_char;
    std::uint8_t xoff_char;
    std::uint8_t error_char;
    std::uint8_t eof_char;
    std::uint8_t evt_char;
};

// Time-outs in milliseconds, as the Win32 COMMTIMEOUTS. Reads: with read_interval_timeout
// COM_MAXDWORD and the multiplier 0, a read returns at once with what has arrived, or waits up to
// read_total_timeout_constant for the first byte (0: returns at once, possibly empty). Otherwise a
// read waits until the buffer is full or multiplier * length + constant has passed (both 0: no
// limit). Writes: multiplier * length + constant (both 0: no limit).
struct SerialTimeouts {
    std::uint32_t read_interval_timeout;
    std::uint32_t read_total_timeout_multiplier;
    std::uint32_t read_total_timeout_constant;
    std::uint32_t write_total_timeout_multiplier;
    std::uint32_t write_total_timeout_constant;
};

// Opens the named device for reading and writing, exclusively (a second open of a device that is
// open fails). The line keeps the configuration it had until com_set_state. COM_INVALID_HANDLE
// when the device is missing, busy or cannot be opened.
[[nodiscard]] ComHandle com_open(const char *name);

// Closes the handle: ends the reads and writes running on it (they fail), waits until every call
// on it has returned, then closes the device. Later calls with the handle fail. Closing
// COM_INVALID_HANDLE or a handle closed before does nothing.
void com_close(ComHandle handle);

// The device's current control block. -1 on failure (the block is then not meaningful).
[[nodiscard]] int com_get_state(ComHandle handle, SerialDcb *dcb);
// Applies a control block. -1 when the device refuses it; it then keeps its configuration.
[[nodiscard]] int com_set_state(ComHandle handle, const SerialDcb *dcb);
// The time-outs in force. -1 on failure.
[[nodiscard]] int com_get_timeouts(ComHandle handle, SerialTimeouts *timeouts);
// Sets the time-outs for the reads and writes started afterwards. -1 on failure.
[[nodiscard]] int com_set_timeouts(ComHandle handle, const SerialTimeouts *timeouts);

// Reads up to maximum bytes into buffer, waiting as the time-outs say; *count tells how many came
// (possibly 0). -1 on a device error, a cancel, a purge abort or a close (*count is then 0).
[[nodiscard]] int com_read(ComHandle handle, void *buffer, std::uint32_t maximum,
                           std::uint32_t *count);
// Writes length bytes, waiting while flow control holds the output back; *count tells how many
// were handed to the device (fewer only when a write time-out is set and ran out). -1 on a device
// error, a cancel, a purge abort or a close (*count then tells what went before).
[[nodiscard]] int com_write(ComHandle handle, const void *data, std::uint32_t length,
                            std::uint32_t *count);

// Raises or drops DTR or RTS (COM_SETDTR, COM_CLRDTR, COM_SETRTS, COM_CLRRTS). -1 on failure.
[[nodiscard]] int com_escape(ComHandle handle, std::uint32_t code);
// The input lines as COM_*_ON bits. -1 on failure.
[[nodiscard]] int com_modem_status(ComHandle handle, std::uint32_t *status);
// The errors the device saw on the received bytes since the last call (COM_ERROR_* bits; a device
// that reports none, a pty among them, always has 0). -1 on failure.
[[nodiscard]] int com_line_errors(ComHandle handle, std::uint32_t *errors);
// Holds the line in the break state until com_clear_break. -1 on failure.
[[nodiscard]] int com_set_break(ComHandle handle);
[[nodiscard]] int com_clear_break(ComHandle handle);
// Aborts and clears as the COM_PURGE_* flags say. -1 on failure.
[[nodiscard]] int com_purge(ComHandle handle, std::uint32_t flags);
// Makes the read and the write running on the handle at this moment return -1 (a blocked write
// held back by flow control included). Calls started later are not affected: a caller racing
// with the start of an I/O cancels again until the thread it waits for has left. -1 when the
// handle is not open.
int com_cancel(ComHandle handle);

// -- waiting for what a device has to say --
// A reading loop that would otherwise poll (a read that returns after 50 ms when the line is quiet)
// can sleep until something happens: input to read, a change of the input lines, or a wake-up
// from another thread. Devices that cannot do this (Windows here) leave their users polling.

// A wake-up for com_wait. Signalled by any thread; the running wait, or else the next one, takes
// the signal and returns. Signals before a take count as one.
struct ComWake;
// Null on failure.
[[nodiscard]] ComWake *com_wake_create();
// Null is accepted. Nobody may wait on it any more.
void com_wake_close(ComWake *wake);
void com_wake_signal(ComWake *wake);
// Takes a pending signal: 1 when there was one. For the device tables' waits.
int com_wake_take(ComWake *wake);

// What a com_wait found (bits).
constexpr std::uint32_t COM_EVENT_INPUT = 1;  // a read would not wait: bytes, a hang-up or an error
constexpr std::uint32_t COM_EVENT_LINES = 2;  // the input lines changed (or cannot be read)
constexpr std::uint32_t COM_EVENT_WAKE = 4;   // the wake-up was signalled (and is taken)

constexpr std::uint32_t COM_WAIT_FOREVER = 0xFFFFFFFFu;
// How often a device that cannot announce a change of its input lines has them looked at during
// a wait that watches them (a device without modem lines is not looked at: nothing changes there).
constexpr std::uint32_t COM_LINE_LOOK_MS = 50;

// 1 when com_wait works on the handle, 0 when it does not (the device cannot wait, or the handle
// is not open). Any thread.
[[nodiscard]] int com_can_wait(ComHandle handle);
// Waits up to timeout_ms (COM_WAIT_FOREVER: no limit) until input waits to be read, the input
// lines change (only with watch_lines non-zero) or `wake` is signalled; *events receives the
// COM_EVENT_* bits found, 0 when the time-out passed first. The wait is the handle's read for the
// rules of threads: a read cancel or a close ends it. -1 on a device error, a cancel, a close, or
// a device that cannot wait (*events is then 0). The port's one reading thread.
[[nodiscard]] int com_wait(ComHandle handle, ComWake *wake, int watch_lines,
                           std::uint32_t timeout_ms, std::uint32_t *events);
