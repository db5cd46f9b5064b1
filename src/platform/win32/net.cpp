// Winsock 2 behind the net contract. Winsock 2 has no WSACancelBlockingCall; a blocked call is
// cancelled as pending I/O of the socket's handle instead (see net_cancel).
#include "platform/net.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <atomic>

#include "platform/fault.h"

// The per-socket keepalive options of Windows 10 1709 and later (ws2ipdef.h of the Windows SDK;
// mingw-w64 lacks them).
#ifndef TCP_KEEPALIVE
#define TCP_KEEPALIVE 3
#endif
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif
#ifndef TCP_KEEPINTVL
#define TCP_KEEPINTVL 17
#endif

static SOCKET handle_of(NetSocket socket) { return static_cast<SOCKET>(socket); }

// A caller whose network vanished is given up after about two minutes of silence. The options of
// newer systems set all three values; older ones take idle time and interval by ioctl and send 10
// probes, which is NET_KEEPALIVE_COUNT.
static void keepalive_on(SOCKET handle) {
    static_assert(NET_KEEPALIVE_COUNT == 10);
    DWORD on = TRUE, idle = NET_KEEPALIVE_IDLE_S, interval = NET_KEEPALIVE_INTERVAL_S,
          count = NET_KEEPALIVE_COUNT;
    setsockopt(handle, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char *>(&on), sizeof on);
    if (setsockopt(handle, IPPROTO_TCP, TCP_KEEPALIVE, reinterpret_cast<const char *>(&idle),
                   sizeof idle) == 0 &&
        setsockopt(handle, IPPROTO_TCP, TCP_KEEPINTVL, reinterpret_cast<const char *>(&interval),
                   sizeof interval) == 0) {
        setsockopt(handle, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char *>(&count),
                   sizeof count);
        return;
    }
    tcp_keepalive values{1, idle * 1000, interval * 1000};
    DWORD returned = 0;
    WSAIoctl(handle, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
             nullptr);
}

static sockaddr_in ipv4_address(std::uint32_t address, std::uint16_t port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = htonl(address);
    return where;
}

// INVALID_SOCKET is ~0, which is NET_NO_SOCKET (-1) as a signed pointer-sized integer.
static_assert(static_cast<NetSocket>(INVALID_SOCKET) == NET_NO_SOCKET);
static_assert(sizeof(NetSocket) == sizeof(SOCKET));

int net_start() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : -1;
}

void net_stop() { WSACleanup(); }

