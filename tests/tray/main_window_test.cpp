// The main window and the program's start-up and shutdown, headless: the scripted ui host plays
// the operator, a real server runs on a loopback port, ports are simulated devices.
#include "tray/main_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "gateway/listener.h"
#include "gateway/server_state.h"
#include "platform/faults.h"
#include "platform/file.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "resources/resource_ids.h"
#include "settings/port_list.h"
#include "settings/settings_file.h"
#include "sim/scripted_ui.h"
#include "sim/sim_serial.h"
#include "support/gateway_fixture.h"
#include "support/settings_fixtures.h"
#include "support/test_dir.h"
#include "tray/program.h"

namespace {

constexpr std::uint32_t PC1_ADDRESS = 0xC0000207u;  // 192.0.2.7

// A loopback port that was free a moment ago.
std::uint16_t free_port() {
    NetSocket probe = net_listen(NET_LOOPBACK_ADDRESS, 0, 1);
    std::uint16_t port = 0;
    EXPECT_EQ(net_local_port(probe, &port), 0);
    net_close(&probe);
    return port;
}

// Writes NORVEX.DAT with this telnet port and these ports (simulated devices of the same names).
void write_settings(std::uint16_t telnet_port, const std::vector<std::string> &ports) {
    ASSERT_TRUE(load_settings(SETTINGS_FILE_NAME, nullptr));
    GlobalOptions options;
    options_get(&options);
    options.telnet_port = telnet_port;
    options_set(&options);
    for (const std::string &name : ports) {
        PortSettings settings = make_port(name.c_str());
        settings.flow_control = 0;
        ASSERT_TRUE(port_list_add(&settings));
    }
    ASSERT_TRUE(save_settings(SETTINGS_FILE_NAME));
    port_list_clear();
}

std::string string_of(std::int32_t id) { return scripted_string(id); }

// A thread that holds the port list's lock until told to let go: a connection thread that comes
// to allocate a port then cannot end, and the server cannot stop in time.
struct LockHolder {
    std::atomic<std::int32_t> taken{0};
    std::atomic<std::int32_t> release{0};
    Thread *thread = nullptr;

    static std::uint32_t run(void *argument) {
        LockHolder *self = static_cast<LockHolder *>(argument);
        list_lock();
        self->taken.store(1);
        while (self->release.load() == 0) clock_sleep_ms(5);
        list_unlock();
        return 0;
    }
};

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(net_start(), 0);
        telnet_port = free_port();
        scripted_ui_install();
        tray_menu_enabled = 1;
        line_menu_row = -1;
    }

    void TearDown() override {
        if (window != nullptr && !scripted_window(window)->destroyed) ui_destroy_window(window);
        for (SimSerial *device : devices) sim_serial_destroy(device);
        scripted_ui_uninstall();
        net_stop();
    }

    // Makes the main window over a NORVEX.DAT with these ports, as start-up does, and lets it
    // make its columns.
    void open(const std::vector<std::string> &ports) {
        for (const std::string &name : ports) devices.push_back(sim_serial_create(name.c_str()));
        write_settings(telnet_port, ports);
        ASSERT_NE(ui_register_main_window_class(main_window_procedure), 0);
        window = ui_create_main_window();
        ASSERT_NE(window, nullptr);
        scripted_pump();
    }

    // The status list's cells of a row: port and caller.
    std::string port_cell(std::int32_t row) {
        return scripted_cell(window, ID_MAIN_STATUS_LIST, row, 0);
    }
    std::string caller_cell(std::int32_t row) {
        return scripted_cell(window, ID_MAIN_STATUS_LIST, row, 1);
    }
    std::int32_t rows() { return ui_view_row_count(window, ID_MAIN_STATUS_LIST); }

    void right_click_row(std::int32_t row) {
        std::int32_t x = 0, y = 0;
        scripted_row_point(row, &x, &y);
        scripted_right_click_view(window, ID_MAIN_STATUS_LIST, x, y);
    }

    ScopedTestDir dir;
    std::uint16_t telnet_port = 0;
    UiWindow *window = nullptr;
    std::vector<SimSerial *> devices;
};

