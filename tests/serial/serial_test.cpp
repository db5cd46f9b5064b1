// The serial port driver on the simulated device: the control block built from the settings,
// opening (also when device calls fail), the 50 ms reads, whole writes, flow control that holds a
// write back, and a port closed under its users.
#include "serial/serial.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "sim/background.h"
#include "sim/sim_serial.h"
#include "support/settings_fixtures.h"

namespace {

// A simulated device and a port record that opened it.
struct SimPort {
    SimSerial *sim = nullptr;
    std::unique_ptr<PortRecord> port{new PortRecord{}};

    SimPort(const char *name, std::int32_t flow_control) {
        sim = sim_serial_create(name);
        EXPECT_NE(sim, nullptr);
        port->active_settings = make_port(name);
        port->active_settings.flow_control = flow_control;
        port->com_handle = serial_open(&port->active_settings);
        EXPECT_NE(port->com_handle.load(), COM_INVALID_HANDLE);
    }
    ~SimPort() {
        serial_close(port->com_handle.exchange(COM_INVALID_HANDLE));
        sim_serial_destroy(sim);
    }
};

std::uint32_t elapsed_since(std::uint32_t start) { return clock_tick_ms() - start; }

TEST(SerialDriver, BuildsTheControlBlockFromTheSettings) {
    struct Row {
        std::int32_t flow_control;
        std::uint8_t parity;
        std::uint32_t cts, dsr, dtr_control, rts_control, xon_xoff, f_parity;
    };
    const Row rows[] = {
        {0, 0, 0, 0, COM_LINE_CONTROL_ENABLE, COM_LINE_CONTROL_ENABLE, 0, 0},
        {FLOW_RTS_CTS, 1, 1, 0, COM_LINE_CONTROL_ENABLE, COM_LINE_CONTROL_HANDSHAKE, 0, 1},
        {FLOW_DTR_DSR, 2, 0, 1, COM_LINE_CONTROL_HANDSHAKE, COM_LINE_CONTROL_ENABLE, 0, 1},
        {FLOW_XON_XOFF, 3, 0, 0, COM_LINE_CONTROL_ENABLE, COM_LINE_CONTROL_ENABLE, 1, 1},
        // Each bit acts by itself.
        {FLOW_RTS_CTS | FLOW_DTR_DSR | FLOW_XON_XOFF, 0, 1, 1, COM_LINE_CONTROL_HANDSHAKE,
         COM_LINE_CONTROL_HANDSHAKE, 1, 0},
    };
    for (const Row &row : rows) {
        PortSettings settings = make_port("SIMB");
        settings.flow_control = row.flow_control;
        settings.parity = row.parity;
        settings.baud_rate = 460800;
        settings.data_bits = 7;
        settings.stop_bits = 2;
        SerialDcb dcb;
        std::memset(&dcb, 0xA5, sizeof dcb);  // what the device had: kept where not set
        serial_build_dcb(&dcb, &settings);
        SCOPED_TRACE(row.flow_control);
        EXPECT_EQ(dcb.dcb_length, 28u);
        EXPECT_EQ(dcb.baud_rate, 460800u);
        EXPECT_EQ(dcb.byte_size, 7);
        EXPECT_EQ(dcb.parity, row.parity);
        EXPECT_EQ(dcb.stop_bits, 2);
        EXPECT_EQ(dcb.f_parity, row.f_parity);
        EXPECT_EQ(dcb.f_outx_cts_flow, row.cts);
        EXPECT_EQ(dcb.f_outx_dsr_flow, row.dsr);
        EXPECT_EQ(dcb.f_dtr_control, row.dtr_control);
        EXPECT_EQ(dcb.f_rts_control, row.rts_control);
        EXPECT_EQ(dcb.f_out_x, row.xon_xoff);
        EXPECT_EQ(dcb.f_in_x, row.xon_xoff);
        EXPECT_EQ(dcb.f_binary, 1u);
        EXPECT_EQ(dcb.f_dsr_sensitivity, 1u);
        EXPECT_EQ(dcb.f_tx_continue_on_xoff, 1u);
        EXPECT_EQ(dcb.f_error_char + dcb.f_null + dcb.f_abort_on_error, 0u);
        EXPECT_EQ(dcb.xon_char, 17);
        EXPECT_EQ(dcb.xoff_char, 19);
        EXPECT_EQ(dcb.error_char + dcb.eof_char + dcb.evt_char, 0);
        EXPECT_EQ(dcb.xon_lim, 0xA5A5);
        EXPECT_EQ(dcb.xoff_lim, 0xA5A5);
    }
}

TEST(SerialDriver, OpenSetsTheLineAndTheReadTimeOuts) {
    SimSerial *sim = sim_serial_create("SIMO1");
    ASSERT_NE(sim, nullptr);
    PortSettings settings = make_port("SIMO1");
    settings.baud_rate = 230400;
    settings.data_bits = 7;
    settings.parity = 3;
    settings.flow_control = 0;
    ComHandle handle = serial_open(&settings);
    ASSERT_NE(handle, COM_INVALID_HANDLE);
    SerialDcb dcb = sim_dcb(sim);
    EXPECT_EQ(dcb.baud_rate, 230400u);
    EXPECT_EQ(dcb.byte_size, 7);
    EXPECT_EQ(dcb.parity, COM_PARITY_MARK);
    EXPECT_EQ(dcb.f_parity, 1u);
    EXPECT_EQ(dcb.xon_lim, 2048);  // the device's own limits stay
    // Flow control "none": DTR and RTS on, nothing holds the output back.
    EXPECT_EQ(sim_outputs(sim), SIM_DTR | SIM_RTS);
    EXPECT_EQ(dcb.f_outx_cts_flow + dcb.f_outx_dsr_flow + dcb.f_out_x + dcb.f_in_x, 0u);
    SerialTimeouts timeouts = sim_timeouts(sim);
    EXPECT_EQ(timeouts.read_interval_timeout, 0xFFFFFFFFu);
    EXPECT_EQ(timeouts.read_total_timeout_multiplier, 0u);
    EXPECT_EQ(timeouts.read_total_timeout_constant, 50u);
    EXPECT_EQ(timeouts.write_total_timeout_multiplier, 0u);
    EXPECT_EQ(timeouts.write_total_timeout_constant, 0u);
    EXPECT_EQ(serial_close(handle), 0);
    EXPECT_FALSE(sim_is_open(sim));
    EXPECT_EQ(sim_outputs(sim), 0u);
    EXPECT_EQ(serial_close(COM_INVALID_HANDLE), 0);
    EXPECT_EQ(serial_close(handle), 0);  // closed before: nothing happens
    sim_serial_destroy(sim);
}

TEST(SerialDriver, OpenTakesANameThatFillsItsField) {
    SimSerial *sim = sim_serial_create("SIM4567890123456");  // 16 characters: no terminator
    ASSERT_NE(sim, nullptr);
    PortSettings settings = make_port("");
    std::memcpy(settings.port_name, "SIM4567890123456", 16);
    ComHandle handle = serial_open(&settings);
    EXPECT_NE(handle, COM_INVALID_HANDLE);
    EXPECT_TRUE(sim_is_open(sim));
    serial_close(handle);
    sim_serial_destroy(sim);
}

// Each device call of an open and a close fails in turn: a failed open gives nothing; a failed
// settings call leaves the port usable with what it kept; a close always closes.
TEST(SerialDriver, OpenAndCloseSurviveEachFailingDeviceCall) {
    struct Row {
        SimCall failing;
        bool opens;
        bool line_set;      // the block from the settings reached the device
        bool timeouts_set;  // the 50 ms read time-outs reached the device
    };
    const Row rows[] = {
        {SIM_CALL_OPEN, false, false, false},
        {SIM_CALL_GET_STATE, true, false, true},  // no block written on an unknown base
        {SIM_CALL_SET_STATE, true, false, true},
        {SIM_CALL_GET_TIMEOUTS, true, true, true},
        {SIM_CALL_SET_TIMEOUTS, true, true, false},
        {SIM_CALL_PURGE, true, true, true},
    };
    SimSerial *sim = sim_serial_create("SIMO2");
    ASSERT_NE(sim, nullptr);
    PortSettings settings = make_port("SIMO2");
    settings.baud_rate = 115200;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.failing);
        // The device as another program left it.
        ComHandle before = com_open("SIMO2");
        SerialDcb dcb;
        ASSERT_EQ(com_get_state(before, &dcb), 0);
        dcb.baud_rate = 300;
        ASSERT_EQ(com_set_state(before, &dcb), 0);
        SerialTimeouts none{};
        ASSERT_EQ(com_set_timeouts(before, &none), 0);
        com_close(before);

