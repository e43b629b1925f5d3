// Partition lifecycle, handle generation and the reference word.
#include "qnst_sis.h"

#include "qnst_clock.hpp"
#include "qnst_csis.h"
#include "qnst_sis.hpp"

QNST_SOURCE("qnst/blksis/qnst_sis");

namespace {

using qnst::close_db;
using qnst::open_table;

// Seconds since the epoch of 15 December 2010, 00:00:00 local time, daylight saving off.
int64_t compute_epoch() {
    std::tm tm{};
    tm.tm_year = 2010 - 1900;
    tm.tm_mon = 11;
    tm.tm_mday = 15;
    tm.tm_isdst = 0;
    return qnst::make_time(&tm);
}

// The process-wide epoch of the day stamp, computed once.
int64_t epoch() {
    static const int64_t value = compute_epoch();
    return value;
}

int open_sequence(qnst_sis *part) {
    return qnst::open_sequence(part->seqdb, &part->seq, QNST_SIS_SEQ_MAX, QNST_SIS_SEQ_INITIAL,
                               QNST_SIS_SEQ_CACHE);
}

}  // namespace

uint32_t qnst_sis_today(void) {
    const int64_t days = (qnst::time_now() - epoch()) / 86400;
    return static_cast<uint32_t>(days);
}

uint32_t qnst_sis_ref_count(uint32_t word) {
    return (word & QNST_SIS_REF_STAMPED) ? (word & QNST_SIS_REF_MAX) : word;
}

uint32_t qnst_sis_ref_age(uint32_t word) {
    const uint32_t stamp = (word >> QNST_SIS_REF_DAYSHIFT) & QNST_SIS_REF_DAYMASK;
    return (qnst_sis_today() - stamp) & QNST_SIS_REF_DAYMASK;
}

uint32_t qnst_sis_ref_update(uint32_t *word, int32_t delta) {
    const uint32_t count = qnst_sis_ref_count(*word);
    uint32_t next = QNST_SIS_REF_MAX;
    if (count < QNST_SIS_REF_MAX) {
        const int64_t moved = static_cast<int64_t>(count) + delta;
        next = moved >= QNST_SIS_REF_MAX ? QNST_SIS_REF_MAX : static_cast<uint32_t>(moved);
    }
    const uint32_t stamp = qnst_sis_today() & QNST_SIS_REF_DAYMASK;
    *word = QNST_SIS_REF_STAMPED | (stamp << QNST_SIS_REF_DAYSHIFT) | next;
    return next;
}

uint64_t qnst_sis_make_handle(uint64_t seqval) {
    uint8_t bytes[8];
    qnst::store_be(bytes, seqval, 6);
    bytes[6] = QNST_SIS_HANDLE_MARK;
    bytes[7] = 0;
    return qnst::load_le64(bytes);
}

int qnst_sis_create(qnst_sis *part, DB_ENV *env, qnst_dfile *dfile) {
    std::memset(part, 0, sizeof *part);
    part->env = env;
    part->dfile = dfile;
    int rc = 0;
    DB **before_cache[] = {&part->seqdb, &part->refdb, &part->hashdb, &part->dfdb};
    for (DB **db : before_cache) {
        if ((rc = db_create(db, env, 0)) != 0) {
            *db = nullptr;
            break;
        }
    }
    bool cache_created = false;
    if (rc == 0) {
        rc = qnst_csis_create(part, env, dfile);
        cache_created = rc == 0;
    }
    if (rc == 0 && (rc = db_create(&part->xlatdb, env, 0)) != 0) part->xlatdb = nullptr;
    if (rc) {
        // The partition's close leaves the cache store to its own close: without this, a failure
        // after the cache store's handles exist would leak them.
        if (cache_created) qnst_csis_close(part);
        qnst_sis_close(part);
        return QNST_FAIL(env, rc);
    }
    (void)epoch();
    return 0;
}

int qnst_sis_open(qnst_sis *part, const char *file) {
    int rc = open_table(part->seqdb, file, "seq", DB_BTREE);
    if (rc) return QNST_FAIL(part->env, rc);
    if ((rc = open_sequence(part)) != 0) return QNST_FAIL(part->env, rc);
    if ((rc = open_table(part->refdb, file, "id_ref", DB_BTREE)) != 0)
        return QNST_FAIL(part->env, rc);
    if ((rc = open_table(part->hashdb, file, "hash_id", DB_BTREE)) != 0)
        return QNST_FAIL(part->env, rc);
    if ((rc = open_table(part->dfdb, file, "id_df", DB_BTREE)) != 0)
        return QNST_FAIL(part->env, rc);
    if ((rc = open_table(part->xlatdb, file, "xlatdb", DB_HASH)) != 0)
        return QNST_FAIL(part->env, rc);
    return 0;
}

int qnst_sis_close(qnst_sis *part) {
    qnst_sis_close_fsck(part, nullptr, nullptr, 0);
    if (part->seq) (void)part->seq->close(part->seq, 0);  // nothing to do about a failed close
    part->seq = nullptr;
    close_db(&part->seqdb);
    close_db(&part->refdb);
    close_db(&part->hashdb);
    close_db(&part->dfdb);
    close_db(&part->xlatdb);
    return 0;
}

int qnst_sis_remove(DB_ENV *env, const char *file) {
    const int rc = env->dbremove(env, nullptr, file, nullptr, DB_AUTO_COMMIT);
    return QNST_FAIL(env, rc);
}

int qnst_sis_gen_handle(qnst_sis *part, uint64_t *handle) {
    if (!part->seq) return QNST_FAIL(part->env, EINVAL);
    db_seq_t value = 0;
    const int rc = part->seq->get(part->seq, nullptr, 1, &value, DB_TXN_NOSYNC);
    if (rc) return QNST_FAIL(part->env, rc);
    *handle = qnst_sis_make_handle(static_cast<uint64_t>(value));
    return 0;
}

int qnst_sis_seq_extend(qnst_sis *part) {
    if (!part->seq) return QNST_FAIL(part->env, EINVAL);
    db_seq_t value = 0;
    const int rc = part->seq->get(part->seq, nullptr, QNST_SIS_SEQ_EXTEND, &value, DB_TXN_NOSYNC);
    return QNST_FAIL(part->env, rc);
}
