// The Win32 ui host under wine with an X display (run by gui_test.py): real dialogs and a real
// main window from this program's own templates (ui_host_test.rc), driven through the ui
// contract, with another thread playing the user where a call blocks.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ui.h"
#include "platform/win32/ui_win32.h"
#include "sim/background.h"

namespace {

constexpr std::int32_t EDIT = 100, CHECK = 101, COMBO = 102, LIST = 103, VIEW = 104;
constexpr std::int32_t MENU_ITEM = 42;
constexpr std::int32_t TEST_STRING = 900;
constexpr std::int32_t RUN = 1;           // a window's command to itself once it runs
constexpr std::int32_t ANSWERS_1 = 20;    // the handler answers 1 (handled)
constexpr std::int32_t ANSWERS_0 = 21;    // the handler answers 0 (not handled)
constexpr std::uint32_t LIMIT_MS = 30000;

// Shift-JIS texts: the host passes the program's code page 932 through unchanged.
constexpr const char *CONNECTION_TEST = "\x90\xda\x91\xb1\x83\x65\x83\x58\x83\x67";  // 接続テスト
constexpr const char *PORT = "\xce\xdf\xb0\xc4";                                      // ﾎﾟｰﾄ
constexpr const char *CHOICE = "\x91\x49\x91\xf0";                                    // 選択

std::vector<UiEvent> events;  // what the handler under test saw, in order; UI thread

std::size_t count_of(UiEventKind kind, std::int32_t id = -1) {
    std::size_t count = 0;
    for (const UiEvent &event : events) {
        if (event.kind == kind && (id == -1 || event.id == id || event.code == id)) ++count;
    }
    return count;
}

// A visible top-level window of this class and caption, waited for up to LIMIT_MS; null if none.
HWND wait_shown(const char *window_class, const char *caption) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < LIMIT_MS; Sleep(20)) {
        HWND found = FindWindowA(window_class, caption);
        if (found != nullptr && IsWindowVisible(found)) return found;
    }
    return nullptr;
}

// ---- A dialog with a control of each kind

void check_texts(UiWindow *dialog) {
    HWND hwnd = ui_win32_hwnd(dialog);
    char text[64];
    ui_set_text(dialog, EDIT, CONNECTION_TEST);
    EXPECT_EQ(ui_get_text(dialog, EDIT, text, sizeof text), 10);
    EXPECT_STREQ(text, CONNECTION_TEST);
    std::int32_t cut = ui_get_text(dialog, EDIT, text, 5);
    EXPECT_LE(cut, 4);
    EXPECT_EQ(std::strlen(text), static_cast<std::size_t>(cut));

    ui_set_title(dialog, PORT);
    EXPECT_GT(GetWindowTextA(hwnd, text, sizeof text), 0);
    EXPECT_STREQ(text, PORT);

    ui_enable(dialog, CHECK, false);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hwnd, CHECK)));
    ui_enable(dialog, CHECK, true);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hwnd, CHECK)));
    // Disabled with the focus, a control hands it to the next one: the dialog's keys still arrive.
    SetFocus(GetDlgItem(hwnd, CHECK));
    ASSERT_EQ(GetFocus(), GetDlgItem(hwnd, CHECK));
    ui_enable(dialog, CHECK, false);
    EXPECT_EQ(GetFocus(), GetDlgItem(hwnd, COMBO));
    ui_enable(dialog, CHECK, true);
    ui_set_check(dialog, CHECK, true);
    EXPECT_TRUE(ui_get_check(dialog, CHECK));
    ui_set_check(dialog, CHECK, false);
    EXPECT_FALSE(ui_get_check(dialog, CHECK));
}

void check_combo_and_list(UiWindow *dialog) {
    EXPECT_EQ(ui_combo_add(dialog, COMBO, "7bit"), 0);
    EXPECT_EQ(ui_combo_add(dialog, COMBO, "8bit"), 1);
    EXPECT_EQ(ui_combo_selection(dialog, COMBO), -1);
    EXPECT_EQ(ui_combo_select(dialog, COMBO, 1), 1);
    EXPECT_EQ(ui_combo_selection(dialog, COMBO), 1);
    EXPECT_EQ(ui_combo_select(dialog, COMBO, 2), -1);  // no such item: nothing stays selected
    EXPECT_EQ(ui_combo_selection(dialog, COMBO), -1);

    for (const char *name : {"COM1", "COM2", "COM3"}) (void)ui_list_add(dialog, LIST, name);
    EXPECT_EQ(ui_list_count(dialog, LIST), 3);
    EXPECT_EQ(ui_list_selection(dialog, LIST), -1);
    ui_list_select(dialog, LIST, 2);
    EXPECT_EQ(ui_list_selection(dialog, LIST), 2);
    EXPECT_EQ(ui_list_delete(dialog, LIST, 0), 2);  // the lines left
    EXPECT_EQ(ui_list_selection(dialog, LIST), 1);  // the selected line moved up
    EXPECT_EQ(ui_list_delete(dialog, LIST, 5), -1);
    ui_list_select(dialog, LIST, -1);
    EXPECT_EQ(ui_list_selection(dialog, LIST), -1);
    ui_list_clear(dialog, LIST);
    EXPECT_EQ(ui_list_count(dialog, LIST), 0);
}

