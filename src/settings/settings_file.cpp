// Loading and saving NORVEX.DAT.
#include "settings/settings_file.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "settings/port_list.h"

struct SettingsLock {
    std::string file_name;
    FileLock *lock;        // null when taken for a read without a lock file
    std::uint32_t start;   // tick of the first try: the wait is counted from here
    std::uint32_t wait_ms;
};

namespace {

// The test hook writes; lockers read.
std::atomic<std::uint32_t> lock_wait_ms{SETTINGS_LOCK_WAIT_MS};
// Numbers this process's temporary files, so that two saves never share one.
std::atomic<std::uint32_t> temporary_count{0};

bool waited_out(const SettingsLock *lock) { return clock_tick_ms() - lock->start >= lock->wait_ms; }

}  // namespace

void settings_lock_set_wait_ms(std::uint32_t ms) {
    lock_wait_ms.store(ms == 0 ? SETTINGS_LOCK_WAIT_MS : ms);
}

SettingsLock *settings_lock(const char *file_name, bool reading, std::int32_t *why) {
    *why = 0;
    SettingsLock *lock = new (std::nothrow) SettingsLock{};
    if (lock == nullptr) {
        *why = SETTINGS_FAILED;
        return nullptr;
    }
    lock->file_name = file_name;
    lock->start = clock_tick_ms();
    lock->wait_ms = lock_wait_ms.load();
    std::string lock_name = lock->file_name + SETTINGS_LOCK_SUFFIX;
    for (;;) {
        int tried = file_lock_try(lock_name.c_str(), &lock->lock);
        if (tried == FILE_LOCK_TAKEN) return lock;
        if (tried == FILE_LOCK_DENIED && reading) return lock;
        if (tried != FILE_LOCK_HELD || waited_out(lock)) {
            *why = tried == FILE_LOCK_HELD ? SETTINGS_HELD : SETTINGS_FAILED;
            delete lock;
            return nullptr;
        }
        clock_sleep_ms(SETTINGS_LOCK_POLL_MS);
    }
}

void settings_unlock(SettingsLock *lock) {
    if (lock == nullptr) return;
    file_unlock(lock->lock);
    delete lock;
}

File *settings_open(SettingsLock *lock, std::int32_t *why) {
    *why = 0;
    for (;;) {
        std::int32_t held = 0;
        File *file = file_open_read(lock->file_name.c_str(), &held);
        if (file != nullptr) return file;
        if (held == 0 || waited_out(lock)) {
            *why = held == 0 ? SETTINGS_FAILED : SETTINGS_HELD;
            return nullptr;
        }
        clock_sleep_ms(SETTINGS_LOCK_POLL_MS);
    }
}

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

static bool save_locked(SettingsLock *lock);

// Reads the open file into the options and the port list, writing the defaults when it is too short
// to hold the options. The caller holds the lock.
static bool load_locked(SettingsLock *lock) {
    std::int32_t why = 0;
    File *file = settings_open(lock, &why);
    if (file == nullptr) return false;
    std::int64_t size = 0;
    if (file_size(file, &size) != 0) return load_failed(file);

    if (size < static_cast<std::int64_t>(sizeof(GlobalOptions))) {
        // Too short to hold the options: the file counts as new.
        file_close(file);
        GlobalOptions options;
        settings_options_defaults(&options);
        options_set(&options);
        return save_locked(lock);
    }
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
    return true;
}

bool load_settings(const char *file_name, UiWindow *notify_window) {
    port_list.notify_window = notify_window;
    port_list_clear();

    std::int32_t why = 0;
    SettingsLock *lock = settings_lock(file_name, true, &why);
    if (lock == nullptr) return false;
    bool loaded = load_locked(lock);
    settings_unlock(lock);
    if (!loaded) return false;

    // The guard may outlive a clear when a call still held a record; it is then used again.
    if (port_list.list_guard == nullptr) port_list.list_guard = semaphore_create();
    if (port_list.list_guard == nullptr) {
        port_list_clear();
        return false;
    }
    return true;
}

// Writes the options and the port records; the one writer of NORVEX.DAT, called by the holder of
// its lock. Written beside the old file under a name of this save alone and renamed over it, so a
// failure never leaves it half written and no other writer's file is ever taken for this one.
static bool write_settings_file(SettingsLock *lock, const GlobalOptions *options,
                                const PortSettings *const *ports, std::size_t count) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%lu.%lu.tmp", static_cast<unsigned long>(process_id()),
                  static_cast<unsigned long>(temporary_count.fetch_add(1)));
    std::string temporary = lock->file_name + suffix;
    const char *file_name = lock->file_name.c_str();
    File *file = file_create_write(temporary.c_str());
    if (file == nullptr) return false;

    bool written = write_exact(file, options, sizeof *options);
    for (std::size_t i = 0; written && i < count; ++i) {
        written = write_exact(file, ports[i], sizeof *ports[i]);
    }
    written = written && file_flush(file) == 0 && file_copy_access(file, file_name) == 0;
    file_close(file);

    if (!written || file_replace(temporary.c_str(), file_name) != 0) {
        file_delete(temporary.c_str());
        return false;
    }
    return true;
}

static bool save_locked(SettingsLock *lock) {
    GlobalOptions options;
    options_get(&options);
    std::vector<const PortSettings *> ports;
    std::int32_t count = port_list.port_count;
    PortRecord *record = port_list.head;
    for (std::int32_t i = 0; record != nullptr && i < count; ++i) {
        ports.push_back(&record->settings);
        record = record->next;
    }
    return write_settings_file(lock, &options, ports.data(), ports.size());
}

bool save_settings(const char *file_name) {
    std::int32_t why = 0;
    SettingsLock *lock = settings_lock(file_name, false, &why);
    if (lock == nullptr) return false;
    bool saved = save_locked(lock);
    settings_unlock(lock);
    return saved;
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

bool settings_image_write_held(SettingsLock *lock, const SettingsImage *image) {
    std::vector<const PortSettings *> ports;
    for (const PortSettings &port : image->ports) ports.push_back(&port);
    return write_settings_file(lock, &image->options, ports.data(), ports.size());
}

bool settings_image_write(const char *file_name, const SettingsImage *image) {
    std::int32_t why = 0;
    SettingsLock *lock = settings_lock(file_name, false, &why);
    if (lock == nullptr) return false;
    bool written = settings_image_write_held(lock, image);
    settings_unlock(lock);
    return written;
}
