// The modem emulator on the simulated device, as the equipment sees it: the command dialogue
// (echo, results, every command), ringing, answering with each CONNECT form, stepping aside for
// the call and NO CARRIER after it, start with its retries, stop in every state, and settings
// changed under a call that still holds the port.
#include "modem/modem.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/sync.h"
#include "serial/line.h"
#include "serial/serial.h"
#include "sim/background.h"
#include "sim/sim_serial.h"
#include "support/relay_call.h"
#include "support/settings_fixtures.h"

namespace {

constexpr std::uint32_t REPLY_LIMIT_MS = 5000;

// A port with modem emulation on a simulated device; the emulator starts with it unless told not
// to. The record plays the call's part too: its active_settings are those of a call with no
// signals to raise or confirm.
struct Emulator {
    SimSerial *sim = nullptr;
    std::unique_ptr<PortRecord> port{new PortRecord{}};

    explicit Emulator(const char *name, bool start = true, std::int32_t baud_rate = 9600) {
        sim = sim_serial_create(name);
        EXPECT_NE(sim, nullptr);
        port->settings = make_port(name);
        port->settings.flow_control = 0;
        port->settings.raise_signals = 0;
        port->settings.confirm_signals = 0;
        port->settings.watch_signals = 0;
        port->settings.baud_rate = baud_rate;
        port->settings.modem_emulation = 1;
        port->active_settings = port->settings;
        if (start) {
            EXPECT_EQ(modem_start(port.get()), 1);
        }
    }
    ~Emulator() {
        modem_stop(port.get());
        event_close(port->emulator_resume);
        sim_serial_destroy(sim);
    }
    PortRecord *record() { return port.get(); }
    // Sends the equipment's bytes and returns what came back once `expected_size` bytes have
    // come (or the time ran out).
    std::string say(const std::string &text, std::size_t expected_size) {
        sim_send_text(sim, text);
        EXPECT_TRUE(sim_wait_received_count(sim, expected_size, REPLY_LIMIT_MS)) << text;
        return sim_take_received(sim);
    }
};

// The equipment picks up: ATA after every RING, until turned off.
void answer_rings(SimSerial *sim, bool on) {
    if (!on) {
        sim_set_handler(sim, {});
        return;
    }
    sim_set_handler(sim, [](SimSerial *s, const SimEvent &event) {
        if (event.kind == SIM_EVENT_RECEIVED && event.data.find("RING") != std::string::npos) {
            sim_send_text(s, "ATA\r");
        }
    });
}

// The status text for the given switches at 9600 bit/s, off-line.
std::string status_text(int q, int v, int x, int backslash_v) {
    return "DTE SPEED   : 9600bps\r\nLINE STATUS : OFFLINE\r\nQ" + std::to_string(q) + " V" +
           std::to_string(v) + " X" + std::to_string(x) + " \\V" + std::to_string(backslash_v) +
           "\r\n";
}

// One command line after another on one emulator, each reply compared byte for byte. A reply
// that went on past what is expected shows up in the next row, so every row also fences the one
// before.
TEST(ModemDialogue, EchoResultsAndEveryCommand) {
    struct Row {
        const char *what;
        std::string input;
        std::string reply;
    };
    const std::string seventy = "ATV0" + std::string(58, ' ') + "E0" + "Q1" + std::string(4, ' ');
    const Row rows[] = {
        {"AT then CR", "AT\r", "AT\r\nOK\r\n"},
        {"lower case", "at\r", "at\r\nOK\r\n"},
        {"mixed case", "aT\r", "aT\r\nOK\r\n"},
        {"ATE0 echoes its own line, then echo is off", "ATE0\r", "ATE0\r\nOK\r\n"},
        {"no echo", "AT\r", "OK\r\n"},
        {"E alone means E1; the line itself is not echoed", "ATE\r", "OK\r\n"},
        {"echo back on", "AT\r", "AT\r\nOK\r\n"},
        {"ATV0: digit results", "ATV0\r", "ATV0\r\n0\r\n"},
        {"V alone means V1", "ATV\r", "ATV\r\nOK\r\n"},
        {"ATQ1: no result", "ATQ1\r", "ATQ1\r\n"},
        {"ATQ1: still no result", "AT\r", "AT\r\n"},
        {"ATQ1: texts are not results", "ATI\r", "ATI\r\nNORVEX MODEM EMULATOR\r\n"},
        {"Q0 brings results back", "ATQ0\r", "ATQ0\r\nOK\r\n"},
        {"Q1, then Q alone means Q0", "ATQ1Q\r", "ATQ1Q\r\nOK\r\n"},
        {"V0 with Q1 says nothing", "ATV0Q1\r", "ATV0Q1\r\n"},
        {"Z restores the defaults before the OK", "ATZ\r", "ATZ\r\nOK\r\n"},
        {"ATI", "ATI\r", "ATI\r\nNORVEX MODEM EMULATOR\r\nOK\r\n"},
        {"ATI1", "ATI1\r", "ATI1\r\nVer1.07\r\nOK\r\n"},
        {"ATI0", "ATI0\r", "ATI0\r\nNORVEX MODEM EMULATOR\r\nOK\r\n"},
        {"ATI7", "ATI7\r", "ATI7\r\nNORVEX MODEM EMULATOR\r\nOK\r\n"},
        {"defaults in the status", "AT\\S\r", "AT\\S\r\n" + status_text(0, 1, 1, 1) + "OK\r\n"},
        {"ATX4\\S shows X1", "ATX4\\S\r", "ATX4\\S\r\n" + status_text(0, 1, 1, 1) + "OK\r\n"},
        {"every switch the other way", "ATX0\\V0V0\\S\r",
         "ATX0\\V0V0\\S\r\n" + status_text(0, 0, 0, 0) + "0\r\n"},
        {"&F restores the defaults", "AT&F\\S\r",
         "AT&F\\S\r\n" + status_text(0, 1, 1, 1) + "OK\r\n"},
        {"Q1 in the status", "ATQ1\\S\r", "ATQ1\\S\r\n" + status_text(1, 1, 1, 1)},
        {"\\V and X alone mean 1 and 4", "ATQ0X0\\V0X\\V\\S\r",
         "ATQ0X0\\V0X\\V\\S\r\n" + status_text(0, 1, 1, 1) + "OK\r\n"},
        {"blanks and other characters separate commands", "AT V0 ,X0 \\S\r",
         "AT V0 ,X0 \\S\r\n" + status_text(0, 0, 0, 1) + "0\r\n"},
        {"digits after a blank belong to no letter", "ATV 0\r", "ATV 0\r\nOK\r\n"},
        {"back to the defaults", "ATZ\r", "ATZ\r\nOK\r\n"},
        {"unknown commands, S registers, dialling: OK", "AT&K3\\N3S0=1DT123;M1L2\r",
         "AT&K3\\N3S0=1DT123;M1L2\r\nOK\r\n"},
        {"a prefix holds for one letter only", "AT&V0\\S\r",
         "AT&V0\\S\r\n" + status_text(0, 1, 1, 1) + "OK\r\n"},
        {"ata with no call: no OK, NO CARRIER on the next pass", "ata\r", "ata\r\nNO CARRIER\r\n"},
        {"A among other commands still runs them first", "ATV0A\r", "ATV0A\r\n3\r\n"},
        {"defaults", "ATZ\r", "ATZ\r\nOK\r\n"},
        {"70 characters: the first 64 are kept and run", seventy + "\r",
         seventy.substr(0, 64) + "\r\n0\r\n"},
        {"E0 ran, Q1 did not: digits, no echo", "ATV1\r", "OK\r\n"},
        {"defaults, the line not echoed yet", "ATZ\r", "OK\r\n"},
        {"backspace inside a line is dropped unseen", "ATI\b1\r", "ATI1\r\nVer1.07\r\nOK\r\n"},
        {"backspace before the prefix is echoed", "A\bAT\r", "A\bAT\r\nOK\r\n"},
        {"control and high bytes inside a line are dropped", "AT\x01\x7f\x80\xffI\x1b\r",
         "AT\x7fI\r\nNORVEX MODEM EMULATOR\r\nOK\r\n"},
        {"AAT starts nothing; bytes before AT are echoed only", "AATI1\rxyzI1\r",
         "AATI1\rxyzI1\r"},
        {"AT after an incomplete prefix", "AT\r", "AT\r\nOK\r\n"},
        {"A, T with something between is no prefix", "A T\rAT\r", "A T\rAT\r\nOK\r\n"},
        // 2^32 would wrap round to 0 and switch the echo off.
        {"a number past 32 bits stays large", "ATE4294967296X4294967296\\S\r",
         "ATE4294967296X4294967296\\S\r\n" + status_text(0, 1, 1, 1) + "OK\r\n"},
        {"echo still on", "AT\r", "AT\r\nOK\r\n"},
        {"two lines in one piece", "ATE0\rATE1\r", "ATE0\r\nOK\r\nOK\r\n"},
        {"fence", "AT\r", "AT\r\nOK\r\n"},
    };
    Emulator modem("SIMM1");
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(modem.say(row.input, row.reply.size()), row.reply);
    }
}

