// Fast files: record layout and padding checked on the raw file bytes, reading back, the
// usable-part scan, and corrupt or cut-off files.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "qnst_fastfile.h"
#include "qnst_testing.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

struct Closer {
    void operator()(qnst_fastfile *h) const { qnst_fastfile_close(h); }
};
using Handle = std::unique_ptr<qnst_fastfile, Closer>;

Handle make(uint32_t dwsize, uint32_t lazy = 0) {
    qnst_fastfile *h = nullptr;
    EXPECT_EQ(0, qnst_fastfile_create(&h, dwsize, lazy));
    return Handle(h);
}

Bytes read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

uint32_t le32(const Bytes &b, size_t at) {
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
uint64_t le64(const Bytes &b, size_t at) {
    uint64_t v;
    std::memcpy(&v, b.data() + at, 8);
    return v;
}

Bytes blob_header(int32_t n, uint64_t offset, uint32_t size) {
    Bytes b(16);
    std::memcpy(b.data(), &n, 4);
    std::memcpy(b.data() + 4, &offset, 8);
    std::memcpy(b.data() + 12, &size, 4);
    return b;
}

bool all_zero(const Bytes &b, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
        if (b[i]) return false;
    return true;
}

struct BlockRecord {
    uint64_t data_pos;
    uint64_t bhandle;
    Bytes data;
    bool operator==(const BlockRecord &) const = default;
};

// Walks a file of block records the way a reader of data files does: a zero word sends it to the
// next sector; anything else must be a whole block record.
std::vector<BlockRecord> walk_blocks(const Bytes &file) {
    std::vector<BlockRecord> out;
    size_t pos = 0;
    while (pos + 4 <= file.size()) {
        if (le32(file, pos) == 0) {
            pos = (pos + 4 + 511) / 512 * 512;
            continue;
        }
        EXPECT_EQ(0, std::memcmp(file.data() + pos, "qnst", 4)) << "at " << pos;
        if (std::memcmp(file.data() + pos, "qnst", 4) != 0 || pos + 16 > file.size()) break;
        uint32_t n = le32(file, pos + 12);
        EXPECT_LE(pos + 16 + n, file.size());
        if (pos + 16 + n > file.size()) break;
        out.push_back({pos + 16, le64(file, pos + 4),
                       Bytes(file.begin() + static_cast<long>(pos + 16),
                             file.begin() + static_cast<long>(pos + 16 + n))});
        pos += 16 + n;
    }
    return out;
}

class FastFile : public ::testing::Test {
protected:
    qnst::testing::TempDir dir;
    std::string path = dir.file("data.ff");
};

TEST_F(FastFile, BlockRecordIsHeaderThenDataAndFlushPadsToASector) {
    Handle h = make(4096);
    ASSERT_EQ(0, qnst_fastfile_open(h.get(), QNST_FASTFILE_OPEN_WRITE, path.c_str(), 0, 0));
    Bytes data = pattern(100, 1);
    uint64_t offset = 99;
    uint32_t pending = 99;
    ASSERT_EQ(0, qnst_fastfile_newblk(h.get(), data.data(), 100, 0x1122334455667788ull, &offset,
                                   &pending));
    EXPECT_EQ(16u, offset);
    EXPECT_EQ(0u, pending);
    EXPECT_EQ(116, h->used);
    EXPECT_TRUE(read_file(path).empty()) << "nothing is written before a flush";

    uint64_t end = 0;
    ASSERT_EQ(0, qnst_fastfile_flush(h.get(), &end));
    EXPECT_EQ(512u, end);
    EXPECT_EQ(512u, h->position);
    EXPECT_EQ(0, h->used);
    Bytes file = read_file(path);
    ASSERT_EQ(512u, file.size());
    Bytes header = {'q', 'n', 's', 't', 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 100, 0, 0, 0};
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 16), header);
    EXPECT_EQ(Bytes(file.begin() + 16, file.begin() + 116), data);
    EXPECT_TRUE(all_zero(file, 116, 512));

    // An empty buffer writes nothing and reports the position.
    ASSERT_EQ(0, qnst_fastfile_flush(h.get(), &end));
    EXPECT_EQ(512u, end);
    EXPECT_EQ(512u, read_file(path).size());
}

