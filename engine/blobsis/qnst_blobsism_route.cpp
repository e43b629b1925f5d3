// Blob store manager: the calls on blobs, routed to a partition by the blob's hash or by the
// partition number in its handle, and the scans of one partition.
#include "qnst_blobsism.h"

#include <atomic>

#include "qnst_blobsism.hpp"

QNST_SOURCE("qnst/blobsis/qnst_blobsism");

using qnst::blobsism::by_handle;
using qnst::blobsism::by_hash;
using qnst::blobsism::by_index;
using qnst::blobsism::env_of;
using qnst::blobsism::partition_of_handle;
using qnst::blobsism::with_partition;

namespace {

// The partition the next compaction-queue read starts at, shared by every manager of the
// process. Readers race on it without a lock: they may start at the same partition or skip one,
// which only changes which queued entry is returned.
int32_t g_compact_cursor = 0;

int32_t load_cursor() {
    return std::atomic_ref<int32_t>(g_compact_cursor).load(std::memory_order_relaxed);
}
void store_cursor(int32_t p) {
    std::atomic_ref<int32_t>(g_compact_cursor).store(p, std::memory_order_relaxed);
}

// Routes a handle-addressed call: the partition and the local id, or 22 (logged).
#define ROUTE_HANDLE(mgr, handle, part, local)                             \
    qnst_blobsis *part = nullptr;                                          \
    uint64_t local = 0;                                                    \
    if (int route_rc = by_handle((mgr), (handle), &part, &local); route_rc) \
        return QNST_FAIL(env_of(mgr), route_rc)

// Routes a hash-addressed call: the partition and its number, or 22 (logged).
#define ROUTE_HASH(mgr, hash, hashlen, p, part)                                 \
    int32_t p = 0;                                                              \
    qnst_blobsis *part = nullptr;                                               \
    if (int route_rc = by_hash((mgr), (hash), (hashlen), &p, &part); route_rc) \
        return QNST_FAIL(env_of(mgr), route_rc)

}  // namespace

int qnst_mblob_gen_handle(qnst_blobsism *mgr, const void *hash, uint32_t hashlen,
                          uint64_t *handle) {
    *handle = 0;
    ROUTE_HASH(mgr, hash, hashlen, p, part);
    uint64_t local = 0;
    if (int rc = qnst_blob_gen_handle(part, &local); rc) return QNST_FAIL(mgr->env, rc);
    *handle = with_partition(local, p);
    return 0;
}

int qnst_mblob_store_hold(qnst_blobsism *mgr, DB_TXN *txn, const void *hash, uint32_t hashlen,
                          uint64_t size, uint64_t handle, uint32_t count) {
    ROUTE_HASH(mgr, hash, hashlen, p, part);
    // A handle generated for another partition would leave the blob where its hash never leads.
    if (partition_of_handle(handle) != p) return EINVAL;
    const int rc = qnst_blob_store_hold(part, txn, hash, hashlen, size,
                                        handle & QNST_BLOBSISM_LOCAL_MASK, count);
    return QNST_FAIL(mgr->env, rc);
}

int qnst_mblob_store(qnst_blobsism *mgr, DB_TXN *txn, const void *hash, uint32_t hashlen,
                     uint64_t size, uint64_t handle) {
    return qnst_mblob_store_hold(mgr, txn, hash, hashlen, size, handle, 1);
}

int qnst_mblob_lookup(qnst_blobsism *mgr, DB_TXN *txn, const void *hash, uint32_t hashlen,
                      uint64_t *handle) {
    *handle = 0;
    ROUTE_HASH(mgr, hash, hashlen, p, part);
    uint64_t local = 0;
    if (int rc = qnst_blob_lookup(part, txn, hash, hashlen, &local); rc)
        return QNST_FAIL(mgr->env, rc);
    *handle = with_partition(local, p);
    return 0;
}

int qnst_mblob_hold(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle, int32_t fsck) {
    ROUTE_HANDLE(mgr, handle, part, local);
    return QNST_FAIL(mgr->env, qnst_blob_hold(part, txn, local, fsck));
}

