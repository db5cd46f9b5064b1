// POSIX threads behind the thread contract. A held thread waits on its own condition variable
// until released; the record is freed by whichever of the thread and its owner lets go last.
#include "platform/thread.h"

#include <pthread.h>

#include <new>

#include "platform/fault.h"
#include "platform/posix/posix_time.h"

struct Thread {
    pthread_t id;
    pthread_mutex_t lock;
    pthread_cond_t changed;  // held -> released, running -> ended
    ThreadEntry entry;
    void *arg;
    int held;        // under lock
    int ended;       // under lock
    int joined;      // pthread_join done (or detached); under lock
    int references;  // the owner and the running thread; under lock
    std::uint32_t exit_code;
};

static void thread_unreference(Thread *thread) {
    pthread_mutex_lock(&thread->lock);
    int left = --thread->references;
    pthread_mutex_unlock(&thread->lock);
    if (left == 0) {
        pthread_cond_destroy(&thread->changed);
        pthread_mutex_destroy(&thread->lock);
        delete thread;
    }
}

static void *thread_trampoline(void *param) {
    Thread *thread = static_cast<Thread *>(param);
    pthread_mutex_lock(&thread->lock);
    while (thread->held) pthread_cond_wait(&thread->changed, &thread->lock);
    pthread_mutex_unlock(&thread->lock);

    std::uint32_t code = thread->entry(thread->arg);

    pthread_mutex_lock(&thread->lock);
    thread->exit_code = code;
    thread->ended = 1;
    pthread_cond_broadcast(&thread->changed);
    pthread_mutex_unlock(&thread->lock);
    thread_unreference(thread);
    return nullptr;
}

Thread *thread_start(ThreadEntry entry, void *arg, int held) {
    if (platform_fault_fires()) return nullptr;
    Thread *thread = new (std::nothrow) Thread{};
    if (thread == nullptr) return nullptr;
    thread->entry = entry;
    thread->arg = arg;
    thread->held = held ? 1 : 0;
    thread->references = 2;
    pthread_mutex_init(&thread->lock, nullptr);
    posix_cond_init_monotonic(&thread->changed);
    if (pthread_create(&thread->id, nullptr, thread_trampoline, thread) != 0) {
        pthread_cond_destroy(&thread->changed);
        pthread_mutex_destroy(&thread->lock);
        delete thread;
        return nullptr;
    }
    return thread;
}

int thread_release(Thread *thread) {
    pthread_mutex_lock(&thread->lock);
    int was_held = thread->held;
    thread->held = 0;
    pthread_cond_broadcast(&thread->changed);
    pthread_mutex_unlock(&thread->lock);
    return was_held ? 0 : -1;
}

int thread_join(Thread *thread, std::uint32_t timeout_ms) {
    timespec deadline = posix_deadline_after(timeout_ms);
    pthread_mutex_lock(&thread->lock);
    while (!thread->ended) {
        if (timeout_ms == WAIT_FOREVER_MS) {
            pthread_cond_wait(&thread->changed, &thread->lock);
        } else if (pthread_cond_timedwait(&thread->changed, &thread->lock, &deadline) != 0 &&
                   !thread->ended) {
            pthread_mutex_unlock(&thread->lock);
            return -1;
        }
    }
    // The entry has returned; reap the thread so that it is gone, not only finished.
    int reap = !thread->joined;
    thread->joined = 1;
    pthread_mutex_unlock(&thread->lock);
    if (reap) pthread_join(thread->id, nullptr);
    return 0;
}

int thread_exit_code(Thread *thread, std::uint32_t *code) {
    pthread_mutex_lock(&thread->lock);
    int ended = thread->ended;
    if (ended) *code = thread->exit_code;
    pthread_mutex_unlock(&thread->lock);
    return ended ? 0 : -1;
}

void thread_close(Thread *thread) {
    if (thread == nullptr) return;
    pthread_mutex_lock(&thread->lock);
    thread->held = 0;
    pthread_cond_broadcast(&thread->changed);
    int detach = !thread->joined;
    thread->joined = 1;
    pthread_mutex_unlock(&thread->lock);
    if (detach) pthread_detach(thread->id);
    thread_unreference(thread);
}
