// Native files for the fast-file containers: unbuffered, write-through writing in whole sectors,
// sequential reading, positioned I/O (the handle keeps the position, not the system).
//
// Names are UTF-8. A name that is not valid UTF-8, or that needs more than 4096 UTF-16 code
// units including the terminator, "cannot be converted" on every platform, so that the same
// names work everywhere.
//
// Results: 0, or the operating system's own error code (errno, or GetLastError() on Windows),
// except where a function says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qnst::file {

// A native file: a POSIX descriptor or a Windows HANDLE. All bits set when none is open.
using native = intptr_t;
inline constexpr native kInvalid = -1;

// Sector size of every write and of every write's file offset.
inline constexpr uint32_t kSector = 512;

// Most UTF-16 code units a name may take, terminator included.
inline constexpr size_t kMaxNameUnits = 4096;

// Whether the name converts: valid UTF-8 that needs at most kMaxNameUnits UTF-16 code units.
bool name_ok(const char *utf8_name);

// Opens an existing file for sequential reading; other readers and writers stay allowed.
// Returns 0, ENOMEM (the name cannot be converted) or ENOENT (the file cannot be opened).
int open_read(const char *utf8_name, native *out);

// Opens the file for reading and writing, creating it when missing, with writes that bypass the
// system cache and reach the disk before they return; other readers stay allowed. Where the file
// system cannot bypass its cache the file is still opened write-through.
// Returns 0, ENOMEM (the name cannot be converted) or ENOENT (the file cannot be opened).
int open_write(const char *utf8_name, native *out);

void close(native f);

// Reads up to `len` bytes at `offset`; `*done` is the count read, short only at the end of the
// file. Returns 0 or the system error.
int read_at(native f, void *buf, uint32_t len, uint64_t offset, uint32_t *done);

// Writes `len` bytes at `offset` with one call; `*done` is the count the system wrote. For a file
// opened by open_write, `buf`, `len` and `offset` must be multiples of kSector. Returns 0 or the
// system error.
int write_at(native f, const void *buf, uint32_t len, uint64_t offset, uint32_t *done);

// Current size of the file in bytes. Returns 0 or the system error.
int size(native f, uint64_t *out);

// Deletes the file. Returns 0 (deleted, or it did not exist), ENOMEM (the name cannot be converted)
// or -1 (any other failure).
int remove(const char *utf8_name);

// Memory aligned on kSector at least (on a whole page where the system has pages) for unbuffered
// I/O; `bytes` must be a multiple of kSector. Null when out of memory. Released with free_aligned
// (null is allowed).
void *alloc_aligned(size_t bytes);
void free_aligned(void *p);

}  // namespace qnst::file
