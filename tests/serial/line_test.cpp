// Line signalling on the simulated device: attach and detach, the connect sequence for the raise
// and confirm signals, the modem emulator's ring, the carrier test, the disconnect sequence, and a
// whole call with every device call failing in turn.
#include "serial/line.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>

#include "platform/clock.h"
#include "platform/sync.h"
#include "serial/serial.h"
#include "sim/background.h"
#include "sim/sim_serial.h"
#include "support/settings_fixtures.h"

namespace {

// A call's port on a simulated device, attached by line_attach.
struct Call {
    SimSerial *sim = nullptr;
    std::unique_ptr<PortRecord> port{new PortRecord{}};

    explicit Call(const char *name) {
        sim = sim_serial_create(name);
        EXPECT_NE(sim, nullptr);
        port->active_settings = make_port(name);
        port->active_settings.flow_control = 0;
    }
    ~Call() {
        serial_close(port->com_handle.exchange(COM_INVALID_HANDLE));
        sim_serial_destroy(sim);
    }
    PortSettings &settings() { return port->active_settings; }
    void attach() { ASSERT_EQ(line_attach(port.get()), 0); }
};

std::uint32_t elapsed_since(std::uint32_t start) { return clock_tick_ms() - start; }

TEST(LineAttach, OpensThePortOrLeavesTheEmulatorsOpen) {
    Call call("SIMA1");
    EXPECT_EQ(line_attach(call.port.get()), 0);
    EXPECT_TRUE(sim_is_open(call.sim));
    EXPECT_NE(call.port->com_handle.load(), COM_INVALID_HANDLE);
    EXPECT_EQ(line_detach(call.port.get()), 0);
    EXPECT_FALSE(sim_is_open(call.sim));
    EXPECT_EQ(call.port->com_handle.load(), COM_INVALID_HANDLE);
    EXPECT_EQ(line_detach(call.port.get()), 0);  // twice: nothing more happens

    // The emulator holds the port open between calls: attach and detach leave it alone.
    ComHandle emulators = serial_open(&call.settings());
    ASSERT_NE(emulators, COM_INVALID_HANDLE);
    call.port->com_handle = emulators;
    call.port->emulator_running = 1;
    int opens = sim_open_count(call.sim);
    EXPECT_EQ(line_attach(call.port.get()), 0);
    EXPECT_EQ(line_detach(call.port.get()), 0);
    EXPECT_EQ(sim_open_count(call.sim), opens);
    EXPECT_TRUE(sim_is_open(call.sim));
    EXPECT_EQ(call.port->com_handle.load(), emulators);
}

TEST(LineAttach, FailsWhenThePortCannotBeOpened) {
    Call call("SIMA2");
    std::unique_ptr<PortRecord> other(new PortRecord{});
    other->active_settings = call.settings();
    ASSERT_EQ(line_attach(other.get()), 0);
    EXPECT_EQ(line_attach(call.port.get()), -1);  // in use by another call
    EXPECT_EQ(call.port->com_handle.load(), COM_INVALID_HANDLE);
    EXPECT_EQ(line_detach(other.get()), 0);

    sim_fail_call_of(call.sim, SIM_CALL_OPEN, 1);
    EXPECT_EQ(line_attach(call.port.get()), -1);
    EXPECT_EQ(call.port->com_handle.load(), COM_INVALID_HANDLE);

    text_set(call.settings().port_name, "SIMNOSUCH");
    EXPECT_EQ(line_attach(call.port.get()), -1);
}

// The connect sequence for combinations of raise and confirm signals. The equipment's lines
// change at the given times after the sequence starts.
TEST(LineConnect, RaisesAndWaitsForTheConfirmSignals) {
    struct Step {
        std::uint32_t at_ms;
        std::uint32_t inputs;
    };
    struct Row {
        const char *what;
        std::int32_t raise, confirm, connect_timeout_ms;
        std::vector<Step> equipment;  // the first step is in place before the sequence starts
        int result;
        std::uint32_t outputs;         // after the sequence (the port opened with both on)
        int escapes;                   // raise calls made
        int min_status_reads, max_status_reads;
        // Generous both ways: a loaded machine is slow, and a coarse tick (Windows) reads short.
        std::uint32_t min_ms, max_ms;
    };
    const std::uint32_t CD = COM_RLSD_ON, DR = COM_DSR_ON, CS = COM_CTS_ON, RI = COM_RING_ON;
    const Row rows[] = {
        {"nothing to do", 0, 0, 5000, {{0, 0}}, 0, SIM_DTR | SIM_RTS, 0, 0, 0, 0, 90},
        {"raise ER and RS, no confirm", SIGNAL_ER | SIGNAL_RS, 0, 5000, {{0, 0}}, 0,
         SIM_DTR | SIM_RTS, 2, 0, 0, 0, 90},
        {"CD already on", SIGNAL_ER, SIGNAL_CD, 5000, {{0, CD}}, 0, SIM_DTR | SIM_RTS, 1, 1, 1, 0,
         90},
        {"every input at once", 0, SIGNAL_CD | SIGNAL_DR | SIGNAL_CS | SIGNAL_RI, 5000,
         {{0, CD | DR | CS | RI}}, 0, SIM_DTR | SIM_RTS, 0, 1, 1, 0, 90},
        {"CD comes later", SIGNAL_ER, SIGNAL_CD, 5000, {{0, 0}, {400, CD}}, 0, SIM_DTR | SIM_RTS,
         1, 3, 10, 300, 2500},
        {"CD and DR, never together", 0, SIGNAL_CD | SIGNAL_DR, 1200,
         {{0, CD}, {300, DR}, {600, CD}, {900, DR}}, -1, SIM_DTR | SIM_RTS, 0, 6, 16, 1000, 3000},
        {"CD and DR, then together", 0, SIGNAL_CD | SIGNAL_DR, 5000,
         {{0, CD}, {300, DR}, {600, CD | DR}}, 0, SIM_DTR | SIM_RTS, 0, 4, 8, 450, 3000},
        {"time-out", SIGNAL_RS, SIGNAL_CS, 1000, {{0, CD | DR | RI}}, -1, SIM_DTR | SIM_RTS, 1, 6,
         14, 850, 3000},
        {"negative time-out counts as 0", 0, SIGNAL_CD, -1000, {{0, 0}}, -1, SIM_DTR | SIM_RTS, 0,
         1, 1, 50, 1000},
    };
    int index = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::string name = "SIMC" + std::to_string(index++);
        Call call(name.c_str());
        call.settings().raise_signals = row.raise;
        call.settings().confirm_signals = row.confirm;
        call.settings().connect_timeout_ms = row.connect_timeout_ms;
        call.attach();
        sim_set_inputs(call.sim, row.equipment[0].inputs);
        for (std::size_t i = 1; i < row.equipment.size(); ++i) {
            std::uint32_t inputs = row.equipment[i].inputs;
            sim_after(call.sim, row.equipment[i].at_ms,
                      [inputs](SimSerial *s) { sim_set_inputs(s, inputs); });
        }
        int escapes = sim_calls(call.sim, SIM_CALL_ESCAPE);
        int status_reads = sim_calls(call.sim, SIM_CALL_MODEM_STATUS);
        std::uint32_t start = clock_tick_ms();
        EXPECT_EQ(line_connect(call.port.get()), row.result);
        std::uint32_t took = elapsed_since(start);
        EXPECT_GE(took, row.min_ms);
        EXPECT_LE(took, row.max_ms);
        EXPECT_EQ(sim_outputs(call.sim), row.outputs);
        EXPECT_EQ(sim_calls(call.sim, SIM_CALL_ESCAPE) - escapes, row.escapes);
        int reads = sim_calls(call.sim, SIM_CALL_MODEM_STATUS) - status_reads;
        EXPECT_GE(reads, row.min_status_reads);
        EXPECT_LE(reads, row.max_status_reads);
    }
}

