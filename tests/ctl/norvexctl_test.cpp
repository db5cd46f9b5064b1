// norvexctl's edits write byte for byte what the gateway's own settings code writes for the same
// settings (reserved bytes kept); bad input leaves the file as it was and says why; show gives
// values back in the form the edits take.
#include "ctl/norvexctl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "dialogs/dialog_rules.h"
#include "platform/file.h"
#include "settings/port_list.h"
#include "settings/settings_file.h"
#include "support/settings_fixtures.h"
#include "support/test_dir.h"

namespace {

struct Result {
    int code;
    std::string out;
    std::string err;
};

std::string read_text(const char *name) {
    std::vector<std::uint8_t> bytes = read_whole_file(name);
    return std::string(bytes.begin(), bytes.end());
}

Result norvexctl(const std::vector<std::string> &args) {
    std::vector<const char *> argv{"norvexctl"};
    for (const std::string &arg : args) argv.push_back(arg.c_str());
    std::FILE *out = std::fopen("out.txt", "wb");
    std::FILE *err = std::fopen("err.txt", "wb");
    int code = norvexctl_run(static_cast<int>(argv.size()), argv.data(), out, err);
    std::fclose(out);
    std::fclose(err);
    Result result{code, read_text("out.txt"), read_text("err.txt")};
    std::filesystem::remove("out.txt");
    std::filesystem::remove("err.txt");
    return result;
}

// Files a save left behind under a temporary name.
int temporary_files() {
    int count = 0;
    for (const auto &entry : std::filesystem::directory_iterator(".")) {
        std::string name = entry.path().filename().string();
        count += name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0 ? 1 : 0;
    }
    return count;
}

void set_rules_in_use(std::vector<std::uint8_t> *bytes, std::size_t port, bool (*used)(int)) {
    PortSettings settings;
    std::size_t at = sizeof(GlobalOptions) + port * sizeof(PortSettings);
    std::memcpy(&settings, bytes->data() + at, sizeof settings);
    for (int i = 0; i < PERMISSION_RULE_COUNT; ++i) settings.permission_rules[i].in_use = used(i) ? 1 : 0;
    std::memcpy(bytes->data() + at, &settings, sizeof settings);
}

class Norvexctl : public ::testing::Test {
protected:
    void SetUp() override {
        std::mt19937 random(77);
        start = random_options_bytes(random);
        for (const char *name : {"COM1", "COM2", "COM3"}) {
            std::vector<std::uint8_t> port = random_port_bytes(random, name);
            start.insert(start.end(), port.begin(), port.end());
        }
        // COM2: five rules with gaps among free slots full of old bytes; COM3: all 64 in use.
        set_rules_in_use(&start, 1, [](int i) { return i < 15 && i % 3 == 1; });
        set_rules_in_use(&start, 2, [](int) { return true; });
        write_whole_file("NORVEX.DAT", start);
    }
    void TearDown() override { port_list_clear(); }

    // The file the gateway's settings code writes: the start loaded into the live settings,
    // changed there by `change`, saved.
    std::vector<std::uint8_t> saved_by_the_gateway(const std::function<void()> &change) {
        write_whole_file("REFERENCE.DAT", start);
        EXPECT_TRUE(load_settings("REFERENCE.DAT", nullptr));
        change();
        EXPECT_TRUE(save_settings("REFERENCE.DAT"));
        port_list_clear();
        return read_whole_file("REFERENCE.DAT");
    }

