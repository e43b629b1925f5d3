// The consistency-check tables and the check queue.
#include "qnst_sis.h"
#include "qnst_sis.hpp"

QNST_SOURCE("qnst/blksis/qnst_sis");

namespace {

constexpr uint32_t kQueueRecord = 16;  // handle u64, fset u64
constexpr uint32_t kQueueExtent = 64;  // pages per queue extent file
constexpr const char *kCheckRef = "id_ref_fsck";
constexpr const char *kDangling = "id_dangling";

// Removes a database (or a whole file when `name` is null); a missing one is no error.
int remove_if_present(DB_ENV *env, const char *file, const char *name) {
    const int rc = env->dbremove(env, nullptr, file, name, DB_AUTO_COMMIT);
    return rc == ENOENT ? 0 : rc;
}

int create_and_open(qnst_sis *part, DB **db, const char *file, const char *name, DBTYPE type) {
    int rc = db_create(db, part->env, 0);
    if (rc) {
        *db = nullptr;
        return rc;
    }
    if (type == DB_QUEUE) {
        if ((rc = (*db)->set_q_extentsize(*db, kQueueExtent)) != 0) return rc;
        if ((rc = (*db)->set_re_len(*db, kQueueRecord)) != 0) return rc;
    }
    return qnst::open_table(*db, file, name, type);
}

}  // namespace

int qnst_sis_open_fsck(qnst_sis *part, const char *checkfile, const char *queuefile,
                       uint32_t remove) {
    DB_ENV *env = part->env;
    if (part->fsckrefdb) return EINVAL;
    if (remove) {
        int rc = remove_if_present(env, checkfile, kCheckRef);
        if (rc == 0) rc = remove_if_present(env, checkfile, kDangling);
        if (rc == 0) rc = remove_if_present(env, queuefile, nullptr);
        if (rc) return QNST_FAIL(env, rc);
    }
    int rc = create_and_open(part, &part->fsckrefdb, checkfile, kCheckRef, DB_BTREE);
    if (rc == 0) rc = create_and_open(part, &part->danglingdb, checkfile, kDangling, DB_BTREE);
    if (rc == 0) rc = create_and_open(part, &part->fsckqdb, queuefile, nullptr, DB_QUEUE);
    if (rc) {
        qnst_sis_close_fsck(part, checkfile, queuefile, remove);
        return QNST_FAIL(env, rc);
    }
    return 0;
}

int qnst_sis_close_fsck(qnst_sis *part, const char *checkfile, const char *queuefile,
                        uint32_t remove) {
    for (DB **db : {&part->fsckrefdb, &part->danglingdb, &part->fsckqdb}) {
        qnst::close_db(db);
    }
    if (!remove) return 0;
    DB_ENV *env = part->env;
    // The check tables are scratch data of one check: what cannot be removed now is removed
    // by the next open with `remove`.
    if (checkfile) {
        (void)env->dbremove(env, nullptr, checkfile, kCheckRef, DB_AUTO_COMMIT);
        (void)env->dbremove(env, nullptr, checkfile, kDangling, DB_AUTO_COMMIT);
    }
    if (queuefile) (void)env->dbremove(env, nullptr, queuefile, nullptr, DB_AUTO_COMMIT);
    return 0;
}

int qnst_sis_fsckq_put(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint64_t fset) {
    if (!part->fsckqdb) return QNST_FAIL(part->env, EINVAL);
    uint8_t rec[kQueueRecord];
    qnst::store_le64(rec, handle);
    qnst::store_le64(rec + 8, fset);
    db_recno_t recno = 0;
    DBT k = qnst::user_dbt(&recno, 0, sizeof recno);
    DBT d = qnst::user_dbt(rec, sizeof rec);
    return QNST_FAIL(part->env, part->fsckqdb->put(part->fsckqdb, txn, &k, &d, DB_APPEND));
}

int qnst_sis_fsckq_get(qnst_sis *part, DB_TXN *txn, uint64_t *handle, uint64_t *fset) {
    DB_ENV *env = part->env;
    DB *db = part->fsckqdb;
    if (!db) return QNST_FAIL(env, EINVAL);
    qnst::Cursor c;
    int rc = c.open(db, txn, DB_READ_COMMITTED);
    if (rc) return QNST_FAIL(env, rc);
    db_recno_t recno = 0;
    uint8_t rec[kQueueRecord];
    DBT k = qnst::user_dbt(&recno, 0, sizeof recno);
    DBT d = qnst::user_dbt(rec, 0, sizeof rec);
    rc = qnst::sized(c->get(c.get(), &k, &d, DB_FIRST), d, sizeof rec);
    if (rc == DB_NOTFOUND) {
        *handle = 0;
        *fset = 0;
        return QNST_FAIL(env, c.close());
    }
    if (rc) return QNST_FAIL(env, rc);
    *handle = qnst::load_le64(rec);
    *fset = qnst::load_le64(rec + 8);
    DBT del = qnst::user_dbt(&recno, sizeof recno);
    rc = db->del(db, txn, &del, DB_CONSUME);
    if (rc) return QNST_FAIL(env, rc);
    return QNST_FAIL(env, c.close());
}
