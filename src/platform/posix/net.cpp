// BSD sockets behind the net contract. poll rather than select: select's fixed descriptor set
// overflows for descriptors of 1024 and above, which a busy process can reach.
#include "platform/net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>

#include "platform/fault.h"
#include "platform/posix/posix_time.h"

static int descriptor(NetSocket socket) { return static_cast<int>(socket); }

static sockaddr_in ipv4_address(std::uint32_t address, std::uint16_t port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = htonl(address);
    return where;
}

// Nothing to start on Linux: the sockets are the kernel's.
int net_start() { return 0; }

void net_stop() {}

NetSocket net_listen(std::uint32_t address, std::uint16_t port, int backlog) {
    if (platform_fault_fires()) return NET_NO_SOCKET;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return NET_NO_SOCKET;
    // Without it a restarted server cannot bind while its last connections sit in TIME_WAIT.
    // Linux still refuses a second listener on the same port, so the port stays ours alone.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in where = ipv4_address(address, port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0 ||
        listen(fd, backlog) != 0) {
        close(fd);
        return NET_NO_SOCKET;
    }
    return fd;
}

int net_local_port(NetSocket socket, std::uint16_t *port) {
    sockaddr_in where{};
    socklen_t length = sizeof where;
    if (getsockname(descriptor(socket), reinterpret_cast<sockaddr *>(&where), &length) != 0 ||
        where.sin_family != AF_INET) {
        return -1;
    }
    *port = ntohs(where.sin_port);
    return 0;
}

NetSocket net_accept(NetSocket listener, std::uint32_t *address) {
    if (platform_fault_fires()) return NET_NO_SOCKET;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int fd;
    do {
        fd = accept4(descriptor(listener), reinterpret_cast<sockaddr *>(&peer), &length,
                     SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return NET_NO_SOCKET;
    // Urgent data (a telnet Synch's DM) stays in the byte stream: taken out of band it would leave
    // a lone IAC that swallows the following byte.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
    // A caller whose network vanished is given up after about two minutes of silence.
    int idle = NET_KEEPALIVE_IDLE_S;
    int interval = NET_KEEPALIVE_INTERVAL_S;
    int count = NET_KEEPALIVE_COUNT;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    // What the relay hands over goes out at once. With Nagle's algorithm the short tail of a
    // message longer than one read from the device would wait for the caller's delayed
    // acknowledgement (40 ms here, up to 200 ms on Windows), once for every message.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    *address = ntohl(peer.sin_addr.s_addr);
    return fd;
}

int net_keepalive_of(NetSocket socket, NetKeepalive *keepalive) {
    *keepalive = NetKeepalive{0, -1, -1, -1};
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(descriptor(socket), SOL_SOCKET, SO_KEEPALIVE, &value, &length) != 0) return -1;
    keepalive->on = value;
    struct Option {
        int name;
        std::int32_t *field;
    } options[] = {{TCP_KEEPIDLE, &keepalive->idle_s},
                   {TCP_KEEPINTVL, &keepalive->interval_s},
                   {TCP_KEEPCNT, &keepalive->count}};
    for (const Option &option : options) {
        length = sizeof value;
        if (getsockopt(descriptor(socket), IPPROTO_TCP, option.name, &value, &length) == 0) {
            *option.field = value;
        }
    }
    return 0;
}

int net_no_delay_of(NetSocket socket, std::int32_t *on) {
    *on = 0;
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(descriptor(socket), IPPROTO_TCP, TCP_NODELAY, &value, &length) != 0) return -1;
    *on = value != 0 ? 1 : 0;
    return 0;
}

int net_hold_sends(NetSocket socket, std::int32_t hold) {
    // TCP_CORK overrides TCP_NODELAY while on; turning it off sends what it held.
    int on = hold != 0 ? 1 : 0;
    return setsockopt(descriptor(socket), IPPROTO_TCP, TCP_CORK, &on, sizeof on) == 0 ? 0 : -1;
}

int net_send_urgent(NetSocket socket, std::uint8_t byte) {
    return send(descriptor(socket), &byte, 1, MSG_OOB | MSG_NOSIGNAL) == 1 ? 0 : -1;
}