void check_list_view(UiWindow *dialog) {
    HWND view = GetDlgItem(ui_win32_hwnd(dialog), VIEW);
    std::int32_t width = ui_view_client_width(dialog, VIEW);
    ASSERT_GT(width, 100);
    ui_view_add_column(dialog, VIEW, 0, width / 2, PORT);
    ui_view_add_column(dialog, VIEW, 1, width - width / 2, "B");
    EXPECT_EQ(SendMessageA(view, LVM_GETCOLUMNWIDTH, 0, 0), width / 2);
    for (std::int32_t row = 0; row < 3; ++row) {
        EXPECT_EQ(ui_view_insert_row(dialog, VIEW, row, "COM"), row);
        ui_view_set_cell(dialog, VIEW, row, 1, "127.0.0.1");
    }
    EXPECT_EQ(ui_view_row_count(dialog, VIEW), 3);
    char cell[32] = "";
    ListView_GetItemText(view, 2, 1, cell, sizeof cell);
    EXPECT_STREQ(cell, "127.0.0.1");

    // A point in the second column hits the row: whole rows are selectable.
    RECT row{};
    row.left = LVIR_BOUNDS;
    ASSERT_TRUE(SendMessageA(view, LVM_GETITEMRECT, 2, reinterpret_cast<LPARAM>(&row)));
    std::int32_t middle = (row.top + row.bottom) / 2;
    EXPECT_EQ(ui_view_hit_test(dialog, VIEW, width / 2 + 10, middle), 2);
    EXPECT_EQ(ui_view_hit_test(dialog, VIEW, width / 2 + 10, row.bottom + 2), -1);
    std::int32_t left = 0, top = 0, right = 0, bottom = 0;
    ui_view_screen_rect(dialog, VIEW, &left, &top, &right, &bottom);
    RECT outer{};
    GetWindowRect(view, &outer);
    EXPECT_EQ(left, outer.left);
    EXPECT_EQ(bottom, outer.bottom);

    EXPECT_EQ(ui_view_first_selected(dialog, VIEW), -1);
    std::size_t before = count_of(UI_EVENT_NOTIFY, VIEW);
    ui_view_select(dialog, VIEW, 1);
    EXPECT_GT(count_of(UI_EVENT_NOTIFY, VIEW), before);  // during the call
    EXPECT_EQ(ui_view_first_selected(dialog, VIEW), 1);
    ui_view_select(dialog, VIEW, 2);
    EXPECT_EQ(ui_view_first_selected(dialog, VIEW), 2);
    EXPECT_EQ(SendMessageA(view, LVM_GETSELECTEDCOUNT, 0, 0), 1);
    ui_view_select(dialog, VIEW, 3);  // no such row: none stays selected
    EXPECT_EQ(ui_view_first_selected(dialog, VIEW), -1);
    ui_view_clear(dialog, VIEW);
    EXPECT_EQ(ui_view_row_count(dialog, VIEW), 0);
}

void check_commands(UiWindow *dialog) {
    EXPECT_EQ(ui_send_command(dialog, ANSWERS_1, 0x1234, -5), 1);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().kind, UI_EVENT_APP_COMMAND);
    EXPECT_EQ(events.back().high, 0x1234);
    EXPECT_EQ(events.back().argument, -5);
    EXPECT_EQ(ui_send_command(dialog, ANSWERS_0, 0, 0), 0);
}

std::int32_t controls_dialog(UiWindow *dialog, const UiEvent *event) {
    events.push_back(*event);
    switch (event->kind) {
    case UI_EVENT_INIT:
        EXPECT_NE(GetDlgItem(ui_win32_hwnd(dialog), VIEW), nullptr);
        EXPECT_EQ(ui_post_command(dialog, RUN, 0), 0);
        return 1;
    case UI_EVENT_APP_COMMAND:
        if (event->code == RUN) {
            check_texts(dialog);
            check_combo_and_list(dialog);
            check_list_view(dialog);
            check_commands(dialog);
            ui_end_dialog(dialog, 7);
        }
        return event->code == ANSWERS_0 ? 0 : 1;
    default: return 0;
    }
}