// A fill level of 510 leaves only 2 zero bytes before the sector end: a whole zero sector follows,
// in the same write when the buffer has room, else in a second one. The file is the same.
TEST_F(FastFile, ShortPaddingAddsAZeroSector) {
    struct Case {
        uint32_t dwsize;
        int32_t fill;
        uint64_t end;
    };
    for (Case c : {Case{512, 510, 1024}, Case{600, 510, 1024}, Case{1024, 510, 1024},
                   Case{4096, 510, 1024}, Case{4096, 509, 1024}, Case{4096, 508, 512},
                   Case{4096, 1534, 2048}, Case{1536, 1534, 2048}}) {
        SCOPED_TRACE("dwsize " + std::to_string(c.dwsize) + " fill " + std::to_string(c.fill));
        qnst_fastfile_delete(path.c_str());
        Handle h = make(c.dwsize);
        ASSERT_EQ(0, qnst_fastfile_open(h.get(), 2, path.c_str(), 0, 0));
        Bytes data = pattern(static_cast<size_t>(c.fill - 16), 3);
        uint32_t pending = 0;
        ASSERT_EQ(0, qnst_fastfile_blobwrite(h.get(), data.data(), c.fill - 16, 0, 0, &pending));
        uint64_t end = 0;
        ASSERT_EQ(0, qnst_fastfile_flush(h.get(), &end));
        EXPECT_EQ(end, c.end);
        EXPECT_EQ(h->position, c.end);
        EXPECT_EQ(0, h->used);
        Bytes file = read_file(path);
        ASSERT_EQ(file.size(), c.end);
        EXPECT_EQ(Bytes(file.begin() + 16, file.begin() + c.fill), data);
        EXPECT_TRUE(all_zero(file, static_cast<size_t>(c.fill), file.size()));
    }
}

TEST_F(FastFile, BlobRecordsReadBackAcrossPadding) {
    Handle w = make(2048);
    ASSERT_EQ(0, qnst_fastfile_open(w.get(), 2, path.c_str(), 0, 0));
    struct Part {
        Bytes data;
        uint64_t offset;
        uint32_t size;
    };
    // The second part ends 2 bytes before a sector end, so a zero sector follows it.
    std::vector<Part> parts = {{pattern(100, 1), 0, 100},
                               {pattern(30, 2), 100, 30},
                               {pattern(494 - 46, 3), 130, 448},
                               {pattern(20, 4), 578, 20}};
    uint64_t end = 0;
    uint32_t pending = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        const Part &p = parts[i];
        ASSERT_EQ(0,
                  qnst_fastfile_blobwrite(w.get(), p.data.data(),
                                          static_cast<int32_t>(p.data.size()), p.offset, p.size,
                                          &pending));
        if (i != 1) {
            ASSERT_EQ(0, qnst_fastfile_flush(w.get(), &end));
        }
    }
    EXPECT_EQ(end, 512u + 1024u + 512u);

    Handle r = make(2048);
    ASSERT_EQ(0, qnst_fastfile_open(r.get(), QNST_FASTFILE_OPEN_READ, path.c_str(), 0, 0));
    std::vector<uint64_t> nexts;
    for (const Part &p : parts) {
        const void *data = nullptr;
        uint32_t length = 0, size = 0;
        uint64_t offset = 0, next = 0;
        ASSERT_EQ(0, qnst_fastfile_blobread(r.get(), &data, &length, &offset, &size, &next));
        auto *bytes = static_cast<const uint8_t *>(data);
        EXPECT_EQ(Bytes(bytes, bytes + length), p.data);
        EXPECT_EQ(offset, p.offset);
        EXPECT_EQ(size, p.size);
        EXPECT_EQ(next, r->position);
        nexts.push_back(next);
    }
    EXPECT_EQ(nexts, (std::vector<uint64_t>{116, 512 + 46, 512 + 510, 1536 + 36}));
    const void *data = nullptr;
    uint32_t length = 0, size = 0;
    uint64_t offset = 0, next = 0;
    EXPECT_EQ(EIO, qnst_fastfile_blobread(r.get(), &data, &length, &offset, &size, &next))
        << "the end of the records";
    EXPECT_EQ(r->position, 1536u + 36u);

    uint64_t last_offset = 1, last_pos = 1;
    EXPECT_EQ(0, qnst_fastfile_bpartsize(r.get(), &last_offset, &last_pos));
    EXPECT_EQ(578u, last_offset);
    EXPECT_EQ(1536u, last_pos);
}

