// Block moves between data-file versions and handle translation.
#include "qnst_dfile_usage.hpp"
#include "qnst_sis.h"
#include "qnst_sis.hpp"

QNST_SOURCE("qnst/blksis/qnst_sis");

int qnst_sis_move(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t dfid, uint32_t dfver,
                  uint64_t offset, uint64_t *growth) {
    DB_ENV *env = part->env;
    qnst::sis::Location loc;
    int rc = qnst::sis::get_location(part, txn, handle, DB_RMW, &loc);
    if (rc) return QNST_FAIL(env, rc);

    if (loc.dfid == dfid && dfver == loc.dfver + 1 && loc.hashlen != 0) {
        rc = qnst_sis_write_iddf(part, txn, handle, dfid, dfver, offset, loc.length, loc.hash,
                                 loc.hashlen, 0);
        if (rc) return QNST_FAIL(env, rc);
        const int64_t length = static_cast<int32_t>(loc.length);
        rc = qnst_dfile_usage(part->dfile, txn, dfid, offset + static_cast<uint64_t>(length),
                              length, growth);
        return QNST_FAIL(env, rc);
    }
    // A link's data lives in its target, which is moved on its own.
    if (loc.is_link() && loc.dfid != dfid && loc.hashlen == 0) {
        *growth = 0;
        QNST_MSG(env, "Found symbolic link, hence ignoring block move %d", static_cast<int>(dfid));
        return 0;
    }
    QNST_MSG(env, "Found mismatch in block to be moved: %d %d %d %d %d", static_cast<int>(dfid),
             static_cast<int>(loc.dfid), static_cast<int>(dfver), static_cast<int>(loc.dfver),
             static_cast<int>(loc.hashlen));
    return EINVAL;
}

int qnst_sis_xlat(qnst_sis *part, DB_TXN *txn, uint64_t key, uint64_t *handle) {
    qnst::sis::HandleKey k(key);
    uint8_t buf[8];
    DBT kd = k.dbt();
    DBT d = qnst::user_dbt(buf, 0, sizeof buf);
    const int rc = qnst::sized(part->xlatdb->get(part->xlatdb, txn, &kd, &d, 0), d, sizeof buf);
    if (rc) return QNST_FAIL(part->env, rc);
    *handle = qnst::load_le64(buf);
    return 0;
}
