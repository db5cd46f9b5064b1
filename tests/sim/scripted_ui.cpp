// The scripted ui host: windows and controls in memory, the user played by the test.
#include "sim/scripted_ui.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

#include "app/messages.h"
#include "platform/ui_host.h"

ScriptedUi scripted;

namespace {

constexpr std::int32_t COMBO_SELECTION_CHANGED = 1;  // CBN_SELCHANGE
constexpr std::uint32_t LOOP_STARVED_MS = 30000;

struct WindowRecord {
    UiWindow window;
    ScriptedWindow state;
};

// Every window ever made stays allocated: workers may post to a window of an earlier test.
std::vector<std::unique_ptr<WindowRecord>> all_windows;
UiHandler main_window_handler = nullptr;
int icon_marker = 0;  // what a loaded icon points at

struct Queued {
    UiWindow *window;
    UiEvent event;
};

// Posted commands: the only part that other threads touch.
std::mutex queue_lock;
std::condition_variable queue_filled;
std::deque<Queued> queue;  // under queue_lock

extern const UiHost scripted_host;

UiWindow *make_window(const std::string &template_name, UiHandler handler, UiWindow *owner) {
    all_windows.push_back(std::make_unique<WindowRecord>());
    WindowRecord *record = all_windows.back().get();
    record->window.host = &scripted_host;
    record->window.data = &record->state;
    record->state.template_name = template_name;
    record->state.handler = handler;
    record->state.owner = owner;
    return &record->window;
}

std::int32_t deliver(UiWindow *window, const UiEvent &event) {
    ScriptedWindow *state = scripted_window(window);
    if (state->destroyed || state->handler == nullptr) return 0;
    return state->handler(window, &event);
}

UiEvent command_event(std::int32_t id, std::int32_t notification) {
    UiEvent event{};
    event.kind = UI_EVENT_COMMAND;
    event.id = id;
    event.notification = notification;
    return event;
}

UiEvent notify_event(std::int32_t id, std::int32_t notification) {
    UiEvent event{};
    event.kind = UI_EVENT_NOTIFY;
    event.id = id;
    event.notification = notification;
    return event;
}

void enqueue(UiWindow *window, const UiEvent &event) {
    std::lock_guard<std::mutex> hold(queue_lock);
    queue.push_back(Queued{window, event});
    queue_filled.notify_one();
}

// Takes the oldest queued event, waiting up to wait_ms.
bool dequeue(Queued *next, std::uint32_t wait_ms) {
    std::unique_lock<std::mutex> hold(queue_lock);
    if (!queue_filled.wait_for(hold, std::chrono::milliseconds(wait_ms),
                               [] { return !queue.empty(); })) {
        return false;
    }
    *next = queue.front();
    queue.pop_front();
    return true;
}

std::int32_t copy_text(const std::string &text, char *buffer, std::int32_t size) {
    std::int32_t length = std::min<std::int32_t>(static_cast<std::int32_t>(text.size()), size - 1);
    std::copy(text.begin(), text.begin() + length, buffer);
    buffer[length] = '\0';
    return length;
}

// ---- The host's operations

bool host_find_previous_instance() { return scripted.other_instance_running; }

std::int32_t host_register_main_window_class(UiHandler handler) {
    if (!scripted.class_registers) return 0;
    main_window_handler = handler;
    return 0xC001;
}

UiWindow *host_create_main_window() {
    if (!scripted.window_can_be_made || main_window_handler == nullptr) return nullptr;
    UiWindow *window = make_window("NORVEX", main_window_handler, nullptr);
    scripted.main_window = window;
    UiEvent create{};
    create.kind = UI_EVENT_CREATE;
    if (deliver(window, create) == -1) {
        ui_destroy_window(window);
        scripted.main_window = nullptr;
        return nullptr;
    }
    return window;
}

std::int32_t host_run_message_loop() {
    std::size_t step = 0;
    while (!scripted.quit) {
        if (scripted_pump(0) > 0) continue;
        if (step < scripted.loop_steps.size()) {
            scripted.loop_steps[step++]();
            continue;
        }
        if (scripted_pump(LOOP_STARVED_MS) == 0 && !scripted.quit) {
            ADD_FAILURE() << "the message loop waited " << LOOP_STARVED_MS
                          << " ms for a message that never came";
            return -1;
        }
    }
    return scripted.quit_code;
}

void host_post_quit(std::int32_t code) {
    scripted.quit = true;
    scripted.quit_code = code;
    scripted.timeline.push_back("quit");
}

void host_destroy_window(UiWindow *window) {
    ScriptedWindow *state = scripted_window(window);
    if (state->destroyed) return;
    UiEvent destroy{};
    destroy.kind = UI_EVENT_DESTROY;
    deliver(window, destroy);
    state->destroyed = true;
    state->visible = false;
}

void host_show(UiWindow *window, bool visible) { scripted_window(window)->visible = visible; }

void host_set_foreground(UiWindow *) { scripted.foreground_set = true; }

void host_close_request(UiWindow *window) {
    UiEvent close{};
    close.kind = UI_EVENT_CLOSE;
    // A close the window leaves alone becomes Cancel, as the dialog manager makes it.
    if (deliver(window, close) == 0) deliver(window, command_event(UI_ANSWER_CANCEL, 0));
}

std::int32_t host_send_command(UiWindow *window, std::int32_t code, std::int32_t high,
                               std::int32_t argument) {
    UiEvent event{};
    event.kind = UI_EVENT_APP_COMMAND;
    event.code = code;
    event.high = high;
    event.argument = argument;
    return deliver(window, event);
}

int host_post_command(UiWindow *window, std::int32_t code, std::int32_t argument) {
    UiEvent event{};
    event.kind = UI_EVENT_APP_COMMAND;
    event.code = code;
    event.argument = argument;
    enqueue(window, event);
    return 0;
}

std::int32_t host_load_string(std::int32_t id, char *buffer, std::int32_t size) {
    const char *text = message_text(id);
    if (text == nullptr || std::count(scripted.missing_strings.begin(),
                                      scripted.missing_strings.end(), id) != 0) {
        return 0;
    }
    return copy_text(text, buffer, size);
}

std::int32_t host_message_box(UiWindow *owner, const char *text, const char *caption,
                              std::uint32_t style) {
    ScriptedBox box{owner, text, caption, style};
    scripted.boxes.push_back(box);
    scripted.timeline.push_back(std::string("box ") + text);
    if (scripted.answer_box) return scripted.answer_box(box);
    ADD_FAILURE() << "unexpected message box: " << text;
    return style == UI_BOX_YES_NO ? UI_ANSWER_NO : UI_ANSWER_OK;
}

int host_popup_menu(UiWindow *owner, const char *menu_name, std::int32_t x, std::int32_t y) {
    if (std::count(scripted.missing_menus.begin(), scripted.missing_menus.end(), menu_name) != 0) {
        return -1;
    }
    ScriptedMenu menu{owner, menu_name, x, y};
    scripted.menus.push_back(menu);
    scripted.timeline.push_back(std::string("menu ") + menu_name);
    std::int32_t chosen = scripted.choose_menu ? scripted.choose_menu(menu) : 0;
    // The choice arrives later, as a posted command does.
    if (chosen != 0) enqueue(owner, command_event(chosen, 0));
    return 0;
}

void host_cursor_position(std::int32_t *x, std::int32_t *y) {
    *x = scripted.cursor_x;
    *y = scripted.cursor_y;
}

UiIcon *host_load_icon(const char *, std::int32_t) {
    return scripted.icon_loads ? reinterpret_cast<UiIcon *>(&icon_marker) : nullptr;
}

std::int32_t host_tray_icon(UiWindow *window, std::int32_t operation, std::int32_t id, UiIcon *,
                            const char *tip) {
    auto same = [&](const ScriptedTrayIcon &icon) { return icon.window == window && icon.id == id; };
    auto found = std::find_if(scripted.tray_icons.begin(), scripted.tray_icons.end(), same);
    std::int32_t done = 0;
    if (operation == UI_TRAY_ADD && found == scripted.tray_icons.end()) {
        scripted.tray_icons.push_back(ScriptedTrayIcon{window, id, tip == nullptr ? "" : tip});
        scripted.timeline.push_back("tray add");
        done = 1;
    } else if (operation == UI_TRAY_DELETE && found != scripted.tray_icons.end()) {
        scripted.tray_icons.erase(found);
        scripted.timeline.push_back("tray delete");
        done = 1;
    }
    if (done != 0 && scripted.on_tray_change) scripted.on_tray_change();
    return done;
}

std::int32_t host_run_dialog(UiWindow *owner, const char *template_name, UiHandler handler) {
    // DialogBoxParam answers -1 without a window when the template is missing.
    if (std::count(scripted.missing_dialogs.begin(), scripted.missing_dialogs.end(),
                   template_name) != 0) {
        return -1;
    }
    scripted.dialogs_run.push_back(template_name);
    scripted.timeline.push_back(std::string("dialog ") + template_name);
    UiWindow *dialog = scripted_open(template_name, handler, owner);
    ScriptedWindow *state = scripted_window(dialog);
    auto player = scripted.play_dialog.find(template_name);
    if (!state->ended && player != scripted.play_dialog.end()) player->second(dialog);
    if (!state->ended) {
        ADD_FAILURE() << "dialog " << template_name << " was left open";
        state->result = 0;
    }
    state->destroyed = true;
    scripted.timeline.push_back(std::string("dialog end ") + template_name);
    return state->result;
}

void host_end_dialog(UiWindow *dialog, std::int32_t result) {
    ScriptedWindow *state = scripted_window(dialog);
    state->ended = true;
    state->result = result;
}

void host_set_title(UiWindow *window, const char *text) { scripted_window(window)->title = text; }

void host_set_text(UiWindow *window, std::int32_t id, const char *text) {
    scripted_control(window, id)->text = text;
}

std::int32_t host_get_text(UiWindow *window, std::int32_t id, char *buffer, std::int32_t size) {
    return copy_text(scripted_control(window, id)->text, buffer, size);
}

void host_enable(UiWindow *window, std::int32_t id, bool enabled) {
    scripted_control(window, id)->enabled = enabled;
}

void host_set_check(UiWindow *window, std::int32_t id, bool checked) {
    scripted_control(window, id)->checked = checked;
}

bool host_get_check(UiWindow *window, std::int32_t id) {
    return scripted_control(window, id)->checked;
}

std::int32_t host_item_add(UiWindow *window, std::int32_t id, const char *text) {
    ScriptedControl *control = scripted_control(window, id);
    control->items.push_back(text);
    return static_cast<std::int32_t>(control->items.size()) - 1;
}

std::int32_t host_combo_select(UiWindow *window, std::int32_t id, std::int32_t index) {
    ScriptedControl *control = scripted_control(window, id);
    bool exists = index >= 0 && index < static_cast<std::int32_t>(control->items.size());
    control->selection = exists ? index : -1;
    return exists ? index : -1;
}

std::int32_t host_selection(UiWindow *window, std::int32_t id) {
    return scripted_control(window, id)->selection;
}

void host_list_clear(UiWindow *window, std::int32_t id) {
    ScriptedControl *control = scripted_control(window, id);
    control->items.clear();
    control->selection = -1;
}

std::int32_t host_list_delete(UiWindow *window, std::int32_t id, std::int32_t index) {
    ScriptedControl *control = scripted_control(window, id);
    if (index < 0 || index >= static_cast<std::int32_t>(control->items.size())) return -1;
    control->items.erase(control->items.begin() + index);
    if (control->selection == index) control->selection = -1;
    if (control->selection > index) control->selection -= 1;
    return static_cast<std::int32_t>(control->items.size());
}

std::int32_t host_list_count(UiWindow *window, std::int32_t id) {
    return static_cast<std::int32_t>(scripted_control(window, id)->items.size());
}

void host_list_select(UiWindow *window, std::int32_t id, std::int32_t index) {
    ScriptedControl *control = scripted_control(window, id);
    bool exists = index >= 0 && index < static_cast<std::int32_t>(control->items.size());
    control->selection = exists ? index : -1;
}

std::int32_t host_view_client_width(UiWindow *, std::int32_t) { return scripted.view_width - 4; }

void host_view_screen_rect(UiWindow *, std::int32_t, std::int32_t *left, std::int32_t *top,
                           std::int32_t *right, std::int32_t *bottom) {
    *left = scripted.view_left;
    *top = scripted.view_top;
    *right = scripted.view_left + scripted.view_width;
    *bottom = scripted.view_top + scripted.view_height;
}

void host_view_add_column(UiWindow *window, std::int32_t id, std::int32_t column,
                          std::int32_t width, const char *title) {
    ScriptedControl *control = scripted_control(window, id);
    std::size_t at = std::min<std::size_t>(static_cast<std::size_t>(std::max(column, 0)),
                                           control->columns.size());
    control->columns.insert(control->columns.begin() + static_cast<std::ptrdiff_t>(at),
                            ScriptedColumn{width, title});
}

void host_view_clear(UiWindow *window, std::int32_t id) {
    ScriptedControl *control = scripted_control(window, id);
    control->rows.clear();
    control->selected_row = -1;
}

std::int32_t host_view_insert_row(UiWindow *window, std::int32_t id, std::int32_t row,
                                  const char *text) {
    ScriptedControl *control = scripted_control(window, id);
    std::int32_t count = static_cast<std::int32_t>(control->rows.size());
    std::int32_t at = row < 0 || row > count ? count : row;
    control->rows.insert(control->rows.begin() + at, std::vector<std::string>{text});
    if (control->selected_row >= at) control->selected_row += 1;
    return at;
}

void host_view_set_cell(UiWindow *window, std::int32_t id, std::int32_t row, std::int32_t column,
                        const char *text) {
    ScriptedControl *control = scripted_control(window, id);
    if (row < 0 || row >= static_cast<std::int32_t>(control->rows.size()) || column < 0) return;
    std::vector<std::string> &cells = control->rows[static_cast<std::size_t>(row)];
    if (cells.size() <= static_cast<std::size_t>(column)) cells.resize(column + 1);
    cells[static_cast<std::size_t>(column)] = text;
}

std::int32_t host_view_row_count(UiWindow *window, std::int32_t id) {
    return static_cast<std::int32_t>(scripted_control(window, id)->rows.size());
}

std::int32_t host_view_hit_test(UiWindow *window, std::int32_t id, std::int32_t x, std::int32_t y) {
    ScriptedControl *control = scripted_control(window, id);
    if (x < 0 || x >= scripted.view_width - 4 || y < scripted.header_height) return -1;
    std::int32_t row = (y - scripted.header_height) / scripted.row_height;
    return row < static_cast<std::int32_t>(control->rows.size()) ? row : -1;
}

std::int32_t host_view_first_selected(UiWindow *window, std::int32_t id) {
    return scripted_control(window, id)->selected_row;
}

void host_view_select(UiWindow *window, std::int32_t id, std::int32_t row) {
    ScriptedControl *control = scripted_control(window, id);
    bool exists = row >= 0 && row < static_cast<std::int32_t>(control->rows.size());
    control->selected_row = exists ? row : -1;
    deliver(window, notify_event(id, UI_NOTIFY_ITEM_CHANGED));
}

const UiHost scripted_host = [] {
    UiHost host{};
    host.find_previous_instance = host_find_previous_instance;
    host.register_main_window_class = host_register_main_window_class;
    host.create_main_window = host_create_main_window;
    host.run_message_loop = host_run_message_loop;
    host.post_quit = host_post_quit;
    host.destroy_window = host_destroy_window;
    host.show = host_show;
    host.set_foreground = host_set_foreground;
    host.close_request = host_close_request;
    host.send_command = host_send_command;
    host.post_command = host_post_command;
    host.load_string = host_load_string;
    host.message_box = host_message_box;
    host.popup_menu = host_popup_menu;
    host.cursor_position = host_cursor_position;
    host.load_icon = host_load_icon;
    host.destroy_icon = [](UiIcon *) {};
    host.tray_icon = host_tray_icon;
    host.run_dialog = host_run_dialog;
    host.end_dialog = host_end_dialog;
    host.set_title = host_set_title;
    host.set_text = host_set_text;
    host.get_text = host_get_text;
    host.enable = host_enable;
    host.set_check = host_set_check;
    host.get_check = host_get_check;
    host.combo_add = host_item_add;
    host.combo_select = host_combo_select;
    host.combo_selection = host_selection;
    host.list_clear = host_list_clear;
    host.list_add = host_item_add;
    host.list_delete = host_list_delete;
    host.list_count = host_list_count;
    host.list_selection = host_selection;
    host.list_select = host_list_select;
    host.view_client_width = host_view_client_width;
    host.view_screen_rect = host_view_screen_rect;
    host.view_add_column = host_view_add_column;
    host.view_clear = host_view_clear;
    host.view_insert_row = host_view_insert_row;
    host.view_set_cell = host_view_set_cell;
    host.view_row_count = host_view_row_count;
    host.view_hit_test = host_view_hit_test;
    host.view_first_selected = host_view_first_selected;
    host.view_select = host_view_select;
    return host;
}();

}  // namespace

