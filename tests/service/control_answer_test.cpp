// The gateway's answers to norvexctl: the status list, the forced disconnect (which ends even a
// quiet call at once) and the reload, as the operator reads them.
#include "service/control_answer.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <random>

#include "app/messages.h"
#include "gateway/access_log.h"
#include "gateway/port_allocation.h"
#include "gateway/relay.h"
#include "resources/resource_ids.h"
#include "settings/port_list.h"
#include "settings/settings_file.h"
#include "support/gateway_fixture.h"
#include "support/settings_fixtures.h"
#include "support/test_dir.h"

namespace {

class ControlAnswer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(load_settings("NORVEX.DAT", nullptr));
        for (const char *name : {"COM1", "COM2", "my port"}) {
            PortSettings port = make_port(name);
            ASSERT_TRUE(port_list_add(&port));
        }
        ASSERT_TRUE(save_settings("NORVEX.DAT"));
    }
    void TearDown() override {
        for (PortRecord *call : calls) port_release(call);
        port_list_clear();
    }

    std::string answer(const std::string &request) {
        std::string reply;
        log.clear();
        control_answer(request, &context, &reply, &log);
        return reply;
    }

    PortRecord *call_from(const char *host, std::uint32_t address) {
        char name[64] = {};
        std::strncpy(name, host, sizeof name - 1);
        PortRecord *call = port_allocate(name, address);
        if (call != nullptr) calls.push_back(call);
        return call;
    }

    ScopedTestDir dir;
    ControlContext context{23};  // the port of the defaults
    std::vector<std::string> log;
    std::vector<PortRecord *> calls;
};

TEST_F(ControlAnswer, StatusListsEveryPortWithItsCaller) {
    EXPECT_EQ(answer("status"), "listening 23\nport COM1 free\nport COM2 free\n"
                                "port my\\x20port free\nok\n");
    ASSERT_NE(call_from("pc1", 0x7F000002u), nullptr);
    ASSERT_NE(call_from("", 0xC0000207u), nullptr);
    EXPECT_EQ(answer("status"), "listening 23\nport COM1 busy pc1(127.0.0.2)\n"
                                "port COM2 busy 192.0.2.7\nport my\\x20port free\nok\n");
    EXPECT_TRUE(log.empty());
}

TEST_F(ControlAnswer, DisconnectAsksOnlyABusyPortToEnd) {
    PortRecord *call = call_from("pc1", 0x7F000002u);
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(answer("disconnect COM2"), "free COM2\nok\n");
    EXPECT_EQ(port_list_at(1)->disconnect_request.load(), 0);
    EXPECT_TRUE(log.empty());

    EXPECT_EQ(answer("disconnect com1"), "requested COM1 pc1(127.0.0.2)\nok\n");
    EXPECT_EQ(call->disconnect_request.load(), 1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "COM1: forced disconnect of pc1(127.0.0.2) (norvexctl)");

    EXPECT_EQ(answer("disconnect my\\x20port"), "free my\\x20port\nok\n");
    EXPECT_EQ(answer("disconnect COM9"), "error input no port COM9 (ports: COM1 COM2 my port)\n");
    EXPECT_EQ(answer("disconnect"), "error input disconnect needs a port name\n");
    EXPECT_EQ(answer("disconnect \\q"), "error input disconnect needs a port name\n");
}

TEST_F(ControlAnswer, UnknownRequestsAreRefused) {
    for (const char *request : {"", "STATUS", "status now", "reload all", "shutdown", "status\\"}) {
        std::string reply = answer(request);
        EXPECT_EQ(reply.rfind("error input unknown request", 0), 0u) << request << ": " << reply;
        EXPECT_EQ(reply.find('\n'), reply.size() - 1) << request;
    }
    EXPECT_EQ(port_list.port_count, 3);
}

TEST_F(ControlAnswer, ReloadTakesTheFileAndSaysWhatChanged) {
    PortRecord *call = call_from("", 0x7F000001u);  // COM1 busy
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(answer("reload"), "info nothing changed\nok\n");

    SettingsImage image;
    settings_options_defaults(&image.options);
    image.options.telnet_port = 2424;
    text_set(image.options.greeting_message, "hello\r\n");
    image.ports = {make_port("COM3"), make_port("my port"), make_port("COM2")};
    image.ports[1].baud_rate = 1200;
    ASSERT_TRUE(settings_image_write("NORVEX.DAT", &image));
    EXPECT_EQ(answer("reload"),
              "info options changed: telnet_port, greeting_message\n"
              "info COM1 removed; its call goes on until it ends\n"
              "info COM3 added\n"
              "info my port updated\n"
              "info port order now: COM3, my port, COM2\n"
              "info TELNETﾎﾟｰﾄの設定は次回の起動から有効になります (the telnet port takes effect at "
              "the next start): listening on 23, the next start uses 2424\n"
              "ok\n");
    EXPECT_EQ(log.size(), 6u);
    EXPECT_EQ(log[1], "reload: COM1 removed; its call goes on until it ends");
    EXPECT_EQ(port_list.port_count, 3);
    EXPECT_EQ(call->busy.load(), 1);
    GlobalOptions options;
    options_get(&options);
    EXPECT_STREQ(options.greeting_message, "hello\r\n");
}