TEST_F(MainWindowTest, CreationLoadsStartsAddsTheTrayIconAndMakesTheColumns) {
    open({"SIM1"});
    ASSERT_EQ(scripted.tray_icons.size(), 1u);
    EXPECT_EQ(scripted.tray_icons[0].id, ID_TRAY_ICON);
    EXPECT_EQ(scripted.tray_icons[0].tip, "NORVEX");
    EXPECT_NE(server_handle, nullptr);
    EXPECT_EQ(port_list.notify_window, window);

    // The columns come from the posted command once creation has finished: 3/10 and the rest.
    const ScriptedControl *list = scripted_control(window, ID_MAIN_STATUS_LIST);
    ASSERT_EQ(list->columns.size(), 2u);
    std::int32_t width = ui_view_client_width(window, ID_MAIN_STATUS_LIST);
    EXPECT_EQ(list->columns[0].width, width * 3 / 10);
    EXPECT_EQ(list->columns[1].width, width - width * 3 / 10);
    EXPECT_EQ(list->columns[0].title, string_of(STR_STATUS_COLUMN_PORT));
    EXPECT_EQ(list->columns[1].title, string_of(STR_STATUS_COLUMN_ADDRESS));
    // The rows come with the first refresh, not with creation.
    EXPECT_EQ(rows(), 0);

    TestCaller caller(telnet_port);
    EXPECT_TRUE(caller.read_until("*** CONNECT NORVEX\r\n"));
}

TEST_F(MainWindowTest, CommandsOfButtonsMenuItemsAndTheTray) {
    open({"SIM1"});
    scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_NO; };
    scripted.play_dialog["SETUP"] = [](UiWindow *dialog) { scripted_click(dialog, ID_OK); };
    scripted.play_dialog["OPTION"] = [](UiWindow *dialog) { scripted_escape(dialog); };
    scripted.play_dialog["VERSIONDLG"] = [](UiWindow *dialog) { scripted_escape(dialog); };

    scripted_click(window, ID_MAIN_SHOW);  // the tray menu's "show status"
    EXPECT_TRUE(scripted_window(window)->visible);
    EXPECT_TRUE(scripted.foreground_set);
    EXPECT_EQ(rows(), 1);  // showing refreshes
    scripted_click(window, ID_MAIN_HIDE);
    EXPECT_FALSE(scripted_window(window)->visible);

    scripted_tray(window, UI_MOUSE_LEFT_DOUBLE_CLICK);
    EXPECT_TRUE(scripted_window(window)->visible);
    scripted_tray(window, UI_MOUSE_LEFT_DOWN);
    scripted_tray(window, UI_MOUSE_RIGHT_UP);
    EXPECT_TRUE(scripted.menus.empty());
    scripted_tray(window, UI_MOUSE_RIGHT_DOWN);
    ASSERT_EQ(scripted.menus.size(), 1u);
    EXPECT_EQ(scripted.menus[0].name, "TRAYMENU");

    // Closing the port list rebuilds the status list; the other dialogs leave it.
    scripted_click(window, ID_MAIN_LINE_SETUP);
    scripted_click(window, ID_MAIN_OPTIONS);
    scripted_click(window, ID_MAIN_ABOUT);
    EXPECT_EQ(scripted.dialogs_run, (std::vector<std::string>{"SETUP", "OPTION", "VERSIONDLG"}));
    EXPECT_EQ(scripted.timeline.back(), "dialog end VERSIONDLG");

    scripted_click(window, ID_MAIN_EXIT);  // asks, answered No
    EXPECT_EQ(scripted_box_texts(), (std::vector<std::string>{string_of(STR_EXIT_QUESTION)}));
    EXPECT_EQ(scripted.boxes[0].style, UI_BOX_YES_NO);
    EXPECT_EQ(scripted.boxes[0].caption, "NORVEX");
    EXPECT_FALSE(scripted_window(window)->destroyed);

    // Ids and codes that mean nothing do nothing.
    std::size_t boxes = scripted.boxes.size();
    scripted_click(window, 999);
    EXPECT_EQ(ui_send_command(window, 10, 0, 0), 0);
    EXPECT_EQ(ui_send_command(window, -1, 0, 0), 0);
    EXPECT_EQ(scripted.boxes.size(), boxes);
    EXPECT_EQ(scripted.dialogs_run.size(), 3u);
}

