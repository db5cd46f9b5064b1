// The settings dialogs' logic, run modally by the main window (port list, options, about box) and
// by each other (port settings from the port list, permissions from the port settings). Each
// dialog routes its steps through WM_APP_COMMAND sent to itself, with its own codes below. Every
// function here belongs to the user-interface thread.
#pragma once

#include <cstdint>

#include "settings/settings.h"

struct UiEvent;
struct UiWindow;

// Port list dialog "SETUP": its command codes (high word and argument as each says).
constexpr std::int32_t SETUP_CLOSE = 0;           // save and end the dialog
constexpr std::int32_t SETUP_MOVE = 1;            // high 0 up, 1 down; argument: the position
constexpr std::int32_t SETUP_EDIT_PORT = 2;       // argument: the position
constexpr std::int32_t SETUP_ADD_PORT = 3;
constexpr std::int32_t SETUP_DELETE_PORT = 4;     // argument: the position
constexpr std::int32_t SETUP_FILL_LIST = 5;       // rebuild the list box
constexpr std::int32_t SETUP_UPDATE_BUTTONS = 6;  // enable or disable the buttons

// Port settings dialog "PORTSETUP": its one code; the high word is the result (1 OK, 0 cancel).
constexpr std::int32_t PORTSETUP_END = 0;

// Permission list dialog "PERMISSION": its command codes.
constexpr std::int32_t PERM_FILL_LIST = 1;       // rebuild the list from the rules
constexpr std::int32_t PERM_MOVE_UP = 2;         // move the selected rule one place up
constexpr std::int32_t PERM_MOVE_DOWN = 3;       // move the selected rule one place down
constexpr std::int32_t PERM_ADD = 4;             // store the entry in the first free rule
constexpr std::int32_t PERM_DELETE = 5;          // delete the selected rule
constexpr std::int32_t PERM_CHANGE = 6;          // replace the selected rule by the entry
constexpr std::int32_t PERM_STORE_EDIT = 7;      // argument: a rule index; parse the entry into it
constexpr std::int32_t PERM_COMPACT = 8;         // pack the used rules to the front
constexpr std::int32_t PERM_UPDATE_BUTTONS = 9;  // enable or disable the five buttons

// The settings that the port settings and permission dialogs edit: the port list dialog fills it
// (when editing) and applies it after an OK.
extern PortSettings settings_edit_buffer;
// 1 while the port settings dialog adds a port, 0 while it edits settings_edit_buffer.
extern std::int32_t adding_port;

// Port list dialog "SETUP". Result 0; the settings file is written whichever way it closes.
std::int32_t setup_dialog_procedure(UiWindow *dialog, const UiEvent *event);
// Port settings dialog "PORTSETUP", on settings_edit_buffer as adding_port says. Result 1 when
// the user confirmed with OK (the buffer then holds the new settings), 0 otherwise.
std::int32_t port_setup_dialog_procedure(UiWindow *dialog, const UiEvent *event);
// Permission list dialog "PERMISSION": edits the rules of settings_edit_buffer in place. Result 1
// through "閉じる", 0 through Esc; the rules keep every change either way.
std::int32_t permission_dialog_procedure(UiWindow *dialog, const UiEvent *event);
// Options dialog "OPTION": edits the live GlobalOptions and saves the file on OK. Result 0.
std::int32_t option_dialog_procedure(UiWindow *dialog, const UiEvent *event);
// About box "VERSIONDLG". Result 0.
std::int32_t about_dialog_procedure(UiWindow *dialog, const UiEvent *event);

// The lowest selected row of the permission list, -1 when none is selected.
std::int32_t first_selected_row(UiWindow *dialog);
