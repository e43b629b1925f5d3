// A block store partition in a temporary environment, with its histogram open, for the
// partition's tests.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "qnst_csis.h"
#include "qnst_csis.hpp"
#include "qnst_dfile.h"
#include "qnst_dfile_usage.hpp"
#include "qnst_internal.hpp"
#include "qnst_sis.h"
#include "qnst_sis.hpp"
#include "qnst_testing.hpp"

namespace sistest {

using qnst::testing::Hash;
using qnst::testing::make_hash;

inline std::string hex_le64(uint64_t v) {
    uint8_t b[8];
    qnst::store_le64(b, v);
    return qnst::testing::hex(b, sizeof b);
}

// The stamped word of `count` as written today.
inline uint32_t stamped(uint32_t count) {
    return QNST_SIS_REF_STAMPED |
           ((qnst_sis_today() & QNST_SIS_REF_DAYMASK) << QNST_SIS_REF_DAYSHIFT) | count;
}

class Partition : public ::testing::Test {
protected:
    static constexpr const char *kFile = "blksis_0.db";

    void SetUp() override {
        ASSERT_EQ(0, qnst_dfile_create(&dfile, dbenv(), 16));
        ASSERT_EQ(0, qnst_dfile_open(&dfile, "dfile.db", 1));
        ASSERT_EQ(0, qnst_sis_create(&part, dbenv(), &dfile));
        ASSERT_EQ(0, qnst_sis_open(&part, kFile));
        ASSERT_EQ(0, qnst_csis_histopen(&part, "blksis_0", "", 1));
        env.mark_log();
    }
    void TearDown() override {
        qnst_csis_close(&part);
        qnst_sis_close(&part);
        qnst_dfile_close(&dfile);
    }

    DB_ENV *dbenv() const { return env.dbenv(); }

    // Runs `body` in a committed transaction and returns its result.
    int txn(const std::function<int(DB_TXN *)> &body) {
        return qnst::testing::with_txn(dbenv(), body);
    }

    // Raw data of `key` in `db`, as hex; "" when absent.
    static std::string raw(DB *db, const void *key, uint32_t keylen) {
        uint8_t buf[64];
        DBT k = qnst::user_dbt(const_cast<void *>(key), keylen);
        DBT d = qnst::user_dbt(buf, 0, sizeof buf);
        if (db->get(db, nullptr, &k, &d, 0) != 0) return "";
        return qnst::testing::hex(buf, d.size);
    }
    static std::string raw_handle(DB *db, uint64_t handle) {
        uint8_t k[8];
        qnst::store_le64(k, handle);
        return raw(db, k, sizeof k);
    }
    static void put_raw_word(DB *db, uint64_t handle, uint32_t word) {
        uint8_t k[8], d[4];
        qnst::store_le64(k, handle);
        qnst::store_le32(d, word);
        DBT kd = qnst::user_dbt(k, 8), dd = qnst::user_dbt(d, 4);
        ASSERT_EQ(0, db->put(db, nullptr, &kd, &dd, 0));
    }
    static uint32_t raw_word(DB *db, uint64_t handle) {
        uint8_t k[8], d[4] = {};
        qnst::store_le64(k, handle);
        DBT kd = qnst::user_dbt(k, 8), dd = qnst::user_dbt(d, 0, 4);
        EXPECT_EQ(0, db->get(db, nullptr, &kd, &dd, 0));
        return qnst::load_le32(d);
    }
    static bool has_handle(DB *db, uint64_t handle) { return !raw_handle(db, handle).empty(); }

    // A new block of `length` bytes in data file `dfid`, with hash `seed` indexed and the
    // file's usage charged, as the store manager records one.
    uint64_t store(uint32_t seed, uint32_t dfid = 1, uint32_t length = 4096, uint64_t offset = 0,
                   uint32_t dfver = 1) {
        uint64_t h = 0;
        EXPECT_EQ(0, qnst_sis_gen_handle(&part, &h));
        const Hash hash = make_hash(seed);
        EXPECT_EQ(
            0, txn([&](DB_TXN *t) {
                uint64_t growth = 0;
                int rc = qnst_sis_store(&part, t, hash.data(), 20, dfid, dfver, offset, length, h);
                rc = rc ? rc : qnst_sis_store_hashid(&part, t, h, hash.data(), 20);
                return rc ? rc
                          : qnst_dfile_usage(&dfile, t, dfid, offset + length, length, &growth);
            }));
        return h;
    }

    // Turns `handle` into a symbolic link to `target`, as the store-queue merge does: its bytes
    // are uncharged, it leaves the histogram and its references move to the target.
    void make_link(uint64_t handle, uint64_t target) {
        ASSERT_EQ(0, txn([&](DB_TXN *t) {
                      uint32_t count = 0;
                      int rc = qnst_sis_getref(&part, t, 0, handle, &count);
                      const bool counted = raw_word(part.refdb, handle) & QNST_SIS_REF_STAMPED;
                      uint32_t dfid, dfver, length, hashlen;
                      uint64_t offset, growth = 0;
                      if (!rc)
                          rc = qnst_sis_read1(&part, t, handle, &dfid, &dfver, &offset, &length,
                                              &hashlen, nullptr);
                      if (!rc) rc = qnst_dfile_usage(&dfile, t, dfid, 0, -int64_t{length}, &growth);
                      if (!rc)
                          rc = qnst_sis_write_iddf(&part, t, handle, QNST_SIS_SYMLINK_DFID, 0,
                                                   target, 0, nullptr, 0, 0);
                      if (!rc && counted)
                          rc = qnst_csis_histupdate(&part, t, static_cast<int32_t>(count), -1);
                      for (uint32_t i = 0; !rc && i < count; ++i) {
                          uint32_t c = 0;
                          rc = qnst_sis_hold(&part, t, target, &c, 0);
                      }
                      return rc;
                  }));
    }

    uint32_t hold(uint64_t handle, uint32_t fsck = 0, int expect = 0) {
        uint32_t count = 0xdead;
        EXPECT_EQ(expect,
                  txn([&](DB_TXN *t) { return qnst_sis_hold(&part, t, handle, &count, fsck); }));
        return count;
    }
    uint32_t rele(uint64_t handle, int expect = 0) {
        uint32_t count = 0xdead;
        EXPECT_EQ(expect, txn([&](DB_TXN *t) { return qnst_sis_rele(&part, t, handle, &count); }));
        return count;
    }
    uint32_t getref(uint64_t handle, uint32_t fsck = 0) {
        uint32_t count = 0xdead;
        EXPECT_EQ(0,
                  txn([&](DB_TXN *t) { return qnst_sis_getref(&part, t, fsck, handle, &count); }));
        return count;
    }
    uint32_t bucket(int32_t b) {
        uint32_t n = 0xdead;
        EXPECT_EQ(0, qnst_csis_histget(&part, b, &n));
        return n;
    }

    // The error-log lines since set-up, each checked against `patterns`: "code N" or
    // "error:<message>" after the stamp and location of the partition's source.
    void expect_log(const std::vector<std::string> &patterns,
                    const char *source = "qnst/blksis/qnst_sis") {
        std::vector<qnst::testing::LogEntry> expected;
        for (const auto &p : patterns)
            expected.push_back({source, qnst::testing::regex_literal(p)});
        qnst::testing::expect_log_entries(env.error_lines(), expected);
        env.mark_log();
    }
    static std::string hx(uint64_t handle) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(handle));
        return buf;
    }

    qnst::testing::TempEnv env;
    qnst_dfile dfile{};
    qnst_sis part{};
};

}  // namespace sistest
