// The SSH side of an SSH caller, over libssh's server API: the host key, one session's key
// exchange, public-key login against authorized_keys and its session channel, then the data of the
// call both ways, the caller's break requests and its leaving. No cryptography is written here.
// Where the program is built without libssh (Windows), ssh_supported() is 0 and every call fails.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/net.h"

// The host key, made at the first start with SSH on, in the gateway's directory (mode 0600).
constexpr const char *SSH_HOST_KEY_FILE = "ssh_host_ed25519_key";

// Limits of a login: the time from accept to an open session, and the public-key requests one
// connection may make (each key a client offers is one).
constexpr std::uint32_t SSH_LOGIN_LIMIT_MS = 30000;
constexpr std::int32_t SSH_LOGIN_ATTEMPTS = 10;

struct SshServer;   // the host key and what every session shares; the listener's
struct SshSession;  // one caller's session; its connection thread's

// 1 when the program has an SSH server, 0 when it was built without one.
int ssh_supported();

// Loads the host key, making it first when there is none. The key's SHA256 fingerprint
// ("SHA256:...") into *fingerprint. Null with *problem telling why (a key file that cannot be
// read or is not a private key, no room to write one). Main thread.
[[nodiscard]] SshServer *ssh_server_open(std::string *fingerprint, std::string *problem);
// Null is accepted. Once no session of the server is left.
void ssh_server_close(SshServer *server);

// The fingerprint of the host key file as it is, without making one. -1 when there is none or it
// cannot be read. Any thread (norvexctl show).
int ssh_host_key_fingerprint(std::string *fingerprint);

// What a login established.
struct SshLogin {
    char user[32];               // the user name, cut to 31 bytes
    std::uint32_t allowed_coms;  // the key line's ports="...": bit n - 1 for COMn; 0: any
    std::int32_t key_line;       // the authorized_keys line that admitted the caller
};

// A session on an accepted socket (which the session owns from now: ssh_session_close closes it).
// Null on failure (the socket is then still the caller's). The connection thread.
[[nodiscard]] SshSession *ssh_session_create(SshServer *server, NetSocket socket);

// Runs the key exchange, the public-key login against authorized_keys (read now, refused when
// group- or world-writable) and the opening of one session channel with a shell request, within
// SSH_LOGIN_LIMIT_MS and SSH_LOGIN_ATTEMPTS. Passwords, keyboard-interactive, exec requests,
// subsystems and every kind of forwarding are refused. 0 with *login filled; -1 when the peer
// failed, gave up, was refused, ran out of time, *stop_flag was set or the session was cancelled.
// The connection thread.
[[nodiscard]] int ssh_session_login(SshSession *session, const std::atomic<std::int32_t> *stop_flag,
                                    SshLogin *login);

// Sends length bytes of data, whole, waiting while the peer's window or the socket is full. Asks
// give_up(context) (null: nothing) and looks at *stop_flag every 100 ms of waiting; either makes the
// send fail. -1 also when the session failed or was cancelled. Either thread of the connection.
using SshGiveUp = int (*)(void *context);
[[nodiscard]] int ssh_session_send(SshSession *session, const std::uint8_t *data,
                                   std::int32_t length, SshGiveUp give_up, void *context,
                                   const std::atomic<std::int32_t> *stop_flag);

// Waits up to timeout_ms (WAIT_FOREVER_MS: no limit) until there is something to receive (data, a
// break, the caller's leaving) or ssh_session_cancel_receive. *readable 1 then. -1 on failure.
// The reading thread.
[[nodiscard]] int ssh_session_wait(SshSession *session, std::uint32_t timeout_ms,
                                   std::int32_t *readable);

// What one receive brought.
struct SshInput {
    std::int32_t count;   // data bytes in the buffer
    std::int32_t breaks;  // break requests seen with them (after them)
    std::int32_t closed;  // the caller has left (or ssh_session_cancel_receive)
};

// Receives up to size bytes of data, blocking until something comes. -1 on failure. The reading
// thread.
[[nodiscard]] int ssh_session_receive(SshSession *session, std::uint8_t *buffer, std::int32_t size,
                                      SshInput *input);

// Takes one byte of data without waiting and drops it: 0 (also when none was there), -1 when the
// caller has left or the session failed. The reading thread.
[[nodiscard]] int ssh_session_discard_one(SshSession *session);

// Makes waits and receives return: a receive then sees the end. Sends still work. Any thread.
void ssh_session_cancel_receive(SshSession *session);
// Makes every call of the session return and fail from now on, a login in progress too. Any
// thread, until ssh_session_close.
void ssh_session_cancel(SshSession *session);

// Ends the session (end of file, the channel's close, the disconnect) and frees it, closing its
// socket. Null is accepted. The connection thread, once no other thread uses it.
void ssh_session_close(SshSession *session);
