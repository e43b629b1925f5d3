// MAPI message maps: versioned message entries in an inode's own database, and the content
// claims that bring a message's blocks and blobs into the stores.
#include "qnst_mapi.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "qnst_blksism.h"
#include "qnst_blksism.hpp"
#include "qnst_blobsism.h"
#include "qnst_internal.hpp"

QNST_SOURCE("qnst/mapi/qnst_mapi");

namespace {

constexpr uint8_t kVentTag = '8';
constexpr uint8_t kIentTag = '9';
constexpr uint32_t kIentKeyMax = 1 + 4 + QNST_MAPI_MAX_KEY + 4;  // 1033
constexpr uint32_t kVentKeyMax = 1 + 4 + QNST_MAPI_MAX_KEY;      // 1029
constexpr uint32_t kWalkStartBuffer = 2048;
constexpr uint32_t kDverSize = 4;

bool valid_key(const void *mkey, uint32_t mkeylen) {
    return mkeylen <= QNST_MAPI_MAX_KEY && (mkey || mkeylen == 0);
}

// Calls on entries need the own database and a key that fits the record buffers.
int check_entries(const qnst_inoderec *inode, const void *mkey, uint32_t mkeylen) {
    if (!inode->own_db || !valid_key(mkey, mkeylen)) return QNST_FAIL(inode->dbenv, EINVAL);
    return 0;
}

struct Key {
    uint8_t b[kIentKeyMax];
    uint32_t size = 0;
    DBT dbt() { return qnst::user_dbt(b, size); }
};

Key ient_key(const void *mkey, uint32_t k, uint32_t cver) {
    Key key;
    key.b[0] = kIentTag;
    qnst::store_be32(key.b + 1, k);
    if (k) std::memcpy(key.b + 5, mkey, k);
    qnst::store_neg_version(key.b + 5 + k, cver);
    key.size = 9 + k;
    return key;
}

Key vent_key(uint32_t cver, const void *mkey, uint32_t k) {
    Key key;
    key.b[0] = kVentTag;
    qnst::store_neg_version(key.b + 1, cver);
    if (k) std::memcpy(key.b + 5, mkey, k);
    key.size = 5 + k;
    return key;
}

// The i-entry key of exactly this message key, whatever its version.
bool is_ient_of(const uint8_t *kb, uint32_t ksize, const void *mkey, uint32_t k) {
    return ksize == 9 + k && kb[0] == kIentTag && qnst::load_be32(kb + 1) == k &&
           (k == 0 || std::memcmp(kb + 5, mkey, k) == 0);
}

int put_dver(DB *db, DB_TXN *txn, uint32_t cver, const void *mkey, uint32_t k, uint32_t dver) {
    Key key = vent_key(cver, mkey, k);
    uint8_t v[kDverSize];
    qnst::store_le32(v, dver);
    DBT kd = key.dbt();
    DBT data = qnst::user_dbt(v, sizeof v);
    return db->put(db, txn, &kd, &data, 0);
}

int get_dver(DB *db, DB_TXN *txn, uint32_t cver, const void *mkey, uint32_t k, uint32_t *dver) {
    Key key = vent_key(cver, mkey, k);
    uint8_t v[kDverSize];
    DBT kd = key.dbt();
    DBT data = qnst::user_dbt(v, 0, sizeof v);
    int rc = db->get(db, txn, &kd, &data, 0);
    if (rc == DB_BUFFER_SMALL || (rc == 0 && data.size != kDverSize)) rc = EIO;
    if (rc == 0) *dver = qnst::load_le32(v);
    return rc;
}

int del_record(DB *db, DB_TXN *txn, Key key) {
    DBT kd = key.dbt();
    return db->del(db, txn, &kd, 0);
}

// A data buffer that reads nothing: positions a cursor, or asks for a record's size.
DBT no_data() {
    DBT d{};
    d.flags = DB_DBT_USERMEM | DB_DBT_PARTIAL;
    return d;
}

// Charges the set node; content calls cannot work without one.
int charge(qnst_inoderec *inode, DB_TXN *txn, int64_t fstotal, int64_t stcurrent,
           int64_t sttotal) {
    return qnst_inode_usg(inode->setnode, txn, 0, fstotal, stcurrent, sttotal, 0, 0);
}

// One step of a version walk. *end is set, with the outputs cleared, at the end of the walk.
int vent_step(DB_ENV *dbenv, DBC *c, uint32_t flags, uint32_t *cver, uint32_t *dver, void *key,
              uint32_t *keylen) {
    uint8_t kb[kVentKeyMax], v[kDverSize];
    DBT k = qnst::user_dbt(kb, 0, sizeof kb);
    DBT d = qnst::user_dbt(v, 0, sizeof v);
    *cver = 0;
    const int rc = c->get(c, &k, &d, flags);
    if (rc == DB_NOTFOUND || rc == DB_BUFFER_SMALL) return 0;
    if (rc) return QNST_FAIL(dbenv, rc);
    if (k.size < 5 || kb[0] != kVentTag) return 0;  // past the version entries
    if (d.size != kDverSize) return QNST_FAIL(dbenv, EIO);
    *cver = qnst::load_neg_version(kb + 1);
    *dver = qnst::load_le32(v);
    *keylen = k.size - 5;
    if (*keylen) std::memcpy(key, kb + 5, *keylen);
    return 0;
}

// One step of a message-key walk.
int ient_step(DB_ENV *dbenv, DBC *c, uint32_t flags, uint32_t *cver, void *key,
              uint32_t *keylen) {
    uint8_t kb[kIentKeyMax];
    DBT k = qnst::user_dbt(kb, 0, sizeof kb);
    DBT d = no_data();
    *cver = 0;
    const int rc = c->get(c, &k, &d, flags);
    if (rc == DB_NOTFOUND || rc == DB_BUFFER_SMALL) return 0;
    if (rc) return QNST_FAIL(dbenv, rc);
    if (k.size < 1 || kb[0] != kIentTag) return 0;  // past the id entries
    const uint32_t n = k.size >= 9 ? qnst::load_be32(kb + 1) : 0;
    if (k.size < 9 || n != k.size - 9) return QNST_FAIL(dbenv, EIO);
    *cver = qnst::load_neg_version(kb + 5 + n);
    *keylen = n;
    if (n) std::memcpy(key, kb + 5, n);
    return 0;
}

// Opens a walk's cursor and positions it at or after `start`, reading no record. *found tells
// whether a record lies at or after the start. Failures are logged; the cursor is then closed.
int position(qnst_inoderec *inode, DB_TXN *txn, const Key &start, qnst::Cursor &c, bool *found) {
    DB_ENV *dbenv = inode->dbenv;
    int rc = c.open(inode->own_db, txn, DB_READ_COMMITTED);
    if (rc) return QNST_FAIL(dbenv, rc);
    uint8_t kb[kWalkStartBuffer];
    std::memcpy(kb, start.b, start.size);
    DBT k = qnst::user_dbt(kb, start.size, sizeof kb);
    DBT none = no_data();
    rc = c->get(c.get(), &k, &none, DB_SET_RANGE);
    *found = rc == 0;
    if (rc && rc != DB_NOTFOUND) {
        (void)c.close();  // the failure is what the caller must see
        return QNST_FAIL(dbenv, rc);
    }
    return 0;
}

int hold_block(qnst_inoderec *inode, DB_TXN *txn, const void *hash, uint32_t hlen, uint64_t pbsz,
               uint32_t cacheonly, uint64_t *handle) {
    DB_ENV *dbenv = inode->dbenv;
    uint64_t h = 0;
    int rc = qnst_sism_lookup(inode->sism, txn, hash, hlen, cacheonly, &h);
    if (rc) return QNST_FAIL(dbenv, rc);
    if (h == 0) return 0;
    rc = qnst_sism_hold(inode->sism, txn, h, 0);
    if (rc) return QNST_FAIL(dbenv, rc);
    rc = charge(inode, txn, static_cast<int64_t>(pbsz), 0, 0);
    if (rc) return QNST_FAIL_CHARGE(dbenv, rc);
    *handle = h;
    return 0;
}

}  // namespace

