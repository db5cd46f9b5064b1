// Binary semaphore and auto-reset event for Linux, on a mutex and a monotonic condition variable.
#include "platform/sync.h"

#include <pthread.h>

#include <new>

#include "platform/fault.h"
#include "platform/posix/posix_time.h"
#include "platform/thread.h"

struct Semaphore {
    pthread_mutex_t lock;
    pthread_cond_t freed;
    int count;  // 0 taken, 1 free
};

struct Event {
    pthread_mutex_t lock;
    pthread_cond_t signalled;
    int set;
};

// Waits on cond until *flag is non-zero or the time-out passes; the caller holds lock.
// 0 when the flag came on, -1 at the time-out.
static int wait_for_flag(pthread_cond_t *cond, pthread_mutex_t *lock, const int *flag,
                         std::uint32_t timeout_ms) {
    timespec deadline = posix_deadline_after(timeout_ms);
    while (!*flag) {
        if (timeout_ms == WAIT_FOREVER_MS) {
            pthread_cond_wait(cond, lock);
        } else if (pthread_cond_timedwait(cond, lock, &deadline) != 0 && !*flag) {
            return -1;
        }
    }
    return 0;
}

Semaphore *semaphore_create() {
    if (platform_fault_fires()) return nullptr;
    Semaphore *semaphore = new (std::nothrow) Semaphore{};
    if (semaphore == nullptr) return nullptr;
    pthread_mutex_init(&semaphore->lock, nullptr);
    posix_cond_init_monotonic(&semaphore->freed);
    semaphore->count = 1;
    return semaphore;
}

int semaphore_wait(Semaphore *semaphore, std::uint32_t timeout_ms) {
    pthread_mutex_lock(&semaphore->lock);
    int result = wait_for_flag(&semaphore->freed, &semaphore->lock, &semaphore->count, timeout_ms);
    if (result == 0) semaphore->count = 0;
    pthread_mutex_unlock(&semaphore->lock);
    return result;
}

int semaphore_release(Semaphore *semaphore) {
    pthread_mutex_lock(&semaphore->lock);
    int was_taken = semaphore->count == 0;
    semaphore->count = 1;
    pthread_cond_signal(&semaphore->freed);
    pthread_mutex_unlock(&semaphore->lock);
    return was_taken ? 0 : -1;
}

void semaphore_close(Semaphore *semaphore) {
    if (semaphore == nullptr) return;
    pthread_cond_destroy(&semaphore->freed);
    pthread_mutex_destroy(&semaphore->lock);
    delete semaphore;
}

Event *event_create() {
    if (platform_fault_fires()) return nullptr;
    Event *event = new (std::nothrow) Event{};
    if (event == nullptr) return nullptr;
    pthread_mutex_init(&event->lock, nullptr);
    posix_cond_init_monotonic(&event->signalled);
    return event;
}

int event_set(Event *event) {
    pthread_mutex_lock(&event->lock);
    event->set = 1;
    pthread_cond_signal(&event->signalled);
    pthread_mutex_unlock(&event->lock);
    return 0;
}

int event_wait(Event *event, std::uint32_t timeout_ms) {
    pthread_mutex_lock(&event->lock);
    int result = wait_for_flag(&event->signalled, &event->lock, &event->set, timeout_ms);
    if (result == 0) event->set = 0;
    pthread_mutex_unlock(&event->lock);
    return result;
}

void event_close(Event *event) {
    if (event == nullptr) return;
    pthread_cond_destroy(&event->signalled);
    pthread_mutex_destroy(&event->lock);
    delete event;
}
