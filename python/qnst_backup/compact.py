"""compact: the space of forgotten content reclaimed.

First the block store frees the blocks that nothing holds any more (their count reached 0): a
walk of the reference table puts them on the purge list, which drops their hashes (no new
chunk can be deduplicated against them from then on), the queued holds and releases are
applied (a block that gained a reference is spared), and the purge list's blocks lose their
records and their bytes in their data file's usage. The blob store's compaction queue is
drained the same way (the tool keeps no blob content of its own).

Then every data file whose live share (its usage in the dfile table over its size) is below
the threshold is rewritten as a new version of itself:
1. its live chunks are copied into the new version's file, which reaches the disk;
2. one transaction makes the new version current in the dfile table and remembers the old one
   (ver = new, over = old: a rewrite in progress);
3. the chunks' location records are moved to the new version in batches (each batch takes the
   moved bytes off the usage again, so the usage counts every chunk once);
4. one transaction settles the record (over = ver), and only then is the old file removed.
A crash before 2 leaves an unused new file, written again by the next run; after 2 the next
run finds the rewrite in progress, reads where each chunk lies in the new file and finishes the
moves; after 4 the next run removes the old file. Reads follow each chunk's location record
to the version of the file that holds it, so every version stays restorable throughout.

Last, the block tables give their free pages back and, after a checkpoint, the log files that
recovery no longer needs are removed.
"""

import errno
import os
import struct
import time

import qnst
import qnst_bdb
import qnst_fastfile

from .errors import EXIT_FAILED
from .store import FAST_BUFFER, PARTITIONS, data_file_version
from .verify import LINK_DFID

BATCH = 1000                 # records walked or moved per transaction
COPY_BUFFER = 2 * FAST_BUFFER   # the rewrite's write buffer
HEADER = struct.Struct("<4sQi")


class CompactError(Exception):
    """A data file that cannot be rewritten safely; it is left as it is."""


