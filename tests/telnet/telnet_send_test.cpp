// Sending: 0xFF doubling, the reports' bytes, whole messages when two threads send at once, and
// -1 from every caller once the peer has gone.
#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "platform/sync.h"
#include "platform/thread.h"
#include "support/loopback.h"
#include "support/relay_call.h"
#include "telnet/telnet.h"

namespace {

Bytes doubled(const Bytes &data) {
    Bytes wire;
    for (std::uint8_t byte : data) {
        wire.push_back(byte);
        if (byte == 255) wire.push_back(255);
    }
    return wire;
}

TEST(TelnetSend, DataHasEveryByte255Doubled) {
    LoopbackPair pair;
    Semaphore *guard = semaphore_create();
    TelnetChannel channel;
    telnet_channel_init(&channel, pair.gateway, guard, 0, 0);

    EXPECT_EQ(telnet_send_data(&channel, bytes_of({255, 1, 255}).data(), 3), 0);
    EXPECT_EQ(hex(sent_so_far(channel, pair.peer)), hex(bytes_of({255, 255, 1, 255, 255})));

    // Lengths around the pieces the escaped data is sent in, all 255 or mixed.
    std::mt19937 random(7);
    for (std::size_t length : {1u, 255u, 256u, 257u, 511u, 512u, 513u, 1024u, 5000u}) {
        for (int pattern = 0; pattern < 3; ++pattern) {
            Bytes data(length);
            for (std::uint8_t &byte : data) {
                byte = pattern == 0   ? 255
                       : pattern == 1 ? static_cast<std::uint8_t>(random())
                                      : static_cast<std::uint8_t>(random() % 2 ? 255 : 'a');
            }
            ASSERT_EQ(telnet_send_data(&channel, data.data(), static_cast<std::int32_t>(length)),
                      0);
            EXPECT_EQ(sent_so_far(channel, pair.peer), doubled(data))
                << "length " << length << " pattern " << pattern;
        }
    }

    // CR, LF and NUL go out unchanged; nothing is added.
    EXPECT_EQ(telnet_send_data(&channel, bytes_of({'\r', 0, '\n'}).data(), 3), 0);
    EXPECT_EQ(hex(sent_so_far(channel, pair.peer)), hex(bytes_of({'\r', 0, '\n'})));

    std::uint8_t byte = 255;
    EXPECT_EQ(telnet_send_data(&channel, &byte, 0), 0);
    EXPECT_EQ(telnet_send_data(&channel, &byte, -1), 0);
    EXPECT_EQ(hex(sent_so_far(channel, pair.peer)), "");
    semaphore_close(guard);
}

TEST(TelnetSend, CommandsAndReportsHaveTheirExactBytes) {
    LoopbackPair pair;
    TelnetChannel channel;
    telnet_channel_init(&channel, pair.gateway, nullptr, 0, 0);  // unguarded works the same
    struct Case {
        int result;
        Bytes wire;
    } cases[] = {
        {telnet_send_command(nullptr, pair.gateway, TELNET_WILL, 1), bytes_of({255, 251, 1})},
        {telnet_send_command(nullptr, pair.gateway, TELNET_DONT, 200), bytes_of({255, 254, 200})},
        {telnet_send_terminal_type(nullptr, pair.gateway),
         bytes_of({255, 250, 24, 0, 'A', 'N', 'S', 'I', 255, 240})},
        {telnet_send_terminal_speed(nullptr, pair.gateway, 0, 0),
         bytes_of({255, 250, 32, 0, '0', ',', '0', 255, 240})},
        {telnet_send_terminal_speed(nullptr, pair.gateway, 115200, 300),
         bytes_of({255, 250, 32, 0}) + bytes_of("115200,300") + bytes_of({255, 240})},
        {telnet_send_terminal_speed(nullptr, pair.gateway, INT_MIN, INT_MAX),
         bytes_of({255, 250, 32, 0}) + bytes_of("-2147483648,2147483647") + bytes_of({255, 240})},
        {telnet_send_raw(nullptr, pair.gateway, bytes_of({255, 1}).data(), 2), bytes_of({255, 1})},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.result, 0);
        EXPECT_EQ(hex(read_count(pair.peer, c.wire.size())), hex(c.wire));
    }
    EXPECT_EQ(hex(sent_so_far(channel, pair.peer)), "");
}

// Two senders on one channel, as during the relay: the connection thread sends data, the socket
// reader answers requests. Every message must arrive whole.
struct Senders {
    TelnetChannel *channel;
    int data_messages;
    std::atomic<int> data_done{0};
    std::atomic<int> answer_rounds{0};  // requests parsed while the data went out
    std::atomic<int> failures{0};
};

