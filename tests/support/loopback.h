// Test helpers for the telnet and gateway tests: a connected pair of real sockets over 127.0.0.1 (the
// gateway's accepted end and a peer that plays the telnet client), and reads of what the peer
// sees on the wire.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/net.h"
#include "telnet/telnet.h"

using Bytes = std::vector<std::uint8_t>;

struct LoopbackPair {
    NetSocket gateway = NET_NO_SOCKET;  // the accepted end, as the listener hands it over
    NetSocket peer = NET_NO_SOCKET;     // the caller's end

    LoopbackPair() {
        static const int started = net_start();  // once per process; the process end releases it
        EXPECT_EQ(started, 0);
        NetSocket listener = net_listen(NET_LOOPBACK_ADDRESS, 0, 1);
        std::uint16_t port = 0;
        if (listener == NET_NO_SOCKET || net_local_port(listener, &port) != 0) {
            ADD_FAILURE() << "no listening socket";
            net_close(&listener);
            return;
        }
        peer = net_connect(NET_LOOPBACK_ADDRESS, port);
        std::uint32_t address = 0;
        if (peer != NET_NO_SOCKET) gateway = net_accept(listener, &address);
        net_close(&listener);
        EXPECT_NE(gateway, NET_NO_SOCKET);
    }
    ~LoopbackPair() {
        net_close(&peer);
        net_close(&gateway);
    }
    LoopbackPair(const LoopbackPair &) = delete;
    LoopbackPair &operator=(const LoopbackPair &) = delete;
};

inline Bytes bytes_of(std::initializer_list<int> values) {
    Bytes bytes;
    for (int value : values) bytes.push_back(static_cast<std::uint8_t>(value));
    return bytes;
}

inline Bytes bytes_of(const std::string &text) { return Bytes(text.begin(), text.end()); }

inline Bytes operator+(Bytes left, const Bytes &right) {
    left.insert(left.end(), right.begin(), right.end());
    return left;
}

// Sends all bytes from a peer socket.
inline void peer_send(NetSocket socket, const Bytes &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::int32_t sent = 0;
        if (net_send(socket, bytes.data() + done, static_cast<std::int32_t>(bytes.size() - done),
                     &sent) != 0) {
            ADD_FAILURE() << "peer send failed";
            return;
        }
        done += static_cast<std::size_t>(sent);
    }
}

// Reads until `count` bytes came, the connection ended, or limit_ms passed.
inline Bytes read_count(NetSocket socket, std::size_t count, std::uint32_t limit_ms = 10000) {
    Bytes bytes;
    std::uint32_t start = clock_tick_ms();
    while (bytes.size() < count && clock_tick_ms() - start < limit_ms) {
        std::int32_t ready = 0;
        if (net_wait(socket, NET_READABLE, 50, &ready) != 0) break;
        if (ready == 0) continue;
        std::uint8_t buffer[4096];
        std::int32_t want = static_cast<std::int32_t>(
            std::min<std::size_t>(sizeof buffer, count - bytes.size()));
        std::int32_t received = 0;
        if (net_receive(socket, buffer, want, &received) != 0 || received == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + received);
    }
    return bytes;
}

// One read of what has arrived, waiting up to limit_ms for something; empty when nothing came.
inline Bytes read_some(NetSocket socket, std::uint32_t limit_ms) {
    std::int32_t ready = 0;
    if (net_wait(socket, NET_READABLE, limit_ms, &ready) != 0 || ready == 0) return {};
    std::uint8_t buffer[4096];
    std::int32_t received = 0;
    if (net_receive(socket, buffer, sizeof buffer, &received) != 0) return {};
    return Bytes(buffer, buffer + received);
}

// Reads whatever arrives until the socket has been quiet for quiet_ms.
inline Bytes read_until_quiet(NetSocket socket, std::uint32_t quiet_ms) {
    Bytes bytes;
    for (;;) {
        std::int32_t ready = 0;
        if (net_wait(socket, NET_READABLE, quiet_ms, &ready) != 0 || ready == 0) break;
        std::uint8_t buffer[4096];
        std::int32_t received = 0;
        if (net_receive(socket, buffer, sizeof buffer, &received) != 0 || received == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + received);
    }
    return bytes;
}

// What the gateway sent up to now: sends an end marker through the channel's own send path, then
// reads up to it. Everything a call sends is on the wire before the call returns, so the bytes
// before the marker are exactly that call's output.
inline Bytes sent_so_far(const TelnetChannel &channel, NetSocket peer) {
    static const Bytes MARKER = bytes_of("\r\n#END-OF-ANSWER#\r\n");
    EXPECT_EQ(telnet_send_raw(channel.send_guard, channel.socket, MARKER.data(),
                              static_cast<std::int32_t>(MARKER.size())),
              0);
    Bytes bytes;
    std::uint32_t start = clock_tick_ms();
    while (clock_tick_ms() - start < 10000) {
        if (bytes.size() >= MARKER.size() &&
            std::equal(MARKER.begin(), MARKER.end(), bytes.end() - MARKER.size())) {
            bytes.resize(bytes.size() - MARKER.size());
            return bytes;
        }
        // Nothing follows the marker, so a read of whatever is there never takes too much.
        Bytes more = read_some(peer, 1000);
        if (more.empty()) break;
        bytes.insert(bytes.end(), more.begin(), more.end());
    }
    ADD_FAILURE() << "end marker never arrived";
    return bytes;
}

// Waits up to limit_ms for condition() to hold; true when it did.
template <typename Condition>
bool wait_until(Condition condition, std::uint32_t limit_ms) {
    std::uint32_t start = clock_tick_ms();
    while (!condition()) {
        if (clock_tick_ms() - start >= limit_ms) return false;
        clock_sleep_ms(5);
    }
    return true;
}

inline std::string hex(const Bytes &bytes) {
    std::string text;
    char piece[4];
    for (std::uint8_t byte : bytes) {
        std::snprintf(piece, sizeof piece, "%02X ", byte);
        text += piece;
    }
    return text;
}
