// The options dialog with the scripted ui host: the live options shown and stored, the notice of a
// changed telnet port before the file is written, a failed save, cancel, and a running gateway
// that serves its next caller with what was set while it keeps listening on its port.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dialogs/dialogs.h"
#include "platform/file.h"
#include "resources/resource_ids.h"
#include "settings/port_list.h"
#include "settings/settings_file.h"
#include "sim/scripted_ui.h"
#include "support/gateway_fixture.h"
#include "support/settings_fixtures.h"
#include "support/test_dir.h"

namespace {

GlobalOptions live_options() {
    GlobalOptions options;
    options_get(&options);
    return options;
}

bool same(const GlobalOptions &a, const GlobalOptions &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Runs the dialog as the main window does, with `play` as the user inside. Its result.
std::int32_t run_options(std::function<void(UiWindow *)> play) {
    scripted.play_dialog[RES_OPTION_DIALOG] = std::move(play);
    return ui_run_dialog(nullptr, RES_OPTION_DIALOG, option_dialog_procedure);
}

std::string text(UiWindow *dialog, std::int32_t id) { return scripted_control(dialog, id)->text; }

class OptionDialog : public ::testing::Test {
protected:
    void SetUp() override {
        scripted_ui_install();
        ASSERT_TRUE(load_settings("NORVEX.DAT", nullptr));
        PortSettings port = make_port("COM1");
        ASSERT_TRUE(port_list_add(&port));
        ASSERT_TRUE(save_settings("NORVEX.DAT"));
    }
    void TearDown() override {
        file_fail_call(0);
        port_list_clear();
        scripted_ui_uninstall();
    }

    // What save_settings writes for the settings in memory now.
    static std::vector<std::uint8_t> saved_now() {
        EXPECT_TRUE(save_settings("expected.DAT"));
        return read_whole_file("expected.DAT");
    }

    ScopedTestDir dir;
};

TEST_F(OptionDialog, ShowsTheLiveOptions) {
    GlobalOptions options = live_options();
    options.telnet_port = 2323;
    options.resolve_host_names = 7;
    options.access_log_enabled = 0;
    text_set(options.greeting_message, "Hello\r\nthere\r\n");
    text_set(options.access_log_file_name, "logs\\calls.log");
    // Texts from the file without a terminator are read within their fields.
    std::memset(options.busy_message, 'b', sizeof options.busy_message);
    std::memset(options.access_log_file_name, 'f', sizeof options.access_log_file_name);
    options_set(&options);
    run_options([](UiWindow *dialog) {
        EXPECT_EQ(text(dialog, ID_OPT_TELNET_PORT), "2323");
        EXPECT_TRUE(scripted_control(dialog, ID_OPT_RESOLVE_NAMES)->checked);
        EXPECT_FALSE(scripted_control(dialog, ID_OPT_LOG_ENABLED)->checked);
        EXPECT_EQ(text(dialog, ID_OPT_BUSY_MESSAGE), std::string(256, 'b'));
        EXPECT_EQ(text(dialog, ID_OPT_PORT_ERROR_MESSAGE), "*** COM PORT ERROR\r\n");
        EXPECT_EQ(text(dialog, ID_OPT_CONNECT_ERROR_MESSAGE), "*** CONNECT ERROR\r\n");
        EXPECT_EQ(text(dialog, ID_OPT_GREETING_MESSAGE), "Hello\r\nthere\r\n");
        EXPECT_EQ(text(dialog, ID_OPT_LOG_FILE_NAME), std::string(244, 'f'));
        scripted_escape(dialog);
    });
    EXPECT_TRUE(same(live_options(), options));
}

TEST_F(OptionDialog, AnUnchangedOkWritesTheFileAgainWithoutANotice) {
    GlobalOptions before = live_options();
    std::vector<std::uint8_t> file = read_whole_file("NORVEX.DAT");
    std::filesystem::remove("NORVEX.DAT");
    EXPECT_EQ(run_options([](UiWindow *dialog) { scripted_click(dialog, ID_OPT_OK); }), 0);
    EXPECT_TRUE(scripted.boxes.empty());
    EXPECT_TRUE(same(live_options(), before));
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), file);
}

