// Start and stop of the gateway, shared by both programs.
#include "app/session.h"

#include "gateway/listener.h"
#include "platform/file.h"
#include "resources/resource_ids.h"
#include "settings/port_list.h"
#include "settings/settings_file.h"
#include "ssh/ssh_server.h"

namespace {

// The SSH server, opened when SSH is first turned on and kept until the release: its sessions
// copy what they need of it, and its host key does not change while the program runs.
SshServer *ssh_server = nullptr;  // UI thread
// Whether the last stop was orderly: after a forced one, connections may still use the server.
bool stopped_in_order = true;  // UI thread

// True when the port list has a port of this name (any case). UI thread.
bool port_listed(const std::string &name) {
    for (std::int32_t i = 0; PortRecord *record = port_list_at(i); ++i) {
        const PortSettings &settings = record->settings;
        if (text_equal_ignoring_case(name.data(), name.size(), settings.port_name,
                                     text_length(settings.port_name))) {
            return true;
        }
    }
    return false;
}

// The ports' direct TCP ports that NORVEX.INI names, for the ports that the list has.
void direct_ways(SessionWays *ways, std::vector<GatewayWay> *wanted) {
    for (const IniPort &port : ways->ini.ports) {
        if (port.tcp_port == 0) continue;
        if (!port_listed(port.name) || port.name.size() >= sizeof GatewayWay::port_name) {
            ways->problems.push_back(port.name + "'s TCP port " + std::to_string(port.tcp_port) +
                                     ": NORVEX.DAT has no port " + port.name +
                                     "; the TCP port is not opened");
            continue;
        }
        GatewayWay way{WAY_DIRECT, port.tcp_port, {}, port.rfc2217};
        text_set(way.port_name, port.name.c_str());
        wanted->push_back(way);
    }
}

// Opens the ways in that NORVEX.INI names and hands them to the listener (the ways it no longer
// names are closed). What could not be opened goes into ways->problems.
void apply_ways(SessionWays *ways) {
    std::vector<GatewayWay> wanted;
    ways->ssh_fingerprint.clear();
    if (ways->ini.ssh_port != 0) {
        std::string problem;
        if (ssh_supported() == 0) {
            ways->problems.push_back("SSH port " + std::to_string(ways->ini.ssh_port) +
                                     ": this program is built without an SSH server");
        } else if (ssh_server == nullptr &&
                   (ssh_server = ssh_server_open(&ways->ssh_fingerprint, &problem)) == nullptr) {
            ways->problems.push_back("SSH port " + std::to_string(ways->ini.ssh_port) + ": " +
                                     problem);
        } else {
            if (ways->ssh_fingerprint.empty()) (void)ssh_host_key_fingerprint(&ways->ssh_fingerprint);
            wanted.push_back(GatewayWay{WAY_SSH, ways->ini.ssh_port, {}, 0});
        }
    }
    direct_ways(ways, &wanted);
    std::vector<GatewayWay> failed;
    gateway_set_ways(wanted, ssh_server, &failed);
    for (const GatewayWay &way : failed) {
        if (way.way == WAY_SSH) {
            ways->problems.push_back("cannot listen on SSH port " + std::to_string(way.tcp_port) +
                                     " (in use, or no permission)");
        } else {
            ways->problems.push_back("cannot listen on " + std::string(way.port_name) +
                                     "'s TCP port " + std::to_string(way.tcp_port) +
                                     " (in use, or no permission)");
        }
    }
}

}  // namespace

std::int32_t session_start(UiWindow *notify_window, Thread **server, std::int32_t *telnet_port,
                           SessionWays *ways) {
    *server = nullptr;
    *telnet_port = 0;
    SessionWays unreported;
    if (ways == nullptr) ways = &unreported;
    *ways = SessionWays{};
    if (!load_settings(SETTINGS_FILE_NAME, notify_window)) return STR_SETTINGS_READ_FAILED;
    IniDocument document;
    std::string problem;
    GlobalOptions options;
    options_get(&options);
    if (ini_read(&document, &ways->ini, &problem) != 0 ||
        ini_check_tcp_ports(&ways->ini, options.telnet_port, true, &problem) != 0) {
        if (problem.rfind(INI_FILE_NAME, 0) != 0) problem = std::string(INI_FILE_NAME) + " " + problem;
        ways->problems.push_back(problem);
        port_list_clear();
        return STR_SETTINGS_READ_FAILED;
    }
    ini_settings_set(&ways->ini);
    *telnet_port = options.telnet_port;
    std::int32_t listening = 0;
    *server = gateway_start(options.telnet_port, &listening);
    if (*server == nullptr) {
        port_list_clear();
        return STR_SERVER_START_FAILED;
    }
    if (listening == 0) return STR_LISTEN_FAILED;
    apply_ways(ways);
    return 0;
}

bool session_stop(Thread **server) {
    bool orderly = gateway_stop(*server);
    *server = nullptr;
    stopped_in_order = orderly;
    return orderly;
}

void session_release() {
    port_list_clear();
    // After a forced stop a connection may still be logging in with it: it is left open then.
    if (stopped_in_order) {
        ssh_server_close(ssh_server);
        ssh_server = nullptr;
    }
}

std::int32_t session_reload(SessionReload *report) {
    options_get(&report->before);
    report->after = report->before;
    report->ports = PortListReload{};
    ini_settings_get(&report->ini_before);
    report->ways = SessionWays{};
    report->ways.ini = report->ini_before;
    // An edit holds the file's lock from its read through its rename, and asks for the reload
    // after that; a reload asked for otherwise waits for one in progress. NORVEX.INI is edited
    // under the same lock.
    std::int32_t why = 0;
    SettingsLock *lock = settings_lock(SETTINGS_FILE_NAME, true, &why);
    if (lock == nullptr) return RELOAD_UNREADABLE;
    IniDocument document;
    IniSettings ini;
    std::string problem;
    if (ini_read(&document, &ini, &problem) != 0) {
        settings_unlock(lock);
        report->ways.problems.push_back(problem);
        return RELOAD_INI_MALFORMED;
    }
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
    // The file's telnet port is the one the next start listens on.
    if (ini_check_tcp_ports(&ini, image.options.telnet_port, true, &problem) != 0) {
        report->ways.problems.push_back(std::string(INI_FILE_NAME) + " " + problem);
        return RELOAD_INI_MALFORMED;
    }

    options_set(&image.options);
    report->after = image.options;
    port_list_reload(image.ports, &report->ports);
    ini_settings_set(&ini);
    report->ways.ini = ini;
    apply_ways(&report->ways);
    return 0;
}