TEST(LineConnect, RaisesTheLinesTheEquipmentSees) {
    Call call("SIMC20");
    call.attach();
    // Dropped first, so that the raise is what the equipment sees.
    ASSERT_EQ(com_escape(call.port->com_handle, COM_CLRDTR), 0);
    ASSERT_EQ(com_escape(call.port->com_handle, COM_CLRRTS), 0);
    struct Row {
        std::int32_t raise;
        std::uint32_t outputs;
    };
    for (Row row : {Row{SIGNAL_ER, SIM_DTR}, Row{SIGNAL_RS, SIM_DTR | SIM_RTS}}) {
        call.settings().raise_signals = row.raise;
        EXPECT_EQ(line_connect(call.port.get()), 0);
        EXPECT_EQ(sim_outputs(call.sim), row.outputs);
    }
}

TEST(LineConnect, AFailureEndsTheSequenceAtOnce) {
    struct Row {
        const char *what;
        SimCall failing;
        int nth;
        std::int32_t raise;
        std::uint32_t outputs_after;  // both dropped before the sequence
    };
    const Row rows[] = {
        {"DTR cannot be raised", SIM_CALL_ESCAPE, 1, SIGNAL_ER | SIGNAL_RS, 0},
        // A signal raised before the failure stays raised.
        {"RTS cannot be raised", SIM_CALL_ESCAPE, 2, SIGNAL_ER | SIGNAL_RS, SIM_DTR},
        {"the status cannot be read", SIM_CALL_MODEM_STATUS, 1, SIGNAL_ER, SIM_DTR},
    };
    int index = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::string name = "SIMC3" + std::to_string(index++);
        Call call(name.c_str());
        call.settings().raise_signals = row.raise;
        call.settings().confirm_signals = SIGNAL_CD;
        call.settings().connect_timeout_ms = 5000;
        call.attach();
        ASSERT_EQ(com_escape(call.port->com_handle, COM_CLRDTR), 0);
        ASSERT_EQ(com_escape(call.port->com_handle, COM_CLRRTS), 0);
        int status_reads = sim_calls(call.sim, SIM_CALL_MODEM_STATUS);
        sim_fail_call_of(call.sim, row.failing, row.nth);
        std::uint32_t start = clock_tick_ms();
        EXPECT_EQ(line_connect(call.port.get()), -1);
        EXPECT_LT(elapsed_since(start), 90u);
        EXPECT_EQ(sim_outputs(call.sim), row.outputs_after);
        if (row.failing == SIM_CALL_ESCAPE) {
            EXPECT_EQ(sim_calls(call.sim, SIM_CALL_MODEM_STATUS), status_reads);
        }
    }
}

