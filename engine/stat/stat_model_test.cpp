// Stat versions against a model of [cver, dver) intervals: a long seeded run of updates, clears
// and purges at rising versions on three inodes, some of them aborted, checked after every step
// against the model (lookups at every version so far, full listings, usage), with the ACL counts
// recounted against the records that name them.
#include <gtest/gtest.h>

#include <random>

#include "stat_fixture.hpp"

namespace {

using namespace qnst::testing;

constexpr uint32_t kLive = QNST_INODE_LIVE;

class StatModel : public StatFixture {
protected:
    using Records = std::map<uint32_t, Stat>;  // by cver

    // The record the engine must find at `ver`: the newest created at or before it, if it has not
    // ended by then.
    static const Stat *valid_at(const Records &m, uint32_t ver) {
        auto it = m.upper_bound(ver);
        if (it == m.begin()) return nullptr;
        --it;
        return it->second.dver > ver ? &it->second : nullptr;
    }
    static Stat *current(Records &m) {
        return !m.empty() && m.rbegin()->second.dver == kLive ? &m.rbegin()->second : nullptr;
    }

    void check(uint32_t upto, const std::string &where) {
        Charged expect;
        std::map<uint64_t, int64_t> refs;
        for (int i = 0; i < 3; ++i) {
            Records &m = model_[i];
            for (uint32_t v = 1; v <= upto + 1; ++v) {
                Stat s;
                const int rc = lookup(&files_[i], v, &s);
                const Stat *want = valid_at(m, v);
                if (want) {
                    ASSERT_EQ(0, rc) << where << " inode " << i << " at " << v;
                    ASSERT_EQ(*want, s) << where << " inode " << i << " at " << v;
                } else {
                    ASSERT_EQ(QNST_ENOSTAT, rc) << where << " inode " << i << " at " << v;
                }
            }
            std::vector<Stat> all;
            for (const auto &[cver, s] : m) {
                all.push_back(s);
                if (s.acl) ++refs[s.acl];
                ++expect.filestotal;
                if (s.dver == kLive) {
                    ++expect.filescurrent;
                    expect.fscurrentu += static_cast<int64_t>(s.size);
                }
            }
            ASSERT_EQ(all, walk(&files_[i], 1)) << where << " inode " << i;
            const Stat *cur = current(m);
            ASSERT_EQ(cur ? cur->cver : 0u, latest(&files_[i])) << where;
        }
        ASSERT_EQ(expect, charged()) << where;
        // Every ACL is held exactly once per record naming it, and one no record names is gone.
        ASSERT_EQ(refs, acl_counts()) << where;
    }

    Records model_[3];
};

TEST_F(StatModel, RandomRunAgreesWithTheModel) {
    std::mt19937 rng(20261210);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    uint32_t ver = 2;  // a listing from version 1 shows every record
    int acls_made = 0;
    for (int step = 0; step < 300; ++step) {
        ver += pick(3);  // same-version steps happen often
        const int i = static_cast<int>(pick(3));
        Records &m = model_[i];
        qnst_inoderec *n = &files_[i];
        const bool abort = pick(10) == 0;
        const uint32_t op = pick(10);
        Records next = m;
        std::string what;
        int rc = 0;

        DB_TXN *t = nullptr;
        ASSERT_EQ(0, qnst_txn_begin(dbenv(), nullptr, &t));
        if (op < 6) {
            // Update with no ACL, a new ACL, or another record's ACL held once more.
            uint64_t acl = 0;
            const uint32_t how = pick(3);
            std::vector<uint64_t> in_use;
            for (const Records &r : model_)
                for (const auto &[cver, s] : r)
                    if (s.acl) in_use.push_back(s.acl);
            if (how == 1 || (how == 2 && in_use.empty())) {
                acl = new_acl(t, "acl" + std::to_string(acls_made++));
            } else if (how == 2) {
                acl = in_use[pick(static_cast<uint32_t>(in_use.size()))];
                ASSERT_EQ(0, qnst_acl_hold(&acls_, t, acl));
            }
            const uint64_t size = pick(5000);
            what = "update " + std::to_string(ver);
            rc = update_in(n, t, ver, size, acl);
            if (Stat *cur = current(next); cur && cur->cver != ver) cur->dver = ver;
            next[ver] = Stat{ver, kLive, 0x100 + ver, size, acl, 1000 + ver, 7, 1};
        } else if (op < 8) {
            what = "clear " + std::to_string(ver);
            rc = qnst_stat_clear(n, t, ver);
            if (Stat *cur = current(next)) {
                if (cur->cver == ver) next.erase(ver);
                else cur->dver = ver;
            }
        } else if (!m.empty()) {
            auto it = m.begin();
            std::advance(it, pick(static_cast<uint32_t>(m.size())));
            what = "purge " + std::to_string(it->first);
            rc = qnst_stat_purge(n, t, it->first);
            next.erase(it->first);
        }
        ASSERT_EQ(0, rc) << what;
        if (abort) {
            ASSERT_EQ(0, qnst_txn_abort(t));
        } else {
            ASSERT_EQ(0, qnst_txn_commit(t, 0));
            m = std::move(next);
        }
        check(ver, "step " + std::to_string(step) + " (" + what + (abort ? ", aborted)" : ")"));
    }
    EXPECT_TRUE(env_.error_lines().empty());
}

}  // namespace
