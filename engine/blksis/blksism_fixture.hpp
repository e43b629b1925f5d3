// A block store for tests: a temporary environment with a dfile table and an open manager.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "qnst_blksism.h"
#include "qnst_blksism.hpp"
#include "qnst_internal.hpp"
#include "qnst_testing.hpp"

namespace qnst::testing {

struct StoreOptions {
    int32_t nparts = 4;
    int64_t csize = 0;  // cache budget of the whole store; 0: no cache tables
    int32_t wmark = 1;
    EnvOptions env;
};

class BlockStore {
public:
    explicit BlockStore(StoreOptions o = {}) : options_(o), env_(o.env) {
        if (qnst_dfile_create(&dfile_, env_.dbenv(), 128) || qnst_dfile_open(&dfile_, "dfile.db", 1))
            throw std::runtime_error("dfile set-up failed");
        open();
        env_.mark_log();
    }
    ~BlockStore() {
        qnst_blksism_close(&mgr_);
        qnst_dfile_close(&dfile_);
    }
    BlockStore(const BlockStore &) = delete;
    BlockStore &operator=(const BlockStore &) = delete;

    void open() {
        if (qnst_blksism_create(&mgr_, env_.dbenv(), &dfile_, options_.nparts) ||
            qnst_blksism_open(&mgr_, "blk", 1, "", options_.csize) ||
            qnst_sism_cache_wmupdate(&mgr_, options_.wmark))
            throw std::runtime_error("block store set-up failed");
    }
    void reopen() {
        qnst_blksism_close(&mgr_);
        open();
    }

    qnst_blksism *mgr() { return &mgr_; }
    qnst_sis *part(int32_t p) { return &mgr_.parts[p]; }
    TempEnv &env() { return env_; }
    DB_ENV *dbenv() { return env_.dbenv(); }

    int txn(const std::function<int(DB_TXN *)> &body) { return with_txn(env_.dbenv(), body); }

    // The new block's road: a handle, then the store (the data write is the server's).
    uint64_t store(const Hash &h, uint32_t dfid = 0, uint64_t offset = 0, uint32_t length = 4096,
                   int *result = nullptr) {
        uint64_t handle = 0;
        EXPECT_EQ(0, qnst_sism_gen_handle(&mgr_, h.data(), h.size(), &handle));
        const int rc = txn([&](DB_TXN *t) {
            return qnst_sism_store(&mgr_, t, h.data(), h.size(), dfid, 1, offset, length, handle,
                                   nullptr);
        });
        if (result)
            *result = rc;
        else
            EXPECT_EQ(0, rc);
        return handle;
    }

    uint64_t lookup(const Hash &h, uint32_t cacheonly = 0) {
        uint64_t handle = ~0ull;
        EXPECT_EQ(0, txn([&](DB_TXN *t) {
                      return qnst_sism_lookup(&mgr_, t, h.data(), h.size(), cacheonly, &handle);
                  }));
        return handle;
    }

    uint32_t count(uint64_t handle) {
        uint32_t c = ~0u;
        EXPECT_EQ(0, txn([&](DB_TXN *t) { return qnst_blksism_getref(&mgr_, t, 0, handle, &c); }));
        return c;
    }

    uint32_t hist(int32_t bucket) {
        uint32_t sum = ~0u;
        EXPECT_EQ(0, qnst_sism_histget(&mgr_, bucket, &sum));
        return sum;
    }

    uint64_t used(uint32_t dfid, uint64_t *coff = nullptr) {
        uint32_t ver = 0, over = 0;
        uint64_t c = 0, ooff = 0, u = 0;
        EXPECT_EQ(0, qnst_dfile_get(&dfile_, nullptr, dfid, &ver, &over, &c, &ooff, &u, 0));
        if (coff) *coff = c;
        return u;
    }

    // Runs whole passes of both queues of every partition until they are empty.
    void flush_all() {
        for (int32_t p = 0; p < mgr_.nparts; ++p) {
            for (auto flush : {&qnst_sism_hdqflush_nocompact, &qnst_sism_stqflush}) {
                uint32_t tail = 0;
                do {
                    ASSERT_EQ(0, txn([&](DB_TXN *t) { return flush(&mgr_, t, p, &tail); }));
                } while (tail != 0);
            }
        }
    }

    // Number of records in a queue table.
    static uint32_t queued(DB *db) {
        DBC *c = nullptr;
        if (db->cursor(db, nullptr, &c, 0)) return ~0u;
        uint32_t n = 0;
        db_recno_t recno = 0;
        uint8_t buf[64];
        DBT k = user_dbt(&recno, 0, sizeof recno);
        DBT d = user_dbt(buf, 0, sizeof buf);
        while (c->get(c, &k, &d, DB_NEXT) == 0) ++n;
        c->close(c);
        return n;
    }

private:
    static int qnst_sism_hdqflush_nocompact(qnst_blksism *m, DB_TXN *t, int32_t p, uint32_t *tail) {
        return qnst_sism_hdqflush(m, t, p, tail, 0);
    }

    StoreOptions options_;
    TempEnv env_;
    qnst_dfile dfile_{};
    qnst_blksism mgr_{};
};

}  // namespace qnst::testing
