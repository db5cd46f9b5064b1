// Edits of NORVEX.DAT's image for norvexctl, and its readable form.
#include "ctl/settings_edit.h"

#include <cstdio>
#include <cstring>

#include "app/messages.h"
#include "control/escaped_text.h"
#include "control/settings_fields.h"
#include "dialogs/dialog_rules.h"
#include "resources/resource_ids.h"

namespace {

constexpr int NAME_WIDTH = 23;

std::string port_name_of(const PortSettings &port) {
    return std::string(port.port_name, text_length(port.port_name));
}

std::string shown_name(const std::string &name) { return escaped_text_show(name.data(), name.size()); }

bool same_name(const std::string &a, const std::string &b) {
    return text_equal_ignoring_case(a.data(), a.size(), b.data(), b.size());
}

std::string port_names(const SettingsImage *image) {
    if (image->ports.empty()) return "there is no port yet";
    std::string names;
    for (const PortSettings &port : image->ports) {
        names += std::string(names.empty() ? "ports: " : ", ") + shown_name(port_name_of(port));
    }
    return names;
}

// The first port named `typed` (escapes read as the show writes them), or -1 with *problem.
int find_port(const SettingsImage *image, const std::string &typed, std::string *problem) {
    std::string name;
    std::string why;
    if (escaped_text_read(typed.c_str(), &name, &why) != 0) {
        *problem = "port name " + typed + ": " + why;
        return -1;
    }
    for (std::size_t i = 0; i < image->ports.size(); ++i) {
        if (same_name(name, port_name_of(image->ports[i]))) return static_cast<int>(i);
    }
    *problem = "no port " + shown_name(name) + " (" + port_names(image) + ")";
    return -1;
}

template <std::size_t N>
std::string ini_field_names(const IniField (&fields)[N]) {
    std::string names;
    for (const IniField &field : fields) names += std::string(names.empty() ? "" : ", ") + field.name;
    return names;
}

template <std::size_t N>
std::string field_names(const SettingsField (&fields)[N]) {
    std::string names;
    for (const SettingsField &field : fields) names += std::string(names.empty() ? "" : ", ") + field.name;
    return names;
}

// Applies NAME=VALUE assignments in order to `record`. Nothing is changed on -1.
template <typename Record, std::size_t N>
int assign(const SettingsField (&fields)[N], const char *kind, Record *record,
           const std::vector<std::string> &assignments, std::string *names, std::string *problem,
           const std::string &more_names = "") {
    Record changed = *record;
    for (const std::string &assignment : assignments) {
        std::size_t equals = assignment.find('=');
        if (equals == std::string::npos) {
            *problem = shown_name(assignment) + ": a setting is given as NAME=VALUE";
            return -1;
        }
        std::string name = assignment.substr(0, equals);
        const SettingsField *field = settings_field_find(fields, name);
        if (field == nullptr) {
            *problem = name == "port_name" && std::string(kind) == "port setting"
                           ? "port_name cannot be changed: remove the port and add it under the "
                             "new name"
                           : "unknown " + std::string(kind) + " " + shown_name(name) + " (" +
                                 kind + "s: " + field_names(fields) + more_names + ")";
            return -1;
        }
        if (settings_field_set(field, &changed, assignment.c_str() + equals + 1, problem) != 0) {
            return -1;
        }
        if (names->find(field->name) == std::string::npos) {
            *names += std::string(names->empty() ? "" : ", ") + field->name;
        }
    }
    *record = changed;
    return 0;
}

// Sorts NAME=VALUE assignments into those of NORVEX.INI's fields (read now, as stored) and the
// rest. -1 with *problem when an INI value is bad.
template <std::size_t N>
int split_ini(const IniField (&fields)[N], const std::vector<std::string> &assignments,
              std::vector<std::string> *in_file,
              std::vector<std::pair<std::string, std::string>> *in_ini, std::string *problem) {
    for (const std::string &assignment : assignments) {
        std::size_t equals = assignment.find('=');
        const IniField *field =
            equals == std::string::npos ? nullptr : ini_field_find(fields, assignment.substr(0, equals));
        if (field == nullptr) {
            in_file->push_back(assignment);
            continue;
        }
        std::string stored;
        if (ini_field_read(field, assignment.c_str() + equals + 1, &stored, problem) != 0) return -1;
        in_ini->emplace_back(field->name, stored);
    }
    return 0;
}

// Writes the INI assignments into `section` and adds them to the names of what was set.
void store_ini(IniDocument *ini, const std::string &section,
               const std::vector<std::pair<std::string, std::string>> &in_ini, std::string *names) {
    for (const auto &[name, value] : in_ini) {
        ini_set(ini, section, name, value);
        *names += std::string(names->empty() ? "" : ", ") + name + "=" + value;
    }
}

int direction_of(const std::string &direction, std::string *problem) {
    if (direction == "up") return -1;
    if (direction == "down") return 1;
    *problem = shown_name(direction) + ": a move goes up or down";
    return 0;
}

int rule_count(const PortSettings &port) {
    int count = 0;
    for (const PermissionRule &rule : port.permission_rules) count += rule.in_use != 0 ? 1 : 0;
    return count;
}

// A rule's number as typed (1 to the count of rules, with the rules packed), or -1 with *problem.
int rule_index(const PortSettings &port, const std::string &number, std::string *problem) {
    int count = rule_count(port);
    int value = 0;
    bool digits = !number.empty() && number.size() <= 3;
    for (char c : number) {
        digits = digits && c >= '0' && c <= '9';
        if (digits) value = value * 10 + (c - '0');
    }
    if (!digits || value < 1 || value > count) {
        *problem = "rule " + shown_name(number) + ": " + shown_name(port_name_of(port)) +
                   (count == 0 ? " has no rule" : " has rules 1 to " + std::to_string(count));
        return -1;
    }
    return value - 1;
}

std::string rule_text(const PermissionRule &rule) {
    char text[RULE_TEXT_SIZE];
    format_rule_text(&rule, text);
    return std::string(rule.permit != 0 ? "permit " : "deny ") + escaped_text_show(text, std::strlen(text));
}

void show_line(std::string *out, const std::string &name, const std::string &value) {
    char line[64];
    std::snprintf(line, sizeof line, "  %-*s ", NAME_WIDTH - 2, name.c_str());
    *out += line + value + "\n";
}

}  // namespace

