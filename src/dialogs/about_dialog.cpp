// The about box: the program's icon, name and version.
#include "dialogs/dialogs.h"

#include "platform/ui.h"
#include "platform/version.h"
#include "resources/resource_ids.h"

std::int32_t about_dialog_procedure(UiWindow *dialog, const UiEvent *event) {
    switch (event->kind) {
    case UI_EVENT_INIT:
        ui_set_text(dialog, ID_ABOUT_VERSION, version_text);
        return 1;
    case UI_EVENT_COMMAND:
        // "閉じる", Enter on it (the default button) and Esc all arrive as id 2.
        if (event->id == ID_ABOUT_CLOSE) ui_end_dialog(dialog, 0);
        return 1;
    default: return 0;
    }
}
