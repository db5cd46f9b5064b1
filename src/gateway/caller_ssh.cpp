// The SSH session behind the Caller operations, and the logins in progress.
#include "gateway/caller_ssh.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/connection.h"
#include "gateway/server_state.h"
#include "platform/sync.h"
#include "ssh/ssh_keys.h"
#include "ssh/ssh_server.h"

namespace {

constexpr std::uint32_t GUARD_WAIT_MS = 100;
constexpr std::int32_t SSH_RELAY_BLOCK_SIZE = 32768;

// The caller's own state beside its session.
struct SshCaller {
    SshSession *session;
    Semaphore *send_guard;
    CallerGiveUp give_up;
    void *give_up_context;
    const std::atomic<std::int32_t> *stop_flag;
};

SshCaller *state_of(Caller *caller) { return static_cast<SshCaller *>(caller->channel); }

int ssh_start(Caller *) { return 0; }  // the login has run already

void ssh_speed(Caller *, std::int32_t) {}

int ssh_send(Caller *caller, const std::uint8_t *data, std::int32_t length) {
    SshCaller *state = state_of(caller);
    // One message at a time, as the telnet channel keeps them; the wait for the guard gives up for
    // the same reasons as a send.
    while (semaphore_wait(state->send_guard, GUARD_WAIT_MS) != 0) {
        if ((state->give_up != nullptr && state->give_up(state->give_up_context) != 0) ||
            (state->stop_flag != nullptr && state->stop_flag->load() != 0)) {
            return -1;
        }
    }
    int result = ssh_session_send(state->session, data, length, state->give_up,
                                  state->give_up_context, state->stop_flag);
    semaphore_release(state->send_guard);
    return result;
}

int ssh_wait(Caller *caller, std::int32_t events, std::uint32_t timeout_ms, std::int32_t *ready) {
    *ready = 0;
    if ((events & CALLER_READABLE) == 0) return 0;
    std::int32_t readable = 0;
    if (ssh_session_wait(state_of(caller)->session, timeout_ms, &readable) != 0) return -1;
    if (readable != 0) *ready = CALLER_READABLE;
    return 0;
}

int ssh_receive(Caller *caller, std::uint8_t *buffer, std::int32_t size, CallerInput *input) {
    SshInput got;
    if (ssh_session_receive(state_of(caller)->session, buffer, size, &got) != 0) return -1;
    input->count = got.count;
    input->breaks = got.breaks;
    input->closed = got.closed;
    input->full = got.count == size;
    return 0;
}

int ssh_discard_one(Caller *caller) { return ssh_session_discard_one(state_of(caller)->session); }

void ssh_cancel_receive(Caller *caller) { ssh_session_cancel_receive(state_of(caller)->session); }

void ssh_cancel(Caller *caller) { ssh_session_cancel(state_of(caller)->session); }

void ssh_give_up(Caller *caller, CallerGiveUp give_up, void *context) {
    state_of(caller)->give_up = give_up;
    state_of(caller)->give_up_context = context;
}

void ssh_stop_flag(Caller *caller, const std::atomic<std::int32_t> *stop_flag) {
    state_of(caller)->stop_flag = stop_flag;
}

// Each send is a packet of its own; libssh gives no way to hold them.
int ssh_hold_sends(Caller *, std::int32_t) { return -1; }

constexpr CallerOps SSH_CALLER_OPS = {
    ssh_start,       ssh_speed,          ssh_send,   ssh_wait,    ssh_receive,
    ssh_discard_one, ssh_cancel_receive, ssh_cancel, ssh_give_up, ssh_stop_flag,
    ssh_hold_sends,
};

// The sessions logging in, oldest first.
std::mutex logins_lock;
std::vector<SshSession *> logins;  // under logins_lock

void login_begin(SshSession *session) {
    std::lock_guard<std::mutex> hold(logins_lock);
    if (logins.size() >= static_cast<std::size_t>(SSH_LOGINS_AT_ONCE)) {
        // Its thread sees the cancel at once and closes it only after login_end, under this lock.
        ssh_session_cancel(logins.front());
        logins.erase(logins.begin());
    }
    logins.push_back(session);
}

void login_end(SshSession *session) {
    std::lock_guard<std::mutex> hold(logins_lock);
    logins.erase(std::remove(logins.begin(), logins.end(), session), logins.end());
}

}  // namespace

void caller_ssh_serve(ConnectionRequest *request, Semaphore *send_guard) {
    SshSession *session = ssh_session_create(request->ssh_server, request->socket);
    if (session == nullptr) {
        connection_log_not_served(request);
        return;
    }
    request->socket = NET_NO_SOCKET;  // the session's now
    login_begin(session);
    SshLogin login;
    int logged_in = ssh_session_login(session, &server_stop, &login);
    login_end(session);
    if (logged_in != 0) {
        connection_log_not_served(request);
        ssh_session_close(session);
        return;
    }

    PortRoute route{};
    std::string port;
    ssh_user_port(login.user, std::strlen(login.user), &port);
    std::memcpy(route.only_name, port.data(), std::min(port.size(), sizeof route.only_name - 1));
    route.allowed_coms = login.allowed_coms;

    SshCaller state{session, send_guard, nullptr, nullptr, nullptr};
    Caller caller{};
    caller.ops = &SSH_CALLER_OPS;
    caller.channel = &state;
    caller.address = request->caller_address;
    std::memcpy(caller.host_name, request->caller_host_name, sizeof caller.host_name);
    caller.host_name[sizeof caller.host_name - 1] = '\0';
    std::memcpy(caller.user, login.user, sizeof caller.user);
    caller.user[sizeof caller.user - 1] = '\0';
    caller.cancel_ends_waits = 1;
    // Each send is a packet with its own encryption and MAC: blocks as large as OpenSSH's packets
    // keep a stream from paying that per kilobyte.
    caller.block_size = SSH_RELAY_BLOCK_SIZE;
    connection_run(&caller, &route);
    ssh_session_close(session);
}
