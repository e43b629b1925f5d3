# cython: language_level=3, embedsignature=True
"""The database environment, transactions, cursors, locks and plain Berkeley DB tables.

Low-level methods mirror the engine's functions: the name without ``qnst_``, the same argument
order, paths as ``bytes``, and every result code handed to ``qnst.qnst_error.check``. On top of
them: environments and transactions are context managers, ``env_open`` takes its settings as
keywords with defaults, and ``retry`` runs a transaction again after a lock conflict.
"""

from libc.errno cimport EBUSY
from libc.stdlib cimport free
from libc.string cimport memset
from cpython.bytes cimport PyBytes_FromStringAndSize

cimport cython

from qnst64 cimport *

import qnst
from qnst import qnst_error

# Lock modes of qnst_lock.lock_get.
LOCK_READ = DB_LOCK_READ
LOCK_WRITE = DB_LOCK_WRITE
# Flags of lock_get, the table calls and qnst_db.db_open.
LOCK_NOWAIT = DB_LOCK_NOWAIT
RMW = DB_RMW
NOOVERWRITE = DB_NOOVERWRITE
CREATE = DB_CREATE
THREAD = DB_THREAD
AUTO_COMMIT = DB_AUTO_COMMIT
# Table kinds of qnst_db.db_open.
BTREE = DB_BTREE
HASH = DB_HASH
RECNO = DB_RECNO
QUEUE = DB_QUEUE


def bdb_init():
    """bdb_init() -> None. Prepares the process-wide environment list (once per process)."""
    cdef int rc
    with nogil:
        rc = qnst_bdb_init()
    qnst_error.check(rc)


def bdb_checkopen(uint64_t id):
    """bdb_checkopen(id) -> None. Raises (code 16) while an environment with `id` (0: any) is
    registered."""
    cdef int rc
    with nogil:
        rc = qnst_bdb_checkopen(id)
    qnst_error.check(rc)


ctypedef int (*env_call)(qnst_envrec *) nogil
ctypedef int (*stat_call)(DB_ENV *, uint32_t) nogil


cdef call_on_env(qnst_env env, env_call call):
    cdef int rc
    env_of(env)
    with nogil:
        rc = call(&env.rec)
    qnst_error.check(rc)


cdef print_stats(qnst_env env, stat_call call, uint32_t flags):
    cdef int rc
    cdef DB_ENV *dbenv = env_of(env)
    with nogil:
        rc = call(dbenv, flags)
    qnst_error.check(rc)