    ScopedTestDir dir;
    std::vector<std::uint8_t> start;
};

void change_options(const std::function<void(GlobalOptions *)> &change) {
    GlobalOptions options;
    options_get(&options);
    change(&options);
    options_set(&options);
}

void change_port(std::int32_t position, const std::function<void(PortSettings *)> &change) {
    PortRecord *record = port_list_at(position);
    ASSERT_NE(record, nullptr);
    PortSettings settings = record->settings;
    change(&settings);
    ASSERT_TRUE(port_list_update(record, &settings));
}

// A rule as the permission dialog stores an entry into a slot: the slot's other bytes stay.
void store_address(PermissionRule *rule, std::uint8_t a, std::uint8_t b, std::uint8_t c,
                   std::uint8_t d, std::uint8_t prefix, bool permit) {
    rule->in_use = 1;
    rule->is_host_name = 0;
    rule->permit = permit ? 1 : 0;
    std::uint8_t octets[] = {a, b, c, d, prefix};
    std::memcpy(rule->pattern, octets, sizeof octets);
}

struct EditCase {
    std::vector<std::string> args;
    std::function<void()> change;
};

TEST_F(Norvexctl, EveryEditWritesWhatTheSettingsCodeWrites) {
    const EditCase cases[] = {
        {{"options", "set", "telnet_port=2424", "resolve_host_names=on", "access_log_enabled=off",
          "greeting_message=Hi\\r\\n\\\\\\x41", "access_log_file_name=log/a.txt"},
         [] {
             change_options([](GlobalOptions *options) {
                 options->telnet_port = 2424;
                 options->resolve_host_names = 1;
                 options->access_log_enabled = 0;
                 text_set(options->greeting_message, "Hi\r\n\\A");
                 text_set(options->access_log_file_name, "log/a.txt");
             });
         }},
        {{"options", "set", "telnet_port=00023", "busy_message=", "busy_message=\\xE3\\x81\\x82"},
         [] {
             change_options([](GlobalOptions *options) {
                 options->telnet_port = 23;
                 text_set(options->busy_message, "\xE3\x81\x82");
             });
         }},
        {{"port", "add", "COM4", "baud_rate=115200", "data_bits=7", "parity=even", "stop_bits=2bit",
          "flow_control=none", "raise_signals=RS", "confirm_signals=CD", "watch_signals=RI",
          "connect_timeout_ms=100", "disconnect_timeout_ms=0200", "idle_timeout_s=60",
          "drop_on_falling_edge=on", "modem_emulation=off", "connect_message=in\\r\\n",
          "disconnect_keyword=\\\\r\\\\n"},
         [] {
             PortSettings port = make_port("COM4");
             port.baud_rate = 115200;
             port.data_bits = 7;
             port.parity = 2;
             port.stop_bits = 2;
             port.flow_control = 0;
             port.raise_signals = SIGNAL_RS;
             port.confirm_signals = SIGNAL_CD;
             port.watch_signals = SIGNAL_RI;
             port.connect_timeout_ms = 100;
             port.disconnect_timeout_ms = 200;
             port.idle_timeout_s = 60;
             port.drop_on_falling_edge = 1;
             text_set(port.connect_message, "in\r\n");
             text_set(port.disconnect_keyword, "\\r\\n");
             ASSERT_TRUE(port_list_add(&port));
         }},
        {{"port", "add", "com9"},
         [] {
             PortSettings port = make_port("COM9");
             ASSERT_TRUE(port_list_add(&port));
         }},
        {{"port", "set", "com2", "parity=ODD", "flow_control=dr/er", "baud_rate=300",
          "stop_bits=1.5", "data_bits=8bit", "auto_pilot_string=AT\\\\r{500}[OK]",
          "modem_emulation=0", "confirm_signals=DR", "watch_signals=cs", "raise_signals=none"},
         [] {
             change_port(1, [](PortSettings *port) {
                 port->parity = 1;
                 port->flow_control = FLOW_DTR_DSR;
                 port->baud_rate = 300;
                 port->stop_bits = 1;
                 port->data_bits = 8;
                 text_set(port->auto_pilot_string, "AT\\r{500}[OK]");
                 port->modem_emulation = 0;
                 port->confirm_signals = SIGNAL_DR;
                 port->watch_signals = SIGNAL_CS;
                 port->raise_signals = 0;
             });
         }},
        {{"port", "remove", "COM1"}, [] { ASSERT_TRUE(port_list_remove(0)); }},
        {{"port", "move", "COM3", "up"}, [] { ASSERT_TRUE(port_list_swap_next(1)); }},
        {{"port", "move", "COM1", "down"}, [] { ASSERT_TRUE(port_list_swap_next(0)); }},
        {{"rule", "add", "COM2", "permit", "192.168.1.0/24"},
         [] {
             change_port(1, [](PortSettings *port) {
                 permission_rules_compact(port->permission_rules);
                 store_address(&port->permission_rules[5], 192, 168, 1, 0, 24, true);
             });
         }},
        {{"rule", "add", "COM2", "deny", "10.1.300..7/040"},
         [] {
             change_port(1, [](PortSettings *port) {
                 permission_rules_compact(port->permission_rules);
                 // The fourth octet is empty; the 7 after it stands where a "/" would have to.
                 store_address(&port->permission_rules[5], 10, 1, 44, 0, 0, false);
             });
         }},
        {{"rule", "add", "COM2", "permit", "192.168.001.000/024"},
         [] {
             change_port(1, [](PortSettings *port) {
                 permission_rules_compact(port->permission_rules);
                 store_address(&port->permission_rules[5], 192, 168, 1, 0, 24, true);
             });
         }},
        {{"rule", "add", "COM2", "permit", "aLl"},
         [] {
             change_port(1, [](PortSettings *port) {
                 permission_rules_compact(port->permission_rules);
                 store_address(&port->permission_rules[5], 0, 0, 0, 0, 0, true);
             });
         }},
        {{"rule", "add", "COM2", "deny", "pc 7.example"},
         [] {
             change_port(1, [](PortSettings *port) {
                 permission_rules_compact(port->permission_rules);
                 PermissionRule &rule = port->permission_rules[5];
                 rule.in_use = 1;
                 rule.is_host_name = 1;
                 rule.permit = 0;
                 std::memcpy(rule.pattern, "pc 7.example", sizeof "pc 7.example");
             });
         }},
        {{"rule", "remove", "COM2", "2"},
         [] {
             change_port(1, [](PortSettings *port) {
                 permission_rules_compact(port->permission_rules);
                 port->permission_rules[1].in_use = 0;
                 permission_rules_compact(port->permission_rules);
             });
         }},
        {{"rule", "move", "COM2", "5", "up"},
         [] {
             change_port(1, [](PortSettings *port) {
                 permission_rules_compact(port->permission_rules);
                 std::swap(port->permission_rules[4], port->permission_rules[3]);
             });
         }},
        {{"rule", "move", "COM2", "1", "down"},
         [] {
             change_port(1, [](PortSettings *port) {
                 permission_rules_compact(port->permission_rules);
                 std::swap(port->permission_rules[0], port->permission_rules[1]);
             });
         }},
    };
    for (const EditCase &edit : cases) {
        std::string command;
        for (const std::string &arg : edit.args) command += arg + " ";
        write_whole_file("NORVEX.DAT", start);
        Result result = norvexctl(edit.args);
        EXPECT_EQ(result.code, NORVEXCTL_DONE) << command << result.err;
        EXPECT_EQ(result.err, "") << command;
        EXPECT_NE(result.out.find("no norvex runs in this directory"), std::string::npos) << command;
        EXPECT_EQ(read_whole_file("NORVEX.DAT"), saved_by_the_gateway(edit.change)) << command;
        EXPECT_EQ(temporary_files(), 0) << command;
    }
}

struct BadCase {
    std::vector<std::string> args;
    const char *said;  // part of the one line on standard error
};

TEST_F(Norvexctl, BadInputLeavesTheFileAsItWasAndSaysWhy) {
    const std::string long_text(256, 't');
    const BadCase cases[] = {
        {{"options", "set", "nonsense=1"}, "unknown option nonsense (options: telnet_port, "},
        {{"options", "set", "telnet_port=0"}, "telnet_port 0: a TCP port from 1 to 65535 is needed"},
        {{"options", "set", "telnet_port=65536"}, "telnet_port 65536: a TCP port from 1 to 65535"},
        {{"options", "set", "telnet_port=23x"}, "telnet_port 23x: a TCP port"},
        {{"options", "set", "telnet_port="}, "telnet_port : a TCP port"},
        {{"options", "set", "telnet_port=99999999999"}, "telnet_port 99999999999: a TCP port"},
        {{"options", "set", "greeting_message=" + long_text},
         "greeting_message: the text is 256 bytes long; the field holds at most 255"},
        {{"options", "set", "access_log_file_name=" + std::string(244, 'f')},
         "access_log_file_name: the text is 244 bytes long; the field holds at most 243"},
        {{"options", "set", "greeting_message=a\\qb"}, "greeting_message: \\q is no escape"},
        {{"options", "set", "greeting_message=a\\x0"}, "greeting_message: \\x needs two hex digits"},
        {{"options", "set", "greeting_message=a\\x00b"}, "a text cannot hold a NUL byte"},
        {{"options", "set", "busy_message=ok\\"}, "a lone backslash at the end"},
        {{"options", "set", "resolve_host_names=2"}, "resolve_host_names 2: it is on or off"},
        {{"options", "set", "telnet_port=2424", "oops"}, "oops: a setting is given as NAME=VALUE"},
        {{"options", "set"}, "options set needs NAME=VALUE"},
        {{"port", "set", "COM2", "baud_rate=14400"},
         "baud_rate 14400: it is one of 300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, "
         "115200, 230400, 460800"},
        {{"port", "set", "COM2", "data_bits=9"}, "data_bits 9: it is one of 7bit, 8bit"},
        {{"port", "set", "COM2", "stop_bits=3"}, "stop_bits 3: it is one of 1bit, 1.5bit, 2bit"},
        {{"port", "set", "COM2", "flow_control=rts"},
         "flow_control rts: it is one of none, RS/CS, DR/ER, XON/XOFF"},
        {{"port", "set", "COM2", "raise_signals=CD"}, "raise_signals CD: it is one of none, ER, RS"},
        {{"port", "set", "COM2", "idle_timeout_s=-1"},
         "idle_timeout_s -1: a whole number from 0 to 2147483 is needed; nothing changed\n"},
        // Seconds whose milliseconds the gateway could not count without wrapping.
        {{"port", "set", "COM2", "idle_timeout_s=4294968"},
         "idle_timeout_s 4294968: a whole number from 0 to 2147483 is needed (2147483 s, about 24 "
         "days, is the longest time the gateway can count); nothing changed\n"},
        {{"port", "set", "COM2", "idle_timeout_s=2147484"}, "from 0 to 2147483 is needed (2147483 s"},
        {{"port", "add", "COM4", "idle_timeout_s=2147483648"}, "from 0 to 2147483 is needed; nothing changed\n"},
        {{"port", "set", "COM2", "connect_timeout_ms=-1"}, "from 0 to 2147483647 is needed; nothing changed\n"},
        {{"port", "set", "COM2", "connect_timeout_ms=2147483648"}, "connect_timeout_ms 2147483648:"},
        {{"port", "set", "COM2", "disconnect_timeout_ms=5s"}, "disconnect_timeout_ms 5s:"},
        {{"port", "set", "COM2", "modem_emulation=yes please"}, "modem_emulation yes please: it is on"},
        {{"port", "set", "COM2", "connect_message=" + long_text}, "connect_message: the text is 256"},
        {{"port", "set", "COM2", "port_name=COM7"}, "port_name cannot be changed"},
        {{"port", "set", "COM2", "speed=9600"}, "unknown port setting speed (port settings: baud_rate,"},
        {{"port", "set", "COM2"}, "port set needs NAME=VALUE"},
        {{"port", "set", "COM2", "parity=odd", "parity=bad"}, "parity bad: it is one of"},
        {{"port", "set", "COM8", "parity=odd"}, "no port COM8 (ports: COM1, COM2, COM3)"},
        {{"port", "add", "COM2"}, "port COM2 already exists (ports: COM1, COM2, COM3)"},
        {{"port", "add", "com1"}, "port com1 already exists"},
        {{"port", "add", "COM10"}, "port COM10: ports are named COM1 to COM9"},
        {{"port", "add", "/dev/ttyUSB0"}, "ports are named COM1 to COM9"},
        {{"port", "add", "COM4", "parity=bad"}, "parity bad: it is one of none, odd, even, mark"},
        {{"port", "remove", "COM4"}, "no port COM4"},
        {{"port", "move", "COM1", "up"}, "COM1 is already the first port"},
        {{"port", "move", "COM3", "down"}, "COM3 is already the last port"},
        {{"port", "move", "COM2", "left"}, "left: a move goes up or down"},
        {{"rule", "add", "COM3", "permit", "ALL"}, "COM3 has 64 rules, the most a port holds"},
        {{"rule", "add", "COM2", "allow", "ALL"}, "allow: a rule is permit or deny"},
        {{"rule", "add", "COM2", "permit", " . .. "}, "no address, ALL or host name in it"},
        {{"rule", "add", "COM2", "permit", std::string(64, 'h')}, "longer than 63 characters"},
        {{"rule", "add", "COM7", "permit", "ALL"}, "no port COM7"},
        {{"rule", "remove", "COM2", "0"}, "rule 0: COM2 has rules 1 to 5"},
        {{"rule", "remove", "COM2", "6"}, "rule 6: COM2 has rules 1 to 5"},
        {{"rule", "remove", "COM2", "one"}, "rule one: COM2 has rules 1 to 5"},
        {{"rule", "move", "COM2", "1", "up"}, "rule 1 of COM2 is already the first"},
        {{"rule", "move", "COM2", "5", "down"}, "rule 5 of COM2 is already the last"},
        {{"rule", "remove", "COM2"}, "usage: norvexctl rule add"},
        {{"port", "remove"}, "usage: norvexctl port add|set|remove|move"},
        {{"frobnicate"}, "unknown command frobnicate"},
        {{"--frobnicate", "show"}, "unknown option --frobnicate"},
        {{"show", "extra"}, "show takes no arguments"},
    };
    for (const BadCase &bad : cases) {
        std::string command;
        for (const std::string &arg : bad.args) command += arg.substr(0, 20) + " ";
        Result result = norvexctl(bad.args);
        EXPECT_EQ(result.code, NORVEXCTL_BAD_INPUT) << command;
        EXPECT_EQ(result.out, "") << command;
        EXPECT_EQ(result.err.rfind("norvexctl: ", 0), 0u) << command << result.err;
        EXPECT_NE(result.err.find(bad.said), std::string::npos) << command << result.err;
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << command << result.err;
        EXPECT_EQ(read_whole_file("NORVEX.DAT"), start) << command;
        EXPECT_EQ(temporary_files(), 0) << command;
    }
}

TEST_F(Norvexctl, AFileTheGatewayCouldNotLoadOrThatIsHeldIsLeftAlone) {
    std::vector<std::uint8_t> malformed = start;
    malformed.resize(start.size() - 1);
    write_whole_file("NORVEX.DAT", malformed);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"show"}, {"port", "add", "COM5"}, {"options", "set", "telnet_port=1"}}) {
        Result result = norvexctl(args);
        EXPECT_EQ(result.code, NORVEXCTL_UNREACHABLE) << args[0];
        EXPECT_NE(result.err.find("is not 1792 + 8448 x N bytes long"), std::string::npos) << result.err;
        EXPECT_EQ(read_whole_file("NORVEX.DAT"), malformed);
    }

    // Another edit in progress holds the lock, or another program holds the file open, for longer
    // than an edit waits: the edit gives up and says so, the file as it was.
    write_whole_file("NORVEX.DAT", start);
    settings_lock_set_wait_ms(300);
    std::int32_t why = 0;
    SettingsLock *lock = settings_lock("NORVEX.DAT", false, &why);
    ASSERT_NE(lock, nullptr);
    Result result = norvexctl({"port", "remove", "COM1"});
    settings_unlock(lock);
    File *holder = file_open_read("NORVEX.DAT");
    ASSERT_NE(holder, nullptr);
    Result held_open = norvexctl({"rule", "add", "COM1", "deny", "ALL"});
    file_close(holder);
    settings_lock_set_wait_ms(0);
    for (const Result &given_up : {result, held_open}) {
        EXPECT_EQ(given_up.code, NORVEXCTL_UNREACHABLE);
        EXPECT_EQ(given_up.out, "");
        EXPECT_EQ(given_up.err, "norvexctl: NORVEX.DAT in this directory is held by another program "
                                "(another edit, or a norvex loading it): waited 10 s for it; "
                                "nothing changed\n");
    }
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), start);
}

