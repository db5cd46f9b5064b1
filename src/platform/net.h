// TCP over IPv4 for the gateway: the listening socket, accepted connections in blocking mode,
// readiness waits with a time-out, name lookups, and cancelling a call that another thread is
// blocked in (no thread is ever killed; its socket calls are made to return instead).
#pragma once

#include <cstdint>

// A socket handle. An integer wide enough for both systems' handles (a Winsock SOCKET is
// pointer-sized, a Linux descriptor is an int); NET_NO_SOCKET is "none" on both. It belongs to
// whoever created or accepted it, until net_close.
using NetSocket = std::intptr_t;
constexpr NetSocket NET_NO_SOCKET = -1;

// Addresses are IPv4 in host byte order: the first octet of the dotted form is the top byte.
constexpr std::uint32_t NET_ANY_ADDRESS = 0;           // 0.0.0.0: every local address
constexpr std::uint32_t NET_LOOPBACK_ADDRESS = 0x7F000001u;  // 127.0.0.1

// Size of a host-name buffer: up to 63 characters and the terminating NUL.
constexpr int NET_HOST_NAME_SIZE = 64;

// Conditions of a readiness wait (bits).
constexpr std::int32_t NET_READABLE = 1;   // data, an orderly close, an error, or (listening) a
                                           // connection waiting to be accepted
constexpr std::int32_t NET_EXCEPTION = 2;  // an exceptional condition (urgent data pending)
constexpr std::int32_t NET_WRITABLE = 4;   // a send would take at least one byte now, or fail

// Starts the socket layer for this process. Calls nest: each successful net_start needs one
// net_stop. -1 when the system's socket layer is not available. Any thread.
[[nodiscard]] int net_start();
// Ends one net_start. Sockets still open stay usable until the last net_stop. Any thread.
void net_stop();

// A listening IPv4 stream socket bound to address:port (port in host order; 0 picks a free port,
// see net_local_port) with the given backlog. NET_NO_SOCKET when the socket cannot be made, bound
// (the port is in use, no permission) or put into listening. Any thread.
[[nodiscard]] NetSocket net_listen(std::uint32_t address, std::uint16_t port, int backlog);

// The local port a socket is bound to, in host order. -1 on failure. Any thread.
int net_local_port(NetSocket socket, std::uint16_t *port);

// TCP keepalive of accepted connections: after NET_KEEPALIVE_IDLE_S seconds without a byte either
// way the system probes the peer every NET_KEEPALIVE_INTERVAL_S seconds and gives the connection up
// after NET_KEEPALIVE_COUNT probes without answer, about two minutes in all, so that a caller whose
// network vanished does not hold a port for ever. A live peer's system answers the probes; its user
// and the telnet stream see nothing.
constexpr std::int32_t NET_KEEPALIVE_IDLE_S = 60;
constexpr std::int32_t NET_KEEPALIVE_INTERVAL_S = 6;
constexpr std::int32_t NET_KEEPALIVE_COUNT = 10;

struct NetKeepalive {
    std::int32_t on;          // non-zero: probes are sent
    std::int32_t idle_s;      // -1 where the system does not tell
    std::int32_t interval_s;  // -1 where the system does not tell
    std::int32_t count;       // -1 where the system does not tell
};

// Takes the next connection waiting on a listening socket; blocks until one comes (wait for
// NET_READABLE first to bound the wait). The new socket is in blocking mode, with keepalive as
// above, and sends what it is given at once (TCP_NODELAY: no waiting for the peer's
// acknowledgement before a short segment goes); *address receives the peer's address.
// NET_NO_SOCKET on failure (also after net_cancel of the listening socket). The thread that owns
// the listening socket.
[[nodiscard]] NetSocket net_accept(NetSocket listener, std::uint32_t *address);

// The keepalive settings the system reports for a socket. -1 when it reports none. Any thread.
int net_keepalive_of(NetSocket socket, NetKeepalive *keepalive);

// Whether the socket sends at once (*on non-zero) or holds short segments back until the peer
// acknowledges what is in flight (0, the system's default). -1 when the system does not tell.
// Any thread.
int net_no_delay_of(NetSocket socket, std::int32_t *on);

// Holds back (hold non-zero) or lets go (0) what is sent on a socket that sends at once: while
// held, what does not fill a segment waits for more (on Linux at most 200 ms), and letting go
// sends it at once. For a sender that knows more follows right away, so that a stream still goes
// in full segments rather than one per send. Where the system cannot hold (Windows), sends go at
// once and this does nothing. -1 on an error. The socket's sending thread.
int net_hold_sends(NetSocket socket, std::int32_t hold);

// Opens a blocking stream connection to address:port. NET_NO_SOCKET on failure. Tools and tests
// use it; the gateway itself only accepts. Any thread.
[[nodiscard]] NetSocket net_connect(std::uint32_t address, std::uint16_t port);
// The same from a given local address (a caller from another loopback address, 127.x.y.z).
[[nodiscard]] NetSocket net_connect_from(std::uint32_t source, std::uint32_t address,
                                         std::uint16_t port);

// Test hook: the n-th net_send from now (any socket) fails; 0 disarms.
void net_fail_send(std::int32_t n);

