// The block store manager's calls on one partition named by the caller: walks, the check queue,
// queue flushes, compaction and the cache refresh. The server drives these partition by
// partition.
#include "qnst_blksism.h"

#include "qnst_blksism.hpp"
#include "qnst_internal.hpp"

QNST_SOURCE("qnst/blksis/qnst_blksism");

using qnst::blksis::bump;
using qnst::blksis::by_index;
using qnst::blksis::env_of;
using qnst::blksis::with_partition;

namespace {

// The partition `storeid`, or EINVAL (logged) when the store has none of that index.
int route(qnst_blksism *mgr, int32_t storeid, qnst_sis **part) {
    const int rc = by_index(mgr, storeid, part);
    return rc ? QNST_FAIL(env_of(mgr), rc) : 0;
}

// One step of a walk on partition `storeid`: `step(part, &local)` reads the next record and
// leaves its partition-local handle in `local`, which starts as `start` (where a first step
// begins). The handle goes back to the caller with the partition's index.
template <typename Step>
int walk_step(qnst_blksism *mgr, int32_t storeid, uint64_t start, uint64_t *handle, Step step) {
    qnst_sis *part = nullptr;
    int rc = route(mgr, storeid, &part);
    if (rc) return rc;
    uint64_t local = start;
    rc = step(part, &local);
    if (rc) return QNST_FAIL(mgr->env, rc);
    *handle = with_partition(local, storeid);
    return 0;
}

}  // namespace

int qnst_sism_walk_idref(qnst_blksism *mgr, int32_t storeid, DB_TXN *txn, uint32_t fsck,
                         uint32_t plist, DBC **cursor, uint64_t *handle, uint32_t *word,
                         uint32_t *count) {
    const uint64_t start = *handle & QNST_BLKSISM_LOCAL_MASK;
    return walk_step(mgr, storeid, start, handle, [&](qnst_sis *part, uint64_t *local) {
        return qnst_sis_walk_idref(part, txn, fsck, plist, cursor, local, word, count);
    });
}

int qnst_sism_next_idref(qnst_blksism *mgr, int32_t storeid, DBC *cursor, uint64_t *handle,
                         uint32_t *word, uint32_t *count) {
    return walk_step(mgr, storeid, 0, handle, [&](qnst_sis *part, uint64_t *local) {
        return qnst_sis_next_idref(part, cursor, local, word, count);
    });
}

int qnst_sism_walk_iddf(qnst_blksism *mgr, int32_t storeid, DB_TXN *txn, DBC **cursor,
                        uint64_t *handle, uint32_t *dfid, uint32_t *dfver, uint64_t *offset,
                        uint32_t *length, uint32_t *hashlen, void *hash) {
    const uint64_t start = *handle & QNST_BLKSISM_LOCAL_MASK;
    return walk_step(mgr, storeid, start, handle, [&](qnst_sis *part, uint64_t *local) {
        return qnst_sis_walk_iddf(part, txn, cursor, local, dfid, dfver, offset, length, hashlen,
                                  hash);
    });
}

int qnst_sism_next_iddf(qnst_blksism *mgr, int32_t storeid, DBC *cursor, uint64_t *handle,
                        uint32_t *dfid, uint32_t *dfver, uint64_t *offset, uint32_t *length,
                        uint32_t *hashlen, void *hash) {
    return walk_step(mgr, storeid, 0, handle, [&](qnst_sis *part, uint64_t *local) {
        return qnst_sis_next_iddf(part, cursor, local, dfid, dfver, offset, length, hashlen,
                                  hash);
    });
}

int qnst_sism_walk_hashid(qnst_blksism *mgr, int32_t storeid, DB_TXN *txn, DBC **cursor,
                          uint64_t *handle, uint32_t startlen, uint32_t *hashlen, void *hash) {
    return walk_step(mgr, storeid, 0, handle, [&](qnst_sis *part, uint64_t *local) {
        return qnst_sis_walk_hashid(part, txn, cursor, local, startlen, hashlen, hash);
    });
}