// A stand-in for the modem emulator thread: waits for the ring request, then does `answer`.
Background *emulator_stand_in(PortRecord *port, std::function<void()> answer) {
    return background_start([port, answer] {
        std::uint32_t start = clock_tick_ms();
        while (port->ring_request.load() == 0 && clock_tick_ms() - start < 5000) {
            clock_sleep_ms(5);
        }
        answer();
    });
}

TEST(LineConnectEmulator, AnAnsweredRingGoesOnToTheSignals) {
    Call call("SIME1");
    call.attach();
    call.port->emulator_running = 1;
    call.settings().raise_signals = SIGNAL_ER;
    ASSERT_EQ(com_escape(call.port->com_handle, COM_CLRDTR), 0);
    PortRecord *port = call.port.get();
    Background *emulator = emulator_stand_in(port, [port] {
        clock_sleep_ms(700);
        port->ring_request = 0;  // after it has told the equipment CONNECT
    });
    std::uint32_t start = clock_tick_ms();
    EXPECT_EQ(line_connect(port), 0);
    std::uint32_t took = elapsed_since(start);
    EXPECT_GE(took, 600u);
    EXPECT_LE(took, 3000u);
    EXPECT_EQ(sim_outputs(call.sim) & SIM_DTR, SIM_DTR);
    EXPECT_EQ(port->ring_request.load(), 0);
    EXPECT_TRUE(background_join(emulator, 5000));
}