// Edits from two threads at once, as from two norvexctl: each takes its turn, and every edit that
// reports done is in the file, in the order it was done.
TEST_F(Norvexctl, EditsAtTheSameTimeTakeTurnsAndLoseNoneThatReportedDone) {
    SettingsImage image;
    settings_options_defaults(&image.options);
    image.ports = {make_port("COM1"), make_port("COM2")};
    ASSERT_TRUE(settings_image_write("NORVEX.DAT", &image));
    constexpr int EDITS = 25;
    struct Loop {
        std::string port;
        std::vector<std::string> done;  // the rules reported added, in order
        std::vector<std::string> failed;
    } loops[2] = {{"COM1", {}, {}}, {"COM2", {}, {}}};
    auto edit_loop = [](Loop *loop) {
        std::string out_name = loop->port + ".out", err_name = loop->port + ".err";
        for (int i = 0; i < EDITS; ++i) {
            std::string entry = "10." + loop->port.substr(3) + "." + std::to_string(i) + ".0/24";
            const char *argv[] = {"norvexctl", "rule", "add", loop->port.c_str(), "permit", entry.c_str()};
            std::FILE *out = std::fopen(out_name.c_str(), "wb");
            std::FILE *err = std::fopen(err_name.c_str(), "wb");
            int code = norvexctl_run(6, argv, out, err);
            std::fclose(out);
            std::fclose(err);
            if (code == NORVEXCTL_DONE) {
                loop->done.push_back("permit " + entry);
            } else {
                loop->failed.push_back(read_text(err_name.c_str()));
            }
        }
    };
    std::thread first(edit_loop, &loops[0]);
    std::thread second(edit_loop, &loops[1]);
    first.join();
    second.join();

    File *file = file_open_read("NORVEX.DAT");
    ASSERT_NE(file, nullptr);
    SettingsImage stored;
    ASSERT_EQ(settings_image_read(file, &stored), IMAGE_READ_OK);
    file_close(file);
    ASSERT_EQ(stored.ports.size(), 2u);
    for (int p = 0; p < 2; ++p) {
        std::vector<std::string> rules;
        for (const PermissionRule &rule : stored.ports[p].permission_rules) {
            if (rule.in_use == 0) continue;
            char text[RULE_TEXT_SIZE];
            format_rule_text(&rule, text);
            rules.push_back(std::string(rule.permit != 0 ? "permit " : "deny ") + text);
        }
        EXPECT_EQ(rules, loops[p].done) << loops[p].port;
        EXPECT_EQ(loops[p].failed, std::vector<std::string>{}) << loops[p].port;
    }
    for (const auto &entry : std::filesystem::directory_iterator(".")) {
        std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "NORVEX.DAT" || name == "NORVEX.DAT.lock" || name.find(".out") != std::string::npos ||
                    name.find(".err") != std::string::npos) << name;
    }
}

