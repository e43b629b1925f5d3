// A file with a block map for tests: a block store, an inode-table set over it, and two inodes,
// a folder (the set node, which receives the usage) and a file whose own database holds the map.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "blksism_fixture.hpp"
#include "qnst_bmap.h"
#include "qnst_inode.h"

namespace qnst::testing {

constexpr uint32_t kLive = QNST_INODE_LIVE;

// One entry of the map as the two indexes hold it.
struct MapEntry {
    uint64_t offset;
    uint32_t cver, dver, size;
    uint64_t handle;
    bool operator==(const MapEntry &) const = default;
    auto operator<=>(const MapEntry &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const MapEntry &e) {
    return os << "{off " << e.offset << " cver " << e.cver << " dver " << e.dver << " size "
              << e.size << " handle " << std::hex << e.handle << std::dec << "}";
}

class MappedFile {
public:
    explicit MappedFile(StoreOptions o = {}, uint32_t files = 1) : store_(o) {
        if (qnst_itabm_create(&m_, store_.env().env(), 7, nullptr, store_.mgr(), nullptr, 1) ||
            qnst_itabm_open(&m_, "it", 0, 1))
            throw std::runtime_error("inode table set-up failed");
        files_.resize(files);
        open(&folder_, nullptr, 10);
        for (uint32_t i = 0; i < files; ++i) open(&files_[i], &folder_, 11 + i);
        store_.env().mark_log();
    }
    ~MappedFile() {
        for (auto &f : files_) qnst_inode_close(&f);
        qnst_inode_close(&folder_);
        qnst_itabm_close(&m_);
    }
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    BlockStore &store() { return store_; }
    qnst_blksism *mgr() { return store_.mgr(); }
    DB_ENV *dbenv() { return store_.dbenv(); }
    qnst_inoderec *file(size_t i = 0) { return &files_[i]; }
    qnst_inoderec *folder() { return &folder_; }
    int txn(const std::function<int(DB_TXN *)> &body) { return store_.txn(body); }

    // The new block's road for hash number `id`: a handle, then the map's enter.
    int enter(uint64_t offset, uint32_t size, uint32_t ver, uint32_t id, uint64_t *handle = nullptr,
              size_t f = 0, uint32_t csize = 1000) {
        const Hash h = hash_of(id);
        uint64_t fresh = 0;
        EXPECT_EQ(0, qnst_sism_gen_handle(mgr(), h.data(), h.size(), &fresh));
        if (handle) *handle = fresh;
        return txn([&](DB_TXN *t) {
            return qnst_bmap_enter(file(f), t, offset, size, ver, fresh, h.data(), h.size(), 0, 1,
                                   coff_ += csize, csize);
        });
    }
    int reconcile(uint64_t offset, uint32_t size, uint32_t ver, uint32_t id, uint64_t *handle,
                  uint32_t nwopt = 0, size_t f = 0) {
        const Hash h = hash_of(id);
        return txn([&](DB_TXN *t) {
            return qnst_bmap_reconcile(file(f), t, offset, size, ver, h.data(), h.size(), handle,
                                       nwopt);
        });
    }
    int clear(uint64_t offset, uint32_t size, uint32_t ver, size_t f = 0) {
        return txn([&](DB_TXN *t) { return qnst_bmap_clear(file(f), t, offset, size, ver); });
    }
    int purge(uint64_t offset, uint32_t cver, uint32_t fsck = 0, size_t f = 0) {
        return txn([&](DB_TXN *t) { return qnst_bmap_purge(file(f), t, offset, cver, fsck); });
    }
    // The handle of the block valid at `ver` starting at `offset`, 0 when there is none.
    uint64_t lookup(uint64_t offset, uint32_t ver, size_t f = 0) {
        uint32_t size = 0, cver = 0, dver = 0;
        uint64_t handle = 0;
        const int rc = txn([&](DB_TXN *t) {
            return qnst_bmap_lookup(file(f), t, offset, ver, &size, &cver, &dver, &handle);
        });
        EXPECT_TRUE(rc == 0 || rc == DB_NOTFOUND) << rc;
        return rc ? 0 : handle;
    }