// ---- Entries ------------------------------------------------------------------------------

int qnst_mapimsg_update(qnst_inoderec *inode, DB_TXN *txn, const void *mkey, uint32_t mkeylen,
                        const void *info, uint32_t ilen, uint32_t cver, uint32_t dver) {
    if (int rc = check_entries(inode, mkey, mkeylen)) return rc;
    if (!info && ilen) return QNST_FAIL(inode->dbenv, EINVAL);
    DB *db = inode->own_db;
    Key key = ient_key(mkey, mkeylen, cver);
    DBT kd = key.dbt();
    DBT data = qnst::user_dbt(const_cast<void *>(info), ilen);
    int rc = db->put(db, txn, &kd, &data, 0);
    if (rc == 0) rc = put_dver(db, txn, cver, mkey, mkeylen, dver);
    return QNST_FAIL(inode->dbenv, rc);
}

int qnst_mapimsg_delv(qnst_inoderec *inode, DB_TXN *txn, const void *mkey, uint32_t mkeylen,
                      uint32_t cver, uint32_t dver) {
    if (int rc = check_entries(inode, mkey, mkeylen)) return rc;
    return QNST_FAIL(inode->dbenv, put_dver(inode->own_db, txn, cver, mkey, mkeylen, dver));
}

int qnst_mapimsg_getvent(qnst_inoderec *inode, DB_TXN *txn, const void *mkey, uint32_t mkeylen,
                         uint32_t cver, uint32_t *dver) {
    if (int rc = check_entries(inode, mkey, mkeylen)) return rc;
    return QNST_FAIL(inode->dbenv, get_dver(inode->own_db, txn, cver, mkey, mkeylen, dver));
}

