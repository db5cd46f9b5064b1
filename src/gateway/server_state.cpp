// Server-wide state shared by the listener, the connection threads and the relay.
#include "gateway/server_state.h"

std::atomic<std::int32_t> server_stop{0};
Semaphore *server_semaphore = nullptr;
std::int32_t connection_count = 0;
Thread *finished_thread = nullptr;
Event *reaper_event = nullptr;
