#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>


#include "qnst_internal.hpp"
#include "qnst_quota.h"
#include "qnst_testing.hpp"

namespace {

using qnst::testing::TempEnv;
using qnst::testing::with_txn;

class QuotaTest : public ::testing::Test {
protected:
    void SetUp() override { open(); }
    void TearDown() override { qn_quota_close(q_); }

    void open() {
        ASSERT_EQ(0, qn_quota_create(&q_, env_.dbenv()));
        ASSERT_EQ(0, qn_quota_open(q_));
    }
    // Closes and reopens the environment: a normal open, or a recovery open followed by the
    // normal open the server works in.
    void reopen_env(bool recover) {
        qn_quota_close(q_);
        q_ = nullptr;
        if (recover) env_.reopen(true);
        env_.reopen(false);
        open();
    }

    int init(uint32_t id, int64_t limit, int64_t current) {
        return with_txn(env_.dbenv(),
                        [&](DB_TXN *txn) { return qn_quota_init(q_, txn, id, limit, current); });
    }
    int modify(uint32_t id, int64_t delta) {
        return with_txn(env_.dbenv(),
                        [&](DB_TXN *txn) { return qn_quota_modify(q_, txn, id, delta); });
    }
    int64_t current(uint32_t id, int *rc = nullptr) {
        int64_t cur = -12345;
        const int r = with_txn(env_.dbenv(),
                               [&](DB_TXN *txn) { return qn_quota_get(q_, txn, id, &cur); });
        if (rc) *rc = r;
        else EXPECT_EQ(0, r);
        return cur;
    }
    // The stored bytes of `id`, read without the family's code.
    std::string raw(uint32_t id) {
        uint8_t kb[4], vb[32];
        qnst::store_le32(kb, id);
        DBT key = qnst::user_dbt(kb, sizeof kb);
        DBT data = qnst::user_dbt(vb, 0, sizeof vb);
        const int rc = q_->db->get(q_->db, nullptr, &key, &data, 0);
        return rc ? "rc " + std::to_string(rc) : qnst::testing::hex(vb, data.size);
    }

