// The port list dialog "SETUP": the configured ports in list order, moved, edited, added and
// deleted in the live port list at once, so the next caller already sees every change; the
// settings file is written when the dialog closes, whichever way.
#include <cstring>

#include "app/message_box.h"
#include "dialogs/dialog_rules.h"
#include "dialogs/dialogs.h"
#include "platform/ui.h"
#include "resources/resource_ids.h"
#include "settings/port_list.h"
#include "settings/settings_file.h"

namespace {

// When each button is enabled, by the list box's selection.
enum EnableWhen : std::int32_t { ALWAYS, SELECTED, SELECTED_NOT_FIRST, SELECTED_NOT_LAST };

struct ButtonRule {
    std::int32_t id;
    EnableWhen when;
};
constexpr ButtonRule SETUP_BUTTONS[] = {
    {ID_SETUP_UP, SELECTED_NOT_FIRST}, {ID_SETUP_DOWN, SELECTED_NOT_LAST},
    {ID_SETUP_EDIT, SELECTED},         {ID_SETUP_DELETE, SELECTED},
    {ID_SETUP_ADD, ALWAYS},            {ID_SETUP_CLOSE, ALWAYS},
};

constexpr std::int32_t MOVE_UP = 0;

void send(UiWindow *dialog, std::int32_t code, std::int32_t high = 0, std::int32_t argument = 0) {
    (void)ui_send_command(dialog, code, high, argument);
}

std::int32_t selection(UiWindow *dialog) { return ui_list_selection(dialog, ID_SETUP_PORT_LIST); }

// Runs the port settings dialog on settings_edit_buffer; true when the user confirmed with OK.
// A dialog that could not be made (-1) is no confirmation: the buffer was never shown.
bool port_settings_confirmed(UiWindow *dialog) {
    return ui_run_dialog(dialog, RES_PORTSETUP_DIALOG, port_setup_dialog_procedure) == 1;
}

// ---- The command codes

void setup_close(UiWindow *dialog) {
    if (!save_settings(SETTINGS_FILE_NAME)) {
        (void)show_resource_message(dialog, STR_DATA_WRITE_FAILED, UI_BOX_OK_EXCLAMATION);
    }
    ui_end_dialog(dialog, 0);
}

void setup_move(UiWindow *dialog, std::int32_t direction, std::int32_t position) {
    bool up = direction == MOVE_UP;
    if (position < 0) return;
    if (up && position == 0) return;
    if (!up && position + 1 >= ui_list_count(dialog, ID_SETUP_PORT_LIST)) return;
    (void)port_list_swap_next(up ? position - 1 : position);
    send(dialog, SETUP_FILL_LIST);
    // The moved port stays selected.
    ui_list_select(dialog, ID_SETUP_PORT_LIST, up ? position - 1 : position + 1);
    send(dialog, SETUP_UPDATE_BUTTONS);
}

void setup_edit_port(UiWindow *dialog, std::int32_t position) {
    adding_port = 0;
    PortRecord *record = port_list_at(position);
    if (record == nullptr) return;
    std::memcpy(&settings_edit_buffer, &record->settings, sizeof settings_edit_buffer);
    // A cancel drops the buffer, with whatever the permission dialog changed in it.
    if (port_settings_confirmed(dialog) && !port_list_update(record, &settings_edit_buffer)) {
        (void)show_resource_message(dialog, STR_PORT_UPDATE_FAILED, UI_BOX_OK_EXCLAMATION);
    }
    send(dialog, SETUP_FILL_LIST);
    send(dialog, SETUP_UPDATE_BUTTONS);
}

void setup_add_port(UiWindow *dialog) {
    adding_port = 1;
    if (port_settings_confirmed(dialog) && !port_list_add(&settings_edit_buffer)) {
        (void)show_resource_message(dialog, STR_PORT_ADD_FAILED, UI_BOX_OK_EXCLAMATION);
    }
    send(dialog, SETUP_FILL_LIST);
    send(dialog, SETUP_UPDATE_BUTTONS);
}

void setup_delete_port(UiWindow *dialog, std::int32_t position) {
    // No confirmation question.
    if (!port_list_remove(position)) {
        (void)show_resource_message(dialog, STR_PORT_REMOVE_FAILED, UI_BOX_OK_EXCLAMATION);
    }
    if (ui_list_delete(dialog, ID_SETUP_PORT_LIST, position) < 0) send(dialog, SETUP_FILL_LIST);
    send(dialog, SETUP_UPDATE_BUTTONS);
}

void setup_fill_list(UiWindow *dialog) {
    ui_list_clear(dialog, ID_SETUP_PORT_LIST);
    for (std::int32_t position = 0;; ++position) {
        PortRecord *record = port_list_at(position);
        if (record == nullptr) break;
        char name[sizeof record->settings.port_name + 1];
        field_text(record->settings.port_name, name);
        (void)ui_list_add(dialog, ID_SETUP_PORT_LIST, name);
    }
}

void setup_update_buttons(UiWindow *dialog) {
    std::int32_t selected = selection(dialog);
    std::int32_t count = ui_list_count(dialog, ID_SETUP_PORT_LIST);
    bool exists = selected >= 0 && selected < count;
    for (const ButtonRule &button : SETUP_BUTTONS) {
        bool enabled = false;
        switch (button.when) {
        case ALWAYS: enabled = true; break;
        case SELECTED: enabled = exists; break;
        case SELECTED_NOT_FIRST: enabled = exists && selected > 0; break;
        case SELECTED_NOT_LAST: enabled = exists && selected + 1 < count; break;
        }
        ui_enable(dialog, button.id, enabled);
    }
}

std::int32_t setup_command(UiWindow *dialog, const UiEvent *event) {
    switch (event->code) {
    case SETUP_CLOSE: setup_close(dialog); break;
    case SETUP_MOVE: setup_move(dialog, event->high, event->argument); break;
    case SETUP_EDIT_PORT: setup_edit_port(dialog, event->argument); break;
    case SETUP_ADD_PORT: setup_add_port(dialog); break;
    case SETUP_DELETE_PORT: setup_delete_port(dialog, event->argument); break;
    case SETUP_FILL_LIST: setup_fill_list(dialog); break;
    case SETUP_UPDATE_BUTTONS: setup_update_buttons(dialog); break;
    default: return 0;
    }
    return 1;
}

// ---- The user's actions

std::int32_t setup_control(UiWindow *dialog, std::int32_t id, std::int32_t notification) {
    std::int32_t selected = selection(dialog);
    switch (id) {
    case ID_SETUP_CLOSE: send(dialog, SETUP_CLOSE, 1); break;
    // Esc: the dialog has neither system menu nor close box, so this is the only other way out.
    case ID_CANCEL: send(dialog, SETUP_CLOSE, 0); break;
    case ID_SETUP_PORT_LIST:
        if (notification == UI_LIST_SELECTION_CHANGED ||
            notification == UI_LIST_SELECTION_CANCELLED) {
            send(dialog, SETUP_UPDATE_BUTTONS);
        } else if (notification == UI_LIST_DOUBLE_CLICK && selected >= 0) {
            send(dialog, SETUP_EDIT_PORT, 0, selected);
        }
        break;
    case ID_SETUP_UP:
        if (selected >= 0) send(dialog, SETUP_MOVE, 0, selected);
        break;
    case ID_SETUP_DOWN:
        if (selected >= 0) send(dialog, SETUP_MOVE, 1, selected);
        break;
    case ID_SETUP_EDIT:
        if (selected >= 0) send(dialog, SETUP_EDIT_PORT, 0, selected);
        break;
    case ID_SETUP_ADD: send(dialog, SETUP_ADD_PORT); break;
    case ID_SETUP_DELETE:
        if (selected >= 0) send(dialog, SETUP_DELETE_PORT, 0, selected);
        break;
    default: return 0;
    }
    return 1;
}

}  // namespace

std::int32_t setup_dialog_procedure(UiWindow *dialog, const UiEvent *event) {
    switch (event->kind) {
    case UI_EVENT_INIT:
        // Nothing is selected at first.
        send(dialog, SETUP_FILL_LIST);
        send(dialog, SETUP_UPDATE_BUTTONS);
        return 1;
    case UI_EVENT_COMMAND: return setup_control(dialog, event->id, event->notification);
    case UI_EVENT_APP_COMMAND: return setup_command(dialog, event);
    default: return 0;
    }
}
