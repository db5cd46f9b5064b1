// The Windows program's entry and its message boxes: single instance, version text, the main
// window's class and creation, the message loop.
#pragma once

#include <cstdint>

struct UiWindow;

// The start-up sequence: raises a running instance and ends, or makes the main window and runs
// the message loop until the operator confirms Exit. The exit code (always 0). UI thread.
std::int32_t program_main();

// Shows string `id` of the string table in a message box with the caption "NORVEX", owned by
// `owner` (null: none), in `style`; a "%d" in the text is filled with `number`, a missing string
// becomes "can not load string resource(<id>).". Answers the button pressed. UI thread.
std::int32_t show_resource_message(UiWindow *owner, std::int32_t id, std::uint32_t style,
                                   std::int32_t number = 0);
