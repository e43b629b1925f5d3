// The cache store of a partition: the cache table of popular hashes, the store queue that defers
// hash-index entries, the hold/release queue that defers reference changes, and the partition
// step of the cache refresh.
#include "qnst_csis.h"
#include "qnst_csis.hpp"

#include "qnst_blksism.hpp"
#include "qnst_dfile_usage.hpp"
#include "qnst_internal.hpp"
#include "qnst_sis.hpp"

QNST_SOURCE("qnst/blksis/qnst_csis");

using qnst::blksis::bump;
using qnst::blksis::load;
using qnst::make_name;
using qnst::Name;

namespace {

constexpr uint32_t kDefaultPageSize = 4096;
constexpr uint32_t kQueueExtent = 64;       // pages per queue extent file
constexpr uint32_t kStqRecord = 32;         // handle, hash length, hash of up to 20 bytes
constexpr uint32_t kStqHeader = 12;
constexpr uint32_t kHdqRecord = 12;         // handle, signed change

// The cache table, or null when the partition runs without one: no budget, dropped, or a
// partition whose cache store was created but never opened (its handle exists but cannot be
// used; db.h tells an opened handle by its flag).
DB *cache_table(const qnst_sis *part) {
    DB *db = part->cachedb;
    return db && (db->flags & DB_AM_OPEN_CALLED) ? db : nullptr;
}

bool bad_hash(const void *hash, uint32_t hashlen) {
    return hashlen > QNST_SIS_MAX_HASH || (hashlen != 0 && hash == nullptr);
}

// Sets a queue's extent size and record length and opens it; an open failure is reported with
// its code and file name.
int open_queue(qnst_sis *part, DB *db, const char *file, uint32_t reclen) {
    int rc = db->set_q_extentsize(db, kQueueExtent);
    if (rc == 0) rc = db->set_re_len(db, reclen);
    if (rc) return QNST_FAIL(part->env, rc);
    rc = qnst::open_table(db, file, nullptr, DB_QUEUE);
    if (rc) QNST_MSG(part->env, "%d %s", rc, file);
    return rc;
}

int open_cache_table(qnst_sis *part, const char *name, const char *cpath, int64_t budget) {
    Name file(make_name("%sC_%s.db", cpath, name));
    if (!file) return QNST_FAIL(part->env, ENOMEM);
    int rc = 0;
    if (!part->cachedb) {
        // Dropped while the store was open: a fresh table is made for this open.
        rc = db_create(&part->cachedb, part->env, 0);
        if (rc) {
            part->cachedb = nullptr;
            return QNST_FAIL(part->env, rc);
        }
    }
    DB *db = part->cachedb;
    uint32_t pagesize = 0;
    if (db->get_pagesize(db, &pagesize) != 0 || pagesize == 0) {
        pagesize = kDefaultPageSize;
        rc = db->set_pagesize(db, pagesize);
        if (rc) return QNST_FAIL(part->env, rc);
    }
    const uint32_t capacity = qnst_csis_capacity(budget, pagesize);
    qnst::blksis::store(part->capacity, capacity);
    // A new table gets its buckets for the whole capacity at once. A lookup write-locks the
    // bucket page its hash falls in; grown from a single bucket, a new table would send every
    // lookup of the partition to one page, so that concurrent transactions queued behind one
    // another (and deadlocked across partitions) however few hashes they shared. An existing
    // table keeps its buckets: the settings only size a table being created, and a table that
    // cannot be sized works all the same.
    if (capacity) {
        (void)db->set_h_ffactor(db, (pagesize - 32u) / 40u);
        (void)db->set_h_nelem(db, capacity);
    }
    rc = qnst::open_table(db, file.p, nullptr, DB_HASH);
    if (rc) QNST_MSG(part->env, "%s %s", file.p, cpath);
    return rc;
}

// Reads a reference word with the write lock taken at once (EIO for a damaged word).
int read_word(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t *word) {
    return qnst::sis::get_word(part->refdb, txn, handle, DB_RMW, word);
}

// Deletes a hash from the hash index; a hash that is not there is no error.
int unindex(qnst_sis *part, DB_TXN *txn, const void *hash, uint32_t hashlen) {
    DBT k = qnst::user_dbt(const_cast<void *>(hash), hashlen);
    const int rc = part->hashdb->del(part->hashdb, txn, &k, 0);
    return rc == DB_NOTFOUND ? 0 : rc;
}

int append(DB *db, DB_TXN *txn, void *record, uint32_t size) {
    db_recno_t recno = 0;
    DBT k = qnst::user_dbt(&recno, 0, sizeof recno);
    DBT d = qnst::user_dbt(record, size);
    return db->put(db, txn, &k, &d, DB_APPEND);
}

int queue_change(qnst_sis *part, DB_TXN *txn, uint64_t handle, int32_t change) {
    uint8_t rec[kHdqRecord];
    qnst::store_le64(rec, handle);
    qnst::store_le32(rec + 8, static_cast<uint32_t>(change));
    return QNST_FAIL(part->env, append(part->hdqdb, txn, rec, sizeof rec));
}

// Queue record numbers wrap around after 2^32 - 1: `r` has reached `tail` when it is at or past
// it in serial-number order. A pass whose tail record was consumed by another flusher still ends.
bool reached(db_recno_t r, uint32_t tail) { return static_cast<int32_t>(r - tail) >= 0; }

// Opening of a queue flush: opens a read-committed cursor, fixes the pass's tail (the last record
// when the pass starts) and reads the first record. Returns 0 with *found false for an empty queue
// (after *tail = 0).
int first_record(qnst_sis *part, DB *db, DB_TXN *txn, qnst::Cursor &cursor, uint32_t *tail,
                 db_recno_t *recno, uint8_t *rec, uint32_t reclen, bool log_empty,
                 bool *found) {
    *found = false;
    int rc = cursor.open(db, txn, DB_READ_COMMITTED);
    if (rc) return QNST_FAIL(part->env, rc);
    DBT k = qnst::user_dbt(recno, 0, sizeof *recno);
    DBT d = qnst::user_dbt(rec, 0, reclen);
    if (*tail == 0) {
        rc = cursor->get(cursor.get(), &k, &d, DB_LAST);
        if (rc == DB_BUFFER_SMALL) rc = qnst::kDamaged;  // records longer than their layout
        if (rc == DB_NOTFOUND) return 0;
        if (rc) return QNST_FAIL(part->env, rc);
        *tail = *recno;
    }
    rc = cursor->get(cursor.get(), &k, &d, DB_FIRST);
    if (rc == DB_BUFFER_SMALL) rc = qnst::kDamaged;
    if (rc == DB_NOTFOUND) {
        if (log_empty) QNST_FAIL(part->env, rc);
        *tail = 0;
        return 0;
    }
    if (rc) return QNST_FAIL(part->env, rc);
    *found = true;
    return 0;
}

// Close of a queue flush, once record r is handled: consumes it and closes the cursor; the
// caller then moves the pass on.
int consume(qnst_sis *part, DB *db, DB_TXN *txn, qnst::Cursor &cursor, db_recno_t r) {
    DBT k = qnst::user_dbt(&r, sizeof r);
    int rc = db->del(db, txn, &k, DB_CONSUME);
    if (rc) return QNST_FAIL(part->env, rc);
    rc = cursor.close();
    return QNST_FAIL(part->env, rc);
}

void end_of_record(uint32_t *tail, db_recno_t r, uint32_t &flushed) {
    if (*tail == 0) return;
    bump(flushed);
    if (reached(r, *tail)) *tail = 0;
}

int flush_stq_record(qnst_sis *part, DB_TXN *txn, uint32_t *tail) {
    qnst::Cursor cursor;
    db_recno_t r = 0;
    uint8_t rec[kStqRecord];
    bool found = false;
    int rc = first_record(part, part->stqdb, txn, cursor, tail, &r, rec, sizeof rec, true, &found);
    if (rc || !found) return rc;

    const uint64_t handle = qnst::load_le64(rec);
    const uint32_t hashlen = qnst::load_le32(rec + 8);
    if (hashlen > QNST_SIS_MAX_HASH) {
        // No hash fits a record that says it is longer than the record's room: the entry cannot
        // be indexed by any later try either, and keeping it would stop every record behind it.
        // The block itself stays readable by its handle; only its hash-index entry is lost.
        QNST_MSG(part->env, "Damaged store queue record %u: hash length %u, handle 0x%llx",
                 static_cast<unsigned>(r), hashlen, static_cast<unsigned long long>(handle));
    } else {
        const uint8_t *hash = rec + kStqHeader;
        for (;;) {
            uint32_t count = 0;
            rc = qnst_csis_index(part, txn, handle, hash, hashlen, &count);
            if (rc != QNST_HASH_EXISTS) break;
            rc = qnst_csis_merge(part, txn, handle, hash, hashlen);
            if (rc != QNST_RETRY) break;
        }
        if (rc) return rc;  // the index step or the merge has logged it
    }
    rc = consume(part, part->stqdb, txn, cursor, r);
    if (rc == 0) end_of_record(tail, r, part->stq_flushed);
    return rc;
}

int flush_hdq_record(qnst_sis *part, DB_TXN *txn, uint32_t *tail, uint32_t compactor) {
    qnst::Cursor cursor;
    db_recno_t r = 0;
    uint8_t rec[kHdqRecord];
    bool found = false;
    int rc =
        first_record(part, part->hdqdb, txn, cursor, tail, &r, rec, sizeof rec, false, &found);
    if (rc || !found) return rc;

    const uint64_t handle = qnst::load_le64(rec);
    const auto change = static_cast<int32_t>(qnst::load_le32(rec + 8));
    uint32_t count = 0;
    if (change < 1) {
        rc = qnst_sis_rele(part, txn, handle, &count);
        if (rc == DB_NOTFOUND) {
            QNST_MSG(part->env, "qnst_csis_flushHDQ: Failed to rele handle 0x%llx",
                     static_cast<unsigned long long>(handle));
            rc = 0;
        }
    } else {
        rc = qnst_sis_hold(part, txn, handle, &count, 0);
        if (rc == DB_NOTFOUND) {
            QNST_MSG(part->env, "qnst_csis_flushHDQ: Failed to hold handle 0x%llx",
                     static_cast<unsigned long long>(handle));
            rc = 0;
        }
    }
    if (rc) return QNST_FAIL(part->env, rc);
    if (compactor) {
        // The block's references changed after the compaction examined it: spare it.
        rc = qnst_sis_plist_del(part, txn, handle);
        if (rc) return QNST_FAIL(part->env, rc);
    }
    rc = consume(part, part->hdqdb, txn, cursor, r);
    if (rc == 0) end_of_record(tail, r, part->hdq_flushed);
    return rc;
}

}  // namespace

