// A one-connection server on the telnet channel, for driving real telnet clients against it.
// Listens on 127.0.0.1 (a free port, printed as "PORT n"), negotiates, greets with a text that
// holds a 0xFF byte, then reports every data byte as "DATA xx" and echoes it, until the caller
// closes or 60 s pass. Every line goes to standard output at once.
#include <cstdio>

#include "platform/clock.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "telnet/telnet.h"

namespace {

constexpr std::uint32_t ACCEPT_LIMIT_MS = 30000;
constexpr std::uint32_t SESSION_LIMIT_MS = 60000;

void say(const char *format, int a = 0, int b = 0, int c = 0, int d = 0) {
    std::printf(format, a, b, c, d);
    std::fflush(stdout);
}

// Relays data until the caller closes. 0 on an orderly close.
int serve(TelnetChannel *channel) {
    std::uint32_t start = clock_tick_ms();
    std::uint8_t buffer[1024];
    while (clock_tick_ms() - start < SESSION_LIMIT_MS) {
        std::int32_t ready = 0;
        if (net_wait(channel->socket, NET_READABLE, 100, &ready) != 0) return -1;
        if (ready == 0) continue;
        std::int32_t received = 0;
        if (net_receive(channel->socket, buffer, sizeof buffer, &received) != 0) return -1;
        if (received == 0) return 0;
        std::int32_t count = telnet_receive(channel, buffer, received);
        if (count < 0) return -1;
        for (std::int32_t i = 0; i < count; ++i) say("DATA %02x\n", buffer[i]);
        if (channel->break_received != 0) {
            channel->break_received = 0;
            say("BREAK\n");
        }
        if (telnet_send_data(channel, buffer, count) != 0) return -1;
    }
    say("SESSION TIME LIMIT\n");
    return -1;
}

}  // namespace

int main() {
    if (net_start() != 0) return 2;
    NetSocket listener = net_listen(NET_LOOPBACK_ADDRESS, 0, 5);
    std::uint16_t port = 0;
    if (listener == NET_NO_SOCKET || net_local_port(listener, &port) != 0) return 2;
    say("PORT %d\n", port);

    std::int32_t ready = 0;
    if (net_wait(listener, NET_READABLE, ACCEPT_LIMIT_MS, &ready) != 0 || ready == 0) return 3;
    std::uint32_t address = 0;
    NetSocket socket = net_accept(listener, &address);
    net_close(&listener);
    if (socket == NET_NO_SOCKET) return 3;

    Semaphore *guard = semaphore_create();
    TelnetChannel channel;
    telnet_channel_init(&channel, socket, guard, 0, 0);
    int result = telnet_negotiate(&channel);
    const std::int32_t *state = channel.option_state;
    say("NEGOTIATED %d BINARY=%d ECHO=%d SGA=%d\n", result, state[TELOPT_BINARY],
        state[TELOPT_ECHO], state[TELOPT_SGA]);

    static const std::uint8_t GREETING[] = {'H', 'E', 'L', 'L', 'O', ' ', 0xFF, '!', '\r', '\n'};
    if (result == 0) result = telnet_send_data(&channel, GREETING, sizeof GREETING);
    if (result == 0) result = serve(&channel);
    const std::int32_t *after = channel.option_state;
    say("CLOSED %d BINARY=%d ECHO=%d SGA=%d\n", result, after[TELOPT_BINARY], after[TELOPT_ECHO],
        after[TELOPT_SGA]);

    net_close(&socket);
    semaphore_close(guard);
    net_stop();
    return result == 0 ? 0 : 1;
}
