// NORVEX.INI: reading, checking and editing it line by line.
#include "settings/settings_ini.h"

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <mutex>

#include "platform/file.h"
#include "platform/process.h"
#include "settings/settings.h"

namespace {

constexpr std::uint32_t FILE_LIMIT = 1024 * 1024;

// A key this program knows: where it belongs, the numbers it takes, and its place in IniSettings.
struct IniKey {
    const char *name;
    std::int32_t low;
    std::int32_t high;
    std::int32_t IniSettings::*field;
};

constexpr IniKey GATEWAY_KEYS[] = {
    {"ssh_port", 0, 65535, &IniSettings::ssh_port},
};

// A port's keys, under its heading. A switch takes on or off (also 1/0, yes/no, true/false).
struct IniPortKey {
    const char *name;
    bool is_switch;
    std::int32_t IniPort::*field;
};

constexpr IniPortKey PORT_KEYS[] = {
    {"tcp_port", false, &IniPort::tcp_port},
    {"rfc2217", true, &IniPort::rfc2217},
};

constexpr const char *SWITCH_ON[] = {"on", "1", "yes", "true"};
constexpr const char *SWITCH_OFF[] = {"off", "0", "no", "false"};

std::atomic<std::uint32_t> temporary_count{0};
std::mutex current_lock;
IniSettings current{};  // under current_lock

// Lines keep a CR of their own (a file written on Windows), so that the file is written back as
// it was read; for their meaning it is space.
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string trimmed(const std::string &text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_space(text[begin])) ++begin;
    while (end > begin && is_space(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// The line end that lines this program writes take: CR LF when the file's first line has it.
std::string line_end_of(const IniDocument *document) {
    bool crlf = !document->lines.empty() && !document->lines[0].empty() &&
                document->lines[0].back() == '\r';
    return crlf ? "\r" : "";
}

bool is_key_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
}

bool same_text(const std::string &a, const std::string &b) {
    return text_equal_ignoring_case(a.data(), a.size(), b.data(), b.size());
}

// What one line is.
enum LineKind { LINE_EMPTY, LINE_SECTION, LINE_KEY, LINE_BAD };

LineKind line_kind(const std::string &raw, std::string *name, std::string *value) {
    std::string line = trimmed(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') return LINE_EMPTY;
    if (line[0] == '[') {
        if (line.back() != ']') return LINE_BAD;
        *name = trimmed(line.substr(1, line.size() - 2));
        return name->empty() ? LINE_BAD : LINE_SECTION;
    }
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) return LINE_BAD;
    *name = trimmed(line.substr(0, equals));
    *value = trimmed(line.substr(equals + 1));
    if (name->empty()) return LINE_BAD;
    for (char c : *name) {
        if (!is_key_char(c)) return LINE_BAD;
    }
    return LINE_KEY;
}

// A whole number within [low, high], digits only.
bool read_number(const std::string &text, std::int32_t low, std::int32_t high, std::int32_t *number) {
    if (text.empty() || text.size() > 10) return false;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < low || value > high) return false;
    *number = static_cast<std::int32_t>(value);
    return true;
}

const IniKey *gateway_key(const std::string &name) {
    for (const IniKey &key : GATEWAY_KEYS) {
        if (name == key.name) return &key;
    }
    return nullptr;
}

const IniPortKey *port_key(const std::string &name) {
    for (const IniPortKey &key : PORT_KEYS) {
        if (name == key.name) return &key;
    }
    return nullptr;
}

bool read_switch(const std::string &text, std::int32_t *on) {
    for (const char *word : SWITCH_ON) {
        if (same_text(text, word)) {
            *on = 1;
            return true;
        }
    }
    for (const char *word : SWITCH_OFF) {
        if (same_text(text, word)) {
            *on = 0;
            return true;
        }
    }
    return false;
}

// The port of a heading, made on its first key.
IniPort *port_of(IniSettings *settings, const std::string &section) {
    for (IniPort &port : settings->ports) {
        if (same_text(port.name, section)) return &port;
    }
    settings->ports.push_back(IniPort{section, 0, 0, 0});
    return &settings->ports.back();
}

}  // namespace

void ini_settings_defaults(IniSettings *settings) { *settings = IniSettings{}; }

const IniPort *ini_port(const IniSettings *settings, const char *name, std::size_t length) {
    for (const IniPort &port : settings->ports) {
        if (text_equal_ignoring_case(port.name.data(), port.name.size(), name, length)) return &port;
    }
    return nullptr;
}

