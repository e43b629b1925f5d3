"""ls and diff: reading a version's tree without restoring it.

ls prints one entry a line, as `ls -l` does: type and mode (+ when it has ACLs), owner, group,
size, modification time and the path (a symbolic link as `path -> target`). Without a path it
lists the whole tree; a path names a file (that one line) or a folder (its entries; the whole
subtree with -R).

diff prints what changed from one version to another, one path a line in tree order:
    +  added            -  removed          T  type changed (a folder's entries follow as + / -)
    M  content changed (size, blocks, or a link's target)
    m  metadata only (mode, owner, group, modification time, extended attributes, ACLs)
Whether an entry changed is first asked of its records: a record valid at both versions is
the same record, so an entry whose metadata, attribute and stat records span both versions
and whose block map gained no entry between them is unchanged without reading its block map.
Only records that differ are compared by value (an edit that was undone is no change).
"""

import grp
import pwd
import stat
import time

import qnst
import qnst_bdb

from .backup import (DIRECTORY, FILE, META_AID, METHOD_HOLES, SYMLINK, XATTR_AID,
                     folder_entries, unpack_meta)
from .errors import UserError
from .restore import block_map_in, find, split

_ESCAPES = {"\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def show(raw):
    """A name or path as one printable line: UTF-8 as it is; bytes that are not UTF-8 as \\xNN,
    control characters and the backslash escaped, so that every entry stays on its line and
    two different names never look alike."""
    text = raw.decode("utf-8", "surrogateescape")
    if text.isprintable() and "\\" not in text:
        return text
    out = []
    for ch in text:
        code = ord(ch)
        if 0xDC80 <= code <= 0xDCFF:            # a byte that is not UTF-8
            out.append("\\x%02x" % (code - 0xDC00))
        elif ch in _ESCAPES:
            out.append(_ESCAPES[ch])
        elif not ch.isprintable():
            out.append("\\x%02x" % code if code < 0x100 else "\\u%04x" % code)
        else:
            out.append(ch)
    return "".join(out)


def check_version(store, ver):
    if not store.is_complete(ver):
        raise UserError("no version %d in the store (see: list)" % ver)


def listing(store, ino, ver):
    """{name: (cver, dver, type, cino)} of folder `ino` at `ver`."""
    inode = store.root if ino == store.root.ino else store.inode(ino, None)
    try:
        with qnst_bdb.begin(store.env) as txn:
            return folder_entries(inode, txn, ver)
    finally:
        if inode is not store.root:
            inode.inode_close()


def _lookup(fn, *args):
    """The record a lookup finds, None when there is none."""
    try:
        return fn(*args)
    except qnst.NotFound:
        return None


# ---- ls ---------------------------------------------------------------------------------------

class Lister:
    def __init__(self, store, ver, write):
        self.store, self.ver, self.write = store, ver, write
        self._users, self._groups = {}, {}

    def _name(self, cache, lookup, num):
        name = cache.get(num)
        if name is None:
            try:
                name = cache[num] = lookup(num)[0]
            except KeyError:
                name = cache[num] = str(num)
        return name

    def line(self, path, kind, ino, entries=False):
        """Writes the entry's line; returns its folder entries when `entries` is true."""
        store = self.store
        inode = store.inode(ino, None)
        try:
            with qnst_bdb.begin(store.env) as txn:
                meta = _lookup(inode.eatr_lookup, txn, META_AID, self.ver)
                st = _lookup(inode.stat_lookup, txn, self.ver)
                if entries:
                    entries = folder_entries(inode, txn, self.ver)
        finally:
            inode.inode_close()
        if meta is None:
            self.write("??????????  %-8s %-8s %12s %19s %s" % ("?", "?", "?", "?", show(path)))
            return entries
        mode, uid, gid, _, mtime_ns, target = unpack_meta(meta[1])
        size = st[2] if kind == FILE and st is not None else \
            len(target) if kind == SYMLINK else 0
        when = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(mtime_ns // 1_000_000_000))
        acl = "+" if st is not None and st[3] else " "       # as ls marks a file with ACLs
        text = "%s%s %-8s %-8s %12d %s %s" % (
            stat.filemode(mode), acl, self._name(self._users, pwd.getpwuid, uid),
            self._name(self._groups, grp.getgrgid, gid), size, when, show(path))
        if kind == SYMLINK:
            text += " -> " + show(target)
        self.write(text)
        return entries

    def folder(self, path, entries, recursive):
        """Lists a folder's `entries` (and, when `recursive`, the folders among them)."""
        for name in sorted(entries):
            _, _, kind, cino = entries[name]
            child = path + b"/" + name
            below = self.line(child, kind, cino, recursive and kind == DIRECTORY)
            if below:
                self.folder(child, below, True)


def ls(store, ver, path, recursive, write):
    """Writes the entries of version `ver` (under `path`, when given) through `write`."""
    check_version(store, ver)
    lister = Lister(store, ver, write)
    if path is None:
        lister.folder(b"", listing(store, store.root.ino, ver), True)
        return 0
    parts = split(path)
    found = find(store, ver, parts)
    if found is None:
        raise UserError("%s is not in version %d" % (path, ver))
    kind, ino = found
    where = b"".join(b"/" + p for p in parts)
    if kind == DIRECTORY:
        lister.folder(where, listing(store, ino, ver), recursive)
    else:
        lister.line(where, kind, ino)
    return 0


# ---- diff -------------------------------------------------------------------------------------

ADDED, REMOVED, CONTENT, META, TYPE = "+", "-", "M", "m", "T"


class Differ:
    def __init__(self, store, va, vb, write):
        self.store, self.va, self.vb, self.write = store, va, vb, write
        self.lo, self.hi = min(va, vb), max(va, vb)

    def folder(self, path, ea, eb):
        """Compares a folder's entries `ea` at the first version with `eb` at the second."""
        for name in sorted(set(ea) | set(eb)):
            child = path + b"/" + name
            a, b = ea.get(name), eb.get(name)
            if b is None:
                self.subtree(REMOVED, child, a[2], a[3], self.va)
            elif a is None:
                self.subtree(ADDED, child, b[2], b[3], self.vb)
            elif a[2] != b[2]:
                self.write(TYPE, child)
                self.subtree(REMOVED, child, a[2], a[3], self.va, itself=False)
                self.subtree(ADDED, child, b[2], b[3], self.vb, itself=False)
            else:
                change, entries = self.entry(b[2], a[3], b[3])
                if change:
                    self.write(change, child)
                if entries:
                    self.folder(child, *entries)

    def subtree(self, code, path, kind, ino, ver, itself=True):
        """Reports an entry and everything under it as added or removed (only what lies under
        it when `itself` is false)."""
        if itself:
            self.write(code, path)
        if kind == DIRECTORY:
            entries = listing(self.store, ino, ver)
            for name in sorted(entries):
                _, _, ckind, cino = entries[name]
                self.subtree(code, path + b"/" + name, ckind, cino, ver)

    def entry(self, kind, ia, ib):
        """(CONTENT, META or None; for a folder its entries at both versions, else None) of
        an entry of the same type at both versions, read through one opening of each inode."""
        store = self.store
        first = store.inode(ia, None)
        try:
            second = first if ia == ib else store.inode(ib, None)
            try:
                with qnst_bdb.begin(store.env) as txn:
                    change = self._change(kind, first, second, txn)
                    entries = None
                    if kind == DIRECTORY:
                        entries = (folder_entries(first, txn, self.va),
                                   folder_entries(second, txn, self.vb))
            finally:
                if second is not first:
                    second.inode_close()
        finally:
            first.inode_close()
        return change, entries

    def _change(self, kind, first, second, txn):
        if first is second:
            return self._same_inode(kind, first, txn)
        a = _state(kind, first, txn, self.va)
        b = _state(kind, second, txn, self.vb)
        if kind == FILE and a[_SIZE] == b[_SIZE]:
            a += (block_map_in(first, txn, self.va),)
            b += (block_map_in(second, txn, self.vb),)
        return _compare(a, b, self.store, txn)

    def _same_inode(self, kind, inode, txn):
        """The change of one inode between the versions, asked of its records first."""
        metas = self._both(inode.eatr_lookup, txn, META_AID)
        xattrs = self._both(inode.eatr_lookup, txn, XATTR_AID)
        stats = self._both(inode.stat_lookup, txn)
        a, b = (_state_of(kind, *records) for records in zip(metas, xattrs, stats))
        if kind == FILE and a[_SIZE] == b[_SIZE] and self._blocks_may_differ(inode, txn, stats):
            a += (block_map_in(inode, txn, self.lo),)
            b += (block_map_in(inode, txn, self.hi),)
        return _compare(a, b, self.store, txn)

    def _both(self, lookup, *args):
        """The records `lookup` finds at the older and at the newer version: one lookup when
        the record valid at the newer version began by the older one (it is the same record)."""
        hi = _lookup(lookup, *args, self.hi)
        if hi is not None and hi[0] <= self.lo:
            return hi, hi
        return _lookup(lookup, *args, self.lo), hi

    def _blocks_may_differ(self, inode, txn, stats):
        """Whether a file of one size at both versions may hold other blocks. Not when its
        block map gained no entry after the older version, up to the newer one, and either
        its stat record spans both (a backup that rewrites content writes a new one) or it
        has no holes at both: then its blocks cover its size without gaps, and those valid at
        the newer version are exactly those of the older."""
        if stats[0] is not stats[1] and any(st is None or st[5] & METHOD_HOLES
                                            for st in stats):
            return True
        cursor, cver, _, _ = inode.bmap_walk(txn, self.lo, 0)
        try:
            return bool(cver) and cver <= self.hi
        finally:
            inode.bmap_done(cursor)


_META, _XATTRS, _ACL, _SIZE = range(4)     # an entry's state; a file's blocks may follow


def _state(kind, inode, txn, ver):
    return _state_of(kind, _lookup(inode.eatr_lookup, txn, META_AID, ver),
                     _lookup(inode.eatr_lookup, txn, XATTR_AID, ver),
                     _lookup(inode.stat_lookup, txn, ver))


def _state_of(kind, meta, xattrs, st):
    """(metadata tuple, packed extended attributes, ACL handle, size) from an entry's
    records (size None but for a file)."""
    return (unpack_meta(meta[1]) if meta is not None else None,
            xattrs[1] if xattrs is not None else b"",
            st[3] if st is not None else 0,
            (st[2] if st is not None else None) if kind == FILE else None)


def _compare(a, b, store, txn):
    """CONTENT, META or None from two states."""
    meta_a, meta_b = a[_META], b[_META]
    if a[_SIZE:] != b[_SIZE:] or (meta_a is None) != (meta_b is None):
        return CONTENT
    if meta_a is not None and meta_a[5] != meta_b[5]:       # a link's target
        return CONTENT
    # mode, owner, group and modification time; the access time is no change
    if meta_a is not None and (meta_a[:3] != meta_b[:3] or meta_a[4] != meta_b[4]):
        return META
    if a[_XATTRS] != b[_XATTRS]:
        return META
    acl_a, acl_b = a[_ACL], b[_ACL]
    if acl_a != acl_b and (not acl_a or not acl_b or
                           store.acls.acl_read(txn, acl_a) != store.acls.acl_read(txn, acl_b)):
        return META
    return None


def diff(store, va, vb, write):
    """Writes (code, path) through `write` for every change from version `va` to `vb`."""
    check_version(store, va)
    check_version(store, vb)
    root = store.root.ino
    Differ(store, va, vb, write).folder(b"", listing(store, root, va), listing(store, root, vb))
    return 0
