// Damaged records of the inode store: a record whose stored size disagrees with its layout is
// answered with EIO (logged), never read past what was stored and never written back.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "inode_fixture.hpp"

namespace {

using namespace qnst::testing;

struct DamageCase {
    const char *what;
    DB *qnst_itab::*table;
    // The key of the damaged record, for the allocated number `ino`.
    std::function<std::vector<uint8_t>(uint32_t)> key;
    size_t size;
    std::function<int(qnst_itabmrec *, qnst_inoderec *, DB_TXN *)> call;
};

std::vector<uint8_t> record_key(uint32_t ino, char letter) {
    std::vector<uint8_t> k(5);
    qnst::store_le32(k.data(), ino);
    k[4] = static_cast<uint8_t>(letter);
    return k;
}
std::vector<uint8_t> number_key(uint32_t ino) {
    std::vector<uint8_t> k(4);
    qnst::store_be32(k.data(), ino);
    return k;
}

int usage_get(qnst_itabmrec *, qnst_inoderec *n, DB_TXN *t) {
    int64_t u[10];
    return qnst_inode_usage_get(n, t, &u[0], &u[1], &u[2], &u[3], &u[4], &u[5], &u[6], &u[7],
                                &u[8], &u[9]);
}
int usage_add(qnst_itabmrec *, qnst_inoderec *n, DB_TXN *t) {
    return qnst_inode_usg(n, t, 1, 1, 1, 1, 1, 1);
}
int check_inode(qnst_itabmrec *, qnst_inoderec *n, DB_TXN *) {
    qnst_inode_close(n);
    return qnst_inode_chk(n);
}
int getinfo(qnst_itabmrec *m, qnst_inoderec *n, DB_TXN *t) {
    int32_t beyond = 0, is_free = 0;
    uint32_t cver = 0, dver = 0;
    return qnst_inodem_getinfo(m, t, n->inode, &beyond, &is_free, &cver, &dver);
}
int mark_deleted(qnst_itabmrec *m, qnst_inoderec *n, DB_TXN *t) {
    return qnst_inodem_free(m, t, n->inode, 9);
}
int next(qnst_itabmrec *m, qnst_inoderec *, DB_TXN *t) {
    uint32_t cursor = 0, cver = 0, dver = 0;
    int rc;
    do rc = qnst_inodem_next(m, t, &cursor, &cver, &dver);
    while (rc == 0 && cursor != 0);
    return rc;
}
int alloc(qnst_itabmrec *m, qnst_inoderec *, DB_TXN *t) {
    uint32_t ino = 0;
    return qnst_inodem_alloc(m, t, 2, &ino);
}

class DamagedInodeRecords : public ItabmFixture {};

TEST_F(DamagedInodeRecords, EveryTableAnswersEIOAndIsLeftAlone) {
    auto letter = [](char c) { return [c](uint32_t ino) { return record_key(ino, c); }; };
    auto seq_key = [](uint32_t) { return std::vector<uint8_t>{1, 0, 0, 0}; };
    auto first_free = [](uint32_t) { return std::vector<uint8_t>{0, 0}; };
    const std::vector<DamageCase> cases = {
        {"usage record of 79 bytes", &qnst_itab::inodes, letter('3'), 79, usage_get},
        {"usage record of 88 bytes", &qnst_itab::inodes, letter('3'), 88, usage_add},
        {"init record of 2 bytes", &qnst_itab::inodes, letter('a'), 2, check_inode},
        {"misc record of 8 bytes", &qnst_itab::inodes, letter('b'), 8, check_inode},
        {"lifetime of 4 bytes", &qnst_itab::itab, number_key, 4, getinfo},
        {"lifetime of 12 bytes", &qnst_itab::itab, number_key, 12, mark_deleted},
        {"lifetime in a walk", &qnst_itab::itab, number_key, 4, next},
        {"sequence of 2 bytes", &qnst_itab::seq, seq_key, 2, getinfo},
        {"free number with data", &qnst_itab::ifree, number_key, 3, alloc},
        {"free number with a short key", &qnst_itab::ifree, first_free, 0, alloc},
    };
    ASSERT_EQ(0, qnst_itabm_extend(&m_, 64, 1));
    for (const DamageCase &c : cases) {
        SCOPED_TRACE(c.what);
        uint32_t ino = 0;
        ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_inodem_alloc(&m_, t, 1, &ino); }));
        qnst_inoderec node{};
        ASSERT_EQ(0, qnst_inode_open(&node, &m_, nullptr, ino));
        ASSERT_EQ(0, qnst_inode_init(&node, 1));
        ASSERT_EQ(0, txn([&](DB_TXN *t) {
                      return qnst_inode_usage_set(&node, t, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
                  }));
        // The free-list cases damage the next free number, the others the inode's own records.
        uint32_t target = ino;
        if (c.table == &qnst_itab::ifree) target = ino + 1;
        DB *db = m_.tables[0].*c.table;
        const std::vector<uint8_t> key = c.key(target);
        const std::vector<uint8_t> damaged(c.size, 0xA5);
        DBT k = qnst::user_dbt(const_cast<uint8_t *>(key.data()), static_cast<uint32_t>(key.size()));
        DBT d = qnst::user_dbt(const_cast<uint8_t *>(damaged.data()), static_cast<uint32_t>(damaged.size()));
        ASSERT_EQ(0, db->put(db, nullptr, &k, &d, 0));
        const std::string before = raw_record(db, key.data(), static_cast<uint32_t>(key.size()));
        env_.mark_log();

        EXPECT_EQ(EIO, txn([&](DB_TXN *t) { return c.call(&m_, &node, t); }));
        EXPECT_EQ(raw_record(db, key.data(), static_cast<uint32_t>(key.size())), before);
        const auto lines = env_.error_lines();
        ASSERT_FALSE(lines.empty());
        for (const auto &line : lines) EXPECT_NE(line.find("code 5"), std::string::npos) << line;

        // Repair what the case damaged, so that the next case starts from sound tables.
        if (c.table == &qnst_itab::ifree) {
            ASSERT_EQ(0, db->del(db, nullptr, &k, 0));
        } else {
            ASSERT_EQ(0, db->del(db, nullptr, &k, 0));
            if (c.table != &qnst_itab::inodes) {
                uint8_t value[8];
                uint32_t size = 8;
                if (c.table == &qnst_itab::seq) {
                    qnst::store_le32(value, 1000);
                    size = 4;
                } else {
                    qnst::store_le32(value, 1);
                    qnst::store_le32(value + 4, QNST_INODE_LIVE);
                }
                DBT v = qnst::user_dbt(value, size);
                ASSERT_EQ(0, db->put(db, nullptr, &k, &v, 0));
            }
        }
        qnst_inode_close(&node);
    }
}

}  // namespace
