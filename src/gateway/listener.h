// The gateway server: a listener thread that accepts callers on the telnet port and the other ways
// in (the SSH port, the ports' direct TCP ports) and starts a connection thread for each, and the start and stop of the whole
// server.
#pragma once

#include <cstdint>
#include <vector>

#include "gateway/connection.h"
#include "platform/net.h"
#include "platform/thread.h"

// How long gateway_stop lets the listener drain before it gives up on it.
constexpr std::uint32_t GATEWAY_STOP_LIMIT_MS = 10000;

// Starts the server on telnet_port (1-65535). Returns the listener thread, or null when the server
// could not be started at all. *listening tells whether the listener began listening: 0 when the
// port could not be bound (in use, no permission) or listened on; the listener has then ended and
// the handle only needs gateway_stop. UI thread.
[[nodiscard]] Thread *gateway_start(std::int32_t telnet_port, std::int32_t *listening);

// Stops the server: no more callers are accepted, running calls end (relays and auto-pilots see
// server_stop), and the listener waits until every connection thread has ended. True when the
// listener ended within GATEWAY_STOP_LIMIT_MS; false when it did not (a connection thread is held
// up): the server is then abandoned as it stands, and its threads, locks and port records stay
// valid until they end by themselves. Null is accepted (true at once). UI thread.
bool gateway_stop(Thread *listener);

// A way in beside the telnet port.
struct GatewayWay {
    std::int32_t way;       // WAY_SSH or WAY_DIRECT
    std::int32_t tcp_port;  // 1-65535
    char port_name[16];     // WAY_DIRECT: the port its callers get, NUL-terminated
    std::int32_t rfc2217 = 0;  // WAY_DIRECT: non-zero: the COM-PORT-OPTION is served
};

// Makes the ways in beside the telnet port equal to `ways`: opens the listening sockets of the ways
// that are new (IPv4, every local address, as the telnet port), has the listener close those that
// went, and keeps the others as they are (their callers notice nothing). SSH callers use
// ssh_server (null: the one set before), which must stay open until the server has stopped. The
// ways whose port cannot be listened on (in use, no permission) are put in *failed. Main thread,
// while the server runs.
void gateway_set_ways(const std::vector<GatewayWay> &ways, SshServer *ssh_server,
                      std::vector<GatewayWay> *failed);

// The ways in beside the telnet port that are listening now, in the order they were opened. Any
// thread.
void gateway_ways_open(std::vector<GatewayWay> *ways);

// The listener's wait after an accept. A failed accept (out of descriptors or memory) leaves the
// caller queued and the socket reporting it, so the listener waits before it tries again: the
// first wait, then each one twice the one before, never more than the maximum. A good accept ends
// the waiting: 0. current_ms: the wait after the previous accept (0 at the start). Any thread.
constexpr std::uint32_t ACCEPT_BACKOFF_FIRST_MS = 50;
constexpr std::uint32_t ACCEPT_BACKOFF_MAX_MS = 1000;
std::uint32_t accept_backoff_next(std::uint32_t current_ms, bool accepted);

// Thread body of the listener; the argument is gateway_start's heap block, freed here. Exit code:
// listener_run's result.
std::uint32_t listener_thread(void *argument);

// Starts a connection thread for an accepted socket: held until counted, then released. False
// when no thread could be started (the caller is then logged as "initialize fail", like a
// connection whose start failed); the caller then closes the socket. The listener thread.
bool accept_connection(NetSocket socket, std::uint32_t caller_address);
// The same for a caller of another way in.
bool accept_connection_on(NetSocket socket, std::uint32_t caller_address, const GatewayWay *way,
                          SshServer *ssh_server);
