// The server's start and stop: listening failures, stopping idle and during calls, a stop held
// up past its limit, and host-name lookup of callers.
#include "gateway/listener.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/gateway_fixture.h"

namespace {

const std::string GREETING = "*** CONNECT NORVEX\r\n";

class Listener : public GatewayTest {};

TEST_F(Listener, StartReportsWhetherItListens) {
    NetSocket taken = net_listen(NET_ANY_ADDRESS, port, 5);
    ASSERT_NE(taken, NET_NO_SOCKET);
    std::int32_t listening = 1;
    Thread *listener = gateway_start(port, &listening);
    ASSERT_NE(listener, nullptr);
    EXPECT_EQ(listening, 0);
    EXPECT_TRUE(gateway_stop(listener));
    net_close(&taken);

    for (std::int32_t bad : {0, -1, 65536}) {
        listener = gateway_start(bad, &listening);
        ASSERT_NE(listener, nullptr);
        EXPECT_EQ(listening, 0) << bad;
        EXPECT_TRUE(gateway_stop(listener));
    }
    EXPECT_TRUE(gateway_stop(nullptr));
}

TEST_F(Listener, IdleStopEndsWithinAboutTwoSeconds) {
    start_server();
    clock_sleep_ms(1500);  // into the listener's idle sleep
    std::uint32_t start = clock_tick_ms();
    EXPECT_TRUE(stop_server());
    EXPECT_LT(clock_tick_ms() - start, 5000u);
}

TEST_F(Listener, StopDuringACallEndsItAsATransferFailure) {
    add_port("SIML1");
    start_server();
    TestCaller caller(port);
    ASSERT_TRUE(caller.read_until(GREETING));
    clock_sleep_ms(200);
    EXPECT_TRUE(stop_server());
    EXPECT_EQ(live_connections(), 0);
    ASSERT_TRUE(wait_log_lines(1));
    EXPECT_EQ(log_reason(log_lines()[0]), "transfer fail");
    EXPECT_TRUE(caller.read_until_closed(5000));
}

// Every wait of a call looks at the stop; what can still hold a call up is a device that never
// acts on a cancel: here a reader's write held back by flow control.
TEST_F(Listener, StopHeldUpPastItsLimitReportsFalseAndFreesNothingInUse) {
    PortSettings settings = make_port("SIML2");
    settings.flow_control = FLOW_RTS_CTS;  // CTS never comes: the caller's bytes are held back
    SimSerial *device = add_port("SIML2", settings);
    start_server();
    TestCaller caller(port);
    ASSERT_TRUE(caller.read_until(GREETING));
    caller.send("held back");
    ASSERT_TRUE(sim_wait_write_held(device, 10000));
    sim_miss_cancels(device, 1000000);

    std::uint32_t start = clock_tick_ms();
    EXPECT_FALSE(stop_server());
    std::uint32_t took = clock_tick_ms() - start;
    EXPECT_GE(took, 14000u);  // the 10 s limit and the 5 s last wait
    EXPECT_LT(took, 30000u);

    // Shutdown goes on as the program does it: the list is cleared under the running call.
    port_list_clear();
    sim_miss_cancels(device, 0);
    ASSERT_TRUE(wait_log_lines(1, 20000));
    EXPECT_EQ(log_reason(log_lines()[0]), "transfer fail");
    EXPECT_TRUE(wait_until([&] { return live_connections() == 0; }, 10000));

    // A new start first waits for the abandoned listener to finish.
    start_server();
    EXPECT_TRUE(stop_server());
}

// A stop while a call is in one of its long waits (the ring, the confirm signals, the disconnect
// wait) or the listener waits for a slow name service: the stop ends them in order, well within
// its limit, with the outcome of a wait that failed.
class StopDuringAWait : public GatewayTest {
protected:
    void stop_ends_it(const char *reason) {
        std::uint32_t start = clock_tick_ms();
        EXPECT_TRUE(stop_server());
        EXPECT_LT(clock_tick_ms() - start, 6000u);
        EXPECT_EQ(live_connections(), 0);
        ASSERT_TRUE(wait_log_lines(1));
        if (reason[0] == '\0') {
            EXPECT_TRUE(log_has_end_time(log_lines()[0])) << log_lines()[0];
        } else {
            EXPECT_EQ(log_reason(log_lines()[0]), reason);
        }
    }
};

TEST_F(StopDuringAWait, TheConfirmSignals) {
    PortSettings settings = make_port("SIML4");
    settings.flow_control = 0;
    settings.confirm_signals = SIGNAL_CD;  // never comes
    settings.connect_timeout_ms = 60000;
    SimSerial *device = add_port("SIML4", settings);
    start_server();
    TestCaller caller(port);
    ASSERT_TRUE(caller.read_until(GREETING));
    ASSERT_TRUE(wait_until([&] { return sim_is_open(device); }, 10000));
    stop_ends_it("connection fail");
}

TEST_F(StopDuringAWait, TheRingOfTheModemEmulator) {
    PortSettings settings = make_port("SIML5");
    settings.flow_control = 0;
    settings.modem_emulation = 1;
    SimSerial *device = add_port("SIML5", settings);  // the equipment never answers
    start_server();
    TestCaller caller(port);
    ASSERT_TRUE(caller.read_until(GREETING));
    ASSERT_TRUE(sim_wait_received(device, "RING", 10000));
    stop_ends_it("connection fail");
}

TEST_F(StopDuringAWait, TheDisconnectWait) {
    PortSettings settings = make_port("SIML6");
    settings.flow_control = 0;
    settings.watch_signals = SIGNAL_CD;  // stays on after the call
    settings.disconnect_timeout_ms = 60000;
    text_set(settings.disconnect_keyword, "END");
    SimSerial *device = add_port("SIML6", settings);
    sim_set_inputs(device, COM_RLSD_ON);
    start_server();
    TestCaller caller(port);
    ASSERT_TRUE(caller.read_until(GREETING));
    ASSERT_TRUE(wait_until([&] { return sim_is_open(device); }, 10000));
    sim_send_text(device, "END");
    ASSERT_TRUE(caller.read_until("END"));  // the relay has ended; the disconnect wait follows
    stop_ends_it("");
}

TEST_F(StopDuringAWait, TheReverseLookup) {
    GlobalOptions options;
    options_get(&options);
    options.resolve_host_names = 1;
    options_set(&options);
    add_port("SIML7");
    start_server();
    net_delay_lookup(60000);
    TestCaller caller(port);
    ASSERT_TRUE(wait_until([] { return net_lookups_delayed() > 0; }, 10000));
    net_delay_lookup(0);
    // The accepted caller goes on by address alone into a flow that stops at once.
    stop_ends_it("initialize fail");
    EXPECT_EQ(log_lines()[0].substr(46), "127.0.0.1");
}

TEST_F(Listener, LooksUpTheCallersNameWhenAsked) {
    char name[NET_FULL_NAME_SIZE] = {};
    if (net_lookup_name(NET_LOOPBACK_ADDRESS, name, sizeof name) != 0) {
        GTEST_SKIP() << "no name for 127.0.0.1";
    }
    std::uint32_t addresses[NET_NAME_ADDRESSES];
    std::int32_t count = 0;
    (void)net_lookup_addresses(name, addresses, NET_NAME_ADDRESSES, &count);
    if (std::find(addresses, addresses + count, NET_LOOPBACK_ADDRESS) == addresses + count) {
        GTEST_SKIP() << name << " does not lead back to 127.0.0.1 here";
    }
    name[NET_HOST_NAME_SIZE - 1] = '\0';
    GlobalOptions options;
    options_get(&options);
    options.resolve_host_names = 1;
    options_set(&options);
    PortSettings settings = make_port("SIML3");
    settings.flow_control = 0;
    settings.permission_rules[0] = host_rule(name, true);  // only callers of that name
    add_port("SIML3", settings);
    start_server();
    {
        TestCaller caller(port);
        ASSERT_TRUE(caller.read_until(GREETING));
        clock_sleep_ms(200);
        EXPECT_EQ(caller.received.find("BUSY"), std::string::npos);
    }
    ASSERT_TRUE(wait_log_lines(1));
    EXPECT_EQ(log_lines()[0].substr(46), std::string("127.0.0.1(") + name + ")");
}

}  // namespace
