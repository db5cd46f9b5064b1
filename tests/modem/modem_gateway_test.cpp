// The modem emulator in the whole in-process gateway: a caller rung through to equipment that
// answers with ATA, an unanswered call, edits of a port whose call is up (which never cut it), the
// port list starting and stopping emulators, and a load with an emulator port that will not open.
#include "modem/modem.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "app/session.h"
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

// NORVEX.DAT holding the options in force and these ports, as an editor would leave it.
void write_settings_file(const std::vector<PortSettings> &ports) {
    GlobalOptions options;
    options_get(&options);
    std::vector<std::uint8_t> bytes(sizeof options + ports.size() * sizeof(PortSettings));
    std::memcpy(bytes.data(), &options, sizeof options);
    for (std::size_t i = 0; i < ports.size(); ++i) {
        std::memcpy(bytes.data() + sizeof options + i * sizeof(PortSettings), &ports[i],
                    sizeof(PortSettings));
    }
    write_whole_file("NORVEX.DAT", bytes);
}

// Both ways through a call that is up: true when each side got the other's bytes.
bool call_moves_data(TestCaller *caller, SimSerial *device, const std::string &tag) {
    caller->send("to-" + tag);
    if (!sim_wait_received(device, "to-" + tag, 10000)) return false;
    sim_send_text(device, "from-" + tag);
    return caller->read_until("from-" + tag);
}

// An edit of a port whose call is up, made with the port list dialog's operations or by a reload
// of NORVEX.DAT: the edit returns at once, the call goes on with its port and its settings, and
// the port takes the edit when the call has ended.
TEST_F(ModemGateway, AnEditOfABusyPortNeverCutsItsCall) {
    enum Operation { UPDATE, RELOAD_UPDATE, REMOVE, EMULATION_OFF, RELOAD_EMULATION_ON };
    struct Row {
        const char *what;
        Operation operation;
        bool emulated_before;
    };
    const Row rows[] = {
        {"new idle limit and speed", UPDATE, true},
        {"the same by a reload", RELOAD_UPDATE, true},
        {"removed", REMOVE, true},
        {"emulation turned off", EMULATION_OFF, true},
        {"emulation turned on by a reload, the call on its own line", RELOAD_EMULATION_ON, false},
    };
    start_server();
    int index = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::string name = "SIMH" + std::to_string(index++);
        PortSettings before = modem_port(name.c_str());
        before.modem_emulation = row.emulated_before ? 1 : 0;
        SimSerial *device = add_port(name.c_str(), before);
        answer_rings(device);
        std::size_t log_count = log_lines().size();
        PortSettings after = before;
        after.idle_timeout_s = 600;
        after.baud_rate = 19200;
        after.modem_emulation = row.operation == EMULATION_OFF ? 0 : 1;

        TestCaller caller(port);
        if (row.emulated_before) {
            connect_caller(&caller, device);
        } else {
            ASSERT_TRUE(caller.read_until(GREETING));
            ASSERT_TRUE(call_moves_data(&caller, device, "own-line"));
        }
        int opens = sim_open_count(device);
        std::uint32_t start = clock_tick_ms();
        switch (row.operation) {
        case UPDATE:
        case EMULATION_OFF:
            EXPECT_TRUE(port_list_update(port_list_at(0), &after));
            break;
        case REMOVE:
            EXPECT_TRUE(port_list_remove(0));
            break;
        case RELOAD_UPDATE:
        case RELOAD_EMULATION_ON: {
            write_settings_file({after});
            SessionReload report;
            ASSERT_EQ(session_reload(&report), 0);
            ASSERT_EQ(report.ports.changes.size(), 1u);
            const PortChange &change = report.ports.changes[0];
            EXPECT_EQ(change.kind, PORT_UPDATED);
            EXPECT_TRUE(change.busy);
            EXPECT_TRUE(change.done);
            break;
        }
        }
        // Nothing waits for the call (a restart that did would take 10 s here).
        std::uint32_t took = clock_tick_ms() - start;
        EXPECT_LE(took, 3000u);
        std::printf("[ %s ] the edit took %u ms\n", row.what, took);

        // The call goes on over the port it had: not closed, not opened again, not rung off.
        EXPECT_TRUE(call_moves_data(&caller, device, "during"));
        clock_sleep_ms(600);  // an emulator pass or more
        EXPECT_TRUE(call_moves_data(&caller, device, "later"));
        EXPECT_EQ(sim_open_count(device), opens);
        EXPECT_TRUE(sim_is_open(device));
        EXPECT_EQ(sim_received(device).find("NO CARRIER"), std::string::npos);
        EXPECT_EQ(log_lines().size(), log_count);

        sim_take_received(device);
        caller.close();
        ASSERT_TRUE(wait_log_lines(log_count + 1));
        EXPECT_TRUE(log_has_end_time(log_lines()[log_count])) << log_lines()[log_count];
        EXPECT_TRUE(wait_until([&] { return live_connections() == 0; }, 10000));
        if (row.emulated_before) {
            // The end of the call as the old emulator reports it.
            EXPECT_TRUE(sim_wait_received(device, "NO CARRIER\r\n", 10000));
        }

        // Then the port is as the edit left it.
        TestCaller next(port);
        switch (row.operation) {
        case UPDATE:
        case RELOAD_UPDATE:
        case RELOAD_EMULATION_ON:
            // Opened again from the new settings, in command mode with the new speed.
            EXPECT_TRUE(wait_until([&] { return sim_open_count(device) == opens + 1; }, 10000));
            EXPECT_TRUE(sim_is_open(device));
            // The device is opened first and then given its line: wait for the line too.
            EXPECT_TRUE(wait_until([&] { return sim_dcb(device).baud_rate == 19200u; }, 10000))
                << sim_dcb(device).baud_rate;
            EXPECT_TRUE(dialogue(device, "AT\\S\r", "DTE SPEED   : 19200bps"));
            ASSERT_TRUE(next.read_until(GREETING));
            ASSERT_TRUE(sim_wait_received(device, "ATA\r\nCONNECT 19200/TELNET\r\n", 10000));
            EXPECT_TRUE(call_moves_data(&next, device, "next"));
            break;
        case REMOVE:
            EXPECT_TRUE(wait_until([&] { return !sim_is_open(device); }, 10000));
            EXPECT_TRUE(next.read_until(GREETING + BUSY));
            break;
        case EMULATION_OFF:
            // Left to the calls: closed, then opened for the next call alone, without ringing.
            EXPECT_TRUE(wait_until([&] { return !sim_is_open(device); }, 10000));
            ASSERT_TRUE(next.read_until(GREETING));
            EXPECT_TRUE(call_moves_data(&next, device, "direct"));
            EXPECT_EQ(sim_received(device).find("RING"), std::string::npos);
            break;
        }
        next.close();
        EXPECT_TRUE(wait_until([&] { return live_connections() == 0; }, 10000));
        if (port_list_at(0) != nullptr) {
            EXPECT_TRUE(port_list_remove(0));
        }
    }
}

