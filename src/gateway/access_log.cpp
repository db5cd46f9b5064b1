// The access log. Each of the four parts is printed at its own column, so a part that runs long is
// overwritten from the next column on by the part that follows: the columns never move.
#include "gateway/access_log.h"

#include <cstdio>
#include <cstring>

#include "platform/file.h"
#include "settings/settings.h"

namespace {
constexpr std::size_t LINE_SIZE = 260;  // longest line: 46 + 15 + 1 + 63 + 1 + 2 and the NUL
constexpr int OPEN_TRIES = 10;
constexpr std::uint32_t OPEN_RETRY_MS = 100;
constexpr std::size_t HOST_NAME_LIMIT = 63;  // a caller's name holds at most 63 characters
constexpr std::size_t PORT_NAME_LIMIT = 15;  // port_name is text[16]
}  // namespace

static int print_time(char *at, std::size_t room, const LocalTime *time) {
    return std::snprintf(at, room, "%4d/%02d/%02d %02d:%02d:%02d ", static_cast<int>(time->year),
                         static_cast<int>(time->month), static_cast<int>(time->day),
                         static_cast<int>(time->hour), static_cast<int>(time->minute),
                         static_cast<int>(time->second));
}

static std::size_t bounded(const char *text, std::size_t limit) {
    std::size_t length = 0;
    while (text != nullptr && length < limit && text[length] != '\0') ++length;
    return length;
}

static std::size_t format_line(char *buffer, const char *host_name, std::uint32_t address,
                               const char *port_name, const LocalTime *start, const LocalTime *end,
                               const char *reason) {
    constexpr std::size_t SIZE = LINE_SIZE;
    print_time(buffer, SIZE, start);
    if (reason != nullptr) {
        std::snprintf(buffer + 20, SIZE - 20, "%-20s", reason);
    } else if (end != nullptr) {
        print_time(buffer + 20, SIZE - 20, end);
    } else {
        std::snprintf(buffer + 20, SIZE - 20, "%20s", "");
    }
    int name_length = static_cast<int>(bounded(port_name, PORT_NAME_LIMIT));
    std::snprintf(buffer + 40, SIZE - 40, " %-4.*s ", name_length,
                  name_length > 0 ? port_name : "");

    unsigned a = (address >> 24) & 0xFF, b = (address >> 16) & 0xFF, c = (address >> 8) & 0xFF,
             d = address & 0xFF;
    int host_length = static_cast<int>(bounded(host_name, HOST_NAME_LIMIT));
    int tail;
    if (host_length > 0) {
        tail = std::snprintf(buffer + 46, SIZE - 46, "%u.%u.%u.%u(%.*s)\r\n", a, b, c, d,
                             host_length, host_name);
    } else {
        tail = std::snprintf(buffer + 46, SIZE - 46, "%u.%u.%u.%u\r\n", a, b, c, d);
    }
    return 46 + static_cast<std::size_t>(tail);
}

void access_log_write(const char *host_name, std::uint32_t address, const char *port_name,
                      const LocalTime *start, const LocalTime *end, const char *reason) {
    GlobalOptions options;
    options_get(&options);
    if (options.access_log_enabled == 0) return;

    char line[LINE_SIZE];
    std::size_t length = format_line(line, host_name, address, port_name, start, end, reason);

    char file_name[sizeof options.access_log_file_name + 1] = {};
    std::memcpy(file_name, options.access_log_file_name, text_length(options.access_log_file_name));

    // Another writer holds the file for the moment of its line: wait for it, briefly. A write that
    // failed before putting anything down is a try like a failed open, so that a passing failure
    // does not lose the line; one that put part of it down is not repeated.
    for (int attempt = 0; attempt < OPEN_TRIES; ++attempt) {
        File *file = file_open_append(file_name);
        if (file != nullptr) {
            std::uint32_t written = 0;
            int result = file_write(file, line, static_cast<std::uint32_t>(length), &written);
            file_close(file);
            if (result == 0 || written > 0) return;
        }
        clock_sleep_ms(OPEN_RETRY_MS);
    }
}
