// The control channel's protocol, spoken by norvexctl and by the running norvex: a request is one
// line; the reply is lines, the last "ok" or an "error" line:
//   status            -> "listening PORT", then per port in list order "port NAME free" or
//                        "port NAME busy CALLER", then per direct TCP port listening
//                        "direct NAME TCP_PORT" or "direct NAME TCP_PORT rfc2217" (a reader
//                        skips the kinds of line it does not know)
//   disconnect NAME   -> "requested NAME CALLER" (the call is told to end) or "free NAME"
//   reload            -> "info TEXT" and "warning TEXT" lines telling what changed
//   error KIND TEXT   -> KIND is "input" (a bad request, no such port), "failed" (the gateway
//                        could not do it) or "refused" (the peer may not use the channel)
// NAME and CALLER are escaped_text_show words (no spaces); TEXT is shown escaped to the line end.
#pragma once

#include <cstddef>
#include <string>

// The socket file in the gateway's directory.
constexpr const char *CONTROL_SOCKET_NAME = "NORVEX.CTL";
// The longest request line, its LF not counted.
constexpr std::size_t CONTROL_REQUEST_MAX = 255;

// The first word of a line, and the rest after one space ("" when none).
void control_line_split(const std::string &line, std::string *word, std::string *rest);

// True when `line` (without its LF) is the last line of a reply: "ok" or an error.
bool control_reply_ends(const std::string &line);