TEST_F(Norvexctl, ANewDirectoryGetsTheDefaultsAndThePort) {
    std::filesystem::remove("NORVEX.DAT");
    Result shown = norvexctl({"show"});
    EXPECT_EQ(shown.code, NORVEXCTL_DONE);
    EXPECT_NE(shown.err.find("no NORVEX.DAT in this directory yet"), std::string::npos);
    EXPECT_NE(shown.out.find("  telnet_port           23\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("\nno port\n"), std::string::npos);
    EXPECT_FALSE(file_exists("NORVEX.DAT"));  // showing creates nothing
    write_whole_file("NORVEX.DAT", std::vector<std::uint8_t>(100, 0x41));
    Result short_file = norvexctl({"show"});
    EXPECT_EQ(short_file.out, shown.out);
    EXPECT_NE(short_file.err.find("is shorter than 1792 bytes: norvex replaces it"), std::string::npos);
    EXPECT_EQ(read_whole_file("NORVEX.DAT").size(), 100u);
    std::filesystem::remove("NORVEX.DAT");

    Result added = norvexctl({"port", "add", "COM1"});
    EXPECT_EQ(added.code, NORVEXCTL_DONE) << added.err;
    std::vector<std::uint8_t> expected = default_file_bytes();
    PortSettings port = make_port("COM1");
    const std::uint8_t *bytes = reinterpret_cast<const std::uint8_t *>(&port);
    expected.insert(expected.end(), bytes, bytes + sizeof port);
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), expected);
}

