// The gateway's answers to the control channel's requests, made on its main thread.
#include "service/control_answer.h"

#include <cstring>

#include "app/messages.h"
#include "app/session.h"
#include "app/status.h"
#include "control/control_protocol.h"
#include "control/escaped_text.h"
#include "control/settings_fields.h"
#include "gateway/listener.h"
#include "gateway/relay.h"
#include "resources/resource_ids.h"
#include "settings/port_list.h"
#include "settings/settings_file.h"

namespace {

std::string word(const std::string &text) { return escaped_text_show(text.data(), text.size(), true); }

std::string line_text(const std::string &text) { return escaped_text_show(text.data(), text.size()); }

bool same_name(const std::string &a, const char (&port_name)[16]) {
    return text_equal_ignoring_case(a.data(), a.size(), port_name, text_length(port_name));
}

void answer_status(const ControlContext *context, std::string *reply) {
    *reply += "listening " + std::to_string(context->telnet_port) + "\n";
    std::vector<PortStatus> ports;
    status_snapshot(&ports);
    for (const PortStatus &port : ports) {
        *reply += "port " + word(port.name) + (port.busy ? " busy " + word(port.caller) : " free") + "\n";
    }
    std::vector<GatewayWay> ways;
    gateway_ways_open(&ways);
    for (const GatewayWay &way : ways) {
        if (way.way != WAY_DIRECT) continue;
        *reply += "direct " + word(way.port_name) + " " + std::to_string(way.tcp_port) +
                  (way.rfc2217 != 0 ? " rfc2217" : "") + "\n";
    }
    *reply += "ok\n";
}

// A port's direct TCP port as the reload tells it.
std::string direct_text(const IniPort &port) {
    return port.name + ": direct TCP port " + std::to_string(port.tcp_port) +
           (port.rfc2217 != 0 ? " with the COM-PORT-OPTION (RFC 2217)" : "");
}

// What the reload changed in the ports' direct TCP ports.
void direct_changes(const IniSettings &before, const IniSettings &after,
                    std::vector<std::string> *lines) {
    auto same = [](const IniPort *a, const IniPort &b) {
        return a != nullptr && a->tcp_port == b.tcp_port && (a->rfc2217 != 0) == (b.rfc2217 != 0);
    };
    for (const IniPort &port : before.ports) {
        if (port.tcp_port == 0) continue;
        const IniPort *now = ini_port(&after, port.name.data(), port.name.size());
        if (now == nullptr || now->tcp_port != port.tcp_port) {
            lines->push_back(port.name + ": direct TCP port " + std::to_string(port.tcp_port) +
                             " closed");
        }
    }
    for (const IniPort &port : after.ports) {
        if (port.tcp_port == 0) continue;
        if (!same(ini_port(&before, port.name.data(), port.name.size()), port)) {
            lines->push_back(direct_text(port));
        }
    }
}

// The forced disconnect of the main window's line menu, without its question: the operator asked
// by naming the port. The first port of that name, as the list shows them.
void answer_disconnect(const std::string &typed_name, std::string *reply,
                       std::vector<std::string> *log) {
    std::string name;
    std::string problem;
    if (escaped_text_read(typed_name.c_str(), &name, &problem) != 0 || name.empty()) {
        *reply += "error input disconnect needs a port name\n";
        return;
    }
    bool found = false;
    bool busy = false;
    std::string caller;
    std::string known;
    list_lock();
    std::int32_t position = 0;
    for (PortRecord *record = port_list.head; record != nullptr && position < port_list.port_count;
         record = record->next, ++position) {
        known += std::string(known.empty() ? "" : " ") +
                 std::string(record->settings.port_name, text_length(record->settings.port_name));
        if (found || !same_name(name, record->settings.port_name)) continue;
        found = true;
        name.assign(record->settings.port_name, text_length(record->settings.port_name));
        busy = record->busy.load() != 0;
        if (busy) {
            caller = status_caller_text(record->caller_address.load(), record->caller_host_name,
                                        record->caller_user);
            record->disconnect_request.store(1);
            relay_wake(record);
        }
    }
    list_unlock();
    if (!found) {
        *reply += "error input no port " + line_text(name) + " (ports: " +
                  (known.empty() ? std::string("none") : line_text(known)) + ")\n";
    } else if (busy) {
        *reply += "requested " + word(name) + " " + word(caller) + "\nok\n";
        log->push_back(name + ": forced disconnect of " + caller + " (norvexctl)");
    } else {
        *reply += "free " + word(name) + "\nok\n";
    }
}

std::string port_change_text(const PortChange &change) {
    std::string name = line_text(change.port_name);
    switch (change.kind) {
    case PORT_ADDED:
        return change.done ? name + " added"
                           : name + " added: " + message_line(STR_PORT_ADD_FAILED) +
                                 "; its modem emulator did not start";
    case PORT_REMOVED:
        return name + (change.busy ? " removed; its call goes on until it ends" : " removed");
    case PORT_UPDATED:
        if (!change.done) {
            return name + " updated: " + message_line(STR_PORT_UPDATE_FAILED) +
                   "; its modem emulator did not start";
        }
        return name + (change.busy ? " updated; the call in progress keeps its settings"
                                   : " updated");
    }
    return name;
}

void answer_reload(const ControlContext *context, std::string *reply,
                   std::vector<std::string> *log) {
    SessionReload report;
    std::int32_t result = session_reload(&report);
    if (result == RELOAD_MISSING) {
        *reply += "error failed NORVEX.DAT is missing or shorter than the options (1792 bytes); "
                  "nothing changed\n";
        return;
    }
    if (result == RELOAD_UNREADABLE) {
        *reply += "error failed NORVEX.DAT cannot be read (held by another program for " +
                  std::to_string(SETTINGS_LOCK_WAIT_MS / 1000) +
                  " s, or no permission); nothing changed\n";
        return;
    }
    if (result == RELOAD_INI_MALFORMED) {
        std::string why = report.ways.problems.empty() ? std::string(INI_FILE_NAME) + " is malformed"
                                                      : report.ways.problems.front();
        *reply += "error failed " + line_text(why) + "; nothing changed\n";
        return;
    }
    if (result == RELOAD_MALFORMED) {
        *reply += "error failed NORVEX.DAT is not 1792 + 8448 x N bytes long; nothing changed\n";
        return;
    }

    std::vector<std::string> lines;
    std::vector<bool> warnings;
    auto add = [&](const std::string &text, bool warning) {
        lines.push_back(text);
        warnings.push_back(warning);
    };
    std::string changed = settings_fields_changed(option_fields, &report.before, &report.after);
    if (!changed.empty()) add("options changed: " + changed, false);
    for (const PortChange &change : report.ports.changes) add(port_change_text(change), !change.done);
    if (report.ports.order_changed) {
        std::string order;
        for (std::int32_t i = 0; PortRecord *record = port_list_at(i); ++i) {
            order += std::string(order.empty() ? "" : ", ") +
                     std::string(record->settings.port_name, text_length(record->settings.port_name));
        }
        add("port order now: " + line_text(order), false);
    }
    if (report.ways.ini.ssh_port != report.ini_before.ssh_port) {
        add(report.ways.ini.ssh_port == 0
                ? std::string("SSH port closed")
                : "SSH callers on port " + std::to_string(report.ways.ini.ssh_port) +
                      "; host key " + report.ways.ssh_fingerprint,
            false);
    }
    std::vector<std::string> direct;
    direct_changes(report.ini_before, report.ways.ini, &direct);
    for (const std::string &line : direct) add(line, false);
    for (const std::string &problem : report.ways.problems) add(problem, true);
    if (report.after.telnet_port != context->telnet_port) {
        add(message_line(STR_TELNET_PORT_NEXT_START) + ": listening on " +
                std::to_string(context->telnet_port) + ", the next start uses " +
                std::to_string(report.after.telnet_port),
            false);
    }
    if (lines.empty()) add("nothing changed", false);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        *reply += (warnings[i] ? "warning " : "info ") + line_text(lines[i]) + "\n";
        log->push_back("reload: " + lines[i]);
    }
    *reply += "ok\n";
}

}  // namespace

void control_answer(const std::string &request, const ControlContext *context, std::string *reply,
                    std::vector<std::string> *log) {
    reply->clear();
    std::string command;
    std::string argument;
    control_line_split(request, &command, &argument);
    if (command == "status" && argument.empty()) {
        answer_status(context, reply);
    } else if (command == "disconnect") {
        answer_disconnect(argument, reply, log);
    } else if (command == "reload" && argument.empty()) {
        answer_reload(context, reply, log);
    } else {
        *reply += "error input unknown request " + line_text(request.substr(0, 40)) +
                  " (requests: status, disconnect NAME, reload)\n";
    }
}
