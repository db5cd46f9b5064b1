// The permission list dialog "PERMISSION": the ordered rules of settings_edit_buffer, added,
// changed, moved and deleted in place. The used rules stay packed at the front and row n of the
// list always shows rule n.
#include <iterator>

#include "app/message_box.h"
#include "dialogs/dialog_rules.h"
#include "dialogs/dialogs.h"
#include "platform/ui.h"
#include "resources/resource_ids.h"

namespace {

constexpr std::int32_t CHOICE_PERMIT = 0;  // item 0 of control 201: "許可"
constexpr std::int32_t CHOICE_DENY = 1;    // item 1: "拒否"

// The five buttons, and which are enabled where the selected row stands (by ListPlace).
constexpr std::int32_t PERM_BUTTONS[] = {ID_PERM_UP, ID_PERM_DOWN, ID_PERM_ADD, ID_PERM_DELETE,
                                         ID_PERM_CHANGE};
constexpr bool PERM_BUTTONS_ENABLED[][std::size(PERM_BUTTONS)] = {
    //  up     down   add   delete change
    {false, false, true, false, false},  // PLACE_NONE
    {false, false, true, true, true},    // PLACE_ONLY: the first row, and no second one
    {false, true, true, true, true},     // PLACE_FIRST
    {true, true, true, true, true},      // PLACE_MIDDLE
    {true, false, true, true, true},     // PLACE_LAST
};
static_assert(std::size(PERM_BUTTONS_ENABLED) == PLACE_LAST + 1);

PermissionRule (&rules())[PERMISSION_RULE_COUNT] { return settings_edit_buffer.permission_rules; }

void send(UiWindow *dialog, std::int32_t code, std::int32_t argument = 0) {
    (void)ui_send_command(dialog, code, 0, argument);
}

// Empties the entry fields: no text, "許可".
void reset_entry(UiWindow *dialog) {
    (void)ui_combo_select(dialog, ID_PERM_CHOICE, CHOICE_PERMIT);
    ui_set_text(dialog, ID_PERM_ENTRY, "");
}

void swap_rules(std::int32_t a, std::int32_t b) {
    PermissionRule kept = rules()[a];
    rules()[a] = rules()[b];
    rules()[b] = kept;
}

// ---- The command codes

void perm_fill_list(UiWindow *dialog) {
    char permit[256];
    char deny[256];
    (void)ui_load_string(STR_PERMIT, permit, sizeof permit);
    (void)ui_load_string(STR_DENY, deny, sizeof deny);
    ui_view_clear(dialog, ID_PERM_LIST);
    for (std::int32_t r = 0; r < PERMISSION_RULE_COUNT && rules()[r].in_use != 0; ++r) {
        char text[RULE_TEXT_SIZE];
        format_rule_text(&rules()[r], text);
        (void)ui_view_insert_row(dialog, ID_PERM_LIST, r, text);
        ui_view_set_cell(dialog, ID_PERM_LIST, r, 1, rules()[r].permit != 0 ? permit : deny);
    }
}

void perm_move_up(UiWindow *dialog) {
    std::int32_t row = first_selected_row(dialog);
    if (row < 1 || row >= PERMISSION_RULE_COUNT) return;
    swap_rules(row, row - 1);
    send(dialog, PERM_FILL_LIST);
    ui_view_select(dialog, ID_PERM_LIST, row - 1);
    send(dialog, PERM_UPDATE_BUTTONS);
}

void perm_move_down(UiWindow *dialog) {
    std::int32_t row = first_selected_row(dialog);
    if (row < 0 || row + 1 >= ui_view_row_count(dialog, ID_PERM_LIST) ||
        row + 1 >= PERMISSION_RULE_COUNT) {
        return;
    }
    swap_rules(row, row + 1);
    send(dialog, PERM_FILL_LIST);
    ui_view_select(dialog, ID_PERM_LIST, row + 1);
    send(dialog, PERM_UPDATE_BUTTONS);
}

void perm_add(UiWindow *dialog) {
    std::int32_t free_rule = permission_rules_first_free(rules());
    if (free_rule < 0) {
        (void)show_resource_message(dialog, STR_NO_FREE_RULE, UI_BOX_OK_EXCLAMATION);
        return;
    }
    // An entry without content stores nothing, but the fields are emptied all the same.
    send(dialog, PERM_STORE_EDIT, free_rule);
    reset_entry(dialog);
    send(dialog, PERM_FILL_LIST);
    send(dialog, PERM_UPDATE_BUTTONS);
}

void perm_delete(UiWindow *dialog) {
    std::int32_t row = first_selected_row(dialog);
    if (row < 0 || row >= PERMISSION_RULE_COUNT) return;
    // No confirmation; the entry fields keep what they hold.
    rules()[row].in_use = 0;
    send(dialog, PERM_COMPACT);
    send(dialog, PERM_FILL_LIST);
    send(dialog, PERM_UPDATE_BUTTONS);
}

void perm_change(UiWindow *dialog) {
    std::int32_t row = first_selected_row(dialog);
    if (row < 0 || row >= PERMISSION_RULE_COUNT) return;
    send(dialog, PERM_STORE_EDIT, row);
    reset_entry(dialog);
    send(dialog, PERM_FILL_LIST);
    // Selecting the row again brings its rule, as now stored, back into the entry fields.
    ui_view_select(dialog, ID_PERM_LIST, row);
    send(dialog, PERM_UPDATE_BUTTONS);
}

void perm_store_edit(UiWindow *dialog, std::int32_t rule) {
    if (rule < 0 || rule >= PERMISSION_RULE_COUNT) return;
    char entry[PERMISSION_ENTRY_MAX + 1];
    (void)ui_get_text(dialog, ID_PERM_ENTRY, entry, sizeof entry);
    bool permit = ui_combo_selection(dialog, ID_PERM_CHOICE) == CHOICE_PERMIT;
    (void)permission_entry_parse(entry, permit, &rules()[rule]);
}

void perm_compact() { permission_rules_compact(rules()); }

void perm_update_buttons(UiWindow *dialog) {
    ListPlace place =
        list_place(first_selected_row(dialog), ui_view_row_count(dialog, ID_PERM_LIST));
    for (std::size_t i = 0; i < std::size(PERM_BUTTONS); ++i) {
        ui_enable(dialog, PERM_BUTTONS[i], PERM_BUTTONS_ENABLED[place][i]);
    }
}

std::int32_t perm_command(UiWindow *dialog, const UiEvent *event) {
    switch (event->code) {
    case PERM_FILL_LIST: perm_fill_list(dialog); break;
    case PERM_MOVE_UP: perm_move_up(dialog); break;
    case PERM_MOVE_DOWN: perm_move_down(dialog); break;
    case PERM_ADD: perm_add(dialog); break;
    case PERM_DELETE: perm_delete(dialog); break;
    case PERM_CHANGE: perm_change(dialog); break;
    case PERM_STORE_EDIT: perm_store_edit(dialog, event->argument); break;
    case PERM_COMPACT: perm_compact(); break;
    case PERM_UPDATE_BUTTONS: perm_update_buttons(dialog); break;
    default: return 0;
    }
    return 1;
}

// ---- Messages

void perm_open(UiWindow *dialog) {
    std::int32_t width = ui_view_client_width(dialog, ID_PERM_LIST);
    std::int32_t first = width * 6 / 10;
    char text[256];
    (void)ui_load_string(STR_PERM_COLUMN_ADDRESS, text, sizeof text);
    ui_view_add_column(dialog, ID_PERM_LIST, 0, first, text);
    (void)ui_load_string(STR_PERM_COLUMN_PERMIT, text, sizeof text);
    ui_view_add_column(dialog, ID_PERM_LIST, 1, width - first, text);

    (void)ui_load_string(STR_PERMIT, text, sizeof text);
    (void)ui_combo_add(dialog, ID_PERM_CHOICE, text);
    (void)ui_load_string(STR_DENY, text, sizeof text);
    (void)ui_combo_add(dialog, ID_PERM_CHOICE, text);
    reset_entry(dialog);

    send(dialog, PERM_COMPACT);
    send(dialog, PERM_UPDATE_BUTTONS);
    send(dialog, PERM_FILL_LIST);
}

// A row was selected (or the selection went): its rule goes into the entry fields.
void perm_item_changed(UiWindow *dialog) {
    std::int32_t row = first_selected_row(dialog);
    if (row >= 0 && row < PERMISSION_RULE_COUNT) {
        char text[RULE_TEXT_SIZE];
        format_rule_text(&rules()[row], text);
        ui_set_text(dialog, ID_PERM_ENTRY, text);
        (void)ui_combo_select(dialog, ID_PERM_CHOICE,
                              rules()[row].permit != 0 ? CHOICE_PERMIT : CHOICE_DENY);
    }
    send(dialog, PERM_UPDATE_BUTTONS);
}

std::int32_t perm_control(UiWindow *dialog, std::int32_t id) {
    switch (id) {
    case ID_PERM_CLOSE: ui_end_dialog(dialog, 1); break;
    case ID_CANCEL: ui_end_dialog(dialog, 0); break;
    case ID_PERM_UP: send(dialog, PERM_MOVE_UP); break;
    case ID_PERM_DOWN: send(dialog, PERM_MOVE_DOWN); break;
    case ID_PERM_ADD: send(dialog, PERM_ADD); break;
    case ID_PERM_DELETE: send(dialog, PERM_DELETE); break;
    case ID_PERM_CHANGE: send(dialog, PERM_CHANGE); break;
    default: return 0;
    }
    return 1;
}

}  // namespace

std::int32_t first_selected_row(UiWindow *dialog) {
    return ui_view_first_selected(dialog, ID_PERM_LIST);
}

std::int32_t permission_dialog_procedure(UiWindow *dialog, const UiEvent *event) {
    switch (event->kind) {
    case UI_EVENT_INIT: perm_open(dialog); return 1;
    case UI_EVENT_NOTIFY:
        if (event->id != ID_PERM_LIST || event->notification != UI_NOTIFY_ITEM_CHANGED) return 0;
        perm_item_changed(dialog);
        return 1;
    case UI_EVENT_COMMAND: return perm_control(dialog, event->id);
    case UI_EVENT_APP_COMMAND: return perm_command(dialog, event);
    default: return 0;
    }
}