TEST_F(MainWindowTest, CommandCodesAreTheWindowsOwn) {
    open({"SIM1"});
    scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_NO; };
    scripted.play_dialog["SETUP"] = [](UiWindow *dialog) { scripted_escape(dialog); };
    scripted.play_dialog["OPTION"] = [](UiWindow *dialog) { scripted_escape(dialog); };
    scripted.play_dialog["VERSIONDLG"] = [](UiWindow *dialog) { scripted_escape(dialog); };

    EXPECT_EQ(ui_send_command(window, CMD_SHOW, 0, 0), 1);
    EXPECT_TRUE(scripted_window(window)->visible);
    EXPECT_EQ(ui_send_command(window, CMD_HIDE, 0, 0), 1);
    EXPECT_FALSE(scripted_window(window)->visible);
    EXPECT_EQ(ui_send_command(window, CMD_TRAY_MENU, 0, 0), 1);
    EXPECT_EQ(scripted.menus.size(), 1u);
    EXPECT_EQ(ui_send_command(window, CMD_LINE_SETUP, 0, 0), 1);
    EXPECT_EQ(ui_send_command(window, CMD_OPTIONS, 0, 0), 1);
    EXPECT_EQ(ui_send_command(window, CMD_ABOUT, 0, 0), 1);
    EXPECT_EQ(scripted.dialogs_run, (std::vector<std::string>{"SETUP", "OPTION", "VERSIONDLG"}));
    EXPECT_EQ(ui_send_command(window, CMD_REFRESH_STATUS, 0, 0), 1);
    EXPECT_EQ(rows(), 1);
    EXPECT_EQ(ui_send_command(window, CMD_EXIT, 0, 0), 1);
    EXPECT_EQ(scripted_box_texts().back(), string_of(STR_EXIT_QUESTION));
    EXPECT_EQ(ui_send_command(window, CMD_INIT_COLUMNS, 0, 0), 1);  // once more: two more columns
    EXPECT_EQ(scripted_control(window, ID_MAIN_STATUS_LIST)->columns.size(), 4u);
}

TEST_F(MainWindowTest, StatusListShowsEveryPortAndItsCaller) {
    open({"SIM1", "SIM2", "SIM3"});
    scripted_activate(window, true);
    ASSERT_EQ(rows(), 3);
    EXPECT_EQ(port_cell(0), "SIM1");
    EXPECT_EQ(port_cell(2), "SIM3");
    EXPECT_EQ(caller_cell(0), "");

    char host[64] = "pc1";
    PortRecord *first = port_allocate(host, PC1_ADDRESS);
    char none[64] = "";
    PortRecord *second = port_allocate(none, PC1_ADDRESS);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    // The allocations posted their notices; the window rebuilds when it handles them.
    EXPECT_GE(scripted_pump(), 2);
    EXPECT_EQ(caller_cell(0), "pc1(192.0.2.7)");
    EXPECT_EQ(caller_cell(1), "192.0.2.7");
    EXPECT_EQ(caller_cell(2), "");

    port_release(first);
    scripted_pump();
    EXPECT_EQ(caller_cell(0), "");
    EXPECT_EQ(caller_cell(1), "192.0.2.7");
    port_release(second);
    scripted_activate(window, false);  // deactivation rebuilds too
    EXPECT_EQ(caller_cell(1), "");
    scripted_pump();
}

TEST_F(MainWindowTest, EmptyListHasNoRowsAndNoLineMenu) {
    open({});
    scripted_activate(window, true);
    EXPECT_EQ(rows(), 0);
    right_click_row(0);
    EXPECT_TRUE(scripted.menus.empty());
    EXPECT_EQ(line_menu_row, -1);
}

