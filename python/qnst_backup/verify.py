"""verify: the store's consistency, and with --data every stored chunk read back and hashed.

Checked: every version's tree can be read (entries, metadata, stat records); every file's
blocks valid at a version cover its size without gaps (but the holes of a sparse file) or
overlaps; every block's reference count
equals the number of block-map entries that hold it; every block's record in its data file
carries its handle and length; every ACL a stat record names is in the ACL store; with --data,
every block's bytes hash to its stored hash. After forget and compact: no block is held that no
block-map entry holds, every block record names the current version of its data file (or the one
a rewrite is moving it from), and every data file's usage in the dfile table equals the bytes of
the blocks recorded in it.
"""

import hashlib
import os
import struct

import qnst
import qnst_bdb

from .backup import ACL_NAMES, DIRECTORY, FILE, METHOD_HOLES, unpack_pairs
from .errors import EXIT_FAILED
from .restore import block_map, entries, metadata, stat_record
from .store import PARTITIONS, data_file_version

LINK_DFID = 0xFFFFFFFF       # the data file of a block that is a link to another block


class Verify:
    def __init__(self, store, progress):
        self.store, self.progress = store, progress
        self.problems = 0
        self.quiet = False      # true while walking a version that never completed
        self.maps = {}          # ino -> every block-map entry of the file
        self.acls = {}          # ACL handle -> where a stat record names it

    def problem(self, text):
        if self.quiet:
            return
        self.problems += 1
        self.progress.message("problem: " + text)

    def tree(self, ver, inode, path):
        for name, kind, cino in entries(self.store, inode, ver):
            where = "version %d: %s" % (ver, (path + b"/" + name).decode("utf-8", "replace"))
            child = self.store.inode(cino, None)
            try:
                metadata(self.store, child, ver)
                st = stat_record(self.store, child, ver)
                if st[3]:
                    self.acls.setdefault(st[3], where)
                if kind == DIRECTORY:
                    self.tree(ver, child, path + b"/" + name)
                elif kind == FILE:
                    self.file(ver, child, cino, where, st)
            except qnst.QnstError as e:
                self.problem("%s: %s" % (where, e))
            finally:
                child.inode_close()

    def file(self, ver, inode, ino, where, st):
        _, _, size, _, _, method, _ = st
        holes = method & METHOD_HOLES
        if ino not in self.maps:
            self.maps[ino] = block_map(self.store, inode)
        end = 0
        for offset, length, handle, cver, dver in self.maps[ino]:
            if not cver <= ver < dver:
                continue
            if offset < end or offset > end and not holes:
                self.problem("%s: block at %d, expected one at %d" % (where, offset, end))
            end = offset + length
        if end < size and not holes:
            self.problem("%s: blocks end at %d of %d bytes" % (where, end, size))
        self.progress.file(size)

    def acl_store(self):
        for handle, where in sorted(self.acls.items()):
            try:
                with qnst_bdb.begin(self.store.env) as txn:
                    raw = self.store.acls.acl_read(txn, handle)
                if not all(name in ACL_NAMES for name, _ in unpack_pairs(raw)):
                    self.problem("%s: ACL %#x holds other attributes" % (where, handle))
            except (qnst.QnstError, struct.error) as e:
                self.problem("%s: ACL %#x: %s" % (where, handle, e))

    def blocks(self, data):
        refs = {}
        for entries_ in self.maps.values():
            for _, _, handle, _, _ in entries_:
                refs[handle] = refs.get(handle, 0) + 1
        store = self.store
        for handle, count in sorted(refs.items()):
            try:
                with qnst_bdb.begin(store.env) as txn:
                    stored = store.blocks.blk_getref(txn, handle)
                    digest = store.blocks.blk_hashread(txn, handle)[0]
                if stored != count:
                    self.problem("block %#x: reference count %d, held by %d map entries"
                                 % (handle, stored, count))
                chunk = store.read_chunk(handle)
                if data and hashlib.sha1(chunk).digest() != digest[:20]:
                    self.problem("block %#x: content does not match its hash" % handle)
            except (qnst.QnstError, OSError) as e:
                self.problem("block %#x: %s" % (handle, e))
        self.refs = refs
        return len(refs)

    def space(self):
        """Reference counts of the blocks no map entry names, and each data file's usage
        against the block records that lie in it."""
        store, refs = self.store, self.refs
        usage = {}
        for storeid in range(PARTITIONS):
            with qnst_bdb.begin(store.env) as txn:
                cursor, handle, _, count = store.blocks.walk_idref(txn, storeid, 0)
                try:
                    while handle:
                        if count and handle not in refs:
                            self.problem("block %#x: reference count %d, held by no map entry"
                                         % (handle, count))
                        handle, _, count = store.blocks.next_idref(storeid, cursor)
                finally:
                    store.blocks.walk_done(storeid, cursor)
            with qnst_bdb.begin(store.env) as txn:
                cursor, handle, dfid, dfver, _, length, _ = store.blocks.walk_iddf(txn, storeid,
                                                                                   0)
                try:
                    while handle:
                        if dfid != LINK_DFID:
                            usage.setdefault(dfid, {}).setdefault(dfver, 0)
                            usage[dfid][dfver] += length
                        handle, dfid, dfver, _, length, _ = store.blocks.next_iddf(storeid,
                                                                                   cursor)
                finally:
                    store.blocks.walk_done(storeid, cursor)
        # A data file none of whose blocks is left must show no usage either.
        for name in os.listdir(os.path.join(store.path, b"data")):
            parsed = data_file_version(name)
            if parsed is not None:
                usage.setdefault(parsed[0], {})
        for dfid, by_version in sorted(usage.items()):
            ver, over, _, _, used = store.dfile.dfile_get(None, dfid)
            for dfver in sorted(by_version):
                if dfver != ver and dfver != over:
                    self.problem("data file %08x: blocks in version %d, the file is at "
                                 "version %d" % (dfid, dfver, ver))
            if used != sum(by_version.values()):
                self.problem("data file %08x: usage %d, its blocks hold %d bytes"
                             % (dfid, used, sum(by_version.values())))


def run(store, data, progress):
    v = Verify(store, progress)
    store.flush_queues()
    complete = {ver for ver, _ in store.versions()}
    # Every version handed out is walked (an interrupted one too: its blocks are held), but
    # only complete ones must be whole.
    for ver in range(1, store.last_version() + 1):
        v.quiet = ver not in complete
        try:
            v.tree(ver, store.root, b"")
        except qnst.QnstError as e:
            v.problem("version %d: %s" % (ver, e))
    v.quiet = False
    v.acl_store()
    nblocks = v.blocks(data)
    v.space()
    progress.done()
    print("%d versions, %d files, %d blocks, %d ACLs checked%s: %s"
                     % (len(complete), len(v.maps), nblocks, len(v.acls),
                        " with their data" if data else "",
                        "%d problems" % v.problems if v.problems else "no problems"))
    return EXIT_FAILED if v.problems else 0
