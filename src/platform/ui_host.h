// The table under the ui contract: what one host must do. ui.cpp hands every call to the host
// that made the window it names, or to the current host when it names none. The operating
// system's table lives in <os>/ui*.cpp; the command queue (ui_queue.cpp) and the tests' scripted
// host are tables of their own. An entry left null makes its call fail as ui.h documents.
#pragma once

#include <cstdint>

#include "platform/ui.h"

// What every host's window record starts from: the dispatcher needs only the host.
struct UiWindow {
    const UiHost *host;  // the host that made the window; never changes
    void *data;          // the host's own record of the window
};

struct UiHost {
    // The program and its main window.
    bool (*find_previous_instance)();
    void (*init_common_controls)();
    std::int32_t (*register_main_window_class)(UiHandler handler);
    UiWindow *(*create_main_window)();
    std::int32_t (*run_message_loop)();
    void (*post_quit)(std::int32_t code);
    void (*destroy_window)(UiWindow *window);
    void (*show)(UiWindow *window, bool visible);
    void (*set_foreground)(UiWindow *window);
    void (*close_request)(UiWindow *window);
    std::int32_t (*send_command)(UiWindow *window, std::int32_t code, std::int32_t high,
                                 std::int32_t argument);
    int (*post_command)(UiWindow *window, std::int32_t code, std::int32_t argument);

    // Texts, message boxes, menus, the cursor and the tray.
    std::int32_t (*load_string)(std::int32_t id, char *buffer, std::int32_t size);
    std::int32_t (*message_box)(UiWindow *owner, const char *text, const char *caption,
                                std::uint32_t style);
    int (*popup_menu)(UiWindow *owner, const char *menu_name, std::int32_t x, std::int32_t y);
    void (*cursor_position)(std::int32_t *x, std::int32_t *y);
    UiIcon *(*load_icon)(const char *name, std::int32_t size);
    void (*destroy_icon)(UiIcon *icon);
    std::int32_t (*tray_icon)(UiWindow *window, std::int32_t operation, std::int32_t id,
                              UiIcon *icon, const char *tip);

    // Dialogs.
    std::int32_t (*run_dialog)(UiWindow *owner, const char *template_name, UiHandler handler);
    void (*end_dialog)(UiWindow *dialog, std::int32_t result);
    void (*set_title)(UiWindow *window, const char *text);

    // Controls.
    void (*set_text)(UiWindow *window, std::int32_t id, const char *text);
    std::int32_t (*get_text)(UiWindow *window, std::int32_t id, char *buffer, std::int32_t size);
    void (*enable)(UiWindow *window, std::int32_t id, bool enabled);
    void (*set_check)(UiWindow *window, std::int32_t id, bool checked);
    bool (*get_check)(UiWindow *window, std::int32_t id);
    std::int32_t (*combo_add)(UiWindow *window, std::int32_t id, const char *text);
    std::int32_t (*combo_select)(UiWindow *window, std::int32_t id, std::int32_t index);
    std::int32_t (*combo_selection)(UiWindow *window, std::int32_t id);
    void (*list_clear)(UiWindow *window, std::int32_t id);
    std::int32_t (*list_add)(UiWindow *window, std::int32_t id, const char *text);
    std::int32_t (*list_delete)(UiWindow *window, std::int32_t id, std::int32_t index);
    std::int32_t (*list_count)(UiWindow *window, std::int32_t id);
    std::int32_t (*list_selection)(UiWindow *window, std::int32_t id);
    void (*list_select)(UiWindow *window, std::int32_t id, std::int32_t index);
    std::int32_t (*view_client_width)(UiWindow *window, std::int32_t id);
    void (*view_screen_rect)(UiWindow *window, std::int32_t id, std::int32_t *left,
                             std::int32_t *top, std::int32_t *right, std::int32_t *bottom);
    void (*view_add_column)(UiWindow *window, std::int32_t id, std::int32_t column,
                            std::int32_t width, const char *title);
    void (*view_clear)(UiWindow *window, std::int32_t id);
    std::int32_t (*view_insert_row)(UiWindow *window, std::int32_t id, std::int32_t row,
                                    const char *text);
    void (*view_set_cell)(UiWindow *window, std::int32_t id, std::int32_t row,
                          std::int32_t column, const char *text);
    std::int32_t (*view_row_count)(UiWindow *window, std::int32_t id);
    std::int32_t (*view_hit_test)(UiWindow *window, std::int32_t id, std::int32_t x,
                                  std::int32_t y);
    std::int32_t (*view_first_selected)(UiWindow *window, std::int32_t id);
    void (*view_select)(UiWindow *window, std::int32_t id, std::int32_t row);
};

// The operating system's host (all null on Linux, which has no windows).
extern const UiHost ui_os_host;
