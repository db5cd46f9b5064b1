// The listener: accept loop, drain, reaper stop; and the server's start and stop.
#include "gateway/listener.h"

#include <atomic>
#include <cstring>
#include <new>

#include "gateway/access_log.h"
#include "gateway/connection.h"
#include "gateway/relay.h"
#include "gateway/server_state.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "serial/line.h"
#include "settings/settings.h"

namespace {

constexpr int BACKLOG = 5;
constexpr std::uint32_t ACCEPT_WAIT_MS = 1000;
constexpr std::uint32_t IDLE_SLEEP_MS = 1000;
constexpr std::uint32_t DRAIN_POLL_MS = 100;
constexpr std::uint32_t STOP_WAIT_MS = 1000;
constexpr std::uint32_t FORCED_WAIT_MS = 5000;
constexpr std::uint32_t LOOKUP_POLL_MS = 50;

// A name lookup on a thread of its own: the name service cannot be interrupted, but the listener
// can stop waiting for it when the server stops. Whichever of the two lets go last frees the job.
struct LookupJob {
    std::uint32_t address;
    char name[NET_HOST_NAME_SIZE];
    std::atomic<std::int32_t> references;  // the listener's and the lookup thread's
};

void lookup_job_unreference(LookupJob *job) {
    if (job->references.fetch_sub(1) == 1) delete job;
}

// The address's host name, when it is confirmed: the reverse zone says whatever its owner likes,
// so the name counts only when its own addresses include the caller's (the check of tcpd's
// PARANOID and of sshd). The whole name is confirmed before it is cut to the field, so that a name
// is never taken for one it merely begins like. Empty when there is no confirmed name.
void lookup_confirmed_name(std::uint32_t address, char name[NET_HOST_NAME_SIZE]) {
    name[0] = '\0';
    char full[NET_FULL_NAME_SIZE];
    if (net_lookup_name(address, full, NET_FULL_NAME_SIZE) != 0) return;
    std::uint32_t addresses[NET_NAME_ADDRESSES];
    std::int32_t count = 0;
    if (net_lookup_addresses(full, addresses, NET_NAME_ADDRESSES, &count) != 0) return;
    for (std::int32_t i = 0; i < count; ++i) {
        if (addresses[i] != address) continue;
        std::strncpy(name, full, NET_HOST_NAME_SIZE - 1);
        name[NET_HOST_NAME_SIZE - 1] = '\0';
        return;
    }
}

std::uint32_t lookup_thread(void *param) {
    LookupJob *job = static_cast<LookupJob *>(param);
    lookup_confirmed_name(job->address, job->name);
    lookup_job_unreference(job);
    return 0;
}

// The caller's confirmed host name into name (empty when none was found or confirmed, the lookup
// could not be started, or the server stopped meanwhile: the connection then goes on by address
// alone).
void lookup_caller_name(std::uint32_t address, char name[NET_HOST_NAME_SIZE]) {
    name[0] = '\0';
    LookupJob *job = new (std::nothrow) LookupJob{address, {}, {2}};
    if (job == nullptr) return;
    Thread *thread = thread_start(lookup_thread, job, 0);
    if (thread == nullptr) {
        delete job;
        return;
    }
    bool done = thread_join(thread, LOOKUP_POLL_MS) == 0;
    while (!done && server_stop.load() == 0) done = thread_join(thread, LOOKUP_POLL_MS) == 0;
    // Ended, the thread has written the name and touches the job no more.
    if (done) std::memcpy(name, job->name, NET_HOST_NAME_SIZE);
    thread_close(thread);
    lookup_job_unreference(job);
}

// gateway_start's heap block for the listener. `report` and `listening` belong to gateway_start,
// which waits for the report; the listener touches neither after signalling it.
struct ListenerArgument {
    std::int32_t telnet_port;
    Event *report;
    std::int32_t *listening;
};

// A listener given up by a forced stop. The next start waits for it, so that two servers never
// share the server-wide state.
Thread *abandoned_listener = nullptr;

void report_listening(ListenerArgument *argument, std::int32_t listening) {
    if (argument->report == nullptr) return;
    *argument->listening = listening;
    event_set(argument->report);
    argument->report = nullptr;
}

std::uint32_t listener_run(ListenerArgument *argument) {
    std::int32_t port = argument->telnet_port;
    NetSocket listener = NET_NO_SOCKET;
    if (port > 0 && port <= 65535) {
        listener = net_listen(NET_ANY_ADDRESS, static_cast<std::uint16_t>(port), BACKLOG);
    }
    if (listener == NET_NO_SOCKET) {
        report_listening(argument, 0);
        return 0;
    }
    std::atomic<std::int32_t> reaper_stop{0};
    reaper_event = event_create();
    if (reaper_event == nullptr) {
        net_close(&listener);
        report_listening(argument, 0);
        return 0;
    }
    Thread *reaper = thread_start(connection_reaper, &reaper_stop, 0);
    if (reaper == nullptr) {
        event_close(reaper_event);
        reaper_event = nullptr;
        net_close(&listener);
        report_listening(argument, 0);
        return 0;
    }
    report_listening(argument, 1);

    std::uint32_t backoff_ms = 0;
    while (server_stop.load() == 0) {
        std::int32_t ready = 0;
        if (net_wait(listener, NET_READABLE, ACCEPT_WAIT_MS, &ready) == 0 &&
            (ready & NET_READABLE) != 0) {
            std::uint32_t address = 0;
            NetSocket socket = net_accept(listener, &address);
            if (socket == NET_NO_SOCKET) {
                // Out of descriptors (or memory) the caller stays queued and the socket goes on
                // reporting it: going round at once would spin at full speed until it passes.
                backoff_ms = accept_backoff_next(backoff_ms, false);
                clock_sleep_ms(backoff_ms);
                continue;
            }
            backoff_ms = accept_backoff_next(backoff_ms, true);
            if (!accept_connection(socket, address)) net_close(&socket);
        } else {
            clock_sleep_ms(IDLE_SLEEP_MS);
        }
    }

    // Drain: new callers wait in the backlog and are dropped with the socket.
    for (;;) {
        semaphore_wait(server_semaphore, WAIT_FOREVER_MS);
        std::int32_t count = connection_count;
        semaphore_release(server_semaphore);
        if (count == 0) break;
        clock_sleep_ms(DRAIN_POLL_MS);
    }
    reaper_stop.store(1);
    event_set(reaper_event);
    (void)thread_join(reaper, WAIT_FOREVER_MS);
    thread_close(reaper);
    event_close(reaper_event);
    reaper_event = nullptr;
    net_close(&listener);
    return 1;
}

// A caller accepted but not served (no memory for its request, no thread for it) is logged as one
// whose start failed, so that every accepted connection has its line.
void log_not_served(const char *host_name, std::uint32_t caller_address) {
    LocalTime now = clock_local_time();
    access_log_write(host_name, caller_address, nullptr, &now, nullptr, LOG_INITIALIZE_FAIL);
}

// Releases what gateway_start made, once the listener has ended.
void release_server() {
    semaphore_close(server_semaphore);
    server_semaphore = nullptr;
    net_stop();
}

}  // namespace

