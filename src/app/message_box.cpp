// Message boxes with the string table's texts.
#include "app/message_box.h"

#include <cstdio>

#include "app/messages.h"
#include "platform/ui.h"

std::int32_t show_resource_message(UiWindow *owner, std::int32_t id, std::uint32_t style,
                                   std::int32_t number) {
    char text[256];
    if (ui_load_string(id, text, sizeof text) == 0) {
        std::snprintf(text, sizeof text, "can not load string resource(%d).", id);
    }
    return ui_message_box(owner, message_fill(text, number).c_str(), "NORVEX", style);
}
