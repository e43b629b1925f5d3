// Native files on Windows: unbuffered, write-through writing, sequential-scan reading, positions
// passed in OVERLAPPED structures of synchronous handles.
#include "qnst_file.hpp"

#include <windows.h>
#include <malloc.h>

#include <cerrno>

namespace qnst::file {
namespace {

// The name in UTF-16; false when it is not valid UTF-8 or too long.
bool widen(const char *utf8_name, wchar_t (&out)[kMaxNameUnits]) {
    if (utf8_name == nullptr) return false;
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8_name, -1, out,
                               static_cast<int>(kMaxNameUnits)) != 0;
}

HANDLE handle_of(native f) { return reinterpret_cast<HANDLE>(f); }

OVERLAPPED at(uint64_t offset) {
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(offset);
    ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return ov;
}

int open_with(const char *utf8_name, DWORD access, DWORD share, DWORD disposition, DWORD flags,
              native *out) {
    *out = kInvalid;
    wchar_t wname[kMaxNameUnits];  // 8 KiB of stack
    if (!widen(utf8_name, wname)) return ENOMEM;
    HANDLE h = CreateFileW(wname, access, share, nullptr, disposition, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return ENOENT;
    *out = reinterpret_cast<native>(h);
    return 0;
}

}  // namespace

bool name_ok(const char *utf8_name) {
    wchar_t wname[kMaxNameUnits];  // 8 KiB of stack
    return widen(utf8_name, wname);
}

int open_read(const char *utf8_name, native *out) {
    return open_with(utf8_name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                     FILE_FLAG_SEQUENTIAL_SCAN, out);
}

int open_write(const char *utf8_name, native *out) {
    return open_with(utf8_name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS,
                     FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH, out);
}

void close(native f) {
    if (f != kInvalid) CloseHandle(handle_of(f));
}

int read_at(native f, void *buf, uint32_t len, uint64_t offset, uint32_t *done) {
    *done = 0;
    auto *p = static_cast<char *>(buf);
    while (*done < len) {
        OVERLAPPED ov = at(offset + *done);
        DWORD got = 0;
        if (!ReadFile(handle_of(f), p + *done, len - *done, &got, &ov)) {
            DWORD err = GetLastError();
            if (err == ERROR_HANDLE_EOF) break;
            return static_cast<int>(err);
        }
        if (got == 0) break;
        *done += got;
    }
    return 0;
}

int write_at(native f, const void *buf, uint32_t len, uint64_t offset, uint32_t *done) {
    OVERLAPPED ov = at(offset);
    DWORD put = 0;
    *done = 0;
    if (!WriteFile(handle_of(f), buf, len, &put, &ov)) return static_cast<int>(GetLastError());
    *done = put;
    return 0;
}

int size(native f, uint64_t *out) {
    LARGE_INTEGER n;
    if (!GetFileSizeEx(handle_of(f), &n)) return static_cast<int>(GetLastError());
    *out = static_cast<uint64_t>(n.QuadPart);
    return 0;
}

int remove(const char *utf8_name) {
    wchar_t wname[kMaxNameUnits];  // 8 KiB of stack
    if (!widen(utf8_name, wname)) return ENOMEM;
    if (DeleteFileW(wname) || GetLastError() == ERROR_FILE_NOT_FOUND) return 0;
    return -1;
}

void *alloc_aligned(size_t bytes) { return _aligned_malloc(bytes, kSector); }

void free_aligned(void *p) { _aligned_free(p); }

}  // namespace qnst::file