TEST_F(FastFile, OpenForWritingZeroesTheGapAfterTheValidData) {
    struct Case {
        size_t file_len;
        uint64_t foff;
        int64_t padoff;
        int rc;
        size_t zero_from, zero_to;  // bytes expected zero afterwards; the rest keep 0xab
    };
    for (Case c : {Case{1024, 1024, 700, 0, 700, 1024}, Case{1024, 1024, 1024, 0, 0, 0},
                   Case{1024, 1024, 2000, 0, 0, 0}, Case{2048, 2048, 1024, 0, 1024, 2048},
                   Case{700, 1536, 600, 0, 600, 1536}, Case{1024, 1536, 1000, 0, 1000, 1536},
                   Case{1024, 2048, 0, EIO, 0, 0}, Case{1024, 2048, 1023, EIO, 0, 0},
                   Case{1024, 1000, 700, EIO, 0, 0}, Case{1024, 1024, -1, EIO, 0, 0},
                   Case{600, 1024, 700, EIO, 0, 0}}) {
        SCOPED_TRACE("foff " + std::to_string(c.foff) + " padoff " + std::to_string(c.padoff));
        write_file(path, Bytes(c.file_len, 0xab));
        Handle h = make(4096);
        EXPECT_EQ(qnst_fastfile_open(h.get(), 2, path.c_str(), c.foff, c.padoff), c.rc);
        Bytes file = read_file(path);
        if (c.rc) {
            EXPECT_EQ(-1, h->file) << "no file stays open after a failure";
            EXPECT_EQ(file, Bytes(c.file_len, 0xab));
            continue;
        }
        EXPECT_EQ(h->position, c.foff);
        ASSERT_EQ(file.size(), std::max(c.file_len, c.zero_to));
        for (size_t i = 0; i < file.size(); ++i) {
            bool zero = i >= c.zero_from && i < c.zero_to;
            ASSERT_EQ(file[i], zero ? 0 : 0xab) << "byte " << i;
        }
    }
}

TEST_F(FastFile, LazyHandleCollectsRecordsAndReportsWhenFull) {
    Handle h = make(1024, 1);
    Bytes a = pattern(100, 1), big = pattern(1009, 2), b = pattern(900, 3);
    uint64_t offset = 0;
    uint32_t pending = 0;
    ASSERT_EQ(0, qnst_fastfile_newblk(h.get(), a.data(), 100, 7, &offset, &pending));
    EXPECT_EQ(16u, offset) << "the data's place in the buffer";
    EXPECT_EQ(0u, pending);
    EXPECT_EQ(EINVAL, qnst_fastfile_newblk(h.get(), big.data(), 1009, 8, &offset, &pending))
        << "a record larger than the buffer can never fit";
    ASSERT_EQ(0, qnst_fastfile_newblk(h.get(), b.data(), 900, 9, &offset, &pending));
    EXPECT_EQ(116u, pending);
    ASSERT_EQ(0, qnst_fastfile_blobwrite(h.get(), b.data(), 900, 0, 900, &pending));
    EXPECT_EQ(116u, pending);
    EXPECT_EQ(116, h->used);
    EXPECT_FALSE(std::filesystem::exists(path));

    uint64_t end = 0;
    EXPECT_EQ(EINVAL, qnst_fastfile_flush(h.get(), &end)) << "no file to write to";
    ASSERT_EQ(0, qnst_fastfile_open(h.get(), 2, path.c_str(), 512, 512));
    ASSERT_EQ(0, qnst_fastfile_flush(h.get(), &end));
    EXPECT_EQ(1024u, end);
    EXPECT_EQ(walk_blocks(read_file(path)), (std::vector<BlockRecord>{{512 + 16, 7, a}}));
}

// Only a full lazy buffer writes the pending output of a blob record; a caller's value survives
// every other call, also one that writes a full buffer out or fails.
TEST_F(FastFile, BlobWriteSetsPendingOnlyWhenALazyBufferIsFull) {
    Bytes d = pattern(400, 1);
    uint32_t pending = 77;
    Handle lazy = make(1024, 1);
    ASSERT_EQ(0, qnst_fastfile_blobwrite(lazy.get(), d.data(), 400, 0, 400, &pending));
    EXPECT_EQ(77u, pending);
    ASSERT_EQ(0, qnst_fastfile_blobwrite(lazy.get(), d.data(), 400, 400, 400, &pending));
    EXPECT_EQ(77u, pending);
    ASSERT_EQ(0, qnst_fastfile_blobwrite(lazy.get(), d.data(), 400, 800, 400, &pending));
    EXPECT_EQ(832u, pending) << "full: the fill level";
    EXPECT_EQ(832, lazy->used);

    Handle h = make(1024);
    ASSERT_EQ(0, qnst_fastfile_open(h.get(), 2, path.c_str(), 0, 0));
    for (uint64_t part = 0; part < 3; ++part) {
        pending = 77;
        ASSERT_EQ(0, qnst_fastfile_blobwrite(h.get(), d.data(), 400, part * 400, 400, &pending));
        EXPECT_EQ(77u, pending) << "part " << part;
    }
    EXPECT_EQ(1024u, h->position) << "the third part wrote the first two out";
    EXPECT_EQ(EINVAL, qnst_fastfile_blobwrite(h.get(), d.data(), 1009, 0, 0, &pending));
    EXPECT_EQ(77u, pending);
}

