// Waiting on several sockets and a wake-up at once: the Linux listener sleeps on every listening
// socket and its stop wake-up together, and an SSH call's reader on its socket and the wake-up
// that its other thread (or its end) gives it. Where the system offers no such wake-up (Windows),
// net_wake_create gives null and the callers keep their bounded, polling cycles.
#pragma once

#include <cstdint>

#include "platform/net.h"

struct NetWake;  // opaque; belongs to whoever created it until net_wake_close

// A wake-up, not signalled. Null where the system offers none, or on failure.
[[nodiscard]] NetWake *net_wake_create();
// Null is accepted. The owner, once no other thread signals or waits on it.
void net_wake_close(NetWake *wake);
// Signals the wake-up; it stays signalled until taken. Any thread.
void net_wake_signal(NetWake *wake);
// Takes the signal: 1 when it was signalled, 0 when not. The waiting thread.
int net_wake_take(NetWake *wake);

// Waits up to timeout_ms (WAIT_FOREVER_MS from thread.h: no limit) until one of sockets[i] meets
// one of events[i] (NET_READABLE, NET_WRITABLE, as net_wait) or the wake-up is signalled (null:
// none). ready[i] receives the conditions found for each socket; *woken is 1 when the wake-up is
// signalled (the signal is not taken). -1 when the wait itself failed (a socket not open, no
// wake-up support). One waiting thread per wake-up.
[[nodiscard]] int net_wait_many(const NetSocket *sockets, const std::int32_t *events,
                                std::int32_t count, NetWake *wake, std::uint32_t timeout_ms,
                                std::int32_t *ready, std::int32_t *woken);
