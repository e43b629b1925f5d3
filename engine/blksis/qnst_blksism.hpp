// Internal interface of the block store manager: the block store used by the block maps, and the
// helpers its sources share with the cache store.
#pragma once

#include <atomic>
#include <cstdint>
#include <cerrno>

#include "qnst_blksism.h"
#include "qnst_csis.hpp"
#include "qnst_dfile_usage.hpp"
#include "qnst_sis.hpp"

/* Stores a newly written block under manager handle `handle` (from qnst_sism_gen_handle, for the
 * same hash): with caching on (budget set, watermark 2 or more) through the cache store, which
 * defers the hash-index entry to the store queue; otherwise by inserting hash -> handle into the
 * partition's hash index, then the block's location and reference records, histogram bucket 1,
 * and `length` bytes of usage for data file `dfid` (offset + length becomes its current offset;
 * *growth, may be null, receives the file's growth).
 * Returns 0; EINVAL (not logged) when the handle's partition byte is not the hash's partition;
 * EINVAL (logged, nothing written) for a missing or empty hash, one longer than 20 bytes, or a
 * store that is not created; QNST_HASH_EXISTS (not logged) when another block with this hash was
 * stored first: look the hash up and hold that block instead; or the Berkeley DB code (logged
 * unless exempt). */
int qnst_sism_store(qnst_blksism *mgr, DB_TXN *txn, const void *hash, uint32_t hashlen,
                    uint32_t dfid, uint32_t dfver, uint64_t offset, uint32_t length,
                    uint64_t handle, uint64_t *growth);

namespace qnst::blksis {

// Counters, watermarks and the compaction flag of a partition are shared by every thread that
// works on the store and are statistics or settings, never persistent state: relaxed atomics on
// the record's plain fields.
using qnst::sis::bump;
template <typename T>
inline T load(T &field) {
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}
template <typename T>
inline void store(T &field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

// Records a newly written block in its partition (location record, reference word with count 1,
// histogram bucket 1) and charges its data file: `length` bytes of usage, offset + length (the
// length read as signed 32-bit) its new current offset, *growth (may be null) the file's growth.
// The hash index is not touched. Returns 0 or the first failure, logged by the step that failed.
inline int record_block(qnst_sis *part, DB_TXN *txn, const void *hash, uint32_t hashlen,
                        uint32_t dfid, uint32_t dfver, uint64_t offset, uint32_t length,
                        uint64_t local, uint64_t *growth) {
    int rc = qnst_sis_store(part, txn, hash, hashlen, dfid, dfver, offset, length, local);
    if (rc) return rc;
    uint64_t scratch = 0;
    const int64_t signed_length = static_cast<int32_t>(length);
    return qnst_dfile_usage(part->dfile, txn, dfid, offset + static_cast<uint64_t>(signed_length),
                            length, growth ? growth : &scratch);
}

// Routing. Each returns 0 with the partition chosen, or EINVAL for what cannot be routed:
// a store that is not created, a partition index beyond it, a missing or empty hash.
inline bool created(const qnst_blksism *mgr) {
    return mgr && mgr->parts && mgr->nparts >= 1 && mgr->nparts <= QNST_BLKSISM_MAX_PARTS;
}
inline DB_ENV *env_of(const qnst_blksism *mgr) { return mgr ? mgr->env : nullptr; }

inline int by_index(qnst_blksism *mgr, int64_t p, qnst_sis **part) {
    if (!created(mgr) || !qnst::in_table(p, mgr->nparts)) return EINVAL;
    *part = &mgr->parts[p];
    return 0;
}
inline int by_hash(qnst_blksism *mgr, const void *hash, uint32_t hashlen, int32_t *p,
                   qnst_sis **part) {
    // No record holds a longer hash; refusing one here keeps any length from reaching a read.
    if (!created(mgr) || !hash || hashlen == 0 || hashlen > QNST_SIS_MAX_HASH) return EINVAL;
    *p = (static_cast<const uint8_t *>(hash)[0] & 0x7F) % mgr->nparts;
    *part = &mgr->parts[*p];
    return 0;
}
inline int by_handle(qnst_blksism *mgr, uint64_t handle, qnst_sis **part, uint64_t *local) {
    *local = handle & QNST_BLKSISM_LOCAL_MASK;
    return by_index(mgr, static_cast<int64_t>(handle >> QNST_BLKSISM_PART_SHIFT), part);
}
inline uint64_t with_partition(uint64_t local, int64_t p) {
    return local ? local | (static_cast<uint64_t>(p) << QNST_BLKSISM_PART_SHIFT) : 0;
}

}  // namespace qnst::blksis