TEST(LineConnectEmulator, AStoppedEmulatorEndsTheRing) {
    Call call("SIME2");
    call.attach();
    call.port->emulator_running = 1;
    call.settings().raise_signals = SIGNAL_ER;
    ASSERT_EQ(com_escape(call.port->com_handle, COM_CLRDTR), 0);
    PortRecord *port = call.port.get();
    Background *stopper = emulator_stand_in(port, [port] {
        clock_sleep_ms(700);
        port->emulator_stop = 1;
    });
    std::uint32_t start = clock_tick_ms();
    EXPECT_EQ(line_connect(port), -1);
    std::uint32_t took = elapsed_since(start);
    EXPECT_GE(took, 600u);
    EXPECT_LE(took, 3000u);
    // The request does not outlive the call, so a restarted emulator does not ring for it.
    EXPECT_EQ(port->ring_request.load(), 0);
    EXPECT_EQ(sim_outputs(call.sim) & SIM_DTR, 0u);
    EXPECT_TRUE(background_join(stopper, 5000));
}

TEST(LineConnectEmulator, AnUnansweredRingGivesUpAfterTenSeconds) {
    Call call("SIME3");
    call.attach();
    call.port->emulator_running = 1;
    call.settings().raise_signals = SIGNAL_ER;
    ASSERT_EQ(com_escape(call.port->com_handle, COM_CLRDTR), 0);
    std::atomic<int> seen_ringing{0};
    PortRecord *port = call.port.get();
    Background *watcher =
        emulator_stand_in(port, [&] { seen_ringing = port->ring_request.load(); });
    std::uint32_t start = clock_tick_ms();
    EXPECT_EQ(line_connect(port), -1);
    std::uint32_t took = elapsed_since(start);
    EXPECT_GE(took, 9800u);
    EXPECT_LE(took, 14000u);
    EXPECT_TRUE(background_join(watcher, 5000));
    EXPECT_EQ(seen_ringing, 1);
    EXPECT_EQ(port->ring_request.load(), 0);  // the emulator stops ringing
    EXPECT_EQ(sim_outputs(call.sim) & SIM_DTR, 0u);
}

// The emulator answers during the sleep in which the ten seconds run out: the answer stands,
// since the equipment has already been told CONNECT. The tick is moved on to get there quickly.
TEST(LineConnectEmulator, AnAnswerInTheLastSleepStands) {
    Call call("SIME4");
    call.attach();
    call.port->emulator_running = 1;
    PortRecord *port = call.port.get();
    Background *emulator = emulator_stand_in(port, [port] {
        clock_set_tick_bias(LINE_RING_GIVE_UP_MS - 300);
        clock_sleep_ms(150);
        port->ring_request = 0;
    });
    EXPECT_EQ(line_connect(port), 0);
    clock_set_tick_bias(0);
    EXPECT_TRUE(background_join(emulator, 5000));
    EXPECT_EQ(port->ring_request.load(), 0);
}

