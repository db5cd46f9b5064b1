// The access log: one CR LF line per connection, appended to the file named in the options when
// logging is on. Start time, end time or failure reason, port and caller stand at fixed columns.
#pragma once

#include <cstdint>

#include "platform/clock.h"

// Failure reasons written by the connection flow.
constexpr const char *LOG_INITIALIZE_FAIL = "initialize fail";
constexpr const char *LOG_SEND_FAIL = "send fail";
constexpr const char *LOG_ALL_PORT_BUSY = "all port busy";
constexpr const char *LOG_COM_PORT_ATTACH_FAIL = "com port attach fail";
constexpr const char *LOG_CONNECTION_FAIL = "connection fail";
constexpr const char *LOG_AUTO_PILOT_FAIL = "auto pilot fail";
constexpr const char *LOG_TRANSFER_FAIL = "transfer fail";

// Appends the line when access_log_enabled is on (options are read at each line). Any of host_name,
// port_name, end and reason may be null; an empty host name counts as none; a reason wins over an
// end time; address is in host byte order. The file is opened with read sharing only, so
// concurrent writers take turns: up to 10 tries, 100 ms apart (a write that failed before putting
// anything down costs a try too); after that the line is dropped. Nothing is reported. Any thread.
void access_log_write(const char *host_name, std::uint32_t address, const char *port_name,
                      const LocalTime *start, const LocalTime *end, const char *reason);