uint32_t qnst_csis_capacity(int64_t budget, uint32_t pagesize) {
    if (pagesize == 0) return 0;
    const uint32_t per_page = (pagesize - 32u) / 40u;
    const auto pages = static_cast<uint32_t>(budget / static_cast<int64_t>(pagesize));
    return pages * per_page * 8u / 10u;
}

int qnst_csis_open(qnst_sis *part, const char *name, int32_t init, const char *cpath,
                   int64_t budget) {
    if (!part || !name) return EINVAL;
    if (!cpath) cpath = "";
    int rc = 0;
    if (budget != 0) {
        rc = open_cache_table(part, name, cpath, budget);
        if (rc) return rc;
    } else if (part->cachedb) {
        // No cache budget: the partition runs without a cache table. Closing a handle that was
        // never opened only frees it.
        qnst::close_db(&part->cachedb);
    }

    Name stq(make_name("%sSQ_%s.db", cpath, name));
    Name hdq(make_name("%sHQ_%s.db", cpath, name));
    if (!stq || !hdq) return QNST_FAIL(part->env, ENOMEM);
    rc = open_queue(part, part->stqdb, stq.p, kStqRecord);
    if (rc) return rc;
    rc = open_queue(part, part->hdqdb, hdq.p, kHdqRecord);
    if (rc) return rc;
    return QNST_FAIL(part->env, qnst_csis_histopen(part, name, cpath, init));
}

