// A telnet caller: the Caller operations over a TelnetChannel and its socket; on a direct port that
// allows it, also the COM-PORT-OPTION's line operations.
#pragma once

#include <cstdint>

#include "gateway/caller.h"
#include "gateway/com_port_line.h"
#include "telnet/com_port.h"
#include "telnet/telnet.h"

// Makes *caller the telnet channel's caller (the channel stays the connection thread's; it must
// outlive the caller). host_name: NET_HOST_NAME_SIZE bytes, empty when unknown; null: none.
void caller_telnet_init(Caller *caller, TelnetChannel *channel, std::uint32_t address,
                        const char *host_name);

// The COM-PORT-OPTION of one telnet caller: the option's server and the line it drives. Lives on
// the connection thread's stack for the call.
struct TelnetComPort {
    ComPortServer server;
    ComPortLineState line;
};

// Makes the telnet caller serve the COM-PORT-OPTION with *com_port, answering a signature request
// with `signature`: a client that agrees to the option is a program (no texts), drives the line
// from the moment the call has it, hears of the input lines under its masks, and may suspend the
// equipment's data. The connection thread, after caller_telnet_init and before the flow.
void caller_telnet_serve_com_port(Caller *caller, TelnetComPort *com_port, const char *signature);
