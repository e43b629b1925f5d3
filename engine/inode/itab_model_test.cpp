// A long random run of allocation calls on a set of two tables, checked step by step against a
// small model of what each table must hold.
#include <gtest/gtest.h>

#include <iterator>
#include <random>

#include "inode_fixture.hpp"

namespace {

using namespace qnst::testing;
constexpr uint32_t kLive = QNST_INODE_LIVE;

struct TableModel {
    uint32_t seq = 10;
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> itab;
    std::set<uint32_t> ifree;
    std::set<uint32_t> withheld = {1, 2, 3, 4, 5, 6, 7, 8, 9};  // below seq, in neither
    int32_t nfree = -1;

    void extend(uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) ifree.insert(seq + i);
        seq += count;
    }
    void abandon_up_to(uint32_t end) {  // numbers seq..end-1 are skipped
        for (uint32_t n = seq; n < end; ++n) withheld.insert(n);
        seq = end;
    }
    void take(uint32_t n, uint32_t cver) {
        ifree.erase(n);
        withheld.erase(n);
        itab[n] = {cver, kLive};
    }
};

class ItabModelTest : public ItabmFixture {
protected:
    ItabModelTest() : ItabmFixture(2) {}

    static uint32_t number(int32_t t, uint32_t low) { return static_cast<uint32_t>(t) << 28 | low; }

    template <class C>
    typename C::value_type any_of(const C &c) {
        auto it = c.begin();
        std::advance(it, std::uniform_int_distribution<size_t>(0, c.size() - 1)(rng_));
        return *it;
    }
    uint32_t below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }

    // Every number below a table's sequence is allocated, free or withheld, exactly one of them;
    // nothing at or above it is in either database; and the tables hold what the model says.
    void check() {
        for (int32_t t = 0; t < 2; ++t) {
            const TableState s = table(t);
            const TableModel &m = model_[t];
            ASSERT_EQ(s.seq, m.seq) << "table " << t;
            ASSERT_EQ(s.itab, m.itab) << "table " << t;
            ASSERT_EQ(s.ifree, m.ifree) << "table " << t;
            for (const auto &[n, life] : s.itab) {
                ASSERT_LT(n, s.seq);
                ASSERT_EQ(0u, s.ifree.count(n) + m.withheld.count(n)) << n;
            }
            for (uint32_t n : s.ifree) {
                ASSERT_LT(n, s.seq);
                ASSERT_EQ(0u, m.withheld.count(n)) << n;
            }
            ASSERT_TRUE(m.withheld.empty() || *m.withheld.rbegin() < s.seq);
            ASSERT_EQ(s.itab.size() + s.ifree.size() + m.withheld.size(), s.seq - 1);
            ASSERT_EQ(m_.nfree[t], m.nfree);
        }
        ASSERT_EQ(m_.cursor, cursor_);
    }

