// Files for Windows, with the sharing modes the gateway relies on.
#include "platform/file.h"

#include <windows.h>

#include <new>

#include "platform/fault.h"

static File *as_file(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? nullptr : reinterpret_cast<File *>(handle);
}

static HANDLE as_handle(File *file) { return reinterpret_cast<HANDLE>(file); }

File *file_open_read(const char *name, std::int32_t *held) {
    if (held != nullptr) *held = 0;
    if (file_fault_fires()) return nullptr;
    HANDLE handle = CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE && held != nullptr) {
        DWORD error = GetLastError();
        *held = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ? 1 : 0;
    }
    return as_file(handle);
}

File *file_create_write(const char *name) {
    if (file_fault_fires()) return nullptr;
    return as_file(CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
}

File *file_open_append(const char *name) {
    if (file_fault_fires()) return nullptr;
    HANDLE handle = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    if (SetFilePointer(handle, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR) {
        CloseHandle(handle);
        return nullptr;
    }
    return as_file(handle);
}

int file_size(File *file, std::int64_t *size) {
    if (file_fault_fires()) return -1;
    LARGE_INTEGER value;
    if (!GetFileSizeEx(as_handle(file), &value)) return -1;
    *size = value.QuadPart;
    return 0;
}

int file_read(File *file, void *buffer, std::uint32_t length, std::uint32_t *count) {
    *count = 0;
    if (file_fault_fires()) return -1;
    DWORD got = 0;
    if (!ReadFile(as_handle(file), buffer, length, &got, nullptr)) return -1;
    *count = got;
    return 0;
}

int file_write(File *file, const void *data, std::uint32_t length, std::uint32_t *count) {
    *count = 0;
    if (file_fault_fires()) return -1;
    DWORD put = 0;
    if (!WriteFile(as_handle(file), data, length, &put, nullptr)) return -1;
    *count = put;
    return 0;
}

int file_flush(File *file) {
    if (file_fault_fires()) return -1;
    return FlushFileBuffers(as_handle(file)) ? 0 : -1;
}

void file_close(File *file) {
    if (file != nullptr) CloseHandle(as_handle(file));
}

int file_copy_access(File *, const char *) { return file_fault_fires() ? -1 : 0; }

int file_replace(const char *from, const char *to) {
    if (file_fault_fires()) return -1;
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : -1;
}

int file_delete(const char *name) { return DeleteFileA(name) ? 0 : -1; }

struct FileLock {
    HANDLE handle;
};

int file_lock_try(const char *name, FileLock **lock) {
    *lock = nullptr;
    if (file_fault_fires()) return FILE_LOCK_FAILED;
    // Shared open: the exclusion is the byte lock, which every opener can ask for.
    HANDLE handle = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT ? FILE_LOCK_DENIED
                                                                            : FILE_LOCK_FAILED;
    }
    OVERLAPPED at{};
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        DWORD error = GetLastError();
        CloseHandle(handle);
        return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? FILE_LOCK_HELD
                                                                          : FILE_LOCK_FAILED;
    }
    *lock = new (std::nothrow) FileLock{handle};
    if (*lock == nullptr) {
        CloseHandle(handle);
        return FILE_LOCK_FAILED;
    }
    return FILE_LOCK_TAKEN;
}

void file_unlock(FileLock *lock) {
    if (lock == nullptr) return;
    CloseHandle(lock->handle);  // the byte lock goes with the handle
    delete lock;
}

int file_find(const char *name) {
    if (GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES) return 1;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : -1;
}

int file_writable_by_others(const char *name) {
    return GetFileAttributesA(name) == INVALID_FILE_ATTRIBUTES ? -1 : 0;
}

File *file_create_private(const char *name) {
    if (file_fault_fires()) return nullptr;
    // The folder's access list decides who else may read it: the program folder of its operator.
    return as_file(CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
}
