// Calls on a port's own TCP port through the whole in-process gateway, on simulated devices: that
// port alone for any caller, busy and refused callers, and a program speaking the COM-PORT-OPTION
// driving DTR, RTS and BREAK, hearing the input lines under its mask, purging and suspending, and
// leaving the line as the port's settings make it.
#include <gtest/gtest.h>

#include "serial/line.h"
#include "support/gateway_fixture.h"
#include "telnet/com_port.h"

namespace {

const std::string GREETING = "*** CONNECT NORVEX\r\n";
const std::string BUSY = "*** BUSY\r\n";

std::string message(std::uint8_t code, std::initializer_list<int> value) {
    std::string out = {'\xFF', '\xFA', ',', static_cast<char>(code)};
    for (int byte : value) {
        out += static_cast<char>(byte);
        if (byte == 255) out += '\xFF';
    }
    return out + "\xFF\xF0";
}

std::string command(std::uint8_t code, std::initializer_list<int> value) {
    return message(code, value);
}

class DirectPort : public GatewayTest {
protected:
    // A TCP port of its own for `name`, opened beside the telnet port.
    std::uint16_t open_direct(const char *name, bool rfc2217) {
        NetSocket probe = net_listen(NET_LOOPBACK_ADDRESS, 0, 1);
        std::uint16_t direct = 0;
        EXPECT_EQ(net_local_port(probe, &direct), 0);
        net_close(&probe);
        GatewayWay way{WAY_DIRECT, direct, {}, rfc2217 ? 1 : 0};
        text_set(way.port_name, name);
        ways.push_back(way);
        std::vector<GatewayWay> failed;
        gateway_set_ways(ways, nullptr, &failed);
        EXPECT_TRUE(failed.empty());
        return direct;
    }
    // A caller that agreed to the option and has its line: the first NOTIFY-MODEMSTATE came.
    void agree(TestCaller *caller, int first_lines) {
        caller->send("\xFF\xFB,");  // IAC WILL COM-PORT-OPTION
        ASSERT_TRUE(caller->read_until("\xFF\xFD,"));
        ASSERT_TRUE(caller->read_until(message(107, {first_lines})));
        EXPECT_EQ(caller->received.find(GREETING), std::string::npos);
        caller->received.clear();
    }
    // Sends a command and waits for its answer; what came before it is dropped.
    bool ask(TestCaller *caller, const std::string &sent, const std::string &answer) {
        caller->send(sent);
        bool came = caller->read_until(answer);
        caller->received.clear();
        return came;
    }

