"""backup: one new version of one or more source trees.

The tree is kept as a namespace under the store's root inode: a source /a/b lies at root/a/b.
Every entry is an inode with a folder entry in its parent, a stat record (type and mode, size,
mtime, links), a metadata attribute (mode, owner, times, link target) and, for a regular file, a
block map of its chunks. Entries that did not change since the previous version are left as
they are: their records stay live into the new version. A file whose size and mtime did not
change is not read at all.

Hard links: the names of one source inode (same device and inode number) within a backup are
folder entries of one inode. Extended attributes are one attribute of the inode holding every
(name, value) pair, sorted by name; the POSIX ACLs (access and default) are kept apart, packed
the same way, in the ACL store, and the stat record holds the handle. A sparse file's block map
covers its data regions only; the stat record's method says that its holes are left uncovered.

The work runs in batches of many files per transaction. Each step of a batch is a function of
the transaction that can run again: when the engine reports a lock conflict the batch is
aborted and all its steps run again in a new transaction.
"""

import errno
import hashlib
import os
import stat
import struct
import time

import qnst
import qnst_bdb

from . import chunker
from .errors import EXIT_FAILED, UserError
from .store import LIVE, DataWriter

FILE, DIRECTORY, SYMLINK = 1, 2, 3
META_AID = 1
META = struct.Struct("<IIIqq")          # mode, uid, gid, atime_ns, mtime_ns; then link target
XATTR_AID = 2                           # the extended attributes, every pair in one value
ACL_NAMES = (b"system.posix_acl_access", b"system.posix_acl_default")
METHOD_HOLES = 1                        # stat method: the block map leaves the file's holes out
PAIR = struct.Struct("<HI")             # name length, value length; then name and value
HASH_LEN = 20
BATCH_BYTES = 32 * 1024 * 1024
BATCH_STEPS = 2000
CLEAR_STEP = 0xFFFFFFFF


def kind_of(mode):
    if stat.S_ISREG(mode):
        return FILE
    if stat.S_ISDIR(mode):
        return DIRECTORY
    if stat.S_ISLNK(mode):
        return SYMLINK
    return 0


def pack_meta(st, target=b""):
    return META.pack(st.st_mode, st.st_uid, st.st_gid, st.st_atime_ns, st.st_mtime_ns) + target


def unpack_meta(raw):
    mode, uid, gid, atime_ns, mtime_ns = META.unpack_from(raw)
    return mode, uid, gid, atime_ns, mtime_ns, raw[META.size:]


def pack_pairs(pairs):
    """(name, value) byte pairs as one value, in name order (equal sets pack equal)."""
    return b"".join(PAIR.pack(len(n), len(v)) + n + v for n, v in sorted(pairs))


def unpack_pairs(raw):
    out, i = [], 0
    while i < len(raw):
        nlen, vlen = PAIR.unpack_from(raw, i)
        i += PAIR.size
        out.append((raw[i:i + nlen], raw[i + nlen:i + nlen + vlen]))
        i += nlen + vlen
    return out


def read_xattrs(path):
    """(extended attributes, ACLs) of the entry at `path`, each packed (b"" when none); raises
    OSError when they cannot be read."""
    try:
        names = os.listxattr(path, follow_symlinks=False)
    except OSError as e:
        if e.errno in (errno.ENOTSUP, errno.EOPNOTSUPP):
            return b"", b""
        raise
    if not names:
        return b"", b""
    xattrs, acls = [], []
    for name in names:
        try:
            value = os.getxattr(path, name, follow_symlinks=False)
        except OSError as e:
            if e.errno == errno.ENODATA:     # removed since the listing
                continue
            raise
        name = os.fsencode(name)
        (acls if name in ACL_NAMES else xattrs).append((name, value))
    return pack_pairs(xattrs), pack_pairs(acls)


def same_meta(old, new):
    """Metadata equal but for the access time, which reading the tree itself moves."""
    return old is not None and old[:12] == new[:12] and old[20:] == new[20:]


