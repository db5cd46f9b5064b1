// Server-wide state shared by the listener, the connection threads and the relay.
#pragma once

#include <atomic>
#include <cstdint>

struct Event;
struct Semaphore;
struct Thread;

// 0 while the server runs; set to 1 by gateway_stop. Read by the listener, the relay and the
// auto-pilot in every cycle, and by the telnet negotiation.
extern std::atomic<std::int32_t> server_stop;

// Guards connection_count and finished_thread. Made by gateway_start, closed by gateway_stop.
extern Semaphore *server_semaphore;
// Connection threads created and not yet reaped. Under server_semaphore.
extern std::int32_t connection_count;
// A finished connection thread handed to the reaper; null when the slot is empty. Under
// server_semaphore.
extern Thread *finished_thread;
// Wakes the reaper (auto-reset). Made and closed by the listener.
extern Event *reaper_event;