// Each value show prints is taken back by the edits as the same bytes; values the dialogs would
// not show as they are carry a note instead.
TEST_F(Norvexctl, ShowWritesValuesAsTheEditsTakeThem) {
    PortSettings odd = make_port("COM5");
    odd.baud_rate = 14400;
    odd.watch_signals = SIGNAL_DR | SIGNAL_CS;
    odd.data_bits = 5;
    odd.flow_control = 8;
    text_set(odd.connect_message, "\"quoted\"\t\\ \xE3\x81\x82 \x83\x41\r\n");
    odd.permission_rules[0] = address_rule(192, 168, 1, 0, 24, true);
    odd.permission_rules[3] = host_rule("example.com", false);
    odd.permission_rules[4] = address_rule(0, 0, 0, 0, 8, true);
    SettingsImage image;
    settings_options_defaults(&image.options);
    image.ports = {make_port("COM1"), odd};
    image.ports[0].idle_timeout_s = 2147483;  // the longest the gateway counts: a plain value
    image.ports[1].idle_timeout_s = 4294968;  // written by another tool
    image.ports[1].disconnect_timeout_ms = -5;
    text_set(image.ports[0].auto_pilot_string, "AT\\r{500}[OK]");
    ASSERT_TRUE(settings_image_write("NORVEX.DAT", &image));
    std::vector<std::uint8_t> before = read_whole_file("NORVEX.DAT");

    Result shown = norvexctl({"show"});
    ASSERT_EQ(shown.code, NORVEXCTL_DONE) << shown.err;
    for (const char *line :
         {"port COM5 (2 of 2)\n",
          "  baud_rate             14400 (not an item of the dialog's list; the dialog shows 19200)\n",
          "  data_bits             5 (not an item of the dialog's list)\n",
          "  flow_control          8 (not an item of the dialog's list)\n",
          "  watch_signals         6 (not an item of the dialog's list; the dialog shows DR)\n",
          "  connect_message       \"\\x22quoted\\x22\\x09\\\\ \xE3\x81\x82 \\x83A\\r\\n\"\n",
          "  rule 1                permit 192.168.1.0/24\n", "  rule 2                deny example.com\n",
          "  rule 3                permit ALL\n", "  rules                 none: every caller is admitted\n",
          "  auto_pilot_string     \"AT\\\\r{500}[OK]\"\n", "  idle_timeout_s        2147483\n",
          "  idle_timeout_s        4294968 (longer than the gateway can count: it takes 2147483)\n",
          "  disconnect_timeout_ms -5 (negative: the gateway takes 0)\n"}) {
        EXPECT_NE(shown.out.find(line), std::string::npos) << line << shown.out;
    }

    // Every plain value set back as shown changes no byte.
    std::istringstream lines(shown.out);
    std::string line, section, port;
    while (std::getline(lines, line)) {
        if (line.rfind("port ", 0) == 0) port = line.substr(5, line.find(' ', 5) - 5);
        if (line == "options" || line.rfind("port ", 0) == 0) section = line.substr(0, line.find(' '));
        if (line.rfind("  ", 0) != 0 || line.rfind("  rule", 0) == 0 || line.find(" (") != std::string::npos) {
            continue;
        }
        std::string name = line.substr(2, line.find(' ', 2) - 2);
        std::string value = line.substr(line.find_first_not_of(' ', 2 + name.size()));
        if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
        Result set = section == "options" ? norvexctl({"options", "set", name + "=" + value})
                                          : norvexctl({"port", "set", port, name + "=" + value});
        EXPECT_EQ(set.code, NORVEXCTL_DONE) << line << set.err;
        EXPECT_EQ(read_whole_file("NORVEX.DAT"), before) << line;
    }
}

