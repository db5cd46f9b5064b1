// The in-process gateway under conditions that only Linux lets a test make: the process out of
// file descriptors while a caller waits to be accepted; what the kernel shows of an accepted
// caller's socket; and how soon a quiet call on a pty ends or passes data.
#include <fcntl.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gateway/relay.h"
#include "platform/faults.h"
#include "platform/posix/posix_serial_lines.h"
#include "sim/background.h"
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

std::uint32_t segments_sent(NetSocket socket) {
    tcp_info info{};
    socklen_t length = sizeof info;
    EXPECT_EQ(getsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_INFO, &info, &length), 0);
    return info.tcpi_segs_out;
}

// Pieces sent while held leave together once let go, where the socket sends every piece as a
// segment of its own otherwise.
TEST(AcceptedSocket, HeldSendsLeaveTogether) {
    LoopbackPair pair;
    const Bytes piece(100, 'x');
    std::uint32_t before = segments_sent(pair.gateway);
    ASSERT_EQ(net_hold_sends(pair.gateway, 1), 0);
    for (int i = 0; i < 50; ++i) peer_send(pair.gateway, piece);
    ASSERT_EQ(net_hold_sends(pair.gateway, 0), 0);
    EXPECT_EQ(read_count(pair.peer, 5000).size(), 5000u);
    // The system lets held pieces go after 200 ms by itself: a stall of the test may add some.
    EXPECT_LE(segments_sent(pair.gateway) - before, 10u);
}

// A gateway whose one port is the slave of a pty; the test plays the equipment on the master. The
// relay's quiet look is pushed out of reach, so that what ends a call here woke the relay by
// itself; the bound is generous (each is due within milliseconds) and the figures go to the
// test's output.
class QuietPtyCall : public GatewayTest {
protected:
    static constexpr std::uint32_t REACTS_MS = 3000;

