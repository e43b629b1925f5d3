// Blob maps: the two-phase upload of an inode's whole content and the version history of which
// blob held it.
#include "qnst_blobmap.h"

#include <cerrno>
#include <cstring>

#include "qnst_blobsism.h"
#include "qnst_internal.hpp"

QNST_SOURCE("qnst/blobmap/qnst_blobmap");

namespace {

constexpr uint8_t kVersionLetter = '4';
constexpr uint8_t kPendingLetter = '5';
constexpr uint32_t kLive = QNST_INODE_LIVE;
constexpr uint32_t kVersionKeySize = 9;
constexpr uint32_t kVersionDataSize = 20;
constexpr uint32_t kPendingHeader = 20;
constexpr uint32_t kPendingSize = kPendingHeader + QNST_BLOBMAP_MAX_HASH;
constexpr uint32_t kWalkKeyBuffer = 2048;
constexpr int kDamaged = EIO;

DB_ENV *env_of(const qnst_inoderec *inode) { return inode ? inode->dbenv : nullptr; }

bool signed_le(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a) <= static_cast<int32_t>(b);
}

// Versions a record can be made in: the key of 0 would sort as the newest of all, and from
// QNST_INODE_LIVE on a version is no longer below every current record's dver.
bool valid_version(uint32_t ver) { return ver >= 1 && ver < kLive; }

bool valid_hash(const void *hash, uint32_t hashlen) {
    return hash != nullptr && hashlen != 0 && hashlen <= QNST_BLOBMAP_MAX_HASH;
}

// What every call that changes a map needs.
bool can_change(const qnst_inoderec *inode, const DB_TXN *txn) {
    return inode && inode->record_db && inode->mblob && inode->setnode && txn;
}

struct VersionKey {
    uint8_t bytes[kVersionKeySize];
    VersionKey(uint32_t ino, uint32_t cver) {
        qnst::store_le32(bytes, ino);
        bytes[4] = kVersionLetter;
        qnst::store_neg_version(bytes + 5, cver);
    }
    DBT dbt() { return qnst::user_dbt(bytes, sizeof bytes); }
};

struct PendingKey {
    uint8_t bytes[5];
    explicit PendingKey(uint32_t ino) {
        qnst::store_le32(bytes, ino);
        bytes[4] = kPendingLetter;
    }
    DBT dbt() { return qnst::user_dbt(bytes, sizeof bytes); }
};

// One version record.
struct Mapping {
    uint32_t cver = 0;
    uint32_t dver = 0;
    uint64_t handle = 0;
    uint64_t size = 0;

    void pack(uint8_t *p) const {
        qnst::store_le32(p, dver);
        qnst::store_le64(p + 4, handle);
        qnst::store_le64(p + 12, size);
    }
    void unpack(const uint8_t *p) {
        dver = qnst::load_le32(p);
        handle = qnst::load_le64(p + 4);
        size = qnst::load_le64(p + 12);
    }
    void deliver(uint32_t *o_cver, uint32_t *o_dver, uint64_t *o_handle, uint64_t *o_size) const {
        *o_cver = cver;
        *o_dver = dver;
        *o_handle = handle;
        *o_size = size;
    }
};

// The pending upload of an inode, if any.
struct Pending {
    bool present = false;
    bool match = false;  // of the hash the caller gave
    uint64_t handle = 0;
    uint64_t size = 0;
};

// What closing and replacing mappings did, for the usage update.
struct Changes {
    uint64_t closed = 0;    // size of the current mapping that was ended or replaced
    uint64_t released = 0;  // bytes the blob store freed
};

int put_version(qnst_inoderec *inode, DB_TXN *txn, const Mapping &m) {
    VersionKey key(inode->inode, m.cver);
    uint8_t data[kVersionDataSize];
    m.pack(data);
    DBT k = key.dbt();
    DBT d = qnst::user_dbt(data, sizeof data);
    return inode->record_db->put(inode->record_db, txn, &k, &d, 0);
}

int del_key(qnst_inoderec *inode, DB_TXN *txn, DBT *key) {
    return inode->record_db->del(inode->record_db, txn, key, 0);
}

