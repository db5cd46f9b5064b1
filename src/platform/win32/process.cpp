// Single instance and stop requests for a Windows console run of the gateway.
#include "platform/process.h"

#include <windows.h>

#include <cstdio>

#include "platform/thread.h"

static HANDLE stop_event = nullptr;

int process_claim_instance() {
    // One named mutex per working directory (its full path, with the separators made legal).
    char directory[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    if (length == 0 || length >= sizeof directory) return -1;
    char name[MAX_PATH + 32];
    std::snprintf(name, sizeof name, "Local\\NORVEX-%s", directory);
    for (char *at = name + 6; *at != '\0'; ++at) {
        if (*at == '\\' || *at == ':') *at = '_';
    }
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex == nullptr) return -1;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return 0;
    }
    return 1;  // the handle stays open: the claim lasts
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
