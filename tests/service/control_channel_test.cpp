// The gateway's end of the control channel: requests reach the main thread and back, garbage and
// silence are refused without harm, silent clients hold up nobody, closing answers a request
// still waiting; and the client's end gives up on a gateway that takes no connection.
#include "service/control_channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "control/control_protocol.h"
#include "ctl/control_client.h"
#include "platform/clock.h"
#include "platform/local_socket.h"
#include "platform/ui.h"
#include "settings/port_list.h"
#include "settings/settings_file.h"
#include "sim/background.h"
#include "support/settings_fixtures.h"
#include "support/test_dir.h"

namespace {

class ControlChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!local_socket_supported()) GTEST_SKIP() << "no control channel on this system";
        ASSERT_TRUE(load_settings("NORVEX.DAT", nullptr));
        PortSettings port = make_port("COM1");
        ASSERT_TRUE(port_list_add(&port));
        window = ui_queue_create();
        ASSERT_NE(window, nullptr);
        channel = control_channel_open(window);
        ASSERT_NE(channel, nullptr);
    }
    void TearDown() override {
        control_channel_close(channel);
        ui_queue_close(window);
        ui_queue_destroy(window);
        port_list_clear();
    }

    // Plays the gateway's main thread until `task` has ended: answers every request.
    void serve_until(Background *task) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!background_finished(task) && std::chrono::steady_clock::now() < deadline) {
            std::int32_t code = 0, argument = 0;
            if (ui_queue_next(window, 20, &code, &argument) == 0 && code == CMD_CONTROL_REQUEST) {
                control_channel_serve(channel, &context, &log);
            }
        }
        ASSERT_TRUE(background_join(task, 1000));
    }

    ScopedTestDir dir;
    UiWindow *window = nullptr;
    ControlChannel *channel = nullptr;
    ControlContext context{23};
    std::vector<std::string> log;
};

// Sends raw bytes as a client and reads everything that comes back until the channel closes.
std::string exchange(const std::string &bytes, bool wait_for_reply = true) {
    LocalConnection *connection = nullptr;
    if (local_connect(CONTROL_SOCKET_NAME, 5000, &connection) != LOCAL_CONNECTED) return "<no connection>";
    if (!bytes.empty()) {
        (void)local_send(connection, bytes.data(), static_cast<std::uint32_t>(bytes.size()), 5000);
    }
    std::string reply;
    char buffer[512];
    std::uint32_t received = 0;
    while (wait_for_reply &&
           local_receive(connection, buffer, sizeof buffer, 10000, &received) == LOCAL_RECEIVED &&
           received > 0) {
        reply.append(buffer, received);
    }
    local_close(connection);
    return reply;
}

TEST_F(ControlChannelTest, ARequestIsAnsweredOnTheMainThread) {
    EXPECT_TRUE(std::filesystem::is_socket(CONTROL_SOCKET_NAME));
    std::vector<std::string> lines;
    int result = -99;
    Background *client = background_start([&] { result = control_request("status", 10000, &lines); });
    serve_until(client);
    EXPECT_EQ(result, LOCAL_CONNECTED);
    EXPECT_EQ(lines, (std::vector<std::string>{"listening 23", "port COM1 free", "ok"}));

    // Nobody on the main thread: the client's time-out ends its wait, the answer comes later.
    client = background_start([&] { result = control_request("disconnect COM1", 300, &lines); });
    ASSERT_TRUE(background_join(client, 10000));
    EXPECT_EQ(result, LOCAL_FAILED);
    client = background_start([&] { result = control_request("status", 10000, &lines); });
    serve_until(client);
    EXPECT_EQ(result, LOCAL_CONNECTED);
    EXPECT_EQ(lines.back(), "ok");
}