// Echo and results go out even when a write before them failed; a failed read loses nothing.
TEST(ModemDialogue, FailedReadsAndWritesOnlyLoseWhatFailed) {
    Emulator modem("SIMM2");
    ASSERT_EQ(modem.say("AT\r", 8), "AT\r\nOK\r\n");
    sim_fail_call_of(modem.sim, SIM_CALL_WRITE, 1);
    EXPECT_EQ(modem.say("AT\r", 7), "T\r\nOK\r\n");
    sim_fail_call_of(modem.sim, SIM_CALL_READ, 1);
    EXPECT_EQ(modem.say("ATI1\r", 19), "ATI1\r\nVer1.07\r\nOK\r\n");
}

// A call offered by line_connect and never answered: RING about once a second, until the call
// gives up after about ten seconds; then the emulator is in command mode.
TEST(ModemRing, AnUnansweredCallIsRungOnceASecondUntilItGivesUp) {
    Emulator modem("SIMM3");
    std::mutex lock;
    std::vector<std::uint32_t> ring_ticks;
    sim_set_handler(modem.sim, [&](SimSerial *, const SimEvent &event) {
        if (event.kind == SIM_EVENT_RECEIVED && event.data.find("RING") != std::string::npos) {
            std::lock_guard<std::mutex> hold(lock);
            ring_ticks.push_back(event.tick_ms);
        }
    });
    std::uint32_t start = clock_tick_ms();
    EXPECT_EQ(line_connect(modem.record()), -1);
    std::uint32_t took = clock_tick_ms() - start;
    EXPECT_GE(took, 9500u);
    EXPECT_LE(took, 16000u);
    line_disconnect(modem.record());  // as the connection flow does after a failed connect

    std::string received = sim_take_received(modem.sim);
    std::string rings;
    for (std::size_t i = 0; i < ring_ticks.size(); ++i) rings += "\r\nRING\r\n";
    EXPECT_EQ(received, rings);
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_GE(ring_ticks.size(), 5u);
    EXPECT_LE(ring_ticks.size(), 11u);
    if (!ring_ticks.empty()) {
        EXPECT_LE(ring_ticks[0] - start, 2000u);
    }
    for (std::size_t i = 1; i < ring_ticks.size(); ++i) {
        EXPECT_GE(ring_ticks[i] - ring_ticks[i - 1], 950u) << "RING " << i;
        EXPECT_LE(ring_ticks[i] - ring_ticks[i - 1], 3000u) << "RING " << i;
    }
    EXPECT_EQ(modem.say("AT\r", 8), "AT\r\nOK\r\n");
}

