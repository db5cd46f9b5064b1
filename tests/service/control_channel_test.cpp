// The gateway's end of the control channel: requests reach the main thread and back, garbage and
// silence are refused without harm, and closing answers a request still waiting.
#include "service/control_channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "control/control_protocol.h"
#include "ctl/control_client.h"
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
    if (local_connect(CONTROL_SOCKET_NAME, &connection) != LOCAL_CONNECTED) return "<no connection>";
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

TEST_F(ControlChannelTest, ASilentClientIsDismissedAndTheNextServed) {
    std::string silent_reply;
    Background *silent = background_start([&] {
        LocalConnection *connection = nullptr;
        ASSERT_EQ(local_connect(CONTROL_SOCKET_NAME, &connection), LOCAL_CONNECTED);
        char buffer[256];
        std::uint32_t received = 0;
        while (local_receive(connection, buffer, sizeof buffer, 30000, &received) == LOCAL_RECEIVED &&
               received > 0) {
            silent_reply.append(buffer, received);
        }
        local_close(connection);
    });
    std::vector<std::string> lines;
    Background *client = background_start([&] { control_request("status", 30000, &lines); });
    serve_until(client);
    ASSERT_TRUE(background_join(silent, 30000));
    EXPECT_EQ(silent_reply, "error input no whole request line within 5 s\n");
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

}  // namespace
