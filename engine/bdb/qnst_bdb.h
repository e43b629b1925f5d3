/*
 * qnst_bdb.h: the database environment, transactions, maintenance threads, record buffers and the
 * printable encoding.
 *
 * Every table of the engine lives in one transactional Berkeley DB environment. The server holds a
 * qnst_envrec, creates and opens it here, and hands its `dbenv` to the stores. Stores never begin
 * or end transactions: the caller passes `txn`, commits, or aborts and retries after
 * DB_LOCK_DEADLOCK or DB_LOCK_NOTGRANTED.
 *
 * Error log. The environment's error file receives one line per failing level:
 *   "[YYYY-MM-DD hh:mm:ss,000] [Error] At <source>:<line>: code <code>"
 *   "[YYYY-MM-DD hh:mm:ss,000] [Error] At <source>:<line>: error:<message>"
 * DB_LOCK_DEADLOCK, DB_LOCK_NOTGRANTED, QNST_HASH_EXISTS and QNST_RETRY are never written.
 * Berkeley DB's own messages reach the same file as bare lines.
 */
#ifndef QNST_BDB_H
#define QNST_BDB_H

#include <db.h>
#include <stdint.h>

#include "qnst_defs.h"

QNST_BEGIN_DECLS

/* Registry list: a mutex-guarded doubly linked list with a member count. Each member begins with
 * a qnst_listlink followed by its 64-bit identifier. */
typedef struct qnst_list qnst_list;
typedef struct qnst_listlink {
    void *next;       /* next member, null at the tail */
    void *prev;       /* previous member; the list head when the member is first */
    qnst_list *owner; /* the list the member is in; null when in none */
} qnst_listlink;

struct qnst_list {
    void *first;   /* first member, null when empty */
    void *last;    /* last member, null when empty */
    void *self;    /* the head's own address */
    void *mutex;   /* the list's non-recursive mutex */
    uint32_t count;
};

/* Environment handle, owned by the caller. Cleared by qnst_env_create. */
typedef struct qnst_envrec {
    qnst_listlink link; /* membership in the process-wide environment list */
    uint64_t id;        /* the caller's identifier of this environment */
    DB_ENV *dbenv;      /* the environment; null before create and after close */
    qnst_list users;    /* objects that work in this environment (inode table sets) */
    void *threads;      /* stop request shared by the maintenance thread bodies */
    void *reserved;
} qnst_envrec;

/* Initialises the process-wide environment list. Call once per process before any other
 * function of this header; later calls do nothing (and qnst_bdb_checkopen and qnst_env_create
 * make the call themselves when it was forgotten). Returns 0, or ENOMEM when the list's
 * mutex cannot be allocated. */
QNST_API int qnst_bdb_init(void);

/* With id 0: EBUSY when any environment is registered, else 0. Otherwise EBUSY when an
 * environment created with this id is registered, else 0. */
QNST_API int qnst_bdb_checkopen(uint64_t id);

/* Clears `env`, stores `id`, registers the handle in the environment list and creates the
 * Berkeley DB environment handle (not yet open).
 * Returns 0; ENOMEM when the list mutexes or the thread stop state cannot be allocated;
 * or the code of db_env_create. On failure the handle has been closed again (unregistered).
 * Nothing is logged. */
QNST_API int qnst_env_create(qnst_envrec *env, uint64_t id);

/* Configures and opens the environment in `home`.
 *
 * Each numeric setting that is 0 is left at Berkeley DB's default. The cache, when set, is split
 * into 16 regions and the mutex maximum is raised to one mutex per kilobyte of cache. `errfile`
 * is opened for appending; when it cannot be opened the environment runs without an error file
 * (nothing is logged then). `compress` > 0 turns on B-tree compression for the inode tables.
 *
 * recover != 0: recovery open. Creates the environment when missing and runs normal recovery.
 *   Not free-threaded: its handles must not be used by two threads at once. shm_key != 0 puts
 *   the regions in system shared memory under that key.
 * recover == 0: normal open of an existing environment. Free-threaded, auto-commit for calls made
 *   without a transaction, log written with synchronous data writes. shm_key != 0 uses system
 *   shared memory (the key itself is not set).
 *
 * Both modes ask Berkeley DB to lock the regions in memory (DB_LOCKDOWN). Where that fails for
 * lack of lockable memory (the open returns ENOMEM), the environment is opened again without it and
 * one error-log entry says so; a recovery open first removes the region files the failed attempt
 * left half-built.
 *
 * A blocked lock request runs Berkeley DB's deadlock detector at once (DB_LOCK_YOUNGEST: the
 * youngest locker of a cycle gets DB_LOCK_DEADLOCK), beside the periodic deadlock thread.
 *
 * Returns 0; the first failing setter's Berkeley DB code (unlogged, earlier settings kept);
 * ENOMEM when the error sink cannot be allocated; EINVAL for a handle that is not
 * created or that was already opened (successfully or not); or the code of DB_ENV->open: DB_RUNRECOVERY for a normal open of an environment
 * that does not exist or that a crashed process left behind (open it with recovery), ENOENT
 * (ENOENT) for a missing home directory, EINVAL when this process already has the
 * environment open, DB_VERSION_MISMATCH, ...
 * A failed open leaves the handle created; the caller closes it with qnst_env_close. */
