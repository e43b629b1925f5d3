"""restore: a version, whole or in part, written back with its content and metadata; and the
readers that restore and verify share."""

import errno
import os
import stat

import qnst
import qnst_bdb

from .backup import DIRECTORY, FILE, META_AID, SYMLINK, XATTR_AID, unpack_meta, unpack_pairs
from .errors import EXIT_FAILED, UserError


def entries(store, inode, ver):
    """[(name, type, cino)] of folder `inode` at `ver`, read in a transaction of their own."""
    out = []
    with qnst_bdb.begin(store.env) as txn:
        cursor, cver, dver, name, kind, cino = inode.dir_walk(txn, ver)
        try:
            while cver:
                out.append((name, kind, cino))
                cver, dver, name, kind, cino = inode.dir_next(cursor, ver)
        finally:
            inode.dir_done(cursor)
    out.sort()
    return out


def block_map(store, inode, ver=None):
    """[(offset, size, handle)] of the file's blocks valid at `ver` (every entry of every
    version, as (offset, size, handle, cver, dver), when `ver` is None), by offset."""
    with qnst_bdb.begin(store.env) as txn:
        return block_map_in(inode, txn, ver)


def block_map_in(inode, txn, ver=None):
    """block_map, read in the caller's transaction `txn`."""
    out = []
    cursor, cver, dver, offset, size, handle = inode.bmap_woff(txn, 0, 0)
    try:
        while cver:
            if ver is None:
                out.append((offset, size, handle, cver, dver))
            elif cver <= ver < dver:
                out.append((offset, size, handle))
            cver, dver, offset, size, handle = inode.bmap_noff(cursor)
    finally:
        inode.bmap_done(cursor)
    out.sort()
    return out


def file_size(store, inode, ver):
    with qnst_bdb.begin(store.env) as txn:
        return inode.stat_lookup(txn, ver)[2]


def stat_record(store, inode, ver):
    """(cver, flags, size, acl, mtime, method, links) of the entry at `ver`."""
    with qnst_bdb.begin(store.env) as txn:
        return inode.stat_lookup(txn, ver)


def xattrs(store, inode, ver, acl):
    """[(name, value)] of the entry's extended attributes at `ver`, its ACLs (the ACL store's
    `acl`) among them."""
    with qnst_bdb.begin(store.env) as txn:
        try:
            out = unpack_pairs(inode.eatr_lookup(txn, XATTR_AID, ver)[1])
        except qnst.NotFound:
            out = []
        if acl:
            out += unpack_pairs(store.acls.acl_read(txn, acl))
    return out


def metadata(store, inode, ver):
    with qnst_bdb.begin(store.env) as txn:
        return unpack_meta(inode.eatr_lookup(txn, META_AID, ver)[1])


def find(store, ver, path):
    """(type, ino) of the entry at `path` (components from the root) in version `ver`; None
    when there is none."""
    kind, ino = DIRECTORY, store.root.ino
    for name in path:
        if kind != DIRECTORY:
            return None
        inode = store.root if ino == store.root.ino else store.inode(ino, None)
        try:
            with qnst_bdb.begin(store.env) as txn:
                _, _, kind, ino = inode.dir_lookup(txn, name, len(name), ver, 0)
        except qnst.NotFound:
            return None
        finally:
            if inode is not store.root:
                inode.inode_close()
    return kind, ino


class Restore:
    def __init__(self, store, ver, progress):
        self.store, self.ver, self.progress = store, ver, progress
        self.failures = 0
        self.is_root = os.geteuid() == 0
        self.links = {}         # inode with several names -> where its first name was restored

    def fail(self, path, message):
        self.failures += 1
        self.progress.message("error: %s: %s" % (os.fsdecode(path), message))

    def entry(self, dest, kind, ino):
        first = self.links.get(ino)
        if first is not None:
            try:
                os.link(first, dest, follow_symlinks=False)
                self.progress.file(0)
                return
            except OSError:         # a copy of its own, then
                pass
        inode = self.store.inode(ino, None, content=kind == FILE)
        try:
            meta = metadata(self.store, inode, self.ver)
            st = stat_record(self.store, inode, self.ver)
            if kind == DIRECTORY:
                self.folder(dest, inode)
            elif kind == FILE:
                self.content(dest, inode, st[2])
            elif kind == SYMLINK:
                os.symlink(meta[5], dest)
            self.apply(dest, kind, meta, xattrs(self.store, inode, self.ver, st[3]))
            if kind != DIRECTORY and st[6] > 1:
                self.links[ino] = dest
        except OSError as e:
            self.fail(dest, e.strerror)
        finally:
            inode.inode_close()

    def folder(self, dest, inode):
        try:
            os.mkdir(dest, 0o700)
        except FileExistsError:
            if not os.path.isdir(dest) or os.path.islink(dest):
                raise
        for name, kind, cino in entries(self.store, inode, self.ver):
            self.entry(os.path.join(dest, name), kind, cino)

    def content(self, dest, inode, size):
        """The file's data: holes between blocks and past the last one stay holes."""
        fd = os.open(dest, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "wb") as f:
            end = 0
            for offset, length, handle in block_map(self.store, inode, self.ver):
                if offset >= size:
                    break
                if offset != end:
                    f.seek(offset)
                data = self.store.read_chunk(handle)
                f.write(data[:size - offset])
                end = offset + len(data)
            if f.tell() != size:        # a hole at the end (a new file holds what was written)
                f.truncate(size)
        self.progress.file(size)

    def apply(self, dest, kind, meta, pairs):
        mode, uid, gid, atime_ns, mtime_ns, _ = meta
        if self.is_root or uid == os.geteuid():
            try:
                os.chown(dest, uid, gid, follow_symlinks=False)
            except OSError as e:
                if e.errno != errno.EPERM:
                    raise
        # After the owner (a change of owner drops file capabilities), before the mode (which
        # the access ACL's mask follows).
        for name, value in pairs:
            try:
                os.setxattr(dest, name, value, follow_symlinks=False)
            except OSError as e:
                self.fail(dest, "extended attribute %s: %s"
                          % (os.fsdecode(name), e.strerror))
        if kind != SYMLINK:
            os.chmod(dest, stat.S_IMODE(mode))
        os.utime(dest, ns=(atime_ns, mtime_ns), follow_symlinks=False)


def split(path):
    return [p for p in os.fsencode(path).split(b"/") if p and p != b"."]


def run(store, ver, dest, paths, progress):
    if not store.is_complete(ver):
        raise UserError("no version %d in the store (see: list)" % ver)
    dest = os.fsencode(dest)
    try:
        os.makedirs(dest, exist_ok=True)
    except OSError as e:
        raise UserError("cannot create %s: %s" % (os.fsdecode(dest), e.strerror))
    r = Restore(store, ver, progress)
    if not paths:
        for name, kind, cino in entries(store, store.root, ver):
            r.entry(os.path.join(dest, name), kind, cino)
    else:
        for path in paths:
            parts = split(path)
            found = find(store, ver, parts)
            if found is None:
                raise UserError("%s is not in version %d" % (os.fsdecode(path), ver))
            if not parts:
                for name, kind, cino in entries(store, store.root, ver):
                    r.entry(os.path.join(dest, name), kind, cino)
                continue
            target = os.path.join(dest, *parts)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            r.entry(target, *found)
    progress.done()
    return EXIT_FAILED if r.failures else 0
