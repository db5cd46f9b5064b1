// The line of a call as the COM-PORT-OPTION's server sees it (telnet/com_port.h): its operations
// over the port's device, the line's settings read from and written to its control block, and the
// port's stored settings put back when the call lets the line go, so that the next call starts
// from them whoever holds the port between calls.
#pragma once

#include <cstdint>

#include "platform/serial.h"
#include "settings/settings.h"
#include "telnet/com_port.h"

// One call's line. Used by the parser's thread of the call (and the relay's loop, which reads
// only the input lines); attach and restore by the connection thread when the relay does not run.
struct ComPortLineState {
    PortRecord *port;
    SerialDcb first;            // the block when the call took the line
    std::int32_t first_known;   // it could be read
    std::int32_t changed;       // the client changed the line: restore puts `first` back
    std::uint8_t break_on;      // as the client left them
    std::uint8_t dtr_on;
    std::uint8_t rts_on;
};

extern const ComPortLineOps COM_PORT_LINE_OPS;

// The call's line, as connected: its block read and kept. The connection thread.
void com_port_line_attach(ComPortLineState *state, PortRecord *port);

// Puts back what the client changed: the break ended, the control block the call began with
// applied again (which drives DTR and RTS as it says). Nothing when the client changed nothing.
// The connection thread, after the relay and before the line's disconnect sequence.
void com_port_line_restore(ComPortLineState *state);
