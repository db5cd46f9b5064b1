// The user interface as the portable logic sees it: windows and dialogs made from the resource
// templates, their controls addressed by the ids of resources/resource_ids.h, the operations the
// main window and the dialogs use, and the events they receive. A host implements it: the Win32
// host makes real windows, the scripted host of the tests keeps everything in memory, and the
// command queue stands in for the main window in the Linux program. The logic never sees what a
// UiWindow holds and never sleeps or waits for a worker.
//
// Every function but ui_post_command belongs to the user-interface thread. Functions that take no
// window act on the current host (ui_use_host); the others on the host that made the window. An
// operation the host does not offer fails as documented (0, -1, false or null) and does nothing.
#pragma once

#include <cstdint>

struct UiWindow;  // a window or dialog of some host
struct UiIcon;    // a loaded icon
struct UiHost;    // a host's table of operations (platform/ui_host.h)

// The program's private window messages, with their Windows numbers.
constexpr std::uint32_t WM_TRAY_NOTIFY = 0x8064;  // WM_APP + 0x64: the tray icon's callback
constexpr std::uint32_t WM_APP_COMMAND = 0x8065;  // WM_APP + 0x65: a window's command to itself

// Mouse messages that a tray icon reports (Windows numbers).
constexpr std::int32_t UI_MOUSE_LEFT_DOWN = 0x0201;
constexpr std::int32_t UI_MOUSE_LEFT_UP = 0x0202;
constexpr std::int32_t UI_MOUSE_LEFT_DOUBLE_CLICK = 0x0203;
constexpr std::int32_t UI_MOUSE_RIGHT_DOWN = 0x0204;
constexpr std::int32_t UI_MOUSE_RIGHT_UP = 0x0205;

// Notifications of a command (Windows numbers).
constexpr std::int32_t UI_BUTTON_CLICKED = 0;           // BN_CLICKED; also menu items and Esc
constexpr std::int32_t UI_LIST_SELECTION_CHANGED = 1;   // LBN_SELCHANGE
constexpr std::int32_t UI_LIST_DOUBLE_CLICK = 2;        // LBN_DBLCLK
constexpr std::int32_t UI_LIST_SELECTION_CANCELLED = 3; // LBN_SELCANCEL
// Notifications of a list view (Windows numbers).
constexpr std::int32_t UI_NOTIFY_DOUBLE_CLICK = -3;     // NM_DBLCLK
constexpr std::int32_t UI_NOTIFY_RIGHT_CLICK = -5;      // NM_RCLICK
constexpr std::int32_t UI_NOTIFY_ITEM_CHANGED = -101;   // LVN_ITEMCHANGED

// Buttons a message box or a dialog answers with (Windows numbers).
constexpr std::int32_t UI_ANSWER_OK = 1;
constexpr std::int32_t UI_ANSWER_CANCEL = 2;
constexpr std::int32_t UI_ANSWER_YES = 6;
constexpr std::int32_t UI_ANSWER_NO = 7;

// Message box styles (Windows numbers): the three the program uses.
constexpr std::uint32_t UI_BOX_OK = 0x00;              // MB_OK: a notice
constexpr std::uint32_t UI_BOX_YES_NO = 0x04;          // MB_YESNO: a question
constexpr std::uint32_t UI_BOX_OK_EXCLAMATION = 0x30;  // MB_OK | MB_ICONEXCLAMATION: a failure

// Tray icon operations.
constexpr std::int32_t UI_TRAY_ADD = 0;     // NIM_ADD
constexpr std::int32_t UI_TRAY_DELETE = 2;  // NIM_DELETE

enum UiEventKind : std::int32_t {
    UI_EVENT_CREATE,       // the main window is being made; its controls do not exist yet
    UI_EVENT_INIT,         // a dialog's initialisation; its controls exist, it is not shown yet
    UI_EVENT_COMMAND,      // a button, a menu item, Esc (id 2) or a control: id, notification
    UI_EVENT_NOTIFY,       // a list view's notification: id, notification
    UI_EVENT_APP_COMMAND,  // WM_APP_COMMAND: code, high, argument
    UI_EVENT_TRAY,         // WM_TRAY_NOTIFY: argument is the mouse message
    UI_EVENT_ACTIVATE,     // the application was activated (argument 1) or deactivated (0)
    UI_EVENT_CLOSE,        // a close request
    UI_EVENT_DESTROY,      // the window is being destroyed
};

