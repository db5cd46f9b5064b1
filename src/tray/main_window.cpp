// The main window's logic: every button, menu item, tray click and worker notice becomes one of
// the window's command codes, handled here.
#include "tray/main_window.h"

#include <cstring>
#include <string>
#include <vector>

#include "app/message_box.h"
#include "app/session.h"
#include "app/status.h"
#include "dialogs/dialogs.h"
#include "gateway/relay.h"
#include "platform/ui.h"
#include "resources/resource_ids.h"
#include "settings/port_list.h"

std::int32_t tray_menu_enabled = 1;
std::int32_t line_menu_row = -1;
Thread *server_handle = nullptr;

namespace {

constexpr std::int32_t TRAY_ICON_SIZE = 16;
constexpr const char *TRAY_TIP = "NORVEX";

// Buttons and menu items, and the command each one is.
struct CommandOfControl {
    std::int32_t id;
    std::int32_t code;
};
constexpr CommandOfControl CONTROL_COMMANDS[] = {
    {ID_MAIN_LINE_SETUP, CMD_LINE_SETUP}, {ID_MAIN_HIDE, CMD_HIDE},
    {ID_MAIN_EXIT, CMD_EXIT},             {ID_MAIN_OPTIONS, CMD_OPTIONS},
    {ID_MAIN_ABOUT, CMD_ABOUT},           {ID_MAIN_SHOW, CMD_SHOW},
};

void send(UiWindow *window, std::int32_t code, std::int32_t argument = 0) {
    (void)ui_send_command(window, code, 0, argument);
}

// ---- Creation, closing and destruction

std::int32_t main_window_create(UiWindow *window) {
    std::int32_t telnet_port = 0;
    std::int32_t failure = session_start(window, &server_handle, &telnet_port);
    if (failure == STR_SETTINGS_READ_FAILED || failure == STR_SERVER_START_FAILED) {
        (void)show_resource_message(window, failure, UI_BOX_OK_EXCLAMATION);
        return -1;
    }
    // The server runs without a listener: the operator is told and can set another port in the
    // options, for the next start.
    if (failure == STR_LISTEN_FAILED) {
        (void)show_resource_message(window, failure, UI_BOX_OK_EXCLAMATION, telnet_port);
    }

    UiIcon *icon = ui_load_icon(RES_ICON, TRAY_ICON_SIZE);
    if (icon != nullptr) {
        (void)ui_tray_icon(window, UI_TRAY_ADD, ID_TRAY_ICON, icon, TRAY_TIP);
        ui_destroy_icon(icon);  // the shell keeps its own copy
    }
    (void)ui_post_command(window, CMD_INIT_COLUMNS, 0);
    return 0;
}

void main_window_close(UiWindow *window) {
    if (show_resource_message(window, STR_EXIT_QUESTION, UI_BOX_YES_NO) == UI_ANSWER_YES) {
        ui_destroy_window(window);
    }
}

void main_window_destroy(UiWindow *window) {
    (void)ui_tray_icon(window, UI_TRAY_DELETE, ID_TRAY_ICON, nullptr, nullptr);
    if (!session_stop(&server_handle)) {
        (void)show_resource_message(window, STR_SERVER_FORCED_STOP, UI_BOX_OK_EXCLAMATION);
    }
    session_release();
    ui_post_quit(0);
}

// ---- The command codes

void show_window(UiWindow *window) {
    ui_show(window, true);
    ui_set_foreground(window);
    send(window, CMD_REFRESH_STATUS);
}

void open_tray_menu(UiWindow *window) {
    if (tray_menu_enabled == 0) return;
    std::int32_t x = 0, y = 0;
    ui_cursor_position(&x, &y);
    // Also while hidden: the menu then closes when the user clicks elsewhere.
    ui_set_foreground(window);
    (void)ui_popup_menu(window, RES_TRAY_MENU, x, y);
}

// A dialog opened from the main window; the tray menu stays shut while it runs.
void run_dialog(UiWindow *window, const char *template_name, UiHandler handler) {
    tray_menu_enabled = 0;
    (void)ui_run_dialog(window, template_name, handler);
    tray_menu_enabled = 1;
}

void refresh_status(UiWindow *window) {
    std::vector<PortStatus> ports;
    status_snapshot(&ports);
    ui_view_clear(window, ID_MAIN_STATUS_LIST);
    for (std::size_t row = 0; row < ports.size(); ++row) {
        std::int32_t index = static_cast<std::int32_t>(row);
        (void)ui_view_insert_row(window, ID_MAIN_STATUS_LIST, index, ports[row].name.c_str());
        ui_view_set_cell(window, ID_MAIN_STATUS_LIST, index, 1,
                         ports[row].busy ? ports[row].caller.c_str() : "");
    }
}

void init_columns(UiWindow *window) {
    std::int32_t width = ui_view_client_width(window, ID_MAIN_STATUS_LIST);
    std::int32_t first = width * 3 / 10;
    char title[256];
    (void)ui_load_string(STR_STATUS_COLUMN_PORT, title, sizeof title);
    ui_view_add_column(window, ID_MAIN_STATUS_LIST, 0, first, title);
    (void)ui_load_string(STR_STATUS_COLUMN_ADDRESS, title, sizeof title);
    ui_view_add_column(window, ID_MAIN_STATUS_LIST, 1, width - first, title);
}

// The question text with the port name in place of its "%s".
std::string with_port_name(const char *text, const char *name) {
    std::string result = text;
    std::size_t place = result.find("%s");
    if (place != std::string::npos) result.replace(place, 2, name);
    return result;
}

void force_disconnect(UiWindow *window, std::int32_t row) {
    list_lock();
    PortRecord *port = port_list_at_locked(row);
    // Held through the question: the port may be removed and its call end meanwhile (the tray
    // menu works while a message box is up), and the answer must not land on freed memory.
    if (port != nullptr) port->references.fetch_add(1);
    list_unlock();
    if (port == nullptr) return;

    char name[sizeof port->settings.port_name];
    std::memcpy(name, port->settings.port_name, sizeof name);
    name[sizeof name - 1] = '\0';
    char text[256];
    if (port->busy.load() != 0 &&
        ui_load_string(STR_FORCE_DISCONNECT_QUESTION, text, sizeof text) > 0 &&
        ui_message_box(window, with_port_name(text, name).c_str(), "NORVEX", UI_BOX_YES_NO) ==
            UI_ANSWER_YES) {
        port->disconnect_request.store(1);
        relay_wake(port);
    }
    port_record_unreference(port);
}

std::int32_t main_window_command(UiWindow *window, std::int32_t code, std::int32_t argument) {
    switch (code) {
    case CMD_EXIT: ui_close_request(window); break;
    case CMD_HIDE: ui_show(window, false); break;
    case CMD_SHOW: show_window(window); break;
    case CMD_TRAY_MENU: open_tray_menu(window); break;
    case CMD_LINE_SETUP:
        run_dialog(window, RES_SETUP_DIALOG, setup_dialog_procedure);
        send(window, CMD_REFRESH_STATUS);
        break;
    case CMD_REFRESH_STATUS: refresh_status(window); break;
    case CMD_OPTIONS: run_dialog(window, RES_OPTION_DIALOG, option_dialog_procedure); break;
    case CMD_INIT_COLUMNS: init_columns(window); break;
    case CMD_ABOUT: run_dialog(window, RES_VERSION_DIALOG, about_dialog_procedure); break;
    case CMD_FORCE_DISCONNECT: force_disconnect(window, argument); break;
    default: return 0;
    }
    return 1;
}

// ---- Messages

void main_window_control(UiWindow *window, std::int32_t id) {
    if (id == ID_MAIN_FORCE_DISCONNECT) {
        send(window, CMD_FORCE_DISCONNECT, line_menu_row);
        return;
    }
    for (const CommandOfControl &entry : CONTROL_COMMANDS) {
        if (entry.id == id) send(window, entry.code);
    }
}

// A right click in the status list: the row under the cursor gets the line menu.
void status_list_right_click(UiWindow *window) {
    std::int32_t x = 0, y = 0;
    ui_cursor_position(&x, &y);
    std::int32_t left = 0, top = 0, right = 0, bottom = 0;
    ui_view_screen_rect(window, ID_MAIN_STATUS_LIST, &left, &top, &right, &bottom);
    std::int32_t row = ui_view_hit_test(window, ID_MAIN_STATUS_LIST, x - left, y - top);
    if (row < 0) return;
    line_menu_row = row;
    (void)ui_popup_menu(window, RES_LINE_MENU, x, y);
}

}  // namespace

std::int32_t main_window_procedure(UiWindow *window, const UiEvent *event) {
    switch (event->kind) {
    case UI_EVENT_CREATE: return main_window_create(window);
    case UI_EVENT_DESTROY: main_window_destroy(window); return 1;
    case UI_EVENT_CLOSE: main_window_close(window); return 1;
    case UI_EVENT_ACTIVATE: send(window, CMD_REFRESH_STATUS); return 0;
    case UI_EVENT_NOTIFY:
        if (event->id == ID_MAIN_STATUS_LIST && event->notification == UI_NOTIFY_RIGHT_CLICK) {
            status_list_right_click(window);
        }
        return 0;
    case UI_EVENT_COMMAND: main_window_control(window, event->id); return 1;
    case UI_EVENT_TRAY:
        if (event->argument == UI_MOUSE_LEFT_DOUBLE_CLICK) send(window, CMD_SHOW);
        if (event->argument == UI_MOUSE_RIGHT_DOWN) send(window, CMD_TRAY_MENU);
        return 1;
    case UI_EVENT_APP_COMMAND: return main_window_command(window, event->code, event->argument);
    case UI_EVENT_INIT: return 0;
    }
    return 0;
}
