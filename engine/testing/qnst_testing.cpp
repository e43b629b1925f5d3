#include "qnst_testing.hpp"

#include "qnst_coding.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <random>
#include <regex>
#include <stdexcept>

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QNST_TESTING_UNDER_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(QNST_TESTING_UNDER_TSAN)
// Berkeley DB's lock manager blocks a waiting locker on a mutex that the locker itself acquired
// and that the holder of the lock releases later from its own thread, and it takes its region
// mutexes in either order by design. ThreadSanitizer reads this as lock-order inversion.
// Deadlocks between transactions are Berkeley DB's to detect (tests exercise that), so these
// reports from inside the library are noise; races are still reported everywhere. Every test
// program links this file and exports its symbols, so the sanitizer finds the list.
extern "C" __attribute__((visibility("default"))) const char *__tsan_default_suppressions() {
    return "deadlock:libdb-5.3.so\n";
}
#endif

namespace qnst::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::random_device rd;
    const fs::path base = fs::temp_directory_path();
    for (int i = 0; i < 100; ++i) {
        const fs::path p = base / ("qnst-" + std::to_string(::getpid()) + "-" +
                                   std::to_string(rd()));
        if (fs::create_directory(p)) {
            path_ = p;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

TempEnv::TempEnv(EnvOptions options) : options_(options) {
    qnst_bdb_init();
    if (open(1) != 0) throw std::runtime_error("recovery open of the test environment failed");
    if (options_.free_threaded) reopen(false);
    mark_log();
}

TempEnv::~TempEnv() { close(); }

int TempEnv::open(int32_t recover) {
    int rc = qnst_env_create(&env_, 0);
    if (rc) return rc;
    const std::string home = dir_.path().string();
    const std::string err = errfile();
    rc = qnst_env_open(&env_, home.c_str(), nullptr, err.c_str(), 0, options_.max_locks,
                       options_.max_locks, 0, 0, 0, 0, options_.cache_bytes, 0,
                       options_.compress, recover, 0);
    if (rc) qnst_env_close(&env_);
    return rc;
}

void TempEnv::close() {
    if (env_.dbenv || env_.link.owner) qnst_env_close(&env_);
}

void TempEnv::reopen(bool recover) {
    close();
    if (open(recover ? 1 : 0) != 0) throw std::runtime_error("reopen of the test environment failed");
}

void TempEnv::mark_log() {
    std::error_code ec;
    const auto size = fs::file_size(errfile(), ec);
    log_mark_ = ec ? 0 : size;
}

std::vector<std::string> TempEnv::error_lines() const { return read_lines(errfile(), log_mark_); }

int with_txn(DB_ENV *dbenv, const std::function<int(DB_TXN *)> &body, int attempts) {
    int rc = DB_LOCK_DEADLOCK;
    for (int i = 0; i < attempts; ++i) {
        DB_TXN *txn = nullptr;
        if ((rc = qnst_txn_begin(dbenv, nullptr, &txn))) return rc;
        rc = body(txn);
        if (rc == 0) {
            rc = qnst_txn_commit(txn, 0);
        } else {
            (void)qnst_txn_abort(txn);
        }
        if (rc != DB_LOCK_DEADLOCK && rc != DB_LOCK_NOTGRANTED) return rc;
    }
    return rc;
}

std::vector<std::string> read_lines(const std::string &path, std::uintmax_t from) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    if (!in) return lines;
    in.seekg(static_cast<std::streamoff>(from));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::string log_prefix_re(const std::string &source) {
    return R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,000\] \[Error\] At )" + source + R"(:\d+: )";
}

static std::regex entry_re(const LogEntry &entry) {
    return std::regex(log_prefix_re(entry.source) + entry.text);
}

void expect_log_entries(const std::vector<std::string> &lines,
                        const std::vector<LogEntry> &expected) {
    ASSERT_EQ(expected.size(), lines.size()) << ::testing::PrintToString(lines);
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], entry_re(expected[i])))
            << lines[i] << "\n  vs " << expected[i].text;
}

size_t count_log_entries(const std::vector<std::string> &lines, const LogEntry &entry) {
    const std::regex re = entry_re(entry);
    return static_cast<size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string &l) { return std::regex_match(l, re); }));
}

std::string regex_literal(const std::string &text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

Hash make_hash(uint32_t id) {
    Hash h{};
    for (size_t i = 0; i < h.size(); ++i)
        h[i] = static_cast<uint8_t>(id * 31 + i * 7 + (id >> 8));
    qnst::store_be32(h.data(), id);
    return h;
}

Hash make_hash(uint32_t id, uint8_t first) {
    Hash h = make_hash(id);
    h[0] = first;
    return h;
}

std::string hex(const void *data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    const auto *p = static_cast<const uint8_t *>(data);
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out.push_back(digits[p[i] >> 4]);
        out.push_back(digits[p[i] & 15]);
    }
    return out;
}

std::string run_utility(const std::string &command, int *status) {
    std::string out;
    FILE *pipe = ::popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot run " + command);
    std::array<char, 4096> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) out.append(buf.data(), n);
    const int st = ::pclose(pipe);
    if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

}  // namespace qnst::testing
