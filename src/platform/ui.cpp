// The ui contract's dispatch: each call goes to the host that made the window it names, or to the
// current host when it names none; an operation the host lacks fails quietly.
#include "platform/ui.h"

#include "platform/ui_host.h"

namespace {

const UiHost *current_host = &ui_os_host;  // UI thread

// The host of a window, null for a null window.
const UiHost *host_of(UiWindow *window) { return window == nullptr ? nullptr : window->host; }

}  // namespace

void ui_use_host(const UiHost *host) { current_host = host == nullptr ? &ui_os_host : host; }

bool ui_find_previous_instance() {
    return current_host->find_previous_instance != nullptr && current_host->find_previous_instance();
}

void ui_init_common_controls() {
    if (current_host->init_common_controls != nullptr) current_host->init_common_controls();
}

std::int32_t ui_register_main_window_class(UiHandler handler) {
    if (current_host->register_main_window_class == nullptr) return 0;
    return current_host->register_main_window_class(handler);
}

UiWindow *ui_create_main_window() {
    if (current_host->create_main_window == nullptr) return nullptr;
    return current_host->create_main_window();
}

std::int32_t ui_run_message_loop() {
    if (current_host->run_message_loop == nullptr) return 0;
    return current_host->run_message_loop();
}

void ui_post_quit(std::int32_t code) {
    if (current_host->post_quit != nullptr) current_host->post_quit(code);
}

void ui_destroy_window(UiWindow *window) {
    const UiHost *host = host_of(window);
    if (host != nullptr && host->destroy_window != nullptr) host->destroy_window(window);
}

void ui_show(UiWindow *window, bool visible) {
    const UiHost *host = host_of(window);
    if (host != nullptr && host->show != nullptr) host->show(window, visible);
}

void ui_set_foreground(UiWindow *window) {
    const UiHost *host = host_of(window);
    if (host != nullptr && host->set_foreground != nullptr) host->set_foreground(window);
}

void ui_close_request(UiWindow *window) {
    const UiHost *host = host_of(window);
    if (host != nullptr && host->close_request != nullptr) host->close_request(window);
}

std::int32_t ui_send_command(UiWindow *window, std::int32_t code, std::int32_t high,
                             std::int32_t argument) {
    const UiHost *host = host_of(window);
    if (host == nullptr || host->send_command == nullptr) return 0;
    return host->send_command(window, code, high, argument);
}

int ui_post_command(UiWindow *window, std::int32_t code, std::int32_t argument) {
    const UiHost *host = host_of(window);
    if (host == nullptr || host->post_command == nullptr) return 0;  // nobody to tell
    return host->post_command(window, code, argument);
}

std::int32_t ui_load_string(std::int32_t id, char *buffer, std::int32_t size) {
    if (size > 0) buffer[0] = '\0';
    if (current_host->load_string == nullptr || size <= 0) return 0;
    return current_host->load_string(id, buffer, size);
}

std::int32_t ui_message_box(UiWindow *owner, const char *text, const char *caption,
                            std::uint32_t style) {
    const UiHost *host = owner == nullptr ? current_host : owner->host;
    if (host->message_box == nullptr) return -1;
    return host->message_box(owner, text, caption, style);
}

int ui_popup_menu(UiWindow *owner, const char *menu_name, std::int32_t x, std::int32_t y) {
    const UiHost *host = host_of(owner);
    if (host == nullptr || host->popup_menu == nullptr) return -1;
    return host->popup_menu(owner, menu_name, x, y);
}

void ui_cursor_position(std::int32_t *x, std::int32_t *y) {
    *x = 0;
    *y = 0;
    if (current_host->cursor_position != nullptr) current_host->cursor_position(x, y);
}

UiIcon *ui_load_icon(const char *name, std::int32_t size) {
    if (current_host->load_icon == nullptr) return nullptr;
    return current_host->load_icon(name, size);
}

void ui_destroy_icon(UiIcon *icon) {
    if (icon != nullptr && current_host->destroy_icon != nullptr) current_host->destroy_icon(icon);
}

std::int32_t ui_tray_icon(UiWindow *window, std::int32_t operation, std::int32_t id, UiIcon *icon,
                          const char *tip) {
    const UiHost *host = host_of(window);
    if (host == nullptr || host->tray_icon == nullptr) return 0;
    return host->tray_icon(window, operation, id, icon, tip);
}

std::int32_t ui_run_dialog(UiWindow *owner, const char *template_name, UiHandler handler) {
    const UiHost *host = owner == nullptr ? current_host : owner->host;
    if (host->run_dialog == nullptr) return -1;
    return host->run_dialog(owner, template_name, handler);
}

void ui_end_dialog(UiWindow *dialog, std::int32_t result) {
    const UiHost *host = host_of(dialog);
    if (host != nullptr && host->end_dialog != nullptr) host->end_dialog(dialog, result);
}

void ui_set_title(UiWindow *window, const char *text) {
    const UiHost *host = host_of(window);
    if (host != nullptr && host->set_title != nullptr) host->set_title(window, text);
}

void ui_set_text(UiWindow *window, std::int32_t id, const char *text) {
    const UiHost *host = host_of(window);
    if (host != nullptr && host->set_text != nullptr) host->set_text(window, id, text);
}

std::int32_t ui_get_text(UiWindow *window, std::int32_t id, char *buffer, std::int32_t size) {
    if (size > 0) buffer[0] = '\0';
    const UiHost *host = host_of(window);
    if (host == nullptr || host->get_text == nullptr || size <= 0) return 0;
    return host->get_text(window, id, buffer, size);
}

