// Fast files: block and blob records in sector-aligned, write-through container files.
//
// This family needs no Berkeley DB and writes no error log (it only returns error numbers), so
// it builds on its own: for Windows, and into the fuzzing harness.
#include "qnst_fastfile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "qnst_coding.hpp"
#include "qnst_file.hpp"

namespace {

using qnst::load_le32;
using qnst::load_le64;
using qnst::store_le32;
using qnst::store_le64;
using qnst::file::kInvalid;
using qnst::file::kSector;

// Largest buffer whose size, rounded up to a sector, a signed 32-bit fill level still counts.
constexpr uint32_t kMaxBuffer = 0x7ffffe00;
// Largest gap between the end of the valid data and the point where writing resumes.
constexpr uint64_t kMaxGap = 2 * kSector;
constexpr uint32_t kHeader = QNST_FASTFILE_HEADER;

uint64_t round_up(uint64_t v) { return (v + kSector - 1) / kSector * kSector; }

// Bytes the buffer really holds: dwsize rounded up to whole sectors, at least one sector (the
// padding and the streaming of large records work in whole sectors).
uint32_t capacity(const qnst_fastfile *h) {
    return static_cast<uint32_t>(round_up(h->dwsize > 0 ? static_cast<uint32_t>(h->dwsize) : 1));
}

// Writes `len` bytes of `buf` at `offset`: 0, the system error, or 5 for a short write.
int write_whole(const qnst_fastfile *h, const void *buf, uint32_t len, uint64_t offset) {
    uint32_t done = 0;
    int rc = qnst::file::write_at(h->file, buf, len, offset, &done);
    if (rc) return rc;
    return done == len ? 0 : EIO;
}

// Pads the buffer so that a reader finds a zero word where the records stop: zeros to the next
// sector boundary, and a whole zero sector more when that leaves fewer than 4 zero bytes. Returns
// the sector that did not fit into the buffer (it is then written on its own): true or false.
bool pad_buffer(qnst_fastfile *h) {
    uint32_t used = static_cast<uint32_t>(h->used);
    uint32_t pad = static_cast<uint32_t>(round_up(used) - used);
    if (pad == 0) return false;
    std::memset(h->buffer + used, 0, pad);
    used += pad;
    bool apart = false;
    if (pad < 4) {
        if (static_cast<uint64_t>(used) + kSector <= static_cast<uint64_t>(h->dwsize)) {
            std::memset(h->buffer + used, 0, kSector);
            used += kSector;
        } else {
            apart = true;
        }
    }
    h->used = static_cast<int32_t>(used);
    return apart;
}

int write_out(qnst_fastfile *h, uint64_t *end) {
    if (h->position % kSector) return EIO;
    if (h->used > 0 && h->file == kInvalid) return EINVAL;
    const int32_t unpadded = h->used;
    const bool zero_sector_apart = pad_buffer(h);
    if (h->used == 0) {
        *end = h->position;
        return 0;
    }
    const uint32_t used = static_cast<uint32_t>(h->used);
    if (int rc = write_whole(h, h->buffer, used, h->position)) {
        // Drop the padding again: records appended before the next flush then follow the
        // buffered ones directly, and that flush pads anew. Kept, a padding of 1 to 3 bytes
        // whose zero sector is not buffered would run into the next record's header.
        h->used = unpadded;
        return rc;
    }
    h->position += used;
    h->used = 0;
    if (zero_sector_apart) {
        // Buffered until it is written, so later records always come after it.
        std::memset(h->buffer, 0, kSector);
        h->used = kSector;
        if (int rc = write_whole(h, h->buffer, kSector, h->position)) return rc;
        h->position += kSector;
        h->used = 0;
    }
    *end = h->position;
    return 0;
}

// Streams the data of a block record larger than the buffer behind its header (already in the
// buffer at `start`): whole buffer loads are written as they fill, the rest stays buffered. A
// failure drops the record: the next records are written over whatever of it reached the file.
int stream_block(qnst_fastfile *h, const uint8_t *src, uint32_t left, uint64_t start) {
    const uint32_t cap = capacity(h);
    uint32_t used = static_cast<uint32_t>(h->used);
    while (left > 0) {
        uint32_t take = cap - used < left ? cap - used : left;
        std::memcpy(h->buffer + used, src, take);
        used += take;
        src += take;
        left -= take;
        if (used == cap && left > 0) {
            if (int rc = write_whole(h, h->buffer, cap, h->position)) {
                h->position = start;
                h->used = 0;
                return rc;
            }
            h->position += cap;
            used = 0;
        }
    }
    h->used = static_cast<int32_t>(used);
    return 0;
}

// Makes room for `total` more bytes: 0 when they fit, or after the buffer was written out. In
// lazy mode a record that does not fit is reported through `*pending` instead (result 0, and
// `*fits` false); with `report_flush` the fill level written out is reported too.
int make_room(qnst_fastfile *h, int64_t total, bool report_flush, uint32_t *pending, bool *fits) {
    *fits = true;
    if (h->used + total <= h->dwsize) return 0;
    if (h->lazy) {
        *pending = static_cast<uint32_t>(h->used);
        *fits = false;
        return 0;
    }
    if (report_flush) *pending = static_cast<uint32_t>(h->used);
    if (h->file == kInvalid) return EINVAL;
    uint64_t end = 0;
    return write_out(h, &end);
}

// Zeroes bytes `padoff` to `foff` of the file; the gap is at most kMaxGap and `foff` is
// sector-aligned, so the bytes to write back are one or two sectors from the one holding `padoff`.
int zero_gap(qnst_fastfile *h, uint64_t foff, uint64_t padoff) {
    auto *scratch = static_cast<uint8_t *>(qnst::file::alloc_aligned(kMaxGap));
    if (!scratch) return ENOMEM;
    std::memset(scratch, 0, kMaxGap);
    const uint64_t sector = padoff / kSector * kSector;
    const uint32_t keep = static_cast<uint32_t>(padoff - sector);
    uint32_t got = 0;
    int rc = qnst::file::read_at(h->file, scratch, kSector, sector, &got);
    if (rc == 0 && got < keep) rc = EIO;
    if (rc == 0) {
        std::memset(scratch + keep, 0, kMaxGap - keep);
        const uint32_t len = static_cast<uint32_t>(foff - sector);
        uint32_t done = 0;
        if (qnst::file::write_at(h->file, scratch, len, sector, &done) != 0 || done != len)
            rc = EIO;
    }
    qnst::file::free_aligned(scratch);
    return rc;
}

void close_file(qnst_fastfile *h) {
    qnst::file::close(h->file);
    h->file = kInvalid;
}

// One record header at `pos`: the count of bytes read (0 to 16), or -1 when the read failed.
int read_header(const qnst_fastfile *h, uint64_t pos, uint8_t (&hdr)[kHeader]) {
    uint32_t got = 0;
    if (qnst::file::read_at(h->file, hdr, kHeader, pos, &got)) return -1;
    return static_cast<int>(got);
}

// A record length the buffer can hold.
bool length_ok(const qnst_fastfile *h, uint32_t raw) {
    auto n = static_cast<int32_t>(raw);
    return n >= 0 && n <= h->dwsize;
}

}  // namespace