TEST_F(ControlAnswer, ReloadOfAFileTheGatewayCouldNotStartWithChangesNothing) {
    std::vector<std::uint8_t> valid = read_whole_file("NORVEX.DAT");
    std::vector<std::uint8_t> longer = valid;
    longer.push_back(0);
    std::vector<std::uint8_t> shorter(valid.begin(), valid.begin() + 1000);
    for (const auto &content : {longer, shorter}) {
        write_whole_file("NORVEX.DAT", content);
        std::string reply = answer("reload");
        EXPECT_EQ(reply.rfind("error failed NORVEX.DAT ", 0), 0u) << reply;
        EXPECT_NE(reply.find("nothing changed\n"), std::string::npos) << reply;
        EXPECT_EQ(port_list.port_count, 3);
        EXPECT_EQ(read_whole_file("NORVEX.DAT"), content);  // a reload writes nothing
    }
    std::filesystem::remove("NORVEX.DAT");
    EXPECT_EQ(answer("reload").rfind("error failed NORVEX.DAT is missing", 0), 0u);
    EXPECT_FALSE(file_exists("NORVEX.DAT"));
    EXPECT_EQ(port_list.port_count, 3);
}

// A reload of a file whose telnet port differs from the one listened on: the server keeps its
// port, and the reply says so with both numbers, in message 1009's words; a file with the port in
// use again says nothing of it.
TEST_F(ControlAnswer, ReloadOfAnotherTelnetPortSaysItTakesEffectAtTheNextStart) {
    std::vector<std::uint8_t> file = read_whole_file("NORVEX.DAT");
    auto with_telnet_port = [&file](std::int32_t telnet_port) {
        std::vector<std::uint8_t> bytes = file;
        std::memcpy(bytes.data() + offsetof(GlobalOptions, telnet_port), &telnet_port,
                    sizeof telnet_port);
        write_whole_file("NORVEX.DAT", bytes);
    };
    with_telnet_port(8023);
    std::string next_start = message_line(STR_TELNET_PORT_NEXT_START);
    EXPECT_EQ(answer("reload"), "info options changed: telnet_port\n"
                                "info " + next_start + ": listening on 23, the next start uses 8023\n"
                                "ok\n");
    EXPECT_EQ(log.back(), "reload: " + next_start + ": listening on 23, the next start uses 8023");
    GlobalOptions options;
    options_get(&options);
    EXPECT_EQ(options.telnet_port, 8023);

    with_telnet_port(23);
    EXPECT_EQ(answer("reload"), "info options changed: telnet_port\nok\n");
}

// norvexctl's forced disconnect ends a quiet call at once: it wakes the relay, which would
// otherwise see the request only at its next look, pushed out to a minute here.
class ControlAnswerCall : public GatewayTest {
protected:
    void SetUp() override {
        GatewayTest::SetUp();
        relay_set_quiet_look_ms(60000);
    }
    void TearDown() override {
        relay_set_quiet_look_ms(0);
        GatewayTest::TearDown();
    }
};

TEST_F(ControlAnswerCall, DisconnectEndsAQuietCallAtOnce) {
    SimSerial *device = add_port("SIMQ1");
    start_server();
    TestCaller caller(port);
    ASSERT_TRUE(caller.read_until("*** CONNECT NORVEX\r\n"));
    caller.send("up");
    ASSERT_TRUE(sim_wait_received(device, "up", 10000));
    // The relay has gone quiet: it waits on the device.
    int waits = sim_calls(device, SIM_CALL_WAIT);
    ASSERT_TRUE(wait_until([&] { return sim_calls(device, SIM_CALL_WAIT) > waits; }, 10000));

    ControlContext context{port};
    std::string reply;
    std::vector<std::string> log;
    std::uint32_t start = clock_tick_ms();
    control_answer("disconnect SIMQ1", &context, &reply, &log);
    EXPECT_EQ(reply, "requested SIMQ1 127.0.0.1\nok\n");
    EXPECT_TRUE(caller.read_until_closed(3000));
    std::uint32_t took = clock_tick_ms() - start;
    EXPECT_LT(took, 3000u);
    std::printf("forced disconnect of a quiet call: ended after %u ms\n", took);
    ASSERT_TRUE(wait_log_lines(1));
    EXPECT_EQ(log_reason(log_lines()[0]), LOG_TRANSFER_FAIL);
}

// Whatever a local client sends is answered with whole, safe lines and changes nothing.
TEST_F(ControlAnswer, RandomRequestsGetWholeRepliesAndChangeNothing) {
    std::vector<std::uint8_t> file = read_whole_file("NORVEX.DAT");
    std::mt19937 random(99);
    const char *starts[] = {"", "status", "disconnect ", "reload", "disconnect COM1", "status "};
    for (int round = 0; round < 3000; ++round) {
        std::string request = starts[random() % 6];
        for (int i = 0, n = static_cast<int>(random() % 12); i < n; ++i) {
            request += static_cast<char>(round % 2 == 0 ? 0x20 + random() % 0x5F : 1 + random() % 255);
        }
        std::string reply = answer(request);
        ASSERT_FALSE(reply.empty()) << request;
        ASSERT_EQ(reply.back(), '\n') << request;
        std::string last = reply.substr(reply.rfind('\n', reply.size() - 2) + 1);
        if (reply.find('\n') == reply.size() - 1) last = reply;
        ASSERT_TRUE(last == "ok\n" || last.rfind("error ", 0) == 0) << request << ": " << reply;
        for (char c : reply) {
            ASSERT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << request << ": " << reply;
        }
    }
    EXPECT_EQ(port_list.port_count, 3);
    EXPECT_EQ(read_whole_file("NORVEX.DAT"), file);
}

}  // namespace
