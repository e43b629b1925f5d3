// Helpers shared by every engine source file: the error log, registry lists, record buffers,
// cursors, names, table and sequence opens, handle closes, the transaction guard and saturating
// arithmetic (byte-order codecs and versioned keys come from qnst_coding.hpp). Internal to the
// engine: nothing here is exported, and no public header includes it. A helper that a second
// family needs moves here; one that only a family's own sources share stays in that family's
// qnst_<module>.hpp.
#pragma once

#include <db.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qnst_bdb.h"
#include "qnst_coding.hpp"

// What the environment's app_private points to: the error file and the compression setting.
struct qnst_errsink {
    FILE *fp;          // null when the error file could not be opened
    int32_t compress;  // > 0: B-tree compression for the inode tables
};

// One code entry: "[stamp] [Error] At <file>:<line>: code <code>". Does nothing when the
// environment has no error file. Never fails the caller.
void qnst_log_code(DB_ENV *dbenv, const char *file, int line, int code);
// One printf-style entry: "[stamp] [Error] At <file>:<line>: error:<message>", written with a
// single write so that entries of concurrent threads never interleave.
void qnst_log_msg(DB_ENV *dbenv, const char *file, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// Registry lists. Members begin with a qnst_listlink followed by a uint64_t identifier.
// Empties the list and creates its mutex: 0, or ENOMEM when the mutex cannot be allocated.
int qnst_list_init(qnst_list *head);
// Destroys the mutex; the members must have been removed.
void qnst_list_destroy(qnst_list *head);
// The member count, read under the mutex.
uint32_t qnst_list_count(qnst_list *head);
// Links `member` at the tail and makes `head` its owner. Returns 0.
int qnst_list_append(qnst_list *head, void *member);
// Returns 1 and changes nothing when the member is in no list, else 0.
int qnst_list_remove(void *member);
// id 0: EBUSY when the list has any member; otherwise EBUSY when a member carries `id`; else 0.
int qnst_list_checkid(qnst_list *head, uint64_t id);

// dst[i] = src[n - 1 - i]: turns a little-endian integer into a big-endian key field.
void qnst_revcopy(void *dst, const void *src, size_t n);

namespace qnst {

// Outcomes of concurrency and deduplication: expected, never written to the error log.
constexpr bool is_exempt(int code) {
    return code == DB_LOCK_NOTGRANTED || code == DB_LOCK_DEADLOCK || code == QNST_HASH_EXISTS ||
           code == QNST_RETRY;
}

// Writes a code entry unless the code is 0 or exempt; returns the code unchanged.
inline int log_failure(DB_ENV *dbenv, const char *source, int line, int code) {
    if (code != 0 && !is_exempt(code)) qnst_log_code(dbenv, source, line, code);
    return code;
}

// A quota refusal from the inode store's usage update is the caller's answer, not a fault.
constexpr bool is_quota_code(int code) {
    return code <= QNST_QUOTA_LIMIT_FIRST && code >= QNST_QUOTA_LIMIT_LAST;
}

inline qnst_errsink *errsink_of(const DB_ENV *dbenv) {
    return dbenv ? static_cast<qnst_errsink *>(dbenv->app_private) : nullptr;
}

// The compression setting the environment was opened with (0 without an error sink).
inline int32_t env_compress(const DB_ENV *dbenv) {
    const qnst_errsink *sink = errsink_of(dbenv);
    return sink ? sink->compress : 0;
}

// A record buffer over caller memory of capacity `ulen` holding `size` bytes.
inline DBT user_dbt(void *data, uint32_t size, uint32_t ulen) {
    DBT dbt;
    qnst_dbt_init(&dbt, data, size, ulen);
    return dbt;
}
// A record buffer that is exactly full: a key or a record to write, or a fixed-size record to
// read back.
inline DBT user_dbt(void *data, uint32_t size) { return user_dbt(data, size, size); }

// Result of reading a record whose stored size disagrees with its layout.
constexpr int kDamaged = EIO;

// The result `rc` of a get that read `dbt` into a buffer sized for the record's layout: a stored
// record too long for the buffer (DB_BUFFER_SMALL) or of another size than `size` is damaged.
// Either way nothing past what was stored has been read, and the caller must not use the bytes.
inline int sized(int rc, const DBT &dbt, uint32_t size) {
    if (rc == DB_BUFFER_SMALL || (rc == 0 && dbt.size != size)) return kDamaged;
    return rc;
}

// Owns a Berkeley DB cursor and closes it when it goes out of scope. Code that must see the
// close result calls close() itself.
class Cursor {
public:
    Cursor() = default;
    explicit Cursor(DBC *dbc) : dbc_(dbc) {}
    Cursor(const Cursor &) = delete;
    Cursor &operator=(const Cursor &) = delete;
    ~Cursor() {
        // A close at unwinding only releases locks and memory; its result has nowhere to go.
        if (dbc_) (void)dbc_->close(dbc_);
    }

    int open(DB *db, DB_TXN *txn, uint32_t flags) { return db->cursor(db, txn, &dbc_, flags); }
    int close() {
        DBC *dbc = dbc_;
        dbc_ = nullptr;
        return dbc ? dbc->close(dbc) : 0;
    }
    // Hands the cursor over (to a caller who ends a walk with the family's done call).
    DBC *release() {
        DBC *dbc = dbc_;
        dbc_ = nullptr;
        return dbc;
    }
    DBC *get() const { return dbc_; }
    DBC *operator->() const { return dbc_; }
    explicit operator bool() const { return dbc_ != nullptr; }

private:
    DBC *dbc_ = nullptr;
};

// A file or database name built printf-style into a malloc'd buffer (free with std::free, or
// hold it in a Name); null when out of memory.
__attribute__((format(printf, 1, 2))) inline char *make_name(const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (n < 0) return nullptr;
    char *name = static_cast<char *>(std::malloc(static_cast<size_t>(n) + 1));
    if (!name) return nullptr;
    va_start(args, format);
    std::vsnprintf(name, static_cast<size_t>(n) + 1, format, args);
    va_end(args);
    return name;
}

// Owns a name from make_name and frees it when it goes out of scope.
struct Name {
    char *p;
    explicit Name(char *name) : p(name) {}
    Name(const Name &) = delete;
    Name &operator=(const Name &) = delete;
    ~Name() { std::free(p); }
    explicit operator bool() const { return p != nullptr; }
};

// Closes `*db` (when set) with `flags` and clears it; the close result is dropped, since the
// handle is gone whatever it says.
inline void close_db(DB **db, uint32_t flags = 0) {
    if (*db) (void)(*db)->close(*db, flags);
    *db = nullptr;
}

// How every table of the engine opens: created when missing, free-threaded, and a call made
// without a transaction runs in one of its own.
constexpr uint32_t kOpenFlags = DB_CREATE | DB_THREAD | DB_AUTO_COMMIT;

// Opens table `name` of `file` (null: the file's only table) with kOpenFlags.
inline int open_table(DB *db, const char *file, const char *name, DBTYPE type) {
    return db->open(db, nullptr, file, name, type, kOpenFlags, 0);
}

// Owns a transaction and aborts it unless commit() was called; the abort result is dropped,
// since the failure that led there is the code the caller must see.
class TxnGuard {
public:
    explicit TxnGuard(DB_TXN *txn = nullptr) : txn_(txn) {}
    TxnGuard(const TxnGuard &) = delete;
    TxnGuard &operator=(const TxnGuard &) = delete;
    ~TxnGuard() {
        if (txn_) (void)qnst_txn_abort(txn_);
    }
    DB_TXN **out() { return &txn_; }
    DB_TXN *get() const { return txn_; }
    // Commits as qnst_txn_commit does: the commit's code (the transaction is gone either way).
    int commit(uint32_t sync = 0) {
        DB_TXN *txn = txn_;
        txn_ = nullptr;
        return qnst_txn_commit(txn, sync);
    }

private:
    DB_TXN *txn_;
};

// a + b without wrapping: an overflow sticks at the end of the range it ran into.
inline int64_t saturating_add(int64_t a, int64_t b) {
    int64_t sum;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? INT64_MAX : INT64_MIN;
}

// Whether `i` indexes a table of `count` entries.
constexpr bool in_table(int64_t i, int64_t count) { return i >= 0 && i < count; }

// Creates `*seq` on `seqdb` and opens it, free-threaded and without a transaction, under the
// 4-byte key 1 (created when missing): values 1..`max`, the first `initial`, `cache` values
// cached per open handle. On failure `*seq` may exist; the caller's close ends it.
inline int open_sequence(DB *seqdb, DB_SEQUENCE **seq, uint64_t max, int64_t initial,
                         int32_t cache) {
    int rc = db_sequence_create(seq, seqdb, 0);
    if (rc) {
        *seq = nullptr;
        return rc;
    }
    DB_SEQUENCE *s = *seq;
    if ((rc = s->set_range(s, 1, static_cast<db_seq_t>(max))) != 0) return rc;
    if ((rc = s->initial_value(s, initial)) != 0) return rc;
    if ((rc = s->set_cachesize(s, cache)) != 0) return rc;
    uint8_t keybuf[4];
    store_le32(keybuf, 1);
    DBT key = user_dbt(keybuf, sizeof keybuf);
    return s->open(s, nullptr, &key, DB_CREATE | DB_THREAD);
}

}  // namespace qnst

// Each engine source file names itself once, as the path written into its error-log entries:
//   QNST_SOURCE("qnst/dfile/qnst_dfile");
#define QNST_SOURCE(path)                        \
    namespace {                                  \
    [[maybe_unused]] constexpr char kQnstSource[] = path; \
    }

// Logs `code` at this line unless it is 0 or exempt, and evaluates to it:
//   if (rc) return QNST_FAIL(dbenv, rc);
#define QNST_FAIL(dbenv, code) ::qnst::log_failure((dbenv), kQnstSource, __LINE__, (code))
// Writes a printf-style diagnostic entry at this line.
#define QNST_MSG(dbenv, ...) qnst_log_msg((dbenv), kQnstSource, __LINE__, __VA_ARGS__)