TEST_F(OptionDialog, CancelAfterEditingChangesNothing) {
    GlobalOptions before = live_options();
    std::vector<std::uint8_t> file = read_whole_file("NORVEX.DAT");
    for (bool escape : {false, true}) {
        EXPECT_EQ(run_options([escape](UiWindow *dialog) {
                      scripted_type(dialog, ID_OPT_TELNET_PORT, "2323");
                      scripted_type(dialog, ID_OPT_GREETING_MESSAGE, "changed");
                      scripted_check(dialog, ID_OPT_LOG_ENABLED, true);
                      if (escape) {
                          scripted_escape(dialog);
                      } else {
                          scripted_click(dialog, ID_OPT_CANCEL);
                      }
                  }),
                  0);
    }
    EXPECT_TRUE(scripted.boxes.empty());
    EXPECT_TRUE(same(live_options(), before));
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), file);
}

TEST_F(OptionDialog, EveryFieldIsStoredAndAChangedPortIsNoticedBeforeTheFileIsWritten) {
    GlobalOptions before = live_options();
    before.reserved_1[5] = 0x42;  // reserved bytes pass through untouched
    before.resolve_host_names = 9;
    options_set(&before);
    std::vector<std::uint8_t> old_file = read_whole_file("NORVEX.DAT");

    // At the notice the options are in effect already, and the file is not written yet.
    std::int32_t port_at_notice = 0;
    bool file_old_at_notice = false;
    scripted.answer_box = [&](const ScriptedBox &) {
        port_at_notice = live_options().telnet_port;
        file_old_at_notice = read_whole_file("NORVEX.DAT") == old_file;
        return UI_ANSWER_OK;
    };
    UiWindow *shown = nullptr;
    const std::string long_text(300, 'm');
    run_options([&](UiWindow *dialog) {
        shown = dialog;
        scripted_type(dialog, ID_OPT_TELNET_PORT, "2323");
        scripted_check(dialog, ID_OPT_RESOLVE_NAMES, false);
        scripted_check(dialog, ID_OPT_LOG_ENABLED, true);
        scripted_type(dialog, ID_OPT_BUSY_MESSAGE, "all busy\r\n");
        scripted_type(dialog, ID_OPT_PORT_ERROR_MESSAGE, long_text);
        scripted_type(dialog, ID_OPT_CONNECT_ERROR_MESSAGE, "");
        scripted_type(dialog, ID_OPT_GREETING_MESSAGE, "Hello\r\nthere\r\n");
        scripted_type(dialog, ID_OPT_LOG_FILE_NAME, long_text);
        scripted_click(dialog, ID_OPT_OK);
    });
    ASSERT_EQ(scripted.boxes.size(), 1u);
    EXPECT_EQ(scripted.boxes[0].text, scripted_string(STR_TELNET_PORT_NEXT_START));
    EXPECT_EQ(scripted.boxes[0].style, UI_BOX_OK);
    EXPECT_EQ(scripted.boxes[0].owner, shown);
    EXPECT_EQ(port_at_notice, 2323);
    EXPECT_TRUE(file_old_at_notice);

    GlobalOptions expected = before;
    expected.telnet_port = 2323;
    expected.resolve_host_names = 0;
    expected.access_log_enabled = 1;
    text_set(expected.busy_message, "all busy\r\n");
    text_set(expected.port_error_message, long_text.substr(0, 255).c_str());
    text_set(expected.connect_error_message, "");
    text_set(expected.greeting_message, "Hello\r\nthere\r\n");
    text_set(expected.access_log_file_name, long_text.substr(0, 243).c_str());
    EXPECT_TRUE(same(live_options(), expected));
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), saved_now());
    EXPECT_EQ(read_whole_file("NORVEX.DAT")[1536], 2323 % 256);
}

TEST_F(OptionDialog, ThePortFieldIsReadByItsLeadingDigits) {
    struct Case {
        const char *typed;
        std::int32_t port;
    };
    const Case cases[] = {{"23", 23}, {"0023", 23}, {"2323x", 2323}, {"", 0}, {"x23", 0},
                          {"99999999999", 2147483647}, {"23", 23}};
    scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_OK; };
    for (const Case &c : cases) {
        std::int32_t old_port = live_options().telnet_port;
        std::size_t boxes = scripted.boxes.size();
        run_options([&c](UiWindow *dialog) {
            scripted_type(dialog, ID_OPT_TELNET_PORT, c.typed);
            scripted_click(dialog, ID_OPT_OK);
        });
        EXPECT_EQ(live_options().telnet_port, c.port) << c.typed;
        // A notice exactly when the number differs from the port before.
        EXPECT_EQ(scripted.boxes.size() - boxes, c.port != old_port ? 1u : 0u) << c.typed;
    }
}