void scripted_ui_install() {
    scripted = ScriptedUi{};
    main_window_handler = nullptr;
    {
        std::lock_guard<std::mutex> hold(queue_lock);
        queue.clear();
    }
    ui_use_host(&scripted_host);
}

void scripted_ui_uninstall() { ui_use_host(nullptr); }

ScriptedWindow *scripted_window(UiWindow *window) {
    return static_cast<ScriptedWindow *>(window->data);
}

ScriptedControl *scripted_control(UiWindow *window, std::int32_t id) {
    return &scripted_window(window)->controls[id];
}

UiWindow *scripted_open(const char *template_name, UiHandler handler, UiWindow *owner) {
    UiWindow *window = make_window(template_name, handler, owner);
    UiEvent init{};
    init.kind = UI_EVENT_INIT;
    deliver(window, init);
    return window;
}

int scripted_pump(std::uint32_t wait_ms) {
    int handled = 0;
    Queued next{};
    while (!scripted.quit && dequeue(&next, handled == 0 ? wait_ms : 0)) {
        deliver(next.window, next.event);
        ++handled;
    }
    return handled;
}

bool scripted_pump_until(const std::function<bool()> &done, std::uint32_t limit_ms) {
    auto start = std::chrono::steady_clock::now();
    while (!done()) {
        auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        if (spent.count() >= limit_ms) return false;
        scripted_pump(10);
    }
    return true;
}

