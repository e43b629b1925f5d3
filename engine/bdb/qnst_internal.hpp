// Helpers shared by every engine source file: the error log, registry lists, record buffers,
// cursors, byte-order codecs and versioned keys. Internal to the engine (not exported).
#pragma once

#include <db.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "qnst_bdb.h"

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
// Empties the list and creates its mutex: 0, or 12 (ENOMEM) when the mutex cannot be allocated.
int qnst_list_init(qnst_list *head);
// Destroys the mutex; the members must have been removed.
void qnst_list_destroy(qnst_list *head);
// The member count, read under the mutex.
uint32_t qnst_list_count(qnst_list *head);
// Links `member` at the tail and makes `head` its owner. Returns 0.
int qnst_list_append(qnst_list *head, void *member);
// Returns 1 and changes nothing when the member is in no list, else 0.
int qnst_list_remove(void *member);
// id 0: 16 when the list has any member; otherwise 16 when a member carries `id`; else 0.
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

// Byte-order codecs on byte arrays. Record data is little-endian; integers in keys that must
// sort numerically are big-endian. `n` is the width in bytes (1..8), for fields such as the
// 48-bit block handle.
inline void store_be(uint8_t *p, uint64_t v, unsigned n) {
    for (unsigned i = 0; i < n; ++i) p[n - 1 - i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint64_t load_be(const uint8_t *p, unsigned n) {
    uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}
inline void store_le(uint8_t *p, uint64_t v, unsigned n) {
    for (unsigned i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint64_t load_le(const uint8_t *p, unsigned n) {
    uint64_t v = 0;
    for (unsigned i = n; i-- > 0;) v = (v << 8) | p[i];
    return v;
}
inline void store_be32(uint8_t *p, uint32_t v) { store_be(p, v, 4); }
inline void store_be64(uint8_t *p, uint64_t v) { store_be(p, v, 8); }
inline uint32_t load_be32(const uint8_t *p) { return static_cast<uint32_t>(load_be(p, 4)); }
inline uint64_t load_be64(const uint8_t *p) { return load_be(p, 8); }
inline void store_le16(uint8_t *p, uint16_t v) { store_le(p, v, 2); }
inline void store_le32(uint8_t *p, uint32_t v) { store_le(p, v, 4); }
inline void store_le64(uint8_t *p, uint64_t v) { store_le(p, v, 8); }
inline uint16_t load_le16(const uint8_t *p) { return static_cast<uint16_t>(load_le(p, 2)); }
inline uint32_t load_le32(const uint8_t *p) { return static_cast<uint32_t>(load_le(p, 4)); }
inline uint64_t load_le64(const uint8_t *p) { return load_le(p, 8); }

// Versioned keys hold the creation version negated (two's complement, modulo 2^32) and
// big-endian, so that within one key prefix the newest version sorts first.
inline void store_neg_version(uint8_t *p, uint32_t cver) { store_be32(p, 0u - cver); }
inline uint32_t load_neg_version(const uint8_t *p) { return 0u - load_be32(p); }

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
