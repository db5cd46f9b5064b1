// Start and stop of the gateway, shared by both programs.
#include "app/session.h"

#include "gateway/listener.h"
#include "resources/resource_ids.h"
#include "settings/port_list.h"
#include "settings/settings_file.h"

std::int32_t session_start(UiWindow *notify_window, Thread **server, std::int32_t *telnet_port) {
    *server = nullptr;
    *telnet_port = 0;
    if (!load_settings(SETTINGS_FILE_NAME, notify_window)) return STR_SETTINGS_READ_FAILED;
    GlobalOptions options;
    options_get(&options);
    *telnet_port = options.telnet_port;
    std::int32_t listening = 0;
    *server = gateway_start(options.telnet_port, &listening);
    if (*server == nullptr) {
        port_list_clear();
        return STR_SERVER_START_FAILED;
    }
    return listening != 0 ? 0 : STR_LISTEN_FAILED;
}

bool session_stop(Thread **server) {
    bool orderly = gateway_stop(*server);
    *server = nullptr;
    return orderly;
}

void session_release() { port_list_clear(); }
