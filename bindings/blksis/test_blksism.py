"""pyBlkSIS: a block's whole life through the binding, the result shapes, and bad arguments."""

import struct
import sys

import pytest

import qnst
import qnst_bdb
import qnst_blksism
import qnst_dfile
from conftest import HASH_A, HASH_B

LOCAL_MASK = (1 << 56) - 1


def put_location(env, txn, handle, dfid, dfver, offset, length, hash):
    """Writes a block's location record the way the block store lays it out (a new block's
    record is written by the block maps, which are not bound yet)."""
    table = qnst_bdb.qnst_db()
    table.db_create(env)
    table.db_open(txn, b"store_0.db", b"id_df", qnst_bdb.BTREE, qnst_bdb.THREAD)
    record = struct.pack("<IIQII", dfid, dfver, offset, length, len(hash)) + hash
    table.db_put(txn, struct.pack("<Q", handle & LOCAL_MASK), record)
    table.db_close()


def store_block(env, store, hash, dfid=3, dfver=1, offset=4096, length=777):
    """A block stored under a new handle with count 1 and its hash indexed."""
    with qnst_bdb.begin(env) as txn:
        handle = store.blk_gen_handle(hash, len(hash))
        put_location(env, txn, handle, dfid, dfver, offset, length, hash)
        store.blk_store_idref(txn, handle)
        store.blk_setref(txn, handle, 1)
        store.blk_store_hashid(txn, handle, hash, len(hash))
    return handle


def flush_holds(env, store, storeid=0):
    """Applies the whole hold/release queue of a partition, one transaction per record."""
    tail = 0
    while True:
        with qnst_bdb.begin(env) as txn:
            tail = store.hdq_flush(txn, storeid, tail, 0)
        if tail == 0:
            return


def test_block_stored_looked_up_held_released_and_walked(env, store):
    handle = store_block(env, store, HASH_A)
    assert handle >> 56 == 0 and handle != 0

    with qnst_bdb.begin(env) as txn:
        assert store.blk_lookup(txn, HASH_A, 20) == handle
        assert store.blk_lookup(txn, HASH_B, 20) == 0
        assert store.blk_read(txn, handle) == (3, 1, 4096, 777, 0)
        assert store.blk_hashread(txn, handle) == (HASH_A, 3, 1, 4096, 777)
        store.blk_hold(txn, handle)
        assert store.blk_getref(txn, handle) == 1  # queued, not applied yet
    flush_holds(env, store)
    with qnst_bdb.begin(env) as txn:
        assert store.blk_getref(txn, handle) == 2
        assert store.blk_rele(txn, handle) == 0
    flush_holds(env, store)

    with qnst_bdb.begin(env) as txn:
        assert store.blk_getref(txn, handle) == 1
        cursor, h, word, count = store.walk_idref(txn, 0, 0)
        assert (h, count) == (handle, 1) and word & 0x80000000
        assert store.next_idref(0, cursor) == (0, 0, 0)
        store.walk_done(0, cursor)

        walk = store.walk_iddf(txn, 0, 0)
        assert walk[1:] == (handle, 3, 1, 4096, 777, HASH_A)
        assert store.next_iddf(0, walk[0])[0] == 0
        store.walk_done(0, walk[0])

        cursor, h, found = store.walk_hashid(txn, 0, b"", 0)
        assert (h, found) == (handle, HASH_A)
        assert store.next_hashid(0, cursor) == (0, None)
        store.walk_done(0, cursor)


def test_check_tables_queue_and_translation(env, store):
    handle = store_block(env, store, HASH_A)
    store.blksis_open_fsck(b"store")  # remove defaults to 1
    with qnst_bdb.begin(env) as txn:
        store.blk_store_idref(txn, handle, fsck=1)
        store.blk_hold(txn, handle, 1)  # applied at once to the check table
        assert store.blk_getref(txn, handle, fsck=1) == 1
        assert store.blksis_fsckq_get(txn, 0) == (0, 0)
        store.blksis_fsckq_put(txn, handle, 0x1234)
        assert store.blksis_fsckq_get(txn, 0) == (handle, 0x1234)
        assert store.blk_xlat(txn, handle) == handle
    store.blksis_close_fsck(b"store")


def test_store_statistics_and_maintenance_shapes(env, store):
    handle = store_block(env, store, HASH_A)
    assert store.blk_getcachesize() == (0, 256)
    assert store.blk_cachestats() == (0, 0)
    assert store.blk_histget(1) == 0
    store.blk_wmark_update(1)
    store.blk_seq_extend()
    assert store.blk_gen_handle(HASH_B, 20) - handle > 100000 << 16
    with qnst_bdb.begin(env) as txn:
        assert store.stq_flush(txn, 0, 0) == 0
        store.blk_cache_refresh(txn, 0, handle, 0x80000001, 1)
    freed, truncated = store.blksis_dbcompact(0, 1)
    assert freed >= 0 and truncated >= 0


def test_compaction_frees_an_unreferenced_block(env, store):
    handle = store_block(env, store, HASH_A)
    with qnst_bdb.begin(env) as txn:
        store.blk_setref(txn, handle, 0)
    store.compact_init(0)
    with qnst_bdb.begin(env) as txn:
        cursor, h, word, count = store.walk_idref(txn, 0, 0)
        store.walk_done(0, cursor)
        assert (h, count) == (handle, 0)
        store.compact_plist_add(txn, 0, h, word)
    with qnst_bdb.begin(env) as txn:
        cursor, h, word, count = store.walk_idref(txn, 0, 0, plist=1)
        store.walk_done(0, cursor)
        assert h == handle
        store.compact_plist_purge(txn, 0, h, word)
    store.compact_cleanup(0)
    with qnst_bdb.begin(env) as txn:
        assert store.blk_lookup(txn, HASH_A, 20) == 0
        with pytest.raises(qnst.NotFound):
            store.blk_read(txn, handle)


