// The command queue that stands in for the main window's message queue until the windowed front
// end exists. Bounded like a window's queue: a full queue refuses, and the poster tries again.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>

#include "platform/ui.h"

namespace {
constexpr std::size_t QUEUE_LIMIT = 10000;  // the default limit of a Windows message queue

struct Command {
    std::int32_t code;
    std::int32_t param;
};
}  // namespace

struct UiWindow {
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<Command> commands;  // under lock
    bool closed = false;           // under lock
};

int ui_post_command(UiWindow *window, std::int32_t code, std::int32_t param) {
    if (window == nullptr) return 0;
    std::lock_guard<std::mutex> hold(window->lock);
    if (window->closed) return 0;
    if (window->commands.size() >= QUEUE_LIMIT) return -1;
    window->commands.push_back(Command{code, param});
    window->arrived.notify_one();
    return 0;
}

UiWindow *ui_queue_create() { return new (std::nothrow) UiWindow(); }

int ui_queue_next(UiWindow *window, std::uint32_t timeout_ms, std::int32_t *code,
                  std::int32_t *param) {
    std::unique_lock<std::mutex> hold(window->lock);
    if (!window->arrived.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                                  [window] { return !window->commands.empty(); })) {
        return -1;
    }
    *code = window->commands.front().code;
    *param = window->commands.front().param;
    window->commands.pop_front();
    return 0;
}

void ui_queue_close(UiWindow *window) {
    if (window == nullptr) return;
    std::lock_guard<std::mutex> hold(window->lock);
    window->closed = true;
    window->commands.clear();
}

void ui_queue_destroy(UiWindow *window) { delete window; }
