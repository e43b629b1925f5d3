// Writing block records into a data file (records appended, the 1 MiB buffer written out as it
// fills, each write unbuffered and write-through) beside its floor: the same bytes, in the same
// writes at the same offsets, with raw O_DIRECT | O_DSYNC pwrite calls from an aligned buffer, on
// the same file system. Both files start empty, grow to kFileSpan and are then written over from
// offset 0. Both report the block bytes per second.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "qnst_bench.hpp"
#include "qnst_fastfile.h"

namespace {

constexpr uint32_t kBuffer = 1u << 20;
// The data file starts over at offset 0 after this many bytes, to keep the disk use bounded.
constexpr uint64_t kFileSpan = 64ull << 20;

// A directory on the disk (not tmpfs: the write-through, uncached path is what is measured).
struct BenchDir {
    std::string path;
    BenchDir() {
        char templ[] = "/var/tmp/qnst-bench-fastfile-XXXXXX";
        if (!::mkdtemp(templ)) throw std::runtime_error("mkdtemp failed");
        path = templ;
    }
    ~BenchDir() { ::rmdir(path.c_str()); }
    std::string file(const char *name) const { return path + "/" + name; }
};

BenchDir &bench_dir() {
    static BenchDir dir;
    return dir;
}

void BM_fastfile_newblk(benchmark::State &state) {
    const auto block = static_cast<int32_t>(state.range(0));
    const std::string name = bench_dir().file("engine.ff");
    std::vector<uint8_t> data(static_cast<size_t>(block), 0x5a);
    qnst_fastfile *h = nullptr;
    if (qnst_fastfile_create(&h, kBuffer, 0) || qnst_fastfile_open(h, 2, name.c_str(), 0, 0)) {
        state.SkipWithError("fast file set-up failed");
        qnst_fastfile_close(h);
        return;
    }
    uint64_t handle = 1, offset = 0, end = 0;
    uint32_t pending = 0;
    for (auto _ : state) {
        if (qnst_fastfile_newblk(h, data.data(), block, handle++, &offset, &pending)) {
            state.SkipWithError("newblk failed");
            break;
        }
        if (offset >= kFileSpan) {
            if (qnst_fastfile_flush(h, &end) || qnst_fastfile_open(h, 2, name.c_str(), 0, 0)) {
                state.SkipWithError("flush failed");
                break;
            }
        }
    }
    if (qnst_fastfile_flush(h, &end)) state.SkipWithError("flush failed");
    qnst_fastfile_close(h);
    qnst_fastfile_delete(name.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * block);
}

// The floor writes the bytes the engine must write and nothing else: each record (header and
// data) copied into an aligned buffer, the buffer written out with one O_DIRECT | O_DSYNC pwrite
// when the next record does not fit, padded to the next sector (plus a zero sector when that
// leaves fewer than 4 zero bytes), at the file position where the previous write stopped. The
// record layout fixes these sizes and offsets: a floor that wrote whole 1 MiB buffers at 1 MiB
// offsets would write fewer, larger and file-system-block aligned writes than any writer of
// this format can.
class FloorWriter {
public:
    explicit FloorWriter(int fd) : fd_(fd) {}
    ~FloorWriter() { std::free(buf_); }
    bool ready() { return buf_ || ::posix_memalign(&buf_, 512, kBuffer) == 0; }

    // Appends one record; false when a write failed. `*data_offset` is the file position of its
    // data, as qnst_fastfile_newblk reports it.
    bool add(const uint8_t *data, uint32_t n, uint64_t bhandle, uint64_t *data_offset) {
        const uint32_t total = n + QNST_FASTFILE_HEADER;
        if (used_ + total > kBuffer && !write_out()) return false;
        auto *p = static_cast<uint8_t *>(buf_) + used_;
        std::memcpy(p, QNST_FASTFILE_MAGIC, 4);
        std::memcpy(p + 4, &bhandle, 8);  // little-endian machine
        std::memcpy(p + 12, &n, 4);
        std::memcpy(p + QNST_FASTFILE_HEADER, data, n);
        *data_offset = position_ + used_ + QNST_FASTFILE_HEADER;
        used_ += total;
        return true;
    }

    bool write_out() {
        if (used_ == 0) return true;
        auto *p = static_cast<uint8_t *>(buf_);
        const uint32_t padded = (used_ + 511) / 512 * 512;
        std::memset(p + used_, 0, padded - used_);
        uint32_t len = padded;
        bool apart = false;
        if (padded - used_ > 0 && padded - used_ < 4) {
            if (len + 512 <= kBuffer) {
                std::memset(p + len, 0, 512);
                len += 512;
            } else {
                apart = true;
            }
        }
        if (!put(len)) return false;
        if (apart) {
            std::memset(p, 0, 512);
            if (!put(512)) return false;
        }
        used_ = 0;
        return true;
    }

    void rewind() { position_ = 0; }

private:
    bool put(uint32_t len) {
        if (::pwrite(fd_, buf_, len, static_cast<off_t>(position_)) != static_cast<ssize_t>(len))
            return false;
        position_ += len;
        return true;
    }

    int fd_;
    void *buf_ = nullptr;
    uint32_t used_ = 0;
    uint64_t position_ = 0;
};

void BM_fastfile_newblk_floor(benchmark::State &state) {
    const auto block = static_cast<uint32_t>(state.range(0));
    const std::string name = bench_dir().file("floor.ff");
    std::vector<uint8_t> data(block, 0x5a);
    int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_DIRECT | O_DSYNC | O_CLOEXEC, 0644);
    FloorWriter w(fd);
    if (fd < 0 || !w.ready()) {
        state.SkipWithError("O_DIRECT open failed");
        if (fd >= 0) ::close(fd);
        return;
    }
    uint64_t handle = 1, offset = 0;
    for (auto _ : state) {
        if (!w.add(data.data(), block, handle++, &offset)) {
            state.SkipWithError("pwrite failed");
            break;
        }
        if (offset >= kFileSpan) {
            if (!w.write_out()) {
                state.SkipWithError("pwrite failed");
                break;
            }
            w.rewind();
        }
    }
    if (!w.write_out()) state.SkipWithError("pwrite failed");
    ::close(fd);
    ::unlink(name.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * block);
}

}  // namespace

// Each engine run is followed by its floor run: the disk's speed drifts with the load of the
// shared machine, and a pair measured minutes apart compares two different disks.
BENCHMARK(BM_fastfile_newblk)->Arg(4096)->UseRealTime();
BENCHMARK(BM_fastfile_newblk_floor)->Arg(4096)->UseRealTime();
BENCHMARK(BM_fastfile_newblk)->Arg(16384)->UseRealTime();
BENCHMARK(BM_fastfile_newblk_floor)->Arg(16384)->UseRealTime();
BENCHMARK(BM_fastfile_newblk)->Arg(65536)->UseRealTime();
BENCHMARK(BM_fastfile_newblk_floor)->Arg(65536)->UseRealTime();
QNST_BENCH_RATIO(BM_fastfile_newblk, BM_fastfile_newblk_floor);