struct UiEvent {
    UiEventKind kind;
    std::int32_t id;            // COMMAND, NOTIFY: the control or menu item
    std::int32_t notification;  // COMMAND, NOTIFY: what happened (UI_BUTTON_CLICKED, ...)
    std::int32_t code;          // APP_COMMAND: the low 16 bits of the first parameter
    std::int32_t high;          // APP_COMMAND: the high 16 bits of the first parameter
    std::int32_t argument;      // APP_COMMAND: the second parameter; TRAY: the mouse message;
                                // ACTIVATE: 1 or 0
};

// The logic of one window or dialog. Answers 1 when it handled the event and 0 when the host's
// default processing should run (for a notification: also when it handled it and the default
// must run as well). For UI_EVENT_CREATE it answers 0 to accept the window and -1 to refuse it.
using UiHandler = std::int32_t (*)(UiWindow *window, const UiEvent *event);

// Makes `host` the current host; null restores the operating system's. Tests only, before any
// window exists.
void ui_use_host(const UiHost *host);

// ---- The program and its main window

// Looks for the main window of another running instance; when there is one, shows it in its
// current size and position, brings it to the front and answers true.
bool ui_find_previous_instance();
// Makes the list views available (InitCommonControls).
void ui_init_common_controls();
// Registers the main window's class with `handler` as its logic. The class atom, 0 on failure.
std::int32_t ui_register_main_window_class(UiHandler handler);
// Makes the main window from template "NORVEX" with the registered class. Its handler gets
// UI_EVENT_CREATE during this call; when that refuses, it also gets UI_EVENT_DESTROY, and the
// answer is null (as when the host could not make the window at all).
[[nodiscard]] UiWindow *ui_create_main_window();
// Runs the user-interface thread's message loop until ui_post_quit; answers the quit code.
std::int32_t ui_run_message_loop();
// Ends the message loop with `code` once the current message is handled.
void ui_post_quit(std::int32_t code);
// Destroys a window; its handler gets UI_EVENT_DESTROY during this call.
void ui_destroy_window(UiWindow *window);

// Shows (true) or hides (false) a window in its current size and position.
void ui_show(UiWindow *window, bool visible);
// Makes the window the foreground window, also while it is hidden.
void ui_set_foreground(UiWindow *window);
// Sends the window a close request: its handler gets UI_EVENT_CLOSE during this call.
void ui_close_request(UiWindow *window);

// Sends WM_APP_COMMAND to the window itself: its handler runs during this call. Answers the
// handler's answer (1 handled, 0 not).
std::int32_t ui_send_command(UiWindow *window, std::int32_t code, std::int32_t high,
                             std::int32_t argument);
// Queues WM_APP_COMMAND (code, argument) for the window's thread without waiting. 0 when queued,
// or when there is nobody to tell (window null, closed or destroyed); -1 when the queue refused it
// for now (the caller may try again). Any thread.
int ui_post_command(UiWindow *window, std::int32_t code, std::int32_t argument);

// ---- Texts, message boxes, menus, the cursor and the tray

// Copies string `id` of the string table into buffer (at most size - 1 bytes and a terminator).
// Its length, 0 when the table has no such string (buffer then holds an empty text).
std::int32_t ui_load_string(std::int32_t id, char *buffer, std::int32_t size);
// Shows a modal message box owned by `owner` (null: none) and answers the button pressed
// (UI_ANSWER_*); -1 when no box could be shown.
std::int32_t ui_message_box(UiWindow *owner, const char *text, const char *caption,
                            std::uint32_t style);
// Pops up the first popup of menu resource `menu_name` with its top-left corner at the screen
// point, owned by `owner`; the chosen item reaches the owner later as UI_EVENT_COMMAND with the
// item's id. -1 when the menu cannot be loaded (nothing is shown).
int ui_popup_menu(UiWindow *owner, const char *menu_name, std::int32_t x, std::int32_t y);
// The mouse cursor's screen position.
void ui_cursor_position(std::int32_t *x, std::int32_t *y);
// Loads icon resource `name` at size x size pixels. Null when it cannot be loaded.
[[nodiscard]] UiIcon *ui_load_icon(const char *name, std::int32_t size);
void ui_destroy_icon(UiIcon *icon);
// Adds (UI_TRAY_ADD) or deletes (UI_TRAY_DELETE) the tray icon `id` of `window`, whose mouse
// messages come back as UI_EVENT_TRAY. icon and tip may be null; the tip is cut to 63 characters.
// The host keeps its own copy of the icon. Answers the platform's answer (non-zero: done).
std::int32_t ui_tray_icon(UiWindow *window, std::int32_t operation, std::int32_t id, UiIcon *icon,
                          const char *tip);

