"""pyInode: a folder tree with stat versions, attributes, blob maps and block maps built and read
back at several versions; mail-store messages; every method's argument and result shapes; the
life cycle; bad arguments."""

import pytest

import qnst
import qnst_aclsis
import qnst_bdb
import qnst_inode
import qnst_itabm
from conftest import HASH_A, HASH_B

LIVE = 0x7FFFFFF0
BLOB_HASH = bytes([0x80]) + bytes(range(1, 32))
FILE, DIRECTORY = 1, 2


@pytest.fixture
def acls(env):
    store = qnst_aclsis.pyACLSIS()
    store.aclsis_open(env, b"acl.db", 1)
    yield store
    store.aclsis_close()


@pytest.fixture
def blobs(env):
    store = qnst_itabm.pyBlobSISM()
    store.blobsism_open(env, 1, b"blob")
    yield store
    store.blobsism_close()


@pytest.fixture
def itab(env, acls, store, blobs):
    tables = qnst_itabm.pyITable()
    tables.itabm_create(env, 7, acls, store, blobs, 1)
    tables.itabm_open(b"itab", 0, 1)
    yield tables
    tables.itabm_close()


class Tree:
    """A root folder (the set node of everything under it) and inodes opened under it."""

    def __init__(self, env, itab):
        self.env, self.itab, self.opened = env, itab, []
        self.root = self.new(None)

    def new(self, setnode, misc=False):
        try:
            with qnst_bdb.begin(self.env) as txn:
                ino = self.itab.inodem_alloc(txn, 1)
        except qnst.NoInode:  # a fresh table hands out numbers once extended
            self.itab.itabm_extend(100, 0)
            with qnst_bdb.begin(self.env) as txn:
                ino = self.itab.inodem_alloc(txn, 1)
        inode = qnst_inode.pyInode()
        inode.inode_open(self.itab, setnode, ino)
        inode.inode_init(1, misc)
        with qnst_bdb.begin(self.env) as txn:
            inode.quota_set(txn, *([0] * 10))
        self.opened.append(inode)
        return inode

    def close(self):
        for inode in reversed(self.opened):
            inode.inode_close()


@pytest.fixture
def tree(env, itab):
    t = Tree(env, itab)
    yield t
    t.close()


def walk_all(first, step):
    """Every record of a walk: `first` is the walk's result, `step` the next call; ends it with
    nothing (the caller ends the cursor)."""
    cursor, *record = first
    rows = []
    while record[0] != 0:
        rows.append(tuple(record))
        record = step(cursor)
    return cursor, rows


