// The telnet channel behind the Caller operations.
#include "gateway/caller_telnet.h"

#include <cstring>

namespace {

TelnetChannel *channel_of(Caller *caller) { return static_cast<TelnetChannel *>(caller->channel); }

int telnet_start(Caller *caller) { return telnet_negotiate(channel_of(caller)); }

void telnet_speed(Caller *caller, std::int32_t speed) {
    telnet_set_speed(channel_of(caller), speed, speed);
}

int telnet_send(Caller *caller, const std::uint8_t *data, std::int32_t length) {
    return telnet_send_data(channel_of(caller), data, length);
}

int telnet_wait(Caller *caller, std::int32_t events, std::uint32_t timeout_ms, std::int32_t *ready) {
    std::int32_t net_events = 0;
    if (events & CALLER_READABLE) net_events |= NET_READABLE;
    if (events & CALLER_EXCEPTION) net_events |= NET_EXCEPTION;
    std::int32_t found = 0;
    *ready = 0;
    if (net_wait(channel_of(caller)->socket, net_events, timeout_ms, &found) != 0) return -1;
    if (found & NET_READABLE) *ready |= CALLER_READABLE;
    if (found & NET_EXCEPTION) *ready |= CALLER_EXCEPTION;
    return 0;
}

int telnet_receive_input(Caller *caller, std::uint8_t *buffer, std::int32_t size,
                         CallerInput *input) {
    TelnetChannel *channel = channel_of(caller);
    std::int32_t received = 0;
    if (net_receive(channel->socket, buffer, size, &received) != 0) return -1;
    if (received == 0) {
        input->closed = 1;
        return 0;
    }
    input->full = received == size;
    int count = telnet_receive(channel, buffer, received);
    if (count < 0) return -1;
    input->count = count;
    if (channel->break_received != 0) {
        // Several BRKs in one read make one break, after the data of the same read.
        channel->break_received = 0;
        input->breaks = 1;
    }
    return 0;
}

int telnet_discard_one(Caller *caller) {
    std::uint8_t discarded = 0;
    std::int32_t received = 0;
    if (net_receive(channel_of(caller)->socket, &discarded, 1, &received) != 0 || received != 1) {
        return -1;
    }
    return 0;
}

void telnet_cancel_receive(Caller *caller) { net_cancel_receive(channel_of(caller)->socket); }

void telnet_cancel(Caller *caller) { net_cancel(channel_of(caller)->socket); }

void telnet_give_up(Caller *caller, CallerGiveUp give_up, void *context) {
    telnet_set_give_up(channel_of(caller), give_up, context);
}

void telnet_stop_flag(Caller *caller, const std::atomic<std::int32_t> *stop_flag) {
    telnet_set_stop_flag(channel_of(caller), stop_flag);
}

int telnet_hold_sends(Caller *caller, std::int32_t hold) {
    return net_hold_sends(channel_of(caller)->socket, hold);
}

constexpr CallerOps TELNET_CALLER_OPS = {
    telnet_start,       telnet_speed,          telnet_send,   telnet_wait,    telnet_receive_input,
    telnet_discard_one, telnet_cancel_receive, telnet_cancel, telnet_give_up, telnet_stop_flag,
    telnet_hold_sends,
};

}  // namespace

void caller_telnet_init(Caller *caller, TelnetChannel *channel, std::uint32_t address,
                        const char *host_name) {
    *caller = Caller{};
    caller->ops = &TELNET_CALLER_OPS;
    caller->channel = channel;
    caller->address = address;
    if (host_name != nullptr) {
        std::memcpy(caller->host_name, host_name, sizeof caller->host_name);
        caller->host_name[sizeof caller->host_name - 1] = '\0';
    }
    caller->cancel_ends_waits = net_cancel_receive_ends_waits();
    caller->give_up = channel->give_up;
    caller->give_up_context = channel->give_up_context;
}