namespace {

// A user cannot reach a disabled control: false (and the test fails) when it is disabled.
bool reachable(UiWindow *window, std::int32_t id, const char *action) {
    if (scripted_control(window, id)->enabled) return true;
    ADD_FAILURE() << "control " << id << " is disabled and cannot be " << action;
    return false;
}

}  // namespace

void scripted_click(UiWindow *window, std::int32_t id) {
    if (!reachable(window, id, "clicked")) return;
    deliver(window, command_event(id, UI_BUTTON_CLICKED));
}

void scripted_escape(UiWindow *window) {
    deliver(window, command_event(UI_ANSWER_CANCEL, UI_BUTTON_CLICKED));
}

void scripted_tray(UiWindow *window, std::int32_t mouse_message) {
    UiEvent event{};
    event.kind = UI_EVENT_TRAY;
    event.argument = mouse_message;
    deliver(window, event);
}

void scripted_activate(UiWindow *window, bool active) {
    UiEvent event{};
    event.kind = UI_EVENT_ACTIVATE;
    event.argument = active ? 1 : 0;
    deliver(window, event);
}

void scripted_type(UiWindow *window, std::int32_t id, const std::string &text) {
    if (!reachable(window, id, "typed into")) return;
    scripted_control(window, id)->text = text;
}

