// The control channel's thread and its hand-over to the main thread. Connections are served one
// at a time; every wait is short or bounded, so a silent or slow client delays the next by at most
// REQUEST_WAIT_MS, and a stop is seen within POLL_MS. With no client the thread sleeps in the
// accept, which the close wakes.
#include "service/control_channel.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "control/control_protocol.h"
#include "control/escaped_text.h"
#include "platform/clock.h"
#include "platform/local_socket.h"
#include "platform/thread.h"
#include "platform/ui.h"

namespace {

constexpr std::uint32_t POLL_MS = 100;           // longest single wait of the thread
constexpr std::uint32_t REQUEST_WAIT_MS = 5000;  // for a whole request line
constexpr std::uint32_t REPLY_WAIT_MS = 5000;    // for the client to take the reply

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

// Reads one request line. 0 with the line (its CR LF or LF taken off); -1 with *refusal telling the
// client why (empty when the client left and is owed nothing).
int read_request(ControlChannel *channel, LocalConnection *connection, std::string *line,
                 std::string *refusal) {
    line->clear();
    refusal->clear();
    std::uint32_t began = clock_tick_ms();
    for (;;) {
        std::size_t end = line->find('\n');
        if (end != std::string::npos) {
            line->erase(end);
            if (!line->empty() && line->back() == '\r') line->pop_back();
            break;
        }
        if (line->size() > CONTROL_REQUEST_MAX) {
            *refusal = "error input request longer than " + std::to_string(CONTROL_REQUEST_MAX) +
                       " bytes\n";
            return -1;
        }
        if (channel->stop.load() != 0) {
            *refusal = "error failed the gateway is stopping\n";
            return -1;
        }
        if (clock_tick_ms() - began >= REQUEST_WAIT_MS) {
            *refusal = "error input no whole request line within 5 s\n";
            return -1;
        }
        char buffer[CONTROL_REQUEST_MAX + 2];
        std::uint32_t received = 0;
        int got = local_receive(connection, buffer, sizeof buffer, POLL_MS, &received);
        if (got == LOCAL_TIMED_OUT) continue;
        if (got != LOCAL_RECEIVED || received == 0) return -1;
        line->append(buffer, received);
    }
    if (line->size() > CONTROL_REQUEST_MAX) {
        *refusal = "error input request longer than " + std::to_string(CONTROL_REQUEST_MAX) +
                   " bytes\n";
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

void serve_connection(ControlChannel *channel, LocalConnection *connection, int trusted) {
    // The request is read first in every case, so that a refused client has sent it whole and
    // reads the refusal instead of finding the connection gone.
    std::string request;
    std::string refusal;
    bool whole = read_request(channel, connection, &request, &refusal) == 0;
    if (trusted == 0) {
        send_text(connection, "error refused only the gateway's own user and root may use its "
                              "control channel\n");
    } else if (!whole) {
        if (!refusal.empty()) send_text(connection, refusal);
    } else {
        send_text(connection, answer_of(channel, request));
    }
}

std::uint32_t channel_thread(void *argument) {
    ControlChannel *channel = static_cast<ControlChannel *>(argument);
    while (channel->stop.load() == 0) {
        LocalConnection *connection = nullptr;
        int trusted = 0;
        // Idle, the thread sleeps until a client comes or control_channel_close wakes it.
        if (local_server_accept(channel->server, WAIT_FOREVER_MS, &connection, &trusted) != 0) {
            clock_sleep_ms(POLL_MS);  // a failing wait must not spin
            continue;
        }
        if (connection == nullptr) continue;
        serve_connection(channel, connection, trusted);
        drain(connection);
        local_close(connection);
    }
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
