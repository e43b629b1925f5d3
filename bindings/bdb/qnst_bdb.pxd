# Environment, transaction, cursor, lock and database objects shared by every binding module.
# The modules cimport these types; Python checks the instance size of each at import time.

from qnst64 cimport *


cdef class qnst_env:
    cdef qnst_envrec rec
    cdef bint created
    # Open objects whose handles live in the environment (stores, transactions, locks, tables):
    # closing the environment under them would free their handles, so it waits for them.
    cdef Py_ssize_t users


cdef class qnst_txn:
    cdef DB_TXN *txn
    # The environment stays alive while the transaction is open.
    cdef qnst_env env

    cdef void ended(self)


cdef class qnst_cursor:
    cdef DBC *cursor


cdef class qnst_lock:
    cdef DB_LOCK lock
    cdef bint held
    cdef qnst_env env


cdef class qnst_db:
    cdef DB *db
    cdef qnst_env env

    cdef DB *handle(self) except NULL


# Raw handles out of the objects, for the binding modules. Each raises before any engine call
# when the object cannot stand for a handle.

cdef inline DB_ENV *env_of(qnst_env env) except NULL:
    if env is None:
        raise TypeError("an environment is required, not None")
    if env.rec.dbenv == NULL:
        raise ValueError("the environment is not created")
    return env.rec.dbenv


cdef inline DB_TXN *txn_of(qnst_txn txn) except? NULL:
    # None stands for no transaction.
    if txn is None:
        return NULL
    if txn.txn == NULL:
        raise ValueError("the transaction has ended")
    return txn.txn


cdef inline DBC *cursor_of(qnst_cursor cursor) except NULL:
    if cursor is None:
        raise TypeError("a cursor is required, not None")
    if cursor.cursor == NULL:
        raise ValueError("the cursor has ended")
    return cursor.cursor


cdef inline qnst_cursor new_cursor(DBC *cursor):
    # A walk's cursor object: made by calling the type, then given the engine's cursor.
    cdef qnst_cursor c = qnst_cursor()
    c.cursor = cursor
    return c


cdef inline const char *path_of(bytes path) except? NULL:
    # None stands for no path (a null pointer); a path must not hold a zero byte.
    if path is None:
        return NULL
    if b"\0" in path:
        raise ValueError("embedded zero byte in path")
    return path


cdef inline void require_length(bytes data, Py_ssize_t length, name) except *:
    # The engine reads `length` bytes: never more than the byte string holds.
    if length < 0 or length > len(data):
        raise ValueError("%s is %d bytes long, fewer than the length given (%d)"
                         % (name, len(data), length))
