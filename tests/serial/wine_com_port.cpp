// The Win32 serial backend under wine on a pty mapped as a COM port, run by wine_com_port.py,
// which names the port in NORVEX_TEST_COM and echoes on the other side. Wine gives a pty no
// modem lines: its modem-line calls fail, and the line operations report that.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "serial/line.h"
#include "serial/serial.h"
#include "sim/background.h"
#include "support/settings_fixtures.h"

namespace {

const char *com_name() { return std::getenv("NORVEX_TEST_COM"); }

struct WinePort {
    std::unique_ptr<PortRecord> port{new PortRecord{}};
    explicit WinePort(std::int32_t baud_rate = 9600) {
        port->active_settings = make_port(com_name());
        port->active_settings.flow_control = 0;
        port->active_settings.baud_rate = baud_rate;
        port->com_handle = serial_open(&port->active_settings);
        EXPECT_NE(port->com_handle.load(), COM_INVALID_HANDLE);
    }
    ~WinePort() { serial_close(port->com_handle.exchange(COM_INVALID_HANDLE)); }
    PortRecord *get() { return port.get(); }
};

// What the echo sends back, until `count` bytes came or timeout_ms passed.
std::string read_back(PortRecord *port, std::size_t count, std::uint32_t timeout_ms) {
    std::string got;
    std::uint32_t start = clock_tick_ms();
    while (got.size() < count && clock_tick_ms() - start < timeout_ms) {
        char buffer[1024];
        std::uint32_t n = 0;
        if (serial_read(port, buffer, sizeof buffer, &n) != 1) break;
        got.append(buffer, n);
    }
    return got;
}

class WineComPort : public testing::Test {
protected:
    void SetUp() override {
        if (com_name() == nullptr) GTEST_SKIP() << "runs under wine_com_port.py only";
    }
};

TEST_F(WineComPort, OpensExclusivelyWithTheSettings) {
    WinePort line(460800);
    ComHandle handle = line.get()->com_handle;
    SerialDcb dcb{};
    ASSERT_EQ(com_get_state(handle, &dcb), 0);
    EXPECT_EQ(dcb.baud_rate, 460800u);
    EXPECT_EQ(dcb.f_outx_cts_flow, 0u);
    EXPECT_EQ(dcb.f_rts_control, COM_LINE_CONTROL_ENABLE);
    EXPECT_EQ(dcb.f_dtr_control, COM_LINE_CONTROL_ENABLE);
    SerialTimeouts timeouts{};
    ASSERT_EQ(com_get_timeouts(handle, &timeouts), 0);
    EXPECT_EQ(timeouts.read_interval_timeout, COM_MAXDWORD);
    EXPECT_EQ(timeouts.read_total_timeout_constant, 50u);
    EXPECT_EQ(serial_open(&line.get()->active_settings), COM_INVALID_HANDLE);  // no sharing
}

TEST_F(WineComPort, AQuietReadEndsAfterAbout50ms) {
    WinePort line;
    char buffer[16];
    std::uint32_t count = 99;
    std::uint32_t start = clock_tick_ms();
    EXPECT_EQ(serial_read(line.get(), buffer, sizeof buffer, &count), 1);
    std::uint32_t took = clock_tick_ms() - start;
    EXPECT_EQ(count, 0u);
    EXPECT_GE(took, 30u);  // the Windows tick moves in steps of up to 16 ms
    EXPECT_LT(took, 1000u);
}

TEST_F(WineComPort, DataGoesBothWays) {
    WinePort line;
    EXPECT_EQ(serial_write(line.get(), "hello wine\r\n", 12), 1);
    EXPECT_EQ(read_back(line.get(), 12, 3000), "hello wine\r\n");

    std::string block(40000, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 13 + 1);
    std::atomic<int> result{-1};
    Background *writer = background_start([&] {
        result = serial_write(line.get(), block.data(), static_cast<std::int32_t>(block.size()));
    });
    std::string echoed = read_back(line.get(), block.size(), 20000);
    EXPECT_TRUE(background_join(writer, 20000));
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(echoed == block) << echoed.size() << " of " << block.size() << " bytes";
}

TEST_F(WineComPort, BreakAndPurgeSucceed) {
    WinePort line;
    ComHandle handle = line.get()->com_handle;
    EXPECT_EQ(com_set_break(handle), 0);
    clock_sleep_ms(50);
    EXPECT_EQ(com_clear_break(handle), 0);
    EXPECT_EQ(serial_write(line.get(), "stale", 5), 1);
    clock_sleep_ms(300);  // echoed back meanwhile
    EXPECT_EQ(com_purge(handle, COM_PURGE_TXABORT | COM_PURGE_RXABORT | COM_PURGE_TXCLEAR |
                                    COM_PURGE_RXCLEAR),
              0);
    EXPECT_EQ(read_back(line.get(), 5, 200), "");
}

TEST_F(WineComPort, ModemLineCallsFailAndTheLineOperationsSaySo) {
    WinePort line;
    PortRecord *port = line.get();
    ComHandle handle = port->com_handle;
    std::uint32_t status = 0;
    EXPECT_EQ(com_modem_status(handle, &status), -1);
    EXPECT_EQ(com_escape(handle, COM_SETDTR), -1);
    EXPECT_EQ(com_escape(handle, COM_CLRRTS), -1);

    PortSettings &settings = port->active_settings;
    settings.raise_signals = 0;
    settings.confirm_signals = 0;
    settings.watch_signals = 0;
    EXPECT_EQ(line_connect(port), 0);  // nothing to do: the line is not touched
    EXPECT_EQ(line_disconnect(port), 0);
    EXPECT_EQ(line_carrier_ok(port), 0);  // even watching nothing needs the status
    settings.raise_signals = SIGNAL_ER;
    EXPECT_EQ(line_connect(port), -1);
    EXPECT_EQ(line_disconnect(port), -1);
    settings.raise_signals = 0;
    settings.confirm_signals = SIGNAL_CD;
    EXPECT_EQ(line_connect(port), -1);
    settings.watch_signals = SIGNAL_CD;
    settings.disconnect_timeout_ms = 5000;
    std::uint32_t start = clock_tick_ms();
    EXPECT_EQ(line_disconnect(port), 0);  // an unreadable status ends the wait at once
    EXPECT_LT(clock_tick_ms() - start, 1000u);
}

// Runs last: the equipment stops reading, so writes back up until cancelled or closed.
TEST_F(WineComPort, CancelAndCloseReleaseBlockedWrites) {
    WinePort line;
    PortRecord *port = line.get();
    ASSERT_EQ(serial_write(port, "\x01HOLD\x01", 6), 1);
    std::string block(1 << 20, 'x');
    std::atomic<int> first{-1}, second{-1};
    Background *writer = background_start([&] {
        first = serial_write(port, block.data(), static_cast<std::int32_t>(block.size()));
    });
    clock_sleep_ms(300);
    ASSERT_FALSE(background_finished(writer));
    EXPECT_EQ(com_cancel(port->com_handle), 0);
    EXPECT_TRUE(background_join(writer, 3000));
    EXPECT_EQ(first, 0);

    writer = background_start([&] {
        second = serial_write(port, block.data(), static_cast<std::int32_t>(block.size()));
    });
    clock_sleep_ms(300);
    ASSERT_FALSE(background_finished(writer));
    EXPECT_EQ(serial_close(port->com_handle.exchange(COM_INVALID_HANDLE)), 0);
    EXPECT_TRUE(background_join(writer, 3000));
    EXPECT_EQ(second, 0);
}

}  // namespace
