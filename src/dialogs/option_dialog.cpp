// The options dialog "OPTION": the caller messages, the telnet port, the host-name lookup and the
// access log. OK replaces the live GlobalOptions whole (workers copy them under their lock, so
// none reads a half-written text) and saves the file; the telnet port counts from the next start.
#include <cstdio>

#include "app/message_box.h"
#include "dialogs/dialog_rules.h"
#include "dialogs/dialogs.h"
#include "platform/ui.h"
#include "resources/resource_ids.h"
#include "settings/settings_file.h"

namespace {

struct FlagControl {
    std::int32_t id;
    std::int32_t GlobalOptions::*field;
};
constexpr FlagControl FLAG_CONTROLS[] = {
    {ID_OPT_RESOLVE_NAMES, &GlobalOptions::resolve_host_names},
    {ID_OPT_LOG_ENABLED, &GlobalOptions::access_log_enabled},
};

struct MessageControl {
    std::int32_t id;
    char (GlobalOptions::*field)[256];
};
constexpr MessageControl MESSAGE_CONTROLS[] = {
    {ID_OPT_BUSY_MESSAGE, &GlobalOptions::busy_message},
    {ID_OPT_PORT_ERROR_MESSAGE, &GlobalOptions::port_error_message},
    {ID_OPT_CONNECT_ERROR_MESSAGE, &GlobalOptions::connect_error_message},
    {ID_OPT_GREETING_MESSAGE, &GlobalOptions::greeting_message},
};

constexpr std::int32_t PORT_TEXT_SIZE = 256;  // the port field is read up to 255 characters

void option_open(UiWindow *dialog) {
    GlobalOptions options;
    options_get(&options);
    char number[16];
    std::snprintf(number, sizeof number, "%d", static_cast<int>(options.telnet_port));
    ui_set_text(dialog, ID_OPT_TELNET_PORT, number);
    for (const FlagControl &flag : FLAG_CONTROLS) {
        ui_set_check(dialog, flag.id, options.*flag.field != 0);
    }
    for (const MessageControl &message : MESSAGE_CONTROLS) {
        char text[sizeof(GlobalOptions::busy_message) + 1];
        field_text(options.*message.field, text);
        ui_set_text(dialog, message.id, text);
    }
    char log_name[sizeof options.access_log_file_name + 1];
    field_text(options.access_log_file_name, log_name);
    ui_set_text(dialog, ID_OPT_LOG_FILE_NAME, log_name);
}

void option_commit(UiWindow *dialog) {
    GlobalOptions options;
    options_get(&options);
    char text[PORT_TEXT_SIZE];
    (void)ui_get_text(dialog, ID_OPT_TELNET_PORT, text, sizeof text);
    std::int32_t telnet_port = leading_digits_value(text);
    for (const FlagControl &flag : FLAG_CONTROLS) {
        options.*flag.field = ui_get_check(dialog, flag.id) ? 1 : 0;
    }
    for (const MessageControl &message : MESSAGE_CONTROLS) {
        char typed[sizeof(GlobalOptions::busy_message)];
        (void)ui_get_text(dialog, message.id, typed, sizeof typed);
        text_set(options.*message.field, typed);
    }
    char log_name[sizeof options.access_log_file_name];
    (void)ui_get_text(dialog, ID_OPT_LOG_FILE_NAME, log_name, sizeof log_name);
    text_set(options.access_log_file_name, log_name);

    bool port_changed = telnet_port != options.telnet_port;
    options.telnet_port = telnet_port;
    // In effect for the next connection from here on; the running listener keeps its port.
    options_set(&options);
    if (port_changed) (void)show_resource_message(dialog, STR_TELNET_PORT_NEXT_START, UI_BOX_OK);
    if (!save_settings(SETTINGS_FILE_NAME)) {
        (void)show_resource_message(dialog, STR_DATA_WRITE_FAILED, UI_BOX_OK_EXCLAMATION);
    }
    ui_end_dialog(dialog, 0);
}

}  // namespace

std::int32_t option_dialog_procedure(UiWindow *dialog, const UiEvent *event) {
    switch (event->kind) {
    case UI_EVENT_INIT: option_open(dialog); return 1;
    case UI_EVENT_COMMAND:
        if (event->id == ID_OPT_OK) {
            option_commit(dialog);
            return 1;
        }
        if (event->id == ID_OPT_CANCEL) {
            ui_end_dialog(dialog, 0);
            return 1;
        }
        return 0;
    default: return 0;
    }
}
