// Win32 threads behind the thread contract. _beginthreadex rather than CreateThread, so that the
// C runtime sets up its per-thread state.
#include "platform/thread.h"

#include <process.h>
#include <windows.h>

#include <new>

#include "platform/fault.h"

struct Thread {
    HANDLE handle;
    LONG held;  // 1 until released: ResumeThread must run exactly once
};

namespace {
// What the new thread needs; it frees the block itself, so the Thread record never has to outlive
// its handle.
struct StartBlock {
    ThreadEntry entry;
    void *arg;
};
}  // namespace

static unsigned __stdcall thread_trampoline(void *param) {
    StartBlock start = *static_cast<StartBlock *>(param);
    delete static_cast<StartBlock *>(param);
    return start.entry(start.arg);
}

Thread *thread_start(ThreadEntry entry, void *arg, int held) {
    if (platform_fault_fires()) return nullptr;
    Thread *thread = new (std::nothrow) Thread{};
    StartBlock *start = new (std::nothrow) StartBlock{entry, arg};
    if (thread == nullptr || start == nullptr) {
        delete thread;
        delete start;
        return nullptr;
    }
    thread->held = held ? 1 : 0;
    uintptr_t handle =
        _beginthreadex(nullptr, 0, thread_trampoline, start, held ? CREATE_SUSPENDED : 0, nullptr);
    if (handle == 0) {
        delete thread;
        delete start;
        return nullptr;
    }
    thread->handle = reinterpret_cast<HANDLE>(handle);
    return thread;
}

int thread_release(Thread *thread) {
    if (InterlockedExchange(&thread->held, 0) == 0) return -1;
    return ResumeThread(thread->handle) == static_cast<DWORD>(-1) ? -1 : 0;
}

int thread_join(Thread *thread, std::uint32_t timeout_ms) {
    DWORD wait = timeout_ms == WAIT_FOREVER_MS ? INFINITE : timeout_ms;
    return WaitForSingleObject(thread->handle, wait) == WAIT_OBJECT_0 ? 0 : -1;
}

int thread_exit_code(Thread *thread, std::uint32_t *code) {
    if (WaitForSingleObject(thread->handle, 0) != WAIT_OBJECT_0) return -1;
    DWORD value = 0;
    if (!GetExitCodeThread(thread->handle, &value)) return -1;
    *code = value;
    return 0;
}

void thread_close(Thread *thread) {
    if (thread == nullptr) return;
    thread_release(thread);  // a held thread must still run, to free its start block
    CloseHandle(thread->handle);
    delete thread;
}
