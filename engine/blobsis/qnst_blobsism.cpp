// Blob store manager: life cycle and the check table of every partition.
#include "qnst_blobsism.h"

#include <cstdlib>

#include "qnst_blobsism.hpp"

QNST_SOURCE("qnst/blobsis/qnst_blobsism");

using qnst::make_name;
using qnst::Name;
using qnst::blobsism::created;
using qnst::blobsism::env_of;

namespace qnst::blobsism {
PartsAlloc parts_alloc = std::calloc;
}

namespace {

Name part_file(const char *prefix, int32_t p) {
    return Name(make_name("%s_%x.db", prefix, static_cast<unsigned>(p)));
}

// Runs `call` on every partition with its file name, in ascending order, up to the first
// failure, which is logged and returned.
template <typename Call>
int each_partition_file(qnst_blobsism *mgr, const char *prefix, Call call) {
    for (int32_t p = 0; p < mgr->count; ++p) {
        Name file = part_file(prefix, p);
        if (!file) return QNST_FAIL(mgr->env, ENOMEM);
        const int rc = call(&mgr->parts[p], file.p);
        if (rc) return QNST_FAIL(mgr->env, rc);
    }
    return 0;
}

}  // namespace

int qnst_blobsism_create(qnst_blobsism *mgr, DB_ENV *env, int32_t count) {
    if (!mgr) return EINVAL;
    std::memset(mgr, 0, sizeof *mgr);
    // Hashes are routed modulo the count, and a partition number must fit the handle's top byte.
    if (count < 1 || count > QNST_BLOBSISM_MAX_PARTS) return QNST_FAIL(env, EINVAL);
    mgr->env = env;
    mgr->count = count;
    auto *parts = static_cast<qnst_blobsis *>(
        qnst::blobsism::parts_alloc(static_cast<size_t>(count), sizeof(qnst_blobsis)));
    if (!parts) return QNST_FAIL(env, ENOMEM);
    for (int32_t p = 0; p < count; ++p) {
        const int rc = qnst_blobsis_create(&parts[p], env);
        if (rc) {
            // The failed partition has closed itself.
            for (int32_t q = p - 1; q >= 0; --q) qnst_blobsis_close(&parts[q]);
            std::free(parts);
            return QNST_FAIL(env, rc);
        }
    }
    mgr->parts = parts;
    return 0;
}

int qnst_blobsism_open(qnst_blobsism *mgr, const char *prefix, uint32_t flags) {
    if (!created(mgr) || !prefix) return QNST_FAIL(env_of(mgr), EINVAL);
    return each_partition_file(mgr, prefix, [flags](qnst_blobsis *part, const char *file) {
        return qnst_blobsis_open(part, file, flags);
    });
}

int qnst_blobsism_close(qnst_blobsism *mgr) {
    if (!mgr || !mgr->parts) return 0;
    for (int32_t p = 0; p < mgr->count; ++p) qnst_blobsis_close(&mgr->parts[p]);
    std::free(mgr->parts);
    mgr->parts = nullptr;
    return 0;
}

int qnst_blobsism_remove(DB_ENV *env, const char *prefix, int32_t count) {
    if (!env || !prefix) return EINVAL;
    for (int32_t p = 0; p < count; ++p) {
        Name file = part_file(prefix, p);
        if (!file) return QNST_FAIL(env, ENOMEM);
        const int rc = env->dbremove(env, nullptr, file.p, nullptr, DB_AUTO_COMMIT);
        if (rc == ENOENT) continue;
        if (rc) return QNST_FAIL(env, rc);
    }
    return 0;
}

int qnst_blobsism_open_fsck(qnst_blobsism *mgr, const char *prefix, int32_t reset) {
    if (!created(mgr) || !prefix) return QNST_FAIL(env_of(mgr), EINVAL);
    return each_partition_file(mgr, prefix, [reset](qnst_blobsis *part, const char *file) {
        return qnst_blobsis_open_fsck(part, file, reset);
    });
}

int qnst_blobsism_close_fsck(qnst_blobsism *mgr, const char *prefix, int32_t remove) {
    if (!mgr || !mgr->parts) return 0;
    for (int32_t p = 0; p < mgr->count; ++p) {
        // Without a name the table is still closed; it is only not dropped.
        Name file = prefix ? part_file(prefix, p) : Name(nullptr);
        (void)qnst_blobsis_close_fsck(&mgr->parts[p], file.p, remove);
    }
    return 0;
}