int qnst_csis_drop(qnst_sis *part, const char *name, const char *cpath) {
    if (!cache_table(part)) return 0;
    if (!cpath) cpath = "";
    Name file(make_name("%sC_%s.db", cpath, name));
    if (!file) return QNST_FAIL(part->env, ENOMEM);
    // The table goes away with its file; a failed close has nothing left to undo.
    qnst::close_db(&part->cachedb);
    DB *db = nullptr;
    int rc = db_create(&db, part->env, 0);
    if (rc) return QNST_FAIL(part->env, rc);
    rc = db->remove(db, file.p, nullptr, 0);  // frees the handle whatever the result
    if (rc) QNST_MSG(part->env, "%s %s", file.p, cpath);
    return rc;
}

int qnst_csis_store(qnst_sis *part, DB_TXN *txn, const void *hash, uint32_t hashlen,
                    uint32_t dfid, uint32_t dfver, uint64_t offset, uint32_t length,
                    uint64_t handle, uint64_t *growth) {
    // A fixed-length queue silently drops an append longer than its records: refuse such a hash
    // before anything is written, or the block would never be indexed.
    if (bad_hash(hash, hashlen)) return QNST_FAIL(part->env, EINVAL);
    uint8_t rec[kStqRecord];
    qnst::store_le64(rec, handle);
    qnst::store_le32(rec + 8, hashlen);
    if (hashlen) std::memcpy(rec + kStqHeader, hash, hashlen);
    int rc = append(part->stqdb, txn, rec, kStqHeader + hashlen);
    if (rc) return QNST_FAIL(part->env, rc);

    rc = qnst::blksis::record_block(part, txn, hash, hashlen, dfid, dfver, offset, length, handle,
                                    growth);
    return QNST_FAIL(part->env, rc);
}

