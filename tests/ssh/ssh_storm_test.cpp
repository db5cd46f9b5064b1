// A storm of SSH callers mixed with telnet callers against the in-process gateway with four ports
// on simulated devices, for a bounded time (NORVEX_STORM_SECONDS, at most 30 s here): SSH callers
// with a key that stay and exchange data, that leave mid-call or before logging in, and without a
// key; telnet callers that stay or leave at once. Afterwards every port is free, no connection or
// thread is left, every connection has its log line, and both kinds get a normal call again.
// Runs alone (RUN_SERIAL): it uses the whole machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "platform/process.h"
#include "sim/background.h"
#include "ssh/ssh_test_client.h"

namespace {

constexpr int PORTS = 4;
constexpr int CALLERS = 12;
const std::string CONNECTED = "connected\r\n";
const std::string BUSY = "*** BUSY\r\n";

std::uint32_t storm_seconds() {
    const char *text = std::getenv("NORVEX_STORM_SECONDS");
    int seconds = text != nullptr ? std::atoi(text) : 0;
    return std::min<std::uint32_t>(seconds > 0 ? static_cast<std::uint32_t>(seconds) : 30, 30);
}

class SshStorm : public SshGatewayTest {
protected:
    void SetUp() override {
        SshGatewayTest::SetUp();
        GlobalOptions options;
        options_get(&options);
        text_set(options.busy_message, BUSY.c_str());
        options_set(&options);
        for (int i = 1; i <= PORTS; ++i) {
            std::string name = "SIMSTORM" + std::to_string(i);
            PortSettings settings = make_port(name.c_str());
            settings.flow_control = 0;
            text_set(settings.connect_message, CONNECTED.c_str());
            SimSerial *device = add_port(name.c_str(), settings);
            sim_set_handler(device, [](SimSerial *sim, const SimEvent &event) {
                if (event.kind == SIM_EVENT_RECEIVED) sim_send_text(sim, event.data);
            });
        }
        start_with_ssh({key.line});
    }

    bool all_ports_free() {
        for (int i = 0; i < PORTS; ++i) {
            if (port_list_at(i)->busy.load() != 0 || sim_is_open(devices[i])) return false;
        }
        return live_connections() == 0;
    }

    // One caller of the storm; true when it made a TCP connection (which gets a log line).
    bool one_caller(int kind, std::mt19937 &random, std::atomic<int> *calls) {
        switch (kind) {
        case 0: {  // an SSH caller with the key that stays, exchanges data and leaves
            SshTestCaller caller;
            if (!caller.login(ssh_port, key, "storm")) return true;
            if (!caller.open_shell() || !caller.read_until(CONNECTED, 20000)) return true;
            std::string text = "ssh " + std::to_string(random()) + "\r\n";
            if (caller.send(text) && caller.read_until(text, 20000)) calls->fetch_add(1);
            return true;
        }
        case 1: {  // an SSH caller that leaves mid-call
            SshTestCaller caller;
            if (caller.login(ssh_port, key, "storm") && caller.open_shell()) {
                clock_sleep_ms(random() % 200);
            }
            return true;
        }
        case 2: {  // an SSH caller without a key
            SshTestCaller caller;
            (void)caller.login(ssh_port, stranger, "storm");
            return true;
        }
        case 3: {  // a connection to the SSH port that leaves before it logs in
            NetSocket socket = net_connect(NET_LOOPBACK_ADDRESS, ssh_port);
            bool made = socket != NET_NO_SOCKET;
            clock_sleep_ms(random() % 100);
            net_close(&socket);
            return made;
        }
        case 4: {  // a telnet caller that leaves at once
            TestCaller caller(port);
            return caller.socket != NET_NO_SOCKET;
        }
        default: {  // a telnet caller that stays and exchanges data
            TestCaller caller(port);
            if (caller.socket == NET_NO_SOCKET) return false;
            if (caller.read_until(CONNECTED, 20000)) {
                std::string text = "telnet " + std::to_string(random()) + "\r\n";
                caller.send(text);
                if (caller.read_until(text, 20000)) calls->fetch_add(1);
            }
            return true;
        }
        }
    }

    ClientKey key;
    ClientKey stranger;
};

TEST_F(SshStorm, SshCallersMixedInLeaveNothingHeld) {
    SshTestCaller warm_up;
    ASSERT_TRUE(warm_up.login(ssh_port, key, "warm"));
    ASSERT_TRUE(warm_up.open_shell());
    ASSERT_TRUE(warm_up.read_until(CONNECTED));
    warm_up.close();
    ASSERT_TRUE(wait_log_lines(1));
    ASSERT_TRUE(wait_until([&] { return all_ports_free(); }, 20000));
    std::int32_t threads_before = process_thread_count();

    std::atomic<int> connections{0};
    std::atomic<int> calls{0};
    std::uint32_t seconds = storm_seconds();
    std::uint32_t start = clock_tick_ms();
    std::vector<Background *> callers;
    for (int i = 0; i < CALLERS; ++i) {
        callers.push_back(background_start([&, i] {
            std::mt19937 random(2000 + i);
            while (clock_tick_ms() - start < seconds * 1000u) {
                if (one_caller(static_cast<int>(random() % 6), random, &calls)) {
                    connections.fetch_add(1);
                }
            }
        }));
    }
    for (Background *caller : callers) EXPECT_TRUE(background_join(caller, 120000));

    EXPECT_TRUE(wait_until([&] { return all_ports_free(); }, 60000));
    int made = connections.load();
    EXPECT_TRUE(wait_until([&] { return static_cast<int>(log_lines().size()) >= made + 1; }, 60000));
    EXPECT_EQ(static_cast<int>(log_lines().size()), made + 1);
    EXPECT_GT(calls.load(), 0);
    if (threads_before > 0) {
        EXPECT_TRUE(wait_until([&] { return process_thread_count() <= threads_before; }, 30000))
            << process_thread_count() << " threads, " << threads_before << " before";
    }

    SshTestCaller after;
    ASSERT_TRUE(after.login(ssh_port, key, "after"));
    ASSERT_TRUE(after.open_shell());
    EXPECT_TRUE(after.read_until(CONNECTED));
    TestCaller telnet(port);
    EXPECT_TRUE(telnet.read_until(CONNECTED));
    std::printf("SSH storm: %d connections in %u s, %d calls with data\n", made, seconds,
                calls.load());
}

}  // namespace
