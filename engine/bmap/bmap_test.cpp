#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <regex>
#include <set>

#include "bmap_fixture.hpp"

namespace {

using namespace qnst::testing;

constexpr uint64_t kTop = UINT64_MAX;  // the last block start of the offset space

// ---- Records ---------------------------------------------------------------------------------

TEST(BmapRecords, EntriesAreLaidOutByteForByte) {
    MappedFile f;
    uint64_t h5 = 0, h7 = 0;
    ASSERT_EQ(0, f.enter(0x0102030405060708ull, 0x1234, 5, 1, &h5));
    const std::string h5le = hex(&h5, 8);  // the host is little-endian
    EXPECT_EQ(f.raw(), (std::map<std::string, std::string>{
                           {"30fffffffb0102030405060708", "f0ffff7f"},
                           {"310102030405060708fffffffb", "f0ffff7f34120000" + h5le},
                       }));

    ASSERT_EQ(0, f.enter(0x0102030405060708ull, 0x10, 7, 2, &h7));
    EXPECT_EQ(f.raw(), (std::map<std::string, std::string>{
                           {"30fffffff90102030405060708", "f0ffff7f"},
                           {"30fffffffb0102030405060708", "07000000"},
                           {"310102030405060708fffffff9", "f0ffff7f10000000" + hex(&h7, 8)},
                           {"310102030405060708fffffffb", "0700000034120000" + h5le},
                       }));

    // The single-entry calls read and write the same records.
    uint32_t dver = 0, size = 0;
    uint64_t handle = 0;
    EXPECT_EQ(0, f.txn([&](DB_TXN *t) {
        return qnst_bmap_get_oent(f.file(), t, 0x0102030405060708ull, 5, &dver, &size, &handle);
    }));
    EXPECT_EQ(std::make_tuple(dver, size, handle), std::make_tuple(7u, 0x1234u, h5));
    ASSERT_EQ(0, f.txn([&](DB_TXN *t) { return qnst_bmap_add_vent(f.file(), t, 9, 0x10, 3); }));
    EXPECT_EQ(f.raw()["30fffffff70000000000000010"], "03000000");
    ASSERT_EQ(0, f.txn([&](DB_TXN *t) { return qnst_bmap_del_vent(f.file(), t, 9, 0x10); }));
    ASSERT_EQ(0, f.txn([&](DB_TXN *t) {
        return qnst_bmap_del_oent(f.file(), t, 0x0102030405060708ull, 7);
    }));
    EXPECT_EQ(f.raw().size(), 3u);
    EXPECT_EQ(f.txn([&](DB_TXN *t) {
                  return qnst_bmap_get_oent(f.file(), t, 0x0102030405060708ull, 7, &dver, &size,
                                            &handle);
              }),
              DB_NOTFOUND);
    EXPECT_TRUE(f.store().env().error_lines().empty());
}

// ---- Enter, reconcile, clear and purge: cases ---------------------------------------------

enum class Kind { Enter, Reconcile, Clear, Purge };
struct Op {
    Kind kind;
    uint64_t offset;
    uint32_t size;  // purge: unused
    uint32_t ver;   // purge: the entry's cver
    uint32_t id;    // hash number (enter, reconcile)
};
struct Want {                 // an entry, with its block named by hash number
    uint64_t offset;
    uint32_t cver, dver, size, id;
};
struct Seen {                 // lookup(offset, ver) -> hash number, 0 for none
    uint64_t offset;
    uint32_t ver, id;
};
struct Case {
    const char *name;
    std::vector<Op> ops;
    std::vector<Want> map;               // in key order: ascending offset, newest first
    std::vector<Seen> lookups;
    std::map<uint32_t, uint32_t> counts; // hash number -> references once the queues are flushed
    int64_t fstotal;
};

const Case kCases[] = {
    {"a later version closes the entry it replaces",
     {{Kind::Enter, 0, 4096, 3, 1}, {Kind::Enter, 0, 4096, 5, 2}, {Kind::Enter, 0, 4096, 7, 3}},
     {{0, 7, kLive, 4096, 3}, {0, 5, 7, 4096, 2}, {0, 3, 5, 4096, 1}},
     {{0, 2, 0}, {0, 3, 1}, {0, 4, 1}, {0, 5, 2}, {0, 6, 2}, {0, 7, 3}, {0, 100, 3}},
     {{1, 1}, {2, 1}, {3, 1}},
     3 * 4096},
    {"a second enter in the same version deletes the first and releases its block",
     {{Kind::Enter, 0, 4096, 5, 1}, {Kind::Enter, 0, 4096, 5, 2}},
     {{0, 5, kLive, 4096, 2}},
     {{0, 5, 2}, {0, 4, 0}},
     {{1, 0}, {2, 1}},
     4096},
    {"clear closes every live block starting in the range",
     {{Kind::Enter, 0, 4096, 5, 1}, {Kind::Enter, 4096, 4096, 5, 2},
      {Kind::Enter, 8192, 4096, 5, 3}, {Kind::Clear, 0, 8192, 9, 0}},
     {{0, 5, 9, 4096, 1}, {4096, 5, 9, 4096, 2}, {8192, 5, kLive, 4096, 3}},
     {{0, 8, 1}, {4096, 8, 2}, {0, 9, 0}, {4096, 9, 0}, {8192, 9, 3}},
     {{1, 1}, {2, 1}, {3, 1}},
     3 * 4096},
    {"clear in the version of the entries deletes them",
     {{Kind::Enter, 0, 4096, 5, 1}, {Kind::Enter, 4096, 4096, 5, 2}, {Kind::Clear, 0, 8192, 5, 0}},
     {},
     {{0, 5, 0}},
     {{1, 0}, {2, 0}},
     0},
    {"a cut starting inside a live block leaves it",
     {{Kind::Enter, 0, 8192, 5, 1}, {Kind::Enter, 4096, 4096, 6, 2}},
     {{0, 5, kLive, 8192, 1}, {4096, 6, kLive, 4096, 2}},
     {{0, 6, 1}, {4096, 6, 2}, {4096, 5, 0}},
     {{1, 1}, {2, 1}},
     8192 + 4096},
    {"a cut reaches a live block that starts inside another one",
     {{Kind::Enter, 0, 8192, 5, 1}, {Kind::Enter, 4096, 4096, 6, 2}, {Kind::Enter, 0, 8192, 7, 3}},
     {{0, 7, kLive, 8192, 3}, {0, 5, 7, 8192, 1}, {4096, 6, 7, 4096, 2}},
     {{0, 7, 3}, {4096, 7, 0}, {4096, 6, 2}},
     {{1, 1}, {2, 1}, {3, 1}},
     2 * 8192 + 4096},
    {"reconcile of the block already mapped there changes nothing",
     {{Kind::Enter, 0, 4096, 5, 1}, {Kind::Reconcile, 0, 4096, 6, 1}},
     {{0, 5, kLive, 4096, 1}},
     {{0, 6, 1}},
     {{1, 1}},
     4096},
    {"reconcile maps a stored block at another offset with a reference",
     {{Kind::Enter, 0, 4096, 5, 1}, {Kind::Reconcile, 8192, 4096, 6, 1},
      {Kind::Reconcile, 0, 4096, 7, 1 + 100}},  // an unknown hash: nothing happens
     {{0, 5, kLive, 4096, 1}, {8192, 6, kLive, 4096, 1}},
     {{8192, 5, 0}, {8192, 6, 1}},
     {{1, 2}},
     8192},
    {"enter of a hash already stored maps the stored block",
     {{Kind::Enter, 0, 4096, 5, 1}, {Kind::Enter, 4096, 4096, 5, 1}},
     {{0, 5, kLive, 4096, 1}, {4096, 5, kLive, 4096, 1}},
     {{4096, 5, 1}},
     {{1, 2}},
     8192},
    {"purge removes one entry and its reference",
     {{Kind::Enter, 0, 4096, 5, 1}, {Kind::Enter, 0, 4096, 7, 2}, {Kind::Purge, 0, 0, 5, 0}},
     {{0, 7, kLive, 4096, 2}},
     {{0, 5, 0}, {0, 7, 2}},
     {{1, 0}, {2, 1}},
     4096},
    {"a cut at the end of the offset space stops there",
     {{Kind::Enter, 8192, 4096, 5, 1}, {Kind::Enter, kTop, 4096, 5, 2},
      {Kind::Clear, kTop, 4096, 6, 0}},
     {{8192, 5, kLive, 4096, 1}, {kTop, 5, 6, 4096, 2}},
     {{8192, 6, 1}, {kTop, 6, 0}, {kTop, 5, 2}},
     {{1, 1}, {2, 1}},
     8192},
    {"a live block of size 0 is cut by any range that starts before it",
     {{Kind::Enter, 0, 4096, 5, 1}, {Kind::Enter, 1 << 20, 0, 5, 2}, {Kind::Clear, 0, 4096, 6, 0}},
     {{0, 5, 6, 4096, 1}, {1 << 20, 5, 6, 0, 2}},
     {{1 << 20, 6, 0}},
     {{1, 1}, {2, 1}},
     4096},
};

class BmapCases : public ::testing::TestWithParam<Case> {};

TEST_P(BmapCases, MapLookupsCountsAndUsage) {
    const Case &c = GetParam();
    MappedFile f;
    std::map<uint32_t, uint64_t> handle_of;  // hash number -> handle of the stored block
    for (const Op &op : c.ops) {
        uint64_t h = 0;
        switch (op.kind) {
        case Kind::Enter:
            ASSERT_EQ(0, f.enter(op.offset, op.size, op.ver, op.id, &h));
            handle_of.emplace(op.id, h);  // a hash already stored keeps its first handle
            break;
        case Kind::Reconcile:
            ASSERT_EQ(0, f.reconcile(op.offset, op.size, op.ver, op.id, &h));
            EXPECT_EQ(h, handle_of.count(op.id) ? handle_of[op.id] : 0);
            break;
        case Kind::Clear:
            ASSERT_EQ(0, f.clear(op.offset, op.size, op.ver));
            break;
        case Kind::Purge:
            ASSERT_EQ(0, f.purge(op.offset, op.ver));
            break;
        }
    }
    std::vector<MapEntry> want;
    for (const Want &w : c.map) want.push_back({w.offset, w.cver, w.dver, w.size, handle_of[w.id]});
    EXPECT_EQ(f.entries(), want);
    for (const Seen &s : c.lookups)
        EXPECT_EQ(f.lookup(s.offset, s.ver), s.id ? handle_of[s.id] : 0)
            << "lookup at " << s.offset << ", version " << s.ver;
    f.store().flush_all();
    for (auto [id, n] : c.counts) EXPECT_EQ(f.store().count(handle_of[id]), n) << "hash " << id;
    EXPECT_EQ(std::get<0>(f.usage()), c.fstotal);
}

INSTANTIATE_TEST_SUITE_P(Table, BmapCases, ::testing::ValuesIn(kCases),
                         [](const auto &param) { return "case" + std::to_string(param.index); });

// ---- Usage and failures ----------------------------------------------------------------------

TEST(BmapUsage, EnterChargesStoredBytesAndGrowthOnlyForNewBlocks) {
    MappedFile f;
    ASSERT_EQ(0, f.enter(0, 4096, 5, 1, nullptr, 0, 1000));
    ASSERT_EQ(0, f.enter(4096, 4096, 5, 1, nullptr, 0, 1000));  // stored already: no new bytes
    ASSERT_EQ(0, f.enter(8192, 2048, 5, 2, nullptr, 0, 700));
    uint64_t coff = 0;
    f.store().used(0, &coff);
    EXPECT_EQ(f.usage(), std::make_tuple(int64_t{4096 + 4096 + 2048}, int64_t{1700},
                                         static_cast<int64_t>(coff)));
    ASSERT_EQ(0, f.clear(0, 4096, 6));  // closed, not deleted: nothing comes back
    ASSERT_EQ(0, f.clear(8192, 4096, 5));
    EXPECT_EQ(std::get<0>(f.usage()), 8192);
}

TEST(BmapUsage, QuotaRefusalIsReturnedUnloggedAndTheAbortUndoesTheMap) {
    MappedFile f;
    qnst_inode_setquota(f.folder(), 0, 8192, 0, 0);
    ASSERT_EQ(0, f.enter(0, 4096, 5, 1));
    const auto before = f.raw();
    EXPECT_EQ(f.enter(4096, 8192, 5, 2), QNST_QUOTA_FSTOTAL);
    uint64_t h = 1;
    EXPECT_EQ(f.reconcile(4096, 8192, 5, 1, &h), QNST_QUOTA_FSTOTAL);
    EXPECT_EQ(h, 0u) << "a failed reconcile hands back no handle";
    EXPECT_EQ(f.raw(), before);
    EXPECT_TRUE(f.store().env().error_lines().empty());
}

TEST(BmapFailures, ClosedInodeOrMissingSetNodeIsRefused) {
    MappedFile f;
    const Hash h = MappedFile::hash_of(1);
    qnst_inoderec closed{};
    ASSERT_EQ(0, qnst_inode_open(&closed, f.file()->itabm, f.folder(), 40));
    uint32_t size = 0, cver = 9, dver = 0;
    uint64_t handle = 7, offset = 0;
    DBC *cursor = reinterpret_cast<DBC *>(1);
    struct Call {
        const char *name;
        std::function<int(qnst_inoderec *, DB_TXN *)> run;
    };
    const std::vector<Call> calls = {
        {"enter", [&](qnst_inoderec *i, DB_TXN *t) {
             return qnst_bmap_enter(i, t, 0, 4096, 5, 1, h.data(), h.size(), 0, 1, 0, 100);
         }},
        {"reconcile", [&](qnst_inoderec *i, DB_TXN *t) {
             return qnst_bmap_reconcile(i, t, 0, 4096, 5, h.data(), h.size(), &handle, 0);
         }},
        {"clear", [&](qnst_inoderec *i, DB_TXN *t) { return qnst_bmap_clear(i, t, 0, 4096, 5); }},
        {"purge", [&](qnst_inoderec *i, DB_TXN *t) { return qnst_bmap_purge(i, t, 0, 5, 0); }},
    };
    for (const Call &c : calls) {
        f.store().env().mark_log();
        EXPECT_EQ(f.txn([&](DB_TXN *t) { return c.run(&closed, t); }), EINVAL) << c.name;
        // The folder's own database is open but it has no set node to charge.
        EXPECT_EQ(f.txn([&](DB_TXN *t) { return c.run(f.folder(), t); }), EINVAL) << c.name;
        EXPECT_EQ(f.store().env().error_lines().size(), 2u) << c.name;
    }
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(qnst_bmap_lookup(&closed, nullptr, 0, 5, &size, &cver, &dver, &handle), EINVAL);
    EXPECT_EQ(qnst_bmap_get_oent(&closed, nullptr, 0, 5, &dver, &size, &handle), EINVAL);
    EXPECT_EQ(qnst_bmap_walk(&closed, nullptr, 3, &cursor, &cver, &dver, &offset), 0);
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(cver, 0u);
    cver = 9;
    cursor = reinterpret_cast<DBC *>(1);
    EXPECT_EQ(qnst_bmap_woff(&closed, nullptr, 3, &cursor, &cver, &dver, &offset, &size, &handle),
              0);
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(cver, 0u);
    EXPECT_EQ(qnst_bmap_done(&closed, nullptr), 0);
    EXPECT_TRUE(f.raw().empty());
}

TEST(BmapFailures, LookupMissIsLoggedOnce) {
    MappedFile f;
    ASSERT_EQ(0, f.enter(4096, 4096, 5, 1));
    f.store().env().mark_log();
    for (auto [offset, ver] : {std::pair<uint64_t, uint32_t>{0, 5}, {4096, 4}, {4097, 5}}) {
        uint32_t size = 0, cver = 0, dver = 0;
        uint64_t handle = 0;
        EXPECT_EQ(qnst_bmap_lookup(f.file(), nullptr, offset, ver, &size, &cver, &dver, &handle),
                  DB_NOTFOUND);
    }
    const LogEntry miss{"qnst/bmap/qnst_bmap", "code -30988"};
    expect_log_entries(f.store().env().error_lines(), {miss, miss, miss});
    EXPECT_EQ(f.purge(0, 5), DB_NOTFOUND);
}

// A hash whose index entry leads to no block: every store finds it taken and every lookup finds
// nothing. The enter gives up after its bound with 11 and maps nothing.
TEST(BmapFailures, EnterGivesUpWhenTheHashKeepsVanishing) {
    MappedFile f({.nparts = 1});
    const Hash h = make_hash(99, 0);
    ASSERT_EQ(0, f.txn([&](DB_TXN *t) {
        return qnst_sism_store_hashid(f.mgr(), t, 0, h.data(), h.size());
    }));
    ASSERT_EQ(f.store().lookup(h), 0u);
    uint64_t fresh = 0;
    ASSERT_EQ(0, qnst_sism_gen_handle(f.mgr(), h.data(), h.size(), &fresh));
    f.store().env().mark_log();
    EXPECT_EQ(f.txn([&](DB_TXN *t) {
                  return qnst_bmap_enter(f.file(), t, 0, 4096, 5, fresh, h.data(), h.size(), 0, 1,
                                         0, 100);
              }),
              EAGAIN);
    expect_log_entries(f.store().env().error_lines(), {{"qnst/bmap/qnst_bmap", "code 11"}});
    EXPECT_TRUE(f.raw().empty());
}

// ---- Listings --------------------------------------------------------------------------------

// Entries in versions 2, 4 and 5: (0,2) replaced by (0,4); (4096,4) replaced by (4096,5).
struct ListingMap : MappedFile {
    ListingMap() {
        EXPECT_EQ(0, enter(0, 4096, 2, 1));
        EXPECT_EQ(0, enter(0, 4096, 4, 2));
        EXPECT_EQ(0, enter(4096, 4096, 4, 3));
        EXPECT_EQ(0, enter(8192, 4096, 4, 4));
        EXPECT_EQ(0, enter(4096, 4096, 5, 5));
    }
    using Row = std::tuple<uint32_t, uint32_t, uint64_t>;  // cver, dver, offset
    std::vector<Row> walk(uint32_t lastver, uint64_t from = 0) {
        std::vector<Row> rows;
        EXPECT_EQ(0, txn([&](DB_TXN *t) {
                      rows.clear();
                      DBC *c = nullptr;
                      uint32_t cver = 0, dver = 0;
                      uint64_t offset = from;
                      int rc = qnst_bmap_walk(file(), t, lastver, &c, &cver, &dver, &offset);
                      if (rc == 0 && cver == 0) {
                          EXPECT_EQ(c, nullptr);
                      }
                      while (rc == 0 && cver != 0) {
                          rows.emplace_back(cver, dver, offset);
                          rc = qnst_bmap_next(file(), c, &cver, &dver, &offset);
                      }
                      qnst_bmap_done(file(), c);
                      return rc;
                  }));
        return rows;
    }
    std::vector<MapEntry> woff(uint32_t lastver, uint64_t from) {
        std::vector<MapEntry> rows;
        EXPECT_EQ(0, txn([&](DB_TXN *t) {
                      rows.clear();
                      DBC *c = nullptr;
                      MapEntry e{from, 0, 0, 0, 0};
                      int rc = qnst_bmap_woff(file(), t, lastver, &c, &e.cver, &e.dver, &e.offset,
                                              &e.size, &e.handle);
                      while (rc == 0 && e.cver != 0) {
                          rows.push_back(e);
                          rc = qnst_bmap_noff(file(), c, &e.cver, &e.dver, &e.offset, &e.size,
                                              &e.handle);
                      }
                      qnst_bmap_done(file(), c);
                      return rc;
                  }));
        return rows;
    }
};

TEST(BmapListings, WalkListsNewerVersionsOldestFirstWithDescendingOffsets) {
    ListingMap m;
    using R = ListingMap::Row;
    EXPECT_EQ(m.walk(3), (std::vector<R>{{4, kLive, 8192}, {4, 5, 4096}, {4, kLive, 0},
                                         {5, kLive, 4096}}));
    EXPECT_EQ(m.walk(1), (std::vector<R>{{2, 4, 0}, {4, kLive, 8192}, {4, 5, 4096},
                                         {4, kLive, 0}, {5, kLive, 4096}}));
    EXPECT_EQ(m.walk(4), (std::vector<R>{{5, kLive, 4096}}));
    // Starting inside a version lists its entries below the start offset first.
    EXPECT_EQ(m.walk(4, 8192), (std::vector<R>{{4, 5, 4096}, {4, kLive, 0}, {5, kLive, 4096}}));
    EXPECT_EQ(m.walk(5), std::vector<R>{});
    EXPECT_EQ(m.walk(0), std::vector<R>{}) << "version 0 sorts before every stored version";
}

TEST(BmapListings, WoffListsOffsetEntriesFromTheFirstBelowLastver) {
    ListingMap m;
    const auto all = m.entries();
    EXPECT_EQ(m.woff(0, 0), all);
    ASSERT_EQ(all.size(), 5u);
    // At 4096 the first entry with cver below 5 is (4096, 4); everything after it follows.
    EXPECT_EQ(m.woff(5, 4096), std::vector<MapEntry>(all.begin() + 3, all.end()));
    EXPECT_EQ(m.woff(0, 8193), std::vector<MapEntry>{});
}

TEST(BmapListings, EmptyMapListsNothing) {
    MappedFile f;
    DBC *c = reinterpret_cast<DBC *>(1);
    uint32_t cver = 9, dver = 0, size = 0;
    uint64_t offset = 0, handle = 0;
    ASSERT_EQ(0, qnst_bmap_walk(f.file(), nullptr, 3, &c, &cver, &dver, &offset));
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(cver, 0u);
    c = reinterpret_cast<DBC *>(1);
    cver = 9;
    ASSERT_EQ(0, qnst_bmap_woff(f.file(), nullptr, 0, &c, &cver, &dver, &offset, &size, &handle));
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(cver, 0u);
    EXPECT_EQ(qnst_bmap_next(f.file(), nullptr, &cver, &dver, &offset), EINVAL);
}

// ---- Model ---------------------------------------------------------------------------------

// A seeded random run of enters, reconciles, clears and purges against a plain model of the
// map. Lookups are checked at every version after each operation; at the end the walk, every
// block's reference count against a recount of the map's entries, and the usage.
TEST(BmapModel, RandomOperationsAgreeWithTheModel) {
    struct M {
        uint32_t dver, size, id;
    };
    MappedFile f({.nparts = 2});
    std::map<std::pair<uint64_t, uint32_t>, M> model;  // (offset, cver) -> entry
    std::map<uint32_t, uint64_t> handle_of;
    int64_t stored_bytes = 0;
    constexpr uint32_t kBlock = 4096, kStarts = 8, kHashes = 6, kOps = 300;
    std::mt19937 rng(20261210);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };

    auto model_cut = [&](uint64_t offset, uint32_t size, uint32_t ver) {
        for (auto it = model.lower_bound({offset, 0}); it != model.end();) {
            auto &[key, e] = *it;
            if (key.first >= offset + size) break;
            if (e.dver == kLive) {
                if (key.second == ver) {
                    it = model.erase(it);
                    continue;
                }
                e.dver = ver;
            }
            ++it;
        }
    };
    auto model_live_at = [&](uint64_t offset) -> const M * {
        for (auto &[key, e] : model)
            if (key.first == offset && e.dver == kLive) return &e;
        return nullptr;
    };

    uint32_t ver = 1;
    for (uint32_t n = 0; n < kOps; ++n) {
        if (pick(3) == 0) ++ver;
        const uint64_t offset = uint64_t{pick(kStarts)} * kBlock;
        const uint32_t size = kBlock * (1 + pick(4) / 3);  // now and then two blocks wide
        const uint32_t id = 1 + pick(kHashes);
        switch (pick(8)) {
        case 0:
        case 1:
        case 2: {
            uint64_t h = 0;
            ASSERT_EQ(0, f.enter(offset, size, ver, id, &h, 0, 1000));
            if (handle_of.emplace(id, h).second) {
                stored_bytes += 1000;
            } else if (const M *live = model_live_at(offset); live && live->id == id) {
                break;  // stored and mapped there already
            }
            model_cut(offset, size, ver);
            model[{offset, ver}] = {kLive, size, id};
            break;
        }
        case 3:
        case 4: {
            uint64_t h = 0;
            ASSERT_EQ(0, f.reconcile(offset, size, ver, id, &h));
            ASSERT_EQ(h, handle_of.count(id) ? handle_of[id] : 0);
            const M *live = model_live_at(offset);
            if (h == 0 || (live && live->id == id)) break;
            model_cut(offset, size, ver);
            model[{offset, ver}] = {kLive, size, id};
            break;
        }
        case 5:
        case 6:
            ASSERT_EQ(0, f.clear(offset, size, ver));
            model_cut(offset, size, ver);
            break;
        case 7: {
            if (model.empty()) break;
            auto it = std::next(model.begin(), pick(static_cast<uint32_t>(model.size())));
            ASSERT_EQ(0, f.purge(it->first.first, it->first.second));
            model.erase(it);
            break;
        }
        }
        // Lookups at every version so far, at every block start.
        if (n % 10 == 0 || n == kOps - 1) {
            for (uint32_t s = 0; s < kStarts; ++s) {
                for (uint32_t v = 1; v <= ver; ++v) {
                    uint64_t want = 0;
                    for (auto &[key, e] : model)
                        if (key.first == s * kBlock && key.second <= v && v < e.dver)
                            want = handle_of[e.id];
                    ASSERT_EQ(f.lookup(s * kBlock, v), want)
                        << "op " << n << " offset " << s * kBlock << " version " << v;
                }
            }
        }
    }