TEST_F(MainWindowTest, LineMenuAndForcedDisconnect) {
    open({"SIM1", "SIM2"});
    scripted_activate(window, true);
    std::vector<std::string> questions;
    std::int32_t answer = UI_ANSWER_NO;
    scripted.answer_box = [&](const ScriptedBox &box) {
        questions.push_back(box.text);
        EXPECT_EQ(box.style, UI_BOX_YES_NO);
        return answer;
    };
    scripted.choose_menu = [](const ScriptedMenu &menu) {
        return menu.name == "LINEMENU" ? ID_MAIN_FORCE_DISCONNECT : 0;
    };

    // An idle port: the menu opens on its row, but there is no question.
    right_click_row(1);
    ASSERT_EQ(scripted.menus.size(), 1u);
    EXPECT_EQ(scripted.menus[0].x, scripted.cursor_x);
    EXPECT_EQ(scripted.menus[0].y, scripted.cursor_y);
    EXPECT_EQ(line_menu_row, 1);
    scripted_pump();
    EXPECT_TRUE(questions.empty());

    // Away from any row: no menu, the row stays.
    scripted_right_click_view(window, ID_MAIN_STATUS_LIST, scripted.view_left + 10,
                              scripted.view_top + 2);
    EXPECT_EQ(scripted.menus.size(), 1u);
    EXPECT_EQ(line_menu_row, 1);

    char host[64] = "";
    PortRecord *first = port_allocate(host, PC1_ADDRESS);
    PortRecord *second = port_allocate(host, PC1_ADDRESS);
    ASSERT_EQ(first, port_list_at(0));
    ASSERT_EQ(second, port_list_at(1));
    scripted_pump();

    // Answered No: nothing changes.
    right_click_row(1);
    scripted_pump();
    EXPECT_EQ(questions, (std::vector<std::string>{"SIM2 を強制切断しますか？"}));
    EXPECT_EQ(second->disconnect_request.load(), 0);

    // Answered Yes: the port's call is asked to end.
    answer = UI_ANSWER_YES;
    right_click_row(1);
    scripted_pump();
    EXPECT_EQ(second->disconnect_request.load(), 1);
    EXPECT_EQ(first->disconnect_request.load(), 0);

    // Yes after the call ended by itself: the flag lands on an idle port, and the next
    // allocation clears it, so the next call is not cut.
    scripted.answer_box = [&](const ScriptedBox &box) {
        questions.push_back(box.text);
        port_release(first);
        return UI_ANSWER_YES;
    };
    right_click_row(0);
    scripted_pump();
    std::int32_t asked = static_cast<std::int32_t>(questions.size());
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(first->busy.load(), 0);
    EXPECT_EQ(first->disconnect_request.load(), 1);
    PortRecord *again = port_allocate(host, PC1_ADDRESS);
    ASSERT_EQ(again, first);
    EXPECT_EQ(again->disconnect_request.load(), 0);
    port_release(again);
    port_release(second);

    // A row beyond the end of the list (it shrank after the click) does nothing.
    ui_send_command(window, CMD_FORCE_DISCONNECT, 0, 5);
    EXPECT_EQ(static_cast<std::int32_t>(questions.size()), asked);
    scripted_pump();
}

TEST_F(MainWindowTest, MissingMenuOrStringShowsNothing) {
    open({"SIM1"});
    scripted_activate(window, true);
    char host[64] = "";
    PortRecord *port = port_allocate(host, PC1_ADDRESS);
    scripted_pump();
    scripted.missing_menus = {"LINEMENU", "TRAYMENU"};
    right_click_row(0);
    scripted_tray(window, UI_MOUSE_RIGHT_DOWN);
    EXPECT_TRUE(scripted.menus.empty());
    EXPECT_EQ(line_menu_row, 0);  // the row was hit all the same

    scripted.missing_strings = {STR_FORCE_DISCONNECT_QUESTION};
    ui_send_command(window, CMD_FORCE_DISCONNECT, 0, 0);
    EXPECT_TRUE(scripted.boxes.empty());
    EXPECT_EQ(port->disconnect_request.load(), 0);
    port_release(port);
    scripted_pump();
}

