// The auto-pilot: plays a port's script towards the equipment before the caller is let through.
// Plain text is sent, [text] waits for the equipment to send text, (n) pauses n ms, {n} sets the
// time limit of the following waits (0: none). Backslash escapes as in the disconnect keyword;
// any closer ends any opener; a missing closer runs to the end of the script.
#pragma once

#include <cstdint>

#include "gateway/caller.h"
#include "settings/settings.h"

// Runs the script (a text field of `length` bytes at most, NUL-terminated when shorter). 0 when it
// ran to its end, -1 when a serial write or read failed, the server is stopping, the caller closed
// or failed, or a wait ran past its limit. An empty script succeeds without touching the port.
// The connection thread, before the relay; bytes the caller types meanwhile are discarded.
[[nodiscard]] int autopilot_run(Caller *caller, PortRecord *port, const char *script,
                                std::size_t length);
