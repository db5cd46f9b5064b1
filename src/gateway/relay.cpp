// The relay loop, its socket reader and the reader's ending.
#include "gateway/relay.h"

#include <new>

#include "gateway/server_state.h"
#include "gateway/text_escapes.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "platform/serial.h"
#include "platform/thread.h"
#include "serial/line.h"
#include "serial/serial.h"

namespace {

constexpr std::uint32_t READER_WAIT_MS = 1000;  // the reader's wait for the caller
constexpr std::uint32_t CANCEL_RETRY_MS = 100;
constexpr int SERIAL_CANCEL_TRIES = 10;

// Why a send of the relay gave up (RelayWatch::gave_up).
constexpr std::int32_t GAVE_UP_NOT = 0;
constexpr std::int32_t GAVE_UP_FORCED = 1;  // the forced disconnect
constexpr std::int32_t GAVE_UP_CALLER = 2;  // the reader has ended: the caller left or failed
constexpr std::int32_t GAVE_UP_LINE = 3;    // the watched signals dropped

// What lets a send of the relay that cannot progress (to a caller who does not read) give up: the
// end conditions that need no serial read. Shared by the relay loop and its reader, either of
// which may be the one held in the send.
struct RelayWatch {
    PortRecord *port;
    const std::atomic<std::int32_t> *reader_done;
    std::atomic<std::int32_t> carrier_seen;  // the relay loop and the watch write; both read
    std::atomic<std::int32_t> gave_up;       // GAVE_UP_*: the first reason seen
};

int relay_gives_up(void *context) {
    RelayWatch *watch = static_cast<RelayWatch *>(context);
    std::int32_t reason = GAVE_UP_NOT;
    if (watch->port->disconnect_request.load() != 0) {
        reason = GAVE_UP_FORCED;
    } else if (watch->reader_done->load() != 0) {
        reason = GAVE_UP_CALLER;
    } else if (line_carrier_ok(watch->port)) {
        if (watch->port->active_settings.drop_on_falling_edge != 0) watch->carrier_seen.store(1);
    } else if (watch->port->active_settings.drop_on_falling_edge == 0 ||
               watch->carrier_seen.load() != 0) {
        reason = GAVE_UP_LINE;
    }
    if (reason == GAVE_UP_NOT) return 0;
    std::int32_t none = GAVE_UP_NOT;
    watch->gave_up.compare_exchange_strong(none, reason);
    return 1;
}

// The result of a relay whose send gave up: a normal end when the caller left or the line
// dropped; otherwise (forced disconnect, server stop, a failed send) an abnormal one.
int result_after_give_up(const RelayWatch &watch) {
    std::int32_t reason = watch.gave_up.load();
    return reason == GAVE_UP_CALLER || reason == GAVE_UP_LINE ? 0 : -1;
}

// Ends the reader: reader_done, and its wait for the caller cut short by ending the socket's
// receiving half (sends still work, for the disconnect message). One stuck past the grace period
// is inside a blocking call: a serial write held back by flow control, cancelled first and for a
// while, or a send to a caller that does not read. Only then is the socket shut down whole, since
// that also loses the disconnect message for a caller who is still there.
void end_reader(Thread *reader, std::atomic<std::int32_t> *reader_done, TelnetChannel *channel,
                PortRecord *port) {
    if (reader_done->exchange(1) == 0) net_cancel_receive(channel->socket);
    if (thread_join(reader, RELAY_READER_GRACE_MS) == 0) return;
    for (int tries = 0;; ++tries) {
        com_cancel(port->com_handle.load());
        if (thread_join(reader, CANCEL_RETRY_MS) == 0) return;
        if (tries < SERIAL_CANCEL_TRIES) continue;
        net_cancel(channel->socket);
        if (thread_join(reader, CANCEL_RETRY_MS) == 0) return;
    }
}

}  // namespace

