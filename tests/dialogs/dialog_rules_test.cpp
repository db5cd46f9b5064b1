// The dialogs' window-free rules: the choice lists and their stored values, port names, numbers
// typed into fields, permission entries (with random input), rule texts, packing and list places.
#include "dialogs/dialog_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/settings_fixtures.h"

namespace {

// The field each list stores into.
std::int32_t field_of(const PortSettings &settings, PortChoice list) {
    const std::int32_t values[] = {settings.baud_rate,       settings.data_bits,
                                   settings.parity,          settings.stop_bits,
                                   settings.flow_control,    settings.raise_signals,
                                   settings.confirm_signals, settings.watch_signals};
    return values[list];
}

TEST(ChoiceLists, EachItemStoresItsValueAndShowsAsItself) {
    const std::vector<std::int32_t> values[PORT_CHOICE_COUNT] = {
        {300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800},
        {7, 8},
        {0, 1, 2, 3},
        {0, 1, 2},
        {0, FLOW_RTS_CTS, FLOW_DTR_DSR, FLOW_XON_XOFF},
        {0, SIGNAL_ER, SIGNAL_RS},
        {0, SIGNAL_CD, SIGNAL_DR, SIGNAL_CS, SIGNAL_RI},
        {0, SIGNAL_CD, SIGNAL_DR, SIGNAL_CS, SIGNAL_RI},
    };
    for (std::int32_t list = 0; list < PORT_CHOICE_COUNT; ++list) {
        PortChoice choice = static_cast<PortChoice>(list);
        std::int32_t count = static_cast<std::int32_t>(values[list].size());
        ASSERT_EQ(port_choice_lists[list].item_count, count);
        for (std::int32_t k = 0; k < count; ++k) {
            PortSettings settings = make_port("COM1");
            ASSERT_EQ(port_choice_store(&settings, choice, k), 0);
            EXPECT_EQ(field_of(settings, choice), values[list][k]) << list << " item " << k;
            EXPECT_EQ(port_choice_shown(&settings, choice), k) << list << " item " << k;
        }
        // No such item: nothing stored.
        PortSettings settings = make_port("COM1");
        EXPECT_EQ(port_choice_store(&settings, choice, -1), -1);
        EXPECT_EQ(port_choice_store(&settings, choice, count), -1);
        PortSettings untouched = make_port("COM1");
        EXPECT_EQ(std::memcmp(&settings, &untouched, sizeof settings), 0);
    }
}

TEST(ChoiceLists, ChoiceBitsBothWays) {
    const std::int32_t bits[] = {0, 1, 2, 4, 8};
    for (std::int32_t k = 0; k < 5; ++k) {
        EXPECT_EQ(choice_to_bits(k), bits[k]);
        EXPECT_EQ(bits_to_choice(bits[k]), k);
    }
    EXPECT_EQ(bits_to_choice(6), 2);    // DR and CS: the lowest bit
    EXPECT_EQ(bits_to_choice(12), 3);
    EXPECT_EQ(bits_to_choice(-1), 1);
    EXPECT_EQ(bits_to_choice(static_cast<std::int32_t>(0x80000000u)), 32);
    EXPECT_EQ(choice_to_bits(32), static_cast<std::int32_t>(0x80000000u));
    EXPECT_EQ(choice_to_bits(-1), 0);
    EXPECT_EQ(choice_to_bits(33), 0);
}

TEST(ChoiceLists, StoredValuesWithoutAnItemOfTheirOwn) {
    struct Case {
        const char *what;
        void (*set)(PortSettings *);
        PortChoice list;
        std::int32_t shown;
    };
    const Case cases[] = {
        {"baud 14400", [](PortSettings *s) { s->baud_rate = 14400; }, CHOICE_BAUD_RATE, 5},
        {"baud 500000", [](PortSettings *s) { s->baud_rate = 500000; }, CHOICE_BAUD_RATE, 0},
        {"baud 0", [](PortSettings *s) { s->baud_rate = 0; }, CHOICE_BAUD_RATE, 0},
        {"baud 301", [](PortSettings *s) { s->baud_rate = 301; }, CHOICE_BAUD_RATE, 1},
        {"baud 460801", [](PortSettings *s) { s->baud_rate = 460801; }, CHOICE_BAUD_RATE, 0},
        // Unsigned: a negative speed is above every entry.
        {"baud -300", [](PortSettings *s) { s->baud_rate = -300; }, CHOICE_BAUD_RATE, 0},
        {"data bits 5", [](PortSettings *s) { s->data_bits = 5; }, CHOICE_DATA_BITS, -1},
        {"data bits 9", [](PortSettings *s) { s->data_bits = 9; }, CHOICE_DATA_BITS, -1},
        {"parity 7", [](PortSettings *s) { s->parity = 7; }, CHOICE_PARITY, -1},
        {"stop bits 3", [](PortSettings *s) { s->stop_bits = 3; }, CHOICE_STOP_BITS, -1},
        {"flow 8", [](PortSettings *s) { s->flow_control = 8; }, CHOICE_FLOW_CONTROL, -1},
        {"flow 6", [](PortSettings *s) { s->flow_control = 6; }, CHOICE_FLOW_CONTROL, 2},
        {"raise 4", [](PortSettings *s) { s->raise_signals = 4; }, CHOICE_RAISE_SIGNALS, -1},
        {"raise 3", [](PortSettings *s) { s->raise_signals = 3; }, CHOICE_RAISE_SIGNALS, 1},
        {"watch 6", [](PortSettings *s) { s->watch_signals = 6; }, CHOICE_WATCH_SIGNALS, 2},
        {"confirm 16", [](PortSettings *s) { s->confirm_signals = 16; }, CHOICE_CONFIRM_SIGNALS,
         -1},
    };
    for (const Case &c : cases) {
        PortSettings settings = make_port("COM1");
        c.set(&settings);
        EXPECT_EQ(port_choice_shown(&settings, c.list), c.shown) << c.what;
    }
}

TEST(PortNames, FreeNamesWhenAddingAllWhenEditing) {
    PortNameChoice names[PORT_NAME_CHOICE_COUNT];
    auto texts = [&](std::int32_t count) {
        std::string joined;
        for (std::int32_t i = 0; i < count; ++i) joined += std::string(names[i].text) + " ";
        return joined;
    };
    const char *taken[] = {"COM1", "COM3", "COM4"};
    EXPECT_EQ(texts(port_name_choices(true, taken, 3, names)), "COM2 COM5 COM6 COM7 COM8 COM9 ");
    EXPECT_EQ(texts(port_name_choices(false, taken, 3, names)),
              "COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8 COM9 ");

    // Compared without regard to case; other names (COM10, a prefix, a path) take nothing.
    const char *mixed[] = {"com2", "cOm9", "COM10", "COM", "/dev/ttyUSB0"};
    EXPECT_EQ(texts(port_name_choices(true, mixed, 5, names)), "COM1 COM3 COM4 COM5 COM6 COM7 COM8 ");

    // A name field read from the file without a terminator is read to its 16 bytes only.
    PortSettings unterminated{};
    std::memset(unterminated.port_name, 'X', sizeof unterminated.port_name);
    const char *raw[] = {unterminated.port_name};
    EXPECT_EQ(port_name_choices(true, raw, 1, names), 9);

    const char *all[] = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "com9"};
    EXPECT_EQ(port_name_choices(true, all, 9, names), 0);
    EXPECT_EQ(port_name_choices(false, all, 9, names), 9);
}

