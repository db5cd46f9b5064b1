// SSH callers through the whole gateway in one process: libssh's client plays the caller, a
// simulated device the equipment.
#include <gtest/gtest.h>
#include <libssh/libssh.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "gateway/relay.h"
#include "sim/background.h"
#include "ssh/ssh_keys.h"
#include "ssh/ssh_server.h"
#include "ssh/ssh_test_client.h"
#include "support/gateway_fixture.h"

namespace {

using SshCallTest = SshGatewayTest;

TEST_F(SshCallTest, AKeyedCallerGetsTheFlowDataBothWaysAndItsBreaks) {
    PortSettings settings = make_port("SIMSSH1");
    settings.flow_control = 0;
    text_set(settings.connect_message, "connected\r\n");
    text_set(settings.disconnect_message, "bye\r\n");
    SimSerial *device = add_port("SIMSSH1", settings);
    ClientKey key;
    start_with_ssh({key.line});

    SshTestCaller caller;
    ASSERT_TRUE(caller.login(ssh_port, key, "alice"));
    ASSERT_TRUE(caller.open_shell());
    ASSERT_TRUE(caller.read_until("connected\r\n")) << caller.received << "/" << (log_lines().empty() ? "" : log_lines()[0]);
    EXPECT_EQ(caller.received.find("\xFF"), std::string::npos) << "no telnet negotiation over SSH";

    PortRecord *record = port_list_at(0);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(std::string(record->caller_user), "alice");

    sim_send_text(device, std::string("from the equipment \xFF\x00 done", 25));
    EXPECT_TRUE(caller.read_until(std::string("from the equipment \xFF\x00 done", 25)));
    ASSERT_TRUE(caller.send(std::string("typed \xFF\x01\r\n", 10)));
    EXPECT_TRUE(sim_wait_received(device, std::string("typed \xFF\x01\r\n", 10), 10000));

    ASSERT_EQ(ssh_channel_request_send_break(caller.channel, 300), SSH_OK);
    // libssh's client keeps a request without a reply in its buffer until its next write.
    ASSERT_EQ(ssh_blocking_flush(caller.session, 10000), SSH_OK);
    EXPECT_TRUE(sim_wait_breaks(device, 1, 10000)) << "the break request becomes a serial break";
    ASSERT_TRUE(caller.send("after\r"));
    EXPECT_TRUE(sim_wait_received(device, "after\r", 10000));
    EXPECT_EQ(sim_breaks(device).size(), 1u);

    caller.close();
    ASSERT_TRUE(wait_log_lines(1));
    std::vector<std::string> lines = log_lines();
    EXPECT_TRUE(log_has_end_time(lines[0])) << lines[0];
    EXPECT_EQ(log_port(lines[0]), "SIMS");
}

TEST_F(SshCallTest, AnUnknownKeyIsRefusedAndReachesNoPort) {
    SimSerial *device = add_port("SIMSSH2");
    ClientKey known;
    ClientKey stranger;
    start_with_ssh({known.line});

    SshTestCaller caller;
    EXPECT_FALSE(caller.login(ssh_port, stranger, "COM1"));
    caller.close();
    ASSERT_TRUE(wait_log_lines(1));
    EXPECT_EQ(log_reason(log_lines()[0]), "initialize fail");
    EXPECT_EQ(sim_open_count(device), 0);
    EXPECT_EQ(port_list_at(0)->busy.load(), 0);
}

TEST_F(SshCallTest, AKeyLimitedToOtherPortsGetsTheBusyMessage) {
    PortSettings settings = make_port("SIMSSH3");
    settings.flow_control = 0;
    add_port("SIMSSH3", settings);
    GlobalOptions options;
    options_get(&options);
    text_set(options.busy_message, "all busy\r\n");
    options_set(&options);
    ClientKey key("ports=\"COM4\"");
    start_with_ssh({key.line});

    SshTestCaller caller;
    ASSERT_TRUE(caller.login(ssh_port, key, "bob"));
    ASSERT_TRUE(caller.open_shell());
    EXPECT_TRUE(caller.read_until("all busy\r\n"));
    EXPECT_TRUE(caller.read_until_closed());
    ASSERT_TRUE(wait_log_lines(1));
    EXPECT_EQ(log_reason(log_lines()[0]), "all port busy");
}

// Connections that never log in are dropped, the oldest first, once SSH_LOGINS_AT_ONCE of them
// wait: they keep neither a telnet caller nor a caller with a key out.
TEST_F(SshCallTest, ConnectionsThatNeverLogInKeepNobodyOut) {
    PortSettings settings = make_port("SIMSSH4");
    settings.flow_control = 0;
    text_set(settings.connect_message, "ready\r\n");
    add_port("SIMSSH4", settings);
    add_port("SIMSSH5", settings);
    ClientKey key;
    start_with_ssh({key.line});

    std::vector<NetSocket> silent;
    for (int i = 0; i < 50; ++i) {
        NetSocket socket = net_connect(NET_LOOPBACK_ADDRESS, ssh_port);
        ASSERT_NE(socket, NET_NO_SOCKET);
        silent.push_back(socket);
    }
    TestCaller telnet(port);
    EXPECT_TRUE(telnet.read_until("ready\r\n", 30000));

    SshTestCaller caller;
    ASSERT_TRUE(caller.login(ssh_port, key, "carol"));
    ASSERT_TRUE(caller.open_shell());
    EXPECT_TRUE(caller.read_until("ready\r\n", 30000));
    for (NetSocket &socket : silent) net_close(&socket);
}

// A forced disconnect and the server's stop end SSH calls at once, each with its log line.
TEST_F(SshCallTest, ForcedDisconnectAndStopEndSshCalls) {
    PortSettings settings = make_port("SIMSSH6");
    settings.flow_control = 0;
    text_set(settings.connect_message, "in\r\n");
    add_port("SIMSSH6", settings);
    add_port("SIMSSH7", settings);
    ClientKey key;
    start_with_ssh({key.line});
    relay_set_quiet_look_ms(60000);  // only a wake-up can end a quiet call in time

    SshTestCaller first;
    ASSERT_TRUE(first.login(ssh_port, key, "dave"));
    ASSERT_TRUE(first.open_shell());
    ASSERT_TRUE(first.read_until("in\r\n"));
    SshTestCaller second;
    ASSERT_TRUE(second.login(ssh_port, key, "erin"));
    ASSERT_TRUE(second.open_shell());
    ASSERT_TRUE(second.read_until("in\r\n"));

    PortRecord *record = port_list_at(0);
    record->disconnect_request.store(1);
    relay_wake(record);
    EXPECT_TRUE(first.read_until_closed(10000));
    ASSERT_TRUE(wait_log_lines(1, 10000));
    EXPECT_EQ(log_reason(log_lines()[0]), "transfer fail");

    EXPECT_TRUE(stop_server());
    EXPECT_TRUE(second.read_until_closed(10000));
    ASSERT_TRUE(wait_log_lines(2, 10000));
    relay_set_quiet_look_ms(0);
}

}  // namespace
