// Storing, looking up, holding and releasing blocks, symbolic links and the histogram.
#include <map>
#include <random>

#include "sis_fixture.hpp"

namespace {

using sistest::make_hash;
using sistest::Partition;
using sistest::stamped;

constexpr const char *kNotFound = "code -30988";

TEST_F(Partition, StoreWritesLocationReferenceAndBucketOne) {
    uint64_t h = 0;
    ASSERT_EQ(0, qnst_sis_gen_handle(&part, &h));
    const auto hash = make_hash(0xA1);
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  return qnst_sis_store(&part, t, hash.data(), 20, 0x01020304, 7,
                                        0x1122334455667788ull, 0x9000, h);
              }));
    EXPECT_EQ(
        "04030201"
        "07000000"
        "8877665544332211"
        "00900000"
        "14000000" +
            qnst::testing::hex(hash.data(), 20),
        raw_handle(part.dfdb, h));
    uint8_t word[4];
    qnst::store_le32(word, stamped(1));
    EXPECT_EQ(qnst::testing::hex(word, 4), raw_handle(part.refdb, h));
    EXPECT_EQ(1u, bucket(1));
    // The hash index is the caller's business.
    uint64_t found = 1;
    ASSERT_EQ(0,
              txn([&](DB_TXN *t) { return qnst_sis_lookup(&part, t, hash.data(), 20, &found); }));
    EXPECT_EQ(0u, found);
    // A second store under the same handle is refused.
    EXPECT_EQ(DB_KEYEXIST, txn([&](DB_TXN *t) {
                  return qnst_sis_store(&part, t, hash.data(), 20, 1, 1, 0, 1, h);
              }));
    expect_log({"code -30994", "code -30994"});  // DB_KEYEXIST, store and write
}

TEST_F(Partition, StoreRefusesAHashLongerThanTwentyBytes) {
    uint8_t hash[21] = {1, 2, 3};
    const uint64_t h = qnst_sis_make_handle(77);
    EXPECT_EQ(EINVAL,
              txn([&](DB_TXN *t) { return qnst_sis_store(&part, t, hash, 21, 1, 1, 0, 4096, h); }));
    EXPECT_FALSE(has_handle(part.dfdb, h));
    EXPECT_FALSE(has_handle(part.refdb, h));
    EXPECT_EQ(0u, bucket(1));
    expect_log({"code 22"});
}

TEST_F(Partition, LookupFindsIndexedHashesAndIsSilentOtherwise) {
    const uint64_t h = store(5);
    uint64_t found = 0;
    const auto hash = make_hash(5), other = make_hash(6);
    ASSERT_EQ(0,
              txn([&](DB_TXN *t) { return qnst_sis_lookup(&part, t, hash.data(), 20, &found); }));
    EXPECT_EQ(h, found);
    EXPECT_EQ(sistest::hex_le64(h), raw(part.hashdb, hash.data(), 20));
    ASSERT_EQ(0,
              txn([&](DB_TXN *t) { return qnst_sis_lookup(&part, t, other.data(), 20, &found); }));
    EXPECT_EQ(0u, found);
    expect_log({});
}

TEST_F(Partition, HoldAndReleaseCountAndRefuseBelowZero) {
    const uint64_t h = store(1);
    EXPECT_EQ(2u, hold(h));
    EXPECT_EQ(0u, bucket(1));
    EXPECT_EQ(1u, bucket(2));
    EXPECT_EQ(1u, rele(h));
    EXPECT_EQ(0u, rele(h));
    EXPECT_EQ(0u, bucket(1));
    EXPECT_EQ(stamped(0), raw_word(part.refdb, h));
    EXPECT_TRUE(has_handle(part.dfdb, h));  // left for compaction
    expect_log({});

    EXPECT_EQ(0u, rele(h));
    EXPECT_EQ(stamped(0), raw_word(part.refdb, h));
    expect_log({"error:qnst_sis_rele: Invalid ref count for handle " + hx(h)});
    for (int b = 1; b <= 256; ++b) ASSERT_EQ(0u, bucket(b)) << b;
}