def test_engine_error_is_raised_with_its_code(env, store):
    with qnst_bdb.begin(env) as txn:
        with pytest.raises(qnst.NotFound) as err:
            store.blk_read(txn, 5 << 16)
        assert (err.value.code, err.value.name) == (-30988, "DB_NOTFOUND")
    with pytest.raises(qnst.QnstError) as err:
        store.compact_init(7)  # no such partition
    assert err.value.code == 22


def test_life_cycle_edges(env, dfile):
    store = qnst_blksism.pyBlkSIS()
    store.blksis_close()  # never opened: nothing happens
    assert store.cachesis_drop(env, 2, b"store", b"") is None
    with pytest.raises(TypeError):
        qnst_blksism.pyBlkSIS(1)

    # The store keeps the dfile table it charges alive while it is open.
    dfile2 = qnst_dfile_open(env)
    refs = sys.getrefcount(dfile2)
    store.blksis_open(env, dfile2, 1, b"other", 1, None, 1 << 20)
    assert sys.getrefcount(dfile2) == refs + 1
    handle = store_block_in(env, store)
    store.cachesis_drop(env, 1, b"other", None)
    assert store.blk_getcachesize()[1] == 256
    store.blksis_close()
    assert sys.getrefcount(dfile2) == refs
    store.blksis_close()
    with pytest.raises(qnst.QnstError) as err:  # closed: the engine refuses, nothing crashes
        store.blk_lookup(None, HASH_A, 20)
    assert err.value.code == 22
    qnst_blksism.blksis_remove(env, b"other", 1)
    dfile2.dfile_close()
    assert handle


def qnst_dfile_open(env):
    table = qnst_dfile.pyDFile()
    table.dfile_open(env, 128, b"dfile2.db", 1)
    return table


def store_block_in(env, store):
    with qnst_bdb.begin(env) as txn:
        handle = store.blk_gen_handle(HASH_A, 20)
        store.blk_store_hashid(txn, handle, HASH_A, 20)
        return store.blk_lookup(txn, HASH_A, 20)


def test_walk_cursor_misuse_is_refused(env, store):
    store_block(env, store, HASH_A)
    with qnst_bdb.begin(env) as txn:
        cursor = store.walk_idref(txn, 0, 0)[0]
        store.walk_done(0, cursor)
        store.walk_done(0, cursor)  # a second done does nothing
        with pytest.raises(ValueError, match="cursor has ended"):
            store.next_idref(0, cursor)


@pytest.mark.parametrize("call, error, message", [
    (lambda s: s.blk_lookup(None, HASH_A, 21), ValueError, "fewer than the length given"),
    (lambda s: s.walk_hashid(None, 0, b"ab", 3), ValueError, "fewer than the length given"),
    (lambda s: s.blk_lookup(None, "text", 4), TypeError,
     "Argument 'hash' has incorrect type (expected bytes, got str)"),
    (lambda s: s.blk_lookup(None, None, 0), TypeError,
     "Argument 'hash' has incorrect type (expected bytes, got NoneType)"),
    (lambda s: s.blk_lookup(1, HASH_A, 20), TypeError,
     "Argument 'txn' has incorrect type (expected qnst_bdb.qnst_txn, got int)"),
    (lambda s: s.blk_lookup(None, HASH_A), TypeError,
     "blk_lookup() takes at least 3 positional arguments (2 given)"),
    (lambda s: s.blk_lookup(None, HASH_A, 20, 0, 1), TypeError,
     "blk_lookup() takes at most 4 positional arguments (5 given)"),
    (lambda s: s.blk_lookup(None, HASH_A, 20, cache=1), TypeError,
     "blk_lookup() got an unexpected keyword argument 'cache'"),
    (lambda s: s.blk_lookup(None, HASH_A, 20, hash=HASH_A), TypeError,
     "blk_lookup() got multiple values for keyword argument 'hash'"),
    (lambda s: s.blk_hold(None, -1), OverflowError, "can't convert negative value to uint64_t"),
    (lambda s: s.blk_hold(None, 1 << 64), OverflowError, "too large to convert"),
    (lambda s: s.blk_hold(None, 1, fsck=1 << 32), OverflowError,
     "too large to convert to uint32_t"),
    (lambda s: s.compact_init(1 << 31), OverflowError, "too large to convert to int32_t"),
    (lambda s: s.blk_histget("1"), TypeError, "an integer is required"),
    (lambda s: s.walk_done(0, None), TypeError, "Argument 'cursor' has incorrect type (expected qnst_bdb.qnst_cursor, got NoneType)"),
    (lambda s: s.blksis_open(None, None, 1, b"x", 1, b"", 0), TypeError,
     "Argument 'env' has incorrect type (expected qnst_bdb.qnst_env, got NoneType)"),
])
def test_argument_errors_raise_before_the_engine(call, error, message):
    # A closed store would answer every engine call with code 22: these never get that far.
    with pytest.raises(error) as err:
        call(qnst_blksism.pyBlkSIS())
    assert message in str(err.value)
