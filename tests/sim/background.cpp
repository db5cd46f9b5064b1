// Test threads over the platform's thread calls.
#include "sim/background.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/thread.h"

struct Background {
    std::function<void()> work;
    std::atomic<int> finished{0};
    Thread *thread = nullptr;
};

static std::uint32_t background_main(void *arg) {
    Background *task = static_cast<Background *>(arg);
    task->work();
    task->finished.store(1);
    return 0;
}

Background *background_start(std::function<void()> work) {
    Background *task = new Background();
    task->work = std::move(work);
    task->thread = thread_start(background_main, task, 0);
    if (task->thread == nullptr) {
        ADD_FAILURE() << "no thread for a background task";
        task->work();
        task->finished.store(1);
    }
    return task;
}

bool background_finished(Background *task) { return task->finished.load() != 0; }

bool background_join(Background *task, std::uint32_t timeout_ms) {
    if (task->thread != nullptr) {
        if (thread_join(task->thread, timeout_ms) != 0) return false;
        thread_close(task->thread);
    }
    delete task;
    return true;
}
