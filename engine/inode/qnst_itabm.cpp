#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>

#include "qnst_itab.hpp"

QNST_SOURCE("qnst/inode/qnst_itabm");

// The environment's users list reads a member's identifier right after its link.
static_assert(offsetof(qnst_itabmrec, link) == 0 &&
              offsetof(qnst_itabmrec, id) == sizeof(qnst_listlink));

using namespace qnst::itab;

namespace {

constexpr uint32_t kLowBits = QNST_ITABM_MAXINO;
constexpr int kIndexShift = 28;

// The table index of a set's inode number: its top four bits, read as a signed number so that
// a number with the top bit set names no table.
int32_t table_index(uint32_t ino) { return static_cast<int32_t>(ino) >> kIndexShift; }
uint32_t low_bits(uint32_t ino) { return ino & kLowBits; }
uint32_t with_index(uint32_t low, int32_t t) { return low | static_cast<uint32_t>(t) << kIndexShift; }

qnst_itab *table_of(qnst_itabmrec *m, uint32_t ino) {
    const int32_t t = table_index(ino);
    return qnst::in_table(t, m->count) ? &m->tables[t] : nullptr;
}

// The free counts and the round-robin cursor are hints kept without a lock; every access is a
// relaxed atomic one so that threads sharing a set never tear them.
std::atomic_ref<int32_t> free_count(qnst_itabmrec *m, int32_t t) {
    return std::atomic_ref<int32_t>(m->nfree[t]);
}
std::atomic_ref<int32_t> round_robin(qnst_itabmrec *m) {
    return std::atomic_ref<int32_t>(m->cursor);
}

// "<base>_<index>.db", or null when out of memory. Freed by the caller.
char *table_file(const char *base, int32_t t) {
    return qnst::make_name("%s_%x.db", base, static_cast<unsigned>(t));
}

void release_arrays(qnst_itabmrec *m) {
    std::free(m->tables);
    std::free(m->nfree);
    m->tables = nullptr;
    m->nfree = nullptr;
    m->count = 0;
}

int deallocate(qnst_itab *itab, DB_TXN *txn, uint32_t ino) {
    InoKey k(ino);
    DBT key = k.dbt();
    if (int rc = itab->itab->del(itab->itab, txn, &key, 0)) return rc;
    return put_free(itab, txn, ino);
}

// Moves `*low` to the next allocated number of the table after it, or to 0 at its end.
int next_in_table(qnst_itab *itab, DB_TXN *txn, uint32_t *low, uint32_t *cver, uint32_t *dver) {
    qnst::Cursor c;
    int rc = c.open(itab->itab, txn, 0);
    if (rc) return rc;
    uint8_t kb[4], vb[8];
    qnst::store_be32(kb, *low + 1);
    DBT key = qnst::user_dbt(kb, sizeof kb);
    DBT data = qnst::user_dbt(vb, 0, sizeof vb);
    rc = qnst::sized(qnst::sized(c->get(c.get(), &key, &data, DB_SET_RANGE), key, sizeof kb), data,
                     sizeof vb);
    if (rc == DB_NOTFOUND) {
        *low = 0;
        return c.close();
    }
    if (rc) return rc;
    if ((rc = c.close())) return rc;
    const Lifetime life = Lifetime::unpack(vb);
    *low = qnst::load_be32(kb);
    *cver = life.cver;
    *dver = life.dver;
    return 0;
}

}  // namespace

int qnst_itabm_create(qnst_itabmrec *itabm, qnst_envrec *env, uint64_t id,
                      struct qnst_aclsisrec *aclsis, struct qnst_blksism *sism,
                      struct qnst_blobsism *mblob, int32_t count) {
    std::memset(itabm, 0, sizeof *itabm);
    if (count < 1 || count > QNST_ITABM_MAXTABLES) return EINVAL;
    DB_ENV *dbenv = env->dbenv;
    itabm->id = id;
    itabm->dbenv = dbenv;
    itabm->aclsis = aclsis;
    itabm->sism = sism;
    itabm->mblob = mblob;
    itabm->count = count;
    itabm->tables = static_cast<qnst_itab *>(std::calloc(count, sizeof(qnst_itab)));
    itabm->nfree = static_cast<int32_t *>(std::calloc(count, sizeof(int32_t)));
    if (!itabm->tables || !itabm->nfree) {
        release_arrays(itabm);
        return ENOMEM;
    }
    (void)qnst_list_append(&env->users, itabm);  // cannot fail
    for (int32_t t = 0; t < count; ++t) {
        if (int rc = qnst_itab_create(&itabm->tables[t], dbenv)) {
            while (t-- > 0) qnst_itab_close(&itabm->tables[t]);
            (void)qnst_list_remove(itabm);  // it was appended above
            release_arrays(itabm);
            return QNST_FAIL(dbenv, rc);
        }
        itabm->nfree[t] = -1;
    }
    itabm->cursor = 0;
    return 0;
}

