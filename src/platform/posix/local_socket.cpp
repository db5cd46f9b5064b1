// Unix domain sockets behind the local socket contract. The socket file is made with mode 0600,
// and every accepted peer's credentials are read from the kernel (SO_PEERCRED), so that even a
// peer that got through a looser mode is known for what it is.
#include "platform/local_socket.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <new>
#include <vector>

#include "platform/posix/posix_time.h"
#include "platform/thread.h"

struct LocalServer {
    int fd;
    int wake;  // an eventfd: readable once local_server_wake was called
    char name[sizeof(sockaddr_un::sun_path)];
    dev_t device;  // the socket file we made, so that closing removes no other
    ino_t inode;
};

struct LocalConnection {
    int fd;
};

namespace {

constexpr int CONNECT_RETRY_MS = 10;  // between tries to connect to a server with a full queue

bool address_of(const char *name, sockaddr_un *where) {
    std::size_t length = strlen(name);
    if (length == 0 || length >= sizeof where->sun_path) return false;
    memset(where, 0, sizeof *where);
    where->sun_family = AF_UNIX;
    memcpy(where->sun_path, name, length);
    return true;
}

// Waits until fd is ready for `events` or the deadline passes. 1 ready, 0 time-out, -1 error.
int wait_ready(int fd, short events, std::uint64_t deadline_ms) {
    for (;;) {
        std::uint64_t now = posix_monotonic_ms();
        int timeout = now >= deadline_ms ? 0 : static_cast<int>(deadline_ms - now);
        pollfd ready{fd, events, 0};
        int got = poll(&ready, 1, timeout);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) return 0;
        if ((ready.revents & (events | POLLHUP | POLLERR)) != 0) return 1;
        return -1;
    }
}

// True when somebody listens on the socket file.
bool someone_listens(const sockaddr_un &where) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool listening = connect(fd, reinterpret_cast<const sockaddr *>(&where), sizeof where) == 0;
    close(fd);
    return listening;
}

}  // namespace

bool local_socket_supported() { return true; }

LocalServer *local_server_open(const char *name) {
    sockaddr_un where;
    if (!address_of(name, &where)) return nullptr;
    struct stat info;
    if (lstat(name, &info) == 0) {
        // Only a socket that nobody serves any more is ours to replace.
        if (!S_ISSOCK(info.st_mode) || someone_listens(where)) return nullptr;
        unlink(name);
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    // Linux gives the socket file the mode of the socket (less the umask) at bind, so the file
    // never exists with a looser mode; the chmod after bind makes sure of it.
    fchmod(fd, S_IRUSR | S_IWUSR);
    if (bind(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0) {
        close(fd);
        return nullptr;
    }
    if (chmod(name, S_IRUSR | S_IWUSR) != 0 || listen(fd, 8) != 0 || lstat(name, &info) != 0) {
        close(fd);
        unlink(name);
        return nullptr;
    }
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    LocalServer *server =
        wake < 0 ? nullptr : new (std::nothrow) LocalServer{fd, wake, {}, info.st_dev, info.st_ino};
    if (server == nullptr) {
        if (wake >= 0) close(wake);
        close(fd);
        unlink(name);
        return nullptr;
    }
    memcpy(server->name, where.sun_path, sizeof server->name);
    return server;
}

int local_server_accept(LocalServer *server, std::uint32_t timeout_ms, LocalConnection **connection,
                        int *trusted) {
    *connection = nullptr;
    *trusted = 0;
    std::uint64_t deadline_ms = posix_monotonic_ms() + timeout_ms;
    for (;;) {
        std::uint64_t now = posix_monotonic_ms();
        std::uint64_t left = now >= deadline_ms ? 0 : deadline_ms - now;
        int timeout = timeout_ms == WAIT_FOREVER_MS ? -1
                      : left > INT_MAX               ? INT_MAX
                                                     : static_cast<int>(left);
        pollfd ready[2] = {{server->wake, POLLIN, 0}, {server->fd, POLLIN, 0}};
        int got = poll(ready, 2, timeout);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0 || ready[0].revents != 0) return 0;  // the time-out, or woken
        if ((ready[1].revents & (POLLIN | POLLHUP | POLLERR)) == 0) return -1;
        break;
    }
    int fd = accept4(server->fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        // The peer may have given up between the wait and the accept: nothing came after all.
        return errno == EAGAIN || errno == ECONNABORTED || errno == EINTR ? 0 : -1;
    }
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && length == sizeof peer) {
        *trusted = peer.uid == geteuid() || peer.uid == 0 ? 1 : 0;
    }
    *connection = new (std::nothrow) LocalConnection{fd};
    if (*connection == nullptr) {
        close(fd);
        return -1;
    }
    return 0;
}