int qnst_csis_lookup(qnst_sis *part, DB_TXN *txn, const void *hash, uint32_t hashlen,
                     uint64_t *handle) {
    *handle = 0;
    if (hashlen > QNST_SIS_MAX_HASH) return QNST_FAIL(part->env, EINVAL);
    DB *db = cache_table(part);
    if (!db) return 0;
    uint8_t data[8];
    DBT k = qnst::user_dbt(const_cast<void *>(hash), hashlen);
    DBT d = qnst::user_dbt(data, 0, sizeof data);
    const int rc = qnst::sized(db->get(db, txn, &k, &d, DB_RMW), d, sizeof data);
    if (rc == 0) {
        *handle = qnst::load_le64(data);
        bump(part->hits);
        return 0;
    }
    if (rc == DB_NOTFOUND) {
        bump(part->misses);
        return 0;
    }
    return QNST_FAIL(part->env, rc);
}

int qnst_csis_hold(qnst_sis *part, DB_TXN *txn, uint64_t handle) {
    return queue_change(part, txn, handle, +1);
}

int qnst_csis_rele(qnst_sis *part, DB_TXN *txn, uint64_t handle) {
    return queue_change(part, txn, handle, -1);
}

int qnst_csis_flushSTQ(qnst_sis *part, DB_TXN *txn, uint32_t *tail) {
    if (!tail) return QNST_FAIL(part->env, EINVAL);
    const int rc = flush_stq_record(part, txn, tail);
    if (rc) bump(part->stq_failures);
    return rc;
}

int qnst_csis_flushHDQ(qnst_sis *part, DB_TXN *txn, uint32_t *tail, uint32_t compactor) {
    if (!tail) return QNST_FAIL(part->env, EINVAL);
    const int rc = flush_hdq_record(part, txn, tail, compactor);
    if (rc) bump(part->hdq_failures);
    return rc;
}

