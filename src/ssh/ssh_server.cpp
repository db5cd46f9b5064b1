// The SSH server side over libssh. A session is used by two threads during a call (the relay's
// sender and its reader), and libssh allows one at a time: every libssh call of a session runs
// under its lock, in non-blocking mode, and the threads wait outside the lock on the socket and on
// wake-ups that each gives the other when it has processed what the other waits for.
#include "ssh/ssh_server.h"

#include <libssh/callbacks.h>
#include <libssh/libssh.h>
#include <libssh/server.h>

#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/net_wake.h"
#include "platform/thread.h"
#include "ssh/ssh_keys.h"

namespace {

constexpr std::uint32_t WAIT_STEP_MS = 100;      // longest wait between looks at give-up and stop
constexpr std::uint32_t CLOSE_FLUSH_MS = 1000;   // for the last packets to a caller who reads
constexpr std::uint32_t KEY_FILE_LIMIT = 64 * 1024;
constexpr std::uint32_t AUTHORIZED_KEYS_LIMIT = 1024 * 1024;

// libssh 0.10 has no callback for a break request (RFC 4335) and hands the server an unknown
// channel request without its name; its packet log names it. The log level, callback and user
// data are per thread in libssh, so each thread working on a session points them at it.
constexpr const char *BREAK_LOGGED = "Received a break channel_request";

}  // namespace

struct SshServer {
    ssh_bind bind = nullptr;
    std::mutex bind_lock;  // a session's start copies the host key out of the bind
};

struct SshSession {
    ssh_session session = nullptr;
    ssh_event event = nullptr;
    ssh_channel channel = nullptr;
    NetSocket socket = NET_NO_SOCKET;
    NetWake *reader_wake = nullptr;  // signalled for the reader: input was taken in, or its end
    NetWake *writer_wake = nullptr;  // signalled for a waiting sender: input was taken in
    std::atomic<std::int32_t> cancelled{0};          // ssh_session_cancel writes; every call reads
    std::atomic<std::int32_t> receive_cancelled{0};  // the cancels write; the reader reads
    std::atomic<std::int32_t> writer_waiting{0};     // a sender waits for the peer; the reader reads
    std::atomic<std::int32_t> inbound{0};            // the callbacks write: something came in

    std::mutex lock;  // over every libssh call of the session and the fields below
    ssh_server_callbacks_struct server_callbacks{};
    ssh_channel_callbacks_struct channel_callbacks{};
    std::vector<ssh_key> keys;          // authorized_keys, read at the login
    std::vector<SshKeyLine> key_lines;  // the same lines' texts, index for index
    std::int32_t attempts = 0;
    bool authenticated = false;
    bool shell = false;
    bool eof = false;            // the caller sent end of file or closed the channel
    std::int32_t breaks = 0;     // break requests not yet handed to the reader
    bool break_logged = false;   // the request being handled now is a break
    SshLogin login{};
};

