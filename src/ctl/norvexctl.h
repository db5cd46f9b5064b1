// norvexctl: the Linux operator's tool for a NORVEX gateway directory. It edits NORVEX.DAT with the
// settings dialogs' rules, shows it, and talks to the norvex that serves the directory through its
// control channel: status, forced disconnect, reload.
#pragma once

#include <cstdio>

// Exit codes.
constexpr int NORVEXCTL_DONE = 0;
constexpr int NORVEXCTL_UNREACHABLE = 1;  // the gateway or the file cannot be reached
constexpr int NORVEXCTL_BAD_INPUT = 2;    // bad usage or input; nothing was changed

// Runs one command line (argv[0] is the program). Results go to `out`, problems to `err`, one line
// each. Changes the current directory for -C. Main thread.
int norvexctl_run(int argc, const char *const *argv, std::FILE *out, std::FILE *err);