// Reads the pending upload with a write lock. A record that is missing or does not fit its
// layout counts as absent.
int read_pending(qnst_inoderec *inode, DB_TXN *txn, const void *hash, uint32_t hashlen,
                 Pending *p) {
    PendingKey key(inode->inode);
    uint8_t rec[kPendingSize];
    DBT k = key.dbt();
    DBT d = qnst::user_dbt(rec, 0, sizeof rec);
    const int rc = inode->record_db->get(inode->record_db, txn, &k, &d, DB_RMW);
    if (rc == DB_NOTFOUND || rc == DB_BUFFER_SMALL) return 0;
    if (rc) return rc;
    if (d.size < kPendingHeader) return 0;
    const uint32_t len = qnst::load_le32(rec + 16);
    if (len > QNST_BLOBMAP_MAX_HASH || kPendingHeader + len != d.size) return 0;
    p->present = true;
    p->handle = qnst::load_le64(rec);
    p->size = qnst::load_le64(rec + 8);
    p->match = hash != nullptr && len == hashlen &&
               std::memcmp(rec + kPendingHeader, hash, hashlen) == 0;
    return 0;
}

int put_pending(qnst_inoderec *inode, DB_TXN *txn, uint64_t handle, uint64_t size,
                const void *hash, uint32_t hashlen) {
    PendingKey key(inode->inode);
    uint8_t rec[kPendingSize];
    qnst::store_le64(rec, handle);
    qnst::store_le64(rec + 8, size);
    qnst::store_le32(rec + 16, hashlen);
    std::memcpy(rec + kPendingHeader, hash, hashlen);
    DBT k = key.dbt();
    DBT d = qnst::user_dbt(rec, kPendingHeader + hashlen);
    return inode->record_db->put(inode->record_db, txn, &k, &d, DB_NOOVERWRITE);
}

int delete_pending(qnst_inoderec *inode, DB_TXN *txn) {
    PendingKey key(inode->inode);
    DBT k = key.dbt();
    return del_key(inode, txn, &k);
}

// Deletes the pending upload, if any, and queues its reserved handle for compaction: the server
// may have written content for it. *psize is the upload's size, 0 without one.
int drop_pending(qnst_inoderec *inode, DB_TXN *txn, uint64_t *psize) {
    *psize = 0;
    Pending p;
    int rc = read_pending(inode, txn, nullptr, 0, &p);
    if (rc || !p.present) return rc;
    if ((rc = delete_pending(inode, txn)) != 0) return rc;
    if ((rc = qnst_mblob_compactq(inode->mblob, txn, p.handle, p.size)) != 0) return rc;
    *psize = p.size;
    return 0;
}

// The newest version record with cver at or below `ver`; DB_NOTFOUND when there is none. The
// cursor is closed again before returning (the caller gets the record, not a position).
int find_current(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver, uint32_t rmw, Mapping *m) {
    qnst::Cursor c;
    int rc = c.open(inode->record_db, txn, 0);
    if (rc) return rc;
    VersionKey key(inode->inode, ver);
    uint8_t data[kVersionDataSize];
    DBT k = qnst::user_dbt(key.bytes, sizeof key.bytes, sizeof key.bytes);
    DBT d = qnst::user_dbt(data, 0, sizeof data);
    rc = c->get(c.get(), &k, &d, DB_SET_RANGE | rmw);
    if (rc == DB_BUFFER_SMALL) rc = DB_NOTFOUND;  // a longer key: not a version record
    if (rc == 0 && (k.size != kVersionKeySize || qnst::load_le32(key.bytes) != inode->inode ||
                    key.bytes[4] != kVersionLetter))
        rc = DB_NOTFOUND;
    if (rc == 0 && d.size != kVersionDataSize) rc = kDamaged;
    if (rc == 0) {
        m->cver = qnst::load_neg_version(key.bytes + 5);
        m->unpack(data);
        // Version 0 positions before the newest record; it is valid at no version.
        if (!signed_le(m->cver, ver)) rc = DB_NOTFOUND;
    }
    const int closed = c.close();
    return rc ? rc : closed;
}

// Ends the current mapping at version `ver`. One made in `ver` itself gives its reference back
// (and with `remove` its record goes); an older one keeps its reference as history, with dver
// `ver`.
int close_current(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver, bool remove, Changes *ch) {
    Mapping m;
    int rc = find_current(inode, txn, kLive, DB_RMW, &m);
    if (rc == DB_NOTFOUND) return 0;
    if (rc) return rc;
    if (m.dver != kLive) return 0;
    if (m.cver != ver) {
        m.dver = ver;
        return put_version(inode, txn, m);
    }
    if (remove) {
        VersionKey key(inode->inode, m.cver);
        DBT k = key.dbt();
        if ((rc = del_key(inode, txn, &k)) != 0) return rc;
    }
    rc = qnst_mblob_rele(inode->mblob, txn, m.handle, &ch->released);
    if (rc && rc != DB_NOTFOUND) return rc;
    ch->closed += m.size;
    return 0;
}

