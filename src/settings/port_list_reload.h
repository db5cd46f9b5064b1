// Makes the running port list equal to a list read from NORVEX.DAT, through the port list
// operations alone, as the port list dialog would change it by hand: a call in progress keeps its
// active_settings, and a port removed while busy is freed when its call releases it.
#pragma once

#include <cstdint>
#include <vector>

#include "settings/settings.h"

enum PortChangeKind : std::int32_t {
    PORT_ADDED,
    PORT_REMOVED,
    PORT_UPDATED,  // the settings differed from the file's
};

struct PortChange {
    PortChangeKind kind;
    char port_name[17];  // terminated
    bool busy;           // the port was serving a call when it was changed
    bool done;           // false: the list operation reported a failure (the record was not made,
                         // or its modem emulator did not start)
};

struct PortListReload {
    std::vector<PortChange> changes;  // in the order they were made
    bool order_changed;               // ports that stay were put in another order
};

// Ports are matched by name without regard to case; when a name occurs more than once, the k-th
// record of that name is matched with the k-th in `ports`. Records with no match are removed,
// the ports without a record are added, records whose settings differ are updated, then the list
// is put in the file's order by swaps with a successor. UI thread (the Linux program's main thread).
void port_list_reload(const std::vector<PortSettings> &ports, PortListReload *report);