TEST_F(Partition, LegacyWordsEnterTheHistogramOnTheirFirstChange) {
    const uint64_t a = store(1), b = store(2);
    // Both look like blocks of an older store: legacy words, not in the histogram.
    for (uint64_t h : {a, b}) put_raw_word(part.refdb, h, 5);
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_csis_histupdate(&part, t, 1, -2); }));
    EXPECT_EQ(6u, hold(a));
    EXPECT_EQ(stamped(6), raw_word(part.refdb, a));
    EXPECT_EQ(1u, bucket(6));
    EXPECT_EQ(0u, bucket(5));  // nothing was taken out of the old bucket
    EXPECT_EQ(4u, rele(b));
    EXPECT_EQ(1u, bucket(4));
    EXPECT_EQ(0u, bucket(5));
}

TEST_F(Partition, SaturatedBlocksNeverChange) {
    const uint64_t h = store(1);
    put_raw_word(part.refdb, h, stamped(131070));
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  int rc = qnst_csis_histupdate(&part, t, 1, -1);
                  return rc ? rc : qnst_csis_histupdate(&part, t, 256, +1);
              }));
    EXPECT_EQ(131071u, hold(h));
    EXPECT_EQ(131071u, hold(h));
    EXPECT_EQ(131071u, rele(h));
    EXPECT_EQ(stamped(131071), raw_word(part.refdb, h));
    EXPECT_EQ(1u, bucket(256));
}

TEST_F(Partition, MissingReferenceRecordIsRebuiltAsPermanent) {
    const uint64_t a = store(1), b = store(2);
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  int rc = qnst_sis_purge_idref(&part, t, a, 0);
                  rc = rc ? rc : qnst_sis_purge_idref(&part, t, b, 0);
                  return rc ? rc : qnst_csis_histupdate(&part, t, 1, -2);
              }));
    EXPECT_EQ(131071u, hold(a));
    EXPECT_EQ(stamped(131071), raw_word(part.refdb, a));
    expect_log({kNotFound, "error:qnst_sis_relefixup: Fixed idref for handle " + hx(a)});
    EXPECT_EQ(131071u, rele(b));
    EXPECT_EQ(stamped(131071), raw_word(part.refdb, b));
    expect_log({kNotFound, "error:qnst_sis_relefixup: Fixed idref for handle " + hx(b)});
    EXPECT_EQ(2u, bucket(256));
    EXPECT_EQ(0u, bucket(1));
}

TEST_F(Partition, HandlesWithoutRecordsAreReportedAndIgnored) {
    const uint64_t ghost = qnst_sis_make_handle(999);
    hold(ghost);
    expect_log(
        {kNotFound, kNotFound,
         "error:sis_hold failed in qnst_sis_relefixup: Failed to locate id_df for " + hx(ghost)});
    rele(ghost);
    expect_log({kNotFound, kNotFound,
                "error:sis_rele failed in qnst_sis_relefixup: Failed to locate id_df entry for "
                "handle " +
                    hx(ghost)});
    EXPECT_FALSE(has_handle(part.refdb, ghost));

    // A reference record without a location record: counted, then reported.
    put_raw_word(part.refdb, ghost, stamped(3));
    EXPECT_EQ(4u, hold(ghost));
    expect_log({kNotFound,
                "error:sis_hold failed in qnst_sis_symlookup: Failed to locate id_df entry for "
                "handle " +
                    hx(ghost)});
    EXPECT_EQ(3u, rele(ghost));
    expect_log({kNotFound,
                "error:sis_rele failed in qnst_sis_symlookup: Failed to locate id_df entry for "
                "handle " +
                    hx(ghost)});
}

