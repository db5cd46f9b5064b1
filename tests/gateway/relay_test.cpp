// The relay over a real loopback caller and a simulated device: data both ways, every end
// condition with its result, the keyword, the idle limit, BREAK, and ending a reader that is stuck
// in a write held back by flow control.
#include "gateway/relay.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "support/relay_call.h"

namespace {

constexpr std::uint32_t ENDS_SOON_MS = 5000;  // generous: an end is due within a cycle or two

Bytes caller_bytes(RelayCall &call, std::size_t count) { return read_count(call.pair.peer, count); }

TEST(Relay, MovesDataBothWaysUntilTheCallerCloses) {
    RelayCall call("SIMR1");
    call.attach();
    Running relay([&] { return relay_run(&call.caller, call.port.get()); });

    call.caller_sends(bytes_of("hello ") + bytes_of({255, 255}) + bytes_of(" bye"));
    EXPECT_TRUE(sim_wait_received(call.sim, "hello \xFF bye", 10000));
    sim_send(call.sim, "world\xFF!", 7);
    EXPECT_EQ(caller_bytes(call, 8), bytes_of("world") + bytes_of({255, 255}) + bytes_of("!"));

    net_close(&call.pair.peer);
    EXPECT_EQ(relay.wait(ENDS_SOON_MS), 0);
}

TEST(Relay, ServerStopAndForcedDisconnectEndAbnormally) {
    {
        RelayCall call("SIMR2");
        call.attach();
        Running relay([&] { return relay_run(&call.caller, call.port.get()); });
        clock_sleep_ms(200);
        server_stop.store(1);
        EXPECT_EQ(relay.wait(ENDS_SOON_MS), -1);
    }
    {
        RelayCall call("SIMR3");
        call.attach();
        Running relay([&] { return relay_run(&call.caller, call.port.get()); });
        clock_sleep_ms(200);
        call.port->disconnect_request.store(1);
        EXPECT_EQ(relay.wait(ENDS_SOON_MS), -1);
        EXPECT_TRUE(call.caller_received(100).empty());  // nothing is said to the caller
    }
}

TEST(Relay, SerialReadFailureEndsAbnormally) {
    RelayCall call("SIMR4");
    call.attach();
    sim_fail_call_of(call.sim, SIM_CALL_READ, 3);
    Running relay([&] { return relay_run(&call.caller, call.port.get()); });
    // A quiet line is read only when something comes: the equipment sends until a read fails.
    for (int i = 0; i < 10 && !relay.done.load(); ++i) {
        sim_send_text(call.sim, "x");
        wait_until([&] { return relay.done.load() || sim_unread(call.sim) == 0; }, 5000);
    }
    EXPECT_EQ(relay.wait(ENDS_SOON_MS), -1);
}

TEST(Relay, SerialWriteFailureInTheReaderEndsNormally) {
    RelayCall call("SIMR5");
    call.attach();
    sim_fail_call_of(call.sim, SIM_CALL_WRITE, 1);
    Running relay([&] { return relay_run(&call.caller, call.port.get()); });
    call.caller_sends(bytes_of("x"));
    EXPECT_EQ(relay.wait(ENDS_SOON_MS), 0);
}

TEST(Relay, SocketSendFailureEndsAbnormally) {
    RelayCall call("SIMR6");
    call.attach();
    Running relay([&] { return relay_run(&call.caller, call.port.get()); });
    // Hold the send guard so that the relay's send of the device's data waits; break the socket
    // meanwhile, then let the send go: it fails before the relay looks at its reader again.
    ASSERT_EQ(semaphore_wait(call.guard, 5000), 0);
    sim_send_text(call.sim, "data");
    EXPECT_TRUE(wait_until([&] { return sim_unread(call.sim) == 0; }, 5000));
    clock_sleep_ms(100);
    net_cancel(call.pair.gateway);
    semaphore_release(call.guard);
    EXPECT_EQ(relay.wait(ENDS_SOON_MS), -1);
}

TEST(Relay, WatchedSignalsEndTheCall) {
    {  // off from the start: the first cycle ends it
        RelayCall call("SIMR7");
        call.settings().watch_signals = SIGNAL_CD;
        call.attach();
        Running relay([&] { return relay_run(&call.caller, call.port.get()); });
        EXPECT_EQ(relay.wait(ENDS_SOON_MS), 0);
    }
    {  // on, then dropped
        RelayCall call("SIMR8");
        call.settings().watch_signals = SIGNAL_CD | SIGNAL_DR;
        sim_set_inputs(call.sim, COM_RLSD_ON | COM_DSR_ON);
        call.attach();
        Running relay([&] { return relay_run(&call.caller, call.port.get()); });
        clock_sleep_ms(300);
        EXPECT_FALSE(relay.done.load());
        sim_set_input(call.sim, COM_DSR_ON, false);  // one of the two is enough
        EXPECT_EQ(relay.wait(ENDS_SOON_MS), 0);
    }
    {  // falling edge: off at the start is not a drop; on and then off is
        RelayCall call("SIMR9");
        call.settings().watch_signals = SIGNAL_CD;
        call.settings().drop_on_falling_edge = 1;
        call.attach();
        Running relay([&] { return relay_run(&call.caller, call.port.get()); });
        clock_sleep_ms(400);
        EXPECT_FALSE(relay.done.load());
        sim_set_input(call.sim, COM_RLSD_ON, true);
        clock_sleep_ms(300);
        EXPECT_FALSE(relay.done.load());
        sim_set_input(call.sim, COM_RLSD_ON, false);
        EXPECT_EQ(relay.wait(ENDS_SOON_MS), 0);
    }
    {  // nothing watched: never a drop while the status can be read; a status failure is one
        RelayCall call("SIMR10");
        call.attach();
        Running relay([&] { return relay_run(&call.caller, call.port.get()); });
        clock_sleep_ms(400);
        EXPECT_FALSE(relay.done.load());
        sim_fail_call_of(call.sim, SIM_CALL_MODEM_STATUS, 1);
        EXPECT_EQ(relay.wait(ENDS_SOON_MS), 0);
    }
}

TEST(Relay, KeywordEndsTheCallAcrossReadsAfterDeliveringTheRead) {
    RelayCall call("SIMR11");
    text_set(call.settings().disconnect_keyword, "NO CARRIER");
    call.attach();
    Running relay([&] { return relay_run(&call.caller, call.port.get()); });
    sim_send_text(call.sim, "line one\r\nNO CAR");
    EXPECT_EQ(caller_bytes(call, 16), bytes_of("line one\r\nNO CAR"));
    EXPECT_FALSE(relay.done.load());
    sim_send_text(call.sim, "RIER and more");
    EXPECT_EQ(relay.wait(ENDS_SOON_MS), 0);
    EXPECT_EQ(call.caller_received(), "RIER and more");
}

TEST(Relay, KeywordMatchingDoesNotLookBack) {
    RelayCall call("SIMR12");
    text_set(call.settings().disconnect_keyword, "ABAC");
    call.attach();
    Running relay([&] { return relay_run(&call.caller, call.port.get()); });
    sim_send_text(call.sim, "ABABAC");
    EXPECT_EQ(caller_bytes(call, 6), bytes_of("ABABAC"));
    clock_sleep_ms(300);
    EXPECT_FALSE(relay.done.load());
    sim_send_text(call.sim, "ABAC");
    EXPECT_EQ(relay.wait(ENDS_SOON_MS), 0);
}

TEST(Relay, KeywordEscapesAndDoubleByteCharacters) {
    // 0x83 0x5C is one Shift-JIS character: its trail byte is not a backslash, so the "n" after it
    // is a plain n. Then an escaped CR LF, and control bytes typed into the keyword are dropped.
    RelayCall call("SIMR13");
    text_set(call.settings().disconnect_keyword, "\x83\x5Cn\\r\\n\x01OK");
    call.attach();
    Running relay([&] { return relay_run(&call.caller, call.port.get()); });
    sim_send_text(call.sim, "\x83\x0A\r\nOK");  // what a mistaken escape would have made
    EXPECT_EQ(caller_bytes(call, 5).size(), 5u);
    clock_sleep_ms(300);
    EXPECT_FALSE(relay.done.load());
    sim_send_text(call.sim, "\x83\x5Cn\r\nOK");
    EXPECT_EQ(relay.wait(ENDS_SOON_MS), 0);
}

TEST(Relay, IdleLimitNeedsBothDirectionsIdle) {
    {
        RelayCall call("SIMR14");
        call.settings().idle_timeout_s = 1;
        call.attach();
        std::uint32_t start = clock_tick_ms();
        Running relay([&] { return relay_run(&call.caller, call.port.get()); });
        EXPECT_EQ(relay.wait(10000), 0);
        EXPECT_GE(clock_tick_ms() - start, 900u);
    }
    {  // the caller types, the device is silent: no idle end
        RelayCall call("SIMR15");
        call.settings().idle_timeout_s = 1;
        call.attach();
        Running relay([&] { return relay_run(&call.caller, call.port.get()); });
        for (int i = 0; i < 8; ++i) {
            call.caller_sends(bytes_of("k"));
            clock_sleep_ms(300);
        }
        EXPECT_FALSE(relay.done.load());
        call.port->disconnect_request.store(1);
        EXPECT_EQ(relay.wait(ENDS_SOON_MS), -1);
    }
    {  // telnet commands alone are not activity
        RelayCall call("SIMR16");
        call.settings().idle_timeout_s = 1;
        call.attach();
        Running relay([&] { return relay_run(&call.caller, call.port.get()); });
        for (int i = 0; i < 8 && !relay.done.load(); ++i) {
            call.caller_sends(bytes_of({255, 241}));  // IAC NOP
            clock_sleep_ms(300);
        }
        EXPECT_EQ(relay.wait(ENDS_SOON_MS), 0);
    }
}

// An idle limit from the file that milliseconds in 32 bits would wrap (4294968 s is 704 ms so
// counted) is kept as the longest limit the tick can measure: the call stays up, and ends only when
// that much quiet has passed, however late the relay looks.
TEST(Relay, AnIdleLimitTooLongForTheTickIsKeptAsTheLongestNotWrapped) {
    RelayCall call("SIMR30");
    call.settings().idle_timeout_s = 4294968;
    call.attach();
    Running relay([&] { return relay_run(&call.caller, call.port.get()); });
    clock_sleep_ms(2500);
    EXPECT_FALSE(relay.done.load());
    call.caller_sends(bytes_of("still"));
    EXPECT_TRUE(sim_wait_received(call.sim, "still", 10000));
    sim_send_text(call.sim, "here");
    EXPECT_EQ(caller_bytes(call, 4), bytes_of("here"));
    EXPECT_FALSE(relay.done.load());

    // The longest limit and a bit more go by at once: the next look ends the call as idle.
    clock_set_tick_bias(SETTINGS_LONGEST_WAIT_MS + 2000);
    int result = relay.wait(ENDS_SOON_MS);
    clock_set_tick_bias(0);
    EXPECT_EQ(result, 0);
}

TEST(Relay, BreakFollowsTheDataOfItsReadAndSeveralMakeOne) {
    RelayCall call("SIMR17");
    call.attach();
    Running relay([&] { return relay_run(&call.caller, call.port.get()); });
    call.caller_sends(bytes_of("ab") + bytes_of({255, 243, 255, 243}) + bytes_of("c"));
    ASSERT_TRUE(sim_wait_breaks(call.sim, 1, 10000));
    EXPECT_TRUE(sim_wait_received(call.sim, "abc", 10000));
    clock_sleep_ms(500);
    std::vector<SimBreak> breaks = sim_breaks(call.sim);
    ASSERT_EQ(breaks.size(), 1u);
    EXPECT_GE(breaks[0].off_tick_ms - breaks[0].on_tick_ms, 250u);
    EXPECT_LT(breaks[0].off_tick_ms - breaks[0].on_tick_ms, 3000u);
    net_close(&call.pair.peer);
    EXPECT_EQ(relay.wait(ENDS_SOON_MS), 0);
}

// DR/ER flow control as a Windows port does it: the caller's bytes wait while the equipment's DSR
// is off and all arrive once it is on; what the equipment sends while DSR is off is dropped by the
// port; the call goes on.
TEST(Relay, DrErFlowControlHoldsTheCallersBytesUntilDsr) {
    RelayCall call("SIMR21");
    call.settings().flow_control = FLOW_DTR_DSR;
    call.attach();
    sim_model_dsr_sensitivity(call.sim, true);
    EXPECT_EQ(sim_outputs(call.sim) & SIM_DTR, SIM_DTR);  // the input handshake has room
    Running relay([&] { return relay_run(&call.caller, call.port.get()); });
    call.caller_sends(bytes_of("typed early"));
    ASSERT_TRUE(sim_wait_write_held(call.sim, 10000));
    sim_send_text(call.sim, "noise");
    sim_set_input(call.sim, COM_DSR_ON, true);
    EXPECT_TRUE(sim_wait_received(call.sim, "typed early", 10000));
    sim_send_text(call.sim, "answer");
    EXPECT_EQ(caller_bytes(call, 6), bytes_of("answer"));
    net_close(&call.pair.peer);
    EXPECT_EQ(relay.wait(ENDS_SOON_MS), 0);
}

TEST(Relay, AReaderStuckInAHeldWriteIsEndedAndTheGuardIsFree) {
    RelayCall call("SIMR18");
    call.settings().flow_control = FLOW_RTS_CTS;  // CTS stays off: the device holds writes back
    call.attach();
    Running relay([&] { return relay_run(&call.caller, call.port.get()); });
    call.caller_sends(bytes_of("held back"));
    ASSERT_TRUE(sim_wait_write_held(call.sim, 10000));

    std::uint32_t start = clock_tick_ms();
    call.port->disconnect_request.store(1);
    EXPECT_EQ(relay.wait(15000), -1);
    std::uint32_t took = clock_tick_ms() - start;
    EXPECT_GE(took, 1500u);  // the grace period came first
    EXPECT_LT(took, 10000u);

    // The connection flow can still send through the guard.
    const Bytes goodbye = bytes_of("goodbye");
    EXPECT_EQ(telnet_send_data(&call.channel, goodbye.data(), 7), 0);
    EXPECT_EQ(caller_bytes(call, 7), goodbye);
}

TEST(Relay, ADeviceSlowToCancelAHeldWriteStillLeavesTheCallerReachable) {
    RelayCall call("SIMR19");
    call.settings().flow_control = FLOW_RTS_CTS;
    call.attach();
    Running relay([&] { return relay_run(&call.caller, call.port.get()); });
    call.caller_sends(bytes_of("held back"));
    ASSERT_TRUE(sim_wait_write_held(call.sim, 10000));
    sim_miss_cancels(call.sim, 3);

    call.port->disconnect_request.store(1);
    EXPECT_EQ(relay.wait(15000), -1);
    // The socket was not shut down while the serial cancel was still being retried.
    const Bytes goodbye = bytes_of("goodbye");
    EXPECT_EQ(telnet_send_data(&call.channel, goodbye.data(), 7), 0);
    EXPECT_EQ(caller_bytes(call, 7), goodbye);
}

TEST(Relay, AReaderStuckInASendToACallerWhoDoesNotReadIsEnded) {
    RelayCall call("SIMR20");
    call.attach();
    Running relay([&] { return relay_run(&call.caller, call.port.get()); });
    // Each DO BINARY draws an answer; the caller never reads them, so the reader's answers fill
    // the socket and it blocks in a send while holding the send guard.
    std::atomic<int> blocks{0};
    Running chatter([&] {
        Bytes requests;
        for (int i = 0; i < 1000; ++i) requests = requests + bytes_of({255, 253, 0});
        for (;;) {
            std::int32_t sent = 0;
            if (net_send(call.pair.peer, requests.data(), static_cast<std::int32_t>(requests.size()),
                         &sent) != 0) {
                return 0;
            }
            blocks.fetch_add(1);
        }
    });
    int last = -1;
    ASSERT_TRUE(wait_until(
        [&] {
            clock_sleep_ms(1000);
            int now = blocks.load();
            bool still = now == last;
            last = now;
            return still && now > 0;
        },
        60000));

    call.port->disconnect_request.store(1);
    EXPECT_EQ(relay.wait(30000), -1);
    ASSERT_EQ(semaphore_wait(call.guard, 1000), 0);  // the guard was given back
    semaphore_release(call.guard);
    net_cancel(call.pair.peer);
    EXPECT_EQ(chatter.wait(10000), 0);
}

// How soon each end condition ends a quiet call, and data gets through, with the relay's quiet
// look pushed out of reach: whatever ends the call here woke the relay by itself. The bound is
// generous (each is due within milliseconds); the figures go to the test's output.
class RelayReaction : public ::testing::Test {
protected:
    void SetUp() override { relay_set_quiet_look_ms(600000); }
    void TearDown() override {
        relay_set_quiet_look_ms(0);
        server_stop.store(0);
    }
};

constexpr std::uint32_t REACTS_MS = 3000;

struct Reaction {
    int result;          // the relay's, 99 when it had not ended within REACTS_MS
    std::uint32_t took;  // from the trigger to the end
};

// Starts the relay, lets it settle into its wait on the quiet line, pulls the trigger and times
// the end. A relay that does not end in time is stopped, so that the test goes on.
template <typename Trigger>
Reaction time_the_end(RelayCall &call, const char *what, Trigger trigger) {
    Running relay([&] { return relay_run(&call.caller, call.port.get()); });
    EXPECT_TRUE(wait_until([&] { return sim_calls(call.sim, SIM_CALL_WAIT) > 0; }, 10000));
    clock_sleep_ms(100);  // well inside the wait
    std::uint32_t start = clock_tick_ms();
    trigger();
    Reaction reaction{relay.wait(REACTS_MS), clock_tick_ms() - start};
    if (reaction.result == 99) {
        server_stop.store(1);
        relay_wake(nullptr);
        relay.wait(60000);
    }
    std::printf("%-32s %u ms\n", what, static_cast<unsigned>(reaction.took));
    return reaction;
}

TEST_F(RelayReaction, TheStopsAndTheCallerLeavingEndAQuietCallAtOnce) {
    {
        RelayCall call("SIMQ1");
        call.attach();
        Reaction r = time_the_end(call, "forced disconnect", [&] {
            call.port->disconnect_request.store(1);
            relay_wake(call.port.get());
        });
        EXPECT_EQ(r.result, -1);
    }
    {
        RelayCall call("SIMQ2");
        call.attach();
        Reaction r = time_the_end(call, "server stop", [&] {
            server_stop.store(1);
            relay_wake(nullptr);
        });
        EXPECT_EQ(r.result, -1);
    }
    {
        RelayCall call("SIMQ3");
        call.attach();
        Reaction r = time_the_end(call, "caller leaves", [&] { net_close(&call.pair.peer); });
        EXPECT_EQ(r.result, 0);
    }
    {  // after a full block the reader receives again without a wait: the end cuts that short
        RelayCall call("SIMQ6");
        call.attach();
        Reaction r = time_the_end(call, "forced disconnect, reader in a receive", [&] {
            call.caller_sends(Bytes(RELAY_BLOCK_SIZE, 'x'));
            EXPECT_TRUE(sim_wait_received_count(call.sim, RELAY_BLOCK_SIZE, 10000));
            call.port->disconnect_request.store(1);
            relay_wake(call.port.get());
        });
        EXPECT_EQ(r.result, -1);
    }
    {  // another port's forced disconnect leaves this call alone
        RelayCall call("SIMQ4");
        RelayCall other("SIMQ5");
        call.attach();
        Running relay([&] { return relay_run(&call.caller, call.port.get()); });
        ASSERT_TRUE(wait_until([&] { return sim_calls(call.sim, SIM_CALL_WAIT) > 0; }, 10000));
        other.port->disconnect_request.store(1);
        relay_wake(other.port.get());
        clock_sleep_ms(300);
        EXPECT_FALSE(relay.done.load());
        sim_send_text(call.sim, "still here");
        EXPECT_EQ(caller_bytes(call, 10), bytes_of("still here"));
        net_close(&call.pair.peer);
        EXPECT_EQ(relay.wait(ENDS_SOON_MS), 0);
    }
}

TEST_F(RelayReaction, WatchedSignalsKeywordAndIdleLimitEndAQuietCallInTime) {
    {
        RelayCall call("SIMQ6");
        call.settings().watch_signals = SIGNAL_CD;
        sim_set_inputs(call.sim, COM_RLSD_ON);
        call.attach();
        Reaction r = time_the_end(call, "watched signal drops",
                                  [&] { sim_set_input(call.sim, COM_RLSD_ON, false); });
        EXPECT_EQ(r.result, 0);
    }
    {  // falling edge: the rise is seen while the call sleeps, then the drop ends it
        RelayCall call("SIMQ7");
        call.settings().watch_signals = SIGNAL_CD;
        call.settings().drop_on_falling_edge = 1;
        call.attach();
        Reaction r = time_the_end(call, "falling edge", [&] {
            int waits = sim_calls(call.sim, SIM_CALL_WAIT);
            sim_set_input(call.sim, COM_RLSD_ON, true);
            // The relay has looked at the rise and sleeps again.
            EXPECT_TRUE(
                wait_until([&] { return sim_calls(call.sim, SIM_CALL_WAIT) > waits; }, 10000));
            sim_set_input(call.sim, COM_RLSD_ON, false);
        });
        EXPECT_EQ(r.result, 0);
    }
    {
        RelayCall call("SIMQ8");
        text_set(call.settings().disconnect_keyword, "NO CARRIER");
        call.attach();
        Reaction r = time_the_end(call, "disconnect keyword",
                                  [&] { sim_send_text(call.sim, "\r\nNO CARRIER\r\n"); });
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(call.caller_received(), "\r\nNO CARRIER\r\n");
    }
    {  // to the same second: not before the limit, and not a look later
        RelayCall call("SIMQ9");
        call.settings().idle_timeout_s = 2;
        call.attach();
        std::uint32_t start = clock_tick_ms();
        Running relay([&] { return relay_run(&call.caller, call.port.get()); });
        EXPECT_EQ(relay.wait(2000 + REACTS_MS), 0);
        std::uint32_t took = clock_tick_ms() - start;
        std::printf("%-32s %u ms\n", "idle limit of 2 s", static_cast<unsigned>(took));
        EXPECT_GE(took, 1990u);
    }
    {  // the caller's typing moves the deadline the sleeping relay set itself
        RelayCall call("SIMQ10");
        call.settings().idle_timeout_s = 2;
        call.attach();
        Running relay([&] { return relay_run(&call.caller, call.port.get()); });
        ASSERT_TRUE(wait_until([&] { return sim_calls(call.sim, SIM_CALL_WAIT) > 0; }, 10000));
        clock_sleep_ms(1000);
        sim_send_text(call.sim, "x");  // both directions must be idle: the device's side too
        EXPECT_EQ(caller_bytes(call, 1), bytes_of("x"));
        call.caller_sends(bytes_of("k"));
        ASSERT_TRUE(sim_wait_received(call.sim, "k", 10000));
        std::uint32_t typed = clock_tick_ms();
        EXPECT_EQ(relay.wait(2000 + REACTS_MS), 0);
        EXPECT_GE(clock_tick_ms() - typed, 1900u);
    }
}

TEST_F(RelayReaction, DataAndBreakGetThroughAQuietCallAtOnce) {
    RelayCall call("SIMQ11");
    call.attach();
    Running relay([&] { return relay_run(&call.caller, call.port.get()); });
    for (int round = 0; round < 5; ++round) {
        ASSERT_TRUE(wait_until([&] { return sim_calls(call.sim, SIM_CALL_WAIT) > round; }, 10000));
        clock_sleep_ms(100);
        std::uint32_t start = clock_tick_ms();
        sim_send_text(call.sim, "ping");
        EXPECT_EQ(caller_bytes(call, 4), bytes_of("ping"));
        std::uint32_t to_caller = clock_tick_ms() - start;
        start = clock_tick_ms();
        call.caller_sends(bytes_of("pong") + bytes_of({255, 243}));
        ASSERT_TRUE(sim_wait_breaks(call.sim, static_cast<std::size_t>(round) + 1, REACTS_MS));
        std::uint32_t to_break = clock_tick_ms() - start;
        EXPECT_LT(to_caller, REACTS_MS);
        EXPECT_LT(to_break, REACTS_MS + RELAY_BREAK_MS);
        std::printf("round %d: to the caller %u ms, to the device and its break %u ms\n", round,
                    static_cast<unsigned>(to_caller), static_cast<unsigned>(to_break));
    }
    EXPECT_EQ(sim_take_received(call.sim), "pongpongpongpongpong");
    net_close(&call.pair.peer);
    EXPECT_EQ(relay.wait(ENDS_SOON_MS), 0);
}

}  // namespace
