// The listener: accept loop, drain, reaper stop; and the server's start and stop.
#include "gateway/listener.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "gateway/access_log.h"
#include "gateway/connection.h"
#include "gateway/relay.h"
#include "gateway/server_state.h"
#include "platform/clock.h"
#include "platform/net_wake.h"
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

// The ways in beside the telnet port, as the main thread last set them. The main thread opens a
// new way's listening socket and adds it; a way that goes is only marked, and the listener closes
// its socket, since it may be waiting on it.
struct OpenWay {
    GatewayWay way;
    NetSocket socket;
    bool closing;
};
std::mutex ways_lock;
std::vector<OpenWay> open_ways;  // under ways_lock
SshServer *ways_ssh_server = nullptr;  // under ways_lock; kept until the server stops
// Wakes the listener for a stop or a change of the ways; null where the system has no wake-up
// (the listener then keeps its cycle). Made by gateway_start, closed when the listener has ended.
NetWake *listener_wake = nullptr;

// Two ways on one TCP port are one listening socket, whatever they serve: a reload that hands a
// TCP port from one way to another keeps the socket rather than opening it again beside the one
// still to be closed (which the system would refuse).
bool same_way(const GatewayWay &a, const GatewayWay &b) { return a.tcp_port == b.tcp_port; }

// The listening sockets to wait on now, the telnet port's first; closes the ways that went.
void ways_take(NetSocket telnet, std::vector<NetSocket> *sockets, std::vector<OpenWay> *ways) {
    std::lock_guard<std::mutex> hold(ways_lock);
    for (auto way = open_ways.begin(); way != open_ways.end();) {
        if (way->closing) {
            net_close(&way->socket);
            way = open_ways.erase(way);
        } else {
            ++way;
        }
    }
    sockets->assign(1, telnet);
    ways->assign(1, OpenWay{GatewayWay{WAY_TELNET, 0, {}, 0}, telnet, false});
    for (const OpenWay &way : open_ways) {
        sockets->push_back(way.socket);
        ways->push_back(way);
    }
}

// Refreshes a taken way from the ways as they are now. False when it was closed meanwhile: its
// callers wait for the listener to close the socket.
bool way_now(OpenWay *taken) {
    std::lock_guard<std::mutex> hold(ways_lock);
    for (const OpenWay &open : open_ways) {
        if (open.socket == taken->socket) {
            taken->way = open.way;
            return !open.closing;
        }
    }
    return false;
}

void ways_close_all() {
    std::lock_guard<std::mutex> hold(ways_lock);
    for (OpenWay &way : open_ways) net_close(&way.socket);
    open_ways.clear();
}

// Accepts a caller waiting on a way's socket and starts its connection. False when the accept
// failed.
bool accept_on(const OpenWay &way, SshServer *ssh_server) {
    std::uint32_t address = 0;
    NetSocket socket = net_accept(way.socket, &address);
    if (socket == NET_NO_SOCKET) return false;
    if (!accept_connection_on(socket, address, &way.way, ssh_server)) net_close(&socket);
    return true;
}

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

    // Where the system can wake it, the listener sleeps on every socket and the wake-up together;
    // elsewhere it keeps its cycle: a wait of a second for a caller, a second's sleep without one.
    std::uint32_t backoff_ms = 0;
    std::vector<NetSocket> sockets;
    std::vector<OpenWay> ways;
    while (server_stop.load() == 0) {
        ways_take(listener, &sockets, &ways);
        std::vector<std::int32_t> events(sockets.size(), NET_READABLE);
        std::vector<std::int32_t> ready(sockets.size(), 0);
        std::int32_t woken = 0;
        int waited = net_wait_many(sockets.data(), events.data(),
                                   static_cast<std::int32_t>(sockets.size()), listener_wake,
                                   listener_wake != nullptr ? WAIT_FOREVER_MS : ACCEPT_WAIT_MS,
                                   ready.data(), &woken);
        if (woken != 0) {
            // The ways changed (or a stop): take them again before accepting, so that a caller
            // who came after the change is served as it says.
            net_wake_take(listener_wake);
            continue;
        }
        bool any = false;
        for (std::size_t i = 0; waited == 0 && i < sockets.size(); ++i) {
            if ((ready[i] & NET_READABLE) == 0 || server_stop.load() != 0) continue;
            any = true;
            SshServer *ssh_server = nullptr;
            {
                std::lock_guard<std::mutex> hold(ways_lock);
                ssh_server = ways_ssh_server;
            }
            // Served as the way is now: the main thread may have changed or closed it since the
            // sockets were taken (where nothing wakes the listener, up to a cycle ago).
            if (i > 0 && !way_now(&ways[i])) continue;
            if (accept_on(ways[i], ssh_server)) {
                backoff_ms = accept_backoff_next(backoff_ms, true);
            } else {
                // Out of descriptors (or memory) the caller stays queued and the socket goes on
                // reporting it: going round at once would spin at full speed until it passes.
                backoff_ms = accept_backoff_next(backoff_ms, false);
                clock_sleep_ms(backoff_ms);
            }
        }
        if (listener_wake == nullptr && !any) {
            clock_sleep_ms(IDLE_SLEEP_MS);
        } else if (waited != 0) {
            clock_sleep_ms(ACCEPT_WAIT_MS);  // a failing wait must not spin
        }
    }
    ways_close_all();

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
    net_wake_close(listener_wake);
    listener_wake = nullptr;
    {
        std::lock_guard<std::mutex> hold(ways_lock);
        ways_ssh_server = nullptr;
    }
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
    GatewayWay telnet{WAY_TELNET, 0, {}, 0};
    return accept_connection_on(socket, caller_address, &telnet, nullptr);
}