void ui_enable(UiWindow *window, std::int32_t id, bool enabled) {
    const UiHost *host = host_of(window);
    if (host != nullptr && host->enable != nullptr) host->enable(window, id, enabled);
}

void ui_set_check(UiWindow *window, std::int32_t id, bool checked) {
    const UiHost *host = host_of(window);
    if (host != nullptr && host->set_check != nullptr) host->set_check(window, id, checked);
}

bool ui_get_check(UiWindow *window, std::int32_t id) {
    const UiHost *host = host_of(window);
    return host != nullptr && host->get_check != nullptr && host->get_check(window, id);
}

std::int32_t ui_combo_add(UiWindow *window, std::int32_t id, const char *text) {
    const UiHost *host = host_of(window);
    if (host == nullptr || host->combo_add == nullptr) return -1;
    return host->combo_add(window, id, text);
}

std::int32_t ui_combo_select(UiWindow *window, std::int32_t id, std::int32_t index) {
    const UiHost *host = host_of(window);
    if (host == nullptr || host->combo_select == nullptr) return -1;
    return host->combo_select(window, id, index);
}

std::int32_t ui_combo_selection(UiWindow *window, std::int32_t id) {
    const UiHost *host = host_of(window);
    if (host == nullptr || host->combo_selection == nullptr) return -1;
    return host->combo_selection(window, id);
}

void ui_list_clear(UiWindow *window, std::int32_t id) {
    const UiHost *host = host_of(window);
    if (host != nullptr && host->list_clear != nullptr) host->list_clear(window, id);
}

std::int32_t ui_list_add(UiWindow *window, std::int32_t id, const char *text) {
    const UiHost *host = host_of(window);
    if (host == nullptr || host->list_add == nullptr) return -1;
    return host->list_add(window, id, text);
}

std::int32_t ui_list_delete(UiWindow *window, std::int32_t id, std::int32_t index) {
    const UiHost *host = host_of(window);
    if (host == nullptr || host->list_delete == nullptr) return -1;
    return host->list_delete(window, id, index);
}

std::int32_t ui_list_count(UiWindow *window, std::int32_t id) {
    const UiHost *host = host_of(window);
    if (host == nullptr || host->list_count == nullptr) return 0;
    return host->list_count(window, id);
}

std::int32_t ui_list_selection(UiWindow *window, std::int32_t id) {
    const UiHost *host = host_of(window);
    if (host == nullptr || host->list_selection == nullptr) return -1;
    return host->list_selection(window, id);
}

void ui_list_select(UiWindow *window, std::int32_t id, std::int32_t index) {
    const UiHost *host = host_of(window);
    if (host != nullptr && host->list_select != nullptr) host->list_select(window, id, index);
}

std::int32_t ui_view_client_width(UiWindow *window, std::int32_t id) {
    const UiHost *host = host_of(window);
    if (host == nullptr || host->view_client_width == nullptr) return 0;
    return host->view_client_width(window, id);
}

void ui_view_screen_rect(UiWindow *window, std::int32_t id, std::int32_t *left, std::int32_t *top,
                         std::int32_t *right, std::int32_t *bottom) {
    *left = *top = *right = *bottom = 0;
    const UiHost *host = host_of(window);
    if (host != nullptr && host->view_screen_rect != nullptr) {
        host->view_screen_rect(window, id, left, top, right, bottom);
    }
}

void ui_view_add_column(UiWindow *window, std::int32_t id, std::int32_t column,
                        std::int32_t width, const char *title) {
    const UiHost *host = host_of(window);
    if (host != nullptr && host->view_add_column != nullptr) {
        host->view_add_column(window, id, column, width, title);
    }
}

void ui_view_clear(UiWindow *window, std::int32_t id) {
    const UiHost *host = host_of(window);
    if (host != nullptr && host->view_clear != nullptr) host->view_clear(window, id);
}

std::int32_t ui_view_insert_row(UiWindow *window, std::int32_t id, std::int32_t row,
                                const char *text) {
    const UiHost *host = host_of(window);
    if (host == nullptr || host->view_insert_row == nullptr) return -1;
    return host->view_insert_row(window, id, row, text);
}

void ui_view_set_cell(UiWindow *window, std::int32_t id, std::int32_t row, std::int32_t column,
                      const char *text) {
    const UiHost *host = host_of(window);
    if (host != nullptr && host->view_set_cell != nullptr) {
        host->view_set_cell(window, id, row, column, text);
    }
}

std::int32_t ui_view_row_count(UiWindow *window, std::int32_t id) {
    const UiHost *host = host_of(window);
    if (host == nullptr || host->view_row_count == nullptr) return 0;
    return host->view_row_count(window, id);
}

std::int32_t ui_view_hit_test(UiWindow *window, std::int32_t id, std::int32_t x, std::int32_t y) {
    const UiHost *host = host_of(window);
    if (host == nullptr || host->view_hit_test == nullptr) return -1;
    return host->view_hit_test(window, id, x, y);
}

std::int32_t ui_view_first_selected(UiWindow *window, std::int32_t id) {
    const UiHost *host = host_of(window);
    if (host == nullptr || host->view_first_selected == nullptr) return -1;
    return host->view_first_selected(window, id);
}

void ui_view_select(UiWindow *window, std::int32_t id, std::int32_t row) {
    const UiHost *host = host_of(window);
    if (host != nullptr && host->view_select != nullptr) host->view_select(window, id, row);
}
