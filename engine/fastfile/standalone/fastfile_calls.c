/* Calls every fast-file function, so that linking it proves the fast files and their file layer
 * are complete on the target. Built for Windows only to link: it is never run. */
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
