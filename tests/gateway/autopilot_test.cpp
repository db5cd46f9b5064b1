// The auto-pilot against a simulated device, with a real loopback caller: sends, waits, pauses,
// limits, escapes, the double-byte rule, and random scripts.
#include "gateway/autopilot.h"

#include <gtest/gtest.h>

#include <random>

#include "support/relay_call.h"

namespace {

int run(RelayCall &call, const char *script) {
    return autopilot_run(&call.caller, call.port.get(), script, std::strlen(script));
}

TEST(AutoPilot, DialScriptSendsWaitsPausesAndLeavesTheRestUnread) {
    RelayCall call("SIMP1");
    call.attach();
    sim_reply(call.sim, "ATZ\r", "\r\nOK\r\nafter", 50);
    std::uint32_t began = clock_tick_ms();
    EXPECT_EQ(run(call, "ATZ\\r[OK](500)ATDT0123\\r"), 0);
    EXPECT_EQ(sim_received(call.sim), "ATZ\rATDT0123\r");
    EXPECT_GE(clock_tick_ms() - began, 500u);
    // The wait read no further than "OK": the rest waits for the next reader.
    std::uint8_t rest[32];
    std::uint32_t count = 0;
    ASSERT_EQ(serial_read(call.port.get(), rest, sizeof rest, &count), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(rest), count), "\r\nafter");
}

TEST(AutoPilot, LimitFailsTheWaitAtTheEndOfItsCycle) {
    RelayCall call("SIMP2");
    call.attach();
    std::uint32_t start = clock_tick_ms();
    EXPECT_EQ(run(call, "{900}[CONNECT]"), -1);
    std::uint32_t took = clock_tick_ms() - start;
    EXPECT_GE(took, 850u);
    EXPECT_LT(took, 5000u);

    // Without a limit it waits until the caller hangs up.
    Running waiting([&] { return run(call, "{0}[CONNECT]"); });
    clock_sleep_ms(1200);
    EXPECT_FALSE(waiting.done.load());
    net_close(&call.pair.peer);
    EXPECT_EQ(waiting.wait(5000), -1);
}

TEST(AutoPilot, ServerStopEndsWaitsAndPauses) {
    RelayCall call("SIMP3");
    call.attach();
    Running waiting([&] { return run(call, "[never]"); });
    clock_sleep_ms(300);
    server_stop.store(1);
    EXPECT_EQ(waiting.wait(5000), -1);
    server_stop.store(0);

    // A pause of -1 is taken unsigned (about 49 days): a stop still cuts it short.
    Running pausing([&] { return run(call, "(-1)"); });
    clock_sleep_ms(300);
    EXPECT_FALSE(pausing.done.load());
    server_stop.store(1);
    EXPECT_EQ(pausing.wait(5000), -1);
}

// Equipment that is off or not cabled never raises CTS: the script's text is held back by flow
// control. A server stop and a forced disconnect end that write as they end the relay's.
TEST(AutoPilot, AWriteHeldByFlowControlEndsOnAStopOrAForcedDisconnect) {
    for (bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "server stop" : "forced disconnect");
        RelayCall call("SIMP5");
        call.settings().flow_control = FLOW_RTS_CTS;  // CTS stays off
        call.attach();
        Running script([&] { return run(call, "ATZ\\r[OK]"); });
        ASSERT_TRUE(sim_wait_write_held(call.sim, 10000));
        clock_sleep_ms(300);
        EXPECT_FALSE(script.done.load());
        std::uint32_t start = clock_tick_ms();
        if (stop) {
            server_stop.store(1);
        } else {
            call.port->disconnect_request.store(1);
        }
        EXPECT_EQ(script.wait(10000), -1);
        EXPECT_LT(clock_tick_ms() - start, 3000u);
        EXPECT_EQ(sim_received(call.sim), "");

        // The port itself is unharmed: once CTS comes, text goes out with no limit on the write.
        server_stop.store(0);
        call.port->disconnect_request.store(0);
        sim_after(call.sim, 500, [](SimSerial *sim) { sim_set_input(sim, COM_CTS_ON, true); });
        EXPECT_EQ(run(call, "late"), 0);
        EXPECT_EQ(sim_received(call.sim), "late");
        EXPECT_EQ(sim_timeouts(call.sim).write_total_timeout_constant, 0u);
    }
}

TEST(AutoPilot, CallerInputDuringAWaitIsDiscardedOneBytePerCycle) {
    RelayCall call("SIMP4");
    call.attach();
    call.caller_sends(bytes_of("typed"));
    sim_after(call.sim, 1000, [](SimSerial *sim) { sim_send_text(sim, "READY"); });
    EXPECT_EQ(run(call, "[READY]"), 0);
    EXPECT_EQ(sim_received(call.sim), "");  // none of it reached the device
    std::int32_t ready = 0;
    ASSERT_EQ(net_wait(call.pair.gateway, NET_READABLE, 0, &ready), 0);
    EXPECT_EQ(ready, 0);  // five cycles have taken the five bytes
}

