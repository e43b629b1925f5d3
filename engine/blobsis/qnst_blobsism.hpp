// Internal interface of the blob store manager: routing of calls to partitions, and the
// allocation seam of the partition array.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "qnst_blobsis.hpp"
#include "qnst_blobsism.h"

namespace qnst::blobsism {

// Allocates the zero-filled partition array (calloc's contract). Tests replace it to see how
// create handles an allocation failure.
using PartsAlloc = void *(*)(size_t count, size_t size);
extern PartsAlloc parts_alloc;

inline bool created(const qnst_blobsism *mgr) {
    return mgr && mgr->parts && mgr->count >= 1 && mgr->count <= QNST_BLOBSISM_MAX_PARTS;
}
inline DB_ENV *env_of(const qnst_blobsism *mgr) { return mgr ? mgr->env : nullptr; }

// Routing. Each gives 0 with the partition chosen, or 22 (EINVAL) for what cannot be routed.
inline int by_index(qnst_blobsism *mgr, int64_t p, qnst_blobsis **part) {
    if (!created(mgr) || p < 0 || p >= mgr->count) return EINVAL;
    *part = &mgr->parts[p];
    return 0;
}
inline int32_t partition_of_hash(const qnst_blobsism *mgr, const void *hash) {
    return (static_cast<const uint8_t *>(hash)[0] & 0x7F) % mgr->count;
}
inline int by_hash(qnst_blobsism *mgr, const void *hash, uint32_t hashlen, int32_t *p,
                   qnst_blobsis **part) {
    if (!created(mgr) || !qnst::blobsis::valid_hash(hash, hashlen)) return EINVAL;
    *p = partition_of_hash(mgr, hash);
    *part = &mgr->parts[*p];
    return 0;
}
// The partition of a handle is its top byte read as a signed value: a byte of 0x80 or more is
// never a partition.
inline int64_t partition_of_handle(uint64_t handle) {
    return static_cast<int64_t>(handle) >> QNST_BLOBSISM_PART_SHIFT;
}
inline int by_handle(qnst_blobsism *mgr, uint64_t handle, qnst_blobsis **part, uint64_t *local) {
    *local = handle & QNST_BLOBSISM_LOCAL_MASK;
    return by_index(mgr, partition_of_handle(handle), part);
}
inline uint64_t with_partition(uint64_t local, int64_t p) {
    return local ? local | (static_cast<uint64_t>(p) << QNST_BLOBSISM_PART_SHIFT) : 0;
}

}  // namespace qnst::blobsism
