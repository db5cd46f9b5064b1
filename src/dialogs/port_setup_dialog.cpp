// The port settings dialog "PORTSETUP": one port's line, signals, time-outs, modem emulation and
// texts, on settings_edit_buffer; its permission list through the permission dialog. The port
// list dialog applies the buffer after an OK; this dialog only reads the names in use.
#include <cstdio>
#include <vector>

#include "app/message_box.h"
#include "dialogs/dialog_rules.h"
#include "dialogs/dialogs.h"
#include "platform/ui.h"
#include "resources/resource_ids.h"
#include "settings/port_list.h"

PortSettings settings_edit_buffer{};
std::int32_t adding_port = 0;

namespace {

// The drop-down lists 101 to 108 and the field each one shows.
struct ChoiceCombo {
    std::int32_t id;
    PortChoice list;
};
constexpr ChoiceCombo CHOICE_COMBOS[] = {
    {ID_PORT_BAUD_RATE, CHOICE_BAUD_RATE},
    {ID_PORT_DATA_BITS, CHOICE_DATA_BITS},
    {ID_PORT_PARITY, CHOICE_PARITY},
    {ID_PORT_STOP_BITS, CHOICE_STOP_BITS},
    {ID_PORT_FLOW_CONTROL, CHOICE_FLOW_CONTROL},
    {ID_PORT_RAISE_SIGNALS, CHOICE_RAISE_SIGNALS},
    {ID_PORT_CONFIRM_SIGNALS, CHOICE_CONFIRM_SIGNALS},
    {ID_PORT_WATCH_SIGNALS, CHOICE_WATCH_SIGNALS},
};

struct NumberField {
    std::int32_t id;
    std::int32_t PortSettings::*field;
};
constexpr NumberField TIMEOUT_FIELDS[] = {
    {ID_PORT_CONNECT_TIMEOUT, &PortSettings::connect_timeout_ms},
    {ID_PORT_DISCONNECT_TIMEOUT, &PortSettings::disconnect_timeout_ms},
    {ID_PORT_IDLE_TIMEOUT, &PortSettings::idle_timeout_s},
};
constexpr NumberField FLAG_FIELDS[] = {
    {ID_PORT_MODEM_EMULATION, &PortSettings::modem_emulation},
    {ID_PORT_FALLING_EDGE, &PortSettings::drop_on_falling_edge},
};

struct TextField {
    std::int32_t id;
    char (PortSettings::*field)[256];
};
constexpr TextField TEXT_FIELDS[] = {
    {ID_PORT_CONNECT_MESSAGE, &PortSettings::connect_message},
    {ID_PORT_DISCONNECT_MESSAGE, &PortSettings::disconnect_message},
    {ID_PORT_AUTO_PILOT, &PortSettings::auto_pilot_string},
    {ID_PORT_DISCONNECT_KEYWORD, &PortSettings::disconnect_keyword},
};

constexpr std::int32_t FIELD_TEXT_SIZE = 256;  // a field's text is read up to 255 characters

bool adding() { return adding_port != 0; }

// The names combo 100 lists: all nine when editing, the free ones when adding. The dialog changes
// no port, so the list is the same at the opening and at the end.
std::int32_t listed_port_names(PortNameChoice (&names)[PORT_NAME_CHOICE_COUNT]) {
    std::vector<const char *> taken;
    if (adding()) {
        for (std::int32_t position = 0; PortRecord *record = port_list_at(position); ++position) {
            taken.push_back(record->settings.port_name);
        }
    }
    return port_name_choices(adding(), taken.data(), static_cast<std::int32_t>(taken.size()),
                             names);
}

// Puts settings_edit_buffer into the controls.
void show_settings(UiWindow *dialog) {
    const PortSettings &settings = settings_edit_buffer;
    // The name of a configured port cannot be changed.
    ui_enable(dialog, ID_PORT_NAME, adding());
    (void)ui_combo_select(dialog, ID_PORT_NAME, adding() ? 0 : port_name_shown(settings.port_name));
    for (const ChoiceCombo &combo : CHOICE_COMBOS) {
        (void)ui_combo_select(dialog, combo.id, port_choice_shown(&settings, combo.list));
    }
    for (const NumberField &number : TIMEOUT_FIELDS) {
        char text[16];
        std::snprintf(text, sizeof text, "%d", static_cast<int>(settings.*number.field));
        ui_set_text(dialog, number.id, text);
    }
    for (const NumberField &flag : FLAG_FIELDS) {
        ui_set_check(dialog, flag.id, settings.*flag.field != 0);
    }
    for (const TextField &field : TEXT_FIELDS) {
        char text[FIELD_TEXT_SIZE + 1];
        field_text(settings.*field.field, text);
        ui_set_text(dialog, field.id, text);
    }
}

void port_setup_open(UiWindow *dialog) {
    PortNameChoice names[PORT_NAME_CHOICE_COUNT];
    std::int32_t name_count = listed_port_names(names);
    for (std::int32_t i = 0; i < name_count; ++i) {
        (void)ui_combo_add(dialog, ID_PORT_NAME, names[i].text);
    }
    if (name_count == 0) {
        (void)show_resource_message(dialog, STR_NO_PORT_TO_ADD, UI_BOX_OK_EXCLAMATION);
        ui_end_dialog(dialog, 0);
        return;
    }
    for (const ChoiceCombo &combo : CHOICE_COMBOS) {
        const PortChoiceList &list = port_choice_lists[combo.list];
        for (std::int32_t k = 0; k < list.item_count; ++k) {
            (void)ui_combo_add(dialog, combo.id, list.items[k]);
        }
    }
    char title[256];
    (void)ui_load_string(adding() ? STR_TITLE_ADD_PORT : STR_TITLE_PORT_SETTINGS, title,
                         sizeof title);
    ui_set_title(dialog, title);
    // A new port starts from the defaults, with no permission rules, under the first free name.
    if (adding()) port_settings_defaults(&settings_edit_buffer, names[0].text);
    show_settings(dialog);
}

// Reads the controls into settings_edit_buffer. A combo without a selection leaves its field.
void store_settings(UiWindow *dialog) {
    PortSettings &settings = settings_edit_buffer;
    std::int32_t name_item = ui_combo_selection(dialog, ID_PORT_NAME);
    PortNameChoice names[PORT_NAME_CHOICE_COUNT];
    if (name_item >= 0 && name_item < listed_port_names(names)) {
        text_set(settings.port_name, names[name_item].text);
    }
    for (const ChoiceCombo &combo : CHOICE_COMBOS) {
        (void)port_choice_store(&settings, combo.list, ui_combo_selection(dialog, combo.id));
    }
    for (const NumberField &number : TIMEOUT_FIELDS) {
        char text[FIELD_TEXT_SIZE];
        (void)ui_get_text(dialog, number.id, text, sizeof text);
        settings.*number.field = decimal_text_value(text);
    }
    for (const NumberField &flag : FLAG_FIELDS) {
        settings.*flag.field = ui_get_check(dialog, flag.id) ? 1 : 0;
    }
    for (const TextField &field : TEXT_FIELDS) {
        char text[FIELD_TEXT_SIZE];
        (void)ui_get_text(dialog, field.id, text, sizeof text);
        text_set(settings.*field.field, text);
    }
}

void portsetup_end(UiWindow *dialog, std::int32_t result) {
    if (result != 0) store_settings(dialog);
    ui_end_dialog(dialog, result);
}

std::int32_t port_setup_control(UiWindow *dialog, std::int32_t id) {
    switch (id) {
    case ID_PORT_OK: (void)ui_send_command(dialog, PORTSETUP_END, 1, 0); break;
    case ID_PORT_CANCEL: (void)ui_send_command(dialog, PORTSETUP_END, 0, 0); break;
    // The permission dialog edits the buffer's rules in place; its result says nothing here.
    case ID_PORT_PERMISSIONS:
        (void)ui_run_dialog(dialog, RES_PERMISSION_DIALOG, permission_dialog_procedure);
        break;
    default: return 0;
    }
    return 1;
}

}  // namespace

std::int32_t port_setup_dialog_procedure(UiWindow *dialog, const UiEvent *event) {
    switch (event->kind) {
    case UI_EVENT_INIT: port_setup_open(dialog); return 1;
    case UI_EVENT_COMMAND: return port_setup_control(dialog, event->id);
    case UI_EVENT_APP_COMMAND:
        if (event->code != PORTSETUP_END) return 0;
        portsetup_end(dialog, event->high);
        return 1;
    default: return 0;
    }
}