// Records of random sizes, some far larger than the buffer, with flushes at random points: every
// offset output is where the data is, and a reader walking the file finds every record in order.
TEST_F(FastFile, EveryBlockOffsetIsTheDataPositionInTheFile) {
    // A buffer below one sector (0 too) still holds a whole sector, through which every record
    // then streams.
    for (uint32_t dwsize : {0u, 600u, 1024u, 4096u}) {
        SCOPED_TRACE("dwsize " + std::to_string(dwsize));
        qnst_fastfile_delete(path.c_str());
        Handle h = make(dwsize);
        ASSERT_EQ(0, qnst_fastfile_open(h.get(), 2, path.c_str(), 0, 0));
        std::mt19937 rng(dwsize);
        std::vector<BlockRecord> expected;
        std::vector<uint8_t> source(20000 + 1);
        for (int i = 0; i < 60; ++i) {
            size_t n = rng() % 4 == 0 ? rng() % 12000 : rng() % 600;
            // Unaligned on purpose: the data of a large record is written from the caller's memory.
            uint8_t *data = source.data() + 1;
            for (size_t k = 0; k < n; ++k) data[k] = static_cast<uint8_t>(rng());
            uint64_t offset = 0;
            uint32_t pending = 0;
            ASSERT_EQ(0, qnst_fastfile_newblk(h.get(), data, static_cast<int32_t>(n), 1000 + i,
                                           &offset, &pending));
            expected.push_back({offset, 1000u + i, Bytes(data, data + n)});
            uint64_t end = 0;
            if (rng() % 5 == 0) {
                ASSERT_EQ(0, qnst_fastfile_flush(h.get(), &end));
            }
        }
        uint64_t end = 0;
        ASSERT_EQ(0, qnst_fastfile_flush(h.get(), &end));
        Bytes file = read_file(path);
        EXPECT_EQ(file.size(), end);
        EXPECT_EQ(walk_blocks(file), expected);
    }
}

