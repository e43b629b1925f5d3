// Moves, translation, record access, walks, the check tables and compaction.
#include <filesystem>

#include "sis_fixture.hpp"

namespace {

using sistest::make_hash;
using sistest::Partition;
using sistest::stamped;

struct Usage {
    uint64_t coff = 0, used = 0;
};

class Maintenance : public Partition {
protected:
    Usage usage(uint32_t dfid) {
        uint32_t ver, over;
        uint64_t ooff;
        Usage u;
        EXPECT_EQ(0,
                  qnst_dfile_get(&dfile, nullptr, dfid, &ver, &over, &u.coff, &ooff, &u.used, 0));
        return u;
    }
    int move(uint64_t h, uint32_t dfid, uint32_t dfver, uint64_t offset, uint64_t *growth) {
        return txn(
            [&](DB_TXN *t) { return qnst_sis_move(&part, t, h, dfid, dfver, offset, growth); });
    }
    // Every (handle, word) of a reference walk from `start`, checking it ends with handle 0.
    std::vector<std::pair<uint64_t, uint32_t>> walk_refs(uint32_t fsck, uint32_t plist,
                                                         uint64_t start = 0) {
        std::vector<std::pair<uint64_t, uint32_t>> out;
        EXPECT_EQ(0, txn([&](DB_TXN *t) {
                      out.clear();
                      DBC *c = nullptr;
                      uint64_t h = start;
                      uint32_t word = 0, count = 0;
                      int rc = qnst_sis_walk_idref(&part, t, fsck, plist, &c, &h, &word, &count);
                      while (rc == 0 && h != 0) {
                          EXPECT_EQ(qnst_sis_ref_count(word), count);
                          out.emplace_back(h, word);
                          rc = qnst_sis_next_idref(&part, c, &h, &word, &count);
                      }
                      qnst_sis_done(&part, c);
                      return rc;
                  }));
        return out;
    }
};

TEST_F(Maintenance, MoveRewritesTheRecordAndChargesTheDataFile) {
    const uint64_t h = store(1, 4, 1000, 512, 2);
    uint64_t growth = 99;
    ASSERT_EQ(0, move(h, 4, 3, 4096, &growth));
    EXPECT_EQ(
        "04000000"
        "03000000"
        "0010000000000000"
        "e8030000"
        "14000000" +
            qnst::testing::hex(make_hash(1).data(), 20),
        raw_handle(part.dfdb, h));
    EXPECT_EQ(4096u + 1000u, usage(4).coff);
    EXPECT_EQ(2000u, usage(4).used);  // the copy is charged; the old bytes go at compaction
    EXPECT_EQ(5096u - 1512u, growth);
    expect_log({});

    EXPECT_EQ(EINVAL, move(h, 4, 3, 8192, &growth));
    expect_log({"error:Found mismatch in block to be moved: 4 4 3 3 20"});
    EXPECT_EQ(EINVAL, move(h, 5, 4, 8192, &growth));
    expect_log({"error:Found mismatch in block to be moved: 5 4 4 3 20"});
    EXPECT_EQ(2000u, usage(4).used);
}

TEST_F(Maintenance, MovingALinkIsIgnoredAndMissingBlocksFail) {
    const uint64_t target = store(1), link = store(2);
    make_link(link, target);
    uint64_t growth = 99;
    ASSERT_EQ(0, move(link, 4, 1, 4096, &growth));
    EXPECT_EQ(0u, growth);
    expect_log({"error:Found symbolic link, hence ignoring block move 4"});
    EXPECT_EQ(DB_NOTFOUND, move(qnst_sis_make_handle(500), 1, 2, 0, &growth));
    expect_log({"code -30988"});
}

TEST_F(Maintenance, TranslationReadsTheTableAsStored) {
    const uint64_t key = 0x0000000000000105ull, full = 0x0280030000000000ull;
    uint8_t k[8], d[8];
    qnst::store_le64(k, key);
    qnst::store_le64(d, full);
    DBT kd = qnst::user_dbt(k, 8), dd = qnst::user_dbt(d, 8);
    ASSERT_EQ(0, part.xlatdb->put(part.xlatdb, nullptr, &kd, &dd, 0));
    uint64_t out = 0;
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_sis_xlat(&part, t, key, &out); }));
    EXPECT_EQ(full, out);
    EXPECT_EQ(DB_NOTFOUND, txn([&](DB_TXN *t) { return qnst_sis_xlat(&part, t, key + 1, &out); }));
    expect_log({"code -30988"});
}

