// Time helpers shared by the POSIX backend: every timed wait runs on the monotonic clock, so that
// a change of the wall clock never stretches or cuts a time-out.
#pragma once

#include <pthread.h>
#include <time.h>

#include <cstdint>

// A condition variable whose timed waits use CLOCK_MONOTONIC.
void posix_cond_init_monotonic(pthread_cond_t *cond);
// The CLOCK_MONOTONIC time timeout_ms from now.
timespec posix_deadline_after(std::uint32_t timeout_ms);
// Milliseconds on CLOCK_MONOTONIC, not wrapping: for deadlines inside the backend.
std::uint64_t posix_monotonic_ms();
