// The block store manager's life cycle and the calls that run over every partition.
#include "qnst_blksism.h"

#include "qnst_blksism.hpp"
#include "qnst_internal.hpp"

QNST_SOURCE("qnst/blksis/qnst_blksism");

using qnst::blksis::created;
using qnst::blksis::load;
using qnst::make_name;
using qnst::Name;

namespace {

// Closes partitions [0, n) in reverse order: cache store and partition tables.
void close_parts(qnst_sis *parts, int32_t n) {
    for (int32_t p = n - 1; p >= 0; --p) {
        qnst_csis_close(&parts[p]);
        qnst_sis_close(&parts[p]);
    }
}

}  // namespace

int qnst_blksism_create(qnst_blksism *mgr, DB_ENV *env, qnst_dfile *dfile, int32_t nparts) {
    if (!mgr) return EINVAL;
    std::memset(mgr, 0, sizeof *mgr);
    // Every routed call divides by nparts, and a partition index must fit its byte.
    if (nparts < 1 || nparts > QNST_BLKSISM_MAX_PARTS) return QNST_FAIL(env, EINVAL);
    mgr->env = env;
    mgr->dfile = dfile;
    mgr->nparts = nparts;
    auto *parts = static_cast<qnst_sis *>(std::calloc(static_cast<size_t>(nparts), sizeof(qnst_sis)));
    if (!parts) return QNST_FAIL(env, ENOMEM);
    for (int32_t p = 0; p < nparts; ++p) {
        const int rc = qnst_sis_create(&parts[p], env, dfile);
        if (rc) {
            // A failed partition has closed itself; the cache store handles of the others are
            // closed with them, or they would stay open in the environment.
            close_parts(parts, p);
            std::free(parts);
            return QNST_FAIL(env, rc);
        }
    }
    mgr->parts = parts;
    return 0;
}

int qnst_blksism_open(qnst_blksism *mgr, const char *dbfolder, int32_t init, const char *cpath,
                      int64_t csize) {
    if (!created(mgr) || !dbfolder) return QNST_FAIL(qnst::blksis::env_of(mgr), EINVAL);
    mgr->csize = csize;
    const int64_t budget = csize / mgr->nparts;
    for (int32_t p = 0; p < mgr->nparts; ++p) {
        qnst_sis *part = &mgr->parts[p];
        Name file(make_name("%s_%x.db", dbfolder, static_cast<unsigned>(p)));
        Name base(make_name("blksis_%x", static_cast<unsigned>(p)));
        if (!file || !base) return QNST_FAIL(mgr->env, ENOMEM);
        int rc = qnst_sis_open(part, file.p);
        if (rc) return QNST_FAIL(mgr->env, rc);
        rc = qnst_csis_open(part, base.p, init, cpath, budget);
        if (rc) return QNST_FAIL(mgr->env, rc);
    }
    return 0;
}

int qnst_blksism_close(qnst_blksism *mgr) {
    if (!mgr || !mgr->parts) return 0;
    for (int32_t p = 0; p < mgr->nparts; ++p) {
        qnst_sis *part = &mgr->parts[p];
        // An unfinished compaction's purge list is useless to the next one, which starts afresh;
        // leaving it open would keep a table open in the environment. Close and delete it.
        if (part->plistdb) (void)qnst_sis_compact_cleanup(part, static_cast<uint32_t>(p));
        qnst_csis_close(part);
        qnst_sis_close(part);
    }
    std::free(mgr->parts);
    mgr->parts = nullptr;
    return 0;
}

int qnst_blksism_remove(DB_ENV *env, const char *dbfolder, int32_t nparts) {
    if (!env || !dbfolder) return EINVAL;
    for (int32_t p = 0; p < nparts; ++p) {
        Name file(make_name("%s_%x.db", dbfolder, static_cast<unsigned>(p)));
        if (!file) return QNST_FAIL(env, ENOMEM);
        const int rc = env->dbremove(env, nullptr, file.p, nullptr, DB_AUTO_COMMIT);
        if (rc == ENOENT) continue;
        if (rc) return QNST_FAIL(env, rc);
    }
    return 0;
}

int qnst_csism_drop(qnst_blksism *mgr, const char *dbfolder, const char *cpath) {
    (void)dbfolder;
    if (!created(mgr)) return QNST_FAIL(qnst::blksis::env_of(mgr), EINVAL);
    for (int32_t p = 0; p < mgr->nparts; ++p) {
        Name base(make_name("blksis_%x", static_cast<unsigned>(p)));
        if (!base) return QNST_FAIL(mgr->env, ENOMEM);
        const int rc = qnst_csis_drop(&mgr->parts[p], base.p, cpath);
        if (rc) return QNST_FAIL(mgr->env, rc);
    }
    return 0;
}

