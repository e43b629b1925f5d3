// The server's stores in one environment, opened in the server's order (dfile table, block store
// manager, inode-table set), for tests that close, kill and recover them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <utility>
#include <stdexcept>
#include <string>

#include "qnst_bdb.h"
#include "qnst_blksism.h"
#include "qnst_blksism.hpp"
#include "qnst_dfile.h"
#include "qnst_inode.h"
#include "qnst_itab.h"
#include "qnst_testing.hpp"

namespace qnst::testing {

inline constexpr int32_t kStoreParts = 4;
inline constexpr uint32_t kStoreDfiles = 16;

// Opens an environment in `home` the way the server does: a recovery open, closed again, then
// the normal free-threaded open. Returns the first failing code.
inline int open_server_env(qnst_envrec *env, const std::string &home, uint32_t cache_bytes = 8u << 20) {
    const std::string err = home + "/error.log";
    for (int32_t recover : {1, 0}) {
        if (int rc = qnst_env_create(env, 0)) return rc;
        const int rc = qnst_env_open(env, home.c_str(), nullptr, err.c_str(), 0, 20000, 20000, 0,
                                     0, 0, 0, cache_bytes, 0, 0, recover, 0);
        if (rc || recover) qnst_env_close(env);
        if (rc) return rc;
    }
    return 0;
}

// Deletes the environment's region files, as a reboot does to regions kept in system memory.
inline int remove_regions(const std::string &home) {
    int n = 0;
    for (const auto &e : std::filesystem::directory_iterator(home)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("__db.0", 0) == 0) {
            std::filesystem::remove(e.path());
            ++n;
        }
    }
    return n;
}

// The dfile table, the block store manager and a one-table inode set of an open environment.
struct Stores {
    qnst_dfile dfile{};
    qnst_blksism mgr{};
    qnst_itabmrec itabm{};

    // `csize` 0 runs the block store without cache tables, else with them at watermark 2.
    int open(qnst_envrec *env, int64_t csize) {
        int rc;
        if ((rc = qnst_dfile_create(&dfile, env->dbenv, kStoreDfiles)) ||
            (rc = qnst_dfile_open(&dfile, "dfile.db", 1)) ||
            (rc = qnst_blksism_create(&mgr, env->dbenv, &dfile, kStoreParts)) ||
            (rc = qnst_blksism_open(&mgr, "blk", 1, "", csize)) ||
            (rc = qnst_sism_cache_wmupdate(&mgr, csize ? 2 : 1)) ||
            (rc = qnst_itabm_create(&itabm, env, 77, nullptr, &mgr, nullptr, 1)) ||
            (rc = qnst_itabm_open(&itabm, "it", 0, 1)))
            return rc;
        return 0;
    }
    void close() {
        qnst_itabm_close(&itabm);
        qnst_blksism_close(&mgr);
        qnst_dfile_close(&dfile);
    }

    // Every allocated inode number with its (cver, dver), walked through the engine.
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> allocated_inodes() {
        std::map<uint32_t, std::pair<uint32_t, uint32_t>> out;
        uint32_t cursor = 0;
        do {
            uint32_t cver = 0, dver = 0;
            EXPECT_EQ(with_txn(itabm.dbenv, [&](DB_TXN *t) {
                          return qnst_inodem_next(&itabm, t, &cursor, &cver, &dver);
                      }),
                      0);
            if (cursor) out[cursor] = {cver, dver};
        } while (cursor);
        return out;
    }
};

}  // namespace qnst::testing