constexpr int DATA_RUN = 3000;  // 0xFF bytes per data message: 6000 bytes on the wire

std::uint32_t send_data_messages(void *arg) {
    Senders *senders = static_cast<Senders *>(arg);
    Bytes message = bytes_of("<") + Bytes(DATA_RUN, 255) + bytes_of(">");
    for (int i = 0; i < senders->data_messages; ++i) {
        if (telnet_send_data(senders->channel, message.data(),
                             static_cast<std::int32_t>(message.size())) != 0) {
            senders->failures.fetch_add(1);
        }
    }
    senders->data_done.store(1);
    return 0;
}

// Answers for as long as the data goes out, so that the two really overlap.
std::uint32_t answer_requests(void *arg) {
    Senders *senders = static_cast<Senders *>(arg);
    while (senders->data_done.load() == 0) {
        // DO ECHO draws IAC WILL ECHO; SB TERMINAL-TYPE SEND draws the 10-byte report.
        Bytes request = bytes_of({255, 253, 1, 255, 250, 24, 0, 255, 240});
        if (telnet_receive(senders->channel, request.data(),
                           static_cast<std::int32_t>(request.size())) != 0) {
            senders->failures.fetch_add(1);
        }
        senders->answer_rounds.fetch_add(1);
    }
    return 0;
}

TEST(TelnetSend, TwoThreadsSendingAtOnceNeverInterleaveWithinAMessage) {
    LoopbackPair pair;
    Semaphore *guard = semaphore_create();
    TelnetChannel channel;
    telnet_channel_init(&channel, pair.gateway, guard, 0, 0);
    Senders senders{&channel, 1000};
    Thread *data = thread_start(send_data_messages, &senders, 0);
    Thread *answers = thread_start(answer_requests, &senders, 0);
    ASSERT_NE(data, nullptr);
    ASSERT_NE(answers, nullptr);

    // Read everything while they send, then take it apart message by message.
    Bytes wire;
    while (senders.data_done.load() == 0) {
        Bytes more = read_some(pair.peer, 100);
        wire.insert(wire.end(), more.begin(), more.end());
    }
    EXPECT_EQ(thread_join(data, 60000), 0);
    EXPECT_EQ(thread_join(answers, 60000), 0);
    thread_close(data);
    thread_close(answers);
    Bytes rest = read_until_quiet(pair.peer, 300);
    wire.insert(wire.end(), rest.begin(), rest.end());
    EXPECT_EQ(senders.failures.load(), 0);

    const Bytes data_message = bytes_of("<") + Bytes(2 * DATA_RUN, 255) + bytes_of(">");
    const Bytes will_echo = bytes_of({255, 251, 1});
    const Bytes type_report = bytes_of({255, 250, 24, 0, 'A', 'N', 'S', 'I', 255, 240});
    int data_seen = 0;
    int answers_seen = 0;
    std::size_t at = 0;
    while (at < wire.size()) {
        const Bytes *expected = wire[at] == '<'                               ? &data_message
                                : wire.size() - at > 1 && wire[at + 1] == 251 ? &will_echo
                                                                              : &type_report;
        ASSERT_LE(expected->size(), wire.size() - at) << "cut message at " << at;
        ASSERT_TRUE(std::equal(expected->begin(), expected->end(), wire.begin() + at))
            << "mixed message at offset " << at;
        if (expected == &data_message) ++data_seen;
        if (expected == &will_echo) ++answers_seen;
        at += expected->size();
    }
    EXPECT_EQ(data_seen, senders.data_messages);
    EXPECT_EQ(answers_seen, senders.answer_rounds.load());
    EXPECT_GT(answers_seen, 0);
    semaphore_close(guard);
}

