// Test hooks that make platform calls fail, so that every error path of a scenario can be walked:
// the n-th fallible call from now fails as the operating system would fail it. Counted are the
// calls that can fail for reasons outside the program: sockets (listen, accept, wait, send,
// receive, lookup, connect), serial devices (open, settings, time-outs, read, write, lines, break,
// purge), files, thread starts and the creation of locks and events. Releases (close, cancel) and
// waits on the program's own locks never fail and are not counted.
#pragma once

#include <cstdint>

// The n-th counted call from now, on any thread that is not exempt, fails; 0 disarms. Any thread.
void platform_fail_call(std::int32_t n);

// Counted calls made so far by threads that are not exempt (whether armed or not). Any thread.
std::int64_t platform_calls_counted();

// With exempt non-zero, the calling thread's calls are neither counted nor failed: a test's own
// side of a scenario (its callers, its checks) stays out of the count. The calling thread.
void platform_fault_exempt_thread(int exempt);
