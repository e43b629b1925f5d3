"""A backup store: one engine environment with its tables, the data files beside it, a lock
against a second process and the version records.

Layout of a store directory:

    FORMAT      "qnst-backup store 1"; any other content is a store of another format
    lock        held (flock) by the process that has the store open
    env/        the engine's environment and tables
    data/       data files of stored chunks, named by their data-file index ("%08x"); a data
                file rewritten by compact is a new version of it, named "%08x.%x" (index,
                version), the version that the dfile table and the chunks' location records name

The store-information table holds record 0 (the namespace root inode, the next version to
hand out) and one record per completed version (the root inode, its file count, the creation
time); a version's full summary is an attribute of the root inode valid at that version.
"""

import errno
import fcntl
import json
import os
import struct
import time

import qnst
import qnst_aclsis
import qnst_bdb
import qnst_blksism
import qnst_dfile
import qnst_fastfile
import qnst_inode
import qnst_itabm
import qnst_sinfo

from .errors import UserError

FORMAT = b"qnst-backup store 1\n"
LIVE = 0x7FFFFFF0
PARTITIONS = 1
DATA_FILES = 1024
DATA_FILE_LIMIT = 1 << 30          # a data file is not grown past this size
FAST_BUFFER = 4 * 1024 * 1024
LOG_BUFFER = 2 * 1024 * 1024        # log records reach the disk in writes of up to this size
SUMMARY_AID = 1                     # the root inode's attribute holding a version's summary
COMPLETE = 1                        # sgen of a completed version's record

qnst_bdb.bdb_init()


def default_store():
    """The store used without --store: $QNST_STORE, else the user's data directory."""
    path = os.environ.get("QNST_STORE")
    if path:
        return path
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local",
                                                            "share")
    return os.path.join(base, "qnst-backup", "store")