// The usable part of a blob is the chain of contiguous parts that starts at object offset 0.
TEST_F(FastFile, UsablePartIsTheContiguousChainFromOffsetZero) {
    struct Rec {
        uint64_t offset;
        uint32_t size;
        int32_t n;
    };
    auto build = [](std::vector<Rec> recs) {
        Bytes file;
        std::vector<uint64_t> pos;
        for (Rec r : recs) {
            pos.push_back(file.size());
            Bytes h = blob_header(r.n, r.offset, r.size);
            file.insert(file.end(), h.begin(), h.end());
            Bytes d = pattern(static_cast<size_t>(std::max(r.n, 0)), 9);
            file.insert(file.end(), d.begin(), d.end());
        }
        return std::make_pair(file, pos);
    };
    struct Case {
        const char *name;
        std::vector<Rec> recs;
        size_t cut;          // bytes to drop from the end of the file
        int last;            // index of the last accepted record, -1 for none
    };
    std::vector<Case> cases = {
        {"chain", {{0, 100, 100}, {100, 50, 50}, {150, 10, 10}}, 0, 2},
        {"parts before offset 0 and gaps are passed over",
         {{40, 10, 10}, {0, 100, 100}, {120, 5, 5}, {100, 20, 20}, {100, 20, 20}}, 0, 3},
        {"cut in the data of the last record", {{0, 100, 100}, {100, 50, 50}}, 10, 0},
        {"cut in the header of the last record", {{0, 100, 100}, {100, 50, 50}}, 50 + 6, 0},
        {"cut after the length word", {{0, 100, 100}, {100, 50, 50}}, 50 + 12, 0},
        {"negative length stops", {{0, 100, 100}, {100, 50, -5}, {150, 5, 5}}, 0, 0},
        {"length above the buffer stops", {{0, 100, 100}, {100, 5000, 5000}}, 0, 0},
        {"no part at offset 0", {{10, 100, 100}, {110, 50, 50}}, 0, -1},
        {"empty file", {}, 0, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto [file, pos] = build(c.recs);
        file.resize(file.size() - c.cut);
        write_file(path, file);
        Handle h = make(4096);
        ASSERT_EQ(0, qnst_fastfile_open(h.get(), 1, path.c_str(), 0, 0));
        uint64_t last_offset = 77, last_pos = 77;
        ASSERT_EQ(0, qnst_fastfile_bpartsize(h.get(), &last_offset, &last_pos));
        EXPECT_EQ(last_offset, c.last < 0 ? 0 : c.recs[static_cast<size_t>(c.last)].offset);
        EXPECT_EQ(last_pos, c.last < 0 ? 0 : pos[static_cast<size_t>(c.last)]);
        EXPECT_EQ(0u, h->position);
    }
}

TEST_F(FastFile, CorruptBlobFilesGiveErrorsAndKeepThePosition) {
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    struct Case {
        const char *name;
        Bytes file;
        int rc;
    };
    const Bytes header8 = blob_header(8, 0, 0);
    std::vector<Case> cases = {
        {"negative length", cat({blob_header(-16, 0, 0), pattern(64, 1)}), EINVAL},
        {"length above dwsize", cat({blob_header(1025, 0, 0), pattern(1100, 1)}), EINVAL},
        {"length of the whole int range", cat({blob_header(INT32_MAX, 0, 0), pattern(64, 1)}), EINVAL},
        {"truncated header", Bytes(header8.begin(), header8.begin() + 10), EIO},
        {"data cut short", cat({blob_header(100, 0, 0), pattern(99, 1)}), EIO},
        {"two zero words", Bytes(1024, 0), EIO},
        {"zero word then a cut sector", cat({Bytes(512, 0), Bytes(3, 1)}), EIO},
        {"empty file", {}, EIO},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        write_file(path, c.file);
        Handle h = make(1024);
        ASSERT_EQ(0, qnst_fastfile_open(h.get(), 1, path.c_str(), 0, 0));
        const void *data = nullptr;
        uint32_t length = 0, size = 0;
        uint64_t offset = 0, next = 0;
        EXPECT_EQ(qnst_fastfile_blobread(h.get(), &data, &length, &offset, &size, &next), c.rc);
        EXPECT_EQ(0u, h->position);
        EXPECT_EQ(nullptr, data);
        uint64_t last_offset = 1, last_pos = 1;
        EXPECT_EQ(0, qnst_fastfile_bpartsize(h.get(), &last_offset, &last_pos));
        EXPECT_EQ(0u, last_offset);
        EXPECT_EQ(0u, last_pos);
    }

    // Random bytes: reading stops with an error, never past the file or the buffer.
    std::mt19937 rng(42);
    for (int round = 0; round < 20; ++round) {
        Bytes file(rng() % 5000);
        for (auto &b : file) b = static_cast<uint8_t>(rng() % 4 == 0 ? 0 : rng());
        write_file(path, file);
        Handle h = make(static_cast<uint32_t>(rng() % 3000));
        ASSERT_EQ(0, qnst_fastfile_open(h.get(), 1, path.c_str(), 0, 0));
        const void *data = nullptr;
        uint32_t length = 0, size = 0;
        uint64_t offset = 0, next = 0;
        int rc = 0;
        while ((rc = qnst_fastfile_blobread(h.get(), &data, &length, &offset, &size, &next)) == 0) {
            ASSERT_LE(next, file.size());
            ASSERT_LE(length, static_cast<uint32_t>(h->dwsize));
        }
        EXPECT_TRUE(rc == EIO || rc == EINVAL) << rc;
        uint64_t last_offset = 0, last_pos = 0;
        EXPECT_EQ(0, qnst_fastfile_bpartsize(h.get(), &last_offset, &last_pos));
        EXPECT_LE(last_pos + 16, std::max<uint64_t>(file.size(), 16));
    }
}

TEST_F(FastFile, FailedWritesKeepTheBufferedRecords) {
    // A handle opened for reading cannot write: its writes fail with the system's error.
    write_file(path, {});
    Handle h = make(1024);
    ASSERT_EQ(0, qnst_fastfile_open(h.get(), 1, path.c_str(), 0, 0));

    // A block record larger than the buffer that cannot be written is dropped whole.
    Bytes big = pattern(3000, 2);
    uint64_t offset = 0, end = 0;
    uint32_t pending = 0;
    EXPECT_EQ(EBADF, qnst_fastfile_newblk(h.get(), big.data(), 3000, 5, &offset, &pending));
    EXPECT_EQ(0, h->used);
    EXPECT_EQ(0u, h->position);

    Bytes a = pattern(494, 1);
    ASSERT_EQ(0, qnst_fastfile_blobwrite(h.get(), a.data(), 494, 0, 494, &pending));
    EXPECT_EQ(EBADF, qnst_fastfile_flush(h.get(), &end));
    EXPECT_EQ(510, h->used) << "the padding goes again, the record stays";
    EXPECT_EQ(0u, h->position);
    EXPECT_EQ(EBADF, qnst_fastfile_newblk(h.get(), big.data(), 3000, 5, &offset, &pending));
    EXPECT_EQ(510u, pending);
    EXPECT_EQ(510, h->used);

    // Written on through a handle that can write, the buffered record comes out intact.
    ASSERT_EQ(0, qnst_fastfile_open(h.get(), 2, path.c_str(), 0, 0));
    ASSERT_EQ(0, qnst_fastfile_newblk(h.get(), big.data(), 3000, 5, &offset, &pending));
    EXPECT_EQ(offset, 1024u + 16u);
    ASSERT_EQ(0, qnst_fastfile_flush(h.get(), &end));
    Bytes file = read_file(path);
    ASSERT_EQ(file.size(), end);
    EXPECT_EQ(Bytes(file.begin() + 16, file.begin() + 510), a);
    EXPECT_TRUE(all_zero(file, 510, 1024));
    EXPECT_EQ(walk_blocks(Bytes(file.begin() + 1024, file.end())),
              (std::vector<BlockRecord>{{16, 5, big}}));
}

// Limits the size of the files this process writes, so that a write at or past `bytes` fails
// with EFBIG while the ones before it succeed; restores the limit when it goes.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old_);
        rlimit lim = old_;
        lim.rlim_cur = bytes;
        EXPECT_EQ(0, setrlimit(RLIMIT_FSIZE, &lim));
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, old_handler_);
    }

