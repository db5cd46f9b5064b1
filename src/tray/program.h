// The Windows program's entry: single instance, version text, the main window's class and
// creation, the message loop.
#pragma once

#include <cstdint>

// The start-up sequence: raises a running instance and ends, or makes the main window and runs
// the message loop until the operator confirms Exit. The exit code (always 0). UI thread.
std::int32_t program_main();
