// Finding, reading and recording blocks, and counting their references up and down.
#include "qnst_csis.h"
#include "qnst_sis.h"
#include "qnst_sis.hpp"

QNST_SOURCE("qnst/blksis/qnst_sis");

using qnst::sis::HandleKey;
using qnst::sis::Location;

namespace {

using ull = unsigned long long;

// Holds and releases pass through symbolic links; a link never leads to another link in a sound
// table, so a longer chain means damage, and it must not recurse without end.
int too_many_links(DB_ENV *env, const char *op, uint64_t handle) {
    QNST_MSG(env, "%s: too many symbolic links at handle 0x%llx", op, static_cast<ull>(handle));
    return EINVAL;
}

// The link step of a hold or a release (`op` names it in the log: "sis_hold", "sis_rele"):
// whether `handle` is a symbolic link, and to which block. Returns 0 with `*target` set for a link;
// QNST_NOT_SYMLINK for a real block; DB_NOTFOUND, logged as a message, when the block has no
// location record (the hold or release then ends with success); or the failing code, logged.
int follow_link(qnst_sis *part, DB_TXN *txn, const char *op, uint64_t handle, uint64_t *target) {
    const int rc = qnst_sis_symlookup(part, txn, handle, target);
    if (rc == DB_NOTFOUND) {
        QNST_MSG(part->env,
                 "%s failed in qnst_sis_symlookup: Failed to locate id_df entry for handle 0x%llx",
                 op, static_cast<ull>(handle));
        return rc;
    }
    if (rc != 0 && rc != QNST_NOT_SYMLINK) return QNST_FAIL(part->env, rc);
    return rc;
}

int hold_at(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t *count, uint32_t fsck,
            int depth);
int rele_at(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t *count, int depth);

int hold_at(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t *count, uint32_t fsck,
            int depth) {
    DB_ENV *env = part->env;
    if (depth > QNST_SIS_MAX_LINK_HOPS) return too_many_links(env, "qnst_sis_hold", handle);
    DB *db = fsck ? part->fsckrefdb : part->refdb;
    if (!db) return QNST_FAIL(env, EINVAL);

    uint32_t word = 0;
    uint32_t counted = 0;
    int rc = qnst::sis::get_word(db, txn, handle, DB_RMW, &word);
    if (rc) {
        QNST_FAIL(env, rc);
        if (rc != DB_NOTFOUND || fsck) return rc;
        rc = qnst_sis_relefixup(part, txn, handle, count, &word);
        if (rc == DB_NOTFOUND) {
            QNST_MSG(env,
                     "sis_hold failed in qnst_sis_relefixup: Failed to locate id_df for 0x%llx",
                     static_cast<ull>(handle));
            return 0;
        }
        if (rc) return QNST_FAIL(env, rc);
    } else {
        counted = word & QNST_SIS_REF_STAMPED;
        *count = qnst_sis_ref_update(&word, +1);
        rc = qnst::sis::put_word(db, txn, handle, word, 0);
        if (rc) return QNST_FAIL(env, rc);
    }

    uint64_t target = 0;
    rc = follow_link(part, txn, "sis_hold", handle, &target);
    if (rc == DB_NOTFOUND) return 0;
    if (rc != 0 && rc != QNST_NOT_SYMLINK) return rc;
    const bool link = rc == 0;
    if (link) {
        uint32_t scratch = 0;
        rc = hold_at(part, txn, target, &scratch, fsck, depth + 1);
        if (rc) return QNST_FAIL(env, rc);
    }
    // The histogram describes the live reference table of real blocks only: a link's target has
    // counted the hold already, and a check-mode hold changes nothing live.
    if (link || fsck) return 0;
    rc = qnst_csis_holdhist(part, txn, static_cast<int32_t>(*count), counted);
    return QNST_FAIL(env, rc);
}

int rele_at(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t *count, int depth) {
    DB_ENV *env = part->env;
    if (depth > QNST_SIS_MAX_LINK_HOPS) return too_many_links(env, "qnst_sis_rele", handle);

    uint32_t word = 0;
    uint32_t counted = 0;
    int rc = qnst::sis::get_word(part->refdb, txn, handle, DB_RMW, &word);
    if (rc) {
        QNST_FAIL(env, rc);
        if (rc != DB_NOTFOUND) return rc;
        rc = qnst_sis_relefixup(part, txn, handle, count, &word);
        if (rc == DB_NOTFOUND) {
            QNST_MSG(env,
                     "sis_rele failed in qnst_sis_relefixup: Failed to locate id_df entry for "
                     "handle 0x%llx",
                     static_cast<ull>(handle));
            return 0;
        }
        if (rc) return QNST_FAIL(env, rc);
    } else {
        counted = word & QNST_SIS_REF_STAMPED;
        *count = qnst_sis_ref_count(word);
        if (*count < 1) {
            QNST_MSG(env, "qnst_sis_rele: Invalid ref count for handle 0x%llx",
                     static_cast<ull>(handle));
            return 0;
        }
        *count = qnst_sis_ref_update(&word, -1);
        rc = qnst::sis::put_word(part->refdb, txn, handle, word, 0);
        if (rc) return QNST_FAIL(env, rc);
    }

    uint64_t target = 0;
    rc = follow_link(part, txn, "sis_rele", handle, &target);
    if (rc == DB_NOTFOUND) return 0;
    if (rc != 0 && rc != QNST_NOT_SYMLINK) return rc;
    if (rc == 0) {
        uint32_t scratch = 0;
        rc = rele_at(part, txn, target, &scratch, depth + 1);
        return QNST_FAIL(env, rc);
    }
    rc = qnst_csis_relehist(part, txn, static_cast<int32_t>(*count), counted);
    return QNST_FAIL(env, rc);
}

}  // namespace

