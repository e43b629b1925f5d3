#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "inode_fixture.hpp"
#include "qnst_eattr.h"

namespace {

using namespace qnst::testing;

constexpr uint32_t kIno = 0x1000001f;
constexpr uint32_t kLive = QNST_INODE_LIVE;
const std::string kSource = "qnst/eattr/qnst_eattr";

struct Val {
    int rc;
    uint32_t cver = 0, dver = 0;
    std::string value;
    bool operator==(const Val &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Val &v) {
    return os << "{rc " << v.rc << " c" << v.cver << " d" << v.dver << " " << v.value.size()
              << ":" << v.value.substr(0, 16) << "}";
}

// Takes a value out of an engine buffer and releases it.
Val take(int rc, uint32_t cver, uint32_t dver, void *value, uint32_t size, void *buf) {
    Val v{rc};
    if (rc == 0 && buf) {
        EXPECT_EQ(static_cast<char *>(buf) + 4, static_cast<char *>(value));
        v = {rc, cver, dver, std::string(static_cast<char *>(value), size)};
    }
    EXPECT_EQ(0, qnst_eatr_free(buf));
    return v;
}

class EattrTest : public OpenInodeFixture {
protected:
    EattrTest() : OpenInodeFixture(kIno) {}

    int update(uint32_t aid, uint32_t ver, const std::string &value, qnst_inoderec *n = nullptr) {
        n = n ? n : &ino_;
        return txn([&](DB_TXN *x) {
            return qnst_eatr_update(n, x, aid, ver, value.data(), uint32_t(value.size()));
        });
    }
    int clear(uint32_t aid, uint32_t ver) {
        return txn([&](DB_TXN *x) { return qnst_eatr_clear(&ino_, x, aid, ver); });
    }
    int purge(uint32_t aid, uint32_t cver) {
        return txn([&](DB_TXN *x) { return qnst_eatr_purge(&ino_, x, aid, cver); });
    }
    Val lookup_in(DB_TXN *x, uint32_t aid, uint32_t ver, qnst_inoderec *n = nullptr) {
        uint32_t cver = 0, dver = 0, size = 0;
        void *value = nullptr, *buf = nullptr;
        const int rc =
            qnst_eatr_lookup(n ? n : &ino_, x, aid, ver, &cver, &dver, &value, &size, &buf);
        return take(rc, cver, dver, value, size, buf);
    }
    Val lookup(uint32_t aid, uint32_t ver, qnst_inoderec *n = nullptr) {
        Val v{0};
        // The answer is in v.rc; an absent value is no reason to abort.
        (void)txn([&](DB_TXN *x) {
            v = lookup_in(x, aid, ver, n);
            return v.rc == DB_NOTFOUND ? 0 : v.rc;
        });
        return v;
    }
    Val lastver(uint32_t aid) {
        Val v{0};
        (void)txn([&](DB_TXN *x) {
            v.rc = qnst_eatr_lastver(&ino_, x, aid, &v.cver, &v.dver);
            return v.rc == DB_NOTFOUND ? 0 : v.rc;
        });
        return v;
    }
    std::vector<Val> walk_in(DB_TXN *x, uint32_t aid, uint32_t from, qnst_inoderec *n = nullptr) {
        n = n ? n : &ino_;
        std::vector<Val> rows;
        DBC *c = nullptr;
        uint32_t cver = 0, dver = 0, size = 0;
        void *value = nullptr, *buf = nullptr;
        int rc = qnst_eatr_walk(n, x, aid, from, &c, &cver, &dver, &value, &size, &buf);
        while (rc == 0 && cver != 0) {
            rows.push_back(take(rc, cver, dver, value, size, buf));
            rc = qnst_eatr_next(n, c, aid, &cver, &dver, &value, &size, &buf);
        }
        EXPECT_EQ(0, rc);
        EXPECT_EQ(nullptr, buf);
        EXPECT_EQ(0, qnst_eatr_done(n, c));
        return rows;
    }
    std::vector<Val> walk(uint32_t aid, uint32_t from, qnst_inoderec *n = nullptr) {
        std::vector<Val> rows;
        EXPECT_EQ(0,
                  txn([&](DB_TXN *x) {
                      rows = walk_in(x, aid, from, n);
                      return 0;
                  }));
        return rows;
    }
    DB *inodes() { return m_.tables[1].inodes; }
};

TEST_F(EattrTest, RecordsAreStoredByteForByte) {
    ASSERT_EQ(0, update(0x01020304, 5, "xyz"));
    ASSERT_EQ(0, update(0x01020304, 9, ""));
    ASSERT_EQ(0, update(2, 1, "v"));
    // Inode LE, '7', aid BE, -cver BE | dver LE, value.
    const std::vector<std::pair<std::string, std::string>> want = {
        {"1f00001037" "00000002" "ffffffff", "f0ffff7f" "76"},
        {"1f00001037" "01020304" "fffffff7", "f0ffff7f"},  // an empty value: dver alone
        {"1f00001037" "01020304" "fffffffb", "09000000" "78797a"},
    };
    auto records = all_records(inodes());
    std::erase_if(records, [](const auto &r) { return r.first.substr(8, 2) != "37"; });
    EXPECT_EQ(want, records);
}

TEST_F(EattrTest, ValuesThroughTheirVersions) {
    ASSERT_EQ(0, update(1, 5, "A"));
    ASSERT_EQ(0, update(1, 9, "B0"));
    ASSERT_EQ(0, update(1, 9, "B"));  // the same version again: replaced in place
    const Val none{DB_NOTFOUND};
    const std::pair<uint32_t, Val> cases[] = {
        {4, none}, {5, {0, 5, 9, "A"}}, {7, {0, 5, 9, "A"}}, {9, {0, 9, kLive, "B"}},
        {100, {0, 9, kLive, "B"}}, {0x7fffffef, {0, 9, kLive, "B"}}, {kLive, none},
        {0, none}, {0xfffffff0, none},  // no value before the first version
    };
    env_.mark_log();
    for (const auto &[ver, want] : cases) EXPECT_EQ(want, lookup(1, ver)) << ver;
    EXPECT_EQ((std::vector<Val>{{0, 5, 9, "A"}, {0, 9, kLive, "B"}}), walk(1, 1));
    EXPECT_EQ((Val{0, 9, kLive}), lastver(1));

    // Clearing in the version that wrote B removes it; A still ends at 9.
    ASSERT_EQ(0, clear(1, 9));
    EXPECT_EQ(none, lookup(1, 9));
    EXPECT_EQ((Val{0, 5, 9, "A"}), lookup(1, 7));
    EXPECT_EQ((Val{0, 5, 9}), lastver(1));
    ASSERT_EQ(0, clear(1, 12));  // nothing current: nothing to do
    ASSERT_EQ(0, update(1, 12, "C"));
    ASSERT_EQ(0, clear(1, 14));
    EXPECT_EQ((Val{0, 12, 14}), lastver(1));
    EXPECT_EQ((Val{0, 12, 14, "C"}), lookup(1, 13));
    EXPECT_EQ(none, lookup(1, 14));
    EXPECT_EQ(none, lastver(2));
    EXPECT_TRUE(env_.error_lines().empty());  // an absent value is an answer, not a failure
}

TEST_F(EattrTest, WalksStayWithinTheirAttribute) {
    for (uint32_t aid : {2u, 3u, 4u})
        for (uint32_t v : {3u, 6u, 8u}) ASSERT_EQ(0, update(aid, v, std::to_string(aid * 10 + v)));
    const std::pair<uint32_t, std::vector<std::string>> cases[] = {
        {0, {}},  // version 0 sorts before every stored version
        {1, {"33", "36", "38"}},
        {3, {"36", "38"}},
        {5, {"36", "38"}},
        {8, {}},
        {0x7fffffef, {}},
    };
    for (const auto &[from, want] : cases) {
        std::vector<std::string> got;
        for (const Val &v : walk(3, from)) got.push_back(v.value);
        EXPECT_EQ(want, got) << from;
    }
    EXPECT_EQ(0u, walk(1, 1).size());
    EXPECT_EQ(0u, walk(5, 1).size());  // after the last attribute of the inode
    // The inode's other records and another inode's attributes end walks too.
    qnst_inoderec other{};
    ASSERT_EQ(0, qnst_inode_open(&other, &m_, nullptr, kIno + 1));
    ASSERT_EQ(0, update(1, 2, "o", &other));
    EXPECT_EQ(3u, walk(4, 1).size());
    EXPECT_EQ(0u, walk(0, 1, &other).size());
    EXPECT_EQ((std::vector<Val>{{0, 2, kLive, "o"}}), walk(1, 1, &other));
}

TEST_F(EattrTest, EmptyAndLargeValuesRoundTrip) {
    std::string big(1u << 20, '\0');
    std::mt19937 rng(7);
    for (char &ch : big) ch = static_cast<char>(rng());
    const std::vector<std::string> values = {"", "abc", "abcd", "abcde", std::string(4096, 'x'),
                                             big};
    uint32_t ver = 2;  // a walk from 1 starts after version 1
    for (const std::string &value : values) {
        ASSERT_EQ(0, update(7, ver, value));
        const Val got = lookup(7, ver);
        EXPECT_EQ(0, got.rc);
        EXPECT_EQ(value.size(), got.value.size());
        EXPECT_TRUE(got.value == value) << value.size();
        ++ver;
    }
    const std::vector<Val> rows = walk(7, 1);
    ASSERT_EQ(values.size(), rows.size());
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(i + 2, rows[i].cver);
        EXPECT_EQ(i + 1 == values.size() ? kLive : i + 3, rows[i].dver);
        EXPECT_TRUE(rows[i].value == values[i]) << i;
    }
    // Clearing the large value rewrites it whole with its end version.
    ASSERT_EQ(0, clear(7, 20));
    EXPECT_TRUE(lookup(7, 19).value == big);
    EXPECT_EQ(20u, lookup(7, 19).dver);
}

TEST_F(EattrTest, RefusedUpdatesWriteNothing) {
    ASSERT_EQ(0, update(1, 5, "A"));
    ASSERT_EQ(0, update(2, 5, "A"));
    ASSERT_EQ(0, clear(2, 9));
    const auto before = all_records(inodes());
    env_.mark_log();
    struct Case {
        const char *what;
        std::function<int(DB_TXN *)> call;
    };
    const Case cases[] = {
        {"older than the current value",
         [&](DB_TXN *x) { return qnst_eatr_update(&ino_, x, 1, 4, "B", 1); }},
        {"older than an ended value",  // would be current while hidden behind it
         [&](DB_TXN *x) { return qnst_eatr_update(&ino_, x, 2, 4, "B", 1); }},
        {"version 0", [&](DB_TXN *x) { return qnst_eatr_update(&ino_, x, 3, 0, "B", 1); }},
        {"live marker", [&](DB_TXN *x) { return qnst_eatr_update(&ino_, x, 3, kLive, "B", 1); }},
        {"negative version",
         [&](DB_TXN *x) { return qnst_eatr_update(&ino_, x, 3, 0x80000000u, "B", 1); }},
        {"record size beyond 32 bits",
         [&](DB_TXN *x) { return qnst_eatr_update(&ino_, x, 3, 6, "B", 0xFFFFFFFCu); }},
        {"null value", [&](DB_TXN *x) { return qnst_eatr_update(&ino_, x, 3, 6, nullptr, 1); }},
        {"clear before the current value",
         [&](DB_TXN *x) { return qnst_eatr_clear(&ino_, x, 1, 4); }},
        {"clear at 0", [&](DB_TXN *x) { return qnst_eatr_clear(&ino_, x, 1, 0); }},
    };
    for (const Case &c : cases) EXPECT_EQ(EINVAL, txn(c.call)) << c.what;
    EXPECT_EQ(before, all_records(inodes()));
    expect_code_lines(env_.error_lines(),
                      std::vector(std::size(cases), std::pair{kSource, EINVAL}));

    env_.mark_log();
    EXPECT_EQ(DB_NOTFOUND, purge(1, 4));
    EXPECT_TRUE(env_.error_lines().empty());
    EXPECT_EQ(EINVAL, txn([](DB_TXN *x) { return qnst_eatr_update(nullptr, x, 1, 5, "", 0); }));
}

TEST_F(EattrTest, DamagedRecordIsReported) {
    // A record of attribute 1 at version 3 too short to hold its end version.
    uint8_t key[13];
    qnst::store_le32(key, kIno);
    key[4] = '7';
    qnst::store_be32(key + 5, 1);
    qnst::store_neg_version(key + 9, 3);
    uint8_t two[2] = {1, 2};
    DBT kd = qnst::user_dbt(key, sizeof key);
    DBT dd = qnst::user_dbt(two, sizeof two);
    ASSERT_EQ(0, inodes()->put(inodes(), nullptr, &kd, &dd, 0));
    env_.mark_log();
    EXPECT_EQ(EIO, lookup(1, 3).rc);
    EXPECT_EQ(EIO, lastver(1).rc);
    EXPECT_EQ(EIO, update(1, 4, "x"));
    EXPECT_EQ(EIO,
              txn([&](DB_TXN *x) {
                  DBC *c = nullptr;
                  uint32_t cv, dv, size;
                  void *value, *buf = nullptr;
                  const int rc = qnst_eatr_walk(&ino_, x, 1, 1, &c, &cv, &dv, &value, &size, &buf);
                  EXPECT_EQ(c, nullptr);
                  EXPECT_EQ(buf, nullptr);
                  return rc;
              }));
    EXPECT_EQ(4u, env_.error_lines().size());
}

TEST_F(EattrTest, PurgeRemovesOneRecordOnly) {
    ASSERT_EQ(0, update(1, 3, "a"));
    ASSERT_EQ(0, update(1, 5, "b"));
    ASSERT_EQ(0, update(1, 7, "c"));
    ASSERT_EQ(0, purge(1, 5));
    EXPECT_EQ((std::vector<Val>{{0, 3, 5, "a"}, {0, 7, kLive, "c"}}), walk(1, 1));
    EXPECT_EQ(DB_NOTFOUND, lookup(1, 6).rc);  // the gap is not closed
    ASSERT_EQ(0, purge(1, 7));
    EXPECT_EQ((Val{0, 3, 5}), lastver(1));
    ASSERT_EQ(0, update(1, 8, "d"));  // no current value: nothing to end
    EXPECT_EQ((std::vector<Val>{{0, 3, 5, "a"}, {0, 8, kLive, "d"}}), walk(1, 1));
}

TEST_F(EattrTest, MiscInodeKeepsAttributesAmongItsOtherRecords) {
    qnst_inoderec misc{};
    ASSERT_EQ(0, qnst_inode_open(&misc, &m_, nullptr, 0x10000040));
    ASSERT_EQ(0, qnst_misc_inode_init(&misc, 1));
    // Records of other kinds around the attributes, larger than the first read offers.
    std::string big_key(3000, 'k');
    qnst::store_le32(reinterpret_cast<uint8_t *>(big_key.data()), 0x10000040);
    big_key[4] = '8';
    std::string big_data(200, 'd');
    DBT key = qnst::user_dbt(big_key.data(), uint32_t(big_key.size()));
    DBT data = qnst::user_dbt(big_data.data(), uint32_t(big_data.size()));
    ASSERT_EQ(0, misc.own_db->put(misc.own_db, nullptr, &key, &data, 0));
    ASSERT_EQ(0,
              txn([&](DB_TXN *x) {
                  return qnst_inode_usage_set(&misc, x, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
              }));
    EXPECT_EQ(0u, walk(0xffffffff, 1, &misc).size());
    EXPECT_EQ(DB_NOTFOUND, lookup(0xffffffff, 5, &misc).rc);
    ASSERT_EQ(0, update(0xffffffff, 2, "last", &misc));
    ASSERT_EQ(0, update(0, 2, "first", &misc));
    EXPECT_EQ((std::vector<Val>{{0, 2, kLive, "last"}}), walk(0xffffffff, 1, &misc));
    EXPECT_EQ((std::vector<Val>{{0, 2, kLive, "first"}}), walk(0, 1, &misc));
    EXPECT_EQ((Val{0, 2, kLive, "first"}), lookup(0, 3, &misc));
    qnst_inode_close(&misc);
}

// A long random run of updates, clears and purges at rising versions over a few attributes,
// against a model of [cver, dver) intervals.
TEST_F(EattrTest, RandomHistoryAgreesWithModel) {
    struct Interval {
        uint32_t dver;
        std::string value;
    };
    std::map<uint32_t, std::map<uint32_t, Interval>> model;  // aid -> cver -> interval
    const uint32_t aids[] = {0, 1, 2, 0xffffffff};
    std::mt19937 rng(20261210);
    auto pick = [&](size_t n) { return size_t(rng() % n); };
    uint32_t ver = 1;

    auto check = [&] {
        ASSERT_EQ(0,
                  txn([&](DB_TXN *x) {
                      for (uint32_t aid : aids) {
                          const auto &list = model[aid];
                          for (uint32_t v = 1; v <= ver + 1; ++v) {
                              Val want{DB_NOTFOUND};
                              for (const auto &[c, i] : list)
                                  if (c <= v && v < i.dver) want = {0, c, i.dver, i.value};
                              EXPECT_EQ(lookup_in(x, aid, v), want) << aid << "@" << v;
                          }
                          std::vector<Val> all;
                          for (const auto &[c, i] : list) all.push_back({0, c, i.dver, i.value});
                          for (uint32_t from = 1; from <= ver; from += 3) {
                              std::vector<Val> want;
                              for (const Val &r : all)
                                  if (r.cver > from) want.push_back(r);
                              EXPECT_EQ(walk_in(x, aid, from), want) << aid << " from " << from;
                          }
                          Val last{DB_NOTFOUND};
                          if (!list.empty()) {
                              last = {0, list.rbegin()->first, list.rbegin()->second.dver};
                          }
                          Val got{0};
                          got.rc = qnst_eatr_lastver(&ino_, x, aid, &got.cver, &got.dver);
                          EXPECT_EQ(got, last) << aid;
                      }
                      return 0;
                  }));
    };

    for (int stepno = 0; stepno < 400 && !HasFailure(); ++stepno) {
        if (pick(3) == 0) ++ver;
        const uint32_t aid = aids[pick(std::size(aids))];
        auto &list = model[aid];
        Interval *live = !list.empty() && list.rbegin()->second.dver == kLive
                             ? &list.rbegin()->second
                             : nullptr;
        const int op = int(pick(10));
        if (op < 5) {
            const std::string value(pick(3) ? pick(40) : 3000 + pick(5000), char('a' + pick(26)));
            ASSERT_EQ(0, update(aid, ver, value));
            if (live) live->dver = ver;
            list[ver] = {kLive, value};
        } else if (op < 8) {
            ASSERT_EQ(0, clear(aid, ver));
            if (live && list.rbegin()->first == ver) {
                list.erase(ver);
            } else if (live) {
                live->dver = ver;
            }
        } else if (op < 9) {
            if (list.empty()) continue;
            auto it = std::next(list.begin(), long(pick(list.size())));
            ASSERT_EQ(0, purge(aid, it->first));
            list.erase(it);
        } else {
            // An aborted update leaves nothing behind.
            ASSERT_EQ(QNST_RETRY,
                      with_txn(dbenv(), [&](DB_TXN *x) {
                          const int rc = qnst_eatr_update(&ino_, x, aid, ver, "zz", 2);
                          return rc ? rc : QNST_RETRY;
                      }));
        }
        check();
    }
    EXPECT_GT(ver, 100u);
}

}  // namespace