TEST_F(Maintenance, RecordAccessReadsAndWritesSingleWords) {
    const uint64_t h = store(1);
    put_raw_word(part.refdb, h, stamped(9));
    EXPECT_EQ(9u, getref(h));
    struct Case {
        uint32_t value, word;
    };
    for (const Case c :
         {Case{12, stamped(12)}, Case{200000, stamped(131071)},
          Case{stamped(4) & ~(QNST_SIS_REF_DAYMASK << QNST_SIS_REF_DAYSHIFT), stamped(4)}}) {
        ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_sis_setref(&part, t, 0, h, c.value); }));
        EXPECT_EQ(c.word, raw_word(part.refdb, h)) << c.value;
    }
    const uint64_t fresh = qnst_sis_make_handle(400);
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_sis_store_idref(&part, t, fresh, 0); }));
    EXPECT_EQ(stamped(0), raw_word(part.refdb, fresh));
    EXPECT_EQ(DB_KEYEXIST,
              txn([&](DB_TXN *t) { return qnst_sis_store_idref(&part, t, fresh, 0); }));
    expect_log({"code -30994"});

    // The check tables exist only while open.
    uint32_t count = 0;
    EXPECT_EQ(EINVAL, txn([&](DB_TXN *t) { return qnst_sis_getref(&part, t, 1, h, &count); }));
    EXPECT_EQ(EINVAL, txn([&](DB_TXN *t) { return qnst_sis_store_idref(&part, t, h, 2); }));
    expect_log({"code 22", "code 22"});
    ASSERT_EQ(0, qnst_sis_open_fsck(&part, kFile, "q.db", 0));
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_sis_store_idref(&part, t, h, 2); }));
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_sis_setref(&part, t, 7, h, 3); }));
    EXPECT_EQ(stamped(0), raw_word(part.danglingdb, h));
    EXPECT_EQ(3u, getref(h, 1));
    EXPECT_EQ(0u, getref(h, 2));

    const auto hash = make_hash(1);
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  int rc = qnst_sis_purge_idref(&part, t, h, 0);
                  rc = rc ? rc : qnst_sis_purge_hashid(&part, t, hash.data(), 20);
                  return rc ? rc : qnst_sis_purge_iddf(&part, t, h);
              }));
    EXPECT_FALSE(has_handle(part.refdb, h));
    EXPECT_FALSE(has_handle(part.dfdb, h));
    EXPECT_EQ("", raw(part.hashdb, hash.data(), 20));
    EXPECT_EQ(DB_NOTFOUND, txn([&](DB_TXN *t) { return qnst_sis_purge_iddf(&part, t, h); }));
    expect_log({"code -30988"});
    qnst_sis_close_fsck(&part, kFile, "q.db", 1);
}