class Store:
    """An open store. Open with Store(path, create=...), close with close() (or `with`)."""

    def __init__(self, path, create=False):
        self.path = os.fsencode(path)
        self.env = None
        self.opened = []
        self._lockfd = None
        self._data_files = {}
        fresh = self._open_dir(create)
        try:
            self._open_engine(fresh)
        except BaseException:
            self.close()
            raise

    # ---- Opening and closing ----------------------------------------------------------------

    def _open_dir(self, create):
        p = self.path
        fmt = os.path.join(p, b"FORMAT")
        if not os.path.isdir(p):
            if os.path.exists(p):
                raise UserError("store %s is not a directory" % os.fsdecode(p))
            if not create:
                raise UserError("no store at %s (a backup creates it)" % os.fsdecode(p))
            try:
                os.makedirs(p, exist_ok=True)
            except OSError as e:
                raise UserError("cannot create store %s: %s" % (os.fsdecode(p), e.strerror))
        try:
            listing = os.listdir(p)
        except OSError as e:
            raise UserError("cannot read store %s: %s" % (os.fsdecode(p), e.strerror))
        if not listing:
            if not create:
                raise UserError("no store at %s (a backup creates it)" % os.fsdecode(p))
        elif b"FORMAT" not in listing:
            raise UserError("%s is not a backup store (no FORMAT file)" % os.fsdecode(p))
        try:
            self._lockfd = os.open(os.path.join(p, b"lock"), os.O_RDWR | os.O_CREAT, 0o600)
            fcntl.flock(self._lockfd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as e:
            if e.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
                raise UserError("store %s is locked by another process" % os.fsdecode(p))
            raise UserError("cannot lock store %s: %s" % (os.fsdecode(p), e.strerror))
        if listing and b"FORMAT" in listing:
            with open(fmt, "rb") as f:
                if f.read() != FORMAT:
                    raise UserError("store %s has another format" % os.fsdecode(p))
        else:
            for sub in (b"env", b"data"):
                os.makedirs(os.path.join(p, sub), exist_ok=True)
            with open(fmt + b".tmp", "wb") as f:
                f.write(FORMAT)
                f.flush()
                os.fsync(f.fileno())
            os.rename(fmt + b".tmp", fmt)
            return True
        return False

    def _open_engine(self, fresh):
        home = os.path.join(self.path, b"env")
        settings = dict(errfile=os.path.join(home, b"error.log"), max_locks=200000,
                        max_lockers=2000, max_objects=200000, cache_bytes=64 * 1024 * 1024,
                        lg_bsize=LOG_BUFFER)
        # Only this process has the store (the lock): a recovery open on every start brings
        # the tables back to their last committed state after a crash; the free-threaded
        # environment is then opened over the recovered one.
        env = qnst_bdb.qnst_env()
        env.env_create(0)
        env.env_open(home, recover=1, **settings)
        env.env_close()
        env.env_create(0)
        self.env = env
        env.env_open(home, **settings)
        self.dfile = qnst_dfile.pyDFile()
        self.opened.append(self.dfile.dfile_close)
        self.dfile.dfile_open(env, DATA_FILES, b"dfile.db", 1)
        self.acls = qnst_aclsis.pyACLSIS()
        self.opened.append(self.acls.aclsis_close)
        self.acls.aclsis_open(env, b"acl.db", 1)
        self.blocks = qnst_blksism.pyBlkSIS()
        self.opened.append(self.blocks.blksis_close)
        self.blocks.blksis_open(env, self.dfile, PARTITIONS, b"blk", int(fresh), b"", 0)
        self.blobs = qnst_itabm.pyBlobSISM()
        self.opened.append(self.blobs.blobsism_close)
        self.blobs.blobsism_open(env, 1, b"blob")
        self.itab = qnst_itabm.pyITable()
        self.itab.itabm_create(env, 1, self.acls, self.blocks, self.blobs, 1)
        self.opened.append(self.itab.itabm_close)
        self.itab.itabm_open(b"itab", 0, 1)
        self.sinfo = qnst_sinfo.pySInfo()
        self.opened.append(self.sinfo.sinfo_close)
        self.sinfo.sinfo_open(env, b"sinfo.db", 1)
        self.root = self._open_root()
        self.opened.append(self.root.inode_close)

    def _open_root(self):
        try:
            ino, _, _, _ = self.sinfo.sinfo_get(None, 0)
            return self.inode(ino, None)
        except qnst.NotFound:
            pass
        root = self.new_inodes(1, 1, None)[0]
        try:
            qnst_bdb.retry(self.env, lambda txn: self.sinfo.sinfo_set(txn, 0, root.ino, 1, 1,
                                                                      int(time.time())))
        except BaseException:
            root.inode_close()
            raise
        return root

    def close(self):
        for f in self._data_files.values():
            f.close()
        self._data_files = {}
        while self.opened:
            self.opened.pop()()
        if self.env is not None:
            self.env.env_close()
            self.env = None
        if self._lockfd is not None:
            os.close(self._lockfd)
            self._lockfd = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    # ---- Inodes -----------------------------------------------------------------------------

    def new_inodes(self, count, ver, setnode):
        """`count` new inodes, initialised as of `ver` and opened, usage charged to `setnode`.
        Call with no transaction open: an inode's own database is created outside of any."""
        def alloc(txn):
            return [self.itab.inodem_alloc(txn, ver) for _ in range(count)]
        for attempt in range(3):
            try:
                numbers = qnst_bdb.retry(self.env, alloc, sync=0)
                break
            except qnst.NoInode:
                if attempt == 2:
                    raise
                # The tables grow in their own transaction, never inside another one.
                self.itab.itabm_extend(max(4096, count), 0)
        nodes = []
        try:
            for ino in numbers:
                node = qnst_inode.pyInode()
                node.inode_open(self.itab, setnode, ino)
                nodes.append(node)
                node.inode_init(ver, False)

            def zero(txn):
                for node in nodes:
                    node.quota_set(txn, *([0] * 10))
            qnst_bdb.retry(self.env, zero, sync=0)
        except BaseException:
            for node in nodes:
                node.inode_close()
            raise
        return nodes

    def inode(self, ino, setnode, content=True):
        """An existing inode, opened; the caller closes it. Its own database (the block map) is
        opened only with `content`: the records, attributes and folder entries need none, and
        opening it is the costly part."""
        node = qnst_inode.pyInode()
        node.inode_open(self.itab, setnode, ino)
        if content:
            try:
                node.inode_chk()
            except BaseException:
                node.inode_close()
                raise
        return node

    # ---- Versions ---------------------------------------------------------------------------

    def next_version(self):
        """Hands out a new version number (committed at once, so that the records of an
        interrupted backup are never reused by the next one)."""
        def take(txn):
            ino, method, sgen, stime = self.sinfo.sinfo_get(txn, 0)
            self.sinfo.sinfo_set(txn, 0, ino, method, sgen + 1, stime)
            return sgen
        return qnst_bdb.retry(self.env, take)

    def last_version(self):
        """The newest version handed out (complete or not); 0 when none."""
        return self.sinfo.sinfo_get(None, 0)[2] - 1

    def versions(self):
        """[(version, summary dict)] of the completed versions, oldest first."""
        out = []
        cursor, sino, ino, method, sgen, stime = self.sinfo.sinfo_list(None, 1)
        try:
            while ino:
                if sgen == COMPLETE:
                    out.append((sino, {"time": stime, "files": method}))
                sino, ino, method, sgen, stime = self.sinfo.sinfo_next(cursor)
        finally:
            self.sinfo.sinfo_end(cursor)
        for ver, summary in out:
            try:
                _, raw = self.root.eatr_lookup(None, SUMMARY_AID, ver)
                summary.update(json.loads(raw.decode()))
            except (qnst.NotFound, ValueError):
                pass
        return out

    def is_complete(self, ver):
        if ver <= 0:        # record 0 is the store's own, never a version
            return False
        try:
            return self.sinfo.sinfo_get(None, ver)[2] == COMPLETE
        except qnst.NotFound:
            return False

    def finish_version(self, txn, ver, summary):
        raw = json.dumps(summary, sort_keys=True).encode()
        self.root.eatr_update(txn, SUMMARY_AID, ver, raw, len(raw))
        self.sinfo.sinfo_set(txn, ver, self.root.ino, min(summary["files"], 0xFFFFFFFF),
                             COMPLETE, int(summary["time"]))

    # ---- Deferred work ------------------------------------------------------------------------

    def flush_queues(self, compactor=0):
        """Applies the block store's deferred work: queued stores, then queued holds and
        releases, so that reference counts are current (with `compactor`, while a compaction
        pass has its purge list open: a block whose count changes leaves the list)."""
        blocks = self.blocks
        for storeid in range(PARTITIONS):
            for flush in (lambda txn, tail: blocks.stq_flush(txn, storeid, tail),
                          lambda txn, tail: blocks.hdq_flush(txn, storeid, tail, compactor)):
                tail = 0

                def some(txn, tail):
                    for _ in range(256):
                        tail = flush(txn, tail)
                        if tail == 0:
                            break
                    return tail
                while True:
                    tail = qnst_bdb.retry(self.env, some, tail, sync=0)
                    if tail == 0:
                        break

    # ---- Data files -------------------------------------------------------------------------

    def data_name(self, dfid, dver=1):
        """The file of version `dver` of data file `dfid` (version 1 keeps the plain name)."""
        name = b"%08x" % dfid if dver <= 1 else b"%08x.%x" % (dfid, dver)
        return os.path.join(self.path, b"data", name)

    def close_data_files(self):
        """Lets go of the data files held open for reading (before a rewrite removes one)."""
        for f in self._data_files.values():
            f.close()
        self._data_files = {}

    def read_chunk(self, handle):
        """The stored bytes of block `handle`, checked against the record header before them."""
        with qnst_bdb.begin(self.env) as txn:
            dfid, dver, offset, length, _ = self.blocks.blk_read(txn, handle)
        f = self._data_files.get((dfid, dver))
        if f is None:
            f = self._data_files[(dfid, dver)] = open(self.data_name(dfid, dver), "rb")
        f.seek(offset - 16)
        raw = f.read(16 + length)
        if len(raw) != 16 + length:     # a data file cut short
            raise qnst.QnstError(errno.EIO)
        magic, stored, n = struct.unpack_from("<4sQi", raw)
        if magic != qnst_fastfile.QNST_MAGIC or stored != handle or n != length:
            raise qnst.QnstError(errno.EIO)
        return raw[16:]


def data_file_version(name):
    """(data-file index, version) of a file name of data/ ("%08x" or "%08x.%x"); None for a
    name of another kind."""
    parts = name.split(b".")
    if len(parts[0]) != 8 or len(parts) > 2:
        return None
    try:
        return int(parts[0], 16), int(parts[1], 16) if len(parts) == 2 else 1
    except ValueError:
        return None


def data_file_index(name):
    """The data-file index of a file name of data/; None for a name of another kind."""
    parsed = data_file_version(name)
    return parsed[0] if parsed else None


class DataWriter:
    """Appends chunks to the current data file; flush() before the transaction that maps them
    commits."""

    def __init__(self, store):
        self.store = store
        self.ff = None
        self.dfid = self._last_dfid()
        self._open()

    def _last_dfid(self):
        dfids = [data_file_index(n) for n in os.listdir(os.path.join(self.store.path, b"data"))]
        dfid = max((d for d in dfids if d is not None), default=1)
        return max(dfid, 1)

    def _open(self):
        self.dver = self.store.dfile.dfile_get(None, self.dfid)[0]
        name = self.store.data_name(self.dfid, self.dver)
        try:
            size = os.path.getsize(name)
        except FileNotFoundError:
            size = 0
        if size >= DATA_FILE_LIMIT:
            self.dfid += 1
            if self.dfid >= DATA_FILES:
                raise UserError("the store has no data file left")
            return self._open()
        size -= size % qnst_fastfile.SECTOR_SZ   # a torn last sector is written over
        ff = qnst_fastfile.pyFastFile(FAST_BUFFER, qnst_fastfile.FF_NORMAL)
        ff.ffile_open(qnst_fastfile.OPEN_WRITE, name, size, size)
        self.ff = ff
        self.end = size

    def write(self, data, handle):
        """Appends one chunk; returns (dfid, dver, offset of its data)."""
        offset, _ = self.ff.ffile_newblk(data, len(data), handle)
        return self.dfid, self.dver, offset

    def flush(self):
        if self.ff is not None:
            self.end = self.ff.ffile_flush()
            if self.end >= DATA_FILE_LIMIT:
                self.ff.close()
                self.ff = None
                self._open()

    def close(self):
        if self.ff is not None:
            self.ff.ffile_flush()
            self.ff.close()
            self.ff = None