int qnst_itabm_open(qnst_itabmrec *itabm, const char *base, uint32_t pagesize, int32_t create) {
    for (int32_t t = 0; t < itabm->count; ++t) {
        char *file = table_file(base, t);
        if (!file) return QNST_FAIL(itabm->dbenv, ENOMEM);
        const int rc = qnst_itab_open(&itabm->tables[t], file, pagesize, create);
        std::free(file);
        if (rc) return QNST_FAIL(itabm->dbenv, rc);
    }
    return 0;
}

int qnst_itabm_close(qnst_itabmrec *itabm) {
    if (itabm->tables)
        for (int32_t t = 0; t < itabm->count; ++t) qnst_itab_close(&itabm->tables[t]);
    (void)qnst_list_remove(itabm);  // 1 only when it was not registered
    release_arrays(itabm);
    return 0;
}

int qnst_itabm_remove(DB_ENV *dbenv, const char *base, int32_t count) {
    for (int32_t t = 0; t < count; ++t) {
        char *file = table_file(base, t);
        if (!file) return QNST_FAIL(dbenv, ENOMEM);
        const int rc = qnst_itab_remove(dbenv, file);
        std::free(file);
        if (rc) return QNST_FAIL(dbenv, rc);
    }
    return 0;
}

int qnst_itabm_extend(qnst_itabmrec *itabm, uint32_t count, uint32_t ino) {
    int32_t t;
    if (ino) {
        if (!table_of(itabm, ino)) return QNST_FAIL(itabm->dbenv, EINVAL);
        t = table_index(ino);
    } else {
        t = round_robin(itabm).load(std::memory_order_relaxed);
        if (t >= itabm->count) return QNST_FAIL(itabm->dbenv, EINVAL);  // closed set
        // Only a table known to be empty needs numbers; the caller's next allocation starts
        // there.
        if (free_count(itabm, t).load(std::memory_order_relaxed) != 0) return 0;
    }
    if (int rc = extend(&itabm->tables[t], count, QNST_ITABM_MAXINO))
        return QNST_FAIL(itabm->dbenv, rc);
    free_count(itabm, t).fetch_add(static_cast<int32_t>(count), std::memory_order_relaxed);
    return 0;
}

int qnst_itabm_setrange(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t ino) {
    qnst_itab *itab = table_of(itabm, ino);
    if (!itab) return QNST_FAIL(itabm->dbenv, EINVAL);
    const uint32_t end = low_bits(ino) + 1;
    uint32_t n = 0;
    int rc = read_seq(itab, txn, DB_RMW, &n);
    // Lowering the sequence would issue numbers that are in use a second time. A table that has
    // no sequence yet is given one.
    if (rc == DB_NOTFOUND) rc = 0;
    if (rc == 0 && end > n) rc = write_seq(itab, txn, end, 0);
    return QNST_FAIL(itabm->dbenv, rc);
}

