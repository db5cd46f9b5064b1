// How a device-control block becomes termios settings on Linux. Kept apart from the device code so
// that the mapping can be checked whole, also for settings a pty does not keep (it forces 8 data
// bits and no parity).
#pragma once

#include <termios.h>

#include "platform/serial.h"

// The speed constant for a rate in bits per second; false when termios has none for it.
bool posix_speed_from_baud(std::uint32_t baud_rate, speed_t *speed);

// Rewrites *settings for the block: raw mode, the receiver on, modem lines not needed for reading,
// DTR dropped at the last close, speed, data bits, parity (mark and space through CMSPAR), stop
// bits, RTS/CTS, XON/XOFF with the block's characters, and parity checking. False (and *settings
// unchanged) when termios cannot express the block: a speed outside the table, data bits outside
// 5-8, 1.5 stop bits with other than 5 data bits, an unknown parity or stop-bit code.
bool posix_termios_from_dcb(const SerialDcb *dcb, termios *settings);