    TempEnv env_;
    qn_quotarec *q_ = nullptr;
};

TEST_F(QuotaTest, UsageUpToTheLimitIsAcceptedAndOneMoreIsRefused) {
    ASSERT_EQ(0, init(7, 1000, 900));
    EXPECT_EQ(raw(7), "e803000000000000" "8403000000000000");
    EXPECT_EQ(0, modify(7, 100));
    EXPECT_EQ(1000, current(7));
    const std::string at_limit = raw(7);
    EXPECT_EQ(QN_QUOTA_EXCEEDED, modify(7, 1));
    EXPECT_EQ(raw(7), at_limit);
    EXPECT_EQ(0, modify(7, -1500));  // decreases are accepted, even below zero
    EXPECT_EQ(-500, current(7));
    EXPECT_EQ(raw(7), "e803000000000000" "0cfeffffffffffff");
    EXPECT_TRUE(env_.error_lines().empty());
}

TEST_F(QuotaTest, DecreasesAreAcceptedAboveALoweredLimit) {
    ASSERT_EQ(0, init(1, 100, 500));
    EXPECT_EQ(QN_QUOTA_EXCEEDED, modify(1, 1));
    EXPECT_EQ(QN_QUOTA_EXCEEDED, modify(1, 0));  // no change, but still above the limit
    EXPECT_EQ(0, modify(1, -100));
    EXPECT_EQ(400, current(1));
    ASSERT_EQ(0, init(1, 100, 100));
    EXPECT_EQ(0, modify(1, 0));
    ASSERT_EQ(0, init(1, 100, 0));  // init replaces the record
    EXPECT_EQ(0, current(1));
}

TEST_F(QuotaTest, SumsSaturateInsteadOfWrapping) {
    ASSERT_EQ(0, init(2, INT64_MAX, INT64_MAX - 1));
    EXPECT_EQ(0, modify(2, INT64_MAX));  // stops at the top, which the limit allows
    EXPECT_EQ(current(2), INT64_MAX);
    ASSERT_EQ(0, init(3, 0, INT64_MIN + 1));
    EXPECT_EQ(0, modify(3, -2));
    EXPECT_EQ(current(3), INT64_MIN);
}

TEST_F(QuotaTest, AnUnknownIdentifierIsNotFoundAndLogged) {
    int rc = 0;
    current(99, &rc);
    EXPECT_EQ(DB_NOTFOUND, rc);
    EXPECT_EQ(DB_NOTFOUND, modify(99, 1));
    const qnst::testing::LogEntry not_found{"qnst/quota/qnst_quota", "code -30988"};
    qnst::testing::expect_log_entries(env_.error_lines(), {not_found, not_found});
}

// The records live in the environment's cache. They last while the environment is open, across
// closes of the quota handle and checkpoints. Whether they outlive a close of the environment
// depends on what its closing checkpoint finds dirty (pages of a closed in-memory table that are
// dirty then are dropped), so the server writes every record again after each open.
TEST_F(QuotaTest, RecordsLastWhileTheEnvironmentIsOpen) {
    ASSERT_EQ(0, init(5, 50, 20));
    qn_quota_close(q_);
    q_ = nullptr;
    open();
    DB_ENV *dbenv = env_.dbenv();
    ASSERT_EQ(0, dbenv->txn_checkpoint(dbenv, 0, 0, DB_FORCE));
    EXPECT_EQ(20, current(5));
    for (const bool recover : {false, true}) {
        reopen_env(recover);
        ASSERT_EQ(0, init(5, 50, 30)) << recover;  // as the server does after every open
        EXPECT_EQ(30, current(5)) << recover;
    }
}

// After a crash the recovery open rebuilds the regions and replays the log from the last
// checkpoint; the table comes back only when its creation lies in that stretch of log. The
// table here was created before the checkpoint of the parent's clean close, so no record comes
// back, with or without a checkpoint in the crashed process, and the table is usable again.
class QuotaCrashTest : public QuotaTest, public ::testing::WithParamInterface<bool> {
protected:
    // A server process that opens the environment, writes record `id` with a commit that reaches
    // the log file, checkpoints when asked, writes `id` + 1 the same way, and dies without
    // closing anything.
    void crash_after_writing(uint32_t id, bool checkpoint) {
        qn_quota_close(q_);
        q_ = nullptr;
        env_.close();
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) ::_exit(write_and_die(id, checkpoint));
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        reopen_env(true);
    }

    int write_and_die(uint32_t id, bool checkpoint) {
        qnst_envrec env{};
        qn_quotarec *q = nullptr;
        const std::string home = env_.home().string();
        const std::string err = env_.file("child.log");
        int rc = qnst_env_create(&env, 0);
        if (!rc) rc = qnst_env_open(&env, home.c_str(), nullptr, err.c_str(), 0, 20000, 20000, 0,
                                    0, 0, 0, 8u << 20, 0, 0, 0, 0);
        if (!rc) rc = qn_quota_create(&q, env.dbenv);
        if (!rc) rc = qn_quota_open(q);
        for (uint32_t i = 0; i < 2 && !rc; ++i) {
            if (i == 1 && checkpoint) rc = env.dbenv->txn_checkpoint(env.dbenv, 0, 0, DB_FORCE);
            DB_TXN *txn = nullptr;
            if (!rc) rc = qnst_txn_begin(env.dbenv, nullptr, &txn);
            if (!rc) rc = qn_quota_init(q, txn, id + i, 100, 10);
            if (!rc) rc = qnst_txn_commit(txn, 1);
        }
        return rc == 0 ? 0 : 1;
    }
};

TEST_P(QuotaCrashTest, RecoveryKeepsWhatTheLogHoldsSinceTheLastCheckpoint) {
    const bool checkpoint = GetParam();
    ASSERT_EQ(0, init(5, 50, 20));  // committed without flushing the log
    crash_after_writing(6, checkpoint);
    for (uint32_t id : {5u, 6u, 7u}) {
        int rc = 0;
        current(id, &rc);
        EXPECT_EQ(DB_NOTFOUND, rc) << id << (checkpoint ? " after a checkpoint" : "");
    }
    ASSERT_EQ(0, init(6, 100, 10));
    EXPECT_EQ(10, current(6));
}

INSTANTIATE_TEST_SUITE_P(Checkpoint, QuotaCrashTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &p) {
                             return p.param ? "after" : "none";
                         });

}  // namespace
