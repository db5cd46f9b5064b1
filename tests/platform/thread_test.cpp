// Threads: held start, release, timed join, exit codes, closing a running or held thread.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace {

struct Probe {
    std::atomic<int> ran{0};
    Event *go = nullptr;  // when set, the thread waits for it before returning
};

std::uint32_t probe_entry(void *arg) {
    Probe *probe = static_cast<Probe *>(arg);
    probe->ran.store(1);
    if (probe->go != nullptr) event_wait(probe->go, WAIT_FOREVER_MS);
    return 42;
}

TEST(Thread, RunsEntryAndReportsExitCode) {
    Probe probe;
    Thread *thread = thread_start(probe_entry, &probe, 0);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(thread_join(thread, 10000), 0);
    std::uint32_t code = 0;
    EXPECT_EQ(thread_exit_code(thread, &code), 0);
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(probe.ran.load(), 1);
    EXPECT_EQ(thread_release(thread), -1);  // never held
    thread_close(thread);
}

TEST(Thread, HeldThreadWaitsForRelease) {
    Probe probe;
    Thread *thread = thread_start(probe_entry, &probe, 1);
    ASSERT_NE(thread, nullptr);
    clock_sleep_ms(150);
    EXPECT_EQ(probe.ran.load(), 0);
    EXPECT_EQ(thread_join(thread, 50), -1);
    std::uint32_t code = 0;
    EXPECT_EQ(thread_exit_code(thread, &code), -1);

    EXPECT_EQ(thread_release(thread), 0);
    EXPECT_EQ(thread_release(thread), -1);  // released once only
    ASSERT_EQ(thread_join(thread, 10000), 0);
    EXPECT_EQ(probe.ran.load(), 1);
    thread_close(thread);
}

TEST(Thread, JoinTimesOutWhileRunningThenSucceeds) {
    Probe probe;
    probe.go = event_create();
    ASSERT_NE(probe.go, nullptr);
    Thread *thread = thread_start(probe_entry, &probe, 0);
    ASSERT_NE(thread, nullptr);

    std::uint32_t start = clock_tick_ms();
    EXPECT_EQ(thread_join(thread, 200), -1);
    std::uint32_t waited = clock_tick_ms() - start;
    EXPECT_GE(waited, 170u);
    EXPECT_LT(waited, 5000u);

    event_set(probe.go);
    EXPECT_EQ(thread_join(thread, 10000), 0);
    EXPECT_EQ(thread_join(thread, 0), 0);  // joining an ended thread again is fine
    thread_close(thread);
    event_close(probe.go);
}

TEST(Thread, ClosingARunningThreadLetsItFinish) {
    // Static: the detached thread may still be returning when the test ends.
    static Probe probe;
    probe.go = event_create();
    ASSERT_NE(probe.go, nullptr);
    Thread *thread = thread_start(probe_entry, &probe, 0);
    ASSERT_NE(thread, nullptr);
    for (int i = 0; i < 500 && probe.ran.load() == 0; ++i) clock_sleep_ms(10);
    thread_close(thread);  // detached while it waits
    event_set(probe.go);
    EXPECT_EQ(probe.ran.load(), 1);
}

TEST(Thread, ClosingAHeldThreadStillRunsAndEndsIt) {
    static std::atomic<int> ran{0};
    ran.store(0);
    Thread *thread = thread_start(
        [](void *) -> std::uint32_t {
            ran.store(1);
            return 0;
        },
        nullptr, 1);
    ASSERT_NE(thread, nullptr);
    thread_close(thread);
    for (int i = 0; i < 500 && ran.load() == 0; ++i) clock_sleep_ms(10);
    EXPECT_EQ(ran.load(), 1);
}

}  // namespace