// Makes (handle, size) the current mapping from version `ver` on.
int replace_current(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver, uint64_t handle,
                    uint64_t size, Changes *ch) {
    const int rc = close_current(inode, txn, ver, false, ch);
    if (rc) return rc;
    Mapping m;
    m.cver = ver;
    m.dver = kLive;
    m.handle = handle;
    m.size = size;
    return put_version(inode, txn, m);
}

// Maps the stored blob `existing` from version `ver` on, with a reference of its own.
int map_existing(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver, uint64_t existing,
                 uint64_t size, Changes *ch) {
    const int rc = qnst_mblob_hold(inode->mblob, txn, existing, 0);
    return rc ? rc : replace_current(inode, txn, ver, existing, size, ch);
}

// Checks the arguments of reconcile and commit and reads the inode's pending upload, matched
// against `hash`. Failures are logged.
int begin_upload_step(qnst_inoderec *inode, DB_TXN *txn, const void *hash, uint32_t hashlen,
                      uint32_t ver, Pending *p) {
    if (!can_change(inode, txn) || !valid_version(ver) || !valid_hash(hash, hashlen))
        return QNST_FAIL(env_of(inode), EINVAL);
    return QNST_FAIL(inode->dbenv, read_pending(inode, txn, hash, hashlen, p));
}

int64_t s64(uint64_t v) { return static_cast<int64_t>(v); }

// Charges the inode's set node: total, store-current and store-total deltas.
int charge(qnst_inoderec *inode, DB_TXN *txn, int64_t fstotal, int64_t stcurrent,
           int64_t sttotal) {
    return qnst_inode_usg(inode->setnode, txn, 0, fstotal, stcurrent, sttotal, 0, 0);
}

// Reads one record of a walk into the outputs; the end (a record that is not this inode's
// version record, or the start of the database) gives cver 0 and result 0.
int walk_read(const qnst_inoderec *inode, DBC *c, uint32_t step, uint32_t *cver, uint32_t *dver,
              uint64_t *handle, uint64_t *size) {
    Mapping m;
    m.deliver(cver, dver, handle, size);
    uint8_t kb[kVersionKeySize], data[kVersionDataSize];
    DBT k = qnst::user_dbt(kb, 0, sizeof kb);
    DBT d = qnst::user_dbt(data, 0, sizeof data);
    const int rc = c->get(c, &k, &d, step | DB_READ_COMMITTED);
    if (rc == DB_NOTFOUND || rc == DB_BUFFER_SMALL) return 0;
    if (rc) return rc;
    if (k.size != kVersionKeySize || qnst::load_le32(kb) != inode->inode || kb[4] != kVersionLetter)
        return 0;
    if (d.size != kVersionDataSize) return kDamaged;
    m.cver = qnst::load_neg_version(kb + 5);
    m.unpack(data);
    m.deliver(cver, dver, handle, size);
    return 0;
}

}  // namespace

