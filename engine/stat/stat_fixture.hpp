// Fixture of the stat-version tests: an inode-table set with an ACL store, a namespace root
// with a usage record (the set node) and file inodes charged to it.
#pragma once

#include <map>
#include <vector>

#include "inode_fixture.hpp"
#include "qnst_aclsis.h"
#include "qnst_stat.h"

namespace qnst::testing {

struct Stat {
    uint32_t cver = 0, dver = 0, flags = 0;
    uint64_t size = 0, acl = 0;
    uint32_t mtime = 0, method = 0, links = 0;
    bool operator==(const Stat &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const Stat &s) {
    return os << "{cver " << s.cver << ", dver " << s.dver << ", size " << s.size << ", acl "
              << s.acl << "}";
}

// fscurrentu, filescurrent, filestotal of a usage record.
struct Charged {
    int64_t fscurrentu = 0, filescurrent = 0, filestotal = 0;
    bool operator==(const Charged &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const Charged &c) {
    return os << "{fscurrentu " << c.fscurrentu << ", filescurrent " << c.filescurrent
              << ", filestotal " << c.filestotal << "}";
}

class StatFixture : public ItabmFixture {
protected:
    static constexpr uint32_t kRoot = 10;
    static constexpr uint32_t kFile = 11;

    void SetUp() override {
        ItabmFixture::SetUp();
        ASSERT_EQ(0, qnst_aclsis_create(&acls_, dbenv()));
        ASSERT_EQ(0, qnst_aclsis_open(&acls_, "acl.db", 0));
        m_.aclsis = &acls_;
        ASSERT_EQ(0, qnst_inode_open(&root_, &m_, nullptr, kRoot));
        ASSERT_EQ(0, txn([&](DB_TXN *t) {
                      return qnst_inode_usage_set(&root_, t, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
                  }));
        for (uint32_t i = 0; i < 3; ++i)
            ASSERT_EQ(0, qnst_inode_open(&files_[i], &m_, &root_, kFile + i));
    }
    void TearDown() override {
        qnst_aclsis_close(&acls_);
        ItabmFixture::TearDown();
    }

    // A new ACL with one reference, held for the stat record about to name it.
    uint64_t new_acl(DB_TXN *t, const std::string &hash) {
        uint64_t h = 0;
        EXPECT_EQ(0, qnst_acl_store(&acls_, t, hash.data(), hash.size(), "acl", 3, &h));
        return h;
    }
    uint64_t new_acl(const std::string &hash) {
        uint64_t h = 0;
        EXPECT_EQ(0, txn([&](DB_TXN *t) {
                      h = new_acl(t, hash);
                      return h ? 0 : EINVAL;
                  }));
        return h;
    }

    static int update_in(qnst_inoderec *n, DB_TXN *t, uint32_t ver, uint64_t size, uint64_t acl) {
        return qnst_stat_update(n, t, ver, 0x100 + ver, size, acl, 1000 + ver, 7, 1);
    }
    int update(qnst_inoderec *n, uint32_t ver, uint64_t size, uint64_t acl = 0) {
        return txn([&](DB_TXN *t) { return update_in(n, t, ver, size, acl); });
    }
    int clear(qnst_inoderec *n, uint32_t ver) {
        return txn([&](DB_TXN *t) { return qnst_stat_clear(n, t, ver); });
    }
    int purge(qnst_inoderec *n, uint32_t cver) {
        return txn([&](DB_TXN *t) { return qnst_stat_purge(n, t, cver); });
    }
    static int lookup_in(qnst_inoderec *n, DB_TXN *t, uint32_t ver, Stat *s) {
        return qnst_stat_lookup(n, t, ver, &s->cver, &s->dver, &s->flags, &s->size, &s->acl,
                                &s->mtime, &s->method, &s->links);
    }
    int lookup(qnst_inoderec *n, uint32_t ver, Stat *s) {
        return txn([&](DB_TXN *t) { return lookup_in(n, t, ver, s); });
    }
    uint32_t latest(qnst_inoderec *n) {
        uint32_t v = 99;
        EXPECT_EQ(0, txn([&](DB_TXN *t) { return qnst_stat_getlatest(n, t, &v); }));
        return v;
    }
    // Every record a listing from `lastver` yields, in its order.
    std::vector<Stat> walk(qnst_inoderec *n, uint32_t lastver) {
        std::vector<Stat> out;
        EXPECT_EQ(0, txn([&](DB_TXN *t) {
                      out.clear();
                      DBC *c = nullptr;
                      Stat s;
                      int rc = qnst_stat_walk(n, t, lastver, &c, &s.cver, &s.dver, &s.flags,
                                              &s.size, &s.acl, &s.mtime, &s.method, &s.links);
                      while (rc == 0 && s.cver != 0) {
                          out.push_back(s);
                          rc = qnst_stat_next(n, c, &s.cver, &s.dver, &s.flags, &s.size, &s.acl,
                                              &s.mtime, &s.method, &s.links);
                      }
                      if (c) qnst_stat_done(n, c);
                      return rc;
                  }));
        return out;
    }
    Charged charged() {
        int64_t v[10] = {};
        EXPECT_EQ(0, txn([&](DB_TXN *t) {
                      return qnst_inode_usage_get(&root_, t, &v[0], &v[1], &v[2], &v[3], &v[4],
                                                  &v[5], &v[6], &v[7], &v[8], &v[9]);
                  }));
        return {v[1], v[8], v[9]};
    }
    // Every ACL's reference count, read raw from the store; an ACL whose records are not all
    // three present is reported with count -1.
    std::map<uint64_t, int64_t> acl_counts() {
        std::map<uint64_t, int64_t> counts;
        EXPECT_EQ(0, txn([&](DB_TXN *t) {
                      counts.clear();
                      Cursor c;
                      int rc = c.open(acls_.refdb, t, 0);
                      uint8_t kb[8], vb[4];
                      DBT key = user_dbt(kb, 0, sizeof kb), data = user_dbt(vb, 0, sizeof vb);
                      while (rc == 0 && (rc = c->get(c.get(), &key, &data, DB_NEXT)) == 0) {
                          const uint64_t h = load_le64(kb);
                          const void *hp = nullptr, *ap = nullptr;
                          uint32_t hl = 0, al = 0;
                          void *buf = nullptr;
                          uint64_t found = 0;
                          const bool whole =
                              qnst_acl_read(&acls_, t, h, &hp, &hl, &ap, &al, &buf) == 0 &&
                              qnst_acl_lookup(&acls_, t, hp, hl, &found) == 0 && found == h;
                          qnst_acl_datafree(buf);
                          counts[h] = whole ? int64_t{load_le32(vb)} : -1;
                      }
                      return rc == DB_NOTFOUND ? 0 : rc;
                  }));
        return counts;
    }

    qnst_aclsisrec acls_{};
    qnst_inoderec root_{};
    qnst_inoderec files_[3] = {};
};

}  // namespace qnst::testing
