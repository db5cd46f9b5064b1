// A scripted ui host for tests: every window, dialog and control lives in memory, and the test
// plays the user. It records what the program shows (message boxes, menus, the tray icon, texts,
// list rows), answers message boxes and menus from the test's script, runs modal dialogs in place
// (a test function plays the user inside each), and queues posted commands (also from worker
// threads) until the test or the message loop pumps them. Everything but posting belongs to the
// test's thread, which is the program's user-interface thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/ui.h"

struct ScriptedColumn {
    std::int32_t width;
    std::string title;
};

// One control, made on first use; its kind is what the program uses it as.
struct ScriptedControl {
    std::string text;
    bool enabled = true;
    bool checked = false;
    std::vector<std::string> items;  // combo box or list box lines
    std::int32_t selection = -1;     // combo box or list box
    std::vector<ScriptedColumn> columns;          // list view
    std::vector<std::vector<std::string>> rows;   // list view cells, row by row
    std::int32_t selected_row = -1;               // list view
};

struct ScriptedWindow {
    std::string template_name;  // "NORVEX" for the main window
    UiHandler handler = nullptr;
    UiWindow *owner = nullptr;
    std::string title;
    bool visible = false;
    bool destroyed = false;
    bool ended = false;          // a modal dialog's end was asked for
    std::int32_t result = 0;     // its result
    std::map<std::int32_t, ScriptedControl> controls;
};

struct ScriptedBox {
    UiWindow *owner;
    std::string text;
    std::string caption;
    std::uint32_t style;
};

struct ScriptedMenu {
    UiWindow *owner;
    std::string name;
    std::int32_t x;
    std::int32_t y;
};

struct ScriptedTrayIcon {
    UiWindow *window;
    std::int32_t id;
    std::string tip;
};

// The script and the record. Reset by scripted_ui_install.
struct ScriptedUi {
    // What the host can do (a test turns parts off to reach failure paths).
    bool other_instance_running = false;  // find_previous_instance finds one
    bool class_registers = true;
    bool window_can_be_made = true;       // the platform makes the main window
    bool icon_loads = true;
    std::vector<std::int32_t> missing_strings;
    std::vector<std::string> missing_menus;
    std::vector<std::string> missing_dialogs;  // templates that cannot be made: run answers -1

    // The user. Each answers at the moment the program asks.
    // A message box: the button pressed. Unset: the test fails and the box is answered OK / No.
    std::function<std::int32_t(const ScriptedBox &)> answer_box;
    // A pop-up menu: the id chosen, 0 to dismiss it. Unset: dismissed.
    std::function<std::int32_t(const ScriptedMenu &)> choose_menu;
    // A modal dialog, by template name: plays the user inside it once it is initialised. A dialog
    // that is still open afterwards fails the test and is ended with 0.
    std::map<std::string, std::function<void(UiWindow *)>> play_dialog;
    // Steps of the user while the message loop runs, one each time the queue is empty.
    std::vector<std::function<void()>> loop_steps;
    // Called when the tray icon is added or deleted (after the change).
    std::function<void()> on_tray_change;

    // Geometry of list views: the outer rectangle on the screen, the header's and a row's height.
    std::int32_t view_left = 100, view_top = 200, view_width = 300, view_height = 200;
    std::int32_t header_height = 20, row_height = 16;
    std::int32_t cursor_x = 0, cursor_y = 0;

    // The record.
    std::vector<ScriptedBox> boxes;
    std::vector<ScriptedMenu> menus;
    std::vector<ScriptedTrayIcon> tray_icons;  // the icons present now
    std::vector<std::string> dialogs_run;      // template names, in order
    std::vector<std::string> timeline;         // "tray add", "tray delete", "box <id-text>", ...
    UiWindow *main_window = nullptr;
    bool quit = false;
    std::int32_t quit_code = -1;
    bool foreground_set = false;
};

extern ScriptedUi scripted;

// Resets the script and the record and makes the scripted host current. Windows of an earlier
// test stay valid (workers may still post to them) but are forgotten.
void scripted_ui_install();
// Restores the operating system's host.
void scripted_ui_uninstall();

// The host's record of a window.
ScriptedWindow *scripted_window(UiWindow *window);
ScriptedControl *scripted_control(UiWindow *window, std::int32_t id);

// Makes a window of the scripted host with this handler (a dialog without a modal run, for tests
// of a dialog's logic step by step). Its handler gets UI_EVENT_INIT.
UiWindow *scripted_open(const char *template_name, UiHandler handler, UiWindow *owner = nullptr);

// Handles the queued commands (posted by the program or by workers, menu choices), waiting up to
// wait_ms for the first. The number handled.
int scripted_pump(std::uint32_t wait_ms = 0);
// Pumps until `done` is true (true) or limit_ms passed (false).
bool scripted_pump_until(const std::function<bool()> &done, std::uint32_t limit_ms = 15000);

// The user's actions: each sends its event to the window's handler as the platform would.
// A disabled control ignores the user (a click, a choice, typing or a tick then fails the test).
void scripted_click(UiWindow *window, std::int32_t id);
void scripted_escape(UiWindow *window);
void scripted_tray(UiWindow *window, std::int32_t mouse_message);
void scripted_activate(UiWindow *window, bool active);
void scripted_type(UiWindow *window, std::int32_t id, const std::string &text);
void scripted_check(UiWindow *window, std::int32_t id, bool checked);
void scripted_choose_combo(UiWindow *window, std::int32_t id, std::int32_t index);
void scripted_choose_list(UiWindow *window, std::int32_t id, std::int32_t index);
void scripted_double_click_list(UiWindow *window, std::int32_t id, std::int32_t index);
// Selects a list-view row (-1: none) by a click, with its item-changed notification.
void scripted_choose_row(UiWindow *window, std::int32_t id, std::int32_t row);
// A right click at a screen point on a list view: moves the cursor there, then notifies.
void scripted_right_click_view(UiWindow *window, std::int32_t id, std::int32_t x, std::int32_t y);
// The screen point of the middle of a list-view row under the scripted geometry.
void scripted_row_point(std::int32_t row, std::int32_t *x, std::int32_t *y);

// A list view's cell text; "" when there is no such cell.
std::string scripted_cell(UiWindow *window, std::int32_t id, std::int32_t row, std::int32_t column);
// The texts of the message boxes shown so far.
std::vector<std::string> scripted_box_texts();
// The string table's text of an id, as the program loads it.
std::string scripted_string(std::int32_t id);
