#include "qnst_folder.h"

#include <cerrno>

#include "qnst_internal.hpp"
#include "qnst_listing.hpp"

QNST_SOURCE("qnst/folder/qnst_folder");

namespace {

constexpr uint8_t kEntryLetter = '6';
constexpr uint32_t kNameAt = 9;  // folder, letter, namelen
constexpr uint32_t kMaxKey = kNameAt + QNST_DIR_MAXNAME + 4;
constexpr uint32_t kDataSize = 12;
// One below the live marker: the version at which only a live entry is visible.
constexpr uint32_t kLiveLookup = QNST_INODE_LIVE - 1;

bool is_version(uint32_t v) { return static_cast<int32_t>(v) > 0 && v < QNST_INODE_LIVE; }

// Checks shared by every call that takes a name: the length first (ENOSPC, never logged, as add
// has always answered), then what would make the call unsafe to run.
int check_name(const qnst_inoderec *inode, const char *name, uint32_t namelen) {
    if (namelen > QNST_DIR_MAXNAME) return ENOSPC;
    if (!inode || !inode->folder_db || (!name && namelen)) return EINVAL;
    return 0;
}

// The key of (name, cver) in the folder, in a buffer that holds the largest entry key, so that
// a cursor read can land on any entry in it.
struct EntryKey {
    uint8_t bytes[kMaxKey];
    uint32_t size;
    EntryKey(uint32_t folder, const char *name, uint32_t namelen, uint32_t cver) {
        qnst::store_le32(bytes, folder);
        bytes[4] = kEntryLetter;
        qnst::store_be32(bytes + 5, namelen);
        if (namelen) std::memcpy(bytes + kNameAt, name, namelen);
        qnst::store_neg_version(bytes + kNameAt + namelen, cver);
        size = kNameAt + namelen + 4;
    }
    DBT dbt() { return qnst::user_dbt(bytes, size, sizeof bytes); }
};

struct Entry {
    uint32_t cver, dver, type, cino, namelen;
    const uint8_t *name;
};

enum class Found { kEntry, kOther, kDamaged };

// Reads the entry under a cursor. A record of another folder or kind is kOther; an entry key of
// this folder whose lengths disagree, or whose data is short, is kDamaged.
Found decode(uint32_t folder, const DBT &key, const DBT &data, Entry *e) {
    const auto *k = static_cast<const uint8_t *>(key.data);
    if (key.size < 5 || qnst::load_le32(k) != folder || k[4] != kEntryLetter) return Found::kOther;
    if (key.size < kNameAt + 4) return Found::kDamaged;
    const uint32_t namelen = qnst::load_be32(k + 5);
    if (namelen > QNST_DIR_MAXNAME || key.size != kNameAt + namelen + 4 || data.size != kDataSize)
        return Found::kDamaged;
    const auto *d = static_cast<const uint8_t *>(data.data);
    e->namelen = namelen;
    e->name = k + kNameAt;
    e->cver = qnst::load_neg_version(k + kNameAt + namelen);
    e->dver = qnst::load_le32(d);
    e->type = qnst::load_le32(d + 4);
    e->cino = qnst::load_le32(d + 8);
    return Found::kEntry;
}

int put_entry(qnst_inoderec *inode, DB_TXN *txn, const char *name, uint32_t namelen,
              uint32_t cver, uint32_t dver, uint32_t type, uint32_t cino, uint32_t flags) {
    EntryKey k(inode->inode, name, namelen, cver);
    uint8_t buf[kDataSize];
    qnst::store_le32(buf, dver);
    qnst::store_le32(buf + 4, type);
    qnst::store_le32(buf + 8, cino);
    DBT key = k.dbt();
    DBT data = qnst::user_dbt(buf, sizeof buf);
    DB *db = inode->folder_db;
    return db->put(db, txn, &key, &data, flags);
}

int purge_entry(qnst_inoderec *inode, DB_TXN *txn, const char *name, uint32_t namelen,
                uint32_t cver) {
    EntryKey k(inode->inode, name, namelen, cver);
    DBT key = k.dbt();
    DB *db = inode->folder_db;
    return db->del(db, txn, &key, 0);
}

// The entry `name` visible at `ver` whose child is `cino` (any child for 0), with the write
// lock taken. Nothing is logged: each caller reports at its own level.
int find_entry(qnst_inoderec *inode, DB_TXN *txn, const char *name, uint32_t namelen,
               uint32_t ver, uint32_t cino, Entry *out) {
    // No entry is visible at 0 or at a negative version; the negated key of such a version
    // would also land on the newest entry instead of an older one.
    if (static_cast<int32_t>(ver) <= 0) return QNST_ENOENTRY;
    qnst::Cursor c;
    int rc = c.open(inode->folder_db, txn, 0);
    if (rc) return rc;
    // The newest entry of the name with cver <= ver, or a following key.
    EntryKey k(inode->inode, name, namelen, ver);
    uint8_t buf[kDataSize];
    DBT key = k.dbt();
    DBT data = qnst::user_dbt(buf, 0, sizeof buf);
    rc = c->get(c.get(), &key, &data, DB_SET_RANGE | DB_RMW);
    for (;;) {
        if (rc == DB_NOTFOUND || rc == DB_BUFFER_SMALL) return QNST_ENOENTRY;
        if (rc) return rc;
        Entry e;
        const Found found = decode(inode->inode, key, data, &e);
        if (found == Found::kOther) return QNST_ENOENTRY;
        if (found == Found::kDamaged) return EIO;
        if (e.namelen != namelen || (namelen && std::memcmp(e.name, name, namelen) != 0))
            return QNST_ENOENTRY;
        // The newest entry at `ver` was deleted by then.
        if (static_cast<int32_t>(e.dver) <= static_cast<int32_t>(ver)) return QNST_ENOENTRY;
        if (cino == 0 || e.cino == cino) {
            *out = e;
            out->name = nullptr;  // it points into this call's key buffer
            return c.close();
        }
        rc = c->get(c.get(), &key, &data, DB_NEXT | DB_RMW);  // the next older version
    }
}

bool qualifies(int32_t ver, const Entry &e) {
    const auto cver = static_cast<int32_t>(e.cver);
    const auto dver = static_cast<int32_t>(e.dver);
    if (ver == 0) return true;
    if (ver > 0) return cver <= ver && dver > ver;
    const int64_t since = -static_cast<int64_t>(ver);
    return cver > since || (e.dver != QNST_INODE_LIVE && dver > since);
}

// Steps backwards through the folder until an entry qualifies for `ver`; the end of the
// folder's entries reports cver 0.
int step(uint32_t folder, DBC *dbc, uint32_t direction, int32_t ver, uint32_t *cver,
         uint32_t *dver, char *name, uint32_t *namelen, uint32_t *type, uint32_t *cino) {
    uint8_t kb[kMaxKey];
    uint8_t db[kDataSize];
    for (;;) {
        DBT key = qnst::user_dbt(kb, 0, sizeof kb);
        DBT data = qnst::user_dbt(db, 0, sizeof db);
        const int rc = dbc->get(dbc, &key, &data, direction | DB_READ_COMMITTED);
        Entry e;
        Found found = Found::kOther;
        // A record larger than an entry belongs to another kind: the folder's entries ended.
        if (rc && rc != DB_NOTFOUND && rc != DB_BUFFER_SMALL) return rc;
        if (rc == 0) found = decode(folder, key, data, &e);
        if (found == Found::kDamaged) return EIO;
        if (found == Found::kOther) {
            *cver = *dver = *namelen = *type = *cino = 0;
            return 0;
        }
        if (qualifies(ver, e)) {
            *cver = e.cver;
            *dver = e.dver;
            *type = e.type;
            *cino = e.cino;
            *namelen = e.namelen;
            if (e.namelen) std::memcpy(name, e.name, e.namelen);
            return 0;
        }
        direction = DB_PREV;
    }
}

// Positions a new cursor at `start` and returns the entry before it in key order.
int open_listing(qnst_inoderec *inode, DB_TXN *txn, int32_t ver, DBC **cursor, uint8_t *start,
                 uint32_t start_size, uint32_t *cver, uint32_t *dver, char *name,
                 uint32_t *namelen, uint32_t *type, uint32_t *cino) {
    DB_ENV *dbenv = inode->dbenv;
    qnst::Cursor c;
    int rc = c.open(inode->folder_db, txn, 0);
    if (rc) return QNST_FAIL(dbenv, rc);
    uint32_t direction = DB_PREV;
    rc = qnst::position_before(c.get(), start, start_size, DB_READ_COMMITTED, &direction);
    if (rc) return QNST_FAIL(dbenv, rc);
    rc = step(inode->inode, c.get(), direction, ver, cver, dver, name, namelen, type, cino);
    if (rc) return QNST_FAIL(dbenv, rc);
    *cursor = c.release();
    return 0;
}

}  // namespace

