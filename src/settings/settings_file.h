// NORVEX.DAT: GlobalOptions followed by one PortSettings per port, no header. Loaded once at
// start-up, written whenever the port list or the options change.
#pragma once

#include <vector>

#include "settings/settings.h"

struct File;

constexpr const char *SETTINGS_FILE_NAME = "NORVEX.DAT";

// Replaces GlobalOptions and the port list with the file's content, creating the file with the
// defaults when it is missing or shorter than GlobalOptions. True when loaded (or created) and the
// list guard exists; on false the list is empty. UI thread, while no server runs.
[[nodiscard]] bool load_settings(const char *file_name, UiWindow *notify_window);

// Writes GlobalOptions and every record's settings in list order. The file is written beside the
// old one and renamed over it, so a failure (false) leaves the old file whole. UI thread.
[[nodiscard]] bool save_settings(const char *file_name);

// The options of a newly created file.
void settings_options_defaults(GlobalOptions *options);

// NORVEX.DAT as plain records, for tools that read or edit the file without running its ports (no
// port list, no modem emulator, no list guard).
struct SettingsImage {
    GlobalOptions options;
    std::vector<PortSettings> ports;  // file order
};

// What settings_image_read found.
constexpr int IMAGE_READ_OK = 0;
constexpr int IMAGE_READ_NEW = 1;         // shorter than GlobalOptions: the image holds the defaults
                                          // a new file gets, as load_settings would write them
constexpr int IMAGE_READ_FAILED = -1;     // the file could not be read
constexpr int IMAGE_READ_MALFORMED = -2;  // not 1792 + 8448 x N bytes: load_settings would fail it

// Reads an open NORVEX.DAT from its start into `image`. Nothing is written. On IMAGE_READ_FAILED
// and IMAGE_READ_MALFORMED the image is unspecified. Any thread.
[[nodiscard]] int settings_image_read(File *file, SettingsImage *image);

// Writes the image as save_settings writes the live settings: byte for byte the same file, written
// beside the old one and renamed over it. False (the old file whole) on failure. Any thread.
[[nodiscard]] bool settings_image_write(const char *file_name, const SettingsImage *image);