// Removes the RING results at the front of what the equipment got; returns how many there were.
int strip_rings(std::string *received, const std::string &ring) {
    int count = 0;
    while (!ring.empty() && received->compare(0, ring.size(), ring) == 0) {
        received->erase(0, ring.size());
        ++count;
    }
    return count;
}

// A whole call through the emulator for each result form: the call rings, the equipment answers
// with ATA, line_connect returns only after CONNECT was written, the emulator stays quiet and
// leaves the port to the call, and NO CARRIER follows line_disconnect.
TEST(ModemAnswer, AtaConnectsAndNoCarrierFollowsTheCall) {
    struct Row {
        const char *what;
        std::int32_t baud_rate;
        std::string setup;  // a command line and its reply
        std::string setup_reply;
        std::string ring, connect, no_carrier;
    };
    const Row rows[] = {
        {"defaults", 9600, "", "", "\r\nRING\r\n", "CONNECT 9600/TELNET\r\n", "NO CARRIER\r\n"},
        {"ATX0: plain CONNECT", 9600, "ATX0\r", "ATX0\r\nOK\r\n", "\r\nRING\r\n", "CONNECT\r\n",
         "NO CARRIER\r\n"},
        {"AT\\V0: no suffix", 9600, "AT\\V0\r", "AT\\V0\r\nOK\r\n", "\r\nRING\r\n",
         "CONNECT 9600\r\n", "NO CARRIER\r\n"},
        {"ATX3: the level only decides whether the speed shows", 9600, "ATX3\r",
         "ATX3\r\nOK\r\n", "\r\nRING\r\n", "CONNECT 9600/TELNET\r\n", "NO CARRIER\r\n"},
        {"ATV0: digits", 9600, "ATV0\r", "ATV0\r\n0\r\n", "2\r\n", "1\r\n", "3\r\n"},
        {"ATQ1: silent", 9600, "ATQ1\r", "ATQ1\r\n", "", "", ""},
        {"the speed of the settings", 115200, "", "", "\r\nRING\r\n",
         "CONNECT 115200/TELNET\r\n", "NO CARRIER\r\n"},
    };
    int index = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::string name = "SIMN" + std::to_string(index++);
        Emulator modem(name.c_str(), true, row.baud_rate);
        PortRecord *port = modem.record();
        if (!row.setup.empty()) {
            ASSERT_EQ(modem.say(row.setup, row.setup_reply.size()), row.setup_reply);
        }
        // The equipment picks up a little after the call begins (after a RING when there is one).
        sim_after(modem.sim, 1300, [](SimSerial *s) { sim_send_text(s, "ATA\r"); });
        std::uint32_t start = clock_tick_ms();
        ASSERT_EQ(line_connect(port), 0);
        EXPECT_LE(clock_tick_ms() - start, 6000u);
        // Written before the call was let through.
        std::string received = sim_take_received(modem.sim);
        int rings = strip_rings(&received, row.ring);
        EXPECT_EQ(received, "ATA\r\n" + row.connect);
        if (row.ring.empty()) {
            EXPECT_EQ(rings, 0);
        } else {
            EXPECT_GE(rings, 1);
            EXPECT_LE(rings, 3);
        }

        // On-line: the call has the port; the emulator neither reads nor writes.
        sim_send_text(modem.sim, "AT\r");
        std::string got;
        std::uint32_t read_start = clock_tick_ms();
        while (got.size() < 3 && clock_tick_ms() - read_start < REPLY_LIMIT_MS) {
            char buffer[16];
            std::uint32_t count = 0;
            ASSERT_EQ(serial_read(port, buffer, sizeof buffer, &count), 1);
            got.append(buffer, count);
        }
        EXPECT_EQ(got, "AT\r");
        ASSERT_TRUE(serial_write(port, "data", 4));
        clock_sleep_ms(1200);
        EXPECT_EQ(sim_take_received(modem.sim), "data");

        EXPECT_EQ(line_disconnect(port), 0);
        EXPECT_EQ(line_detach(port), 0);
        if (!row.no_carrier.empty()) {
            EXPECT_TRUE(sim_wait_received_count(modem.sim, row.no_carrier.size(), REPLY_LIMIT_MS));
            EXPECT_EQ(sim_take_received(modem.sim), row.no_carrier);
        }
        // Back in command mode; in the quiet row this also shows that no NO CARRIER came.
        EXPECT_TRUE(sim_is_open(modem.sim));
        EXPECT_EQ(modem.say("ATZ\r", 9), "ATZ\r\nOK\r\n");
    }
}

