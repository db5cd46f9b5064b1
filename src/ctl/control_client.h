// norvexctl's end of the control channel: one request to the gateway that serves the current
// directory, and its reply.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Sends a request to the gateway that serves the current directory and reads its reply lines
// (without their LF) into *lines. LOCAL_CONNECTED when a whole reply came; LOCAL_NOBODY when no
// gateway answers here; LOCAL_DENIED when this user may not reach it; LOCAL_FAILED when the reply
// did not come whole within timeout_ms. Any thread.
int control_request(const char *request, std::uint32_t timeout_ms, std::vector<std::string> *lines);
