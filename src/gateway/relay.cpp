// The relay loop, its reader of the caller and the reader's ending.
#include "gateway/relay.h"

#include <mutex>
#include <new>

#include "gateway/server_state.h"
#include "gateway/text_escapes.h"
#include "platform/clock.h"
#include "platform/serial.h"
#include "platform/thread.h"
#include "serial/line.h"
#include "serial/serial.h"

namespace {

constexpr std::uint32_t READER_WAIT_MS = 1000;  // the reader's wait for the caller, where bounded
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

// The relays that sleep in com_wait, each with its wake-up, so that relay_wake can reach them.
// An entry lives on its relay's stack from before its first wait until after its last.
struct RelayWaiter {
    PortRecord *port;
    ComWake *wake;
    RelayWaiter *next;
};

std::mutex waiters_lock;
RelayWaiter *waiters = nullptr;  // under waiters_lock
// The test hook writes; the relays read.
std::atomic<std::uint32_t> quiet_look_ms{RELAY_QUIET_LOOK_MS};

void waiter_add(RelayWaiter *waiter) {
    std::lock_guard<std::mutex> hold(waiters_lock);
    waiter->next = waiters;
    waiters = waiter;
}

void waiter_remove(RelayWaiter *waiter) {
    std::lock_guard<std::mutex> hold(waiters_lock);
    for (RelayWaiter **link = &waiters; *link != nullptr; link = &(*link)->next) {
        if (*link == waiter) {
            *link = waiter->next;
            return;
        }
    }
}

// How long until the idle limit would be reached with nothing moving (0: reached), or
// COM_WAIT_FOREVER without one. The reader's tick is read before the clock, so that it is never
// later than `now`.
std::uint32_t idle_left_ms(std::uint32_t idle_limit_ms,
                           const std::atomic<std::uint32_t> &socket_activity_time,
                           std::uint32_t serial_activity_time) {
    if (idle_limit_ms == 0) return COM_WAIT_FOREVER;
    std::uint32_t socket_time = socket_activity_time.load();
    std::uint32_t now = clock_tick_ms();
    std::uint32_t socket_quiet = now - socket_time;
    std::uint32_t serial_quiet = now - serial_activity_time;
    std::uint32_t quiet = socket_quiet < serial_quiet ? socket_quiet : serial_quiet;
    return quiet >= idle_limit_ms ? 0 : idle_limit_ms - quiet;
}

// Ends the reader: reader_done, and its wait for the caller cut short by ending the socket's
// receiving half (sends still work, for the disconnect message). One stuck past the grace period
// is inside a blocking call: a serial write held back by flow control, cancelled first and for a
// while, or a send to a caller that does not read. Only then is the socket shut down whole, since
// that also loses the disconnect message for a caller who is still there.
void end_reader(Thread *reader, std::atomic<std::int32_t> *reader_done, Caller *caller,
                PortRecord *port) {
    if (reader_done->exchange(1) == 0) caller_cancel_receive(caller);
    if (thread_join(reader, RELAY_READER_GRACE_MS) == 0) return;
    for (int tries = 0;; ++tries) {
        com_cancel(port->com_handle.load());
        if (thread_join(reader, CANCEL_RETRY_MS) == 0) return;
        if (tries < SERIAL_CANCEL_TRIES) continue;
        caller_cancel(caller);
        if (thread_join(reader, CANCEL_RETRY_MS) == 0) return;
    }
}

// Whether input waits to be read at this moment. A wake-up it takes is not lost: the relay looks
// at its end conditions before its next wait anyway.
bool input_waiting(ComHandle handle, ComWake *wake) {
    std::uint32_t events = 0;
    return com_wait(handle, wake, 0, 0, &events) == 0 && (events & COM_EVENT_INPUT) != 0;
}

}  // namespace