def test_tree_built_and_read_back_at_several_versions(env, store, acls, blobs, tree):
    root = tree.root
    doc = tree.new(root)
    big = tree.new(root)
    sub = tree.new(root, misc=True)

    # Version 1: a document with a block, an attribute and an ACL; a folder beside it.
    with qnst_bdb.begin(env) as txn:
        acl1 = acls.acl_store(txn, b"acl-1", 5, b"owner rwx", 9)
        root.dir_add(txn, b"doc", 3, 1, FILE, doc.ino)
        root.dir_add(txn, b"sub", 3, 1, DIRECTORY, sub.ino)
        doc.stat_update(txn, 1, 0x20, 4096, acl1, 1000, 0, 1)
        doc.eatr_update(txn, 7, 1, b"colour=red", 10)
        block = store.blk_gen_handle(HASH_A, 20)
        doc.bmap_enter(txn, 0, 4096, 1, block, HASH_A, 20, 1, 1, 512, 4096)
    # Version 2: the document grows by a known block, its stat and attribute change; a big file
    # arrives as a blob; the folder gets an entry.
    with qnst_bdb.begin(env) as txn:
        assert doc.bmap_reconcile(txn, 4096, 4096, 2, HASH_A, 20, 0) == block
        assert doc.bmap_reconcile(txn, 8192, 10, 2, HASH_B, 20, 0) == 0  # unknown: no change
        acls.acl_hold(txn, acl1)
        doc.stat_update(txn, 2, 0x20, 8192, acl1, 2000, 0, 1)
        doc.eatr_update(txn, 7, 2, b"colour=blue", 11)
        root.dir_add(txn, b"big", 3, 2, FILE, big.ino)
        stale, upload, isnew, reserved = big.blobmap_reconcile(txn, 1 << 33, BLOB_HASH, 32, 2)
        assert (stale, upload, isnew) == (0, 1, 1) and reserved >> 56 == 0
        sub.dir_add(txn, "é.txt".encode(), 6, 2, FILE, 99)
    with qnst_bdb.begin(env) as txn:
        assert big.blobmap_commit(txn, BLOB_HASH, 32, 1 << 33, 2) == (0, reserved)
    # Version 3: the document is deleted; its stat, attribute and map end.
    with qnst_bdb.begin(env) as txn:
        root.dir_del(txn, b"doc", 3, 3, 0)
        doc.stat_clear(txn, 3)
        doc.eatr_clear(txn, 7, 3)
        doc.bmap_clear(txn, 0, 1 << 20, 3)

    with qnst_bdb.begin(env) as txn:
        # The folder as it was at each version, and as changes since version 1.
        def listing(ver):
            cursor, rows = walk_all(root.dir_walk(txn, ver), lambda c: root.dir_next(c, ver))
            root.dir_done(cursor)
            return sorted((name, cver, dver, kind, cino)
                          for cver, dver, name, kind, cino in rows)
        assert listing(1) == [(b"doc", 1, 3, FILE, doc.ino),
                              (b"sub", 1, LIVE, DIRECTORY, sub.ino)]
        assert [r[0] for r in listing(2)] == [b"big", b"doc", b"sub"]
        assert [r[0] for r in listing(3)] == [b"big", b"sub"]
        assert listing(-1) == [(b"big", 2, LIVE, FILE, big.ino), (b"doc", 1, 3, FILE, doc.ino)]
        assert root.dir_lookup(txn, b"doc", 3, 2, 0) == (1, 3, FILE, doc.ino)
        with pytest.raises(qnst.NotFound) as err:
            root.dir_lookup(txn, b"doc", 3, 3, 0)
        assert err.value.code == qnst.QNST_ENOENTRY
        cursor, rows = walk_all(sub.dir_walk(txn, 2), lambda c: sub.dir_next(c, 2))
        sub.dir_done(cursor)
        assert rows == [(2, LIVE, "é.txt".encode(), FILE, 99)]

        # Stat versions.
        assert doc.stat_lookup(txn, 1) == (1, 0x20, 4096, acl1, 1000, 0, 1)
        assert doc.stat_lookup(txn, 2) == (2, 0x20, 8192, acl1, 2000, 0, 1)
        with pytest.raises(qnst.NotFound):
            doc.stat_lookup(txn, 3)
        assert doc.stat_getlatest(txn) == 0  # the newest record is closed
        cursor, rows = walk_all(doc.stat_walk(txn, 0), doc.stat_next)
        doc.stat_done(cursor)
        assert rows == []  # a walk from version 0 finds nothing
        cursor, rows = walk_all(doc.stat_walk(txn, 1), doc.stat_next)
        doc.stat_done(cursor)
        assert rows == [(2, 3, 0x20, 8192, acl1, 2000, 0, 1)]

        # Attributes.
        assert doc.eatr_lookup(txn, 7, 1) == (1, b"colour=red")
        assert doc.eatr_lookup(txn, 7, 2) == (2, b"colour=blue")
        with pytest.raises(qnst.NotFound):
            doc.eatr_lookup(txn, 7, 3)
        assert doc.eatr_lastver(txn, 7) == (2, 3)
        cursor, rows = walk_all(doc.eatr_walk(txn, 7, 1), lambda c: doc.eatr_next(c, 7))
        assert doc.eatr_next(cursor, 7) == (0, 0, None)
        doc.eatr_done(cursor)
        assert rows == [(2, 3, b"colour=blue")]

        # Block map: the first block at versions 1 and 2, the second from version 2, none at 3.
        assert doc.bmap_lookup(txn, 0, 1) == (4096, 1, 3, block)
        assert doc.bmap_lookup(txn, 4096, 2) == (4096, 2, 3, block)
        with pytest.raises(qnst.NotFound):
            doc.bmap_lookup(txn, 4096, 1)
        with pytest.raises(qnst.NotFound):
            doc.bmap_lookup(txn, 0, 3)
        cursor, rows = walk_all(doc.bmap_woff(txn, 0, 0), doc.bmap_noff)
        doc.bmap_done(cursor)
        assert rows == [(1, 3, 0, 4096, block), (2, 3, 4096, 4096, block)]
        cursor, rows = walk_all(doc.bmap_walk(txn, 1, 0), doc.bmap_next)
        doc.bmap_done(cursor)
        assert rows == [(2, 3, 4096)]

        # Blob map.
        assert big.blobmap_lookup(txn, 2) == (2, reserved)
        with pytest.raises(qnst.NotFound):
            big.blobmap_lookup(txn, 1)
        cursor, rows = walk_all(big.blobmap_walk(txn, 1), big.blobmap_next)
        big.blobmap_done(cursor)
        assert rows == [(2, LIVE, reserved, 1 << 33)]
        assert blobs.mblob_getref(txn, 0, reserved) == 1

        # Usage charged to the root: two block entries of 4096 bytes, one blob, two stat records
        # of which none is current.
        usage = root.quota_get(txn)
        assert usage[3] == 2 * 4096 + (1 << 33)  # fstotalu
        assert usage[8:] == (0, 2)  # filescurrent, filestotal