TEST_F(Partition, LinksPassHoldsAndReleasesToTheirTarget) {
    const uint64_t target = store(1), link = store(2);
    for (int i = 0; i < 4; ++i) hold(target);  // 5
    hold(link);                                // 2
    make_link(link, target);                   // target 7, link leaves the histogram
    EXPECT_EQ(7u, getref(target));
    EXPECT_EQ(1u, bucket(7));
    EXPECT_EQ(0u, bucket(2));

    EXPECT_EQ(3u, hold(link));
    EXPECT_EQ(8u, getref(target));
    EXPECT_EQ(1u, bucket(8));
    EXPECT_EQ(0u, bucket(7));
    EXPECT_EQ(0u, bucket(3));
    EXPECT_EQ(2u, rele(link));
    EXPECT_EQ(7u, getref(target));
    EXPECT_EQ(1u, bucket(7));
    EXPECT_EQ(0u, bucket(8));
    EXPECT_EQ(0u, bucket(2));

    // The link's record, raw, and reads through it.
    EXPECT_EQ(
        "ffffffff"
        "00000000" +
            sistest::hex_le64(target) +
            "00000000"
            "00000000",
        raw_handle(part.dfdb, link));
    uint32_t dfid, dfver, length, hashlen, followed = 9;
    uint64_t offset;
    uint8_t hash[20] = {};
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  return qnst_sis_read(&part, t, link, &dfid, &dfver, &offset, &length, &hashlen,
                                       hash, &followed);
              }));
    EXPECT_EQ(1u, followed);
    EXPECT_EQ(1u, dfid);
    EXPECT_EQ(4096u, length);
    EXPECT_EQ(20u, hashlen);
    EXPECT_EQ(0, std::memcmp(hash, make_hash(1).data(), 20));
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  return qnst_sis_read(&part, t, target, &dfid, &dfver, &offset, &length, &hashlen,
                                       hash, &followed);
              }));
    EXPECT_EQ(0u, followed);
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  return qnst_sis_read1(&part, t, link, &dfid, &dfver, &offset, &length, &hashlen,
                                        hash);
              }));
    EXPECT_EQ(QNST_SIS_SYMLINK_DFID, dfid);
    EXPECT_EQ(target, offset);
    uint64_t to = 1;
    EXPECT_EQ(QNST_NOT_SYMLINK,
              txn([&](DB_TXN *t) { return qnst_sis_symlookup(&part, t, target, &to); }));
    EXPECT_EQ(0u, to);
    EXPECT_EQ(DB_NOTFOUND, txn([&](DB_TXN *t) {
                  return qnst_sis_read1(&part, t, 12345, &dfid, &dfver, &offset, &length, &hashlen,
                                        hash);
              }));
    expect_log({});  // read1 leaves logging to its callers
}

TEST_F(Partition, LinkCyclesEndWithAnEntryInsteadOfHanging) {
    const uint64_t a = store(1), b = store(2);
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  int rc = qnst_sis_write_iddf(&part, t, a, QNST_SIS_SYMLINK_DFID, 0, b, 0, nullptr,
                                               0, 0);
                  return rc ? rc
                            : qnst_sis_write_iddf(&part, t, b, QNST_SIS_SYMLINK_DFID, 0, a, 0,
                                                  nullptr, 0, 0);
              }));
    uint32_t dfid, dfver, length, hashlen, followed;
    uint64_t offset;
    EXPECT_EQ(EINVAL, txn([&](DB_TXN *t) {
                  return qnst_sis_read(&part, t, a, &dfid, &dfver, &offset, &length, &hashlen,
                                       nullptr, &followed);
              }));
    expect_log({"error:qnst_sis_read: too many symbolic links at handle " + hx(a)});
    hold(a, 0, EINVAL);
    const auto lines = env.error_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(std::string::npos, lines.front().find("qnst_sis_hold: too many symbolic links"));
    env.mark_log();
}

TEST_F(Partition, DamagedLocationRecordsAreRefusedNotCopied) {
    const uint64_t h = store(1);
    // A record whose hash length claims more bytes than it holds.
    uint8_t k[8], rec[24] = {};
    qnst::store_le64(k, h);
    qnst::store_le32(rec + 16, 4096);
    qnst::store_le32(rec + 20, 200);
    DBT kd = qnst::user_dbt(k, 8), dd = qnst::user_dbt(rec, sizeof rec);
    ASSERT_EQ(0, part.dfdb->put(part.dfdb, nullptr, &kd, &dd, 0));
    uint32_t dfid, dfver, length, hashlen, followed;
    uint64_t offset;
    uint8_t hash[20];
    EXPECT_EQ(EIO, txn([&](DB_TXN *t) {
                  return qnst_sis_read(&part, t, h, &dfid, &dfver, &offset, &length, &hashlen, hash,
                                       &followed);
              }));
    expect_log({});
    EXPECT_EQ(EIO, txn([&](DB_TXN *t) {
                  uint32_t c = 0;
                  return qnst_sis_hold(&part, t, h, &c, 0);
              }));
    expect_log({"code 5", "code 5"});  // the link check, then the hold
}

