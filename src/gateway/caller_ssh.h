// An SSH caller: its login on the SSH port, then the Caller operations over its session.
#pragma once

struct ConnectionRequest;
struct Semaphore;

// How many SSH connections may be logging in at once. One more makes the oldest give up, so that
// connections which never log in cannot keep a caller with a key out.
constexpr int SSH_LOGINS_AT_ONCE = 10;

// Serves a connection of the SSH port: the login (ssh_session_login's limits), then the connection
// flow for the port its user name asks for ("COMn"; any other name: the pool), within the ports its
// key line allows. A login that fails gets the access-log line of a connection not served. The
// session takes the request's socket over and closes it. The connection thread.
void caller_ssh_serve(ConnectionRequest *request, Semaphore *send_guard);
