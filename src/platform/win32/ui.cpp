// The Win32 ui host: the main window of the program's own class made from its dialog template,
// modal dialogs, the message loop, texts, message boxes, pop-up menus and the tray icon. Window
// messages become UiEvents for the logic; the logic's operations become the Win32 calls.
#include "platform/win32/ui_win32.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstring>
#include <new>

namespace {

constexpr const char *MAIN_WINDOW_CLASS = "NORVEX";
constexpr const char *MAIN_WINDOW_TEMPLATE = "NORVEX";
constexpr std::size_t TRAY_TIP_LENGTH = 63;
constexpr UINT_PTR DOUBLE_CLICK_TIMER = 1;  // a dialog's timer: see dialog_message

HINSTANCE program_instance = nullptr;      // UI thread; see ui_win32_set_instance
UiHandler main_window_handler = nullptr;   // UI thread; the registered class's logic

HINSTANCE instance() {
    if (program_instance == nullptr) program_instance = GetModuleHandleA(nullptr);
    return program_instance;
}

Win32Window *record_of(UiWindow *window) { return static_cast<Win32Window *>(window->data); }

Win32Window *record_of(HWND hwnd) {
    return reinterpret_cast<Win32Window *>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

// Ties a record to its window: from now on the window's messages find it.
void attach(Win32Window *record, HWND hwnd) {
    record->window.host = &ui_os_host;
    record->window.data = record;
    record->hwnd = hwnd;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(record));
}

// The event a window message stands for; false for a message the logic does not see.
bool event_of(UINT message, WPARAM wparam, LPARAM lparam, UiEvent *event) {
    *event = UiEvent{};
    switch (message) {
    case WM_CREATE: event->kind = UI_EVENT_CREATE; return true;
    case WM_INITDIALOG: event->kind = UI_EVENT_INIT; return true;
    case WM_DESTROY: event->kind = UI_EVENT_DESTROY; return true;
    case WM_CLOSE: event->kind = UI_EVENT_CLOSE; return true;
    case WM_ACTIVATEAPP:
        event->kind = UI_EVENT_ACTIVATE;
        event->argument = wparam != 0 ? 1 : 0;
        return true;
    case WM_COMMAND:
        event->kind = UI_EVENT_COMMAND;
        event->id = LOWORD(wparam);
        event->notification = HIWORD(wparam);
        return true;
    case WM_NOTIFY: {
        const NMHDR *header = reinterpret_cast<const NMHDR *>(lparam);
        event->kind = UI_EVENT_NOTIFY;
        event->id = static_cast<std::int32_t>(header->idFrom);
        event->notification = static_cast<std::int32_t>(header->code);
        return true;
    }
    case WM_TRAY_NOTIFY:
        event->kind = UI_EVENT_TRAY;
        event->argument = static_cast<std::int32_t>(lparam);
        return true;
    case WM_APP_COMMAND:
        event->kind = UI_EVENT_APP_COMMAND;
        event->code = LOWORD(wparam);
        event->high = HIWORD(wparam);
        event->argument = static_cast<std::int32_t>(lparam);
        return true;
    default: return false;
    }
}

// Hands the logic its window's destruction once: Windows sends WM_DESTROY, but wine ends a window
// whose WM_CREATE refused with WM_NCDESTROY alone.
void deliver_destroy(Win32Window *record) {
    if (record->destroy_delivered) return;
    record->destroy_delivered = true;
    UiEvent destroy{};
    destroy.kind = UI_EVENT_DESTROY;
    record->handler(&record->window, &destroy);
}

// The window procedure of class "NORVEX": the main window. What the logic leaves alone (answer 0)
// goes to the dialog manager, which made the window from its template.
LRESULT CALLBACK main_window_message(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    Win32Window *record = record_of(hwnd);
    if (message == WM_NCCREATE && record == nullptr) {
        record = new (std::nothrow) Win32Window{};
        if (record == nullptr) return FALSE;  // the window is not made
        record->handler = main_window_handler;
        attach(record, hwnd);
    }
    if (record == nullptr || record->handler == nullptr) {
        return DefDlgProcA(hwnd, message, wparam, lparam);
    }
    if (message == WM_DESTROY || message == WM_NCDESTROY) {
        deliver_destroy(record);
        if (message == WM_NCDESTROY) record->destroyed.store(1);
        // The dialog manager frees what it made for the window whatever the logic did.
        return DefDlgProcA(hwnd, message, wparam, lparam);
    }
    UiEvent event;
    if (!event_of(message, wparam, lparam, &event)) {
        return DefDlgProcA(hwnd, message, wparam, lparam);
    }
    std::int32_t answer = record->handler(&record->window, &event);
    if (message == WM_CREATE) {
        return answer == -1 ? -1 : DefDlgProcA(hwnd, message, wparam, lparam);
    }
    if (answer == 0) return DefDlgProcA(hwnd, message, wparam, lparam);
    // WM_APP_COMMAND answers what the logic answered; every other message handled answers 0.
    return message == WM_APP_COMMAND ? answer : 0;
}

// The dialog procedure of every modal dialog; its record comes with WM_INITDIALOG.
INT_PTR CALLBACK dialog_message(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
        Win32Window *record = reinterpret_cast<Win32Window *>(lparam);
        attach(record, hwnd);
        UiEvent init{};
        init.kind = UI_EVENT_INIT;
        record->handler(&record->window, &init);
        // The logic sets no focus (the contract has no such operation): the dialog manager puts it
        // on the first control that takes it.
        return TRUE;
    }
    Win32Window *record = record_of(hwnd);
    if (record == nullptr) return FALSE;  // a message before WM_INITDIALOG
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        record->destroyed.store(1);
        return FALSE;
    }
    if (message == WM_COMMAND && HIWORD(wparam) == LBN_DBLCLK) {
        // The list box takes the mouse again once this notice returns (wine's does), and would
        // keep it past a dialog run from the notice: the next click anywhere, on "閉じる" say,
        // would be the list box's. The logic hears of the double click when the button is up.
        record->held_double_click = wparam;
        SetTimer(hwnd, DOUBLE_CLICK_TIMER, USER_TIMER_MINIMUM, nullptr);
        return TRUE;
    }
    if (message == WM_TIMER && wparam == DOUBLE_CLICK_TIMER) {
        // A timer comes when the queue is empty: the button's release has been seen by then.
        if (GetKeyState(VK_LBUTTON) < 0) return TRUE;
        KillTimer(hwnd, DOUBLE_CLICK_TIMER);
        wparam = record->held_double_click;
        record->held_double_click = 0;
        message = WM_COMMAND;
    }
    UiEvent event;
    if (!event_of(message, wparam, lparam, &event)) return FALSE;
    if (event.kind == UI_EVENT_DESTROY) {
        deliver_destroy(record);
        return FALSE;
    }
    std::int32_t answer = record->handler(&record->window, &event);
    if (answer == 0) return FALSE;
    // A dialog's answer to a sent message is DWLP_MSGRESULT. Only WM_APP_COMMAND's carries
    // meaning; a notification's stays 0, its default (non-zero would veto some changes).
    SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, message == WM_APP_COMMAND ? answer : 0);
    return TRUE;
}