void relay_wake(PortRecord *port) {
    std::lock_guard<std::mutex> hold(waiters_lock);
    for (RelayWaiter *waiter = waiters; waiter != nullptr; waiter = waiter->next) {
        if (port == nullptr || waiter->port == port) com_wake_signal(waiter->wake);
    }
}

void relay_set_quiet_look_ms(std::uint32_t ms) {
    quiet_look_ms.store(ms == 0 ? RELAY_QUIET_LOOK_MS : ms);
}

std::uint32_t relay_socket_reader(void *param) {
    RelayReaderArgs *args = static_cast<RelayReaderArgs *>(param);
    // Its end comes with net_cancel_receive; where that leaves a wait running, the wait is bounded
    // so that the reader sees reader_done.
    Caller *caller = args->caller;
    bool cancel_ends_waits = caller->cancel_ends_waits != 0;
    std::uint32_t wait_ms = cancel_ends_waits ? WAIT_FOREVER_MS : READER_WAIT_MS;
    // After a full block more is probably there: receive at once. Only where the end cuts a
    // receive short too, since nothing else would bound it.
    bool receive_next = false;
    while (args->reader_done->load() == 0) {
        if (!receive_next) {
            std::int32_t ready = 0;
            if (caller_wait(caller, CALLER_READABLE, wait_ms, &ready) != 0) break;
            if ((ready & CALLER_READABLE) == 0 || args->reader_done->load() != 0) continue;
        }

        CallerInput input;
        if (caller_receive(caller, args->buffer, args->block_size, &input) != 0 || input.closed) {
            break;
        }
        receive_next = cancel_ends_waits && input.full != 0;
        if (input.count > 0) {
            // Protocol commands alone do not count as the caller's activity.
            args->socket_activity_time->store(clock_tick_ms());
            if (!serial_write(args->port, args->buffer, static_cast<std::uint32_t>(input.count))) {
                break;
            }
        }
        if (input.breaks != 0) {
            // After the data of the same read.
            ComHandle handle = args->port->com_handle.load();
            (void)com_set_break(handle);
            clock_sleep_ms(RELAY_BREAK_MS);
            (void)com_clear_break(handle);
        }
    }
    args->reader_done->store(1);
    relay_wake(args->port);  // the caller has gone: the relay ends now, not at its next event
    return 0;
}