TEST(Win32UiHost, ControlsAnswerAsTheContractSays) {
    events.clear();
    EXPECT_EQ(ui_run_dialog(nullptr, "CONTROLS", controls_dialog), 7);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().kind, UI_EVENT_INIT);
    EXPECT_EQ(ui_run_dialog(nullptr, "NOSUCHDIALOG", controls_dialog), -1);
}

// ---- Close, Esc and Enter, the dialog manager's way

std::int32_t keys_dialog(UiWindow *dialog, const UiEvent *event) {
    HWND hwnd = ui_win32_hwnd(dialog);
    events.push_back(*event);
    HWND focus = GetFocus() != nullptr ? GetFocus() : GetDlgItem(hwnd, EDIT);
    switch (event->kind) {
    case UI_EVENT_INIT: (void)ui_post_command(dialog, RUN, 0); return 1;
    case UI_EVENT_APP_COMMAND:
        // A close the logic leaves alone becomes Cancel (posted by the dialog manager).
        ui_close_request(dialog);
        EXPECT_EQ(count_of(UI_EVENT_CLOSE), 1u);
        PostMessageA(focus, WM_KEYDOWN, VK_ESCAPE, 0);
        return 1;
    case UI_EVENT_COMMAND:
        if (event->id == IDCANCEL && count_of(UI_EVENT_COMMAND, IDCANCEL) == 2) {
            PostMessageA(focus, WM_KEYDOWN, VK_RETURN, 0);  // the default button
        }
        if (event->id == IDOK) ui_end_dialog(dialog, 1);
        return 1;
    default: return 0;
    }
}

TEST(Win32UiHost, CloseEscAndEnterArriveAsTheDialogManagerMakesThem) {
    events.clear();
    EXPECT_EQ(ui_run_dialog(nullptr, "CONTROLS", keys_dialog), 1);
    std::vector<UiEventKind> kinds;
    std::vector<std::int32_t> ids;
    for (const UiEvent &event : events) {
        // Only the buttons' commands: the edit's focus notices come and go too.
        if (event.kind == UI_EVENT_CLOSE || (event.kind == UI_EVENT_COMMAND && event.id != EDIT)) {
            kinds.push_back(event.kind);
            ids.push_back(event.kind == UI_EVENT_COMMAND ? event.id : 0);
        }
    }
    EXPECT_EQ(kinds, (std::vector<UiEventKind>{UI_EVENT_CLOSE, UI_EVENT_COMMAND, UI_EVENT_COMMAND,
                                                UI_EVENT_COMMAND}));
    EXPECT_EQ(ids, (std::vector<std::int32_t>{0, IDCANCEL, IDCANCEL, IDOK}));
}

// Shows a message box and plays the user who answers it once it shows. The answer, or -2 when
// the box never showed (it is answered all the same).
std::int32_t show_box(UiWindow *owner, const char *caption) {
    std::atomic<bool> seen{false};
    Background *user = background_start([&seen, caption] {
        HWND box = wait_shown("#32770", caption);
        seen = box != nullptr;
        if (box == nullptr) box = FindWindowA("#32770", caption);
        PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    });
    std::int32_t answer = ui_message_box(owner, CONNECTION_TEST, caption, UI_BOX_OK);
    EXPECT_TRUE(background_join(user, 2 * LIMIT_MS));
    return seen.load() ? answer : -2;
}

// ---- The main window

bool refuse_creation = false;
bool popup_returned = false;

std::int32_t main_window(UiWindow *window, const UiEvent *event) {
    events.push_back(*event);
    switch (event->kind) {
    case UI_EVENT_CREATE:
        EXPECT_EQ(GetDlgItem(ui_win32_hwnd(window), 1), nullptr);  // not made yet
        if (!refuse_creation) return 0;
        // As the program tells why it refuses (1002), before it reports the refusal (1012).
        EXPECT_EQ(show_box(window, "REFUSED"), UI_ANSWER_OK);
        return -1;
    case UI_EVENT_DESTROY: ui_post_quit(3); return 1;
    case UI_EVENT_APP_COMMAND:
        if (event->code == RUN) {
            EXPECT_EQ(ui_popup_menu(window, "NOSUCHMENU", 10, 10), -1);
            // The user picks the item by its mnemonic once the menu shows.
            Background *user = background_start([] {
                HWND menu = wait_shown("#32768", nullptr);
                EXPECT_NE(menu, nullptr);
                if (menu != nullptr) PostMessageA(menu, WM_CHAR, 'c', 0);
            });
            popup_returned = false;
            EXPECT_EQ(ui_popup_menu(window, "HOSTMENU", 20, 20), 0);
            popup_returned = true;
            EXPECT_TRUE(background_join(user, LIMIT_MS));
            EXPECT_EQ(count_of(UI_EVENT_COMMAND, MENU_ITEM), 0u);  // it comes later
        }
        return event->code == ANSWERS_0 ? 0 : 1;
    case UI_EVENT_COMMAND:
        if (event->id == MENU_ITEM) {
            EXPECT_TRUE(popup_returned);
            ui_destroy_window(window);
        }
        return 1;
    default: return 0;
    }
}