TEST_F(Partition, CheckModeHoldsUseTheCheckTableOnly) {
    const uint64_t h = store(1);
    ASSERT_EQ(0, qnst_sis_open_fsck(&part, kFile, "blksis_q0.db", 1));
    hold(h, 1, DB_NOTFOUND);
    EXPECT_FALSE(has_handle(part.fsckrefdb, h));
    expect_log({kNotFound});
    ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_sis_store_idref(&part, t, h, 1); }));
    EXPECT_EQ(1u, hold(h, 1));
    EXPECT_EQ(2u, hold(h, 1));
    EXPECT_EQ(stamped(2), raw_word(part.fsckrefdb, h));
    EXPECT_EQ(stamped(1), raw_word(part.refdb, h));
    EXPECT_EQ(1u, bucket(1));  // the live histogram is untouched
    EXPECT_EQ(0u, bucket(2));
    qnst_sis_close_fsck(&part, kFile, "blksis_q0.db", 1);
}

// Random stores, holds, releases and link merges over one partition; afterwards every
// histogram bucket must equal a recount of the stamped words of the real blocks.
TEST_F(Partition, HistogramMatchesARecountAfterRandomTraffic) {
    std::mt19937 rng(20101215);
    std::vector<uint64_t> blocks;  // real blocks
    std::vector<uint64_t> links;
    uint32_t seed = 0;
    for (int i = 0; i < 8; ++i) blocks.push_back(store(seed++));
    // One hot block crosses the 256 cap.
    for (int i = 0; i < 300; ++i) hold(blocks[0]);
    for (int step = 0; step < 600; ++step) {
        const uint32_t dice = rng() % 100;
        if (dice < 8) {
            blocks.push_back(store(seed++));
        } else if (dice < 10 && blocks.size() > 2) {
            // A duplicate found by the store queue: the newest block becomes a link.
            const uint64_t dup = blocks.back();
            blocks.pop_back();
            make_link(dup, blocks[rng() % blocks.size()]);
            links.push_back(dup);
        } else if (dice < 12) {
            // A block of an older store, with a legacy word.
            const uint64_t h = store(seed++);
            put_raw_word(part.refdb, h, 1 + rng() % 300);
            ASSERT_EQ(0, txn([&](DB_TXN *t) { return qnst_csis_histupdate(&part, t, 1, -1); }));
            blocks.push_back(h);
        } else {
            const bool via_link = !links.empty() && rng() % 4 == 0;
            const uint64_t h =
                via_link ? links[rng() % links.size()] : blocks[rng() % blocks.size()];
            if (dice < 60) {
                hold(h);
            } else {
                rele(h);
            }
        }
        if (HasFatalFailure()) return;
    }

    std::map<int, uint32_t> recount;
    DBC *cursor = nullptr;
    uint64_t h = 0;
    uint32_t word = 0, count = 0;
    ASSERT_EQ(0, txn([&](DB_TXN *t) {
                  int rc = qnst_sis_walk_idref(&part, t, 0, 0, &cursor, &h, &word, &count);
                  while (rc == 0 && h != 0) {
                      uint64_t target = 0;
                      const int kind = qnst_sis_symlookup(&part, t, h, &target);
                      if (kind == QNST_NOT_SYMLINK && (word & QNST_SIS_REF_STAMPED) && count > 0)
                          ++recount[count > 256 ? 256 : static_cast<int>(count)];
                      else if (kind != 0 && kind != QNST_NOT_SYMLINK)
                          rc = kind;
                      if (rc == 0) rc = qnst_sis_next_idref(&part, cursor, &h, &word, &count);
                  }
                  qnst_sis_done(&part, cursor);
                  return rc;
              }));
    EXPECT_GE(recount[256], 1u);
    for (int b = 1; b <= 256; ++b) EXPECT_EQ(recount[b], bucket(b)) << "bucket " << b;
    // Only "invalid ref count" entries may have been written, for releases of count 0.
    for (const auto &line : env.error_lines())
        EXPECT_NE(std::string::npos, line.find("qnst_sis_rele: Invalid ref count")) << line;
}

}  // namespace
