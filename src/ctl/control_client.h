// norvexctl's end of the control channel: one request to the gateway that serves the current
// directory, and its reply.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The longest wait for the gateway to take the connection (a live one takes it at once).
constexpr std::uint32_t CONTROL_CONNECT_WAIT_MS = 5000;

// Sends a request to the gateway that serves the current directory and reads its reply lines
// (without their LF) into *lines. LOCAL_CONNECTED when a whole reply came; LOCAL_NOBODY when no
// gateway answers here; LOCAL_DENIED when this user may not reach it; LOCAL_FAILED when the gateway
// did not take the connection within CONTROL_CONNECT_WAIT_MS or the reply did not come whole
// within timeout_ms, counted from the call (connect included). Any thread.
int control_request(const char *request, std::uint32_t timeout_ms, std::vector<std::string> *lines);
