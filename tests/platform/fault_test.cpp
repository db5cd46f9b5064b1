// The fault hook behind the error-path sweeps: the n-th counted call fails whatever its kind, and
// a thread that is exempt neither counts nor fails.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "platform/faults.h"
#include "platform/file.h"
#include "platform/net.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "sim/background.h"
#include "sim/sim_serial.h"
#include "support/test_dir.h"

namespace {

std::uint32_t nothing(void *) { return 0; }

// One call of each kind; each answers whether it succeeded and releases what it made.
std::vector<std::function<bool()>> one_call_of_each_kind() {
    return {
        [] {
            Semaphore *semaphore = semaphore_create();
            semaphore_close(semaphore);
            return semaphore != nullptr;
        },
        [] {
            Event *event = event_create();
            event_close(event);
            return event != nullptr;
        },
        [] {
            Thread *thread = thread_start(nothing, nullptr, 0);
            if (thread == nullptr) return false;
            (void)thread_join(thread, WAIT_FOREVER_MS);
            thread_close(thread);
            return true;
        },
        [] {
            File *file = file_open_append("f.log");
            file_close(file);
            return file != nullptr;
        },
        [] {
            NetSocket socket = net_listen(NET_LOOPBACK_ADDRESS, 0, 1);
            bool made = socket != NET_NO_SOCKET;
            net_close(&socket);
            return made;
        },
        [] {
            ComHandle handle = com_open("SIMFAULT1");
            com_close(handle);
            return handle != COM_INVALID_HANDLE;
        },
    };
}

TEST(Faults, TheNthCountedCallFailsWhateverItsKind) {
    ScopedTestDir dir;
    ASSERT_EQ(net_start(), 0);
    SimSerial *sim = sim_serial_create("SIMFAULT1");
    std::vector<std::function<bool()>> calls = one_call_of_each_kind();
    for (std::size_t n = 1; n <= calls.size() + 1; ++n) {
        SCOPED_TRACE(n);
        std::int64_t before = platform_calls_counted();
        platform_fail_call(static_cast<std::int32_t>(n));
        for (std::size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i](), i + 1 != n) << "call " << i + 1;
        }
        // A thread start counts itself only; the started thread makes no counted call.
        EXPECT_GE(platform_calls_counted() - before, static_cast<std::int64_t>(calls.size()));
    }
    platform_fail_call(0);
    sim_serial_destroy(sim);
    net_stop();
}

TEST(Faults, AnExemptThreadNeitherCountsNorFails) {
    platform_fault_exempt_thread(1);
    std::int64_t before = platform_calls_counted();
    platform_fail_call(1);
    Semaphore *mine = semaphore_create();
    EXPECT_NE(mine, nullptr);
    EXPECT_EQ(platform_calls_counted(), before);
    semaphore_close(mine);

    // Another thread's call is the first counted one, and fails.
    Semaphore *theirs = nullptr;
    Background *other = background_start([&] { theirs = semaphore_create(); });
    ASSERT_TRUE(background_join(other, 10000));
    EXPECT_EQ(theirs, nullptr);
    EXPECT_GE(platform_calls_counted(), before + 1);
    platform_fail_call(0);
    platform_fault_exempt_thread(0);
}

}  // namespace
