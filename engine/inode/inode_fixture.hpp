// Fixtures of the inode tests: a temporary environment with an open inode-table set, and raw
// readers of the tables' contents.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "qnst_inode.h"
#include "qnst_internal.hpp"
#include "qnst_testing.hpp"

namespace qnst::testing {

// What one table holds, read without the engine's code.
struct TableState {
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> itab;  // number -> (cver, dver)
    std::set<uint32_t> ifree;
    uint32_t seq = 0;  // 0 when there is no sequence record
};

inline TableState read_table(const qnst_itab &t) {
    TableState s;
    uint8_t kb[4], vb[8];
    for (DB *db : {t.itab, t.ifree}) {
        qnst::Cursor c;
        EXPECT_EQ(0, c.open(db, nullptr, 0));
        DBT key = qnst::user_dbt(kb, 0, sizeof kb);
        DBT data = qnst::user_dbt(vb, 0, sizeof vb);
        int rc;
        while ((rc = c->get(c.get(), &key, &data, DB_NEXT)) == 0) {
            EXPECT_EQ(4u, key.size);
            const uint32_t ino = qnst::load_be32(kb);
            if (db == t.itab) {
                EXPECT_EQ(8u, data.size);
                s.itab[ino] = {qnst::load_le32(vb), qnst::load_le32(vb + 4)};
            } else {
                EXPECT_EQ(0u, data.size);
                s.ifree.insert(ino);
            }
        }
        EXPECT_EQ(DB_NOTFOUND, rc);
    }
    uint8_t one[4];
    qnst::store_le32(one, 1);
    DBT key = qnst::user_dbt(one, sizeof one);
    DBT data = qnst::user_dbt(vb, 0, sizeof vb);
    if (t.seq->get(t.seq, nullptr, &key, &data, 0) == 0) {
        EXPECT_EQ(4u, data.size);
        s.seq = qnst::load_le32(vb);
    }
    return s;
}

// A raw record of `db` as hex, or "none" when it does not exist.
inline std::string raw_record(DB *db, const void *keybytes, uint32_t keysize) {
    uint8_t buf[256];
    DBT key = qnst::user_dbt(const_cast<void *>(keybytes), keysize);
    DBT data = qnst::user_dbt(buf, 0, sizeof buf);
    const int rc = db->get(db, nullptr, &key, &data, 0);
    if (rc == DB_NOTFOUND) return "none";
    EXPECT_EQ(0, rc);
    return hex(buf, data.size);
}

// Every record of `db`, key and data as hex, in key order.
inline std::vector<std::pair<std::string, std::string>> all_records(DB *db) {
    std::vector<std::pair<std::string, std::string>> out;
    qnst::Cursor c;
    EXPECT_EQ(c.open(db, nullptr, 0), 0);
    std::vector<uint8_t> kb(4096), vb(4096);
    DBT key = qnst::user_dbt(kb.data(), 0, uint32_t(kb.size()));
    DBT data = qnst::user_dbt(vb.data(), 0, uint32_t(vb.size()));
    int rc;
    while ((rc = c->get(c.get(), &key, &data, DB_NEXT)) == 0)
        out.emplace_back(hex(kb.data(), key.size), hex(vb.data(), data.size));
    EXPECT_EQ(rc, DB_NOTFOUND);
    return out;
}

// Error-log lines match "code <code>" entries of `source`, in order.
inline void expect_code_lines(const std::vector<std::string> &lines,
                              const std::vector<std::pair<std::string, int>> &expected) {
    std::vector<LogEntry> entries;
    for (const auto &[source, code] : expected)
        entries.push_back({source, "code " + std::to_string(code)});
    expect_log_entries(lines, entries);
}

// An environment with an open set of `count` tables in files "it_<i>.db".
class ItabmFixture : public ::testing::Test {
protected:
    explicit ItabmFixture(int32_t count = 1, EnvOptions options = {})
        : env_(options), count_(count) {}

    void SetUp() override {
        ASSERT_EQ(0, qnst_itabm_create(&m_, env_.env(), 77, nullptr, nullptr, nullptr, count_));
        ASSERT_EQ(0, qnst_itabm_open(&m_, "it", 0, 1));
    }
    void TearDown() override { qnst_itabm_close(&m_); }

    DB_ENV *dbenv() { return env_.dbenv(); }
    int txn(const std::function<int(DB_TXN *)> &body) { return with_txn(dbenv(), body); }
    TableState table(int32_t t) { return read_table(m_.tables[t]); }
    std::string dump(const std::string &file, const std::string &db) {
        return run_utility("db5.3_dump -h " + env_.home().string() + " -s " + db + " " + file +
                           " 2>&1");
    }

    TempEnv env_;
    int32_t count_;
    qnst_itabmrec m_{};
};

// A set of two tables whose lock conflicts are resolved at once (the youngest waiter gets
// DB_LOCK_DEADLOCK) instead of by the maintenance thread's rounds: for threads that retry.
class ConcurrentItabmFixture : public ItabmFixture {
protected:
    ConcurrentItabmFixture() : ItabmFixture(2) {}
    void SetUp() override {
        ItabmFixture::SetUp();
        ASSERT_EQ(dbenv()->set_lk_detect(dbenv(), DB_LOCK_YOUNGEST), 0);
    }
};

// A set of two tables and one initialised inode `ino_`, number `ino` (in normal mode).
class OpenInodeFixture : public ItabmFixture {
protected:
    explicit OpenInodeFixture(uint32_t ino) : ItabmFixture(2), number_(ino) {}
    void SetUp() override {
        ItabmFixture::SetUp();
        ASSERT_EQ(qnst_inode_open(&ino_, &m_, nullptr, number_), 0);
        ASSERT_EQ(qnst_inode_init(&ino_, 1), 0);
    }
    void TearDown() override {
        qnst_inode_close(&ino_);
        ItabmFixture::TearDown();
    }

    uint32_t number_;
    qnst_inoderec ino_{};
};

}  // namespace qnst::testing
