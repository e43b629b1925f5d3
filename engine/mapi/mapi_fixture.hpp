// A mail store's inode for tests, with the stores its messages' content goes to.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "blksism_fixture.hpp"
#include "blobsis_fixture.hpp"
#include "qnst_mapi.h"

namespace qnst::testing {

constexpr uint32_t kLive = QNST_INODE_LIVE;

// A mail store's inode: a block store and a blob store in one environment, an inode-table set
// handing both to its inodes, a folder (the set node, charged with the usage) and the store's
// inode, whose own database holds the map.
class Mailbox : public ::testing::Test {
public:
    Mailbox() : blobs_(blocks_.env(), 2) {
        if (qnst_itabm_create(&m_, blocks_.env().env(), 9, nullptr, blocks_.mgr(), blobs_.mgr(),
                              1) ||
            qnst_itabm_open(&m_, "it", 0, 1))
            throw std::runtime_error("inode table set-up failed");
        open(&folder_, nullptr, 10);
        open(&box_, &folder_, 11);
        blocks_.env().mark_log();
    }
    ~Mailbox() override {
        qnst_inode_close(&box_);
        qnst_inode_close(&folder_);
        qnst_itabm_close(&m_);
    }

    void open(qnst_inoderec *inode, qnst_inoderec *setnode, uint32_t ino) {
        if (qnst_inode_open(inode, &m_, setnode, ino) || qnst_inode_init(inode, 1) ||
            txn([&](DB_TXN *t) {
                return qnst_inode_usage_set(inode, t, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
            }))
            throw std::runtime_error("inode set-up failed");
    }

    int txn(const std::function<int(DB_TXN *)> &body) { return blocks_.txn(body); }
    std::vector<std::string> log() { return blocks_.env().error_lines(); }

    int update(const std::string &k, const std::string &info, uint32_t cver,
               uint32_t dver = kLive) {
        return txn([&](DB_TXN *t) {
            return qnst_mapimsg_update(&box_, t, k.data(), static_cast<uint32_t>(k.size()),
                                       info.data(), static_cast<uint32_t>(info.size()), cver, dver);
        });
    }
    int delv(const std::string &k, uint32_t cver, uint32_t dver) {
        return txn([&](DB_TXN *t) {
            return qnst_mapimsg_delv(&box_, t, k.data(), static_cast<uint32_t>(k.size()), cver,
                                     dver);
        });
    }
    // findi: "" when nothing is live, else "<cver>/<dver>:<info>".
    std::string findi(const std::string &k, uint32_t ver, int *result = nullptr) {
        std::string out;
        const int rc = txn([&](DB_TXN *t) {
            uint32_t cver = 0, dver = 0, size = 0;
            void *buf = nullptr;
            int r = qnst_mapimsg_findi(&box_, t, k.data(), static_cast<uint32_t>(k.size()), ver,
                                       &cver, &dver, &buf, &size);
            out = r || size == 0 ? ""
                                 : std::to_string(cver) + "/" + std::to_string(dver) + ":" +
                                       std::string(static_cast<char *>(buf), size);
            qnst_mapimsg_freebuf(buf);
            return r;
        });
        if (result)
            *result = rc;
        else
            EXPECT_EQ(rc, 0);
        return out;
    }

    std::map<std::string, std::string> raw() {
        std::map<std::string, std::string> out;
        EXPECT_EQ(0, txn([&](DB_TXN *t) {
                      out.clear();
                      qnst::Cursor c;
                      if (int rc = c.open(box_.own_db, t, 0)) return rc;
                      std::vector<uint8_t> kb(2048), vb(2048);
                      DBT key = qnst::user_dbt(kb.data(), 0, 2048);
                      DBT data = qnst::user_dbt(vb.data(), 0, 2048);
                      int rc;
                      while ((rc = c->get(c.get(), &key, &data, DB_NEXT)) == 0)
                          out[hex(kb.data(), key.size)] = hex(vb.data(), data.size);
                      return rc == DB_NOTFOUND ? c.close() : rc;
                  }));
        return out;
    }

    // fstotalu, stcurrentu, sttotalu of the folder.
    std::array<int64_t, 3> usage() {
        int64_t v[10] = {};
        EXPECT_EQ(0, txn([&](DB_TXN *t) {
                      return qnst_inode_usage_get(&folder_, t, &v[0], &v[1], &v[2], &v[3], &v[4],
                                                  &v[5], &v[6], &v[7], &v[8], &v[9]);
                  }));
        return {v[3], v[5], v[7]};
    }

    BlockStore blocks_;
    BlobStore blobs_;
    qnst_itabmrec m_{};
    qnst_inoderec folder_{}, box_{};
};

}  // namespace qnst::testing