// ---- The program and its main window

bool host_find_previous_instance() {
    HWND running = FindWindowA(MAIN_WINDOW_CLASS, nullptr);
    if (running == nullptr) return false;
    ShowWindow(running, SW_SHOW);
    SetForegroundWindow(running);
    return true;
}

void host_init_common_controls() {
    INITCOMMONCONTROLSEX classes{};
    classes.dwSize = sizeof classes;
    classes.dwICC = ICC_LISTVIEW_CLASSES;
    InitCommonControlsEx(&classes);
}

std::int32_t host_register_main_window_class(UiHandler handler) {
    main_window_handler = handler;
    WNDCLASSEXA window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.style = 0;
    window_class.lpfnWndProc = main_window_message;
    window_class.cbClsExtra = 0;
    // What the dialog manager keeps in a window made from a template: 30 bytes on 32-bit Windows,
    // 48 on 64-bit.
    window_class.cbWndExtra = DLGWINDOWEXTRA;
    window_class.hInstance = instance();
    window_class.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_INACTIVEBORDER + 1);
    window_class.lpszMenuName = nullptr;
    window_class.lpszClassName = MAIN_WINDOW_CLASS;
    window_class.hIconSm = LoadIconA(nullptr, IDI_WINLOGO);
    return RegisterClassExA(&window_class);
}

