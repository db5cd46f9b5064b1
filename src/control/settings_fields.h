// The settings as an operator names them on a command line: every field of GlobalOptions and of a
// port's PortSettings (the permission rules apart) with its name, its kind and what it means, and
// how a typed value is read and a stored one shown. The values follow the settings dialogs' rules:
// the drop-down lists' items and the values they store, the check boxes' 1 and 0, numbers read as
// the dialogs read them; texts are stored exactly as typed (escapes as escaped_text_read).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "dialogs/dialog_rules.h"
#include "settings/settings.h"

enum FieldKind : std::int32_t {
    FIELD_TEXT,         // a text[size]: at most size - 1 bytes
    FIELD_TELNET_PORT,  // the options dialog's port field: 1 to 65535
    FIELD_TIME,         // a time-out in milliseconds of the port settings dialog: 0 to 2147483647
    FIELD_TIME_S,       // a time-out in seconds of that dialog: 0 to IDLE_TIMEOUT_S_MAX, the
                        // longest that the gateway counts in milliseconds on its tick
    FIELD_FLAG,         // a check box: on (stored as 1) or off (0)
    FIELD_CHOICE,       // a drop-down list of the port settings dialog (PortChoice `choice`)
};

struct SettingsField {
    const char *name;
    FieldKind kind;
    std::uint32_t offset;  // in the record
    std::uint32_t size;    // bytes of the field
    const char *meaning;   // one line for the help
    std::int32_t choice;   // FIELD_CHOICE: the list (PortChoice); -1 otherwise
};

// GlobalOptions, in the order the options dialog shows them.
inline constexpr SettingsField option_fields[] = {
    {"telnet_port", FIELD_TELNET_PORT, offsetof(GlobalOptions, telnet_port), 4,
     "TCP port the gateway listens on (taken at its next start)", -1},
    {"resolve_host_names", FIELD_FLAG, offsetof(GlobalOptions, resolve_host_names), 4,
     "look up each caller's host name (for rules, status and log)", -1},
    {"access_log_enabled", FIELD_FLAG, offsetof(GlobalOptions, access_log_enabled), 4,
     "write one access-log line per call", -1},
    {"access_log_file_name", FIELD_TEXT, offsetof(GlobalOptions, access_log_file_name),
     sizeof GlobalOptions::access_log_file_name,
     "access log path, relative to the gateway's directory", -1},
    {"greeting_message", FIELD_TEXT, offsetof(GlobalOptions, greeting_message),
     sizeof GlobalOptions::greeting_message, "sent first to every caller", -1},
    {"busy_message", FIELD_TEXT, offsetof(GlobalOptions, busy_message),
     sizeof GlobalOptions::busy_message, "sent when no free port admits the caller", -1},
    {"port_error_message", FIELD_TEXT, offsetof(GlobalOptions, port_error_message),
     sizeof GlobalOptions::port_error_message, "sent when the port cannot be opened", -1},
    {"connect_error_message", FIELD_TEXT, offsetof(GlobalOptions, connect_error_message),
     sizeof GlobalOptions::connect_error_message,
     "sent when the connect sequence or the auto-pilot fails", -1},
};

// A port's settings, in the order the port settings dialog shows them. port_name is shown but
// cannot be set: the dialog keeps a port's name (a port is removed and added instead).
inline constexpr SettingsField port_fields[] = {
    {"baud_rate", FIELD_CHOICE, offsetof(PortSettings, baud_rate), 4, "line speed, bits per second",
     CHOICE_BAUD_RATE},
    {"data_bits", FIELD_CHOICE, offsetof(PortSettings, data_bits), 1, "bits per character",
     CHOICE_DATA_BITS},
    {"parity", FIELD_CHOICE, offsetof(PortSettings, parity), 1, "parity", CHOICE_PARITY},
    {"stop_bits", FIELD_CHOICE, offsetof(PortSettings, stop_bits), 1, "stop bits", CHOICE_STOP_BITS},
    {"flow_control", FIELD_CHOICE, offsetof(PortSettings, flow_control), 4,
     "RTS/CTS, DTR/DSR or XON/XOFF handshake", CHOICE_FLOW_CONTROL},
    {"raise_signals", FIELD_CHOICE, offsetof(PortSettings, raise_signals), 4,
     "output raised for a call (ER = DTR, RS = RTS)", CHOICE_RAISE_SIGNALS},
    {"confirm_signals", FIELD_CHOICE, offsetof(PortSettings, confirm_signals), 4,
     "input that must be on before a call counts as connected", CHOICE_CONFIRM_SIGNALS},
    {"watch_signals", FIELD_CHOICE, offsetof(PortSettings, watch_signals), 4,
     "input that must stay on during a call", CHOICE_WATCH_SIGNALS},
    {"connect_timeout_ms", FIELD_TIME, offsetof(PortSettings, connect_timeout_ms), 4,
     "longest wait for confirm_signals, milliseconds", -1},
    {"disconnect_timeout_ms", FIELD_TIME, offsetof(PortSettings, disconnect_timeout_ms), 4,
     "longest wait for watch_signals to drop at the end, milliseconds", -1},
    {"idle_timeout_s", FIELD_TIME_S, offsetof(PortSettings, idle_timeout_s), 4,
     "seconds without traffic that end a call (0: no limit)", -1},
    {"modem_emulation", FIELD_FLAG, offsetof(PortSettings, modem_emulation), 4,
     "play a Hayes modem towards the equipment", -1},
    {"drop_on_falling_edge", FIELD_FLAG, offsetof(PortSettings, drop_on_falling_edge), 4,
     "watch_signals end a call only after they were seen on", -1},
    {"connect_message", FIELD_TEXT, offsetof(PortSettings, connect_message),
     sizeof PortSettings::connect_message, "sent to the caller once connected", -1},
    {"disconnect_message", FIELD_TEXT, offsetof(PortSettings, disconnect_message),
     sizeof PortSettings::disconnect_message, "sent to the caller when the call ends", -1},
    {"auto_pilot_string", FIELD_TEXT, offsetof(PortSettings, auto_pilot_string),
     sizeof PortSettings::auto_pilot_string,
     "script played towards the equipment (its own escapes: write \\\\r for its \\r)", -1},
    {"disconnect_keyword", FIELD_TEXT, offsetof(PortSettings, disconnect_keyword),
     sizeof PortSettings::disconnect_keyword,
     "text from the equipment that ends the call (its own escapes as the script's)", -1},
};

