// The connection flow and the reaping of finished connection threads.
#include "gateway/connection.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "gateway/access_log.h"
#include "gateway/autopilot.h"
#include "gateway/caller_ssh.h"
#include "gateway/caller_telnet.h"
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

// Sends a message text as stored, up to its NUL (or its array's end), to a caller that takes the
// gateway's texts. 0 or -1.
template <std::size_t N>
int send_text(Caller *caller, const char (&text)[N]) {
    return caller_send_text(caller, reinterpret_cast<const std::uint8_t *>(text),
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

// Undoes a connected (or half-connected) line and gives the port back: what the caller changed on
// the line first, so that the next call starts from the port's settings.
void give_back(Caller *caller, PortRecord *port) {
    caller_detach_line(caller);
    line_disconnect(port);
    line_detach(port);
    port_release(port);
}

}  // namespace

int connection_run(Caller *caller, const PortRoute *route) {
    const char *host_name = caller->host_name;
    std::uint32_t caller_address = caller->address;
    CallRecord call{host_name, caller_address, clock_local_time(), {}};
    // The caller messages in force when the connection began.
    GlobalOptions options;
    options_get(&options);

    caller_set_stop_flag(caller, &server_stop);
    CallWatch watch{nullptr, 0, 0};
    caller_set_give_up(caller, call_gives_up, &watch);
    if (caller_start(caller) != 0) return fail(call, LOG_INITIALIZE_FAIL);
    if (send_text(caller, options.greeting_message) != 0) return fail(call, LOG_SEND_FAIL);

    PortRecord *port = port_allocate_routed(route, host_name, caller_address, caller->user);
    if (port == nullptr) {
        call_ended(&watch);
        (void)send_text(caller, options.busy_message);
        return fail(call, LOG_ALL_PORT_BUSY);
    }
    watch.port = port;
    // The working copy names the port; kept here because the record may go once released.
    const PortSettings &active = port->active_settings;
    std::memcpy(call.port_name, active.port_name, text_length(active.port_name));

    if (line_attach(port) != 0) {
        call_ended(&watch);
        (void)send_text(caller, options.port_error_message);
        port_release(port);
        return fail(call, LOG_COM_PORT_ATTACH_FAIL);
    }
    if (line_connect(port) != 0) {
        call_ended(&watch);
        (void)send_text(caller, options.connect_error_message);
        give_back(caller, port);
        return fail(call, LOG_CONNECTION_FAIL);
    }
    caller_set_speed(caller, active.baud_rate);
    if (caller_attach_line(caller, port) != 0) {
        give_back(caller, port);
        return fail(call, LOG_SEND_FAIL);
    }
    if (autopilot_run(caller, port, active.auto_pilot_string, sizeof active.auto_pilot_string) !=
        0) {
        call_ended(&watch);
        (void)send_text(caller, options.connect_error_message);
        give_back(caller, port);
        return fail(call, LOG_AUTO_PILOT_FAIL);
    }
    if (text_length(active.connect_message) > 0 && send_text(caller, active.connect_message) != 0) {
        give_back(caller, port);
        return fail(call, LOG_SEND_FAIL);
    }

    int result = relay_run(caller, port);
    call_ended(&watch);
    if (result == 0 && text_length(active.disconnect_message) > 0) {
        (void)send_text(caller, active.disconnect_message);  // the caller may have gone already
    }
    give_back(caller, port);
    if (result != 0) return fail(call, LOG_TRANSFER_FAIL);
    LocalTime end = clock_local_time();
    access_log_write(host_name, caller_address, call.port_name, &call.start, &end, nullptr);
    return 0;
}

void connection_log_not_served(const ConnectionRequest *request) {
    LocalTime now = clock_local_time();
    access_log_write(request->caller_host_name, request->caller_address, nullptr, &now, nullptr,
                     LOG_INITIALIZE_FAIL);
}

namespace {

// A telnet caller: on the telnet port given the pool, on a port's direct TCP port that port alone
// (serving the COM-PORT-OPTION where the port allows it).
void serve_telnet(ConnectionRequest *request, Semaphore *send_guard) {
    TelnetChannel channel;
    telnet_channel_init(&channel, request->socket, send_guard, 0, 0);
    Caller caller;
    caller_telnet_init(&caller, &channel, request->caller_address, request->caller_host_name);
    if (request->way != WAY_DIRECT) {
        connection_run(&caller, nullptr);
        return;
    }
    PortRoute route{};
    std::memcpy(route.only_name, request->port_name, sizeof route.only_name - 1);
    TelnetComPort com_port;
    if (request->rfc2217 != 0) {
        char signature[COMPORT_SIGNATURE_SIZE];
        std::snprintf(signature, sizeof signature, "NORVEX %s", route.only_name);
        caller_telnet_serve_com_port(&caller, &com_port, signature);
    }
    connection_run(&caller, &route);
}

}  // namespace

std::uint32_t connection_thread(void *param) {
    ConnectionRequest *request = static_cast<ConnectionRequest *>(param);
    Semaphore *send_guard = semaphore_create();
    if (send_guard == nullptr) {
        // Without a guard the reader's answers could split our messages: refuse the connection.
        connection_log_not_served(request);
    } else if (request->way == WAY_SSH) {
        caller_ssh_serve(request, send_guard);
    } else {
        serve_telnet(request, send_guard);
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