TEST(PortNames, ShownItemOfAConfiguredName) {
    struct Case {
        const char *name;
        std::int32_t item;
    };
    const Case cases[] = {{"COM1", 0}, {"COM5", 4}, {"COM9", 8}, {"COM10", -1}, {"COM0", -1},
                          {"COM", -1}, {"COMX", -1}, {"SIM1", -1}, {"", -1}};
    for (const Case &c : cases) {
        PortSettings settings{};
        text_set(settings.port_name, c.name);
        EXPECT_EQ(port_name_shown(settings.port_name), c.item) << c.name;
    }
}

TEST(TypedNumbers, TimeOutFieldsAndTheTelnetPort) {
    struct Case {
        const char *text;
        std::int32_t value;
    };
    const Case time_outs[] = {
        {"5000", 5000}, {"12abc", 12},        {"", 0},          {" -5", -5},
        {"+7", 7},      {"\t\r\n 42", 42},    {"abc", 0},       {"--5", 0},
        {"- 5", 0},     {"-0", 0},            {"2147483647", 2147483647},
        {"2147483648", 2147483647},           {"99999999999999999999", 2147483647},
        {"-2147483648", -2147483647 - 1},     {"-99999999999", -2147483647 - 1},
    };
    for (const Case &c : time_outs) EXPECT_EQ(decimal_text_value(c.text), c.value) << c.text;

    const Case ports[] = {{"23", 23},   {"2323x", 2323}, {"", 0},         {" 23", 0},
                          {"-1", 0},    {"+23", 0},      {"0023", 23},
                          {"4294967319", 2147483647}};
    for (const Case &c : ports) EXPECT_EQ(leading_digits_value(c.text), c.value) << c.text;
}

