// Loading and saving NORVEX.DAT.
#include "settings/settings_file.h"

#include <cstring>

#include "platform/file.h"
#include "platform/sync.h"
#include "settings/port_list.h"

// The options of a newly created file.
static void options_defaults(GlobalOptions *options) {
    std::memset(options, 0, sizeof *options);
    options->telnet_port = 23;
    text_set(options->busy_message, "*** BUSY\r\n");
    text_set(options->port_error_message, "*** COM PORT ERROR\r\n");
    text_set(options->connect_error_message, "*** CONNECT ERROR\r\n");
    text_set(options->greeting_message, "*** CONNECT NORVEX\r\n");
}

// Reads exactly length bytes; false on an error or a short read.
static bool read_exact(File *file, void *buffer, std::uint32_t length) {
    std::uint32_t count = 0;
    return file_read(file, buffer, length, &count) == 0 && count == length;
}

static bool write_exact(File *file, const void *data, std::uint32_t length) {
    std::uint32_t count = 0;
    return file_write(file, data, length, &count) == 0 && count == length;
}

// Fails the load: nothing of the file stays in the list.
static bool load_failed(File *file) {
    port_list_clear();
    file_close(file);
    return false;
}

bool load_settings(const char *file_name, UiWindow *notify_window) {
    port_list.notify_window = notify_window;
    port_list_clear();

    File *file = file_open_read(file_name);
    if (file == nullptr) return false;
    std::int64_t size = 0;
    if (file_size(file, &size) != 0) return load_failed(file);

    if (size < static_cast<std::int64_t>(sizeof(GlobalOptions))) {
        // Too short to hold the options: the file counts as new.
        file_close(file);
        GlobalOptions options;
        options_defaults(&options);
        options_set(&options);
        if (!save_settings(file_name)) return false;
    } else {
        GlobalOptions options;
        if (!read_exact(file, &options, sizeof options)) return load_failed(file);
        options_set(&options);

        // A short last record still counts, and then fails the whole load.
        std::int64_t records = (size - static_cast<std::int64_t>(sizeof(GlobalOptions)) +
                                static_cast<std::int64_t>(sizeof(PortSettings)) - 1) /
                               static_cast<std::int64_t>(sizeof(PortSettings));
        for (std::int64_t i = 0; i < records; ++i) {
            PortSettings settings{};
            if (!read_exact(file, &settings, sizeof settings)) return load_failed(file);
            if (!port_list_add(&settings)) return load_failed(file);
        }
        file_close(file);
    }

    // The guard may outlive a clear when a call still held a record; it is then used again.
    if (port_list.list_guard == nullptr) port_list.list_guard = semaphore_create();
    if (port_list.list_guard == nullptr) {
        port_list_clear();
        return false;
    }
    return true;
}

bool save_settings(const char *file_name) {
    // Written beside the old file and renamed over it, so a failure never leaves it half written.
    char temporary[512];
    std::size_t name_length = std::strlen(file_name);
    if (name_length + sizeof ".new" > sizeof temporary) return false;
    std::memcpy(temporary, file_name, name_length);
    std::memcpy(temporary + name_length, ".new", sizeof ".new");
    File *file = file_create_write(temporary);
    if (file == nullptr) return false;

    GlobalOptions options;
    options_get(&options);
    bool written = write_exact(file, &options, sizeof options);

    std::int32_t count = port_list.port_count;
    PortRecord *record = port_list.head;
    for (std::int32_t i = 0; written && record != nullptr && i < count; ++i) {
        written = write_exact(file, &record->settings, sizeof record->settings);
        record = record->next;
    }
    written = written && file_flush(file) == 0;
    file_close(file);

    if (!written || file_replace(temporary, file_name) != 0) {
        file_delete(temporary);
        return false;
    }
    return true;
}
