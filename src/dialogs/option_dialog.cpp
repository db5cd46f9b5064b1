// The options dialog.
#include "dialogs/dialogs.h"

#include "platform/ui.h"
#include "resources/resource_ids.h"

std::int32_t option_dialog_procedure(UiWindow *dialog, const UiEvent *event) {
    if (event->kind == UI_EVENT_COMMAND && (event->id == ID_OK || event->id == ID_CANCEL)) {
        ui_end_dialog(dialog, 0);
        return 1;
    }
    return event->kind == UI_EVENT_INIT ? 1 : 0;
}