void scripted_check(UiWindow *window, std::int32_t id, bool checked) {
    if (!reachable(window, id, "ticked")) return;
    scripted_control(window, id)->checked = checked;
    deliver(window, command_event(id, UI_BUTTON_CLICKED));
}

void scripted_choose_combo(UiWindow *window, std::int32_t id, std::int32_t index) {
    if (!reachable(window, id, "opened")) return;
    EXPECT_GE(host_combo_select(window, id, index), 0) << "combo " << id << " has no item " << index;
    deliver(window, command_event(id, COMBO_SELECTION_CHANGED));
}

void scripted_choose_list(UiWindow *window, std::int32_t id, std::int32_t index) {
    host_list_select(window, id, index);
    deliver(window, command_event(id, UI_LIST_SELECTION_CHANGED));
}

void scripted_double_click_list(UiWindow *window, std::int32_t id, std::int32_t index) {
    scripted_choose_list(window, id, index);
    deliver(window, command_event(id, UI_LIST_DOUBLE_CLICK));
}

void scripted_choose_row(UiWindow *window, std::int32_t id, std::int32_t row) {
    ScriptedControl *control = scripted_control(window, id);
    bool exists = row >= 0 && row < static_cast<std::int32_t>(control->rows.size());
    control->selected_row = exists ? row : -1;
    deliver(window, notify_event(id, UI_NOTIFY_ITEM_CHANGED));
}