QNST_BEGIN_DECLS

QNST_API int qnst_fastfile_create(qnst_fastfile **out, uint32_t dwsize, uint32_t lazy) {
    if (!out) return EINVAL;
    *out = nullptr;
    if (dwsize > kMaxBuffer) return EINVAL;
    auto *h = static_cast<qnst_fastfile *>(std::calloc(1, sizeof(qnst_fastfile)));
    if (!h) return ENOMEM;
    h->dwsize = static_cast<int32_t>(dwsize);
    h->file = kInvalid;
    h->lazy = lazy;
    const uint32_t cap = capacity(h);
    h->buffer = static_cast<uint8_t *>(qnst::file::alloc_aligned(cap));
    if (!h->buffer) {
        std::free(h);
        return ENOMEM;
    }
    std::memset(h->buffer, 0, cap);
    *out = h;
    return 0;
}

QNST_API int qnst_fastfile_open(qnst_fastfile *h, uint32_t mode, const char *fname, uint64_t foff,
                                int64_t padoff) {
    if (!h) return EINVAL;
    close_file(h);
    // A name that cannot be converted is reported before any check of the offsets.
    if (!qnst::file::name_ok(fname)) return ENOMEM;
    if (mode == QNST_FASTFILE_OPEN_READ) {
        if (int rc = qnst::file::open_read(fname, &h->file)) return rc;
        h->position = foff;
        return 0;
    }
    if (foff % kSector) return EIO;
    const bool gap = padoff < 0 || static_cast<uint64_t>(padoff) < foff;
    if (gap && (padoff < 0 || foff - static_cast<uint64_t>(padoff) > kMaxGap)) return EIO;
    if (int rc = qnst::file::open_write(fname, &h->file)) return rc;
    h->position = foff;
    if (gap) {
        if (int rc = zero_gap(h, foff, static_cast<uint64_t>(padoff))) {
            close_file(h);
            return rc;
        }
    }
    return 0;
}

QNST_API int qnst_fastfile_close(qnst_fastfile *h) {
    if (!h) return 0;
    close_file(h);
    qnst::file::free_aligned(h->buffer);
    std::free(h);
    return 0;
}

