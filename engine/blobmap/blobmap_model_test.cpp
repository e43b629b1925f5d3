// Blob maps against a model: a seeded random sequence of uploads (with and without their commit,
// so that duplicates and stale uploads happen), replacements, clears and purges over several
// inodes and versions. Lookups at every version must agree with the model, and in the end every
// blob's stored count must equal the number of version records that map it.
#include <iterator>
#include <map>
#include <optional>
#include <random>

#include "blobmap_fixture.hpp"

namespace {

using namespace qnst::testing;

constexpr uint32_t kLive = QNST_INODE_LIVE;
constexpr int kInodes = 4;
constexpr int kContents = 6;
constexpr int kSteps = 600;

Bytes content_hash(int c) { return blob_hash(static_cast<uint8_t>(0x40 + 37 * c), 1000u + c, 24 + c); }
uint64_t content_size(int c) { return 100u * static_cast<uint64_t>(c + 1); }

struct Pending {
    int content;
    uint64_t handle;
};

struct ModelInode {
    qnst_inoderec *n = nullptr;
    std::map<uint32_t, BlobMaps::Record> recs;  // by cver
    std::optional<Pending> pending;
};

class Model {
public:
    explicit Model(BlobMaps &m) : m_(m) {
        for (int i = 0; i < kInodes; ++i) inodes_[i].n = m.inode(0x100 + i);
    }

    void upload(int i, uint32_t ver, int c, bool with_commit) {
        ModelInode &mi = inodes_[i];
        Reconciled r = reconcile(m_, mi.n, content_hash(c), content_size(c), ver);
        ASSERT_EQ(0, r.rc);
        if (mi.pending && mi.pending->content != c) {
            EXPECT_EQ(1u, r.stale);
            EXPECT_EQ(mi.pending->handle, r.handle);
            mi.pending.reset();
            r = reconcile(m_, mi.n, content_hash(c), content_size(c), ver);
            ASSERT_EQ(0, r.rc);
        }
        EXPECT_EQ(0u, r.stale);
        if (mi.pending) {
            EXPECT_EQ(1u, r.upload);
            EXPECT_EQ(0u, r.isnew);
            EXPECT_EQ(mi.pending->handle, r.handle);
        } else if (live_.count(c)) {
            EXPECT_EQ(0u, r.upload);
            EXPECT_EQ(live_[c], r.handle);
            ++refs_[r.handle];
            replace(mi, ver, r.handle, content_size(c));
        } else {
            EXPECT_EQ(1u, r.isnew);
            mi.pending = Pending{c, r.handle};
        }
        if (with_commit && mi.pending) commit_pending(i, ver);
    }

    // Commits the inode's pending upload, perhaps versions after its reconcile; without one the
    // commit is refused.
    void commit_pending(int i, uint32_t ver) {
        ModelInode &mi = inodes_[i];
        if (!mi.pending) {
            const Bytes any = content_hash(0);
            EXPECT_EQ(ENOENT, commit(m_, mi.n, any, 1, ver).rc);
            return;
        }
        const Pending p = *mi.pending;
        const Committed cm = commit(m_, mi.n, content_hash(p.content), content_size(p.content), ver);
        ASSERT_EQ(0, cm.rc);
        EXPECT_EQ(0u, cm.stale);
        mi.pending.reset();
        if (live_.count(p.content)) {
            // Stored meanwhile by another inode: that blob is mapped, the reservation queued.
            EXPECT_EQ(live_[p.content], cm.handle);
            EXPECT_EQ(static_cast<int64_t>(content_size(p.content)), m_.queued(p.handle));
        } else {
            EXPECT_EQ(p.handle, cm.handle);
            live_[p.content] = p.handle;
        }
        ++refs_[cm.handle];
        replace(mi, ver, cm.handle, content_size(p.content));
    }

    void clear(int i, uint32_t ver) {
        ModelInode &mi = inodes_[i];
        ASSERT_EQ(0, m_.txn([&](DB_TXN *t) { return qnst_blobmap_clear(mi.n, t, ver); }));
        close_current(mi, ver, true);
        mi.pending.reset();
    }

    void purge(int i, size_t pick) {
        ModelInode &mi = inodes_[i];
        if (mi.recs.empty()) {
            ASSERT_EQ(0, m_.txn([&](DB_TXN *t) { return qnst_blobmap_purge(mi.n, t, kLive, 0); }));
            mi.pending.reset();
            return;
        }
        auto it = std::next(mi.recs.begin(), static_cast<long>(pick % mi.recs.size()));
        const uint32_t cver = it->first;
        ASSERT_EQ(0, m_.txn([&](DB_TXN *t) { return qnst_blobmap_purge(mi.n, t, cver, 0); }));
        release(it->second.handle);
        mi.recs.erase(it);
    }

