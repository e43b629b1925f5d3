"""pyBlobSISM: a blob's life through the manager, routing by hash and handle, the compaction
queue, scans, repair calls, and the inode-table sets that keep it open."""

import pytest

import qnst
import qnst_bdb
import qnst_itabm

# The first hash byte picks the partition: (byte & 0x7F) % count.
HASH_P0 = bytes([0x80]) + bytes(range(1, 32))
HASH_P1 = bytes([0x01]) + bytes(range(101, 132))


@pytest.fixture
def blobs(env):
    store = qnst_itabm.pyBlobSISM()
    store.blobsism_open(env, 2, b"blob")
    yield store
    store.blobsism_close()


def new_blob(env, store, hash, size, count=1):
    handle = store.mblob_gen_handle(hash, len(hash))
    with qnst_bdb.begin(env) as txn:
        store.mblob_store_hold(txn, hash, len(hash), size, handle, count)
    return handle


def test_blob_stored_held_released_and_queued_for_compaction(env, blobs):
    handle = new_blob(env, blobs, HASH_P1, 5000)
    assert handle >> 56 == 1 and handle & 0xFFFFFFFFFFFF
    with qnst_bdb.begin(env) as txn:
        assert blobs.mblob_lookup(txn, HASH_P1, 32) == handle
        assert blobs.mblob_lookup(txn, HASH_P0, 32) == 0
        assert blobs.mblob_hashread(txn, handle) == HASH_P1
        with pytest.raises(qnst.AlreadyExists) as err:  # stored already: look it up instead
            blobs.mblob_store(txn, HASH_P1, 32, 1, blobs.mblob_gen_handle(HASH_P1, 32))
        assert err.value.code == qnst.QNST_HASH_EXISTS
        blobs.mblob_hold(txn, handle)
        assert blobs.mblob_getref(txn, 0, handle) == 2
        assert blobs.mblob_get_compactq(txn) == (0, 0)
    with qnst_bdb.begin(env) as txn:
        assert blobs.mblob_rele(txn, handle) == 0
        assert blobs.mblob_rele(txn, handle, 7) == 5007  # the last one adds the blob's size
        assert blobs.mblob_get_compactq(txn) == (handle, 5000)
        blobs.mblob_del_compactq(txn, handle)
        assert blobs.mblob_get_compactq(txn) == (0, 0)
        with pytest.raises(qnst.NotFound):
            blobs.mblob_del_compactq(txn, handle)
        blobs.mblob_compactq(txn, handle, 9)
        assert blobs.mblob_get_compactq(txn) == (handle, 9)


def test_handles_are_routed_to_their_partition(env, blobs):
    with qnst_bdb.begin(env) as txn:
        wrong = blobs.mblob_gen_handle(HASH_P0, 32)  # partition 0's handle for a partition-1 hash
        assert wrong >> 56 == 0
        with pytest.raises(qnst.QnstError) as err:
            blobs.mblob_store(txn, HASH_P1, 32, 1, wrong)
        assert err.value.code == 22
        with pytest.raises(qnst.QnstError) as err:  # partition 2 of a two-partition store
            blobs.mblob_hold(txn, 2 << 56 | 5)
        assert err.value.code == 22
        with pytest.raises(qnst.NotFound):
            blobs.mblob_hashread(txn, 1 << 56 | 12345)


def test_partitions_are_scanned_one_at_a_time(env, blobs):
    first = new_blob(env, blobs, HASH_P0, 10)
    second = new_blob(env, blobs, HASH_P1, 20, count=3)
    with qnst_bdb.begin(env) as txn:
        cursor, handle, count = blobs.blobsism_walk_idref(1, txn, 0, 0)
        assert (handle, count) == (second, 3)
        assert blobs.blobsism_next_idref(1, cursor) == (0, 0)
        blobs.blobsism_done(1, cursor)
        blobs.blobsism_done(1, cursor)  # a second done does nothing
        assert not cursor.active

        cursor, handle, size, hash = blobs.blobsism_walk_idinfo(0, txn, 0)
        assert (handle, size, hash) == (first, 10, HASH_P0)
        assert blobs.blobsism_next_idinfo(0, cursor) == (0, 0, None)
        blobs.blobsism_done(0, cursor)

        cursor, handle, hash = blobs.blobsism_walk_hashid(1, txn, 1, b"\x00")
        assert (handle, hash) == (second, HASH_P1)
        assert blobs.blobsism_next_hashid(1, cursor) == (0, None)
        blobs.blobsism_done(1, cursor)
        cursor, handle, hash = blobs.blobsism_walk_hashid(1, txn, 2, b"\x01\xff")  # past it
        assert (handle, hash) == (0, None)
        blobs.blobsism_done(1, cursor)
        with pytest.raises(ValueError, match="cursor has ended"):
            blobs.blobsism_next_hashid(1, cursor)
        with pytest.raises(qnst.QnstError) as err:
            blobs.blobsism_walk_idref(2, txn, 0, 0)
        assert err.value.code == 22