private:
    rlimit old_{};
    void (*old_handler_)(int) = nullptr;
};

// Writes that fail after others went through: a trailing zero sector that could not be written
// stays in front of the next records, and a large block record that fails part way is dropped
// while the records before it stay where their offsets say.
TEST_F(FastFile, WritesFailingPartWayLeaveAReadableFile) {
    {
        Handle h = make(512);
        ASSERT_EQ(0, qnst_fastfile_open(h.get(), 2, path.c_str(), 0, 0));
        Bytes a = pattern(494, 1), b = pattern(20, 2);
        uint32_t pending = 0;
        uint64_t end = 0;
        ASSERT_EQ(0, qnst_fastfile_blobwrite(h.get(), a.data(), 494, 0, 494, &pending));
        {
            FileSizeLimit limit(512);
            EXPECT_EQ(EFBIG, qnst_fastfile_flush(h.get(), &end));
            EXPECT_EQ(512u, h->position) << "the records went out";
            EXPECT_EQ(512, h->used) << "the zero sector waits in the buffer";
            EXPECT_EQ(EFBIG, qnst_fastfile_blobwrite(h.get(), b.data(), 20, 494, 20, &pending));
        }
        ASSERT_EQ(0, qnst_fastfile_blobwrite(h.get(), b.data(), 20, 494, 20, &pending));
        ASSERT_EQ(0, qnst_fastfile_flush(h.get(), &end));
        EXPECT_EQ(1536u, end);

        Handle r = make(512);
        ASSERT_EQ(0, qnst_fastfile_open(r.get(), 1, path.c_str(), 0, 0));
        for (const Bytes *want : {&a, &b}) {
            const void *data = nullptr;
            uint32_t length = 0, size = 0;
            uint64_t offset = 0, next = 0;
            ASSERT_EQ(0, qnst_fastfile_blobread(r.get(), &data, &length, &offset, &size, &next));
            auto *bytes = static_cast<const uint8_t *>(data);
            EXPECT_EQ(Bytes(bytes, bytes + length), *want);
        }
    }
    {
        ASSERT_EQ(0, qnst_fastfile_delete(path.c_str()));
        Handle h = make(1024);
        ASSERT_EQ(0, qnst_fastfile_open(h.get(), 2, path.c_str(), 0, 0));
        Bytes a = pattern(100, 3), big = pattern(3000, 4), c = pattern(200, 5);
        uint64_t offset = 0, end = 0;
        uint32_t pending = 0;
        ASSERT_EQ(0, qnst_fastfile_newblk(h.get(), a.data(), 100, 1, &offset, &pending));
        {
            FileSizeLimit limit(1536);  // a's sector and one load of the large record fit
            EXPECT_EQ(EFBIG, qnst_fastfile_newblk(h.get(), big.data(), 3000, 2, &offset, &pending));
            EXPECT_EQ(512u, h->position);
            EXPECT_EQ(0, h->used);
        }
        ASSERT_EQ(0, qnst_fastfile_newblk(h.get(), c.data(), 200, 3, &offset, &pending));
        EXPECT_EQ(offset, 512u + 16u);
        ASSERT_EQ(0, qnst_fastfile_flush(h.get(), &end));
        Bytes file = read_file(path);
        ASSERT_GE(file.size(), end);
        EXPECT_EQ(walk_blocks(Bytes(file.begin(), file.begin() + static_cast<long>(end))),
                  (std::vector<BlockRecord>{{16, 1, a}, {512 + 16, 3, c}}));
    }
}

