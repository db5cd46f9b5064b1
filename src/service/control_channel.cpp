// The control channel's thread and its hand-over to the main thread. The thread waits on the
// socket and on every client that has not sent its request yet, all together, and reads requests
// as they come: a silent client costs the others nothing, and is let go REQUEST_WAIT_MS after it
// came. Requests are answered one at a time, each by the main thread. With no client the thread
// sleeps in the wait, which the close wakes.
#include "service/control_channel.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "control/control_protocol.h"
#include "control/escaped_text.h"
#include "platform/clock.h"
#include "platform/local_socket.h"
#include "platform/thread.h"
#include "platform/ui.h"

namespace {

constexpr std::uint32_t POLL_MS = 100;           // longest wait for the main thread between looks
constexpr std::uint32_t REQUEST_WAIT_MS = 1000;  // for a whole request line, from the connect
constexpr std::uint32_t REPLY_WAIT_MS = 1000;    // for the client to take the reply
constexpr std::size_t CLIENTS_MAX = 32;          // waiting for their requests; the oldest goes
                                                 // when another comes, so a flood of clients
                                                 // cannot use up the process's descriptors

enum RequestState { REQUEST_NONE, REQUEST_WAITING, REQUEST_ANSWERED };

}  // namespace

struct ControlChannel {
    LocalServer *server = nullptr;
    UiWindow *window = nullptr;
    Thread *thread = nullptr;
    std::atomic<std::int32_t> stop{0};  // main thread sets; the channel's thread reads

    std::mutex lock;                    // over the three below
    std::condition_variable answered;
    RequestState state = REQUEST_NONE;
    std::string request;                // written by the channel's thread while NONE
    std::string reply;                  // written by the main thread while WAITING
};

namespace {

void send_text(LocalConnection *connection, const std::string &text) {
    // A client that left or does not read loses its reply; the channel goes on.
    (void)local_send(connection, text.data(), static_cast<std::uint32_t>(text.size()), REPLY_WAIT_MS);
}

// A client whose request line is still coming.
struct Client {
    LocalConnection *connection;
    int trusted;
    std::uint32_t since_ms;  // when it was taken
    std::string received;    // at most CONTROL_REQUEST_MAX + 2 bytes: enough to tell a long line
    bool gone;               // it closed its end (or its connection failed)
};

// What a client's bytes so far amount to: 0 with the request line (its CR LF or LF taken off); 1
// when more is to come; -1 with *refusal telling the client why (empty when the client left
// without a whole line and is owed nothing).
int request_of(const Client &client, std::string *line, std::string *refusal) {
    std::size_t end = client.received.find('\n');
    std::string too_long =
        "error input request longer than " + std::to_string(CONTROL_REQUEST_MAX) + " bytes\n";
    if (end == std::string::npos) {
        if (client.received.size() > CONTROL_REQUEST_MAX) {
            *refusal = too_long;
            return -1;
        }
        if (client.gone) {
            refusal->clear();
            return -1;
        }
        return 1;
    }
    *line = client.received.substr(0, end);
    if (!line->empty() && line->back() == '\r') line->pop_back();
    if (line->size() > CONTROL_REQUEST_MAX) {
        *refusal = too_long;
        return -1;
    }
    for (char c : *line) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            *refusal = "error input request holds control bytes: " +
                       escaped_text_show(line->data(), line->size()) + "\n";
            return -1;
        }
    }
    return 0;
}

// Takes what the client has sent, up to what request_of needs to decide.
void receive_from(Client *client) {
    char buffer[CONTROL_REQUEST_MAX + 2];
    std::size_t room = sizeof buffer - client->received.size();
    if (room == 0) return;
    std::uint32_t received = 0;
    int got = local_receive(client->connection, buffer, static_cast<std::uint32_t>(room), 0,
                            &received);
    if (got == LOCAL_TIMED_OUT) return;
    if (got != LOCAL_RECEIVED || received == 0) {
        client->gone = true;
        return;
    }
    client->received.append(buffer, received);
}

// Hands the request to the main thread and waits for its answer, or for the stop.
std::string answer_of(ControlChannel *channel, const std::string &request) {
    {
        std::lock_guard<std::mutex> hold(channel->lock);
        channel->request = request;
        channel->reply.clear();
        channel->state = REQUEST_WAITING;
    }
    while (ui_post_command(channel->window, CMD_CONTROL_REQUEST, 0) != 0 &&
           channel->stop.load() == 0) {
        clock_sleep_ms(10);
    }
    std::unique_lock<std::mutex> hold(channel->lock);
    while (channel->state != REQUEST_ANSWERED && channel->stop.load() == 0) {
        channel->answered.wait_for(hold, std::chrono::milliseconds(POLL_MS));
    }
    std::string reply = channel->state == REQUEST_ANSWERED
                            ? channel->reply
                            : std::string("error failed the gateway is stopping\n");
    channel->state = REQUEST_NONE;
    return reply;
}