NetSocket net_connect(std::uint32_t address, std::uint16_t port) {
    return net_connect_from(NET_ANY_ADDRESS, address, port);
}

NetSocket net_connect_from(std::uint32_t source, std::uint32_t address, std::uint16_t port) {
    if (platform_fault_fires()) return NET_NO_SOCKET;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return NET_NO_SOCKET;
    sockaddr_in local = ipv4_address(source, 0);
    if (source != NET_ANY_ADDRESS &&
        bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        close(fd);
        return NET_NO_SOCKET;
    }
    sockaddr_in where = ipv4_address(address, port);
    // A connect interrupted by a signal goes on in the background; it is not restarted.
    if (connect(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0) {
        close(fd);
        return NET_NO_SOCKET;
    }
    return fd;
}

int net_wait(NetSocket socket, std::int32_t events, std::uint32_t timeout_ms,
             std::int32_t *ready) {
    *ready = 0;
    // poll passes over a negative descriptor in silence; "not a socket" is a failed wait.
    if (socket == NET_NO_SOCKET || platform_fault_fires()) return -1;
    pollfd entry{};
    entry.fd = descriptor(socket);
    if (events & NET_READABLE) entry.events |= POLLIN;
    if (events & NET_EXCEPTION) entry.events |= POLLPRI;
    if (events & NET_WRITABLE) entry.events |= POLLOUT;
    std::uint64_t deadline = posix_monotonic_ms() + timeout_ms;
    for (;;) {
        std::uint64_t now = posix_monotonic_ms();
        std::uint64_t left = deadline > now ? deadline - now : 0;
        int result = poll(&entry, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (result < 0 && errno == EINTR) continue;
        if (result < 0 || (entry.revents & POLLNVAL)) return -1;
        if (result == 0) {
            if (left > INT_MAX) continue;
            return 0;
        }
        break;
    }
    // As select does: a hang-up or an error counts as readable, so that the receive that follows
    // sees the end of the stream or the error.
    if ((events & NET_READABLE) && (entry.revents & (POLLIN | POLLHUP | POLLERR))) {
        *ready |= NET_READABLE;
    }
    if ((events & NET_EXCEPTION) && (entry.revents & POLLPRI)) *ready |= NET_EXCEPTION;
    // An error or a hang-up makes the next send fail at once: as good as writable.
    if ((events & NET_WRITABLE) && (entry.revents & (POLLOUT | POLLHUP | POLLERR))) {
        *ready |= NET_WRITABLE;
    }
    return 0;
}

int net_send(NetSocket socket, const std::uint8_t *data, std::int32_t length,
             std::int32_t *sent) {
    *sent = 0;
    if (length <= 0) return 0;
    if (send_fault_fires()) return -1;
    ssize_t result;
    do {
        // MSG_NOSIGNAL: a peer that has gone away gives EPIPE here instead of killing the process
        // with SIGPIPE.
        result = send(descriptor(socket), data, static_cast<size_t>(length), MSG_NOSIGNAL);
    } while (result < 0 && errno == EINTR);
    if (result <= 0) return -1;
    *sent = static_cast<std::int32_t>(result);
    return 0;
}

int net_send_within(NetSocket socket, const std::uint8_t *data, std::int32_t length,
                    std::uint32_t timeout_ms, std::int32_t *sent) {
    *sent = 0;
    if (length <= 0) return 0;
    if (send_fault_fires()) return -1;
    std::uint64_t deadline = posix_monotonic_ms() + timeout_ms;
    for (;;) {
        // MSG_DONTWAIT: a blocking send would wait until every byte is queued, however long the
        // peer keeps its window shut.
        ssize_t result = send(descriptor(socket), data, static_cast<size_t>(length),
                              MSG_NOSIGNAL | MSG_DONTWAIT);
        if (result > 0) {
            *sent = static_cast<std::int32_t>(result);
            return 0;
        }
        if (result < 0 && errno == EINTR) continue;
        if (result == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return -1;
        std::uint64_t now = posix_monotonic_ms();
        if (now >= deadline) return 0;
        std::uint64_t left = deadline - now;
        pollfd entry{descriptor(socket), POLLOUT, 0};
        int ready = poll(&entry, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (ready < 0 && errno != EINTR) return -1;
        if (ready > 0 && (entry.revents & POLLNVAL)) return -1;
        // POLLERR and POLLHUP: the next send reports the error.
    }
}

int net_receive(NetSocket socket, std::uint8_t *buffer, std::int32_t length,
                std::int32_t *received) {
    *received = 0;
    if (length <= 0) return 0;
    if (platform_fault_fires()) return -1;
    ssize_t result;
    do {
        result = recv(descriptor(socket), buffer, static_cast<size_t>(length), 0);
    } while (result < 0 && errno == EINTR);
    if (result < 0) return -1;
    *received = static_cast<std::int32_t>(result);
    return 0;
}

void net_cancel(NetSocket socket) {
    // Shutting both directions down wakes every thread blocked on the socket: poll reports it
    // readable (a hang-up), recv returns 0, send fails with EPIPE, accept on a listening socket
    // fails. The descriptor stays valid, so no other thread can meet a reused number.
    shutdown(descriptor(socket), SHUT_RDWR);
}

void net_cancel_receive(NetSocket socket) {
    // Wakes a poll or recv on the socket (it reports the end of the stream); sends go on.
    shutdown(descriptor(socket), SHUT_RD);
}

int net_cancel_receive_ends_waits() { return 1; }

void net_close(NetSocket *socket) {
    if (*socket == NET_NO_SOCKET) return;
    // Not retried on EINTR: Linux has released the descriptor either way.
    close(descriptor(*socket));
    *socket = NET_NO_SOCKET;
}

// The test hook's stand-in for the name service; null: the system's.
static std::atomic<const NetNameService *> name_service{nullptr};

void net_replace_name_service(const NetNameService *service) { name_service.store(service); }

int net_lookup_name(std::uint32_t address, char *name, std::int32_t size) {
    if (size <= 0) return -1;
    name[0] = '\0';
    lookup_delay();
    if (platform_fault_fires()) return -1;
    if (const NetNameService *stand_in = name_service.load()) {
        if (stand_in->lookup_name(address, name, size) == 0 && name[0] != '\0') return 0;
        name[0] = '\0';
        return -1;
    }
    sockaddr_in where = ipv4_address(address, 0);
    // getnameinfo rather than gethostbyaddr: it is thread-safe. NI_NAMEREQD: no name is "none",
    // not the dotted address. A name longer than the buffer fails (EAI_OVERFLOW).
    if (getnameinfo(reinterpret_cast<sockaddr *>(&where), sizeof where, name,
                    static_cast<socklen_t>(size), nullptr, 0, NI_NAMEREQD) != 0) {
        name[0] = '\0';
        return -1;
    }
    return name[0] != '\0' ? 0 : -1;
}

int net_lookup_addresses(const char *name, std::uint32_t *addresses, std::int32_t capacity,
                         std::int32_t *count) {
    *count = 0;
    if (capacity <= 0 || platform_fault_fires()) return -1;
    if (const NetNameService *stand_in = name_service.load()) {
        if (stand_in->lookup_addresses(name, addresses, capacity, count) == 0 && *count > 0) {
            return 0;
        }
        *count = 0;
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *list = nullptr;
    // A reverse zone can name an address "10.1.2.3": getaddrinfo would read that as the address
    // itself, without asking anyone.
    if (getaddrinfo(name, nullptr, &hints, &list) == 0) {
        freeaddrinfo(list);
        return -1;
    }
    // No AI_ADDRCONFIG: it would find nothing on a machine with only loopback addresses.
    hints = addrinfo{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    list = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &list) != 0) return -1;
    for (addrinfo *entry = list; entry != nullptr && *count < capacity; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || entry->ai_addrlen < sizeof(sockaddr_in)) continue;
        const sockaddr_in *found = reinterpret_cast<const sockaddr_in *>(entry->ai_addr);
        addresses[(*count)++] = ntohl(found->sin_addr.s_addr);
    }
    freeaddrinfo(list);
    return *count > 0 ? 0 : -1;
}