TEST_F(Norvexctl, HelpForEveryCommand) {
    for (const char *command : {"show", "status", "disconnect", "reload", "options", "port", "rule"}) {
        Result help = norvexctl({command, "--help"});
        EXPECT_EQ(help.code, NORVEXCTL_DONE) << command;
        EXPECT_EQ(help.out.rfind(std::string("usage: norvexctl [-C DIR] ") + command, 0), 0u) << help.out;
        EXPECT_EQ(norvexctl({"help", command}).out, help.out);
    }
    Result port = norvexctl({"port", "--help"});
    for (const char *name : {"baud_rate", "watch_signals", "idle_timeout_s", "disconnect_keyword",
                             "XON/XOFF", "460800", "1.5bit"}) {
        EXPECT_NE(port.out.find(name), std::string::npos) << name;
    }
    EXPECT_NE(norvexctl({"options", "-h"}).out.find("access_log_file_name"), std::string::npos);
    EXPECT_EQ(norvexctl({"--help"}).code, NORVEXCTL_DONE);
    Result none = norvexctl({});
    EXPECT_EQ(none.code, NORVEXCTL_BAD_INPUT);
    EXPECT_NE(none.err.find("usage: norvexctl [-C DIR] COMMAND"), std::string::npos);
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), start);
}

