// The ACL store: records on disk, handles, reference counting to deletion, and refused input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "inode_fixture.hpp"
#include "qnst_aclsis.h"

namespace {

using namespace qnst::testing;

constexpr char kSource[] = "qnst/aclsis/qnst_aclsis";

std::string handle_hex(uint64_t h) {
    uint8_t b[8];
    qnst::store_le64(b, h);
    return hex(b, 8);
}

class AclStore : public ::testing::Test {
protected:
    void SetUp() override { open(); }
    void TearDown() override { qnst_aclsis_close(&s_); }

    void open() {
        ASSERT_EQ(0, qnst_aclsis_create(&s_, env_.dbenv()));
        ASSERT_EQ(0, qnst_aclsis_open(&s_, "acl.db", 1));
    }
    int txn(const std::function<int(DB_TXN *)> &body) { return with_txn(env_.dbenv(), body); }

    uint64_t store(const std::string &hash, const std::string &acl) {
        uint64_t h = 0;
        EXPECT_EQ(0, txn([&](DB_TXN *t) {
                      return qnst_acl_store(&s_, t, hash.data(), hash.size(), acl.data(),
                                            static_cast<int32_t>(acl.size()), &h);
                  }));
        return h;
    }
    uint64_t lookup(const std::string &hash) {
        uint64_t h = 77;
        EXPECT_EQ(0, txn([&](DB_TXN *t) {
                      return qnst_acl_lookup(&s_, t, hash.data(), hash.size(), &h);
                  }));
        return h;
    }
    // The three records of an ACL, raw: "id_ref", "id_df" and the hash's "hash_id" entry.
    std::vector<std::string> records(uint64_t h, const std::string &hash) {
        uint8_t k[8];
        qnst::store_le64(k, h);
        return {raw_record(s_.refdb, k, 8), raw_record(s_.objdb, k, 8),
                raw_record(s_.hashdb, hash.data(), hash.size())};
    }
    void put_raw(DB *db, uint64_t h, const std::string &bytes) {
        uint8_t k[8];
        qnst::store_le64(k, h);
        DBT key = qnst::user_dbt(k, 8);
        DBT data = qnst::user_dbt(const_cast<char *>(bytes.data()), bytes.size());
        ASSERT_EQ(0, db->put(db, nullptr, &key, &data, 0));
    }

    TempEnv env_;
    qnst_aclsisrec s_{};
};

TEST_F(AclStore, HandleIsTheWholeRecordShape) { EXPECT_EQ(48u, sizeof(qnst_aclsisrec)); }

TEST_F(AclStore, StoreWritesThreeRecordsByteForByte) {
    const std::string hash(20, 'h');
    std::string acl(100, '\0');
    for (size_t i = 0; i < acl.size(); ++i) acl[i] = static_cast<char>(i);
    const uint64_t h = store(hash, acl);
    EXPECT_EQ(3u, h);  // the first handle of a fresh store

    const auto r = records(h, hash);
    EXPECT_EQ("01000000", r[0]);
    EXPECT_EQ("14000000" "64000000" + hex(hash.data(), 20) + hex(acl.data(), 100), r[1]);
    EXPECT_EQ(128u * 2, r[1].size());
    EXPECT_EQ(handle_hex(3), r[2]);
    EXPECT_EQ(3u, lookup(hash));

    // The sequence keeps its own record under the 4-byte key 1.
    const std::string dump = run_utility(std::string(kDbDump) + " -h " + env_.home().string() +
                                         " -s seq acl.db 2>&1");
    EXPECT_NE(std::string::npos, dump.find("\n 01000000\n")) << dump;

    const void *hp = nullptr, *ap = nullptr;
    uint32_t hl = 0, al = 0;
    void *buf = nullptr;
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_acl_read(&s_, t, h, &hp, &hl, &ap, &al, &buf); }));
    EXPECT_EQ(hash, std::string(static_cast<const char *>(hp), hl));
    EXPECT_EQ(acl, std::string(static_cast<const char *>(ap), al));
    EXPECT_EQ(0, qnst_acl_datafree(buf));
    EXPECT_TRUE(env_.error_lines().empty());
}

