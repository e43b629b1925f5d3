#include "qnst_bmap.h"

#include <cerrno>

#include "qnst_blksism.h"
#include "qnst_blksism.hpp"
#include "qnst_internal.hpp"

QNST_SOURCE("qnst/bmap/qnst_bmap");

namespace {

constexpr uint32_t kLive = QNST_INODE_LIVE;
constexpr uint8_t kVentTag = '0';
constexpr uint8_t kOentTag = '1';
constexpr uint32_t kKeySize = 13;
constexpr uint32_t kOentSize = 16;
constexpr uint32_t kVentSize = 4;

struct Key {
    uint8_t b[kKeySize];
    DBT dbt() { return qnst::user_dbt(b, kKeySize); }
};

Key oent_key(uint64_t offset, uint32_t cver) {
    Key k;
    k.b[0] = kOentTag;
    qnst::store_be64(k.b + 1, offset);
    qnst::store_neg_version(k.b + 9, cver);
    return k;
}

Key vent_key(uint32_t cver, uint64_t offset) {
    Key k;
    k.b[0] = kVentTag;
    qnst::store_neg_version(k.b + 1, cver);
    qnst::store_be64(k.b + 5, offset);
    return k;
}

struct Entry {
    uint64_t offset = 0;
    uint32_t cver = 0;
    uint32_t dver = 0;
    uint32_t size = 0;
    uint64_t handle = 0;
};

// A cursor read of one record of the index whose keys begin with `tag` and whose records are
// `dsize` bytes: DB_NOTFOUND when the position holds none (end of the table, a record too large
// for the index, or a record of another kind), 5 for a record of the wrong size.
int read_indexed(DBC *c, DBT *key, const uint8_t *kb, uint32_t flags, uint8_t tag, uint8_t *db,
                 uint32_t dsize) {
    DBT data = qnst::user_dbt(db, 0, dsize);
    const int rc = c->get(c, key, &data, flags);
    if (rc == DB_NOTFOUND || rc == DB_BUFFER_SMALL) return DB_NOTFOUND;
    if (rc) return rc;
    if (key->size != kKeySize || kb[0] != tag) return DB_NOTFOUND;
    return data.size == dsize ? 0 : EIO;
}

int read_oent(DBC *c, DBT *key, uint8_t *kb, uint32_t flags, Entry *e) {
    uint8_t db[kOentSize];
    if (int rc = read_indexed(c, key, kb, flags, kOentTag, db, sizeof db)) return rc;
    e->offset = qnst::load_be64(kb + 1);
    e->cver = qnst::load_neg_version(kb + 9);
    e->dver = qnst::load_le32(db);
    e->size = qnst::load_le32(db + 4);
    e->handle = qnst::load_le64(db + 8);
    return 0;
}

int read_vent(DBC *c, DBT *key, uint8_t *kb, uint32_t flags, Entry *e) {
    uint8_t db[kVentSize];
    if (int rc = read_indexed(c, key, kb, flags, kVentTag, db, sizeof db)) return rc;
    e->cver = qnst::load_neg_version(kb + 1);
    e->offset = qnst::load_be64(kb + 5);
    e->dver = qnst::load_le32(db);
    return 0;
}

// The newest entry at `offset` with cver <= v, else the first entry at a higher offset; read
// with a write lock because an update follows.
int find_at_or_after(DBC *c, uint64_t offset, uint32_t v, Entry *e) {
    Key k = oent_key(offset, v);
    DBT key = qnst::user_dbt(k.b, kKeySize, kKeySize);
    return read_oent(c, &key, k.b, DB_SET_RANGE | DB_RMW, e);
}

int put_oent(DB *db, DB_TXN *txn, uint64_t offset, uint32_t cver, uint32_t dver, uint32_t size,
             uint64_t handle) {
    Key k = oent_key(offset, cver);
    uint8_t v[kOentSize];
    qnst::store_le32(v, dver);
    qnst::store_le32(v + 4, size);
    qnst::store_le64(v + 8, handle);
    DBT key = k.dbt();
    DBT data = qnst::user_dbt(v, sizeof v);
    return db->put(db, txn, &key, &data, 0);
}

int put_vent(DB *db, DB_TXN *txn, uint32_t cver, uint64_t offset, uint32_t dver) {
    Key k = vent_key(cver, offset);
    uint8_t v[kVentSize];
    qnst::store_le32(v, dver);
    DBT key = k.dbt();
    DBT data = qnst::user_dbt(v, sizeof v);
    return db->put(db, txn, &key, &data, 0);
}

int del_key(DB *db, DB_TXN *txn, Key k) {
    DBT key = k.dbt();
    return db->del(db, txn, &key, 0);
}

// Both indexes of one entry.
int write_entry(DB *db, DB_TXN *txn, uint64_t offset, uint32_t cver, uint32_t dver,
                uint32_t size, uint64_t handle) {
    int rc = put_oent(db, txn, offset, cver, dver, size, handle);
    return rc ? rc : put_vent(db, txn, cver, offset, dver);
}

// Drops one reference; a block the store no longer knows has nothing left to release.
int release_block(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, int64_t *freed) {
    uint32_t count = 0;
    const int rc = qnst_sism_rele(mgr, txn, handle, &count);
    if (rc == DB_NOTFOUND) return 0;
    if (rc == 0) *freed += count;
    return rc;
}

// What a cut took out of the map: bytes of deleted entries, and what their releases freed.
struct Cut {
    int64_t released = 0;
    int64_t freed = 0;
};

// a + b, or false when it passes the end of the offset space.
bool advance(uint64_t *offset, uint64_t by) { return !__builtin_add_overflow(*offset, by, offset); }

// Cuts [offset, offset + size) out of the map as of `ver`: live entries starting in the range
// are closed at `ver`, or deleted (and their blocks released) when they were written in `ver`.
int cut_range(qnst_inoderec *inode, DB_TXN *txn, DBC *c, uint64_t offset, uint32_t size,
              uint32_t ver, Cut *cut) {
    DB_ENV *dbenv = inode->dbenv;
    DB *db = inode->own_db;
    // A range that runs past the end of the offset space has no end to stop at.
    uint64_t end = offset;
    const bool bounded = advance(&end, size);
    for (;;) {
        Entry e;
        int rc = find_at_or_after(c, offset, kLive, &e);
        if (rc == DB_NOTFOUND) return 0;
        if (rc) return QNST_FAIL(dbenv, rc);
        offset = e.offset;
        if (e.size != 0 && bounded && offset >= end) return 0;
        if (e.dver == kLive) {
            if (e.cver != ver) {
                rc = write_entry(db, txn, e.offset, e.cver, ver, e.size, e.handle);
            } else {
                rc = del_key(db, txn, oent_key(e.offset, e.cver));
                if (rc == 0) rc = del_key(db, txn, vent_key(e.cver, e.offset));
                if (rc == 0) rc = release_block(inode->sism, txn, e.handle, &cut->freed);
                if (rc == 0) cut->released += e.size;
            }
            if (rc) return QNST_FAIL(dbenv, rc);
        }
        // On to the next block start. Stepping by one start rather than by the block's size
        // also reaches a live block that starts inside the one just cut (a later write that
        // began inside an older block). An entry at the very end of the offset space ends the
        // cut rather than wrapping to 0.
        if (!advance(&offset, 1)) return 0;
    }
}

// enter, reconcile, clear and purge change the map and charge the set node.
int check_writable(qnst_inoderec *inode) {
    if (!inode) return EINVAL;
    if (!inode->own_db || !inode->setnode || !inode->sism) return QNST_FAIL(inode->dbenv, EINVAL);
    return 0;
}

// Cuts the range and writes the live entry (offset, ver) for `handle`.
int map_block(qnst_inoderec *inode, DB_TXN *txn, DBC *c, uint64_t offset, uint32_t size,
              uint32_t ver, uint64_t handle, Cut *cut) {
    int rc = cut_range(inode, txn, c, offset, size, ver, cut);
    if (rc) return rc;
    return QNST_FAIL(inode->dbenv,
                     write_entry(inode->own_db, txn, offset, ver, kLive, size, handle));
}

int reconcile(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t size, uint32_t ver,
              const void *hash, uint32_t hashlen, uint64_t *handle, uint32_t nwopt) {
    DB_ENV *dbenv = inode->dbenv;
    qnst_blksism *mgr = inode->sism;
    qnst::Cursor c;
    int rc = c.open(inode->own_db, txn, 0);
    if (rc) return QNST_FAIL(dbenv, rc);

    Entry e;
    rc = find_at_or_after(c.get(), offset, kLive, &e);
    const bool found = rc == 0;
    if (rc && rc != DB_NOTFOUND) return QNST_FAIL(dbenv, rc);
    const uint32_t mode = found ? (nwopt == 2 ? 2 : 0) : nwopt;

    uint64_t h = 0;
    rc = qnst_sism_lookup(mgr, txn, hash, hashlen, mode, &h);
    if (rc) return QNST_FAIL(dbenv, rc);
    if (h == 0) return 0;  // unknown hash

    if (found) {
        uint64_t mapped = 0;
        rc = qnst_xlat_handle(mgr, txn, e.handle, &mapped);
        if (rc) return QNST_FAIL(dbenv, rc);
        if (e.offset == offset && e.dver == kLive && mapped == h) {
            *handle = h;  // already mapped here: the entry holds its reference
            return 0;
        }
    }

    rc = qnst_sism_hold(mgr, txn, h, 0);
    if (rc) return QNST_FAIL(dbenv, rc);
    Cut cut;
    rc = map_block(inode, txn, c.get(), offset, size, ver, h, &cut);
    if (rc) return rc;
    rc = c.close();
    if (rc) return QNST_FAIL(dbenv, rc);
    rc = qnst_inode_usg(inode->setnode, txn, 0, int64_t{size} - cut.released, -cut.freed, 0, 0, 0);
    if (rc) return QNST_FAIL_CHARGE(dbenv, rc);
    *handle = h;
    return 0;
}

// Hands a listed entry to the caller's outputs.
void give_vent(const Entry &e, uint32_t *cver, uint32_t *dver, uint64_t *offset) {
    *cver = e.cver;
    *dver = e.dver;
    *offset = e.offset;
}
void give_oent(const Entry &e, uint32_t *cver, uint32_t *dver, uint64_t *offset, uint32_t *size,
               uint64_t *handle) {
    give_vent(e, cver, dver, offset);
    *size = e.size;
    *handle = e.handle;
}

// Step of a listing: reads the next entry or reports the end as cver 0.
template <typename Read>
int list_step(DB_ENV *dbenv, DBC *c, uint32_t flags, Read read, Entry *e, bool *end) {
    Key k{};
    DBT key = qnst::user_dbt(k.b, 0, kKeySize);
    const int rc = read(c, &key, k.b, flags, e);
    *end = rc == DB_NOTFOUND;
    if (rc && !*end) return QNST_FAIL(dbenv, rc);
    if (*end) *e = Entry{};
    return 0;
}

}  // namespace