// A server stop ends each of the line's waits at its next look, with the result of a wait that
// failed: a long time-out cannot hold up the stop.
TEST(LineWaits, AServerStopEndsEveryWait) {
    enum Wait { RING, CONFIRM, DISCONNECT };
    for (Wait wait : {RING, CONFIRM, DISCONNECT}) {
        SCOPED_TRACE(wait == RING ? "ring" : wait == CONFIRM ? "confirm" : "disconnect");
        std::atomic<std::int32_t> stop{0};
        line_set_stop_flag(&stop);
        Call call("SIMW1");
        call.settings().raise_signals = SIGNAL_ER;
        call.settings().confirm_signals = SIGNAL_CD;  // never comes
        call.settings().connect_timeout_ms = 60000;
        call.settings().watch_signals = SIGNAL_DR;    // stays on
        call.settings().disconnect_timeout_ms = 60000;
        call.attach();
        sim_set_inputs(call.sim, COM_DSR_ON);
        if (wait == RING) call.port->emulator_running = 1;  // nobody answers the ring
        sim_after(call.sim, 300, [&stop](SimSerial *) { stop.store(1); });
        std::uint32_t start = clock_tick_ms();
        int result = wait == DISCONNECT ? line_disconnect(call.port.get())
                                        : line_connect(call.port.get());
        std::uint32_t took = elapsed_since(start);
        EXPECT_EQ(result, -1);
        EXPECT_GE(took, 250u);
        EXPECT_LT(took, 3000u);
        EXPECT_EQ(call.port->ring_request.load(), 0);
        call.port->emulator_running = 0;
        line_set_stop_flag(nullptr);
    }
}

TEST(LineCarrier, TestsTheWatchedSignals) {
    struct Row {
        std::int32_t watch;
        std::uint32_t inputs;
        bool status_fails;
        int result;
    };
    const Row rows[] = {
        {0, 0, false, 1},
        {0, COM_RLSD_ON, false, 1},
        {0, 0, true, 0},  // watching nothing still needs a readable status
        {SIGNAL_CD, COM_RLSD_ON, false, 1},
        {SIGNAL_CD, COM_DSR_ON | COM_CTS_ON | COM_RING_ON, false, 0},
        {SIGNAL_CD, COM_RLSD_ON, true, 0},
        {SIGNAL_CD | SIGNAL_DR, COM_RLSD_ON, false, 0},
        {SIGNAL_CD | SIGNAL_DR, COM_RLSD_ON | COM_DSR_ON, false, 1},
        {SIGNAL_CS, COM_CTS_ON, false, 1},
        {SIGNAL_RI, COM_RING_ON, false, 1},
        {SIGNAL_RI, COM_RLSD_ON, false, 0},
    };
    Call call("SIMK1");
    call.attach();
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "watch " << row.watch << " inputs " << row.inputs);
        call.settings().watch_signals = row.watch;
        sim_set_inputs(call.sim, row.inputs);
        if (row.status_fails) sim_fail_call_of(call.sim, SIM_CALL_MODEM_STATUS, 1);
        EXPECT_EQ(line_carrier_ok(call.port.get()), row.result);
    }
    // A closed port has no status.
    ASSERT_EQ(line_detach(call.port.get()), 0);
    call.settings().watch_signals = 0;
    EXPECT_EQ(line_carrier_ok(call.port.get()), 0);
}