        int set_states = sim_calls(sim, SIM_CALL_SET_STATE);
        sim_fail_call_of(sim, row.failing, 1);
        ComHandle handle = serial_open(&settings);
        EXPECT_EQ(handle != COM_INVALID_HANDLE, row.opens);
        EXPECT_EQ(sim_is_open(sim), row.opens);
        if (row.failing == SIM_CALL_GET_STATE) {
            EXPECT_EQ(sim_calls(sim, SIM_CALL_SET_STATE), set_states);
        }
        EXPECT_EQ(sim_dcb(sim).baud_rate, row.line_set ? 115200u : 300u);
        EXPECT_EQ(sim_timeouts(sim).read_total_timeout_constant, row.timeouts_set ? 50u : 0u);
        EXPECT_EQ(serial_close(handle), 0);
        EXPECT_FALSE(sim_is_open(sim));
        sim_fail_call_of(sim, row.failing, 0);
    }
    sim_serial_destroy(sim);
}

TEST(SerialDriver, AQuietReadEndsAfterAbout50ms) {
    SimPort line("SIMR1", 0);
    char buffer[16];
    std::uint32_t count = 99;
    std::uint32_t start = clock_tick_ms();
    EXPECT_EQ(serial_read(line.port.get(), buffer, sizeof buffer, &count), 1);
    std::uint32_t took = elapsed_since(start);
    EXPECT_EQ(count, 0u);
    EXPECT_GE(took, 30u);  // the Windows tick moves in steps of up to 16 ms
    EXPECT_LT(took, 1000u);
}

