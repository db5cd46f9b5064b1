// The control channel's sockets: owner-only socket file, stale files replaced, live ones and other
// files left alone, bounded sends, receives and connects, one wait over several connections. (A
// peer of another user is the end-to-end tests'.)
#include "platform/local_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread.h"
#include "support/test_dir.h"

namespace {

namespace fs = std::filesystem;
constexpr const char *NAME = "NORVEX.CTL";

class LocalSocket : public ::testing::Test {
protected:
    void SetUp() override {
        if (!local_socket_supported()) GTEST_SKIP() << "no local sockets on this system";
    }
    ScopedTestDir dir;
};

// Accepts the connection that a client has just made.
LocalConnection *accept_one(LocalServer *server, int *trusted) {
    LocalConnection *connection = nullptr;
    EXPECT_EQ(local_server_accept(server, 5000, &connection, trusted), 0);
    return connection;
}

std::string receive_all(LocalConnection *connection) {
    std::string text;
    char buffer[256];
    std::uint32_t got = 0;
    while (local_receive(connection, buffer, sizeof buffer, 5000, &got) == LOCAL_RECEIVED && got > 0) {
        text.append(buffer, got);
    }
    return text;
}

TEST_F(LocalSocket, OwnerOnlyFileCarriesBytesBothWaysAndIsRemovedAtClose) {
    LocalServer *server = local_server_open(NAME);
    ASSERT_NE(server, nullptr);
    EXPECT_TRUE(fs::is_socket(NAME));
    EXPECT_EQ(fs::status(NAME).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    LocalConnection *waiting = nullptr;
    int trusted = -1;
    EXPECT_EQ(local_server_accept(server, 50, &waiting, &trusted), 0);  // nobody yet
    EXPECT_EQ(waiting, nullptr);

    LocalConnection *client = nullptr;
    ASSERT_EQ(local_connect(NAME, 5000, &client), LOCAL_CONNECTED);
    LocalConnection *peer = accept_one(server, &trusted);
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(trusted, 1);  // the same user

    char buffer[16];
    std::uint32_t got = 99;
    EXPECT_EQ(local_receive(peer, buffer, sizeof buffer, 50, &got), LOCAL_TIMED_OUT);
    EXPECT_EQ(got, 0u);
    std::string request = "status\n";
    ASSERT_EQ(local_send(client, request.data(), static_cast<std::uint32_t>(request.size()), 1000), 0);
    ASSERT_EQ(local_receive(peer, buffer, sizeof buffer, 5000, &got), LOCAL_RECEIVED);
    EXPECT_EQ(std::string(buffer, got), request);

    std::string reply(100000, 'r');  // more than a socket buffer holds: the reader takes it in turns
    std::string received;
    ASSERT_EQ(local_send(peer, reply.data(), 1000, 1000), 0);
    local_close(peer);
    received = receive_all(client);
    EXPECT_EQ(received, reply.substr(0, 1000));  // then the end of the stream
    local_close(client);

    local_server_close(server);
    EXPECT_FALSE(fs::exists(fs::symlink_status(NAME)));
    EXPECT_EQ(local_connect(NAME, 5000, &client), LOCAL_NOBODY);
    EXPECT_EQ(client, nullptr);
}

TEST_F(LocalSocket, StaleFileIsReplacedButALiveOneOrAnotherFileIsNot) {
    LocalServer *first = local_server_open(NAME);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(local_server_open(NAME), nullptr);  // somebody listens on it

    // A socket file whose server has gone, as a killed gateway leaves it.
    fs::rename(NAME, "moved");
    local_server_close(first);
    fs::rename("moved", NAME);
    ASSERT_TRUE(fs::is_socket(NAME));
    LocalConnection *client = nullptr;
    EXPECT_EQ(local_connect(NAME, 5000, &client), LOCAL_NOBODY);
    LocalServer *second = local_server_open(NAME);
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(local_connect(NAME, 5000, &client), LOCAL_CONNECTED);
    local_close(client);
    local_server_close(second);

    { std::ofstream(NAME) << "not a socket"; }
    EXPECT_EQ(local_server_open(NAME), nullptr);
    std::ifstream kept(NAME);
    std::string text;
    std::getline(kept, text);
    EXPECT_EQ(text, "not a socket");
}

TEST_F(LocalSocket, SocketFileWithoutPermissionIsDenied) {
    LocalServer *server = local_server_open(NAME);
    ASSERT_NE(server, nullptr);
    fs::permissions(NAME, fs::perms::none);
    { std::ofstream("probe") << "x"; }
    fs::permissions("probe", fs::perms::none);
    bool privileged = std::ifstream("probe").is_open();
    if (!privileged) {
        LocalConnection *client = nullptr;
        EXPECT_EQ(local_connect(NAME, 5000, &client), LOCAL_DENIED);
        EXPECT_EQ(client, nullptr);
    }
    local_server_close(server);
    if (privileged) GTEST_SKIP() << "the administrator may use any socket file";
}

TEST_F(LocalSocket, SendToAPeerThatDoesNotReadEndsAtItsTimeOut) {
    LocalServer *server = local_server_open(NAME);
    ASSERT_NE(server, nullptr);
    LocalConnection *client = nullptr;
    ASSERT_EQ(local_connect(NAME, 5000, &client), LOCAL_CONNECTED);
    int trusted = 0;
    LocalConnection *peer = accept_one(server, &trusted);
    ASSERT_NE(peer, nullptr);

    std::vector<char> flood(8 << 20, 'x');
    auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(local_send(peer, flood.data(), static_cast<std::uint32_t>(flood.size()), 200), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));

    local_close(client);  // the peer gone, a send fails at once without a signal
    std::uint32_t got = 0;
    char byte = 0;
    EXPECT_EQ(local_send(peer, "x", 1, 1000), -1);
    EXPECT_NE(local_receive(peer, &byte, 1, 1000, &got), LOCAL_TIMED_OUT);
    local_close(peer);
    local_server_close(server);
}

// One wait on the server and on accepted connections together tells which of them has something:
// a connection to take, bytes or the peer's end on a connection; the wake ends it with nothing.
TEST_F(LocalSocket, AWaitOnTheServerAndItsConnectionsTellsWhichIsReady) {
    LocalServer *server = local_server_open(NAME);
    ASSERT_NE(server, nullptr);
    LocalConnection *clients[2] = {};
    LocalConnection *peers[2] = {};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(local_connect(NAME, 5000, &clients[i]), LOCAL_CONNECTED);
        int trusted = 0;
        peers[i] = accept_one(server, &trusted);
        ASSERT_NE(peers[i], nullptr);
    }
    int accept_ready = 9;
    int ready[2] = {9, 9};
    EXPECT_EQ(local_server_wait(server, peers, 2, 50, &accept_ready, ready), 0);  // nothing yet
    EXPECT_EQ(accept_ready, 0);
    EXPECT_EQ(ready[0], 0);
    EXPECT_EQ(ready[1], 0);