TEST_F(Norvexctl, DirectoryOption) {
    std::filesystem::create_directory("gateway");
    write_whole_file("gateway/NORVEX.DAT", start);
    const std::filesystem::path top = std::filesystem::current_path();
    std::vector<std::string> args{"-C", "gateway", "port", "remove", "COM2"};
    std::vector<const char *> argv{"norvexctl"};
    for (const std::string &arg : args) argv.push_back(arg.c_str());
    std::FILE *out = std::fopen("out.txt", "wb");
    std::FILE *err = std::fopen("err.txt", "wb");
    int code = norvexctl_run(static_cast<int>(argv.size()), argv.data(), out, err);
    std::fclose(out);
    std::fclose(err);
    std::filesystem::current_path(top);
    EXPECT_EQ(code, NORVEXCTL_DONE) << read_text("err.txt");
    EXPECT_NE(read_text("out.txt").find("no norvex runs in gateway"), std::string::npos);
    EXPECT_EQ(read_whole_file("gateway/NORVEX.DAT").size(), start.size() - sizeof(PortSettings));
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), start);
    EXPECT_EQ(norvexctl({"-C", "no such directory", "show"}).code, NORVEXCTL_UNREACHABLE);
}

}  // namespace

// The settings beyond NORVEX.DAT: kept in NORVEX.INI, edited like the others, the file's comments
// and other keys kept, and NORVEX.DAT untouched by them byte for byte.
TEST_F(Norvexctl, SettingsOfNorvexIniAreEditedBesideTheOthers) {
    Result result = norvexctl({"options", "set", "ssh_port=2222"});
    EXPECT_EQ(result.code, NORVEXCTL_DONE) << result.err;
    EXPECT_NE(result.out.find("ssh_port=2222"), std::string::npos) << result.out;
    EXPECT_EQ(read_text("NORVEX.INI"), "ssh_port = 2222\n");
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), start) << "NORVEX.DAT holds no byte of it";

    std::string kept = "# our gateway\nfuture_key = yes\nssh_port = 2222\n\n[COM1]\nnote = x\n";
    write_whole_file("NORVEX.INI", std::vector<std::uint8_t>(kept.begin(), kept.end()));
    result = norvexctl({"options", "set", "ssh_port=0", "resolve_host_names=on"});
    EXPECT_EQ(result.code, NORVEXCTL_DONE) << result.err;
    EXPECT_EQ(read_text("NORVEX.INI"),
              "# our gateway\nfuture_key = yes\nssh_port = 0\n\n[COM1]\nnote = x\n");
    std::vector<std::uint8_t> after = read_whole_file("NORVEX.DAT");

    for (const char *bad : {"ssh_port=65536", "ssh_port=-1", "ssh_port=22x", "ssh_port="}) {
        result = norvexctl({"options", "set", "resolve_host_names=off", bad});
        EXPECT_EQ(result.code, NORVEXCTL_BAD_INPUT) << bad;
        EXPECT_NE(result.err.find("0 for none"), std::string::npos) << result.err;
    }
    result = norvexctl({"options", "set", "sshport=22"});
    EXPECT_EQ(result.code, NORVEXCTL_BAD_INPUT);
    EXPECT_NE(result.err.find("ssh_port"), std::string::npos) << "the known names are listed";
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), after);
    EXPECT_EQ(read_text("NORVEX.INI"),
              "# our gateway\nfuture_key = yes\nssh_port = 0\n\n[COM1]\nnote = x\n");

    result = norvexctl({"show"});
    EXPECT_NE(result.out.find("ssh_port"), std::string::npos) << result.out;

    // A malformed NORVEX.INI stops every edit, with its line, until it is mended.
    std::string broken = "ssh_port = 22\nwhat is this\n";
    write_whole_file("NORVEX.INI", std::vector<std::uint8_t>(broken.begin(), broken.end()));
    result = norvexctl({"options", "set", "resolve_host_names=off"});
    EXPECT_EQ(result.code, NORVEXCTL_UNREACHABLE);
    EXPECT_NE(result.err.find("NORVEX.INI line 2"), std::string::npos) << result.err;
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), after);
    EXPECT_EQ(temporary_files(), 0);
}