TEST_F(AclStore, ReleaseOfTheLastReferenceDeletesAllThreeRecords) {
    const std::string hash = "hash-A";
    const uint64_t h = store(hash, "acl-bytes");
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_acl_hold(&s_, t, h); }));
    EXPECT_EQ("02000000", records(h, hash)[0]);
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_acl_rele(&s_, t, h); }));
    EXPECT_EQ("01000000", records(h, hash)[0]);
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_acl_rele(&s_, t, h); }));
    EXPECT_EQ((std::vector<std::string>{"none", "none", "none"}), records(h, hash));
    EXPECT_EQ(0u, lookup(hash));
    EXPECT_TRUE(env_.error_lines().empty());

    // The handle is gone for good: holding or releasing it fails, and a new store of the same
    // ACL gets a new handle, also after the store is reopened.
    EXPECT_EQ(DB_NOTFOUND, txn([&](DB_TXN *t) { return qnst_acl_hold(&s_, t, h); }));
    EXPECT_EQ(DB_NOTFOUND, txn([&](DB_TXN *t) { return qnst_acl_rele(&s_, t, h); }));
    expect_code_lines(env_.error_lines(), {{kSource, DB_NOTFOUND}, {kSource, DB_NOTFOUND}});
    const uint64_t again = store(hash, "acl-bytes");
    EXPECT_GT(again, h);
    qnst_aclsis_close(&s_);
    open();
    EXPECT_GT(store("hash-B", "x"), again);
}

TEST_F(AclStore, RefusedInputWritesNothingAndTakesNoHandle) {
    const std::string hash = "hash";
    const char acl[4] = {1, 2, 3, 4};
    struct Case {
        const char *what;
        uint32_t hashlen;
        const void *acl;
        int32_t acllen;
    } cases[] = {
        {"negative length", 4, acl, -1},
        {"most negative length", 4, acl, INT32_MIN},
        {"record beyond 32 bits", UINT32_MAX - 8, acl, 4},
        {"null ACL with a length", 4, nullptr, 4},
    };
    for (const Case &c : cases) {
        env_.mark_log();
        uint64_t h = 99;
        EXPECT_EQ(EINVAL, txn([&](DB_TXN *t) {
                      return qnst_acl_store(&s_, t, hash.data(), c.hashlen, c.acl, c.acllen, &h);
                  }))
            << c.what;
        EXPECT_EQ(99u, h) << c.what;
        expect_code_lines(env_.error_lines(), {{kSource, EINVAL}});
    }
    EXPECT_EQ(0u, lookup(hash));
    EXPECT_EQ(3u, store(hash, std::string(acl, 4)));  // no handle was used up
}

TEST_F(AclStore, StoringAStoredHashFailsAndLeavesNothingBehind) {
    const uint64_t first = store("same", "one");
    uint64_t second = 0;
    EXPECT_EQ(DB_KEYEXIST, txn([&](DB_TXN *t) {
                  return qnst_acl_store(&s_, t, "same", 4, "two", 3, &second);
              }));
    expect_code_lines(env_.error_lines(), {{kSource, DB_KEYEXIST}});
    EXPECT_EQ(first, lookup("same"));
    EXPECT_EQ((std::vector<std::string>{"none", "none", handle_hex(first)}), records(second, "same"));
}

TEST_F(AclStore, ReadOfAnUnknownHandleIsNotLogged) {
    void *buf = nullptr;
    const void *hp = nullptr, *ap = nullptr;
    uint32_t hl = 0, al = 0;
    EXPECT_EQ(DB_NOTFOUND,
              txn([&](DB_TXN *t) { return qnst_acl_read(&s_, t, 1234, &hp, &hl, &ap, &al, &buf); }));
    EXPECT_EQ(nullptr, buf);
    EXPECT_TRUE(env_.error_lines().empty());
}

