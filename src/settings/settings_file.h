// NORVEX.DAT: GlobalOptions followed by one PortSettings per port, no header. Loaded once at
// start-up, written whenever the port list or the options change.
//
// Taking turns. Every program that reads NORVEX.DAT to act on it or replaces it (norvex and
// NORVEX.EXE loading, reloading and saving it, norvexctl showing and editing it) first takes the
// exclusive lock of the lock file beside it, NORVEX.DAT.lock (file_lock_try: flock() on Linux,
// LockFileEx() on Windows), and keeps it from its read through the rename of the new file over the
// old. So an edit never works on content that another edit is about to replace, and a start or a
// reload never reads between an edit's read and its rename. The new content is written to a name
// no other writer uses (NORVEX.DAT.<process id>.<count>.tmp, removed when the save fails), synced,
// given the old file's permissions, renamed over NORVEX.DAT, and the rename synced, before a save
// counts as done. Who finds the lock held tries again every SETTINGS_LOCK_POLL_MS for up to
// SETTINGS_LOCK_WAIT_MS in all, then gives up without touching the file; the same wait covers
// NORVEX.DAT itself being held open by another program (Windows' sharing, or flock(1) on Linux).
#pragma once

#include <cstdint>
#include <vector>

#include "settings/settings.h"

struct File;

constexpr const char *SETTINGS_FILE_NAME = "NORVEX.DAT";
constexpr const char *SETTINGS_LOCK_SUFFIX = ".lock";      // the lock file: NORVEX.DAT.lock
constexpr std::uint32_t SETTINGS_LOCK_WAIT_MS = 10000;      // the longest wait for the file
constexpr std::uint32_t SETTINGS_LOCK_POLL_MS = 10;

// Why settings_lock or settings_open failed.
constexpr std::int32_t SETTINGS_HELD = 1;    // another program held the file past the wait
constexpr std::int32_t SETTINGS_FAILED = 2;  // the lock file or the file cannot be opened

struct SettingsLock;  // opaque; belongs to whoever took it until settings_unlock

// Takes the lock of the settings file `file_name`, waiting for another holder up to
// SETTINGS_LOCK_WAIT_MS. Null on failure, *why saying which. With `reading`, a lock file that the
// process may not make or open (a folder it may not write) does not fail: the lock is then given
// without it, for a read that the writers' renames keep whole anyway. Any thread; one
// lock per file and process at a time (a second one waits for the first like any other holder).
[[nodiscard]] SettingsLock *settings_lock(const char *file_name, bool reading, std::int32_t *why);
// Lets go of the lock; null is accepted.
void settings_unlock(SettingsLock *lock);
// Opens the locked file for reading (creating it empty when missing), waiting while another
// program holds it open, within what is left of the lock's wait. Null on failure, *why saying which.
[[nodiscard]] File *settings_open(SettingsLock *lock, std::int32_t *why);

// Test hook: the longest wait of settings_lock and settings_open (0: SETTINGS_LOCK_WAIT_MS again).
void settings_lock_set_wait_ms(std::uint32_t ms);

// Replaces GlobalOptions and the port list with the file's content, creating the file with the
// defaults when it is missing or shorter than GlobalOptions. Holds the file's lock meanwhile (a
// save in progress is waited for, as settings_lock waits). True when loaded (or created) and the
// list guard exists; on false the list is empty. UI thread, while no server runs.
[[nodiscard]] bool load_settings(const char *file_name, UiWindow *notify_window);

// Writes GlobalOptions and every record's settings in list order, under the file's lock. The file
// is written beside the old one and renamed over it, so a failure (false) leaves the old file
// whole. UI thread.
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
// beside the old one and renamed over it, under the file's lock. False (the old file whole) on
// failure. Any thread.
[[nodiscard]] bool settings_image_write(const char *file_name, const SettingsImage *image);
// The same for the holder of the file's lock, who read the image under it. Any thread.
[[nodiscard]] bool settings_image_write_held(SettingsLock *lock, const SettingsImage *image);