int qnst_csis_cache(qnst_sis *part, DB_TXN *txn, const void *hash, uint32_t hashlen,
                    uint64_t handle, uint32_t count) {
    (void)count;
    // A running compaction takes hashes of unreferenced blocks out of the cache; adding any now
    // could bring one back.
    if (bad_hash(hash, hashlen)) return QNST_FAIL(part->env, EINVAL);
    DB *db = cache_table(part);
    if (!db || load(part->compacting)) return 0;
    uint8_t data[8];
    qnst::store_le64(data, handle);
    DBT k = qnst::user_dbt(const_cast<void *>(hash), hashlen);
    DBT d = qnst::user_dbt(data, sizeof data);
    const int rc = db->put(db, txn, &k, &d, DB_NOOVERWRITE);
    if (rc == DB_KEYEXIST) return 0;
    if (rc) return QNST_FAIL(part->env, rc);
    bump(part->cached);
    return 0;
}

int qnst_csis_uncache(qnst_sis *part, DB_TXN *txn, const void *hash, uint32_t hashlen) {
    if (hashlen > QNST_SIS_MAX_HASH) return QNST_FAIL(part->env, EINVAL);
    DB *db = cache_table(part);
    if (!db) return 0;
    DBT k = qnst::user_dbt(const_cast<void *>(hash), hashlen);
    const int rc = db->del(db, txn, &k, 0);
    if (rc == DB_NOTFOUND) return 0;
    if (rc) return QNST_FAIL(part->env, rc);
    bump(part->uncached);
    return 0;
}

int qnst_csis_index(qnst_sis *part, DB_TXN *txn, uint64_t handle, const void *hash,
                    uint32_t hashlen, uint32_t *count) {
    *count = 0;
    if (bad_hash(hash, hashlen)) return QNST_FAIL(part->env, EINVAL);
    uint32_t word = 0;
    int rc = read_word(part, txn, handle, &word);
    if (rc == DB_NOTFOUND) return 0;  // the block is gone
    if (rc) return QNST_FAIL(part->env, rc);
    *count = qnst_sis_ref_count(word);
    if (*count == 0) return 0;  // unreferenced: compaction will free it, nothing to index

    uint8_t data[8];
    qnst::store_le64(data, handle);
    DBT k = qnst::user_dbt(const_cast<void *>(hash), hashlen);
    DBT d = qnst::user_dbt(data, sizeof data);
    rc = part->hashdb->put(part->hashdb, txn, &k, &d, DB_NOOVERWRITE);
    if (rc == DB_KEYEXIST) return QNST_HASH_EXISTS;
    return QNST_FAIL(part->env, rc);
}

namespace {

// Folds queued block `handle` (`length` bytes in data file `dfid`), a duplicate of `existing`,
// into it: the queued block's bytes become garbage and its handle a link to `existing`, its
// references move there one hold each, and the hash's cache entry follows the surviving count.
int fold_duplicate(qnst_sis *part, DB_TXN *txn, uint64_t handle, const void *hash,
                   uint32_t hashlen, uint64_t existing, uint32_t dfid, uint32_t length) {
    uint64_t scratch = 0;
    int rc = qnst_dfile_usage(part->dfile, txn, dfid, 0, -static_cast<int64_t>(length), &scratch);
    if (rc) return QNST_FAIL(part->env, rc);
    rc = qnst_sis_write_iddf(part, txn, handle, QNST_SIS_SYMLINK_DFID, 0, existing, 0, nullptr, 0,
                             0);
    if (rc) return QNST_FAIL(part->env, rc);

    // Each moved hold keeps the histogram.
    uint32_t word = 0;
    rc = read_word(part, txn, handle, &word);
    if (rc && rc != DB_NOTFOUND) return QNST_FAIL(part->env, rc);
    const uint32_t moved = rc ? 0 : qnst_sis_ref_count(word);
    if (moved && (word & QNST_SIS_REF_STAMPED)) {
        rc = qnst_csis_histupdate(part, txn, static_cast<int32_t>(moved), -1);
        if (rc) return QNST_FAIL(part->env, rc);
    }
    uint32_t count = 0;
    for (uint32_t i = 0; i < moved; ++i) {
        rc = qnst_sis_hold(part, txn, existing, &count, 0);
        if (rc) return QNST_FAIL(part->env, rc);
    }
    if (moved == 0) {
        rc = read_word(part, txn, existing, &word);
        if (rc && rc != DB_NOTFOUND) return QNST_FAIL(part->env, rc);
        count = rc ? 0 : qnst_sis_ref_count(word);
    }

    rc = qnst_csis_uncache(part, txn, hash, hashlen);
    if (rc) return QNST_FAIL(part->env, rc);
    if (static_cast<int64_t>(count) >= load(part->wmark)) {
        rc = qnst_csis_cache(part, txn, hash, hashlen, existing, count);
        if (rc) return QNST_FAIL(part->env, rc);
    }
    return 0;
}

}  // namespace