int qnst_sism_next_hashid(qnst_blksism *mgr, int32_t storeid, DBC *cursor, uint64_t *handle,
                          uint32_t *hashlen, void *hash) {
    return walk_step(mgr, storeid, 0, handle, [&](qnst_sis *part, uint64_t *local) {
        return qnst_sis_next_hashid(part, cursor, local, hashlen, hash);
    });
}

int qnst_sism_done(qnst_blksism *mgr, int32_t storeid, DBC *cursor) {
    qnst_sis *part = nullptr;
    const int rc = route(mgr, storeid, &part);
    if (rc) return rc;
    return qnst_sis_done(part, cursor);
}

int qnst_sism_fsckq_get(qnst_blksism *mgr, int32_t storeid, DB_TXN *txn, uint64_t *handle,
                        uint64_t *fset) {
    *handle = 0;
    qnst_sis *part = nullptr;
    const int rc = route(mgr, storeid, &part);
    if (rc) return rc;
    return QNST_FAIL(mgr->env, qnst_sis_fsckq_get(part, txn, handle, fset));
}

int qnst_sism_stqflush(qnst_blksism *mgr, DB_TXN *txn, int32_t storeid, uint32_t *tail) {
    qnst_sis *part = nullptr;
    const int rc = route(mgr, storeid, &part);
    if (rc) return rc;
    return qnst_csis_flushSTQ(part, txn, tail);
}

int qnst_sism_hdqflush(qnst_blksism *mgr, DB_TXN *txn, int32_t storeid, uint32_t *tail,
                       uint32_t compactor) {
    qnst_sis *part = nullptr;
    const int rc = route(mgr, storeid, &part);
    if (rc) return rc;
    return qnst_csis_flushHDQ(part, txn, tail, compactor);
}

int qnst_sism_compact_init(qnst_blksism *mgr, int32_t storeid) {
    qnst_sis *part = nullptr;
    int rc = route(mgr, storeid, &part);
    if (rc) return rc;
    rc = qnst_sis_compact_init(part, static_cast<uint32_t>(storeid));
    // From now on the cache table takes no new entries: the pass is taking unreferenced blocks'
    // hashes out of it.
    if (rc == 0) qnst::blksis::store(part->compacting, 1u);
    return rc;
}

int qnst_sism_compact_padd(qnst_blksism *mgr, DB_TXN *txn, int32_t storeid, uint64_t handle,
                           uint32_t ref) {
    qnst_sis *part = nullptr;
    int rc = route(mgr, storeid, &part);
    if (rc) return rc;
    rc = qnst_sis_compact_padd(part, txn, handle & QNST_BLKSISM_LOCAL_MASK, ref);
    if (rc == 0) bump(part->added);
    return rc;
}

int qnst_sism_compact_ppurge(qnst_blksism *mgr, DB_TXN *txn, int32_t storeid, uint64_t handle,
                             uint32_t ref) {
    qnst_sis *part = nullptr;
    int rc = route(mgr, storeid, &part);
    if (rc) return rc;
    rc = qnst_sis_compact_ppurge(part, txn, handle & QNST_BLKSISM_LOCAL_MASK, ref);
    if (rc == 0) bump(part->purged);
    return rc;
}

int qnst_sism_compact_cleanup(qnst_blksism *mgr, int32_t storeid) {
    qnst_sis *part = nullptr;
    int rc = route(mgr, storeid, &part);
    if (rc) return rc;
    rc = qnst_sis_compact_cleanup(part, static_cast<uint32_t>(storeid));
    qnst::blksis::store(part->compacting, 0u);
    return rc;
}

int qnst_sism_cache_refresh(qnst_blksism *mgr, DB_TXN *txn, int32_t storeid, uint64_t handle,
                            uint32_t ref, int32_t wmark) {
    qnst_sis *part = nullptr;
    const int rc = route(mgr, storeid, &part);
    if (rc) return rc;
    qnst::blksis::store(part->wmark, wmark);
    if (mgr->csize == 0) return 0;
    return qnst_csis_refresh(part, txn, handle & QNST_BLKSISM_LOCAL_MASK, ref);
}
