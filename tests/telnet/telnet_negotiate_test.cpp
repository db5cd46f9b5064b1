// The start-up negotiation against scripted peers over real loopback sockets: what the peer sees
// on the wire, and when the negotiation ends.
#include <gtest/gtest.h>

#include "platform/sync.h"
#include "platform/thread.h"
#include "support/loopback.h"
#include "telnet/telnet.h"

namespace {

const Bytes ALL_OFFERS = bytes_of({255, 251, 0, 255, 253, 0, 255, 251, 1, 255, 251, 3, 255, 253, 3});

// telnet_negotiate on a thread of its own, as the connection thread runs it.
struct Negotiation {
    TelnetChannel channel{};
    Semaphore *guard = nullptr;
    Thread *thread = nullptr;
    std::atomic<int> done{0};
    int result = 0;
    std::uint32_t start_tick = 0;
    std::uint32_t end_tick = 0;

    explicit Negotiation(NetSocket socket, const std::atomic<std::int32_t> *stop_flag = nullptr) {
        guard = semaphore_create();
        telnet_channel_init(&channel, socket, guard, 0, 0);
        telnet_set_stop_flag(&channel, stop_flag);
    }
    void start() {
        start_tick = clock_tick_ms();
        thread = thread_start(
            [](void *arg) -> std::uint32_t {
                Negotiation *n = static_cast<Negotiation *>(arg);
                n->result = telnet_negotiate(&n->channel);
                n->end_tick = clock_tick_ms();
                n->done.store(1);
                return 0;
            },
            this, 0);
        ASSERT_NE(thread, nullptr);
    }
    // The result, once the negotiation has ended (a failure when it does not end in time).
    int finish(std::uint32_t limit_ms = 20000) {
        if (thread == nullptr) return -2;
        EXPECT_EQ(thread_join(thread, limit_ms), 0) << "negotiation did not end";
        thread_close(thread);
        thread = nullptr;
        return result;
    }
    ~Negotiation() {
        if (thread != nullptr) {
            net_cancel(channel.socket);  // a hung negotiation must not outlive the test
            (void)thread_join(thread, WAIT_FOREVER_MS);
            thread_close(thread);
        }
        semaphore_close(guard);
    }
};

TEST(TelnetNegotiate, SilentPeerGetsTheFiveOffersThenSuccessAfterAQuietPeriod) {
    LoopbackPair pair;
    Negotiation negotiation(pair.gateway);
    negotiation.start();

    // Nothing for the first 200 ms sleep plus 100 ms of quiet.
    EXPECT_TRUE(read_some(pair.peer, 250).empty());
    Bytes offers = read_count(pair.peer, ALL_OFFERS.size());
    std::uint32_t offers_tick = clock_tick_ms();
    EXPECT_EQ(hex(offers), hex(ALL_OFFERS));  // no DONT ECHO
    EXPECT_GE(offers_tick - negotiation.start_tick, 250u);  // 300 ms, less the tick's coarseness

    EXPECT_EQ(negotiation.finish(), 0);
    // The further 200 ms sleep and 100 ms of quiet came after the offers.
    EXPECT_GE(negotiation.end_tick - offers_tick, 230u);
    EXPECT_TRUE(read_some(pair.peer, 100).empty());

    // Each offer is awaiting its reply.
    EXPECT_EQ(negotiation.channel.option_state[TELOPT_BINARY], TELNET_WILL_SENT | TELNET_DO_SENT);
    EXPECT_EQ(negotiation.channel.option_state[TELOPT_ECHO], TELNET_WILL_SENT);
    EXPECT_EQ(negotiation.channel.option_state[TELOPT_SGA], TELNET_WILL_SENT | TELNET_DO_SENT);
}

TEST(TelnetNegotiate, RepliesToTheOffersDrawNothingAndSwitchTheOptionsOn) {
    LoopbackPair pair;
    Negotiation negotiation(pair.gateway);
    negotiation.start();
    EXPECT_EQ(hex(read_count(pair.peer, ALL_OFFERS.size())), hex(ALL_OFFERS));
    // A character-mode client accepts everything, in its own order.
    peer_send(pair.peer, bytes_of({255, 253, 1, 255, 251, 3, 255, 253, 0, 255, 251, 0, 255, 253, 3}));
    EXPECT_EQ(negotiation.finish(), 0);
    EXPECT_TRUE(read_some(pair.peer, 100).empty());

    const std::int32_t *state = negotiation.channel.option_state;
    EXPECT_EQ(state[TELOPT_BINARY], TELNET_LOCAL_ON | TELNET_REMOTE_ON);
    EXPECT_EQ(state[TELOPT_ECHO], TELNET_LOCAL_ON);
    EXPECT_EQ(state[TELOPT_SGA], TELNET_LOCAL_ON | TELNET_REMOTE_ON);
}

TEST(TelnetNegotiate, RefusedOffersSwitchTheOptionsOff) {
    LoopbackPair pair;
    Negotiation negotiation(pair.gateway);
    negotiation.start();
    EXPECT_EQ(hex(read_count(pair.peer, ALL_OFFERS.size())), hex(ALL_OFFERS));
    peer_send(pair.peer, bytes_of({255, 254, 0, 255, 252, 0, 255, 254, 1, 255, 254, 3, 255, 252, 3}));
    EXPECT_EQ(negotiation.finish(), 0);
    EXPECT_TRUE(read_some(pair.peer, 100).empty());
    for (int option : {TELOPT_BINARY, TELOPT_ECHO, TELOPT_SGA}) {
        EXPECT_EQ(negotiation.channel.option_state[option], 0) << "option " << option;
    }
}

TEST(TelnetNegotiate, RequestsBeforeTheOffersAreAnsweredAtOnceAndNotOfferedAgain) {
    struct Case {
        const char *name;
        Bytes request;
        Bytes answer;
        Bytes offers;
    } cases[] = {
        {"DO BINARY", bytes_of({255, 253, 0}), bytes_of({255, 251, 0}),
         bytes_of({255, 253, 0, 255, 251, 1, 255, 251, 3, 255, 253, 3})},
        {"WILL BINARY", bytes_of({255, 251, 0}), bytes_of({255, 253, 0}),
         bytes_of({255, 251, 0, 255, 251, 1, 255, 251, 3, 255, 253, 3})},
        {"DO ECHO and DO SGA", bytes_of({255, 253, 1, 255, 253, 3}),
         bytes_of({255, 251, 1, 255, 251, 3}), bytes_of({255, 251, 0, 255, 253, 0, 255, 253, 3})},
        {"WILL SGA", bytes_of({255, 251, 3}), bytes_of({255, 253, 3}),
         bytes_of({255, 251, 0, 255, 253, 0, 255, 251, 1, 255, 251, 3})},
        // The peer's echo is refused: the remote ECHO stays off, so no DONT ECHO follows.
        {"WILL ECHO", bytes_of({255, 251, 1}), bytes_of({255, 254, 1}), ALL_OFFERS},
        {"a refused option", bytes_of({255, 251, 24}), bytes_of({255, 254, 24}), ALL_OFFERS},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackPair pair;
        peer_send(pair.peer, c.request);
        Negotiation negotiation(pair.gateway);
        negotiation.start();
        EXPECT_EQ(hex(read_count(pair.peer, c.answer.size())), hex(c.answer));
        // The offers come only once the peer was quiet for 100 ms after the answer.
        EXPECT_EQ(hex(read_count(pair.peer, c.offers.size())), hex(c.offers));
        EXPECT_EQ(negotiation.finish(), 0);
        EXPECT_TRUE(read_some(pair.peer, 100).empty());
    }
}

TEST(TelnetNegotiate, EachOfferDependsOnItsOptionState) {
    // Option states set before the negotiation (as earlier answers would have left them).
    struct Case {
        const char *name;
        int option;
        std::int32_t state;
        Bytes offers;
    } cases[] = {
        {"local BINARY on", TELOPT_BINARY, TELNET_LOCAL_ON,
         bytes_of({255, 253, 0, 255, 251, 1, 255, 251, 3, 255, 253, 3})},
        {"remote BINARY on", TELOPT_BINARY, TELNET_REMOTE_ON,
         bytes_of({255, 251, 0, 255, 251, 1, 255, 251, 3, 255, 253, 3})},
        {"local ECHO on", TELOPT_ECHO, TELNET_LOCAL_ON,
         bytes_of({255, 251, 0, 255, 253, 0, 255, 251, 3, 255, 253, 3})},
        {"remote ECHO on", TELOPT_ECHO, TELNET_REMOTE_ON,
         bytes_of({255, 251, 0, 255, 253, 0, 255, 251, 1, 255, 254, 1, 255, 251, 3, 255, 253, 3})},
        {"local SGA on", TELOPT_SGA, TELNET_LOCAL_ON,
         bytes_of({255, 251, 0, 255, 253, 0, 255, 251, 1, 255, 253, 3})},
        {"remote SGA on", TELOPT_SGA, TELNET_REMOTE_ON,
         bytes_of({255, 251, 0, 255, 253, 0, 255, 251, 1, 255, 251, 3})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackPair pair;
        Negotiation negotiation(pair.gateway);
        negotiation.channel.option_state[c.option] = c.state;
        negotiation.start();
        EXPECT_EQ(hex(read_count(pair.peer, c.offers.size())), hex(c.offers));
        EXPECT_EQ(negotiation.finish(), 0);
        EXPECT_TRUE(read_some(pair.peer, 100).empty());
    }
}

TEST(TelnetNegotiate, DataReceivedDuringTheNegotiationIsDiscarded) {
    LoopbackPair pair;
    peer_send(pair.peer, bytes_of("typed too early"));
    Negotiation negotiation(pair.gateway);
    negotiation.start();
    EXPECT_EQ(hex(read_count(pair.peer, ALL_OFFERS.size())), hex(ALL_OFFERS));
    peer_send(pair.peer, bytes_of("more") + bytes_of({255, 253, 31}) + bytes_of("text"));
    EXPECT_EQ(hex(read_count(pair.peer, 3)), hex(bytes_of({255, 252, 31})));
    EXPECT_EQ(negotiation.finish(), 0);

    // Only what comes after the negotiation reaches the caller of telnet_receive.
    peer_send(pair.peer, bytes_of("after"));
    Bytes received = read_count(pair.gateway, 5);
    std::int32_t count = telnet_receive(&negotiation.channel, received.data(),
                                        static_cast<std::int32_t>(received.size()));
    ASSERT_EQ(count, 5);
    EXPECT_EQ(Bytes(received.begin(), received.begin() + count), bytes_of("after"));
}

TEST(TelnetNegotiate, APeerThatClosesOrAFailedSocketEndsItWithFailure) {
    {
        LoopbackPair pair;
        net_close(&pair.peer);
        Negotiation negotiation(pair.gateway);
        negotiation.start();
        EXPECT_EQ(negotiation.finish(), -1);
    }
    {
        // Closed after the offers: the second quiet wait sees the end of the stream.
        LoopbackPair pair;
        Negotiation negotiation(pair.gateway);
        negotiation.start();
        EXPECT_EQ(read_count(pair.peer, ALL_OFFERS.size()).size(), ALL_OFFERS.size());
        net_close(&pair.peer);
        EXPECT_EQ(negotiation.finish(), -1);
    }
    {
        // A socket shut down under the negotiation (the server stopping the connection).
        LoopbackPair pair;
        Negotiation negotiation(pair.gateway);
        negotiation.start();
        net_cancel(pair.gateway);
        EXPECT_EQ(negotiation.finish(), -1);
    }
}

// A peer that never pauses: NOPs as fast as the socket takes them. The socket buffers stay
// full, so the gateway never sees 100 ms without input, even when this thread is held up.
struct ChattyPeer {
    NetSocket socket;
    std::atomic<int> stop{0};
};

std::uint32_t chatter(void *arg) {
    ChattyPeer *peer = static_cast<ChattyPeer *>(arg);
    std::uint8_t nops[4096];
    for (std::size_t i = 0; i < sizeof nops; i += 2) {
        nops[i] = TELNET_IAC;
        nops[i + 1] = 241;
    }
    while (peer->stop.load() == 0) {
        std::int32_t sent = 0;
        if (net_send(peer->socket, nops, sizeof nops, &sent) != 0) break;
    }
    return 0;
}

TEST(TelnetNegotiate, TheStopFlagEndsItWithAPeerThatNeverPauses) {
    LoopbackPair pair;
    std::atomic<std::int32_t> server_stop{0};
    ChattyPeer peer{pair.peer};
    Thread *chatting = thread_start(chatter, &peer, 0);
    ASSERT_NE(chatting, nullptr);

    Negotiation negotiation(pair.gateway, &server_stop);
    negotiation.start();
    // Without the flag it goes on: a quiet peer would have been done after about 600 ms.
    clock_sleep_ms(1500);
    EXPECT_EQ(negotiation.done.load(), 0);

    std::uint32_t stop_tick = clock_tick_ms();
    server_stop.store(1);
    EXPECT_EQ(negotiation.finish(), -1);
    EXPECT_LT(negotiation.end_tick - stop_tick, 5000u);

    peer.stop.store(1);
    net_cancel(pair.peer);  // its send may be blocked now that nobody reads
    EXPECT_EQ(thread_join(chatting, 10000), 0);
    thread_close(chatting);
}

TEST(TelnetNegotiate, AStopFlagAlreadySetEndsItBeforeAnyOffer) {
    LoopbackPair pair;
    std::atomic<std::int32_t> server_stop{1};
    Negotiation negotiation(pair.gateway, &server_stop);
    negotiation.start();
    EXPECT_EQ(negotiation.finish(), -1);
    EXPECT_TRUE(read_some(pair.peer, 100).empty());
}

}  // namespace
