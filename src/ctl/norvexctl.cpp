// norvexctl's commands: argument handling, the help, editing NORVEX.DAT the safe way, and the
// requests to the running gateway.
#include "ctl/norvexctl.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "control/control_protocol.h"
#include "control/escaped_text.h"
#include "control/settings_fields.h"
#include "ctl/control_client.h"
#include "ctl/settings_edit.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/local_socket.h"
#include "platform/process.h"
#include "platform/version.h"
#include "settings/settings_ini.h"
#include "ssh/ssh_server.h"

namespace {

constexpr std::uint32_t REQUEST_TIMEOUT_MS = 60000;   // a reload may start modem emulators
constexpr std::uint32_t DISCONNECT_WAIT_MS = 15000;   // for a forced call to end

struct Tool {
    std::FILE *out;
    std::FILE *err;
    std::string directory;  // as given with -C, "." without
};

using Arguments = std::vector<std::string>;

static_assert(SETTINGS_LOCK_WAIT_MS == 10000, "the help and norvexctl(8) say 10 s");

const char MAIN_HELP[] =
    "usage: norvexctl [-C DIR] COMMAND [ARGUMENTS]\n"
    "\n"
    "Configures, watches and controls the NORVEX gateway of directory DIR (default: the current\n"
    "directory): its settings file NORVEX.DAT and the norvex that serves the directory.\n"
    "\n"
    "Commands:\n"
    "  show                             the options and every port with its rules, in list order\n"
    "  status                           the running gateway's ports and their callers\n"
    "  disconnect COMn                  end the call on a port (forced disconnect)\n"
    "  reload                           make the running gateway take NORVEX.DAT as it is now\n"
    "  options set NAME=VALUE...        change options\n"
    "  port add COMn [NAME=VALUE...]    add a port (with the port settings dialog's defaults)\n"
    "  port set COMn NAME=VALUE...      change a port's settings\n"
    "  port remove COMn                 remove a port (a call on it goes on until it ends)\n"
    "  port move COMn up|down           move a port in the order callers are given ports\n"
    "  rule add COMn permit|deny ENTRY  add a permission rule at the end of a port's rules\n"
    "  rule remove COMn N               remove a port's rule N\n"
    "  rule move COMn N up|down         move a port's rule N\n"
    "\n"
    "Each edit is saved at once (written beside NORVEX.DAT and renamed over it), and a norvex\n"
    "running in DIR reloads it. An edit takes its turn with other edits and with a norvex loading\n"
    "the file: it waits up to 10 s for them (NORVEX.DAT.lock), then gives up with nothing changed.\n"
    "\"norvexctl COMMAND --help\" tells more; see also norvexctl(8).\n"
    "Exit status: 0 done; 2 bad usage or input (nothing changed); 1 the gateway or the file\n"
    "cannot be reached.\n";

const char SHOW_HELP[] =
    "usage: norvexctl [-C DIR] show\n"
    "\n"
    "Prints NORVEX.DAT: the options, then every port in list order (the order in which callers\n"
    "are given ports) with its settings and permission rules, each value as the edit commands\n"
    "take it. A directory without NORVEX.DAT shows the defaults that a new file gets.\n";

const char STATUS_HELP[] =
    "usage: norvexctl [-C DIR] status\n"
    "\n"
    "Asks the norvex that serves DIR for its ports, in list order: each with its caller (host\n"
    "name and address, as the Windows program's status list shows them) or \"free\"; then the\n"
    "ports' own TCP ports that it listens on.\n";

const char DISCONNECT_HELP[] =
    "usage: norvexctl [-C DIR] disconnect COMn\n"
    "\n"
    "Ends the call on port COMn, as the forced disconnect of the Windows program's status list:\n"
    "the call is cut at once, without the port's disconnect message, the access log counts it\n"
    "as a failed transfer, and the port becomes free. Waits up to 15 s for the call to end and\n"
    "tells whether it has. A free port is left as it is.\n";

const char RELOAD_HELP[] =
    "usage: norvexctl [-C DIR] reload\n"
    "\n"
    "Makes the running norvex take NORVEX.DAT as it is now, as the settings dialogs change the\n"
    "running Windows program: calls in progress keep the settings they began with, a port\n"
    "removed during a call goes when that call ends, new options apply to the next call, and a\n"
    "changed telnet_port is taken at the next start of norvex (the reload says so). The edit\n"
    "commands reload by themselves.\n";

const char RULE_HELP[] =
    "usage: norvexctl [-C DIR] rule add COMn permit|deny ENTRY\n"
    "       norvexctl [-C DIR] rule remove COMn N\n"
    "       norvexctl [-C DIR] rule move COMn N up|down\n"
    "\n"
    "A port's rules are tried in order for each caller; the first that matches decides. A port\n"
    "without rules admits every caller; with rules, a caller that none matches is refused that\n"
    "port (and may get a later one). ENTRY is read as the permission dialog reads it:\n"
    "  ALL               every caller (any case)\n"
    "  192.168.1.0/24    an address and a prefix length\n"
    "  10.0.0.0          an address without prefix: the mask of its class (10.x.x.x here)\n"
    "  192.168.1.7       one address (bits outside the class mask make it exact)\n"
    "  example.com       a host name: every caller whose name ends with it (needs\n"
    "                    resolve_host_names=on)\n"
    "Only digits, dots and slashes make an address (each number taken modulo 256); any other\n"
    "character makes a host name, spaces included. At most 63 characters.\n"
    "Rules are numbered from 1 as show lists them; a port holds at most 64 rules.\n";

std::string settings_help(const SettingsField *fields, std::size_t count) {
    std::string help;
    for (std::size_t i = 0; i < count; ++i) {
        const SettingsField *field = &fields[i];
        char line[80];
        std::snprintf(line, sizeof line, "  %-23s ", field->name);
        help += line + std::string(field->meaning) + "\n" + std::string(26, ' ') +
                settings_field_values(field) + "\n";
    }
    return help;
}

const char TEXT_HELP[] =
    "Texts take the escapes \\r \\n \\\\ and \\xHH, so that greeting_message='Welcome\\r\\n'\n"
    "ends with CR LF; they are stored exactly as given. auto_pilot_string and disconnect_keyword\n"
    "have escapes of their own that the gateway reads ({ms} pauses, [text] waits, \\r): write\n"
    "their backslash as \\\\, e.g. auto_pilot_string='AT\\\\r{5000}[OK]'.\n";

template <std::size_t N>
std::string ini_fields_help(const IniField (&fields)[N]) {
    std::string help;
    for (const IniField &field : fields) {
        char line[80];
        std::snprintf(line, sizeof line, "  %-23s ", field.name);
        help += line + std::string(field.meaning) + "\n" + std::string(26, ' ') +
                ini_field_values(&field) + "\n";
    }
    return help;
}

std::string options_help() {
    std::string ini_help = ini_fields_help(ini_option_fields);
    return "usage: norvexctl [-C DIR] options set NAME=VALUE...\n\nOptions:\n" +
           settings_help(option_fields, std::size(option_fields)) + ini_help + "\n" + TEXT_HELP +
           "A changed telnet_port is taken at the next start of norvex. ssh_port is kept in\n"
           "NORVEX.INI beside NORVEX.DAT (whose layout the Windows program reads as it is).\n";
}

std::string port_help() {
    return std::string(
               "usage: norvexctl [-C DIR] port add COMn [NAME=VALUE...]\n"
               "       norvexctl [-C DIR] port set COMn NAME=VALUE...\n"
               "       norvexctl [-C DIR] port remove COMn\n"
               "       norvexctl [-C DIR] port move COMn up|down\n"
               "\n"
               "Ports are COM1 to COM9. norvex opens ./COMn in its directory, usually a symbolic\n"
               "link to the device (ln -s /dev/ttyUSB0 COM1), or else /dev/ttyS(n-1). Callers are\n"
               "given the first free port, in list order, whose rules admit them. A new port starts\n"
               "with the port settings dialog's defaults: baud_rate=9600 data_bits=8bit\n"
               "parity=none stop_bits=1bit flow_control=RS/CS raise_signals=ER confirm_signals=none\n"
               "watch_signals=none connect_timeout_ms=5000 disconnect_timeout_ms=5000\n"
               "idle_timeout_s=0, both flags off, empty texts, no rule. A call on a port that is\n"
               "changed or removed goes on with the settings it began with.\n"
               "\nSettings:\n") +
           settings_help(port_fields, std::size(port_fields)) + ini_fields_help(ini_port_fields) +
           "\n" + TEXT_HELP +
           "The values of the lists are their items, in any case (data_bits and stop_bits also\n"
           "without \"bit\").\n"
           "tcp_port and rfc2217 are kept in NORVEX.INI under the port's heading ([COM1]). A\n"
           "caller on a port's tcp_port gets that port or its busy message, never another port;\n"
           "with rfc2217=on a program there may set the line itself (pyserial's rfc2217:// URLs,\n"
           "COM-port redirectors). No two ports, nor a port and telnet_port or ssh_port, share a\n"
           "TCP port. A reload opens and closes them.\n";
}

void say(std::FILE *stream, const std::string &text) {
    std::fputs((text + "\n").c_str(), stream);
    std::fflush(stream);
}

int bad_input(Tool *tool, const std::string &problem) {
    say(tool->err, "norvexctl: " + problem);
    return NORVEXCTL_BAD_INPUT;
}

int unreachable(Tool *tool, const std::string &problem) {
    say(tool->err, "norvexctl: " + problem);
    return NORVEXCTL_UNREACHABLE;
}

std::string where(const Tool *tool) { return tool->directory == "." ? "this directory" : tool->directory; }

// A request to the gateway of the directory; 0 with the reply lines, or the exit code after
// telling what went wrong.
int ask_gateway(Tool *tool, const char *request, std::vector<std::string> *lines) {
    int result = control_request(request, REQUEST_TIMEOUT_MS, lines);
    if (result == LOCAL_CONNECTED) return 0;
    if (result == LOCAL_NOBODY) {
        return unreachable(tool, "no norvex runs in " + where(tool) + " (nothing answers on " +
                                     CONTROL_SOCKET_NAME + ")");
    }
    if (result == LOCAL_DENIED) {
        return unreachable(tool, "the norvex in " + where(tool) +
                                     " is not yours: run norvexctl as its user or as root");
    }
    return unreachable(tool, "the norvex in " + where(tool) + " did not answer");
}

// Prints a reply's info and warning lines; the exit code its last line stands for.
int print_reply(Tool *tool, const std::vector<std::string> &lines) {
    for (const std::string &line : lines) {
        std::string word, rest;
        control_line_split(line, &word, &rest);
        if (word == "info") say(tool->out, rest);
        if (word == "warning") say(tool->err, "norvexctl: warning: " + rest);
        if (word == "error") {
            std::string kind, text;
            control_line_split(rest, &kind, &text);
            if (kind == "input") return bad_input(tool, text);
            return unreachable(tool, "the gateway: " + text);
        }
    }
    return NORVEXCTL_DONE;
}

// ---- Commands that read or edit NORVEX.DAT

// Why the file could not be had: held past the wait, or not to be opened at all.
int not_had(Tool *tool, std::int32_t why, const std::string &what) {
    if (why == SETTINGS_HELD) {
        return unreachable(tool, std::string(SETTINGS_FILE_NAME) + " in " + where(tool) +
                                     " is held by another program (another edit, or a norvex "
                                     "loading it): waited " +
                                     std::to_string(SETTINGS_LOCK_WAIT_MS / 1000) + " s for it; " +
                                     what);
    }
    return unreachable(tool, std::string("cannot open ") + SETTINGS_FILE_NAME + " or its lock " +
                                 SETTINGS_FILE_NAME + SETTINGS_LOCK_SUFFIX + " in " + where(tool) +
                                 " (no permission?); " + what);
}

// What read_settings found.
constexpr int FILE_ABSENT = 0;
constexpr int FILE_SHORT = 1;  // shorter than the options: norvex would write the defaults
constexpr int FILE_WHOLE = 2;

// Takes NORVEX.DAT's lock (waiting its turn behind another edit or a loading norvex) and reads its
// image; the lock is kept in *lock for the caller to write under and let go. A missing file reads
// as the defaults a new one gets. `reading`: the caller only shows the image. 0, or the exit code
// (*lock then null).
int read_settings(Tool *tool, bool reading, SettingsImage *image, SettingsLock **lock,
                  int *found_as) {
    const std::string unchanged = reading ? "nothing shown" : "nothing changed";
    *lock = nullptr;
    *found_as = FILE_ABSENT;
    if (reading && file_find(SETTINGS_FILE_NAME) == 0) {
        // Showing the defaults of a directory without the file leaves no lock file behind either.
        settings_options_defaults(&image->options);
        image->ports.clear();
        return 0;
    }
    std::int32_t why = 0;
    *lock = settings_lock(SETTINGS_FILE_NAME, reading, &why);
    if (*lock == nullptr) return not_had(tool, why, unchanged);
    auto give_up = [&](int code) {
        settings_unlock(*lock);
        *lock = nullptr;
        return code;
    };
    int found = file_find(SETTINGS_FILE_NAME);
    if (found < 0) {
        return give_up(unreachable(tool, std::string("cannot look for ") + SETTINGS_FILE_NAME +
                                             " in " + where(tool) + " (no permission)"));
    }
    if (found == 0) {
        settings_options_defaults(&image->options);
        image->ports.clear();
        return 0;
    }
    File *file = settings_open(*lock, &why);
    if (file == nullptr) return give_up(not_had(tool, why, unchanged));
    int read = settings_image_read(file, image);
    file_close(file);
    if (read == IMAGE_READ_MALFORMED) {
        return give_up(unreachable(tool, std::string(SETTINGS_FILE_NAME) + " in " + where(tool) +
                                             " is not 1792 + 8448 x N bytes long: norvex cannot "
                                             "load it; it is left as it is"));
    }
    if (read == IMAGE_READ_FAILED) {
        return give_up(unreachable(tool, std::string("cannot read ") + SETTINGS_FILE_NAME + " in " +
                                             where(tool)));
    }
    *found_as = read == IMAGE_READ_NEW ? FILE_SHORT : FILE_WHOLE;
    return 0;
}

int run_show(Tool *tool, const Arguments &args) {
    if (!args.empty()) return bad_input(tool, "show takes no arguments");
    SettingsImage image;
    SettingsLock *lock = nullptr;
    int found_as = FILE_ABSENT;
    int failed = read_settings(tool, true, &image, &lock, &found_as);
    settings_unlock(lock);
    if (failed != 0) return failed;
    IniDocument document;
    IniSettings ini;
    std::string problem;
    if (ini_read(&document, &ini, &problem) != 0) {
        return unreachable(tool, problem + " (in " + where(tool) + "); nothing shown");
    }
    std::string fingerprint;
    (void)ssh_host_key_fingerprint(&fingerprint);
    if (found_as == FILE_ABSENT) {
        say(tool->err, std::string("norvexctl: no ") + SETTINGS_FILE_NAME + " in " + where(tool) +
                           " yet: the defaults that a new file gets");
    } else if (found_as == FILE_SHORT) {
        say(tool->err, std::string("norvexctl: ") + SETTINGS_FILE_NAME + " in " + where(tool) +
                           " is shorter than 1792 bytes: norvex replaces it with these defaults");
    }
    std::fputs(settings_show(&image, &ini, fingerprint).c_str(), tool->out);
    return NORVEXCTL_DONE;
}

using Edit = std::function<int(SettingsImage *, IniDocument *, std::string *, std::string *)>;

// Reads NORVEX.DAT and NORVEX.INI, applies the edit, saves what it changed the safe way and has a
// running gateway reload it. NORVEX.DAT's lock is held from the read through the renames, so that
// no other edit reads or replaces either file in between. On bad input nothing is written.
int run_edit(Tool *tool, const Edit &edit) {
    SettingsImage image;
    SettingsLock *lock = nullptr;
    int found_as = FILE_ABSENT;
    int failed = read_settings(tool, false, &image, &lock, &found_as);
    if (failed != 0) return failed;
    IniDocument ini;
    IniSettings ini_settings;
    std::string done, problem;
    if (ini_read(&ini, &ini_settings, &problem) != 0) {
        settings_unlock(lock);
        return unreachable(tool, problem + " (in " + where(tool) + "); nothing changed");
    }
    std::string ini_before = ini_text(&ini);
    if (edit(&image, &ini, &done, &problem) != 0) {
        settings_unlock(lock);
        return bad_input(tool, problem + "; nothing changed");
    }
    // One TCP port serves one way in: the telnet port, the SSH port, each port's own.
    IniDocument edited;
    IniSettings edited_settings;
    if (ini_parse(ini_text(&ini), &edited, &edited_settings, &problem, false) != 0 ||
        ini_check_tcp_ports(&edited_settings, image.options.telnet_port, false, &problem) != 0) {
        settings_unlock(lock);
        return bad_input(tool, problem + "; nothing changed");
    }
    bool written = settings_image_write_held(lock, &image);
    bool ini_written = !written || ini_text(&ini) == ini_before || ini_write(&ini) == 0;
    settings_unlock(lock);
    if (!written) {
        return unreachable(tool, std::string("cannot write ") + SETTINGS_FILE_NAME + " in " +
                                     where(tool) + "; it is left as it was");
    }
    if (!ini_written) {
        return unreachable(tool, std::string("cannot write ") + INI_FILE_NAME + " in " +
                                     where(tool) + "; it is left as it was");
    }
    say(tool->out, done);

    std::vector<std::string> lines;
    int result = control_request("reload", REQUEST_TIMEOUT_MS, &lines);
    if (result == LOCAL_NOBODY) {
        say(tool->out, "no norvex runs in " + where(tool) + "; it takes the file when it starts");
        return NORVEXCTL_DONE;
    }
    if (result != LOCAL_CONNECTED) {
        say(tool->err, std::string("norvexctl: ") + SETTINGS_FILE_NAME + " is saved, but:");
        return ask_gateway(tool, "reload", &lines);  // tells why it cannot be reached
    }
    return print_reply(tool, lines);
}

int run_options(Tool *tool, const Arguments &args) {
    if (args.empty() || args[0] != "set") return bad_input(tool, "usage: norvexctl options set NAME=VALUE...");
    Arguments assignments(args.begin() + 1, args.end());
    return run_edit(tool, [&](SettingsImage *image, IniDocument *ini, std::string *done,
                              std::string *problem) {
        return edit_options_set(image, ini, assignments, done, problem);
    });
}

int run_port(Tool *tool, const Arguments &args) {
    std::string what = args.empty() ? "" : args[0];
    std::size_t count = args.size();
    if ((what == "add" || what == "set") && count >= 2) {
        Arguments assignments(args.begin() + 2, args.end());
        return run_edit(tool, [&](SettingsImage *image, IniDocument *ini, std::string *done,
                                  std::string *problem) {
            return what == "add" ? edit_port_add(image, ini, args[1], assignments, done, problem)
                                 : edit_port_set(image, ini, args[1], assignments, done, problem);
        });
    }
    if (what == "remove" && count == 2) {
        return run_edit(tool, [&](SettingsImage *image, IniDocument *ini, std::string *done,
                                  std::string *problem) {
            return edit_port_remove(image, ini, args[1], done, problem);
        });
    }
    if (what == "move" && count == 3) {
        return run_edit(tool, [&](SettingsImage *image, IniDocument *, std::string *done, std::string *problem) {
            return edit_port_move(image, args[1], args[2], done, problem);
        });
    }
    return bad_input(tool, "usage: norvexctl port add|set|remove|move COMn ... (norvexctl port --help)");
}

int run_rule(Tool *tool, const Arguments &args) {
    std::string what = args.empty() ? "" : args[0];
    std::size_t count = args.size();
    if (what == "add" && count == 4) {
        return run_edit(tool, [&](SettingsImage *image, IniDocument *, std::string *done, std::string *problem) {
            return edit_rule_add(image, args[1], args[2], args[3], done, problem);
        });
    }
    if (what == "remove" && count == 3) {
        return run_edit(tool, [&](SettingsImage *image, IniDocument *, std::string *done, std::string *problem) {
            return edit_rule_remove(image, args[1], args[2], done, problem);
        });
    }
    if (what == "move" && count == 4) {
        return run_edit(tool, [&](SettingsImage *image, IniDocument *, std::string *done, std::string *problem) {
            return edit_rule_move(image, args[1], args[2], args[3], done, problem);
        });
    }
    return bad_input(tool, "usage: norvexctl rule add COMn permit|deny ENTRY | rule remove COMn N | "
                           "rule move COMn N up|down (norvexctl rule --help)");
}

// ---- Commands for the running gateway

int run_status(Tool *tool, const Arguments &args) {
    if (!args.empty()) return bad_input(tool, "status takes no arguments");
    std::vector<std::string> lines;
    int failed = ask_gateway(tool, "status", &lines);
    if (failed != 0) return failed;
    std::vector<std::pair<std::string, std::string>> rows;
    std::vector<std::string> direct;
    std::size_t width = 4;
    for (const std::string &line : lines) {
        std::string word, rest;
        control_line_split(line, &word, &rest);
        if (word == "listening") say(tool->out, "norvex in " + where(tool) + ", listening on telnet port " + rest);
        if (word == "direct") {
            std::string name, numbers, tcp_port, option;
            control_line_split(rest, &name, &numbers);
            control_line_split(numbers, &tcp_port, &option);
            direct.push_back(name + " on TCP port " + tcp_port +
                             (option == "rfc2217" ? ", RFC 2217" : ""));
        }
        if (word != "port") continue;
        std::string name, state;
        control_line_split(rest, &name, &state);
        std::string kind, caller;
        control_line_split(state, &kind, &caller);
        rows.emplace_back(name, kind == "busy" ? caller : "free");
        width = std::max(width, name.size());
    }
    if (rows.empty()) say(tool->out, "no port");
    for (const auto &[name, caller] : rows) {
        say(tool->out, name + std::string(width + 2 - name.size(), ' ') + caller);
    }
    for (const std::string &way : direct) say(tool->out, "direct: " + way);
    return print_reply(tool, lines);
}

// The caller that the first port of this name shows in the status, "" when free or gone.
std::string caller_on(const std::string &port) {
    std::vector<std::string> lines;
    if (control_request("status", REQUEST_TIMEOUT_MS, &lines) != LOCAL_CONNECTED) return "";
    for (const std::string &line : lines) {
        std::string word, rest, name, state, kind, caller;
        control_line_split(line, &word, &rest);
        control_line_split(rest, &name, &state);
        control_line_split(state, &kind, &caller);
        if (word == "port" && name == port) return kind == "busy" ? caller : "";
    }
    return "";
}

int run_disconnect(Tool *tool, const Arguments &args) {
    if (args.size() != 1) return bad_input(tool, "usage: norvexctl disconnect COMn");
    std::string request = "disconnect " + escaped_text_show(args[0].data(), args[0].size(), true);
    if (request.size() > CONTROL_REQUEST_MAX) return bad_input(tool, "no such port: the name is too long");
    std::vector<std::string> lines;
    int failed = ask_gateway(tool, request.c_str(), &lines);
    if (failed != 0) return failed;
    for (const std::string &line : lines) {
        std::string word, rest, name, caller;
        control_line_split(line, &word, &rest);
        control_line_split(rest, &name, &caller);
        if (word == "free") say(tool->out, name + " is free: there is no call to end");
        if (word != "requested") continue;
        say(tool->out, name + ": the call from " + caller + " is told to end");
        // The relay sees the request within a cycle; the line's disconnect sequence may take its
        // time-out. The port counts as free once it no longer shows this caller.
        std::uint32_t began = clock_tick_ms();
        std::string now = caller;
        while (now == caller && clock_tick_ms() - began < DISCONNECT_WAIT_MS) {
            clock_sleep_ms(100);
            now = caller_on(name);
        }
        if (now == caller) {
            say(tool->out, name + ": the call is still ending (the line's disconnect sequence "
                                  "waits for its signals)");
        } else {
            say(tool->out, name + ": the call has ended; the port is " +
                               (now.empty() ? std::string("free") : "serving " + now + " now"));
        }
    }
    return print_reply(tool, lines);
}

int run_reload(Tool *tool, const Arguments &args) {
    if (!args.empty()) return bad_input(tool, "reload takes no arguments");
    std::vector<std::string> lines;
    int failed = ask_gateway(tool, "reload", &lines);
    if (failed != 0) return failed;
    return print_reply(tool, lines);
}

struct Command {
    const char *name;
    int (*run)(Tool *, const Arguments &);
    std::string (*help)();
};

constexpr Command COMMANDS[] = {
    {"show", run_show, [] { return std::string(SHOW_HELP); }},
    {"status", run_status, [] { return std::string(STATUS_HELP); }},
    {"disconnect", run_disconnect, [] { return std::string(DISCONNECT_HELP); }},
    {"reload", run_reload, [] { return std::string(RELOAD_HELP); }},
    {"options", run_options, options_help},
    {"port", run_port, port_help},
    {"rule", run_rule, [] { return std::string(RULE_HELP); }},
};

const Command *command_named(const std::string &name) {
    for (const Command &command : COMMANDS) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

bool asks_help(const std::string &arg) { return arg == "--help" || arg == "-h"; }

}  // namespace

int norvexctl_run(int argc, const char *const *argv, std::FILE *out, std::FILE *err) {
    Tool tool{out, err, "."};
    Arguments args(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::size_t at = 0;
    // Options before the command.
    while (at < args.size() && !args[at].empty() && args[at][0] == '-') {
        const std::string &option = args[at];
        if (asks_help(option)) {
            std::fputs(MAIN_HELP, out);
            return NORVEXCTL_DONE;
        }
        if (option == "--version") {
            read_product_version();
            say(out, std::string("norvexctl ") + version_text);
            return NORVEXCTL_DONE;
        }
        if ((option == "-C" || option == "--directory") && at + 1 < args.size()) {
            tool.directory = args[at + 1];
            at += 2;
        } else if (option.rfind("-C", 0) == 0 && option.size() > 2) {
            tool.directory = option.substr(2);
            ++at;
        } else if (option.rfind("--directory=", 0) == 0) {
            tool.directory = option.substr(std::strlen("--directory="));
            ++at;
        } else {
            return bad_input(&tool, "unknown option " + escaped_text_show(option.data(), option.size()) +
                                        " (norvexctl --help)");
        }
    }
    if (at == args.size()) {
        std::fputs(MAIN_HELP, err);
        return NORVEXCTL_BAD_INPUT;
    }
    std::string name = args[at++];
    Arguments rest(args.begin() + static_cast<std::ptrdiff_t>(at), args.end());
    if (name == "help") {
        const Command *about = rest.empty() ? nullptr : command_named(rest[0]);
        std::fputs(about == nullptr ? MAIN_HELP : about->help().c_str(), out);
        return rest.empty() || about != nullptr ? NORVEXCTL_DONE : NORVEXCTL_BAD_INPUT;
    }
    const Command *command = command_named(name);
    if (command == nullptr) {
        return bad_input(&tool, "unknown command " + escaped_text_show(name.data(), name.size()) +
                                    " (norvexctl --help)");
    }
    for (const std::string &arg : rest) {
        if (asks_help(arg)) {
            std::fputs(command->help().c_str(), out);
            return NORVEXCTL_DONE;
        }
    }
    if (tool.directory != "." && process_change_directory(tool.directory.c_str()) != 0) {
        return unreachable(&tool, "cannot enter " + tool.directory);
    }
    return command->run(&tool, rest);
}
