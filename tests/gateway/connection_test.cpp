// The connection flow through the whole in-process gateway: every outcome with the caller's text,
// the undo steps and the log line, plus concurrent callers and settings edited during a call.
#include "gateway/connection.h"

#include <gtest/gtest.h>

#include "serial/line.h"
#include "support/gateway_fixture.h"

namespace {

const std::string GREETING = "*** CONNECT NORVEX\r\n";
const std::string BUSY = "*** BUSY\r\n";

class Connection : public GatewayTest {};

TEST_F(Connection, ANormalCallRelaysAndLogsItsEndTime) {
    PortSettings settings = make_port("SIMC1");
    settings.flow_control = 0;
    text_set(settings.connect_message, "hello caller\r\n");
    text_set(settings.disconnect_message, "goodbye caller\r\n");
    text_set(settings.disconnect_keyword, "LOGOUT");
    SimSerial *device = add_port("SIMC1", settings);
    start_server();

    TestCaller caller(port);
    ASSERT_TRUE(caller.read_until(GREETING + "hello caller\r\n"));
    caller.send("typed");
    EXPECT_TRUE(sim_wait_received(device, "typed", 10000));
    sim_send_text(device, "answer LOGOUT");
    ASSERT_TRUE(caller.read_until("answer LOGOUT" "goodbye caller\r\n"));
    ASSERT_TRUE(caller.read_until_closed());
    ASSERT_TRUE(wait_log_lines(1));
    std::string line = log_lines()[0];
    EXPECT_TRUE(log_has_end_time(line)) << line;
    EXPECT_EQ(log_port(line), "SIMC");  // a 5-character name runs into the address column
    EXPECT_EQ(line.substr(40, 6), " SIMC1");
    EXPECT_EQ(line.substr(46), "127.0.0.1");
    EXPECT_TRUE(wait_until([&] { return !sim_is_open(device); }, 5000));
    EXPECT_EQ(port_list_at(0)->busy.load(), 0);
}

TEST_F(Connection, CallerLeavingDuringNegotiationTouchesNoPort) {
    SimSerial *device = add_port("SIMC2");
    start_server();
    {
        TestCaller caller(port);
        clock_sleep_ms(100);
    }
    ASSERT_TRUE(wait_log_lines(1));
    std::string line = log_lines()[0];
    EXPECT_EQ(log_reason(line), "initialize fail");
    EXPECT_EQ(line.substr(40, 6), "      ");
    EXPECT_EQ(sim_open_count(device), 0);
}

TEST_F(Connection, NoAdmittingPortGetsTheBusyMessageAfterTheGreeting) {
    PortSettings refusing = make_port("SIMC3");
    refusing.permission_rules[0] = address_rule(127, 0, 0, 1, 32, false);
    SimSerial *device = add_port("SIMC3", refusing);
    start_server();
    TestCaller caller(port);
    ASSERT_TRUE(caller.read_until_closed());
    std::size_t greeting = caller.received.find(GREETING);
    ASSERT_NE(greeting, std::string::npos);
    EXPECT_EQ(caller.received.substr(greeting), GREETING + BUSY);
    ASSERT_TRUE(wait_log_lines(1));
    EXPECT_EQ(log_reason(log_lines()[0]), "all port busy");
    EXPECT_EQ(log_lines()[0].substr(40, 6), "      ");
    EXPECT_EQ(sim_open_count(device), 0);
}

TEST_F(Connection, PortThatCannotBeOpenedIsReleased) {
    PortSettings missing = make_port("SIMC4");
    missing.flow_control = 0;
    ASSERT_TRUE(port_list_add(&missing));  // no simulated device behind the name
    start_server();
    TestCaller caller(port);
    ASSERT_TRUE(caller.read_until_closed());
    EXPECT_NE(caller.received.find(GREETING + "*** COM PORT ERROR\r\n"), std::string::npos);
    ASSERT_TRUE(wait_log_lines(1));
    EXPECT_EQ(log_reason(log_lines()[0]), "com port attach fail");
    EXPECT_EQ(log_lines()[0].substr(40, 5), " SIMC");  // the reason filled its 20 columns
    EXPECT_EQ(port_list_at(0)->busy.load(), 0);
}

TEST_F(Connection, FailedConnectSequenceIsUndone) {
    PortSettings settings = make_port("SIMC5");
    settings.flow_control = 0;
    settings.raise_signals = SIGNAL_ER;
    settings.confirm_signals = SIGNAL_CD;  // never comes
    settings.connect_timeout_ms = 300;
    SimSerial *device = add_port("SIMC5", settings);
    start_server();
    TestCaller caller(port);
    ASSERT_TRUE(caller.read_until_closed());
    EXPECT_NE(caller.received.find(GREETING + "*** CONNECT ERROR\r\n"), std::string::npos);
    ASSERT_TRUE(wait_log_lines(1));
    EXPECT_EQ(log_reason(log_lines()[0]), "connection fail");
    // DTR went up for the call and down again, and the port was closed.
    std::vector<SimLineChange> changes = sim_output_history(device);
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes.back().outputs & SIM_DTR, 0u);
    EXPECT_FALSE(sim_is_open(device));
    EXPECT_EQ(port_list_at(0)->busy.load(), 0);
}

