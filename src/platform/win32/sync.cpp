// Win32 binary semaphore and auto-reset event. Unnamed: these locks guard this process's memory
// only, so no other process may share them.
#include "platform/sync.h"

#include <windows.h>

#include "platform/fault.h"
#include "platform/thread.h"

static DWORD win32_wait_ms(std::uint32_t timeout_ms) {
    return timeout_ms == WAIT_FOREVER_MS ? INFINITE : timeout_ms;
}

Semaphore *semaphore_create() {
    if (platform_fault_fires()) return nullptr;
    return reinterpret_cast<Semaphore *>(CreateSemaphoreA(nullptr, 1, 1, nullptr));
}

int semaphore_wait(Semaphore *semaphore, std::uint32_t timeout_ms) {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(semaphore), win32_wait_ms(timeout_ms)) ==
                   WAIT_OBJECT_0
               ? 0
               : -1;
}

int semaphore_release(Semaphore *semaphore) {
    return ReleaseSemaphore(reinterpret_cast<HANDLE>(semaphore), 1, nullptr) ? 0 : -1;
}

void semaphore_close(Semaphore *semaphore) {
    if (semaphore != nullptr) CloseHandle(reinterpret_cast<HANDLE>(semaphore));
}

Event *event_create() {
    if (platform_fault_fires()) return nullptr;
    return reinterpret_cast<Event *>(CreateEventA(nullptr, FALSE, FALSE, nullptr));
}

int event_set(Event *event) { return SetEvent(reinterpret_cast<HANDLE>(event)) ? 0 : -1; }

int event_wait(Event *event, std::uint32_t timeout_ms) {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(event), win32_wait_ms(timeout_ms)) ==
                   WAIT_OBJECT_0
               ? 0
               : -1;
}

void event_close(Event *event) {
    if (event != nullptr) CloseHandle(reinterpret_cast<HANDLE>(event));
}
