// load_settings on any file bytes: a file it accepts has every record in the port list and is
// saved back byte for byte; one it refuses leaves an empty list. Ports with modem emulation start
// their emulators on the fuzz device, which claims every name, so no real port is ever opened; a
// name that opens nothing (empty) has its ten tries in virtual time.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "settings/port_list.h"
#include "settings/settings_file.h"

namespace {

std::vector<std::uint8_t> read_file(const char *name) {
    std::vector<std::uint8_t> bytes;
    std::FILE *file = std::fopen(name, "rb");
    if (file == nullptr) return bytes;
    std::uint8_t buffer[65536];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.insert(bytes.end(), buffer, buffer + count);
    }
    std::fclose(file);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The files live in a directory of their own, removed by nobody: a few small files. Memory
    // rather than disk where there is some, since every save forces its file out.
    char in_memory[] = "/dev/shm/norvex-fuzz-settings-XXXXXX";
    char on_disk[] = "/tmp/norvex-fuzz-settings-XXXXXX";
    const char *directory = mkdtemp(in_memory);
    if (directory == nullptr) directory = mkdtemp(on_disk);
    if (directory == nullptr || chdir(directory) != 0) std::abort();
    fuzz_device_register();
    fuzz_device_reset(nullptr, 0, nullptr, 0, false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::FILE *file = std::fopen("NORVEX.DAT", "wb");
    if (file == nullptr || std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);

    fuzz_time_begin(0xFFFFFFFFu);
    bool loaded = load_settings("NORVEX.DAT", nullptr);
    fuzz_time_end();
    constexpr std::size_t OPTIONS = sizeof(GlobalOptions);
    constexpr std::size_t RECORD = sizeof(PortSettings);
    bool whole_records = size >= OPTIONS && (size - OPTIONS) % RECORD == 0;
    // A port with modem emulation whose emulator cannot start fails the load; the fuzz device
    // opens every name but the empty one.
    bool emulators_start = true;
    for (std::size_t at = OPTIONS; whole_records && at < size; at += RECORD) {
        PortSettings settings;
        std::memcpy(&settings, data + at, RECORD);
        if (settings.modem_emulation != 0 && settings.port_name[0] == '\0') emulators_start = false;
    }
    if (size >= OPTIONS && loaded != (whole_records && emulators_start)) std::abort();
    if (!loaded) {
        if (port_list.port_count != 0 || port_list.head != nullptr) std::abort();
        port_list_clear();
        return 0;
    }
    std::size_t records = size >= OPTIONS ? (size - OPTIONS) / RECORD : 0;
    if (port_list.port_count != static_cast<std::int32_t>(records)) std::abort();
    if (!save_settings("COPY.DAT")) std::abort();
    std::vector<std::uint8_t> saved = read_file("COPY.DAT");
    if (size >= OPTIONS) {
        if (saved != std::vector<std::uint8_t>(data, data + size)) std::abort();
    } else if (saved.size() != OPTIONS || saved != read_file("NORVEX.DAT")) {
        std::abort();  // a file too short is replaced by the defaults
    }
    port_list_clear();
    return 0;
}