int qnst_csis_merge(qnst_sis *part, DB_TXN *txn, uint64_t handle, const void *hash,
                    uint32_t hashlen) {
    uint64_t existing = 0;
    int rc = qnst_sis_lookup(part, txn, hash, hashlen, &existing);
    if (rc) return QNST_FAIL(part->env, rc);
    if (existing == 0) return QNST_RETRY;  // gone since the index step saw it
    if (existing == handle) {
        QNST_MSG(part->env, "Handle already flushed %lld", static_cast<long long>(handle));
        return 0;
    }

    uint32_t dfid = 0, dfver = 0, length = 0, hl = 0;
    uint64_t offset = 0;
    rc = qnst_sis_read1(part, txn, handle, &dfid, &dfver, &offset, &length, &hl, nullptr);
    if (rc == DB_NOTFOUND) return 0;
    if (rc) return QNST_FAIL(part->env, rc);

    if (dfid == QNST_SIS_SYMLINK_DFID) {
        // Folded before (the record was flushed again after a crash): let the hash name the
        // queued block, whose link leads to the data.
        QNST_MSG(part->env, "Handle %lld is already a symlink", static_cast<long long>(existing));
        rc = unindex(part, txn, hash, hashlen);
        if (rc) return QNST_FAIL(part->env, rc);
        rc = qnst_csis_uncache(part, txn, hash, hashlen);
        if (rc) return QNST_FAIL(part->env, rc);
        return QNST_RETRY;
    }

    // The queued block duplicates `existing`.
    return fold_duplicate(part, txn, handle, hash, hashlen, existing, dfid, length);
}

int qnst_csis_refresh(qnst_sis *part, DB_TXN *txn, uint64_t handle, uint32_t word) {
    if (word & QNST_SIS_REF_STAMPED) {
        const uint32_t count = qnst_sis_ref_count(word);
        const uint32_t age = qnst_sis_ref_age(word);
        uint32_t dfid = 0, dfver = 0, length = 0, hashlen = 0;
        uint64_t offset = 0;
        uint8_t hash[QNST_SIS_MAX_HASH];
        int rc = qnst_sis_read1(part, txn, handle, &dfid, &dfver, &offset, &length, &hashlen,
                                hash);
        if (rc == DB_NOTFOUND) return 0;
        if (rc) return QNST_FAIL(part->env, rc);
        if (dfid == QNST_SIS_SYMLINK_DFID) return 0;
        const int64_t wmark = load(part->wmark);
        const bool popular = count > wmark || (count == wmark && age <= 1);
        rc = popular ? qnst_csis_cache(part, txn, hash, hashlen, handle, count)
                     : qnst_csis_uncache(part, txn, hash, hashlen);
        return QNST_FAIL(part->env, rc);
    }

    // A legacy word: restamp it and let the block enter the histogram.
    int rc = read_word(part, txn, handle, &word);
    if (rc == DB_NOTFOUND) return 0;
    if (rc) return QNST_FAIL(part->env, rc);
    if (word & QNST_SIS_REF_STAMPED) return 0;  // restamped since the walk: already counted
    const uint32_t count = qnst_sis_ref_update(&word, 0);
    rc = qnst::sis::put_word(part->refdb, txn, handle, word, 0);
    if (rc) return QNST_FAIL(part->env, rc);
    return QNST_FAIL(part->env, qnst_csis_histupdate(part, txn, static_cast<int32_t>(count), +1));
}
