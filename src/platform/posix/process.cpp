// Single instance and stop signals on Linux.
#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/thread.h"

int process_claim_instance() {
    // A lock on the directory itself: no file is made, and the kernel drops it when we end.
    int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 1;  // fd stays open: the claim lasts
    int busy = errno == EWOULDBLOCK;
    close(fd);
    return busy ? 0 : -1;
}

std::uint32_t process_id() { return static_cast<std::uint32_t>(getpid()); }

int process_change_directory(const char *directory) { return chdir(directory) == 0 ? 0 : -1; }

static sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

void process_catch_stop_requests() {
    // Blocked in every thread (they inherit the mask); the main thread takes them with sigtimedwait.
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A write to a socket whose peer left must fail with an error, not end the process.
    signal(SIGPIPE, SIG_IGN);
}

int process_wait_stop_request(std::uint32_t timeout_ms) {
    sigset_t set = stop_signals();
    timespec wait{static_cast<time_t>(timeout_ms / 1000),
                  static_cast<long>(timeout_ms % 1000) * 1000000L};
    for (;;) {
        int got = timeout_ms == WAIT_FOREVER_MS ? sigwaitinfo(&set, nullptr)
                                                : sigtimedwait(&set, nullptr, &wait);
        if (got == SIGINT || got == SIGTERM) return 0;
        if (got < 0 && errno == EINTR) continue;
        return -1;
    }
}

// One "Name: value" line of /proc/self/status, as a number; -1 when it is missing.
static std::int64_t status_value(const char *name) {
    std::FILE *status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    std::int64_t value = -1;
    std::size_t length = std::strlen(name);
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, name, length) == 0 && line[length] == ':') {
            long long number = 0;
            if (std::sscanf(line + length + 1, "%lld", &number) == 1) value = number;
            break;
        }
    }
    std::fclose(status);
    return value;
}

std::int32_t process_thread_count() { return static_cast<std::int32_t>(status_value("Threads")); }

std::int64_t process_memory_bytes() {
    std::int64_t kilobytes = status_value("VmRSS");
    return kilobytes < 0 ? -1 : kilobytes * 1024;
}