    // Every inode's lookups at versions 0..last+1 and its walk agree with the model.
    void check_history(uint32_t last) {
        for (ModelInode &mi : inodes_) {
            for (uint32_t v = 0; v <= last + 1; ++v) {
                BlobMaps::Record got{};
                const int rc = m_.txn([&](DB_TXN *t) {
                    return qnst_blobmap_lookup(mi.n, t, v, &got.cver, &got.dver, &got.handle,
                                               &got.size);
                });
                const BlobMaps::Record *want = valid_at(mi, v);
                if (want) {
                    EXPECT_EQ(0, rc) << "version " << v;
                    EXPECT_EQ(*want, got) << "version " << v;
                } else {
                    EXPECT_EQ(DB_NOTFOUND, rc) << "version " << v;
                }
            }
            std::vector<BlobMaps::Record> all;
            for (const auto &[cver, r] : mi.recs) all.push_back(r);
            EXPECT_EQ(all, m_.history(mi.n, 1));
        }
        m_.env().mark_log();  // the misses above are logged
    }

    // Every stored count equals the number of version records that map the blob, recounted
    // from the records themselves.
    void check_counts() {
        std::map<uint64_t, uint32_t> recount;
        for (ModelInode &mi : inodes_)
            for (const BlobMaps::Record &r : m_.history(mi.n, 1)) ++recount[r.handle];
        std::map<uint64_t, uint32_t> stored;
        for (const auto &[h, n] : m_.store().counts()) stored[h] = n;
        EXPECT_EQ(recount, stored);
        std::map<uint64_t, uint32_t> model(refs_.begin(), refs_.end());
        EXPECT_EQ(model, stored);
        EXPECT_EQ(live_.size(), stored.size());
    }

private:
    const BlobMaps::Record *valid_at(const ModelInode &mi, uint32_t v) const {
        auto it = mi.recs.upper_bound(v);
        if (it == mi.recs.begin()) return nullptr;
        --it;
        return v < it->second.dver ? &it->second : nullptr;
    }

    void release(uint64_t handle) {
        if (--refs_[handle] != 0) return;
        refs_.erase(handle);
        for (auto it = live_.begin(); it != live_.end(); ++it)
            if (it->second == handle) {
                live_.erase(it);
                break;
            }
    }

    void close_current(ModelInode &mi, uint32_t ver, bool remove) {
        if (mi.recs.empty()) return;
        auto it = std::prev(mi.recs.end());
        if (it->second.dver != kLive) return;
        if (it->first != ver) {
            it->second.dver = ver;
            return;
        }
        const uint64_t handle = it->second.handle;
        if (remove) mi.recs.erase(it);
        release(handle);
    }

    void replace(ModelInode &mi, uint32_t ver, uint64_t handle, uint64_t size) {
        close_current(mi, ver, false);
        mi.recs[ver] = BlobMaps::Record{ver, kLive, handle, size};
    }

    BlobMaps &m_;
    ModelInode inodes_[kInodes];
    std::map<int, uint64_t> live_;       // content -> handle of its stored blob
    std::map<uint64_t, uint32_t> refs_;  // handle -> references
};

TEST(BlobMapModel, RandomHistoriesKeepLookupsAndCountsRight) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        BlobMaps m;
        Model model(m);
        std::mt19937 rng(seed);
        uint32_t ver = 2;  // a walk from version 1 lists every record
        for (int step = 0; step < kSteps && !::testing::Test::HasFatalFailure(); ++step) {
            const int i = static_cast<int>(rng() % kInodes);
            const int c = static_cast<int>(rng() % kContents);
            switch (rng() % 10) {
                case 0: case 1: case 2: case 3: model.upload(i, ver, c, true); break;
                case 4: case 5: model.upload(i, ver, c, false); break;
                case 6: model.commit_pending(i, ver); break;
                case 7: model.clear(i, ver); break;
                default: model.purge(i, rng()); break;
            }
            if (rng() % 4 == 0) {
                ++ver;
                if (ver % 16 == 0) model.check_history(ver);
            }
        }
        model.check_history(ver);
        model.check_counts();
        EXPECT_TRUE(m.env().error_lines().empty());
    }
}

}  // namespace
