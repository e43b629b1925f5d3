#include "qnst_eattr.h"

#include <cerrno>
#include <cstdlib>

#include "qnst_internal.hpp"
#include "qnst_listing.hpp"

QNST_SOURCE("qnst/eattr/qnst_eattr");

namespace {

constexpr uint8_t kAttrLetter = '7';
constexpr uint32_t kKeySize = 13;
constexpr uint32_t kDverSize = 4;
// One below the live marker: the version at which the newest record is found.
constexpr uint32_t kNewest = QNST_INODE_LIVE - 1;
// Records up to this size are packed on the stack when written.
constexpr uint32_t kStackRecord = 512;

bool is_version(uint32_t v) { return static_cast<int32_t>(v) > 0 && v < QNST_INODE_LIVE; }
bool has_db(const qnst_inoderec *inode) { return inode && inode->record_db; }

struct AttrKey {
    uint8_t bytes[kKeySize];
    AttrKey(uint32_t ino, uint32_t aid, uint32_t cver) {
        qnst::store_le32(bytes, ino);
        bytes[4] = kAttrLetter;
        qnst::store_be32(bytes + 5, aid);
        qnst::store_neg_version(bytes + 9, cver);
    }
    DBT dbt() { return qnst::user_dbt(bytes, sizeof bytes); }
};

bool is_attr_of(const uint8_t *key, uint32_t ino, uint32_t aid) {
    return qnst::load_le32(key) == ino && key[4] == kAttrLetter && qnst::load_be32(key + 5) == aid;
}

// A record read whole into an engine-allocated buffer: dver, then the value.
struct Record {
    uint32_t cver = 0, dver = 0, size = 0;
    uint8_t *buf = nullptr;
    void *value() const { return buf + kDverSize; }
};

// Reads the record that the cursor operation `op` lands on into a buffer of its exact size.
// The first read offers `first` bytes; a larger record answers DB_BUFFER_SMALL with its size
// without moving the cursor, so the same operation again reads it whole. `key` holds the
// search key for DB_SET_RANGE. A record of another inode, kind or aid is DB_NOTFOUND.
int read_sized(DBC *dbc, AttrKey *key_in, uint32_t first, uint32_t op, uint32_t ino,
               uint32_t aid, Record *out) {
    uint8_t small[kDverSize];
    DBT key = qnst::user_dbt(key_in->bytes, kKeySize);
    DBT data = qnst::user_dbt(small, 0, first);
    int rc = dbc->get(dbc, &key, &data, op);
    // A record too large for the first buffer still reports its key: one of another inode,
    // kind or aid is passed over without reading its data.
    if (rc == DB_BUFFER_SMALL && key.size == kKeySize && !is_attr_of(key_in->bytes, ino, aid))
        return DB_NOTFOUND;
    uint8_t *buf = nullptr;
    // A larger record: it grows between reads only when another writer changed it.
    while (rc == DB_BUFFER_SMALL) {
        std::free(buf);
        buf = nullptr;
        if (key.size > kKeySize) return DB_NOTFOUND;  // a longer key: another kind of record
        buf = static_cast<uint8_t *>(std::malloc(data.size ? data.size : 1));
        if (!buf) return ENOMEM;
        key = qnst::user_dbt(key_in->bytes, kKeySize);
        data = qnst::user_dbt(buf, 0, data.size);
        rc = dbc->get(dbc, &key, &data, op);
    }
    if (rc) {
        std::free(buf);
        return rc;
    }
    if (!buf) {
        buf = static_cast<uint8_t *>(std::malloc(data.size ? data.size : 1));
        if (!buf) return ENOMEM;
        if (data.size) std::memcpy(buf, small, data.size);
    }
    const uint8_t *k = key_in->bytes;
    if (key.size != kKeySize || !is_attr_of(k, ino, aid)) {
        std::free(buf);
        return DB_NOTFOUND;
    }
    if (data.size < kDverSize) {  // every attribute record begins with its dver
        std::free(buf);
        return EIO;
    }
    out->cver = qnst::load_neg_version(k + 9);
    out->dver = qnst::load_le32(buf);
    out->size = data.size - kDverSize;
    out->buf = buf;
    return 0;
}

// The newest record of `aid` with cver <= ver, under a write lock. Not logged: each caller
// reports at its own level.
int find_record(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t ver, Record *out) {
    qnst::Cursor c;
    int rc = c.open(inode->record_db, txn, 0);
    if (rc) return rc;
    AttrKey k(inode->inode, aid, ver);
    rc = read_sized(c.get(), &k, 0, DB_SET_RANGE | DB_RMW, inode->inode, aid, out);
    if (rc) return rc;
    if ((rc = c.close())) {
        std::free(out->buf);
        out->buf = nullptr;
    }
    return rc;
}

int put_record(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t cver, const void *rec,
               uint32_t recsize) {
    AttrKey k(inode->inode, aid, cver);
    DBT key = k.dbt();
    DBT data = qnst::user_dbt(const_cast<void *>(rec), recsize);
    DB *db = inode->record_db;
    return db->put(db, txn, &key, &data, 0);
}

int delete_record(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t cver) {
    AttrKey k(inode->inode, aid, cver);
    DBT key = k.dbt();
    DB *db = inode->record_db;
    return db->del(db, txn, &key, 0);
}

// Writes (aid, cver) = dver + value, replacing a record of the same version.
int write_record(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t cver, uint32_t dver,
                 const void *value, uint32_t size) {
    if (static_cast<int32_t>(dver) <= static_cast<int32_t>(cver)) return EINVAL;
    const uint32_t recsize = size + kDverSize;  // the caller checked size against the maximum
    uint8_t stack[kStackRecord];
    uint8_t *rec = recsize <= sizeof stack ? stack : static_cast<uint8_t *>(std::malloc(recsize));
    if (!rec) return ENOMEM;
    qnst::store_le32(rec, dver);
    if (size) std::memcpy(rec + kDverSize, value, size);
    const int rc = put_record(inode, txn, aid, cver, rec, recsize);
    if (rec != stack) std::free(rec);
    return rc;
}

// Positions `dbc` on the newest record of `aid` with cver <= ver, under a write lock, reading
// only its dver: the value stays where it is.
int find_head(DBC *dbc, uint32_t ino, uint32_t aid, uint32_t ver, uint32_t *cver,
              uint32_t *dver) {
    AttrKey k(ino, aid, ver);
    uint8_t head[kDverSize];
    DBT key = qnst::user_dbt(k.bytes, kKeySize);
    DBT data = qnst::user_dbt(head, 0, sizeof head);
    data.flags |= DB_DBT_PARTIAL;
    data.dlen = kDverSize;
    const int rc = dbc->get(dbc, &key, &data, DB_SET_RANGE | DB_RMW);
    if (rc == DB_BUFFER_SMALL) return DB_NOTFOUND;  // a longer key: another kind of record
    if (rc) return rc;
    if (key.size != kKeySize || !is_attr_of(k.bytes, ino, aid)) return DB_NOTFOUND;
    if (data.size != kDverSize) return EIO;  // every attribute record begins with its dver
    *cver = qnst::load_neg_version(k.bytes + 9);
    *dver = qnst::load_le32(head);
    return 0;
}

// Ends the current value of `aid` at `ver`. A value written in `ver` itself is removed when
// `remove` is set and otherwise left for the caller to overwrite. With `refuse_older` the
// newest record, current or not, must not be newer than `ver`: a value written below it would
// be current while hidden behind that record.
int close_current_at(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t ver, bool remove,
                     bool refuse_older) {
    qnst::Cursor c;
    int rc = c.open(inode->record_db, txn, 0);
    if (rc) return rc;
    uint32_t cver = 0, dver = 0;
    rc = find_head(c.get(), inode->inode, aid, kNewest, &cver, &dver);
    if (rc == DB_NOTFOUND) return 0;
    if (rc) return rc;
    const bool current = dver == QNST_INODE_LIVE;
    if (refuse_older && static_cast<int32_t>(cver) > static_cast<int32_t>(ver)) return EINVAL;
    if (current && cver != ver) {
        if (static_cast<int32_t>(ver) <= static_cast<int32_t>(cver)) return EINVAL;
        // Only the end version changes: the value is left in place.
        uint8_t head[kDverSize];
        qnst::store_le32(head, ver);
        DBT key{};
        DBT data = qnst::user_dbt(head, sizeof head);
        data.flags |= DB_DBT_PARTIAL;
        data.dlen = kDverSize;
        rc = c->put(c.get(), &key, &data, DB_CURRENT);
    } else if (current && remove) {
        rc = c->del(c.get(), 0);
    }
    if (rc) return rc;
    return c.close();
}

void set_outputs(const Record &r, uint32_t *cver, uint32_t *dver, void **value, uint32_t *size,
                 void **buf) {
    *cver = r.cver;
    *dver = r.dver;
    *value = r.buf ? r.value() : nullptr;
    *size = r.size;
    *buf = r.buf;
}

// One step of a walk: the record `op` lands on, or the end (cver 0) when it is not a record of
// this aid.
int walk_step(qnst_inoderec *inode, DBC *dbc, uint32_t aid, uint32_t op, uint32_t *cver,
              uint32_t *dver, void **value, uint32_t *size, void **buf) {
    Record r;
    AttrKey k(inode->inode, aid, 0);  // overwritten by the key read
    const int rc =
        read_sized(dbc, &k, kDverSize, op | DB_READ_COMMITTED, inode->inode, aid, &r);
    if (rc && rc != DB_NOTFOUND) return rc;
    set_outputs(r, cver, dver, value, size, buf);
    return 0;
}

}  // namespace

