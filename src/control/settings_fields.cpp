// The settings by name for the command line: typed values read, stored values shown, records
// compared field by field.
#include "control/settings_fields.h"

#include <cstdlib>
#include <cstring>

#include "control/escaped_text.h"

namespace {

constexpr std::int32_t TELNET_PORT_MAX = 65535;
constexpr const char *INT32_MAX_TEXT = "2147483647";

char *field_at(const SettingsField *field, void *record) {
    return static_cast<char *>(record) + field->offset;
}

const char *field_at(const SettingsField *field, const void *record) {
    return static_cast<const char *>(record) + field->offset;
}

std::int32_t int32_at(const SettingsField *field, const void *record) {
    std::int32_t value = 0;
    std::memcpy(&value, field_at(field, record), sizeof value);
    return value;
}

void int32_store(const SettingsField *field, void *record, std::int32_t value) {
    std::memcpy(field_at(field, record), &value, sizeof value);
}

// A text's characters: up to its terminator or the whole field.
std::string field_characters(const SettingsField *field, const void *record) {
    const char *at = static_cast<const char *>(record) + field->offset;
    std::size_t length = 0;
    while (length < field->size && at[length] != '\0') ++length;
    return std::string(at, length);
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_ignoring_case(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// A typed number: only decimal digits, at most the int32 range (leading zeros allowed). The value
// itself is read by the dialogs' rule that the field's dialog uses.
bool whole_number_text(const std::string &typed) {
    if (typed.empty()) return false;
    std::size_t first = 0;
    for (char c : typed) {
        if (c < '0' || c > '9') return false;
    }
    while (first + 1 < typed.size() && typed[first] == '0') ++first;
    std::string digits = typed.substr(first);
    return digits.size() < 10 || (digits.size() == 10 && digits <= INT32_MAX_TEXT);
}

const PortChoiceList &choice_list_of(const SettingsField *field) {
    return port_choice_lists[field->choice];
}

// The item a typed value names: an item's text in any case, or for the "7bit"-like items the
// text without its "bit". -1 when none.
std::int32_t choice_item_of(const SettingsField *field, const std::string &typed) {
    const PortChoiceList &list = choice_list_of(field);
    for (std::int32_t k = 0; k < list.item_count; ++k) {
        std::string item = list.items[k];
        bool bits = item.size() > 3 && item.compare(item.size() - 3, 3, "bit") == 0;
        if (same_ignoring_case(typed, item) ||
            (bits && same_ignoring_case(typed, item.substr(0, item.size() - 3)))) {
            return k;
        }
    }
    return -1;
}

std::string stored_number(const SettingsField *field, const void *record) {
    return field->size == 1 ? std::to_string(static_cast<unsigned char>(*field_at(field, record)))
                            : std::to_string(int32_at(field, record));
}

std::string show_choice(const SettingsField *field, const void *record) {
    const PortSettings *settings = static_cast<const PortSettings *>(record);
    PortChoice choice = static_cast<PortChoice>(field->choice);
    std::int32_t item = port_choice_shown(settings, choice);
    if (item >= 0) {
        // The item stands for the stored value only when storing it gives the same bytes back.
        PortSettings stored = *settings;
        if (port_choice_store(&stored, choice, item) == 0 &&
            std::memcmp(field_at(field, &stored), field_at(field, record), field->size) == 0) {
            return choice_list_of(field).items[item];
        }
    }
    std::string shown = stored_number(field, record) + " (not an item of the dialog's list";
    if (item >= 0) shown += std::string("; the dialog shows ") + choice_list_of(field).items[item];
    return shown + ")";
}

}  // namespace

int settings_field_set(const SettingsField *field, void *record, const char *typed,
                       std::string *problem) {
    std::string value = typed;
    switch (field->kind) {
    case FIELD_TEXT: {
        std::string bytes;
        std::string why;
        if (escaped_text_read(typed, &bytes, &why) != 0) {
            *problem = std::string(field->name) + ": " + why;
            return -1;
        }
        if (bytes.size() + 1 > field->size) {
            *problem = std::string(field->name) + ": the text is " + std::to_string(bytes.size()) +
                       " bytes long; the field holds at most " + std::to_string(field->size - 1);
            return -1;
        }
        char *at = field_at(field, record);
        std::memset(at, 0, field->size);
        std::memcpy(at, bytes.data(), bytes.size());
        return 0;
    }
    case FIELD_TELNET_PORT: {
        std::int32_t port = whole_number_text(value) ? leading_digits_value(typed) : -1;
        if (port < 1 || port > TELNET_PORT_MAX) {
            *problem = std::string(field->name) + " " + escaped_text_show(typed, value.size()) +
                       ": a TCP port from " + settings_field_values(field) + " is needed";
            return -1;
        }
        int32_store(field, record, port);
        return 0;
    }
    case FIELD_TIME:
    case FIELD_TIME_S: {
        // Every int32 of milliseconds is kept as it is; seconds only as far as their milliseconds
        // can be counted on the tick, which a larger number would wrap.
        bool kept = whole_number_text(value) &&
                    (field->kind == FIELD_TIME || decimal_text_value(typed) <= IDLE_TIMEOUT_S_MAX);
        if (!kept) {
            *problem = std::string(field->name) + " " + escaped_text_show(typed, value.size()) +
                       ": a whole number from " + settings_field_values(field) + " is needed";
            if (field->kind == FIELD_TIME_S && whole_number_text(value)) {
                *problem += " (" + std::to_string(IDLE_TIMEOUT_S_MAX) +
                            " s, about 24 days, is the longest time the gateway can count)";
            }
            return -1;
        }
        int32_store(field, record, decimal_text_value(typed));
        return 0;
    }
    case FIELD_FLAG: {
        constexpr const char *ON[] = {"on", "1", "yes", "true"};
        constexpr const char *OFF[] = {"off", "0", "no", "false"};
        for (const char *word : ON) {
            if (same_ignoring_case(value, word)) {
                int32_store(field, record, 1);
                return 0;
            }
        }
        for (const char *word : OFF) {
            if (same_ignoring_case(value, word)) {
                int32_store(field, record, 0);
                return 0;
            }
        }
        *problem = std::string(field->name) + " " + escaped_text_show(typed, value.size()) +
                   ": it is " + settings_field_values(field);
        return -1;
    }
    case FIELD_CHOICE: {
        std::int32_t item = choice_item_of(field, value);
        if (item < 0 ||
            port_choice_store(static_cast<PortSettings *>(record), static_cast<PortChoice>(field->choice),
                              item) != 0) {
            *problem = std::string(field->name) + " " + escaped_text_show(typed, value.size()) +
                       ": it is one of " + settings_field_values(field);
            return -1;
        }
        return 0;
    }
    }
    *problem = std::string(field->name) + ": cannot be set";
    return -1;
}

std::string settings_field_show(const SettingsField *field, const void *record) {
    switch (field->kind) {
    case FIELD_TEXT: {
        std::string text = field_characters(field, record);
        return "\"" + escaped_text_show(text.data(), text.size()) + "\"";
    }
    case FIELD_TELNET_PORT: {
        std::int32_t port = int32_at(field, record);
        std::string shown = std::to_string(port);
        return port >= 1 && port <= TELNET_PORT_MAX ? shown
                                                    : shown + " (no TCP port: the gateway cannot listen)";
    }
    case FIELD_TIME:
    case FIELD_TIME_S: {
        std::int32_t time = int32_at(field, record);
        std::string shown = std::to_string(time);
        if (time < 0) return shown + " (negative: the gateway takes 0)";
        if (field->kind == FIELD_TIME_S && time > IDLE_TIMEOUT_S_MAX) {
            return shown + " (longer than the gateway can count: it takes " +
                   std::to_string(IDLE_TIMEOUT_S_MAX) + ")";
        }
        return shown;
    }
    case FIELD_FLAG: return int32_at(field, record) != 0 ? "on" : "off";
    case FIELD_CHOICE: return show_choice(field, record);
    }
    return "";
}

std::string settings_field_values(const SettingsField *field) {
    switch (field->kind) {
    case FIELD_TEXT:
        return "a text of at most " + std::to_string(field->size - 1) +
               " bytes (escapes \\r \\n \\\\ \\xHH)";
    case FIELD_TELNET_PORT: return "1 to 65535";
    case FIELD_TIME: return "0 to 2147483647";
    case FIELD_TIME_S: return "0 to " + std::to_string(IDLE_TIMEOUT_S_MAX);
    case FIELD_FLAG: return "on or off";
    case FIELD_CHOICE: {
        const PortChoiceList &list = choice_list_of(field);
        std::string items;
        for (std::int32_t k = 0; k < list.item_count; ++k) {
            items += std::string(k == 0 ? "" : ", ") + list.items[k];
        }
        return items;
    }
    }
    return "";
}


std::string settings_fields_changed(const SettingsField *fields, std::size_t count,
                                    const void *before, const void *after) {
    std::string names;
    for (std::size_t i = 0; i < count; ++i) {
        const SettingsField *field = &fields[i];
        bool differ = field->kind == FIELD_TEXT
                          ? field_characters(field, before) != field_characters(field, after)
                          : std::memcmp(static_cast<const char *>(before) + field->offset,
                                        static_cast<const char *>(after) + field->offset,
                                        field->size) != 0;
        if (differ) names += std::string(names.empty() ? "" : ", ") + field->name;
    }
    return names;
}

int ini_field_read(const IniField *field, const char *typed, std::string *stored,
                   std::string *problem) {
    switch (field->kind) {
    case INI_FIELD_TCP_PORT: {
        std::string text = typed;
        bool digits = !text.empty() && text.size() <= 5 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
        long value = digits ? std::strtol(text.c_str(), nullptr, 10) : -1;
        if (value < 0 || value > 65535) {
            *problem = std::string(field->name) + "=" + escaped_text_show(typed, text.size()) +
                       ": " + ini_field_values(field);
            return -1;
        }
        *stored = std::to_string(value);
        return 0;
    }
    case INI_FIELD_SWITCH: {
        std::string text = typed;
        constexpr const char *ON[] = {"on", "1", "yes", "true"};
        constexpr const char *OFF[] = {"off", "0", "no", "false"};
        for (const char *word : ON) {
            if (same_ignoring_case(text, word)) {
                *stored = "on";
                return 0;
            }
        }
        for (const char *word : OFF) {
            if (same_ignoring_case(text, word)) {
                *stored = "off";
                return 0;
            }
        }
        *problem = std::string(field->name) + "=" + escaped_text_show(typed, text.size()) + ": " +
                   ini_field_values(field);
        return -1;
    }
    }
    *problem = "unknown kind of setting";
    return -1;
}

std::string ini_field_values(const IniField *field) {
    switch (field->kind) {
    case INI_FIELD_TCP_PORT:
        return "a TCP port, 1 to 65535, or 0 for none";
    case INI_FIELD_SWITCH: return "on or off";
    }
    return "";
}
