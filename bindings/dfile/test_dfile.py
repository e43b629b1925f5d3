"""pyDFile: records written and read back, the open edges, and bad arguments."""

import pytest

import qnst
import qnst_bdb
import qnst_dfile


def test_records_round_trip_and_survive_a_reopen_with_init(env, dfile):
    with qnst_bdb.begin(env) as txn:
        assert dfile.dfile_get(txn, 5) == (1, 1, 0, 0, 0)  # pre-created record
        dfile.dfile_set(txn, 5, 7, 6, 1 << 40, 512, (1 << 64) - 1)
    assert dfile.dfile_get(None, 5) == (7, 6, 1 << 40, 512, (1 << 64) - 1)
    dfile.dfile_close()
    dfile.dfile_close()  # a second close does nothing

    again = qnst_dfile.pyDFile()
    again.dfile_open(env, 256, b"dfile.db", 1)  # init on an existing table keeps records
    assert again.dfile_get(None, 5) == (7, 6, 1 << 40, 512, (1 << 64) - 1)
    assert again.dfile_get(None, 200) == (1, 1, 0, 0, 0)
    again.dfile_close()
    qnst_dfile.dfile_remove(env, b"dfile.db")
    with pytest.raises(qnst.NotFound) as err:
        qnst_dfile.dfile_remove(env, b"dfile.db")
    assert err.value.code == 2


def test_aborted_write_is_undone(env, dfile):
    with pytest.raises(RuntimeError):
        with qnst_bdb.begin(env) as txn:
            dfile.dfile_set(txn, 1, 9, 9, 9, 9, 9)
            raise RuntimeError("abort")
    assert dfile.dfile_get(None, 1) == (1, 1, 0, 0, 0)


def test_engine_error_and_closed_table(env, dfile):
    with pytest.raises(qnst.NotFound) as err:
        dfile.dfile_get(None, 128)  # beyond the table
    assert err.value.code == -30988
    closed = qnst_dfile.pyDFile()
    with pytest.raises(ValueError, match="not open"):
        closed.dfile_get(None, 0)
    with pytest.raises(TypeError):
        qnst_dfile.pyDFile(1)


@pytest.mark.parametrize("call, error, message", [
    (lambda d: d.dfile_get(None, -1), OverflowError, "can't convert negative value"),
    (lambda d: d.dfile_get(None, 1 << 32), OverflowError, "too large to convert"),
    (lambda d: d.dfile_set(None, 0, 1, 1, 0, 0, 1 << 64), OverflowError, "too large"),
    (lambda d: d.dfile_get(None, "0"), TypeError, "an integer is required"),
    (lambda d: d.dfile_get(None), TypeError,
     "dfile_get() takes exactly 2 positional arguments (1 given)"),
    (lambda d: d.dfile_get(txn=None, dindex=0, flags=0), TypeError,
     "dfile_get() got an unexpected keyword argument 'flags'"),
    (lambda d: d.dfile_open(object(), 1, b"x", 0), TypeError,
     "Argument 'env' has incorrect type (expected qnst_bdb.qnst_env, got object)"),
    (lambda d: d.dfile_open(None, 1, "x", 0), TypeError, "Argument 'env' has incorrect type"),
])
def test_argument_errors(env, dfile, call, error, message):
    with pytest.raises(error) as err:
        call(dfile)
    assert message in str(err.value)


def test_keywords_reach_the_engine(env, dfile):
    dfile.dfile_set(txn=None, dindex=3, ver=2, over=1, coff=10, ooff=0, used=10)
    assert dfile.dfile_get(dindex=3, txn=None) == (2, 1, 10, 0, 10)