int qnst_mapimsg_getient(qnst_inoderec *inode, DB_TXN *txn, const void *mkey, uint32_t mkeylen,
                         uint32_t cver, void **buf, uint32_t *size) {
    *buf = nullptr;
    *size = 0;
    if (int rc = check_entries(inode, mkey, mkeylen)) return rc;
    DB_ENV *dbenv = inode->dbenv;
    DB *db = inode->own_db;
    Key key = ient_key(mkey, mkeylen, cver);
    DBT kd = key.dbt();
    // The first read only learns the record's size.
    DBT probe = qnst::user_dbt(nullptr, 0, 0);
    int rc = db->get(db, txn, &kd, &probe, 0);
    if (rc != DB_BUFFER_SMALL) return QNST_FAIL(dbenv, rc == 0 ? ENOMEM : rc);
    void *p = std::malloc(probe.size);
    if (!p) return QNST_FAIL(dbenv, ENOMEM);
    DBT data = qnst::user_dbt(p, 0, probe.size);
    rc = db->get(db, txn, &kd, &data, 0);
    if (rc) {
        std::free(p);
        return QNST_FAIL(dbenv, rc);
    }
    *buf = p;
    *size = data.size;
    return 0;
}

int qnst_mapimsg_findi(qnst_inoderec *inode, DB_TXN *txn, const void *mkey, uint32_t mkeylen,
                       uint32_t ver, uint32_t *cver, uint32_t *dver, void **buf, uint32_t *size) {
    *buf = nullptr;
    *size = 0;
    if (int rc = check_entries(inode, mkey, mkeylen)) return rc;
    DB_ENV *dbenv = inode->dbenv;
    qnst::Cursor c;
    int rc = c.open(inode->own_db, txn, 0);
    if (rc) return QNST_FAIL(dbenv, rc);

    // The first id entry at or after (mkey, ver): the entry of mkey with the highest creation
    // version not above ver, when there is one.
    Key start = ient_key(mkey, mkeylen, ver);
    uint8_t kb[kIentKeyMax];
    std::memcpy(kb, start.b, start.size);
    DBT k = qnst::user_dbt(kb, start.size, sizeof kb);
    DBT probe = qnst::user_dbt(nullptr, 0, 0);
    rc = c->get(c.get(), &k, &probe, DB_SET_RANGE);
    if (rc == DB_NOTFOUND) return 0;
    // A record found whole has no information to return: another message's, or an empty one.
    if (rc == 0) return is_ient_of(kb, k.size, mkey, mkeylen) ? QNST_FAIL(dbenv, ENOMEM) : 0;
    if (rc != DB_BUFFER_SMALL) return QNST_FAIL(dbenv, rc);

    void *p = std::malloc(probe.size ? probe.size : 1);
    if (!p) return QNST_FAIL(dbenv, ENOMEM);
    std::memcpy(kb, start.b, start.size);
    k = qnst::user_dbt(kb, start.size, sizeof kb);
    DBT data = qnst::user_dbt(p, 0, probe.size);
    rc = c->get(c.get(), &k, &data, DB_SET_RANGE);
    uint32_t found = 0, d = 0;
    if (rc == 0 && is_ient_of(kb, k.size, mkey, mkeylen)) {
        found = qnst::load_neg_version(kb + 5 + mkeylen);
        rc = get_dver(inode->own_db, txn, found, mkey, mkeylen, &d);
        if (rc == 0 && static_cast<int32_t>(d) > static_cast<int32_t>(ver)) {
            if ((rc = c.close())) {
                std::free(p);
                return QNST_FAIL(dbenv, rc);
            }
            *cver = found;
            *dver = d;
            *buf = p;
            *size = data.size;
            return 0;
        }
    }
    std::free(p);
    if (rc == 0 || rc == DB_NOTFOUND || rc == DB_BUFFER_SMALL) {
        // Another key, or an entry that is not live at ver. A missing version entry of a found
        // id entry is damage the caller must see.
        if (found && rc == DB_NOTFOUND) return QNST_FAIL(dbenv, rc);
        return 0;
    }
    return QNST_FAIL(dbenv, rc);
}