// The port's settings are replaced while a call holds it: from the call's release until the
// emulator runs with them, nobody else is given the port, so neither the emulator's new start
// nor that caller fails for the other.
TEST_F(ModemGateway, APortWhoseEmulatorRestartsIsNotHandedOut) {
    PortSettings settings = modem_port("SIMG20");
    SimSerial *device = add_port("SIMG20", settings);
    PortRecord *record = port_list_at(0);
    ASSERT_EQ(record->emulator_running.load(), 1);
    const char no_name[NET_HOST_NAME_SIZE] = {};  // the caller's name is a whole 64-byte buffer
    PortRecord *call = port_allocate(no_name, NET_LOOPBACK_ADDRESS);
    ASSERT_EQ(call, record);

    PortSettings changed = settings;
    changed.baud_rate = 19200;
    int opens = sim_open_count(device);
    EXPECT_TRUE(port_list_update(record, &changed));
    EXPECT_EQ(record->emulator_running.load(), 1);  // still the call's, as it was
    EXPECT_EQ(sim_open_count(device), opens);
    port_release(call);

    PortRecord *next = nullptr;
    ASSERT_TRUE(wait_until([&] { return (next = port_allocate(no_name, NET_LOOPBACK_ADDRESS)) != nullptr; },
                           10000));
    EXPECT_EQ(next, record);
    // Handed out only once the emulator had the port open with the new settings.
    EXPECT_EQ(sim_open_count(device), opens + 1);
    EXPECT_EQ(sim_dcb(device).baud_rate, 19200u);
    EXPECT_EQ(record->emulator_running.load(), 1);
    port_release(next);
    EXPECT_TRUE(dialogue(device, "AT\\S\r", "DTE SPEED   : 19200bps"));
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