    // The run must have left both live and closed entries behind to mean anything.
    size_t live = 0;
    for (auto &[key, e] : model) live += e.dver == kLive;
    EXPECT_GT(live, 3u);
    EXPECT_GT(model.size() - live, 10u);

    std::vector<MapEntry> want;
    for (auto &[key, e] : model)
        want.push_back({key.first, key.second, e.dver, e.size, handle_of[e.id]});
    std::sort(want.begin(), want.end(), [](const MapEntry &a, const MapEntry &b) {
        return a.offset != b.offset ? a.offset < b.offset : a.cver > b.cver;
    });
    ASSERT_EQ(f.entries(), want);

    // The walk from version 0 lists nothing; from 1 every entry but those of version 1.
    size_t walked = 0;
    ASSERT_EQ(0, f.txn([&](DB_TXN *t) {
        walked = 0;
        DBC *c = nullptr;
        uint32_t cver = 0, dver = 0, prev = 0;
        uint64_t offset = 0;
        int rc = qnst_bmap_walk(f.file(), t, 1, &c, &cver, &dver, &offset);
        while (rc == 0 && cver != 0) {
            EXPECT_GE(cver, prev);
            EXPECT_EQ(model.at({offset, cver}).dver, dver);
            prev = cver;
            ++walked;
            rc = qnst_bmap_next(f.file(), c, &cver, &dver, &offset);
        }
        qnst_bmap_done(f.file(), c);
        return rc;
    }));
    size_t newer = 0;
    for (auto &[key, e] : model) newer += key.second > 1;
    EXPECT_EQ(walked, newer);

    // Every entry, live or closed, holds one reference to its block.
    f.store().flush_all();
    std::map<uint64_t, uint32_t> recount;
    for (const MapEntry &e : want) ++recount[e.handle];
    for (auto [id, h] : handle_of) EXPECT_EQ(f.store().count(h), recount[h]) << "hash " << id;

    int64_t mapped = 0;
    for (auto &[key, e] : model) mapped += e.size;
    uint64_t coff = 0;
    f.store().used(0, &coff);
    EXPECT_EQ(f.usage(), std::make_tuple(mapped, stored_bytes, static_cast<int64_t>(coff)));
    // Lookup misses are logged; nothing else may be.
    const std::regex miss(log_prefix_re("qnst/bmap/qnst_bmap") + "code -30988");
    for (const auto &l : f.store().env().error_lines()) EXPECT_TRUE(std::regex_match(l, miss)) << l;
}

}  // namespace