    static Hash hash_of(uint32_t id) { return make_hash(id, static_cast<uint8_t>(id * 37)); }

    // Every record of the file's own database, raw.
    std::map<std::vector<uint8_t>, std::vector<uint8_t>> raw_bytes(size_t f = 0) {
        std::map<std::vector<uint8_t>, std::vector<uint8_t>> out;
        EXPECT_EQ(0, txn([&](DB_TXN *t) {
                      out.clear();
                      Cursor c;
                      if (int rc = c.open(file(f)->own_db, t, 0)) return rc;
                      uint8_t kb[64], vb[64];
                      DBT key = user_dbt(kb, 0, sizeof kb);
                      DBT data = user_dbt(vb, 0, sizeof vb);
                      int rc;
                      while ((rc = c->get(c.get(), &key, &data, DB_NEXT)) == 0)
                          out[{kb, kb + key.size}] = {vb, vb + data.size};
                      return rc == DB_NOTFOUND ? c.close() : rc;
                  }));
        return out;
    }
    std::map<std::string, std::string> raw(size_t f = 0) {
        std::map<std::string, std::string> out;
        for (auto &[k, v] : raw_bytes(f)) out[hex(k.data(), k.size())] = hex(v.data(), v.size());
        return out;
    }

    // The map read through the offset entries, each checked against its version entry.
    std::vector<MapEntry> entries(size_t f = 0) {
        std::vector<MapEntry> out;
        std::map<std::pair<uint32_t, uint64_t>, uint32_t> vents;  // (cver, offset) -> dver
        for (auto &[k, v] : raw_bytes(f)) {
            EXPECT_EQ(k.size(), 13u);
            if (k[0] == '0') {
                EXPECT_EQ(v.size(), 4u);
                vents[{load_neg_version(k.data() + 1), load_be64(k.data() + 5)}] =
                    load_le32(v.data());
                continue;
            }
            EXPECT_EQ(k[0], '1');
            EXPECT_EQ(v.size(), 16u);
            out.push_back({load_be64(k.data() + 1), load_neg_version(k.data() + 9),
                           load_le32(v.data()), load_le32(v.data() + 4), load_le64(v.data() + 8)});
        }
        for (const MapEntry &e : out) {
            uint32_t dver = 0;
            EXPECT_EQ(0, txn([&](DB_TXN *t) {
                          return qnst_bmap_get_vent(file(f), t, e.cver, e.offset, &dver);
                      })) << e;
            EXPECT_EQ(dver, e.dver) << e;
        }
        EXPECT_EQ(vents.size(), out.size()) << "every version entry has its offset entry";
        return out;
    }

    // The set node's fstotalu, stcurrentu and sttotalu.
    std::tuple<int64_t, int64_t, int64_t> usage() {
        int64_t v[10] = {};
        EXPECT_EQ(0, txn([&](DB_TXN *t) {
                      return qnst_inode_usage_get(folder(), t, &v[0], &v[1], &v[2], &v[3], &v[4],
                                                  &v[5], &v[6], &v[7], &v[8], &v[9]);
                  }));
        return {v[3], v[5], v[7]};
    }

private:
    void open(qnst_inoderec *inode, qnst_inoderec *setnode, uint32_t ino) {
        if (qnst_inode_open(inode, &m_, setnode, ino) || qnst_inode_init(inode, 1) ||
            txn([&](DB_TXN *t) {
                return qnst_inode_usage_set(inode, t, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
            }))
            throw std::runtime_error("inode set-up failed");
    }

    BlockStore store_;
    qnst_itabmrec m_{};
    qnst_inoderec folder_{};
    std::vector<qnst_inoderec> files_;
    uint64_t coff_ = 0;
};

}  // namespace qnst::testing