// A call that rang and gave up leaves a resume signal behind (its disconnect lets the emulator go
// on, as for every call). The next call, answered, must still keep the emulator stepped aside
// until it ends.
TEST(ModemAnswer, TheEndOfAnUnansweredCallDoesNotEndTheNext) {
    Emulator modem("SIMM4");
    PortRecord *port = modem.record();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        // A connection that gives up early: the request, then its withdrawal and the disconnect.
        port->ring_request.store(1);
        ASSERT_TRUE(sim_wait_received(modem.sim, "RING", REPLY_LIMIT_MS));
        port->ring_request.store(0);
        line_disconnect(port);
        sim_take_received(modem.sim);

        answer_rings(modem.sim, true);
        ASSERT_EQ(line_connect(port), 0);
        answer_rings(modem.sim, false);
        clock_sleep_ms(1500);
        std::string received = sim_take_received(modem.sim);
        EXPECT_EQ(received.find("NO CARRIER"), std::string::npos) << received;
        EXPECT_NE(received.find("CONNECT 9600/TELNET\r\n"), std::string::npos) << received;
        line_disconnect(port);
        EXPECT_TRUE(sim_wait_received(modem.sim, "NO CARRIER\r\n", REPLY_LIMIT_MS));
        EXPECT_EQ(sim_take_received(modem.sim), "NO CARRIER\r\n");
        EXPECT_EQ(modem.say("AT\r", 8), "AT\r\nOK\r\n");
    }
}