namespace {

void log_hook(int, const char *, const char *buffer, void *userdata) {
    SshSession *session = static_cast<SshSession *>(userdata);
    if (session == nullptr || buffer == nullptr) return;
    if (std::strstr(buffer, BREAK_LOGGED) != nullptr) {
        session->breaks += 1;
        session->break_logged = true;
        session->inbound.store(1);
    }
}

// Holds a session's lock, with this thread's libssh log pointed at the session.
class SessionHold {
public:
    explicit SessionHold(SshSession *session) : hold_(session->lock) {
        ssh_set_log_callback(log_hook);
        ssh_set_log_userdata(session);
        ssh_set_log_level(SSH_LOG_PACKET);
    }
    ~SessionHold() { ssh_set_log_userdata(nullptr); }
    SessionHold(const SessionHold &) = delete;
    SessionHold &operator=(const SessionHold &) = delete;

private:
    std::unique_lock<std::mutex> hold_;
};

bool stopping(const SshSession *session, const std::atomic<std::int32_t> *stop_flag) {
    return session->cancelled.load() != 0 || (stop_flag != nullptr && stop_flag->load() != 0);
}

// Waits up to timeout_ms for the socket (readable, or writable too when output is pending) or the
// wake-up. -1 when the wait failed.
int wait_socket(SshSession *session, bool writable, NetWake *wake, std::uint32_t timeout_ms,
                bool *woken) {
    std::int32_t events = NET_READABLE | (writable ? NET_WRITABLE : 0);
    std::int32_t ready = 0;
    std::int32_t signalled = 0;
    if (net_wait_many(&session->socket, &events, 1, wake, timeout_ms, &ready, &signalled) != 0) {
        return -1;
    }
    if (signalled != 0) net_wake_take(wake);
    *woken = signalled != 0;
    return 0;
}

// Reads a whole small file; -1 when it cannot be read or is larger than limit.
int read_text_file(const char *name, std::uint32_t limit, std::string *text) {
    text->clear();
    if (file_find(name) != 1) return -1;
    File *file = file_open_read(name);
    if (file == nullptr) return -1;
    std::int64_t size = 0;
    int result = -1;
    if (file_size(file, &size) == 0 && size >= 0 && size <= limit) {
        text->resize(static_cast<std::size_t>(size));
        std::uint32_t count = 0;
        if (file_read(file, text->data(), static_cast<std::uint32_t>(size), &count) == 0 &&
            count == size) {
            result = 0;
        }
    }
    file_close(file);
    return result;
}

int fingerprint_of(ssh_key key, std::string *fingerprint) {
    ssh_key public_key = nullptr;
    if (ssh_pki_export_privkey_to_pubkey(key, &public_key) != SSH_OK) return -1;
    unsigned char *hash = nullptr;
    std::size_t length = 0;
    int result = -1;
    if (ssh_get_publickey_hash(public_key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) == 0) {
        char *text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length);
        if (text != nullptr) {
            *fingerprint = text;
            ssh_string_free_char(text);
            result = 0;
        }
        ssh_clean_pubkey_hash(&hash);
    }
    ssh_key_free(public_key);
    return result;
}

int load_host_key(ssh_key *key) {
    std::string text;
    if (read_text_file(SSH_HOST_KEY_FILE, KEY_FILE_LIMIT, &text) != 0) return -1;
    return ssh_pki_import_privkey_base64(text.c_str(), nullptr, nullptr, nullptr, key) == SSH_OK
               ? 0
               : -1;
}

int make_host_key(ssh_key *key, std::string *problem) {
    if (ssh_pki_generate(SSH_KEYTYPE_ED25519, 0, key) != SSH_OK) {
        *problem = "an Ed25519 host key could not be made";
        return -1;
    }
    // The file is made private first; libssh then writes into it (it opens by name, so it keeps
    // the mode). Its base64 export is not used: it hands strndup a buffer with no terminator,
    // which the address-checked builds stop on.
    File *file = file_create_private(SSH_HOST_KEY_FILE);
    bool created = file != nullptr;
    file_close(file);
    if (!created ||
        ssh_pki_export_privkey_file(*key, nullptr, nullptr, nullptr, SSH_HOST_KEY_FILE) !=
            SSH_OK) {
        if (created) (void)file_delete(SSH_HOST_KEY_FILE);
        *problem = std::string(SSH_HOST_KEY_FILE) + " could not be written here";
        ssh_key_free(*key);
        return -1;
    }
    return 0;
}

// --- login callbacks (under the session's lock, on the thread that runs libssh) ---

int on_auth_pubkey(ssh_session, const char *user, struct ssh_key_struct *offered,
                   char signature_state, void *userdata) {
    SshSession *session = static_cast<SshSession *>(userdata);
    session->attempts += 1;
    if (session->attempts > SSH_LOGIN_ATTEMPTS) return SSH_AUTH_DENIED;
    if (signature_state != SSH_PUBLICKEY_STATE_NONE &&
        signature_state != SSH_PUBLICKEY_STATE_VALID) {
        return SSH_AUTH_DENIED;
    }
    for (std::size_t i = 0; i < session->keys.size(); ++i) {
        if (ssh_key_cmp(session->keys[i], offered, SSH_KEY_CMP_PUBLIC) != 0) continue;
        // A key offered without a signature is only asked about: the client signs next.
        if (signature_state == SSH_PUBLICKEY_STATE_NONE) return SSH_AUTH_SUCCESS;
        session->authenticated = true;
        std::size_t length = user == nullptr ? 0 : std::strlen(user);
        if (length > sizeof session->login.user - 1) length = sizeof session->login.user - 1;
        std::memset(session->login.user, 0, sizeof session->login.user);
        if (length > 0) std::memcpy(session->login.user, user, length);
        session->login.allowed_coms = session->key_lines[i].allowed_coms;
        session->login.key_line = session->key_lines[i].line;
        return SSH_AUTH_SUCCESS;
    }
    return SSH_AUTH_DENIED;
}