TEST_F(ControlChannelTest, GarbageIsRefusedAndTheChannelGoesOn) {
    struct Case {
        std::string bytes;
        std::string reply;
    };
    const Case cases[] = {
        {std::string(300, 'x') + "\n", "error input request longer than 255 bytes\n"},
        {std::string(100000, '\xFF'), "error input request longer than 255 bytes\n"},
        {std::string(255, 's') + "\n", "error input unknown request " + std::string(40, 's') +
                                           " (requests: status, disconnect NAME, reload)\n"},
        {std::string("stat\0us\n", 8), "error input request holds control bytes: stat\\x00us\n"},
        {"status\x1b[2J\n", "error input request holds control bytes: status\\x1B[2J\n"},
        {"status\x7F\n", "error input request holds control bytes: status\\x7F\n"},
        {"status\r\nreload\n", "listening 23\nport COM1 free\nok\n"},  // one request a connection
    };
    for (const Case &c : cases) {
        std::string reply;
        Background *client = background_start([&] { reply = exchange(c.bytes); });
        serve_until(client);
        EXPECT_EQ(reply, c.reply) << c.bytes.substr(0, 20);
    }
    // Clients that leave early are owed nothing.
    for (const std::string &bytes : {std::string(), std::string("stat"), std::string(200, 'y')}) {
        Background *client = background_start([&] { exchange(bytes, false); });
        serve_until(client);
    }
    std::vector<std::string> lines;
    Background *client = background_start([&] { control_request("status", 10000, &lines); });
    serve_until(client);
    EXPECT_EQ(lines.back(), "ok");
    EXPECT_EQ(port_list.port_count, 1);
}

// Everything a client is sent until the channel lets it go (EOF), and when that came.
struct Dismissal {
    std::string text;
    std::uint32_t after_ms = 0;  // from the connect
    bool ended = false;          // the connection saw its end within the limit
};

Dismissal wait_dismissal(LocalConnection *connection, std::uint32_t connected_ms) {
    Dismissal seen;
    char buffer[256];
    std::uint32_t received = 0;
    while (clock_tick_ms() - connected_ms < 20000) {
        int got = local_receive(connection, buffer, sizeof buffer, 100, &received);
        if (got == LOCAL_TIMED_OUT) continue;
        if (got != LOCAL_RECEIVED || received == 0) {
            seen.ended = true;
            break;
        }
        seen.text.append(buffer, received);
    }
    seen.after_ms = clock_tick_ms() - connected_ms;
    return seen;
}

// Twenty clients that connect and say nothing: a request that comes after them is answered at
// once, and each of them is let go about a second after it came.
TEST_F(ControlChannelTest, SilentClientsHoldUpNobodyAndAreLetGoAfterASecond) {
    constexpr int SILENT = 20;
    std::vector<LocalConnection *> silent(SILENT, nullptr);
    std::vector<std::uint32_t> connected_ms(SILENT, 0);
    for (int i = 0; i < SILENT; ++i) {
        ASSERT_EQ(local_connect(CONTROL_SOCKET_NAME, 5000, &silent[i]), LOCAL_CONNECTED);
        connected_ms[i] = clock_tick_ms();
    }
    std::vector<std::string> lines;
    int result = -99;
    std::uint32_t took = 0;
    Background *client = background_start([&] {
        std::uint32_t start = clock_tick_ms();
        result = control_request("status", 30000, &lines);
        took = clock_tick_ms() - start;
    });
    serve_until(client);
    EXPECT_EQ(result, LOCAL_CONNECTED);
    EXPECT_EQ(lines.back(), "ok");
    EXPECT_LT(took, 5000u);
    std::printf("status behind %d silent clients: %u ms\n", SILENT, took);

    std::uint32_t latest = 0;
    for (int i = 0; i < SILENT; ++i) {
        Dismissal seen = wait_dismissal(silent[i], connected_ms[i]);
        local_close(silent[i]);
        EXPECT_TRUE(seen.ended) << i;
        EXPECT_EQ(seen.text, "error input no whole request line within 1 s\n") << i;
        EXPECT_GE(seen.after_ms, 500u) << i;  // given its second, not cut at once
        if (seen.after_ms > latest) latest = seen.after_ms;
    }
    std::printf("the last silent client was let go %u ms after its connect\n", latest);
}

