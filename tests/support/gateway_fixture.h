// Test helpers for the whole gateway in one process: a server on a free loopback port with a
// fresh NORVEX.DAT, ports on simulated devices, callers that are plain sockets, and the access log.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/listener.h"
#include "gateway/server_state.h"
#include "platform/ui.h"
#include "settings/port_list.h"
#include "settings/settings_file.h"
#include "sim/sim_serial.h"
#include "support/loopback.h"
#include "support/settings_fixtures.h"
#include "support/test_dir.h"

// A telnet caller: a plain socket that stays silent during the negotiation, then reads and sends.
struct TestCaller {
    NetSocket socket = NET_NO_SOCKET;
    std::string received;  // everything read so far, telnet commands included

    explicit TestCaller(std::uint16_t port) {
        socket = net_connect(NET_LOOPBACK_ADDRESS, port);
        EXPECT_NE(socket, NET_NO_SOCKET);
    }
    // A caller from another loopback address (127.x.y.z).
    TestCaller(std::uint16_t port, std::uint32_t source) {
        socket = net_connect_from(source, NET_LOOPBACK_ADDRESS, port);
        EXPECT_NE(socket, NET_NO_SOCKET);
    }
    ~TestCaller() { net_close(&socket); }
    // Reads until `text` has arrived (true) or limit_ms passed or the connection ended (false).
    bool read_until(const std::string &text, std::uint32_t limit_ms = 15000);
    // Reads until the gateway closes the connection (true) or limit_ms passed (false).
    bool read_until_closed(std::uint32_t limit_ms = 15000);
    void send(const std::string &text) { peer_send(socket, bytes_of(text)); }
    void close() { net_close(&socket); }
};

class GatewayTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Adds a port on a new simulated device named `name`; returns the device.
    SimSerial *add_port(const char *name, PortSettings settings);
    SimSerial *add_port(const char *name);
    // Starts the server on the free port; fails the test when it does not listen.
    void start_server();
    // Stops it; the result of gateway_stop.
    bool stop_server();
    // The access log's lines, without their CR LF.
    std::vector<std::string> log_lines();
    // Waits until the log has `count` lines.
    bool wait_log_lines(std::size_t count, std::uint32_t limit_ms = 15000);
    // connection_count, read under its lock.
    std::int32_t live_connections();

    ScopedTestDir dir;
    UiWindow *window = nullptr;
    Thread *server = nullptr;
    std::uint16_t port = 0;
    std::vector<SimSerial *> devices;
};

// The reason field (columns 20-39, blanks trimmed) and the port field (columns 41-44) of a line.
std::string log_reason(const std::string &line);
std::string log_port(const std::string &line);
// True when the second field is a time stamp (a normal end).
bool log_has_end_time(const std::string &line);