int qnst_mapimsg_delvent(qnst_inoderec *inode, DB_TXN *txn, const void *mkey, uint32_t mkeylen,
                         uint32_t cver) {
    if (int rc = check_entries(inode, mkey, mkeylen)) return rc;
    return QNST_FAIL(inode->dbenv, del_record(inode->own_db, txn, vent_key(cver, mkey, mkeylen)));
}

int qnst_mapimsg_delient(qnst_inoderec *inode, DB_TXN *txn, const void *mkey, uint32_t mkeylen,
                         uint32_t cver) {
    if (int rc = check_entries(inode, mkey, mkeylen)) return rc;
    return QNST_FAIL(inode->dbenv, del_record(inode->own_db, txn, ient_key(mkey, mkeylen, cver)));
}

int qnst_mapimsg_purge(qnst_inoderec *inode, DB_TXN *txn, const void *mkey, uint32_t mkeylen,
                       uint32_t cver, uint64_t msgsz) {
    if (int rc = check_entries(inode, mkey, mkeylen)) return rc;
    if (!inode->setnode) return QNST_FAIL(inode->dbenv, EINVAL);
    int rc = qnst_mapimsg_delient(inode, txn, mkey, mkeylen, cver);
    if (rc == 0) rc = qnst_mapimsg_delvent(inode, txn, mkey, mkeylen, cver);
    if (rc) return rc;  // logged by the delete
    const int64_t size = static_cast<int64_t>(msgsz);
    return QNST_FAIL_CHARGE(inode->dbenv, charge(inode, txn, -size, -size, 0));
}

void qnst_mapimsg_freebuf(void *buf) { std::free(buf); }

