// Blob maps for tests: a temporary environment with a blob store, an inode-table set that hands
// it to its inodes, a set node that receives the usage, and raw readers of the map's records.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "blobsis_fixture.hpp"
#include "qnst_blobmap.h"
#include "qnst_inode.h"
#include "qnst_itab.h"

namespace qnst::testing {

// The three counters blob maps charge: fstotalu, stcurrentu, sttotalu.
using Charged = std::array<int64_t, 3>;

class BlobMaps {
public:
    explicit BlobMaps(EnvOptions options = {}) : env_(options), store_(env_, 4) {
        if (qnst_itabm_create(&itabm_, env_.env(), 42, nullptr, nullptr, store_.mgr(), 1) ||
            qnst_itabm_open(&itabm_, "it", 0, 1))
            throw std::runtime_error("inode tables set-up failed");
        setnode_ = inode(1, nullptr);
        if (txn([&](DB_TXN *t) {
                return qnst_inode_usage_set(setnode_, t, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
            }))
            throw std::runtime_error("usage record set-up failed");
        env_.mark_log();
    }
    ~BlobMaps() { qnst_itabm_close(&itabm_); }
    BlobMaps(const BlobMaps &) = delete;
    BlobMaps &operator=(const BlobMaps &) = delete;

    // An inode handle of number `ino` charging `setnode` (the fixture's set node by default).
    qnst_inoderec *inode(uint32_t ino, qnst_inoderec *setnode) {
        nodes_.push_back(std::make_unique<qnst_inoderec>());
        qnst_inoderec *n = nodes_.back().get();
        if (qnst_inode_open(n, &itabm_, setnode, ino)) throw std::runtime_error("inode open failed");
        return n;
    }
    qnst_inoderec *inode(uint32_t ino) { return inode(ino, setnode_); }

    TempEnv &env() { return env_; }
    BlobStore &store() { return store_; }
    qnst_blobsism *mgr() { return store_.mgr(); }
    qnst_inoderec *setnode() { return setnode_; }
    DB *inodes() { return itabm_.tables[0].inodes; }
    int txn(const std::function<int(DB_TXN *)> &body) { return with_txn(env_.dbenv(), body); }

    Charged charged(qnst_inoderec *n = nullptr) {
        int64_t v[10] = {};
        EXPECT_EQ(0, txn([&](DB_TXN *t) {
            return qnst_inode_usage_get(n ? n : setnode_, t, &v[0], &v[1], &v[2], &v[3], &v[4],
                                        &v[5], &v[6], &v[7], &v[8], &v[9]);
        }));
        return {v[3], v[5], v[7]};
    }

    // Raw records of inode `ino`: the version record made in `cver`, and the pending upload.
    std::string version_record(uint32_t ino, uint32_t cver) {
        uint8_t key[9];
        store_le32(key, ino);
        key[4] = '4';
        store_be32(key + 5, 0u - cver);
        return raw_hex(inodes(), key, sizeof key);
    }
    std::string pending_record(uint32_t ino) {
        uint8_t key[5];
        store_le32(key, ino);
        key[4] = '5';
        return raw_hex(inodes(), key, sizeof key);
    }
    // Queued size of a handle in its partition's compaction queue, or -1.
    int64_t queued(uint64_t handle) {
        const std::string raw =
            raw_hex_id(store_.part(static_cast<int32_t>(handle >> 56))->compactq,
                       handle & QNST_BLOBSISM_LOCAL_MASK);
        if (raw == "none") return -1;
        uint8_t b[8];
        for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(std::stoi(raw.substr(2 * i, 2), nullptr, 16));
        return static_cast<int64_t>(load_le64(b));
    }

    struct Record {
        uint32_t cver, dver;
        uint64_t handle, size;
        bool operator==(const Record &o) const {
            return cver == o.cver && dver == o.dver && handle == o.handle && size == o.size;
        }
    };
    // The history of an inode through the walk from `lastver`, in the order the walk gives it
    // (from 1: every record of the versions from 2 on, which the tests use).
    std::vector<Record> history(qnst_inoderec *n, uint32_t lastver = 1) {
        std::vector<Record> out;
        EXPECT_EQ(0, txn([&](DB_TXN *t) {
            out.clear();
            DBC *c = nullptr;
            Record r{};
            int rc = qnst_blobmap_walk(n, t, lastver, &c, &r.cver, &r.dver, &r.handle, &r.size);
            while (rc == 0 && r.cver) {
                out.push_back(r);
                rc = qnst_blobmap_next(n, c, &r.cver, &r.dver, &r.handle, &r.size);
            }
            qnst_blobmap_done(n, c);
            return rc;
        }));
        return out;
    }

private:
    TempEnv env_;
    BlobStore store_;
    qnst_itabmrec itabm_{};
    std::vector<std::unique_ptr<qnst_inoderec>> nodes_;
    qnst_inoderec *setnode_ = nullptr;
};

inline std::ostream &operator<<(std::ostream &os, const BlobMaps::Record &r) {
    return os << "{cver " << r.cver << ", dver " << r.dver << ", handle 0x" << std::hex << r.handle
              << std::dec << ", size " << r.size << "}";
}

// Outputs of one reconcile.
struct Reconciled {
    int rc = -1;
    uint32_t stale = 9, upload = 9, isnew = 9;
    uint64_t handle = 0;
};

inline Reconciled reconcile(BlobMaps &m, qnst_inoderec *n, const Bytes &hash, uint64_t size,
                            uint32_t ver) {
    Reconciled r;
    r.rc = m.txn([&](DB_TXN *t) {
        return qnst_blobmap_reconcile(n, t, size, hash.data(), static_cast<uint32_t>(hash.size()),
                                      ver, &r.stale, &r.upload, &r.isnew, &r.handle);
    });
    return r;
}

// Outputs of one commit; `handle` goes in as given.
struct Committed {
    int rc = -1;
    uint32_t stale = 9;
    uint64_t handle = 0;
};

inline Committed commit(BlobMaps &m, qnst_inoderec *n, const Bytes &hash, uint64_t blobsize,
                        uint32_t ver) {
    Committed c;
    c.rc = m.txn([&](DB_TXN *t) {
        return qnst_blobmap_commit(n, t, hash.data(), static_cast<uint32_t>(hash.size()), blobsize,
                                   ver, &c.stale, &c.handle);
    });
    return c;
}

}  // namespace qnst::testing
