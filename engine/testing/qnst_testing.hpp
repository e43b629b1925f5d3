// Test fixtures shared by the families: temporary directories and environments, transactions
// that retry on lock conflicts, the error-log reader and matchers, block hashes and raw-byte
// helpers. A helper that tests of a second family need moves here; a fixture of one family stays
// in that family's *_fixture.hpp.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "qnst_bdb.h"

namespace qnst::testing {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::string file(const std::string &name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

struct EnvOptions {
    uint32_t cache_bytes = 8u << 20;
    int32_t compress = 0;
    // true: after creating the environment with a recovery open, reopen it with the normal
    // (free-threaded) open; false: keep the recovery open.
    bool free_threaded = true;
    // Locks, lockers and lock objects; 0 keeps Berkeley DB's default.
    uint32_t max_locks = 20000;
};

// A transactional environment in a temporary home, with its error file "error.log" in the
// home. Opened by the constructor (recovery open, then the normal open unless asked otherwise);
// closed by the destructor.
class TempEnv {
public:
    explicit TempEnv(EnvOptions options = {});
    ~TempEnv();
    TempEnv(const TempEnv &) = delete;
    TempEnv &operator=(const TempEnv &) = delete;

    qnst_envrec *env() { return &env_; }
    DB_ENV *dbenv() const { return env_.dbenv; }
    const std::filesystem::path &home() const { return dir_.path(); }
    std::string file(const std::string &name) const { return dir_.file(name); }
    std::string errfile() const { return dir_.file("error.log"); }

    // Closes and opens the environment again (the normal open, or recovery with `recover`).
    void reopen(bool recover = false);
    void close();

    // Lines written to the error file since the environment was set up (or since the last
    // mark_log), without their newlines.
    std::vector<std::string> error_lines() const;
    void mark_log();

private:
    int open(int32_t recover);

    TempDir dir_;
    EnvOptions options_;
    qnst_envrec env_{};
    std::uintmax_t log_mark_ = 0;
};

// Runs `body` in a transaction of its own, committing when it returns 0. A body that returns
// DB_LOCK_DEADLOCK or DB_LOCK_NOTGRANTED (or a commit that does) is aborted and run again, up to
// `attempts` times. Any other code aborts and is returned.
int with_txn(DB_ENV *dbenv, const std::function<int(DB_TXN *)> &body, int attempts = 1000);

// Every line of a text file, without newlines; empty when it does not exist.
std::vector<std::string> read_lines(const std::string &path, std::uintmax_t from = 0);

// The regular expression of an error-log line's stamp and location, for whole-line matches:
// "\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,000\] \[Error\] At <source>:\d+: ".
std::string log_prefix_re(const std::string &source);

// One expected error-log entry: the source path its location names and a regular expression for
// the text after the location ("code -30988", "error:.*").
struct LogEntry {
    std::string source;
    std::string text;
};
// Checks that `lines` are exactly the `expected` entries, in order.
void expect_log_entries(const std::vector<std::string> &lines,
                        const std::vector<LogEntry> &expected);
// How many of `lines` are the entry `entry` (other lines, such as Berkeley DB's own messages, may
// stand between them).
size_t count_log_entries(const std::vector<std::string> &lines, const LogEntry &entry);
// `text` with the regular-expression specials escaped, so that it matches only itself.
std::string regex_literal(const std::string &text);

// Block hashes for tests. make_hash(id) is a distinct 20-byte hash for each id, with the id
// big-endian in bytes 0..3 (so that hashes sort by id); make_hash(id, first) sets byte 0, which
// picks the block store's partition, to `first` (ids below 2^24 stay distinct).
using Hash = std::array<uint8_t, 20>;
Hash make_hash(uint32_t id);
Hash make_hash(uint32_t id, uint8_t first);

// Raw bytes as lower-case hex, for comparing on-disk records.
std::string hex(const void *data, size_t size);

// Debian installs Berkeley DB's utilities under versioned names.
inline constexpr const char *kDbDump = "db5.3_dump";
inline constexpr const char *kDbVerify = "db5.3_verify";

// Runs a shell command (typically one of the utilities above); returns its standard output, and
// its exit status through `status`.
std::string run_utility(const std::string &command, int *status = nullptr);

}  // namespace qnst::testing