int qnst_blobmap_reconcile(qnst_inoderec *inode, DB_TXN *txn, uint64_t size, const void *hash,
                           uint32_t hashlen, uint32_t ver, uint32_t *stale, uint32_t *upload,
                           uint32_t *isnew, uint64_t *handle) {
    *stale = 0;
    *upload = 1;
    *isnew = 0;
    *handle = 0;
    Pending p;
    int rc = begin_upload_step(inode, txn, hash, hashlen, ver, &p);
    if (rc) return rc;
    DB_ENV *env = inode->dbenv;

    // An interrupted upload resumes with the handle it reserved.
    if (p.present && p.match) {
        *handle = p.handle;
        return 0;
    }
    // The upload of other content was abandoned: drop it and let the caller start again.
    if (p.present) {
        if ((rc = delete_pending(inode, txn)) != 0) return QNST_FAIL(env, rc);
        if ((rc = qnst_mblob_compactq(inode->mblob, txn, p.handle, p.size)) != 0)
            return QNST_FAIL(env, rc);
        *stale = 1;
        *handle = p.handle;
        return QNST_FAIL(env, charge(inode, txn, -s64(p.size), -s64(p.size), 0));
    }

    uint64_t existing = 0;
    if ((rc = qnst_mblob_lookup(inode->mblob, txn, hash, hashlen, &existing)) != 0)
        return QNST_FAIL(env, rc);
    if (existing) {
        *upload = 0;
        Changes ch;
        if ((rc = map_existing(inode, txn, ver, existing, size, &ch)) != 0)
            return QNST_FAIL(env, rc);
        *handle = existing;
        return QNST_FAIL(env, charge(inode, txn, s64(size) - s64(ch.closed), -s64(ch.released), 0));
    }

    *isnew = 1;
    uint64_t reserved = 0;
    if ((rc = qnst_mblob_gen_handle(inode->mblob, hash, hashlen, &reserved)) != 0)
        return QNST_FAIL(env, rc);
    if ((rc = put_pending(inode, txn, reserved, size, hash, hashlen)) != 0)
        return QNST_FAIL(env, rc);
    *handle = reserved;
    return QNST_FAIL(env, charge(inode, txn, s64(size), s64(size), s64(size)));
}

int qnst_blobmap_commit(qnst_inoderec *inode, DB_TXN *txn, const void *hash, uint32_t hashlen,
                        uint64_t blobsize, uint32_t ver, uint32_t *stale, uint64_t *handle) {
    *stale = 0;
    Pending p;
    int rc = begin_upload_step(inode, txn, hash, hashlen, ver, &p);
    if (rc) return rc;
    DB_ENV *env = inode->dbenv;
    if (!p.present) return ENOENT;
    if (!p.match) {
        *stale = 1;
        return 0;
    }
    const int64_t psize = s64(p.size);
    for (int attempt = 0; attempt < QNST_BLOBMAP_ATTEMPTS; ++attempt) {
        rc = qnst_mblob_store(inode->mblob, txn, hash, hashlen, blobsize, p.handle);
        if (rc == 0) {
            Changes ch;
            if ((rc = replace_current(inode, txn, ver, p.handle, p.size, &ch)) != 0)
                return QNST_FAIL(env, rc);
            if ((rc = delete_pending(inode, txn)) != 0) return QNST_FAIL(env, rc);
            *handle = p.handle;
            return QNST_FAIL(env, charge(inode, txn, -s64(ch.closed),
                                         s64(blobsize) - s64(ch.released) - psize,
                                         s64(blobsize) - psize));
        }
        if (rc != QNST_HASH_EXISTS) return QNST_FAIL(env, rc);

        // The same content was stored meanwhile under another handle: map that blob instead.
        uint64_t existing = 0;
        if ((rc = qnst_mblob_lookup(inode->mblob, txn, hash, hashlen, &existing)) != 0)
            return QNST_FAIL(env, rc);
        if (!existing) continue;  // it went away again; the store may succeed now
        Changes ch;
        if ((rc = map_existing(inode, txn, ver, existing, p.size, &ch)) != 0)
            return QNST_FAIL(env, rc);
        if ((rc = delete_pending(inode, txn)) != 0) return QNST_FAIL(env, rc);
        if ((rc = qnst_mblob_compactq(inode->mblob, txn, p.handle, p.size)) != 0)
            return QNST_FAIL(env, rc);
        *handle = existing;
        return QNST_FAIL(env, charge(inode, txn, -s64(ch.closed), -s64(ch.released) - psize, 0));
    }
    return QNST_FAIL(env, EAGAIN);
}

int qnst_blobmap_lookup(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver, uint32_t *cver,
                        uint32_t *dver, uint64_t *handle, uint64_t *size) {
    Mapping m;
    m.deliver(cver, dver, handle, size);
    if (!inode || !inode->record_db) return QNST_FAIL(env_of(inode), EINVAL);
    const int rc = find_current(inode, txn, ver, 0, &m);
    if (rc) return QNST_FAIL(inode->dbenv, rc);
    m.deliver(cver, dver, handle, size);
    if (signed_le(m.dver, ver)) return QNST_FAIL(inode->dbenv, DB_NOTFOUND);  // it had ended
    return 0;
}

