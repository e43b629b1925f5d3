// Native files on POSIX systems: O_DIRECT | O_DSYNC writing, pread/pwrite at the handle's
// positions, a sequential-access hint for reading.
#include "qnst_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace qnst::file {
namespace {

// Counts the UTF-16 code units that the UTF-8 string `s` converts to, terminator included.
// Returns 0 when `s` is not well-formed UTF-8 (overlong forms, surrogates and values above
// U+10FFFF are refused, as the Windows conversion refuses them) or needs more than kMaxNameUnits.
size_t utf16_units(const char *s) {
    const auto *p = reinterpret_cast<const unsigned char *>(s);
    size_t units = 1;
    while (*p) {
        unsigned char c = *p;
        int tail;
        unsigned char lo = 0x80, hi = 0xbf;  // range of the first continuation byte
        if (c < 0x80) {
            tail = 0;
        } else if (c >= 0xc2 && c <= 0xdf) {
            tail = 1;
        } else if (c >= 0xe0 && c <= 0xef) {
            tail = 2;
            if (c == 0xe0) lo = 0xa0;
            if (c == 0xed) hi = 0x9f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            tail = 3;
            if (c == 0xf0) lo = 0x90;
            if (c == 0xf4) hi = 0x8f;
        } else {
            return 0;
        }
        for (int i = 1; i <= tail; ++i) {
            unsigned char t = p[i];
            if (i == 1 ? (t < lo || t > hi) : (t & 0xc0) != 0x80) return 0;
        }
        p += 1 + tail;
        units += tail == 3 ? 2 : 1;
        if (units > kMaxNameUnits) return 0;
    }
    return units;
}

bool convertible(const char *name) { return name != nullptr && utf16_units(name) != 0; }

bool sector_aligned(const void *buf, uint32_t len, uint64_t offset) {
    return reinterpret_cast<uintptr_t>(buf) % kSector == 0 && len % kSector == 0 &&
           offset % kSector == 0;
}

// A device whose logical sectors are larger than kSector refuses sector-aligned O_DIRECT
// transfers with EINVAL. The file then goes on write-through without bypassing the cache, as on a
// file system that refuses O_DIRECT at open. True when the descriptor changed and the call is
// worth repeating.
bool drop_direct(int fd, const void *buf, uint32_t len, uint64_t offset) {
    if (errno != EINVAL || !sector_aligned(buf, len, offset)) return false;
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || !(flags & O_DIRECT)) return false;
    return ::fcntl(fd, F_SETFL, flags & ~O_DIRECT) == 0;
}

int fd_of(native f) { return static_cast<int>(f); }

}  // namespace

bool name_ok(const char *utf8_name) { return convertible(utf8_name); }

int open_read(const char *utf8_name, native *out) {
    *out = kInvalid;
    if (!convertible(utf8_name)) return ENOMEM;
    int fd;
    do {
        fd = ::open(utf8_name, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return ENOENT;
    // A directory opens for reading here but is no file to read records from (Windows refuses
    // to open it at all).
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return ENOENT;
    }
    // Only a hint: reading works the same without it.
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    *out = fd;
    return 0;
}

int open_write(const char *utf8_name, native *out) {
    *out = kInvalid;
    if (!convertible(utf8_name)) return ENOMEM;
    const int flags = O_RDWR | O_CREAT | O_CLOEXEC | O_DSYNC;
    int fd;
    do {
        fd = ::open(utf8_name, flags | O_DIRECT, 0666);
    } while (fd < 0 && errno == EINTR);
    // tmpfs and some overlay file systems cannot bypass their cache: stay write-through.
    if (fd < 0 && errno == EINVAL) {
        do {
            fd = ::open(utf8_name, flags, 0666);
        } while (fd < 0 && errno == EINTR);
    }
    if (fd < 0) return ENOENT;
    *out = fd;
    return 0;
}

void close(native f) {
    if (f != kInvalid) ::close(fd_of(f));  // nothing is buffered: every write was synchronous
}

int read_at(native f, void *buf, uint32_t len, uint64_t offset, uint32_t *done) {
    *done = 0;
    auto *p = static_cast<char *>(buf);
    while (*done < len) {
        ssize_t r = ::pread(fd_of(f), p + *done, len - *done, static_cast<off_t>(offset + *done));
        if (r < 0) {
            if (errno == EINTR || drop_direct(fd_of(f), buf, len, offset)) continue;
            return errno;
        }
        if (r == 0) break;  // end of file
        *done += static_cast<uint32_t>(r);
    }
    return 0;
}

int write_at(native f, const void *buf, uint32_t len, uint64_t offset, uint32_t *done) {
    *done = 0;
    for (;;) {
        ssize_t r = ::pwrite(fd_of(f), buf, len, static_cast<off_t>(offset));
        if (r >= 0) {
            *done = static_cast<uint32_t>(r);
            return 0;
        }
        if (errno != EINTR && !drop_direct(fd_of(f), buf, len, offset)) return errno;
    }
}

int size(native f, uint64_t *out) {
    struct stat st;
    if (::fstat(fd_of(f), &st) != 0) return errno;
    *out = static_cast<uint64_t>(st.st_size);
    return 0;
}

int remove(const char *utf8_name) {
    if (!convertible(utf8_name)) return ENOMEM;
    if (::unlink(utf8_name) == 0 || errno == ENOENT) return 0;
    return -1;
}

void *alloc_aligned(size_t bytes) {
    // On a whole page rather than a sector: the kernel maps an unbuffered transfer page by page,
    // and a buffer that starts inside a page costs it a second mapping and a split request for
    // every write (about twice the time of each write on ext4 here).
    const long page = ::sysconf(_SC_PAGESIZE);
    const size_t align = page > static_cast<long>(kSector) ? static_cast<size_t>(page) : kSector;
    void *p = nullptr;
    return ::posix_memalign(&p, align, bytes) == 0 ? p : nullptr;
}

void free_aligned(void *p) { std::free(p); }

}  // namespace qnst::file
