// Stat versions: lookup, update, clear, purge and listing of an inode's stat records.
#include "qnst_stat.h"

#include <cerrno>
#include <cstdlib>

#include "qnst_aclsis.h"
#include "qnst_internal.hpp"

QNST_SOURCE("qnst/stat/qnst_stat");

namespace {

// Lookups for "the current record" ask at the highest version a record can be valid at.
constexpr uint32_t kNewest = QNST_INODE_LIVE - 1;

struct StatRecord {
    uint32_t cver = 0, dver = 0, flags = 0;
    uint64_t size = 0, acl = 0;
    uint32_t mtime = 0, method = 0, links = 0;

    // The stored fields, in their order; cver lives in the key.
    void pack(uint8_t *p) const {
        qnst::store_le_fields(p, dver, flags, size, acl, mtime, method, links);
    }
    void unpack(const uint8_t *p) {
        qnst::load_le_fields(p, dver, flags, size, acl, mtime, method, links);
    }
    bool current() const { return dver == QNST_INODE_LIVE; }
    bool valid_at(uint32_t ver) const {
        return static_cast<int32_t>(dver) > static_cast<int32_t>(ver);
    }
};

// The key of the inode's record created in `cver`.
struct StatKey {
    uint8_t bytes[QNST_STAT_KEY_SIZE];
    StatKey(uint32_t ino, uint32_t cver) {
        qnst::store_le32(bytes, ino);
        bytes[4] = QNST_STAT_RECORD;
        qnst::store_neg_version(bytes + 5, cver);
    }
    DBT dbt() { return qnst::user_dbt(bytes, sizeof bytes); }
};

// Buffers of one cursor step. A key is taken only when it is one of this inode's stat keys;
// such a key whose data is not the record's size is a damaged record.
struct Step {
    uint8_t kb[QNST_STAT_KEY_SIZE];
    uint8_t db[QNST_STAT_DATA_SIZE];
    DBT key = qnst::user_dbt(kb, 0, sizeof kb);
    DBT data = qnst::user_dbt(db, 0, sizeof db);