QNST_API int qnst_env_open(qnst_envrec *env, const char *home, const char *logdir,
                           const char *errfile, uint32_t max_lockers, uint32_t max_locks,
                           uint32_t max_objects, uint32_t lk_partitions, uint32_t lg_bsize,
                           uint32_t lg_regionmax, uint32_t cache_gbytes, uint32_t cache_bytes,
                           uint32_t tx_max, int32_t compress, int32_t recover, int32_t shm_key);

/* Closes the Berkeley DB environment (its result is ignored), closes the error file, frees the
 * error sink and the thread stop state, and unregisters the handle. An opened environment is
 * checkpointed first (a failure is logged): the log and every page the stores' closes left
 * dirty reach the files, so that the database files alone hold every committed record, even
 * if the region files are lost afterwards. Close the stores and stop and join the maintenance
 * threads first. Always returns 0. */
QNST_API int qnst_env_close(qnst_envrec *env);

/* The test of qnst_bdb_checkopen over the environment's `users` list: EBUSY or 0. */
QNST_API int qnst_env_checkopen(qnst_envrec *env, uint64_t id);

/* DB_ENV->txn_checkpoint(0, 0, 0). Returns its code, unlogged. */
QNST_API int qnst_env_checkpoint(qnst_envrec *env);
/* DB_ENV->log_flush of the whole log. Returns its code, unlogged. */
QNST_API int qnst_env_flushlog(qnst_envrec *env);
/* Deletes the log files that are no longer needed. Returns its code, unlogged. */
QNST_API int qnst_env_compactlog(qnst_envrec *env);

/*
 * Maintenance thread bodies. The server runs each on a thread of its own; each loops until a
 * stop is requested with qnst_env_stopthreads. A body checks the request whenever it would
 * sleep: once stop has been requested it returns instead of sleeping, so a body started after
 * the request runs exactly one pass. Join every body before qnst_env_close.
 */

/* Every `interval` seconds: checkpoint, then archive the logs that are no longer needed: with an
 * empty `archdir` they are deleted, otherwise moved into `archdir` (a failed move is left for the
 * next pass). Archive failures are logged and retried.
 * Returns 0 when stopped, or the checkpoint's code (logged unless exempt) when a checkpoint
 * fails, which ends the thread. */
QNST_API int qnst_env_checkpointthread(qnst_envrec *env, uint32_t interval, const char *archdir);

/* Every 64 seconds: writes dirty cache pages until `percent` per cent of the cache is clean.
 * Failures are logged and retried. Returns 0 when stopped. */
QNST_API int qnst_env_flushcachethread(qnst_envrec *env, uint32_t percent);

/* Every 4 seconds: breaks each deadlock by failing its youngest locker (whose call returns
 * DB_LOCK_DEADLOCK). Failures are logged and retried. Returns 0 when stopped. */
QNST_API int qnst_env_checkdlockthread(qnst_envrec *env);

/* Asks every maintenance thread body of `env` to return at its next sleep, and wakes those that
 * sleep now. The request stays until qnst_env_close. Returns 0; EINVAL for a handle that
 * was never created. */
QNST_API int qnst_env_stopthreads(qnst_envrec *env);

/* DB_ENV->txn_begin(parent, txnp, 0). Returns its code. */
QNST_API int qnst_txn_begin(DB_ENV *dbenv, DB_TXN *parent, DB_TXN **txnp);
/* Commits with DB_TXN_SYNC when `sync` is nonzero, else DB_TXN_NOSYNC. The handle is gone
 * afterwards whatever the result. Returns its code. */
QNST_API int qnst_txn_commit(DB_TXN *txn, uint32_t sync);
/* Aborts. The handle is gone afterwards. Returns its code. */
QNST_API int qnst_txn_abort(DB_TXN *txn);

/* Berkeley DB's statistics printers; the output goes into the error file. Return their code. */
QNST_API int qnst_lock_stat_print(DB_ENV *dbenv, uint32_t flags);
QNST_API int qnst_memp_stat_print(DB_ENV *dbenv, uint32_t flags);
QNST_API int qnst_mutex_stat_print(DB_ENV *dbenv, uint32_t flags);
QNST_API int qnst_log_stat_print(DB_ENV *dbenv, uint32_t flags);

/* Clears `dbt` and points it at caller memory of capacity `ulen` holding `size` bytes
 * (DB_DBT_USERMEM). A stored item longer than `ulen` makes a read fail with DB_BUFFER_SMALL.
 * Returns 0. */
QNST_API int qnst_dbt_init(DBT *dbt, void *data, uint32_t size, uint32_t ulen);

/* Printable encoding: six-bit values written as the characters '0' (0x30) to 'o' (0x6F), no
 * padding. "abc" encodes to "HF9S", "ab" to "HF8". Neither function writes a terminating zero.
 * qnst_b64encode writes 4 characters per 3 bytes (2 or 3 for a last group of 1 or 2) and returns
 * the number written; qnst_b64decode writes 3 bytes per 4 characters (1 or 2 for a last group of
 * 1-2 or 3 characters), does not validate characters and returns the number of bytes written.
 * A length of 0 or less writes nothing and returns 0. */
QNST_API int qnst_b64encode(const void *in, char *out, int32_t len);
QNST_API int qnst_b64decode(const char *in, void *out, int32_t len);

QNST_END_DECLS

#endif /* QNST_BDB_H */