TEST(AutoPilot, ScriptSyntax) {
    struct Case {
        const char *script;
        const char *sent;
        std::uint32_t min_ms;
    };
    const Case cases[] = {
        {"", "", 0},
        {"abc\\", "abc", 0},                      // a trailing backslash ends the script
        {"a\\\\b\\[c\\0\\q", "a\\b[c0q", 0},      // backslash stands for the next character
        {"\\e\\E\\n\\N\\r\\R\\a\\b\\f\\t\\v", "\x1B\x1B\n\n\r\r\a\b\f\t\v", 0},
        {"x\x01y", "x\x01y", 0},                  // control bytes stay in plain text
        {"p(300)q", "pq", 260},
        {"p( 2\x01" "00 )q", "pq", 160},          // blanks skipped, control bytes dropped
        {"p(300}q(200]r", "pqr", 460},           // any closer ends any opener
        {"p(300", "p", 260},                      // a missing closer runs to the end
        {"p(abc)q(+150x9)r", "pqr", 110},         // no digits: 0; digits up to a non-digit
        {"{50}[]done", "done", 0},                // an empty wait succeeds at once
        {"a\\", "a", 0},
        {"(20\\", "", 0},
    };
    for (const Case &c : cases) {
        RelayCall call("SIMP5");
        call.attach();
        int calls_before = sim_total_calls(call.sim);
        std::uint32_t start = clock_tick_ms();
        EXPECT_EQ(run(call, c.script), 0) << c.script;
        std::uint32_t took = clock_tick_ms() - start;
        EXPECT_EQ(sim_received(call.sim), c.sent) << c.script;
        EXPECT_GE(took, c.min_ms) << c.script;
        EXPECT_LT(took, c.min_ms + 3000) << c.script;
        if (c.script[0] == '\0') {
            EXPECT_EQ(sim_total_calls(call.sim), calls_before);  // nothing touched the port
        }
    }
}

TEST(AutoPilot, WaitMatchingDoesNotLookBack) {
    RelayCall call("SIMP6");
    call.attach();
    sim_send_text(call.sim, "ABABAC");
    EXPECT_EQ(run(call, "{700}[ABAC]"), -1);
    sim_send_text(call.sim, "xABAC");
    EXPECT_EQ(run(call, "{2000}[ABAC]"), 0);
}

TEST(AutoPilot, DoubleByteCharactersAreTextNotSyntax) {
    // 0x83 0x5C and 0x83 0x5B are Shift-JIS characters whose trail bytes are '\' and '['.
    RelayCall call("SIMP7");
    call.attach();
    EXPECT_EQ(run(call, "\x83\x5Cn\x83\x5B" "x]"), 0);
    EXPECT_EQ(sim_received(call.sim), "\x83\x5Cn\x83\x5Bx]");

    sim_take_received(call.sim);
    sim_send_text(call.sim, "\x95\x5C" "OK");
    EXPECT_EQ(run(call, "{2000}[\x95\x5C" "OK]sent"), 0);
    EXPECT_EQ(sim_received(call.sim), "sent");

    // A backslash after a complete double-byte character is an escape again.
    sim_take_received(call.sim);
    EXPECT_EQ(run(call, "\x83\x40\\r"), 0);
    EXPECT_EQ(sim_received(call.sim), "\x83\x40\r");
}

TEST(AutoPilot, DeviceFailuresFailTheScript) {
    RelayCall call("SIMP8");
    call.attach();
    sim_fail_call_of(call.sim, SIM_CALL_WRITE, 1);
    EXPECT_EQ(run(call, "ATZ"), -1);
    sim_fail_call_of(call.sim, SIM_CALL_READ, 1);
    EXPECT_EQ(run(call, "[OK]"), -1);
    EXPECT_EQ(run(call, "never(10)sent"), 0);
}

TEST(AutoPilot, RandomScriptsNeverCrashOrOverrun) {
    // Random scripts of the characters that matter, against equipment that echoes what it is
    // sent; a watchdog stops the server for a script that waits for good.
    std::mt19937 random(20261207);
    const char alphabet[] = "ab[]{}()\\\\0123456789 \x01\x83\x5C\x5B\xE0";
    RelayCall call("SIMP9");
    call.attach();
    sim_set_handler(call.sim, [](SimSerial *sim, const SimEvent &event) {
        if (event.kind == SIM_EVENT_RECEIVED) sim_send_text(sim, event.data);
    });
    for (int round = 0; round < 80; ++round) {
        char script[256];
        std::size_t length = random() % 40;
        for (std::size_t i = 0; i < length; ++i) {
            script[i] = alphabet[random() % (sizeof alphabet - 1)];
        }
        // The script fills its field exactly when it has no terminator.
        std::size_t field = random() % 4 == 0 ? length : length + 1;
        script[length] = '\0';
        server_stop.store(0);
        sim_take_received(call.sim);
        Running running([&] { return autopilot_run(&call.caller, call.port.get(), script, field); });
        if (running.wait(100) == 99) {
            server_stop.store(1);
            ASSERT_NE(running.wait(10000), 99) << "script " << round << " hung";
        }
        EXPECT_LE(sim_received(call.sim).size(), length) << "script " << round;
        std::uint8_t drain[256];
        std::uint32_t count = 0;
        while (serial_read(call.port.get(), drain, sizeof drain, &count) == 1 && count > 0) {
        }
    }
}

}  // namespace
