// The main window: its status list of ports and callers, the tray icon and its menu, the line
// menu's forced disconnect, the buttons that open the settings dialogs, and the steps of its
// creation, closing and destruction (loading the settings, starting and stopping the server).
#pragma once

#include <cstdint>

#include "gateway/port_allocation.h"  // CMD_REFRESH_STATUS, which workers post

struct Thread;
struct UiEvent;
struct UiWindow;

// The main window's command codes (WM_APP_COMMAND, low word), sent by the window to itself;
// CMD_REFRESH_STATUS is also posted by connection threads.
constexpr std::int32_t CMD_EXIT = 0;
constexpr std::int32_t CMD_HIDE = 1;
constexpr std::int32_t CMD_SHOW = 2;
constexpr std::int32_t CMD_TRAY_MENU = 3;
constexpr std::int32_t CMD_LINE_SETUP = 4;
static_assert(CMD_REFRESH_STATUS == 5);
constexpr std::int32_t CMD_OPTIONS = 6;
constexpr std::int32_t CMD_INIT_COLUMNS = 7;
constexpr std::int32_t CMD_ABOUT = 8;
constexpr std::int32_t CMD_FORCE_DISCONNECT = 9;

// 0 while a dialog opened from the main window runs: the tray menu does not open then. UI thread.
extern std::int32_t tray_menu_enabled;
// The status-list row that the last right click hit; the row the forced disconnect acts on.
extern std::int32_t line_menu_row;
// The running server, null when none runs. UI thread.
extern Thread *server_handle;

// The main window's logic, registered with its class. UI thread.
std::int32_t main_window_procedure(UiWindow *window, const UiEvent *event);