int local_server_wait(LocalServer *server, LocalConnection *const *connections, std::uint32_t count,
                      std::uint32_t timeout_ms, int *accept_ready, int *ready) {
    *accept_ready = 0;
    for (std::uint32_t i = 0; i < count; ++i) ready[i] = 0;
    std::vector<pollfd> polled(count + 2);
    polled[0] = {server->wake, POLLIN, 0};
    polled[1] = {server->fd, POLLIN, 0};
    for (std::uint32_t i = 0; i < count; ++i) polled[i + 2] = {connections[i]->fd, POLLIN, 0};
    std::uint64_t deadline_ms = posix_monotonic_ms() + timeout_ms;
    for (;;) {
        std::uint64_t now = posix_monotonic_ms();
        std::uint64_t left = now >= deadline_ms ? 0 : deadline_ms - now;
        int timeout = timeout_ms == WAIT_FOREVER_MS ? -1
                      : left > INT_MAX               ? INT_MAX
                                                     : static_cast<int>(left);
        int got = poll(polled.data(), polled.size(), timeout);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        break;
    }
    if (polled[0].revents != 0) return 0;  // woken: nothing else counts
    constexpr short READY = POLLIN | POLLHUP | POLLERR;
    *accept_ready = (polled[1].revents & READY) != 0 ? 1 : 0;
    for (std::uint32_t i = 0; i < count; ++i) ready[i] = (polled[i + 2].revents & READY) != 0 ? 1 : 0;
    return 0;
}

void local_server_wake(LocalServer *server) {
    std::uint64_t one = 1;
    (void)!write(server->wake, &one, sizeof one);
}

void local_server_close(LocalServer *server) {
    if (server == nullptr) return;
    close(server->wake);
    close(server->fd);
    struct stat info;
    if (lstat(server->name, &info) == 0 && info.st_dev == server->device &&
        info.st_ino == server->inode) {
        unlink(server->name);
    }
    delete server;
}

int local_connect(const char *name, std::uint32_t timeout_ms, LocalConnection **connection) {
    *connection = nullptr;
    sockaddr_un where;
    if (!address_of(name, &where)) return LOCAL_FAILED;
    // Without blocking: a connect to a server whose queue is full would otherwise wait until the
    // server takes one, which a server that hangs never does.
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return LOCAL_FAILED;
    std::uint64_t deadline_ms = posix_monotonic_ms() + timeout_ms;
    for (;;) {
        if (connect(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) == 0) break;
        int error = errno;
        if (error == EINTR) continue;
        // A full queue: a local socket says so at once rather than later; tried again until the
        // deadline, the socket staying unconnected meanwhile.
        if (error == EAGAIN && posix_monotonic_ms() < deadline_ms) {
            (void)poll(nullptr, 0, CONNECT_RETRY_MS);
            continue;
        }
        close(fd);
        if (error == ENOENT || error == ECONNREFUSED || error == ENOTDIR) return LOCAL_NOBODY;
        if (error == EACCES || error == EPERM) return LOCAL_DENIED;
        return LOCAL_FAILED;
    }
    *connection = new (std::nothrow) LocalConnection{fd};
    if (*connection == nullptr) {
        close(fd);
        return LOCAL_FAILED;
    }
    return LOCAL_CONNECTED;
}

int local_send(LocalConnection *connection, const void *data, std::uint32_t length,
               std::uint32_t timeout_ms) {
    std::uint64_t deadline = posix_monotonic_ms() + timeout_ms;
    const char *at = static_cast<const char *>(data);
    std::uint32_t done = 0;
    while (done < length) {
        ssize_t sent = send(connection->fd, at + done, length - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            done += static_cast<std::uint32_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return -1;
        if (wait_ready(connection->fd, POLLOUT, deadline) != 1) return -1;
    }
    return 0;
}

int local_receive(LocalConnection *connection, void *buffer, std::uint32_t length,
                  std::uint32_t timeout_ms, std::uint32_t *received) {
    *received = 0;
    int ready = wait_ready(connection->fd, POLLIN, posix_monotonic_ms() + timeout_ms);
    if (ready < 0) return -1;
    if (ready == 0) return LOCAL_TIMED_OUT;
    for (;;) {
        ssize_t got = recv(connection->fd, buffer, length, MSG_DONTWAIT);
        if (got >= 0) {
            *received = static_cast<std::uint32_t>(got);
            return LOCAL_RECEIVED;
        }
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? LOCAL_TIMED_OUT : -1;
    }
}

void local_close(LocalConnection *connection) {
    if (connection == nullptr) return;
    close(connection->fd);
    delete connection;
}