// modem_start opens the port with up to ten tries half a second apart.
TEST(ModemStart, TriesTheOpenTenTimes) {
    {
        Emulator modem("SIMS1", false);
        int opens = sim_calls(modem.sim, SIM_CALL_OPEN);
        sim_fail_call_of(modem.sim, SIM_CALL_OPEN, 1);
        std::uint32_t start = clock_tick_ms();
        ASSERT_EQ(modem_start(modem.record()), 1);
        std::uint32_t took = clock_tick_ms() - start;
        EXPECT_GE(took, 400u);
        EXPECT_LE(took, 4000u);
        EXPECT_EQ(sim_calls(modem.sim, SIM_CALL_OPEN) - opens, 2);
        EXPECT_EQ(modem.record()->emulator_running.load(), 1);
        EXPECT_EQ(modem.say("AT\r", 8), "AT\r\nOK\r\n");
        EXPECT_EQ(modem_start(modem.record()), 1);  // running already: nothing more is opened
        EXPECT_EQ(sim_calls(modem.sim, SIM_CALL_OPEN) - opens, 2);
    }
    {
        // The device is held by someone else all along.
        Emulator modem("SIMS2", false);
        ComHandle other = serial_open(&modem.record()->settings);
        ASSERT_NE(other, COM_INVALID_HANDLE);
        int opens = sim_calls(modem.sim, SIM_CALL_OPEN);
        std::uint32_t start = clock_tick_ms();
        EXPECT_EQ(modem_start(modem.record()), 0);
        std::uint32_t took = clock_tick_ms() - start;
        EXPECT_GE(took, 4000u);
        EXPECT_LE(took, 12000u);
        EXPECT_EQ(sim_calls(modem.sim, SIM_CALL_OPEN) - opens, 10);
        EXPECT_EQ(modem.record()->emulator_running.load(), 0);
        EXPECT_EQ(modem.record()->com_handle.load(), COM_INVALID_HANDLE);
        serial_close(other);
        EXPECT_EQ(sim_received(modem.sim), "");
    }
}