int on_pty_request(ssh_session, ssh_channel, const char *, int, int, int, int, void *) {
    return 0;  // accepted: the equipment's own terminal handling is what the caller gets
}

int on_window_change(ssh_session, ssh_channel, int, int, int, int, void *) { return 0; }

int on_shell_request(ssh_session, ssh_channel, void *userdata) {
    SshSession *session = static_cast<SshSession *>(userdata);
    if (session->shell) return 1;
    session->shell = true;
    return 0;
}

int on_refused_command(ssh_session, ssh_channel, const char *, void *) { return 1; }

int on_refused_env(ssh_session, ssh_channel, const char *, const char *, void *) { return 1; }

int on_data(ssh_session, ssh_channel, void *, uint32_t, int, void *userdata) {
    // Left in the channel's buffer for the reader; it only learns that something came.
    static_cast<SshSession *>(userdata)->inbound.store(1);
    return 0;
}

void on_eof(ssh_session, ssh_channel, void *userdata) {
    SshSession *session = static_cast<SshSession *>(userdata);
    session->eof = true;
    session->inbound.store(1);
}

ssh_channel on_session_channel(ssh_session ssh, void *userdata) {
    SshSession *session = static_cast<SshSession *>(userdata);
    if (!session->authenticated || session->channel != nullptr) return nullptr;
    session->channel = ssh_channel_new(ssh);
    if (session->channel == nullptr) return nullptr;
    ssh_channel_callbacks_struct &callbacks = session->channel_callbacks;
    callbacks = ssh_channel_callbacks_struct{};
    callbacks.userdata = session;
    callbacks.channel_data_function = on_data;
    callbacks.channel_eof_function = on_eof;
    callbacks.channel_close_function = on_eof;
    callbacks.channel_pty_request_function = on_pty_request;
    callbacks.channel_pty_window_change_function = on_window_change;
    callbacks.channel_shell_request_function = on_shell_request;
    callbacks.channel_exec_request_function = on_refused_command;
    callbacks.channel_subsystem_request_function = on_refused_command;
    callbacks.channel_env_request_function = on_refused_env;
    ssh_callbacks_init(&callbacks);
    ssh_set_channel_callbacks(session->channel, &callbacks);
    return session->channel;
}

// Every request no callback took: refused, but for a break request, which is counted already.
int on_message(ssh_session, ssh_message message, void *userdata) {
    SshSession *session = static_cast<SshSession *>(userdata);
    if (ssh_message_type(message) == SSH_REQUEST_CHANNEL &&
        ssh_message_subtype(message) == SSH_CHANNEL_REQUEST_UNKNOWN && session->break_logged) {
        session->break_logged = false;
        (void)ssh_message_channel_request_reply_success(message);
        return 0;
    }
    session->break_logged = false;
    return 1;
}

// Reads authorized_keys for this login. The file is refused whole when others may change it.
void load_authorized_keys(SshSession *session) {
    for (ssh_key key : session->keys) ssh_key_free(key);
    session->keys.clear();
    session->key_lines.clear();
    std::string text;
    if (file_writable_by_others(SSH_AUTHORIZED_KEYS_FILE) != 0 ||
        read_text_file(SSH_AUTHORIZED_KEYS_FILE, AUTHORIZED_KEYS_LIMIT, &text) != 0) {
        return;
    }
    std::vector<SshKeyLine> lines;
    std::vector<std::string> problems;
    ssh_authorized_keys_parse(text, &lines, &problems);
    for (const SshKeyLine &line : lines) {
        enum ssh_keytypes_e type = ssh_key_type_from_name(line.type.c_str());
        ssh_key key = nullptr;
        if (type == SSH_KEYTYPE_UNKNOWN ||
            ssh_pki_import_pubkey_base64(line.base64.c_str(), type, &key) != SSH_OK) {
            continue;
        }
        session->keys.push_back(key);
        session->key_lines.push_back(line);
    }
}

}  // namespace