class Compact:
    def __init__(self, store, threshold, progress):
        self.store, self.threshold, self.progress = store, threshold, progress
        self.freed_blocks = 0
        self.files = 0
        self.moved_blocks = 0
        self.moved_bytes = 0
        self.copy_seconds = 0.0
        self.problems = 0

    # ---- Unreferenced blocks ------------------------------------------------------------------

    def free_blocks(self):
        store = self.store
        blocks = store.blocks
        store.flush_queues()
        for storeid in range(PARTITIONS):
            blocks.compact_init(storeid)
            try:
                self._walk(storeid, plist=0,
                           act=lambda txn, h, word: blocks.compact_plist_add(txn, storeid, h,
                                                                              word))
                store.flush_queues(compactor=1)
                self.freed_blocks += self._walk(
                    storeid, plist=1,
                    act=lambda txn, h, word: blocks.compact_plist_purge(txn, storeid, h, word))
            finally:
                blocks.compact_cleanup(storeid)

    def _walk(self, storeid, plist, act):
        """Runs act(txn, handle, word) on the unreferenced entries of partition `storeid`'s
        reference table (of its purge list with `plist`), a batch per transaction."""
        blocks = self.store.blocks

        def batch(txn, start):
            done = 0
            cursor, handle, word, count = blocks.walk_idref(txn, storeid, start, 0, plist)
            try:
                for _ in range(BATCH):
                    if not handle:
                        break
                    if count == 0:
                        act(txn, handle, word)
                        done += 1
                    handle, word, count = blocks.next_idref(storeid, cursor)
            finally:
                blocks.walk_done(storeid, cursor)
            return handle, done
        start, total = 0, 0
        while True:
            start, done = qnst_bdb.retry(self.store.env, batch, start)
            total += done
            if not start:
                return total

    def drain_blobs(self):
        blobs = self.store.blobs

        def one(txn):
            handle, _ = blobs.mblob_get_compactq(txn)
            if handle:
                blobs.mblob_del_compactq(txn, handle)
            return handle
        n = 0
        while qnst_bdb.retry(self.store.env, one):
            n += 1
        return n

    # ---- Data files ---------------------------------------------------------------------------

    def locations(self):
        """{dfid: {dfver: [(offset, length, handle)]}} of every block record."""
        blocks = self.store.blocks
        out = {}
        for storeid in range(PARTITIONS):
            with qnst_bdb.begin(self.store.env) as txn:
                cursor, handle, dfid, dfver, offset, length, _ = blocks.walk_iddf(txn, storeid, 0)
                try:
                    while handle:
                        if dfid != LINK_DFID:
                            out.setdefault(dfid, {}).setdefault(dfver, []).append(
                                (offset, length, handle))
                        handle, dfid, dfver, offset, length, _ = blocks.next_iddf(storeid,
                                                                                   cursor)
                finally:
                    blocks.walk_done(storeid, cursor)
        return out

    def rewrite_files(self):
        store = self.store
        store.close_data_files()
        folder = os.path.join(store.path, b"data")
        versions = {}
        for name in os.listdir(folder):
            parsed = data_file_version(name)
            if parsed is not None:
                versions.setdefault(parsed[0], set()).add(parsed[1])
        where = self.locations()
        for dfid in sorted(versions):
            ver, over, _, _, used = store.dfile.dfile_get(None, dfid)
            try:
                if over < ver:          # a rewrite that a crash interrupted
                    self._finish(dfid, over, ver, where.get(dfid, {}).get(over, []))
                else:
                    self._remove_others(dfid, versions[dfid], keep=(ver,),
                                        named=where.get(dfid, {}))
                    size = _size(store.data_name(dfid, ver))
                    if size and used < self.threshold * size:
                        self._rewrite(dfid, ver, where.get(dfid, {}).get(ver, []))
            except CompactError as e:
                self.problems += 1
                self.progress.message("problem: data file %08x: %s" % (dfid, e))
            self.progress.file(0)

    def _remove_others(self, dfid, present, keep, named):
        """Removes the versions of a data file that are neither current nor named by a
        location record (an old version whose moves are committed, a copy cut short)."""
        for v in sorted(present - set(keep)):
            if v in named:
                raise CompactError("version %d is still named by %d blocks"
                                   % (v, len(named[v])))
            _unlink(self.store.data_name(dfid, v))

    def _rewrite(self, dfid, ver, chunks):
        store = self.store
        new = ver + 1
        start = time.monotonic()
        name = store.data_name(dfid, new)
        _unlink(name)       # the remains of a copy that a crash cut short
        placed = {}
        copied = False
        ff = qnst_fastfile.pyFastFile(COPY_BUFFER, qnst_fastfile.FF_NORMAL)
        try:
            ff.ffile_open(qnst_fastfile.OPEN_WRITE, name, 0, 0)
            out = AlignedWrites(ff)
            # Chunks are read in file order through a large buffer: the file is read front to
            # back in long requests, its dead chunks skipped inside the buffer.
            with open(store.data_name(dfid, ver), "rb", buffering=FAST_BUFFER) as old:
                os.posix_fadvise(old.fileno(), 0, 0, os.POSIX_FADV_SEQUENTIAL)
                for offset, length, handle in sorted(chunks):
                    placed[handle] = out.add(_read_chunk(old, offset, length, handle), handle)
            end = ff.ffile_flush()
            copied = True
        except (OSError, qnst.QnstError) as e:
            raise CompactError(getattr(e, "strerror", None) or str(e))
        finally:
            ff.close()
            if not copied:      # a copy that failed (a full disk) gives its space back at once
                _unlink(name)
        self.moved_bytes += sum(length for _, length, _ in chunks)
        _sync_folder(name)
        self.copy_seconds += time.monotonic() - start
        self.files += 1

        def switch(txn):
            _, _, coff, _, used = store.dfile.dfile_get(txn, dfid)
            store.dfile.dfile_set(txn, dfid, new, ver, end, coff, used)
        qnst_bdb.retry(store.env, switch)
        self._move(dfid, ver, new, chunks, placed)

    def _finish(self, dfid, old, new, chunks):
        """Completes a rewrite from version `old` to `new` that was cut short."""
        name = self.store.data_name(dfid, new)
        try:
            placed = _scan(name) if chunks else {}
        except OSError as e:
            raise CompactError("version %d: %s" % (new, e.strerror))
        missing = [h for _, _, h in chunks if h not in placed]
        if missing:
            raise CompactError("block %#x is missing from version %d" % (missing[0], new))
        self._move(dfid, old, new, chunks, placed)

    def _move(self, dfid, old, new, chunks, placed):
        store = self.store
        todo = sorted((placed[h], length, h) for _, length, h in chunks)
        for i in range(0, len(todo), BATCH):
            part = todo[i:i + BATCH]

            def move_batch(txn):
                for offset, _, handle in part:
                    store.blocks.blk_move(txn, handle, dfid, new, offset)
                # A move adds the chunk's bytes to the usage, which counts them already.
                ver, over, coff, ooff, used = store.dfile.dfile_get(txn, dfid)
                store.dfile.dfile_set(txn, dfid, ver, over, coff, ooff,
                                      used - sum(length for _, length, _ in part))
            qnst_bdb.retry(store.env, move_batch)
            self.moved_blocks += len(part)

        end = _size(store.data_name(dfid, new))

        def settle(txn):
            ver, _, _, ooff, used = store.dfile.dfile_get(txn, dfid)
            store.dfile.dfile_set(txn, dfid, ver, ver, end, ooff, used)
        qnst_bdb.retry(store.env, settle)
        _unlink(store.data_name(dfid, old))
        _sync_folder(store.data_name(dfid, old))

    def run(self):
        self.free_blocks()
        blobs = self.drain_blobs()
        before = data_bytes(self.store)
        self.rewrite_files()
        after = data_bytes(self.store)
        try:
            self.store.blocks.blksis_dbcompact(0, PARTITIONS - 1)
        except qnst.QnstError:
            pass            # shrinking the tables' files is a nicety; their content is sound
        # The log files written before a checkpoint are no longer needed by recovery.
        env_before = _folder_bytes(os.path.join(self.store.path, b"env"))
        self.store.env.env_checkpoint()
        self.store.env.env_compactlog()
        env_after = _folder_bytes(os.path.join(self.store.path, b"env"))
        self.progress.done()
        rate = self.moved_bytes / self.copy_seconds / 1e6 if self.copy_seconds else 0.0
        print("freed %d blocks%s; rewrote %d data files, moving %d blocks (%d bytes, %.1f MB/s); "
              "data files %d -> %d bytes; tables and logs %d -> %d bytes"
              % (self.freed_blocks, ", %d blobs" % blobs if blobs else "", self.files,
                 self.moved_blocks, self.moved_bytes, rate, before, after, env_before,
                 env_after))
        return EXIT_FAILED if self.problems else 0