def test_repair_calls_rebuild_counts_and_index(env, blobs):
    handle = new_blob(env, blobs, HASH_P0, 10)
    blobs.blobsism_open_fsck(b"blob")
    with qnst_bdb.begin(env) as txn:
        blobs.blobsism_store_idref(txn, handle, 1)
        blobs.mblob_hold(txn, handle, 1)
        blobs.mblob_hold(txn, handle, fsck=1)
        assert blobs.mblob_getref(txn, 1, handle) == 2
        assert blobs.mblob_getref(txn, 0, handle) == 1
        blobs.mblob_setref(txn, 0, handle, 2)
        assert blobs.mblob_getref(txn, 0, handle) == 2
        blobs.blobsism_purge_idref(txn, handle, 1)
        with pytest.raises(qnst.NotFound):
            blobs.mblob_getref(txn, 1, handle)
        blobs.blobsism_purge_hashid(txn, HASH_P0, 32)
        assert blobs.mblob_lookup(txn, HASH_P0, 32) == 0
        blobs.blobsism_store_hashid(txn, handle, HASH_P0, 32)
        assert blobs.mblob_lookup(txn, HASH_P0, 32) == handle
        blobs.blobsism_purge_idinfo(txn, handle)
        with pytest.raises(qnst.NotFound):
            blobs.mblob_hashread(txn, handle)
    blobs.blobsism_close_fsck(b"blob")


def test_store_stays_open_while_an_inode_table_set_uses_it(env, blobs):
    tables = qnst_itabm.pyITable()
    tables.itabm_create(env, 4, None, None, blobs, 1)
    with pytest.raises(qnst.QnstError) as err:
        blobs.blobsism_close()
    assert err.value.code == 16
    with pytest.raises(qnst.QnstError) as err:
        env.env_close()
    assert err.value.code == 16
    tables.itabm_close()
    blobs.blobsism_close()
    blobs.blobsism_close()  # a second close does nothing
    with pytest.raises(qnst.QnstError) as err:  # closed: the engine refuses, nothing crashes
        blobs.mblob_lookup(None, HASH_P0, 32)
    assert err.value.code == 22
    blobs.blobsism_open(env, 2, b"blob", 0)  # reopened with its count: the data is there
    assert blobs.mblob_gen_handle(HASH_P1, 32) >> 56 == 1
    with pytest.raises(ValueError, match="open already"):
        blobs.blobsism_open(env, 2, b"blob")
    blobs.blobsism_close()
    qnst_itabm.blobsism_remove(env, b"blob", 2)
    qnst_itabm.blobsism_remove(env, b"blob", 2)  # missing files are skipped


@pytest.mark.parametrize("call, error, message", [
    (lambda s: s.mblob_lookup(None, HASH_P0, 33), ValueError, "fewer than the length given"),
    (lambda s: s.blobsism_walk_hashid(0, None, 65, bytes(65)), ValueError,
     "longer than the 64 bytes of a hash"),
    (lambda s: s.blobsism_walk_hashid(0, None, 3, b"ab"), ValueError,
     "fewer than the length given"),
    (lambda s: s.mblob_hold(None, 1, fsck=1 << 31), OverflowError,
     "too large to convert to int32_t"),
    (lambda s: s.mblob_rele(None, 1, -1), OverflowError, "can't convert negative value"),
    (lambda s: s.mblob_getref(None, 0), TypeError,
     "mblob_getref() takes exactly 3 positional arguments (2 given)"),
    (lambda s: s.mblob_store(None, "h", 1, 1, 1), TypeError,
     "Argument 'hash' has incorrect type (expected bytes, got str)"),
    (lambda s: s.blobsism_next_idref(0, None), TypeError, "Argument 'cursor' has incorrect type"),
    (lambda s: s.blobsism_open(None, 1, b"b"), TypeError, "Argument 'env' has incorrect type"),
    (lambda s: qnst_itabm.pyITable().itabm_create(None, 1, None, None, s, 1), TypeError,
     "Argument 'env' has incorrect type"),
])
def test_argument_errors_raise_before_the_engine(env, call, error, message):
    with pytest.raises(error) as err:
        call(qnst_itabm.pyBlobSISM())
    assert message in str(err.value)
    with pytest.raises(TypeError):
        qnst_itabm.pyBlobSISM(1)