TEST_F(Maintenance, WalksVisitRecordsInHandleOrderAndEndWithHandleZero) {
    std::vector<uint64_t> handles;
    for (uint32_t i = 0; i < 300; ++i) handles.push_back(store(i, 1, 100 + i));
    // Sequence values 3..302 cross a byte boundary; big-endian keys keep them in order.
    auto refs = walk_refs(0, 0);
    ASSERT_EQ(handles.size(), refs.size());
    for (size_t i = 0; i < refs.size(); ++i) {
        EXPECT_EQ(handles[i], refs[i].first);
        EXPECT_EQ(stamped(1), refs[i].second);
    }
    refs = walk_refs(0, 0, handles[250]);
    ASSERT_EQ(50u, refs.size());
    EXPECT_EQ(handles[250], refs.front().first);

    std::vector<uint64_t> seen;
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  seen.clear();
                  DBC *c = nullptr;
                  uint64_t h = handles[298];
                  uint32_t dfid, dfver, length, hashlen;
                  uint64_t offset;
                  uint8_t hash[20];
                  int rc = qnst_sis_walk_iddf(&part, t, &c, &h, &dfid, &dfver, &offset, &length,
                                              &hashlen, hash);
                  while (rc == 0 && h != 0) {
                      EXPECT_EQ(100u + seen.size() + 298, length);
                      const auto want = make_hash(static_cast<uint32_t>(298 + seen.size()));
                      EXPECT_EQ(0, std::memcmp(hash, want.data(), 20));
                      seen.push_back(h);
                      rc = qnst_sis_next_iddf(&part, c, &h, &dfid, &dfver, &offset, &length,
                                              &hashlen, hash);
                  }
                  qnst_sis_done(&part, c);
                  return rc;
              }));
    EXPECT_EQ((std::vector<uint64_t>{handles[298], handles[299]}), seen);

    // Hash-index walk from a 4-byte prefix: make_hash puts the id big-endian in front.
    std::vector<uint64_t> byhash;
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  byhash.clear();
                  DBC *c = nullptr;
                  uint64_t h = 0;
                  uint8_t buf[20];
                  qnst::store_be32(buf, 297);
                  uint32_t len = sizeof buf;
                  int rc = qnst_sis_walk_hashid(&part, t, &c, &h, 4, &len, buf);
                  while (rc == 0 && h != 0) {
                      EXPECT_EQ(20u, len);
                      byhash.push_back(h);
                      len = sizeof buf;
                      rc = qnst_sis_next_hashid(&part, c, &h, &len, buf);
                  }
                  qnst_sis_done(&part, c);
                  return rc;
              }));
    EXPECT_EQ((std::vector<uint64_t>{handles[297], handles[298], handles[299]}), byhash);
    EXPECT_EQ(0, qnst_sis_done(&part, nullptr));
    expect_log({});
}

TEST_F(Maintenance, AWalkWhoseFirstStepFailsHandsBackNoCursor) {
    store(1);
    DBC *c = reinterpret_cast<DBC *>(1);
    uint64_t h = 7;
    uint8_t buf[20] = {};
    uint32_t len = 4;  // too small for a 20-byte hash
    DB_TXN *t = nullptr;
    ASSERT_EQ(0, qnst_txn_begin(dbenv(), nullptr, &t));
    EXPECT_EQ(DB_BUFFER_SMALL, qnst_sis_walk_hashid(&part, t, &c, &h, 0, &len, buf));
    EXPECT_EQ(nullptr, c);
    // The transaction commits: no cursor was left open in it.
    EXPECT_EQ(0, qnst_txn_commit(t, 0));
    expect_log({"code -30999"});
}

TEST_F(Maintenance, CheckQueueIsConsumedInOrderAndSurvivesReopen) {
    const char *queue = "blksis_q0.db";
    ASSERT_EQ(0, qnst_sis_open_fsck(&part, kFile, queue, 1));
    EXPECT_EQ(EINVAL, qnst_sis_open_fsck(&part, kFile, queue, 1));
    uint64_t h = 1, fset = 1;
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_sis_fsckq_get(&part, t, &h, &fset); }));
    EXPECT_EQ(0u, h);
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  int rc = 0;
                  for (uint64_t i = 1; i <= 3 && rc == 0; ++i)
                      rc = qnst_sis_fsckq_put(&part, t, qnst_sis_make_handle(i),
                                              0x1122334455660000ull + i);
                  return rc;
              }));
    db_recno_t recno = 1;
    EXPECT_EQ(
        "0000000000018000"
        "0100665544332211",
        raw(part.fsckqdb, &recno, sizeof recno));
    // Closing without removal keeps the queue.
    qnst_sis_close_fsck(&part, kFile, queue, 0);
    ASSERT_EQ(0, qnst_sis_open_fsck(&part, kFile, queue, 0));
    for (uint64_t i = 1; i <= 3; ++i) {
        ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_sis_fsckq_get(&part, t, &h, &fset); }));
        EXPECT_EQ(qnst_sis_make_handle(i), h);
        EXPECT_EQ(0x1122334455660000ull + i, fset);
    }
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_sis_fsckq_get(&part, t, &h, &fset); }));
    EXPECT_EQ(0u, h);

    // Removal empties the check tables for the next check; the partition's own tables stay.
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  int rc = qnst_sis_store_idref(&part, t, 42, 1);
                  return rc ? rc : qnst_sis_fsckq_put(&part, t, 42, 0);
              }));
    const uint64_t live = store(1);
    qnst_sis_close_fsck(&part, kFile, queue, 1);
    EXPECT_FALSE(std::filesystem::exists(env.file(queue)));
    ASSERT_EQ(0, qnst_sis_open_fsck(&part, kFile, queue, 1));
    EXPECT_TRUE(walk_refs(1, 0).empty());
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_sis_fsckq_get(&part, t, &h, &fset); }));
    EXPECT_EQ(0u, h);
    EXPECT_EQ(1u, getref(live));
    qnst_sis_close(&part);  // closes the check tables too
    EXPECT_EQ(nullptr, part.fsckqdb);
    EXPECT_EQ(nullptr, part.fsckrefdb);
    expect_log({});
}