int qnst_bmap_enter(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t size,
                    uint32_t ver, uint64_t handle, const void *hash, uint32_t hashlen,
                    uint32_t dfid, uint32_t dver, uint64_t coff, uint32_t csize) {
    if (int rc = check_writable(inode)) return rc;
    DB_ENV *dbenv = inode->dbenv;
    for (int attempt = 0; attempt < QNST_BMAP_ENTER_ATTEMPTS; ++attempt) {
        uint64_t growth = 0;
        int rc = qnst_sism_store(inode->sism, txn, hash, hashlen, dfid, dver, coff, csize, handle,
                                 &growth);
        if (rc == 0) {
            qnst::Cursor c;
            rc = c.open(inode->own_db, txn, 0);
            if (rc) return QNST_FAIL(dbenv, rc);
            Cut cut;
            rc = map_block(inode, txn, c.get(), offset, size, ver, handle, &cut);
            if (rc) return rc;
            rc = c.close();
            if (rc) return QNST_FAIL(dbenv, rc);
            rc = qnst_inode_usg(inode->setnode, txn, 0, int64_t{size} - cut.released,
                                int64_t{csize} - cut.freed, static_cast<int64_t>(growth), 0, 0);
            return QNST_FAIL_CHARGE(dbenv, rc);
        }
        if (rc != QNST_HASH_EXISTS) return QNST_FAIL(dbenv, rc);
        // Another transaction stored this hash first: map its block instead.
        uint64_t stored = 0;
        rc = reconcile(inode, txn, offset, size, ver, hash, hashlen, &stored, 0);
        if (rc) return rc;  // logged where it failed
        if (stored) return 0;
        // The block vanished between the store and the lookup: try storing it again.
    }
    return QNST_FAIL(dbenv, EAGAIN);
}