int qnst_inodem_alloc(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t cver, uint32_t *ino) {
    const int32_t count = itabm->count;
    if (count < 1) return QNST_FAIL(itabm->dbenv, EINVAL);  // closed set
    const int32_t start = round_robin(itabm).load(std::memory_order_relaxed);
    round_robin(itabm).store((start + 1) % count, std::memory_order_relaxed);
    int32_t t = -1;
    for (int32_t k = 0; k < count && t < 0; ++k) {
        const int32_t candidate = (start + k) % count;
        if (free_count(itabm, candidate).load(std::memory_order_relaxed) != 0) t = candidate;
    }
    if (t < 0) return QNST_ENOINODE;
    uint32_t low = 0;
    const int rc = qnst_inode_alloc(&itabm->tables[t], txn, cver, &low);
    if (rc == QNST_ENOINODE) {
        free_count(itabm, t).store(0, std::memory_order_relaxed);
        return rc;
    }
    if (rc) return QNST_FAIL(itabm->dbenv, rc);
    *ino = with_index(low, t);
    free_count(itabm, t).fetch_sub(1, std::memory_order_relaxed);
    return 0;
}

int qnst_inodem_getalloc(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t cver, uint32_t ino,
                         uint32_t *extend_by) {
    *extend_by = 0;
    qnst_itab *itab = table_of(itabm, ino);
    if (!itab) return QNST_FAIL(itabm->dbenv, EINVAL);
    const int rc = qnst_inode_getalloc(itab, txn, cver, low_bits(ino), extend_by);
    return QNST_FAIL(itabm->dbenv, rc);
}

int qnst_inodem_pick(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t ino, uint32_t value) {
    qnst_itab *itab = table_of(itabm, ino);
    if (!itab) return QNST_FAIL(itabm->dbenv, EINVAL);
    const int32_t t = table_index(ino);
    round_robin(itabm).store(t, std::memory_order_relaxed);
    const int rc = qnst_inode_pick(itab, txn, low_bits(ino), value);
    if (rc == QNST_ENOINODE) {
        free_count(itabm, t).store(0, std::memory_order_relaxed);
        return rc;
    }
    return QNST_FAIL(itabm->dbenv, rc);
}

int qnst_inodem_free(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t ino, uint32_t dver) {
    qnst_itab *itab = table_of(itabm, ino);
    if (!itab) return QNST_FAIL(itabm->dbenv, EINVAL);
    return QNST_FAIL(itabm->dbenv, qnst_inode_free(itab, txn, low_bits(ino), dver));
}

int qnst_inodem_dealloc(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t ino) {
    qnst_itab *itab = table_of(itabm, ino);
    if (!itab) return QNST_FAIL(itabm->dbenv, EINVAL);
    return QNST_FAIL(itabm->dbenv, deallocate(itab, txn, low_bits(ino)));
}

int qnst_inodem_notfree(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t ino) {
    qnst_itab *itab = table_of(itabm, ino);
    if (!itab) return QNST_FAIL(itabm->dbenv, EINVAL);
    return QNST_FAIL(itabm->dbenv, delete_free(itab, txn, low_bits(ino)));
}

int qnst_inodem_next(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t *cursor, uint32_t *cver,
                     uint32_t *dver) {
    int32_t t = table_index(*cursor);
    if (t < 0) return QNST_FAIL(itabm->dbenv, EINVAL);
    for (uint32_t low = low_bits(*cursor); t < itabm->count; ++t, low = 0) {
        if (int rc = next_in_table(&itabm->tables[t], txn, &low, cver, dver))
            return QNST_FAIL(itabm->dbenv, rc);
        if (low) {
            *cursor = with_index(low, t);
            return 0;
        }
    }
    *cursor = 0;
    return 0;
}

int qnst_inodem_getinfo(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t ino, int32_t *beyond_end,
                        int32_t *is_free, uint32_t *cver, uint32_t *dver) {
    qnst_itab *itab = table_of(itabm, ino);
    if (!itab) return QNST_FAIL(itabm->dbenv, EINVAL);
    const uint32_t low = low_bits(ino);
    int rc = read_free(itab, txn, low, 0);
    if (rc && rc != DB_NOTFOUND) return QNST_FAIL(itabm->dbenv, rc);
    *is_free = rc == 0 ? 1 : 0;
    Lifetime life;
    if ((rc = read_lifetime(itab, txn, low, 0, &life))) return QNST_FAIL(itabm->dbenv, rc);
    *cver = life.cver;
    *dver = life.dver;
    uint32_t n = 0;
    if ((rc = read_seq(itab, txn, DB_RMW, &n))) return QNST_FAIL(itabm->dbenv, rc);
    *beyond_end = n < low ? 1 : 0;
    return 0;
}
