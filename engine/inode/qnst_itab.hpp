// Record codecs and table steps shared by the inode-table sources. Internal to the engine.
#pragma once

#include <cerrno>
#include <cstdint>

#include "qnst_internal.hpp"
#include "qnst_itab.h"

namespace qnst::itab {

constexpr uint32_t kFirstIssued = 10;  // a new table's sequence: 1..9 are never issued
constexpr uint32_t kPickReach = 1024;  // a pick this far past the end abandons the gap

// An inode number as a key of "itab" and "ifree": big-endian, so keys sort numerically.
struct InoKey {
    uint8_t bytes[4];
    explicit InoKey(uint32_t ino) { store_be32(bytes, ino); }
    DBT dbt() { return user_dbt(bytes, sizeof bytes); }
};

// The "itab" record: cver then dver, little-endian.
struct Lifetime {
    uint32_t cver = 0, dver = 0;
    void pack(uint8_t *p) const {
        store_le32(p, cver);
        store_le32(p + 4, dver);
    }
    static Lifetime unpack(const uint8_t *p) { return {load_le32(p), load_le32(p + 4)}; }
};

// "seq"[1]. Neither logs.
int read_seq(qnst_itab *itab, DB_TXN *txn, uint32_t flags, uint32_t *n);
int write_seq(qnst_itab *itab, DB_TXN *txn, uint32_t n, uint32_t flags);

// "itab"[ino]. Neither logs.
int read_lifetime(qnst_itab *itab, DB_TXN *txn, uint32_t ino, uint32_t flags, Lifetime *out);
int write_lifetime(qnst_itab *itab, DB_TXN *txn, uint32_t ino, Lifetime life, uint32_t flags);

// "ifree"[ino]. None logs. An "ifree" record is empty; reads still need a buffer to point at.
DBT empty_dbt();
int read_free(qnst_itab *itab, DB_TXN *txn, uint32_t ino, uint32_t flags);
int delete_free(qnst_itab *itab, DB_TXN *txn, uint32_t ino);
int put_free(qnst_itab *itab, DB_TXN *txn, uint32_t ino);

// qnst_itab_extend for a table whose numbers must stay at or below `maxino`.
int extend(qnst_itab *itab, uint32_t count, uint32_t maxino);

}  // namespace qnst::itab
