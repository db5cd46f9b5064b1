// Threads of the gateway's workers: start (optionally held until released), join with a time-out.
// No thread is ever killed; a thread that must end early is made to end by cancelling its I/O.
#pragma once

#include <cstdint>

struct Thread;  // opaque; belongs to whoever started it until thread_close

using ThreadEntry = std::uint32_t (*)(void *arg);

constexpr std::uint32_t WAIT_FOREVER_MS = 0xFFFFFFFFu;

// Starts entry(arg) on a new thread. With held non-zero the thread exists but does not run entry
// until thread_release (the "created suspended" start). Returns null when no thread could be made.
[[nodiscard]] Thread *thread_start(ThreadEntry entry, void *arg, int held);

// Lets a held thread run. -1 when the thread was not held (or was released already).
int thread_release(Thread *thread);

// Waits up to timeout_ms (WAIT_FOREVER_MS: no limit) for the thread's entry to return.
// 0 when it has ended, -1 when it is still running at the time-out.
[[nodiscard]] int thread_join(Thread *thread, std::uint32_t timeout_ms);

// The value the entry returned. -1 while the thread still runs.
int thread_exit_code(Thread *thread, std::uint32_t *code);

// Releases the handle. Allowed while the thread still runs: it then goes on detached. A held thread
// that was never released is released first, so it ends as soon as its entry returns.
void thread_close(Thread *thread);
