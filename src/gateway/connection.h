// One connection from accept to log line: the caller's start-up, greeting, port allocation, line
// attach and connect, auto-pilot, connect message, relay, disconnect message, release and the
// access-log line. Also the bookkeeping that lets the server stop cleanly: the count of live
// connection threads and the reaper that waits for each finished one.
#pragma once

#include <cstdint>

#include "gateway/caller.h"
#include "gateway/port_allocation.h"
#include "platform/net.h"
#include "platform/sync.h"
#include "platform/thread.h"

struct SshServer;

// The ways in a caller comes by.
constexpr std::int32_t WAY_TELNET = 0;  // the telnet port: a telnet caller, given the pool
constexpr std::int32_t WAY_SSH = 1;     // the SSH port: an SSH caller, the user name picks
constexpr std::int32_t WAY_DIRECT = 2;  // a port's own TCP port: a telnet caller, that port alone

// Made by the accept path on the heap, handed to the new connection thread, freed by it.
struct ConnectionRequest {
    NetSocket socket;                // the accepted connection, blocking
    std::uint32_t caller_address;    // host byte order
    char caller_host_name[NET_HOST_NAME_SIZE];  // from the reverse lookup; empty when none
    Thread *thread;                  // the connection thread itself, filled in before it runs
    std::int32_t way;                // WAY_*
    SshServer *ssh_server;           // WAY_SSH: the listener's SSH server, which outlives the call
    char port_name[16];              // WAY_DIRECT: the port, NUL-terminated
    std::int32_t rfc2217;            // WAY_DIRECT: non-zero: the COM-PORT-OPTION is served
};

// Thread entry of a connection: makes the send guard, runs the flow, closes the guard and the
// socket, frees the request and hands its own handle to the reaper. Exit code 0.
std::uint32_t connection_thread(void *request);

// The connection flow for a caller that has come in, within a route (null: the pool). 0 when the
// call was relayed and ended normally; -1 on every failure and on an abnormal end of the relay.
// Every way out writes one access-log line. The connection thread.
int connection_run(Caller *caller, const PortRoute *route);

// An accepted connection that could not be served at all (its start failed before the flow
// began): its access-log line. The connection thread.
void connection_log_not_served(const ConnectionRequest *request);

// Counts one more connection thread. The accept path, while the new thread is still held.
void connection_count_add();

// Hands the calling connection thread's own handle to the reaper, waiting in 100 ms steps while
// the hand-over slot is taken. A connection thread's last act.
void connection_thread_finished(Thread *thread);

// Thread body of the reaper: waits for each finished connection thread to end, closes its handle
// and counts it off; ends when woken with *stop_flag set. stop_flag: std::atomic<std::int32_t>.
std::uint32_t connection_reaper(void *stop_flag);