TEST(LineDisconnect, DropsTheSignalsAndWaitsForTheWatchedOnesToDrop) {
    struct Row {
        const char *what;
        std::int32_t raise, watch, disconnect_timeout_ms;
        std::uint32_t inputs, drop_inputs_at_ms;  // 0: never
        SimCall failing;                          // SIM_CALL_KINDS: none
        int result;
        std::uint32_t outputs;                    // after the sequence
        int min_status_reads, max_status_reads;
        std::uint32_t min_ms, max_ms;
    };
    const Row rows[] = {
        {"no watch: drops only", SIGNAL_ER | SIGNAL_RS, 0, 5000, COM_RLSD_ON, 0, SIM_CALL_KINDS, 0,
         0, 0, 0, 0, 90},
        {"drops DTR only", SIGNAL_ER, 0, 5000, 0, 0, SIM_CALL_KINDS, 0, SIM_RTS, 0, 0, 0, 90},
        {"watched signal already off", SIGNAL_ER, SIGNAL_CD, 5000, COM_DSR_ON, 0, SIM_CALL_KINDS, 0,
         SIM_RTS, 1, 1, 0, 90},
        {"watched signal drops later", SIGNAL_ER, SIGNAL_CD, 5000, COM_RLSD_ON, 400,
         SIM_CALL_KINDS, 0, SIM_RTS, 3, 10, 300, 2500},
        {"watched signal stays on", SIGNAL_ER, SIGNAL_CD, 800, COM_RLSD_ON, 0, SIM_CALL_KINDS, -1,
         SIM_RTS, 5, 12, 650, 2500},
        {"time-out 0: no test at all", SIGNAL_ER, SIGNAL_CD, 0, COM_RLSD_ON, 0, SIM_CALL_KINDS, -1,
         SIM_RTS, 0, 0, 0, 90},
        {"a status that cannot be read ends the wait", SIGNAL_ER, SIGNAL_CD, 5000, COM_RLSD_ON, 0,
         SIM_CALL_MODEM_STATUS, 0, SIM_RTS, 1, 1, 0, 90},
        // Both drops are tried even when the first fails.
        {"a drop fails", SIGNAL_ER | SIGNAL_RS, 0, 5000, 0, 0, SIM_CALL_ESCAPE, -1, SIM_DTR, 0, 0,
         0, 90},
    };
    int index = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::string name = "SIMD" + std::to_string(index++);
        Call call(name.c_str());
        call.settings().raise_signals = row.raise;
        call.settings().watch_signals = row.watch;
        call.settings().disconnect_timeout_ms = row.disconnect_timeout_ms;
        call.attach();
        sim_set_inputs(call.sim, row.inputs);
        if (row.drop_inputs_at_ms != 0) {
            sim_after(call.sim, row.drop_inputs_at_ms, [](SimSerial *s) { sim_set_inputs(s, 0); });
        }
        if (row.failing != SIM_CALL_KINDS) sim_fail_call_of(call.sim, row.failing, 1);
        int status_reads = sim_calls(call.sim, SIM_CALL_MODEM_STATUS);
        std::uint32_t start = clock_tick_ms();
        EXPECT_EQ(line_disconnect(call.port.get()), row.result);
        std::uint32_t took = elapsed_since(start);
        EXPECT_GE(took, row.min_ms);
        EXPECT_LE(took, row.max_ms);
        EXPECT_EQ(sim_outputs(call.sim), row.outputs);
        int reads = sim_calls(call.sim, SIM_CALL_MODEM_STATUS) - status_reads;
        EXPECT_GE(reads, row.min_status_reads);
        EXPECT_LE(reads, row.max_status_reads);
    }
}

TEST(LineDisconnect, HandsTheLineBackToTheEmulator) {
    Call call("SIMD20");
    call.attach();
    call.port->emulator_running = 1;
    call.port->emulator_resume = event_create();
    ASSERT_NE(call.port->emulator_resume, nullptr);
    call.settings().raise_signals = SIGNAL_ER;
    call.settings().watch_signals = SIGNAL_CD;  // not waited for: the emulator takes over
    sim_set_inputs(call.sim, COM_RLSD_ON);
    int status_reads = sim_calls(call.sim, SIM_CALL_MODEM_STATUS);
    std::uint32_t start = clock_tick_ms();
    EXPECT_EQ(line_disconnect(call.port.get()), 0);
    EXPECT_LT(elapsed_since(start), 90u);
    EXPECT_EQ(sim_calls(call.sim, SIM_CALL_MODEM_STATUS), status_reads);
    EXPECT_EQ(sim_outputs(call.sim), SIM_RTS);
    EXPECT_EQ(event_wait(call.port->emulator_resume, 0), 0);  // the emulator may go on
    EXPECT_TRUE(sim_is_open(call.sim));
    event_close(call.port->emulator_resume);

    call.port->emulator_resume = nullptr;  // an emulator that made no event is no reason to crash
    EXPECT_EQ(line_disconnect(call.port.get()), 0);
}