def test_history_purged_releases_blocks_blobs_and_acls(env, store, acls, blobs, tree):
    doc = tree.new(tree.root)
    with qnst_bdb.begin(env) as txn:
        acl = acls.acl_store(txn, b"h", 1, b"acl", 3)
        doc.stat_update(txn, 1, 0, 1, acl, 0, 0, 1)
        block = store.blk_gen_handle(HASH_A, 20)
        doc.bmap_enter(txn, 0, 100, 1, block, HASH_A, 20, 1, 1, 0, 100)
        doc.eatr_update(txn, 1, 1, b"", 0)
        stale, upload, isnew, handle = doc.blobmap_reconcile(txn, 10, BLOB_HASH, 32, 1)
        doc.blobmap_commit(txn, BLOB_HASH, 32, 10, 1)
    with qnst_bdb.begin(env) as txn:
        assert doc.eatr_lookup(txn, 1, 1) == (1, b"")  # an empty value is a value
        assert doc.stat_getlatest(txn) == 1
        doc.stat_purge(txn, 1)
        assert acls.acl_lookup(txn, b"h", 1) == 0  # its only reference went with the record
        doc.bmap_purge(txn, 0, 1, 0)
        with pytest.raises(qnst.NotFound):
            doc.bmap_get_oent(txn, 0, 1)
        doc.eatr_purge(txn, 1, 1)
        doc.blobmap_purge(txn, 1, 0)
        assert blobs.mblob_get_compactq(txn) == (handle, 10)
        with pytest.raises(qnst.NotFound):
            doc.blobmap_purge(txn, 1, 0)
        doc.blobmap_clear(txn, 2)


def test_mail_store_messages_and_their_content(env, store, blobs, tree):
    mail = tree.new(tree.root)
    key = b"message-1"
    with qnst_bdb.begin(env) as txn:
        mail.mapimsg_update(txn, key, 9, b"info-v3", 7, 3, LIVE)
        mail.mapimsg_update(txn, key, len(key), b"info-v7 and more", 7, 7, LIVE)
        assert mail.mapimsg_findi(txn, key, 9, 5) == (3, LIVE, b"info-v3")
        assert mail.mapimsg_findi(txn, key, 9, 9) == (7, LIVE, b"info-v7")
        assert mail.mapimsg_findi(txn, key, 9, 2) == (0, 0, None)
        mail.mapimsg_delv(txn, key, 9, 7, 8, 1234)
        assert mail.mapimsg_findi(txn, key, 9, 9) == (0, 0, None)
        assert mail.mapimsg_getvent(txn, key, 9, 7) == 8
        assert mail.mapimsg_getient(txn, key, 9, 3) == b"info-v3"

        cursor, rows = walk_all(mail.mapimsg_walk(txn, 1, b"", 0), mail.mapimsg_next)
        mail.mapimsg_done(cursor)
        mail.mapimsg_done(cursor)  # a second done does nothing
        assert rows == [(3, LIVE, key), (7, 8, key)]
        cursor, rows = walk_all(mail.mapimid_walk(txn, 0, b"", 0), mail.mapimid_next)
        assert mail.mapimid_next(cursor) == (0, None)
        mail.mapimsg_done(cursor)
        assert rows == [(7, key), (3, key)]

        # Content: a block and a blob claimed by hash, stored when new, claimed again.
        assert mail.mapimsg_holdblk(txn, HASH_A, 20, 4096, 0) == 0
        block = store.blk_gen_handle(HASH_A, 20)
        assert mail.mapimsg_enterblk(txn, HASH_A, 20, 1, 1, 0, 4096, block) == block
        assert mail.mapimsg_holdblk(txn, HASH_A, 20, 4096, 0) == block
        handle, existed = mail.mapimsg_getblob(txn, BLOB_HASH, 32, 100)
        assert existed == 0 and handle != 0
        assert mail.mapimsg_enterblob(txn, handle, BLOB_HASH, 32, 100, 100) == handle
        assert mail.mapimsg_getblob(txn, BLOB_HASH, 32, 100) == (handle, 1)
        assert blobs.mblob_getref(txn, 0, handle) == 2

        mail.mapimsg_purge(txn, key, 9, 3, 7)
        with pytest.raises(qnst.NotFound):
            mail.mapimsg_getient(txn, key, 9, 3)
        mail.mapimsg_delient(txn, key, 9, 7)
        mail.mapimsg_delvent(txn, key, 9, 7)
        with pytest.raises(qnst.NotFound):
            mail.mapimsg_delvent(txn, key, 9, 7)
        with pytest.raises(qnst.QnstError) as err:  # a message key beyond the longest
            mail.mapimsg_getvent(txn, bytes(1025), 1025, 1)
        assert err.value.code == 22