// Sends one byte as urgent (out-of-band) data, the way a telnet client sends the DM of a Synch.
// Tests use it; the gateway never sends urgent data. -1 on an error. Any thread.
[[nodiscard]] int net_send_urgent(NetSocket socket, std::uint8_t byte);

// Waits up to timeout_ms until one of the conditions in `events` holds on the socket. *ready
// receives the conditions found (0 when the time-out passed first). -1 when the wait itself failed
// (not a socket, closed). One thread at a time per socket for reading.
[[nodiscard]] int net_wait(NetSocket socket, std::int32_t events, std::uint32_t timeout_ms,
                           std::int32_t *ready);

// Sends up to length bytes, blocking until at least one byte could be sent; *sent receives how
// many went (1..length; the rest is the caller's to send again). A length of 0 or less sends
// nothing. -1 on an error, e.g. when the peer has reset or closed the connection; never raises a
// signal. Callers that share a socket serialise their messages themselves (the telnet send guard).
[[nodiscard]] int net_send(NetSocket socket, const std::uint8_t *data, std::int32_t length,
                           std::int32_t *sent);

// Sends up to length bytes, waiting up to timeout_ms for the socket to take any; *sent receives how
// many went: 1..length, or 0 when the time-out passed first (the peer is not reading and the
// system's buffers are full). The rest is the caller's to send again. Lets a sender that must not
// block for ever look at its own reasons to give up between tries. -1 on an error; never raises a
// signal. net_fail_send counts these sends too.
[[nodiscard]] int net_send_within(NetSocket socket, const std::uint8_t *data, std::int32_t length,
                                  std::uint32_t timeout_ms, std::int32_t *sent);

// Receives up to length bytes, blocking until some arrive; *received receives how many came, 0
// when the peer closed the connection in order. -1 on an error. One thread at a time per socket.
[[nodiscard]] int net_receive(NetSocket socket, std::uint8_t *buffer, std::int32_t length,
                              std::int32_t *received);

// Makes every call blocked on the socket in other threads return, and every later send or receive
// fail or see the end of the stream: a blocked wait returns, a receive ends, a send fails, an
// accept fails. On Windows a wait that starts after the cancel runs to its time-out, so callers
// keep their waits bounded and test their own stop flag between waits. The socket stays open: its
// owner still closes it. Any thread, while the owner has not closed the socket.
void net_cancel(NetSocket socket);

// Ends the receiving half only: a wait or receive blocked on the socket in another thread returns
// (the receive sees the end of the stream), while sends still work, so a message can still go out
// after the reader has been stopped, even when the peer goes on sending. On Windows only a blocked
// receive is cut short (shutting the half would make Winsock reset the connection when the peer's
// data is queued); a wait runs to its time-out there, so callers keep it bounded. Any thread,
// while the owner has not closed the socket.
void net_cancel_receive(NetSocket socket);

// 1 where net_cancel_receive also ends a wait in progress (Linux), so a waiting thread that is
// ended that way needs no time-out; 0 where it does not (Windows). Any thread.
int net_cancel_receive_ends_waits();

// Closes the socket and sets *socket to NET_NO_SOCKET; a socket that is already NET_NO_SOCKET is
// left alone, so closing twice is harmless. The owner's thread, once no other thread uses it.
void net_close(NetSocket *socket);

// Size of a name as the name service gives it whole (the system's limit; a DNS name has at most
// 253 characters).
constexpr std::int32_t NET_FULL_NAME_SIZE = 1025;
// Room for a name's addresses in a forward lookup: more than any real host has.
constexpr std::int32_t NET_NAME_ADDRESSES = 64;

// Looks up the host name of an address (reverse lookup; may wait for the name service, and cannot
// be cut short) into name[size], whole and NUL-terminated. The name is whatever the owner of the
// address's reverse zone wrote there: net_lookup_addresses confirms it. -1 when no name was found,
// or the name does not fit; name is then empty. Any thread.
int net_lookup_name(std::uint32_t address, char *name, std::int32_t size);

// Looks up the IPv4 addresses of a host name (forward lookup; may wait for the name service, and
// cannot be cut short): up to capacity of them into addresses (host order), *count how many. -1
// when the lookup failed or found no IPv4 address, and when the name is itself a written address
// (digits and dots), which names nothing; *count is then 0. Any thread.
int net_lookup_addresses(const char *name, std::uint32_t *addresses, std::int32_t capacity,
                         std::int32_t *count);

// Test hook: a name service standing in for the system's, so that a test can give an address any
// name and a name any addresses. Its functions keep the contracts above; net_lookup_name and
// net_lookup_addresses call them after their delay and fault hooks. Null gives the system's back.
// The record must outlive its use. Any thread, while no lookup runs.
struct NetNameService {
    int (*lookup_name)(std::uint32_t address, char *name, std::int32_t size);
    int (*lookup_addresses)(const char *name, std::uint32_t *addresses, std::int32_t capacity,
                            std::int32_t *count);
};
void net_replace_name_service(const NetNameService *service);

// Test hook: every reverse lookup from now takes ms milliseconds longer, as with a slow name
// service; 0: none. net_lookups_delayed tells how many lookups are in that delay at the moment.
void net_delay_lookup(std::uint32_t ms);
std::int32_t net_lookups_delayed();