    std::vector<GatewayWay> ways;
};

TEST_F(DirectPort, ACallerGetsThatPortAloneBusyGetsTheBusyTextAndAClosedWayRefuses) {
    SimSerial *first = add_port("SIMD1");
    SimSerial *second = add_port("SIMD2");
    start_server();
    std::uint16_t direct = open_direct("SIMD2", false);

    // The pool would give SIMD1; the direct port gives SIMD2, texts and all.
    TestCaller caller(direct);
    ASSERT_TRUE(caller.read_until(GREETING));
    caller.send("to two");
    EXPECT_TRUE(sim_wait_received(second, "to two", 10000));
    EXPECT_EQ(sim_open_count(first), 0);
    // Option 44 is refused on a port without it, and its subnegotiations reach nothing.
    caller.send("\xFF\xFB,");
    ASSERT_TRUE(caller.read_until("\xFF\xFE,"));
    caller.send(command(5, {COMPORT_DTR_OFF}) + "after");
    EXPECT_TRUE(sim_wait_received(second, "after", 10000));
    EXPECT_EQ(sim_received(second), "to twoafter");
    EXPECT_NE(sim_outputs(second) & SIM_DTR, 0u);

    TestCaller busy(direct);
    ASSERT_TRUE(busy.read_until(GREETING + BUSY));
    EXPECT_TRUE(busy.read_until_closed());
    EXPECT_EQ(sim_open_count(first), 0);  // a busy direct port does not fall back on the pool

    caller.close();
    ASSERT_TRUE(wait_log_lines(2));
    EXPECT_EQ(log_reason(log_lines()[0]), "all port busy");
    EXPECT_EQ(log_lines()[1].substr(40, 6), " SIMD2");

    // The same TCP port handed to the other port: its socket stays, its callers get SIMD1.
    ways[0].port_name[4] = '1';
    std::vector<GatewayWay> moved;
    gateway_set_ways(ways, nullptr, &moved);
    EXPECT_TRUE(moved.empty());
    {
        TestCaller one(direct);
        ASSERT_TRUE(one.read_until(GREETING));
        one.send("to one");
        EXPECT_TRUE(sim_wait_received(first, "to one", 10000));
    }
    ASSERT_TRUE(wait_log_lines(3));

    // The way closed: nobody is accepted there any more; the telnet port goes on.
    ways.clear();
    std::vector<GatewayWay> failed;
    gateway_set_ways(ways, nullptr, &failed);
    std::vector<GatewayWay> open;
    gateway_ways_open(&open);
    EXPECT_TRUE(open.empty());
    // The listener closes the socket when it next looks at its ways.
    EXPECT_TRUE(wait_until(
        [&] {
            NetSocket tried = net_connect(NET_LOOPBACK_ADDRESS, direct);
            bool refused = tried == NET_NO_SOCKET;
            net_close(&tried);
            return refused;
        },
        10000));
    TestCaller pool(port);
    EXPECT_TRUE(pool.read_until(GREETING));
}

TEST_F(DirectPort, AProgramDrivesTheOutputLinesAndHearsTheInputLinesUnderItsMask) {
    SimSerial *device = add_port("SIMD3");
    start_server();
    std::uint16_t direct = open_direct("SIMD3", true);
    sim_set_inputs(device, COM_DSR_ON);
    TestCaller program(direct);
    agree(&program, COMPORT_MODEM_DSR);
    ASSERT_TRUE(sim_wait_outputs(device, SIM_DTR | SIM_RTS, SIM_DTR | SIM_RTS, 10000));

    EXPECT_TRUE(ask(&program, command(5, {COMPORT_DTR_OFF}), message(105, {COMPORT_DTR_OFF})));
    EXPECT_TRUE(sim_wait_outputs(device, SIM_DTR | SIM_RTS, SIM_RTS, 10000));
    EXPECT_TRUE(ask(&program, command(5, {COMPORT_RTS_OFF}), message(105, {COMPORT_RTS_OFF})));
    EXPECT_TRUE(sim_wait_outputs(device, SIM_DTR | SIM_RTS, 0, 10000));
    EXPECT_TRUE(ask(&program, command(5, {COMPORT_DTR_ON}), message(105, {COMPORT_DTR_ON})));
    EXPECT_TRUE(sim_wait_outputs(device, SIM_DTR | SIM_RTS, SIM_DTR, 10000));
    EXPECT_TRUE(ask(&program, command(5, {COMPORT_RTS_QUERY}), message(105, {COMPORT_RTS_OFF})));

    // Every input line's change, under the first mask (255).
    struct Change {
        std::uint32_t inputs;
        int told;
    };
    const Change changes[] = {
        {COM_DSR_ON | COM_CTS_ON, COMPORT_MODEM_DSR | COMPORT_MODEM_CTS | COMPORT_MODEM_CTS_CHANGED},
        {COM_DSR_ON | COM_CTS_ON | COM_RLSD_ON,
         COMPORT_MODEM_CD | COMPORT_MODEM_DSR | COMPORT_MODEM_CTS | COMPORT_MODEM_CD_CHANGED},
        {COM_CTS_ON | COM_RLSD_ON,
         COMPORT_MODEM_CD | COMPORT_MODEM_CTS | COMPORT_MODEM_DSR_CHANGED},
        {COM_CTS_ON | COM_RLSD_ON | COM_RING_ON,
         COMPORT_MODEM_CD | COMPORT_MODEM_RI | COMPORT_MODEM_CTS},
        {COM_CTS_ON | COM_RLSD_ON, COMPORT_MODEM_CD | COMPORT_MODEM_CTS | COMPORT_MODEM_RI_ENDED},
    };
    for (const Change &change : changes) {
        sim_set_inputs(device, change.inputs);
        EXPECT_TRUE(program.read_until(message(107, {change.told}))) << change.told;
        program.received.clear();
    }
    // Under a mask of CD alone, CTS changes are not told; the next CD change is, alone.
    EXPECT_TRUE(ask(&program, command(11, {0x88}), message(111, {0x88})));
    sim_set_inputs(device, COM_RLSD_ON);
    sim_set_inputs(device, 0);
    EXPECT_TRUE(program.read_until(message(107, {COMPORT_MODEM_CD_CHANGED})));
    EXPECT_EQ(program.received, message(107, {COMPORT_MODEM_CD_CHANGED}));
    program.received.clear();

    // Line errors under the line-state mask.
    EXPECT_TRUE(ask(&program, command(10, {COMPORT_LINE_PARITY}), message(110, {COMPORT_LINE_PARITY})));
    sim_line_errors(device, COM_ERROR_PARITY | COM_ERROR_OVERRUN);
    sim_send_text(device, "x");  // the relay looks at the errors as data comes
    EXPECT_TRUE(program.read_until(message(106, {COMPORT_LINE_PARITY})));
}

TEST_F(DirectPort, BreakPurgeSuspendAndTheLineIsPutBackAfterTheCall) {
    PortSettings settings = make_port("SIMD4");
    settings.flow_control = 0;
    SimSerial *device = add_port("SIMD4", settings);
    start_server();
    std::uint16_t direct = open_direct("SIMD4", true);
    std::uint32_t stored_speed = 0;
    {
        TestCaller program(direct);
        agree(&program, 0);
        stored_speed = sim_dcb(device).baud_rate;
        EXPECT_NE(stored_speed, 57600u);

        EXPECT_TRUE(ask(&program, command(5, {COMPORT_BREAK_ON}), message(105, {COMPORT_BREAK_ON})));
        ASSERT_EQ(sim_breaks(device).size(), 1u);
        EXPECT_FALSE(sim_breaks(device)[0].ended);
        EXPECT_TRUE(ask(&program, command(5, {COMPORT_BREAK_OFF}), message(105, {COMPORT_BREAK_OFF})));
        EXPECT_TRUE(sim_wait_breaks(device, 1, 10000));

        // A value with 255s in it comes doubled both ways.
        EXPECT_TRUE(ask(&program, command(1, {0, 0, 255, 255}), message(101, {0, 0, 255, 255})));
        EXPECT_EQ(sim_dcb(device).baud_rate, 65535u);
        EXPECT_TRUE(ask(&program, command(1, {0, 0, 0xE1, 0}), message(101, {0, 0, 0xE1, 0})));
        EXPECT_TRUE(ask(&program, command(2, {7}), message(102, {7})));
        EXPECT_TRUE(ask(&program, command(3, {COMPORT_PARITY_EVEN}), message(103, {COMPORT_PARITY_EVEN})));
        EXPECT_TRUE(ask(&program, command(4, {COMPORT_STOP_2}), message(104, {COMPORT_STOP_2})));
        SerialDcb set = sim_dcb(device);
        EXPECT_EQ(set.baud_rate, 57600u);
        EXPECT_EQ(set.byte_size, 7);
        EXPECT_EQ(set.parity, COM_PARITY_EVEN);
        EXPECT_EQ(set.stop_bits, COM_STOP_BITS_2);

        int purges = sim_calls(device, SIM_CALL_PURGE);
        EXPECT_TRUE(ask(&program, command(12, {3}), message(112, {3})));
        EXPECT_GT(sim_calls(device, SIM_CALL_PURGE), purges);

        // Suspended, the equipment's data waits; a query is still answered; resumed, it comes.
        program.send(command(8, {}));
        EXPECT_TRUE(ask(&program, command(5, {COMPORT_DTR_QUERY}), message(105, {COMPORT_DTR_ON})));
        sim_send_text(device, "held back");
        EXPECT_TRUE(wait_until([&] { return sim_unread(device) == 0; }, 10000));
        EXPECT_TRUE(ask(&program, command(5, {COMPORT_RTS_QUERY}), message(105, {COMPORT_RTS_ON})));
        EXPECT_EQ(program.received.find("held back"), std::string::npos);
        program.send(command(9, {}));
        EXPECT_TRUE(program.read_until("held back"));
        program.send("to the equipment");
        EXPECT_TRUE(sim_wait_received(device, "to the equipment", 10000));
    }
    ASSERT_TRUE(wait_log_lines(1));
    EXPECT_TRUE(log_has_end_time(log_lines()[0])) << log_lines()[0];
    // The next call starts from the port's stored line.
    TestCaller next(direct);
    ASSERT_TRUE(next.read_until(GREETING));
    ASSERT_TRUE(wait_until([&] { return sim_is_open(device); }, 10000));
    SerialDcb after = sim_dcb(device);
    EXPECT_EQ(after.baud_rate, stored_speed);
    EXPECT_EQ(after.byte_size, 8);
    EXPECT_EQ(after.parity, COM_PARITY_NONE);
    EXPECT_EQ(after.stop_bits, COM_STOP_BITS_1);
}

}  // namespace
