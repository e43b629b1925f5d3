#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "inode_fixture.hpp"
#include "qnst_folder.h"

namespace {

using namespace qnst::testing;

constexpr uint32_t kDir = 0x10000020;    // a folder of table 1
constexpr uint32_t kOther = 0x10000021;  // its neighbour in the same "folders" database
constexpr uint32_t kLive = QNST_INODE_LIVE;
const std::string kSource = "qnst/folder/qnst_folder";

struct Row {
    std::string name;
    uint32_t cver, dver, type, cino;
    bool operator==(const Row &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Row &r) {
    return os << "{" << r.name.size() << ":" << r.name.substr(0, 16) << " c" << r.cver << " d"
              << r.dver << " t" << r.type << " i" << r.cino << "}";
}

struct Found {
    int rc;
    uint32_t cver = 0, dver = 0, type = 0, cino = 0;
};

class FolderTest : public OpenInodeFixture {
protected:
    FolderTest() : OpenInodeFixture(kDir) {}

    int add(const std::string &name, uint32_t cver, uint32_t type = 1, uint32_t cino = 100,
            qnst_inoderec *d = nullptr) {
        d = d ? d : &dir_;
        return txn([&](DB_TXN *x) {
            return qnst_dir_add(d, x, name.data(), uint32_t(name.size()), cver, type, cino);
        });
    }
    int del(const std::string &name, uint32_t ver, uint32_t cino = 0) {
        return txn([&](DB_TXN *x) {
            return qnst_dir_del(&dir_, x, name.data(), uint32_t(name.size()), ver, cino);
        });
    }
    int purge(const std::string &name, uint32_t cver) {
        return txn([&](DB_TXN *x) {
            return qnst_dir_purge(&dir_, x, name.data(), uint32_t(name.size()), cver);
        });
    }
    int rename(const std::string &from, const std::string &to, int32_t overwrite = 0) {
        return txn([&](DB_TXN *x) {
            return qnst_dir_rename(&dir_, x, from.data(), uint32_t(from.size()), to.data(),
                                   uint32_t(to.size()), overwrite);
        });
    }
    Found lookup_in(DB_TXN *x, const std::string &name, uint32_t ver, uint32_t cino = 0) {
        Found f;
        f.cino = cino;
        f.rc = qnst_dir_lookup(&dir_, x, name.data(), uint32_t(name.size()), ver, &f.cver,
                               &f.dver, &f.type, &f.cino);
        return f;
    }
    Found lookup(const std::string &name, uint32_t ver, uint32_t cino = 0) {
        Found f;
        f.rc = txn([&](DB_TXN *x) {
            f = lookup_in(x, name, ver, cino);
            return f.rc;
        });
        return f;
    }

    // A whole listing; with `page` > 0 it is read `page` entries at a time, each page resumed
    // from the last entry of the one before.
    std::vector<Row> walk_in(DB_TXN *x, int32_t ver, size_t page = 0,
                             qnst_inoderec *d = nullptr) {
        d = d ? d : &dir_;
        std::vector<Row> rows;
        for (bool first = true;; first = false) {
            DBC *c = nullptr;
            Row r{std::string(QNST_DIR_MAXNAME, '\0'), 0, 0, 0, 0};
            uint32_t len = 0;
            int rc;
            if (first) {
                rc = qnst_dir_walk(d, x, ver, &c, &r.cver, &r.dver, r.name.data(), &len, &r.type,
                                   &r.cino);
            } else {
                const Row &last = rows.back();
                rc = qnst_dir_walk_v2(d, x, ver, &c, &r.cver, &r.dver, r.name.data(), &len,
                                      &r.type, &r.cino, last.name.data(),
                                      uint32_t(last.name.size()), last.cver);
            }
            EXPECT_EQ(0, rc);
            if (rc) return rows;
            size_t taken = 0;
            while (rc == 0 && r.cver != 0) {
                rows.push_back({r.name.substr(0, len), r.cver, r.dver, r.type, r.cino});
                if (page && ++taken == page) break;
                rc = qnst_dir_next(d, c, ver, &r.cver, &r.dver, r.name.data(), &len, &r.type,
                                   &r.cino);
            }
            EXPECT_EQ(0, rc);
            EXPECT_EQ(0, qnst_dir_done(d, c));
            if (rc || !page || r.cver == 0) return rows;
        }
    }
    std::vector<Row> walk(int32_t ver, size_t page = 0, qnst_inoderec *d = nullptr) {
        std::vector<Row> rows;
        EXPECT_EQ(0,
                  txn([&](DB_TXN *x) {
                      rows = walk_in(x, ver, page, d);
                      return 0;
                  }));
        return rows;
    }
    static std::vector<std::string> names(const std::vector<Row> &rows) {
        std::vector<std::string> n;
        for (const Row &r : rows) n.push_back(r.name);
        return n;
    }