int ssh_supported() { return 1; }

SshServer *ssh_server_open(std::string *fingerprint, std::string *problem) {
    problem->clear();
    ssh_key key = nullptr;
    int found = file_find(SSH_HOST_KEY_FILE);
    if (found == 1) {
        if (load_host_key(&key) != 0) {
            *problem = std::string(SSH_HOST_KEY_FILE) + " cannot be read as a private key";
            return nullptr;
        }
    } else if (found == 0) {
        if (make_host_key(&key, problem) != 0) return nullptr;
    } else {
        *problem = std::string(SSH_HOST_KEY_FILE) + " cannot be looked at here";
        return nullptr;
    }
    if (fingerprint_of(key, fingerprint) != 0) {
        ssh_key_free(key);
        *problem = "the host key's fingerprint cannot be made";
        return nullptr;
    }
    SshServer *server = new (std::nothrow) SshServer();
    if (server != nullptr) server->bind = ssh_bind_new();
    // The bind owns the key from here.
    if (server == nullptr || server->bind == nullptr ||
        ssh_bind_options_set(server->bind, SSH_BIND_OPTIONS_IMPORT_KEY, key) != SSH_OK) {
        if (server != nullptr && server->bind != nullptr) ssh_bind_free(server->bind);
        delete server;
        ssh_key_free(key);
        *problem = "the SSH server could not be set up";
        return nullptr;
    }
    return server;
}

void ssh_server_close(SshServer *server) {
    if (server == nullptr) return;
    ssh_bind_free(server->bind);
    delete server;
}

int ssh_host_key_fingerprint(std::string *fingerprint) {
    ssh_key key = nullptr;
    if (load_host_key(&key) != 0) return -1;
    int result = fingerprint_of(key, fingerprint);
    ssh_key_free(key);
    return result;
}

SshSession *ssh_session_create(SshServer *server, NetSocket socket) {
    SshSession *session = new (std::nothrow) SshSession();
    if (session == nullptr) return nullptr;
    session->socket = socket;
    session->reader_wake = net_wake_create();
    session->writer_wake = net_wake_create();
    session->session = ssh_new();
    bool accepted = false;
    if (session->reader_wake != nullptr && session->writer_wake != nullptr &&
        session->session != nullptr) {
        SessionHold hold(session);
        std::lock_guard<std::mutex> bind_hold(server->bind_lock);
        accepted = ssh_bind_accept_fd(server->bind, session->session,
                                      static_cast<socket_t>(socket)) == SSH_OK;
    }
    if (!accepted) {
        // The socket is still the caller's: the session must not close it.
        if (session->session != nullptr) ssh_free(session->session);
        net_wake_close(session->reader_wake);
        net_wake_close(session->writer_wake);
        delete session;
        return nullptr;
    }
    SessionHold hold(session);
    ssh_set_blocking(session->session, 0);
    ssh_server_callbacks_struct &callbacks = session->server_callbacks;
    callbacks.userdata = session;
    callbacks.auth_pubkey_function = on_auth_pubkey;
    callbacks.channel_open_request_session_function = on_session_channel;
    ssh_callbacks_init(&callbacks);
    ssh_set_server_callbacks(session->session, &callbacks);
    ssh_set_message_callback(session->session, on_message, session);
    ssh_set_auth_methods(session->session, SSH_AUTH_METHOD_PUBLICKEY);
    return session;
}