QNST_API int qnst_fastfile_newblk(qnst_fastfile *h, const void *data, int32_t n, uint64_t bhandle,
                                  uint64_t *offset, uint32_t *pending) {
    if (!h || !offset || !pending) return EINVAL;
    *pending = 0;
    if (n < 0 || (n > 0 && !data)) return EINVAL;
    const int64_t total = static_cast<int64_t>(n) + kHeader;
    if (h->lazy && total > h->dwsize) return EINVAL;
    bool fits = true;
    if (int rc = make_room(h, total, true, pending, &fits)) return rc;
    if (!fits) return 0;

    const uint64_t start = h->position;
    uint8_t *hdr = h->buffer + h->used;
    std::memcpy(hdr, QNST_FASTFILE_MAGIC, 4);
    store_le64(hdr + 4, bhandle);
    store_le32(hdr + 12, static_cast<uint32_t>(n));
    h->used += kHeader;
    *offset = h->lazy ? static_cast<uint64_t>(h->used) : h->position + h->used;
    if (n == 0) return 0;
    if (h->used + static_cast<int64_t>(n) <= h->dwsize) {
        std::memcpy(h->buffer + h->used, data, static_cast<size_t>(n));
        h->used += n;
        return 0;
    }
    return stream_block(h, static_cast<const uint8_t *>(data), static_cast<uint32_t>(n), start);
}

QNST_API int qnst_fastfile_flush(qnst_fastfile *h, uint64_t *end) {
    if (!h || !end) return EINVAL;
    return write_out(h, end);
}

QNST_API int qnst_fastfile_blobwrite(qnst_fastfile *h, const void *data, int32_t n,
                                     uint64_t offset, uint32_t size, uint32_t *pending) {
    // `*pending` is written only when a lazy buffer is full: callers that keep one pending
    // variable across their writes see it untouched by writes that went in.
    if (!h || !pending) return EINVAL;
    if (n <= 0 || !data) return EINVAL;
    const int64_t total = static_cast<int64_t>(n) + kHeader;
    if (total > h->dwsize) return EINVAL;
    bool fits = true;
    if (int rc = make_room(h, total, false, pending, &fits)) return rc;
    if (!fits) return 0;
    uint8_t *hdr = h->buffer + h->used;
    store_le32(hdr, static_cast<uint32_t>(n));
    store_le64(hdr + 4, offset);
    store_le32(hdr + 12, size);
    std::memcpy(hdr + kHeader, data, static_cast<size_t>(n));
    h->used += static_cast<int32_t>(total);
    return 0;
}

QNST_API int qnst_fastfile_blobread(qnst_fastfile *h, const void **data, uint32_t *length,
                                    uint64_t *offset, uint32_t *size, uint64_t *next) {
    if (!h || !data || !length || !offset || !size || !next) return EINVAL;
    if (h->file == kInvalid || h->used > 0) return EINVAL;
    uint64_t pos = h->position;
    uint8_t hdr[kHeader];
    int got = read_header(h, pos, hdr);
    if (got >= 4 && load_le32(hdr) == 0) {
        // The records of this write stop here: the next ones start at the next sector.
        pos = round_up(pos + 4);
        got = read_header(h, pos, hdr);
        if (got >= 4 && load_le32(hdr) == 0) return EIO;
    }
    if (got < static_cast<int>(kHeader)) return EIO;
    const uint32_t raw = load_le32(hdr);
    if (!length_ok(h, raw)) return EINVAL;
    uint32_t read = 0;
    if (qnst::file::read_at(h->file, h->buffer, raw, pos + kHeader, &read) || read < raw)
        return EIO;
    h->position = pos + kHeader + raw;
    *data = h->buffer;
    *length = raw;
    *offset = load_le64(hdr + 4);
    *size = load_le32(hdr + 12);
    *next = h->position;
    return 0;
}

QNST_API int qnst_fastfile_bpartsize(qnst_fastfile *h, uint64_t *last_offset,
                                     uint64_t *last_pos) {
    if (!h || !last_offset || !last_pos) return EINVAL;
    *last_offset = 0;
    *last_pos = 0;
    uint64_t file_size = 0;
    if (h->file == kInvalid || qnst::file::size(h->file, &file_size)) return 0;
    bool chained = false;
    uint64_t chain_offset = 0, chain_size = 0;
    uint64_t pos = 0;
    while (pos < file_size) {
        uint8_t hdr[kHeader];
        const int got = read_header(h, pos, hdr);
        if (got < 4) break;
        const uint32_t raw = load_le32(hdr);
        if (raw == 0) {
            pos = round_up(pos + 4);
            continue;
        }
        if (got < static_cast<int>(kHeader) || !length_ok(h, raw)) break;
        const uint64_t after = pos + kHeader + raw;
        if (after > file_size) break;  // cut off: the data is not all there
        const uint64_t part = load_le64(hdr + 4);
        const bool accept =
            chained ? part > chain_offset && part == chain_offset + chain_size : part == 0;
        if (accept) {
            chained = true;
            chain_offset = part;
            chain_size = load_le32(hdr + 12);
            *last_offset = part;
            *last_pos = pos;
        }
        pos = after;
    }
    return 0;
}

QNST_API int qnst_fastfile_delete(const char *fname) { return qnst::file::remove(fname); }

QNST_END_DECLS