int qnst_mblob_rele(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle, uint64_t *released) {
    ROUTE_HANDLE(mgr, handle, part, local);
    return QNST_FAIL(mgr->env, qnst_blob_rele(part, txn, local, released));
}

int qnst_mblob_compactq(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle, uint64_t size) {
    ROUTE_HANDLE(mgr, handle, part, local);
    return QNST_FAIL(mgr->env, qnst_blob_compactq(part, txn, local, size));
}

int qnst_mblob_get_compactq(qnst_blobsism *mgr, DB_TXN *txn, uint64_t *handle, uint64_t *size) {
    *handle = 0;
    *size = 0;
    if (!qnst::blobsism::created(mgr)) return QNST_FAIL(env_of(mgr), EINVAL);
    // Another manager of the process may have left the shared index beyond this store.
    int32_t p = load_cursor();
    if (p < 0 || p >= mgr->count) p = 0;
    const int32_t start = p;
    for (;;) {
        uint64_t local = 0;
        const int rc = qnst_blob_get_compactq(&mgr->parts[p], txn, &local, size);
        if (local != 0) {
            store_cursor(p);
            *handle = with_partition(local, p);
            return rc;
        }
        p = p + 1 == mgr->count ? 0 : p + 1;
        store_cursor(p);
        if (p == start) return rc;
    }
}

int qnst_mblob_del_compactq(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle) {
    ROUTE_HANDLE(mgr, handle, part, local);
    return qnst_blob_del_compactq(part, txn, local);
}

int qnst_mblob_hashread(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle, uint32_t *hashlen,
                        void *hash) {
    *hashlen = 0;
    ROUTE_HANDLE(mgr, handle, part, local);
    return QNST_FAIL(mgr->env, qnst_blob_hashread(part, txn, local, hashlen, hash));
}

int qnst_mblob_getref(qnst_blobsism *mgr, DB_TXN *txn, int32_t fsck, uint64_t handle,
                      uint32_t *count) {
    *count = 0;
    ROUTE_HANDLE(mgr, handle, part, local);
    return QNST_FAIL(mgr->env, qnst_blob_getref(part, txn, fsck, local, count));
}

int qnst_mblob_setref(qnst_blobsism *mgr, DB_TXN *txn, int32_t fsck, uint64_t handle,
                      uint32_t count) {
    ROUTE_HANDLE(mgr, handle, part, local);
    return QNST_FAIL(mgr->env, qnst_blob_setref(part, txn, fsck, local, count));
}

int qnst_blobsism_store_idref(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle, int32_t fsck) {
    ROUTE_HANDLE(mgr, handle, part, local);
    return QNST_FAIL(mgr->env, qnst_blob_store_idref(part, txn, local, fsck));
}

int qnst_blobsism_purge_idref(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle, int32_t fsck) {
    ROUTE_HANDLE(mgr, handle, part, local);
    return QNST_FAIL(mgr->env, qnst_blob_purge_idref(part, txn, local, fsck));
}

int qnst_blobsism_store_hashid(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle,
                               const void *hash, uint32_t hashlen) {
    ROUTE_HASH(mgr, hash, hashlen, p, part);
    if (partition_of_handle(handle) != p) return EINVAL;
    return QNST_FAIL(mgr->env, qnst_blob_store_hashid(part, txn, handle & QNST_BLOBSISM_LOCAL_MASK,
                                                      hash, hashlen));
}

int qnst_blobsism_purge_hashid(qnst_blobsism *mgr, DB_TXN *txn, const void *hash,
                               uint32_t hashlen) {
    ROUTE_HASH(mgr, hash, hashlen, p, part);
    return QNST_FAIL(mgr->env, qnst_blob_purge_hashid(part, txn, hash, hashlen));
}

int qnst_blobsism_purge_idinfo(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle) {
    ROUTE_HANDLE(mgr, handle, part, local);
    return QNST_FAIL(mgr->env, qnst_blob_purge_idinfo(part, txn, local));
}