int ini_check_tcp_ports(const IniSettings *settings, std::int32_t telnet_port, bool with_lines,
                        std::string *problem) {
    struct Listener {
        std::int32_t tcp_port;
        std::int32_t line;  // 0: NORVEX.DAT's
        std::string what;
    };
    std::vector<Listener> listeners;
    if (telnet_port != 0) listeners.push_back({telnet_port, 0, "the telnet port of NORVEX.DAT"});
    if (settings->ssh_port != 0) {
        listeners.push_back({settings->ssh_port, settings->ssh_port_line, "ssh_port"});
    }
    for (const IniPort &port : settings->ports) {
        if (port.tcp_port != 0) {
            listeners.push_back({port.tcp_port, port.tcp_port_line, port.name + "'s tcp_port"});
        }
    }
    auto named = [with_lines](const Listener &listener) {
        return with_lines && listener.line != 0
                   ? listener.what + " (line " + std::to_string(listener.line) + ")"
                   : listener.what;
    };
    for (std::size_t i = 0; i < listeners.size(); ++i) {
        for (std::size_t j = i + 1; j < listeners.size(); ++j) {
            if (listeners[i].tcp_port != listeners[j].tcp_port) continue;
            // Told at the later line: the earlier one had the port first.
            bool i_first = listeners[i].line <= listeners[j].line;
            const Listener &first = i_first ? listeners[i] : listeners[j];
            const Listener &later = i_first ? listeners[j] : listeners[i];
            // Without lines (an edit) neither came first: both are named alike.
            *problem = with_lines ? "line " + std::to_string(later.line) + ": " + later.what + " " +
                                        std::to_string(later.tcp_port) + " is " + named(first) +
                                        " too: one TCP port serves one way in"
                                  : first.what + " and " + later.what + " would both be TCP port " +
                                        std::to_string(later.tcp_port) +
                                        ": one TCP port serves one way in";
            return -1;
        }
    }
    return 0;
}

int ini_parse(const std::string &text, IniDocument *document, IniSettings *settings,
              std::string *problem, bool check_tcp_ports) {
    document->lines.clear();
    ini_settings_defaults(settings);
    problem->clear();
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        document->lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }

    IniSettings read;
    ini_settings_defaults(&read);
    std::vector<std::int32_t> seen(std::size(GATEWAY_KEYS), 0);
    // The line of each port key seen, per port of `read.ports`.
    std::vector<std::vector<std::int32_t>> port_seen;
    std::string section;
    for (std::size_t i = 0; i < document->lines.size(); ++i) {
        std::string number = "line " + std::to_string(i + 1) + ": ";
        std::string name;
        std::string value;
        switch (line_kind(document->lines[i], &name, &value)) {
        case LINE_EMPTY:
            break;
        case LINE_BAD:
            *problem = number + "neither `key = value`, a [section] heading nor a comment";
            return -1;
        case LINE_SECTION:
            section = name;
            break;
        case LINE_KEY: {
            if (const IniPortKey *key = port_key(name)) {
                if (section.empty()) {
                    *problem = number + name + " belongs under a port's heading, such as [COM1]";
                    return -1;
                }
                IniPort *port = port_of(&read, section);
                std::size_t which = static_cast<std::size_t>(port - read.ports.data());
                port_seen.resize(read.ports.size(), std::vector<std::int32_t>(std::size(PORT_KEYS), 0));
                std::int32_t &line = port_seen[which][static_cast<std::size_t>(key - PORT_KEYS)];
                if (line != 0) {
                    *problem = number + name + " of " + port->name + " is given twice (also on line " +
                               std::to_string(line) + ")";
                    return -1;
                }
                line = static_cast<std::int32_t>(i + 1);
                bool good = key->is_switch ? read_switch(value, &((*port).*(key->field)))
                                           : read_number(value, 0, 65535, &((*port).*(key->field)));
                if (!good) {
                    *problem = number + name + (key->is_switch ? " takes on or off"
                                                               : " takes a TCP port from 1 to 65535, or 0 for none") +
                               ", not \"" + value + "\"";
                    return -1;
                }
                if (!key->is_switch) port->tcp_port_line = line;
                break;
            }
            const IniKey *key = gateway_key(name);
            if (key == nullptr) break;  // another program's, or a later version's: kept as it is
            if (!section.empty()) {
                *problem = number + name + " belongs at the top, before any [section]";
                return -1;
            }
            std::size_t index = static_cast<std::size_t>(key - GATEWAY_KEYS);
            if (seen[index] != 0) {
                *problem = number + name + " is given twice (also on line " +
                           std::to_string(seen[index]) + ")";
                return -1;
            }
            seen[index] = static_cast<std::int32_t>(i + 1);
            if (!read_number(value, key->low, key->high, &(read.*(key->field)))) {
                *problem = number + name + " takes a number from " + std::to_string(key->low) +
                           " to " + std::to_string(key->high) + ", not \"" + value + "\"";
                return -1;
            }
            if (key->field == &IniSettings::ssh_port) read.ssh_port_line = seen[index];
            break;
        }
        }
    }
    if (check_tcp_ports && ini_check_tcp_ports(&read, 0, true, problem) != 0) return -1;
    *settings = read;
    return 0;
}

