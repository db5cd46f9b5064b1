// Test helpers for the whole gateway in one process.
#include "support/gateway_fixture.h"

#include "platform/sync.h"

bool TestCaller::read_until(const std::string &text, std::uint32_t limit_ms) {
    std::uint32_t start = clock_tick_ms();
    while (received.find(text) == std::string::npos) {
        if (clock_tick_ms() - start >= limit_ms) return false;
        std::int32_t ready = 0;
        if (net_wait(socket, NET_READABLE, 50, &ready) != 0) return false;
        if (ready == 0) continue;
        std::uint8_t buffer[4096];
        std::int32_t count = 0;
        if (net_receive(socket, buffer, sizeof buffer, &count) != 0 || count == 0) {
            return received.find(text) != std::string::npos;
        }
        received.append(reinterpret_cast<char *>(buffer), static_cast<std::size_t>(count));
    }
    return true;
}

bool TestCaller::read_until_closed(std::uint32_t limit_ms) {
    std::uint32_t start = clock_tick_ms();
    while (clock_tick_ms() - start < limit_ms) {
        std::int32_t ready = 0;
        if (net_wait(socket, NET_READABLE, 50, &ready) != 0) return true;
        if (ready == 0) continue;
        std::uint8_t buffer[4096];
        std::int32_t count = 0;
        if (net_receive(socket, buffer, sizeof buffer, &count) != 0 || count == 0) return true;
        received.append(reinterpret_cast<char *>(buffer), static_cast<std::size_t>(count));
    }
    return false;
}

namespace {

// A port that was free a moment ago.
void probe_free_port(std::uint16_t *port) {
    NetSocket probe = net_listen(NET_LOOPBACK_ADDRESS, 0, 1);
    ASSERT_NE(probe, NET_NO_SOCKET);
    ASSERT_EQ(net_local_port(probe, port), 0);
    net_close(&probe);
}

}  // namespace

void GatewayTest::SetUp() {
    ASSERT_EQ(net_start(), 0);
    window = ui_queue_create();
    ASSERT_TRUE(load_settings("NORVEX.DAT", window));
    GlobalOptions options;
    options_get(&options);
    options.access_log_enabled = 1;
    text_set(options.access_log_file_name, "access.log");
    options_set(&options);
    probe_free_port(&port);
}

void GatewayTest::TearDown() {
    if (server != nullptr) stop_server();
    port_list_clear();
    port_list.notify_window = nullptr;
    ui_queue_destroy(window);
    for (SimSerial *device : devices) sim_serial_destroy(device);
    net_fail_send(0);
    net_stop();
}

SimSerial *GatewayTest::add_port(const char *name, PortSettings settings) {
    SimSerial *device = sim_serial_create(name);
    EXPECT_NE(device, nullptr);
    devices.push_back(device);
    text_set(settings.port_name, name);
    EXPECT_TRUE(port_list_add(&settings));
    return device;
}

SimSerial *GatewayTest::add_port(const char *name) {
    PortSettings settings = make_port(name);
    settings.flow_control = 0;
    return add_port(name, settings);
}

void GatewayTest::start_server() {
    std::int32_t listening = 0;
    // The port was free at the probe; a test running beside this one may have taken it since
    // (the listener binds every address, the probe only loopback). Another free port then.
    for (int attempt = 0; attempt < 20; ++attempt) {
        server = gateway_start(port, &listening);
        ASSERT_NE(server, nullptr);
        if (listening == 1) return;
        ASSERT_TRUE(stop_server());
        probe_free_port(&port);
        if (HasFatalFailure()) return;
    }
    ASSERT_EQ(listening, 1);
}

bool GatewayTest::stop_server() {
    bool stopped = gateway_stop(server);
    server = nullptr;
    return stopped;
}

std::vector<std::string> GatewayTest::log_lines() {
    std::vector<std::uint8_t> bytes = read_whole_file("access.log");
    std::vector<std::string> lines;
    std::string text(bytes.begin(), bytes.end());
    std::size_t at = 0;
    for (std::size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
        lines.push_back(text.substr(at, end - at));
    }
    return lines;
}

bool GatewayTest::wait_log_lines(std::size_t count, std::uint32_t limit_ms) {
    return wait_until([&] { return log_lines().size() >= count; }, limit_ms);
}

std::int32_t GatewayTest::live_connections() {
    if (server_semaphore == nullptr) return 0;
    semaphore_wait(server_semaphore, WAIT_FOREVER_MS);
    std::int32_t count = connection_count;
    semaphore_release(server_semaphore);
    return count;
}

static std::string trimmed(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

std::string log_reason(const std::string &line) {
    return line.size() < 40 ? "" : trimmed(line.substr(20, 20));
}

std::string log_port(const std::string &line) {
    return line.size() < 45 ? "" : trimmed(line.substr(41, 4));
}

bool log_has_end_time(const std::string &line) {
    return line.size() >= 40 && line[24] == '/' && line[27] == '/' && line[33] == ':';
}
