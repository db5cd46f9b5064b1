// The settings dialogs' window-free rules: choices and their values, port names, numbers typed
// into fields, permission entries and their display, list packing and button places.
#include "dialogs/dialog_rules.h"

#include <cstdio>
#include <cstring>
#include <limits>

namespace {

constexpr std::int64_t INT32_LOW = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t INT32_HIGH = std::numeric_limits<std::int32_t>::max();

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Compares two texts without regard to ASCII case, each read up to its terminator or `limit`
// bytes.
bool equal_ignoring_case(const char *a, const char *b, std::size_t limit) {
    return text_equal_ignoring_case(a, strnlen(a, limit), b, strnlen(b, limit));
}

// The digits at `text` as a number, kept within the int32 range; *end is set past them.
std::int64_t digits_value(const char *text, const char **end) {
    std::int64_t value = 0;
    for (; is_digit(*text); ++text) {
        // Past the limit further digits change nothing: the result stays at the limit.
        if (value <= INT32_HIGH + 1) value = value * 10 + (*text - '0');
    }
    *end = text;
    return value;
}

std::int32_t field_value(const PortSettings *settings, PortChoice list) {
    switch (list) {
    case CHOICE_BAUD_RATE: return settings->baud_rate;
    case CHOICE_DATA_BITS: return settings->data_bits;
    case CHOICE_PARITY: return settings->parity;
    case CHOICE_STOP_BITS: return settings->stop_bits;
    case CHOICE_FLOW_CONTROL: return settings->flow_control;
    case CHOICE_RAISE_SIGNALS: return settings->raise_signals;
    case CHOICE_CONFIRM_SIGNALS: return settings->confirm_signals;
    case CHOICE_WATCH_SIGNALS: return settings->watch_signals;
    case PORT_CHOICE_COUNT: break;
    }
    return 0;
}

void set_field(PortSettings *settings, PortChoice list, std::int32_t value) {
    // The byte fields only ever get the values of their items (7, 8; 0 to 3; 0 to 2).
    std::uint8_t byte = static_cast<std::uint8_t>(value);
    switch (list) {
    case CHOICE_BAUD_RATE: settings->baud_rate = value; break;
    case CHOICE_DATA_BITS: settings->data_bits = byte; break;
    case CHOICE_PARITY: settings->parity = byte; break;
    case CHOICE_STOP_BITS: settings->stop_bits = byte; break;
    case CHOICE_FLOW_CONTROL: settings->flow_control = value; break;
    case CHOICE_RAISE_SIGNALS: settings->raise_signals = value; break;
    case CHOICE_CONFIRM_SIGNALS: settings->confirm_signals = value; break;
    case CHOICE_WATCH_SIGNALS: settings->watch_signals = value; break;
    case PORT_CHOICE_COUNT: break;
    }
}

// Reads the four octets and the prefix length of an address entry (only digits, dots and
// slashes) into bytes 0 to 4 of the pattern.
void read_address(const char *entry, std::uint8_t *pattern) {
    const char *at = entry;
    for (int octet = 0; octet < 4; ++octet) {
        std::uint32_t value = 0;
        // The end of the text and a "/" stay unconsumed: every later octet is then 0.
        while (*at != '\0' && *at != '/') {
            char c = *at++;
            if (c == '.') break;
            value = (value * 10 + static_cast<std::uint32_t>(c - '0')) % 256;
        }
        pattern[octet] = static_cast<std::uint8_t>(value);
    }
    std::uint32_t prefix = 0;
    if (*at == '/') {
        // The low 8 bits of the number, however long it is.
        for (++at; is_digit(*at); ++at) {
            prefix = (prefix * 10 + static_cast<std::uint32_t>(*at - '0')) % 256;
        }
    }
    pattern[4] = static_cast<std::uint8_t>(prefix);
}

}  // namespace

// ---- The port settings dialog's drop-down lists

std::int32_t port_choice_shown(const PortSettings *settings, PortChoice list) {
    if (list < 0 || list >= PORT_CHOICE_COUNT) return -1;
    const PortChoiceList &choice = port_choice_lists[list];
    std::int32_t value = field_value(settings, list);
    std::int64_t item = -1;
    switch (choice.coding) {
    case CODING_BAUD_RATE:
        item = 0;
        for (std::int32_t k = 0; k < choice.item_count; ++k) {
            std::uint32_t entry = static_cast<std::uint32_t>(baud_rate_table[k]);
            if (entry >= static_cast<std::uint32_t>(value)) {
                item = k;
                break;
            }
        }
        break;
    case CODING_OFFSET: item = std::int64_t{value} - choice.base; break;
    case CODING_SIGNAL_BITS: item = bits_to_choice(value); break;
    }
    return item >= 0 && item < choice.item_count ? static_cast<std::int32_t>(item) : -1;
}

int port_choice_store(PortSettings *settings, PortChoice list, std::int32_t item) {
    if (list < 0 || list >= PORT_CHOICE_COUNT) return -1;
    const PortChoiceList &choice = port_choice_lists[list];
    if (item < 0 || item >= choice.item_count) return -1;
    std::int32_t value = 0;
    switch (choice.coding) {
    case CODING_BAUD_RATE: value = baud_rate_table[item]; break;
    case CODING_OFFSET: value = item + choice.base; break;
    case CODING_SIGNAL_BITS: value = choice_to_bits(item); break;
    }
    set_field(settings, list, value);
    return 0;
}

