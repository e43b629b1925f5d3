"""pyITable: inode numbers allocated, described, freed and walked across a set of tables."""

import pytest

import qnst
import qnst_bdb
import qnst_itabm


@pytest.fixture
def itab(env, store):
    tables = qnst_itabm.pyITable()
    tables.itabm_create(env, 5, None, store, None, 1)
    tables.itabm_open(b"itab", 0, 1)
    yield tables
    tables.itabm_close()


def test_numbers_allocated_described_freed_and_walked(env, itab):
    with qnst_bdb.begin(env) as txn:
        with pytest.raises(qnst.NoInode):  # a fresh table allocates nothing until extended
            itab.inodem_alloc(txn, 3)
    itab.itabm_extend(100, 0)
    with qnst_bdb.begin(env) as txn:
        first = itab.inodem_alloc(txn, 3)
        assert first & 0x0FFFFFFF == 10
        assert itab.inodem_getinfo(txn, first) == (0, 0, 3, 0x7ffffff0)
        itab.inodem_free(txn, first, 8)
        assert itab.inodem_getinfo(txn, first)[2:] == (3, 8)
        assert itab.inodem_next(txn, 0) == (first, 3, 8)
        assert itab.inodem_next(txn, first)[0] == 0
        itab.inodem_dealloc(txn, first)
        assert itab.inodem_getalloc(txn, 4, first) == 0
        with pytest.raises(qnst.AlreadyExists):  # taken: allocated already
            itab.inodem_getalloc(txn, 4, first)
        itab.inodem_pick(txn, 5, 4)
        itab.inodem_notfree(txn, first + 1)
        itab.itabm_setrange(txn, 5000)


def test_set_is_registered_in_its_environment_while_created(env, store):
    tables = qnst_itabm.pyITable()
    tables.itabm_close()  # never created: nothing happens
    tables.itabm_create(env, 9, None, None, None, 1)
    tables.itabm_open(b"reg", 0, 1)
    with pytest.raises(qnst.QnstError) as err:
        env.env_checkopen(9)
    assert err.value.code == 16
    tables.itabm_close()
    env.env_checkopen(9)
    qnst_itabm.itabm_remove(env, b"reg", 1)
    with pytest.raises(qnst.NotFound):
        qnst_itabm.itabm_remove(env, b"reg", 1)


@pytest.mark.parametrize("args, error, message", [
    ((None, 1, None, None, None, 1), TypeError, "Argument 'env' has incorrect type"),
    (("env", 1, 1, None, None, 1), TypeError,
     "Argument 'aclsis' has incorrect type (expected qnst_aclsis.pyACLSIS, got int)"),
    (("env", 1, None, 1, None, 1), TypeError,
     "Argument 'blksis' has incorrect type (expected qnst_blksism.pyBlkSIS, got int)"),
    (("env", 1, None, None, 1, 1), TypeError,
     "Argument 'mblob' has incorrect type (expected qnst_itabm.pyBlobSISM, got int)"),
    (("env", -1, None, None, None, 1), OverflowError, "can't convert negative value"),
])
def test_create_argument_errors(env, args, error, message):
    args = tuple(env if a == "env" else a for a in args)
    with pytest.raises(error) as err:
        qnst_itabm.pyITable().itabm_create(*args)
    assert message in str(err.value)


def test_bad_table_count_is_an_engine_error(env):
    with pytest.raises(qnst.QnstError) as err:
        qnst_itabm.pyITable().itabm_create(env, 1, None, None, None, 9)
    assert err.value.code == 22
