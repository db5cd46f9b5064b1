// Serial handles: exclusive opens, no call reaching a closed or reopened device, and closes and
// cancels that end transfers blocked in other threads. Played on the simulated device, which goes
// through the same handle layer as the operating system's ports.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <set>

#include "platform/clock.h"
#include "platform/serial.h"
#include "sim/background.h"
#include "sim/sim_serial.h"

namespace {

// Every call that needs an open handle, each returning its result.
const std::vector<std::pair<const char *, std::function<int(ComHandle)>>> &handle_calls() {
    static const std::vector<std::pair<const char *, std::function<int(ComHandle)>>> calls = {
        {"get_state", [](ComHandle h) { SerialDcb dcb; return com_get_state(h, &dcb); }},
        {"set_state", [](ComHandle h) { SerialDcb dcb{}; dcb.baud_rate = 9600; dcb.byte_size = 8;
                                         dcb.f_dtr_control = dcb.f_rts_control = 1;
                                         return com_set_state(h, &dcb); }},
        {"get_timeouts", [](ComHandle h) { SerialTimeouts t; return com_get_timeouts(h, &t); }},
        {"set_timeouts", [](ComHandle h) { SerialTimeouts t{COM_MAXDWORD, 0, 0, 0, 0};
                                            return com_set_timeouts(h, &t); }},
        {"read", [](ComHandle h) { char b[4]; std::uint32_t n = 9;
                                   int r = com_read(h, b, sizeof b, &n);
                                   EXPECT_EQ(n, 0u);
                                   return r; }},
        {"write", [](ComHandle h) { std::uint32_t n; return com_write(h, "x", 1, &n); }},
        {"escape", [](ComHandle h) { return com_escape(h, COM_SETDTR); }},
        {"modem_status", [](ComHandle h) { std::uint32_t s; return com_modem_status(h, &s); }},
        {"set_break", [](ComHandle h) { return com_set_break(h); }},
        {"clear_break", [](ComHandle h) { return com_clear_break(h); }},
        {"purge", [](ComHandle h) { return com_purge(h, COM_PURGE_RXCLEAR); }},
        {"cancel", [](ComHandle h) { return com_cancel(h); }},
    };
    return calls;
}

// Flow control by CTS, and reads and writes without time limits, so that both block.
void hold_everything(ComHandle handle) {
    SerialDcb dcb;
    ASSERT_EQ(com_get_state(handle, &dcb), 0);
    dcb.f_outx_cts_flow = 1;
    ASSERT_EQ(com_set_state(handle, &dcb), 0);
    SerialTimeouts none{};
    ASSERT_EQ(com_set_timeouts(handle, &none), 0);
}

TEST(SerialHandle, OpenIsExclusiveAndAClosedHandleReachesNothing) {
    SimSerial *sim = sim_serial_create("SIMH1");
    ASSERT_NE(sim, nullptr);
    ComHandle first = com_open("SIMH1");
    ASSERT_NE(first, COM_INVALID_HANDLE);
    EXPECT_EQ(com_open("simh1"), COM_INVALID_HANDLE);  // names compare without case; no sharing
    SerialTimeouts at_once{COM_MAXDWORD, 0, 0, 0, 0};
    ASSERT_EQ(com_set_timeouts(first, &at_once), 0);
    for (const auto &[name, call] : handle_calls()) EXPECT_EQ(call(first), 0) << name;
    com_close(first);
    EXPECT_FALSE(sim_is_open(sim));
    com_close(first);  // a second close does nothing

    ComHandle second = com_open("SimH1");
    ASSERT_NE(second, COM_INVALID_HANDLE);
    EXPECT_NE(second, first);
    sim_take_received(sim);
    int calls_before = sim_total_calls(sim);
    for (const auto &[name, call] : handle_calls()) {
        EXPECT_EQ(call(first), -1) << name << " on a handle closed before the reopen";
    }
    EXPECT_EQ(sim_total_calls(sim), calls_before);  // the stale handle never reached the device
    EXPECT_EQ(sim_received(sim), "");
    EXPECT_EQ(sim_outputs(sim), SIM_DTR | SIM_RTS);  // its escape did not drop or raise anything
    com_close(second);
    sim_serial_destroy(sim);
}

TEST(SerialHandle, NamesNobodyServesAndForgedHandlesFail) {
    EXPECT_EQ(com_open("SIMNOBODY"), COM_INVALID_HANDLE);
    EXPECT_EQ(com_open(""), COM_INVALID_HANDLE);
    EXPECT_EQ(com_open(nullptr), COM_INVALID_HANDLE);
    const ComHandle forged[] = {COM_INVALID_HANDLE, 0x0000000100000001ull, 0x00000001FFFFFFFFull,
                                0xFFFFFFFF00000001ull};
    for (ComHandle handle : forged) {
        for (const auto &[name, call] : handle_calls()) {
            EXPECT_EQ(call(handle), -1) << name << " on " << handle;
        }
        com_close(handle);
    }
}

TEST(SerialHandle, HandlesStayUniqueAcrossManyOpens) {
    SimSerial *sim = sim_serial_create("SIMH2");
    ASSERT_NE(sim, nullptr);
    std::set<ComHandle> seen;
    for (int i = 0; i < 5000; ++i) {  // more than the table holds at once: slots are reused
        ComHandle handle = com_open("SIMH2");
        ASSERT_NE(handle, COM_INVALID_HANDLE) << "open " << i;
        EXPECT_TRUE(seen.insert(handle).second) << "handle reused at open " << i;
        com_close(handle);
    }
    EXPECT_EQ(sim_open_count(sim), 5000);
    sim_serial_destroy(sim);
}

TEST(SerialHandle, CloseEndsAReadAndAWriteBlockedInOtherThreads) {
    SimSerial *sim = sim_serial_create("SIMH3");
    ASSERT_NE(sim, nullptr);
    ComHandle handle = com_open("SIMH3");
    ASSERT_NE(handle, COM_INVALID_HANDLE);
    hold_everything(handle);

    std::atomic<int> read_result{1}, write_result{1};
    std::atomic<std::uint32_t> read_count{99};
    Background *reader = background_start([&] {
        char buffer[16];
        std::uint32_t count = 99;
        read_result = com_read(handle, buffer, sizeof buffer, &count);
        read_count = count;
    });
    Background *writer = background_start([&] {
        std::uint32_t count;
        write_result = com_write(handle, "held back", 9, &count);
    });
    ASSERT_TRUE(sim_wait_write_held(sim, 5000));
    clock_sleep_ms(100);  // the read is waiting too by now
    EXPECT_FALSE(background_finished(reader));
    EXPECT_FALSE(background_finished(writer));

    Background *closer = background_start([&] { com_close(handle); });
    EXPECT_TRUE(background_join(closer, 5000));
    EXPECT_TRUE(background_join(reader, 5000));
    EXPECT_TRUE(background_join(writer, 5000));
    EXPECT_EQ(read_result, -1);
    EXPECT_EQ(read_count, 0u);
    EXPECT_EQ(write_result, -1);
    EXPECT_EQ(sim_received(sim), "");  // the held bytes were never sent
    EXPECT_FALSE(sim_is_open(sim));
    sim_serial_destroy(sim);
}

TEST(SerialHandle, CancelEndsOnlyTheTransfersRunningNow) {
    SimSerial *sim = sim_serial_create("SIMH4");
    ASSERT_NE(sim, nullptr);
    ComHandle handle = com_open("SIMH4");
    ASSERT_NE(handle, COM_INVALID_HANDLE);
    hold_everything(handle);

    std::atomic<int> write_result{1}, read_result{1};
    Background *writer = background_start([&] {
        std::uint32_t count;
        write_result = com_write(handle, "first", 5, &count);
    });
    Background *reader = background_start([&] {
        char buffer[4];
        std::uint32_t count;
        read_result = com_read(handle, buffer, sizeof buffer, &count);
    });
    ASSERT_TRUE(sim_wait_write_held(sim, 5000));
    clock_sleep_ms(100);
    EXPECT_EQ(com_cancel(handle), 0);
    EXPECT_TRUE(background_join(writer, 5000));
    EXPECT_TRUE(background_join(reader, 5000));
    EXPECT_EQ(write_result, -1);
    EXPECT_EQ(read_result, -1);

    // The port goes on working: the cancel does not stick to later transfers.
    sim_set_input(sim, COM_CTS_ON, true);
    std::uint32_t count = 0;
    EXPECT_EQ(com_write(handle, "second", 6, &count), 0);
    EXPECT_EQ(count, 6u);
    EXPECT_EQ(sim_received(sim), "second");
    sim_send_text(sim, "ok");
    char buffer[4];
    EXPECT_EQ(com_read(handle, buffer, 2, &count), 0);
    EXPECT_EQ(std::string(buffer, count), "ok");
    com_close(handle);
    EXPECT_EQ(com_cancel(handle), -1);
    sim_serial_destroy(sim);
}

}  // namespace
