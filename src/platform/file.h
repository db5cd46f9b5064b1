// Files by relative name (relative to the process's current directory): the settings file and the
// access log. Sharing follows the Windows rules on both platforms: "no sharing" and "others may
// only read" make a second writer's open fail, so it can try again later.
#pragma once

#include <cstdint>

struct File;  // opaque; belongs to whoever opened it until file_close

// Opens for reading with no sharing, creating an empty file when none exists. Null on failure
// (also when another open holds the file); *held (when given) then tells which: 1 another open
// holds the file, so a later try may succeed; 0 any other failure.
[[nodiscard]] File *file_open_read(const char *name, std::int32_t *held = nullptr);
// Opens for writing with no sharing, always as a new empty file. Null on failure.
[[nodiscard]] File *file_create_write(const char *name);
// Opens for writing at the end, others may only read meanwhile; creates the file when none exists.
// Null on failure (also when another writer holds the file).
[[nodiscard]] File *file_open_append(const char *name);

// The file's size in bytes. -1 on failure.
int file_size(File *file, std::int64_t *size);
// Reads up to length bytes at the current position; *count tells how many came (0 at the end).
// -1 on a read error.
int file_read(File *file, void *buffer, std::uint32_t length, std::uint32_t *count);
// Writes length bytes at the current position (at the end for an append file); *count tells how
// many were written. -1 on a write error.
int file_write(File *file, const void *data, std::uint32_t length, std::uint32_t *count);
// Forces what was written onto the storage device. -1 on failure.
int file_flush(File *file);
// Closes the file; null is accepted.
void file_close(File *file);

// Gives `file` the permission bits of the file `like`, and its owner and group when the process
// may (Linux, as root), so that `file` renamed over `like` leaves them as they were. 0 when done or
// when `like` does not exist; -1 on failure. Windows: 0 at once (the replacement has the
// permissions its folder gives every new file).
int file_copy_access(File *file, const char *like);

// Replaces the file `to` by the file `from` in one step (rename over it), and puts the rename on
// the storage device before it returns (Linux: the folder is synced; Windows: write-through).
// -1 on failure; `to` is then unchanged, unless only the folder's sync failed (an I/O error of the
// device).
int file_replace(const char *from, const char *to);
// Deletes a file. -1 on failure.
int file_delete(const char *name);
// Whether a file of that name exists, without creating it: 1 yes, 0 no, -1 when it cannot be told
// (no permission to look).
int file_find(const char *name);

// An exclusive advisory lock, for files that are replaced by renaming and so cannot carry a lock
// of their own (the replacement is another file). The lock lives on a lock file: created empty when
// missing and never removed, since a removal would let two holders each lock a file of their own.
// Linux: flock() of the lock file, so that `flock NAME command` holds it from a shell; Windows:
// LockFileEx() of its first byte. A lock conflicts with every other holder, other threads of the
// same process included, and goes when file_unlock is called or the process ends.
struct FileLock;  // opaque; belongs to whoever took it until file_unlock

constexpr int FILE_LOCK_TAKEN = 0;
constexpr int FILE_LOCK_HELD = 1;     // another holder has it: a later try may succeed
constexpr int FILE_LOCK_FAILED = -1;  // the lock file cannot be opened or created
constexpr int FILE_LOCK_DENIED = -2;  // ... for want of permission: a folder or lock file of
                                      // another user, a read-only file system

// Tries once, without waiting, to take the lock of the lock file `name`. FILE_LOCK_TAKEN with
// *lock set, or FILE_LOCK_HELD / FILE_LOCK_FAILED / FILE_LOCK_DENIED with *lock null. Any thread.
[[nodiscard]] int file_lock_try(const char *name, FileLock **lock);
// Lets go of the lock; null is accepted.
void file_unlock(FileLock *lock);

// Test hook: the n-th file call from now (opens, size, reads, writes, access copy, replace, lock
// tries) fails; 0 disarms.
void file_fail_call(std::int32_t n);

// Whether anyone but the file's owner may change it (its group or everybody may write it, as sshd
// asks of authorized_keys): 1 yes, 0 no, -1 when it cannot be told (no such file). Windows: 0 (its
// access lists are not read).
int file_writable_by_others(const char *name);

// Creates a new file that only its owner may read and write (a private key): fails when the name
// exists already. Null on failure.
[[nodiscard]] File *file_create_private(const char *name);