// ---- Dialogs

// Runs the dialog of template `template_name` modally, owned by `owner`; `handler` is its logic
// (it gets UI_EVENT_INIT first). Answers the result given to ui_end_dialog, -1 when the dialog
// could not be made.
std::int32_t ui_run_dialog(UiWindow *owner, const char *template_name, UiHandler handler);
// Ends a modal dialog with `result` once the current event is handled.
void ui_end_dialog(UiWindow *dialog, std::int32_t result);
// Sets the caption of a window or dialog.
void ui_set_title(UiWindow *window, const char *text);

// ---- Controls, by id

void ui_set_text(UiWindow *window, std::int32_t id, const char *text);
// Copies the control's text into buffer (at most size - 1 bytes and a terminator); its length.
std::int32_t ui_get_text(UiWindow *window, std::int32_t id, char *buffer, std::int32_t size);
void ui_enable(UiWindow *window, std::int32_t id, bool enabled);
void ui_set_check(UiWindow *window, std::int32_t id, bool checked);
bool ui_get_check(UiWindow *window, std::int32_t id);

// Combo boxes (drop-down lists). Add answers the new item's index, -1 on failure; select answers
// -1 (and leaves no item selected) when there is no item `index`; selection is -1 when none.
std::int32_t ui_combo_add(UiWindow *window, std::int32_t id, const char *text);
std::int32_t ui_combo_select(UiWindow *window, std::int32_t id, std::int32_t index);
std::int32_t ui_combo_selection(UiWindow *window, std::int32_t id);

// List boxes. Delete answers -1 when there is no line `index`; selection is -1 when none.
void ui_list_clear(UiWindow *window, std::int32_t id);
std::int32_t ui_list_add(UiWindow *window, std::int32_t id, const char *text);
std::int32_t ui_list_delete(UiWindow *window, std::int32_t id, std::int32_t index);
std::int32_t ui_list_count(UiWindow *window, std::int32_t id);
std::int32_t ui_list_selection(UiWindow *window, std::int32_t id);
void ui_list_select(UiWindow *window, std::int32_t id, std::int32_t index);

// List views in report view (rows and columns of texts).
// The width of the list's client area in pixels.
std::int32_t ui_view_client_width(UiWindow *window, std::int32_t id);
// The list's outer rectangle in screen coordinates.
void ui_view_screen_rect(UiWindow *window, std::int32_t id, std::int32_t *left, std::int32_t *top,
                         std::int32_t *right, std::int32_t *bottom);
void ui_view_add_column(UiWindow *window, std::int32_t id, std::int32_t column,
                        std::int32_t width, const char *title);
void ui_view_clear(UiWindow *window, std::int32_t id);
// Inserts a row at `row` with `text` in column 0; the row's index, -1 on failure.
std::int32_t ui_view_insert_row(UiWindow *window, std::int32_t id, std::int32_t row,
                                const char *text);
void ui_view_set_cell(UiWindow *window, std::int32_t id, std::int32_t row, std::int32_t column,
                      const char *text);
std::int32_t ui_view_row_count(UiWindow *window, std::int32_t id);
// The row at (x, y), a point in the list's client coordinates; -1 when no row is there.
std::int32_t ui_view_hit_test(UiWindow *window, std::int32_t id, std::int32_t x, std::int32_t y);
// The lowest selected row, -1 when none is selected.
std::int32_t ui_view_first_selected(UiWindow *window, std::int32_t id);
// Selects row `row` (and only it); its item-changed notification arrives during this call.
void ui_view_select(UiWindow *window, std::int32_t id, std::int32_t row);

// ---- The command queue (the Linux program's stand-in for the main window)

// A window that is only a command queue. Null on failure.
[[nodiscard]] UiWindow *ui_queue_create();
// Takes the oldest command, waiting up to timeout_ms. 0 with *code and *argument set, -1 when
// none came.
int ui_queue_next(UiWindow *window, std::uint32_t timeout_ms, std::int32_t *code,
                  std::int32_t *argument);
// Closes the queue: later posts are accepted and dropped. The record itself stays valid until
// ui_queue_destroy, so a worker that still holds the pointer never touches freed memory.
void ui_queue_close(UiWindow *window);
void ui_queue_destroy(UiWindow *window);