int qnst_dir_add(qnst_inoderec *inode, DB_TXN *txn, const char *name, uint32_t namelen,
                 uint32_t cver, uint32_t type, uint32_t cino) {
    int rc = check_name(inode, name, namelen);
    if (rc == 0 && !is_version(cver)) rc = EINVAL;
    if (rc == ENOSPC) return rc;
    if (rc) return QNST_FAIL(inode ? inode->dbenv : nullptr, rc);
    rc = put_entry(inode, txn, name, namelen, cver, QNST_INODE_LIVE, type, cino, 0);
    return QNST_FAIL(inode->dbenv, rc);
}

int qnst_dir_lookup(qnst_inoderec *inode, DB_TXN *txn, const char *name, uint32_t namelen,
                    uint32_t ver, uint32_t *cver, uint32_t *dver, uint32_t *type,
                    uint32_t *cino) {
    int rc = check_name(inode, name, namelen);
    if (rc == ENOSPC) return rc;
    if (rc) return QNST_FAIL(inode ? inode->dbenv : nullptr, rc);
    Entry e;
    rc = find_entry(inode, txn, name, namelen, ver, *cino, &e);
    if (rc == QNST_ENOENTRY) return rc;
    if (rc) return QNST_FAIL(inode->dbenv, rc);
    *cver = e.cver;
    *dver = e.dver;
    *type = e.type;
    *cino = e.cino;
    return 0;
}

