// Every fallible platform call of a whole call failing in turn: for each N the N-th counted call
// (socket, serial, file, thread start, lock creation) of a call fails. Each time the call ends with
// exactly one log line, the port is free and closed, no connection thread is left, and the next
// call, with nothing failing, is a normal one. Leaks show in the AddressSanitizer build at the end
// of the run. The sweep is cut into shards that CTest runs side by side.
#include <gtest/gtest.h>

#include "platform/faults.h"
#include "support/gateway_fixture.h"

namespace {

constexpr int SHARDS = 4;

class FaultSweep : public GatewayTest, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        GatewayTest::SetUp();
        platform_fault_exempt_thread(1);  // the caller and the checks are the test's own
        PortSettings settings = make_port("SIMF1");
        settings.flow_control = 0;
        settings.raise_signals = SIGNAL_ER | SIGNAL_RS;
        settings.confirm_signals = SIGNAL_CD;
        settings.watch_signals = SIGNAL_CD;
        settings.connect_timeout_ms = 2000;
        settings.disconnect_timeout_ms = 300;
        text_set(settings.auto_pilot_string, "AT\\r{2000}[OK]");
        text_set(settings.connect_message, "connected\r\n");
        text_set(settings.disconnect_message, "bye\r\n");
        text_set(settings.disconnect_keyword, "END");
        device = add_port("SIMF1", settings);
        sim_reply(device, "AT\r", "OK");
        sim_set_inputs(device, COM_RLSD_ON);
        start_server();
    }
    void TearDown() override {
        platform_fail_call(0);
        GatewayTest::TearDown();
        platform_fault_exempt_thread(0);
    }

    // A whole call as a caller makes it, whatever the gateway does: the greeting and connect
    // message, a word typed, the equipment's answer ending with the keyword; then until closed.
    void make_call() {
        TestCaller caller(port);
        if (caller.read_until("connected\r\n", 10000)) {
            caller.send("typed");
            if (sim_wait_received(device, "typed", 3000)) sim_send_text(device, "answer END");
        }
        EXPECT_TRUE(caller.read_until_closed(20000));
    }

    // The call has ended in order: one more log line than before, the port free and closed, no
    // connection thread left. The last line, or empty.
    std::string call_ended(std::size_t lines_before) {
        EXPECT_TRUE(wait_log_lines(lines_before + 1, 20000));
        EXPECT_TRUE(wait_until(
            [&] {
                return live_connections() == 0 && port_list_at(0)->busy.load() == 0 &&
                       !sim_is_open(device);
            },
            20000));
        std::vector<std::string> lines = log_lines();
        EXPECT_EQ(lines.size(), lines_before + 1);
        return lines.empty() ? std::string() : lines.back();
    }

    SimSerial *device = nullptr;
};

TEST_P(FaultSweep, EveryFailingCallEndsInOrderAndTheNextCallWorks) {
    int shard = GetParam();
    int swept = 0;
    for (std::int32_t n = 1 + shard;; n += SHARDS) {
        SCOPED_TRACE(n);
        std::size_t lines = log_lines().size();
        std::int64_t armed_at = platform_calls_counted();
        platform_fail_call(n);
        make_call();
        std::string line = call_ended(lines);
        platform_fail_call(0);
        // Every counted call of the whole call has had its turn once a call made fewer of them.
        bool fired = platform_calls_counted() - armed_at >= n;
        if (!fired) {
            EXPECT_TRUE(log_has_end_time(line)) << "nothing failed: " << line;
            break;
        }
        ++swept;

        sim_take_received(device);
        make_call();
        std::string next = call_ended(lines + 1);
        EXPECT_TRUE(log_has_end_time(next)) << "after failing call " << n << ": " << next;
        if (HasFailure()) break;
    }
    EXPECT_GE(swept, 30 / SHARDS);  // a call makes about 40 fallible calls
    std::printf("shard %d: %d failing calls swept\n", shard, swept);
}

INSTANTIATE_TEST_SUITE_P(Shards, FaultSweep, ::testing::Range(0, SHARDS));

}  // namespace