TEST_F(Connection, FailedAutoPilotIsUndone) {
    PortSettings settings = make_port("SIMC6");
    settings.flow_control = 0;
    text_set(settings.auto_pilot_string, "ATZ\\r{300}[OK]");
    SimSerial *device = add_port("SIMC6", settings);
    start_server();
    TestCaller caller(port);
    ASSERT_TRUE(caller.read_until_closed());
    EXPECT_NE(caller.received.find(GREETING + "*** CONNECT ERROR\r\n"), std::string::npos);
    EXPECT_EQ(sim_received(device), "ATZ\r");
    ASSERT_TRUE(wait_log_lines(1));
    EXPECT_EQ(log_reason(log_lines()[0]), "auto pilot fail");
    EXPECT_FALSE(sim_is_open(device));
}

TEST_F(Connection, EachFailingSendEndsTheFlowAtItsStep) {
    // A silent caller draws five offers; then come the greeting, the connect message, the relayed
    // data and the disconnect message. Failing each send in turn walks the outcome table.
    struct Row {
        std::int32_t failing_send;
        const char *reason;  // "" for a normal end with an end time
        bool port_named;
    };
    const Row rows[] = {
        {1, "initialize fail", false}, {5, "initialize fail", false},
        {6, "send fail", false},       {7, "send fail", true},
        {8, "transfer fail", true},    {9, "", true},
    };
    PortSettings settings = make_port("SIMC7");
    settings.flow_control = 0;
    text_set(settings.connect_message, "connected\r\n");
    text_set(settings.disconnect_message, "bye\r\n");
    text_set(settings.disconnect_keyword, "END");
    SimSerial *device = add_port("SIMC7", settings);
    start_server();
    std::size_t lines = 0;
    for (const Row &row : rows) {
        net_fail_send(row.failing_send);
        TestCaller caller(port);
        if (caller.read_until("connected\r\n", 5000)) sim_send_text(device, "data END");
        caller.read_until_closed();
        ASSERT_TRUE(wait_log_lines(++lines)) << row.failing_send;
        std::string line = log_lines().back();
        if (row.reason[0] == '\0') {
            EXPECT_TRUE(log_has_end_time(line)) << row.failing_send << ": " << line;
        } else {
            EXPECT_EQ(log_reason(line), row.reason) << row.failing_send;
        }
        EXPECT_EQ(line.substr(41, 4) == "SIMC", row.port_named) << row.failing_send;
        net_fail_send(0);
        EXPECT_TRUE(wait_until([&] { return !sim_is_open(device); }, 5000));
        sim_take_received(device);
    }
}

TEST_F(Connection, ForcedDisconnectEndsWithoutTheDisconnectMessage) {
    PortSettings settings = make_port("SIMC8");
    settings.flow_control = 0;
    text_set(settings.connect_message, "connected\r\n");
    text_set(settings.disconnect_message, "bye\r\n");
    add_port("SIMC8", settings);
    start_server();
    TestCaller caller(port);
    ASSERT_TRUE(caller.read_until("connected\r\n"));
    port_list_at(0)->disconnect_request.store(1);
    ASSERT_TRUE(caller.read_until_closed());
    EXPECT_EQ(caller.received.find("bye"), std::string::npos);
    ASSERT_TRUE(wait_log_lines(1));
    EXPECT_EQ(log_reason(log_lines()[0]), "transfer fail");
}

TEST_F(Connection, CallerClosingDuringTheRelayIsANormalEnd) {
    PortSettings settings = make_port("SIMC9");
    settings.flow_control = 0;
    text_set(settings.disconnect_message, "bye\r\n");
    add_port("SIMC9", settings);
    start_server();
    {
        TestCaller caller(port);
        ASSERT_TRUE(caller.read_until(GREETING));
        clock_sleep_ms(300);
    }
    ASSERT_TRUE(wait_log_lines(1));
    EXPECT_TRUE(log_has_end_time(log_lines()[0])) << log_lines()[0];
}

TEST_F(Connection, TwoCallersOnePort) {
    add_port("SIMC10");
    start_server();
    TestCaller first(port);
    ASSERT_TRUE(first.read_until(GREETING));
    TestCaller second(port);
    ASSERT_TRUE(second.read_until_closed());
    EXPECT_NE(second.received.find(GREETING + BUSY), std::string::npos);
    EXPECT_EQ(first.received.find(BUSY), std::string::npos);
    ASSERT_TRUE(wait_log_lines(1));
    EXPECT_EQ(log_reason(log_lines()[0]), "all port busy");
}

