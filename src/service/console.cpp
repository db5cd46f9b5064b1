// The console program: start-up, the wait for a stop request with status reports, shutdown.
#include "service/console.h"

#include <cstdio>
#include <string>
#include <vector>

#include "app/messages.h"
#include "app/session.h"
#include "app/status.h"
#include "gateway/port_allocation.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/ui.h"
#include "platform/version.h"
#include "resources/resource_ids.h"
#include "service/control_channel.h"

namespace {

// The console's own command, queued beside the workers' notices when the operator asks to stop.
constexpr std::int32_t CMD_CONSOLE_STOP = 1000;

// Waits for SIGINT/SIGTERM on a thread of its own, so that the main thread sleeps until there is
// something to do (an idle gateway wakes nobody).
std::uint32_t stop_watcher(void *window) {
    while (process_wait_stop_request(WAIT_FOREVER_MS) != 0) {
    }
    while (ui_post_command(static_cast<UiWindow *>(window), CMD_CONSOLE_STOP, 0) != 0) {
        clock_sleep_ms(10);
    }
    return 0;
}

void say(const char *text) { std::fprintf(stderr, "NORVEX: %s\n", text); }

// A numbered message with its gloss; `number` fills a %d.
void say_message(std::int32_t id, int number = 0) { say(message_line(id, number).c_str()); }

// What the main thread works with while the gateway runs.
struct Console {
    UiWindow *window;
    ControlChannel *channel;      // null when norvexctl cannot reach this gateway
    ControlContext context;
    std::vector<PortStatus> last;  // the ports' states as last reported
};

// Handles the queued commands, waiting up to timeout_ms for the first: answers norvexctl's
// requests and prints the ports that changed since the last report. True when a stop was asked for.
bool handle_commands(Console *console, std::uint32_t timeout_ms) {
    std::int32_t code = 0, param = 0;
    bool stop = false;
    while (ui_queue_next(console->window, timeout_ms, &code, &param) == 0) {
        timeout_ms = 0;
        if (code == CMD_CONSOLE_STOP) stop = true;
        if (code == CMD_CONTROL_REQUEST && console->channel != nullptr) {
            std::vector<std::string> log;
            control_channel_serve(console->channel, &console->context, &log);
            for (const std::string &line : log) say(line.c_str());
        } else if (code != CMD_REFRESH_STATUS) {
            continue;
        }
        std::vector<std::string> lines;
        status_changes(&console->last, &lines);
        for (const std::string &line : lines) say(line.c_str());
    }
    return stop;
}

}  // namespace

int console_run() {
    process_catch_stop_requests();  // before any thread starts
    int claim = process_claim_instance();
    if (claim == 0) {
        say("another instance runs in this directory; nothing done");
        return 0;
    }
    if (claim < 0) {
        say("cannot claim the current directory");
        return 1;
    }

    read_product_version();
    UiWindow *window = ui_queue_create();
    if (window == nullptr) {
        say_message(STR_SETTINGS_READ_FAILED);
        return 1;
    }
    Thread *server = nullptr;
    std::int32_t telnet_port = 0;
    SessionWays ways;
    std::int32_t failure = session_start(window, &server, &telnet_port, &ways);
    if (failure != 0 || !ways.problems.empty()) {
        if (session_stop(&server) == false) say_message(STR_SERVER_FORCED_STOP);
        session_release();
        if (failure != 0) say_message(failure, telnet_port);
        // A way in that was asked for and cannot be opened stops the start, as the telnet port's.
        for (const std::string &problem : ways.problems) say(problem.c_str());
        return 1;
    }

    Console console{window, nullptr, ControlContext{telnet_port}, {}};
    std::string ports;
    std::vector<std::string> unused;
    status_changes(&console.last, &unused);
    for (const PortStatus &status : console.last) ports += (ports.empty() ? "" : ", ") + status.name;
    char started[600];
    std::snprintf(started, sizeof started, "%s listening on telnet port %d; %zu port(s)%s%s",
                  version_text, telnet_port, console.last.size(), ports.empty() ? "" : ": ",
                  ports.c_str());
    // Before the start is reported, so that whoever waits for it can use norvexctl at once.
    console.channel = control_channel_open(window);
    if (console.channel == nullptr) {
        say("norvexctl cannot reach this gateway: its control socket NORVEX.CTL could not be made "
            "here (a file of that name in the way, or the directory not writable)");
    }
    say(started);
    if (ways.ini.ssh_port != 0) {
        std::string ssh = "SSH callers on port " + std::to_string(ways.ini.ssh_port) +
                          "; host key " + ways.ssh_fingerprint;
        say(ssh.c_str());
    }
    for (const IniPort &port : ways.ini.ports) {
        if (port.tcp_port == 0) continue;
        std::string direct = port.name + ": direct TCP port " + std::to_string(port.tcp_port) +
                             (port.rfc2217 != 0 ? " with the COM-PORT-OPTION (RFC 2217)" : "");
        say(direct.c_str());
    }

    Thread *watcher = thread_start(stop_watcher, window, 0);
    if (watcher == nullptr) {
        // Without the watcher the main thread looks for the stop request itself.
        while (process_wait_stop_request(100) != 0) handle_commands(&console, 0);
    } else {
        while (!handle_commands(&console, WAIT_FOREVER_MS)) {
        }
        thread_close(watcher);
    }

    say("stopping");
    control_channel_close(console.channel);  // first, so that no request changes what stops
    console.channel = nullptr;
    bool orderly = session_stop(&server);
    handle_commands(&console, 0);
    if (!orderly) say_message(STR_SERVER_FORCED_STOP);
    session_release();  // nothing is saved at shutdown
    // Workers left behind by a forced stop may still post: the queue stays valid until exit.
    ui_queue_close(window);
    say("stopped");
    return 0;
}
