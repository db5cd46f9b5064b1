// The control channel between norvexctl and a running norvex: the Linux operator's status list,
// forced disconnect and reload. A request is one line; the reply is lines, the last "ok" or an
// "error" line:
//   status            -> "listening PORT", then per port in list order "port NAME free" or
//                        "port NAME busy CALLER"
//   disconnect NAME   -> "requested NAME CALLER" (the call is told to end) or "free NAME"
//   reload            -> "info TEXT" and "warning TEXT" lines telling what changed
//   error KIND TEXT   -> KIND is "input" (a bad request, no such port), "failed" (the gateway
//                        could not do it) or "refused" (the peer may not use the channel)
// NAME and CALLER are escaped_text_show words (no spaces); TEXT is shown escaped to the line end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The socket file in the gateway's directory.
constexpr const char *CONTROL_SOCKET_NAME = "NORVEX.CTL";
// The longest request line, its LF not counted.
constexpr std::size_t CONTROL_REQUEST_MAX = 255;

// What the gateway side knows besides the port list.
struct ControlContext {
    std::int32_t telnet_port;  // the port the running server listens on
};

// Answers one request line (without its LF). *reply receives the whole reply, each line ended by
// LF; *log receives what the gateway reports about it on its own output (what a reload changed, a
// forced disconnect). The Linux program's main thread, which alone changes the port list.
void control_answer(const std::string &request, const ControlContext *context, std::string *reply,
                    std::vector<std::string> *log);

// Sends a request to the gateway that serves the current directory and reads its reply lines
// (without their LF) into *lines. LOCAL_CONNECTED when a whole reply came; LOCAL_NOBODY when no
// gateway answers here; LOCAL_DENIED when this user may not reach it; LOCAL_FAILED when the reply
// did not come whole within timeout_ms. Any thread.
int control_request(const char *request, std::uint32_t timeout_ms, std::vector<std::string> *lines);

// The first word of a reply line, and the rest after one space ("" when none).
void control_line_split(const std::string &line, std::string *word, std::string *rest);