TEST_F(AclStore, DamagedRecordsAreRefusedNotTrusted) {
    struct Case {
        const char *what;
        bool object;  // damage the object record, else the count
        std::string bytes;
        int read, hold, rele;  // expected codes; 0: not tried
    } cases[] = {
        // Lengths that would place the ACL pointer outside the buffer.
        {"acllen beyond the record", true, std::string("\x04\0\0\0\xff\0\0\0hashacl", 15),
         EIO, 0, EIO},
        {"shorter than its lengths", true, std::string("\x04\0\0", 3), EIO, 0, EIO},
        {"count already 0", false, std::string(4, '\0'), 0, 0, EINVAL},
        {"count at its largest", false, std::string(4, '\xff'), 0, ENOSPC, 0},
        {"count of 2 bytes", false, std::string(2, '\1'), 0, EIO, EIO},
    };
    int n = 0;
    for (const Case &c : cases) {
        const std::string hash = "hash" + std::to_string(n++);
        const uint64_t h = store(hash, "acl");
        put_raw(c.object ? s_.objdb : s_.refdb, h, c.bytes);
        void *buf = nullptr;
        const void *hp = nullptr, *ap = nullptr;
        uint32_t hl = 0, al = 0;
        if (c.read) {
            EXPECT_EQ(c.read, txn([&](DB_TXN *t) {
                          return qnst_acl_read(&s_, t, h, &hp, &hl, &ap, &al, &buf);
                      })) << c.what;
        }
        EXPECT_EQ(nullptr, buf) << c.what;
        if (c.hold) {
            EXPECT_EQ(c.hold, txn([&](DB_TXN *t) { return qnst_acl_hold(&s_, t, h); })) << c.what;
        }
        if (c.rele) {
            EXPECT_EQ(c.rele, txn([&](DB_TXN *t) { return qnst_acl_rele(&s_, t, h); })) << c.what;
        }
        EXPECT_EQ(hex(c.bytes.data(), c.bytes.size()), records(h, hash)[c.object ? 1 : 0])
            << c.what << ": left as it was";
        EXPECT_EQ(h, lookup(hash)) << c.what;
    }
}

TEST(AclStoreLifecycle, OpenOfAStoreNeverCreatedIsRefused) {
    TempEnv env;
    qnst_aclsisrec s{};
    s.env = env.dbenv();
    EXPECT_EQ(EINVAL, qnst_aclsis_open(&s, "acl.db", 0));
    uint64_t h = 0;
    EXPECT_EQ(EINVAL, qnst_acl_gen_handle(&s, &h));
    EXPECT_EQ(0, qnst_aclsis_close(&s));

    ASSERT_EQ(0, qnst_aclsis_create(&s, env.dbenv()));
    ASSERT_EQ(0, qnst_aclsis_open(&s, "acl.db", 0));
    EXPECT_EQ(0, qnst_aclsis_close(&s));
    EXPECT_EQ(0, qnst_aclsis_close(&s));  // a second close finds nothing to do
    EXPECT_EQ(0, qnst_aclsis_remove(env.dbenv(), "acl.db"));
    EXPECT_FALSE(std::filesystem::exists(env.file("acl.db")));
}

TEST(AclStoreLifecycle, CallsOnAStoreNotOpenedAreRefused) {
    // Created but never opened: the database handles exist, the tables do not.
    TempEnv env;
    qnst_aclsisrec s{};
    ASSERT_EQ(0, qnst_aclsis_create(&s, env.dbenv()));
    uint64_t h = 0;
    const void *hp = nullptr, *ap = nullptr;
    uint32_t hl = 0, al = 0;
    void *buf = nullptr;
    const struct {
        const char *what;
        std::function<int()> call;
    } cases[] = {
        {"store", [&] { return qnst_acl_store(&s, nullptr, "h", 1, "a", 1, &h); }},
        {"lookup", [&] { return qnst_acl_lookup(&s, nullptr, "h", 1, &h); }},
        {"read", [&] { return qnst_acl_read(&s, nullptr, 3, &hp, &hl, &ap, &al, &buf); }},
        {"hold", [&] { return qnst_acl_hold(&s, nullptr, 3); }},
        {"rele", [&] { return qnst_acl_rele(&s, nullptr, 3); }},
    };
    for (const auto &c : cases) {
        env.mark_log();
        EXPECT_EQ(EINVAL, c.call()) << c.what;
        expect_code_lines(env.error_lines(), {{kSource, EINVAL}});
    }
    EXPECT_EQ(nullptr, buf);
    qnst_aclsis_close(&s);
}

}  // namespace
