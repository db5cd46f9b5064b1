// norvex-demo-setup: writes NORVEX.DAT in the current directory for the demonstration: the telnet
// port (2323 unless --telnet-port says otherwise) and one port COM1 that norvex-demo-device serves,
// with an auto-pilot that wakes the device and a keyword that ends the call.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "settings/port_list.h"
#include "settings/settings_file.h"

int main(int argc, char **argv) {
    int telnet_port = 2323;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--telnet-port") == 0 && i + 1 < argc) {
            telnet_port = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: norvex-demo-setup [--telnet-port N]\n");
            return 2;
        }
    }
    if (telnet_port <= 0 || telnet_port > 65535) {
        std::fprintf(stderr, "norvex-demo-setup: the telnet port must be 1 to 65535\n");
        return 2;
    }

    // Start from what is there (or the defaults), then set the demonstration's values.
    if (!load_settings(SETTINGS_FILE_NAME, nullptr)) {
        std::fprintf(stderr, "norvex-demo-setup: cannot read %s\n", SETTINGS_FILE_NAME);
        return 1;
    }
    GlobalOptions options;
    options_get(&options);
    options.telnet_port = telnet_port;
    options.access_log_enabled = 1;
    text_set(options.access_log_file_name, "access.log");
    options_set(&options);

    while (port_list.port_count > 0) port_list_remove(0);
    PortSettings port;
    port_settings_defaults(&port, "COM1");
    port.flow_control = 0;
    // Wake the device and wait for its prompt before the caller is let through.
    text_set(port.auto_pilot_string, "\\r{3000}[> ]");
    text_set(port.connect_message,
             "*** NORVEX: connected to COM1, the demo device. Commands: HELP TIME ECHO BYE\r\n> ");
    text_set(port.disconnect_message, "*** NORVEX: call ended\r\n");
    text_set(port.disconnect_keyword, "*** BYE ***");
    if (!port_list_add(&port) || !save_settings(SETTINGS_FILE_NAME)) {
        std::fprintf(stderr, "norvex-demo-setup: cannot write %s\n", SETTINGS_FILE_NAME);
        return 1;
    }
    port_list_clear();
    std::printf("norvex-demo-setup: %s written (telnet port %d, COM1 = demo device)\n",
                SETTINGS_FILE_NAME, telnet_port);
    return 0;
}