UiWindow *host_create_main_window() {
    // No dialog procedure: the class's window procedure sees every message.
    HWND hwnd = CreateDialogParamA(instance(), MAIN_WINDOW_TEMPLATE, nullptr, nullptr, 0);
    if (hwnd == nullptr) return nullptr;
    return &record_of(hwnd)->window;
}

std::int32_t host_run_message_loop() {
    // No IsDialogMessage: Tab, Enter and Esc mean nothing in the main window.
    MSG message{};
    BOOL got;
    while ((got = GetMessageA(&message, nullptr, 0, 0)) != 0) {
        if (got == -1) return -1;  // only for arguments this loop never gives
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<std::int32_t>(message.wParam);
}

void host_post_quit(std::int32_t code) { PostQuitMessage(code); }

void host_destroy_window(UiWindow *window) { DestroyWindow(ui_win32_hwnd(window)); }

void host_show(UiWindow *window, bool visible) {
    ShowWindow(ui_win32_hwnd(window), visible ? SW_SHOW : SW_HIDE);
}

void host_set_foreground(UiWindow *window) { SetForegroundWindow(ui_win32_hwnd(window)); }

void host_close_request(UiWindow *window) { SendMessageA(ui_win32_hwnd(window), WM_CLOSE, 0, 0); }

std::int32_t host_send_command(UiWindow *window, std::int32_t code, std::int32_t high,
                               std::int32_t argument) {
    WPARAM first = MAKEWPARAM(static_cast<WORD>(code), static_cast<WORD>(high));
    return static_cast<std::int32_t>(
        SendMessageA(ui_win32_hwnd(window), WM_APP_COMMAND, first, static_cast<LPARAM>(argument)));
}

int host_post_command(UiWindow *window, std::int32_t code, std::int32_t argument) {
    Win32Window *record = record_of(window);
    if (record->destroyed.load() != 0) return 0;  // nobody to tell
    WPARAM first = MAKEWPARAM(static_cast<WORD>(code), 0);
    if (PostMessageA(record->hwnd, WM_APP_COMMAND, first, static_cast<LPARAM>(argument))) return 0;
    // A full queue refuses for now; any other failure means the window is gone.
    return GetLastError() == ERROR_NOT_ENOUGH_QUOTA ? -1 : 0;
}

// ---- Texts, message boxes, menus, the cursor and the tray

std::int32_t host_load_string(std::int32_t id, char *buffer, std::int32_t size) {
    return LoadStringA(instance(), static_cast<UINT>(id), buffer, size);
}

std::int32_t host_message_box(UiWindow *owner, const char *text, const char *caption,
                              std::uint32_t style) {
    HWND owner_hwnd = owner == nullptr ? nullptr : ui_win32_hwnd(owner);
    // A modal loop gives up at a pending quit: Windows closes the box at once, wine never shows
    // it and waits. A main window that was refused has posted its quit before start-up tells why
    // (1012), so the quit waits here until the box is answered.
    MSG quit{};
    bool quit_pending = PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
    int answer = MessageBoxA(owner_hwnd, text, caption, style);
    if (quit_pending) PostQuitMessage(static_cast<int>(quit.wParam));
    return answer == 0 ? -1 : answer;
}

int host_popup_menu(UiWindow *owner, const char *menu_name, std::int32_t x, std::int32_t y) {
    HMENU menu = LoadMenuA(instance(), menu_name);
    if (menu == nullptr) return -1;
    HMENU popup = GetSubMenu(menu, 0);
    if (popup == nullptr) {
        DestroyMenu(menu);
        return -1;
    }
    HWND owner_hwnd = ui_win32_hwnd(owner);
    // The choice is posted to the owner as WM_COMMAND once the menu has closed.
    TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_LEFTBUTTON, x, y, 0, owner_hwnd, nullptr);
    DestroyMenu(menu);
    // Without a message after the menu, a menu opened from the tray icon cannot be opened a second
    // time (Microsoft's advice for menus of a window that is not in the foreground).
    PostMessageA(owner_hwnd, WM_NULL, 0, 0);
    return 0;
}

void host_cursor_position(std::int32_t *x, std::int32_t *y) {
    POINT point{};
    GetCursorPos(&point);
    *x = point.x;
    *y = point.y;
}

