// NORVEX.DAT: GlobalOptions followed by one PortSettings per port, no header. Loaded once at
// start-up, written whenever the port list or the options change.
#pragma once

#include "settings/settings.h"

constexpr const char *SETTINGS_FILE_NAME = "NORVEX.DAT";

// Replaces GlobalOptions and the port list with the file's content, creating the file with the
// defaults when it is missing or shorter than GlobalOptions. True when loaded (or created) and the
// list guard exists; on false the list is empty. UI thread, while no server runs.
[[nodiscard]] bool load_settings(const char *file_name, UiWindow *notify_window);

// Writes GlobalOptions and every record's settings in list order. The file is written beside the
// old one and renamed over it, so a failure (false) leaves the old file whole. UI thread.
[[nodiscard]] bool save_settings(const char *file_name);
