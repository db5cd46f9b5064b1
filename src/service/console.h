// The gateway as a console program (the Linux norvex): loads NORVEX.DAT from the current
// directory, runs the server, reports to standard error, and shuts down in order on a stop request.
#pragma once

// Runs until a stop request (SIGINT/SIGTERM). Exit codes: 0 after an orderly shutdown, and when
// another instance already runs in this directory (nothing touched); 1 when start-up failed
// (settings unreadable, server not started, telnet port not listened on). Main thread.
int console_run();