UiIcon *host_load_icon(const char *name, std::int32_t size) {
    HANDLE icon = LoadImageA(instance(), name, IMAGE_ICON, size, size, LR_DEFAULTCOLOR);
    return reinterpret_cast<UiIcon *>(icon);
}

void host_destroy_icon(UiIcon *icon) { DestroyIcon(reinterpret_cast<HICON>(icon)); }

std::int32_t host_tray_icon(UiWindow *window, std::int32_t operation, std::int32_t id,
                            UiIcon *icon, const char *tip) {
    NOTIFYICONDATAA data{};
    data.cbSize = sizeof data;
    data.hWnd = ui_win32_hwnd(window);
    data.uID = static_cast<UINT>(id);
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = WM_TRAY_NOTIFY;
    data.hIcon = reinterpret_cast<HICON>(icon);
    if (tip != nullptr) {
        std::size_t length = strnlen(tip, TRAY_TIP_LENGTH);
        std::memcpy(data.szTip, tip, length);
        data.szTip[length] = '\0';
    }
    return Shell_NotifyIconA(static_cast<DWORD>(operation), &data) ? 1 : 0;
}

// ---- Dialogs

std::int32_t host_run_dialog(UiWindow *owner, const char *template_name, UiHandler handler) {
    Win32Window record{};
    record.handler = handler;
    HWND owner_hwnd = owner == nullptr ? nullptr : ui_win32_hwnd(owner);
    INT_PTR result = DialogBoxParamA(instance(), template_name, owner_hwnd, dialog_message,
                                     reinterpret_cast<LPARAM>(&record));
    return static_cast<std::int32_t>(result);
}

void host_end_dialog(UiWindow *dialog, std::int32_t result) {
    EndDialog(ui_win32_hwnd(dialog), result);
}

void host_set_title(UiWindow *window, const char *text) {
    SetWindowTextA(ui_win32_hwnd(window), text);
}

}  // namespace

HWND ui_win32_hwnd(UiWindow *window) { return record_of(window)->hwnd; }

void ui_win32_set_instance(HINSTANCE instance) { program_instance = instance; }

constexpr UiHost ui_os_host = [] {
    UiHost host{};
    host.find_previous_instance = host_find_previous_instance;
    host.init_common_controls = host_init_common_controls;
    host.register_main_window_class = host_register_main_window_class;
    host.create_main_window = host_create_main_window;
    host.run_message_loop = host_run_message_loop;
    host.post_quit = host_post_quit;
    host.destroy_window = host_destroy_window;
    host.show = host_show;
    host.set_foreground = host_set_foreground;
    host.close_request = host_close_request;
    host.send_command = host_send_command;
    host.post_command = host_post_command;
    host.load_string = host_load_string;
    host.message_box = host_message_box;
    host.popup_menu = host_popup_menu;
    host.cursor_position = host_cursor_position;
    host.load_icon = host_load_icon;
    host.destroy_icon = host_destroy_icon;
    host.tray_icon = host_tray_icon;
    host.run_dialog = host_run_dialog;
    host.end_dialog = host_end_dialog;
    host.set_title = host_set_title;
    host.set_text = win32_set_text;
    host.get_text = win32_get_text;
    host.enable = win32_enable;
    host.set_check = win32_set_check;
    host.get_check = win32_get_check;
    host.combo_add = win32_combo_add;
    host.combo_select = win32_combo_select;
    host.combo_selection = win32_combo_selection;
    host.list_clear = win32_list_clear;
    host.list_add = win32_list_add;
    host.list_delete = win32_list_delete;
    host.list_count = win32_list_count;
    host.list_selection = win32_list_selection;
    host.list_select = win32_list_select;
    host.view_client_width = win32_view_client_width;
    host.view_screen_rect = win32_view_screen_rect;
    host.view_add_column = win32_view_add_column;
    host.view_clear = win32_view_clear;
    host.view_insert_row = win32_view_insert_row;
    host.view_set_cell = win32_view_set_cell;
    host.view_row_count = win32_view_row_count;
    host.view_hit_test = win32_view_hit_test;
    host.view_first_selected = win32_view_first_selected;
    host.view_select = win32_view_select;
    return host;
}();
