// Semaphore as a mutex, and the auto-reset event.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace {

struct Counter {
    Semaphore *lock;
    long value;  // guarded by lock only: a lost update shows as a wrong total
};

std::uint32_t add_many(void *arg) {
    Counter *counter = static_cast<Counter *>(arg);
    for (int i = 0; i < 20000; ++i) {
        semaphore_wait(counter->lock, WAIT_FOREVER_MS);
        long seen = counter->value;
        counter->value = seen + 1;
        semaphore_release(counter->lock);
    }
    return 0;
}

TEST(Semaphore, ExcludesOtherThreads) {
    Counter counter{semaphore_create(), 0};
    ASSERT_NE(counter.lock, nullptr);
    Thread *threads[4];
    for (Thread *&thread : threads) {
        thread = thread_start(add_many, &counter, 0);
        ASSERT_NE(thread, nullptr);
    }
    for (Thread *thread : threads) {
        EXPECT_EQ(thread_join(thread, 60000), 0);
        thread_close(thread);
    }
    EXPECT_EQ(counter.value, 4 * 20000);
    semaphore_close(counter.lock);
}

TEST(Semaphore, CountsToOneOnly) {
    Semaphore *semaphore = semaphore_create();
    ASSERT_NE(semaphore, nullptr);
    EXPECT_EQ(semaphore_release(semaphore), -1);  // already free: stays at its maximum
    EXPECT_EQ(semaphore_wait(semaphore, 0), 0);
    std::uint32_t start = clock_tick_ms();
    EXPECT_EQ(semaphore_wait(semaphore, 150), -1);  // taken: one count only
    EXPECT_GE(clock_tick_ms() - start, 115u);
    EXPECT_EQ(semaphore_release(semaphore), 0);
    EXPECT_EQ(semaphore_wait(semaphore, 0), 0);
    EXPECT_EQ(semaphore_release(semaphore), 0);
    semaphore_close(semaphore);
    semaphore_close(nullptr);
}

TEST(Event, AutoResetsAfterOneWait) {
    Event *event = event_create();
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event_wait(event, 0), -1);
    event_set(event);
    event_set(event);  // signals do not add up
    EXPECT_EQ(event_wait(event, 0), 0);
    std::uint32_t start = clock_tick_ms();
    EXPECT_EQ(event_wait(event, 120), -1);
    EXPECT_GE(clock_tick_ms() - start, 85u);  // the tick moves in coarse steps
    event_close(event);
    event_close(nullptr);
}

TEST(Event, WakesAWaitingThread) {
    struct Pair {
        Event *event;
        std::atomic<int> woke{0};
    } pair{event_create()};
    ASSERT_NE(pair.event, nullptr);
    Thread *thread = thread_start(
        [](void *arg) -> std::uint32_t {
            Pair *p = static_cast<Pair *>(arg);
            if (event_wait(p->event, 30000) == 0) p->woke.store(1);
            return 0;
        },
        &pair, 0);
    ASSERT_NE(thread, nullptr);
    clock_sleep_ms(50);
    EXPECT_EQ(pair.woke.load(), 0);
    event_set(pair.event);
    EXPECT_EQ(thread_join(thread, 10000), 0);
    EXPECT_EQ(pair.woke.load(), 1);
    thread_close(thread);
    event_close(pair.event);
}

}  // namespace