// A flood of clients that say nothing holds at most CLIENTS_MAX connections: the oldest are let
// go as new ones come.
TEST_F(ControlChannelTest, AFloodOfClientsLetsTheOldestGo) {
    constexpr int FLOOD = 40;
    constexpr int KEPT = 32;
    std::vector<LocalConnection *> flood(FLOOD, nullptr);
    std::uint32_t start = clock_tick_ms();
    for (LocalConnection *&connection : flood) {
        ASSERT_EQ(local_connect(CONTROL_SOCKET_NAME, 5000, &connection), LOCAL_CONNECTED);
    }
    bool quick = clock_tick_ms() - start < 500;  // all came before any could run out of time
    int too_many = 0;
    for (int i = 0; i < FLOOD; ++i) {
        Dismissal seen = wait_dismissal(flood[i], start);
        local_close(flood[i]);
        EXPECT_TRUE(seen.ended) << i;
        if (seen.text == "error failed too many clients waiting\n") {
            ++too_many;
            if (quick) {
                EXPECT_LT(i, FLOOD - KEPT) << i;
            }
        } else {
            EXPECT_EQ(seen.text, "error input no whole request line within 1 s\n") << i;
        }
    }
    if (quick) {
        EXPECT_EQ(too_many, FLOOD - KEPT);
    }
    std::vector<std::string> lines;
    Background *client = background_start([&] { control_request("status", 10000, &lines); });
    serve_until(client);
    EXPECT_EQ(lines.back(), "ok");
}

TEST_F(ControlChannelTest, ClosingAnswersARequestStillWaitingAndRemovesTheSocket) {
    std::vector<std::string> lines;
    int result = -99;
    Background *client = background_start([&] { result = control_request("reload", 30000, &lines); });
    std::int32_t code = 0, argument = 0;
    ASSERT_EQ(ui_queue_next(window, 10000, &code, &argument), 0);  // handed over, never answered
    EXPECT_EQ(code, CMD_CONTROL_REQUEST);
    control_channel_close(channel);
    channel = nullptr;
    ASSERT_TRUE(background_join(client, 10000));
    EXPECT_EQ(result, LOCAL_CONNECTED);
    EXPECT_EQ(lines, (std::vector<std::string>{"error failed the gateway is stopping"}));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(CONTROL_SOCKET_NAME)));
    EXPECT_EQ(control_request("status", 1000, &lines), LOCAL_NOBODY);
}

// A gateway that takes no connection (hung, its queue full): the client gives up within its
// deadline instead of waiting in the connect for ever.
TEST(ControlClient, GivesUpOnAGatewayThatTakesNoConnection) {
    if (!local_socket_supported()) GTEST_SKIP() << "no control channel on this system";
    ScopedTestDir dir;
    LocalServer *hung = local_server_open(CONTROL_SOCKET_NAME);
    ASSERT_NE(hung, nullptr);
    std::vector<LocalConnection *> queued;
    for (int i = 0; i < 256; ++i) {
        LocalConnection *connection = nullptr;
        if (local_connect(CONTROL_SOCKET_NAME, 100, &connection) != LOCAL_CONNECTED) break;
        queued.push_back(connection);
    }
    EXPECT_LT(queued.size(), 256u);  // the queue is full now

    std::vector<std::string> lines;
    int result = -99;
    std::uint32_t took = 0;
    Background *client = background_start([&] {
        std::uint32_t start = clock_tick_ms();
        result = control_request("status", 1500, &lines);
        took = clock_tick_ms() - start;
    });
    bool ended = background_join(client, 20000);
    EXPECT_TRUE(ended);
    // Closing the server frees a connect that still waits, so that the test can end.
    local_server_close(hung);
    if (!ended) {
        ASSERT_TRUE(background_join(client, 20000));
    }
    EXPECT_EQ(result, LOCAL_FAILED);
    EXPECT_GE(took, 1000u);
    EXPECT_LT(took, 10000u);
    for (LocalConnection *connection : queued) local_close(connection);
}

}  // namespace