TEST_F(OptionDialog, AFailedSaveIsReportedAfterTheNoticeAndTheDialogStillEnds) {
    std::vector<std::uint8_t> old_file = read_whole_file("NORVEX.DAT");
    scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_OK; };
    UiWindow *shown = nullptr;
    EXPECT_EQ(run_options([&shown](UiWindow *dialog) {
                  shown = dialog;
                  scripted_type(dialog, ID_OPT_TELNET_PORT, "2424");
                  scripted_type(dialog, ID_OPT_GREETING_MESSAGE, "new greeting");
                  file_fail_call(1);
                  scripted_click(dialog, ID_OPT_OK);
              }),
              0);
    EXPECT_EQ(scripted_box_texts(),
              (std::vector<std::string>{scripted_string(STR_TELNET_PORT_NEXT_START),
                                        scripted_string(STR_DATA_WRITE_FAILED)}));
    EXPECT_EQ(scripted.boxes[1].style, UI_BOX_OK_EXCLAMATION);
    EXPECT_EQ(scripted.boxes[1].owner, shown);
    // The running program keeps the new values; the file keeps the old.
    EXPECT_EQ(live_options().telnet_port, 2424);
    EXPECT_STREQ(live_options().greeting_message, "new greeting");
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), old_file);
}

// ---- With a running gateway

class OptionDialogLive : public GatewayTest {
protected:
    void SetUp() override {
        GatewayTest::SetUp();
        scripted_ui_install();
    }
    void TearDown() override {
        scripted_ui_uninstall();
        GatewayTest::TearDown();
    }
};

std::vector<std::string> lines_of(const std::string &name) {
    std::vector<std::uint8_t> bytes = read_whole_file(name);
    std::string all(bytes.begin(), bytes.end());
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = all.find("\r\n", at)) != std::string::npos; at = end + 2) {
        lines.push_back(all.substr(at, end - at));
    }
    return lines;
}

TEST_F(OptionDialogLive, TheNextCallerGetsWhatWasSetOnThePortStillListenedOn) {
    start_server();
    ASSERT_NE(live_options().telnet_port, 2323);
    scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_OK; };
    run_options([](UiWindow *dialog) {
        scripted_type(dialog, ID_OPT_TELNET_PORT, "2323");
        scripted_type(dialog, ID_OPT_GREETING_MESSAGE, "Welcome\r\nto NORVEX\r\n");
        scripted_type(dialog, ID_OPT_BUSY_MESSAGE, "*** ALL LINES BUSY\r\n");
        scripted_type(dialog, ID_OPT_LOG_FILE_NAME, "calls.log");
        scripted_click(dialog, ID_OPT_OK);
    });
    EXPECT_EQ(scripted_box_texts(),
              std::vector<std::string>{scripted_string(STR_TELNET_PORT_NEXT_START)});

    {
        // No port is configured: greeted, told busy, logged under the new name.
        TestCaller caller(port);
        EXPECT_TRUE(caller.read_until("Welcome\r\nto NORVEX\r\n*** ALL LINES BUSY\r\n"));
        EXPECT_TRUE(caller.read_until_closed());
    }
    EXPECT_TRUE(wait_until([] { return lines_of("calls.log").size() == 1; }, 15000));
    EXPECT_FALSE(file_exists("access.log"));

    // The log switched off: the next call leaves no line.
    run_options([](UiWindow *dialog) {
        scripted_check(dialog, ID_OPT_LOG_ENABLED, false);
        scripted_click(dialog, ID_OPT_OK);
    });
    {
        TestCaller caller(port);
        EXPECT_TRUE(caller.read_until("*** ALL LINES BUSY\r\n"));
        EXPECT_TRUE(caller.read_until_closed());
    }
    EXPECT_TRUE(stop_server());  // every connection has ended: its log line would be there
    EXPECT_EQ(lines_of("calls.log").size(), 1u);
    EXPECT_EQ(scripted.boxes.size(), 1u);  // the port was already 2323: no second notice
}

}  // namespace