int qnst_bmap_reconcile(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t size,
                        uint32_t ver, const void *hash, uint32_t hashlen, uint64_t *handle,
                        uint32_t nwopt) {
    *handle = 0;
    if (int rc = check_writable(inode)) return rc;
    return reconcile(inode, txn, offset, size, ver, hash, hashlen, handle, nwopt);
}

int qnst_bmap_clear(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t size,
                    uint32_t ver) {
    if (int rc = check_writable(inode)) return rc;
    DB_ENV *dbenv = inode->dbenv;
    qnst::Cursor c;
    int rc = c.open(inode->own_db, txn, 0);
    if (rc) return QNST_FAIL(dbenv, rc);
    Cut cut;
    rc = cut_range(inode, txn, c.get(), offset, size, ver, &cut);
    if (rc) return rc;
    rc = c.close();
    if (rc) return QNST_FAIL(dbenv, rc);
    rc = qnst_inode_usg(inode->setnode, txn, 0, -cut.released, -cut.freed, 0, 0, 0);
    return QNST_FAIL_CHARGE(dbenv, rc);
}

int qnst_bmap_purge(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t cver,
                    uint32_t fsck) {
    if (int rc = check_writable(inode)) return rc;
    DB_ENV *dbenv = inode->dbenv;
    DB *db = inode->own_db;
    uint32_t dver = 0, size = 0;
    uint64_t handle = 0;
    int rc = qnst_bmap_get_oent(inode, txn, offset, cver, &dver, &size, &handle);
    if (rc == 0) rc = del_key(db, txn, oent_key(offset, cver));
    if (rc == 0) rc = del_key(db, txn, vent_key(cver, offset));
    int64_t freed = 0;
    if (rc == 0 && !fsck) rc = release_block(inode->sism, txn, handle, &freed);
    if (rc) return QNST_FAIL(dbenv, rc);
    rc = qnst_inode_usg(inode->setnode, txn, 0, -int64_t{size}, -freed, 0, 0, 0);
    return QNST_FAIL_CHARGE(dbenv, rc);
}

