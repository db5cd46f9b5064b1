// The settings dialogs' logic, run modally by the main window (port list, options, about box) and
// by each other (port settings from the port list, permissions from the port settings).
#pragma once

#include <cstdint>

struct UiEvent;
struct UiWindow;

// Port list dialog "SETUP". Result 0.
std::int32_t setup_dialog_procedure(UiWindow *dialog, const UiEvent *event);
// Options dialog "OPTION". Result 0.
std::int32_t option_dialog_procedure(UiWindow *dialog, const UiEvent *event);
// About box "VERSIONDLG". Result 0.
std::int32_t about_dialog_procedure(UiWindow *dialog, const UiEvent *event);
