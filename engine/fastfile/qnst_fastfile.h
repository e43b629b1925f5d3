/*
 * qnst_fastfile.h: fast files, the append-only containers that hold block and blob data.
 *
 * A fast file is written through one in-memory buffer, in whole 512-byte sectors at 512-byte
 * offsets, with writes that bypass the system cache and reach the disk before they return; it is
 * read back sequentially. A handle is used by one thread at a time. These calls neither use
 * Berkeley DB nor write the error log: they return 0 or an error number.
 *
 * Records (integers little-endian):
 *
 *   block record (qnst_fastfile_newblk)     blob record (qnst_fastfile_blobwrite)
 *   @0  4  magic "qnst"                      @0  4  data length n, signed, never 0
 *   @4  8  block handle                      @4  8  offset of the part within its object
 *   @12 4  data length n, signed             @12 4  size given with the part
 *   @16 n  data                              @16 n  data
 *
 * Records are packed back to back. Every write of the buffer is padded with zero bytes to the
 * next multiple of 512; when that padding would be 1 to 3 bytes, a further zero sector follows
 * (in the same write when the buffer has room for it, else as a second one-sector write). A
 * reader therefore finds a zero 32-bit word wherever records stop before a sector ends, and takes
 * it as the sign to go on at the next multiple of 512.
 *
 * Block records larger than the buffer: without `lazy`, a block record whose 16 + n bytes exceed
 * `dwsize` is laid out exactly like any other block record: its data follows its header directly,
 * and the offset output of qnst_fastfile_newblk is the file position of that data. The handle
 * streams header and data through its own aligned buffer in whole buffer loads, so the caller's
 * data may lie anywhere in memory; the record's last bytes stay in the buffer like an ordinary
 * record's, for the next flush.
 *
 * Result codes used below: 0 success; ENOENT (the file cannot be opened); EIO (an I/O,
 * alignment or format failure); ENOMEM (out of memory, or a file name that is not valid UTF-8
 * or needs more than 4096 UTF-16 code units with its terminator); EINVAL (a bad argument, a
 * record that can never fit, no open file where one is needed); "the system error": the operating
 * system's own code for a failed read or write (errno on POSIX systems, GetLastError() on
 * Windows), returned as it is.
 */
#ifndef QNST_FASTFILE_H
#define QNST_FASTFILE_H

#include <stdint.h>

#include "qnst_defs.h"

QNST_BEGIN_DECLS

/* The four bytes that start every block record. */
#define QNST_FASTFILE_MAGIC "qnst"
/* Size and alignment of every write and every write offset. */
#define QNST_FASTFILE_SECTOR 512
/* Modes of qnst_fastfile_open: 1 reads; any other value writes. */
#define QNST_FASTFILE_OPEN_READ 1
#define QNST_FASTFILE_OPEN_WRITE 2
/* Size of the header in front of the data of both record kinds. */
#define QNST_FASTFILE_HEADER 16

/* Fast-file handle, allocated by qnst_fastfile_create and freed by qnst_fastfile_close. The
 * fields are for reading only. */
typedef struct qnst_fastfile {
    int32_t dwsize;    /* buffer capacity in bytes, as given at create */
    intptr_t file;     /* the native file (descriptor or HANDLE); -1 when none is open */
    uint8_t *buffer;   /* dwsize rounded up to a multiple of 512 (at least 512), 512-aligned */
    int32_t used;      /* bytes currently in the buffer */
    uint64_t position; /* writing: file offset of the buffer's first byte;
                          reading: offset of the next read */
    uint32_t lazy;     /* nonzero: record calls never write; a record that does not fit is
                          reported through their pending output */
} qnst_fastfile;

/* Allocates a handle with a buffer of `dwsize` bytes and no open file, and stores it in `*out`
 * (which is cleared first). With `lazy` nonzero, records collect in the buffer and reach a file
 * only through qnst_fastfile_flush.
 * Returns 0; ENOMEM when memory runs out (nothing is allocated); EINVAL when `out` is null or
 * `dwsize` exceeds 0x7ffffe00 (a buffer that a signed 32-bit fill level cannot describe). */
QNST_API int qnst_fastfile_create(qnst_fastfile **out, uint32_t dwsize, uint32_t lazy);

/* Opens `fname` (UTF-8) and sets the position to `foff`. A file already open on the handle is
 * closed first; the buffer is kept.
 * Mode 1 reads: the file must exist; other readers and writers stay allowed.
 * Any other mode writes: the file is created when missing; other readers stay allowed. `foff` must
 * be a multiple of 512. When `padoff` < `foff` (the valid data ends at `padoff`, before the point
 * where writing resumes), bytes `padoff` to `foff` of the file are zeroed, so that a reader finds
 * the zero word after the last record; the gap may be at most 1024 bytes and the file must hold
 * the data up to `padoff`.
 * Returns 0;
 *   ENOENT the file cannot be opened;
 *   EIO    writing, and `foff` is not a multiple of 512, `padoff` is negative, the gap exceeds 1024
 *          bytes (these three before anything is opened), the file ends before `padoff`, or the
 *          zeroing write fails or is short;
 *   ENOMEM `fname` is null or cannot be converted (see above; checked before `foff` and `padoff`),
 *          or memory runs out;
 *   EINVAL `h` is null;
 *   the system error: the read of the sector holding `padoff` failed.
 * After a failure no file is open on the handle. */
