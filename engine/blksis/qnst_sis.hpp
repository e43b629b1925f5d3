// Helpers shared by the block store partition's sources: handle keys, location records,
// reference-table selection and the lock-free statistics counters.
#pragma once

#include <atomic>
#include <cstdint>

#include "qnst_internal.hpp"
#include "qnst_sis.h"

namespace qnst::sis {

// A handle as a key or as data: its 8 bytes, least significant first.
struct HandleKey {
    uint8_t bytes[8];
    explicit HandleKey(uint64_t handle) { store_le64(bytes, handle); }
    DBT dbt() { return user_dbt(bytes, sizeof bytes); }
};

// A location record split into its fields. `hash` holds `hashlen` bytes.
struct Location {
    uint32_t dfid = 0;
    uint32_t dfver = 0;
    uint64_t offset = 0;
    uint32_t length = 0;
    uint32_t hashlen = 0;
    uint8_t hash[QNST_SIS_MAX_HASH] = {};

    bool is_link() const { return dfid == QNST_SIS_SYMLINK_DFID; }

    // Splits a record of `size` bytes. False when the record is damaged: shorter than its
    // header, or with a hash length that disagrees with its size.
    bool unpack(const uint8_t *rec, uint32_t size) {
        if (size < QNST_SIS_LOC_HEADER) return false;
        dfid = load_le32(rec);
        dfver = load_le32(rec + 4);
        offset = load_le64(rec + 8);
        length = load_le32(rec + 16);
        hashlen = load_le32(rec + 20);
        if (hashlen > QNST_SIS_MAX_HASH || QNST_SIS_LOC_HEADER + hashlen != size) return false;
        std::memcpy(hash, rec + QNST_SIS_LOC_HEADER, hashlen);
        return true;
    }

    // Copies the fields to a caller's outputs, as qnst_sis_read1 and the location walk return
    // them. The hash is copied only when there is one and the caller gave a buffer.
    void deliver(uint32_t *o_dfid, uint32_t *o_dfver, uint64_t *o_offset, uint32_t *o_length,
                 uint32_t *o_hashlen, void *o_hash) const {
        *o_dfid = dfid;
        *o_dfver = dfver;
        *o_offset = offset;
        *o_length = length;
        *o_hashlen = hashlen;
        if (hashlen != 0 && o_hash != nullptr) std::memcpy(o_hash, hash, hashlen);
    }
};

// Result of reading a location record that is damaged.
constexpr int kDamaged = 5;  // EIO

// Statistics counters are bumped from many threads without a lock.
inline void bump(uint32_t &counter) {
    std::atomic_ref<uint32_t>(counter).fetch_add(1, std::memory_order_relaxed);
}

// The reference table a record-access call names: 0 "id_ref", 1 "id_ref_fsck", 2 "id_dangling"
// (only where `three` is set; otherwise any nonzero selector is "id_ref_fsck"). Null for a
// selector out of range or a table that is not open.
inline DB *ref_table(const qnst_sis *part, uint32_t fsck, bool three) {
    if (fsck == QNST_SIS_REFTAB_LIVE) return part->refdb;
    if (!three || fsck == QNST_SIS_REFTAB_FSCK) return part->fsckrefdb;
    if (fsck == QNST_SIS_REFTAB_DANGLING) return part->danglingdb;
    return nullptr;
}

// Reads the raw reference word of `handle` from `db` with the get `flags`.
inline int get_word(DB *db, DB_TXN *txn, uint64_t handle, uint32_t flags, uint32_t *word) {
    HandleKey key(handle);
    uint8_t buf[4];
    DBT k = key.dbt();
    DBT d = user_dbt(buf, 0, sizeof buf);
    const int rc = db->get(db, txn, &k, &d, flags);
    if (rc) return rc;
    if (d.size != sizeof buf) return kDamaged;
    *word = load_le32(buf);
    return 0;
}

// Writes the reference word of `handle` into `db` with the put `flags`.
inline int put_word(DB *db, DB_TXN *txn, uint64_t handle, uint32_t word, uint32_t flags) {
    HandleKey key(handle);
    uint8_t buf[4];
    store_le32(buf, word);
    DBT k = key.dbt();
    DBT d = user_dbt(buf, sizeof buf);
    return db->put(db, txn, &k, &d, flags);
}

// Reads and splits the location record of `handle` with the get `flags`.
inline int get_location(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t flags,
                        Location *loc) {
    HandleKey key(handle);
    uint8_t rec[QNST_SIS_LOC_SIZE];
    DBT k = key.dbt();
    DBT d = user_dbt(rec, 0, sizeof rec);
    const int rc = part->dfdb->get(part->dfdb, txn, &k, &d, flags);
    if (rc) return rc;
    return loc->unpack(rec, d.size) ? 0 : kDamaged;
}

}  // namespace qnst::sis
