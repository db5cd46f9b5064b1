// The Win32 ui host: real windows and dialogs from the resource templates.
#include "platform/ui_host.h"

const UiHost ui_os_host{};