// Takes what the client sent beyond its request (up to a bound), so that closing the connection
// does not reset it before the client has read the reply.
void drain(LocalConnection *connection) {
    char buffer[4096];
    std::uint32_t received = 0;
    for (int i = 0; i < 16; ++i) {
        if (local_receive(connection, buffer, sizeof buffer, 0, &received) != LOCAL_RECEIVED ||
            received == 0) {
            return;
        }
    }
}

void let_go(Client *client, const std::string &text) {
    if (!text.empty()) send_text(client->connection, text);
    drain(client->connection);
    local_close(client->connection);
    client->connection = nullptr;
}

// Answers a client whose request has come whole, or refuses it. True when it is done with.
bool serve(ControlChannel *channel, Client *client, std::uint32_t now) {
    std::string request;
    std::string refusal;
    int state = request_of(*client, &request, &refusal);
    bool late = now - client->since_ms >= REQUEST_WAIT_MS;
    if (state > 0 && !late && channel->stop.load() == 0) return false;
    if (state > 0) {
        refusal = channel->stop.load() != 0 ? "error failed the gateway is stopping\n"
                                            : "error input no whole request line within 1 s\n";
    }
    // The request is waited for in every case, so that a refused client has sent it whole and
    // reads the refusal instead of finding the connection gone.
    if (client->trusted == 0) {
        let_go(client, "error refused only the gateway's own user and root may use its control "
                       "channel\n");
    } else if (state != 0) {
        let_go(client, refusal);
    } else {
        let_go(client, answer_of(channel, request));
    }
    return true;
}

std::uint32_t channel_thread(void *argument) {
    ControlChannel *channel = static_cast<ControlChannel *>(argument);
    std::vector<Client> clients;
    std::vector<LocalConnection *> connections;
    std::vector<int> ready;
    while (channel->stop.load() == 0) {
        // Asleep until a client comes or sends, the oldest one's time runs out, or the close.
        std::uint32_t now = clock_tick_ms();
        std::uint32_t wait_ms = WAIT_FOREVER_MS;
        connections.clear();
        for (const Client &client : clients) {
            std::uint32_t spent = now - client.since_ms;
            std::uint32_t left = spent >= REQUEST_WAIT_MS ? 0 : REQUEST_WAIT_MS - spent;
            if (left < wait_ms) wait_ms = left;
            connections.push_back(client.connection);
        }
        ready.assign(clients.size(), 0);
        int accept_ready = 0;
        if (local_server_wait(channel->server, connections.data(),
                              static_cast<std::uint32_t>(connections.size()), wait_ms,
                              &accept_ready, ready.data()) != 0) {
            clock_sleep_ms(POLL_MS);  // a failing wait must not spin
        }
        if (channel->stop.load() != 0) break;

        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (ready[i] != 0) receive_from(&clients[i]);
        }
        if (accept_ready != 0) {
            Client client{nullptr, 0, 0, {}, false};
            if (local_server_accept(channel->server, 0, &client.connection, &client.trusted) == 0 &&
                client.connection != nullptr) {
                if (clients.size() >= CLIENTS_MAX) {
                    let_go(&clients.front(), "error failed too many clients waiting\n");
                    clients.erase(clients.begin());
                }
                client.since_ms = clock_tick_ms();
                clients.push_back(client);
            }
        }
        // In the order they came; answering one takes the main thread's time, so the clock is
        // read for each.
        for (std::size_t i = 0; i < clients.size();) {
            if (serve(channel, &clients[i], clock_tick_ms())) {
                clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
    }
    for (Client &client : clients) let_go(&client, "error failed the gateway is stopping\n");
    return 0;
}

}  // namespace

ControlChannel *control_channel_open(UiWindow *window) {
    ControlChannel *channel = new (std::nothrow) ControlChannel();
    if (channel == nullptr) return nullptr;
    channel->window = window;
    channel->server = local_server_open(CONTROL_SOCKET_NAME);
    if (channel->server != nullptr) channel->thread = thread_start(channel_thread, channel, 0);
    if (channel->thread == nullptr) {
        local_server_close(channel->server);
        delete channel;
        return nullptr;
    }
    return channel;
}

void control_channel_serve(ControlChannel *channel, const ControlContext *context,
                           std::vector<std::string> *log) {
    std::string request;
    {
        std::lock_guard<std::mutex> hold(channel->lock);
        if (channel->state != REQUEST_WAITING) return;  // answered already, or given up
        request = channel->request;
    }
    std::string reply;
    control_answer(request, context, &reply, log);
    std::lock_guard<std::mutex> hold(channel->lock);
    if (channel->state != REQUEST_WAITING) return;
    channel->reply = reply;
    channel->state = REQUEST_ANSWERED;
    channel->answered.notify_all();
}

void control_channel_close(ControlChannel *channel) {
    if (channel == nullptr) return;
    channel->stop.store(1);
    local_server_wake(channel->server);
    // Every other wait of the thread is short: it ends soon after it sees the flag.
    while (thread_join(channel->thread, WAIT_FOREVER_MS) != 0) {
    }
    thread_close(channel->thread);
    local_server_close(channel->server);
    delete channel;
}
