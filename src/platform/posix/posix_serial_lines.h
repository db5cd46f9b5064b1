// Test hook of the Linux serial backend: lends modem lines to devices that have none (a pty), so
// that what depends on them, the DTR/DSR handshake above all, can be tested on a real terminal.
// Tests only; the programs never call it.
#pragma once

#include <atomic>

// While set, a device without modem lines reads its input lines from *inputs (TIOCM_CTS, TIOCM_DSR,
// TIOCM_CAR, TIOCM_RNG bits) and keeps the DTR and RTS it is given in *outputs (TIOCM_DTR,
// TIOCM_RTS bits). Null: such devices have no lines again. Set while no device is open; both
// words stay the caller's and may be changed by it at any time.
void posix_serial_lend_lines(std::atomic<int> *inputs, std::atomic<int> *outputs);
