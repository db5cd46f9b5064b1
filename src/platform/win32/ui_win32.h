// What the Win32 ui host's files share: the record behind each UiWindow, the program's instance
// and the control operations (ui_controls.cpp) that the host's table in ui.cpp lists.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "platform/ui_host.h"

// One real window or dialog. The main window's record is never freed: workers may still post to it
// after a forced server stop, and then find it marked destroyed. A modal dialog's record lives on
// the stack of the run that made it.
struct Win32Window {
    UiWindow window;                      // what the logic holds: {&ui_os_host, this}
    HWND hwnd;                            // set at the window's first message, before anybody
                                          // else learns of the record; never changes afterwards
    UiHandler handler;                    // the logic
    bool destroy_delivered;               // UI thread: UI_EVENT_DESTROY went out once
    WPARAM held_double_click;             // UI thread: a list box's double click waiting for
                                          // the mouse button to be let go (0: none)
    std::atomic<std::int32_t> destroyed;  // set by the UI thread at the window's very end; read
                                          // by posting threads
};

// The window handle behind a UiWindow of this host.
HWND ui_win32_hwnd(UiWindow *window);

// Stores the program's instance handle; WinMain calls it before anything else. Every string, menu,
// icon and dialog resource is loaded through it. Without a call (the test programs) the module of
// the running file serves.
void ui_win32_set_instance(HINSTANCE instance);

// The controls of a window or dialog, by id (ui_controls.cpp). UI thread.
void win32_set_text(UiWindow *window, std::int32_t id, const char *text);
std::int32_t win32_get_text(UiWindow *window, std::int32_t id, char *buffer, std::int32_t size);
void win32_enable(UiWindow *window, std::int32_t id, bool enabled);
void win32_set_check(UiWindow *window, std::int32_t id, bool checked);
bool win32_get_check(UiWindow *window, std::int32_t id);
std::int32_t win32_combo_add(UiWindow *window, std::int32_t id, const char *text);
std::int32_t win32_combo_select(UiWindow *window, std::int32_t id, std::int32_t index);
std::int32_t win32_combo_selection(UiWindow *window, std::int32_t id);
void win32_list_clear(UiWindow *window, std::int32_t id);
std::int32_t win32_list_add(UiWindow *window, std::int32_t id, const char *text);
std::int32_t win32_list_delete(UiWindow *window, std::int32_t id, std::int32_t index);
std::int32_t win32_list_count(UiWindow *window, std::int32_t id);
std::int32_t win32_list_selection(UiWindow *window, std::int32_t id);
void win32_list_select(UiWindow *window, std::int32_t id, std::int32_t index);
std::int32_t win32_view_client_width(UiWindow *window, std::int32_t id);
void win32_view_screen_rect(UiWindow *window, std::int32_t id, std::int32_t *left,
                            std::int32_t *top, std::int32_t *right, std::int32_t *bottom);
void win32_view_add_column(UiWindow *window, std::int32_t id, std::int32_t column,
                           std::int32_t width, const char *title);
void win32_view_clear(UiWindow *window, std::int32_t id);
std::int32_t win32_view_insert_row(UiWindow *window, std::int32_t id, std::int32_t row,
                                   const char *text);
void win32_view_set_cell(UiWindow *window, std::int32_t id, std::int32_t row, std::int32_t column,
                         const char *text);
std::int32_t win32_view_row_count(UiWindow *window, std::int32_t id);
std::int32_t win32_view_hit_test(UiWindow *window, std::int32_t id, std::int32_t x,
                                 std::int32_t y);
std::int32_t win32_view_first_selected(UiWindow *window, std::int32_t id);
void win32_view_select(UiWindow *window, std::int32_t id, std::int32_t row);
