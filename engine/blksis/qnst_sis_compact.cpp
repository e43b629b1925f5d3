// Compaction: freeing blocks whose reference count reached 0, through the purge list, and
// compacting the partition's tables.
#include <cstdio>

#include "qnst_csis.h"
#include "qnst_dfile_usage.hpp"
#include "qnst_sis.h"
#include "qnst_sis.hpp"

QNST_SOURCE("qnst/blksis/qnst_sis");

namespace {

// "plist_<partition>.db", or null when out of memory.
char *plist_name(uint32_t p) { return qnst::make_name("plist_%x.db", p); }

// Removes the purge-list file with a handle of its own; a missing file is no error.
int remove_plist(DB_ENV *env, const char *file) {
    DB *db = nullptr;
    int rc = db_create(&db, env, 0);
    if (rc) return rc;
    rc = db->remove(db, file, nullptr, 0);  // destroys the handle whatever the result
    return rc == ENOENT ? 0 : rc;
}

}  // namespace

int qnst_sis_compact_init(qnst_sis *part, uint32_t p) {
    DB_ENV *env = part->env;
    if (part->plistdb) return QNST_FAIL(env, EBUSY);
    const qnst::Name name(plist_name(p));
    if (!name) return QNST_FAIL(env, ENOMEM);
    int rc = remove_plist(env, name.p);
    if (rc) return QNST_FAIL(env, rc);
    DB *db = nullptr;
    if ((rc = db_create(&db, env, 0)) != 0) return QNST_FAIL(env, rc);
    rc = qnst::open_table(db, name.p, nullptr, DB_BTREE);
    if (rc) {
        (void)db->close(db, 0);  // discarding a handle whose open failed
        return QNST_FAIL(env, rc);
    }
    part->plistdb = db;
    return 0;
}

int qnst_sis_compact_padd(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t word) {
    DB_ENV *env = part->env;
    if (qnst_sis_ref_count(word) != 0) return 0;
    if (!part->plistdb) return QNST_FAIL(env, EINVAL);
    qnst::sis::bump(part->examined);
    qnst::sis::Location loc;
    int rc = qnst::sis::get_location(part, txn, handle, DB_RMW, &loc);
    if (rc) return QNST_FAIL(env, rc);

    if (loc.hashlen != 0) {
        // The hash may name another, live block (a duplicate stored while this one waited in
        // the store queue): that block keeps its index entry. The cache entry goes either way,
        // since it may name this block; a live block only loses a cache hit.
        uint64_t owner = 0;
        rc = qnst_sis_lookup(part, txn, loc.hash, loc.hashlen, &owner);
        if (rc) return QNST_FAIL(env, rc);
        if (owner == handle) {
            DBT k = qnst::user_dbt(loc.hash, loc.hashlen);
            rc = part->hashdb->del(part->hashdb, txn, &k, 0);
            if (rc != 0 && rc != DB_NOTFOUND) return QNST_FAIL(env, rc);
        }
        rc = qnst_csis_uncache(part, txn, loc.hash, loc.hashlen);
        if (rc) return QNST_FAIL(env, rc);
    }
    return qnst::sis::put_word(part->plistdb, txn, handle, word, DB_NOOVERWRITE);
}

int qnst_sis_compact_ppurge(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t word) {
    DB_ENV *env = part->env;
    if (qnst_sis_ref_count(word) != 0) return 0;
    // A block referenced again since it was listed (by a hold that did not pass through the
    // compacting queue flush) must not be freed.
    uint32_t live = 0;
    int rc = qnst::sis::get_word(part->refdb, txn, handle, DB_RMW, &live);
    if (rc != 0 && rc != DB_NOTFOUND) return QNST_FAIL(env, rc);
    if (rc == 0 && qnst_sis_ref_count(live) != 0) return 0;

    qnst::sis::Location loc;
    rc = qnst::sis::get_location(part, txn, handle, DB_RMW, &loc);
    if (rc == DB_NOTFOUND) return 0;
    if (rc) return QNST_FAIL(env, rc);
    if (!loc.is_link()) {
        uint64_t unused = 0;
        const int64_t length = static_cast<int32_t>(loc.length);
        rc = qnst_dfile_usage(part->dfile, txn, loc.dfid, 0, -length, &unused);
        if (rc) return QNST_FAIL(env, rc);
    }
    if ((rc = qnst_sis_purge_idref(part, txn, handle, QNST_SIS_REFTAB_LIVE)) != 0)
        return QNST_FAIL(env, rc);
    rc = qnst_sis_purge_iddf(part, txn, handle);
    return QNST_FAIL(env, rc);
}

int qnst_sis_compact_cleanup(qnst_sis *part, uint32_t p) {
    DB_ENV *env = part->env;
    if (part->plistdb) {
        DB *db = part->plistdb;
        // A closed handle is gone whatever the close reports, so the field is cleared either way.
        part->plistdb = nullptr;
        const int rc = db->close(db, 0);
        if (rc) return QNST_FAIL(env, rc);
    }
    const qnst::Name name(plist_name(p));
    if (!name) return QNST_FAIL(env, ENOMEM);
    const int rc = remove_plist(env, name.p);
    return QNST_FAIL(env, rc);
}

int qnst_sis_plist_del(qnst_sis *part, DB_TXN *txn, uint64_t handle) {
    if (!part->plistdb) return EINVAL;
    qnst::sis::HandleKey key(handle);
    DBT k = key.dbt();
    const int rc = part->plistdb->del(part->plistdb, txn, &k, 0);
    return rc == DB_NOTFOUND ? 0 : QNST_FAIL(part->env, rc);
}

int qnst_sis_dbcompact(qnst_sis *part, uint32_t *freed, uint32_t *truncated) {
    for (DB *db : {part->refdb, part->hashdb, part->dfdb}) {
        DB_COMPACT stats;
        std::memset(&stats, 0, sizeof stats);
        const int rc = db->compact(db, nullptr, nullptr, nullptr, &stats, DB_FREE_SPACE, nullptr);
        if (rc) return QNST_FAIL(part->env, rc);
        *freed += stats.compact_pages_free;
        *truncated += stats.compact_pages_truncated;
    }
    return 0;
}