class Batch:
    """A transaction that collects steps; commit() when enough work is in it."""

    ATTEMPTS = 20

    def __init__(self, env, writer):
        self.env, self.writer = env, writer
        self.steps, self.bytes, self.txn = [], 0, None
        self.counts = {}
        self.totals = {}
        self.pool = None
        self.closing = []       # nodes done with, closed once their batch has committed

    def count(self, key, n=1):
        self.counts[key] = self.counts.get(key, 0) + n

    def do(self, step, nbytes=0):
        """Runs `step(txn)` in the open transaction and keeps it for a rerun."""
        self.steps.append(step)
        self.bytes += nbytes
        for attempt in range(self.ATTEMPTS):
            if self.txn is None:
                self.txn = qnst_bdb.begin(self.env)
            try:
                if attempt:
                    for earlier in self.steps[:-1]:
                        earlier(self.txn)
                result = step(self.txn)
                break
            except qnst.Retryable:
                self._abort()
                if attempt + 1 == self.ATTEMPTS:
                    raise
        if len(self.steps) >= BATCH_STEPS or self.bytes >= BATCH_BYTES:
            self.commit()
        return result

    def _abort(self):
        if self.txn is not None and self.txn.active:
            self.txn.txn_abort()
        self.txn = None
        self.counts = {}

    def commit(self):
        if self.txn is None:
            return
        for attempt in range(self.ATTEMPTS):
            try:
                if self.txn is None:          # a rerun after a commit that lost a conflict
                    self.txn = qnst_bdb.begin(self.env)
                    for step in self.steps:
                        step(self.txn)
                self.writer.flush()   # the chunks reach the disk before the maps naming them
                self.txn.txn_commit(1)
                break
            except qnst.Retryable:
                self._abort()
                if attempt + 1 == self.ATTEMPTS:
                    raise
        self.txn = None
        for k, v in self.counts.items():
            self.totals[k] = self.totals.get(k, 0) + v
        for node in self.closing:
            node.close(self.pool)
        self.counts, self.steps, self.bytes, self.closing = {}, [], 0, []

    def close(self):
        self._abort()
        for node in self.closing:
            node.close(self.pool)
        self.closing = []


class Node:
    """An inode of the tree being written: its open handle, its folder entries at the previous
    version, and the new inode made ahead for it when it has none yet."""

    __slots__ = ("inode", "prev", "seen", "owned", "fresh", "children", "unread", "old")

    def __init__(self, inode, owned=True, fresh=None):
        self.inode, self.prev, self.seen, self.owned = inode, {}, set(), owned
        self.fresh = fresh
        self.children = {}      # name -> the opened inode of a previous entry
        self.unread = set()     # names of previous files whose block map is not opened
        self.old = {}           # name -> (metadata, stat) of a previous entry at that version

    def release(self):
        """Lets go of the handle taken by a step (before the step runs again)."""
        self.inode = None

    def close(self, pool):
        used = self.inode is not None and self.inode is self.fresh
        if self.owned and self.inode is not None and not used:
            self.inode.inode_close()
        self.inode = None
        for child in self.children.values():
            if child.ino:
                child.inode_close()
        self.children = {}
        if self.fresh is not None:
            if used:
                self.fresh.inode_close()
            else:
                pool.free.append(self.fresh)
            self.fresh = None


class InodePool:
    """New inodes made ahead, outside the batch's transaction (an inode's own database is
    created outside of any transaction, and a second transaction beside the batch's could
    wait for its locks)."""

    MAX = 256            # more open handles make every further open slower

    def __init__(self, store, batch, ver):
        self.store, self.batch, self.ver, self.free = store, batch, ver, []
        self.size = 8           # grows with the tree: making an inode is not cheap

    def take(self):
        if not self.free:
            self.batch.commit()
            self.free = self.store.new_inodes(self.size, self.ver, self.store.root)
            self.size = min(self.size * 2, self.MAX)
            self.free.reverse()
        return self.free.pop()

    def close(self):
        for node in self.free:
            node.inode_close()
        self.free = []


def same_content(old, st):
    """Whether a file's (metadata, stat) at the previous version show the size and
    modification time of `st`: its content is then not read again."""
    old_meta, old_stat = old
    return (old_stat is not None and old_meta is not None and old_stat[2] == st.st_size
            and unpack_meta(old_meta)[4] == st.st_mtime_ns)