int qnst_sis_write_iddf(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t dfid, uint32_t dfver,
                        uint64_t offset, uint32_t length, const void *hash, uint32_t hashlen,
                        uint32_t flags) {
    if (hashlen > QNST_SIS_MAX_HASH || (hashlen != 0 && hash == nullptr))
        return QNST_FAIL(part->env, EINVAL);
    uint8_t rec[QNST_SIS_LOC_SIZE];
    qnst::store_le32(rec, dfid);
    qnst::store_le32(rec + 4, dfver);
    qnst::store_le64(rec + 8, offset);
    qnst::store_le32(rec + 16, length);
    qnst::store_le32(rec + 20, hashlen);
    if (hashlen) std::memcpy(rec + QNST_SIS_LOC_HEADER, hash, hashlen);
    HandleKey key(handle);
    DBT k = key.dbt();
    DBT d = qnst::user_dbt(rec, QNST_SIS_LOC_HEADER + hashlen);
    const int rc = part->dfdb->put(part->dfdb, txn, &k, &d, flags);
    return QNST_FAIL(part->env, rc);
}

int qnst_sis_lookup(qnst_sis *part, DB_TXN *txn, const void *hash, uint32_t hashlen,
                    uint64_t *handle) {
    if (hashlen > QNST_SIS_MAX_HASH) return QNST_FAIL(part->env, EINVAL);
    uint8_t buf[8];
    DBT k = qnst::user_dbt(const_cast<void *>(hash), hashlen);
    DBT d = qnst::user_dbt(buf, 0, sizeof buf);
    const int rc = qnst::sized(part->hashdb->get(part->hashdb, txn, &k, &d, DB_RMW), d, sizeof buf);
    if (rc == DB_NOTFOUND) {
        *handle = 0;
        return 0;
    }
    if (rc) return QNST_FAIL(part->env, rc);
    *handle = qnst::load_le64(buf);
    return 0;
}

int qnst_sis_read1(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t *dfid, uint32_t *dfver,
                   uint64_t *offset, uint32_t *length, uint32_t *hashlen, void *hash) {
    Location loc;
    const int rc = qnst::sis::get_location(part, txn, handle, DB_RMW, &loc);
    if (rc) return rc;
    loc.deliver(dfid, dfver, offset, length, hashlen, hash);
    return 0;
}

int qnst_sis_read(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t *dfid, uint32_t *dfver,
                  uint64_t *offset, uint32_t *length, uint32_t *hashlen, void *hash,
                  uint32_t *followed) {
    *followed = 0;
    uint64_t at = handle;
    for (int hops = 0;; ++hops) {
        const int rc = qnst_sis_read1(part, txn, at, dfid, dfver, offset, length, hashlen, hash);
        if (rc) return rc;
        if (*dfid != QNST_SIS_SYMLINK_DFID) return 0;
        if (hops == QNST_SIS_MAX_LINK_HOPS)
            return too_many_links(part->env, "qnst_sis_read", handle);
        at = *offset;
        *followed = 1;
    }
}

int qnst_sis_store(qnst_sis *part, DB_TXN *txn, const void *hash, uint32_t hashlen, uint32_t dfid,
                   uint32_t dfver, uint64_t offset, uint32_t length, uint64_t handle) {
    DB_ENV *env = part->env;
    // A hash that does not fit the readers' location buffer would make the block unreadable:
    // refuse it before anything is written.
    if (hashlen > QNST_SIS_MAX_HASH) return QNST_FAIL(env, EINVAL);
    int rc = qnst_sis_write_iddf(part, txn, handle, dfid, dfver, offset, length, hash, hashlen,
                                 DB_NOOVERWRITE);
    if (rc) return QNST_FAIL(env, rc);
    uint32_t word = 1;
    qnst_sis_ref_update(&word, 0);
    rc = qnst::sis::put_word(part->refdb, txn, handle, word, DB_NOOVERWRITE);
    if (rc) return QNST_FAIL(env, rc);
    rc = qnst_csis_holdhist(part, txn, 1, 0);
    return QNST_FAIL(env, rc);
}

int qnst_sis_hold(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t *count, uint32_t fsck) {
    return hold_at(part, txn, handle, count, fsck, 0);
}

int qnst_sis_rele(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t *count) {
    return rele_at(part, txn, handle, count, 0);
}

int qnst_sis_symlookup(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint64_t *target) {
    Location loc;
    const int rc = qnst::sis::get_location(part, txn, handle, DB_RMW, &loc);
    if (rc) return QNST_FAIL(part->env, rc);
    if (!loc.is_link()) {
        *target = 0;
        return QNST_NOT_SYMLINK;
    }
    *target = loc.offset;
    return 0;
}

int qnst_sis_relefixup(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t *count,
                       uint32_t *word) {
    DB_ENV *env = part->env;
    Location loc;
    int rc = qnst::sis::get_location(part, txn, handle, DB_RMW, &loc);
    if (rc) return QNST_FAIL(env, rc);
    // References were lost: make the block permanent rather than risk freeing data in use.
    *word = QNST_SIS_REF_MAX;
    *count = qnst_sis_ref_update(word, 0);
    rc = qnst::sis::put_word(part->refdb, txn, handle, *word, DB_NOOVERWRITE);
    if (rc == 0) {
        QNST_MSG(env, "qnst_sis_relefixup: Fixed idref for handle 0x%llx",
                 static_cast<ull>(handle));
        return 0;
    }
    QNST_FAIL(env, rc);
    return rc == DB_KEYEXIST ? 0 : rc;
}