cdef class qnst_env:
    """An engine environment: ``env_create(id)``, then ``env_open(home, ...)``; ``env_close()``
    (or leaving a ``with`` block, or dropping the object) closes it."""

    def __cinit__(self):
        memset(&self.rec, 0, sizeof(self.rec))
        self.created = False
        self.users = 0

    def __init__(self):
        pass

    def __dealloc__(self):
        if self.created:
            with nogil:
                qnst_env_close(&self.rec)
            self.created = False

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.env_close()
        return False

    def env_create(self, uint64_t id):
        """env_create(id) -> None. Registers the environment under `id` and creates its Berkeley
        DB handle."""
        cdef int rc
        if self.created:
            raise ValueError("the environment is created already")
        with nogil:
            rc = qnst_env_create(&self.rec, id)
        if rc == 0:
            self.created = True
        qnst_error.check(rc)

    def env_open(self, bytes home not None, bytes logdir=None, bytes errfile=None,
                 uint32_t max_lockers=0, uint32_t max_locks=0, uint32_t max_objects=0,
                 uint32_t lk_partitions=0, uint32_t lg_bsize=0, uint32_t lg_regionmax=0,
                 uint32_t cache_gbytes=0, uint32_t cache_bytes=0, uint32_t tx_max=0,
                 int32_t compress=0, int32_t recover=0, int32_t shm_key=0):
        """env_open(home, logdir=None, errfile=None, max_lockers=0, max_locks=0, max_objects=0,
        lk_partitions=0, lg_bsize=0, lg_regionmax=0, cache_gbytes=0, cache_bytes=0, tx_max=0,
        compress=0, recover=0, shm_key=0) -> None.

        Opens the environment in `home`; settings left at 0 keep Berkeley DB's defaults.
        `recover` nonzero creates a missing environment and runs recovery."""
        cdef int rc
        cdef const char *c_home = path_of(home)
        cdef const char *c_logdir = path_of(logdir)
        cdef const char *c_errfile = path_of(errfile)
        with nogil:
            rc = qnst_env_open(&self.rec, c_home, c_logdir, c_errfile, max_lockers, max_locks,
                               max_objects, lk_partitions, lg_bsize, lg_regionmax,
                               cache_gbytes, cache_bytes, tx_max, compress, recover, shm_key)
        qnst_error.check(rc)

    def env_close(self):
        """env_close() -> None. Closes the environment; does nothing when it is not created.
        Stop the maintenance threads first. Raises qnst.QnstError (code 16, EBUSY) while
        stores, transactions, locks or tables opened in it are still open."""
        cdef int rc = 0
        if self.users:
            raise qnst.QnstError(EBUSY)
        if self.created:
            with nogil:
                rc = qnst_env_close(&self.rec)
            self.created = False
            qnst_error.check(rc)

    def env_checkopen(self, uint64_t id):
        """env_checkopen(id) -> None. Raises (code 16) while a user of the environment with `id`
        (0: any) is registered."""
        cdef int rc
        env_of(self)
        with nogil:
            rc = qnst_env_checkopen(&self.rec, id)
        qnst_error.check(rc)

    def env_checkpoint(self):
        """env_checkpoint() -> None. Checkpoints the environment."""
        call_on_env(self, qnst_env_checkpoint)

    def env_flushlog(self):
        """env_flushlog() -> None. Flushes the whole log."""
        call_on_env(self, qnst_env_flushlog)

    def env_compactlog(self):
        """env_compactlog() -> None. Deletes the log files that are no longer needed."""
        call_on_env(self, qnst_env_compactlog)

    def env_checkpointthread(self, uint32_t interval, bytes archdir=b""):
        """env_checkpointthread(interval, archdir=b"") -> None. Body of the checkpoint thread:
        returns once env_stopthreads() is called. Run it on a thread of its own."""
        cdef int rc
        env_of(self)
        cdef const char *c_archdir = path_of(archdir)
        with nogil:
            rc = qnst_env_checkpointthread(&self.rec, interval, c_archdir)
        qnst_error.check(rc)

    def env_flushcachethread(self, uint32_t percent):
        """env_flushcachethread(percent) -> None. Body of the cache trickle thread."""
        cdef int rc
        env_of(self)
        with nogil:
            rc = qnst_env_flushcachethread(&self.rec, percent)
        qnst_error.check(rc)

    def env_checkdlockthread(self):
        """env_checkdlockthread() -> None. Body of the deadlock detection thread."""
        call_on_env(self, qnst_env_checkdlockthread)

    def env_stopthreads(self):
        """env_stopthreads() -> None. Asks every maintenance thread body to return."""
        call_on_env(self, qnst_env_stopthreads)

    def lock_stat_print(self, uint32_t flags=0):
        """lock_stat_print(flags=0) -> None. Writes lock statistics into the error file."""
        print_stats(self, qnst_lock_stat_print, flags)

    def memp_stat_print(self, uint32_t flags=0):
        """memp_stat_print(flags=0) -> None. Writes cache statistics into the error file."""
        print_stats(self, qnst_memp_stat_print, flags)

    def mutex_stat_print(self, uint32_t flags=0):
        """mutex_stat_print(flags=0) -> None. Writes mutex statistics into the error file."""
        print_stats(self, qnst_mutex_stat_print, flags)

    def log_stat_print(self, uint32_t flags=0):
        """log_stat_print(flags=0) -> None. Writes log statistics into the error file."""
        print_stats(self, qnst_log_stat_print, flags)

    def lock_id(self):
        """lock_id() -> locker. A new locker id for qnst_lock.lock_get."""
        cdef int rc
        cdef uint32_t locker = 0
        cdef DB_ENV *dbenv = env_of(self)
        with nogil:
            rc = dbenv.lock_id(dbenv, &locker)
        qnst_error.check(rc)
        return locker

    def lock_id_free(self, uint32_t locker):
        """lock_id_free(locker) -> None. Frees a locker id that holds no locks."""
        cdef int rc
        cdef DB_ENV *dbenv = env_of(self)
        with nogil:
            rc = dbenv.lock_id_free(dbenv, locker)
        qnst_error.check(rc)