TEST(TelnetSend, ASendToAClosedPeerGivesFailureThroughEveryCaller) {
    for (bool guarded : {true, false}) {
        SCOPED_TRACE(guarded ? "with a send guard" : "without a send guard");
        LoopbackPair pair;
        Semaphore *guard = guarded ? semaphore_create() : nullptr;
        TelnetChannel channel;
        telnet_channel_init(&channel, pair.gateway, guard, 9600, 9600);
        net_close(&pair.peer);

        // The first sends may still be taken by the system; the peer's reset ends that.
        const std::uint8_t probe[1] = {'?'};
        int result = 0;
        for (int i = 0; i < 200 && result == 0; ++i) {
            result = telnet_send_raw(guard, pair.gateway, probe, 1);
            if (result == 0) clock_sleep_ms(10);
        }
        ASSERT_EQ(result, -1);

        Bytes data = bytes_of({'a', 255, 'b'});
        EXPECT_EQ(telnet_send_data(&channel, data.data(), 3), -1);
        EXPECT_EQ(telnet_send_raw(guard, pair.gateway, data.data(), 3), -1);
        EXPECT_EQ(telnet_send_command(guard, pair.gateway, TELNET_WILL, 1), -1);
        EXPECT_EQ(telnet_send_terminal_type(guard, pair.gateway), -1);
        EXPECT_EQ(telnet_send_terminal_speed(guard, pair.gateway, 1, 2), -1);
        struct Case {
            Bytes input;
            std::int32_t result;
        } receives[] = {
            {bytes_of({'x', 255, 253, 1, 'y'}), -1},           // an answer
            {bytes_of({255, 250, 24, 0, 255, 240, 'y'}), -1},  // the terminal-type report
            {bytes_of({255, 250, 32, 0, 255, 240, 'y'}), -1},  // the terminal-speed report
            {bytes_of({'x', 255, 251, 32, 'y'}), 2},           // the one report whose failure
                                                               // is ignored
        };
        for (Case &c : receives) {
            EXPECT_EQ(telnet_receive(&channel, c.input.data(),
                                     static_cast<std::int32_t>(c.input.size())),
                      c.result)
                << hex(c.input);
        }
        // Every failure gave the guard back.
        if (guard != nullptr) {
            EXPECT_EQ(semaphore_wait(guard, 0), 0);
            semaphore_release(guard);
        }
        semaphore_close(guard);
    }
}

// A peer that does not read: the channel's sends wait for it, in slices, and give up once the
// give-up function or the stop flag says so; so does a send waiting for the send guard. The guard
// is free afterwards, and nothing else stops a send while the peer merely lags.
TEST(TelnetSend, ASendThatCannotProgressGivesUpWhenAsked) {
    for (bool by_stop_flag : {false, true}) {
        SCOPED_TRACE(by_stop_flag ? "stop flag" : "give-up function");
        LoopbackPair pair;
        std::atomic<std::int32_t> stop{0};
        std::atomic<int> asked{0};
        std::atomic<int> give_up{0};
        struct Context {
            std::atomic<int> *asked;
            std::atomic<int> *give_up;
        } context{&asked, &give_up};
        auto watch = [&](TelnetChannel *channel, Semaphore *guard) {
            telnet_channel_init(channel, pair.gateway, guard, 0, 0);
            telnet_set_give_up(
                channel,
                [](void *c) {
                    Context *watched = static_cast<Context *>(c);
                    watched->asked->fetch_add(1);
                    return watched->give_up->load();
                },
                &context);
            if (by_stop_flag) telnet_set_stop_flag(channel, &stop);
        };
        Semaphore *guard = semaphore_create();
        TelnetChannel channel;
        watch(&channel, guard);

        const Bytes block(65536, 'x');
        Running sender([&] {
            for (;;) {
                if (telnet_send_data(&channel, block.data(), 65536) != 0) return -1;
            }
        });
        // Held, and asking. (The system may still let a little through now and then while it
        // compacts what the peer left unread.)
        ASSERT_TRUE(wait_until([&] { return asked.load() >= 5; }, 60000));
        clock_sleep_ms(300);
        EXPECT_FALSE(sender.done.load());

        // Meanwhile a send waits for a guard that another sender holds; it asks too.
        Semaphore *held = semaphore_create();
        ASSERT_EQ(semaphore_wait(held, 0), 0);
        TelnetChannel waiting;
        watch(&waiting, held);
        Running second([&] { return telnet_send_data(&waiting, block.data(), 65536); });
        int asks = asked.load();
        ASSERT_TRUE(wait_until([&] { return asked.load() >= asks + 10; }, 60000));
        EXPECT_FALSE(second.done.load());

        std::uint32_t start = clock_tick_ms();
        if (by_stop_flag) {
            stop.store(1);
        } else {
            give_up.store(1);
        }
        EXPECT_EQ(sender.wait(5000), -1);
        EXPECT_EQ(second.wait(5000), -1);
        EXPECT_LT(clock_tick_ms() - start, 3000u);
        ASSERT_EQ(semaphore_wait(guard, 0), 0);
        semaphore_release(guard);
        semaphore_close(guard);
        semaphore_release(held);
        semaphore_close(held);
    }
}

}  // namespace
