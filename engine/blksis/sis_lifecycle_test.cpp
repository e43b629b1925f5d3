// Partition lifecycle, handle generation and the reference word.
#include <filesystem>

#include "qnst_clock.hpp"
#include "sis_fixture.hpp"

namespace {

using sistest::Partition;
using sistest::stamped;

uint64_t seq_value(uint64_t handle) {
    uint8_t b[8];
    qnst::store_le64(b, handle);
    EXPECT_EQ(0x80, b[6]);
    EXPECT_EQ(0, b[7]);
    return qnst::load_be(b, 6);
}

TEST_F(Partition, FreshPartitionIssuesHandlesFromThreeBigEndianInTheKey) {
    uint64_t h = 0;
    ASSERT_EQ(0, qnst_sis_gen_handle(&part, &h));
    EXPECT_EQ(0x0080030000000000ull, h);
    EXPECT_EQ("0000000000038000", sistest::hex_le64(h));
    ASSERT_EQ(0, qnst_sis_gen_handle(&part, &h));
    EXPECT_EQ(4u, seq_value(h));
    // Values above 255 spill into the next more significant byte, which comes first.
    EXPECT_EQ("0000000001028000", sistest::hex_le64(qnst_sis_make_handle(0x102)));
    EXPECT_EQ("1234567890ab8000", sistest::hex_le64(qnst_sis_make_handle(0x1234567890abull)));
}

TEST_F(Partition, SeqExtendSkipsAHundredThousandValues) {
    uint64_t h = 0;
    ASSERT_EQ(0, qnst_sis_seq_extend(&part));
    ASSERT_EQ(0, qnst_sis_gen_handle(&part, &h));
    EXPECT_GE(seq_value(h), 100003u);
    EXPECT_LE(seq_value(h), 100003u + QNST_SIS_SEQ_CACHE);
}

TEST_F(Partition, HandlesStayUniqueAcrossReopen) {
    uint64_t before = 0, after = 0;
    ASSERT_EQ(0, qnst_sis_gen_handle(&part, &before));
    qnst_csis_close(&part);
    qnst_sis_close(&part);
    ASSERT_EQ(0, qnst_sis_create(&part, dbenv(), &dfile));
    ASSERT_EQ(0, qnst_sis_open(&part, kFile));
    ASSERT_EQ(0, qnst_csis_histopen(&part, "blksis_0", "", 0));
    ASSERT_EQ(0, qnst_sis_gen_handle(&part, &after));
    EXPECT_GT(seq_value(after), seq_value(before));
}

TEST(PartitionLifecycle, CreateWithoutOpenCloseAndRemove) {
    qnst::testing::TempEnv env;
    qnst_sis part;
    std::memset(&part, 0xA5, sizeof part);
    ASSERT_EQ(0, qnst_sis_create(&part, env.dbenv(), nullptr));
    EXPECT_EQ(1, part.wmark);
    EXPECT_EQ(0u, part.hits);
    EXPECT_EQ(nullptr, part.seq);
    EXPECT_EQ(nullptr, part.plistdb);
    EXPECT_NE(nullptr, part.histdb);
    EXPECT_EQ(0, qnst_sis_close(&part));
    EXPECT_EQ(0, qnst_csis_close(&part));
    EXPECT_EQ(nullptr, part.refdb);
    EXPECT_EQ(nullptr, part.histdb);
    // Without an open sequence there is no handle to give.
    uint64_t h = 0;
    EXPECT_EQ(EINVAL, qnst_sis_gen_handle(&part, &h));

    ASSERT_EQ(0, qnst_sis_create(&part, env.dbenv(), nullptr));
    ASSERT_EQ(0, qnst_sis_open(&part, "p.db"));
    qnst_sis_close(&part);
    qnst_csis_close(&part);
    EXPECT_TRUE(std::filesystem::exists(env.file("p.db")));
    env.mark_log();
    EXPECT_EQ(0, qnst_sis_remove(env.dbenv(), "p.db"));
    EXPECT_FALSE(std::filesystem::exists(env.file("p.db")));
    EXPECT_EQ(ENOENT, qnst_sis_remove(env.dbenv(), "p.db"));
    const auto lines = env.error_lines();
    ASSERT_FALSE(lines.empty());
    qnst::testing::expect_log_entries({lines.back()}, {{"qnst/blksis/qnst_sis", "code 2"}});
}

TEST(ReferenceWord, UpdateCountsSaturatesAndStamps) {
    struct Case {
        uint32_t word;
        int32_t delta;
        uint32_t count;
    };
    const Case cases[] = {
        {7, +1, 8},                     // legacy word becomes stamped
        {0, 0, 0},                      // restamp of a zero count
        {stamped(131070), +1, 131071},  // reaches saturation
        {stamped(131071), +1, 131071},  // and never leaves it
        {stamped(131071), -1, 131071},
        {200000, 0, 131071},  // a legacy count above the cap
        {stamped(9) & ~(QNST_SIS_REF_DAYMASK << QNST_SIS_REF_DAYSHIFT), -1, 8},  // old stamp
    };
    for (const Case &c : cases) {
        uint32_t word = c.word;
        EXPECT_EQ(c.count, qnst_sis_ref_update(&word, c.delta)) << std::hex << c.word;
        EXPECT_EQ(stamped(c.count), word) << std::hex << c.word;
        EXPECT_EQ(c.count, qnst_sis_ref_count(word));
    }
    EXPECT_EQ(7u, qnst_sis_ref_count(7));
    EXPECT_EQ(9u, qnst_sis_ref_count(stamped(9)));
}

TEST(ReferenceWord, AgeWrapsAfter2048Days) {
    const uint32_t today = qnst_sis_today();
    auto stamped_on = [](uint32_t day) {
        return QNST_SIS_REF_STAMPED | ((day & QNST_SIS_REF_DAYMASK) << QNST_SIS_REF_DAYSHIFT) | 1;
    };
    EXPECT_EQ(0u, qnst_sis_ref_age(stamped_on(today)));
    EXPECT_EQ(1u, qnst_sis_ref_age(stamped_on(today - 1)));
    EXPECT_EQ(2047u, qnst_sis_ref_age(stamped_on(today - 2047)));
    EXPECT_EQ(0u, qnst_sis_ref_age(stamped_on(today - 2048)));
}

TEST(ReferenceWord, DayNumberCountsFromMidDecember2010) {
    std::tm tm{};
    tm.tm_year = 2010 - 1900;
    tm.tm_mon = 11;
    tm.tm_mday = 15;
    tm.tm_isdst = 0;
    const int64_t epoch = qnst::make_time(&tm);
    EXPECT_EQ(static_cast<uint32_t>((qnst::time_now() - epoch) / 86400), qnst_sis_today());
}

}  // namespace
