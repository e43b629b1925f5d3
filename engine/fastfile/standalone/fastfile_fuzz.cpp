// Feeds arbitrary file contents to the fast-file readers. The first two input bytes choose the
// buffer size (0 to 8191); the rest is the file. Whatever the bytes, reading must end in an error
// result, never read past the file or the buffer, and every record it returns must be the one the
// file holds at the reported place.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qnst_fastfile.h"

namespace {

std::string scratch_path;

void remove_scratch() { ::unlink(scratch_path.c_str()); }

const char *scratch_file() {
    if (scratch_path.empty()) {
        const char *dir = std::getenv("TMPDIR");
        std::string templ = std::string(dir && *dir ? dir : "/tmp") + "/qnst-ff-fuzz-XXXXXX";
        int fd = ::mkstemp(templ.data());
        if (fd < 0) std::abort();
        ::close(fd);
        scratch_path = templ;
        std::atexit(remove_scratch);
    }
    return scratch_path.c_str();
}

void put_file(const uint8_t *data, size_t size) {
    int fd = ::open(scratch_file(), O_WRONLY | O_TRUNC);
    if (fd < 0) std::abort();
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n <= 0) std::abort();
        data += n;
        size -= static_cast<size_t>(n);
    }
    ::close(fd);
}

uint32_t le32(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
uint64_t le64(const uint8_t *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

void check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t input_size) {
    if (input_size < 2) return 0;
    const uint32_t dwsize = (input[0] | static_cast<uint32_t>(input[1]) << 8) & 0x1fff;
    const uint8_t *file = input + 2;
    const size_t size = input_size - 2;
    put_file(file, size);

    qnst_fastfile *h = nullptr;
    check(qnst_fastfile_create(&h, dwsize, 0) == 0);
    check(qnst_fastfile_open(h, QNST_FASTFILE_OPEN_READ, scratch_file(), 0, 0) == 0);

    for (;;) {
        const uint64_t before = h->position;
        const void *data = nullptr;
        uint32_t length = 0, part_size = 0;
        uint64_t offset = 0, next = 0;
        int rc = qnst_fastfile_blobread(h, &data, &length, &offset, &part_size, &next);
        if (rc != 0) {
            check(rc == 5 || rc == 22);
            check(h->position == before);
            break;
        }
        check(length > 0 && length <= dwsize);
        check(next == h->position && next > before && next <= size);
        const uint64_t at = next - length - 16;
        check(at >= before);
        check(le32(file + at) == length && le64(file + at + 4) == offset &&
              le32(file + at + 12) == part_size);
        check(data == h->buffer && std::memcmp(data, file + at + 16, length) == 0);
    }

    uint64_t last_offset = 1, last_pos = 1;
    check(qnst_fastfile_bpartsize(h, &last_offset, &last_pos) == 0);
    if (last_offset != 0 || last_pos != 0) {
        check(last_pos + 16 <= size);
        const uint32_t n = le32(file + last_pos);
        check(n != 0 && n <= dwsize && last_pos + 16 + n <= size);
        check(le64(file + last_pos + 4) == last_offset);
    }
    check(qnst_fastfile_close(h) == 0);
    return 0;
}
