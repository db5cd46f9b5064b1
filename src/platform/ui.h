// The user-interface thread as workers see it: a queue of commands that never makes the posting
// thread wait. Until the windowed front end exists it is a plain command queue that the program
// drains.
#pragma once

#include <cstdint>

struct UiWindow;  // the main window; the target of worker notices

// Queues (code, param) for the window's thread. 0 when queued, or when there is no window to tell
// (window null, or closed); -1 when the queue refused it for now (the caller may try again).
int ui_post_command(UiWindow *window, std::int32_t code, std::int32_t param);

// A window that is only a command queue (the headless program and tests). Null on failure.
[[nodiscard]] UiWindow *ui_queue_create();
// Takes the oldest command, waiting up to timeout_ms. 0 with *code and *param set, -1 when none came.
int ui_queue_next(UiWindow *window, std::uint32_t timeout_ms, std::int32_t *code, std::int32_t *param);
// Closes the queue: later posts are accepted and dropped. The record itself stays valid until
// ui_queue_destroy, so a worker that still holds the pointer never touches freed memory.
void ui_queue_close(UiWindow *window);
void ui_queue_destroy(UiWindow *window);
