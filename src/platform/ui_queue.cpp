// The command queue that stands in for the main window in the Linux program: workers post to it,
// the main thread takes the commands. Bounded like a window's message queue: a full queue refuses,
// and the poster tries again.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>

#include "platform/ui_host.h"

namespace {

constexpr std::size_t QUEUE_LIMIT = 10000;  // the default limit of a Windows message queue

struct Command {
    std::int32_t code;
    std::int32_t argument;
};

struct CommandQueue {
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<Command> commands;  // under lock
    bool closed = false;           // under lock
};

CommandQueue *queue_of(UiWindow *window) { return static_cast<CommandQueue *>(window->data); }

int queue_post(UiWindow *window, std::int32_t code, std::int32_t argument) {
    CommandQueue *queue = queue_of(window);
    std::lock_guard<std::mutex> hold(queue->lock);
    if (queue->closed) return 0;
    if (queue->commands.size() >= QUEUE_LIMIT) return -1;
    queue->commands.push_back(Command{code, argument});
    queue->arrived.notify_one();
    return 0;
}

// A queue is no window: posting is all it does.
constexpr UiHost queue_host = [] {
    UiHost host{};
    host.post_command = queue_post;
    return host;
}();

}  // namespace

UiWindow *ui_queue_create() {
    CommandQueue *queue = new (std::nothrow) CommandQueue();
    if (queue == nullptr) return nullptr;
    UiWindow *window = new (std::nothrow) UiWindow{&queue_host, queue};
    if (window == nullptr) delete queue;
    return window;
}

int ui_queue_next(UiWindow *window, std::uint32_t timeout_ms, std::int32_t *code,
                  std::int32_t *argument) {
    CommandQueue *queue = queue_of(window);
    std::unique_lock<std::mutex> hold(queue->lock);
    if (!queue->arrived.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                                 [queue] { return !queue->commands.empty(); })) {
        return -1;
    }
    *code = queue->commands.front().code;
    *argument = queue->commands.front().argument;
    queue->commands.pop_front();
    return 0;
}

void ui_queue_close(UiWindow *window) {
    if (window == nullptr) return;
    CommandQueue *queue = queue_of(window);
    std::lock_guard<std::mutex> hold(queue->lock);
    queue->closed = true;
    queue->commands.clear();
}

void ui_queue_destroy(UiWindow *window) {
    if (window == nullptr) return;
    delete queue_of(window);
    delete window;
}