# The objects it keeps must outlive its __dealloc__, even when the collector breaks a cycle.
@cython.no_gc_clear
cdef class qnst_txn:
    """A transaction: ``txn_begin(env, parent)``, then ``txn_commit(sync)`` or ``txn_abort()``.
    As a context manager a begun transaction commits when the block ends normally and aborts
    when it raises; one dropped while open is aborted."""

    def __cinit__(self):
        self.txn = NULL
        self.env = None

    def __init__(self):
        pass

    def __dealloc__(self):
        # A forgotten transaction would hold its locks for ever. Its environment is open: it
        # refuses to close while the transaction is.
        cdef DB_TXN *txn = self.txn
        if txn != NULL:
            self.ended()
            with nogil:
                qnst_txn_abort(txn)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if self.txn != NULL:
            if exc_type is None:
                self.txn_commit(1)
            else:
                self.txn_abort()
        return False

    def txn_begin(self, qnst_env env not None, qnst_txn parent=None):
        """txn_begin(env, parent=None) -> None. Begins the transaction (nested in `parent`)."""
        cdef int rc
        cdef DB_TXN *txn = NULL
        if self.txn != NULL:
            raise ValueError("the transaction is open already")
        cdef DB_ENV *dbenv = env_of(env)
        cdef DB_TXN *c_parent = txn_of(parent)
        with nogil:
            rc = qnst_txn_begin(dbenv, c_parent, &txn)
        qnst_error.check(rc)
        self.txn = txn
        self.env = env
        env.users += 1

    cdef void ended(self):
        self.txn = NULL
        self.env.users -= 1
        self.env = None

    def txn_commit(self, uint32_t sync=1):
        """txn_commit(sync=1) -> None. Commits (synchronously unless `sync` is 0); the
        transaction has ended afterwards whatever the result."""
        cdef int rc
        cdef DB_TXN *txn = txn_of(self)
        self.ended()
        with nogil:
            rc = qnst_txn_commit(txn, sync)
        qnst_error.check(rc)

    def txn_abort(self):
        """txn_abort() -> None. Aborts; the transaction has ended afterwards."""
        cdef int rc
        cdef DB_TXN *txn = txn_of(self)
        self.ended()
        with nogil:
            rc = qnst_txn_abort(txn)
        qnst_error.check(rc)

    @property
    def active(self):
        """True between txn_begin and the commit or abort."""
        return self.txn != NULL


cdef class qnst_cursor:
    """A cursor handed out by a walk or listing method; end it with the family's done method."""

    def __cinit__(self):
        self.cursor = NULL

    def __init__(self):
        pass

    @property
    def active(self):
        """True until the walk's done method has closed the cursor."""
        return self.cursor != NULL


# The objects it keeps must outlive its __dealloc__, even when the collector breaks a cycle.
@cython.no_gc_clear
cdef class qnst_lock:
    """A Berkeley DB lock taken with ``lock_get`` and given back with ``lock_put``."""

    def __cinit__(self):
        self.held = False
        self.env = None

    def __init__(self):
        pass

    def __dealloc__(self):
        cdef DB_ENV *dbenv
        if self.held:
            dbenv = self.env.rec.dbenv
            self.held = False
            self.env.users -= 1
            with nogil:
                dbenv.lock_put(dbenv, &self.lock)

    def lock_get(self, qnst_env env not None, uint32_t locker, bytes obj not None,
                 uint32_t mode, uint32_t flags=0):
        """lock_get(env, locker, obj, mode, flags=0) -> None. Locks the object named `obj` for
        `locker` (from env.lock_id()) in `mode` (LOCK_READ or LOCK_WRITE); waits unless `flags`
        holds LOCK_NOWAIT."""
        cdef int rc
        cdef DBT dbt
        if self.held:
            raise ValueError("the lock is held already")
        cdef DB_ENV *dbenv = env_of(env)
        memset(&dbt, 0, sizeof(dbt))
        dbt.data = <char *>obj
        dbt.size = <uint32_t>len(obj)
        with nogil:
            rc = dbenv.lock_get(dbenv, locker, flags, &dbt, <db_lockmode_t>mode, &self.lock)
        qnst_error.check(rc)
        self.held = True
        self.env = env
        env.users += 1

    def lock_put(self):
        """lock_put() -> None. Releases the lock; does nothing when none is held."""
        cdef int rc
        if not self.held:
            return
        cdef DB_ENV *dbenv = env_of(self.env)
        self.held = False
        self.env.users -= 1
        self.env = None
        with nogil:
            rc = dbenv.lock_put(dbenv, &self.lock)
        qnst_error.check(rc)