int ssh_session_login(SshSession *session, const std::atomic<std::int32_t> *stop_flag,
                      SshLogin *login) {
    std::uint32_t began = clock_tick_ms();
    {
        SessionHold hold(session);
        load_authorized_keys(session);
    }
    // The key exchange, then the login and the channel's requests, each driven as far as the
    // socket allows and waited for in short steps.
    bool exchanged = false;
    for (;;) {
        if (stopping(session, stop_flag) || clock_tick_ms() - began >= SSH_LOGIN_LIMIT_MS) return -1;
        bool pending_output = false;
        {
            SessionHold hold(session);
            if (!exchanged) {
                int result = ssh_handle_key_exchange(session->session);
                if (result == SSH_OK) {
                    exchanged = true;
                    session->event = ssh_event_new();
                    if (session->event == nullptr ||
                        ssh_event_add_session(session->event, session->session) != SSH_OK) {
                        return -1;
                    }
                } else if (result != SSH_AGAIN) {
                    return -1;
                }
            }
            if (exchanged) {
                if (ssh_event_dopoll(session->event, 0) == SSH_ERROR) return -1;
                if (session->attempts > SSH_LOGIN_ATTEMPTS) return -1;
                if (session->authenticated && session->channel != nullptr && session->shell) {
                    *login = session->login;
                    session->breaks = 0;
                    return 0;
                }
                if (session->channel != nullptr &&
                    (session->eof || ssh_channel_is_closed(session->channel) != 0)) {
                    return -1;
                }
            }
            pending_output = ssh_blocking_flush(session->session, 0) == SSH_AGAIN;
            if (!ssh_is_connected(session->session)) return -1;
        }
        bool woken = false;
        if (wait_socket(session, pending_output, session->reader_wake, WAIT_STEP_MS, &woken) != 0) {
            return -1;
        }
    }
}

int ssh_session_send(SshSession *session, const std::uint8_t *data, std::int32_t length,
                     SshGiveUp give_up, void *context, const std::atomic<std::int32_t> *stop_flag) {
    std::int32_t sent = 0;
    for (;;) {
        if (session->cancelled.load() != 0) return -1;
        bool pending_output = false;
        {
            SessionHold hold(session);
            if (sent < length) {
                int written = ssh_channel_write(session->channel, data + sent,
                                                static_cast<std::uint32_t>(length - sent));
                if (written < 0) return -1;
                sent += written;
            }
            // What libssh could not hand to the socket yet waits in its buffer.
            int flushed = ssh_blocking_flush(session->session, 0);
            if (flushed == SSH_ERROR) return -1;
            pending_output = flushed == SSH_AGAIN;
            if (!ssh_is_connected(session->session)) return -1;
            // Writing may have taken the caller's input in: the reader learns of it.
            if (session->inbound.exchange(0) != 0) net_wake_signal(session->reader_wake);
            if (sent == length && !pending_output) return 0;
            // Waiting for the caller's window: what it sends meanwhile is taken in, so that its
            // window adjustment is seen even while the reader cannot take more data.
            if (!pending_output && session->event != nullptr) {
                (void)ssh_event_dopoll(session->event, 0);
                if (session->inbound.exchange(0) != 0) net_wake_signal(session->reader_wake);
                if (ssh_channel_window_size(session->channel) > 0) continue;
            }
        }
        if ((give_up != nullptr && give_up(context) != 0) || stopping(session, stop_flag)) return -1;
        session->writer_waiting.store(1);
        bool woken = false;
        int waited = wait_socket(session, pending_output, session->writer_wake, WAIT_STEP_MS, &woken);
        session->writer_waiting.store(0);
        if (waited != 0) return -1;
    }
}

int ssh_session_wait(SshSession *session, std::uint32_t timeout_ms, std::int32_t *readable) {
    *readable = 0;
    std::uint32_t began = clock_tick_ms();
    for (;;) {
        if (session->receive_cancelled.load() != 0 || session->cancelled.load() != 0) {
            *readable = 1;
            return 0;
        }
        {
            SessionHold hold(session);
            int available = ssh_channel_poll(session->channel, 0);
            session->inbound.store(0);
            if (session->writer_waiting.load() != 0) net_wake_signal(session->writer_wake);
            if (available != 0 || session->breaks > 0 || session->eof ||
                !ssh_is_connected(session->session)) {
                *readable = 1;
                return 0;
            }
        }
        std::uint32_t left = WAIT_FOREVER_MS;
        if (timeout_ms != WAIT_FOREVER_MS) {
            std::uint32_t spent = clock_tick_ms() - began;
            if (spent >= timeout_ms) return 0;
            left = timeout_ms - spent;
        }
        bool woken = false;
        if (wait_socket(session, false, session->reader_wake, left, &woken) != 0) return -1;
    }
}

