// The gateway's end of the control channel: a thread that takes norvexctl's requests on the socket
// file in the gateway's directory and hands each to the main thread, which alone answers them
// (it alone changes the port list). Only the gateway's user and root are served.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "service/control_answer.h"

struct ControlChannel;
struct UiWindow;

// The command posted to the main thread's queue when a request waits for its answer.
constexpr std::int32_t CMD_CONTROL_REQUEST = 1001;

// Opens the socket file (CONTROL_SOCKET_NAME, mode 0600) in the current directory and starts the
// channel's thread, which posts CMD_CONTROL_REQUEST to `window` for each request. Null when the
// socket or the thread cannot be made; the gateway then runs without one. Main thread, after the
// directory is claimed (process_claim_instance).
[[nodiscard]] ControlChannel *control_channel_open(UiWindow *window);

// On CMD_CONTROL_REQUEST: answers the waiting request, if one still waits (control_answer), and
// appends what the gateway reports about it to *log. Main thread.
void control_channel_serve(ControlChannel *channel, const ControlContext *context,
                           std::vector<std::string> *log);

// Stops the channel's thread (it ends within a fraction of a second: every wait of it is short),
// answers a request still waiting with an error, and removes the socket file. Null is accepted.
// Main thread.
void control_channel_close(ControlChannel *channel);
