// Error log, registry lists, record buffers and the printable encoding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qnst_internal.hpp"
#include "qnst_log.hpp"
#include "qnst_testing.hpp"

QNST_SOURCE("qnst/bdb/bdb_test");

namespace {

using qnst::testing::expect_log_entries;
using qnst::testing::TempEnv;

TEST(ErrorLog, EntryPrefixHasTheFixedStampFormat) {
    std::tm tm{};
    tm.tm_year = 2018 - 1900;
    tm.tm_mon = 2;
    tm.tm_mday = 7;
    tm.tm_hour = 9;
    tm.tm_min = 5;
    tm.tm_sec = 3;
    char buf[128];
    qnst::format_entry_prefix(buf, sizeof buf, tm, "qnst/blksis/qnst_sis", 42);
    EXPECT_STREQ("[2018-03-07 09:05:03,000] [Error] At qnst/blksis/qnst_sis:42: ", buf);
}

TEST(ErrorLog, CodeAndMessageEntriesAreWholeLines) {
    TempEnv env;
    EXPECT_EQ(DB_NOTFOUND, QNST_FAIL(env.dbenv(), DB_NOTFOUND));
    QNST_MSG(env.dbenv(), "block %d of %s", 7, "p1");
    expect_log_entries(env.error_lines(), {{"qnst/bdb/bdb_test", "code -30988"},
                                           {"qnst/bdb/bdb_test", "error:block 7 of p1"}});
}

TEST(ErrorLog, ExemptCodesAndSuccessWriteNothing) {
    TempEnv env;
    for (int code : {0, DB_LOCK_DEADLOCK, DB_LOCK_NOTGRANTED, QNST_HASH_EXISTS, QNST_RETRY})
        EXPECT_EQ(code, QNST_FAIL(env.dbenv(), code));
    EXPECT_TRUE(env.error_lines().empty());
}

TEST(ErrorLog, WithoutAnErrorFileTheWritersDoNothing) {
    // An environment whose error file could not be opened, and a bare handle with no sink.
    qnst::testing::TempDir dir;
    qnst_bdb_init();
    qnst_envrec env;
    ASSERT_EQ(0, qnst_env_create(&env, 0));
    const std::string missing = dir.file("no/such/dir/error.log");
    ASSERT_EQ(0, qnst_env_open(&env, dir.path().c_str(), nullptr, missing.c_str(), 0, 0, 0, 0, 0,
                               0, 0, 4u << 20, 0, 0, 1, 0));
    EXPECT_EQ(nullptr, qnst::errsink_of(env.dbenv)->fp);
    EXPECT_EQ(DB_NOTFOUND, QNST_FAIL(env.dbenv, DB_NOTFOUND));
    QNST_MSG(env.dbenv, "%s", "nowhere");
    qnst_env_close(&env);

    DB_ENV *bare = nullptr;
    ASSERT_EQ(0, db_env_create(&bare, 0));
    QNST_FAIL(bare, EINVAL);
    QNST_MSG(bare, "nowhere either");
    bare->close(bare, 0);
}

struct Member {
    qnst_listlink link;
    uint64_t id;
};

TEST(RegistryList, AppendRemoveAndIdentifierScan) {
    qnst_list list;
    ASSERT_EQ(0, qnst_list_init(&list));
    EXPECT_EQ(&list, list.self);
    Member a{{}, 5}, b{{}, 7}, c{{}, 9};
    EXPECT_EQ(0, qnst_list_checkid(&list, 0));
    for (Member *m : {&a, &b, &c}) EXPECT_EQ(0, qnst_list_append(&list, m));
    EXPECT_EQ(3u, qnst_list_count(&list));
    EXPECT_EQ(&list, a.link.prev);
    EXPECT_EQ(EBUSY, qnst_list_checkid(&list, 0));
    EXPECT_EQ(EBUSY, qnst_list_checkid(&list, 7));
    EXPECT_EQ(0, qnst_list_checkid(&list, 8));

    EXPECT_EQ(0, qnst_list_remove(&c));  // the tail
    EXPECT_EQ(&b, list.last);
    EXPECT_EQ(0, qnst_list_remove(&a));  // the head
    EXPECT_EQ(&b, list.first);
    EXPECT_EQ(&list, b.link.prev);
    EXPECT_EQ(1, qnst_list_remove(&a));  // no longer in a list: nothing changes
    EXPECT_EQ(1u, qnst_list_count(&list));
    EXPECT_EQ(0, qnst_list_remove(&b));
    EXPECT_EQ(nullptr, list.first);
    EXPECT_EQ(nullptr, list.last);
    EXPECT_EQ(0, qnst_list_checkid(&list, 0));
    qnst_list_destroy(&list);
}

TEST(RecordBuffer, ReadLongerThanTheBufferFailsWithBufferSmall) {
    TempEnv env;
    DB *db = nullptr;
    ASSERT_EQ(0, db_create(&db, env.dbenv(), 0));
    ASSERT_EQ(0, db->open(db, nullptr, "t.db", nullptr, DB_BTREE, DB_CREATE | DB_AUTO_COMMIT | DB_THREAD, 0));
    uint32_t k = 1;
    char twelve[12] = "0123456789a";
    DBT key = qnst::user_dbt(&k, sizeof k);
    DBT data = qnst::user_dbt(twelve, sizeof twelve);
    ASSERT_EQ(0, db->put(db, nullptr, &key, &data, 0));
    char eight[8];
    DBT small = qnst::user_dbt(eight, 0, sizeof eight);
    EXPECT_EQ(DB_BUFFER_SMALL, db->get(db, nullptr, &key, &small, 0));
    EXPECT_EQ(12u, small.size);
    EXPECT_EQ(static_cast<uint32_t>(DB_DBT_USERMEM), small.flags);
    db->close(db, 0);
}

TEST(ByteOrder, RevcopyTurnsAnIntegerIntoABigEndianKeyField) {
    const uint64_t three = 3;
    uint8_t out[6];
    qnst_revcopy(out, &three, 6);  // the six low bytes as stored, least significant first
    EXPECT_EQ("000000000003", qnst::testing::hex(out, 6));
    uint8_t p[8];
    qnst::store_be(p, 0x0102030405ULL, 5);
    EXPECT_EQ("0102030405", qnst::testing::hex(p, 5));
    EXPECT_EQ(0x0102030405ULL, qnst::load_be(p, 5));
    qnst::store_neg_version(p, 1);
    EXPECT_EQ("ffffffff", qnst::testing::hex(p, 4));
    EXPECT_EQ(1u, qnst::load_neg_version(p));
}

struct EncodeCase {
    std::string bytes, text;
};

TEST(PrintableEncoding, KnownValuesBothWays) {
    const std::vector<EncodeCase> cases = {
        {"abc", "HF9S"},
        {"ab", "HF8"},
        {"a", "H@"},
        {std::string(3, '\0'), "0000"},
        {std::string(3, '\xff'), "oooo"},
        {"", ""},
    };
    for (const auto &c : cases) {
        char text[16] = {};
        EXPECT_EQ(static_cast<int>(c.text.size()),
                  qnst_b64encode(c.bytes.data(), text, static_cast<int32_t>(c.bytes.size())));
        EXPECT_EQ(c.text, std::string(text, c.text.size()));
        EXPECT_EQ('\0', text[c.text.size()]) << "no terminator is written";
        uint8_t bytes[16] = {};
        EXPECT_EQ(static_cast<int>(c.bytes.size()),
                  qnst_b64decode(c.text.data(), bytes, static_cast<int32_t>(c.text.size())));
        EXPECT_EQ(c.bytes, std::string(reinterpret_cast<char *>(bytes), c.bytes.size()));
    }
}

TEST(PrintableEncoding, RoundTripsEveryLengthAndByte) {
    std::vector<uint8_t> in(256);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 37 + 11);
    for (int32_t len = 0; len <= 64; ++len) {
        std::vector<char> text(len * 4 / 3 + 4);
        std::vector<uint8_t> back(len + 3);
        const int n = qnst_b64encode(in.data(), text.data(), len);
        EXPECT_EQ(len / 3 * 4 + (len % 3 ? len % 3 + 1 : 0), n);
        for (int i = 0; i < n; ++i) ASSERT_TRUE(text[i] >= '0' && text[i] <= 'o');
        ASSERT_EQ(len, qnst_b64decode(text.data(), back.data(), n));
        EXPECT_TRUE(std::equal(in.begin(), in.begin() + len, back.begin())) << len;
    }
}

}  // namespace