std::uint32_t relay_socket_reader(void *param) {
    RelayReaderArgs *args = static_cast<RelayReaderArgs *>(param);
    while (args->reader_done->load() == 0) {
        std::int32_t ready = 0;
        if (net_wait(args->channel->socket, NET_READABLE, READER_WAIT_MS, &ready) != 0) break;
        if ((ready & NET_READABLE) == 0 || args->reader_done->load() != 0) continue;

        std::int32_t received = 0;
        if (net_receive(args->channel->socket, args->buffer, RELAY_BLOCK_SIZE, &received) != 0 ||
            received == 0) {
            break;
        }
        int count = telnet_receive(args->channel, args->buffer, received);
        if (count < 0) break;
        if (count > 0) {
            // Telnet commands alone do not count as the caller's activity.
            args->socket_activity_time->store(clock_tick_ms());
            if (!serial_write(args->port, args->buffer, count)) break;
        }
        if (args->channel->break_received != 0) {
            // After the data of the same read; several BRKs in one read make one break.
            args->channel->break_received = 0;
            ComHandle handle = args->port->com_handle.load();
            (void)com_set_break(handle);
            clock_sleep_ms(RELAY_BREAK_MS);
            (void)com_clear_break(handle);
        }
    }
    args->reader_done->store(1);
    return 0;
}

int relay_run(TelnetChannel *channel, PortRecord *port) {
    const PortSettings &settings = port->active_settings;
    int result = -1;
    std::atomic<std::int32_t> reader_done{0};
    std::atomic<std::uint32_t> socket_activity_time{clock_tick_ms()};
    std::uint32_t serial_activity_time = socket_activity_time.load();
    std::uint32_t idle_limit_ms = static_cast<std::uint32_t>(settings.idle_timeout_s) * 1000u;
    RelayWatch watch{port, &reader_done, {0}, {GAVE_UP_NOT}};

    // One block per relay: the first half for serial reads, the second for the reader.
    std::uint8_t *buffers = new (std::nothrow) std::uint8_t[2 * RELAY_BLOCK_SIZE];
    if (buffers == nullptr) return -1;

    std::uint8_t keyword[sizeof settings.disconnect_keyword + 1];
    std::size_t keyword_length =
        keyword_build(settings.disconnect_keyword, sizeof settings.disconnect_keyword, keyword);
    std::size_t keyword_match = 0;

    // From here the sends of both threads give up on the relay's end conditions too.
    TelnetGiveUp flow_give_up = channel->give_up;
    void *flow_context = channel->give_up_context;
    telnet_set_give_up(channel, relay_gives_up, &watch);
    RelayReaderArgs args{channel, port, &reader_done, buffers + RELAY_BLOCK_SIZE,
                         &socket_activity_time};
    Thread *reader = thread_start(relay_socket_reader, &args, 0);
    if (reader == nullptr) {
        telnet_set_give_up(channel, flow_give_up, flow_context);
        delete[] buffers;
        return -1;
    }

    for (;;) {
        if (server_stop.load() != 0) break;
        if (reader_done.load() != 0) {
            // A reader that gave up its send for a forced disconnect ended for that, not because
            // the caller left.
            result = watch.gave_up.load() == GAVE_UP_FORCED ? -1 : 0;
            break;
        }
        if (port->disconnect_request.load() != 0) break;

        if (line_carrier_ok(port)) {
            if (settings.drop_on_falling_edge != 0) watch.carrier_seen.store(1);
        } else if (settings.drop_on_falling_edge == 0 || watch.carrier_seen.load() != 0) {
            result = 0;
            break;
        }

        std::uint32_t count = 0;
        if (!serial_read(port, buffers, RELAY_BLOCK_SIZE, &count)) break;
        std::uint32_t now = clock_tick_ms();
        if (count > 0) {
            serial_activity_time = now;
            if (telnet_send_data(channel, buffers, static_cast<std::int32_t>(count)) != 0) {
                // Held by a caller who does not read until an end condition came, or failed.
                result = result_after_give_up(watch);
                break;
            }
            if (keyword_length > 0 &&
                keyword_feed(keyword, keyword_length, &keyword_match, buffers, count)) {
                result = 0;
                break;
            }
        }
        // The reader's tick is read before the clock, so that it is never later than `later`.
        std::uint32_t socket_time = socket_activity_time.load();
        std::uint32_t later = clock_tick_ms();
        if (idle_limit_ms != 0 && later - socket_time >= idle_limit_ms &&
            later - serial_activity_time >= idle_limit_ms) {
            result = 0;
            break;
        }
    }

    end_reader(reader, &reader_done, channel, port);
    thread_close(reader);
    telnet_set_give_up(channel, flow_give_up, flow_context);
    delete[] buffers;
    return result;
}