int qnst_eatr_lookup(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t ver,
                     uint32_t *cver, uint32_t *dver, void **value, uint32_t *size, void **buf) {
    if (!has_db(inode)) return QNST_FAIL(inode ? inode->dbenv : nullptr, EINVAL);
    // Nothing has a value at 0 or a negative version; their negated keys would land on the
    // newest record.
    if (static_cast<int32_t>(ver) <= 0) return DB_NOTFOUND;
    Record r;
    int rc = find_record(inode, txn, aid, ver, &r);
    if (rc == DB_NOTFOUND) return rc;
    if (rc) return QNST_FAIL(inode->dbenv, rc);
    if (static_cast<int32_t>(r.dver) <= static_cast<int32_t>(ver)) {
        std::free(r.buf);  // ended by then
        return DB_NOTFOUND;
    }
    set_outputs(r, cver, dver, value, size, buf);
    return 0;
}

int qnst_eatr_lastver(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t *cver,
                      uint32_t *dver) {
    if (!has_db(inode)) return QNST_FAIL(inode ? inode->dbenv : nullptr, EINVAL);
    qnst::Cursor c;
    int rc = c.open(inode->record_db, txn, 0);
    if (rc == 0) rc = find_head(c.get(), inode->inode, aid, kNewest, cver, dver);
    if (rc == 0) rc = c.close();
    return rc == DB_NOTFOUND ? rc : QNST_FAIL(inode->dbenv, rc);
}