TEST_F(FastFile, BadArgumentsAreRefused) {
    qnst_fastfile *raw = reinterpret_cast<qnst_fastfile *>(&raw);
    EXPECT_EQ(EINVAL, qnst_fastfile_create(&raw, 0x7ffffe01u, 0));
    EXPECT_EQ(nullptr, raw);
    EXPECT_EQ(EINVAL, qnst_fastfile_create(nullptr, 512, 0));
    EXPECT_EQ(0, qnst_fastfile_close(nullptr));

    Handle h = make(1024);
    Bytes d = pattern(10, 1);
    uint64_t offset = 0, end = 0;
    uint32_t pending = 0;
    EXPECT_EQ(EINVAL, qnst_fastfile_newblk(h.get(), d.data(), -1, 1, &offset, &pending));
    EXPECT_EQ(EINVAL, qnst_fastfile_newblk(h.get(), nullptr, 10, 1, &offset, &pending));
    EXPECT_EQ(EINVAL, qnst_fastfile_newblk(h.get(), d.data(), 2000, 1, &offset, &pending))
        << "no file to write a large record to";
    EXPECT_EQ(EINVAL, qnst_fastfile_blobwrite(h.get(), d.data(), 0, 0, 0, &pending))
        << "a zero length would read as padding";
    EXPECT_EQ(EINVAL, qnst_fastfile_blobwrite(h.get(), d.data(), 1009, 0, 0, &pending));
    EXPECT_EQ(0, qnst_fastfile_flush(h.get(), &end)) << "an empty buffer needs no file";
    EXPECT_EQ(0, h->used);
    const void *data = nullptr;
    uint32_t length = 0, size = 0;
    EXPECT_EQ(EINVAL, qnst_fastfile_blobread(h.get(), &data, &length, &offset, &size, &end));

    // Reading at an offset that is not a sector boundary is fine; writing from there is not.
    write_file(path, Bytes(1024, 0));
    ASSERT_EQ(0, qnst_fastfile_open(h.get(), 1, path.c_str(), 100, 0));
    ASSERT_EQ(0, qnst_fastfile_blobwrite(h.get(), d.data(), 10, 0, 0, &pending));
    EXPECT_EQ(EIO, qnst_fastfile_flush(h.get(), &end));
    EXPECT_EQ(EINVAL, qnst_fastfile_blobread(h.get(), &data, &length, &offset, &size, &end))
        << "reading would overwrite the buffered record";
}

