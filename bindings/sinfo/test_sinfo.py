"""pySInfo: records set, read, listed in numeric order and purged; the open edges; bad
arguments."""

import pytest

import qnst
import qnst_bdb
import qnst_sinfo

MAX64 = (1 << 64) - 1


@pytest.fixture
def sinfo(env):
    table = qnst_sinfo.pySInfo()
    table.sinfo_open(env, b"sinfo.db", 1)
    yield table
    table.sinfo_close()


def listing(table, txn, start):
    """Every record from `start` on, through one listing."""
    cursor, *record = table.sinfo_list(txn, start)
    records = []
    while record[1] != 0:
        records.append(tuple(record))
        record = table.sinfo_next(cursor)
    assert tuple(record) == (record[0], 0, 0, 0, 0)
    table.sinfo_end(cursor)
    assert not cursor.active
    return records


def test_records_set_read_listed_in_numeric_order_and_purged(env, sinfo):
    # Inserted out of order; big numbers sort after small ones, not by their first byte.
    rows = [(1 << 40, 7, 2, 3, 4), (256, 5, 1, 1, MAX64), (1, MAX64, 0xFFFFFFFF, 0, 0)]
    with qnst_bdb.begin(env) as txn:
        for sino, *rest in rows:
            sinfo.sinfo_set(txn, sino, *rest)
        assert sinfo.sinfo_get(txn, 256) == (5, 1, 1, MAX64)
        assert listing(sinfo, txn, 0) == sorted(rows)
        assert listing(sinfo, txn, 2) == sorted(rows)[1:]
        sinfo.sinfo_set(txn, 256, 6, 0, 0, 9)  # replaces
        sinfo.sinfo_purge(txn, 1 << 40)
    assert sinfo.sinfo_get(None, 256) == (6, 0, 0, 9)
    with pytest.raises(qnst.NotFound):
        sinfo.sinfo_get(None, 1 << 40)
    with pytest.raises(qnst.NotFound):
        sinfo.sinfo_purge(None, 1 << 40)
    with pytest.raises(qnst.QnstError) as err:  # ino 0 would read as the end of a listing
        sinfo.sinfo_set(None, 3, 0, 0, 0, 0)
    assert err.value.code == 22


def test_empty_listing_still_hands_out_a_cursor_to_end(env, sinfo):
    with qnst_bdb.begin(env) as txn:
        cursor, sino, ino, method, sgen, stime = sinfo.sinfo_list(txn, 0)
        assert isinstance(cursor, qnst_bdb.qnst_cursor) and cursor.active
        assert ino == 0
        sinfo.sinfo_end(cursor)
        sinfo.sinfo_end(cursor)  # a second end does nothing
        with pytest.raises(ValueError, match="cursor has ended"):
            sinfo.sinfo_next(cursor)


def test_records_survive_a_reopen_and_the_file_is_removed(env, sinfo):
    sinfo.sinfo_set(None, 9, 1, 2, 3, 4)
    sinfo.sinfo_close()
    sinfo.sinfo_close()  # a second close does nothing
    with pytest.raises(qnst.QnstError) as err:  # closed: the engine refuses, nothing crashes
        sinfo.sinfo_get(None, 9)
    assert err.value.code == 22
    sinfo.sinfo_open(env, b"sinfo.db", 0)
    assert sinfo.sinfo_get(None, 9) == (1, 2, 3, 4)
    with pytest.raises(ValueError, match="open already"):
        sinfo.sinfo_open(env, b"sinfo.db", 0)
    sinfo.sinfo_close()
    qnst_sinfo.sinfo_remove(env, b"sinfo.db")
    with pytest.raises(qnst.NotFound) as err:
        qnst_sinfo.sinfo_remove(env, b"sinfo.db")
    assert err.value.code == 2


def test_open_table_keeps_its_environment_open(env):
    table = qnst_sinfo.pySInfo()
    table.sinfo_open(env, b"s.db", 0)
    with pytest.raises(qnst.QnstError) as err:
        env.env_close()
    assert err.value.code == 16
    table.sinfo_close()


@pytest.mark.parametrize("call, error, message", [
    (lambda t: t.sinfo_get(None, -1), OverflowError, "can't convert negative value"),
    (lambda t: t.sinfo_set(None, 1, 1, 1 << 32, 0, 0), OverflowError,
     "too large to convert to uint32_t"),
    (lambda t: t.sinfo_set(None, 1, 1 << 64, 0, 0, 0), OverflowError, "too large"),
    (lambda t: t.sinfo_get(None, "1"), TypeError, "an integer is required"),
    (lambda t: t.sinfo_get(None), TypeError,
     "sinfo_get() takes exactly 2 positional arguments (1 given)"),
    (lambda t: t.sinfo_list(None, sino=0, start=1), TypeError,
     "sinfo_list() got an unexpected keyword argument 'start'"),
    (lambda t: t.sinfo_next(None), TypeError,
     "Argument 'cursor' has incorrect type (expected qnst_bdb.qnst_cursor, got NoneType)"),
    (lambda t: t.sinfo_get("txn", 0), TypeError, "Argument 'txn' has incorrect type"),
    (lambda t: t.sinfo_open(None, b"x", 0), TypeError, "Argument 'env' has incorrect type"),
    (lambda t: qnst_sinfo.sinfo_remove(None, b"x"), TypeError,
     "Argument 'env' has incorrect type"),
])
def test_argument_errors_raise_before_the_engine(call, error, message):
    with pytest.raises(error) as err:
        call(qnst_sinfo.pySInfo())
    assert message in str(err.value)
    with pytest.raises(TypeError):
        qnst_sinfo.pySInfo(1)