bool accept_connection_on(NetSocket socket, std::uint32_t caller_address, const GatewayWay *way,
                          SshServer *ssh_server) {
    ConnectionRequest *request = new (std::nothrow) ConnectionRequest{};
    if (request == nullptr) {
        log_not_served(nullptr, caller_address);
        return false;
    }
    request->socket = socket;
    request->caller_address = caller_address;
    request->way = way->way;
    request->ssh_server = ssh_server;
    std::memcpy(request->port_name, way->port_name, sizeof request->port_name);
    request->port_name[sizeof request->port_name - 1] = '\0';
    request->rfc2217 = way->rfc2217;
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
    listener_wake = net_wake_create();
    Event *report = event_create();
    ListenerArgument *argument = new (std::nothrow) ListenerArgument{telnet_port, report, listening};
    if (report == nullptr || argument == nullptr || net_start() != 0) {
        delete argument;
        event_close(report);
        semaphore_close(server_semaphore);
        server_semaphore = nullptr;
        net_wake_close(listener_wake);
        listener_wake = nullptr;
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
        net_wake_signal(listener_wake);
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

void gateway_set_ways(const std::vector<GatewayWay> &ways, SshServer *ssh_server,
                      std::vector<GatewayWay> *failed) {
    failed->clear();
    {
        std::lock_guard<std::mutex> hold(ways_lock);
        if (ssh_server != nullptr) ways_ssh_server = ssh_server;
        for (OpenWay &open : open_ways) {
            bool kept = false;
            for (const GatewayWay &way : ways) kept = kept || same_way(open.way, way);
            if (!kept) open.closing = true;
        }
        for (const GatewayWay &way : ways) {
            bool open = false;
            for (OpenWay &existing : open_ways) {
                if (same_way(existing.way, way)) {
                    // What a call there gets may change; the socket stays, and one marked to
                    // close that the listener has not closed yet is wanted again.
                    existing.way = way;
                    existing.closing = false;
                    open = true;
                }
            }
            if (open) continue;
            NetSocket socket = NET_NO_SOCKET;
            if (way.tcp_port > 0 && way.tcp_port <= 65535) {
                socket = net_listen(NET_ANY_ADDRESS, static_cast<std::uint16_t>(way.tcp_port),
                                    BACKLOG);
            }
            if (socket == NET_NO_SOCKET) {
                failed->push_back(way);
            } else {
                open_ways.push_back(OpenWay{way, socket, false});
            }
        }
    }
    net_wake_signal(listener_wake);
}

void gateway_ways_open(std::vector<GatewayWay> *ways) {
    ways->clear();
    std::lock_guard<std::mutex> hold(ways_lock);
    for (const OpenWay &open : open_ways) {
        if (!open.closing) ways->push_back(open.way);
    }
}
