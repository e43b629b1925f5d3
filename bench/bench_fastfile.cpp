// Writing block records into a data file (records appended, the 1 MiB buffer written out as it
// fills, each write unbuffered and write-through) beside its floor: the same bytes written with
// raw O_DIRECT | O_DSYNC pwrite calls of the buffer's size from an aligned buffer, on the same
// file system. Both report the block bytes per second.
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

void BM_fastfile_newblk_floor(benchmark::State &state) {
    const auto block = static_cast<uint64_t>(state.range(0));
    const std::string name = bench_dir().file("floor.ff");
    int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_DIRECT | O_DSYNC | O_CLOEXEC, 0644);
    void *buf = nullptr;
    if (fd < 0 || ::posix_memalign(&buf, 512, kBuffer) != 0) {
        state.SkipWithError("O_DIRECT open failed");
        if (fd >= 0) ::close(fd);
        return;
    }
    std::memset(buf, 0x5a, kBuffer);
    uint64_t buffered = 0, position = 0;
    for (auto _ : state) {
        // One record's bytes join the buffer; a full buffer goes to the disk in one write.
        buffered += block + QNST_FASTFILE_HEADER;
        while (buffered >= kBuffer) {
            if (::pwrite(fd, buf, kBuffer, static_cast<off_t>(position)) != kBuffer) {
                state.SkipWithError("pwrite failed");
                break;
            }
            buffered -= kBuffer;
            position = position + kBuffer >= kFileSpan ? 0 : position + kBuffer;
        }
    }
    ::close(fd);
    std::free(buf);
    ::unlink(name.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * block));
}

}  // namespace

BENCHMARK(BM_fastfile_newblk)->Arg(4096)->Arg(16384)->Arg(65536)->UseRealTime();
BENCHMARK(BM_fastfile_newblk_floor)->Arg(4096)->Arg(16384)->Arg(65536)->UseRealTime();
QNST_BENCH_RATIO(BM_fastfile_newblk, BM_fastfile_newblk_floor);