// ---- Permission entries

struct Entry {
    const char *text;
    bool stored;
    bool host_name;
    std::vector<int> address;  // octets and prefix length, for an address
    const char *shown;         // format_rule_text of the stored rule
};

TEST(PermissionEntry, FormsAndTheirTexts) {
    const Entry entries[] = {
        {"all", true, false, {0, 0, 0, 0, 0}, "ALL"},
        {"All", true, false, {0, 0, 0, 0, 0}, "ALL"},
        {"ALL", true, false, {0, 0, 0, 0, 0}, "ALL"},
        {"0.0.0.0", true, false, {0, 0, 0, 0, 0}, "ALL"},
        {"0.0.0.0/8", true, false, {0, 0, 0, 0, 8}, "ALL"},
        {"192.168.1.0/24", true, false, {192, 168, 1, 0, 24}, "192.168.1.0/24"},
        {"192.168.001.000/024", true, false, {192, 168, 1, 0, 24}, "192.168.1.0/24"},
        {"10", true, false, {10, 0, 0, 0, 0}, "10.0.0.0"},
        {"192.168.1.300", true, false, {192, 168, 1, 44, 0}, "192.168.1.44"},
        {"1..2", true, false, {1, 0, 2, 0, 0}, "1.0.2.0"},
        {"1.2.3.4.5", true, false, {1, 2, 3, 4, 0}, "1.2.3.4"},
        {"1.2.3.4.5/8", true, false, {1, 2, 3, 4, 0}, "1.2.3.4"},
        {"1.2/16", true, false, {1, 2, 0, 0, 16}, "1.2.0.0/16"},
        {"10.0.0.1/999", true, false, {10, 0, 0, 1, 231}, "10.0.0.1/231"},
        {"10.0.0.1/99999999999999999999", true, false, {10, 0, 0, 1, 255}, "10.0.0.1/255"},
        {"10.0.0.1/x", true, true, {}, "10.0.0.1/x"},
        {"10.0.0.1/", true, false, {10, 0, 0, 1, 0}, "10.0.0.1"},
        {"/", true, false, {0, 0, 0, 0, 0}, "ALL"},
        {"10.0.0.1a", true, true, {}, "10.0.0.1a"},
        {"example.com", true, true, {}, "example.com"},
        {"a-b", true, true, {}, "a-b"},
        {"alll", true, true, {}, "alll"},
        {" 10.0.0.1", true, true, {}, " 10.0.0.1"},
        {"10.0.0.1 ", true, true, {}, "10.0.0.1 "},
        {" all", true, true, {}, " all"},
        {"\xB1\xB2" "1", true, true, {}, "\xB1\xB2" "1"},
        {"", false, false, {}, nullptr},
        {"   ", false, false, {}, nullptr},
        {"...", false, false, {}, nullptr},
        {" . .", false, false, {}, nullptr},
        {"\t\r\n", false, false, {}, nullptr},
        {"\xB1\xB2\xB3", false, false, {}, nullptr},  // only bytes from 0x80 up
    };
    for (const Entry &entry : entries) {
        for (bool permit : {true, false}) {
            PermissionRule rule = host_rule("old.example", !permit);
            PermissionRule before = rule;
            int result = permission_entry_parse(entry.text, permit, &rule);
            if (!entry.stored) {
                EXPECT_EQ(result, -1) << entry.text;
                EXPECT_EQ(std::memcmp(&rule, &before, sizeof rule), 0) << entry.text;
                continue;
            }
            ASSERT_EQ(result, 0) << entry.text;
            EXPECT_EQ(rule.in_use, 1);
            EXPECT_EQ(rule.permit, permit ? 1 : 0);
            EXPECT_EQ(rule.is_host_name, entry.host_name ? 1 : 0) << entry.text;
            if (entry.host_name) {
                EXPECT_STREQ(reinterpret_cast<const char *>(rule.pattern), entry.text);
            } else {
                std::vector<int> address(rule.pattern, rule.pattern + 5);
                EXPECT_EQ(address, entry.address) << entry.text;
            }
            char text[RULE_TEXT_SIZE];
            format_rule_text(&rule, text);
            EXPECT_STREQ(text, entry.shown) << entry.text;
        }
    }
}

