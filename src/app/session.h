// The steps that the Windows program and the Linux program take alike around the gateway: load
// NORVEX.DAT and start the server; stop the server; release the port list. Each program tells the
// operator in its own way (message boxes, standard error).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "settings/port_list_reload.h"
#include "settings/settings.h"
#include "settings/settings_ini.h"

struct Thread;
struct UiWindow;

// Loads NORVEX.DAT with notify_window as the target of status notices (waiting, as load_settings
// does, for a save in progress), then starts the server on
// the telnet port (*telnet_port tells which). Answers 0 when the server listens, or the string id
// of what failed:
// - STR_SETTINGS_READ_FAILED: the file could not be read; the port list is empty, no server.
// - STR_SERVER_START_FAILED: no server could be started; the port list has been cleared.
// - STR_LISTEN_FAILED: the server runs but could not listen on the port (in use, no permission,
//   not 1-65535); *server is set and must still be stopped.
// *server is the server's handle, null unless one was started. UI thread.
//
// NORVEX.INI is read with NORVEX.DAT (a malformed one, or one that gives a way in the telnet port,
// fails the start as STR_SETTINGS_READ_FAILED, with the reason in ways->problems), and the ways in
// it names (the SSH port, the ports' direct TCP ports) are opened once the server listens: what
// happened goes into *ways (null: not wanted); a way that could not be opened, or whose port
// NORVEX.DAT does not have, is one of its problems, but not a failure of the start: the caller
// decides.
struct SessionWays {
    IniSettings ini;                    // NORVEX.INI as read
    std::string ssh_fingerprint;        // the host key's, when SSH is on
    std::vector<std::string> problems;  // what could not be read or opened, one line each
};
std::int32_t session_start(UiWindow *notify_window, Thread **server, std::int32_t *telnet_port,
                           SessionWays *ways = nullptr);

// Stops the server (null: nothing to stop) and resets *server. False when it had to be given up
// (a connection thread held it past its limit): the operator is then told (1014). UI thread.
bool session_stop(Thread **server);

// Removes every port (their modem emulators stop) and closes the SSH server. Nothing is saved.
// UI thread, after session_stop.
void session_release();

// Why a reload changed nothing.
constexpr std::int32_t RELOAD_MISSING = 1;     // no NORVEX.DAT, or shorter than the options: taking
                                               // it would remove every port, so it is refused
constexpr std::int32_t RELOAD_UNREADABLE = 2;  // it could not be opened (held by another program
                                               // past SETTINGS_LOCK_WAIT_MS, no permission) or read
constexpr std::int32_t RELOAD_MALFORMED = 3;   // its size is not whole records: a start would fail
constexpr std::int32_t RELOAD_INI_MALFORMED = 4;  // NORVEX.INI cannot be read, is malformed or
                                                  // gives a way in NORVEX.DAT's telnet port
                                                  // (ways.problems says where)

// What a reload did.
struct SessionReload {
    GlobalOptions before;   // the options until now
    GlobalOptions after;    // the file's options, now in force (telnet_port: at the next start)
    PortListReload ports;   // what the port list operations did
    IniSettings ini_before;  // NORVEX.INI's settings until now
    SessionWays ways;        // NORVEX.INI as now in force, and what its ways did
};

// Reads NORVEX.DAT again and takes its content as the dialogs would have changed it by hand: the
// options replaced whole (the running server keeps its telnet port), the port list made equal to
// the file's through the list operations (calls in progress keep their settings; a port removed
// while busy goes when its call ends), and NORVEX.INI's ways in opened and closed to match it (a
// call that came in by a way that closes goes on). Nothing is written. 0 when applied, or RELOAD_*
// with nothing changed. A save in progress is waited for, up to SETTINGS_LOCK_WAIT_MS. UI thread
// (the Linux program's main thread), while the server runs.
std::int32_t session_reload(SessionReload *report);