// ---- Walks --------------------------------------------------------------------------------

int qnst_mapimsg_walk(qnst_inoderec *inode, DB_TXN *txn, uint32_t lastver, const void *lastkey,
                      uint32_t lastkeylen, DBC **cursor, uint32_t *cver, uint32_t *dver,
                      void *key, uint32_t *keylen) {
    *cursor = nullptr;
    *cver = 0;
    if (!inode->own_db) return 0;
    DB_ENV *dbenv = inode->dbenv;
    if (!valid_key(lastkey, lastkeylen)) return QNST_FAIL(dbenv, EINVAL);
    qnst::Cursor c;
    bool found = false;
    int rc = position(inode, txn, vent_key(lastver, lastkey, lastkeylen), c, &found);
    if (rc) return rc;
    if ((rc = vent_step(dbenv, c.get(), found ? DB_PREV : DB_LAST, cver, dver, key, keylen)))
        return rc;
    *cursor = c.release();
    return 0;
}

int qnst_mapimsg_next(qnst_inoderec *inode, DBC *cursor, uint32_t *cver, uint32_t *dver,
                      void *key, uint32_t *keylen) {
    *cver = 0;
    if (!cursor) return 0;
    return vent_step(inode->dbenv, cursor, DB_PREV, cver, dver, key, keylen);
}

int qnst_mapimid_walk(qnst_inoderec *inode, DB_TXN *txn, uint32_t lastver, const void *lastkey,
                      uint32_t lastkeylen, DBC **cursor, uint32_t *cver, void *key,
                      uint32_t *keylen) {
    *cursor = nullptr;
    *cver = 0;
    if (!inode->own_db) return 0;
    DB_ENV *dbenv = inode->dbenv;
    if (!valid_key(lastkey, lastkeylen)) return QNST_FAIL(dbenv, EINVAL);
    qnst::Cursor c;
    bool found = false;
    int rc = position(inode, txn, ient_key(lastkey, lastkeylen, lastver), c, &found);
    if (rc) return rc;
    const uint32_t step = !found ? DB_FIRST : lastkeylen ? DB_NEXT : DB_CURRENT;
    if ((rc = ient_step(dbenv, c.get(), step, cver, key, keylen))) return rc;
    *cursor = c.release();
    return 0;
}

int qnst_mapimid_next(qnst_inoderec *inode, DBC *cursor, uint32_t *cver, void *key,
                      uint32_t *keylen) {
    *cver = 0;
    if (!cursor) return 0;
    return ient_step(inode->dbenv, cursor, DB_NEXT, cver, key, keylen);
}

int qnst_mapimsg_done(qnst_inoderec *, DBC *cursor) {
    // The walk only read; a close failure leaves nothing for the caller to undo.
    if (cursor) (void)cursor->close(cursor);
    return 0;
}

// ---- Content ------------------------------------------------------------------------------

int qnst_mapimsg_holdblk(qnst_inoderec *inode, DB_TXN *txn, const void *hash, uint32_t hlen,
                         uint64_t pbsz, uint32_t cacheonly, uint64_t *handle) {
    *handle = 0;
    if (!inode->setnode || !inode->sism) return QNST_FAIL(inode->dbenv, EINVAL);
    return hold_block(inode, txn, hash, hlen, pbsz, cacheonly, handle);
}