int edit_options_set(SettingsImage *image, IniDocument *ini,
                     const std::vector<std::string> &assignments, std::string *done,
                     std::string *problem) {
    if (assignments.empty()) {
        *problem = "options set needs NAME=VALUE (options: " + field_names(option_fields) + ", " +
                   ini_field_names(ini_option_fields) + ")";
        return -1;
    }
    // NORVEX.INI's options apart, each checked now; the rest as the options dialog takes them.
    std::vector<std::string> in_file;
    std::vector<std::pair<std::string, std::string>> in_ini;
    if (split_ini(ini_option_fields, assignments, &in_file, &in_ini, problem) != 0) return -1;
    std::string names;
    if (!in_file.empty() &&
        assign(option_fields, "option", &image->options, in_file, &names, problem,
               ", " + ini_field_names(ini_option_fields)) != 0) {
        return -1;
    }
    store_ini(ini, "", in_ini, &names);
    *done = "options set: " + names;
    return 0;
}

int edit_port_add(SettingsImage *image, IniDocument *ini, const std::string &name,
                  const std::vector<std::string> &assignments, std::string *done,
                  std::string *problem) {
    // The names the port settings dialog offers when adding: COM1 to COM9 not yet taken.
    std::vector<const char *> taken;
    for (const PortSettings &port : image->ports) taken.push_back(port.port_name);
    PortNameChoice offered[PORT_NAME_CHOICE_COUNT];
    std::int32_t count =
        port_name_choices(true, taken.data(), static_cast<std::int32_t>(taken.size()), offered);
    const char *chosen = nullptr;
    for (std::int32_t i = 0; i < count && chosen == nullptr; ++i) {
        if (same_name(name, offered[i].text)) chosen = offered[i].text;
    }
    if (chosen == nullptr) {
        PortNameChoice all[PORT_NAME_CHOICE_COUNT];
        bool com_name = false;
        for (std::int32_t i = 0, n = port_name_choices(false, nullptr, 0, all); i < n; ++i) {
            com_name = com_name || same_name(name, all[i].text);
        }
        if (!com_name) {
            *problem = "port " + shown_name(name) + ": ports are named COM1 to COM9 (link ./COMn "
                       "in the gateway's directory to the device)";
        } else if (count == 0) {
            *problem = message_line(STR_NO_PORT_TO_ADD) + ": COM1 to COM9 all exist";
        } else {
            *problem = "port " + shown_name(name) + " already exists (" + port_names(image) + ")";
        }
        return -1;
    }
    PortSettings port;
    port_settings_defaults(&port, chosen);
    std::vector<std::string> in_file;
    std::vector<std::pair<std::string, std::string>> in_ini;
    if (split_ini(ini_port_fields, assignments, &in_file, &in_ini, problem) != 0) return -1;
    std::string names;
    if (assign(port_fields, "port setting", &port, in_file, &names, problem,
               ", " + ini_field_names(ini_port_fields)) != 0) {
        return -1;
    }
    // A port added again does not take up the direct TCP port of the one removed before it.
    for (const IniField &field : ini_port_fields) ini_remove(ini, chosen, field.name);
    store_ini(ini, chosen, in_ini, &names);
    image->ports.push_back(port);
    *done = std::string(chosen) + " added" + (names.empty() ? "" : " with " + names);
    return 0;
}

