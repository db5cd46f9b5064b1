// The telnet channel behind the Caller operations.
#include "gateway/caller_telnet.h"

#include <cstring>

#include "gateway/relay.h"
#include "platform/clock.h"

namespace {

// A client that suspended the equipment's data is looked at this often until it resumes.
constexpr std::uint32_t SUSPENDED_LOOK_MS = 10;

TelnetChannel *channel_of(Caller *caller) { return static_cast<TelnetChannel *>(caller->channel); }

TelnetComPort *com_port_of(Caller *caller) { return static_cast<TelnetComPort *>(caller->line_state); }

// The option's server when the caller agreed to it; null otherwise.
ComPortServer *agreed_server(Caller *caller) {
    ComPortServer *server = channel_of(caller)->com_port;
    return server != nullptr && server->agreed.load() != 0 ? server : nullptr;
}

int telnet_start(Caller *caller) { return telnet_negotiate(channel_of(caller)); }

void telnet_speed(Caller *caller, std::int32_t speed) {
    telnet_set_speed(channel_of(caller), speed, speed);
}

// Holds the equipment's data while the client has suspended it (FLOWCONTROL-SUSPEND), giving up as
// a send to a caller who does not read does. 1: send it now; 0: a purge of what came from the
// equipment dropped it meanwhile; -1: gave up.
int wait_for_resume(const TelnetChannel *channel, const ComPortServer *server) {
    std::uint32_t purges = server->input_purges.load();
    while (server->suspended.load() != 0) {
        if (server->input_purges.load() != purges) return 0;
        if ((channel->stop_flag != nullptr && channel->stop_flag->load() != 0) ||
            (channel->give_up != nullptr && channel->give_up(channel->give_up_context) != 0)) {
            return -1;
        }
        clock_sleep_ms(SUSPENDED_LOOK_MS);
    }
    return server->input_purges.load() != purges ? 0 : 1;
}

int telnet_send(Caller *caller, const std::uint8_t *data, std::int32_t length) {
    TelnetChannel *channel = channel_of(caller);
    if (ComPortServer *server = agreed_server(caller)) {
        int now = wait_for_resume(channel, server);
        if (now <= 0) return now;
    }
    return telnet_send_data(channel, data, length);
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
    ComPortServer *server = channel->com_port;
    bool watched = server != nullptr && com_port_watches_lines(server) != 0;
    int count = telnet_receive(channel, buffer, received);
    if (count < 0) return -1;
    // A client that asks to hear of the lines now: a relay asleep without watching them starts.
    if (server != nullptr && !watched && com_port_watches_lines(server) != 0 &&
        com_port_of(caller)->line.port != nullptr) {
        relay_wake(com_port_of(caller)->line.port);
    }
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
    // A program's commands are not thrown away with its data: the byte goes through the parser,
    // and only a data byte is dropped.
    if (agreed_server(caller) != nullptr && telnet_receive(channel_of(caller), &discarded, 1) < 0) {
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

int com_port_takes_texts(Caller *caller) { return agreed_server(caller) == nullptr ? 1 : 0; }

int com_port_attach_line(Caller *caller, PortRecord *port) {
    TelnetComPort *com_port = com_port_of(caller);
    com_port_line_attach(&com_port->line, port);
    return telnet_com_port_attach(channel_of(caller), &COM_PORT_LINE_OPS, &com_port->line);
}

int com_port_watches(Caller *caller) { return com_port_watches_lines(&com_port_of(caller)->server); }

int com_port_tend(Caller *caller) { return telnet_com_port_notice(channel_of(caller)); }

void com_port_detach_line(Caller *caller) { com_port_line_restore(&com_port_of(caller)->line); }

constexpr CallerLineOps TELNET_COM_PORT_OPS = {
    com_port_takes_texts, com_port_attach_line, com_port_watches, com_port_tend,
    com_port_detach_line,
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

void caller_telnet_serve_com_port(Caller *caller, TelnetComPort *com_port, const char *signature) {
    com_port_server_init(&com_port->server, signature);
    com_port->line = ComPortLineState{};
    telnet_set_com_port(channel_of(caller), &com_port->server);
    caller->line_ops = &TELNET_COM_PORT_OPS;
    caller->line_state = com_port;
}