int qnst_mapimsg_enterblk(qnst_inoderec *inode, DB_TXN *txn, const void *hash, uint32_t hlen,
                          uint32_t dindex, uint32_t dver, uint64_t coff, uint32_t size,
                          uint64_t handle, uint64_t *out) {
    *out = 0;
    DB_ENV *dbenv = inode->dbenv;
    if (!inode->setnode || !inode->sism) return QNST_FAIL(dbenv, EINVAL);
    for (int attempt = 0; attempt < QNST_MAPI_STORE_ATTEMPTS; ++attempt) {
        uint64_t growth = 0;
        int rc = qnst_sism_store(inode->sism, txn, hash, hlen, dindex, dver, coff, size, handle,
                                 &growth);
        if (rc == 0) {
            rc = charge(inode, txn, size, size, static_cast<int64_t>(growth));
            if (rc) return QNST_FAIL_CHARGE(dbenv, rc);
            *out = handle;
            return 0;
        }
        if (rc != QNST_HASH_EXISTS) return QNST_FAIL(dbenv, rc);
        // Another writer stored this hash first: claim its block instead.
        rc = hold_block(inode, txn, hash, hlen, size, 0, out);
        if (rc || *out) return rc;  // a failure is logged where it happened
        // The block vanished between the store and the lookup: store it again.
    }
    return QNST_FAIL(dbenv, EAGAIN);
}

int qnst_mapimsg_getblob(qnst_inoderec *inode, DB_TXN *txn, const void *sum, uint32_t slen,
                         uint64_t bsize, uint64_t *handle, int32_t *existed) {
    *handle = 0;
    *existed = 0;
    DB_ENV *dbenv = inode->dbenv;
    if (!inode->setnode || !inode->mblob) return QNST_FAIL(dbenv, EINVAL);
    const int64_t size = static_cast<int64_t>(bsize);
    uint64_t h = 0;
    int rc = qnst_mblob_lookup(inode->mblob, txn, sum, slen, &h);
    if (rc) return QNST_FAIL(dbenv, rc);
    const bool found = h != 0;
    if (found) {
        rc = qnst_mblob_hold(inode->mblob, txn, h, 0);
        if (rc) return QNST_FAIL(dbenv, rc);
        rc = charge(inode, txn, size, 0, 0);
    } else {
        rc = qnst_mblob_gen_handle(inode->mblob, sum, slen, &h);
        if (rc) return QNST_FAIL(dbenv, rc);
        rc = charge(inode, txn, size, size, size);
    }
    if (rc) return QNST_FAIL_CHARGE(dbenv, rc);
    *handle = h;
    *existed = found ? 1 : 0;
    return 0;
}

int qnst_mapimsg_enterblob(qnst_inoderec *inode, DB_TXN *txn, uint64_t handle, const void *sum,
                           uint32_t slen, uint64_t blobsize, uint64_t disksize, uint64_t *out) {
    *out = 0;
    DB_ENV *dbenv = inode->dbenv;
    if (!inode->setnode || !inode->mblob) return QNST_FAIL(dbenv, EINVAL);
    const int64_t d = static_cast<int64_t>(disksize - blobsize);
    for (int attempt = 0; attempt < QNST_MAPI_STORE_ATTEMPTS; ++attempt) {
        int rc = qnst_mblob_store(inode->mblob, txn, sum, slen, disksize, handle);
        if (rc == 0) {
            rc = charge(inode, txn, 0, d, d);
            if (rc) return QNST_FAIL_CHARGE(dbenv, rc);
            *out = handle;
            return 0;
        }
        if (rc != QNST_HASH_EXISTS) return QNST_FAIL(dbenv, rc);
        // Another writer stored this content first: hold its blob, and the space written under
        // our handle becomes compaction work.
        uint64_t stored = 0;
        rc = qnst_mblob_lookup(inode->mblob, txn, sum, slen, &stored);
        if (rc) return QNST_FAIL(dbenv, rc);
        if (stored == 0) continue;  // vanished meanwhile: store it again
        rc = qnst_mblob_hold(inode->mblob, txn, stored, 0);
        if (rc == 0) rc = qnst_mblob_compactq(inode->mblob, txn, handle, disksize);
        if (rc) return QNST_FAIL(dbenv, rc);
        rc = charge(inode, txn, 0, -static_cast<int64_t>(blobsize), d);
        if (rc) return QNST_FAIL_CHARGE(dbenv, rc);
        *out = stored;
        return 0;
    }
    return QNST_FAIL(dbenv, EAGAIN);
}