// A field by name, null when the table has none.
template <std::size_t N>
const SettingsField *settings_field_find(const SettingsField (&fields)[N], const std::string &name) {
    for (const SettingsField &field : fields) {
        if (name == field.name) return &field;
    }
    return nullptr;
}

// Stores a typed value into the field of `record` (a GlobalOptions or a PortSettings, as the
// field's table says). 0 when stored; -1 with *problem saying what is wrong and what is allowed,
// the record then unchanged.
int settings_field_set(const SettingsField *field, void *record, const char *typed,
                       std::string *problem);

// The stored value as the operator types it (settings_field_set takes it back), with a note in
// brackets when the value is one the dialogs would not show as it is.
std::string settings_field_show(const SettingsField *field, const void *record);

// What the values a field accepts are, for the help and for messages.
std::string settings_field_values(const SettingsField *field);

// The names of the fields whose values differ between two records, comma-separated ("" when
// none). A text differs only in its characters, not in the bytes after its terminator.
template <std::size_t N>
std::string settings_fields_changed(const SettingsField (&fields)[N], const void *before,
                                    const void *after);
std::string settings_fields_changed(const SettingsField *fields, std::size_t count,
                                    const void *before, const void *after);
template <std::size_t N>
std::string settings_fields_changed(const SettingsField (&fields)[N], const void *before,
                                    const void *after) {
    return settings_fields_changed(fields, N, before, after);
}

// The settings that live in NORVEX.INI (settings/settings_ini.h), beside NORVEX.DAT's: named and
// typed as the others, stored as the file's text.
enum IniFieldKind : std::int32_t {
    INI_FIELD_TCP_PORT,  // a TCP port to listen on: 1 to 65535, or 0 for none
    INI_FIELD_SWITCH,    // on or off (also 1/0, yes/no, true/false), stored as on or off
};

struct IniField {
    const char *name;
    IniFieldKind kind;
    const char *meaning;  // one line for the help
};

// The gateway's own, at the top of NORVEX.INI.
inline constexpr IniField ini_option_fields[] = {
    {"ssh_port", INI_FIELD_TCP_PORT,
     "TCP port of SSH callers (0: none); a reload opens or closes it (Linux)"},
};

// A port's, under its heading in NORVEX.INI.
inline constexpr IniField ini_port_fields[] = {
    {"tcp_port", INI_FIELD_TCP_PORT,
     "a TCP port of its own: a caller there gets this port alone (0: none); a reload opens it"},
    {"rfc2217", INI_FIELD_SWITCH,
     "on its tcp_port, programs may set the line themselves (telnet COM-PORT-OPTION, RFC 2217)"},
};

// An INI field by name, null when the table has none.
template <std::size_t N>
const IniField *ini_field_find(const IniField (&fields)[N], const std::string &name) {
    for (const IniField &field : fields) {
        if (name == field.name) return &field;
    }
    return nullptr;
}

// Reads a typed value into the text NORVEX.INI holds. 0, or -1 with *problem saying what is wrong
// and what is allowed.
int ini_field_read(const IniField *field, const char *typed, std::string *stored,
                   std::string *problem);

// What the values a field accepts are, for the help and for messages.
std::string ini_field_values(const IniField *field);