public:
    // One random call each, with the model following what it must have done.
    void step_extend() {
        const uint32_t count = 1 + below(12);
        if (below(3) == 0) {  // at the cursor, only when known empty
            ASSERT_EQ(0, qnst_itabm_extend(&m_, count, 0));
            TableModel &m = model_[cursor_];
            if (m.nfree == 0) {
                m.extend(count);
                m.nfree += static_cast<int32_t>(count);
            }
            return;
        }
        const int32_t t = static_cast<int32_t>(below(2));
        ASSERT_EQ(0, qnst_itabm_extend(&m_, count, number(t, 1 + below(100))));
        model_[t].extend(count);
        model_[t].nfree += static_cast<int32_t>(count);
    }

    void step_alloc() {
        const uint32_t cver = 1 + below(20);
        uint32_t ino = 0;
        const int rc = txn([&](DB_TXN *x) { return qnst_inodem_alloc(&m_, x, cver, &ino); });
        const int32_t start = cursor_;
        cursor_ = (start + 1) % 2;
        int32_t t = -1;
        for (int32_t k = 0; k < 2 && t < 0; ++k)
            if (model_[(start + k) % 2].nfree != 0) t = (start + k) % 2;
        if (t < 0) {
            ASSERT_EQ(QNST_ENOINODE, rc);
            return;
        }
        TableModel &m = model_[t];
        if (m.ifree.empty()) {
            ASSERT_EQ(QNST_ENOINODE, rc);
            m.nfree = 0;
            return;
        }
        ASSERT_EQ(0, rc);
        const uint32_t low = *m.ifree.begin();
        ASSERT_EQ(ino, number(t, low));
        m.take(low, cver);
        --m.nfree;
    }

    void step_getalloc() {
        const int32_t t = static_cast<int32_t>(below(2));
        TableModel &m = model_[t];
        const uint32_t low = 1 + below(m.seq + 20);
        const uint32_t cver = 1 + below(20);
        uint32_t extend_by = 0;
        auto call = [&] {
            return txn([&](DB_TXN *x) {
                return qnst_inodem_getalloc(&m_, x, cver, number(t, low), &extend_by);
            });
        };
        int rc = call();
        if (low >= m.seq) {
            ASSERT_EQ(0, rc);
            ASSERT_EQ(extend_by, low - m.seq + 1);
            ASSERT_EQ(0, qnst_itabm_extend(&m_, extend_by, number(t, low)));
            m.extend(extend_by);
            m.nfree += static_cast<int32_t>(extend_by);
            rc = call();
        }
        if (m.ifree.count(low)) {
            ASSERT_EQ(0, rc);
            ASSERT_EQ(0u, extend_by);
            m.take(low, cver);
        } else {
            ASSERT_EQ(QNST_EINODEBUSY, rc);
        }
    }

    void step_pick() {
        const int32_t t = static_cast<int32_t>(below(2));
        TableModel &m = model_[t];
        // Mostly near or below the end; now and then far past it.
        const uint32_t low = below(12) == 0 ? m.seq + 1024 + below(64) : 1 + below(m.seq + 30);
        const uint32_t value = 1 + below(20);
        const int rc = txn([&](DB_TXN *x) { return qnst_inodem_pick(&m_, x, number(t, low), value); });
        cursor_ = t;
        if (auto it = m.itab.find(low); it != m.itab.end()) {
            ASSERT_EQ(0, rc);
            if (static_cast<int32_t>(it->second.second) <= static_cast<int32_t>(value))
                it->second.second = kLive;
        } else if (low < m.seq) {
            ASSERT_EQ(0, rc);
            m.take(low, value);
        } else if (low - m.seq < 1024) {
            ASSERT_EQ(QNST_ENOINODE, rc);
            m.nfree = 0;
        } else {
            ASSERT_EQ(0, rc);
            m.abandon_up_to(low + 1);
            m.take(low, value);
        }
    }

    void step_free() {
        const int32_t t = static_cast<int32_t>(below(2));
        TableModel &m = model_[t];
        if (m.itab.empty()) return;
        const uint32_t low = any_of(m.itab).first;
        const uint32_t dver = 1 + below(20);
        ASSERT_EQ(0,
                  txn([&](DB_TXN *x) { return qnst_inodem_free(&m_, x, number(t, low), dver); }));
        m.itab[low].second = dver;
    }

    void step_dealloc() {
        const int32_t t = static_cast<int32_t>(below(2));
        TableModel &m = model_[t];
        const bool present = !m.itab.empty() && below(8) != 0;
        const uint32_t low = present ? any_of(m.itab).first : 1 + below(m.seq);
        const int rc = txn([&](DB_TXN *x) { return qnst_inodem_dealloc(&m_, x, number(t, low)); });
        if (m.itab.count(low)) {
            ASSERT_EQ(0, rc);
            m.itab.erase(low);
            m.ifree.insert(low);
        } else {
            ASSERT_EQ(DB_NOTFOUND, rc);  // aborted: nothing changed
        }
    }

    void step_notfree() {
        const int32_t t = static_cast<int32_t>(below(2));
        TableModel &m = model_[t];
        const bool present = !m.ifree.empty() && below(8) != 0;
        const uint32_t low = present ? any_of(m.ifree) : 1 + below(m.seq);
        const int rc = txn([&](DB_TXN *x) { return qnst_inodem_notfree(&m_, x, number(t, low)); });
        if (m.ifree.count(low)) {
            ASSERT_EQ(0, rc);
            m.ifree.erase(low);
            m.withheld.insert(low);
        } else {
            ASSERT_EQ(DB_NOTFOUND, rc);
        }
    }

    void step_setrange() {
        const int32_t t = static_cast<int32_t>(below(2));
        TableModel &m = model_[t];
        const uint32_t low = 1 + below(m.seq + 40);
        ASSERT_EQ(0, txn([&](DB_TXN *x) { return qnst_itabm_setrange(&m_, x, number(t, low)); }));
        if (low + 1 > m.seq) m.abandon_up_to(low + 1);
    }

protected:
    void check_walk() {
        std::vector<uint32_t> want, got;
        for (int32_t t = 0; t < 2; ++t)
            for (const auto &[n, life] : model_[t].itab) want.push_back(number(t, n));
        uint32_t cursor = 0, cver = 0, dver = 0;
        do {
            ASSERT_EQ(0, txn([&](DB_TXN *x) {
                          return qnst_inodem_next(&m_, x, &cursor, &cver, &dver);
                      }));
            if (cursor) {
                got.push_back(cursor);
                const auto life = model_[cursor >> 28].itab.at(cursor & 0x0FFFFFFF);
                ASSERT_EQ(std::make_pair(cver, dver), life);
            }
        } while (cursor && got.size() <= want.size());
        ASSERT_EQ(got, want);
    }

    std::mt19937 rng_{20261210};
    TableModel model_[2];
    int32_t cursor_ = 0;
};

TEST_F(ItabModelTest, RandomOperationsKeepEveryNumberInExactlyOnePlace) {
    using Step = void (ItabModelTest::*)();
    const Step steps[] = {&ItabModelTest::step_extend,   &ItabModelTest::step_alloc,
                          &ItabModelTest::step_alloc,    &ItabModelTest::step_alloc,
                          &ItabModelTest::step_getalloc, &ItabModelTest::step_pick,
                          &ItabModelTest::step_free,     &ItabModelTest::step_dealloc,
                          &ItabModelTest::step_notfree,  &ItabModelTest::step_setrange};
    for (int i = 0; i < 1500; ++i) {
        const Step step = steps[below(std::size(steps))];
        (this->*step)();
        ASSERT_FALSE(HasFatalFailure()) << "step " << i;
        check();
        ASSERT_FALSE(HasFatalFailure()) << "step " << i;
        if (i % 100 == 99) {
            check_walk();
            ASSERT_FALSE(HasFatalFailure()) << "step " << i;
        }
    }
}

}  // namespace