int qnst_sism_seq_extend(qnst_blksism *mgr) {
    if (!created(mgr)) return QNST_FAIL(qnst::blksis::env_of(mgr), EINVAL);
    for (int32_t p = 0; p < mgr->nparts; ++p) {
        const int rc = qnst_sis_seq_extend(&mgr->parts[p]);
        if (rc) return QNST_FAIL(mgr->env, rc);
    }
    return 0;
}

int qnst_sism_histget(qnst_blksism *mgr, int32_t bucket, uint32_t *sum) {
    *sum = 0;
    if (!created(mgr)) return QNST_FAIL(qnst::blksis::env_of(mgr), EINVAL);
    for (int32_t p = 0; p < mgr->nparts; ++p) {
        uint32_t count = 0;
        const int rc = qnst_csis_histget(&mgr->parts[p], bucket, &count);
        if (rc) return QNST_FAIL(mgr->env, rc);
        *sum += count;
    }
    return 0;
}

int qnst_sism_csis_size(qnst_blksism *mgr, uint32_t *entries) {
    *entries = 0;
    if (!created(mgr)) return QNST_FAIL(qnst::blksis::env_of(mgr), EINVAL);
    *entries = load(mgr->parts[0].capacity) * static_cast<uint32_t>(mgr->nparts);
    return 0;
}

int qnst_csis_getstats(qnst_blksism *mgr, uint32_t *hits, uint32_t *misses) {
    *hits = 0;
    *misses = 0;
    if (!created(mgr)) return QNST_FAIL(qnst::blksis::env_of(mgr), EINVAL);
    for (int32_t p = 0; p < mgr->nparts; ++p) {
        *hits += load(mgr->parts[p].hits);
        *misses += load(mgr->parts[p].misses);
    }
    return 0;
}

int qnst_sism_cache_wmupdate(qnst_blksism *mgr, int32_t wmark) {
    if (!created(mgr)) return QNST_FAIL(qnst::blksis::env_of(mgr), EINVAL);
    for (int32_t p = 0; p < mgr->nparts; ++p) qnst::blksis::store(mgr->parts[p].wmark, wmark);
    return 0;
}

int qnst_sism_dbcompact(qnst_blksism *mgr, uint32_t *freed, uint32_t *truncated,
                        int32_t strtfile, int32_t endfile) {
    *freed = 0;
    *truncated = 0;
    if (!created(mgr)) return QNST_FAIL(qnst::blksis::env_of(mgr), EINVAL);
    if (!qnst::in_table(strtfile, mgr->nparts) || !qnst::in_table(endfile, mgr->nparts))
        return 0;
    for (int32_t p = strtfile; p <= endfile; ++p) {
        // A partition that fails has logged it; the others are still worth compacting.
        (void)qnst_sis_dbcompact(&mgr->parts[p], freed, truncated);
    }
    return 0;
}

int qnst_blksism_open_fsck(qnst_blksism *mgr, const char *dbfolder, uint32_t remove) {
    if (!created(mgr) || !dbfolder) return QNST_FAIL(qnst::blksis::env_of(mgr), EINVAL);
    for (int32_t p = 0; p < mgr->nparts; ++p) {
        Name check(make_name("%s_%x.db", dbfolder, static_cast<unsigned>(p)));
        Name queue(make_name("%s_q%x.db", dbfolder, static_cast<unsigned>(p)));
        if (!check || !queue) return QNST_FAIL(mgr->env, ENOMEM);
        const int rc = qnst_sis_open_fsck(&mgr->parts[p], check.p, queue.p, remove);
        if (rc) return QNST_FAIL(mgr->env, rc);
    }
    return 0;
}

int qnst_blksism_close_fsck(qnst_blksism *mgr, const char *dbfolder, uint32_t remove) {
    if (!mgr || !mgr->parts || !dbfolder) return 0;
    for (int32_t p = 0; p < mgr->nparts; ++p) {
        Name check(make_name("%s_%x.db", dbfolder, static_cast<unsigned>(p)));
        Name queue(make_name("%s_q%x.db", dbfolder, static_cast<unsigned>(p)));
        if (!check || !queue) return QNST_FAIL(mgr->env, ENOMEM);
        // Closing always succeeds; a file that cannot be removed is left for the next check.
        (void)qnst_sis_close_fsck(&mgr->parts[p], check.p, queue.p, remove);
    }
    return 0;
}
