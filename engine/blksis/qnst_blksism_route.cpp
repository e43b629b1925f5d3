// The block store manager's calls on blocks: routed to a partition by the block's hash or by the
// partition byte of its handle.
#include "qnst_blksism.h"

#include "qnst_blksism.hpp"
#include "qnst_internal.hpp"

QNST_SOURCE("qnst/blksis/qnst_blksism");

using qnst::blksis::bump;
using qnst::blksis::by_handle;
using qnst::blksis::by_hash;
using qnst::blksis::by_index;
using qnst::blksis::env_of;
using qnst::blksis::load;
using qnst::blksis::with_partition;

namespace {

// Watermark 2 and above: new blocks are deduplicated against the cache table only.
bool caching(const qnst_blksism *mgr, qnst_sis *part) {
    return mgr->csize != 0 && load(part->wmark) >= 2;
}

// Watermark 1: the hash index's hits and misses are counted, the cache table is not used.
bool counting(const qnst_blksism *mgr, qnst_sis *part) {
    return mgr->csize != 0 && load(part->wmark) == 1;
}

// Routes a handle after resolving a translated one.
int route_translated(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, qnst_sis **part,
                     uint64_t *local) {
    uint64_t real = 0;
    int rc = qnst_xlat_handle(mgr, txn, handle, &real);
    if (rc) return rc;
    return by_handle(mgr, real, part, local);
}

enum class Handle { kAsGiven, kTranslated };

// A call on one block: finds the partition and local handle of `handle` (resolving a translated
// handle first when asked), then runs `call(part, local)`. A failure of either step is logged
// once; the result is the failing step's code, or the call's.
template <typename Call>
int on_handle(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, Handle kind, Call call) {
    qnst_sis *part = nullptr;
    uint64_t local = 0;
    const int rc = kind == Handle::kTranslated ? route_translated(mgr, txn, handle, &part, &local)
                                               : by_handle(mgr, handle, &part, &local);
    if (rc) return QNST_FAIL(env_of(mgr), rc);
    return QNST_FAIL(mgr->env, call(part, local));
}

// A call by hash: finds the partition the hash belongs to, then runs `call(part, p)` with the
// partition's index. A failure of either step is logged once.
template <typename Call>
int on_hash(qnst_blksism *mgr, const void *hash, uint32_t hashlen, Call call) {
    int32_t p = 0;
    qnst_sis *part = nullptr;
    const int rc = by_hash(mgr, hash, hashlen, &p, &part);
    if (rc) return QNST_FAIL(env_of(mgr), rc);
    return QNST_FAIL(mgr->env, call(part, p));
}

// The partition of a call that files block `handle` under `hash`: the hash's partition, which
// must be the handle's own. A pair from two partitions is the caller's mistake: EINVAL, unlogged.
int route_pair(qnst_blksism *mgr, const void *hash, uint32_t hashlen, uint64_t handle,
               qnst_sis **part) {
    int32_t p = 0;
    const int rc = by_hash(mgr, hash, hashlen, &p, part);
    if (rc) return QNST_FAIL(env_of(mgr), rc);
    return static_cast<uint64_t>(p) == handle >> QNST_BLKSISM_PART_SHIFT ? 0 : EINVAL;
}

}  // namespace

int qnst_sism_lookup(qnst_blksism *mgr, DB_TXN *txn, const void *hash, uint32_t hashlen,
                     uint32_t cacheonly, uint64_t *handle) {
    *handle = 0;
    return on_hash(mgr, hash, hashlen, [&](qnst_sis *part, int32_t p) {
        uint64_t local = 0;
        int rc = 0;
        if (caching(mgr, part)) {
            if ((rc = qnst_csis_lookup(part, txn, hash, hashlen, &local))) return rc;
            if (local) {
                *handle = with_partition(local, p);
                return 0;
            }
            // The caller stores the block as new; the store-queue flush settles a duplicate
            // later.
            if (cacheonly) return 0;
        }
        if ((rc = qnst_sis_lookup(part, txn, hash, hashlen, &local))) return rc;
        *handle = with_partition(local, p);
        if (counting(mgr, part)) bump(local ? part->hits : part->misses);
        return 0;
    });
}

int qnst_sism_gen_handle(qnst_blksism *mgr, const void *hash, uint32_t hashlen,
                         uint64_t *handle) {
    *handle = 0;
    return on_hash(mgr, hash, hashlen, [&](qnst_sis *part, int32_t p) {
        uint64_t local = 0;
        const int rc = qnst_sis_gen_handle(part, &local);
        if (rc == 0) *handle = with_partition(local, p);
        return rc;
    });
}

int qnst_sism_store(qnst_blksism *mgr, DB_TXN *txn, const void *hash, uint32_t hashlen,
                    uint32_t dfid, uint32_t dfver, uint64_t offset, uint32_t length,
                    uint64_t handle, uint64_t *growth) {
    qnst_sis *part = nullptr;
    int rc = route_pair(mgr, hash, hashlen, handle, &part);
    if (rc) return rc;
    const uint64_t local = handle & QNST_BLKSISM_LOCAL_MASK;

    if (caching(mgr, part)) {
        rc = qnst_csis_store(part, txn, hash, hashlen, dfid, dfver, offset, length, local,
                             growth);
        return QNST_FAIL(mgr->env, rc);
    }

    uint8_t data[8];
    qnst::store_le64(data, local);
    DBT k = qnst::user_dbt(const_cast<void *>(hash), hashlen);
    DBT d = qnst::user_dbt(data, sizeof data);
    rc = part->hashdb->put(part->hashdb, txn, &k, &d, DB_NOOVERWRITE);
    if (rc == DB_KEYEXIST) return QNST_HASH_EXISTS;  // stored first by another transaction
    if (rc) return QNST_FAIL(mgr->env, rc);
    rc = qnst::blksis::record_block(part, txn, hash, hashlen, dfid, dfver, offset, length, local,
                                    growth);
    return QNST_FAIL(mgr->env, rc);
}

