// Wake-ups beside sockets for Linux: an eventfd polled with the sockets.
#include "platform/net_wake.h"

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <climits>
#include <new>
#include <vector>

#include "platform/fault.h"
#include "platform/posix/posix_time.h"
#include "platform/thread.h"

struct NetWake {
    int fd = -1;
};

NetWake *net_wake_create() {
    if (platform_fault_fires()) return nullptr;
    NetWake *wake = new (std::nothrow) NetWake();
    if (wake == nullptr) return nullptr;
    wake->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake->fd < 0) {
        delete wake;
        return nullptr;
    }
    return wake;
}

void net_wake_close(NetWake *wake) {
    if (wake == nullptr) return;
    close(wake->fd);
    delete wake;
}

void net_wake_signal(NetWake *wake) {
    if (wake == nullptr) return;
    std::uint64_t one = 1;
    // A full counter is signalled already; nothing else can fail on a valid eventfd.
    while (write(wake->fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

int net_wake_take(NetWake *wake) {
    if (wake == nullptr) return 0;
    std::uint64_t count = 0;
    ssize_t got;
    do {
        got = read(wake->fd, &count, sizeof count);
    } while (got < 0 && errno == EINTR);
    return got == sizeof count && count != 0 ? 1 : 0;
}

int net_wait_many(const NetSocket *sockets, const std::int32_t *events, std::int32_t count,
                  NetWake *wake, std::uint32_t timeout_ms, std::int32_t *ready,
                  std::int32_t *woken) {
    *woken = 0;
    if (count < 0 || platform_fault_fires()) return -1;
    std::vector<pollfd> entries(static_cast<std::size_t>(count) + (wake != nullptr ? 1 : 0));
    for (std::int32_t i = 0; i < count; ++i) {
        ready[i] = 0;
        if (sockets[i] == NET_NO_SOCKET) return -1;
        pollfd &entry = entries[static_cast<std::size_t>(i)];
        entry.fd = static_cast<int>(sockets[i]);
        if (events[i] & NET_READABLE) entry.events |= POLLIN;
        if (events[i] & NET_WRITABLE) entry.events |= POLLOUT;
    }
    if (wake != nullptr) {
        entries.back().fd = wake->fd;
        entries.back().events = POLLIN;
    }
    bool forever = timeout_ms == WAIT_FOREVER_MS;
    std::uint64_t deadline = posix_monotonic_ms() + (forever ? 0 : timeout_ms);
    for (;;) {
        int wait_ms = -1;
        if (!forever) {
            std::uint64_t now = posix_monotonic_ms();
            std::uint64_t left = deadline > now ? deadline - now : 0;
            wait_ms = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        int result = poll(entries.data(), entries.size(), wait_ms);
        if (result < 0 && errno == EINTR) continue;
        if (result < 0) return -1;
        if (result == 0 && !forever && posix_monotonic_ms() < deadline) continue;
        break;
    }
    for (const pollfd &entry : entries) {
        if (entry.revents & POLLNVAL) return -1;
    }
    for (std::int32_t i = 0; i < count; ++i) {
        short revents = entries[static_cast<std::size_t>(i)].revents;
        // As net_wait: a hang-up or an error counts as readable and as writable, so that the call
        // that follows sees it.
        if ((events[i] & NET_READABLE) && (revents & (POLLIN | POLLHUP | POLLERR))) {
            ready[i] |= NET_READABLE;
        }
        if ((events[i] & NET_WRITABLE) && (revents & (POLLOUT | POLLHUP | POLLERR))) {
            ready[i] |= NET_WRITABLE;
        }
    }
    if (wake != nullptr && (entries.back().revents & POLLIN)) *woken = 1;
    return 0;
}