QNST_API int qnst_fastfile_open(qnst_fastfile *h, uint32_t mode, const char *fname, uint64_t foff,
                                int64_t padoff);

/* Closes the file if one is open and frees the buffer and the handle. Records still in the
 * buffer are dropped: flush first. Always 0 (also for a null handle). */
QNST_API int qnst_fastfile_close(qnst_fastfile *h);

/* Appends a block record of `n` bytes of `data` tagged with `bhandle`. `*pending` is set to 0,
 * or to the fill level when the buffer was full:
 * - lazy: when the record does not fit behind the buffered ones, nothing is stored, `*pending`
 *   is the (nonzero) fill level and the result is 0; the caller flushes and retries.
 * - otherwise the buffer is written out (as by qnst_fastfile_flush) to make room, and `*pending`
 *   reports the fill level it had.
 * `*offset` is the position of the record's data: in the buffer (lazy) or in the file.
 * Returns 0;
 *   EINVAL `h`, `offset` or `pending` null, `n` negative, `data` null with `n` > 0, a lazy record
 *          of more than `dwsize` bytes with its header, or a buffer to write out with no file open;
 *   EIO and the system error: as qnst_fastfile_flush, when writing out fails. A record larger
 *          than the buffer that fails part way is dropped: the position and the buffer go back to
 *          where the record started, and later records are written over its remains. */
QNST_API int qnst_fastfile_newblk(qnst_fastfile *h, const void *data, int32_t n, uint64_t bhandle,
                                  uint64_t *offset, uint32_t *pending);

/* Writes the buffer out at the position, padded as described above, and sets `*end` to the file
 * position after it (for an empty buffer: the position, and nothing is written).
 * Returns 0;
 *   EIO    the position is not a multiple of 512, or a write was short;
 *   EINVAL `h` or `end` null, or records are buffered and no file is open;
 *   the system error: a write failed.
 * After a failure the position is unchanged and the buffered records stay for the next flush.
 * When only the trailing zero sector could not be written, that sector stays buffered in front
 * of later records, so the file never shows a short zero run followed by a record. */
QNST_API int qnst_fastfile_flush(qnst_fastfile *h, uint64_t *end);

/* Appends a blob record: `n` bytes of `data`, a part of an object at `offset`, with `size`.
 * Lazy: when the record does not fit behind the buffered ones, nothing is stored, `*pending` is
 * set to the (nonzero) fill level and the result is 0. In every other case `*pending` is left
 * as it was (unlike qnst_fastfile_newblk, which clears it): without lazy a full buffer is written
 * out first and not reported.
 * Returns 0;
 *   EINVAL `h` or `pending` null, `n` not positive (a zero length would read as padding), `data`
 *          null, the record with its header larger than `dwsize`, or a full buffer and no file
 *          open;
 *   EIO and the system error: as qnst_fastfile_flush. */
QNST_API int qnst_fastfile_blobwrite(qnst_fastfile *h, const void *data, int32_t n,
                                     uint64_t offset, uint32_t size, uint32_t *pending);

/* Reads the blob record at the position (after one zero word, at the next multiple of 512) and
 * moves the position past it. `*data` points into the handle's buffer (valid until the next call
 * on the handle), `*length` is its size, `*offset` and `*size` the header's, `*next` the new
 * position. Meant for handles opened for reading: a handle opened for writing reads only whole
 * sectors. On failure the position and the outputs are unchanged.
 * Returns 0;
 *   EIO    a read failed, the header or the data is cut short by the end of the file (as at the end
 *          of the records), or a second zero word follows the first;
 *   EINVAL a null argument, no open file, records waiting in the buffer (reading would overwrite
 *          them), or a length that is negative or above `dwsize`. */
QNST_API int qnst_fastfile_blobread(qnst_fastfile *h, const void **data, uint32_t *length,
                                    uint64_t *offset, uint32_t *size, uint64_t *next);

/* Finds how much of a partly written blob file is usable, scanning from offset 0 (the handle's
 * position is not used or changed). Zero words skip to the next multiple of 512; the scan stops
 * at the end of the file, a failed read, a negative length, a length above `dwsize`, or a record
 * whose data the file does not hold in full (cut off). Records form a chain of contiguous parts:
 * the first accepted record is the first whose offset is 0; each later one is accepted when its
 * offset is above the last accepted offset and equals that offset plus the last accepted size;
 * other records are passed over. `*last_offset` and `*last_pos` are the offset and the file
 * position (of the header) of the last accepted record; both are 0 when none was accepted (or
 * when only the first part, at file position 0, was). Meant for handles opened for reading: a
 * handle opened for writing reads only whole sectors and finds nothing.
 * Returns 0; EINVAL when an argument is null. */
QNST_API int qnst_fastfile_bpartsize(qnst_fastfile *h, uint64_t *last_offset, uint64_t *last_pos);

/* Deletes the file `fname` (UTF-8).
 * Returns 0 (deleted, or it did not exist); ENOMEM `fname` is null or cannot be converted; -1 any
 * other failure. */
QNST_API int qnst_fastfile_delete(const char *fname);

QNST_END_DECLS

#endif /* QNST_FASTFILE_H */