int qnst_sism_store_hashid(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, const void *hash,
                           uint32_t hashlen) {
    qnst_sis *part = nullptr;
    const int rc = route_pair(mgr, hash, hashlen, handle, &part);
    if (rc) return rc;
    const uint64_t local = handle & QNST_BLKSISM_LOCAL_MASK;
    return QNST_FAIL(mgr->env, qnst_sis_store_hashid(part, txn, local, hash, hashlen));
}

int qnst_sism_purge_hashid(qnst_blksism *mgr, DB_TXN *txn, const void *hash, uint32_t hashlen) {
    return on_hash(mgr, hash, hashlen, [&](qnst_sis *part, int32_t) {
        return qnst_sis_purge_hashid(part, txn, hash, hashlen);
    });
}

int qnst_sism_hold(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint32_t fsck) {
    return on_handle(mgr, txn, handle, Handle::kAsGiven, [&](qnst_sis *part, uint64_t local) {
        uint32_t scratch = 0;
        return fsck ? qnst_sis_hold(part, txn, local, &scratch, fsck)
                    : qnst_csis_hold(part, txn, local);
    });
}

int qnst_sism_rele(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint32_t *count) {
    return on_handle(mgr, txn, handle, Handle::kTranslated, [&](qnst_sis *part, uint64_t local) {
        const int rc = qnst_csis_rele(part, txn, local);
        if (rc == 0) *count = 0;
        return rc;
    });
}

int qnst_sism_read(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint32_t *dfid,
                   uint32_t *dfver, uint64_t *offset, uint32_t *length, uint32_t *hashlen,
                   void *hash, uint32_t *followed) {
    return on_handle(mgr, txn, handle, Handle::kTranslated, [&](qnst_sis *part, uint64_t local) {
        return qnst_sis_read(part, txn, local, dfid, dfver, offset, length, hashlen, hash,
                             followed);
    });
}

int qnst_sism_move(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint32_t dfid,
                   uint32_t dfver, uint64_t offset, uint64_t *growth) {
    return on_handle(mgr, txn, handle, Handle::kAsGiven, [&](qnst_sis *part, uint64_t local) {
        return qnst_sis_move(part, txn, local, dfid, dfver, offset, growth);
    });
}

int qnst_blksism_getref(qnst_blksism *mgr, DB_TXN *txn, uint32_t fsck, uint64_t handle,
                        uint32_t *ref) {
    return on_handle(mgr, txn, handle, Handle::kAsGiven, [&](qnst_sis *part, uint64_t local) {
        return qnst_sis_getref(part, txn, fsck, local, ref);
    });
}

int qnst_blksism_setref(qnst_blksism *mgr, DB_TXN *txn, uint32_t fsck, uint64_t handle,
                        uint32_t ref) {
    return on_handle(mgr, txn, handle, Handle::kAsGiven, [&](qnst_sis *part, uint64_t local) {
        return qnst_sis_setref(part, txn, fsck, local, ref);
    });
}

int qnst_sism_store_idref(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint32_t fsck) {
    return on_handle(mgr, txn, handle, Handle::kAsGiven, [&](qnst_sis *part, uint64_t local) {
        return qnst_sis_store_idref(part, txn, local, fsck);
    });
}

int qnst_sism_purge_idref(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint32_t fsck) {
    return on_handle(mgr, txn, handle, Handle::kAsGiven, [&](qnst_sis *part, uint64_t local) {
        return qnst_sis_purge_idref(part, txn, local, fsck);
    });
}

int qnst_sism_purge_iddf(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle) {
    return on_handle(mgr, txn, handle, Handle::kAsGiven, [&](qnst_sis *part, uint64_t local) {
        return qnst_sis_purge_iddf(part, txn, local);
    });
}

int qnst_sism_fsckq_put(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint64_t fset) {
    // The check remembers the handle as the server knows it, translated or not.
    return on_handle(mgr, txn, handle, Handle::kTranslated, [&](qnst_sis *part, uint64_t) {
        return qnst_sis_fsckq_put(part, txn, handle, fset);
    });
}

int qnst_xlat_handle(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint64_t *out) {
    if (!(handle & QNST_BLKSISM_XLAT_BIT)) {
        *out = handle;
        return 0;
    }
    *out = 0;
    const uint64_t key = handle & ~QNST_BLKSISM_XLAT_BIT;
    if (!qnst::blksis::created(mgr)) return QNST_FAIL(env_of(mgr), EINVAL);
    // The key is read as a signed value: one with bit 63 set has no partition.
    const int64_t p = static_cast<int64_t>(key) % mgr->nparts;
    qnst_sis *part = nullptr;
    int rc = by_index(mgr, p, &part);
    if (rc) return QNST_FAIL(mgr->env, rc);
    return QNST_FAIL(mgr->env, qnst_sis_xlat(part, txn, key, out));
}
