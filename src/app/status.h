// What the operator is told about the ports: the caller text of a busy port, and the console's
// report of ports changing between free and busy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "settings/settings.h"

// The caller as the status list shows it: "a.b.c.d", or "host(a.b.c.d)" when a host name is known;
// an SSH caller's user name goes before it: "user@a.b.c.d", "user@host(a.b.c.d)".
std::string status_caller_text(std::uint32_t address, const char *host_name,
                               const char *user = nullptr);

// One port as last reported.
struct PortStatus {
    const PortRecord *record;
    std::string name;
    bool busy;
    std::string caller;
};

// Reads every port's state in list order, under the list lock so that a port's caller is read
// whole (a connection thread writes it under the same lock). UI thread.
void status_snapshot(std::vector<PortStatus> *ports);

// Reads every port's state (under the list lock, so a port's caller is read whole) and appends a
// line to `lines` for each port whose state differs from `last`, which then holds the new states.
// UI thread.
void status_changes(std::vector<PortStatus> *last, std::vector<std::string> *lines);