def test_block_map_single_entries(env, tree):
    doc = tree.new(tree.root)
    with qnst_bdb.begin(env) as txn:
        doc.bmap_add_vent(txn, 5, 1 << 40, 9)
        assert doc.bmap_get_vent(txn, 5, 1 << 40) == 9
        doc.bmap_del_vent(txn, 5, 1 << 40)
        with pytest.raises(qnst.NotFound):
            doc.bmap_get_vent(txn, 5, 1 << 40)
        with pytest.raises(qnst.NotFound):
            doc.bmap_del_oent(txn, 0, 5)
        cursor, cver, dver, offset = doc.bmap_walk(txn, 0, 0)  # an empty listing
        assert (cver, dver) == (0, 0)
        doc.bmap_done(cursor)


def test_usage_limits_are_the_handles_and_refuse_growth(env, tree):
    node = tree.new(tree.root)
    node.inode_setquota(100, 200, 300, 400)
    with qnst_bdb.begin(env) as txn:
        node.quota_set(txn, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10)  # stored limits 1, 3, 5, 7
        assert node.quota_get(txn) == (100, 2, 200, 4, 300, 6, 400, 8, 9, 10)
        node.quota_update(txn, 10, 0, 0, 0, 1, 1)
        assert node.quota_get(txn)[1] == 12
    with pytest.raises(qnst.QuotaExceeded) as err:
        with qnst_bdb.begin(env) as txn:
            node.quota_update(txn, 0, 500, 0, 0, 0, 0)
    assert err.value.code == qnst.QNST_QUOTA_FSTOTAL


def test_empty_folder_and_resumed_listings(env, tree):
    root = tree.root
    with qnst_bdb.begin(env) as txn:
        cursor, cver, dver, name, kind, cino = root.dir_walk(txn, 1)
        assert isinstance(cursor, qnst_bdb.qnst_cursor) and (cver, name) == (0, None)
        root.dir_done(cursor)
        root.dir_done(cursor)  # a second done does nothing
        for name in (b"a", b"b", b"c"):
            root.dir_add(txn, name, 1, 1, FILE, 5)
        # Entries come in descending byte order; a cookie resumes after the entry it names.
        for cookie, expected in [(None, b"c"), ((), b"c"), ((1, b"c"), b"b"), ((1, "b"), b"a"),
                                 ((1, b"a"), None)]:
            cursor, cver, dver, name, kind, cino = root.dir_walk_v2(txn, 1, cookie)
            root.dir_done(cursor)
            assert name == expected, cookie


class Encodes:
    def __init__(self, result):
        self.result = result

    def encode(self, encoding):
        assert encoding == "utf-8"
        return self.result


@pytest.mark.parametrize("cookie, error, message", [
    ((1, b"a", 2), ValueError, "too many values to unpack (expected 2)"),
    ((1,), ValueError, "need more than 1 value to unpack"),
    ((1, Encodes(None)), TypeError, "object of type 'NoneType' has no len()"),
    ((1, Encodes("text")), TypeError, "Expected bytes, got str"),
    ((-1, b"a"), OverflowError, "can't convert negative value"),
])
def test_bad_cookies_raise_before_the_engine(cookie, error, message):
    with pytest.raises(error) as err:
        qnst_inode.pyInode().dir_walk_v2(None, 1, cookie)
    assert message in str(err.value)