// ---- Scans --------------------------------------------------------------------------------

#define ROUTE_INDEX(mgr, p, part)                                         \
    qnst_blobsis *part = nullptr;                                         \
    if (int route_rc = by_index((mgr), (p), &part); route_rc)              \
        return QNST_FAIL(env_of(mgr), route_rc)

int qnst_blobsism_walk_idref(qnst_blobsism *mgr, int32_t p, DB_TXN *txn, int32_t fsck,
                             DBC **cursor, uint64_t *handle, uint32_t *count) {
    *cursor = nullptr;
    ROUTE_INDEX(mgr, p, part);
    uint64_t local = *handle & QNST_BLOBSISM_LOCAL_MASK;
    *handle = 0;
    const int rc = qnst_blob_walk_idref(part, txn, fsck, cursor, &local, count);
    if (rc) return QNST_FAIL(mgr->env, rc);
    *handle = with_partition(local, p);
    return 0;
}

int qnst_blobsism_next_idref(qnst_blobsism *mgr, int32_t p, DBC *cursor, uint64_t *handle,
                             uint32_t *count) {
    *handle = 0;
    ROUTE_INDEX(mgr, p, part);
    uint64_t local = 0;
    const int rc = qnst_blob_next_idref(part, cursor, &local, count);
    if (rc) return QNST_FAIL(mgr->env, rc);
    *handle = with_partition(local, p);
    return 0;
}

int qnst_blobsism_walk_idinfo(qnst_blobsism *mgr, int32_t p, DB_TXN *txn, DBC **cursor,
                              uint64_t *handle, uint64_t *size, uint32_t *hashlen, void *hash) {
    *cursor = nullptr;
    ROUTE_INDEX(mgr, p, part);
    uint64_t local = *handle & QNST_BLOBSISM_LOCAL_MASK;
    *handle = 0;
    const int rc = qnst_blob_walk_idinfo(part, txn, cursor, &local, size, hashlen, hash);
    if (rc) return QNST_FAIL(mgr->env, rc);
    *handle = with_partition(local, p);
    return 0;
}

int qnst_blobsism_next_idinfo(qnst_blobsism *mgr, int32_t p, DBC *cursor, uint64_t *handle,
                              uint64_t *size, uint32_t *hashlen, void *hash) {
    *handle = 0;
    ROUTE_INDEX(mgr, p, part);
    uint64_t local = 0;
    const int rc = qnst_blob_next_idinfo(part, cursor, &local, size, hashlen, hash);
    if (rc) return QNST_FAIL(mgr->env, rc);
    *handle = with_partition(local, p);
    return 0;
}

int qnst_blobsism_walk_hashid(qnst_blobsism *mgr, int32_t p, DB_TXN *txn, DBC **cursor,
                              uint64_t *handle, uint32_t startlen, uint32_t *hashlen,
                              void *hash) {
    *cursor = nullptr;
    *handle = 0;
    ROUTE_INDEX(mgr, p, part);
    uint64_t local = 0;
    const int rc = qnst_blob_walk_hashid(part, txn, cursor, &local, startlen, hashlen, hash);
    if (rc) return QNST_FAIL(mgr->env, rc);
    *handle = with_partition(local, p);
    return 0;
}

int qnst_blobsism_next_hashid(qnst_blobsism *mgr, int32_t p, DBC *cursor, uint64_t *handle,
                              uint32_t *hashlen, void *hash) {
    *handle = 0;
    ROUTE_INDEX(mgr, p, part);
    uint64_t local = 0;
    const int rc = qnst_blob_next_hashid(part, cursor, &local, hashlen, hash);
    if (rc) return QNST_FAIL(mgr->env, rc);
    *handle = with_partition(local, p);
    return 0;
}

int qnst_blobsism_done(qnst_blobsism *mgr, int32_t p, DBC *cursor) {
    // The cursor is ended whatever partition is named, so that a bad number leaks nothing.
    qnst_blob_done(nullptr, cursor);
    ROUTE_INDEX(mgr, p, part);
    (void)part;
    return 0;
}
