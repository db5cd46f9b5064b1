// The connection flow and the reaping of finished connection threads.
#include "gateway/connection.h"

#include <atomic>
#include <cstring>
#include <new>

#include "gateway/access_log.h"
#include "gateway/autopilot.h"
#include "gateway/port_allocation.h"
#include "gateway/relay.h"
#include "gateway/server_state.h"
#include "platform/clock.h"
#include "serial/line.h"
#include "settings/settings.h"
#include "telnet/telnet.h"

namespace {

constexpr std::uint32_t HAND_OVER_RETRY_MS = 100;
// A message sent once the call is over (busy, port error, connect error, disconnect) is a courtesy:
// a caller who takes none of it for this long does not hold the port any longer.
constexpr std::uint32_t CLOSING_SEND_GRACE_MS = 2000;

// Sends a message text as stored, up to its NUL (or its array's end). 0 or -1.
template <std::size_t N>
int send_text(TelnetChannel *channel, const char (&text)[N]) {
    return telnet_send_data(channel, reinterpret_cast<const std::uint8_t *>(text),
                            static_cast<std::int32_t>(text_length(text)));
}

// What one connection knows about itself for its log line.
struct CallRecord {
    const char *host_name;
    std::uint32_t address;
    LocalTime start;
    char port_name[sizeof PortSettings::port_name + 1];  // blank until a port is allocated
};

int fail(const CallRecord &call, const char *reason) {
    access_log_write(call.host_name, call.address, call.port_name, &call.start, nullptr, reason);
    return -1;
}

// What lets a send of the connection thread that cannot progress give up, besides the server's
// stop: the forced disconnect of the call's port, and the end of the call. The connection thread
// only (the relay puts its own in place while its reader runs).
struct CallWatch {
    PortRecord *port;          // from allocation on; null before
    int ended;                 // the call is over; what is still sent gets CLOSING_SEND_GRACE_MS
    std::uint32_t ended_tick;  // since then
};

int call_gives_up(void *context) {
    const CallWatch *watch = static_cast<const CallWatch *>(context);
    if (watch->port != nullptr && watch->port->disconnect_request.load() != 0) return 1;
    return watch->ended != 0 && clock_tick_ms() - watch->ended_tick >= CLOSING_SEND_GRACE_MS;
}

void call_ended(CallWatch *watch) {
    watch->ended = 1;
    watch->ended_tick = clock_tick_ms();
}

// Undoes a connected (or half-connected) line and gives the port back.
void give_back(PortRecord *port) {
    line_disconnect(port);
    line_detach(port);
    port_release(port);
}

}  // namespace

int connection_run(NetSocket socket, Semaphore *send_guard, const char *host_name,
                   std::uint32_t caller_address) {
    CallRecord call{host_name, caller_address, clock_local_time(), {}};
    // The caller messages in force when the connection began.
    GlobalOptions options;
    options_get(&options);

    TelnetChannel channel;
    telnet_channel_init(&channel, socket, send_guard, 0, 0);
    telnet_set_stop_flag(&channel, &server_stop);
    CallWatch watch{nullptr, 0, 0};
    telnet_set_give_up(&channel, call_gives_up, &watch);
    if (telnet_negotiate(&channel) != 0) return fail(call, LOG_INITIALIZE_FAIL);
    if (send_text(&channel, options.greeting_message) != 0) return fail(call, LOG_SEND_FAIL);

    PortRecord *port = port_allocate(host_name, caller_address);
    if (port == nullptr) {
        call_ended(&watch);
        (void)send_text(&channel, options.busy_message);
        return fail(call, LOG_ALL_PORT_BUSY);
    }
    watch.port = port;
    // The working copy names the port; kept here because the record may go once released.
    const PortSettings &active = port->active_settings;
    std::memcpy(call.port_name, active.port_name, text_length(active.port_name));

    if (line_attach(port) != 0) {
        call_ended(&watch);
        (void)send_text(&channel, options.port_error_message);
        port_release(port);
        return fail(call, LOG_COM_PORT_ATTACH_FAIL);
    }
    if (line_connect(port) != 0) {
        call_ended(&watch);
        (void)send_text(&channel, options.connect_error_message);
        give_back(port);
        return fail(call, LOG_CONNECTION_FAIL);
    }
    telnet_set_speed(&channel, active.baud_rate, active.baud_rate);
    if (autopilot_run(&channel, port, active.auto_pilot_string, sizeof active.auto_pilot_string) !=
        0) {
        call_ended(&watch);
        (void)send_text(&channel, options.connect_error_message);
        give_back(port);
        return fail(call, LOG_AUTO_PILOT_FAIL);
    }
    if (text_length(active.connect_message) > 0 && send_text(&channel, active.connect_message) != 0) {
        give_back(port);
        return fail(call, LOG_SEND_FAIL);
    }

    int result = relay_run(&channel, port);
    call_ended(&watch);
    if (result == 0 && text_length(active.disconnect_message) > 0) {
        (void)send_text(&channel, active.disconnect_message);  // the caller may have gone already
    }
    give_back(port);
    if (result != 0) return fail(call, LOG_TRANSFER_FAIL);
    LocalTime end = clock_local_time();
    access_log_write(host_name, caller_address, call.port_name, &call.start, &end, nullptr);
    return 0;
}

std::uint32_t connection_thread(void *param) {
    ConnectionRequest *request = static_cast<ConnectionRequest *>(param);
    Semaphore *send_guard = semaphore_create();
    if (send_guard != nullptr) {
        connection_run(request->socket, send_guard, request->caller_host_name,
                       request->caller_address);
    } else {
        // Without a guard the reader's answers could split our messages: refuse the connection.
        LocalTime now = clock_local_time();
        access_log_write(request->caller_host_name, request->caller_address, nullptr, &now,
                         nullptr, LOG_INITIALIZE_FAIL);
    }
    semaphore_close(send_guard);
    net_close(&request->socket);
    Thread *self = request->thread;
    delete request;
    connection_thread_finished(self);
    return 0;
}

void connection_count_add() {
    semaphore_wait(server_semaphore, WAIT_FOREVER_MS);
    connection_count += 1;
    semaphore_release(server_semaphore);
}

void connection_thread_finished(Thread *thread) {
    for (;;) {
        semaphore_wait(server_semaphore, WAIT_FOREVER_MS);
        if (finished_thread == nullptr) {
            finished_thread = thread;
            event_set(reaper_event);
            semaphore_release(server_semaphore);
            return;
        }
        semaphore_release(server_semaphore);
        clock_sleep_ms(HAND_OVER_RETRY_MS);
    }
}

std::uint32_t connection_reaper(void *param) {
    const std::atomic<std::int32_t> *stop = static_cast<const std::atomic<std::int32_t> *>(param);
    for (;;) {
        if (event_wait(reaper_event, WAIT_FOREVER_MS) != 0 || stop->load() != 0) return 0;
        semaphore_wait(server_semaphore, WAIT_FOREVER_MS);
        if (finished_thread != nullptr) {
            // The thread takes nothing after its hand-over, so waiting under the lock is safe.
            (void)thread_join(finished_thread, WAIT_FOREVER_MS);
            thread_close(finished_thread);
            finished_thread = nullptr;
            connection_count -= 1;
        }
        semaphore_release(server_semaphore);
    }
}
