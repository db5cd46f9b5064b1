// Which serial port serves a caller: the first free port, in list order, whose permission rules
// admit the caller's address or host name. Allocation and release tell the main window.
#pragma once

#include <cstdint>

#include "settings/settings.h"

// Main-window command codes posted by workers (the window's WM_APP_COMMAND).
constexpr std::int32_t CMD_REFRESH_STATUS = 5;

// Gives the caller the first free port whose rules admit it (a port whose modem emulator the port
// list is restarting counts as not free): marks it busy, clears its
// disconnect_request, stores the caller and copies settings into active_settings. The record is
// held for the call until port_release. Null when every port is busy or refuses the caller.
// host_name: 64 bytes, NUL-terminated, empty when unknown. address: host byte order.
// Connection threads.
[[nodiscard]] PortRecord *port_allocate(const char *host_name, std::uint32_t address);

// Which ports a caller may be given besides what the permission rules say: the pool (every port),
// one port by name, or the ports an SSH key is limited to.
struct PortRoute {
    char only_name[sizeof PortSettings::port_name];  // non-empty: this port alone (any case)
    std::uint32_t allowed_coms;  // non-zero: only COMn whose bit (1 << (n - 1)) is set
};

// port_allocate within a route (null: the pool), storing the caller's user name (SSH; null or
// empty: none) beside its address. Connection threads.
[[nodiscard]] PortRecord *port_allocate_routed(const PortRoute *route, const char *host_name,
                                               std::uint32_t address, const char *user);

// Ends the port's allocation and lets go of the call's hold on the record. Connection threads.
void port_release(PortRecord *port);

// True when the rule is in use and matches the caller. Any thread.
bool permission_rule_matches(const PermissionRule *rule, const char *host_name,
                             std::uint32_t address);