    void SetUp() override {
        GatewayTest::SetUp();
        relay_set_quiet_look_ms(600000);
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        ASSERT_EQ(fcntl(master, F_SETFL, O_NONBLOCK), 0);
        settings = make_port(ptsname(master));
        ASSERT_LT(std::strlen(ptsname(master)), sizeof settings.port_name);
        settings.flow_control = 0;
        settings.raise_signals = 0;
        settings.confirm_signals = 0;
        settings.watch_signals = 0;
        text_set(settings.connect_message, "connected\r\n");
    }
    void TearDown() override {
        GatewayTest::TearDown();
        relay_set_quiet_look_ms(0);
        if (master >= 0) close(master);
    }
    void start() {
        ASSERT_TRUE(port_list_add(&settings));
        start_server();
    }
    // What the gateway wrote to the equipment until `text` came (true) or limit_ms passed.
    bool equipment_reads(const std::string &text, std::uint32_t limit_ms = 10000) {
        return wait_until(
            [&] {
                char buffer[4096];
                ssize_t n = read(master, buffer, sizeof buffer);
                if (n > 0) equipment_received.append(buffer, static_cast<std::size_t>(n));
                return equipment_received.find(text) != std::string::npos;
            },
            limit_ms);
    }
    void equipment_sends(const std::string &text) {
        ASSERT_EQ(write(master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // Time from the trigger until the gateway closes the caller's connection; REACTS_MS or more
    // when it did not.
    template <typename Trigger>
    std::uint32_t time_the_end(TestCaller &caller, const char *what, Trigger trigger) {
        clock_sleep_ms(200);  // the call goes quiet
        std::uint32_t start = clock_tick_ms();
        trigger();
        bool closed = caller.read_until_closed(REACTS_MS);
        std::uint32_t took = closed ? clock_tick_ms() - start : REACTS_MS;
        std::printf("%-32s %u ms\n", what, static_cast<unsigned>(took));
        return took;
    }

    // Whether the gateway's end of the caller's connection holds back what it sends.
    int caller_socket_holds(const TestCaller &caller) {
        sockaddr_in caller_address{};
        socklen_t length = sizeof caller_address;
        if (getsockname(static_cast<int>(caller.socket), reinterpret_cast<sockaddr *>(&caller_address),
                        &length) != 0) {
            return -1;
        }
        for (int fd = 0; fd < 4096; ++fd) {
            sockaddr_in peer{};
            length = sizeof peer;
            if (fd == static_cast<int>(caller.socket) ||
                getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0 ||
                peer.sin_family != AF_INET || peer.sin_port != caller_address.sin_port ||
                peer.sin_addr.s_addr != caller_address.sin_addr.s_addr) {
                continue;
            }
            int corked = 0;
            length = sizeof corked;
            if (getsockopt(fd, IPPROTO_TCP, TCP_CORK, &corked, &length) != 0) return -1;
            return corked;
        }
        return -1;
    }

    int master = -1;
    PortSettings settings{};
    std::string equipment_received;
};

TEST_F(QuietPtyCall, ForcedDisconnectServerStopAndTheCallerLeavingEndItAtOnce) {
    start();
    {
        TestCaller caller(port);
        ASSERT_TRUE(caller.read_until("connected\r\n")) << caller.received;
        EXPECT_LT(time_the_end(caller, "forced disconnect",
                               [&] {
                                   // As the control channel and the main window make it.
                                   port_list_at(0)->disconnect_request.store(1);
                                   relay_wake(port_list_at(0));
                               }),
                  REACTS_MS);
        ASSERT_TRUE(wait_log_lines(1));
        EXPECT_EQ(log_reason(log_lines()[0]), "transfer fail");
    }
    {
        TestCaller caller(port);
        ASSERT_TRUE(caller.read_until("connected\r\n")) << caller.received;
        clock_sleep_ms(200);
        std::uint32_t start = clock_tick_ms();
        caller.close();
        EXPECT_TRUE(wait_log_lines(2, REACTS_MS));
        std::uint32_t took = clock_tick_ms() - start;
        std::printf("%-32s %u ms\n", "caller leaves", static_cast<unsigned>(took));
        EXPECT_TRUE(log_has_end_time(log_lines()[1]));
    }
    {
        TestCaller caller(port);
        ASSERT_TRUE(caller.read_until("connected\r\n")) << caller.received;
        // The stop returns once the listener has seen it too; the call ends before that.
        std::atomic<bool> stopped{false};
        Background *stopping = nullptr;
        EXPECT_LT(time_the_end(caller, "server stop",
                               [&] {
                                   Thread *listener = server;
                                   server = nullptr;
                                   stopping = background_start(
                                       [&, listener] { stopped.store(gateway_stop(listener)); });
                               }),
                  REACTS_MS);
        ASSERT_NE(stopping, nullptr);
        EXPECT_TRUE(background_join(stopping, 30000));
        EXPECT_TRUE(stopped.load());
    }
}

TEST_F(QuietPtyCall, KeywordAndIdleLimitEndItInTime) {
    text_set(settings.disconnect_keyword, "NO CARRIER");
    settings.idle_timeout_s = 1;
    start();
    {
        TestCaller caller(port);
        ASSERT_TRUE(caller.read_until("connected\r\n")) << caller.received;
        EXPECT_LT(time_the_end(caller, "disconnect keyword",
                               [&] { equipment_sends("\r\nNO CARRIER\r\n"); }),
                  REACTS_MS);
        EXPECT_NE(caller.received.find("NO CARRIER"), std::string::npos);
    }
    {
        // The limit runs from the relay's start: after the caller came, before "connected" came.
        std::uint32_t came = clock_tick_ms();
        TestCaller caller(port);
        ASSERT_TRUE(caller.read_until("connected\r\n")) << caller.received;
        std::uint32_t connected = clock_tick_ms();
        EXPECT_TRUE(caller.read_until_closed(1000 + REACTS_MS));
        std::uint32_t end = clock_tick_ms();
        std::printf("%-32s %u ms\n", "idle limit of 1 s", static_cast<unsigned>(end - connected));
        EXPECT_GE(end - came, 1000u);
        EXPECT_LT(end - connected, 1000 + REACTS_MS);
    }
}

TEST_F(QuietPtyCall, DataBothWaysGetsThroughAtOnce) {
    start();
    TestCaller caller(port);
    ASSERT_TRUE(caller.read_until("connected\r\n")) << caller.received;
    for (int round = 0; round < 5; ++round) {
        clock_sleep_ms(200);  // the call goes quiet
        std::string ping = "ping" + std::to_string(round);
        std::uint32_t start = clock_tick_ms();
        equipment_sends(ping);
        EXPECT_TRUE(caller.read_until(ping, REACTS_MS));
        std::uint32_t to_caller = clock_tick_ms() - start;
        clock_sleep_ms(200);
        std::string pong = "pong" + std::to_string(round);
        start = clock_tick_ms();
        caller.send(pong);
        EXPECT_TRUE(equipment_reads(pong, REACTS_MS));
        std::uint32_t to_equipment = clock_tick_ms() - start;
        std::printf("round %d: to the caller %u ms, to the equipment %u ms\n", round,
                    static_cast<unsigned>(to_caller), static_cast<unsigned>(to_equipment));
    }
}

// While the device has more waiting behind a full block, the blocks sent to the caller are held
// back to fill segments; once it has nothing more, nothing is held, whether the data ended on a
// block's end or within one (a message that would otherwise wait for the device).
TEST_F(QuietPtyCall, NothingIsHeldBackOnceTheDeviceIsQuiet) {
    start();
    TestCaller caller(port);
    ASSERT_TRUE(caller.read_until("connected\r\n")) << caller.received;
    for (std::size_t length : {std::size_t{3 * 1024}, std::size_t{1029}, std::size_t{64 * 1024}}) {
        std::string data(length, 'a');
        for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<char>('a' + i % 26);
        data.back() = '!';
        caller.received.clear();
        for (std::size_t done = 0; done < length;) {  // the pty takes less than 64 KiB at a time
            pollfd room{master, POLLOUT, 0};
            ASSERT_EQ(poll(&room, 1, 10000), 1);
            ssize_t n = write(master, data.data() + done, length - done);
            ASSERT_GT(n, 0);
            done += static_cast<std::size_t>(n);
        }
        ASSERT_TRUE(caller.read_until(data, REACTS_MS)) << length;
        EXPECT_TRUE(wait_until([&] { return caller_socket_holds(caller) == 0; }, REACTS_MS))
            << length;
    }
}

// A pty has no modem lines; lent ones stand in for a device that has them, whose lines the relay
// can only look at while it waits.
TEST_F(QuietPtyCall, AWatchedSignalDroppingEndsIt) {
    std::atomic<int> inputs{TIOCM_CAR};
    std::atomic<int> outputs{0};
    posix_serial_lend_lines(&inputs, &outputs);
    settings.watch_signals = SIGNAL_CD;
    start();
    {
        TestCaller caller(port);
        ASSERT_TRUE(caller.read_until("connected\r\n")) << caller.received;
        EXPECT_LT(time_the_end(caller, "watched signal drops", [&] { inputs.store(0); }),
                  REACTS_MS);
    }
    stop_server();
    posix_serial_lend_lines(nullptr, nullptr);
    ASSERT_TRUE(wait_log_lines(1));
    EXPECT_TRUE(log_has_end_time(log_lines()[0]));
}

}  // namespace