int qnst_blobmap_purge(qnst_inoderec *inode, DB_TXN *txn, uint32_t cver, uint32_t fsck) {
    if (!can_change(inode, txn)) return QNST_FAIL(env_of(inode), EINVAL);
    DB_ENV *env = inode->dbenv;
    int rc = 0;
    if (cver == kLive) {
        uint64_t psize = 0;
        if ((rc = drop_pending(inode, txn, &psize)) != 0) return QNST_FAIL(env, rc);
        return QNST_FAIL(env, charge(inode, txn, -s64(psize), -s64(psize), 0));
    }
    VersionKey key(inode->inode, cver);
    uint8_t data[kVersionDataSize];
    DBT k = key.dbt();
    DBT d = qnst::user_dbt(data, 0, sizeof data);
    rc = inode->record_db->get(inode->record_db, txn, &k, &d, DB_RMW);
    if (rc == 0 && d.size != kVersionDataSize) rc = kDamaged;
    if (rc) return QNST_FAIL(env, rc);
    Mapping m;
    m.unpack(data);
    if ((rc = del_key(inode, txn, &k)) != 0) return QNST_FAIL(env, rc);
    uint64_t released = 0;
    if (!fsck) {
        rc = qnst_mblob_rele(inode->mblob, txn, m.handle, &released);
        if (rc && rc != DB_NOTFOUND) return QNST_FAIL(env, rc);
    }
    return QNST_FAIL(env, charge(inode, txn, -s64(m.size), -s64(released), 0));
}

int qnst_blobmap_clear(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver) {
    if (!can_change(inode, txn) || !valid_version(ver)) return QNST_FAIL(env_of(inode), EINVAL);
    DB_ENV *env = inode->dbenv;
    Changes ch;
    int rc = close_current(inode, txn, ver, true, &ch);
    if (rc) return QNST_FAIL(env, rc);
    uint64_t psize = 0;
    if ((rc = drop_pending(inode, txn, &psize)) != 0) return QNST_FAIL(env, rc);
    return QNST_FAIL(env, charge(inode, txn, -s64(ch.closed) - s64(psize),
                                 -s64(ch.released) - s64(psize), 0));
}

int qnst_blobmap_walk(qnst_inoderec *inode, DB_TXN *txn, uint32_t lastver, DBC **cursor,
                      uint32_t *cver, uint32_t *dver, uint64_t *handle, uint64_t *size) {
    *cursor = nullptr;
    Mapping().deliver(cver, dver, handle, size);
    if (!inode || !inode->record_db) return QNST_FAIL(env_of(inode), EINVAL);
    qnst::Cursor c;
    int rc = c.open(inode->record_db, txn, 0);
    if (rc) return QNST_FAIL(inode->dbenv, rc);
    // Positioned at the newest record with cver <= lastver, one step back is the oldest record
    // above it. The key of version 0 sorts before every stored version of the inode, so a walk
    // from 0 finds nothing, as the other versioned listings do.
    VersionKey key(inode->inode, lastver);
    uint8_t kb[kWalkKeyBuffer];
    std::memcpy(kb, key.bytes, sizeof key.bytes);
    uint8_t none[1];
    DBT k = qnst::user_dbt(kb, sizeof key.bytes, sizeof kb);
    DBT d = qnst::user_dbt(none, 0, sizeof none);
    d.flags |= DB_DBT_PARTIAL;
    d.dlen = 0;
    d.doff = 0;
    rc = c->get(c.get(), &k, &d, DB_SET_RANGE | DB_READ_COMMITTED);
    uint32_t step = DB_PREV;
    if (rc == DB_NOTFOUND) step = DB_LAST;
    else if (rc) return QNST_FAIL(inode->dbenv, rc);
    if ((rc = walk_read(inode, c.get(), step, cver, dver, handle, size)) != 0)
        return QNST_FAIL(inode->dbenv, rc);
    *cursor = c.release();
    return 0;
}

int qnst_blobmap_next(qnst_inoderec *inode, DBC *cursor, uint32_t *cver, uint32_t *dver,
                      uint64_t *handle, uint64_t *size) {
    Mapping().deliver(cver, dver, handle, size);
    if (!inode || !cursor) return QNST_FAIL(env_of(inode), EINVAL);
    return QNST_FAIL(inode->dbenv, walk_read(inode, cursor, DB_PREV, cver, dver, handle, size));
}

int qnst_blobmap_done(qnst_inoderec *inode, DBC *cursor) {
    (void)inode;
    if (cursor) (void)cursor->close(cursor);  // the walk is over whatever the close says
    return 0;
}
