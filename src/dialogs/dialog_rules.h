// The settings dialogs' rules that need no window: the port settings dialog's drop-down lists and
// the value each item stands for, the port names it offers, how the dialogs read a number typed
// into a field, how the permission dialog parses an entered rule, shows a rule and keeps the rule
// list packed, and which list buttons a selection enables. The dialogs apply them through the ui
// contract; another front end (a command-line tool) calls them as they are, so that every front
// end follows the same rules. Plain functions over the settings records; any thread.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "settings/settings.h"

// ---- The port settings dialog's drop-down lists

// The line speeds the speed list offers, in item order.
inline constexpr std::int32_t baud_rate_table[] = {300,   1200,  2400,   4800,   9600,  19200,
                                                   38400, 57600, 115200, 230400, 460800};

// The value that item k of a signal or flow-control list stores: 0 for k = 0, otherwise the bit
// k - 1 (1, 2, 4, 8: the signal coding of PortSettings). k outside 0 to 32 gives 0.
constexpr std::int32_t choice_to_bits(std::int32_t k) {
    if (k <= 0 || k > 32) return 0;
    return static_cast<std::int32_t>(std::uint32_t{1} << (k - 1));
}

// The item that shows a stored bit set: 1 + the position of its lowest set bit (bit 0 gives 1),
// 0 when no bit is set. A set of several bits therefore shows as its lowest bit.
constexpr std::int32_t bits_to_choice(std::int32_t bits) {
    std::uint32_t value = static_cast<std::uint32_t>(bits);
    return value == 0 ? 0 : 1 + std::countr_zero(value);
}

// The drop-down lists, each tied to one field of PortSettings.
enum PortChoice : std::int32_t {
    CHOICE_BAUD_RATE,        // baud_rate
    CHOICE_DATA_BITS,        // data_bits
    CHOICE_PARITY,           // parity
    CHOICE_STOP_BITS,        // stop_bits
    CHOICE_FLOW_CONTROL,     // flow_control
    CHOICE_RAISE_SIGNALS,    // raise_signals
    CHOICE_CONFIRM_SIGNALS,  // confirm_signals
    CHOICE_WATCH_SIGNALS,    // watch_signals
    PORT_CHOICE_COUNT
};

// How the items of a list stand for values of its field.
enum ChoiceCoding : std::int32_t {
    CODING_BAUD_RATE,    // item k stores baud_rate_table[k]; a value shows as the first entry that
                         // is not below it (unsigned), item 0 when none is
    CODING_OFFSET,       // item k stores k + base; a value v shows as item v - base
    CODING_SIGNAL_BITS,  // item k stores choice_to_bits(k); a value shows as bits_to_choice
};

struct PortChoiceList {
    const char *const *items;  // the item texts, in order
    std::int32_t item_count;
    ChoiceCoding coding;
    std::int32_t base;         // CODING_OFFSET: the value of item 0
};

inline constexpr const char *BAUD_RATE_ITEMS[] = {"300",   "1200",  "2400",   "4800",
                                                  "9600",  "19200", "38400",  "57600",
                                                  "115200", "230400", "460800"};
inline constexpr const char *DATA_BITS_ITEMS[] = {"7bit", "8bit"};
inline constexpr const char *PARITY_ITEMS[] = {"none", "odd", "even", "mark"};
inline constexpr const char *STOP_BITS_ITEMS[] = {"1bit", "1.5bit", "2bit"};
inline constexpr const char *FLOW_CONTROL_ITEMS[] = {"none", "RS/CS", "DR/ER", "XON/XOFF"};
inline constexpr const char *OUTPUT_SIGNAL_ITEMS[] = {"none", "ER", "RS"};
inline constexpr const char *INPUT_SIGNAL_ITEMS[] = {"none", "CD", "DR", "CS", "RI"};

template <std::size_t N>
constexpr PortChoiceList choice_list(const char *const (&items)[N], ChoiceCoding coding,
                                     std::int32_t base = 0) {
    return PortChoiceList{items, static_cast<std::int32_t>(N), coding, base};
}

// The lists, by PortChoice.
inline constexpr PortChoiceList port_choice_lists[PORT_CHOICE_COUNT] = {
    choice_list(BAUD_RATE_ITEMS, CODING_BAUD_RATE),
    choice_list(DATA_BITS_ITEMS, CODING_OFFSET, 7),
    choice_list(PARITY_ITEMS, CODING_OFFSET),
    choice_list(STOP_BITS_ITEMS, CODING_OFFSET),
    choice_list(FLOW_CONTROL_ITEMS, CODING_SIGNAL_BITS),
    choice_list(OUTPUT_SIGNAL_ITEMS, CODING_SIGNAL_BITS),
    choice_list(INPUT_SIGNAL_ITEMS, CODING_SIGNAL_BITS),
    choice_list(INPUT_SIGNAL_ITEMS, CODING_SIGNAL_BITS),
};