int edit_port_set(SettingsImage *image, IniDocument *ini, const std::string &name,
                  const std::vector<std::string> &assignments, std::string *done,
                  std::string *problem) {
    int index = find_port(image, name, problem);
    if (index < 0) return -1;
    if (assignments.empty()) {
        *problem = "port set needs NAME=VALUE (port settings: " + field_names(port_fields) + ", " +
                   ini_field_names(ini_port_fields) + ")";
        return -1;
    }
    std::vector<std::string> in_file;
    std::vector<std::pair<std::string, std::string>> in_ini;
    if (split_ini(ini_port_fields, assignments, &in_file, &in_ini, problem) != 0) return -1;
    std::string names;
    PortSettings port = image->ports[static_cast<std::size_t>(index)];
    if (assign(port_fields, "port setting", &port, in_file, &names, problem,
               ", " + ini_field_names(ini_port_fields)) != 0) {
        return -1;
    }
    store_ini(ini, port_name_of(port), in_ini, &names);
    image->ports[static_cast<std::size_t>(index)] = port;
    *done = shown_name(port_name_of(port)) + " set: " + names;
    return 0;
}

int edit_port_remove(SettingsImage *image, IniDocument *ini, const std::string &name,
                     std::string *done, std::string *problem) {
    int index = find_port(image, name, problem);
    if (index < 0) return -1;
    std::string removed = port_name_of(image->ports[static_cast<std::size_t>(index)]);
    *done = shown_name(removed) + " removed";
    image->ports.erase(image->ports.begin() + index);
    // Its direct TCP port goes with it; other lines under its heading stay.
    for (const IniField &field : ini_port_fields) ini_remove(ini, removed, field.name);
    return 0;
}

int edit_port_move(SettingsImage *image, const std::string &name, const std::string &direction,
                   std::string *done, std::string *problem) {
    int index = find_port(image, name, problem);
    if (index < 0) return -1;
    int step = direction_of(direction, problem);
    if (step == 0) return -1;
    int other = index + step;
    std::string shown = shown_name(port_name_of(image->ports[static_cast<std::size_t>(index)]));
    if (other < 0 || other >= static_cast<int>(image->ports.size())) {
        *problem = shown + " is already the " + (step < 0 ? "first" : "last") + " port";
        return -1;
    }
    std::swap(image->ports[static_cast<std::size_t>(index)], image->ports[static_cast<std::size_t>(other)]);
    *done = shown + " moved " + direction + ": port " + std::to_string(other + 1) + " of " +
            std::to_string(image->ports.size());
    return 0;
}

int edit_rule_add(SettingsImage *image, const std::string &name, const std::string &verdict,
                  const std::string &entry, std::string *done, std::string *problem) {
    int index = find_port(image, name, problem);
    if (index < 0) return -1;
    if (verdict != "permit" && verdict != "deny") {
        *problem = shown_name(verdict) + ": a rule is permit or deny";
        return -1;
    }
    if (entry.size() > PERMISSION_ENTRY_MAX) {
        *problem = "rule " + shown_name(entry) + ": longer than " +
                   std::to_string(PERMISSION_ENTRY_MAX) + " characters";
        return -1;
    }
    PortSettings port = image->ports[static_cast<std::size_t>(index)];
    // The permission dialog packs the rules when it opens; the new rule takes the first free slot.
    permission_rules_compact(port.permission_rules);
    std::int32_t slot = permission_rules_first_free(port.permission_rules);
    if (slot < 0) {
        *problem = shown_name(port_name_of(port)) + " has " + std::to_string(PERMISSION_RULE_COUNT) +
                   " rules, the most a port holds: " + message_line(STR_NO_FREE_RULE);
        return -1;
    }
    if (permission_entry_parse(entry.c_str(), verdict == "permit", &port.permission_rules[slot]) != 0) {
        *problem = "rule " + shown_name(entry) + ": no address, ALL or host name in it";
        return -1;
    }
    image->ports[static_cast<std::size_t>(index)] = port;
    *done = shown_name(port_name_of(port)) + " rule " + std::to_string(slot + 1) + " added: " +
            rule_text(port.permission_rules[slot]);
    return 0;
}