int qnst_bmap_lookup(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t ver,
                     uint32_t *size, uint32_t *cver, uint32_t *dver, uint64_t *handle) {
    if (!inode->own_db) return QNST_FAIL(inode->dbenv, EINVAL);
    DB_ENV *dbenv = inode->dbenv;
    qnst::Cursor c;
    int rc = c.open(inode->own_db, txn, 0);
    if (rc) return QNST_FAIL(dbenv, rc);
    Entry e;
    rc = find_at_or_after(c.get(), offset, ver, &e);
    if (rc == 0 && (e.offset != offset || e.dver <= ver)) rc = DB_NOTFOUND;
    if (rc) return QNST_FAIL(dbenv, rc);
    *size = e.size;
    *cver = e.cver;
    *dver = e.dver;
    *handle = e.handle;
    return QNST_FAIL(dbenv, c.close());
}

int qnst_bmap_get_oent(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t cver,
                       uint32_t *dver, uint32_t *size, uint64_t *handle) {
    DB *db = inode->own_db;
    if (!db) return EINVAL;
    Key k = oent_key(offset, cver);
    uint8_t v[kOentSize];
    DBT key = k.dbt();
    DBT data = qnst::user_dbt(v, 0, sizeof v);
    int rc = db->get(db, txn, &key, &data, DB_RMW);
    if (rc == DB_BUFFER_SMALL || (rc == 0 && data.size != kOentSize)) rc = EIO;
    if (rc) return rc;
    *dver = qnst::load_le32(v);
    *size = qnst::load_le32(v + 4);
    *handle = qnst::load_le64(v + 8);
    return 0;
}

int qnst_bmap_get_vent(qnst_inoderec *inode, DB_TXN *txn, uint32_t cver, uint64_t offset,
                       uint32_t *dver) {
    DB *db = inode->own_db;
    if (!db) return QNST_FAIL(inode->dbenv, EINVAL);
    Key k = vent_key(cver, offset);
    uint8_t v[kVentSize];
    DBT key = k.dbt();
    DBT data = qnst::user_dbt(v, 0, sizeof v);
    int rc = db->get(db, txn, &key, &data, DB_RMW);
    if (rc == DB_BUFFER_SMALL || (rc == 0 && data.size != kVentSize)) rc = EIO;
    if (rc) return QNST_FAIL(inode->dbenv, rc);
    *dver = qnst::load_le32(v);
    return 0;
}

int qnst_bmap_add_vent(qnst_inoderec *inode, DB_TXN *txn, uint32_t cver, uint64_t offset,
                       uint32_t dver) {
    DB *db = inode->own_db;
    if (!db) return QNST_FAIL(inode->dbenv, EINVAL);
    return QNST_FAIL(inode->dbenv, put_vent(db, txn, cver, offset, dver));
}

