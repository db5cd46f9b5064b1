// The program among other processes: one instance per working directory, and the operator's
// request to stop (SIGINT/SIGTERM on Linux, Ctrl+C or the console closing on Windows).
#pragma once

#include <cstdint>

// Claims the current directory for this process for as long as it runs. 1 when claimed, 0 when
// another instance holds it, -1 when the claim could not be tried. Main thread, once.
int process_claim_instance();

// The process's id, as the system numbers processes. Any thread.
std::uint32_t process_id();

// Makes `directory` the process's current directory. -1 on failure. Main thread, before any thread
// starts (files are opened by names relative to it).
int process_change_directory(const char *directory);

// Routes the stop requests to process_wait_stop_request. Call first thing in main, before any
// thread starts, so that no worker thread is interrupted by them.
void process_catch_stop_requests();

// Waits up to timeout_ms (WAIT_FOREVER_MS: no limit) for a stop request. 0 when one came, -1 at
// the time-out. One thread of the program.
int process_wait_stop_request(std::uint32_t timeout_ms);

// The threads this process has now, and the memory it occupies (resident bytes on Linux, the
// working set on Windows): what a long run must give back. -1 when the system does not tell.
// Tests and measurements; any thread.
std::int32_t process_thread_count();
std::int64_t process_memory_bytes();
