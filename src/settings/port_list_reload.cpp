// Reloading the port list from the file's records.
#include "settings/port_list_reload.h"

#include <cstring>

#include "settings/port_list.h"

namespace {

bool same_name(const char (&a)[16], const char (&b)[16]) {
    return text_equal_ignoring_case(a, text_length(a), b, text_length(b));
}

PortChange change_of(PortChangeKind kind, const PortSettings &settings, bool busy, bool done) {
    PortChange change{kind, {}, busy, done};
    std::memcpy(change.port_name, settings.port_name, text_length(settings.port_name));
    return change;
}

// For each record of the list in order, the index in `ports` of its match, or -1.
std::vector<std::int32_t> match_records(const std::vector<PortSettings> &ports) {
    std::vector<std::int32_t> matches;
    std::vector<bool> taken(ports.size(), false);
    for (std::int32_t position = 0;; ++position) {
        PortRecord *record = port_list_at(position);
        if (record == nullptr) break;
        std::int32_t match = -1;
        for (std::size_t i = 0; i < ports.size() && match < 0; ++i) {
            if (!taken[i] && same_name(record->settings.port_name, ports[i].port_name)) {
                taken[i] = true;
                match = static_cast<std::int32_t>(i);
            }
        }
        matches.push_back(match);
    }
    return matches;
}

}  // namespace

void port_list_reload(const std::vector<PortSettings> &ports, PortListReload *report) {
    report->changes.clear();
    report->order_changed = false;

    // Removed from the back, so that the positions still to visit stay where they were.
    std::vector<std::int32_t> matches = match_records(ports);
    for (std::size_t i = matches.size(); i-- > 0;) {
        if (matches[i] >= 0) continue;
        PortRecord *record = port_list_at(static_cast<std::int32_t>(i));
        PortChange change = change_of(PORT_REMOVED, record->settings, record->busy.load() != 0, true);
        change.done = port_list_remove(static_cast<std::int32_t>(i));
        report->changes.push_back(change);
    }
    matches = match_records(ports);

    // Positions below `placed` hold the file's ports in its order; the rest of the list holds the
    // matched records not placed yet.
    std::int32_t placed = 0;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        std::int32_t position = -1;
        for (std::size_t j = static_cast<std::size_t>(placed); j < matches.size(); ++j) {
            if (matches[j] == static_cast<std::int32_t>(i)) position = static_cast<std::int32_t>(j);
        }
        if (position < 0) {
            std::int32_t before = port_list.port_count;
            bool done = port_list_add(&ports[i]);
            report->changes.push_back(change_of(PORT_ADDED, ports[i], false, done));
            if (port_list.port_count == before) continue;  // no record was made
            position = port_list.port_count - 1;
            matches.push_back(static_cast<std::int32_t>(i));
        } else {
            PortRecord *record = port_list_at(position);
            if (std::memcmp(&record->settings, &ports[i], sizeof ports[i]) != 0) {
                bool busy = record->busy.load() != 0;
                bool done = port_list_update(record, &ports[i]);
                report->changes.push_back(change_of(PORT_UPDATED, ports[i], busy, done));
            }
            if (position != placed) report->order_changed = true;
        }
        // Moved up one place at a time, as the dialog's "up" button does.
        for (std::int32_t p = position; p > placed; --p) {
            if (port_list_swap_next(p - 1)) {
                std::swap(matches[static_cast<std::size_t>(p - 1)], matches[static_cast<std::size_t>(p)]);
            }
        }
        ++placed;
    }
}