int ssh_session_receive(SshSession *session, std::uint8_t *buffer, std::int32_t size,
                        SshInput *input) {
    *input = SshInput{};
    for (;;) {
        if (session->receive_cancelled.load() != 0 || session->cancelled.load() != 0) {
            input->closed = 1;
            return 0;
        }
        {
            SessionHold hold(session);
            int count = ssh_channel_read_nonblocking(session->channel, buffer,
                                                     static_cast<std::uint32_t>(size), 0);
            session->inbound.store(0);
            if (session->writer_waiting.load() != 0) net_wake_signal(session->writer_wake);
            if (count == SSH_ERROR) return -1;
            if (count > 0) input->count = count;
            input->breaks = session->breaks;
            session->breaks = 0;
            if (input->count > 0 || input->breaks > 0) return 0;
            if (count == SSH_EOF || session->eof || ssh_channel_is_eof(session->channel) != 0 ||
                !ssh_is_connected(session->session)) {
                input->closed = 1;
                return 0;
            }
        }
        bool woken = false;
        if (wait_socket(session, false, session->reader_wake, WAIT_FOREVER_MS, &woken) != 0) {
            return -1;
        }
    }
}

int ssh_session_discard_one(SshSession *session) {
    if (session->cancelled.load() != 0) return -1;
    SessionHold hold(session);
    std::uint8_t discarded = 0;
    int count = ssh_channel_read_nonblocking(session->channel, &discarded, 1, 0);
    session->inbound.store(0);
    if (count == SSH_ERROR || count == SSH_EOF || session->eof ||
        !ssh_is_connected(session->session)) {
        return -1;
    }
    return 0;
}

void ssh_session_cancel_receive(SshSession *session) {
    session->receive_cancelled.store(1);
    net_wake_signal(session->reader_wake);
}

void ssh_session_cancel(SshSession *session) {
    session->cancelled.store(1);
    session->receive_cancelled.store(1);
    net_cancel(session->socket);
    net_wake_signal(session->reader_wake);
    net_wake_signal(session->writer_wake);
}

void ssh_session_close(SshSession *session) {
    if (session == nullptr) return;
    bool channel_closed = false;
    {
        SessionHold hold(session);
        if (session->channel != nullptr && session->cancelled.load() == 0 &&
            ssh_is_connected(session->session)) {
            (void)ssh_channel_request_send_exit_status(session->channel, 0);
            (void)ssh_channel_send_eof(session->channel);
            (void)ssh_channel_close(session->channel);
            channel_closed = session->event != nullptr;
        }
    }
    // The last packets go out while the caller reads, for a moment at most. After the channel's
    // close the caller's answers are read too, until it ends the connection: a socket closed with
    // its bytes unread is reset, and the reset can cost the caller the exit status before it.
    std::uint32_t began = clock_tick_ms();
    while (session->cancelled.load() == 0 && clock_tick_ms() - began < CLOSE_FLUSH_MS) {
        bool pending_output = false;
        {
            SessionHold hold(session);
            if (channel_closed) (void)ssh_event_dopoll(session->event, 0);
            int flushed = ssh_blocking_flush(session->session, 0);
            if (flushed == SSH_ERROR || !ssh_is_connected(session->session)) break;
            pending_output = flushed == SSH_AGAIN;
            if (!pending_output && !channel_closed) break;
        }
        bool woken = false;
        if (wait_socket(session, pending_output, nullptr, WAIT_STEP_MS, &woken) != 0) break;
    }
    {
        SessionHold hold(session);
        if (session->channel != nullptr) ssh_channel_free(session->channel);
        session->channel = nullptr;
        if (session->event != nullptr) {
            (void)ssh_event_remove_session(session->event, session->session);
            ssh_event_free(session->event);
            session->event = nullptr;
        }
        for (ssh_key key : session->keys) ssh_key_free(key);
        session->keys.clear();
        // Closes the socket too.
        ssh_disconnect(session->session);
        ssh_free(session->session);
    }
    net_wake_close(session->reader_wake);
    net_wake_close(session->writer_wake);
    delete session;
}
