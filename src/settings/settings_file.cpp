// Loading and saving NORVEX.DAT.
#include "settings/settings_file.h"

#include <cstring>

#include "platform/file.h"
#include "platform/sync.h"
#include "settings/port_list.h"

void settings_options_defaults(GlobalOptions *options) {
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
        settings_options_defaults(&options);
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

// Writes the options and the port records; the one writer of NORVEX.DAT. Written beside the old
// file and renamed over it, so a failure never leaves it half written.
static bool write_settings_file(const char *file_name, const GlobalOptions *options,
                                const PortSettings *const *ports, std::size_t count) {
    char temporary[512];
    std::size_t name_length = std::strlen(file_name);
    if (name_length + sizeof ".new" > sizeof temporary) return false;
    std::memcpy(temporary, file_name, name_length);
    std::memcpy(temporary + name_length, ".new", sizeof ".new");
    File *file = file_create_write(temporary);
    if (file == nullptr) return false;

    bool written = write_exact(file, options, sizeof *options);
    for (std::size_t i = 0; written && i < count; ++i) {
        written = write_exact(file, ports[i], sizeof *ports[i]);
    }
    written = written && file_flush(file) == 0;
    file_close(file);

    if (!written || file_replace(temporary, file_name) != 0) {
        file_delete(temporary);
        return false;
    }
    return true;
}

bool save_settings(const char *file_name) {
    GlobalOptions options;
    options_get(&options);
    std::vector<const PortSettings *> ports;
    std::int32_t count = port_list.port_count;
    PortRecord *record = port_list.head;
    for (std::int32_t i = 0; record != nullptr && i < count; ++i) {
        ports.push_back(&record->settings);
        record = record->next;
    }
    return write_settings_file(file_name, &options, ports.data(), ports.size());
}

int settings_image_read(File *file, SettingsImage *image) {
    image->ports.clear();
    std::int64_t size = 0;
    if (file_size(file, &size) != 0) return IMAGE_READ_FAILED;
    constexpr std::int64_t options_size = sizeof(GlobalOptions);
    constexpr std::int64_t port_size = sizeof(PortSettings);
    if (size < options_size) {
        settings_options_defaults(&image->options);
        return IMAGE_READ_NEW;
    }
    if ((size - options_size) % port_size != 0) return IMAGE_READ_MALFORMED;
    if (!read_exact(file, &image->options, sizeof image->options)) return IMAGE_READ_FAILED;
    image->ports.resize(static_cast<std::size_t>((size - options_size) / port_size));
    for (PortSettings &port : image->ports) {
        if (!read_exact(file, &port, sizeof port)) return IMAGE_READ_FAILED;
    }
    return IMAGE_READ_OK;
}

bool settings_image_write(const char *file_name, const SettingsImage *image) {
    std::vector<const PortSettings *> ports;
    for (const PortSettings &port : image->ports) ports.push_back(&port);
    return write_settings_file(file_name, &image->options, ports.data(), ports.size());
}