// modem_stop ends the emulator whatever it is doing, and closes the port.
TEST(ModemStop, EndsTheEmulatorInEveryState) {
    enum State { IDLE, RINGING, ONLINE, TYPING_HELD };
    struct Row {
        const char *what;
        State state;
        std::uint32_t max_ms;
    };
    const Row rows[] = {
        {"idle", IDLE, 2000},
        {"offering a call", RINGING, 2000},
        {"on-line, the call reading the port", ONLINE, 2000},
        // Only a write that flow control holds keeps it past the grace period.
        {"echo held back by flow control", TYPING_HELD, MODEM_STOP_WAIT_MS + 5000},
    };
    int index = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::string name = "SIMP" + std::to_string(index++);
        Emulator modem(name.c_str(), false);
        PortRecord *port = modem.record();
        if (row.state == TYPING_HELD) port->settings.flow_control = FLOW_RTS_CTS;
        ASSERT_EQ(modem_start(port), 1);
        std::unique_ptr<Running> call;
        std::atomic<int> reads_failed{0};
        switch (row.state) {
        case IDLE:
            ASSERT_EQ(modem.say("AT\r", 8), "AT\r\nOK\r\n");
            break;
        case RINGING:
            call.reset(new Running([port] { return line_connect(port); }));
            ASSERT_TRUE(sim_wait_received(modem.sim, "RING", REPLY_LIMIT_MS));
            break;
        case ONLINE:
            port->busy.store(1);  // the call holds the port
            answer_rings(modem.sim, true);
            ASSERT_EQ(line_connect(port), 0);
            call.reset(new Running([port, &reads_failed] {
                char buffer[16];
                std::uint32_t count = 0;
                std::uint32_t start = clock_tick_ms();
                while (clock_tick_ms() - start < 20000) {
                    if (serial_read(port, buffer, sizeof buffer, &count) == 0) {
                        reads_failed = 1;
                        return 0;
                    }
                }
                return -1;
            }));
            break;
        case TYPING_HELD:
            sim_set_input(modem.sim, COM_CTS_ON, false);
            sim_send_text(modem.sim, "ATI\r");
            ASSERT_TRUE(sim_wait_write_held(modem.sim, REPLY_LIMIT_MS));
            break;
        }
        std::string before = sim_take_received(modem.sim);
        std::uint32_t start = clock_tick_ms();
        EXPECT_EQ(modem_stop(port), 1);
        std::uint32_t took = clock_tick_ms() - start;
        EXPECT_LE(took, row.max_ms);
        if (row.state == TYPING_HELD) {
            EXPECT_GE(took, MODEM_STOP_WAIT_MS - 500);
        }
        EXPECT_FALSE(sim_is_open(modem.sim));
        EXPECT_EQ(port->emulator_running.load(), 0);
        EXPECT_EQ(port->com_handle.load(), COM_INVALID_HANDLE);
        if (call != nullptr) {
            EXPECT_EQ(call->wait(5000), row.state == RINGING ? -1 : 0);
        }
        if (row.state == ONLINE) {
            EXPECT_EQ(reads_failed, 1);
        }
        // Nothing is written on the way out, not even to a call that was cut off.
        EXPECT_EQ(sim_received(modem.sim), "") << before;
        EXPECT_EQ(port->ring_request.load(), 0);
        EXPECT_EQ(modem_stop(port), 1);  // twice: nothing more
        port->busy.store(0);
        // And it starts again on the same record.
        sim_set_input(modem.sim, COM_CTS_ON, true);
        answer_rings(modem.sim, false);
        ASSERT_EQ(modem_start(port), 1);
        EXPECT_EQ(modem.say("AT\r", 8), "AT\r\nOK\r\n");
    }
}