int qnst_eatr_update(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t ver,
                     const void *value, uint32_t size) {
    DB_ENV *dbenv = inode ? inode->dbenv : nullptr;
    if (!has_db(inode) || !is_version(ver) || size > QNST_EATR_MAXVALUE || (!value && size))
        return QNST_FAIL(dbenv, EINVAL);
    int rc = close_current_at(inode, txn, aid, ver, false, true);
    if (rc) return QNST_FAIL(dbenv, rc);
    rc = write_record(inode, txn, aid, ver, QNST_INODE_LIVE, value, size);
    return QNST_FAIL(dbenv, rc);
}

int qnst_eatr_clear(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t ver) {
    DB_ENV *dbenv = inode ? inode->dbenv : nullptr;
    if (!has_db(inode) || !is_version(ver)) return QNST_FAIL(dbenv, EINVAL);
    return QNST_FAIL(dbenv, close_current_at(inode, txn, aid, ver, true, false));
}

int qnst_eatr_purge(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t cver) {
    if (!has_db(inode)) return QNST_FAIL(inode ? inode->dbenv : nullptr, EINVAL);
    const int rc = delete_record(inode, txn, aid, cver);
    return rc == DB_NOTFOUND ? rc : QNST_FAIL(inode->dbenv, rc);
}

int qnst_eatr_walk(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t lastver,
                   DBC **cursor, uint32_t *cver, uint32_t *dver, void **value, uint32_t *size,
                   void **buf) {
    if (!has_db(inode)) return QNST_FAIL(inode ? inode->dbenv : nullptr, EINVAL);
    DB_ENV *dbenv = inode->dbenv;
    qnst::Cursor c;
    int rc = c.open(inode->record_db, txn, 0);
    if (rc) return QNST_FAIL(dbenv, rc);
    AttrKey k(inode->inode, aid, lastver);
    uint32_t op = DB_PREV;
    rc = qnst::position_before(c.get(), k.bytes, kKeySize, DB_READ_COMMITTED, &op);
    if (rc) return QNST_FAIL(dbenv, rc);
    if ((rc = walk_step(inode, c.get(), aid, op, cver, dver, value, size, buf)))
        return QNST_FAIL(dbenv, rc);
    *cursor = c.release();
    return 0;
}

int qnst_eatr_next(qnst_inoderec *inode, DBC *cursor, uint32_t aid, uint32_t *cver,
                   uint32_t *dver, void **value, uint32_t *size, void **buf) {
    const int rc = walk_step(inode, cursor, aid, DB_PREV, cver, dver, value, size, buf);
    return QNST_FAIL(inode->dbenv, rc);
}

int qnst_eatr_done(qnst_inoderec *inode, DBC *cursor) {
    (void)inode;
    // A walk's cursor only read: closing releases its locks, and a failure has nothing left to
    // undo.
    if (cursor) (void)cursor->close(cursor);
    return 0;
}

int qnst_eatr_free(void *buf) {
    std::free(buf);
    return 0;
}
