// Single instance and stop requests for a Windows console run of the gateway.
#include "platform/process.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>

#include "platform/thread.h"

static HANDLE stop_event = nullptr;

int process_claim_instance() {
    // One named mutex per working directory. The name carries a hash of the full path, upper-cased
    // as Windows compares paths: folding the separators into the name would make C:\a_b and
    // C:\a\b one directory, and a long path would not fit in a name.
    char directory[MAX_PATH];
    DWORD length = GetFullPathNameA(".", sizeof directory, directory, nullptr);
    if (length == 0 || length >= sizeof directory) return -1;
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    bool trail = false;  // the second byte of a double-byte character is left as it is
    for (DWORD i = 0; i < length; ++i) {
        unsigned char byte = static_cast<unsigned char>(directory[i]);
        if (trail) {
            trail = false;
        } else if (IsDBCSLeadByte(byte)) {
            trail = true;
        } else if (byte >= 'a' && byte <= 'z') {
            byte = static_cast<unsigned char>(byte - 'a' + 'A');
        }
        hash = (hash ^ byte) * 1099511628211ull;
    }
    char name[64];
    std::snprintf(name, sizeof name, "Local\\NORVEX-%016llx",
                  static_cast<unsigned long long>(hash));
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex == nullptr) return -1;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return 0;
    }
    return 1;  // the handle stays open: the claim lasts
}

std::uint32_t process_id() { return GetCurrentProcessId(); }

int process_change_directory(const char *directory) {
    return SetCurrentDirectoryA(directory) ? 0 : -1;
}

static BOOL WINAPI on_console_event(DWORD) {
    SetEvent(stop_event);
    return TRUE;
}

void process_catch_stop_requests() {
    stop_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

int process_wait_stop_request(std::uint32_t timeout_ms) {
    if (stop_event == nullptr) return -1;
    DWORD wait = timeout_ms == WAIT_FOREVER_MS ? INFINITE : timeout_ms;
    return WaitForSingleObject(stop_event, wait) == WAIT_OBJECT_0 ? 0 : -1;
}

std::int32_t process_thread_count() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    DWORD self = GetCurrentProcessId();
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    std::int32_t count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

std::int64_t process_memory_bytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return -1;
    return static_cast<std::int64_t>(counters.WorkingSetSize);
}