TEST(PermissionEntry, AnAddressKeepsTheRestOfAnEarlierPattern) {
    // Bytes 5 to 63 are not part of an address: a host-name rule changed to an address keeps
    // its old text's tail there, and it reaches the file with the rule.
    PermissionRule rule = host_rule("example.com", true);
    ASSERT_EQ(permission_entry_parse("10", false, &rule), 0);
    EXPECT_EQ(rule.is_host_name, 0);
    EXPECT_EQ(std::vector<int>(rule.pattern, rule.pattern + 5), (std::vector<int>{10, 0, 0, 0, 0}));
    EXPECT_STREQ(reinterpret_cast<const char *>(rule.pattern + 5), "le.com");
    ASSERT_EQ(permission_entry_parse("all", true, &rule), 0);
    EXPECT_STREQ(reinterpret_cast<const char *>(rule.pattern + 5), "le.com");
}

TEST(PermissionEntry, LongTextsStayWithinThePattern) {
    // The rule sits between two others, so that a copy past its pattern shows up in them (and
    // to the address sanitizer).
    struct Guarded {
        PermissionRule before;
        PermissionRule rule;
        PermissionRule after;
    };
    for (std::size_t length : {62u, 63u, 64u, 65u, 200u}) {
        Guarded guarded;
        std::memset(&guarded, 0xEE, sizeof guarded);
        std::string text(length, 'h');
        text[length - 1] = 'Z';
        ASSERT_EQ(permission_entry_parse(text.c_str(), true, &guarded.rule), 0);
        std::string stored(reinterpret_cast<const char *>(guarded.rule.pattern));
        EXPECT_EQ(stored, text.substr(0, std::min<std::size_t>(length, PERMISSION_ENTRY_MAX)));
        for (std::size_t i = 0; i < sizeof(PermissionRule); ++i) {
            ASSERT_EQ(reinterpret_cast<std::uint8_t *>(&guarded.before)[i], 0xEE);
            ASSERT_EQ(reinterpret_cast<std::uint8_t *>(&guarded.after)[i], 0xEE);
        }
    }
    // Only the first 63 characters count: "ALL" beyond them is not seen, a letter beyond them
    // does not make an address a host name.
    std::string padded = std::string(63, '.') + "ALL";
    PermissionRule rule{};
    EXPECT_EQ(permission_entry_parse(padded.c_str(), true, &rule), -1);
    std::string address = "10.1.2.3/16" + std::string(52, '0') + "x";
    ASSERT_EQ(address.size(), 64u);
    ASSERT_EQ(permission_entry_parse(address.c_str(), true, &rule), 0);
    EXPECT_EQ(rule.is_host_name, 0);
}