TEST_F(Norvexctl, APortsOwnTcpPortIsSetShownTakenAlongAndNeverShared) {
    ASSERT_EQ(norvexctl({"options", "set", "telnet_port=2323"}).code, NORVEXCTL_DONE);
    std::vector<std::uint8_t> file = read_whole_file("NORVEX.DAT");
    Result result = norvexctl({"port", "set", "com1", "tcp_port=7001", "rfc2217=on"});
    EXPECT_EQ(result.code, NORVEXCTL_DONE) << result.err;
    EXPECT_NE(result.out.find("tcp_port=7001, rfc2217=on"), std::string::npos) << result.out;
    EXPECT_EQ(read_text("NORVEX.INI"), "[COM1]\ntcp_port = 7001\nrfc2217 = on\n");
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), file) << "NORVEX.DAT holds no byte of them";
    // Settings of both files in one edit.
    result = norvexctl({"port", "set", "COM2", "idle_timeout_s=30", "tcp_port=7002", "rfc2217=yes"});
    EXPECT_EQ(result.code, NORVEXCTL_DONE) << result.err;
    file = read_whole_file("NORVEX.DAT");
    const std::string both =
        "[COM1]\ntcp_port = 7001\nrfc2217 = on\n\n[COM2]\ntcp_port = 7002\nrfc2217 = on\n";
    EXPECT_EQ(read_text("NORVEX.INI"), both);

    result = norvexctl({"show"});
    std::size_t com1 = result.out.find("port COM1");
    std::size_t com3 = result.out.find("port COM3");
    ASSERT_NE(com3, std::string::npos) << result.out;
    EXPECT_NE(result.out.find("tcp_port              7001", com1), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("rfc2217               on", com1), std::string::npos);
    EXPECT_NE(result.out.find("tcp_port              0 (no TCP port of its own)", com3),
              std::string::npos);
    EXPECT_NE(result.out.find("rfc2217               off", com3), std::string::npos);

    // Two ways on one TCP port: refused with exit 2, neither file changed, whichever edit tries.
    const std::vector<std::vector<std::string>> clashes = {
        {"port", "set", "COM3", "tcp_port=7001"},
        {"port", "set", "COM3", "flow_control=none", "tcp_port=2323"},
        {"port", "add", "COM4", "tcp_port=7002"},
        {"options", "set", "ssh_port=7002"},
        {"options", "set", "telnet_port=7001"},
        {"port", "set", "COM1", "tcp_port=7002"},
    };
    for (const std::vector<std::string> &clash : clashes) {
        result = norvexctl(clash);
        EXPECT_EQ(result.code, NORVEXCTL_BAD_INPUT) << clash.back();
        EXPECT_NE(result.err.find("one TCP port serves one way in; nothing changed"),
                  std::string::npos)
            << result.err;
        EXPECT_EQ(read_whole_file("NORVEX.DAT"), file) << clash.back();
        EXPECT_EQ(read_text("NORVEX.INI"), both) << clash.back();
    }
    for (const char *bad : {"rfc2217=maybe", "tcp_port=65536", "tcp_port=x"}) {
        result = norvexctl({"port", "set", "COM3", bad});
        EXPECT_EQ(result.code, NORVEXCTL_BAD_INPUT) << bad;
        EXPECT_EQ(read_text("NORVEX.INI"), both) << bad;
    }

    // A port removed takes its TCP port along; added again, it starts without one. Its TCP port
    // is then free for another port.
    ASSERT_EQ(norvexctl({"port", "remove", "COM1"}).code, NORVEXCTL_DONE);
    EXPECT_EQ(read_text("NORVEX.INI"), "[COM1]\n\n[COM2]\ntcp_port = 7002\nrfc2217 = on\n");
    result = norvexctl({"port", "set", "COM3", "tcp_port=7001"});
    EXPECT_EQ(result.code, NORVEXCTL_DONE) << result.err;
    ASSERT_EQ(norvexctl({"port", "add", "COM1"}).code, NORVEXCTL_DONE);
    result = norvexctl({"show"});
    EXPECT_NE(result.out.find("tcp_port              0", result.out.find("port COM1")),
              std::string::npos)
        << result.out;
    EXPECT_EQ(temporary_files(), 0);
}