def lstat(path):
    """os.lstat(path), or the OSError it raised."""
    try:
        return os.lstat(path)
    except OSError as e:
        return e


def folder_entries(inode, txn, ver):
    """{name: (cver, dver, type, cino)} of the folder entries valid at `ver`."""
    out = {}
    if ver <= 0:
        return out
    cursor, cver, dver, name, kind, cino = inode.dir_walk(txn, ver)
    try:
        while cver:
            out[name] = (cver, dver, kind, cino)
            cver, dver, name, kind, cino = inode.dir_next(cursor, ver)
    finally:
        inode.dir_done(cursor)
    return out


class Backup:
    def __init__(self, store, progress):
        self.store, self.progress = store, progress
        self.warnings = 0

    def warn(self, path, message):
        self.warnings += 1
        self.progress.message("warning: %s: %s" % (os.fsdecode(path), message))

    def run(self, sources):
        sources = self._sources(sources)
        store = self.store
        self.prev = store.last_version()
        self.ver = store.next_version()
        self.writer = DataWriter(store)
        self.batch = Batch(store.env, self.writer)
        self.pool = self.batch.pool = InodePool(store, self.batch, self.ver)
        st = os.stat(store.path)
        self.store_id = (st.st_dev, st.st_ino)
        self.linked = {}    # (st_dev, st_ino) of a source with several links -> its inode
        self.claimed = {}   # inode once shared by several names -> the (st_dev, st_ino) using it
        root = Node(store.root, owned=False)
        start = time.time()
        try:
            self.batch.do(lambda txn: self._read_folder(root, txn))
            self._walk_selected(root, b"/", self._source_tree(sources))
            summary = dict(self.batch.totals)
            for key, n in self.batch.counts.items():
                summary[key] = summary.get(key, 0) + n
            summary.update(time=int(start), seconds=round(time.time() - start, 3),
                           sources=[os.fsdecode(s) for s in sources])
            for key in ("files", "dirs", "symlinks", "bytes", "chunks", "new_chunks",
                        "new_bytes"):
                summary.setdefault(key, 0)
            self.batch.do(lambda txn: self.store.finish_version(txn, self.ver, summary))
            self.batch.commit()
        finally:
            self.batch.close()
            try:
                store.flush_queues()
            except qnst.QnstError as e:   # the work stays queued for the next run
                self.warn(store.path, "deferred block work not applied: %s" % e)
            self.pool.close()
            self.writer.close()
        self.progress.done()
        return self.ver, summary

    def _read_folder(self, node, txn):
        node.prev = folder_entries(node.inode, txn, self.prev)

    # ---- Sources ----------------------------------------------------------------------------

    def _sources(self, sources):
        out = []
        for s in sources:
            path = os.path.abspath(os.fsencode(s))
            if not os.path.lexists(path):
                raise UserError("source %s does not exist" % os.fsdecode(s))
            out.append(path)
        return out

    @staticmethod
    def _source_tree(sources):
        """The sources as a tree of path components; True marks a whole subtree."""
        tree = {}
        for path in sorted(sources):
            parts = [p for p in path.split(b"/") if p]
            if not parts:
                return True                         # the whole file system
            node = tree
            for i, part in enumerate(parts):
                if node is True:
                    break
                if i == len(parts) - 1:
                    node[part] = True
                else:
                    node = node.setdefault(part, {})
        return tree

    # ---- Walking ----------------------------------------------------------------------------

    def _walk_selected(self, parent, path, selection):
        """Enters the entries of folder `parent` (at `path`) named in `selection` (all of
        them when it is True), then ends the entries it did not see."""
        if selection is True:
            try:
                with os.scandir(path) as it:
                    names = sorted(e.name for e in it)
            except OSError as e:
                self.warn(path, e.strerror)
                names = None
            if names is None:        # unreadable: keep what the previous version had
                parent.seen.update(parent.prev)
                names = []
            picks = [(name, True) for name in names]
        else:
            picks = [(name, selection[name]) for name in sorted(selection)]
        stats = {name: lstat(os.path.join(path, name)) for name, _ in picks}
        self._open_children(parent, stats)
        for name, sel in picks:
            self._entry(parent, os.path.join(path, name), name, sel, stats[name])
        gone = [(n, e) for n, e in parent.prev.items() if n not in parent.seen]
        if gone:
            self.batch.do(lambda txn: self._end_entries(parent, gone, txn))

    def _open_children(self, parent, stats):
        """Opens the inodes of the folder's previous entries ahead: opening an inode reads
        its records outside of any transaction, which must not wait for the batch's locks.
        `stats` holds the entries' lstat results: the block map of a file is opened only when
        its size or modification time says that its content is read again."""
        if not parent.prev:
            return
        self.batch.commit()
        store = self.store
        parent.children, parent.unread, parent.old = {}, set(), {}
        for name, (_, _, kind, cino) in parent.prev.items():
            child = parent.children[name] = store.inode(cino, store.root, content=False)
            old = parent.old[name] = self._old_records(child, None)
            if kind == FILE:
                st = stats.get(name)
                if isinstance(st, os.stat_result) and same_content(old, st):
                    parent.unread.add(name)
                else:
                    child.inode_chk()

    def _old_records(self, inode, txn):
        """(metadata, stat) of the inode at the previous version; (None, None) without
        metadata, (metadata, None) without a stat record."""
        old_meta = old_stat = None
        try:
            old_meta = inode.eatr_lookup(txn, META_AID, self.prev)[1]
            old_stat = inode.stat_lookup(txn, self.prev)
        except qnst.NotFound:
            pass
        return old_meta, old_stat

    def _end_entries(self, parent, gone, txn):
        for name, (_, _, _, cino) in gone:
            parent.inode.dir_del(txn, name, len(name), self.ver, cino)

    def _entry(self, parent, path, name, selection, st=None):
        try:
            if st is None:
                st = os.lstat(path)
            elif isinstance(st, OSError):
                raise st
        except OSError as e:
            self.warn(path, e.strerror)
            if name in parent.prev:
                parent.seen.add(name)
            return
        kind = kind_of(st.st_mode)
        if (st.st_dev, st.st_ino) == self.store_id:
            # A store inside the tree it backs up would take in its own growing files.
            self.progress.message("note: %s: skipped (the store itself)" % os.fsdecode(path))
            return
        if not kind:
            self.warn(path, "skipped (not a file, folder or symbolic link)")
            return
        if selection is not True and kind != DIRECTORY:
            self.warn(path, "a folder was expected")
            return
        target = b""
        if kind == SYMLINK:
            try:
                target = os.readlink(path)
            except OSError as e:
                self.warn(path, e.strerror)
                return
        try:
            xattrs, acls = read_xattrs(path)
        except OSError as e:        # what the previous version had is kept
            self.warn(path, "extended attributes: %s" % e.strerror)
            xattrs = acls = None
        parent.seen.add(name)
        old = parent.prev.get(name)
        ident = (st.st_dev, st.st_ino)
        linked = kind != DIRECTORY and st.st_nlink > 1
        if linked and ident in self.linked:
            ino = self.linked[ident]
            self.batch.do(lambda txn: self._link(parent, name, kind, old, ino, txn))
            self.progress.file(0)
            return
        # An inode shared by several names in the previous version goes on with the first of
        # them seen here; a name whose source is another inode now gets an inode of its own.
        reuse = old is not None and old[2] == kind and self.claimed.get(old[3], ident) == ident
        node = Node(None, fresh=None if reuse else self.pool.take())
        meta = pack_meta(st, target)
        state = dict(reuse=reuse, ident=ident, xattrs=xattrs, acls=acls)
        try:
            self.batch.do(lambda txn: self._enter(parent, node, name, kind, st, meta, state,
                                                   txn))
            if linked:
                self.linked[ident] = node.inode.ino
            if kind == FILE:
                if not state["unchanged"]:
                    if node.fresh is None and name in parent.unread:
                        # The file changed after all: its block map is opened outside of
                        # the batch's transaction.
                        self.batch.commit()
                        node.inode.inode_chk()
                        parent.unread.discard(name)
                    self._content(node, path, st, state)
                self.progress.file(st.st_size)
            elif kind == DIRECTORY:
                self._walk_selected(node, path, selection)
            else:
                self.progress.file(0)
        finally:
            self.batch.closing.append(node)

    def _enter(self, parent, node, name, kind, st, meta, state, txn):
        """The entry, its inode, metadata and stat as of this version; for a file, whether
        its content is unchanged since the previous version."""
        ver, prev = self.ver, self.prev
        node.release()
        old = parent.prev.get(name)
        state["unchanged"] = False
        if state["reuse"]:
            node.inode = parent.children[name]
            # The previous version's records do not change while this one is written.
            old_meta, old_stat = parent.old.get(name) or self._old_records(node.inode, txn)
            # Without a record of the previous version (it was forgotten) the inode may have
            # had several names: it is claimed as when its record says so.
            if kind != DIRECTORY and (old_stat is None or old_stat[6] > 1):
                self.claimed[old[3]] = state["ident"]
        else:
            if old is not None:
                parent.inode.dir_del(txn, name, len(name), ver, old[3])
            node.inode = node.fresh
            parent.inode.dir_add(txn, name, len(name), ver, kind, node.inode.ino)
            old_meta = old_stat = None
        if not same_meta(old_meta, meta):
            node.inode.eatr_update(txn, META_AID, ver, meta, len(meta))
        self._xattrs(node.inode, state["xattrs"], state["reuse"], txn)
        size = st.st_size if kind == FILE else 0
        acls = state["acls"]
        if acls is None:
            acl = old_stat[3] if old_stat is not None else 0
        else:
            # -1: ACLs not stored yet, unlike any stat record's
            acl = (self.store.acls.acl_lookup(txn, sha1(acls), HASH_LEN) or -1) if acls else 0
        method = 0
        if kind == FILE:
            state["unchanged"] = same_content((old_meta, old_stat), st)
            if old_stat is not None or not state["reuse"]:
                state["old_size"] = old_stat[2] if old_stat is not None else 0
            else:
                # The previous version's record is gone (that version was forgotten), but
                # blocks of an older content may still be live: they end where the map ends.
                state["old_size"] = live_end(node.inode, txn)
            if state["unchanged"]:
                method = old_stat[5]
        new_stat = (st.st_mode & 0xFFFFFFFF, size, acl, int(st.st_mtime) & 0xFFFFFFFF, method,
                    min(st.st_nlink, 0xFFFFFFFF))
        if kind == FILE:
            self.batch.count("files")
            self.batch.count("bytes", size)
        else:
            self.batch.count("dirs" if kind == DIRECTORY else "symlinks")
        if old_stat is None or tuple(old_stat[1:]) != new_stat:
            # The stat record is written after the content (below) for a changed file, so that
            # an interrupted file is read again by the next backup.
            if kind != FILE or state["unchanged"]:
                self._stat_update(node.inode, new_stat, acls, txn)
        state["stat"] = new_stat
        if kind == DIRECTORY:
            node.prev = folder_entries(node.inode, txn, prev) if old is not None else {}
            node.seen = set()

    def _link(self, parent, name, kind, old, ino, txn):
        """One more name of an inode entered earlier in this backup."""
        if old is not None and old[3] == ino:
            return
        if old is not None:
            parent.inode.dir_del(txn, name, len(name), self.ver, old[3])
        parent.inode.dir_add(txn, name, len(name), self.ver, kind, ino)
        self.batch.count("links")

    def _xattrs(self, inode, packed, reuse, txn):
        """The extended attributes as of this version: written when they changed, ended when
        they are gone; kept as they were when they could not be read (None)."""
        if packed is None:
            return
        old = b""
        if reuse:
            try:
                old = inode.eatr_lookup(txn, XATTR_AID, self.prev)[1]
            except qnst.NotFound:
                pass
        if packed == old:
            return
        if packed:
            inode.eatr_update(txn, XATTR_AID, self.ver, packed, len(packed))
        else:
            inode.eatr_clear(txn, XATTR_AID, self.ver)

    def _stat_update(self, inode, new_stat, acls, txn):
        """Writes the stat record; the ACL it names gets a reference of its own, stored first
        when it is new."""
        store = self.store.acls
        acl = new_stat[2]
        if acls:
            digest = sha1(acls)
            acl = store.acl_lookup(txn, digest, HASH_LEN)
            if acl:
                store.acl_hold(txn, acl)
            else:
                acl = store.acl_store(txn, digest, HASH_LEN, acls, len(acls))
        elif acl:
            store.acl_hold(txn, acl)
        inode.stat_update(txn, self.ver, new_stat[0], new_stat[1], acl, *new_stat[3:])

    def _content(self, node, path, st, state):
        try:
            f = open(path, "rb")
        except OSError as e:
            self.warn(path, e.strerror)
            return
        size = 0
        holes = []
        with f:
            pending, nbytes = [], 0
            if st.st_blocks * 512 < st.st_size:     # holes: only the data is read
                pieces = chunker.data_chunks(f.fileno(), holes)
            else:
                pieces = chunker.chunks(f, st.st_size)
            try:
                for offset, data in pieces:
                    pending.append((offset, data, hashlib.sha1(data).digest()))
                    nbytes += len(data)
                    size = offset + len(data)
                    if nbytes >= 4 * 1024 * 1024:
                        self.batch.do(lambda txn, p=pending: self._chunks(node, p, txn), nbytes)
                        pending, nbytes = [], 0
            except OSError as e:
                # What was read is kept, and its size recorded with it: the version holds
                # the bytes read before the failure, never a mix with the previous content.
                self.warn(path, "%s (%d bytes kept)" % (e.strerror, size))
            else:
                size = max([size] + [end for _, end in holes])
            if pending:
                self.batch.do(lambda txn, p=pending: self._chunks(node, p, txn), nbytes)
        holes = [(start, min(end, size)) for start, end in holes if start < size]
        s = state["stat"]
        new_stat = (s[0], size, s[2], s[3], METHOD_HOLES if holes else 0, s[5])
        self.batch.do(lambda txn: self._finish_file(node, new_stat, state, holes, txn))

    def _chunks(self, node, chunks, txn):
        inode, ver, blocks, writer = node.inode, self.ver, self.store.blocks, self.writer
        for offset, data, digest in chunks:
            n = len(data)
            if not inode.bmap_reconcile(txn, offset, n, ver, digest, HASH_LEN, 0):
                handle = blocks.blk_gen_handle(digest, HASH_LEN)
                dfid, dver, coff = writer.write(data, handle)
                inode.bmap_enter(txn, offset, n, ver, handle, digest, HASH_LEN, dfid, dver,
                                 coff, n)
                self.batch.count("new_chunks")
                self.batch.count("new_bytes", n)
            self.batch.count("chunks")

    def _finish_file(self, node, new_stat, state, holes, txn):
        inode, ver, old_size = node.inode, self.ver, state["old_size"]
        # The blocks of the previous content that lie in a hole or past the new end end here.
        for start, end in holes + [(new_stat[1], old_size)]:
            end = min(end, old_size)
            while start < end:
                inode.bmap_clear(txn, start, min(end - start, CLEAR_STEP), ver)
                start += CLEAR_STEP
        self._stat_update(inode, new_stat, state["acls"], txn)


def sha1(data):
    return hashlib.sha1(data).digest()


def live_end(inode, txn):
    """The end of the last live block of the file's block map (0 when none is live)."""
    end = 0
    cursor, cver, dver, offset, size, _ = inode.bmap_woff(txn, 0, 0)
    try:
        while cver:
            if dver == LIVE:
                end = max(end, offset + size)
            cver, dver, offset, size, _ = inode.bmap_noff(cursor)
    finally:
        inode.bmap_done(cursor)
    return end


def run(store, sources, progress):
    b = Backup(store, progress)
    ver, summary = b.run(sources)
    return ver, summary, (EXIT_FAILED if b.warnings else 0)