TEST_F(Maintenance, CompactionFreesExactlyTheUnreferencedBlocks) {
    // a, c and the link l fall to 0; b stays referenced; s is saturated.
    const uint64_t a = store(1, 2, 1000), b = store(2, 2, 3000), c = store(3, 3, 500),
                   s = store(4, 3, 700), l = store(5, 2, 64);
    make_link(l, b);
    rele(a);
    rele(c);
    rele(l);
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_sis_setref(&part, t, 0, s, 131071); }));
    const Usage before2 = usage(2), before3 = usage(3);
    const auto a_hash = make_hash(1), b_hash = make_hash(2);

    ASSERT_EQ(0, qnst_sis_compact_init(&part, 0));
    EXPECT_EQ(EBUSY, qnst_sis_compact_init(&part, 0));
    expect_log({"code 16"});
    EXPECT_TRUE(std::filesystem::exists(env.file("plist_0.db")));

    const auto refs = walk_refs(0, 0);
    ASSERT_EQ(5u, refs.size());
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  int rc = 0;
                  for (const auto &[h, word] : refs)
                      if ((rc = qnst_sis_compact_padd(&part, t, h, word)) != 0) break;
                  return rc;
              }));
    EXPECT_EQ(3u, part.examined);
    auto listed = walk_refs(0, 1);
    ASSERT_EQ(3u, listed.size());
    EXPECT_EQ(a, listed[0].first);
    EXPECT_EQ(stamped(0), listed[0].second);
    EXPECT_EQ(c, listed[1].first);
    EXPECT_EQ(l, listed[2].first);
    // A listed block can no longer be found by its hash; the others still can.
    EXPECT_EQ("", raw(part.hashdb, a_hash.data(), 20));
    EXPECT_EQ(sistest::hex_le64(b), raw(part.hashdb, b_hash.data(), 20));

    // c gains a reference meanwhile: the queue flush takes it off the list.
    hold(c);
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_sis_plist_del(&part, t, c); }));
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_sis_plist_del(&part, t, c); }));

    listed = walk_refs(0, 1);
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  int rc = 0;
                  for (const auto &[h, word] : listed)
                      if ((rc = qnst_sis_compact_ppurge(&part, t, h, word)) != 0) break;
                  return rc;
              }));
    ASSERT_EQ(0, qnst_sis_compact_cleanup(&part, 0));
    EXPECT_EQ(nullptr, part.plistdb);
    EXPECT_FALSE(std::filesystem::exists(env.file("plist_0.db")));
    EXPECT_EQ(EINVAL, txn([&](DB_TXN *t) { return qnst_sis_plist_del(&part, t, c); }));

    for (uint64_t gone : {a, l}) {
        EXPECT_FALSE(has_handle(part.refdb, gone));
        EXPECT_FALSE(has_handle(part.dfdb, gone));
    }
    for (uint64_t kept : {b, c, s}) {
        EXPECT_TRUE(has_handle(part.refdb, kept));
        EXPECT_TRUE(has_handle(part.dfdb, kept));
    }
    EXPECT_EQ(1000u + 3000u, before2.used);
    EXPECT_EQ(before2.used - 1000, usage(2).used);  // a; a link's bytes went when it was made
    EXPECT_EQ(before3.used, usage(3).used);
    EXPECT_EQ(before2.coff, usage(2).coff);
    expect_log({});

    // A second pass finds nothing more to free.
    ASSERT_EQ(0, qnst_sis_compact_init(&part, 0));
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  int rc = 0;
                  for (const auto &[h, word] : walk_refs(0, 0))
                      if ((rc = qnst_sis_compact_padd(&part, t, h, word)) != 0) break;
                  return rc;
              }));
    EXPECT_TRUE(walk_refs(0, 1).empty());
    ASSERT_EQ(0, qnst_sis_compact_cleanup(&part, 0));
}

