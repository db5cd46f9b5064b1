// The modem emulator in the whole in-process gateway: a caller rung through to equipment that
// answers with ATA, an unanswered call, the emulator stopped under a call by the port list, the
// port list starting and stopping emulators, and a load with an emulator port that will not open.
#include "modem/modem.h"

#include <gtest/gtest.h>

#include "gateway/access_log.h"
#include "gateway/port_allocation.h"
#include "support/relay_call.h"
#include "support/gateway_fixture.h"

namespace {

const std::string GREETING = "*** CONNECT NORVEX\r\n";
const std::string BUSY = "*** BUSY\r\n";
const std::string CONNECT_ERROR = "*** CONNECT ERROR\r\n";
const std::string RING = "\r\nRING\r\n";

// Equipment that picks up: ATA after every RING.
void answer_rings(SimSerial *sim) {
    sim_set_handler(sim, [](SimSerial *s, const SimEvent &event) {
        if (event.kind == SIM_EVENT_RECEIVED && event.data.find("RING") != std::string::npos) {
            sim_send_text(s, "ATA\r");
        }
    });
}

PortSettings modem_port(const char *name) {
    PortSettings settings = make_port(name);
    settings.flow_control = 0;
    settings.modem_emulation = 1;
    return settings;
}

class ModemGateway : public GatewayTest {
protected:
    // A caller that has been answered and relays both ways.
    void connect_caller(TestCaller *caller, SimSerial *device) {
        ASSERT_TRUE(caller->read_until(GREETING));
        ASSERT_TRUE(sim_wait_received(device, "ATA\r\nCONNECT 9600/TELNET\r\n", 10000));
        caller->send("hello");
        ASSERT_TRUE(sim_wait_received(device, "CONNECT 9600/TELNET\r\nhello", 10000));
        sim_send_text(device, "world");
        ASSERT_TRUE(caller->read_until("world"));
    }
    // Sends a command line and waits for its reply; true when it came.
    bool dialogue(SimSerial *device, const std::string &line, const std::string &reply) {
        sim_take_received(device);
        sim_send_text(device, line);
        return sim_wait_received(device, reply, 5000);
    }
};

TEST_F(ModemGateway, AnsweredCallRelaysAndEndsWithNoCarrier) {
    SimSerial *device = add_port("SIMG1", modem_port("SIMG1"));
    ASSERT_TRUE(dialogue(device, "AT\r", "AT\r\nOK\r\n"));
    answer_rings(device);
    start_server();

    for (int call = 0; call < 2; ++call) {
        SCOPED_TRACE(call);
        sim_take_received(device);
        TestCaller caller(port);
        connect_caller(&caller, device);
        caller.close();
        ASSERT_TRUE(sim_wait_received(device, "NO CARRIER\r\n", 10000));
        std::string received = sim_take_received(device);
        std::size_t connect = received.find("ATA\r\nCONNECT 9600/TELNET\r\n");
        ASSERT_NE(connect, std::string::npos) << received;
        EXPECT_EQ(received.substr(0, connect).find_first_not_of("\r\nRING"), std::string::npos)
            << received;
        EXPECT_EQ(received.substr(connect), "ATA\r\nCONNECT 9600/TELNET\r\nhelloNO CARRIER\r\n");
        ASSERT_TRUE(wait_log_lines(static_cast<std::size_t>(call) + 1));
        std::string line = log_lines()[call];
        EXPECT_TRUE(log_has_end_time(line)) << line;
        EXPECT_TRUE(wait_until([&] { return port_list_at(0)->busy.load() == 0; }, 5000));
        // The emulator keeps the port between calls and is back in command mode.
        EXPECT_TRUE(sim_is_open(device));
        EXPECT_EQ(sim_open_count(device), 1);
        EXPECT_TRUE(dialogue(device, "AT\r", "AT\r\nOK\r\n"));
    }
}

TEST_F(ModemGateway, UnansweredCallGetsTheConnectError) {
    SimSerial *device = add_port("SIMG2", modem_port("SIMG2"));
    start_server();
    TestCaller caller(port);
    ASSERT_TRUE(caller.read_until(GREETING));
    std::uint32_t start = clock_tick_ms();
    ASSERT_TRUE(caller.read_until(CONNECT_ERROR, 20000));
    std::uint32_t took = clock_tick_ms() - start;
    EXPECT_GE(took, 9000u);
    EXPECT_LE(took, 16000u);
    EXPECT_TRUE(caller.read_until_closed());
    ASSERT_TRUE(wait_log_lines(1));
    EXPECT_EQ(log_reason(log_lines()[0]), LOG_CONNECTION_FAIL);

    std::string received = sim_take_received(device);
    std::size_t rings = 0;
    for (std::size_t at = 0; (at = received.find(RING, at)) != std::string::npos; at += 1) ++rings;
    EXPECT_EQ(received, [&] {
        std::string all;
        for (std::size_t i = 0; i < rings; ++i) all += RING;
        return all;
    }());
    EXPECT_GE(rings, 5u);
    EXPECT_LE(rings, 11u);
    // Still in command mode, and a later call is rung and answered as usual.
    EXPECT_TRUE(dialogue(device, "AT\r", "AT\r\nOK\r\n"));
    answer_rings(device);
    TestCaller second(port);
    connect_caller(&second, device);
}

// The port list stops the emulator while a call is using its port: the call ends, the caller is
// let go and the call is logged; afterwards the port is in the state the list
// left it in.
TEST_F(ModemGateway, StoppingTheEmulatorDuringACallEndsTheCall) {
    enum Operation { REMOVE, UPDATE_KEEPING_EMULATION, UPDATE_WITHOUT_EMULATION };
    const Operation operations[] = {REMOVE, UPDATE_KEEPING_EMULATION, UPDATE_WITHOUT_EMULATION};
    start_server();
    int index = 0;
    for (Operation operation : operations) {
        SCOPED_TRACE(index);
        std::string name = "SIMH" + std::to_string(index++);
        SimSerial *device = add_port(name.c_str(), modem_port(name.c_str()));
        answer_rings(device);
        std::size_t log_count = log_lines().size();
        {
            TestCaller caller(port);
            connect_caller(&caller, device);
            std::uint32_t start = clock_tick_ms();
            PortSettings settings = modem_port(name.c_str());
            switch (operation) {
            case REMOVE:
                EXPECT_TRUE(port_list_remove(0));
                break;
            case UPDATE_KEEPING_EMULATION:
                EXPECT_TRUE(port_list_update(port_list_at(0), &settings));
                break;
            case UPDATE_WITHOUT_EMULATION:
                settings.modem_emulation = 0;
                EXPECT_TRUE(port_list_update(port_list_at(0), &settings));
                break;
            }
            EXPECT_LE(clock_tick_ms() - start, 8000u);
            EXPECT_TRUE(caller.read_until_closed());
        }
        ASSERT_TRUE(wait_log_lines(log_count + 1));
        // The relay finds the port gone either in its read (a failed transfer) or in its status
        // reading, which counts as the carrier dropping (a normal end); which comes first is luck.
        std::string line = log_lines()[log_count];
        EXPECT_TRUE(log_reason(line) == LOG_TRANSFER_FAIL || log_has_end_time(line)) << line;
        EXPECT_TRUE(wait_until([&] { return live_connections() == 0; }, 10000));

        sim_take_received(device);
        TestCaller next(port);
        switch (operation) {
        case REMOVE:
            EXPECT_FALSE(sim_is_open(device));
            EXPECT_TRUE(next.read_until(GREETING + BUSY));
            break;
        case UPDATE_KEEPING_EMULATION:
            EXPECT_TRUE(sim_is_open(device));
            connect_caller(&next, device);
            next.close();
            EXPECT_TRUE(sim_wait_received(device, "NO CARRIER\r\n", 10000));
            break;
        case UPDATE_WITHOUT_EMULATION:
            // Opened for the call alone, no ringing.
            ASSERT_TRUE(next.read_until(GREETING));
            ASSERT_TRUE(wait_until([&] { return sim_is_open(device); }, 10000));
            sim_send_text(device, "direct");
            EXPECT_TRUE(next.read_until("direct"));
            EXPECT_EQ(sim_take_received(device), "");
            next.close();
            EXPECT_TRUE(wait_until([&] { return !sim_is_open(device); }, 10000));
            break;
        }
        next.close();
        EXPECT_TRUE(wait_until([&] { return live_connections() == 0; }, 10000));
        if (port_list_at(0) != nullptr) {
            EXPECT_TRUE(port_list_remove(0));
        }
    }
}

// The port's settings are replaced while a call holds it: the restart waits for the call to
// release the port, and from then until the new emulator runs nobody else is given the port, so
// neither the restart nor that caller fails for the other.
TEST_F(ModemGateway, APortWhoseEmulatorRestartsIsNotHandedOut) {
    PortSettings settings = modem_port("SIMG20");
    add_port("SIMG20", settings);
    PortRecord *record = port_list_at(0);
    ASSERT_EQ(record->emulator_running.load(), 1);
    const char no_name[NET_HOST_NAME_SIZE] = {};  // the caller's name is a whole 64-byte buffer
    PortRecord *call = port_allocate(no_name, NET_LOOPBACK_ADDRESS);
    ASSERT_EQ(call, record);

    PortSettings changed = settings;
    changed.baud_rate = 19200;
    Running update([&] { return port_list_update(record, &changed) ? 1 : 0; });
    ASSERT_TRUE(wait_until([&] { return record->emulator_running.load() == 0; }, 10000));
    port_release(call);
    EXPECT_EQ(port_allocate(no_name, NET_LOOPBACK_ADDRESS), nullptr);
    EXPECT_EQ(update.wait(15000), 1);
    EXPECT_EQ(record->emulator_running.load(), 1);
    PortRecord *next = port_allocate(no_name, NET_LOOPBACK_ADDRESS);
    EXPECT_EQ(next, record);
    if (next != nullptr) port_release(next);
}

TEST_F(ModemGateway, PortListStartsAndStopsTheEmulator) {
    SimSerial *device = add_port("SIML1", modem_port("SIML1"));
    EXPECT_TRUE(sim_is_open(device));
    EXPECT_TRUE(dialogue(device, "AT\r", "AT\r\nOK\r\n"));
    PortRecord *record = port_list_at(0);

    struct Step {
        const char *what;
        std::int32_t emulation;
        std::int32_t baud_rate;
        bool open_after;
        int opens;  // device opens the step makes
    };
    const Step steps[] = {
        {"emulation off", 0, 9600, false, 0},
        {"emulation on again", 1, 9600, true, 1},
        {"a new speed restarts it", 1, 19200, true, 1},
        {"the same settings restart it too", 1, 19200, true, 1},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.what);
        PortSettings settings = modem_port("SIML1");
        settings.modem_emulation = step.emulation;
        settings.baud_rate = step.baud_rate;
        int opens = sim_open_count(device);
        EXPECT_TRUE(port_list_update(record, &settings));
        EXPECT_EQ(sim_is_open(device), step.open_after);
        EXPECT_EQ(sim_open_count(device) - opens, step.opens);
        EXPECT_EQ(record->emulator_running.load(), step.open_after ? 1 : 0);
        if (step.open_after) {
            std::string speed = "DTE SPEED   : " + std::to_string(step.baud_rate) + "bps";
            EXPECT_TRUE(dialogue(device, "AT\\S\r", speed));
        }
    }
    EXPECT_TRUE(port_list_remove(0));
    EXPECT_FALSE(sim_is_open(device));
}