void register_once() {
    static std::int32_t atom = ui_register_main_window_class(main_window);
    ASSERT_NE(atom, 0);
}

TEST(Win32UiHost, MainWindowFromCreationToDestructionAndPostsAfterIt) {
    register_once();
    events.clear();
    refuse_creation = false;
    EXPECT_FALSE(ui_find_previous_instance());
    UiWindow *window = ui_create_main_window();
    ASSERT_NE(window, nullptr);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().kind, UI_EVENT_CREATE);
    HWND hwnd = ui_win32_hwnd(window);
    EXPECT_FALSE(IsWindowVisible(hwnd));
    EXPECT_TRUE(ui_find_previous_instance());  // and shown
    EXPECT_TRUE(IsWindowVisible(hwnd));
    EXPECT_EQ(ui_send_command(window, ANSWERS_1, 0, 0), 1);
    EXPECT_EQ(ui_send_command(window, ANSWERS_0, 0, 0), 0);

    char text[16];
    EXPECT_EQ(ui_load_string(TEST_STRING, text, sizeof text), 4);
    EXPECT_STREQ(text, CHOICE);
    EXPECT_EQ(ui_load_string(TEST_STRING + 1, text, sizeof text), 0);
    EXPECT_STREQ(text, "");

    EXPECT_EQ(ui_load_icon("NOSUCHICON", 16), nullptr);
    UiIcon *icon = ui_load_icon("HOSTICON", 16);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(ui_tray_icon(window, UI_TRAY_ADD, 100, icon, std::string(200, 'x').c_str()), 1);
    ui_destroy_icon(icon);
    EXPECT_EQ(ui_tray_icon(window, UI_TRAY_DELETE, 100, nullptr, nullptr), 1);
    EXPECT_EQ(ui_tray_icon(window, UI_TRAY_DELETE, 100, nullptr, nullptr), 0);

    // A worker's post arrives through the loop with its argument.
    Background *worker =
        background_start([window] { EXPECT_EQ(ui_post_command(window, RUN, -7), 0); });
    EXPECT_TRUE(background_join(worker, LIMIT_MS));
    EXPECT_EQ(ui_run_message_loop(), 3);
    EXPECT_EQ(count_of(UI_EVENT_APP_COMMAND, RUN), 1u);
    EXPECT_EQ(count_of(UI_EVENT_COMMAND, MENU_ITEM), 1u);
    EXPECT_EQ(count_of(UI_EVENT_DESTROY), 1u);
    for (const UiEvent &event : events) {
        if (event.kind == UI_EVENT_APP_COMMAND && event.code == RUN) {
            EXPECT_EQ(event.argument, -7);
        }
    }

    // Gone: a late post has nobody to tell, and nothing finds the window.
    Background *late =
        background_start([window] { EXPECT_EQ(ui_post_command(window, RUN, 0), 0); });
    EXPECT_TRUE(background_join(late, LIMIT_MS));
    EXPECT_FALSE(ui_find_previous_instance());
}

TEST(Win32UiHost, RefusedMainWindowIsDestroyedOnceAndABoxAfterItStillShows) {
    register_once();
    events.clear();
    refuse_creation = true;
    EXPECT_EQ(ui_create_main_window(), nullptr);
    EXPECT_EQ(count_of(UI_EVENT_CREATE), 1u);
    EXPECT_EQ(count_of(UI_EVENT_DESTROY), 1u);

    // The destruction posted the quit; a box shown now is shown all the same, and the quit
    // stays for the loop that may follow.
    EXPECT_EQ(show_box(nullptr, "AFTER"), UI_ANSWER_OK);
    MSG quit{};
    EXPECT_TRUE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(quit.wParam, 3u);
}

}  // namespace
