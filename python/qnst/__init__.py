"""Result codes of the qnst64 engine as Python exceptions.

Every binding method hands the engine's result code to ``qnst_error.check``: 0 returns, every
other code raises an exception that carries the code and the engine's name for it. The classes
follow what a caller does about the failure:

- ``NotFound``: the record, entry or file does not exist;
- ``AlreadyExists``: it exists already (``QNST_HASH_EXISTS``: look the hash up and use the
  stored object);
- ``Retryable``: the transaction lost a lock conflict; abort it and run it again
  (``qnst_bdb.retry`` does this);
- ``QuotaExceeded``: a usage limit refused the change;
- ``NoInode``: an inode table has no free number left; extend it and try again;
- ``QnstError``: the base class, raised as such for every other code.
"""

import errno as _errno

__all__ = [
    "QnstError", "NotFound", "AlreadyExists", "Retryable", "QuotaExceeded", "NoInode",
    "qnst_error", "code_name",
    "DB_NOTFOUND", "DB_KEYEXIST", "DB_KEYEMPTY", "DB_LOCK_DEADLOCK", "DB_LOCK_NOTGRANTED",
    "QNST_HASH_EXISTS", "QNST_RETRY", "QNST_ENOINODE", "QNST_EINODEBUSY",
]

# Berkeley DB's codes that reach callers.
DB_BUFFER_SMALL = -30999
DB_KEYEMPTY = -30995
DB_KEYEXIST = -30994
DB_LOCK_DEADLOCK = -30993
DB_LOCK_NOTGRANTED = -30992
DB_NOTFOUND = -30988
DB_RUNRECOVERY = -30973
DB_VERSION_MISMATCH = -30969

# The engine's own codes.
QNST_QUOTA_FSCURRENT = -30000
QNST_QUOTA_FSTOTAL = -30001
QNST_QUOTA_STCURRENT = -30002
QNST_QUOTA_STTOTAL = -30003
QNST_HASH_EXISTS = -30004
QNST_RETRY = -30005
QNST_ENOINODE = -30006
QNST_EINODEBUSY = -30007
QNST_ENOENTRY = -30008
QNST_ENOSTAT = -30009

_NAMES = {
    DB_BUFFER_SMALL: "DB_BUFFER_SMALL",
    DB_KEYEMPTY: "DB_KEYEMPTY",
    DB_KEYEXIST: "DB_KEYEXIST",
    DB_LOCK_DEADLOCK: "DB_LOCK_DEADLOCK",
    DB_LOCK_NOTGRANTED: "DB_LOCK_NOTGRANTED",
    DB_NOTFOUND: "DB_NOTFOUND",
    DB_RUNRECOVERY: "DB_RUNRECOVERY",
    DB_VERSION_MISMATCH: "DB_VERSION_MISMATCH",
    QNST_QUOTA_FSCURRENT: "QNST_QUOTA_FSCURRENT",
    QNST_QUOTA_FSTOTAL: "QNST_QUOTA_FSTOTAL",
    QNST_QUOTA_STCURRENT: "QNST_QUOTA_STCURRENT",
    QNST_QUOTA_STTOTAL: "QNST_QUOTA_STTOTAL",
    QNST_HASH_EXISTS: "QNST_HASH_EXISTS",
    QNST_RETRY: "QNST_RETRY",
    QNST_ENOINODE: "QNST_ENOINODE",
    QNST_EINODEBUSY: "QNST_EINODEBUSY",
    QNST_ENOENTRY: "QNST_ENOENTRY",
    QNST_ENOSTAT: "QNST_ENOSTAT",
    -1: "failure",
}


def code_name(code):
    """The engine's name for a result code: its constant, an errno name, or the number."""
    name = _NAMES.get(code)
    if name is None:
        name = _errno.errorcode.get(code, str(code))
    return name


class QnstError(Exception):
    """An engine call failed. ``code`` is the engine's result code, ``name`` its name."""

    def __init__(self, code):
        self.code = code
        self.name = code_name(code)
        super().__init__(code, self.name)

    def __str__(self):
        return "engine error %d (%s)" % (self.code, self.name)


class NotFound(QnstError):
    """The record, entry or file does not exist."""


class AlreadyExists(QnstError):
    """The record exists already (or the hash is stored under another block)."""


class Retryable(QnstError):
    """A lock conflict: abort the transaction and run it again."""


class QuotaExceeded(QnstError):
    """A usage limit refused the change."""


class NoInode(QnstError):
    """The inode table has no free number: extend it and try again."""


_CLASSES = {
    DB_NOTFOUND: NotFound,
    DB_KEYEMPTY: NotFound,
    QNST_ENOENTRY: NotFound,
    QNST_ENOSTAT: NotFound,
    _errno.ENOENT: NotFound,
    DB_KEYEXIST: AlreadyExists,
    QNST_HASH_EXISTS: AlreadyExists,
    QNST_EINODEBUSY: AlreadyExists,
    DB_LOCK_DEADLOCK: Retryable,
    DB_LOCK_NOTGRANTED: Retryable,
    QNST_RETRY: Retryable,
    QNST_QUOTA_FSCURRENT: QuotaExceeded,
    QNST_QUOTA_FSTOTAL: QuotaExceeded,
    QNST_QUOTA_STCURRENT: QuotaExceeded,
    QNST_QUOTA_STTOTAL: QuotaExceeded,
    QNST_ENOINODE: NoInode,
}


def error_for(code):
    """The exception ``check`` raises for a nonzero ``code``."""
    return _CLASSES.get(code, QnstError)(code)


class qnst_error:
    """The error object the binding modules import: ``qnst_error.check(rc)`` after every call."""

    @staticmethod
    def check(code):
        """Returns for 0; raises the exception of any other result code."""
        if code:
            raise _CLASSES.get(code, QnstError)(code)
