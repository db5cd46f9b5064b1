// A telnet caller: the Caller operations over a TelnetChannel and its socket.
#pragma once

#include <cstdint>

#include "gateway/caller.h"
#include "telnet/telnet.h"

// Makes *caller the telnet channel's caller (the channel stays the connection thread's; it must
// outlive the caller). host_name: NET_HOST_NAME_SIZE bytes, empty when unknown; null: none.
void caller_telnet_init(Caller *caller, TelnetChannel *channel, std::uint32_t address,
                        const char *host_name);