// Settings changed while the emulator's port is lent to a call: the call keeps the port, the
// emulator carries on with the old settings until the call has released the port, and then takes
// the new ones (the port opened again from them). A stop before that drops the change.
TEST(ModemRestart, AChangeDuringACallIsTakenWhenTheCallReleasesThePort) {
    Emulator modem("SIMR1");
    PortRecord *port = modem.record();
    port->busy.store(1);
    answer_rings(modem.sim, true);
    ASSERT_EQ(line_connect(port), 0);
    answer_rings(modem.sim, false);
    sim_take_received(modem.sim);
    int opens = sim_open_count(modem.sim);

    port->settings.baud_rate = 19200;
    port->emulator_restarting.fetch_add(1);  // as the port list does around a change
    std::uint32_t start = clock_tick_ms();
    EXPECT_EQ(modem_restart_after_call(port), 1);
    EXPECT_LE(clock_tick_ms() - start, 1000u);
    port->emulator_restarting.fetch_sub(1);
    EXPECT_EQ(port->emulator_restarting.load(), 1);  // until the emulator has taken the change

    // The call still has the port.
    EXPECT_EQ(serial_write(port, "data", 4), 1);
    EXPECT_TRUE(sim_wait_received(modem.sim, "data", REPLY_LIMIT_MS));
    sim_take_received(modem.sim);
    EXPECT_EQ(line_disconnect(port), 0);
    EXPECT_EQ(line_detach(port), 0);
    EXPECT_TRUE(sim_wait_received(modem.sim, "NO CARRIER\r\n", REPLY_LIMIT_MS));
    EXPECT_EQ(sim_take_received(modem.sim), "NO CARRIER\r\n");
    // Not released yet: the old settings, the same port.
    EXPECT_EQ(modem.say("AT\\S\r", 70), "AT\\S\r\n" + status_text(0, 1, 1, 1) + "OK\r\n");
    EXPECT_EQ(sim_open_count(modem.sim), opens);

    port->busy.store(0);
    EXPECT_TRUE(wait_until([&] { return port->emulator_restarting.load() == 0; }, 10000));
    EXPECT_EQ(sim_open_count(modem.sim), opens + 1);
    EXPECT_EQ(sim_dcb(modem.sim).baud_rate, 19200u);
    EXPECT_EQ(port->emulator_running.load(), 1);
    sim_send_text(modem.sim, "AT\\S\r");
    EXPECT_TRUE(sim_wait_received(modem.sim, "DTE SPEED   : 19200bps\r\n", REPLY_LIMIT_MS));

    // A change still waiting for its call when the emulator stops goes with it.
    port->busy.store(1);
    port->settings.baud_rate = 2400;
    EXPECT_EQ(modem_restart_after_call(port), 1);
    EXPECT_EQ(port->emulator_restarting.load(), 1);
    EXPECT_EQ(modem_stop(port), 1);
    EXPECT_EQ(port->emulator_restarting.load(), 0);
    EXPECT_EQ(port->emulator_settings_changed.load(), 0);
    EXPECT_FALSE(sim_is_open(modem.sim));
    port->busy.store(0);
}

// Emulation turned on, and the device changed, while a call runs on a line it opened itself: the
// call's line is neither taken over nor closed under it; the emulator opens the new device once
// the call has released the port.
TEST(ModemRestart, StartsForACallOnItsOwnLineWhenTheCallReleasesThePort) {
    Emulator own("SIMR3", false);
    PortRecord *port = own.record();
    port->settings.modem_emulation = 0;
    port->active_settings = port->settings;
    ASSERT_EQ(line_attach(port), 0);
    port->busy.store(1);

    SimSerial *next = sim_serial_create("SIMR4");
    text_set(port->settings.port_name, "SIMR4");
    port->settings.modem_emulation = 1;
    EXPECT_EQ(modem_restart_after_call(port), 1);
    EXPECT_EQ(port->emulator_running.load(), 0);
    clock_sleep_ms(700);  // an emulator pass or more
    EXPECT_FALSE(sim_is_open(next));
    EXPECT_EQ(serial_write(port, "mine", 4), 1);
    EXPECT_TRUE(sim_wait_received(own.sim, "mine", REPLY_LIMIT_MS));

    EXPECT_EQ(line_disconnect(port), 0);
    EXPECT_EQ(line_detach(port), 0);
    port->busy.store(0);
    EXPECT_TRUE(wait_until([&] { return port->emulator_running.load() == 1; }, 10000));
    EXPECT_FALSE(sim_is_open(own.sim));  // the call's own line, closed by its detach
    EXPECT_TRUE(sim_is_open(next));
    sim_send_text(next, "AT\r");
    EXPECT_TRUE(sim_wait_received(next, "AT\r\nOK\r\n", REPLY_LIMIT_MS));
    modem_stop(port);
    sim_serial_destroy(next);
}

}  // namespace
