// The Windows program's start-up sequence.
#include "tray/program.h"

#include "app/message_box.h"
#include "platform/ui.h"
#include "platform/version.h"
#include "resources/resource_ids.h"
#include "settings/settings.h"
#include "tray/main_window.h"

std::int32_t program_main() {
    if (ui_find_previous_instance()) return 0;
    ui_init_common_controls();
    (void)read_product_version();
    if (ui_register_main_window_class(main_window_procedure) == 0) {
        (void)show_resource_message(nullptr, STR_CLASS_REGISTER_FAILED, UI_BOX_OK_EXCLAMATION);
        return 0;
    }
    UiWindow *window = ui_create_main_window();
    if (window == nullptr) {
        (void)show_resource_message(nullptr, STR_WINDOW_CREATE_FAILED, UI_BOX_OK_EXCLAMATION);
        return 0;
    }
    // A configured program starts as a tray icon only; a fresh one opens its window.
    ui_show(window, port_list.port_count == 0);
    return ui_run_message_loop();
}