int qnst_dir_purge(qnst_inoderec *inode, DB_TXN *txn, const char *name, uint32_t namelen,
                   uint32_t cver) {
    int rc = check_name(inode, name, namelen);
    if (rc == ENOSPC) return rc;
    if (rc) return QNST_FAIL(inode ? inode->dbenv : nullptr, rc);
    return QNST_FAIL(inode->dbenv, purge_entry(inode, txn, name, namelen, cver));
}

int qnst_dir_del(qnst_inoderec *inode, DB_TXN *txn, const char *name, uint32_t namelen,
                 uint32_t ver, uint32_t cino) {
    int rc = check_name(inode, name, namelen);
    if (rc == ENOSPC) return rc;
    DB_ENV *dbenv = inode ? inode->dbenv : nullptr;
    if (rc) return QNST_FAIL(dbenv, rc);
    Entry e;
    if ((rc = find_entry(inode, txn, name, namelen, ver, cino, &e))) return QNST_FAIL(dbenv, rc);
    if (e.cver != ver) {
        // Ends at `ver`: still visible to the versions before it.
        rc = put_entry(inode, txn, name, namelen, e.cver, ver, e.type, e.cino, 0);
    } else {
        // Created and deleted in one version: it never existed in any backup.
        rc = purge_entry(inode, txn, name, namelen, e.cver);
    }
    return QNST_FAIL(dbenv, rc);
}

int qnst_dir_rename(qnst_inoderec *inode, DB_TXN *txn, const char *oldname, uint32_t oldlen,
                    const char *newname, uint32_t newlen, int32_t overwrite) {
    if (oldlen > QNST_DIR_MAXNAME || newlen > QNST_DIR_MAXNAME) return ENOSPC;
    int rc = check_name(inode, oldname, oldlen);
    if (rc == 0) rc = check_name(inode, newname, newlen);
    DB_ENV *dbenv = inode ? inode->dbenv : nullptr;
    if (rc) return QNST_FAIL(dbenv, rc);
    Entry e;
    if ((rc = find_entry(inode, txn, oldname, oldlen, kLiveLookup, 0, &e)))
        return QNST_FAIL(dbenv, rc);
    if ((rc = purge_entry(inode, txn, oldname, oldlen, e.cver))) return QNST_FAIL(dbenv, rc);
    rc = put_entry(inode, txn, newname, newlen, e.cver, e.dver, e.type, e.cino,
                   overwrite ? 0 : DB_NOOVERWRITE);
    return QNST_FAIL(dbenv, rc);
}

int qnst_dir_walk(qnst_inoderec *inode, DB_TXN *txn, int32_t ver, DBC **cursor, uint32_t *cver,
                  uint32_t *dver, char *name, uint32_t *namelen, uint32_t *type,
                  uint32_t *cino) {
    if (!inode || !inode->folder_db) return QNST_FAIL(inode ? inode->dbenv : nullptr, EINVAL);
    // After every entry of the folder: no name is 0xFFFFFFFF bytes long.
    uint8_t start[kNameAt + 4];
    qnst::store_le32(start, inode->inode);
    start[4] = kEntryLetter;
    qnst::store_be32(start + 5, 0xFFFFFFFFu);
    qnst::store_be32(start + kNameAt, 0xFFFFFFFFu);
    return open_listing(inode, txn, ver, cursor, start, sizeof start, cver, dver, name, namelen,
                        type, cino);
}

int qnst_dir_walk_v2(qnst_inoderec *inode, DB_TXN *txn, int32_t ver, DBC **cursor,
                     uint32_t *cver, uint32_t *dver, char *name, uint32_t *namelen,
                     uint32_t *type, uint32_t *cino, const char *cookie_name,
                     uint32_t cookie_namelen, uint32_t cookie_cver) {
    const int rc = check_name(inode, cookie_name, cookie_namelen);
    if (rc == ENOSPC) return rc;
    if (rc) return QNST_FAIL(inode ? inode->dbenv : nullptr, rc);
    EntryKey k(inode->inode, cookie_name, cookie_namelen, cookie_cver);
    return open_listing(inode, txn, ver, cursor, k.bytes, k.size, cver, dver, name, namelen,
                        type, cino);
}

int qnst_dir_next(qnst_inoderec *inode, DBC *cursor, int32_t ver, uint32_t *cver,
                  uint32_t *dver, char *name, uint32_t *namelen, uint32_t *type,
                  uint32_t *cino) {
    const int rc =
        step(inode->inode, cursor, DB_PREV, ver, cver, dver, name, namelen, type, cino);
    return QNST_FAIL(inode->dbenv, rc);
}

int qnst_dir_done(qnst_inoderec *inode, DBC *cursor) {
    (void)inode;
    // A listing's cursor only read: closing releases its locks, and a failure has nothing left
    // to undo.
    if (cursor) (void)cursor->close(cursor);
    return 0;
}