    bool ours(uint32_t ino) const {
        return key.size == QNST_STAT_KEY_SIZE && qnst::load_le32(kb) == ino &&
               kb[4] == QNST_STAT_RECORD;
    }
};

// Reads a step; 1 when the listing has left the inode's stat records, 0 with the record, 22
// for a stat record of the wrong size, or a Berkeley DB code.
int step(DBC *c, Step *s, uint32_t flags, uint32_t ino, StatRecord *r) {
    const int rc = c->get(c, &s->key, &s->data, flags);
    if (rc == DB_NOTFOUND) return 1;
    if (rc && rc != DB_BUFFER_SMALL) return rc;
    // A key too long for the buffer belongs to another record type (its size is what was
    // reported); a key that fits has been copied, so a buffer too small was the data's.
    if (!s->ours(ino)) return 1;
    // Skipping a damaged record would hide it: an update would count a second current record
    // and a listing would stop short without saying so.
    if (rc == DB_BUFFER_SMALL || s->data.size != QNST_STAT_DATA_SIZE) return EIO;
    r->cver = qnst::load_neg_version(s->kb + 5);
    r->unpack(s->db);
    return 0;
}

// The newest record created at or before `ver`, whether or not it is still valid there.
// QNST_ENOSTAT when there is none; failures are the caller's to log.
int find_newest_upto(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver, StatRecord *r) {
    qnst::Cursor c;
    int rc = c.open(inode->record_db, txn, 0);
    if (rc) return rc;
    Step s;
    StatKey k(inode->inode, ver);
    std::memcpy(s.kb, k.bytes, sizeof k.bytes);
    s.key.size = sizeof s.kb;
    rc = step(c.get(), &s, DB_SET_RANGE, inode->inode, r);
    if (rc == 1) rc = QNST_ENOSTAT;
    const int closed = c.close();
    return rc ? rc : closed;
}

// The record valid at `ver`, or QNST_ENOSTAT.
int find_valid(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver, StatRecord *r) {
    const int rc = find_newest_upto(inode, txn, ver, r);
    if (rc) return rc;
    return r->valid_at(ver) ? 0 : QNST_ENOSTAT;
}

int put_record(qnst_inoderec *inode, DB_TXN *txn, const StatRecord &r) {
    StatKey k(inode->inode, r.cver);
    uint8_t buf[QNST_STAT_DATA_SIZE];
    r.pack(buf);
    DBT key = k.dbt();
    DBT data = qnst::user_dbt(buf, sizeof buf);
    DB *db = inode->record_db;
    return db->put(db, txn, &key, &data, 0);
}

int delete_record(qnst_inoderec *inode, DB_TXN *txn, uint32_t cver) {
    StatKey k(inode->inode, cver);
    DBT key = k.dbt();
    DB *db = inode->record_db;
    return db->del(db, txn, &key, 0);
}

int release_acl(qnst_inoderec *inode, DB_TXN *txn, uint64_t acl) {
    if (acl == 0) return 0;
    if (!inode->aclsis) return EINVAL;
    return qnst_acl_rele(inode->aclsis, txn, acl);
}

// What ending the current record found, for the usage charge.
struct Ended {
    bool exists = false;  // a record was current
    bool isnew = true;    // no record of `ver` itself was dropped
    uint64_t oldsize = 0;
};

// Writers need a record database and a set node to charge; versions stay in the range a
// record can be valid in.
bool writable(const qnst_inoderec *inode, uint32_t ver) {
    return inode->record_db && inode->setnode && ver != 0 && ver < QNST_INODE_LIVE;
}

// Ends the current record as of `ver`: closes it at `ver`, or, when it was created in `ver`,
// drops it (deleting it when `remove`; an update overwrites it) and releases its ACL.
int end_current_at(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver, bool remove, Ended *out) {
    DB_ENV *dbenv = inode->dbenv;
    StatRecord r;
    int rc = find_newest_upto(inode, txn, kNewest, &r);
    if (rc == QNST_ENOSTAT) return 0;
    if (rc) return QNST_FAIL(dbenv, rc);
    // Versions only move forward. Going back before the newest record would leave it valid
    // nowhere, or let the update overwrite a closed record of `ver` without releasing its ACL.
    // A closed record bars the versions before the one that closed it, for clear as for update.
    if (!r.current()) return r.cver > ver || r.dver > ver ? QNST_FAIL(dbenv, EINVAL) : 0;
    if (r.cver > ver) return QNST_FAIL(dbenv, EINVAL);
    out->exists = true;
    out->oldsize = r.size;
    if (r.cver != ver) {
        r.dver = ver;
        return QNST_FAIL(dbenv, put_record(inode, txn, r));
    }
    out->isnew = false;
    if (remove && (rc = delete_record(inode, txn, ver))) return QNST_FAIL(dbenv, rc);
    return QNST_FAIL(dbenv, release_acl(inode, txn, r.acl));
}

// Charges the set node. The usage update refuses a quota without logging it; at this level the
// refusal is a failure like any other and gets its line.
int charge(qnst_inoderec *inode, DB_TXN *txn, int64_t fscurrentd, int64_t filescurrent,
           int64_t filestotal) {
    const int rc =
        qnst_inode_usg(inode->setnode, txn, fscurrentd, 0, 0, 0, filescurrent, filestotal);
    return QNST_FAIL(inode->dbenv, rc);
}

void set_outputs(const StatRecord &r, uint32_t *cver, uint32_t *dver, uint32_t *flags,
                 uint64_t *size, uint64_t *acl, uint32_t *mtime, uint32_t *method,
                 uint32_t *links) {
    *cver = r.cver;
    *dver = r.dver;
    *flags = r.flags;
    *size = r.size;
    *acl = r.acl;
    *mtime = r.mtime;
    *method = r.method;
    *links = r.links;
}

// Places a listing's cursor on the first key after the inode's records newer than `lastver`,
// or at the end of the database.
int position_walk(qnst_inoderec *inode, DBC *c, uint32_t lastver, uint32_t *first_step) {
    StatKey k(inode->inode, lastver);
    const uint32_t size = sizeof k.bytes;
    // The key found may belong to another record type of any length; a key buffer that is too
    // small would leave the cursor where it was, so Berkeley DB allocates it.
    DBT key = qnst::user_dbt(k.bytes, size);
    key.flags = DB_DBT_MALLOC;
    uint8_t none[1];
    DBT data = qnst::user_dbt(none, 0, 0);
    data.flags |= DB_DBT_PARTIAL;
    data.dlen = 0;
    const int rc = c->get(c, &key, &data, DB_SET_RANGE | DB_READ_COMMITTED);
    if (key.data != k.bytes) std::free(key.data);
    if (rc == 0) *first_step = DB_PREV;
    else if (rc == DB_NOTFOUND) *first_step = DB_LAST;
    else return rc;
    return 0;
}

int list_step(qnst_inoderec *inode, DBC *c, uint32_t flags, uint32_t *cver, uint32_t *dver,
              uint32_t *fl, uint64_t *size, uint64_t *acl, uint32_t *mtime, uint32_t *method,
              uint32_t *links) {
    Step s;
    StatRecord r;
    const int rc = step(c, &s, flags | DB_READ_COMMITTED, inode->inode, &r);
    if (rc == 1) {
        *cver = 0;
        return 0;
    }
    if (rc) return rc;
    set_outputs(r, cver, dver, fl, size, acl, mtime, method, links);
    return 0;
}

}  // namespace

