// Test helpers for SSH callers: a client key pair, and a caller made with libssh's client.
#pragma once

#include <gtest/gtest.h>
#include <libssh/libssh.h>

#include <string>
#include <vector>

#include "platform/clock.h"
#include "ssh/ssh_keys.h"
#include "ssh/ssh_server.h"
#include "support/gateway_fixture.h"

// A client key pair, and its line for authorized_keys.
struct ClientKey {
    ssh_key key = nullptr;
    std::string line;

    explicit ClientKey(const std::string &options = "") {
        EXPECT_EQ(ssh_pki_generate(SSH_KEYTYPE_ED25519, 0, &key), SSH_OK);
        char *base64 = nullptr;
        EXPECT_EQ(ssh_pki_export_pubkey_base64(key, &base64), SSH_OK);
        line = (options.empty() ? "" : options + " ") + "ssh-ed25519 " + base64 + " test";
        ssh_string_free_char(base64);
    }
    ~ClientKey() { ssh_key_free(key); }
};

// An SSH caller made with libssh's client.
struct SshTestCaller {
    ssh_session session = ssh_new();
    ssh_channel channel = nullptr;
    std::string received;

    ~SshTestCaller() { close(); }

    // Connects and authenticates with `key`; true when the login went through.
    bool login(std::uint16_t port, const ClientKey &key, const char *user) {
        int verbosity = SSH_LOG_NOLOG;
        long timeout_s = 20;
        ssh_options_set(session, SSH_OPTIONS_HOST, "127.0.0.1");
        unsigned int port_number = port;
        ssh_options_set(session, SSH_OPTIONS_PORT, &port_number);
        ssh_options_set(session, SSH_OPTIONS_USER, user);
        ssh_options_set(session, SSH_OPTIONS_LOG_VERBOSITY, &verbosity);
        ssh_options_set(session, SSH_OPTIONS_TIMEOUT, &timeout_s);
        if (ssh_connect(session) != SSH_OK) return false;
        return ssh_userauth_publickey(session, nullptr, key.key) == SSH_AUTH_SUCCESS;
    }

    // Opens the session channel with a pty and a shell, as `ssh host` does.
    bool open_shell() {
        channel = ssh_channel_new(session);
        return channel != nullptr && ssh_channel_open_session(channel) == SSH_OK &&
               ssh_channel_request_pty(channel) == SSH_OK &&
               ssh_channel_request_shell(channel) == SSH_OK;
    }

    // Reads until `text` came (true), the channel ended or limit_ms passed (false).
    bool read_until(const std::string &text, std::uint32_t limit_ms = 15000) {
        std::uint32_t start = clock_tick_ms();
        while (received.find(text) == std::string::npos) {
            if (clock_tick_ms() - start >= limit_ms) return false;
            char buffer[4096];
            int count = ssh_channel_read_timeout(channel, buffer, sizeof buffer, 0, 100);
            if (count < 0 || (count == 0 && ssh_channel_is_eof(channel))) {
                return received.find(text) != std::string::npos;
            }
            received.append(buffer, static_cast<std::size_t>(count > 0 ? count : 0));
        }
        return true;
    }

    // Reads until the gateway ends the channel (true) or limit_ms passed (false).
    bool read_until_closed(std::uint32_t limit_ms = 15000) {
        std::uint32_t start = clock_tick_ms();
        while (clock_tick_ms() - start < limit_ms) {
            char buffer[4096];
            int count = ssh_channel_read_timeout(channel, buffer, sizeof buffer, 0, 100);
            if (count < 0 || (count == 0 && ssh_channel_is_eof(channel))) return true;
            if (count > 0) received.append(buffer, static_cast<std::size_t>(count));
        }
        return false;
    }

    bool send(const std::string &text) {
        return ssh_channel_write(channel, text.data(), static_cast<std::uint32_t>(text.size())) ==
               static_cast<int>(text.size());
    }

    void close() {
        if (channel != nullptr) {
            ssh_channel_close(channel);
            ssh_channel_free(channel);
            channel = nullptr;
        }
        if (session != nullptr) {
            ssh_disconnect(session);
            ssh_free(session);
            session = nullptr;
        }
    }
};

// The in-process gateway with an SSH port beside its telnet port.
class SshGatewayTest : public GatewayTest {
protected:
    void TearDown() override {
        if (server != nullptr) stop_server();
        ssh_server_close(ssh_server);
        GatewayTest::TearDown();
    }

    // Starts the server with an SSH port beside the telnet port, and authorized_keys holding
    // `lines`.
    void start_with_ssh(const std::vector<std::string> &lines) {
        std::string text;
        for (const std::string &line : lines) text += line + "\n";
        write_whole_file(SSH_AUTHORIZED_KEYS_FILE, Bytes(text.begin(), text.end()));
        start_server();
        std::string fingerprint;
        std::string problem;
        ssh_server = ssh_server_open(&fingerprint, &problem);
        ASSERT_NE(ssh_server, nullptr) << problem;
        EXPECT_EQ(fingerprint.rfind("SHA256:", 0), 0u) << fingerprint;
        NetSocket probe = net_listen(NET_LOOPBACK_ADDRESS, 0, 1);
        ASSERT_EQ(net_local_port(probe, &ssh_port), 0);
        net_close(&probe);
        std::vector<GatewayWay> failed;
        gateway_set_ways({GatewayWay{WAY_SSH, ssh_port, {}}}, ssh_server, &failed);
        ASSERT_TRUE(failed.empty());
    }

    SshServer *ssh_server = nullptr;
    std::uint16_t ssh_port = 0;
};
