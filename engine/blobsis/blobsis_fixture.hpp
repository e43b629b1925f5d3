// A blob store for tests: a temporary environment with an open manager, raw readers of the
// partition tables, and error-log matching.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "qnst_blobsism.h"
#include "qnst_blobsism.hpp"
#include "qnst_internal.hpp"
#include "qnst_testing.hpp"

namespace qnst::testing {

using Bytes = std::vector<uint8_t>;

// A hash of `len` bytes whose first byte picks the partition and whose other bytes tell hashes
// apart.
inline Bytes blob_hash(uint8_t first, uint32_t id, uint32_t len = 20) {
    Bytes h(len);
    h[0] = first;
    for (uint32_t i = 1; i < len; ++i) h[i] = static_cast<uint8_t>((id >> (8 * (i % 4))) + i);
    return h;
}

// The error-log lines since the last check, each matched against (source, text): a text is
// "code N" or "error:<message>", written after the stamp and location of `source`.
inline void expect_log_lines(TempEnv &env,
                             const std::vector<std::pair<std::string, std::string>> &expected) {
    std::vector<LogEntry> entries;
    for (const auto &[source, text] : expected) entries.push_back({source, regex_literal(text)});
    expect_log_entries(env.error_lines(), entries);
    env.mark_log();
}

inline constexpr const char *kPartSource = "qnst/blobsis/qnst_blobsis";
inline constexpr const char *kMgrSource = "qnst/blobsis/qnst_blobsism";

class BlobStore {
public:
    explicit BlobStore(TempEnv &env, int32_t count = 4, const char *prefix = "blob")
        : env_(env), prefix_(prefix) {
        if (qnst_blobsism_create(&mgr_, env.dbenv(), count) ||
            qnst_blobsism_open(&mgr_, prefix, 0))
            throw std::runtime_error("blob store set-up failed");
        env.mark_log();
    }
    ~BlobStore() { qnst_blobsism_close(&mgr_); }
    BlobStore(const BlobStore &) = delete;
    BlobStore &operator=(const BlobStore &) = delete;

    qnst_blobsism *mgr() { return &mgr_; }
    qnst_blobsis *part(int32_t p) { return &mgr_.parts[p]; }
    int txn(const std::function<int(DB_TXN *)> &body) { return with_txn(env_.dbenv(), body); }

    // A new blob with one reference, committed; its handle.
    uint64_t store(const Bytes &h, uint64_t size) {
        uint64_t handle = 0;
        EXPECT_EQ(0, qnst_mblob_gen_handle(&mgr_, h.data(), static_cast<uint32_t>(h.size()), &handle));
        EXPECT_EQ(0, txn([&](DB_TXN *t) {
                      return qnst_mblob_store(&mgr_, t, h.data(), static_cast<uint32_t>(h.size()),
                                              size, handle);
                  }));
        return handle;
    }
    // The stored count of a blob, or -1 when it has none.
    int64_t count(uint64_t handle) {
        qnst_blobsis *part = &mgr_.parts[handle >> 56];
        uint8_t key[8], buf[4];
        store_le64(key, handle & QNST_BLOBSISM_LOCAL_MASK);
        DBT k = user_dbt(key, sizeof key);
        DBT d = user_dbt(buf, 0, sizeof buf);
        const int rc = part->id_ref->get(part->id_ref, nullptr, &k, &d, 0);
        if (rc == DB_NOTFOUND) return -1;
        EXPECT_EQ(0, rc);
        return load_le32(buf);
    }
    // Every (handle, count) of "id_ref" in all partitions.
    std::vector<std::pair<uint64_t, uint32_t>> counts() {
        std::vector<std::pair<uint64_t, uint32_t>> out;
        for (int32_t p = 0; p < mgr_.count; ++p) {
            EXPECT_EQ(0, txn([&](DB_TXN *t) {
                DBC *c = nullptr;
                uint64_t h = 0;
                uint32_t n = 0;
                int rc = qnst_blobsism_walk_idref(&mgr_, p, t, 0, &c, &h, &n);
                while (rc == 0 && h) {
                    out.emplace_back(h, n);
                    rc = qnst_blobsism_next_idref(&mgr_, p, c, &h, &n);
                }
                qnst_blobsism_done(&mgr_, p, c);
                return rc;
            }));
        }
        return out;
    }

private:
    TempEnv &env_;
    std::string prefix_;
    qnst_blobsism mgr_{};
};

// A raw record of `db` as hex, or "none".
inline std::string raw_hex(DB *db, const void *key, uint32_t keysize) {
    uint8_t buf[256];
    DBT k = user_dbt(const_cast<void *>(key), keysize);
    DBT d = user_dbt(buf, 0, sizeof buf);
    const int rc = db->get(db, nullptr, &k, &d, 0);
    if (rc == DB_NOTFOUND) return "none";
    EXPECT_EQ(0, rc);
    return hex(buf, d.size);
}
inline std::string raw_hex_id(DB *db, uint64_t local) {
    uint8_t key[8];
    store_le64(key, local);
    return raw_hex(db, key, sizeof key);
}
// Cursors open on the handle `db` (read from the handle's public cursor queue; single thread).
inline size_t active_cursors(DB *db) {
    size_t n = 0;
    for (DBC *c = db->active_queue.tqh_first; c != nullptr; c = c->links.tqe_next) ++n;
    return n;
}
// Number of records in `db`.
inline size_t record_count(DB *db) {
    Cursor c;
    EXPECT_EQ(0, c.open(db, nullptr, 0));
    uint8_t kb[128], vb[128];
    DBT k = user_dbt(kb, 0, sizeof kb);
    DBT d = user_dbt(vb, 0, sizeof vb);
    size_t n = 0;
    while (c->get(c.get(), &k, &d, DB_NEXT) == 0) ++n;
    return n;
}

}  // namespace qnst::testing
