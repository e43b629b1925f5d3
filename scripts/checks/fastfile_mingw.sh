#!/usr/bin/env bash
# Builds the fast files and their Windows file layer with the mingw-w64 cross compiler: the
# sources compile for Windows, the public header compiles there as C11, and a small program that
# calls every fast-file function links against the Windows libraries.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=build/mingw-fastfile
mkdir -p "$out"
cxx=x86_64-w64-mingw32-g++
cc=x86_64-w64-mingw32-gcc
command -v "$cxx" >/dev/null || { echo "fastfile_mingw: $cxx not found" >&2; exit 1; }
includes=(-Iengine/bdb -Iengine/platform -Iengine/fastfile)
flags=(-std=c++20 -O2 -Wall -Wextra -Wshadow -Wno-missing-field-initializers -Werror)

"$cxx" "${flags[@]}" "${includes[@]}" -c engine/fastfile/qnst_fastfile.cpp -o "$out/qnst_fastfile.o"
"$cxx" "${flags[@]}" "${includes[@]}" -c engine/platform/qnst_file_win32.cpp -o "$out/qnst_file_win32.o"

cat >"$out/fastfile_calls.c" <<'C'
#include "qnst_fastfile.h"
int main(int argc, char **argv) {
    qnst_fastfile *h = 0;
    uint64_t off = 0, end = 0, next = 0, pos = 0;
    uint32_t pending = 0, len = 0, size = 0;
    const void *data = 0;
    (void)argc;
    if (qnst_fastfile_create(&h, 4096, 0)) return 1;
    qnst_fastfile_open(h, QNST_FASTFILE_OPEN_WRITE, argv[0], 0, 0);
    qnst_fastfile_newblk(h, "x", 1, 1, &off, &pending);
    qnst_fastfile_blobwrite(h, "x", 1, 0, 1, &pending);
    qnst_fastfile_flush(h, &end);
    qnst_fastfile_blobread(h, &data, &len, &off, &size, &next);
    qnst_fastfile_bpartsize(h, &off, &pos);
    qnst_fastfile_close(h);
    return qnst_fastfile_delete(argv[0]);
}
C
"$cc" -std=c11 -Wall -Wextra -Werror -pedantic-errors "${includes[@]}" -c "$out/fastfile_calls.c" \
  -o "$out/fastfile_calls.o"
"$cxx" -static -o "$out/fastfile_calls.exe" "$out/fastfile_calls.o" "$out/qnst_fastfile.o" \
  "$out/qnst_file_win32.o"
echo "fastfile_mingw: fast files build for Windows"
