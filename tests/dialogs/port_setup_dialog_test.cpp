// The port settings dialog with the scripted ui host: the names it offers, a new port's entries,
// how stored values are shown and stored back (values no item has included), typed numbers and
// texts, and what OK and cancel leave in settings_edit_buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dialogs/dialogs.h"
#include "resources/resource_ids.h"
#include "settings/port_list.h"
#include "settings/settings_file.h"
#include "sim/scripted_ui.h"
#include "support/settings_fixtures.h"
#include "support/test_dir.h"

namespace {

class PortSetupDialog : public ::testing::Test {
protected:
    void SetUp() override {
        scripted_ui_install();
        ASSERT_TRUE(load_settings("NORVEX.DAT", nullptr));
    }
    void TearDown() override {
        port_list_clear();
        scripted_ui_uninstall();
    }

    void add(std::initializer_list<const char *> names) {
        for (const char *name : names) {
            PortSettings port = make_port(name);
            ASSERT_TRUE(port_list_add(&port));
        }
    }

    // Runs the dialog as the port list dialog does, with `play` as the user inside.
    static std::int32_t run(bool adding, std::function<void(UiWindow *)> play) {
        adding_port = adding ? 1 : 0;
        scripted.play_dialog[RES_PORTSETUP_DIALOG] = std::move(play);
        return ui_run_dialog(nullptr, RES_PORTSETUP_DIALOG, port_setup_dialog_procedure);
    }