def test_life_cycle(env, itab, tree):
    closed = qnst_inode.pyInode()
    closed.inode_close()  # never opened: nothing happens
    assert closed.ino == 0
    with pytest.raises(TypeError):
        qnst_inode.pyInode(1)
    with pytest.raises(TypeError, match="Argument 'itab' has incorrect type"):
        closed.inode_open(env, None, 5)
    with pytest.raises(TypeError, match="Argument 'setnode' has incorrect type"):
        closed.inode_open(itab, itab, 5)

    fresh = qnst_inode.pyInode()
    fresh.inode_open(itab, None, tree.root.ino + 1)
    with pytest.raises(ValueError, match="open already"):
        fresh.inode_open(itab, None, tree.root.ino + 1)
    with pytest.raises(qnst.NotFound):  # never initialised
        fresh.inode_chk()
    with pytest.raises(qnst.QnstError) as err:  # the set stays created while inodes are open
        itab.itabm_close()
    assert err.value.code == 16
    fresh.inode_close()

    reopened = qnst_inode.pyInode()
    reopened.inode_open(itab, None, tree.root.ino)
    reopened.inode_chk()
    with qnst_bdb.begin(env) as txn:
        assert reopened.quota_get(txn)[9] == 0
    reopened.inode_close()
    with pytest.raises(qnst.QnstError) as err:  # closed: the engine refuses, nothing crashes
        reopened.quota_get(None)
    assert err.value.code == 22
    with pytest.raises(qnst.QnstError) as err:  # a table index the set does not have
        qnst_inode.pyInode().inode_open(itab, None, 5 << 28)
    assert err.value.code == 22


@pytest.mark.parametrize("call, error, message", [
    (lambda i: i.bmap_lookup(None, -1, 1), OverflowError, "can't convert negative value"),
    (lambda i: i.bmap_lookup(None, 0, 1 << 32), OverflowError, "too large to convert"),
    (lambda i: i.dir_walk(None, 1 << 31), OverflowError, "too large to convert to int32_t"),
    (lambda i: i.quota_update(None, 1 << 63, 0, 0, 0, 0, 0), OverflowError, "too large"),
    (lambda i: i.stat_update(None, 1, 0, "1", 0, 0, 0, 0), TypeError, "an integer is required"),
    (lambda i: i.inode_chk(1), TypeError, "inode_chk() takes no arguments (1 given)"),
    (lambda i: i.quota_get(), TypeError, "quota_get() takes exactly one argument (0 given)"),
    (lambda i: i.stat_lookup(None, ver=1, cver=1), TypeError,
     "stat_lookup() got an unexpected keyword argument 'cver'"),
    (lambda i: i.dir_add(None, b"a", 1, 1, 1, 1, name=b"a"), TypeError,
     "dir_add() got multiple values for keyword argument 'name'"),
    (lambda i: i.dir_add(None, "a", 1, 1, 1, 1), TypeError,
     "Argument 'name' has incorrect type (expected bytes, got str)"),
    (lambda i: i.dir_add(None, b"a", 2, 1, 1, 1), ValueError, "fewer than the length given"),
    (lambda i: i.dir_rename(None, b"a", 1, b"b", 5, 0), ValueError, "new is 1 bytes long"),
    (lambda i: i.eatr_update(None, 1, 1, b"", 1), ValueError, "fewer than the length given"),
    (lambda i: i.bmap_enter(None, 0, 1, 1, 1, HASH_A, 21, 1, 1, 0, 1), ValueError,
     "fewer than the length given"),
    (lambda i: i.bmap_next(None), TypeError, "Argument 'cursor' has incorrect type"),
    (lambda i: i.stat_next(qnst_bdb.qnst_cursor()), ValueError, "cursor has ended"),
    (lambda i: i.blobmap_lookup(1, 1), TypeError, "Argument 'txn' has incorrect type"),
    (lambda i: i.mapimsg_update(None, b"k", 1, b"i", 2, 1, 2), ValueError, "info is 1 bytes"),
    (lambda i: i.mapimsg_walk(None, 1, b"", 1), ValueError, "lastkey is 0 bytes"),
    (lambda i: i.mapimsg_delv(None, b"k", 1, 1, 2, -1), OverflowError, "can't convert negative"),
    (lambda i: i.mapimsg_getblob(None, b"s", 1), TypeError,
     "mapimsg_getblob() takes exactly 4 positional arguments (3 given)"),
])
def test_argument_errors_raise_before_the_engine(call, error, message):
    # A closed inode would answer every engine call with code 22: these never get that far.
    with pytest.raises(error) as err:
        call(qnst_inode.pyInode())
    assert message in str(err.value)


def test_keywords_reach_the_engine(env, tree):
    doc = tree.new(tree.root)
    with qnst_bdb.begin(env) as txn:
        doc.eatr_update(txn=txn, aid=3, ver=1, buf=b"xyz", size=2)
        assert doc.eatr_lookup(ver=1, aid=3, txn=txn) == (1, b"xy")
        tree.root.dir_add(txn, cino=doc.ino, type=FILE, cver=1, namelen=1, name=b"k")
        tree.root.dir_rename(txn, old=b"k", oldlen=1, new=b"kk", newlen=2, overwrite=0)
        assert tree.root.dir_lookup(txn, name=b"kk", namelen=2, ver=1, cino=0)[3] == doc.ino
        tree.root.dir_purge(txn, b"kk", 2, 1)
