// The in-process gateway under conditions that only Linux lets a test make: the process out of
// file descriptors while a caller waits to be accepted; and what the kernel shows of an accepted
// caller's socket.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <vector>

#include "platform/faults.h"
#include "support/gateway_fixture.h"
#include "support/loopback.h"

namespace {

const std::string GREETING = "*** CONNECT NORVEX\r\n";

class OutOfDescriptors : public GatewayTest {
protected:
    void SetUp() override {
        GatewayTest::SetUp();
        platform_fault_exempt_thread(1);  // the test's own calls stay out of the count
    }
    void TearDown() override {
        release_descriptors();
        platform_fault_exempt_thread(0);
        GatewayTest::TearDown();
    }
    // Takes every descriptor but `spare` (under a lowered limit, so that it does not take long).
    void exhaust_descriptors(int spare) {
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved_limit), 0);
        int highest = 0;
        for (int fd = 0; fd < 4096; ++fd) {
            if (fcntl(fd, F_GETFD) != -1) highest = fd;
        }
        rlimit lowered = saved_limit;
        lowered.rlim_cur = static_cast<rlim_t>(highest + 64);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
        limited = true;
        for (;;) {
            int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0) break;
            fillers.push_back(fd);
        }
        ASSERT_GE(fillers.size(), static_cast<std::size_t>(spare));
        for (int i = 0; i < spare; ++i) {
            close(fillers.back());
            fillers.pop_back();
        }
    }
    void release_descriptors() {
        for (int fd : fillers) close(fd);
        fillers.clear();
        if (limited) setrlimit(RLIMIT_NOFILE, &saved_limit);
        limited = false;
    }

    std::vector<int> fillers;
    rlimit saved_limit{};
    bool limited = false;
};

// A caller waits in the backlog while accepting fails for want of descriptors: the listener backs
// off instead of spinning, and serves the caller by itself once descriptors are free again.
TEST_F(OutOfDescriptors, TheListenerBacksOffAndRecovers) {
    add_port("SIMX1");
    start_server();
    exhaust_descriptors(1);
    TestCaller caller(port);  // takes the last descriptor; the gateway has none to accept with
    ASSERT_NE(caller.socket, NET_NO_SOCKET);
    clock_sleep_ms(500);  // the listener meets the failing accept
    std::int64_t before = platform_calls_counted();
    clock_sleep_ms(2000);
    std::int64_t calls = platform_calls_counted() - before;
    EXPECT_LT(calls, 40) << "the listener went round " << calls << " times in 2 s";

    release_descriptors();
    EXPECT_TRUE(caller.read_until(GREETING, 15000)) << caller.received;
}

// Linux reports every keepalive value of a socket: an accepted caller is probed after a minute of
// silence and given up about a minute later.
TEST(AcceptedSocket, HasKeepaliveWithEveryValueSet) {
    LoopbackPair pair;
    NetKeepalive keepalive{};
    ASSERT_EQ(net_keepalive_of(pair.gateway, &keepalive), 0);
    EXPECT_EQ(keepalive.on, 1);
    EXPECT_EQ(keepalive.idle_s, 60);
    EXPECT_EQ(keepalive.interval_s, 6);
    EXPECT_EQ(keepalive.count, 10);
}

}  // namespace