TEST_F(FastFile, NamesAndDeletion) {
    Handle h = make(512);
    EXPECT_EQ(ENOENT, qnst_fastfile_open(h.get(), 1, path.c_str(), 0, 0));
    EXPECT_EQ(0, qnst_fastfile_delete(path.c_str())) << "a missing file is no failure";
    ASSERT_EQ(0, qnst_fastfile_open(h.get(), 2, path.c_str(), 0, 0));
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(0, qnst_fastfile_delete(path.c_str()));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(-1, qnst_fastfile_delete(dir.path().c_str())) << "a directory is not a fast file";
    EXPECT_EQ(ENOENT, qnst_fastfile_open(h.get(), 1, dir.path().c_str(), 0, 0));
    EXPECT_EQ(ENOENT, qnst_fastfile_open(h.get(), 2, dir.path().c_str(), 0, 0));
    EXPECT_EQ(-1, h->file);

    std::string utf8 = dir.file("d\xc3\xa9j\xc3\xa0-\xf0\x9f\x92\xbe.ff");
    ASSERT_EQ(0, qnst_fastfile_open(h.get(), 2, utf8.c_str(), 0, 0));
    EXPECT_TRUE(std::filesystem::exists(utf8));
    EXPECT_EQ(0, qnst_fastfile_delete(utf8.c_str()));

    std::string four_byte_chars;
    for (int i = 0; i < 2047; ++i) four_byte_chars += "\xf0\x9f\x92\xbe";  // 2 UTF-16 units each
    struct Case {
        std::string name;
        int open_rc, delete_rc;
    };
    for (const Case &c : {
             Case{dir.file("bad\xff.ff"), ENOMEM, ENOMEM},
             Case{dir.file("overlong\xc0\xaf.ff"), ENOMEM, ENOMEM},
             Case{dir.file("surrogate\xed\xa0\x80.ff"), ENOMEM, ENOMEM},
             Case{dir.file("cut\xe2\x82"), ENOMEM, ENOMEM},
             Case{std::string(4095, 'a'), ENOENT, 0},  // converts; too long for the system
             Case{std::string(4096, 'a'), ENOMEM, ENOMEM},
             Case{four_byte_chars + "a", ENOENT, 0},
             Case{four_byte_chars + "\xf0\x9f\x92\xbe", ENOMEM, ENOMEM},
         }) {
        SCOPED_TRACE(c.name.substr(0, 60));
        EXPECT_EQ(qnst_fastfile_open(h.get(), 1, c.name.c_str(), 0, 0), c.open_rc);
        EXPECT_EQ(-1, h->file);
        if (c.delete_rc) {
            EXPECT_EQ(qnst_fastfile_delete(c.name.c_str()), c.delete_rc);
        }
    }
    EXPECT_EQ(ENOMEM, qnst_fastfile_open(h.get(), 2, nullptr, 0, 0));
    // The name is converted before the offsets are checked.
    EXPECT_EQ(ENOMEM, qnst_fastfile_open(h.get(), 2, dir.file("bad\xff.ff").c_str(), 100, 0));
    EXPECT_EQ(ENOMEM, qnst_fastfile_open(h.get(), 2, nullptr, 4096, 0));
    EXPECT_EQ(ENOMEM, qnst_fastfile_delete(nullptr));
}

// Writing bypasses the system cache where the file system can, and is write-through everywhere.
TEST_F(FastFile, WritingIsDirectAndSynchronousOrAtLeastSynchronous) {
    struct Place {
        std::string dir;
        bool tmpfs;
    };
    std::vector<Place> places = {{dir.path().string(), false}};
    struct statfs fs;
    if (statfs("/dev/shm", &fs) == 0 && fs.f_type == 0x01021994 /* tmpfs */ &&
        access("/dev/shm", W_OK) == 0)
        places.push_back({"/dev/shm", true});
    for (const Place &p : places) {
        SCOPED_TRACE(p.dir);
        std::string name = p.dir + "/qnst-fastfile-" + std::to_string(getpid()) + ".ff";
        int probe = ::open(name.c_str(), O_RDWR | O_CREAT | O_DIRECT, 0600);
        const bool direct_possible = probe >= 0;
        if (probe >= 0) ::close(probe);
        ::unlink(name.c_str());

        Handle h = make(4096);
        ASSERT_EQ(0, qnst_fastfile_open(h.get(), 2, name.c_str(), 0, 0));
        int flags = fcntl(static_cast<int>(h->file), F_GETFL);
        EXPECT_EQ(flags & O_DSYNC, O_DSYNC);
        EXPECT_EQ((flags & O_DIRECT) != 0, direct_possible);
        Bytes d = pattern(700, 5);
        uint64_t offset = 0, end = 0;
        uint32_t pending = 0;
        ASSERT_EQ(0, qnst_fastfile_newblk(h.get(), d.data(), 700, 3, &offset, &pending));
        ASSERT_EQ(0, qnst_fastfile_flush(h.get(), &end));
        EXPECT_EQ(walk_blocks(read_file(name)), (std::vector<BlockRecord>{{16, 3, d}}));
        h.reset();
        EXPECT_EQ(0, qnst_fastfile_delete(name.c_str()));
    }
}

// The buffer starts on a page, whatever its size: an unbuffered write from a buffer that starts
// inside a page is split by the kernel and takes several times as long.
TEST_F(FastFile, BufferStartsOnAPage) {
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    for (uint32_t dwsize : {0u, 512u, 4096u, 100000u, 4u << 20, 8u << 20}) {
        SCOPED_TRACE(dwsize);
        Handle h = make(dwsize);
        ASSERT_TRUE(h);
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(h->buffer) % page);
    }
}

}  // namespace