TEST_F(Connection, TwoCallsEndingAtOnceAreBothReaped) {
    SimSerial *a = add_port("SIMC11");
    SimSerial *b = add_port("SIMC12");
    start_server();
    TestCaller first(port);
    ASSERT_TRUE(first.read_until(GREETING));
    TestCaller second(port);
    ASSERT_TRUE(second.read_until(GREETING));
    ASSERT_TRUE(wait_until([&] { return sim_is_open(a) && sim_is_open(b); }, 10000));
    EXPECT_EQ(live_connections(), 2);
    first.close();
    second.close();
    EXPECT_TRUE(wait_until([&] { return live_connections() == 0; }, 15000));
    EXPECT_TRUE(wait_log_lines(2));
}

TEST_F(Connection, EditingABusyPortLeavesTheRunningCallAlone) {
    PortSettings settings = make_port("SIMC13");
    settings.flow_control = 0;
    text_set(settings.disconnect_message, "old bye\r\n");
    text_set(settings.disconnect_keyword, "END");
    SimSerial *device = add_port("SIMC13", settings);
    start_server();
    TestCaller caller(port);
    ASSERT_TRUE(caller.read_until(GREETING));
    ASSERT_TRUE(wait_until([&] { return sim_is_open(device); }, 10000));

    PortSettings edited = settings;
    text_set(edited.port_name, "SIMX");
    text_set(edited.disconnect_message, "new bye\r\n");
    text_set(edited.disconnect_keyword, "");
    ASSERT_TRUE(port_list_update(port_list_at(0), &edited));
    sim_send_text(device, "END");
    ASSERT_TRUE(caller.read_until_closed());
    EXPECT_NE(caller.received.find("old bye"), std::string::npos);
    ASSERT_TRUE(wait_log_lines(1));
    EXPECT_EQ(log_lines()[0].substr(40, 6), " SIMC1");  // the working copy's name
}

// Feeds the equipment's output until the gateway stops taking it: the relay is then held in a send
// to a caller who does not read. False when that never happened.
bool keep_sending_until_the_relay_is_held(SimSerial *device) {
    const std::string block(65536, 'x');
    std::size_t lowest = static_cast<std::size_t>(-1);
    std::uint32_t start = clock_tick_ms();
    std::uint32_t lowest_since = start;
    while (clock_tick_ms() - start < 60000) {
        std::size_t unread = sim_unread(device);
        if (unread < block.size()) {
            sim_send_text(device, block);
            unread = sim_unread(device);
        }
        if (unread < lowest) {
            lowest = unread;
            lowest_since = clock_tick_ms();
        } else if (clock_tick_ms() - lowest_since >= 1500) {
            return true;  // nothing taken for a while
        }
        clock_sleep_ms(20);
    }
    return false;
}

// A caller who stops reading while the equipment keeps sending: the relay is held in a send that
// cannot progress. A forced disconnect, a server stop and the end of the call (here the watched
// signal dropping) each still end the call, release the port and write the log line.
class StalledCaller : public GatewayTest {
protected:
    enum Ending { FORCED_DISCONNECT, SERVER_STOP, LINE_DROP };

    void ends_the_call(Ending ending, const char *reason) {
        PortSettings settings = make_port("SIMC20");
        settings.flow_control = 0;
        settings.watch_signals = SIGNAL_CD;
        text_set(settings.connect_message, "connected\r\n");
        text_set(settings.disconnect_message, "bye\r\n");  // cannot go out either
        SimSerial *device = add_port("SIMC20", settings);
        sim_set_inputs(device, COM_RLSD_ON);
        start_server();
        TestCaller caller(port);
        ASSERT_TRUE(caller.read_until("connected\r\n"));
        ASSERT_TRUE(keep_sending_until_the_relay_is_held(device));

        std::uint32_t start = clock_tick_ms();
        switch (ending) {
        case FORCED_DISCONNECT: port_list_at(0)->disconnect_request.store(1); break;
        case SERVER_STOP: EXPECT_TRUE(stop_server()); break;
        case LINE_DROP: sim_set_input(device, COM_RLSD_ON, false); break;
        }
        ASSERT_TRUE(wait_log_lines(1, 10000));
        EXPECT_LT(clock_tick_ms() - start, 10000u);
        EXPECT_TRUE(wait_until([&] { return port_list_at(0)->busy.load() == 0; }, 5000));
        EXPECT_TRUE(wait_until([&] { return !sim_is_open(device); }, 5000));
        std::vector<std::string> lines = log_lines();
        ASSERT_EQ(lines.size(), 1u);
        if (reason[0] == '\0') {
            EXPECT_TRUE(log_has_end_time(lines[0])) << lines[0];
        } else {
            EXPECT_EQ(log_reason(lines[0]), reason);
        }
        caller.close();
        if (server != nullptr) {
            EXPECT_TRUE(stop_server());
        }
        EXPECT_EQ(live_connections(), 0);
    }
};

TEST_F(StalledCaller, AForcedDisconnectEndsTheCall) {
    ends_the_call(FORCED_DISCONNECT, "transfer fail");
}

TEST_F(StalledCaller, AServerStopEndsTheCallInOrder) { ends_the_call(SERVER_STOP, "transfer fail"); }

TEST_F(StalledCaller, TheLineDroppingEndsTheCall) { ends_the_call(LINE_DROP, ""); }

}  // namespace
