// Helpers shared by the block store partition's sources: handle keys, location records,
// reference-table selection and the lock-free statistics counters.
#pragma once

#include <atomic>
#include <cstdint>

#include "qnst_internal.hpp"
#include "qnst_sis.h"

// Functions of the partition that the engine's own families call but that libqnst64.so does
// not export. Record layouts and result codes are those of qnst_sis.h.
extern "C" {
/* ---- Reference words and handles ---------------------------------------------- */
/* Today's day number: whole days since 15 December 2010, 00:00 local time (daylight saving off),
 * the epoch being computed by qnst_sis_create (or on first use). */
uint32_t qnst_sis_today(void);
/* Count of a reference word: the low 17 bits of a stamped word, a legacy word itself. */
uint32_t qnst_sis_ref_count(uint32_t word);
/* Age of a stamped word in days, 0..2047: (today - stamp) modulo 2048. */
uint32_t qnst_sis_ref_age(uint32_t word);
/* Applies a change `delta` (+1, -1, or 0 to restamp) to *word: a count at QNST_SIS_REF_MAX stays
 * there, any other count moves by delta and is capped at QNST_SIS_REF_MAX; the word becomes
 * stamped with today's day. Returns the new count. Never call with -1 on a count of 0. */
uint32_t qnst_sis_ref_update(uint32_t *word, int32_t delta);
/* The handle that sequence value `seqval` names (bytes: value big-endian in 0..5, 0x80, 0). */
uint64_t qnst_sis_make_handle(uint64_t seqval);
/* Writes the location record of `handle` into "id_df" with the put `flags` (0 overwrites,
 * DB_NOOVERWRITE inserts). A symbolic link to `target` is
 * (QNST_SIS_SYMLINK_DFID, 0, target, 0, NULL, 0). Returns 0, EINVAL (logged) for a hash longer than
 * QNST_SIS_MAX_HASH or a null `hash` with a nonzero length, or the Berkeley DB code (logged,
 * DB_KEYEXIST included). */
int qnst_sis_write_iddf(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t dfid,
                        uint32_t dfver, uint64_t offset, uint32_t length, const void *hash,
                        uint32_t hashlen, uint32_t flags);

/* ---- Lookup, read, store, hold and release ------------------------------------------------ */
/* Records a newly written block under `handle`: its location record, a reference word with
 * count 1 stamped today, and histogram bucket 1. The hash index is not touched. Returns 0, EINVAL
 * (logged, nothing written) for a hash longer than QNST_SIS_MAX_HASH or a null `hash` with a
 * nonzero length, or the Berkeley DB code (logged; DB_KEYEXIST when the handle already has
 * records). */
int qnst_sis_store(qnst_sis *part, DB_TXN *txn, const void *hash, uint32_t hashlen,
                   uint32_t dfid, uint32_t dfver, uint64_t offset, uint32_t length,
                   uint64_t handle);
/* Whether `handle` is a symbolic link: 0 with *target = the linked local handle, or
 * QNST_NOT_SYMLINK with *target = 0 for a real block. Other results: DB_NOTFOUND, EIO for a
 * damaged record, or the Berkeley DB code; all logged. */
int qnst_sis_symlookup(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint64_t *target);
/* Rebuilds the missing reference record of an existing block as permanent: *word becomes a
 * stamped word with count 131071 and *count 131071. Returns 0 (also when another transaction
 * rebuilt it first), DB_NOTFOUND when the block has no location record, EIO for a damaged
 * location record, or the Berkeley DB code; failures are logged. */
int qnst_sis_relefixup(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t *count,
                       uint32_t *word);

/* ---- Move and translation ----------------------------------------------------------------- */
/* Reads translation key `key` (stored as 8 bytes in memory order) from "xlatdb" into *handle.
 * Returns 0, EIO (logged) for a damaged record (not 8 bytes), or the Berkeley DB code
 * (logged, DB_NOTFOUND included). */
int qnst_sis_xlat(qnst_sis *part, DB_TXN *txn, uint64_t key, uint64_t *handle);

/* ---- Record access (no histogram or cache work) ------------------------------------------- */
/* `fsck` selects the reference table: QNST_SIS_REFTAB_LIVE, _FSCK or _DANGLING; where only two
 * are accepted, nonzero means "id_ref_fsck". Without the selected table open, or for a selector
 * above QNST_SIS_REFTAB_DANGLING where three are accepted: EINVAL (logged). Otherwise each returns
 * 0 or the Berkeley DB code (logged, DB_NOTFOUND included); qnst_sis_getref also returns EIO
 * (logged) for a damaged word (not 4 bytes). */
/* *count = the count of the handle's reference word (not the raw word). */
int qnst_sis_getref(qnst_sis *part, DB_TXN *txn, uint32_t fsck, uint64_t handle,
                    uint32_t *count);
/* Writes `value` (a reference word; a plain count is a legacy word) restamped today and capped at
 * 131071, overwriting. */
int qnst_sis_setref(qnst_sis *part, DB_TXN *txn, uint32_t fsck, uint64_t handle,
                    uint32_t value);
/* Inserts a stamped word with count 0 (DB_KEYEXIST when one exists). */
int qnst_sis_store_idref(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t fsck);
/* Deletes the handle's reference record. */
int qnst_sis_purge_idref(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t fsck);
/* Writes hash -> handle into the hash index, overwriting. EINVAL for a hash longer than 20
 * bytes. */
int qnst_sis_store_hashid(qnst_sis *part, DB_TXN *txn, uint64_t handle, const void *hash,
                          uint32_t hashlen);
/* Deletes the hash's entry from the hash index; EINVAL (logged) for a `hashlen` above
 * QNST_SIS_MAX_HASH. */
int qnst_sis_purge_hashid(qnst_sis *part, DB_TXN *txn, const void *hash, uint32_t hashlen);
/* Deletes the handle's location record. */
int qnst_sis_purge_iddf(qnst_sis *part, DB_TXN *txn, uint64_t handle);

/* ---- Walks -------------------------------------------------------------------------------- */
/* A walk opens a cursor in `txn` and positions it at the first key not less than the start; the
 * caller steps it with the matching next function and ends it with qnst_sis_done. The end of the
 * table is result 0 with *handle = 0. Each step returns 0, EIO (logged) for a damaged record,
 * or the Berkeley DB code (logged unless exempt: lock conflicts are returned without a line). A
 * failing first step closes its cursor and leaves *cursor null. */
/* Reference words from *handle on: the purge list when `plist` is nonzero, else "id_ref_fsck"
 * when `fsck` is nonzero, else "id_ref". EINVAL (logged) when that table is not open. */
int qnst_sis_walk_idref(qnst_sis *part, DB_TXN *txn, uint32_t fsck, uint32_t plist,
                        DBC **cursor, uint64_t *handle, uint32_t *word, uint32_t *count);
int qnst_sis_next_idref(qnst_sis *part, DBC *cursor, uint64_t *handle, uint32_t *word,
                        uint32_t *count);
/* Location records from *handle on, split as by qnst_sis_read1 (`hash` may be null). */
int qnst_sis_walk_iddf(qnst_sis *part, DB_TXN *txn, DBC **cursor, uint64_t *handle,
                       uint32_t *dfid, uint32_t *dfver, uint64_t *offset, uint32_t *length,
                       uint32_t *hashlen, void *hash);
int qnst_sis_next_iddf(qnst_sis *part, DBC *cursor, uint64_t *handle, uint32_t *dfid,
                       uint32_t *dfver, uint64_t *offset, uint32_t *length, uint32_t *hashlen,
                       void *hash);
/* Hash-index entries from the first `startlen` bytes of `hash` on. *hashlen is the capacity of
 * `hash` on entry (only its first QNST_SIS_MAX_HASH bytes are used) and the found key's length on
 * return (DB_BUFFER_SMALL, logged, when it does not fit; EIO, logged, for a key longer than any
 * hash). EINVAL (logged) when `startlen` exceeds the capacity or QNST_SIS_MAX_HASH. */
int qnst_sis_walk_hashid(qnst_sis *part, DB_TXN *txn, DBC **cursor, uint64_t *handle,
                         uint32_t startlen, uint32_t *hashlen, void *hash);
int qnst_sis_next_hashid(qnst_sis *part, DBC *cursor, uint64_t *handle, uint32_t *hashlen,
                         void *hash);
/* Closes a walk's cursor (null is allowed). Always 0. */
int qnst_sis_done(qnst_sis *part, DBC *cursor);

/* ---- Consistency check -------------------------------------------------------------------- */
/* Opens "id_ref_fsck" and "id_dangling" in `checkfile` and the check queue (DB_QUEUE, 16-byte
 * records: handle u64, fset u64, little-endian) in `queuefile`; with `remove` set, old ones are
 * removed first. Returns 0, EINVAL when the check tables are already open, or the Berkeley DB code
 * (logged), after which nothing of them is open. */
int qnst_sis_open_fsck(qnst_sis *part, const char *checkfile, const char *queuefile,
                       uint32_t remove);
/* Closes the check tables; with `remove` set, removes the databases of `checkfile` and the file
 * `queuefile` of those that are given (results ignored). Always 0. */
int qnst_sis_close_fsck(qnst_sis *part, const char *checkfile, const char *queuefile,
                        uint32_t remove);
/* Appends (handle, fset) to the check queue. Returns 0, EINVAL (logged) without an open queue, or
 * the Berkeley DB code (logged). */
int qnst_sis_fsckq_put(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint64_t fset);
/* Consumes the first check-queue record; an empty queue gives *handle = 0 and result 0. Returns
 * 0, EINVAL (logged) without an open queue, or the Berkeley DB code (logged). */
int qnst_sis_fsckq_get(qnst_sis *part, DB_TXN *txn, uint64_t *handle, uint64_t *fset);

/* ---- Compaction --------------------------------------------------------------------------- */
/* A pass over partition `p`: init, padd for each record of a reference walk, ppurge for each
 * record of a purge-list walk, cleanup. The purge list is the file "plist_%x.db" (`p` in
 * lower-case hex), keyed by handle, holding the reference word seen when the block was added. */
/* Opens a fresh purge list. Returns 0, EBUSY (logged) while one is open, or the Berkeley DB code
 * (logged). */
int qnst_sis_compact_init(qnst_sis *part, uint32_t p);
/* For a block whose `word` has count 0: removes its hash from the hash index (unless the index
 * names another block under that hash) and from the cache table, and puts handle -> word on the
 * purge list; from then on no new block is deduplicated against it. Other words: 0. Returns 0,
 * EINVAL (logged) without a purge list, EIO (logged) for a damaged location record or index
 * entry, the Berkeley DB code of the reads and deletes (logged, DB_NOTFOUND of the location
 * record included), or the result of the purge-list insert (DB_KEYEXIST, not logged). */
int qnst_sis_compact_padd(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t word);
/* For a purge-list entry whose `word` has count 0: subtracts the block's length from its data
 * file's usage (not for a link) and deletes its reference and location records. A block already
 * gone, or one whose live count is no longer 0 (referenced again behind the list's back), gives 0
 * and is left alone. Returns 0, EIO (logged) for a damaged reference word or location record,
 * or the Berkeley DB code (logged; DB_NOTFOUND included, as for a data file without a usage
 * record). */
int qnst_sis_compact_ppurge(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t word);
/* Closes and removes the purge list; the field is cleared even when the close fails (the
 * handle is gone either way). Returns 0 or the Berkeley DB code (logged). */
int qnst_sis_compact_cleanup(qnst_sis *part, uint32_t p);
/* Deletes `handle` from the purge list (absent: 0). Returns 0, EINVAL (not logged) without a purge
 * list, or the Berkeley DB code (logged). */
int qnst_sis_plist_del(qnst_sis *part, DB_TXN *txn, uint64_t handle);
/* Compacts "id_ref", "hash_id" and "id_df" (DB_FREE_SPACE), adding the pages freed and truncated
 * to *freed and *truncated. Returns 0 or the first Berkeley DB code (logged). */
int qnst_sis_dbcompact(qnst_sis *part, uint32_t *freed, uint32_t *truncated);

}  // extern "C"

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

using qnst::kDamaged;

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
    if (const int rc = sized(db->get(db, txn, &k, &d, flags), d, sizeof buf)) return rc;
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
    if (rc == DB_BUFFER_SMALL) return kDamaged;  // longer than any location record
    if (rc) return rc;
    return loc->unpack(rec, d.size) ? 0 : kDamaged;
}

}  // namespace qnst::sis