int relay_run(Caller *caller, PortRecord *port) {
    const PortSettings &settings = port->active_settings;
    int result = -1;
    std::atomic<std::int32_t> reader_done{0};
    std::atomic<std::uint32_t> socket_activity_time{clock_tick_ms()};
    std::uint32_t serial_activity_time = socket_activity_time.load();
    // Kept within what the tick can measure: a limit from the file never wraps to a short one.
    std::uint32_t idle_limit_ms = settings_idle_limit_ms(&settings);
    RelayWatch watch{port, &reader_done, {0}, {GAVE_UP_NOT}};

    // One block per relay: the first half for serial reads, the second for the reader.
    std::int32_t block = caller->block_size > 0 ? caller->block_size : RELAY_BLOCK_SIZE;
    std::uint8_t *buffers = new (std::nothrow) std::uint8_t[2 * static_cast<std::size_t>(block)];
    if (buffers == nullptr) return -1;

    std::uint8_t keyword[sizeof settings.disconnect_keyword + 1];
    std::size_t keyword_length =
        keyword_build(settings.disconnect_keyword, sizeof settings.disconnect_keyword, keyword);
    std::size_t keyword_match = 0;

    // From here the sends of both threads give up on the relay's end conditions too.
    CallerGiveUp flow_give_up = caller->give_up;
    void *flow_context = caller->give_up_context;
    caller_set_give_up(caller, relay_gives_up, &watch);

    // A device that can wait lets a quiet call sleep; without a wake-up the relay polls as the
    // read cycle allows.
    RelayWaiter waiter{port, com_wake_create(), nullptr};
    bool waits = waiter.wake != nullptr && com_can_wait(port->com_handle.load()) != 0;
    if (waits) waiter_add(&waiter);

    RelayReaderArgs args{caller, port, &reader_done, buffers + block, block,
                         &socket_activity_time};
    Thread *reader = thread_start(relay_socket_reader, &args, 0);
    if (reader == nullptr) {
        if (waits) waiter_remove(&waiter);
        com_wake_close(waiter.wake);
        caller_set_give_up(caller, flow_give_up, flow_context);
        delete[] buffers;
        return -1;
    }

    // Right after data more is probably there: read at once. After an empty read, wait for the
    // device instead of reading again.
    bool read_next = true;
    // The caller's socket sends each block at once, a segment each. While the device has more
    // waiting behind a full block, the blocks are held back to fill segments instead; the send
    // after which nothing more waits lets them go, so no message waits for the device.
    bool holding = false;
    for (;;) {
        if (server_stop.load() != 0) break;
        if (reader_done.load() != 0) {
            // A reader that gave up its send for a forced disconnect ended for that, not because
            // the caller left.
            result = watch.gave_up.load() == GAVE_UP_FORCED ? -1 : 0;
            break;
        }
        if (port->disconnect_request.load() != 0) break;

        // With nothing watched the status only has to stay readable, which a sleeping relay
        // looks at when it wakes; a stream of data does not pay for it with every block.
        if (!waits || settings.watch_signals != 0 || !read_next) {
            if (line_carrier_ok(port)) {
                if (settings.drop_on_falling_edge != 0) watch.carrier_seen.store(1);
            } else if (settings.drop_on_falling_edge == 0 || watch.carrier_seen.load() != 0) {
                result = 0;
                break;
            }
        }

        // A caller that drives the line itself may want to hear of the input lines: they are then
        // watched too, and it is told after each round. Others cost nothing here.
        bool caller_lines = caller_watches_lines(caller) != 0;
        bool input = true;
        if (waits && !read_next) {
            std::uint32_t events = 0;
            std::uint32_t wait_ms =
                idle_left_ms(idle_limit_ms, socket_activity_time, serial_activity_time);
            std::uint32_t look_ms = quiet_look_ms.load();
            if (wait_ms > look_ms) wait_ms = look_ms;
            // A failed wait is the device failing, as a failed read would be.
            if (com_wait(port->com_handle.load(), waiter.wake,
                         settings.watch_signals != 0 || caller_lines, wait_ms, &events) != 0) {
                break;
            }
            input = (events & COM_EVENT_INPUT) != 0;
        }
        if (input) {
            std::uint32_t count = 0;
            if (!serial_read(port, buffers, static_cast<std::uint32_t>(block), &count)) break;
            read_next = count > 0;
            if (count > 0) {
                serial_activity_time = clock_tick_ms();
                bool more = waits && count == static_cast<std::uint32_t>(block) &&
                            input_waiting(port->com_handle.load(), waiter.wake);
                if (more && !holding) holding = caller_hold_sends(caller, 1) == 0;
                int sent = caller_send(caller, buffers, static_cast<std::int32_t>(count));
                if (!more && holding) {
                    (void)caller_hold_sends(caller, 0);
                    holding = false;
                }
                if (sent != 0) {
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
        }
        if (caller_lines && caller_tend_lines(caller) != 0) {
            result = result_after_give_up(watch);
            break;
        }
        if (idle_limit_ms != 0 &&
            idle_left_ms(idle_limit_ms, socket_activity_time, serial_activity_time) == 0) {
            result = 0;
            break;
        }
    }

    if (holding) (void)caller_hold_sends(caller, 0);  // what follows the call goes at once
    end_reader(reader, &reader_done, caller, port);
    thread_close(reader);
    if (waits) waiter_remove(&waiter);
    com_wake_close(waiter.wake);
    caller_set_give_up(caller, flow_give_up, flow_context);
    delete[] buffers;
    return result;
}