int qnst_bmap_del_oent(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t cver) {
    DB *db = inode->own_db;
    if (!db) return QNST_FAIL(inode->dbenv, EINVAL);
    return QNST_FAIL(inode->dbenv, del_key(db, txn, oent_key(offset, cver)));
}

int qnst_bmap_del_vent(qnst_inoderec *inode, DB_TXN *txn, uint32_t cver, uint64_t offset) {
    DB *db = inode->own_db;
    if (!db) return QNST_FAIL(inode->dbenv, EINVAL);
    return QNST_FAIL(inode->dbenv, del_key(db, txn, vent_key(cver, offset)));
}

int qnst_bmap_walk(qnst_inoderec *inode, DB_TXN *txn, uint32_t lastver, DBC **cursor,
                   uint32_t *cver, uint32_t *dver, uint64_t *offset) {
    *cursor = nullptr;
    *cver = 0;
    if (!inode->own_db) return 0;
    DB_ENV *dbenv = inode->dbenv;
    qnst::Cursor c;
    int rc = c.open(inode->own_db, txn, DB_READ_COMMITTED);
    if (rc) return QNST_FAIL(dbenv, rc);
    // Position without reading the record: only the key order matters here.
    Key k = vent_key(lastver, *offset);
    DBT key = qnst::user_dbt(k.b, kKeySize, kKeySize);
    DBT none{};
    none.flags = DB_DBT_USERMEM | DB_DBT_PARTIAL;
    rc = c->get(c.get(), &key, &none, DB_SET_RANGE);
    uint32_t step = DB_PREV;
    if (rc == DB_NOTFOUND) {
        step = DB_LAST;
    } else if (rc == DB_BUFFER_SMALL) {
        return 0;  // not a key of this map: nothing to list
    } else if (rc) {
        return QNST_FAIL(dbenv, rc);
    }
    Entry e;
    bool end = false;
    rc = list_step(dbenv, c.get(), step, read_vent, &e, &end);
    if (rc) return rc;
    if (end) return 0;
    give_vent(e, cver, dver, offset);
    *cursor = c.release();
    return 0;
}

int qnst_bmap_next(qnst_inoderec *inode, DBC *cursor, uint32_t *cver, uint32_t *dver,
                   uint64_t *offset) {
    *cver = 0;
    if (!cursor) return QNST_FAIL(inode->dbenv, EINVAL);
    Entry e;
    bool end = false;
    int rc = list_step(inode->dbenv, cursor, DB_PREV, read_vent, &e, &end);
    if (rc || end) return rc;
    give_vent(e, cver, dver, offset);
    return 0;
}

int qnst_bmap_woff(qnst_inoderec *inode, DB_TXN *txn, uint32_t lastver, DBC **cursor,
                   uint32_t *cver, uint32_t *dver, uint64_t *offset, uint32_t *size,
                   uint64_t *handle) {
    *cursor = nullptr;
    *cver = 0;
    if (!inode->own_db) return 0;
    DB_ENV *dbenv = inode->dbenv;
    qnst::Cursor c;
    int rc = c.open(inode->own_db, txn, DB_READ_COMMITTED);
    if (rc) return QNST_FAIL(dbenv, rc);
    Key k = oent_key(*offset, lastver - 1);
    DBT key = qnst::user_dbt(k.b, kKeySize, kKeySize);
    Entry e;
    rc = read_oent(c.get(), &key, k.b, DB_SET_RANGE, &e);
    if (rc == DB_NOTFOUND) return 0;
    if (rc) return QNST_FAIL(dbenv, rc);
    give_oent(e, cver, dver, offset, size, handle);
    *cursor = c.release();
    return 0;
}

int qnst_bmap_noff(qnst_inoderec *inode, DBC *cursor, uint32_t *cver, uint32_t *dver,
                   uint64_t *offset, uint32_t *size, uint64_t *handle) {
    *cver = 0;
    if (!cursor) return QNST_FAIL(inode->dbenv, EINVAL);
    Entry e;
    bool end = false;
    int rc = list_step(inode->dbenv, cursor, DB_NEXT, read_oent, &e, &end);
    if (rc || end) return rc;
    give_oent(e, cver, dver, offset, size, handle);
    return 0;
}

int qnst_bmap_done(qnst_inoderec *, DBC *cursor) {
    // The listing only read; a close failure leaves nothing for the caller to undo.
    if (cursor) (void)cursor->close(cursor);
    return 0;
}
