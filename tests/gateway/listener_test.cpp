// The server's start and stop: listening failures, stopping idle and during calls, a stop held
// up past its limit, host-name lookup of callers (only forward-confirmed names count), and the
// accept back-off.
#include "gateway/listener.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/status.h"
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
    // A lookup of an earlier test in this process may still sleep in its delay.
    std::int32_t delayed_before = net_lookups_delayed();
    net_delay_lookup(60000);
    TestCaller caller(port);
    ASSERT_TRUE(wait_until([&] { return net_lookups_delayed() > delayed_before; }, 10000));
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

// The waits after failed accepts: 50 ms doubling to 1 s, then 1 s for as long as accepts fail, and
// none after a good accept, from which a new failure starts again at 50 ms.
TEST(AcceptBackoff, DoublesUpToOneSecondAndStartsOverAfterAGoodAccept) {
    std::vector<std::uint32_t> waits;
    std::uint32_t wait = 0;
    for (int failure = 0; failure < 9; ++failure) {
        wait = accept_backoff_next(wait, false);
        waits.push_back(wait);
    }
    EXPECT_EQ(waits, (std::vector<std::uint32_t>{50, 100, 200, 400, 800, 1000, 1000, 1000, 1000}));
    for (std::uint32_t before : {0u, 50u, 400u, 1000u}) {
        EXPECT_EQ(accept_backoff_next(before, true), 0u) << before;
    }
    EXPECT_EQ(accept_backoff_next(accept_backoff_next(1000, true), false), 50u);
    // Whatever the wait before, the next one after a failure is a wait, and never over the cap.
    for (std::uint32_t before : {1u, 501u, 999u, 1001u, 0x80000000u, 0xFFFFFFFFu}) {
        std::uint32_t next = accept_backoff_next(before, false);
        EXPECT_GT(next, 0u) << before;
        EXPECT_LE(next, 1000u) << before;
    }
}

// A name service of the test's making: reverse zones that say what their owners like, and forward
// zones that may or may not agree.
std::map<std::uint32_t, std::string> reverse_zone;
std::map<std::string, std::vector<std::uint32_t>> forward_zone;

int zone_lookup_name(std::uint32_t address, char *name, std::int32_t size) {
    auto found = reverse_zone.find(address);
    if (found == reverse_zone.end() || found->second.size() >= static_cast<std::size_t>(size)) {
        return -1;
    }
    std::memcpy(name, found->second.c_str(), found->second.size() + 1);
    return 0;
}

int zone_lookup_addresses(const char *name, std::uint32_t *addresses, std::int32_t capacity,
                          std::int32_t *count) {
    *count = 0;
    auto found = forward_zone.find(name);
    if (found == forward_zone.end()) return -1;
    for (std::uint32_t address : found->second) {
        if (*count < capacity) addresses[(*count)++] = address;
    }
    return 0;
}

const NetNameService ZONES = {zone_lookup_name, zone_lookup_addresses};

constexpr std::uint32_t loopback(std::uint32_t last) { return 0x7F000000u | last; }

class ConfirmedNames : public GatewayTest {
protected:
    void SetUp() override {
        GatewayTest::SetUp();
        net_replace_name_service(&ZONES);
    }
    void TearDown() override {
        GatewayTest::TearDown();  // the server has stopped: no lookup is left running
        net_replace_name_service(nullptr);
        reverse_zone.clear();
        forward_zone.clear();
    }

    // Two ports: SIMN1 admits callers named *.example.com and nobody else, SIMN2 every loopback
    // address.
    void start_named_server() {
        GlobalOptions options;
        options_get(&options);
        options.resolve_host_names = 1;
        options_set(&options);
        PortSettings by_name = make_port("SIMN1");
        by_name.flow_control = 0;
        by_name.permission_rules[0] = host_rule(".example.com", true);
        add_port("SIMN1", by_name);
        PortSettings by_address = make_port("SIMN2");
        by_address.flow_control = 0;
        by_address.permission_rules[0] = address_rule(127, 0, 0, 0, 8, true);
        add_port("SIMN2", by_address);
        start_server();
    }

    // One call from `source`: the port it got and the caller as the status list showed it during
    // the call, and the caller as the access log has it after.
    struct Seen {
        std::string port;
        std::string status;
        std::string logged;
    };
    Seen call_from(std::uint32_t source) {
        Seen seen;
        std::size_t lines = log_lines().size();
        {
            TestCaller caller(port, source);
            EXPECT_TRUE(caller.read_until(GREETING));
            std::vector<PortStatus> ports;
            EXPECT_TRUE(wait_until(
                [&] {
                    status_snapshot(&ports);
                    for (const PortStatus &status : ports) {
                        if (!status.busy) continue;
                        seen.port = status.name;
                        seen.status = status.caller;
                        return true;
                    }
                    return false;
                },
                10000));
        }
        EXPECT_TRUE(wait_log_lines(lines + 1));
        std::vector<std::string> now = log_lines();
        if (now.size() > lines) seen.logged = now[lines].substr(46);
        EXPECT_TRUE(wait_until([this] { return live_connections() == 0; }, 10000));
        return seen;
    }
};

TEST_F(ConfirmedNames, OnlyANameThatLeadsBackToTheCallerCounts) {
    const std::string long_name =  // 71 characters, more than the field holds
        "a23456789.b23456789.c23456789.d23456789.e23456789.f23456789.example.com";
    const std::string cut = long_name.substr(0, 63);
    const std::string other_long = "x" + long_name.substr(1);
    reverse_zone = {{loopback(5), "evil.example.com"},   {loopback(6), "good.example.com"},
                    {loopback(7), "multi.example.com"},  {loopback(8), "gone.example.com"},
                    {loopback(9), long_name},            {loopback(10), other_long}};
    forward_zone = {{"evil.example.com", {0x0A090909u}},  // 10.9.9.9
                    {"good.example.com", {loopback(6)}},
                    {"multi.example.com", {0x0A010101u, loopback(7), 0x0A020202u}},
                    {long_name, {loopback(9)}},
                    {other_long, {0x0A000001u}},
                    {other_long.substr(0, 63), {loopback(10)}}};  // its cut name leads back
    start_named_server();

    struct Case {
        std::uint32_t last;
        const char *port;
        std::string status;
        std::string logged;
    } cases[] = {
        // A reverse name whose forward zone says otherwise is no name: the address rules decide.
        {5, "SIMN2", "127.0.0.5", "127.0.0.5"},
        {6, "SIMN1", "good.example.com(127.0.0.6)", "127.0.0.6(good.example.com)"},
        // One of several addresses is enough.
        {7, "SIMN1", "multi.example.com(127.0.0.7)", "127.0.0.7(multi.example.com)"},
        // A forward lookup that fails confirms nothing.
        {8, "SIMN2", "127.0.0.8", "127.0.0.8"},
        // Confirmed whole, then cut to the field as before: the cut name ends before
        // ".example.com".
        {9, "SIMN2", cut + "(127.0.0.9)", "127.0.0.9(" + cut + ")"},
        // Not confirmed whole: the cut name leading back does not make it a name.
        {10, "SIMN2", "127.0.0.10", "127.0.0.10"},
        // No reverse name at all.
        {11, "SIMN2", "127.0.0.11", "127.0.0.11"},
    };
    for (const Case &expected : cases) {
        SCOPED_TRACE("caller 127.0.0." + std::to_string(expected.last));
        Seen seen = call_from(loopback(expected.last));
        EXPECT_EQ(seen.port, expected.port);
        EXPECT_EQ(seen.status, expected.status);
        EXPECT_EQ(seen.logged, expected.logged);
    }
}

}  // namespace
