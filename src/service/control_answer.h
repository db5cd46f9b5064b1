// The gateway's answers to norvexctl's requests (control/control_protocol.h): the Linux
// operator's status list, forced disconnect and reload.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the gateway side knows besides the port list.
struct ControlContext {
    std::int32_t telnet_port;  // the port the running server listens on
};

// Answers one request line (without its LF). *reply receives the whole reply, each line ended by
// LF; *log receives what the gateway reports about it on its own output (what a reload changed, a
// forced disconnect). The Linux program's main thread, which alone changes the port list.
void control_answer(const std::string &request, const ControlContext *context, std::string *reply,
                    std::vector<std::string> *log);