    qnst_inoderec &dir_ = ino_;
};

TEST_F(FolderTest, EntriesAreStoredByteForByte) {
    ASSERT_EQ(0, add("ab", 5, 7, 0x1234));
    ASSERT_EQ(0, add("", 2, 1, 9));
    ASSERT_EQ(0, del("", 6));
    ASSERT_EQ(0, add("x", 1, 2, 3, nullptr));
    qnst_inoderec other{};
    ASSERT_EQ(0, qnst_inode_open(&other, &m_, nullptr, kOther));
    ASSERT_EQ(0, add("a", 4, 1, 1, &other));
    // Folder LE, '6', namelen BE, name, -cver BE | dver LE, type LE, cino LE.
    const std::vector<std::pair<std::string, std::string>> want = {
        {"2000001036" "00000000" "fffffffe", "06000000" "01000000" "09000000"},
        {"2000001036" "00000001" "78" "ffffffff", "f0ffff7f" "02000000" "03000000"},
        {"2000001036" "00000002" "6162" "fffffffb", "f0ffff7f" "07000000" "34120000"},
        {"2100001036" "00000001" "61" "fffffffc", "f0ffff7f" "01000000" "01000000"},
    };
    EXPECT_EQ(want, all_records(m_.tables[1].folders));
    EXPECT_TRUE(all_records(m_.tables[0].folders).empty());
}

TEST_F(FolderTest, VisibilityAcrossVersions) {
    // "a": [3, 5) then [8, live); "b": [5, 9).
    ASSERT_EQ(0, add("a", 3, 1, 30));
    ASSERT_EQ(0, del("a", 5));
    ASSERT_EQ(0, add("a", 8, 2, 80));
    ASSERT_EQ(0, add("b", 5, 1, 50));
    ASSERT_EQ(0, del("b", 9));
    struct Case {
        std::string name;
        uint32_t ver;
        int rc;
        uint32_t cver, dver, cino;
    };
    const Case cases[] = {
        {"a", 2, QNST_ENOENTRY, 0, 0, 0}, {"a", 3, 0, 3, 5, 30},
        {"a", 4, 0, 3, 5, 30},            {"a", 5, QNST_ENOENTRY, 0, 0, 0},
        {"a", 7, QNST_ENOENTRY, 0, 0, 0}, {"a", 8, 0, 8, kLive, 80},
        {"a", 0x7fffffef, 0, 8, kLive, 80}, {"a", kLive, QNST_ENOENTRY, 0, 0, 0},
        {"b", 4, QNST_ENOENTRY, 0, 0, 0}, {"b", 7, 0, 5, 9, 50},
        {"b", 9, QNST_ENOENTRY, 0, 0, 0}, {"c", 7, QNST_ENOENTRY, 0, 0, 0},
        // No version 0 or below: nothing is visible there.
        {"a", 0, QNST_ENOENTRY, 0, 0, 0}, {"a", 0xfffffffb, QNST_ENOENTRY, 0, 0, 0},
    };
    env_.mark_log();
    for (const Case &c : cases) {
        const Found f = lookup(c.name, c.ver);
        EXPECT_EQ(c.rc, f.rc) << c.name << "@" << c.ver;
        if (f.rc == 0) {
            EXPECT_EQ(std::tie(c.cver, c.dver, c.cino), std::tie(f.cver, f.dver, f.cino))
                << c.name << "@" << c.ver;
        }
    }
    EXPECT_TRUE(env_.error_lines().empty());  // an absent name is an answer, not a failure

    const std::pair<int32_t, std::vector<std::string>> walks[] = {
        {0, {"b", "a", "a"}},  // versions of one name oldest first
        {4, {"a"}},
        {5, {"b"}},
        {7, {"b"}},
        {8, {"b", "a"}},
        {9, {"a"}},
        {-4, {"b", "a", "a"}},  // b created after 4; a deleted at 5 and recreated at 8
        {-5, {"b", "a"}},       // b deleted at 9; a created at 8
        {-8, {"b"}},
        {-9, {}},
    };
    for (const auto &[ver, want] : walks) EXPECT_EQ(want, names(walk(ver))) << ver;
    EXPECT_EQ((Row{"a", 3, 5, 1, 30}), walk(-4)[1]);
}

TEST_F(FolderTest, DeleteEndsOrRemovesTheEntry) {
    ASSERT_EQ(0, add("a", 5));
    ASSERT_EQ(0, add("n", 9));
    ASSERT_EQ(0, del("n", 9));  // created and deleted in one version: gone
    ASSERT_EQ(0, del("a", 9));
    EXPECT_EQ((std::vector<Row>{{"a", 5, 9, 1, 100}}), walk(0));
    // Only what is visible at the version can be deleted, and the child must match.
    env_.mark_log();
    EXPECT_EQ(QNST_ENOENTRY, del("a", 9));
    EXPECT_EQ(QNST_ENOENTRY, del("a", 4));
    EXPECT_EQ(QNST_ENOENTRY, del("a", 7, 101));
    EXPECT_EQ(3u, env_.error_lines().size());
    expect_code_lines(env_.error_lines(), {{kSource, QNST_ENOENTRY},
                                           {kSource, QNST_ENOENTRY},
                                           {kSource, QNST_ENOENTRY}});
    EXPECT_EQ(0, del("a", 7, 100));
    EXPECT_EQ((std::vector<Row>{{"a", 5, 7, 1, 100}}), walk(0));
    EXPECT_EQ(0, purge("a", 5));
    EXPECT_TRUE(walk(0).empty());
    env_.mark_log();
    EXPECT_EQ(DB_NOTFOUND, purge("a", 5));
    expect_code_lines(env_.error_lines(), {{kSource, DB_NOTFOUND}});
}

TEST_F(FolderTest, LookupByChildStepsToOlderVersions) {
    // Two live versions of one name (a link re-added at 8 while the one of 3 stays).
    ASSERT_EQ(0, add("a", 3, 1, 30));
    ASSERT_EQ(0, add("a", 8, 1, 80));
    const std::tuple<uint32_t, uint32_t, int, uint32_t> cases[] = {
        // ver, cino asked, result, cver found
        {9, 0, 0, 8},  {9, 80, 0, 8}, {9, 30, 0, 3},
        {9, 31, QNST_ENOENTRY, 0}, {5, 80, QNST_ENOENTRY, 0}, {5, 30, 0, 3},
    };
    for (const auto &[ver, cino, rc, cver] : cases) {
        const Found f = lookup("a", ver, cino);
        EXPECT_EQ(rc, f.rc) << ver << "/" << cino;
        if (rc == 0) {
            EXPECT_EQ(cver, f.cver) << ver << "/" << cino;
        }
    }
    // An ended newest version hides the older ones, whatever their child.
    ASSERT_EQ(0, del("a", 9, 80));
    EXPECT_EQ(QNST_ENOENTRY, lookup("a", 10, 30).rc);
}

TEST_F(FolderTest, ListingOrderLongerNamesFirstThenDescendingBytes) {
    for (const std::string &n : {std::string("a"), std::string("b"), std::string("bb"),
                                 std::string("ab"), std::string(), std::string("\xff"),
                                 std::string("B"), std::string("a\0", 2)})
        ASSERT_EQ(0, add(n, 4));
    ASSERT_EQ(0, add("b", 2));
    const std::vector<Row> rows = walk(0);
    const std::vector<std::string> want = {"bb", "ab", std::string("a\0", 2), "\xff", "b", "b",
                                           "a",  "B",  ""};
    EXPECT_EQ(want, names(rows));
    EXPECT_EQ(2u, rows[4].cver);  // "b" of version 2 before "b" of version 4
    // Resuming from every entry in turn gives the same listing.
    EXPECT_EQ(rows, walk(0, 1));
    EXPECT_EQ(rows, walk(0, 3));
}

TEST_F(FolderTest, ResumeAfterAVanishedEntryAndAcrossFolders) {
    qnst_inoderec other{};
    ASSERT_EQ(0, qnst_inode_open(&other, &m_, nullptr, kOther));
    ASSERT_EQ(0, add("zz", 1, 1, 1, &other));  // sorts right after every entry of kDir
    for (const char *n : {"a", "b", "c"}) ASSERT_EQ(0, add(n, 3));
    auto page = [&](const std::string &cookie, uint32_t cver) {
        std::vector<std::string> got;
        EXPECT_EQ(0,
                  txn([&](DB_TXN *x) {
                      DBC *c = nullptr;
                      char name[QNST_DIR_MAXNAME];
                      uint32_t cv = 0, dv, len, type, cino;
                      int rc = qnst_dir_walk_v2(&dir_, x, 0, &c, &cv, &dv, name, &len, &type,
                                                &cino, cookie.data(), uint32_t(cookie.size()),
                                                cver);
                      while (rc == 0 && cv) {
                          got.emplace_back(name, len);
                          rc = qnst_dir_next(&dir_, c, 0, &cv, &dv, name, &len, &type, &cino);
                      }
                      qnst_dir_done(&dir_, c);
                      return rc;
                  }));
        return got;
    };
    EXPECT_EQ((std::vector<std::string>{"b", "a"}), page("c", 3));
    ASSERT_EQ(0, purge("b", 3));
    EXPECT_EQ((std::vector<std::string>{"a"}), page("b", 3));    // the cookie's entry is gone
    EXPECT_EQ((std::vector<std::string>{"c", "a"}), page("c", 1));  // between versions of c
    EXPECT_EQ((std::vector<std::string>{}), page("a", 3));
    EXPECT_EQ((std::vector<std::string>{"c", "a"}), page("zzz", 1));  // beyond every name
    EXPECT_EQ((std::vector<std::string>{"zz"}), names(walk(0, 0, &other)));
}

TEST_F(FolderTest, NameLengthLimitOnEveryCall) {
    const std::string longest(QNST_DIR_MAXNAME, 'n');
    const std::string too_long(QNST_DIR_MAXNAME + 1, 'n');
    ASSERT_EQ(0, add(longest, 3, 1, 5));
    EXPECT_EQ(5u, lookup(longest, 3).cino);
    EXPECT_EQ((std::vector<Row>{{longest, 3, kLive, 1, 5}}), walk(3));
    EXPECT_EQ((std::vector<Row>{{longest, 3, kLive, 1, 5}}), walk(3, 1));

    env_.mark_log();
    const auto before = all_records(m_.tables[1].folders);
    EXPECT_EQ(ENOSPC, add(too_long, 3));
    EXPECT_EQ(ENOSPC, lookup(too_long, 3).rc);
    EXPECT_EQ(ENOSPC, del(too_long, 4));
    EXPECT_EQ(ENOSPC, purge(too_long, 3));
    EXPECT_EQ(ENOSPC, rename(longest, too_long));
    EXPECT_EQ(ENOSPC, rename(too_long, "x"));
    EXPECT_EQ(ENOSPC, rename(too_long, too_long + "more"));
    EXPECT_EQ(ENOSPC,
              txn([&](DB_TXN *x) {
                  DBC *c = nullptr;
                  char name[QNST_DIR_MAXNAME];
                  uint32_t cv = 0, dv, len, type, cino;
                  const int rc = qnst_dir_walk_v2(&dir_, x, 0, &c, &cv, &dv, name, &len, &type,
                                                  &cino, too_long.data(),
                                                  uint32_t(too_long.size()), 3);
                  EXPECT_EQ(c, nullptr);
                  return rc;
              }));
    EXPECT_EQ(before, all_records(m_.tables[1].folders));
    EXPECT_TRUE(env_.error_lines().empty());

    EXPECT_EQ(0, rename(longest, "short"));
    EXPECT_EQ(0, rename("short", longest));
    EXPECT_EQ(0, del(longest, 4));
    EXPECT_EQ(0, purge(longest, 3));
}

TEST_F(FolderTest, BadArgumentsAreRefused) {
    EXPECT_EQ(EINVAL, add("a", 0));  // would read as the end of a listing
    EXPECT_EQ(EINVAL, add("a", kLive));
    EXPECT_EQ(EINVAL, add("a", 0x80000001u));
    EXPECT_EQ(EINVAL,
              txn([&](DB_TXN *x) { return qnst_dir_add(&dir_, x, nullptr, 3, 1, 1, 1); }));
    qnst_inoderec closed{};
    ASSERT_EQ(0, qnst_inode_open(&closed, &m_, nullptr, 0x10000030));
    ASSERT_EQ(0, qnst_misc_inode_init(&closed, 1));
    ASSERT_EQ(0, qnst_inode_close(&closed));  // misc mode: no folder database any more
    EXPECT_EQ(EINVAL, add("a", 1, 1, 1, &closed));
    EXPECT_TRUE(all_records(m_.tables[1].folders).empty());
}

TEST_F(FolderTest, DamagedEntriesAreReported) {
    auto walk_rc = [&] {
        return txn([&](DB_TXN *x) {
            DBC *c = nullptr;
            char name[QNST_DIR_MAXNAME];
            uint32_t cv, dv, len, type, cino;
            const int rc = qnst_dir_walk(&dir_, x, 0, &c, &cv, &dv, name, &len, &type, &cino);
            EXPECT_EQ(nullptr, c);
            return rc;
        });
    };
    // An entry "d" of version 3, written raw: with short data, then with a key whose name
    // length field disagrees with its size.
    std::string key(14, '\0');
    auto *k = reinterpret_cast<uint8_t *>(key.data());
    qnst::store_le32(k, kDir);
    k[4] = '6';
    qnst::store_be32(k + 5, 1);
    k[9] = 'd';
    qnst::store_neg_version(k + 10, 3);
    const std::pair<uint32_t, uint32_t> damages[] = {{1, 8}, {2, 12}};  // namelen, data size
    for (const auto &[namelen, datasize] : damages) {
        qnst::store_be32(k + 5, namelen);
        std::string data(datasize, '\0');
        DBT kd = qnst::user_dbt(key.data(), uint32_t(key.size()));
        DBT dd = qnst::user_dbt(data.data(), uint32_t(data.size()));
        ASSERT_EQ(0, dir_.folder_db->put(dir_.folder_db, nullptr, &kd, &dd, 0));
        env_.mark_log();
        EXPECT_EQ(EIO, walk_rc()) << namelen;
        if (namelen == 1) {
            EXPECT_EQ(EIO, lookup("d", 3).rc);
        }
        EXPECT_EQ(namelen == 1 ? 2u : 1u, env_.error_lines().size());
        ASSERT_EQ(0, dir_.folder_db->del(dir_.folder_db, nullptr, &kd, 0));
    }
}

TEST_F(FolderTest, RenameMovesTheLiveEntryOnly) {
    ASSERT_EQ(0, add("old", 2, 1, 20));
    ASSERT_EQ(0, del("old", 4));
    ASSERT_EQ(0, add("old", 6, 3, 60));
    ASSERT_EQ(0, add("dst", 6, 1, 99));
    env_.mark_log();
    EXPECT_EQ(DB_KEYEXIST, rename("old", "dst"));
    expect_code_lines(env_.error_lines(), {{kSource, DB_KEYEXIST}});
    // The caller aborts; nothing moved.
    EXPECT_EQ((std::vector<std::string>{"old", "old", "dst"}), names(walk(0)));

    EXPECT_EQ(0, rename("old", "new"));
    EXPECT_EQ((std::vector<Row>{{"old", 2, 4, 1, 20},
                                         {"new", 6, kLive, 3, 60},
                                         {"dst", 6, kLive, 1, 99}}), walk(0));
    EXPECT_EQ(0, rename("new", "dst", 1));
    EXPECT_EQ((std::vector<Row>{{"old", 2, 4, 1, 20}, {"dst", 6, kLive, 3, 60}}), walk(0));
    env_.mark_log();
    EXPECT_EQ(QNST_ENOENTRY, rename("old", "x"));  // only a deleted version is left
    expect_code_lines(env_.error_lines(), {{kSource, QNST_ENOENTRY}});
}

TEST_F(FolderTest, MiscFolderSharesItsDatabaseWithOtherRecords) {
    qnst_inoderec misc{};
    ASSERT_EQ(0, qnst_inode_open(&misc, &m_, nullptr, 0x10000040));
    ASSERT_EQ(0, qnst_misc_inode_init(&misc, 1));
    // Records of other kinds on both sides of the entries: usage before, and after them a
    // record whose key and data are larger than any entry's.
    ASSERT_EQ(0,
              txn([&](DB_TXN *x) {
                  return qnst_inode_usage_set(&misc, x, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
              }));
    std::string big_key(3000, 'k');
    qnst::store_le32(reinterpret_cast<uint8_t *>(big_key.data()), 0x10000040);
    big_key[4] = '9';
    std::string big_data(200, 'd');
    DBT key = qnst::user_dbt(big_key.data(), uint32_t(big_key.size()));
    DBT data = qnst::user_dbt(big_data.data(), uint32_t(big_data.size()));
    ASSERT_EQ(0, misc.own_db->put(misc.own_db, nullptr, &key, &data, 0));

    EXPECT_TRUE(walk(0, 0, &misc).empty());
    for (const char *n : {"a", "bb"}) ASSERT_EQ(0, add(n, 2, 1, 7, &misc));
    EXPECT_EQ((std::vector<std::string>{"bb", "a"}), names(walk(0, 0, &misc)));
    EXPECT_EQ((std::vector<std::string>{"bb", "a"}), names(walk(2, 1, &misc)));
    EXPECT_TRUE(all_records(m_.tables[1].folders).empty());
    qnst_inode_close(&misc);
}

// A long random run of adds, deletes, renames and purges at rising versions against a model of
// [cver, dver) intervals. Renames and adds keep one live entry per name, as the server does.
TEST_F(FolderTest, RandomHistoryAgreesWithModel) {
    struct Interval {
        uint32_t cver, dver, type, cino;
    };
    std::map<std::string, std::vector<Interval>> model;  // intervals of a name, oldest first
    const std::vector<std::string> universe = {"", "a", "b", "ab", "ba", "abc", "zz", "q"};
    std::mt19937 rng(20261210);
    auto pick = [&](size_t n) { return size_t(rng() % n); };
    uint32_t ver = 1;
    uint32_t next_cino = 1000;

    auto live_of = [&](const std::string &n) -> Interval * {
        auto it = model.find(n);
        if (it == model.end() || it->second.empty() || it->second.back().dver != kLive)
            return nullptr;
        return &it->second.back();
    };
    auto check = [&] {
        ASSERT_EQ(0,
                  txn([&](DB_TXN *x) {
                      for (const std::string &n : universe) {
                          for (uint32_t v = 1; v <= ver; ++v) {
                              const Interval *want = nullptr;
                              for (const Interval &i : model[n])
                                  if (i.cver <= v && v < i.dver) want = &i;
                              const Found f = lookup_in(x, n, v);
                              if (!want) {
                                  EXPECT_EQ(f.rc, QNST_ENOENTRY) << n << "@" << v;
                                  continue;
                              }
                              EXPECT_EQ(f.rc, 0) << n << "@" << v;
                              EXPECT_EQ(std::tie(f.cver, f.dver, f.type, f.cino),
                                        std::tie(want->cver, want->dver, want->type, want->cino))
                                  << n << "@" << v;
                          }
                      }
                      // Listings at every version seen, both ways, and of everything.
                      for (int32_t v = -int32_t(ver); v <= int32_t(ver); ++v) {
                          std::vector<std::tuple<uint32_t, std::string, uint32_t>> want;
                          for (const auto &[n, list] : model)
                              for (const Interval &i : list) {
                                  const auto c = int32_t(i.cver), d = int32_t(i.dver);
                                  const bool in = v == 0  ? true
                                                  : v > 0 ? c <= v && v < d
                                                          : c > -v || (i.dver != kLive && d > -v);
                                  if (in) want.emplace_back(uint32_t(n.size()), n, ~i.cver);
                              }
                          std::sort(want.rbegin(), want.rend());  // longer, higher, older first
                          const std::vector<Row> rows = walk_in(x, v);
                          EXPECT_EQ(rows.size(), want.size()) << v;
                          for (size_t k = 0; k < std::min(rows.size(), want.size()); ++k) {
                              EXPECT_EQ(rows[k].name, std::get<1>(want[k])) << v;
                              EXPECT_EQ(rows[k].cver, ~std::get<2>(want[k])) << v;
                          }
                      }
                      return 0;
                  }));
    };

    for (int stepno = 0; stepno < 300 && !HasFailure(); ++stepno) {
        if (pick(4) == 0) ++ver;
        const std::string &n = universe[pick(universe.size())];
        const int op = int(pick(10));
        Interval *live = live_of(n);
        if (op < 4) {
            if (live) continue;
            const uint32_t type = uint32_t(pick(3)), cino = next_cino++;
            // A name deleted in this very version comes back as a new interval.
            ASSERT_EQ(0, add(n, ver, type, cino));
            model[n].push_back({ver, kLive, type, cino});
        } else if (op < 7) {
            ASSERT_EQ(live ? 0 : QNST_ENOENTRY, del(n, ver));
            if (live && live->cver == ver) {
                model[n].pop_back();
            } else if (live) {
                live->dver = ver;
            }
        } else if (op < 8) {
            const std::string &to = universe[pick(universe.size())];
            if (!live || !model[to].empty()) continue;
            ASSERT_EQ(0, rename(n, to));
            model[to].push_back(*live);
            model[n].pop_back();
        } else if (op < 9) {
            if (model[n].empty()) continue;
            const size_t k = pick(model[n].size());
            ASSERT_EQ(0, purge(n, model[n][k].cver));
            model[n].erase(model[n].begin() + long(k));
        } else {
            // An aborted change leaves nothing behind.
            ASSERT_EQ(QNST_RETRY,
                      with_txn(dbenv(), [&](DB_TXN *x) {
                          const int rc = qnst_dir_add(&dir_, x, n.data(), uint32_t(n.size()),
                                                      ver, 9, 9);
                          return rc ? rc : QNST_RETRY;
                      }));
        }
        check();
    }
    EXPECT_GT(ver, 40u);
}

}  // namespace
