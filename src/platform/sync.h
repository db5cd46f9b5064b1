// Locks and wake-ups shared by the gateway's threads: a binary semaphore used as a mutex and an
// auto-reset event. Any thread may call any of these.
#pragma once

#include <cstdint>

struct Semaphore;  // count 1, maximum 1: taken by one thread at a time
struct Event;      // auto-reset: one successful wait consumes one signal

// A semaphore with count 1 (free). Null on failure.
[[nodiscard]] Semaphore *semaphore_create();
// Takes the semaphore, waiting up to timeout_ms (WAIT_FOREVER_MS from thread.h: no limit).
// 0 when taken, -1 at the time-out.
int semaphore_wait(Semaphore *semaphore, std::uint32_t timeout_ms);
// Gives it back. -1 when it was not taken (the count stays at its maximum of 1).
int semaphore_release(Semaphore *semaphore);
// Destroys it; null is accepted. Nobody may be waiting on it.
void semaphore_close(Semaphore *semaphore);

// An auto-reset event, not signalled. Null on failure.
[[nodiscard]] Event *event_create();
// Signals it; a signal with nobody waiting stays until the next wait takes it.
int event_set(Event *event);
// Waits up to timeout_ms (WAIT_FOREVER_MS: no limit). 0 when signalled (the signal is consumed),
// -1 at the time-out.
int event_wait(Event *event, std::uint32_t timeout_ms);
// Destroys it; null is accepted. Nobody may be waiting on it.
void event_close(Event *event);
