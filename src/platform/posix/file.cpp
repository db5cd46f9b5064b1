// Files for Linux. Windows' sharing modes are played with flock(): "no sharing" and "others may only
// read" take an exclusive lock without waiting, so a second opener fails as it would on Windows.
#include "platform/file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>

#include "platform/fault.h"

struct File {
    int fd;
};

struct FileLock {
    int fd;
};

// *held (when given) is set to 1 when the open failed only because another open holds the file.
static File *file_open_locked(const char *name, int flags, std::int32_t *held = nullptr) {
    if (held != nullptr) *held = 0;
    if (file_fault_fires()) return nullptr;
    int fd = open(name, flags | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    int locked;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        if (held != nullptr && errno == EWOULDBLOCK) *held = 1;
        close(fd);
        return nullptr;
    }
    File *file = new (std::nothrow) File{fd};
    if (file == nullptr) close(fd);
    return file;
}

File *file_open_read(const char *name, std::int32_t *held) {
    return file_open_locked(name, O_RDONLY | O_CREAT, held);
}

File *file_create_write(const char *name) {
    // Truncate only after the lock is ours, so that a holder's content is not cut under it.
    File *file = file_open_locked(name, O_WRONLY | O_CREAT);
    if (file != nullptr && ftruncate(file->fd, 0) != 0) {
        file_close(file);
        return nullptr;
    }
    return file;
}

File *file_open_append(const char *name) {
    return file_open_locked(name, O_WRONLY | O_CREAT | O_APPEND);
}

int file_size(File *file, std::int64_t *size) {
    if (file_fault_fires()) return -1;
    struct stat info;
    if (fstat(file->fd, &info) != 0) return -1;
    *size = info.st_size;
    return 0;
}

int file_read(File *file, void *buffer, std::uint32_t length, std::uint32_t *count) {
    *count = 0;
    if (file_fault_fires()) return -1;
    char *at = static_cast<char *>(buffer);
    while (*count < length) {
        ssize_t got = read(file->fd, at + *count, length - *count);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        *count += static_cast<std::uint32_t>(got);
    }
    return 0;
}

int file_write(File *file, const void *data, std::uint32_t length, std::uint32_t *count) {
    *count = 0;
    if (file_fault_fires()) return -1;
    const char *at = static_cast<const char *>(data);
    while (*count < length) {
        ssize_t put = write(file->fd, at + *count, length - *count);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return -1;
        *count += static_cast<std::uint32_t>(put);
    }
    return 0;
}

int file_flush(File *file) {
    if (file_fault_fires()) return -1;
    return fsync(file->fd) == 0 ? 0 : -1;
}

void file_close(File *file) {
    if (file == nullptr) return;
    close(file->fd);
    delete file;
}

int file_copy_access(File *file, const char *like) {
    if (file_fault_fires()) return -1;
    struct stat info;
    if (stat(like, &info) != 0) return errno == ENOENT ? 0 : -1;
    // The owner first: a change of owner may clear the set-id bits that the mode then restores.
    if (geteuid() == 0 && fchown(file->fd, info.st_uid, info.st_gid) != 0) return -1;
    return fchmod(file->fd, info.st_mode & 07777) == 0 ? 0 : -1;
}

// The folder that holds `name`, as a path to open.
static std::string folder_of(const char *name) {
    const char *slash = std::strrchr(name, '/');
    if (slash == nullptr) return ".";
    if (slash == name) return "/";
    return std::string(name, static_cast<std::size_t>(slash - name));
}

int file_replace(const char *from, const char *to) {
    if (file_fault_fires()) return -1;
    if (rename(from, to) != 0) return -1;
    // A rename lives in the folder: until the folder is synced, a crash may bring the old file back.
    int folder = open(folder_of(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return -1;
    int synced = fsync(folder);
    close(folder);
    return synced == 0 ? 0 : -1;
}

int file_delete(const char *name) { return unlink(name) == 0 ? 0 : -1; }

int file_lock_try(const char *name, FileLock **lock) {
    *lock = nullptr;
    if (file_fault_fires()) return FILE_LOCK_FAILED;
    // Read access is enough for flock(), so a lock file made by another user can still be taken.
    int fd = open(name, O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno == EACCES || errno == EPERM || errno == EROFS ? FILE_LOCK_DENIED
                                                                   : FILE_LOCK_FAILED;
    }
    int locked;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        int held = errno == EWOULDBLOCK;
        close(fd);
        return held ? FILE_LOCK_HELD : FILE_LOCK_FAILED;
    }
    *lock = new (std::nothrow) FileLock{fd};
    if (*lock == nullptr) {
        close(fd);
        return FILE_LOCK_FAILED;
    }
    return FILE_LOCK_TAKEN;
}

void file_unlock(FileLock *lock) {
    if (lock == nullptr) return;
    close(lock->fd);  // the flock goes with the last descriptor of the open
    delete lock;
}

int file_find(const char *name) {
    struct stat info;
    if (stat(name, &info) == 0) return 1;
    return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
}

int file_writable_by_others(const char *name) {
    struct stat info;
    if (stat(name, &info) != 0) return -1;
    return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 ? 1 : 0;
}

File *file_create_private(const char *name) {
    if (file_fault_fires()) return nullptr;
    int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    // The umask may have taken more than asked; never less than private.
    if (fchmod(fd, 0600) != 0) {
        close(fd);
        unlink(name);
        return nullptr;
    }
    File *file = new (std::nothrow) File{fd};
    if (file == nullptr) {
        close(fd);
        unlink(name);
    }
    return file;
}
