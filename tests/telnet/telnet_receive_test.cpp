// The receive parser: data out of the received bytes, the answers the peer sees on the wire for
// every request, subnegotiations and their reports, and commands split across receives.
#include <gtest/gtest.h>

#include "platform/sync.h"
#include "support/loopback.h"
#include "telnet/telnet.h"

namespace {

// A channel on a loopback pair, with the parser driven directly as the socket reader drives it.
struct Receiver {
    LoopbackPair pair;
    Semaphore *guard = semaphore_create();
    TelnetChannel channel{};

    Receiver() { telnet_channel_init(&channel, pair.gateway, guard, 0, 0); }
    ~Receiver() { semaphore_close(guard); }

    // Parses the bytes in the given pieces; returns the data, and what went to the peer.
    Bytes receive(const Bytes &input, std::vector<std::size_t> cuts = {}) {
        Bytes data;
        cuts.push_back(input.size());
        std::size_t from = 0;
        for (std::size_t cut : cuts) {
            Bytes piece(input.begin() + from, input.begin() + cut);
            std::int32_t count = telnet_receive(&channel, piece.data(),
                                                static_cast<std::int32_t>(piece.size()));
            EXPECT_GE(count, 0);
            EXPECT_LE(count, static_cast<std::int32_t>(piece.size()));
            if (count > 0) data.insert(data.end(), piece.begin(), piece.begin() + count);
            from = cut;
        }
        return data;
    }
    Bytes wire() { return sent_so_far(channel, pair.peer); }
};

Bytes type_report() { return bytes_of({255, 250, 24, 0, 'A', 'N', 'S', 'I', 255, 240}); }
Bytes speed_report(const char *text) {
    return bytes_of({255, 250, 32, 0}) + bytes_of(text) + bytes_of({255, 240});
}

// The answer table, for every option code under each of the four verbs.
Bytes expected_answer(std::uint8_t verb, std::uint8_t option) {
    switch (verb) {
    case TELNET_WONT: return bytes_of({255, 254, option});
    case TELNET_DONT: return bytes_of({255, 252, option});
    case TELNET_WILL:
        if (option == 0 || option == 3) return bytes_of({255, 253, option});
        if (option == 32) return speed_report("0,0");
        return bytes_of({255, 254, option});
    default:  // DO
        if (option == 0 || option == 1 || option == 3) return bytes_of({255, 251, option});
        return bytes_of({255, 252, option});
    }
}

TEST(TelnetReceive, EveryRequestOfTheAnswerTable) {
    Receiver receiver;
    for (std::uint8_t verb : {TELNET_WILL, TELNET_WONT, TELNET_DO, TELNET_DONT}) {
        for (int option = 0; option < 256; ++option) {
            Bytes data = receiver.receive(bytes_of({255, verb, option}));
            EXPECT_TRUE(data.empty());
            ASSERT_EQ(hex(receiver.wire()),
                      hex(expected_answer(verb, static_cast<std::uint8_t>(option))))
                << "verb " << int(verb) << " option " << option;
        }
    }
}

TEST(TelnetReceive, AnswersSetTheOptionStates) {
    struct Case {
        Bytes request;
        int option;
        std::int32_t before;
        std::int32_t after;
    } cases[] = {
        {bytes_of({255, 253, 1}), 1, 0, TELNET_LOCAL_ON},                   // DO: WILL
        {bytes_of({255, 253, 24}), 24, TELNET_LOCAL_ON, 0},                 // DO: WONT
        {bytes_of({255, 254, 1}), 1, TELNET_LOCAL_ON, 0},                   // DONT: WONT
        {bytes_of({255, 251, 0}), 0, 0, TELNET_REMOTE_ON},                  // WILL: DO
        {bytes_of({255, 251, 1}), 1, TELNET_REMOTE_ON, 0},                  // WILL: DONT
        {bytes_of({255, 252, 3}), 3, TELNET_REMOTE_ON | TELNET_LOCAL_ON, TELNET_LOCAL_ON},
        {bytes_of({255, 251, 32}), 32, 0, 0},                               // report: no verb
    };
    for (const Case &c : cases) {
        Receiver receiver;
        receiver.channel.option_state[c.option] = c.before;
        receiver.receive(c.request);
        EXPECT_EQ(receiver.channel.option_state[c.option], c.after) << hex(c.request);
    }
}

TEST(TelnetReceive, RepliesToOurOffersDrawNothingButRepeatedRequestsAreAnswered) {
    struct Case {
        const char *name;
        std::int32_t awaiting;
        Bytes first;
        std::int32_t state_after_first;
        Bytes second_answer;  // the same command again, now a request
    } cases[] = {
        {"DO after our WILL", TELNET_WILL_SENT, bytes_of({255, 253, 1}), TELNET_LOCAL_ON,
         bytes_of({255, 251, 1})},
        {"DONT after our WILL", TELNET_WILL_SENT, bytes_of({255, 254, 1}), 0,
         bytes_of({255, 252, 1})},
        {"WILL after our DO", TELNET_DO_SENT, bytes_of({255, 251, 1}), TELNET_REMOTE_ON,
         bytes_of({255, 254, 1})},
        {"WONT after our DO", TELNET_DO_SENT, bytes_of({255, 252, 1}), 0,
         bytes_of({255, 254, 1})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Receiver receiver;
        receiver.channel.option_state[TELOPT_ECHO] = c.awaiting;
        receiver.receive(c.first);
        EXPECT_EQ(hex(receiver.wire()), "");
        EXPECT_EQ(receiver.channel.option_state[TELOPT_ECHO], c.state_after_first);
        for (int again = 0; again < 2; ++again) {
            receiver.receive(c.first);
            EXPECT_EQ(hex(receiver.wire()), hex(c.second_answer));
        }
    }
    // A verb that does not match what we await is a request, and the awaiting mark stays.
    Receiver receiver;
    receiver.channel.option_state[TELOPT_BINARY] = TELNET_WILL_SENT;
    receiver.receive(bytes_of({255, 251, 0}));
    EXPECT_EQ(hex(receiver.wire()), hex(bytes_of({255, 253, 0})));
    EXPECT_EQ(receiver.channel.option_state[TELOPT_BINARY], TELNET_WILL_SENT | TELNET_REMOTE_ON);
}

TEST(TelnetReceive, WillTerminalSpeedDrawsTheReportWithTheCurrentSpeeds) {
    Receiver receiver;
    receiver.receive(bytes_of({255, 251, 32}));
    EXPECT_EQ(hex(receiver.wire()), hex(speed_report("0,0")));
    telnet_set_speed(&receiver.channel, 9600, 2400);
    receiver.receive(bytes_of({255, 251, 32}));
    EXPECT_EQ(hex(receiver.wire()), hex(speed_report("9600,2400")));
}

TEST(TelnetReceive, SubnegotiationsDrawTheReports) {
    struct Case {
        const char *name;
        Bytes input;
        Bytes answer;
    } cases[] = {
        {"terminal type, 0", bytes_of({255, 250, 24, 0, 255, 240}), type_report()},
        {"terminal type, 0 and more", bytes_of({255, 250, 24, 0, 'x', 'y', 255, 240}),
         type_report()},
        {"terminal type, 1", bytes_of({255, 250, 24, 1, 255, 240}), {}},
        {"terminal speed, 0", bytes_of({255, 250, 32, 0, 255, 240}), speed_report("38400,19200")},
        {"terminal speed, 1", bytes_of({255, 250, 32, 1, 255, 240}), {}},
        // The buffer is zero-filled at SB: a bare option code reads as "option, 0".
        {"terminal speed, nothing more", bytes_of({255, 250, 32, 255, 240}),
         speed_report("38400,19200")},
        {"another option", bytes_of({255, 250, 31, 0, 80, 0, 24, 255, 240}), {}},
        {"terminal type after IAC IAC", bytes_of({255, 250, 255, 255, 24, 0, 255, 240}), {}},
        {"SE with no SB yet", bytes_of({255, 240}), {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Receiver receiver;
        telnet_set_speed(&receiver.channel, 38400, 19200);
        EXPECT_TRUE(receiver.receive(c.input).empty());
        EXPECT_EQ(hex(receiver.wire()), hex(c.answer));
        EXPECT_EQ(receiver.channel.in_subnegotiation, 0);
    }
}

TEST(TelnetReceive, ALoneSeEvaluatesTheLastSubnegotiationAgain) {
    Receiver receiver;
    receiver.receive(bytes_of({255, 250, 24, 0, 255, 240}));
    EXPECT_EQ(hex(receiver.wire()), hex(type_report()));
    receiver.receive(bytes_of({'a', 255, 240, 'b'}));
    EXPECT_EQ(hex(receiver.wire()), hex(type_report()));
    // A new SB empties the buffer: the old request is gone.
    receiver.receive(bytes_of({255, 250, 24, 1, 255, 240, 255, 240}));
    EXPECT_EQ(hex(receiver.wire()), "");
}

TEST(TelnetReceive, DataAroundCommands) {
    struct Case {
        const char *name;
        Bytes input;
        Bytes data;
        std::int32_t break_received;
        Bytes answer;
    } cases[] = {
        {"IAC IAC is data 255", bytes_of({97, 255, 255, 98}), bytes_of({97, 255, 98}), 0, {}},
        {"BREAK", bytes_of({255, 243}), {}, 1, {}},
        {"BREAK among data", bytes_of({'a', 255, 243, 'b'}), bytes_of("ab"), 1, {}},
        {"ignored commands",
         bytes_of({'a', 255, 241, 255, 242, 'b', 255, 244, 255, 245, 255, 246, 255, 247, 255, 248,
                   255, 249, 'c'}),
         bytes_of("abc"), 0, {}},
        {"an unknown command takes its byte", bytes_of({'a', 255, 'x', 'b', 255, 0, 'c'}),
         bytes_of("abc"), 0, {}},
        {"a request among data", bytes_of({'a', 255, 253, 1, 'b'}), bytes_of("ab"), 0,
         bytes_of({255, 251, 1})},
        {"a verb takes any byte as option", bytes_of({255, 253, 255, 'z'}), bytes_of("z"), 0,
         bytes_of({255, 252, 255})},
        {"CR, LF and NUL unchanged", bytes_of({'\r', '\n', 0, '\r', 0}),
         bytes_of({'\r', '\n', 0, '\r', 0}), 0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Receiver receiver;
        EXPECT_EQ(hex(receiver.receive(c.input)), hex(c.data));
        EXPECT_EQ(receiver.channel.break_received, c.break_received);
        EXPECT_EQ(hex(receiver.wire()), hex(c.answer));
    }
}

TEST(TelnetReceive, EveryByteValueOtherThanIacIsDataAndIacIacGivesTheLastOne) {
    Receiver receiver;
    Bytes input;
    Bytes expected;
    for (int value = 0; value < 255; ++value) {
        input.push_back(static_cast<std::uint8_t>(value));
        expected.push_back(static_cast<std::uint8_t>(value));
    }
    input = input + bytes_of({255, 255});
    expected.push_back(255);
    EXPECT_EQ(receiver.receive(input), expected);
    EXPECT_EQ(hex(receiver.wire()), "");
}

TEST(TelnetReceive, EveryCommandSplitAtEveryPositionAcrossTwoReceives) {
    struct Case {
        const char *name;
        Bytes command;
        Bytes data;    // what the command itself contributes to the data
        Bytes answer;  // what the peer sees
        std::int32_t break_received;
    } cases[] = {
        {"IAC IAC", bytes_of({255, 255}), bytes_of({255}), {}, 0},
        {"BREAK", bytes_of({255, 243}), {}, {}, 1},
        {"NOP", bytes_of({255, 241}), {}, {}, 0},
        {"DO ECHO", bytes_of({255, 253, 1}), {}, bytes_of({255, 251, 1}), 0},
        {"DONT BINARY", bytes_of({255, 254, 0}), {}, bytes_of({255, 252, 0}), 0},
        {"WILL SGA", bytes_of({255, 251, 3}), {}, bytes_of({255, 253, 3}), 0},
        {"WONT TERMINAL-TYPE", bytes_of({255, 252, 24}), {}, bytes_of({255, 254, 24}), 0},
        {"WILL TERMINAL-SPEED", bytes_of({255, 251, 32}), {}, speed_report("0,0"), 0},
        {"SB TERMINAL-TYPE SEND", bytes_of({255, 250, 24, 0, 255, 240}), {}, type_report(), 0},
        {"SB TERMINAL-SPEED with IAC IAC inside", bytes_of({255, 250, 32, 0, 255, 255, 255, 240}),
         {}, speed_report("0,0"), 0},
        {"SB of another option", bytes_of({255, 250, 5, 0, 'q', 255, 240}), {}, {}, 0},
    };
    for (const Case &c : cases) {
        Bytes input = bytes_of("ab") + c.command + bytes_of("cd");
        Bytes expected = bytes_of("ab") + c.data + bytes_of("cd");
        for (std::size_t cut = 0; cut <= input.size(); ++cut) {
            SCOPED_TRACE(std::string(c.name) + ", cut at " + std::to_string(cut));
            Receiver receiver;
            EXPECT_EQ(hex(receiver.receive(input, {cut})), hex(expected));
            EXPECT_EQ(hex(receiver.wire()), hex(c.answer));
            EXPECT_EQ(receiver.channel.break_received, c.break_received);
            EXPECT_EQ(receiver.channel.parse_state, TELNET_STATE_DATA);
            EXPECT_EQ(receiver.channel.in_subnegotiation, 0);
        }
    }
}

TEST(TelnetReceive, ALongSubnegotiationKeepsTheFirst256BytesAndLeaksNoData) {
    Receiver receiver;
    Bytes parameters = bytes_of({24, 0});
    for (int i = 0; i < 400; ++i) parameters.push_back(static_cast<std::uint8_t>(i % 255));
    Bytes input = bytes_of("x") + bytes_of({255, 250}) + parameters + bytes_of({255, 240}) +
                  bytes_of("y");
    EXPECT_EQ(hex(receiver.receive(input, {100, 300})), hex(bytes_of("xy")));
    EXPECT_EQ(receiver.channel.subneg_length, 256);
    EXPECT_EQ(Bytes(receiver.channel.subneg_buffer, receiver.channel.subneg_buffer + 256),
              Bytes(parameters.begin(), parameters.begin() + 256));
    // The kept bytes start "24 0": the terminal-type request is still answered.
    EXPECT_EQ(hex(receiver.wire()), hex(type_report()));
}

TEST(TelnetReceive, NoByteValueLeaksOutOfASubnegotiation) {
    Receiver receiver;
    Bytes input = bytes_of({255, 250, 99});
    for (int value = 0; value < 255; ++value) input.push_back(static_cast<std::uint8_t>(value));
    input = input + bytes_of({255, 255, 255, 240});
    EXPECT_TRUE(receiver.receive(input).empty());
    ASSERT_EQ(receiver.channel.subneg_length, 256);
    EXPECT_EQ(receiver.channel.subneg_buffer[0], 99);
    for (int value = 0; value < 255; ++value) {
        EXPECT_EQ(receiver.channel.subneg_buffer[1 + value], value);
    }
    // The buffer was full before IAC IAC: its 255 was dropped, not leaked.
    EXPECT_EQ(hex(receiver.wire()), "");
    EXPECT_EQ(hex(receiver.receive(bytes_of("after"))), hex(bytes_of("after")));
}

TEST(TelnetReceive, CommandsInsideASubnegotiationAreStillObeyed) {
    Receiver receiver;
    Bytes input = bytes_of({255, 250, 24, 'a', 255, 253, 1, 'b', 255, 243, 255, 240, 'c'});
    EXPECT_EQ(hex(receiver.receive(input)), hex(bytes_of("c")));
    EXPECT_EQ(hex(receiver.wire()), hex(bytes_of({255, 251, 1})));
    EXPECT_EQ(receiver.channel.break_received, 1);
    EXPECT_EQ(receiver.channel.subneg_length, 3);  // 24 'a' 'b'
}

TEST(TelnetReceive, NothingToParseGivesNoData) {
    Receiver receiver;
    std::uint8_t byte = 'a';
    EXPECT_EQ(telnet_receive(&receiver.channel, &byte, 0), 0);
    EXPECT_EQ(telnet_receive(&receiver.channel, &byte, -5), 0);
    EXPECT_EQ(byte, 'a');
    EXPECT_EQ(hex(receiver.wire()), "");
}

}  // namespace
