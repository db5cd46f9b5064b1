// Test helper for the relay and the auto-pilot: a connected call made of a real loopback socket
// (the caller) and a simulated device (the equipment), with the telnet channel and send guard the
// connection flow would have made, and the port attached.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "gateway/caller_telnet.h"
#include "gateway/server_state.h"
#include "serial/line.h"
#include "serial/serial.h"
#include "sim/background.h"
#include "sim/sim_serial.h"
#include "support/loopback.h"
#include "support/settings_fixtures.h"

struct RelayCall {
    LoopbackPair pair;
    SimSerial *sim = nullptr;
    std::unique_ptr<PortRecord> port{new PortRecord{}};
    Semaphore *guard = semaphore_create();
    TelnetChannel channel{};
    Caller caller{};

    explicit RelayCall(const char *device_name) {
        server_stop.store(0);
        sim = sim_serial_create(device_name);
        EXPECT_NE(sim, nullptr);
        port->settings = make_port(device_name);
        port->settings.flow_control = 0;
        port->settings.raise_signals = 0;
        port->active_settings = port->settings;
        telnet_channel_init(&channel, pair.gateway, guard, 9600, 9600);
        caller_telnet_init(&caller, &channel, 0x7F000001u, nullptr);
    }
    ~RelayCall() {
        server_stop.store(0);
        serial_close(port->com_handle.exchange(COM_INVALID_HANDLE));
        sim_serial_destroy(sim);
        semaphore_close(guard);
    }
    PortSettings &settings() { return port->active_settings; }
    // Opens the port with the current settings, as line_attach does for a call.
    void attach() { ASSERT_EQ(line_attach(port.get()), 0); }
    // What the caller has received until the socket was quiet for quiet_ms.
    std::string caller_received(std::uint32_t quiet_ms = 300) {
        Bytes bytes = read_until_quiet(pair.peer, quiet_ms);
        return std::string(bytes.begin(), bytes.end());
    }
    void caller_sends(const Bytes &bytes) { peer_send(pair.peer, bytes); }
};

// Runs `work` in the background and keeps its int result.
struct Running {
    std::atomic<int> result{99};
    std::atomic<bool> done{false};
    Background *task = nullptr;

    template <typename Work>
    explicit Running(Work work) {
        task = background_start([this, work] {
            result.store(work());
            done.store(true);
        });
    }
    // Waits up to limit_ms for the result; 99 when it did not come.
    int wait(std::uint32_t limit_ms) {
        if (task == nullptr) return result.load();
        if (!background_join(task, limit_ms)) return 99;
        task = nullptr;
        return result.load();
    }
    ~Running() {
        if (task != nullptr) {
            EXPECT_TRUE(background_join(task, 60000)) << "work never ended";
        }
    }
};
