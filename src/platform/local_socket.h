// Local stream sockets, named by a file in the current directory: the Linux program's control
// channel, which only the gateway's own user and the administrator may use. The Windows program
// has no control channel; there every call fails cleanly.
#pragma once

#include <cstdint>

struct LocalServer;      // opaque; belongs to whoever opened it until local_server_close
struct LocalConnection;  // opaque; belongs to whoever accepted or connected it until local_close

// False on a system without local sockets (Windows): every call below then fails.
bool local_socket_supported();

// Listens on a socket file `name` in the current directory that only this user may connect to
// (mode 0600). A socket file left behind by a process that ended is replaced; a file of that name
// that is not a socket is left alone and makes the open fail. Null on failure. The caller must be
// the only process serving this directory (process_claim_instance). Any thread.
[[nodiscard]] LocalServer *local_server_open(const char *name);

// Waits up to timeout_ms (WAIT_FOREVER_MS: no limit) for a connection. 0 when one came: *connection receives it, and *trusted
// is 1 when the kernel reports that its peer runs as this process's user or as root, 0 otherwise.
// 0 with *connection null when the time-out passed first. -1 when the wait failed. The thread that
// owns the server.
int local_server_accept(LocalServer *server, std::uint32_t timeout_ms, LocalConnection **connection,
                        int *trusted);

// Waits up to timeout_ms (WAIT_FOREVER_MS: no limit) on the server and `count` accepted
// connections together, until a connection waits to be accepted (*accept_ready 1), one of the
// connections has something to read or its peer closed it (ready[i] 1), or the server is woken
// (local_server_wake). 0 when the wait ended (with every flag 0: the time-out or the wake), -1 when
// it failed. The thread that owns the server and the connections.
int local_server_wait(LocalServer *server, LocalConnection *const *connections, std::uint32_t count,
                      std::uint32_t timeout_ms, int *accept_ready, int *ready);

// Makes a local_server_accept or local_server_wait that waits, and every later one, return at once
// with nothing, so that a thread waiting without a time-out can be told to end. Any thread.
void local_server_wake(LocalServer *server);

// Stops listening and removes the socket file; null is accepted.
void local_server_close(LocalServer *server);

// Results of local_connect.
constexpr int LOCAL_CONNECTED = 0;
constexpr int LOCAL_NOBODY = 1;   // no socket file, or nobody listens on it
constexpr int LOCAL_DENIED = 2;   // the socket file exists but this user may not use it
constexpr int LOCAL_FAILED = -1;  // anything else

// Connects to the socket file `name` (relative to the current directory), waiting at most
// timeout_ms while the server's queue of connections not yet accepted is full (LOCAL_FAILED then).
// *connection is set only on LOCAL_CONNECTED. Any thread.
[[nodiscard]] int local_connect(const char *name, std::uint32_t timeout_ms,
                                LocalConnection **connection);

// Sends all `length` bytes, waiting at most timeout_ms in all for the peer to take them. -1 on an
// error (the peer left) or at the time-out. Never raises a signal.
int local_send(LocalConnection *connection, const void *data, std::uint32_t length,
               std::uint32_t timeout_ms);

// Results of local_receive besides -1 (an error).
constexpr int LOCAL_RECEIVED = 0;   // *received bytes came; 0 bytes: the peer closed its end
constexpr int LOCAL_TIMED_OUT = 1;  // nothing came within timeout_ms

// Receives up to length bytes, waiting up to timeout_ms for the first.
int local_receive(LocalConnection *connection, void *buffer, std::uint32_t length,
                  std::uint32_t timeout_ms, std::uint32_t *received);

// Closes the connection; null is accepted.
void local_close(LocalConnection *connection);