// ---- The port name list

std::int32_t port_name_choices(bool adding, const char *const *taken, std::int32_t taken_count,
                               PortNameChoice (&names)[PORT_NAME_CHOICE_COUNT]) {
    std::int32_t count = 0;
    for (std::int32_t n = 1; n <= PORT_NAME_CHOICE_COUNT; ++n) {
        char name[sizeof names[0].text];
        std::snprintf(name, sizeof name, "COM%d", static_cast<int>(n));
        bool in_use = false;
        for (std::int32_t i = 0; adding && !in_use && i < taken_count; ++i) {
            in_use = equal_ignoring_case(taken[i], name, sizeof(PortSettings::port_name));
        }
        if (!in_use) std::memcpy(names[count++].text, name, sizeof name);
    }
    return count;
}

std::int32_t port_name_shown(const char (&port_name)[16]) {
    bool one_after_com = std::memcmp(port_name, "COM", 3) == 0 && port_name[3] != '\0' &&
                         port_name[4] == '\0';
    if (!one_after_com) return -1;
    std::int32_t item = port_name[3] - '1';
    return item >= 0 && item < PORT_NAME_CHOICE_COUNT ? item : -1;
}

// ---- Numbers typed into fields

std::int32_t decimal_text_value(const char *text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    const char *end = nullptr;
    std::int64_t value = digits_value(text, &end);
    if (negative) value = -value;
    if (value < INT32_LOW) return static_cast<std::int32_t>(INT32_LOW);
    if (value > INT32_HIGH) return static_cast<std::int32_t>(INT32_HIGH);
    return static_cast<std::int32_t>(value);
}

std::int32_t leading_digits_value(const char *text) {
    const char *end = nullptr;
    std::int64_t value = digits_value(text, &end);
    return static_cast<std::int32_t>(value > INT32_HIGH ? INT32_HIGH : value);
}

// ---- The permission list

int permission_entry_parse(const char *text, bool permit, PermissionRule *rule) {
    char entry[PERMISSION_ENTRY_MAX + 1];
    std::size_t length = 0;
    while (length < PERMISSION_ENTRY_MAX && text[length] != '\0') {
        entry[length] = text[length];
        ++length;
    }
    entry[length] = '\0';

    bool host_name = false;
    bool has_content = false;
    for (std::size_t i = 0; i < length; ++i) {
        // Looked at as a signed byte: 0x80 and up count as below the space, so a text of only
        // Shift-JIS bytes has no content.
        signed char c = static_cast<signed char>(entry[i]);
        if (!is_digit(c) && c != '.' && c != '/') host_name = true;
        if (c > ' ' && c != '.') has_content = true;
    }
    if (!has_content) return -1;

    rule->in_use = 1;
    rule->permit = permit ? 1 : 0;
    rule->is_host_name = host_name ? 1 : 0;
    if (equal_ignoring_case(entry, "ALL", sizeof entry)) {
        rule->is_host_name = 0;
        std::memset(rule->pattern, 0, 5);
    } else if (host_name) {
        static_assert(sizeof entry <= sizeof rule->pattern);
        std::memcpy(rule->pattern, entry, length + 1);
    } else {
        read_address(entry, rule->pattern);
    }
    return 0;
}

void format_rule_text(const PermissionRule *rule, char (&text)[RULE_TEXT_SIZE]) {
    if (rule->is_host_name != 0) {
        std::size_t length = 0;
        while (length < sizeof rule->pattern && rule->pattern[length] != 0) {
            text[length] = static_cast<char>(rule->pattern[length]);
            ++length;
        }
        text[length] = '\0';
        return;
    }
    const std::uint8_t *octets = rule->pattern;
    if (octets[0] == 0 && octets[1] == 0 && octets[2] == 0 && octets[3] == 0) {
        std::memcpy(text, "ALL", sizeof "ALL");
        return;
    }
    int length = std::snprintf(text, sizeof text, "%d.%d.%d.%d", octets[0], octets[1], octets[2],
                               octets[3]);
    if (octets[4] != 0 && length > 0) {
        std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), "/%d",
                      octets[4]);
    }
}

void permission_rules_compact(PermissionRule (&rules)[PERMISSION_RULE_COUNT]) {
    for (;;) {
        std::int32_t free_slot = permission_rules_first_free(rules);
        if (free_slot < 0) return;
        std::int32_t used = free_slot + 1;
        while (used < PERMISSION_RULE_COUNT && rules[used].in_use == 0) ++used;
        if (used == PERMISSION_RULE_COUNT) return;
        rules[free_slot] = rules[used];
        std::memset(&rules[used], 0, sizeof rules[used]);
    }
}

std::int32_t permission_rules_first_free(const PermissionRule (&rules)[PERMISSION_RULE_COUNT]) {
    for (std::int32_t r = 0; r < PERMISSION_RULE_COUNT; ++r) {
        if (rules[r].in_use == 0) return r;
    }
    return -1;
}

// ---- Lists with a selection

ListPlace list_place(std::int32_t selection, std::int32_t count) {
    if (selection < 0 || selection >= count) return PLACE_NONE;
    if (selection == 0) return count == 1 ? PLACE_ONLY : PLACE_FIRST;
    return selection + 1 == count ? PLACE_LAST : PLACE_MIDDLE;
}