// The speed items are the table's numbers written with "%d".
constexpr bool baud_items_match_table() {
    if (std::size(BAUD_RATE_ITEMS) != std::size(baud_rate_table)) return false;
    for (std::size_t k = 0; k < std::size(baud_rate_table); ++k) {
        std::int32_t value = 0;
        for (const char *digit = BAUD_RATE_ITEMS[k]; *digit != '\0'; ++digit) {
            value = value * 10 + (*digit - '0');
        }
        if (value != baud_rate_table[k]) return false;
    }
    return true;
}
static_assert(baud_items_match_table());

// The item of `list` that shows the field's stored value, -1 when no item does (the list then
// shows no selection, and the value stays as it is unless the user picks an item).
std::int32_t port_choice_shown(const PortSettings *settings, PortChoice list);
// Stores the value of item `item` of `list` into its field. -1 (nothing changed) when the list has
// no such item.
int port_choice_store(PortSettings *settings, PortChoice list, std::int32_t item);

// ---- The port name list

constexpr std::int32_t PORT_NAME_CHOICE_COUNT = 9;  // COM1 to COM9

struct PortNameChoice {
    char text[16];  // a port_name, terminated
};

// The names the port name list offers, in order: "COM1" to "COM9"; when `adding`, only those that
// equal none of the `taken_count` names in `taken` without regard to case. Each of `taken` points
// at a port_name field and is read up to its terminator or its 16 bytes. The number of names
// written to `names`.
std::int32_t port_name_choices(bool adding, const char *const *taken, std::int32_t taken_count,
                               PortNameChoice (&names)[PORT_NAME_CHOICE_COUNT]);
// The item of the full list (all nine names) that shows `port_name`: d - '1' when it is "COM"
// followed by exactly one character d; -1 when no item does (COM10, or any other name).
std::int32_t port_name_shown(const char (&port_name)[16]);

// ---- Numbers typed into fields

// A time-out field of the port settings dialog: leading white space is skipped, one optional sign
// is taken, then digits up to the first other character; 0 when no digit follows. A number beyond
// the int32 range stays at the nearest limit.
std::int32_t decimal_text_value(const char *text);
// The telnet port field of the options dialog: the number that the leading digits form, 0 when
// the text does not begin with a digit. A number beyond the int32 range stays at INT32_MAX.
std::int32_t leading_digits_value(const char *text);

// ---- The permission list

// Characters of an entered rule that count; the rest is ignored.
constexpr std::size_t PERMISSION_ENTRY_MAX = 63;
// Room for a rule's display text: a host-name pattern read from the file may fill all 64 bytes.
constexpr std::size_t RULE_TEXT_SIZE = sizeof(PermissionRule::pattern) + 1;

// Parses an entered rule (its first PERMISSION_ENTRY_MAX characters) into `rule`, as the
// permission dialog stores it: "ALL" in any case is everyone; a text of only digits, dots and
// slashes is an address (four octets, each taken modulo 256, then a prefix length after "/" kept
// to its low 8 bits; bytes 5 to 63 of the pattern are left as they were); any other text is a
// host name, copied with its terminator. `in_use` becomes 1 and `permit` 1 or 0.
// -1 when the text has no content (nothing, or only blanks, control characters, dots and bytes
// from 0x80 up): `rule` is then untouched.
int permission_entry_parse(const char *text, bool permit, PermissionRule *rule);

// A rule's display text: a host name as stored (up to its terminator or the 64 bytes); "ALL" for
// an address whose four octets are zero; otherwise "a.b.c.d", followed by "/n" when the prefix
// length n is not 0.
void format_rule_text(const PermissionRule *rule, char (&text)[RULE_TEXT_SIZE]);

// Packs the used rules to the front, keeping their order; a slot a rule was moved out of is
// cleared to zero bytes. A rule counts as used when `in_use` is non-zero.
void permission_rules_compact(PermissionRule (&rules)[PERMISSION_RULE_COUNT]);
// The first rule whose `in_use` is 0, -1 when all are used.
std::int32_t permission_rules_first_free(const PermissionRule (&rules)[PERMISSION_RULE_COUNT]);

// ---- Lists with a selection

// Where the selected line of a list stands, for enabling its buttons.
enum ListPlace : std::int32_t {
    PLACE_NONE,    // nothing selected (or a selection past the end)
    PLACE_ONLY,    // the first line, and the only one
    PLACE_FIRST,   // the first line of two or more
    PLACE_MIDDLE,  // neither first nor last
    PLACE_LAST,    // the last line of two or more
};
ListPlace list_place(std::int32_t selection, std::int32_t count);

// ---- Texts of the settings records

// A text field as a terminated text: up to its terminator or the whole field (a field read from
// the file may lack the terminator).
template <std::size_t N>
void field_text(const char (&field)[N], char (&text)[N + 1]) {
    std::size_t length = text_length(field);
    for (std::size_t i = 0; i < length; ++i) text[i] = field[i];
    text[length] = '\0';
}
