// Start and stop of the gateway, shared by both programs.
#include "app/session.h"

#include "gateway/listener.h"
#include "platform/file.h"
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

std::int32_t session_reload(SessionReload *report) {
    options_get(&report->before);
    report->after = report->before;
    report->ports = PortListReload{};
    // An edit holds the file's lock from its read through its rename, and asks for the reload
    // after that; a reload asked for otherwise waits for one in progress.
    std::int32_t why = 0;
    SettingsLock *lock = settings_lock(SETTINGS_FILE_NAME, true, &why);
    if (lock == nullptr) return RELOAD_UNREADABLE;
    if (file_find(SETTINGS_FILE_NAME) == 0) {
        settings_unlock(lock);
        return RELOAD_MISSING;
    }
    File *file = settings_open(lock, &why);
    if (file == nullptr) {
        settings_unlock(lock);
        return RELOAD_UNREADABLE;
    }
    SettingsImage image;
    int read = settings_image_read(file, &image);
    file_close(file);
    settings_unlock(lock);
    if (read == IMAGE_READ_NEW) return RELOAD_MISSING;
    if (read == IMAGE_READ_MALFORMED) return RELOAD_MALFORMED;
    if (read != IMAGE_READ_OK) return RELOAD_UNREADABLE;

    options_set(&image.options);
    report->after = image.options;
    port_list_reload(image.ports, &report->ports);
    return 0;
}
