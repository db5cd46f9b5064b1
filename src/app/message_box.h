// The program's message boxes: a string-table text chosen by number, caption "NORVEX". Shown by
// the Windows program's shell and by its dialogs alike.
#pragma once

#include <cstdint>

struct UiWindow;

// Shows string `id` of the string table in a message box with the caption "NORVEX", owned by
// `owner` (null: none), in `style`; a "%d" in the text is filled with `number`, a missing string
// becomes "can not load string resource(<id>).". Answers the button pressed. UI thread.
std::int32_t show_resource_message(UiWindow *owner, std::int32_t id, std::uint32_t style,
                                   std::int32_t number = 0);