// Loading starts the emulator of every port that asks for one; one that cannot be opened makes
// the whole load fail, after about five seconds of tries.
TEST_F(ModemGateway, LoadStartsEmulatorsAndFailsOnOneThatCannotOpen) {
    SimSerial *device = sim_serial_create("SIML2");
    ASSERT_NE(device, nullptr);
    devices.push_back(device);
    auto file_with = [](std::initializer_list<const char *> names) {
        std::vector<std::uint8_t> bytes = default_file_bytes();
        for (const char *name : names) {
            PortSettings settings = modem_port(name);
            const std::uint8_t *raw = reinterpret_cast<const std::uint8_t *>(&settings);
            bytes.insert(bytes.end(), raw, raw + sizeof settings);
        }
        return bytes;
    };

    write_whole_file("NORVEX.DAT", file_with({"SIML2"}));
    ASSERT_TRUE(load_settings("NORVEX.DAT", window));
    EXPECT_EQ(port_list.port_count, 1);
    EXPECT_TRUE(sim_is_open(device));
    EXPECT_TRUE(dialogue(device, "ATI\r", "ATI\r\nNORVEX MODEM EMULATOR\r\nOK\r\n"));

    write_whole_file("NORVEX.DAT", file_with({"SIML2", "SIMLMISSING"}));
    std::uint32_t start = clock_tick_ms();
    EXPECT_FALSE(load_settings("NORVEX.DAT", window));
    std::uint32_t took = clock_tick_ms() - start;
    EXPECT_GE(took, 4000u);
    EXPECT_LE(took, 12000u);
    EXPECT_EQ(port_list.port_count, 0);
    EXPECT_FALSE(sim_is_open(device));  // the first port's emulator went with the list
}

}  // namespace