TEST_F(Maintenance, PurgeSparesABlockReferencedBehindTheListsBack) {
    const uint64_t a = store(1, 2, 1000);
    rele(a);
    ASSERT_EQ(0, qnst_sis_compact_init(&part, 5));
    EXPECT_TRUE(std::filesystem::exists(env.file("plist_5.db")));
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_sis_compact_padd(&part, t, a, stamped(0)); }));
    hold(a);  // applied without the compacting flush
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_sis_compact_ppurge(&part, t, a, stamped(0)); }));
    EXPECT_TRUE(has_handle(part.dfdb, a));
    EXPECT_EQ(1000u, usage(2).used);
    ASSERT_EQ(0, qnst_sis_compact_cleanup(&part, 5));
    EXPECT_FALSE(std::filesystem::exists(env.file("plist_5.db")));
}

TEST_F(Maintenance, PurgingADuplicateKeepsTheIndexEntryOfTheLiveBlock) {
    // `live` owns the hash in the index; `dup` has the same hash but was never indexed (it was
    // stored while caching was on and lost its reference before the store queue was flushed).
    const uint64_t live = store(1, 2, 1000);
    const auto hash = make_hash(1);
    uint64_t dup = 0;
    ASSERT_EQ(0, qnst_sis_gen_handle(&part, &dup));
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  uint32_t count = 0;
                  int rc = qnst_sis_store(&part, t, hash.data(), 20, 2, 1, 4096, 1000, dup);
                  return rc ? rc : qnst_sis_rele(&part, t, dup, &count);
              }));
    ASSERT_EQ(0, qnst_sis_compact_init(&part, 0));
    for (const auto &[h, word] : walk_refs(0, 0))
        ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_sis_compact_padd(&part, t, h, word); }));
    const auto listed = walk_refs(0, 1);
    ASSERT_EQ(1u, listed.size());
    EXPECT_EQ(dup, listed[0].first);
    EXPECT_EQ(sistest::hex_le64(live), raw(part.hashdb, hash.data(), 20));
    for (const auto &[h, word] : listed)
        ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_sis_compact_ppurge(&part, t, h, word); }));
    ASSERT_EQ(0, qnst_sis_compact_cleanup(&part, 0));
    EXPECT_FALSE(has_handle(part.dfdb, dup));
    uint64_t found = 0;
    ASSERT_EQ(0,
              txn([&](DB_TXN *t) { return qnst_sis_lookup(&part, t, hash.data(), 20, &found); }));
    EXPECT_EQ(live, found);
    expect_log({});
}

TEST_F(Maintenance, TableCompactionReportsPages) {
    for (uint32_t i = 0; i < 200; ++i) store(i);
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  int rc = 0;
                  for (const auto &[h, word] : walk_refs(0, 0)) {
                      if ((rc = qnst_sis_purge_idref(&part, t, h, 0)) != 0) break;
                      if ((rc = qnst_sis_purge_iddf(&part, t, h)) != 0) break;
                  }
                  return rc;
              }));
    uint32_t freed = 1, truncated = 2;
    ASSERT_EQ(0, qnst_sis_dbcompact(&part, &freed, &truncated));
    EXPECT_GE(freed, 1u);
    EXPECT_GE(truncated, 2u);
    expect_log({});
}

}  // namespace
