// Files by relative name (relative to the process's current directory): the settings file and the
// access log. Sharing follows the Windows rules on both platforms: "no sharing" and "others may
// only read" make a second writer's open fail, so it can try again later.
#pragma once

#include <cstdint>

struct File;  // opaque; belongs to whoever opened it until file_close

// Opens for reading with no sharing, creating an empty file when none exists. Null on failure
// (also when another open holds the file).
[[nodiscard]] File *file_open_read(const char *name);
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

// Replaces the file `to` by the file `from` in one step (rename over it). -1 on failure; `to` is
// then unchanged.
int file_replace(const char *from, const char *to);
// Deletes a file. -1 on failure.
int file_delete(const char *name);
// Whether a file of that name exists, without creating it: 1 yes, 0 no, -1 when it cannot be told
// (no permission to look).
int file_find(const char *name);

// Test hook: the n-th file call from now (opens, size, reads, writes, replace) fails; 0 disarms.
void file_fail_call(std::int32_t n);

// Whether anyone but the file's owner may change it (its group or everybody may write it, as sshd
// asks of authorized_keys): 1 yes, 0 no, -1 when it cannot be told (no such file). Windows: 0 (its
// access lists are not read).
int file_writable_by_others(const char *name);

// Creates a new file that only its owner may read and write (a private key): fails when the name
// exists already. Null on failure.
[[nodiscard]] File *file_create_private(const char *name);