TEST(SerialDriver, BufferedBytesComeAtOnceEvenWhenMoreWereAskedFor) {
    SimPort line("SIMR2", 0);
    // The quickest of a few tries: a slow machine may stall one of them, never all.
    std::uint32_t quickest = 0xFFFFFFFFu;
    for (int attempt = 0; attempt < 3; ++attempt) {
        sim_send_text(line.sim, "abc");
        char buffer[10];
        std::uint32_t count = 0;
        std::uint32_t start = clock_tick_ms();
        ASSERT_EQ(serial_read(line.port.get(), buffer, sizeof buffer, &count), 1);
        quickest = std::min(quickest, elapsed_since(start));
        EXPECT_EQ(std::string(buffer, count), "abc");
    }
    EXPECT_LT(quickest, 40u);
}

TEST(SerialDriver, ReadsNoMoreThanAskedAndFailsWithTheDevice) {
    SimPort line("SIMR3", 0);
    sim_send_text(line.sim, "0123456789");
    char buffer[16];
    std::uint32_t count = 0;
    EXPECT_EQ(serial_read(line.port.get(), buffer, 4, &count), 1);
    EXPECT_EQ(std::string(buffer, count), "0123");
    EXPECT_EQ(sim_unread(line.sim), 6u);
    sim_fail_call_of(line.sim, SIM_CALL_READ, 1);
    count = 99;
    EXPECT_EQ(serial_read(line.port.get(), buffer, sizeof buffer, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(serial_read(line.port.get(), buffer, sizeof buffer, &count), 1);
    EXPECT_EQ(std::string(buffer, count), "456789");
}

TEST(SerialDriver, WritesWholeBlocks) {
    SimPort line("SIMW1", 0);  // no flow control: CTS is off and holds nothing back
    std::string block(70000, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31 + 7);
    EXPECT_EQ(serial_write(line.port.get(), block.data(), static_cast<std::int32_t>(block.size())),
              1);
    EXPECT_EQ(sim_received(line.sim), block);

    int writes = sim_calls(line.sim, SIM_CALL_WRITE);
    EXPECT_EQ(serial_write(line.port.get(), "x", 0), 1);
    EXPECT_EQ(serial_write(line.port.get(), "x", -5), 1);
    EXPECT_EQ(sim_calls(line.sim, SIM_CALL_WRITE), writes);  // nothing was written

    sim_fail_call_of(line.sim, SIM_CALL_WRITE, 1);
    EXPECT_EQ(serial_write(line.port.get(), "lost", 4), 0);
    EXPECT_EQ(sim_received(line.sim), block);
}

// Flow control holds a write back without a time limit until the equipment lets it go.
TEST(SerialDriver, FlowControlHoldsAWriteBack) {
    struct Row {
        const char *name;
        std::int32_t flow_control;
        std::function<void(SimSerial *)> stop, go;
    };
    const Row rows[] = {
        {"SIMF1", FLOW_RTS_CTS, [](SimSerial *s) { sim_set_input(s, COM_CTS_ON, false); },
         [](SimSerial *s) { sim_set_input(s, COM_CTS_ON, true); }},
        {"SIMF2", FLOW_DTR_DSR, [](SimSerial *s) { sim_set_input(s, COM_DSR_ON, false); },
         [](SimSerial *s) { sim_set_input(s, COM_DSR_ON, true); }},
        {"SIMF3", FLOW_XON_XOFF, [](SimSerial *s) { sim_send_text(s, "\x13"); },
         [](SimSerial *s) { sim_send_text(s, "\x11"); }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SimPort line(row.name, row.flow_control);
        row.stop(line.sim);
        std::atomic<int> result{-1};
        Background *writer = background_start(
            [&] { result = serial_write(line.port.get(), "ATDT123\r", 8); });
        ASSERT_TRUE(sim_wait_write_held(line.sim, 5000));
        clock_sleep_ms(300);
        EXPECT_FALSE(background_finished(writer));
        EXPECT_EQ(sim_received(line.sim), "");
        row.go(line.sim);
        EXPECT_TRUE(background_join(writer, 5000));
        EXPECT_EQ(result, 1);
        EXPECT_EQ(sim_received(line.sim), "ATDT123\r");
        // The flow-control characters are the device's business, not data.
        char buffer[8];
        std::uint32_t count = 0;
        EXPECT_EQ(serial_read(line.port.get(), buffer, sizeof buffer, &count), 1);
        EXPECT_EQ(count, 0u);
    }
}

// The modem emulator's stop closes the port even while a call uses it: the call's blocked read
// and write end with a failure, and so does every later call on the record.
TEST(SerialDriver, APortClosedUnderItsUsersFailsThem) {
    SimPort line("SIMX1", FLOW_RTS_CTS);
    PortRecord *port = line.port.get();
    std::atomic<int> write_result{-1}, reads_failed{0};
    Background *writer = background_start([&] { write_result = serial_write(port, "hold", 4); });
    Background *reader = background_start([&] {
        char buffer[8];
        std::uint32_t count;
        std::uint32_t start = clock_tick_ms();
        while (clock_tick_ms() - start < 20000) {
            if (serial_read(port, buffer, sizeof buffer, &count) == 0) {
                reads_failed = 1;
                break;
            }
        }
    });
    ASSERT_TRUE(sim_wait_write_held(line.sim, 5000));
    EXPECT_EQ(serial_close(port->com_handle.exchange(COM_INVALID_HANDLE)), 0);
    EXPECT_TRUE(background_join(writer, 5000));
    EXPECT_TRUE(background_join(reader, 5000));
    EXPECT_EQ(write_result, 0);
    EXPECT_EQ(reads_failed, 1);
    char buffer[4];
    std::uint32_t count = 7;
    EXPECT_EQ(serial_read(port, buffer, sizeof buffer, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(serial_write(port, "x", 1), 0);
    EXPECT_EQ(sim_received(line.sim), "");
}

}  // namespace