void scripted_right_click_view(UiWindow *window, std::int32_t id, std::int32_t x, std::int32_t y) {
    scripted.cursor_x = x;
    scripted.cursor_y = y;
    deliver(window, notify_event(id, UI_NOTIFY_RIGHT_CLICK));
}

void scripted_row_point(std::int32_t row, std::int32_t *x, std::int32_t *y) {
    *x = scripted.view_left + 10;
    *y = scripted.view_top + scripted.header_height + row * scripted.row_height +
         scripted.row_height / 2;
}

std::string scripted_cell(UiWindow *window, std::int32_t id, std::int32_t row, std::int32_t column) {
    ScriptedControl *control = scripted_control(window, id);
    if (row < 0 || row >= static_cast<std::int32_t>(control->rows.size()) || column < 0) return "";
    const std::vector<std::string> &cells = control->rows[static_cast<std::size_t>(row)];
    return static_cast<std::size_t>(column) < cells.size() ? cells[column] : "";
}

std::vector<std::string> scripted_box_texts() {
    std::vector<std::string> texts;
    for (const ScriptedBox &box : scripted.boxes) texts.push_back(box.text);
    return texts;
}

std::string scripted_string(std::int32_t id) {
    const char *text = message_text(id);
    return text == nullptr ? "" : text;
}