TEST_F(MainWindowTest, TrayMenuIsRefusedWhileADialogRuns) {
    open({"SIM1"});
    scripted.play_dialog["OPTION"] = [this](UiWindow *dialog) {
        scripted_tray(window, UI_MOUSE_RIGHT_DOWN);
        EXPECT_TRUE(scripted.menus.empty());
        EXPECT_EQ(tray_menu_enabled, 0);
        // A double click still shows the (disabled) main window.
        scripted_tray(window, UI_MOUSE_LEFT_DOUBLE_CLICK);
        EXPECT_TRUE(scripted_window(window)->visible);
        scripted_escape(dialog);
    };
    scripted_click(window, ID_MAIN_OPTIONS);
    EXPECT_EQ(tray_menu_enabled, 1);
    scripted_tray(window, UI_MOUSE_RIGHT_DOWN);
    ASSERT_EQ(scripted.menus.size(), 1u);
    EXPECT_EQ(scripted.menus[0].name, "TRAYMENU");
}

TEST_F(MainWindowTest, ExitRemovesTheTrayIconBeforeTheServerStops) {
    open({"SIM1"});
    TestCaller caller(telnet_port);
    ASSERT_TRUE(caller.read_until("*** CONNECT NORVEX\r\n"));
    bool server_ran_at_removal = false;
    scripted.on_tray_change = [&] {
        server_ran_at_removal = scripted.tray_icons.empty() && server_handle != nullptr &&
                                server_stop.load() == 0;
    };
    scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_YES; };
    scripted_click(window, ID_MAIN_EXIT);

    EXPECT_TRUE(server_ran_at_removal);
    EXPECT_TRUE(scripted_window(window)->destroyed);
    EXPECT_TRUE(scripted.quit);
    EXPECT_EQ(scripted.quit_code, 0);
    EXPECT_EQ(server_handle, nullptr);
    EXPECT_EQ(port_list.port_count, 0);
    EXPECT_EQ(scripted_box_texts(), (std::vector<std::string>{string_of(STR_EXIT_QUESTION)}));
    EXPECT_TRUE(caller.read_until_closed());
    // Nothing is saved at shutdown: the file is what was written before.
    EXPECT_EQ(read_whole_file(SETTINGS_FILE_NAME).size(), sizeof(GlobalOptions) + sizeof(PortSettings));
}

TEST_F(MainWindowTest, ForcedStopIsToldAfterTheTrayIconWentAndBeforeThePortsGo) {
    open({});
    LockHolder holder;
    holder.thread = thread_start(LockHolder::run, &holder, 0);
    ASSERT_NE(holder.thread, nullptr);
    while (holder.taken.load() == 0) clock_sleep_ms(1);
    // A caller whose connection thread comes to allocate a port, and waits for the lock.
    TestCaller caller(telnet_port);
    ASSERT_TRUE(caller.read_until("*** CONNECT NORVEX\r\n"));

    bool tray_gone_when_told = false;
    scripted.answer_box = [&](const ScriptedBox &box) {
        if (box.text == string_of(STR_EXIT_QUESTION)) return UI_ANSWER_YES;
        EXPECT_EQ(box.text, string_of(STR_SERVER_FORCED_STOP));
        EXPECT_EQ(box.style, UI_BOX_OK_EXCLAMATION);
        EXPECT_EQ(box.owner, window);
        tray_gone_when_told = scripted.tray_icons.empty() && !scripted.quit;
        holder.release.store(1);
        return UI_ANSWER_OK;
    };
    scripted_click(window, ID_MAIN_EXIT);
    EXPECT_TRUE(tray_gone_when_told);
    EXPECT_EQ(scripted.boxes.size(), 2u);
    EXPECT_EQ(scripted.timeline.back(), "quit");
    (void)thread_join(holder.thread, WAIT_FOREVER_MS);
    thread_close(holder.thread);
    // The abandoned caller is told it cannot be served once the lock is free, then let go.
    EXPECT_TRUE(caller.read_until_closed());
    // The next start takes back the listener that the stop gave up, once it has ended.
    std::int32_t listening = 0;
    Thread *next = gateway_start(free_port(), &listening);
    EXPECT_EQ(listening, 1);
    EXPECT_TRUE(gateway_stop(next));
}

// ---- The program's start-up sequence

class ProgramTest : public MainWindowTest {};

