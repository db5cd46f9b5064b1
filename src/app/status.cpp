// Port status for the operator.
#include "app/status.h"

#include <cstdio>

#include "settings/port_list.h"

std::string status_caller_text(std::uint32_t address, const char *host_name, const char *user) {
    char dotted[16];
    std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", (address >> 24) & 0xFFu,
                  (address >> 16) & 0xFFu, (address >> 8) & 0xFFu, address & 0xFFu);
    std::size_t length = 0;
    while (host_name != nullptr && length < 63 && host_name[length] != '\0') ++length;
    std::size_t user_length = 0;
    while (user != nullptr && user_length < 31 && user[user_length] != '\0') ++user_length;
    std::string who = user_length == 0 ? "" : std::string(user, user_length) + "@";
    if (length == 0) return who + dotted;
    return who + std::string(host_name, length) + "(" + dotted + ")";
}

void status_snapshot(std::vector<PortStatus> *ports) {
    std::vector<PortStatus> &now = *ports;
    now.clear();
    list_lock();
    std::int32_t position = 0;
    for (const PortRecord *record = port_list.head; record != nullptr && position < port_list.port_count;
         record = record->next, ++position) {
        PortStatus status{record, std::string(record->settings.port_name,
                                              text_length(record->settings.port_name)),
                          record->busy.load() != 0, ""};
        if (status.busy) {
            status.caller = status_caller_text(record->caller_address.load(),
                                               record->caller_host_name, record->caller_user);
        }
        now.push_back(status);
    }
    list_unlock();
}

void status_changes(std::vector<PortStatus> *last, std::vector<std::string> *lines) {
    std::vector<PortStatus> now;
    status_snapshot(&now);
    for (const PortStatus &status : now) {
        const PortStatus *before = nullptr;
        for (const PortStatus &old : *last) {
            if (old.record == status.record) before = &old;
        }
        bool changed = before == nullptr ? status.busy
                                         : before->busy != status.busy || before->caller != status.caller;
        if (!changed) continue;
        lines->push_back(status.busy ? status.name + " busy: " + status.caller
                                     : status.name + " free");
    }
    *last = now;
}