# The objects it keeps must outlive its __dealloc__, even when the collector breaks a cycle.
@cython.no_gc_clear
cdef class qnst_db:
    """A plain Berkeley DB table in an engine environment, for tools and tests that read or
    write records directly: ``db_create(env)``, ``db_open(...)``, get/put/del, ``db_close()``."""

    def __cinit__(self):
        self.db = NULL
        self.env = None

    def __init__(self):
        pass

    def __dealloc__(self):
        cdef DB *db = self.db
        if db != NULL:
            self.db = NULL
            self.env.users -= 1
            with nogil:
                db.close(db, 0)

    def db_create(self, qnst_env env not None):
        """db_create(env) -> None. Creates the table handle in `env`."""
        cdef int rc
        cdef DB *db = NULL
        if self.db != NULL:
            raise ValueError("the table is created already")
        cdef DB_ENV *dbenv = env_of(env)
        with nogil:
            rc = db_create(&db, dbenv, 0)
        qnst_error.check(rc)
        self.db = db
        self.env = env
        env.users += 1

    cdef DB *handle(self) except NULL:
        if self.db == NULL:
            raise ValueError("the table is not created")
        return self.db

    def db_open(self, qnst_txn txn, bytes file, bytes database=None, uint32_t dbtype=DB_BTREE,
                uint32_t flags=DB_CREATE | DB_THREAD | DB_AUTO_COMMIT, int mode=0):
        """db_open(txn, file, database=None, dbtype=BTREE, flags=CREATE|THREAD|AUTO_COMMIT,
        mode=0) -> None. Opens table `database` in `file`."""
        cdef int rc
        cdef DB *db = self.handle()
        cdef DB_TXN *c_txn = txn_of(txn)
        cdef const char *c_file = path_of(file)
        cdef const char *c_database = path_of(database)
        with nogil:
            rc = db.open(db, c_txn, c_file, c_database, <DBTYPE>dbtype, flags, mode)
        qnst_error.check(rc)

    def db_close(self):
        """db_close() -> None. Closes the table; does nothing when it is not created."""
        cdef int rc
        cdef DB *db = self.db
        if db == NULL:
            return
        self.db = NULL
        self.env.users -= 1
        self.env = None
        with nogil:
            rc = db.close(db, 0)
        qnst_error.check(rc)

    def db_get(self, qnst_txn txn, bytes key not None, uint32_t flags=0):
        """db_get(txn, key, flags=0) -> bytes. The record stored under `key`."""
        cdef int rc
        cdef DBT k, d
        cdef DB *db = self.handle()
        cdef DB_TXN *c_txn = txn_of(txn)
        memset(&k, 0, sizeof(k))
        memset(&d, 0, sizeof(d))
        k.data = <char *>key
        k.size = <uint32_t>len(key)
        d.flags = DB_DBT_MALLOC
        with nogil:
            rc = db.get(db, c_txn, &k, &d, flags)
        try:
            qnst_error.check(rc)
            return PyBytes_FromStringAndSize(<char *>d.data, d.size)
        finally:
            free(d.data)

    def db_put(self, qnst_txn txn, bytes key not None, bytes data not None, uint32_t flags=0):
        """db_put(txn, key, data, flags=0) -> None. Stores `data` under `key`."""
        cdef int rc
        cdef DBT k, d
        cdef DB *db = self.handle()
        cdef DB_TXN *c_txn = txn_of(txn)
        memset(&k, 0, sizeof(k))
        memset(&d, 0, sizeof(d))
        k.data = <char *>key
        k.size = <uint32_t>len(key)
        d.data = <char *>data
        d.size = <uint32_t>len(data)
        with nogil:
            rc = db.put(db, c_txn, &k, &d, flags)
        qnst_error.check(rc)

    def db_del(self, qnst_txn txn, bytes key not None, uint32_t flags=0):
        """db_del(txn, key, flags=0) -> None. Deletes the record stored under `key`."""
        cdef int rc
        cdef DBT k
        cdef DB *db = self.handle()
        cdef DB_TXN *c_txn = txn_of(txn)
        memset(&k, 0, sizeof(k))
        k.data = <char *>key
        k.size = <uint32_t>len(key)
        with nogil:
            rc = db.delete(db, c_txn, &k, flags)
        qnst_error.check(rc)


def begin(qnst_env env not None, qnst_txn parent=None):
    """begin(env, parent=None) -> qnst_txn. A begun transaction, for ``with begin(env) as txn:``
    (commits when the block ends normally, aborts when it raises)."""
    txn = qnst_txn()
    txn.txn_begin(env, parent)
    return txn


def retry(qnst_env env not None, fn, *args, int attempts=100, uint32_t sync=1, **kwargs):
    """retry(env, fn, *args, attempts=100, sync=1, **kwargs) -> fn's result.

    Runs ``fn(txn, *args, **kwargs)`` in a new transaction and commits it. When the call or the
    commit raises ``qnst.Retryable`` (a deadlock or a lock not granted), the transaction is
    aborted and the whole call runs again, up to `attempts` times; the last failure propagates.
    Any other exception aborts the transaction and propagates."""
    if attempts < 1:
        raise ValueError("attempts must be at least 1")
    for attempt in range(attempts):
        txn = begin(env)
        try:
            result = fn(txn, *args, **kwargs)
            txn.txn_commit(sync)
            return result
        except qnst.Retryable:
            if txn.active:
                txn.txn_abort()
            if attempt + 1 == attempts:
                raise
        except BaseException:
            if txn.active:
                txn.txn_abort()
            raise
