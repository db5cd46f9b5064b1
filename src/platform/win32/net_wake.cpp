// Windows offers no wake-up that a select on blocking sockets can wait for: net_wake_create gives
// null, and the callers keep their bounded cycles there. Several sockets are waited on with select.
#include "platform/net_wake.h"

#include <winsock2.h>
#include <windows.h>

#include "platform/fault.h"
#include "platform/thread.h"

NetWake *net_wake_create() { return nullptr; }

void net_wake_close(NetWake *) {}

void net_wake_signal(NetWake *) {}

int net_wake_take(NetWake *) { return 0; }

int net_wait_many(const NetSocket *sockets, const std::int32_t *events, std::int32_t count,
                  NetWake *wake, std::uint32_t timeout_ms, std::int32_t *ready,
                  std::int32_t *woken) {
    *woken = 0;
    if (wake != nullptr || count < 0 || count > FD_SETSIZE || platform_fault_fires()) return -1;
    fd_set readable;
    fd_set writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    for (std::int32_t i = 0; i < count; ++i) {
        ready[i] = 0;
        SOCKET handle = static_cast<SOCKET>(sockets[i]);
        if (events[i] & NET_READABLE) FD_SET(handle, &readable);
        if (events[i] & NET_WRITABLE) FD_SET(handle, &writable);
    }
    timeval timeout;
    timeout.tv_sec = static_cast<long>(timeout_ms / 1000);
    timeout.tv_usec = static_cast<long>(timeout_ms % 1000) * 1000;
    // The first argument is ignored by Winsock; an empty set with no limit would wait for ever.
    int result = select(0, count > 0 ? &readable : nullptr, count > 0 ? &writable : nullptr,
                        nullptr, timeout_ms == WAIT_FOREVER_MS ? nullptr : &timeout);
    if (result == SOCKET_ERROR) return -1;
    for (std::int32_t i = 0; i < count; ++i) {
        SOCKET handle = static_cast<SOCKET>(sockets[i]);
        if (FD_ISSET(handle, &readable)) ready[i] |= NET_READABLE;
        if (FD_ISSET(handle, &writable)) ready[i] |= NET_WRITABLE;
    }
    return 0;
}