    ScopedTestDir dir;
};

std::int32_t shown(UiWindow *dialog, std::int32_t id) {
    return scripted_control(dialog, id)->selection;
}

std::string text(UiWindow *dialog, std::int32_t id) { return scripted_control(dialog, id)->text; }

bool same(const PortSettings &a, const PortSettings &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST_F(PortSetupDialog, AddingOffersTheFreeNamesAndANewPortsEntries) {
    add({"COM1", "COM3", "COM4"});
    // Whatever an earlier edit left in the buffer, rules included, does not reach the new port.
    std::memset(&settings_edit_buffer, 0xA5, sizeof settings_edit_buffer);
    std::int32_t result = run(true, [](UiWindow *dialog) {
        EXPECT_EQ(scripted_window(dialog)->title, scripted_string(STR_TITLE_ADD_PORT));
        EXPECT_EQ(scripted_control(dialog, ID_PORT_NAME)->items,
                  (std::vector<std::string>{"COM2", "COM5", "COM6", "COM7", "COM8", "COM9"}));
        EXPECT_TRUE(scripted_control(dialog, ID_PORT_NAME)->enabled);
        EXPECT_EQ(shown(dialog, ID_PORT_NAME), 0);

        const std::pair<std::int32_t, std::vector<std::string>> combos[] = {
            {ID_PORT_BAUD_RATE,
             {"300", "1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200",
              "230400", "460800"}},
            {ID_PORT_DATA_BITS, {"7bit", "8bit"}},
            {ID_PORT_PARITY, {"none", "odd", "even", "mark"}},
            {ID_PORT_STOP_BITS, {"1bit", "1.5bit", "2bit"}},
            {ID_PORT_FLOW_CONTROL, {"none", "RS/CS", "DR/ER", "XON/XOFF"}},
            {ID_PORT_RAISE_SIGNALS, {"none", "ER", "RS"}},
            {ID_PORT_CONFIRM_SIGNALS, {"none", "CD", "DR", "CS", "RI"}},
            {ID_PORT_WATCH_SIGNALS, {"none", "CD", "DR", "CS", "RI"}},
        };
        for (const auto &[id, items] : combos) {
            EXPECT_EQ(scripted_control(dialog, id)->items, items) << id;
        }
        // 9600, 8bit, none, 1bit, RS/CS, ER, none, none.
        const std::pair<std::int32_t, std::int32_t> selections[] = {
            {ID_PORT_BAUD_RATE, 4},     {ID_PORT_DATA_BITS, 1},     {ID_PORT_PARITY, 0},
            {ID_PORT_STOP_BITS, 0},     {ID_PORT_FLOW_CONTROL, 1},  {ID_PORT_RAISE_SIGNALS, 1},
            {ID_PORT_CONFIRM_SIGNALS, 0}, {ID_PORT_WATCH_SIGNALS, 0}};
        for (const auto &[id, item] : selections) EXPECT_EQ(shown(dialog, id), item) << id;
        EXPECT_EQ(text(dialog, ID_PORT_CONNECT_TIMEOUT), "5000");
        EXPECT_EQ(text(dialog, ID_PORT_DISCONNECT_TIMEOUT), "5000");
        EXPECT_EQ(text(dialog, ID_PORT_IDLE_TIMEOUT), "0");
        EXPECT_FALSE(scripted_control(dialog, ID_PORT_MODEM_EMULATION)->checked);
        EXPECT_FALSE(scripted_control(dialog, ID_PORT_FALLING_EDGE)->checked);
        for (std::int32_t id : {ID_PORT_CONNECT_MESSAGE, ID_PORT_DISCONNECT_MESSAGE,
                                ID_PORT_AUTO_PILOT, ID_PORT_DISCONNECT_KEYWORD}) {
            EXPECT_EQ(text(dialog, id), "") << id;
        }

        // A new port has no rules yet.
        scripted.play_dialog[RES_PERMISSION_DIALOG] = [](UiWindow *permissions) {
            EXPECT_EQ(ui_view_row_count(permissions, ID_PERM_LIST), 0);
            scripted_escape(permissions);
        };
        scripted_click(dialog, ID_PORT_PERMISSIONS);
        scripted_click(dialog, ID_PORT_OK);
    });
    EXPECT_EQ(result, 1);
    EXPECT_STREQ(settings_edit_buffer.port_name, "COM2");
    EXPECT_EQ(settings_edit_buffer.baud_rate, 9600);
    EXPECT_EQ(settings_edit_buffer.data_bits, 8);
    EXPECT_EQ(settings_edit_buffer.flow_control, FLOW_RTS_CTS);
    EXPECT_EQ(settings_edit_buffer.raise_signals, SIGNAL_ER);
    EXPECT_EQ(settings_edit_buffer.connect_timeout_ms, 5000);
    EXPECT_EQ(settings_edit_buffer.disconnect_timeout_ms, 5000);
    EXPECT_EQ(settings_edit_buffer.permission_rules[0].in_use, 0);
    EXPECT_TRUE(same(settings_edit_buffer, make_port("COM2")));
}

TEST_F(PortSetupDialog, NamesInUseAreComparedWithoutCase) {
    add({"COM1", "COM3", "COM4", "com2"});
    run(true, [](UiWindow *dialog) {
        EXPECT_EQ(scripted_control(dialog, ID_PORT_NAME)->items,
                  (std::vector<std::string>{"COM5", "COM6", "COM7", "COM8", "COM9"}));
        scripted_choose_combo(dialog, ID_PORT_NAME, 4);
        scripted_click(dialog, ID_PORT_OK);
    });
    EXPECT_STREQ(settings_edit_buffer.port_name, "COM9");

    // With all nine in use: 1005 before the dialog is shown, and result 0.
    add({"COM5", "COM6", "COM7", "COM8", "cOm9"});
    scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_OK; };
    std::vector<std::uint8_t> before(sizeof settings_edit_buffer);
    std::memcpy(before.data(), &settings_edit_buffer, before.size());
    EXPECT_EQ(run(true, [](UiWindow *) { ADD_FAILURE() << "the dialog was shown"; }), 0);
    ASSERT_EQ(scripted.boxes.size(), 1u);
    EXPECT_EQ(scripted.boxes[0].text, scripted_string(STR_NO_PORT_TO_ADD));
    EXPECT_EQ(scripted.boxes[0].style, UI_BOX_OK_EXCLAMATION);
    EXPECT_NE(scripted.boxes[0].owner, nullptr);
    EXPECT_EQ(std::memcmp(before.data(), &settings_edit_buffer, before.size()), 0);
}

TEST_F(PortSetupDialog, EditingShowsStoredValuesAndKeepsThoseNoItemShows) {
    add({"COM1", "COM2"});
    PortSettings stored = make_port("COM10");
    stored.baud_rate = 14400;
    stored.data_bits = 5;
    stored.parity = 7;
    stored.stop_bits = 3;
    stored.flow_control = 8;
    stored.raise_signals = 4;
    stored.confirm_signals = SIGNAL_RI;
    stored.watch_signals = SIGNAL_DR | SIGNAL_CS;
    stored.connect_timeout_ms = 1234;
    stored.disconnect_timeout_ms = -5;
    stored.idle_timeout_s = 600;
    stored.modem_emulation = 5;
    stored.drop_on_falling_edge = 0;
    text_set(stored.connect_message, "CONNECTED\r\nline two");
    text_set(stored.disconnect_message, "BYE");
    text_set(stored.auto_pilot_string, "ATZ\\r\\w");
    text_set(stored.disconnect_keyword, "NO CARRIER");
    stored.permission_rules[0] = address_rule(10, 0, 0, 0, 8, true);
    stored.reserved_1 = 0x77;
    stored.reserved_2[100] = 0x99;
    settings_edit_buffer = stored;

    EXPECT_EQ(run(false,
                  [](UiWindow *dialog) {
                      EXPECT_EQ(scripted_window(dialog)->title,
                                scripted_string(STR_TITLE_PORT_SETTINGS));
                      EXPECT_EQ(scripted_control(dialog, ID_PORT_NAME)->items.size(), 9u);
                      EXPECT_FALSE(scripted_control(dialog, ID_PORT_NAME)->enabled);
                      const std::pair<std::int32_t, std::int32_t> selections[] = {
                          {ID_PORT_NAME, -1},          {ID_PORT_BAUD_RATE, 5},
                          {ID_PORT_DATA_BITS, -1},     {ID_PORT_PARITY, -1},
                          {ID_PORT_STOP_BITS, -1},     {ID_PORT_FLOW_CONTROL, -1},
                          {ID_PORT_RAISE_SIGNALS, -1}, {ID_PORT_CONFIRM_SIGNALS, 4},
                          {ID_PORT_WATCH_SIGNALS, 2}};
                      for (const auto &[id, item] : selections) {
                          EXPECT_EQ(shown(dialog, id), item) << id;
                      }
                      EXPECT_EQ(text(dialog, ID_PORT_CONNECT_TIMEOUT), "1234");
                      EXPECT_EQ(text(dialog, ID_PORT_DISCONNECT_TIMEOUT), "-5");
                      EXPECT_EQ(text(dialog, ID_PORT_IDLE_TIMEOUT), "600");
                      EXPECT_TRUE(scripted_control(dialog, ID_PORT_MODEM_EMULATION)->checked);
                      EXPECT_FALSE(scripted_control(dialog, ID_PORT_FALLING_EDGE)->checked);
                      EXPECT_EQ(text(dialog, ID_PORT_CONNECT_MESSAGE), "CONNECTED\r\nline two");
                      EXPECT_EQ(text(dialog, ID_PORT_DISCONNECT_MESSAGE), "BYE");
                      EXPECT_EQ(text(dialog, ID_PORT_AUTO_PILOT), "ATZ\\r\\w");
                      EXPECT_EQ(text(dialog, ID_PORT_DISCONNECT_KEYWORD), "NO CARRIER");
                      scripted_click(dialog, ID_PORT_OK);
                  }),
              1);
    // Shown and stored: 19200 for 14400, DR for DR and CS, 1 for the flag; everything without
    // an item of its own (COM10, 5 data bits, parity 7, stop bits 3, flow 8, raise 4) kept.
    PortSettings expected = stored;
    expected.baud_rate = 19200;
    expected.watch_signals = SIGNAL_DR;
    expected.modem_emulation = 1;
    EXPECT_TRUE(same(settings_edit_buffer, expected));

    // 500000 has no entry at or above it: shown and stored as 300.
    settings_edit_buffer = make_port("COM2");
    settings_edit_buffer.baud_rate = 500000;
    run(false, [](UiWindow *dialog) {
        EXPECT_EQ(shown(dialog, ID_PORT_NAME), 1);
        EXPECT_EQ(shown(dialog, ID_PORT_BAUD_RATE), 0);
        scripted_click(dialog, ID_PORT_OK);
    });
    EXPECT_EQ(settings_edit_buffer.baud_rate, 300);
    EXPECT_STREQ(settings_edit_buffer.port_name, "COM2");
}

TEST_F(PortSetupDialog, TypedNumbersAndTexts) {
    struct Case {
        const char *connect;
        const char *disconnect;
        const char *idle;
        std::int32_t values[3];
    };
    const Case cases[] = {
        {"100", "12abc", "", {100, 12, 0}},
        {"0", " -5", "+30", {0, -5, 30}},
    };
    for (const Case &c : cases) {
        settings_edit_buffer = make_port("COM1");
        run(false, [&c](UiWindow *dialog) {
            scripted_type(dialog, ID_PORT_CONNECT_TIMEOUT, c.connect);
            scripted_type(dialog, ID_PORT_DISCONNECT_TIMEOUT, c.disconnect);
            scripted_type(dialog, ID_PORT_IDLE_TIMEOUT, c.idle);
            scripted_click(dialog, ID_PORT_OK);
        });
        EXPECT_EQ(settings_edit_buffer.connect_timeout_ms, c.values[0]) << c.connect;
        EXPECT_EQ(settings_edit_buffer.disconnect_timeout_ms, c.values[1]) << c.disconnect;
        EXPECT_EQ(settings_edit_buffer.idle_timeout_s, c.values[2]) << c.idle;
    }

    // Texts as typed, line breaks as CR LF, cut at 255 characters; check boxes as 1 or 0.
    settings_edit_buffer = make_port("COM1");
    const std::string long_text(300, 'k');
    run(false, [&long_text](UiWindow *dialog) {
        scripted_type(dialog, ID_PORT_CONNECT_MESSAGE, "Welcome\r\nto COM1\r\n");
        scripted_type(dialog, ID_PORT_DISCONNECT_MESSAGE, long_text);
        scripted_type(dialog, ID_PORT_AUTO_PILOT, "\\r\\d1ATZ\\r");
        scripted_type(dialog, ID_PORT_DISCONNECT_KEYWORD, "BYE");
        scripted_check(dialog, ID_PORT_FALLING_EDGE, true);
        scripted_choose_combo(dialog, ID_PORT_PARITY, 2);
        scripted_choose_combo(dialog, ID_PORT_CONFIRM_SIGNALS, 1);
        scripted_click(dialog, ID_PORT_OK);
    });
    EXPECT_STREQ(settings_edit_buffer.connect_message, "Welcome\r\nto COM1\r\n");
    EXPECT_EQ(std::string(settings_edit_buffer.disconnect_message), long_text.substr(0, 255));
    EXPECT_STREQ(settings_edit_buffer.auto_pilot_string, "\\r\\d1ATZ\\r");
    EXPECT_STREQ(settings_edit_buffer.disconnect_keyword, "BYE");
    EXPECT_EQ(settings_edit_buffer.drop_on_falling_edge, 1);
    EXPECT_EQ(settings_edit_buffer.modem_emulation, 0);
    EXPECT_EQ(settings_edit_buffer.parity, 2);
    EXPECT_EQ(settings_edit_buffer.confirm_signals, SIGNAL_CD);
}

TEST_F(PortSetupDialog, TextsFromTheFileWithoutTerminatorAreReadWithinTheirFields) {
    PortSettings stored = make_port("COM1");
    std::memset(stored.port_name, 'N', sizeof stored.port_name);
    std::memset(stored.connect_message, 'c', sizeof stored.connect_message);
    std::memset(stored.disconnect_keyword, 'k', sizeof stored.disconnect_keyword);
    settings_edit_buffer = stored;
    run(false, [](UiWindow *dialog) {
        EXPECT_EQ(shown(dialog, ID_PORT_NAME), -1);
        EXPECT_EQ(text(dialog, ID_PORT_CONNECT_MESSAGE), std::string(256, 'c'));
        EXPECT_EQ(text(dialog, ID_PORT_DISCONNECT_KEYWORD), std::string(256, 'k'));
        scripted_click(dialog, ID_PORT_OK);
    });
    EXPECT_EQ(std::memcmp(settings_edit_buffer.port_name, stored.port_name, 16), 0);
    EXPECT_EQ(std::string(settings_edit_buffer.connect_message), std::string(255, 'c'));
}

TEST_F(PortSetupDialog, CancelLeavesTheBufferToThePermissionDialogsChangesAlone) {
    PortSettings stored = make_port("COM3");
    stored.permission_rules[0] = host_rule("example.com", true);
    settings_edit_buffer = stored;
    scripted.play_dialog[RES_PERMISSION_DIALOG] = [](UiWindow *permissions) {
        scripted_type(permissions, ID_PERM_ENTRY, "all");
        scripted_choose_combo(permissions, ID_PERM_CHOICE, 1);
        scripted_click(permissions, ID_PERM_ADD);
        scripted_click(permissions, ID_PERM_CLOSE);
    };
    for (bool escape : {false, true}) {
        EXPECT_EQ(run(false,
                      [escape](UiWindow *dialog) {
                          scripted_choose_combo(dialog, ID_PORT_BAUD_RATE, 10);
                          scripted_type(dialog, ID_PORT_CONNECT_MESSAGE, "changed");
                          scripted_check(dialog, ID_PORT_MODEM_EMULATION, true);
                          scripted_click(dialog, ID_PORT_PERMISSIONS);
                          if (escape) {
                              scripted_escape(dialog);
                          } else {
                              scripted_click(dialog, ID_PORT_CANCEL);
                          }
                      }),
                  0);
    }
    // The controls never reached the buffer; the permission dialog wrote into it directly, and
    // the port list dialog drops the buffer after a cancel.
    PortSettings expected = stored;
    std::memcpy(expected.permission_rules, settings_edit_buffer.permission_rules,
                sizeof expected.permission_rules);
    EXPECT_TRUE(same(settings_edit_buffer, expected));
    EXPECT_EQ(settings_edit_buffer.permission_rules[1].in_use, 1);
    EXPECT_EQ(settings_edit_buffer.permission_rules[2].in_use, 1);
    EXPECT_EQ(settings_edit_buffer.permission_rules[2].permit, 0);
}

TEST_F(PortSetupDialog, OnlyItsOneCommandCodeIsHandled) {
    settings_edit_buffer = make_port("COM1");
    EXPECT_EQ(run(false,
                  [](UiWindow *dialog) {
                      EXPECT_EQ(ui_send_command(dialog, 1, 1, 0), 0);
                      EXPECT_FALSE(scripted_window(dialog)->ended);
                      EXPECT_EQ(ui_send_command(dialog, PORTSETUP_END, 1, 0), 1);
                  }),
              1);
}

}  // namespace