TEST(PermissionEntry, RuleTextsFromTheFile) {
    PermissionRule rule = address_rule(0, 0, 0, 0, 77, true);
    char text[RULE_TEXT_SIZE];
    format_rule_text(&rule, text);
    EXPECT_STREQ(text, "ALL");
    rule = address_rule(255, 255, 255, 255, 255, false);
    format_rule_text(&rule, text);
    EXPECT_STREQ(text, "255.255.255.255/255");
    rule = address_rule(0, 0, 0, 1, 0, false);
    format_rule_text(&rule, text);
    EXPECT_STREQ(text, "0.0.0.1");
    // A host name that fills the pattern without a terminator is shown whole, and no further.
    rule = host_rule("", true);
    std::memset(rule.pattern, 'n', sizeof rule.pattern);
    rule.is_host_name = 7;
    std::memset(text, 'q', sizeof text);
    format_rule_text(&rule, text);
    EXPECT_EQ(std::string(text), std::string(64, 'n'));
}

// Random input: any bytes never take the parse outside its rule; whatever is stored shows as a
// text that, entered again, stores the same rule.
TEST(PermissionEntry, RandomEntriesRoundTrip) {
    std::mt19937 random(20240611);
    const char alphabet[] = "0123456789./aZ- \t\x80\xFF";
    for (int round = 0; round < 20000; ++round) {
        std::size_t length = random() % 80;
        std::string text;
        for (std::size_t i = 0; i < length; ++i) {
            text += round % 2 == 0 ? alphabet[random() % (sizeof alphabet - 1)]
                                   : static_cast<char>(1 + random() % 255);
        }
        PermissionRule rule{};
        if (permission_entry_parse(text.c_str(), round % 3 == 0, &rule) != 0) continue;
        ASSERT_EQ(rule.in_use, 1);
        if (rule.is_host_name != 0) {
            ASSERT_LE(std::strlen(reinterpret_cast<const char *>(rule.pattern)),
                      PERMISSION_ENTRY_MAX);
        }
        char shown[RULE_TEXT_SIZE];
        format_rule_text(&rule, shown);
        PermissionRule again{};
        ASSERT_EQ(permission_entry_parse(shown, round % 3 == 0, &again), 0) << text;
        ASSERT_EQ(again.is_host_name, rule.is_host_name) << text;
        if (rule.is_host_name != 0) {
            ASSERT_STREQ(reinterpret_cast<const char *>(again.pattern),
                         reinterpret_cast<const char *>(rule.pattern));
        } else {
            bool everyone = rule.pattern[0] == 0 && rule.pattern[1] == 0 &&
                            rule.pattern[2] == 0 && rule.pattern[3] == 0;
            // "ALL" shows no prefix: everyone stays everyone, whatever the prefix was.
            ASSERT_EQ(std::memcmp(again.pattern, rule.pattern, everyone ? 4 : 5), 0) << text;
        }
    }
}

// ---- The rule list

TEST(PermissionList, CompactKeepsTheOrderAndClearsWhatMoved) {
    PermissionRule rules[PERMISSION_RULE_COUNT] = {};
    rules[2] = host_rule("a", true);
    rules[5] = host_rule("b", false);
    rules[5].in_use = 2;  // any non-zero value marks a rule in use
    rules[63] = address_rule(10, 0, 0, 0, 0, true);
    rules[1].pattern[0] = 'x';  // a free slot's leftovers
    EXPECT_EQ(permission_rules_first_free(rules), 0);

    permission_rules_compact(rules);
    EXPECT_STREQ(reinterpret_cast<const char *>(rules[0].pattern), "a");
    EXPECT_STREQ(reinterpret_cast<const char *>(rules[1].pattern), "b");
    EXPECT_EQ(rules[1].in_use, 2);
    EXPECT_EQ(rules[2].pattern[0], 10);
    EXPECT_EQ(permission_rules_first_free(rules), 3);
    const PermissionRule zero{};
    for (int r : {5, 63}) EXPECT_EQ(std::memcmp(&rules[r], &zero, sizeof zero), 0) << r;

    // Packed already: unchanged. Full: no free rule.
    PermissionRule copy[PERMISSION_RULE_COUNT];
    std::memcpy(copy, rules, sizeof rules);
    permission_rules_compact(rules);
    EXPECT_EQ(std::memcmp(copy, rules, sizeof rules), 0);
    for (PermissionRule &rule : rules) rule = host_rule("x", true);
    EXPECT_EQ(permission_rules_first_free(rules), -1);
    permission_rules_compact(rules);
}

}  // namespace