    ASSERT_EQ(local_send(clients[1], "x", 1, 1000), 0);
    EXPECT_EQ(local_server_wait(server, peers, 2, 5000, &accept_ready, ready), 0);
    EXPECT_EQ(accept_ready, 0);
    EXPECT_EQ(ready[0], 0);
    EXPECT_EQ(ready[1], 1);

    LocalConnection *third = nullptr;
    ASSERT_EQ(local_connect(NAME, 5000, &third), LOCAL_CONNECTED);
    local_close(clients[0]);
    auto start = std::chrono::steady_clock::now();
    while (!(accept_ready == 1 && ready[0] == 1) &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
        ASSERT_EQ(local_server_wait(server, peers, 2, 5000, &accept_ready, ready), 0);
    }
    EXPECT_EQ(accept_ready, 1);  // the third client waits to be taken
    EXPECT_EQ(ready[0], 1);      // the first one's end
    EXPECT_EQ(ready[1], 1);      // its byte is still unread

    local_server_wake(server);
    EXPECT_EQ(local_server_wait(server, peers, 2, WAIT_FOREVER_MS, &accept_ready, ready), 0);
    EXPECT_EQ(accept_ready, 0);
    EXPECT_EQ(ready[1], 0);
    local_close(third);
    local_close(clients[1]);
    for (LocalConnection *peer : peers) local_close(peer);
    local_server_close(server);
}

// A connect to a server that takes no connection gives up at its deadline once the server's
// queue is full, rather than waiting for ever.
TEST_F(LocalSocket, AConnectToAFullQueueEndsAtItsDeadline) {
    LocalServer *server = local_server_open(NAME);
    ASSERT_NE(server, nullptr);
    std::vector<LocalConnection *> queued;
    int result = LOCAL_CONNECTED;
    while (queued.size() < 256) {
        LocalConnection *client = nullptr;
        result = local_connect(NAME, 100, &client);
        if (result != LOCAL_CONNECTED) break;
        queued.push_back(client);
    }
    EXPECT_EQ(result, LOCAL_FAILED);
    auto start = std::chrono::steady_clock::now();
    LocalConnection *late = nullptr;
    EXPECT_EQ(local_connect(NAME, 700, &late), LOCAL_FAILED);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(600));
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_EQ(late, nullptr);

    // One taken, and a connect finds room again.
    int trusted = 0;
    LocalConnection *peer = accept_one(server, &trusted);
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(local_connect(NAME, 5000, &late), LOCAL_CONNECTED);
    local_close(late);
    local_close(peer);
    for (LocalConnection *client : queued) local_close(client);
    local_server_close(server);
}

// An accept that waits without a time-out ends when woken, and every later one returns at once;
// a client that comes after the wake is still there for nobody to take.
TEST_F(LocalSocket, AWakeEndsAnAcceptWaitingForEver) {
    LocalServer *server = local_server_open(NAME);
    ASSERT_NE(server, nullptr);
    std::atomic<int> result{99};
    std::atomic<bool> got_one{false};
    std::thread waiter([&] {
        LocalConnection *connection = nullptr;
        int trusted = 0;
        result.store(local_server_accept(server, WAIT_FOREVER_MS, &connection, &trusted));
        got_one.store(connection != nullptr);
        local_close(connection);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(result.load(), 99);  // still waiting
    local_server_wake(server);
    waiter.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_FALSE(got_one.load());

    LocalConnection *connection = nullptr;
    int trusted = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(local_server_accept(server, WAIT_FOREVER_MS, &connection, &trusted), 0);
    EXPECT_EQ(connection, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    local_server_close(server);
}

}  // namespace
