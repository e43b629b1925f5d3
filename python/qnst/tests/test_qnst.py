"""qnst_error.check: every result code becomes the exception of its kind."""

import errno

import pytest

import qnst
from qnst import qnst_error


def test_success_returns():
    assert qnst_error.check(0) is None


@pytest.mark.parametrize("code, cls, name", [
    (-30988, qnst.NotFound, "DB_NOTFOUND"),
    (-30995, qnst.NotFound, "DB_KEYEMPTY"),
    (-30008, qnst.NotFound, "QNST_ENOENTRY"),
    (-30009, qnst.NotFound, "QNST_ENOSTAT"),
    (errno.ENOENT, qnst.NotFound, "ENOENT"),
    (-30994, qnst.AlreadyExists, "DB_KEYEXIST"),
    (-30004, qnst.AlreadyExists, "QNST_HASH_EXISTS"),
    (-30007, qnst.AlreadyExists, "QNST_EINODEBUSY"),
    (-30993, qnst.Retryable, "DB_LOCK_DEADLOCK"),
    (-30992, qnst.Retryable, "DB_LOCK_NOTGRANTED"),
    (-30005, qnst.Retryable, "QNST_RETRY"),
    (-30000, qnst.QuotaExceeded, "QNST_QUOTA_FSCURRENT"),
    (-30003, qnst.QuotaExceeded, "QNST_QUOTA_STTOTAL"),
    (-30006, qnst.NoInode, "QNST_ENOINODE"),
    (errno.EINVAL, qnst.QnstError, "EINVAL"),
    (-30973, qnst.QnstError, "DB_RUNRECOVERY"),
    (-1, qnst.QnstError, "failure"),
    (12345, qnst.QnstError, "12345"),
])
def test_codes_raise_their_kind(code, cls, name):
    with pytest.raises(qnst.QnstError) as err:
        qnst_error.check(code)
    assert type(err.value) is cls
    assert (err.value.code, err.value.name) == (code, name)
    assert str(code) in str(err.value) and name in str(err.value)
