// The console program: start-up, the wait for a stop request with status reports, shutdown.
#include "app/console.h"

#include <cstdio>
#include <vector>

#include "app/messages.h"
#include "app/status.h"
#include "gateway/listener.h"
#include "gateway/port_allocation.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "settings/port_list.h"
#include "settings/settings_file.h"

namespace {

constexpr std::uint32_t STOP_POLL_MS = 100;

void say(const char *text) { std::fprintf(stderr, "NORVEX: %s\n", text); }

// A numbered message with its gloss; `number` fills a %d.
void say_message(std::int32_t id, int number = 0) {
    char text[512];
    char gloss[256];
    std::snprintf(text, sizeof text, message_text(id), number);
    std::snprintf(gloss, sizeof gloss, message_gloss(id), number);
    std::fprintf(stderr, "NORVEX: %s (%s)\n", text, gloss);
}

// Prints the ports that changed since the last report, once per queued notice.
void report_status(UiWindow *window, std::vector<PortStatus> *last) {
    std::int32_t code = 0, param = 0;
    while (ui_queue_next(window, 0, &code, &param) == 0) {
        if (code != CMD_REFRESH_STATUS) continue;
        std::vector<std::string> lines;
        status_changes(last, &lines);
        for (const std::string &line : lines) say(line.c_str());
    }
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

    UiWindow *window = ui_queue_create();
    if (window == nullptr || !load_settings(SETTINGS_FILE_NAME, window)) {
        say_message(MSG_SETTINGS_READ_FAILED);
        return 1;
    }
    GlobalOptions options;
    options_get(&options);
    std::int32_t listening = 0;
    Thread *server = gateway_start(options.telnet_port, &listening);
    if (server == nullptr) {
        port_list_clear();
        say_message(MSG_SERVER_START_FAILED);
        return 1;
    }
    if (listening == 0) {
        gateway_stop(server);
        port_list_clear();
        say_message(MSG_LISTEN_FAILED, options.telnet_port);
        return 1;
    }

    std::string ports;
    std::vector<PortStatus> last;
    std::vector<std::string> unused;
    status_changes(&last, &unused);
    for (const PortStatus &status : last) ports += (ports.empty() ? "" : ", ") + status.name;
    char started[600];
    std::snprintf(started, sizeof started, "listening on telnet port %d; %zu port(s)%s%s",
                  options.telnet_port, last.size(), ports.empty() ? "" : ": ", ports.c_str());
    say(started);

    while (process_wait_stop_request(STOP_POLL_MS) != 0) report_status(window, &last);

    say("stopping");
    bool orderly = gateway_stop(server);
    report_status(window, &last);
    if (!orderly) say_message(MSG_SERVER_FORCED_STOP);
    port_list_clear();  // nothing is saved at shutdown
    // Workers left behind by a forced stop may still post: the queue stays valid until exit.
    ui_queue_close(window);
    say("stopped");
    return 0;
}