// A whole call with scripted equipment that answers DTR with CD and drops CD when DTR drops.
TEST(LineCall, RunsAgainstEquipmentThatFollowsDtr) {
    Call call("SIMW1");
    sim_set_handler(call.sim, [](SimSerial *sim, const SimEvent &event) {
        if (event.kind != SIM_EVENT_OUTPUTS) return;
        bool dtr = (event.outputs & SIM_DTR) != 0;
        sim_after(sim, 150, [dtr](SimSerial *s) { sim_set_input(s, COM_RLSD_ON, dtr); });
    });
    call.settings().raise_signals = SIGNAL_ER;
    call.settings().confirm_signals = SIGNAL_CD;
    call.settings().watch_signals = SIGNAL_CD;
    call.settings().connect_timeout_ms = 5000;
    call.settings().disconnect_timeout_ms = 5000;
    ASSERT_EQ(line_attach(call.port.get()), 0);
    EXPECT_EQ(line_connect(call.port.get()), 0);
    EXPECT_EQ(line_carrier_ok(call.port.get()), 1);
    EXPECT_EQ(line_disconnect(call.port.get()), 0);
    EXPECT_EQ(line_carrier_ok(call.port.get()), 0);
    EXPECT_EQ(line_detach(call.port.get()), 0);
    EXPECT_FALSE(sim_is_open(call.sim));
}

// Each device call of a whole call fails in turn: every step reports it as its own failure, and
// the port is never left open after the detach.
TEST(LineCall, EveryFailingDeviceCallIsReportedAndThePortClosed) {
    Call call("SIMW2");
    call.settings().raise_signals = SIGNAL_ER | SIGNAL_RS;
    call.settings().confirm_signals = SIGNAL_CD;
    call.settings().watch_signals = SIGNAL_CD;
    call.settings().connect_timeout_ms = 300;
    call.settings().disconnect_timeout_ms = 300;
    PortRecord *port = call.port.get();
    auto run = [&](int *attached, int *connected, int *carrier, int *disconnected) {
        sim_set_inputs(call.sim, COM_RLSD_ON);
        *attached = line_attach(port);
        *connected = *carrier = *disconnected = -2;
        if (*attached == 0) {
            *connected = line_connect(port);
            *carrier = line_carrier_ok(port);
            sim_set_inputs(call.sim, 0);
            *disconnected = line_disconnect(port);
        }
        EXPECT_EQ(line_detach(port), 0);
    };
    int before = sim_total_calls(call.sim);
    int attached, connected, carrier, disconnected;
    run(&attached, &connected, &carrier, &disconnected);
    ASSERT_EQ(attached, 0);
    ASSERT_EQ(connected, 0);
    ASSERT_EQ(carrier, 1);
    ASSERT_EQ(disconnected, 0);
    int calls = sim_total_calls(call.sim) - before;

    int failed_steps = 0;
    for (int n = 1; n <= calls; ++n) {
        SCOPED_TRACE(n);
        sim_fail_call(call.sim, n);
        run(&attached, &connected, &carrier, &disconnected);
        int failures = attached != 0 ? 1
                                     : (connected != 0) + (carrier != 1) + (disconnected != 0);
        // A failed settings call at open or a failed purge at close changes no result; any other
        // failure shows in the one step that made the call.
        EXPECT_LE(failures, 1);
        failed_steps += failures;
        EXPECT_FALSE(sim_is_open(call.sim));
        EXPECT_EQ(port->com_handle.load(), COM_INVALID_HANDLE);
        EXPECT_EQ(sim_outputs(call.sim), 0u);
    }
    // open, raise DTR, raise RTS, confirm status, carrier status, drop DTR, drop RTS (a status
    // that cannot be read in the disconnect wait counts as a drop, not as a failure)
    EXPECT_EQ(failed_steps, 7);
    sim_fail_call(call.sim, 0);
}

}  // namespace
