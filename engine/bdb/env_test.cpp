// Environment open modes, registration, the maintenance thread bodies and transactions.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "qnst_env.hpp"
#include "qnst_internal.hpp"
#include "qnst_process.hpp"
#include "qnst_testing.hpp"

namespace {

namespace fs = std::filesystem;
using qnst::testing::count_log_entries;
using qnst::testing::read_lines;
using qnst::testing::TempDir;
using qnst::testing::TempEnv;

// An environment handle that a test opens by hand and that is always closed.
struct Handle {
    qnst_envrec env{};
    explicit Handle(uint64_t id = 0) {
        qnst_bdb_init();
        EXPECT_EQ(0, qnst_env_create(&env, id));
    }
    ~Handle() { qnst_env_close(&env); }
    int open(const TempDir &dir, int32_t recover, int32_t shm_key = 0, const char *logdir = nullptr,
             uint32_t cache_gbytes = 0, uint32_t cache_bytes = 4u << 20) {
        const std::string err = dir.file("error.log");
        return qnst_env_open(&env, dir.path().c_str(), logdir, err.c_str(), 0, 0, 0, 0, 0, 0,
                             cache_gbytes, cache_bytes, 0, 0, recover, shm_key);
    }
};

TEST(Registration, CheckopenSeesCreatedEnvironmentsUntilClosed) {
    qnst_bdb_init();
    ASSERT_EQ(0, qnst_bdb_checkopen(0)) << "another test left an environment registered";
    {
        Handle h(7);
        EXPECT_EQ(EBUSY, qnst_bdb_checkopen(0));
        EXPECT_EQ(EBUSY, qnst_bdb_checkopen(7));
        EXPECT_EQ(0, qnst_bdb_checkopen(8));
        EXPECT_EQ(0, qnst_env_checkopen(&h.env, 0)) << "no users yet";
    }
    EXPECT_EQ(0, qnst_bdb_checkopen(7));
    EXPECT_EQ(0, qnst_bdb_checkopen(0));
}

TEST(Open, MutexBudgetIsOneMutexPerKilobyteOfCache) {
    EXPECT_EQ(1572864, qnst_env_mutex_budget(1, 536870912));
    EXPECT_EQ(0, qnst_env_mutex_budget(0, 0));

    // The settings are applied before the open itself; a normal open of a missing environment
    // fails, leaving them to be read back.
    TempDir dir;
    Handle h;
    EXPECT_NE(0, h.open(dir, 0, 0, nullptr, 1, 536870912));
    uint32_t max = 0, gbytes = 0, bytes = 0;
    int ncache = 0;
    ASSERT_EQ(0, h.env.dbenv->mutex_get_max(h.env.dbenv, &max));
    EXPECT_EQ(1572864u, max);
    ASSERT_EQ(0, h.env.dbenv->get_cachesize(h.env.dbenv, &gbytes, &bytes, &ncache));
    EXPECT_EQ(1u, gbytes);
    EXPECT_EQ(16, ncache);
}

TEST(Open, ZeroCacheLeavesTheMutexMaximumAlone) {
    TempDir dir;
    Handle plain, h;
    uint32_t before = 0, after = 0;
    ASSERT_EQ(0, plain.env.dbenv->mutex_get_max(plain.env.dbenv, &before));
    EXPECT_NE(0, h.open(dir, 0, 0, nullptr, 0, 0));
    ASSERT_EQ(0, h.env.dbenv->mutex_get_max(h.env.dbenv, &after));
    EXPECT_EQ(before, after);
}

TEST(Open, RecoveryOpenCreatesThenNormalOpenIsFreeThreaded) {
    TempDir dir;
    {
        Handle h;
        ASSERT_EQ(0, h.open(dir, 1));
        uint32_t flags = 0;
        ASSERT_EQ(0, h.env.dbenv->get_open_flags(h.env.dbenv, &flags));
        EXPECT_TRUE(flags & DB_RECOVER);
        EXPECT_FALSE(flags & DB_THREAD);
    }
    Handle h;
    ASSERT_EQ(0, h.open(dir, 0));
    uint32_t flags = 0, envflags = 0;
    ASSERT_EQ(0, h.env.dbenv->get_open_flags(h.env.dbenv, &flags));
    EXPECT_TRUE(flags & DB_THREAD);
    EXPECT_TRUE(flags & DB_REGISTER);
    ASSERT_EQ(0, h.env.dbenv->get_flags(h.env.dbenv, &envflags));
    EXPECT_TRUE(envflags & DB_AUTO_COMMIT);
    int dsync = 0;
    ASSERT_EQ(0, h.env.dbenv->log_get_config(h.env.dbenv, DB_LOG_DSYNC, &dsync));
    EXPECT_TRUE(dsync);
}

TEST(Open, NormalOpenOfAMissingEnvironmentAsksForRecovery) {
    TempDir dir;
    Handle h;
    EXPECT_EQ(DB_RUNRECOVERY, h.open(dir, 0));
}

// With file-backed regions this machine cannot lock the regions in memory: the open falls back
// to an unlocked open and says so once. Where locking works, it simply succeeds.
TEST(Open, FileBackedRegionsFallBackWithoutLockdown) {
    TempDir dir;
    for (int32_t recover : {1, 0, 1}) {
        fs::remove(dir.file("error.log"));
        Handle h;
        ASSERT_EQ(0, h.open(dir, recover)) << "recover " << recover;
        uint32_t flags = 0;
        ASSERT_EQ(0, h.env.dbenv->get_open_flags(h.env.dbenv, &flags));
        const auto lines = read_lines(dir.file("error.log"));
        const size_t n = count_log_entries(
            lines, {"qnst/bdb/qnst_env", "error:environment .*: the regions cannot be locked in "
                                         "memory \\(code 12\\), opening without DB_LOCKDOWN"});
        EXPECT_EQ(flags & DB_LOCKDOWN ? 0u : 1u, n);
        // The environment works either way.
        DB_TXN *txn = nullptr;
        ASSERT_EQ(0, qnst_txn_begin(h.env.dbenv, nullptr, &txn));
        EXPECT_EQ(0, qnst_txn_commit(txn, 1));
    }
}

// A refused locked open keeps its mapping of the region file; a process that opens its
// environment again and again (a server, a tool run in-process) must not gather one per open.
TEST(Open, RepeatedOpensKeepNoMoreThanOneRegionMapping) {
    TempDir dir;
    const auto mappings = [&dir] {
        std::ifstream maps("/proc/self/maps");
        size_t n = 0;
        for (std::string line; std::getline(maps, line);)
            n += line.find(dir.path().string() + "/__db.") != std::string::npos;
        return n;
    };
    for (int32_t recover : {1, 0, 1, 0, 1, 0}) {
        Handle h;
        ASSERT_EQ(0, h.open(dir, recover)) << "recover " << recover;
    }
    EXPECT_GE(1u, mappings());
}

// System memory regions: the recovery open sets the key, the normal open only asks for system
// memory. Locking them in memory works here, so no fallback entry is written.
TEST(Open, SystemMemoryWithAndWithoutKey) {
    TempDir dir;
    const int32_t key = 0x51000000 + static_cast<int32_t>(qnst::process_id() % 0xffff) * 16;
    {
        Handle h;
        int rc = h.open(dir, 1, key);
        if (rc == ENOSPC || rc == ENOMEM || rc == EPERM) GTEST_SKIP() << "no System V shared memory here";
        ASSERT_EQ(0, rc);
        uint32_t flags = 0;
        long got = 0;
        ASSERT_EQ(0, h.env.dbenv->get_open_flags(h.env.dbenv, &flags));
        EXPECT_TRUE(flags & DB_SYSTEM_MEM);
        EXPECT_TRUE(flags & DB_LOCKDOWN);
        ASSERT_EQ(0, h.env.dbenv->get_shm_key(h.env.dbenv, &got));
        EXPECT_EQ(key, got);
    }
    {
        Handle h;
        ASSERT_EQ(0, h.open(dir, 0, key));
        uint32_t flags = 0;
        long got = -1;
        ASSERT_EQ(0, h.env.dbenv->get_open_flags(h.env.dbenv, &flags));
        EXPECT_TRUE(flags & DB_SYSTEM_MEM);
        EXPECT_TRUE(flags & DB_LOCKDOWN);
        ASSERT_EQ(0, h.env.dbenv->get_shm_key(h.env.dbenv, &got));
        EXPECT_EQ(-1, got) << "the normal open does not set the key";
    }
    for (const auto &line : read_lines(dir.file("error.log")))
        EXPECT_EQ(std::string::npos, line.find("DB_LOCKDOWN")) << line;
    // Give the shared memory segments back.
    DB_ENV *rm = nullptr;
    ASSERT_EQ(0, db_env_create(&rm, 0));
    rm->set_shm_key(rm, key);
    EXPECT_EQ(0, rm->remove(rm, dir.path().c_str(), DB_FORCE));
}

int open_fds() {
    int n = 0;
    for ([[maybe_unused]] const auto &e : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

TEST(Close, ClosesTheErrorFileAndUnregisters) {
    TempDir dir;
    { Handle h; ASSERT_EQ(0, h.open(dir, 1)); }
    const int before = open_fds();
    for (int i = 0; i < 5; ++i) {
        Handle h(11);
        ASSERT_EQ(0, h.open(dir, 0));
        EXPECT_EQ(EBUSY, qnst_bdb_checkopen(11));
    }
    EXPECT_EQ(before, open_fds());
    EXPECT_EQ(0, qnst_bdb_checkopen(11));
}

TEST(Close, ASecondOpenOfTheSameHandleIsRefusedWithoutLeaking) {
    TempDir dir;
    Handle h;
    ASSERT_EQ(0, h.open(dir, 1));
    const int before = open_fds();
    const std::string err = dir.file("error.log");
    EXPECT_EQ(EINVAL, qnst_env_open(&h.env, dir.path().c_str(), nullptr, err.c_str(), 0, 0, 0, 0,
                                    0, 0, 0, 0, 0, 0, 1, 0));
    EXPECT_EQ(before, open_fds());
}

TEST(RecoveryFeedback, ReportsAtMostOncePerMinute) {
    TempEnv env;
    qnst_env_reset_recovery_report();
    qnst_env_recovery_feedback(env.dbenv(), DB_RECOVER, 40);
    qnst_env_recovery_feedback(env.dbenv(), DB_RECOVER, 80);  // within the minute: dropped
    qnst_env_recovery_feedback(env.dbenv(), DB_VERIFY, 50);   // not recovery: ignored
    const auto lines = env.error_lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("Env " + env.home().string() + " recoverd 40 %", lines[0]);
}

TEST(Statistics, PrintIntoTheErrorFile) {
    TempEnv env;
    EXPECT_EQ(0, qnst_lock_stat_print(env.dbenv(), 0));
    EXPECT_EQ(0, qnst_memp_stat_print(env.dbenv(), 0));
    EXPECT_EQ(0, qnst_mutex_stat_print(env.dbenv(), 0));
    EXPECT_EQ(0, qnst_log_stat_print(env.dbenv(), 0));
    EXPECT_GT(env.error_lines().size(), 10u);
}

TEST(Transactions, CommitKeepsAndAbortDiscards) {
    TempEnv env;
    DB *db = nullptr;
    ASSERT_EQ(0, db_create(&db, env.dbenv(), 0));
    ASSERT_EQ(0, db->open(db, nullptr, "t.db", nullptr, DB_BTREE, DB_CREATE | DB_AUTO_COMMIT | DB_THREAD, 0));
    auto put = [&](uint32_t k, bool commit) {
        DB_TXN *txn = nullptr;
        ASSERT_EQ(0, qnst_txn_begin(env.dbenv(), nullptr, &txn));
        DBT key = qnst::user_dbt(&k, sizeof k), data = qnst::user_dbt(&k, sizeof k);
        ASSERT_EQ(0, db->put(db, txn, &key, &data, 0));
        ASSERT_EQ(0, commit ? qnst_txn_commit(txn, k & 1) : qnst_txn_abort(txn));
    };
    put(1, true);
    put(2, false);
    put(3, true);
    for (uint32_t k : {1u, 2u, 3u}) {
        uint32_t v = 0;
        DBT key = qnst::user_dbt(&k, sizeof k), data = qnst::user_dbt(&v, 0, sizeof v);
        EXPECT_EQ(k == 2 ? DB_NOTFOUND : 0, db->get(db, nullptr, &key, &data, 0)) << k;
    }
    db->close(db, 0);
}

// --- maintenance thread bodies -------------------------------------------------------------

// An environment with small log files, so that a few transactions leave logs to archive.
struct LogEnv {
    TempDir dir;
    Handle h;
    DB *db = nullptr;
    std::string logdir;
    // `logdir_arg`: the log directory as given to the open (relative ones are in the home).
    explicit LogEnv(bool separate_logdir, bool relative_logdir = false) {
        logdir = separate_logdir ? dir.file("logs") : "";
        if (separate_logdir) fs::create_directory(logdir);
        std::ofstream(dir.file("DB_CONFIG")) << "set_lg_max 65536\n";
        const char *logdir_arg = !separate_logdir ? nullptr : relative_logdir ? "logs" : logdir.c_str();
        EXPECT_EQ(0, h.open(dir, 1, 0, logdir_arg));
        EXPECT_EQ(0, db_create(&db, h.env.dbenv, 0));
        EXPECT_EQ(0, db->open(db, nullptr, "t.db", nullptr, DB_BTREE, DB_CREATE | DB_AUTO_COMMIT, 0));
    }
    ~LogEnv() { db->close(db, 0); }
    void write_logs() {
        std::string value(1000, 'v');
        for (uint32_t k = 0; k < 400; ++k) {
            DBT key = qnst::user_dbt(&k, sizeof k);
            DBT data = qnst::user_dbt(value.data(), static_cast<uint32_t>(value.size()));
            ASSERT_EQ(0, db->put(db, nullptr, &key, &data, 0));
        }
        ASSERT_EQ(0, qnst_env_checkpoint(&h.env));
    }
    static int count_logs(const std::string &where) {
        int n = 0;
        for (const auto &e : fs::directory_iterator(where))
            n += e.path().filename().string().rfind("log.", 0) == 0;
        return n;
    }
};

TEST(CheckpointThread, WithoutArchiveDirectoryRemovesUnneededLogs) {
    LogEnv e(false);
    e.write_logs();
    const int before = LogEnv::count_logs(e.dir.path());
    ASSERT_GT(before, 2);
    ASSERT_EQ(0, qnst_env_stopthreads(&e.h.env));  // one pass, then return
    EXPECT_EQ(0, qnst_env_checkpointthread(&e.h.env, 1, ""));
    EXPECT_LT(LogEnv::count_logs(e.dir.path()), before);
}

TEST(CheckpointThread, WithArchiveDirectoryMovesLogsAndDeletesNone) {
    // A relative log directory lies in the home, wherever the process runs.
    for (bool relative : {false, true}) {
        SCOPED_TRACE(relative ? "relative log directory" : "absolute log directory");
        LogEnv e(true, relative);
        const std::string archive = e.dir.file("archive");
        fs::create_directory(archive);
        e.write_logs();
        const int before = LogEnv::count_logs(e.logdir);
        ASSERT_GT(before, 2);
        ASSERT_EQ(0, qnst_env_stopthreads(&e.h.env));
        EXPECT_EQ(0, qnst_env_checkpointthread(&e.h.env, 1, archive.c_str()));
        const int moved = LogEnv::count_logs(archive);
        EXPECT_GT(moved, 0);
        EXPECT_EQ(before, moved + LogEnv::count_logs(e.logdir));
    }
}

}  // namespace