std::string ini_text(const IniDocument *document) {
    std::string text;
    for (const std::string &line : document->lines) text += line + "\n";
    return text;
}

bool ini_get(const IniDocument *document, const std::string &section, const std::string &key,
             std::string *value) {
    std::string current_section;
    bool found = false;
    for (const std::string &line : document->lines) {
        std::string name;
        std::string text;
        LineKind kind = line_kind(line, &name, &text);
        if (kind == LINE_SECTION) current_section = name;
        if (kind == LINE_KEY && same_text(current_section, section) && name == key) {
            *value = text;
            found = true;
        }
    }
    return found;
}

void ini_set(IniDocument *document, const std::string &section, const std::string &key,
             const std::string &value) {
    std::vector<std::string> &lines = document->lines;
    std::string cr = line_end_of(document);
    std::string current_section;
    bool in_section = section.empty();
    bool section_seen = section.empty();
    std::size_t insert_at = 0;  // after the section's last line that is not empty
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string name;
        std::string text;
        LineKind kind = line_kind(lines[i], &name, &text);
        if (kind == LINE_SECTION) {
            current_section = name;
            in_section = same_text(name, section);
            if (in_section) {
                section_seen = true;
                insert_at = i + 1;
            }
            continue;
        }
        if (!in_section) continue;
        if (kind == LINE_KEY && name == key) {
            // The key's own spelling and indentation stay; the value is the new one.
            std::size_t equals = lines[i].find('=');
            bool own_cr = lines[i].back() == '\r';
            lines[i] = lines[i].substr(0, equals) + "= " + value + (own_cr ? "\r" : "");
            return;
        }
        if (!trimmed(lines[i]).empty()) insert_at = i + 1;
    }
    std::string line = key + " = " + value + cr;
    if (section_seen) {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insert_at), line);
        return;
    }
    if (!lines.empty() && !trimmed(lines.back()).empty()) lines.push_back(cr);
    lines.push_back("[" + section + "]" + cr);
    lines.push_back(line);
}

void ini_remove(IniDocument *document, const std::string &section, const std::string &key) {
    std::vector<std::string> &lines = document->lines;
    std::string current_section;
    for (std::size_t i = 0; i < lines.size();) {
        std::string name;
        std::string text;
        LineKind kind = line_kind(lines[i], &name, &text);
        if (kind == LINE_SECTION) current_section = name;
        if (kind == LINE_KEY && same_text(current_section, section) && name == key) {
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        ++i;
    }
}

int ini_read(IniDocument *document, IniSettings *settings, std::string *problem) {
    document->lines.clear();
    ini_settings_defaults(settings);
    problem->clear();
    int found = file_find(INI_FILE_NAME);
    if (found == 0) return 0;
    File *file = found == 1 ? file_open_read(INI_FILE_NAME) : nullptr;
    if (file == nullptr) {
        *problem = std::string(INI_FILE_NAME) + " cannot be read";
        return -1;
    }
    std::int64_t size = 0;
    std::string text;
    std::uint32_t count = 0;
    bool read = file_size(file, &size) == 0 && size >= 0 && size <= FILE_LIMIT;
    if (read) {
        text.resize(static_cast<std::size_t>(size));
        read = file_read(file, text.data(), static_cast<std::uint32_t>(size), &count) == 0 &&
               count == size;
    }
    file_close(file);
    if (!read) {
        *problem = std::string(INI_FILE_NAME) + " cannot be read (or is larger than 1 MiB)";
        return -1;
    }
    if (ini_parse(text, document, settings, problem) != 0) {
        *problem = std::string(INI_FILE_NAME) + " " + *problem;
        return -1;
    }
    return 0;
}

int ini_write(const IniDocument *document) {
    std::string text = ini_text(document);
    // A name of this write alone, as NORVEX.DAT's saves use.
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%lu.%lu.tmp", static_cast<unsigned long>(process_id()),
                  static_cast<unsigned long>(temporary_count.fetch_add(1)));
    std::string temporary = std::string(INI_FILE_NAME) + suffix;
    File *file = file_create_write(temporary.c_str());
    if (file == nullptr) return -1;
    std::uint32_t written = 0;
    bool whole = file_write(file, text.data(), static_cast<std::uint32_t>(text.size()), &written) == 0 &&
                 written == text.size() && file_flush(file) == 0 &&
                 file_copy_access(file, INI_FILE_NAME) == 0;
    file_close(file);
    if (!whole || file_replace(temporary.c_str(), INI_FILE_NAME) != 0) {
        (void)file_delete(temporary.c_str());
        return -1;
    }
    return 0;
}

void ini_settings_get(IniSettings *copy) {
    std::lock_guard<std::mutex> hold(current_lock);
    *copy = current;
}

void ini_settings_set(const IniSettings *settings) {
    std::lock_guard<std::mutex> hold(current_lock);
    current = *settings;
}