NetSocket net_listen(std::uint32_t address, std::uint16_t port, int backlog) {
    if (platform_fault_fires()) return NET_NO_SOCKET;
    SOCKET handle = ::socket(AF_INET, SOCK_STREAM, 0);
    if (handle == INVALID_SOCKET) return NET_NO_SOCKET;
    // No SO_REUSEADDR: on Windows it would let a second program bind the same port.
    sockaddr_in where = ipv4_address(address, port);
    if (bind(handle, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0 ||
        listen(handle, backlog) != 0) {
        closesocket(handle);
        return NET_NO_SOCKET;
    }
    return static_cast<NetSocket>(handle);
}

int net_local_port(NetSocket socket, std::uint16_t *port) {
    sockaddr_in where{};
    int length = sizeof where;
    if (getsockname(handle_of(socket), reinterpret_cast<sockaddr *>(&where), &length) != 0 ||
        where.sin_family != AF_INET) {
        return -1;
    }
    *port = ntohs(where.sin_port);
    return 0;
}

NetSocket net_accept(NetSocket listener, std::uint32_t *address) {
    if (platform_fault_fires()) return NET_NO_SOCKET;
    sockaddr_in peer{};
    int length = sizeof peer;
    SOCKET handle = accept(handle_of(listener), reinterpret_cast<sockaddr *>(&peer), &length);
    if (handle == INVALID_SOCKET) return NET_NO_SOCKET;
    // Urgent data (a telnet Synch's DM) stays in the byte stream: taken out of band it would leave
    // a lone IAC that swallows the following byte.
    BOOL on = TRUE;
    setsockopt(handle, SOL_SOCKET, SO_OOBINLINE, reinterpret_cast<const char *>(&on), sizeof on);
    keepalive_on(handle);
    // What the relay hands over goes out at once. With Nagle's algorithm the short tail of a
    // message longer than one read from the device would wait for the caller's delayed
    // acknowledgement (up to 200 ms), once for every message.
    setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
    *address = ntohl(peer.sin_addr.s_addr);
    return static_cast<NetSocket>(handle);
}

int net_keepalive_of(NetSocket socket, NetKeepalive *keepalive) {
    *keepalive = NetKeepalive{0, -1, -1, -1};
    DWORD value = 0;
    int length = sizeof value;
    if (getsockopt(handle_of(socket), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char *>(&value),
                   &length) != 0) {
        return -1;
    }
    keepalive->on = value != 0 ? 1 : 0;
    struct Option {
        int name;
        std::int32_t *field;
    } options[] = {{TCP_KEEPALIVE, &keepalive->idle_s},
                   {TCP_KEEPINTVL, &keepalive->interval_s},
                   {TCP_KEEPCNT, &keepalive->count}};
    for (const Option &option : options) {
        value = 0;
        length = sizeof value;
        if (getsockopt(handle_of(socket), IPPROTO_TCP, option.name,
                       reinterpret_cast<char *>(&value), &length) == 0) {
            *option.field = static_cast<std::int32_t>(value);
        }
    }
    return 0;
}

int net_no_delay_of(NetSocket socket, std::int32_t *on) {
    *on = 0;
    // Some systems answer with a single byte: the rest of the zeroed value stays zero.
    DWORD value = 0;
    int length = sizeof value;
    if (getsockopt(handle_of(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char *>(&value),
                   &length) != 0) {
        return -1;
    }
    *on = value != 0 ? 1 : 0;
    return 0;
}

// Winsock has nothing like TCP_CORK: sends go at once.
int net_hold_sends(NetSocket, std::int32_t) { return 0; }

int net_send_urgent(NetSocket socket, std::uint8_t byte) {
    return send(handle_of(socket), reinterpret_cast<const char *>(&byte), 1, MSG_OOB) == 1 ? 0
                                                                                          : -1;
}

NetSocket net_connect(std::uint32_t address, std::uint16_t port) {
    return net_connect_from(NET_ANY_ADDRESS, address, port);
}

NetSocket net_connect_from(std::uint32_t source, std::uint32_t address, std::uint16_t port) {
    if (platform_fault_fires()) return NET_NO_SOCKET;
    SOCKET handle = ::socket(AF_INET, SOCK_STREAM, 0);
    if (handle == INVALID_SOCKET) return NET_NO_SOCKET;
    sockaddr_in local = ipv4_address(source, 0);
    if (source != NET_ANY_ADDRESS &&
        bind(handle, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        closesocket(handle);
        return NET_NO_SOCKET;
    }
    sockaddr_in where = ipv4_address(address, port);
    if (connect(handle, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0) {
        closesocket(handle);
        return NET_NO_SOCKET;
    }
    return static_cast<NetSocket>(handle);
}

int net_wait(NetSocket socket, std::int32_t events, std::uint32_t timeout_ms,
             std::int32_t *ready) {
    *ready = 0;
    if (platform_fault_fires()) return -1;
    fd_set readable;
    fd_set writable;
    fd_set exceptional;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&exceptional);
    if (events & NET_READABLE) FD_SET(handle_of(socket), &readable);
    if (events & NET_WRITABLE) FD_SET(handle_of(socket), &writable);
    if (events & NET_EXCEPTION) FD_SET(handle_of(socket), &exceptional);
    timeval timeout;
    timeout.tv_sec = static_cast<long>(timeout_ms / 1000);
    timeout.tv_usec = static_cast<long>(timeout_ms % 1000) * 1000;
    // The first argument is ignored by Winsock.
    int result = select(0, &readable, &writable, &exceptional, &timeout);
    if (result == SOCKET_ERROR) return -1;
    if (FD_ISSET(handle_of(socket), &readable)) *ready |= NET_READABLE;
    if (FD_ISSET(handle_of(socket), &writable)) *ready |= NET_WRITABLE;
    if (FD_ISSET(handle_of(socket), &exceptional)) *ready |= NET_EXCEPTION;
    return 0;
}

int net_send(NetSocket socket, const std::uint8_t *data, std::int32_t length,
             std::int32_t *sent) {
    *sent = 0;
    if (length <= 0) return 0;
    if (send_fault_fires()) return -1;
    int result = send(handle_of(socket), reinterpret_cast<const char *>(data), length, 0);
    if (result <= 0) return -1;  // SOCKET_ERROR, or nothing taken
    *sent = result;
    return 0;
}

int net_send_within(NetSocket socket, const std::uint8_t *data, std::int32_t length,
                    std::uint32_t timeout_ms, std::int32_t *sent) {
    *sent = 0;
    if (length <= 0) return 0;
    if (send_fault_fires()) return -1;
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(handle_of(socket), &writable);
    timeval timeout;
    timeout.tv_sec = static_cast<long>(timeout_ms / 1000);
    timeout.tv_usec = static_cast<long>(timeout_ms % 1000) * 1000;
    // A connection that failed is reported writable too: the send below then fails.
    if (select(0, nullptr, &writable, nullptr, &timeout) == SOCKET_ERROR) return -1;
    if (!FD_ISSET(handle_of(socket), &writable)) return 0;
    // A socket reported writable has room in Winsock's send buffer, which then takes the whole
    // send at once (it may overfill): this blocking send does not wait for the peer.
    int result = send(handle_of(socket), reinterpret_cast<const char *>(data), length, 0);
    if (result <= 0) return -1;
    *sent = result;
    return 0;
}

int net_receive(NetSocket socket, std::uint8_t *buffer, std::int32_t length,
                std::int32_t *received) {
    *received = 0;
    if (length <= 0) return 0;
    if (platform_fault_fires()) return -1;
    int result = recv(handle_of(socket), reinterpret_cast<char *>(buffer), length, 0);
    if (result == SOCKET_ERROR) return -1;
    *received = result;
    return 0;
}

void net_cancel(NetSocket socket) {
    // shutdown alone does not wake a call already blocked (select, recv, send, accept); it makes
    // later sends and receives fail at once. The blocked call itself is Winsock I/O pending on the
    // socket's handle, which CancelIoEx ends for any thread, with WSA_OPERATION_ABORTED. A
    // listening socket refuses the shutdown (not connected); the cancel still wakes its waiter.
    shutdown(handle_of(socket), SD_BOTH);
    CancelIoEx(reinterpret_cast<HANDLE>(handle_of(socket)), nullptr);
}

void net_cancel_receive(NetSocket socket) {
    // No shutdown(SD_RECEIVE): Winsock resets a connection whose receiving half is shut while the
    // peer's data is queued or still arriving, and the message meant to go out next would be
    // lost. A blocked receive is cancelled; a wait runs to its (bounded) time-out.
    CancelIoEx(reinterpret_cast<HANDLE>(handle_of(socket)), nullptr);
}

int net_cancel_receive_ends_waits() { return 0; }

void net_close(NetSocket *socket) {
    if (*socket == NET_NO_SOCKET) return;
    closesocket(handle_of(*socket));
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
    // NI_NAMEREQD: no name is "none", not the dotted address. A name longer than the buffer fails.
    if (getnameinfo(reinterpret_cast<sockaddr *>(&where), sizeof where, name,
                    static_cast<DWORD>(size), nullptr, 0, NI_NAMEREQD) != 0) {
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