std::uint32_t listener_thread(void *param) {
    ListenerArgument *argument = static_cast<ListenerArgument *>(param);
    std::uint32_t result = listener_run(argument);
    delete argument;
    return result;
}

std::uint32_t accept_backoff_next(std::uint32_t current_ms, bool accepted) {
    if (accepted) return 0;
    if (current_ms == 0) return ACCEPT_BACKOFF_FIRST_MS;
    return current_ms >= ACCEPT_BACKOFF_MAX_MS / 2 ? ACCEPT_BACKOFF_MAX_MS : current_ms * 2;
}

bool accept_connection(NetSocket socket, std::uint32_t caller_address) {
    ConnectionRequest *request = new (std::nothrow) ConnectionRequest{};
    if (request == nullptr) {
        log_not_served(nullptr, caller_address);
        return false;
    }
    request->socket = socket;
    request->caller_address = caller_address;
    GlobalOptions options;
    options_get(&options);
    if (options.resolve_host_names != 0) {
        lookup_caller_name(caller_address, request->caller_host_name);
    }
    Thread *thread = thread_start(connection_thread, request, 1);
    if (thread == nullptr) {
        log_not_served(request->caller_host_name, caller_address);
        delete request;
        return false;
    }
    request->thread = thread;
    // Counted before it runs: the drain can never miss a connection that is starting.
    connection_count_add();
    thread_release(thread);
    return true;
}

Thread *gateway_start(std::int32_t telnet_port, std::int32_t *listening) {
    *listening = 0;
    if (abandoned_listener != nullptr) {
        (void)thread_join(abandoned_listener, WAIT_FOREVER_MS);
        thread_close(abandoned_listener);
        abandoned_listener = nullptr;
        release_server();
    }
    server_stop.store(0);
    line_set_stop_flag(&server_stop);
    connection_count = 0;
    finished_thread = nullptr;
    server_semaphore = semaphore_create();
    if (server_semaphore == nullptr) return nullptr;
    Event *report = event_create();
    ListenerArgument *argument = new (std::nothrow) ListenerArgument{telnet_port, report, listening};
    if (report == nullptr || argument == nullptr || net_start() != 0) {
        delete argument;
        event_close(report);
        semaphore_close(server_semaphore);
        server_semaphore = nullptr;
        return nullptr;
    }
    Thread *listener = thread_start(listener_thread, argument, 0);
    if (listener == nullptr) {
        delete argument;
        event_close(report);
        release_server();
        return nullptr;
    }
    (void)event_wait(report, WAIT_FOREVER_MS);
    event_close(report);
    return listener;
}

bool gateway_stop(Thread *listener) {
    if (listener == nullptr) return true;
    std::uint32_t start = clock_tick_ms();
    do {
        server_stop.store(1);
        relay_wake(nullptr);
        if (thread_join(listener, STOP_WAIT_MS) == 0) {
            thread_close(listener);
            release_server();
            return true;
        }
    } while (clock_tick_ms() - start < GATEWAY_STOP_LIMIT_MS);

    // A connection thread is held up. No thread is killed: the listener gets a last while, and
    // is otherwise left to finish on its own, with everything it and its connections still use.
    if (thread_join(listener, FORCED_WAIT_MS) == 0) {
        thread_close(listener);
        release_server();
    } else {
        abandoned_listener = listener;
    }
    return false;
}