int qnst_stat_lookup(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver, uint32_t *cver,
                     uint32_t *dver, uint32_t *flags, uint64_t *size, uint64_t *acl,
                     uint32_t *mtime, uint32_t *method, uint32_t *links) {
    if (!inode->record_db) return QNST_FAIL(inode->dbenv, EINVAL);
    StatRecord r;
    const int rc = find_valid(inode, txn, ver, &r);
    if (rc == QNST_ENOSTAT) return rc;
    if (rc) return QNST_FAIL(inode->dbenv, rc);
    set_outputs(r, cver, dver, flags, size, acl, mtime, method, links);
    return 0;
}

int qnst_stat_getlatest(qnst_inoderec *inode, DB_TXN *txn, uint32_t *ver) {
    if (!inode->record_db) return QNST_FAIL(inode->dbenv, EINVAL);
    StatRecord r;
    const int rc = find_valid(inode, txn, kNewest, &r);
    if (rc && rc != QNST_ENOSTAT) return QNST_FAIL(inode->dbenv, rc);
    *ver = rc ? 0 : r.cver;
    return 0;
}

int qnst_stat_update(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver, uint32_t flags,
                     uint64_t size, uint64_t acl, uint32_t mtime, uint32_t method,
                     uint32_t links) {
    DB_ENV *dbenv = inode->dbenv;
    if (!writable(inode, ver)) return QNST_FAIL(dbenv, EINVAL);
    Ended e;
    int rc = end_current_at(inode, txn, ver, false, &e);
    if (rc) return rc;
    StatRecord r{ver, QNST_INODE_LIVE, flags, size, acl, mtime, method, links};
    if ((rc = put_record(inode, txn, r))) return QNST_FAIL(dbenv, rc);
    return charge(inode, txn, static_cast<int64_t>(size - e.oldsize), e.exists ? 0 : 1,
                  e.isnew ? 1 : 0);
}

int qnst_stat_clear(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver) {
    DB_ENV *dbenv = inode->dbenv;
    if (!writable(inode, ver)) return QNST_FAIL(dbenv, EINVAL);
    Ended e;
    int rc = end_current_at(inode, txn, ver, true, &e);
    if (rc) return rc;
    return charge(inode, txn, -static_cast<int64_t>(e.oldsize), e.exists ? -1 : 0,
                  e.isnew ? 0 : -1);
}

int qnst_stat_purge(qnst_inoderec *inode, DB_TXN *txn, uint32_t cver) {
    DB_ENV *dbenv = inode->dbenv;
    DB *db = inode->record_db;
    if (!db || !inode->setnode) return QNST_FAIL(dbenv, EINVAL);
    StatKey k(inode->inode, cver);
    DBT key = k.dbt();
    uint8_t buf[QNST_STAT_DATA_SIZE];
    DBT data = qnst::user_dbt(buf, 0, sizeof buf);
    int rc = qnst::sized(db->get(db, txn, &key, &data, DB_RMW), data, sizeof buf);
    if (rc) return QNST_FAIL(dbenv, rc);
    StatRecord r;
    r.unpack(buf);
    if ((rc = db->del(db, txn, &key, 0))) return QNST_FAIL(dbenv, rc);
    if ((rc = release_acl(inode, txn, r.acl))) return QNST_FAIL(dbenv, rc);
    // A current record's size leaves fscurrentu with it, as clear would have taken it.
    const bool current = r.current();
    return charge(inode, txn, current ? -static_cast<int64_t>(r.size) : 0, current ? -1 : 0, -1);
}

int qnst_stat_walk(qnst_inoderec *inode, DB_TXN *txn, uint32_t lastver, DBC **cursor,
                   uint32_t *cver, uint32_t *dver, uint32_t *flags, uint64_t *size, uint64_t *acl,
                   uint32_t *mtime, uint32_t *method, uint32_t *links) {
    DB_ENV *dbenv = inode->dbenv;
    if (!inode->record_db) return QNST_FAIL(dbenv, EINVAL);
    qnst::Cursor c;
    int rc = c.open(inode->record_db, txn, 0);
    if (rc) return QNST_FAIL(dbenv, rc);
    uint32_t first = 0;
    if ((rc = position_walk(inode, c.get(), lastver, &first))) return QNST_FAIL(dbenv, rc);
    rc = list_step(inode, c.get(), first, cver, dver, flags, size, acl, mtime, method, links);
    if (rc) return QNST_FAIL(dbenv, rc);
    *cursor = c.release();
    return 0;
}

int qnst_stat_next(qnst_inoderec *inode, DBC *cursor, uint32_t *cver, uint32_t *dver,
                   uint32_t *flags, uint64_t *size, uint64_t *acl, uint32_t *mtime,
                   uint32_t *method, uint32_t *links) {
    const int rc =
        list_step(inode, cursor, DB_PREV, cver, dver, flags, size, acl, mtime, method, links);
    return QNST_FAIL(inode->dbenv, rc);
}

int qnst_stat_done(qnst_inoderec * /*inode*/, DBC *cursor) {
    if (cursor) (void)cursor->close(cursor);  // the listing is over whatever the close says
    return 0;
}