class AlignedWrites:
    """Appends block records to a fast file so that its writes stay on whole file-system
    blocks: the buffer is written out, once it is half full, at the first record that ends it
    (with its sector padding) on a block boundary. Unbuffered writes that start or end inside a
    block cost the file system a read and a rewrite of that block, several times the write."""

    BLOCK = 4096

    def __init__(self, ff):
        self.ff, self.position, self.used = ff, 0, 0

    @staticmethod
    def padded(used):
        """The bytes a write-out of `used` buffered bytes puts on the disk."""
        pad = -used % qnst_fastfile.SECTOR_SZ
        if 0 < pad < 4:             # room for the zero word that ends the records
            pad += qnst_fastfile.SECTOR_SZ
        return used + pad

    def add(self, data, handle):
        """Appends one record; returns the file offset of its data."""
        total = HEADER.size + len(data)
        if self.used + total > COPY_BUFFER:     # the fast file writes its buffer out first
            self.position += self.padded(self.used)
            self.used = 0
        offset = self.ff.ffile_newblk(data, len(data), handle)[0]
        self.used += total
        if self.used >= COPY_BUFFER // 2 and \
                (self.position + self.padded(self.used)) % self.BLOCK == 0:
            self.position = self.ff.ffile_flush()
            self.used = 0
        return offset


def _size(path):
    try:
        return os.path.getsize(path)
    except FileNotFoundError:
        return 0


def _unlink(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def _sync_folder(path):
    fd = os.open(os.path.dirname(path), os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _read_chunk(f, offset, length, handle):
    """A chunk's bytes from its data file, after checking the record header before them."""
    f.seek(offset - HEADER.size)
    raw = f.read(HEADER.size + length)
    if len(raw) != HEADER.size + length:
        raise CompactError("block %#x is cut short" % handle)
    magic, stored, n = HEADER.unpack_from(raw)
    if magic != qnst_fastfile.QNST_MAGIC or stored != handle or n != length:
        raise CompactError("block %#x: its record header does not match" % handle)
    return raw[HEADER.size:]


def _scan(path):
    """{handle: offset of its data} of the block records of a data file."""
    out = {}
    sector = qnst_fastfile.SECTOR_SZ
    with open(path, "rb") as f:
        raw = f.read()
    pos = 0
    while pos + 4 <= len(raw):
        if raw[pos:pos + 4] == b"\0\0\0\0":
            pos = (pos // sector + 1) * sector
            continue
        if pos + HEADER.size > len(raw):
            break
        magic, handle, n = HEADER.unpack_from(raw, pos)
        if magic != qnst_fastfile.QNST_MAGIC or n < 0 or pos + HEADER.size + n > len(raw):
            break
        out[handle] = pos + HEADER.size
        pos += HEADER.size + n
    return out


def data_bytes(store):
    """The bytes of the store's data files on disk."""
    return _folder_bytes(os.path.join(store.path, b"data"))


def _folder_bytes(folder):
    """The bytes the files of `folder` take on disk."""
    total = 0
    for name in os.listdir(folder):
        try:
            total += os.stat(os.path.join(folder, name)).st_blocks * 512
        except OSError as e:
            if e.errno != errno.ENOENT:
                raise
    return total


def run(store, threshold, progress):
    return Compact(store, threshold, progress).run()