TEST_F(ProgramTest, UnconfiguredStartShowsTheWindowAndExitAsksFirst) {
    // No port configured (the defaults would ask for port 23, which a test may not take).
    write_settings(telnet_port, {});
    scripted.loop_steps.push_back([] {
        EXPECT_TRUE(scripted_window(scripted.main_window)->visible);  // no port: shown
        EXPECT_EQ(scripted.tray_icons.size(), 1u);
        scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_NO; };
        scripted_tray(scripted.main_window, UI_MOUSE_RIGHT_DOWN);
    });
    scripted.choose_menu = [](const ScriptedMenu &) { return ID_MAIN_EXIT; };
    scripted.loop_steps.push_back([] {
        // Answered No: still running.
        EXPECT_FALSE(scripted_window(scripted.main_window)->destroyed);
        scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_YES; };
        scripted_click(scripted.main_window, ID_MAIN_EXIT);
    });
    EXPECT_EQ(program_main(), 0);
    EXPECT_EQ(scripted_box_texts(), (std::vector<std::string>{string_of(STR_EXIT_QUESTION),
                                                              string_of(STR_EXIT_QUESTION)}));
    EXPECT_TRUE(scripted.tray_icons.empty());
    EXPECT_EQ(server_handle, nullptr);
}

TEST_F(ProgramTest, ConfiguredStartStaysHiddenInTheTray) {
    devices.push_back(sim_serial_create("SIM1"));
    write_settings(telnet_port, {"SIM1"});
    scripted.loop_steps.push_back([] {
        EXPECT_FALSE(scripted_window(scripted.main_window)->visible);
        ASSERT_EQ(scripted.tray_icons.size(), 1u);
        EXPECT_EQ(scripted.tray_icons[0].tip, "NORVEX");
        scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_YES; };
        ui_close_request(scripted.main_window);
    });
    EXPECT_EQ(program_main(), 0);
}

TEST_F(ProgramTest, SecondInstanceTouchesNothing) {
    scripted.other_instance_running = true;
    EXPECT_EQ(program_main(), 0);
    EXPECT_FALSE(file_exists(SETTINGS_FILE_NAME));
    EXPECT_TRUE(scripted.boxes.empty());
    EXPECT_EQ(scripted.main_window, nullptr);
}

TEST_F(ProgramTest, StartUpFailuresAreToldInTheirOrder) {
    scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_OK; };

    // The class cannot be registered: 1011, without owner, and nothing else.
    scripted.class_registers = false;
    EXPECT_EQ(program_main(), 0);
    EXPECT_EQ(scripted_box_texts(), (std::vector<std::string>{string_of(STR_CLASS_REGISTER_FAILED)}));
    EXPECT_EQ(scripted.boxes[0].owner, nullptr);
    EXPECT_EQ(scripted.boxes[0].style, UI_BOX_OK_EXCLAMATION);
    EXPECT_FALSE(file_exists(SETTINGS_FILE_NAME));

    // The platform makes no window: 1012 only.
    scripted_ui_install();
    scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_OK; };
    scripted.window_can_be_made = false;
    EXPECT_EQ(program_main(), 0);
    EXPECT_EQ(scripted_box_texts(), (std::vector<std::string>{string_of(STR_WINDOW_CREATE_FAILED)}));

    // The settings file cannot be read: 1002 owned by the window, then 1012 without owner; no
    // server, no tray icon, the window destroyed.
    scripted_ui_install();
    scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_OK; };
    file_fail_call(1);
    EXPECT_EQ(program_main(), 0);
    file_fail_call(0);
    EXPECT_EQ(scripted_box_texts(), (std::vector<std::string>{string_of(STR_SETTINGS_READ_FAILED),
                                                              string_of(STR_WINDOW_CREATE_FAILED)}));
    EXPECT_NE(scripted.boxes[0].owner, nullptr);
    EXPECT_EQ(scripted.boxes[1].owner, nullptr);
    EXPECT_TRUE(scripted.tray_icons.empty());
    EXPECT_EQ(server_handle, nullptr);
    EXPECT_TRUE(scripted.quit);
}

