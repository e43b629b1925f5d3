// The environment shared by several threads: log entries from many threads, and the
// maintenance thread bodies running beside transactions.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "qnst_internal.hpp"
#include "qnst_testing.hpp"

QNST_SOURCE("qnst/bdb/env_concurrency_test");

namespace {

using qnst::testing::expect_log_entries;
using qnst::testing::LogEntry;
using qnst::testing::TempEnv;

TEST(ErrorLog, ConcurrentMessagesNeverInterleave) {
    TempEnv env;
    const std::string filler(300, 'x');
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) QNST_MSG(env.dbenv(), "thread %d entry %d %s", t, i, filler.c_str());
        });
    for (auto &th : threads) th.join();
    const LogEntry whole{"qnst/bdb/env_concurrency_test", "error:thread \\d entry \\d+ x{300}"};
    expect_log_entries(env.error_lines(), std::vector<LogEntry>(800, whole));
}

TEST(MaintenanceThreads, StopWakesSleepingBodies) {
    TempEnv env;
    int rc[3] = {-1, -1, -1};
    std::thread checkpoint([&] { rc[0] = qnst_env_checkpointthread(env.env(), 3600, ""); });
    std::thread trickle([&] { rc[1] = qnst_env_flushcachethread(env.env(), 20); });
    std::thread deadlock([&] { rc[2] = qnst_env_checkdlockthread(env.env()); });
    EXPECT_EQ(0, qnst_env_stopthreads(env.env()));
    checkpoint.join();
    trickle.join();
    deadlock.join();
    EXPECT_EQ(0, rc[0]);
    EXPECT_EQ(0, rc[1]);
    EXPECT_EQ(0, rc[2]);
}

DB *open_table(DB_ENV *dbenv, const char *name) {
    DB *db = nullptr;
    EXPECT_EQ(0, db_create(&db, dbenv, 0));
    EXPECT_EQ(0, db->open(db, nullptr, name, nullptr, DB_BTREE, DB_CREATE | DB_AUTO_COMMIT | DB_THREAD, 0));
    return db;
}

int put(DB *db, DB_TXN *txn, uint32_t k) {
    DBT key = qnst::user_dbt(&k, sizeof k), data = qnst::user_dbt(&k, sizeof k);
    return db->put(db, txn, &key, &data, 0);
}

// Two transactions each write a table and then the other's: one of them must end with
// DB_LOCK_DEADLOCK (and abort), the other commits. Returns both results.
std::pair<int, int> crossing_writes(TempEnv &env, DB *db1, DB *db2) {
    DB_TXN *t1 = nullptr, *t2 = nullptr;
    EXPECT_EQ(0, qnst_txn_begin(env.dbenv(), nullptr, &t1));
    EXPECT_EQ(0, qnst_txn_begin(env.dbenv(), nullptr, &t2));
    EXPECT_EQ(0, put(db1, t1, 1));
    EXPECT_EQ(0, put(db2, t2, 1));
    // Each side ends its own transaction, so the victim's abort lets the other one finish.
    auto finish = [](DB_TXN *txn, int rc) {
        (void)(rc == DB_LOCK_DEADLOCK ? qnst_txn_abort(txn) : qnst_txn_commit(txn, 0));
        return rc;
    };
    int rc1 = -1, rc2 = -1;
    std::thread a([&] { rc1 = finish(t1, put(db2, t1, 2)); });
    std::thread b([&] { rc2 = finish(t2, put(db1, t2, 2)); });
    a.join();
    b.join();
    return {rc1, rc2};
}

void expect_one_victim(std::pair<int, int> rc) {
    EXPECT_TRUE((rc.first == DB_LOCK_DEADLOCK) != (rc.second == DB_LOCK_DEADLOCK))
        << rc.first << " " << rc.second;
    EXPECT_TRUE(rc.first == 0 || rc.second == 0) << rc.first << " " << rc.second;
}

TEST(MaintenanceThreads, DeadlockThreadBreaksADeadlock) {
    TempEnv env;
    // Two tables, so that the two transactions certainly wait on each other's page.
    DB *db1 = open_table(env.dbenv(), "t.db"), *db2 = open_table(env.dbenv(), "u.db");
    std::thread detector([&] { qnst_env_checkdlockthread(env.env()); });
    expect_one_victim(crossing_writes(env, db1, db2));
    qnst_env_stopthreads(env.env());
    detector.join();
    db1->close(db1, 0);
    db2->close(db2, 0);
    EXPECT_TRUE(env.error_lines().empty()) << "deadlocks are not logged";
}

// The request that closes the cycle finds the deadlock itself: nobody runs a detector here,
// except a last-resort watchdog that only keeps a failing test from hanging.
TEST(Deadlocks, ABlockedRequestBreaksTheDeadlockAtOnce) {
    TempEnv env;
    DB *db1 = open_table(env.dbenv(), "t.db"), *db2 = open_table(env.dbenv(), "u.db");
    std::mutex m;
    std::condition_variable done;
    bool finished = false, watchdog_acted = false;
    std::thread watchdog([&] {
        std::unique_lock lock(m);
        if (!done.wait_for(lock, std::chrono::seconds(60), [&] { return finished; })) {
            watchdog_acted = true;
            (void)env.dbenv()->lock_detect(env.dbenv(), 0, DB_LOCK_YOUNGEST, nullptr);
        }
    });
    const auto rc = crossing_writes(env, db1, db2);
    {
        std::lock_guard lock(m);
        finished = true;
    }
    done.notify_all();
    watchdog.join();
    EXPECT_FALSE(watchdog_acted) << "the deadlock waited for a detector pass";
    expect_one_victim(rc);
    db1->close(db1, 0);
    db2->close(db2, 0);
}

}  // namespace
