// Random input for the receive parser: any bytes, cut anywhere, never crash it, never make it
// touch memory outside the piece it was given, never give more data than it got, and give the
// same data and the same answers however the input is cut.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "support/loopback.h"
#include "telnet/telnet.h"

namespace {

// Random bytes weighted towards what makes the parser work: IAC, verbs, SB/SE, the options
// with behaviour of their own, and 0.
Bytes random_input(std::mt19937 &random) {
    static const std::uint8_t interesting[] = {255, 255, 255, 254, 253, 252, 251, 250, 240,
                                               243, 241, 0,   1,   3,   24,  32,  0,   'a'};
    std::size_t length = random() % 600;
    Bytes input(length);
    for (std::uint8_t &byte : input) {
        byte = random() % 3 == 0 ? static_cast<std::uint8_t>(random())
                                 : interesting[random() % sizeof interesting];
    }
    return input;
}

// Runs the input through the parser in the given pieces. Each piece sits in a heap block of its
// exact size, so that the address sanitizer sees any access past it.
Bytes parse_in_pieces(TelnetChannel *channel, const Bytes &input,
                      const std::vector<std::size_t> &cuts) {
    Bytes data;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        std::size_t to = i < cuts.size() ? cuts[i] : input.size();
        std::size_t length = to - from;
        std::unique_ptr<std::uint8_t[]> piece(new std::uint8_t[length == 0 ? 1 : length]);
        std::copy(input.begin() + from, input.begin() + to, piece.get());
        std::int32_t count =
            telnet_receive(channel, length == 0 ? nullptr : piece.get(),
                           static_cast<std::int32_t>(length));
        EXPECT_GE(count, 0);
        EXPECT_LE(count, static_cast<std::int32_t>(length));
        EXPECT_LE(channel->subneg_length, TELNET_SUBNEG_SIZE);
        if (count > 0) data.insert(data.end(), piece.get(), piece.get() + count);
        from = to;
    }
    return data;
}

TEST(TelnetFuzz, AnyInputCutAnywhereGivesTheSameDataAndAnswersAsWhole) {
    LoopbackPair whole_pair;
    LoopbackPair cut_pair;
    std::mt19937 random(20240601);
    const int rounds = 1500;
    for (int round = 0; round < rounds; ++round) {
        Bytes input = random_input(random);
        std::vector<std::size_t> cuts;
        std::size_t pieces = random() % 8;
        for (std::size_t i = 0; i < pieces && !input.empty(); ++i) {
            cuts.push_back(random() % (input.size() + 1));
        }
        std::sort(cuts.begin(), cuts.end());

        TelnetChannel whole;
        TelnetChannel cut;
        telnet_channel_init(&whole, whole_pair.gateway, nullptr, 1200, 75);
        telnet_channel_init(&cut, cut_pair.gateway, nullptr, 1200, 75);
        Bytes whole_data = parse_in_pieces(&whole, input, {});
        Bytes cut_data = parse_in_pieces(&cut, input, cuts);
        ASSERT_EQ(hex(cut_data), hex(whole_data)) << "round " << round << ": " << hex(input);
        ASSERT_EQ(sent_so_far(cut, cut_pair.peer), sent_so_far(whole, whole_pair.peer))
            << "round " << round << ": " << hex(input);
        ASSERT_EQ(cut.break_received, whole.break_received);
        ASSERT_LE(whole_data.size(), input.size());
    }
}

TEST(TelnetFuzz, OneByteAtATimeEqualsWhole) {
    LoopbackPair whole_pair;
    LoopbackPair cut_pair;
    std::mt19937 random(99);
    for (int round = 0; round < 300; ++round) {
        Bytes input = random_input(random);
        std::vector<std::size_t> cuts;
        for (std::size_t i = 1; i < input.size(); ++i) cuts.push_back(i);
        TelnetChannel whole;
        TelnetChannel cut;
        telnet_channel_init(&whole, whole_pair.gateway, nullptr, 0, 0);
        telnet_channel_init(&cut, cut_pair.gateway, nullptr, 0, 0);
        ASSERT_EQ(parse_in_pieces(&cut, input, cuts), parse_in_pieces(&whole, input, {}));
        ASSERT_EQ(sent_so_far(cut, cut_pair.peer), sent_so_far(whole, whole_pair.peer));
    }
}

}  // namespace
