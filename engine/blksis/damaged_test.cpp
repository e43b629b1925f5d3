// Damaged records and out-of-range hash lengths. A record whose stored size disagrees with its
// layout is answered with EIO (logged) and left as it is; a hash length above what any record
// holds is refused with EINVAL before anything is read, however large it is.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "blksism_fixture.hpp"
#include "qnst_csis.h"
#include "qnst_sis.hpp"

namespace {

using namespace qnst::testing;

std::string raw(DB *db, const std::vector<uint8_t> &key) {
    uint8_t buf[256];
    DBT k = qnst::user_dbt(const_cast<uint8_t *>(key.data()), static_cast<uint32_t>(key.size()));
    DBT d = qnst::user_dbt(buf, 0, sizeof buf);
    const int rc = db->get(db, nullptr, &k, &d, 0);
    return rc ? "error " + std::to_string(rc) : hex(buf, d.size);
}

void put_raw(DB *db, const std::vector<uint8_t> &key, const std::vector<uint8_t> &data) {
    DBT k = qnst::user_dbt(const_cast<uint8_t *>(key.data()), static_cast<uint32_t>(key.size()));
    DBT d = qnst::user_dbt(const_cast<uint8_t *>(data.data()), static_cast<uint32_t>(data.size()));
    ASSERT_EQ(0, db->put(db, nullptr, &k, &d, 0));
}

std::vector<uint8_t> handle_key(uint64_t handle) {
    std::vector<uint8_t> k(8);
    qnst::store_le64(k.data(), handle & QNST_BLKSISM_LOCAL_MASK);
    return k;
}

struct DamageCase {
    const char *what;
    bool cache;
    // The table and key of the record to damage, for the block `handle` of hash `h`.
    std::function<DB *(qnst_blksism *, uint64_t)> table;
    std::function<std::vector<uint8_t>(uint64_t, const Hash &)> key;
    size_t size;  // the damaged record's size
    std::function<int(qnst_blksism *, DB_TXN *, uint64_t, const Hash &)> call;
};

qnst_sis *part_of(qnst_blksism *m, uint64_t handle) { return &m->parts[handle >> 56]; }

int lookup(qnst_blksism *m, DB_TXN *t, uint64_t, const Hash &h) {
    uint64_t out = 0;
    return qnst_sism_lookup(m, t, h.data(), h.size(), 0, &out);
}
int read_block(qnst_blksism *m, DB_TXN *t, uint64_t handle, const Hash &) {
    uint32_t dfid, dfver, length, hashlen, followed;
    uint64_t offset;
    uint8_t hash[20];
    return qnst_sism_read(m, t, handle, &dfid, &dfver, &offset, &length, &hashlen, hash, &followed);
}
int getref(qnst_blksism *m, DB_TXN *t, uint64_t handle, const Hash &) {
    uint32_t ref = 0;
    return qnst_blksism_getref(m, t, 0, handle, &ref);
}
int walk_refs(qnst_blksism *m, DB_TXN *t, uint64_t handle, const Hash &) {
    DBC *c = nullptr;
    uint64_t h = 0;
    uint32_t word, count;
    const auto p = static_cast<int32_t>(handle >> 56);
    const int rc = qnst_sism_walk_idref(m, p, t, 0, 0, &c, &h, &word, &count);
    qnst_sism_done(m, p, c);
    return rc;
}
int walk_locations(qnst_blksism *m, DB_TXN *t, uint64_t handle, const Hash &) {
    DBC *c = nullptr;
    uint64_t h = 0, offset;
    uint32_t dfid, dfver, length, hashlen;
    const auto p = static_cast<int32_t>(handle >> 56);
    const int rc = qnst_sism_walk_iddf(m, p, t, &c, &h, &dfid, &dfver, &offset, &length,
                                       &hashlen, nullptr);
    qnst_sism_done(m, p, c);
    return rc;
}
int walk_hashes(qnst_blksism *m, DB_TXN *t, uint64_t handle, const Hash &) {
    DBC *c = nullptr;
    uint64_t h = 0;
    uint8_t hash[20];
    uint32_t len = sizeof hash;
    const auto p = static_cast<int32_t>(handle >> 56);
    const int rc = qnst_sism_walk_hashid(m, p, t, &c, &h, 0, &len, hash);
    qnst_sism_done(m, p, c);
    return rc;
}

const std::vector<DamageCase> &damage_cases() {
    auto refdb = [](qnst_blksism *m, uint64_t h) { return part_of(m, h)->refdb; };
    auto dfdb = [](qnst_blksism *m, uint64_t h) { return part_of(m, h)->dfdb; };
    auto hashdb = [](qnst_blksism *m, uint64_t h) { return part_of(m, h)->hashdb; };
    auto cachedb = [](qnst_blksism *m, uint64_t h) { return part_of(m, h)->cachedb; };
    auto xlatdb = [](qnst_blksism *m, uint64_t h) { return part_of(m, h)->xlatdb; };
    auto by_handle = [](uint64_t h, const Hash &) { return handle_key(h); };
    auto by_hash = [](uint64_t, const Hash &h) { return std::vector<uint8_t>(h.begin(), h.end()); };
    auto xlat = [](qnst_blksism *m, DB_TXN *t, uint64_t h, const Hash &) {
        uint64_t out = 0;
        return qnst_xlat_handle(m, t, h | QNST_BLKSISM_XLAT_BIT, &out);
    };
    static const std::vector<DamageCase> cases = {
        {"reference word, short", false, refdb, by_handle, 2, getref},
        {"reference word, long", false, refdb, by_handle, 6, getref},
        {"reference word in a walk", false, refdb, by_handle, 5, walk_refs},
        {"location, 64 bytes", false, dfdb, by_handle, 64, read_block},
        {"location, short of its hash", false, dfdb, by_handle, 30, read_block},
        {"location in a walk", false, dfdb, by_handle, 64, walk_locations},
        {"hash index entry, short", false, hashdb, by_hash, 4, lookup},
        {"hash index entry, long", false, hashdb, by_hash, 12, lookup},
        {"hash index entry in a walk", false, hashdb, by_hash, 12, walk_hashes},
        {"cache entry, long", true, cachedb, by_hash, 12, lookup},
        {"cache entry, short", true, cachedb, by_hash, 3, lookup},
        {"translation, long", false, xlatdb, by_handle, 16, xlat},
    };
    return cases;
}

TEST(DamagedRecords, EveryBlockStoreTableAnswersEIOAndIsLeftAlone) {
    for (const DamageCase &c : damage_cases()) {
        SCOPED_TRACE(c.what);
        BlockStore s(StoreOptions{.csize = c.cache ? 1 << 20 : 0, .wmark = c.cache ? 2 : 1});
        const Hash h = make_hash(1, 0);
        const uint64_t handle = s.store(h);
        if (c.cache) s.flush_all();
        DB *db = c.table(s.mgr(), handle);
        const auto key = c.key(handle, h);
        put_raw(db, key, std::vector<uint8_t>(c.size, 0xA5));
        const std::string before = raw(db, key);
        s.env().mark_log();
        EXPECT_EQ(EIO, s.txn([&](DB_TXN *t) { return c.call(s.mgr(), t, handle, h); }));
        EXPECT_EQ(raw(db, key), before);
        const auto lines = s.env().error_lines();
        ASSERT_FALSE(lines.empty());
        for (const auto &line : lines) EXPECT_NE(line.find("code 5"), std::string::npos) << line;
    }
}

// Every entry point that takes a hash length, given one above the longest hash. The buffer
// holds only 20 bytes: a length that reached a read would be caught by the address sanitizer.
TEST(HashLengths, AboveTheLongestHashAreRefusedBeforeAnyRead) {
    for (const bool cache : {false, true}) {
        SCOPED_TRACE(cache ? "cache on" : "cache off");
        BlockStore s(StoreOptions{.csize = cache ? 1 << 20 : 0, .wmark = cache ? 2 : 1});
        const Hash h = make_hash(2, 0);
        const uint64_t handle = s.store(h);
        s.flush_all();
        qnst_blksism *m = s.mgr();
        qnst_sis *part = s.part(0);
        using Call = std::function<int(DB_TXN *, uint32_t)>;
        const std::vector<std::pair<const char *, Call>> calls = {
            {"qnst_sism_lookup", [&](DB_TXN *t, uint32_t n) { uint64_t o; return qnst_sism_lookup(m, t, h.data(), n, 0, &o); }},
            {"qnst_sism_gen_handle", [&](DB_TXN *, uint32_t n) { uint64_t o; return qnst_sism_gen_handle(m, h.data(), n, &o); }},
            {"qnst_sism_store", [&](DB_TXN *t, uint32_t n) { return qnst_sism_store(m, t, h.data(), n, 0, 1, 0, 4096, handle, nullptr); }},
            {"qnst_sism_store_hashid", [&](DB_TXN *t, uint32_t n) { return qnst_sism_store_hashid(m, t, handle, h.data(), n); }},
            {"qnst_sism_purge_hashid", [&](DB_TXN *t, uint32_t n) { return qnst_sism_purge_hashid(m, t, h.data(), n); }},
            {"qnst_sism_walk_hashid", [&](DB_TXN *t, uint32_t n) {
                 DBC *c = nullptr; uint64_t o; uint32_t room = n;
                 const int rc = qnst_sism_walk_hashid(m, 0, t, &c, &o, n, &room, const_cast<uint8_t *>(h.data()));
                 qnst_sism_done(m, 0, c);
                 return rc; }},
            {"qnst_sis_lookup", [&](DB_TXN *t, uint32_t n) { uint64_t o; return qnst_sis_lookup(part, t, h.data(), n, &o); }},
            {"qnst_sis_purge_hashid", [&](DB_TXN *t, uint32_t n) { return qnst_sis_purge_hashid(part, t, h.data(), n); }},
            {"qnst_sis_store_hashid", [&](DB_TXN *t, uint32_t n) { return qnst_sis_store_hashid(part, t, 99, h.data(), n); }},
            {"qnst_csis_lookup", [&](DB_TXN *t, uint32_t n) { uint64_t o; return qnst_csis_lookup(part, t, h.data(), n, &o); }},
            {"qnst_csis_uncache", [&](DB_TXN *t, uint32_t n) { return qnst_csis_uncache(part, t, h.data(), n); }},
            {"qnst_csis_cache", [&](DB_TXN *t, uint32_t n) { return qnst_csis_cache(part, t, h.data(), n, 99, 2); }},
            {"qnst_csis_store", [&](DB_TXN *t, uint32_t n) { return qnst_csis_store(part, t, h.data(), n, 0, 1, 0, 4096, 99, nullptr); }},
        };
        for (const auto &[name, call] : calls) {
            for (const uint32_t n : {21u, 0x10000u, 0xFFFFFFFFu}) {
                SCOPED_TRACE(std::string(name) + " with length " + std::to_string(n));
                DB_TXN *t = nullptr;
                ASSERT_EQ(0, qnst_txn_begin(s.dbenv(), nullptr, &t));
                EXPECT_EQ(EINVAL, call(t, n));
                ASSERT_EQ(0, qnst_txn_abort(t));
            }
        }
        EXPECT_EQ(handle, s.lookup(h)) << "the store is as it was";
    }
}

}  // namespace