int edit_rule_remove(SettingsImage *image, const std::string &name, const std::string &number,
                     std::string *done, std::string *problem) {
    int index = find_port(image, name, problem);
    if (index < 0) return -1;
    PortSettings port = image->ports[static_cast<std::size_t>(index)];
    permission_rules_compact(port.permission_rules);
    int rule = rule_index(port, number, problem);
    if (rule < 0) return -1;
    *done = shown_name(port_name_of(port)) + " rule " + std::to_string(rule + 1) + " removed: " +
            rule_text(port.permission_rules[rule]);
    // As the dialog deletes: the rule is marked free, then the later ones move up.
    port.permission_rules[rule].in_use = 0;
    permission_rules_compact(port.permission_rules);
    image->ports[static_cast<std::size_t>(index)] = port;
    return 0;
}

int edit_rule_move(SettingsImage *image, const std::string &name, const std::string &number,
                   const std::string &direction, std::string *done, std::string *problem) {
    int index = find_port(image, name, problem);
    if (index < 0) return -1;
    PortSettings port = image->ports[static_cast<std::size_t>(index)];
    permission_rules_compact(port.permission_rules);
    int rule = rule_index(port, number, problem);
    if (rule < 0) return -1;
    int step = direction_of(direction, problem);
    if (step == 0) return -1;
    int other = rule + step;
    if (other < 0 || other >= rule_count(port)) {
        *problem = "rule " + std::to_string(rule + 1) + " of " + shown_name(port_name_of(port)) +
                   " is already the " + (step < 0 ? "first" : "last");
        return -1;
    }
    std::swap(port.permission_rules[rule], port.permission_rules[other]);
    image->ports[static_cast<std::size_t>(index)] = port;
    *done = shown_name(port_name_of(port)) + " rule " + std::to_string(rule + 1) + " moved " +
            direction + ": rule " + std::to_string(other + 1) + " " + rule_text(port.permission_rules[other]);
    return 0;
}

std::string settings_show(const SettingsImage *image, const IniSettings *ini,
                          const std::string &ssh_fingerprint) {
    std::string out = "options\n";
    for (const SettingsField &field : option_fields) {
        show_line(&out, field.name, settings_field_show(&field, &image->options));
    }
    if (ini != nullptr) {
        show_line(&out, "ssh_port", std::to_string(ini->ssh_port) +
                                        (ini->ssh_port == 0 ? " (no SSH callers)" : ""));
    }
    if (!ssh_fingerprint.empty()) show_line(&out, "ssh_host_key", ssh_fingerprint);
    for (std::size_t i = 0; i < image->ports.size(); ++i) {
        const PortSettings &port = image->ports[i];
        out += "port " + shown_name(port_name_of(port)) + " (" + std::to_string(i + 1) + " of " +
               std::to_string(image->ports.size()) + ")\n";
        for (const SettingsField &field : port_fields) {
            show_line(&out, field.name, settings_field_show(&field, &port));
        }
        if (ini != nullptr) {
            std::string name = port_name_of(port);
            const IniPort *own = ini_port(ini, name.data(), name.size());
            std::int32_t tcp_port = own != nullptr ? own->tcp_port : 0;
            bool rfc2217 = own != nullptr && own->rfc2217 != 0;
            show_line(&out, "tcp_port", std::to_string(tcp_port) +
                                            (tcp_port == 0 ? " (no TCP port of its own)" : ""));
            show_line(&out, "rfc2217", std::string(rfc2217 ? "on" : "off") +
                                           (rfc2217 && tcp_port == 0 ? " (without a tcp_port: unused)"
                                                                     : ""));
        }
        int number = 0;
        for (const PermissionRule &rule : port.permission_rules) {
            if (rule.in_use == 0) continue;
            show_line(&out, "rule " + std::to_string(++number), rule_text(rule));
        }
        if (number == 0) show_line(&out, "rules", "none: every caller is admitted");
    }
    if (image->ports.empty()) out += "no port\n";
    return out;
}
