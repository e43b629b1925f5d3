# cython: language_level=3, embedsignature=True
"""Fast files, the sector-aligned containers of block and blob data: class pyFastFile."""

from cpython.bytes cimport PyBytes_FromStringAndSize

from qnst64 cimport *
from qnst_bdb cimport (qnst_env, qnst_txn, qnst_cursor, qnst_lock, qnst_db, path_of,
                       require_length)

from qnst import qnst_error

_companion_types = (qnst_env, qnst_txn, qnst_cursor, qnst_lock, qnst_db)

QNST_MAGIC = QNST_FASTFILE_MAGIC
OPEN_READ = QNST_FASTFILE_OPEN_READ
OPEN_WRITE = QNST_FASTFILE_OPEN_WRITE
FF_NORMAL = 0
FF_LAZY = 1
SECTOR_SZ = QNST_FASTFILE_SECTOR


def ffile_delete(bytes name not None):
    """ffile_delete(name) -> int. Deletes the file `name` (a missing file is no failure);
    returns the engine's result code once the check has passed."""
    cdef int rc
    cdef const char *c_name = path_of(name)
    with nogil:
        rc = qnst_fastfile_delete(c_name)
    qnst_error.check(rc)
    return rc


cdef class pyFastFile:
    """A fast-file handle with a write buffer of `dwsize` bytes; `lazy` (FF_LAZY) collects
    records in the buffer until ffile_flush(). One thread at a time."""

    cdef qnst_fastfile *handle

    def __cinit__(self, uint32_t dwsize, uint32_t lazy):
        cdef int rc
        cdef qnst_fastfile *h = NULL
        self.handle = NULL
        with nogil:
            rc = qnst_fastfile_create(&h, dwsize, lazy)
        qnst_error.check(rc)
        self.handle = h

    def __dealloc__(self):
        self.close()

    def close(self):
        """close() -> None. Closes the file and frees the handle; records still buffered are
        dropped (flush first). Does nothing once closed."""
        cdef int rc
        cdef qnst_fastfile *h = self.handle
        if h == NULL:
            return
        self.handle = NULL
        with nogil:
            rc = qnst_fastfile_close(h)
        qnst_error.check(rc)

    def ffile_open(self, uint32_t mode, bytes fname not None, uint64_t foff, int64_t padoff):
        """ffile_open(mode, fname, foff, padoff) -> None. Opens `fname` for reading (OPEN_READ)
        or writing at `foff`; when writing, bytes from `padoff` up to `foff` are zeroed."""
        cdef int rc
        cdef const char *c_fname = path_of(fname)
        with nogil:
            rc = qnst_fastfile_open(self.handle, mode, c_fname, foff, padoff)
        qnst_error.check(rc)

    def ffile_newblk(self, bytes buf not None, int32_t buflen, uint64_t handle):
        """ffile_newblk(buf, buflen, handle) -> (offset, pending). Appends a block record of the
        first `buflen` bytes of `buf` tagged with `handle`: `offset` is the position of its
        data, `pending` the fill level of a buffer that was full (0 otherwise)."""
        cdef int rc
        cdef uint64_t offset = 0
        cdef uint32_t pending = 0
        require_length(buf, buflen, "buf")
        cdef const char *data = buf
        with nogil:
            rc = qnst_fastfile_newblk(self.handle, data, buflen, handle, &offset, &pending)
        qnst_error.check(rc)
        return (offset, pending)

    def ffile_flush(self):
        """ffile_flush() -> end. Writes the buffer out; returns the file position after it."""
        cdef int rc
        cdef uint64_t end = 0
        with nogil:
            rc = qnst_fastfile_flush(self.handle, &end)
        qnst_error.check(rc)
        return end

    def ffile_blobwrite(self, bytes buf not None, int32_t buflen, uint64_t offset,
                        uint32_t size):
        """ffile_blobwrite(buf, buflen, offset, size) -> pending. Appends a blob record of the
        first `buflen` bytes of `buf`, part of an object at `offset`, with `size`; `pending` is
        the fill level when a lazy buffer had no room (nothing stored), else 0."""
        cdef int rc
        cdef uint32_t pending = 0
        require_length(buf, buflen, "buf")
        cdef const char *data = buf
        with nogil:
            rc = qnst_fastfile_blobwrite(self.handle, data, buflen, offset, size, &pending)
        qnst_error.check(rc)
        return pending

    def ffile_bpartsize(self):
        """ffile_bpartsize() -> (last_offset, last_pos). The offset and file position of the
        last usable part of a partly written blob file."""
        cdef int rc
        cdef uint64_t last_offset = 0, last_pos = 0
        with nogil:
            rc = qnst_fastfile_bpartsize(self.handle, &last_offset, &last_pos)
        qnst_error.check(rc)
        return (last_offset, last_pos)

    def ffile_blobread(self):
        """ffile_blobread() -> (data, offset, size, next). Reads the blob record at the
        position: its data, the part's offset and size, and the next read position."""
        cdef int rc
        cdef const void *data = NULL
        cdef uint32_t length = 0, size = 0
        cdef uint64_t offset = 0, next_pos = 0
        with nogil:
            rc = qnst_fastfile_blobread(self.handle, &data, &length, &offset, &size, &next_pos)
        qnst_error.check(rc)
        return (PyBytes_FromStringAndSize(<const char *>data, length), offset, size, next_pos)