// The n-th fallible platform call of a start fails, for every n: each time the operator is told
// in order (1002 then 1012, 1013 then 1012, or 1016 and the program runs), and the program ends
// with 0 leaving no tray icon and no server behind.
TEST_F(ProgramTest, EveryFailingCallOfTheStartIsToldInOrder) {
    write_settings(telnet_port, {});
    const std::string exit_question = string_of(STR_EXIT_QUESTION);
    const std::vector<std::vector<std::string>> outcomes = {
        {string_of(STR_SETTINGS_READ_FAILED), string_of(STR_WINDOW_CREATE_FAILED)},
        {string_of(STR_SERVER_START_FAILED), string_of(STR_WINDOW_CREATE_FAILED)},
        {"TELNETﾎﾟｰﾄ " + std::to_string(telnet_port) + " で待ち受けできません", exit_question},
        {exit_question},  // a call whose failure the program rides out
    };
    std::vector<int> seen(outcomes.size(), 0);
    for (std::int32_t n = 1;; ++n) {
        scripted_ui_install();
        scripted.answer_box = [](const ScriptedBox &box) {
            return box.style == UI_BOX_YES_NO ? UI_ANSWER_YES : UI_ANSWER_OK;
        };
        scripted.loop_steps.push_back([] { scripted_click(scripted.main_window, ID_MAIN_EXIT); });
        std::int64_t before = platform_calls_counted();
        platform_fail_call(n);
        EXPECT_EQ(program_main(), 0);
        platform_fail_call(0);
        bool failed = platform_calls_counted() - before >= n;

        auto outcome = std::find(outcomes.begin(), outcomes.end(), scripted_box_texts());
        ASSERT_NE(outcome, outcomes.end()) << "call " << n << ": " << scripted_box_texts().size()
                                           << " boxes, the first: " << scripted_box_texts()[0];
        seen[static_cast<std::size_t>(outcome - outcomes.begin())] += 1;
        EXPECT_TRUE(scripted.tray_icons.empty());
        EXPECT_EQ(server_handle, nullptr);
        EXPECT_EQ(port_list.port_count, 0);
        if (!failed) break;  // every call of a start has had its turn
    }
    EXPECT_GT(seen[0], 0);
    EXPECT_GT(seen[1], 0);
    EXPECT_GT(seen[2], 0);
}

TEST_F(ProgramTest, TelnetPortInUseIsToldAndTheProgramRuns) {
    NetSocket taken = net_listen(NET_ANY_ADDRESS, telnet_port, 1);
    ASSERT_NE(taken, NET_NO_SOCKET);
    write_settings(telnet_port, {});
    scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_OK; };
    scripted.loop_steps.push_back([] {
        EXPECT_FALSE(scripted_window(scripted.main_window)->destroyed);
        EXPECT_EQ(scripted.tray_icons.size(), 1u);
        scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_YES; };
        scripted_click(scripted.main_window, ID_MAIN_EXIT);
    });
    EXPECT_EQ(program_main(), 0);
    ASSERT_GE(scripted.boxes.size(), 1u);
    std::string told = "TELNETﾎﾟｰﾄ " + std::to_string(telnet_port) + " で待ち受けできません";
    EXPECT_EQ(scripted.boxes[0].text, told);
    net_close(&taken);
}

TEST_F(ProgramTest, MissingStringAndIconAreSurvived) {
    scripted.class_registers = false;
    scripted.missing_strings = {STR_CLASS_REGISTER_FAILED};
    scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_OK; };
    EXPECT_EQ(program_main(), 0);
    EXPECT_EQ(scripted_box_texts(),
              (std::vector<std::string>{"can not load string resource(1011)."}));

    scripted_ui_install();
    scripted.icon_loads = false;
    write_settings(telnet_port, {});
    scripted.loop_steps.push_back([] {
        EXPECT_TRUE(scripted.tray_icons.empty());  // runs without a tray icon
        scripted.answer_box = [](const ScriptedBox &) { return UI_ANSWER_YES; };
        scripted_click(scripted.main_window, ID_MAIN_EXIT);
    });
    EXPECT_EQ(program_main(), 0);
}

}  // namespace
