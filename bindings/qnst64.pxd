# The engine's C interface as the extension modules see it: declared once here and cimported by
# every module (`from qnst64 cimport *`). Families join this file as their modules are written.
# Only exported functions of libqnst64.so belong here: the modules link against the shared library.

from libc.stdint cimport int32_t, int64_t, uint32_t, uint64_t, intptr_t, uint8_t


cdef extern from "<db.h>" nogil:
    ctypedef struct DB_ENV:
        int (*lock_id)(DB_ENV *, uint32_t *) nogil
        int (*lock_id_free)(DB_ENV *, uint32_t) nogil
        int (*lock_get)(DB_ENV *, uint32_t, uint32_t, const DBT *, db_lockmode_t, DB_LOCK *) nogil
        int (*lock_put)(DB_ENV *, DB_LOCK *) nogil
    ctypedef struct DB_TXN
    ctypedef struct DBC:
        int (*close)(DBC *) nogil
        int (*get)(DBC *, DBT *, DBT *, uint32_t) nogil
    ctypedef struct DBT:
        void *data
        uint32_t size
        uint32_t ulen
        uint32_t flags
    ctypedef struct DB_LOCK:
        pass
    ctypedef enum db_lockmode_t:
        DB_LOCK_READ
        DB_LOCK_WRITE
    ctypedef enum DBTYPE:
        DB_BTREE
        DB_HASH
        DB_RECNO
        DB_QUEUE
        DB_UNKNOWN
    ctypedef struct DB:
        int (*open)(DB *, DB_TXN *, const char *, const char *, DBTYPE, uint32_t, int) nogil
        int (*close)(DB *, uint32_t) nogil
        int (*get)(DB *, DB_TXN *, DBT *, DBT *, uint32_t) nogil
        int (*put)(DB *, DB_TXN *, DBT *, DBT *, uint32_t) nogil
        int (*delete "del")(DB *, DB_TXN *, DBT *, uint32_t) nogil
        int (*cursor)(DB *, DB_TXN *, DBC **, uint32_t) nogil
    int db_create(DB **, DB_ENV *, uint32_t)

    enum:
        DB_CREATE
        DB_THREAD
        DB_AUTO_COMMIT
        DB_RMW
        DB_NOOVERWRITE
        DB_DBT_MALLOC
        DB_DBT_USERMEM
        DB_LOCK_NOWAIT
        DB_NEXT
        DB_FIRST
        DB_SET_RANGE
        DB_NOTFOUND
        DB_KEYEXIST
        DB_KEYEMPTY
        DB_LOCK_DEADLOCK
        DB_LOCK_NOTGRANTED
        DB_BUFFER_SMALL
        DB_RUNRECOVERY


cdef extern from "qnst_bdb.h" nogil:
    enum:
        QNST_HASH_EXISTS
        QNST_RETRY
        QNST_INODE_LIVE
        QNST_QUOTA_LIMIT_FIRST
        QNST_QUOTA_LIMIT_LAST

    ctypedef struct qnst_envrec:
        uint64_t id
        DB_ENV *dbenv

    int qnst_bdb_init()
    int qnst_bdb_checkopen(uint64_t id)
    int qnst_env_create(qnst_envrec *env, uint64_t id)
    int qnst_env_open(qnst_envrec *env, const char *home, const char *logdir,
                      const char *errfile, uint32_t max_lockers, uint32_t max_locks,
                      uint32_t max_objects, uint32_t lk_partitions, uint32_t lg_bsize,
                      uint32_t lg_regionmax, uint32_t cache_gbytes, uint32_t cache_bytes,
                      uint32_t tx_max, int32_t compress, int32_t recover, int32_t shm_key)
    int qnst_env_close(qnst_envrec *env)
    int qnst_env_checkopen(qnst_envrec *env, uint64_t id)
    int qnst_env_checkpoint(qnst_envrec *env)
    int qnst_env_flushlog(qnst_envrec *env)
    int qnst_env_compactlog(qnst_envrec *env)
    int qnst_env_checkpointthread(qnst_envrec *env, uint32_t interval, const char *archdir)
    int qnst_env_flushcachethread(qnst_envrec *env, uint32_t percent)
    int qnst_env_checkdlockthread(qnst_envrec *env)
    int qnst_env_stopthreads(qnst_envrec *env)
    int qnst_txn_begin(DB_ENV *dbenv, DB_TXN *parent, DB_TXN **txnp)
    int qnst_txn_commit(DB_TXN *txn, uint32_t sync)
    int qnst_txn_abort(DB_TXN *txn)
    int qnst_lock_stat_print(DB_ENV *dbenv, uint32_t flags)
    int qnst_memp_stat_print(DB_ENV *dbenv, uint32_t flags)
    int qnst_mutex_stat_print(DB_ENV *dbenv, uint32_t flags)
    int qnst_log_stat_print(DB_ENV *dbenv, uint32_t flags)


cdef extern from "qnst_dfile.h" nogil:
    ctypedef struct qnst_dfile:
        DB_ENV *dbenv
        uint32_t nfiles
        DB *db

    int qnst_dfile_create(qnst_dfile *h, DB_ENV *dbenv, uint32_t nfiles)
    int qnst_dfile_open(qnst_dfile *h, const char *file, int32_t init)
    int qnst_dfile_close(qnst_dfile *h)
    int qnst_dfile_remove(DB_ENV *dbenv, const char *file)
    int qnst_dfile_get(qnst_dfile *h, DB_TXN *txn, uint32_t dindex, uint32_t *ver,
                       uint32_t *over, uint64_t *coff, uint64_t *ooff, uint64_t *used,
                       uint32_t flags)
    int qnst_dfile_set(qnst_dfile *h, DB_TXN *txn, uint32_t dindex, uint32_t ver,
                       uint32_t over, uint64_t coff, uint64_t ooff, uint64_t used)


cdef extern from "qnst_fastfile.h" nogil:
    enum:
        QNST_FASTFILE_SECTOR
        QNST_FASTFILE_OPEN_READ
        QNST_FASTFILE_OPEN_WRITE
    const char *QNST_FASTFILE_MAGIC

    ctypedef struct qnst_fastfile:
        int32_t dwsize
        intptr_t file
        uint8_t *buffer
        int32_t used
        uint64_t position
        uint32_t lazy

    int qnst_fastfile_create(qnst_fastfile **out, uint32_t dwsize, uint32_t lazy)
    int qnst_fastfile_open(qnst_fastfile *h, uint32_t mode, const char *fname, uint64_t foff,
                           int64_t padoff)
    int qnst_fastfile_close(qnst_fastfile *h)
    int qnst_fastfile_newblk(qnst_fastfile *h, const void *data, int32_t n, uint64_t bhandle,
                             uint64_t *offset, uint32_t *pending)
    int qnst_fastfile_flush(qnst_fastfile *h, uint64_t *end)
    int qnst_fastfile_blobwrite(qnst_fastfile *h, const void *data, int32_t n,
                                uint64_t offset, uint32_t size, uint32_t *pending)
    int qnst_fastfile_blobread(qnst_fastfile *h, const void **data, uint32_t *length,
                               uint64_t *offset, uint32_t *size, uint64_t *next)
    int qnst_fastfile_bpartsize(qnst_fastfile *h, uint64_t *last_offset, uint64_t *last_pos)
    int qnst_fastfile_delete(const char *fname)


cdef extern from "qnst_blksism.h" nogil:
    enum:
        QNST_SIS_MAX_HASH

    ctypedef struct qnst_blksism:
        DB_ENV *env
        qnst_dfile *dfile
        int32_t nparts
        int64_t csize

    int qnst_blksism_create(qnst_blksism *mgr, DB_ENV *env, qnst_dfile *dfile, int32_t nparts)
    int qnst_blksism_open(qnst_blksism *mgr, const char *dbfolder, int32_t init,
                          const char *cpath, int64_t csize)
    int qnst_blksism_close(qnst_blksism *mgr)
    int qnst_blksism_remove(DB_ENV *env, const char *dbfolder, int32_t nparts)
    int qnst_csism_drop(qnst_blksism *mgr, const char *dbfolder, const char *cpath)
    int qnst_sism_lookup(qnst_blksism *mgr, DB_TXN *txn, const void *hash, uint32_t hashlen,
                         uint32_t cacheonly, uint64_t *handle)
    int qnst_sism_gen_handle(qnst_blksism *mgr, const void *hash, uint32_t hashlen,
                             uint64_t *handle)
    int qnst_sism_store_hashid(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle,
                               const void *hash, uint32_t hashlen)
    int qnst_sism_purge_hashid(qnst_blksism *mgr, DB_TXN *txn, const void *hash,
                               uint32_t hashlen)
    int qnst_sism_hold(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint32_t fsck)
    int qnst_sism_rele(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint32_t *count)
    int qnst_sism_read(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint32_t *dfid,
                       uint32_t *dfver, uint64_t *offset, uint32_t *length,
                       uint32_t *hashlen, void *hash, uint32_t *followed)
    int qnst_sism_move(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint32_t dfid,
                       uint32_t dfver, uint64_t offset, uint64_t *growth)
    int qnst_blksism_getref(qnst_blksism *mgr, DB_TXN *txn, uint32_t fsck, uint64_t handle,
                            uint32_t *ref)
    int qnst_blksism_setref(qnst_blksism *mgr, DB_TXN *txn, uint32_t fsck, uint64_t handle,
                            uint32_t ref)
    int qnst_sism_store_idref(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint32_t fsck)
    int qnst_sism_purge_idref(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint32_t fsck)
    int qnst_sism_purge_iddf(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle)
    int qnst_sism_fsckq_put(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint64_t fset)
    int qnst_xlat_handle(qnst_blksism *mgr, DB_TXN *txn, uint64_t handle, uint64_t *out)
    int qnst_sism_walk_idref(qnst_blksism *mgr, int32_t storeid, DB_TXN *txn, uint32_t fsck,
                             uint32_t plist, DBC **cursor, uint64_t *handle, uint32_t *word,
                             uint32_t *count)
    int qnst_sism_next_idref(qnst_blksism *mgr, int32_t storeid, DBC *cursor,
                             uint64_t *handle, uint32_t *word, uint32_t *count)
    int qnst_sism_walk_iddf(qnst_blksism *mgr, int32_t storeid, DB_TXN *txn, DBC **cursor,
                            uint64_t *handle, uint32_t *dfid, uint32_t *dfver,
                            uint64_t *offset, uint32_t *length, uint32_t *hashlen, void *hash)
    int qnst_sism_next_iddf(qnst_blksism *mgr, int32_t storeid, DBC *cursor,
                            uint64_t *handle, uint32_t *dfid, uint32_t *dfver,
                            uint64_t *offset, uint32_t *length, uint32_t *hashlen, void *hash)
    int qnst_sism_walk_hashid(qnst_blksism *mgr, int32_t storeid, DB_TXN *txn, DBC **cursor,
                              uint64_t *handle, uint32_t startlen, uint32_t *hashlen,
                              void *hash)
    int qnst_sism_next_hashid(qnst_blksism *mgr, int32_t storeid, DBC *cursor,
                              uint64_t *handle, uint32_t *hashlen, void *hash)
    int qnst_sism_done(qnst_blksism *mgr, int32_t storeid, DBC *cursor)
    int qnst_sism_fsckq_get(qnst_blksism *mgr, int32_t storeid, DB_TXN *txn,
                            uint64_t *handle, uint64_t *fset)
    int qnst_sism_stqflush(qnst_blksism *mgr, DB_TXN *txn, int32_t storeid, uint32_t *tail)
    int qnst_sism_hdqflush(qnst_blksism *mgr, DB_TXN *txn, int32_t storeid, uint32_t *tail,
                           uint32_t compactor)
    int qnst_sism_compact_init(qnst_blksism *mgr, int32_t storeid)
    int qnst_sism_compact_padd(qnst_blksism *mgr, DB_TXN *txn, int32_t storeid,
                               uint64_t handle, uint32_t ref)
    int qnst_sism_compact_ppurge(qnst_blksism *mgr, DB_TXN *txn, int32_t storeid,
                                 uint64_t handle, uint32_t ref)
    int qnst_sism_compact_cleanup(qnst_blksism *mgr, int32_t storeid)
    int qnst_sism_cache_refresh(qnst_blksism *mgr, DB_TXN *txn, int32_t storeid,
                                uint64_t handle, uint32_t ref, int32_t wmark)
    int qnst_sism_seq_extend(qnst_blksism *mgr)
    int qnst_sism_histget(qnst_blksism *mgr, int32_t bucket, uint32_t *sum)
    int qnst_sism_csis_size(qnst_blksism *mgr, uint32_t *entries)
    int qnst_csis_getstats(qnst_blksism *mgr, uint32_t *hits, uint32_t *misses)
    int qnst_sism_cache_wmupdate(qnst_blksism *mgr, int32_t wmark)
    int qnst_sism_dbcompact(qnst_blksism *mgr, uint32_t *freed, uint32_t *truncated,
                            int32_t strtfile, int32_t endfile)
    int qnst_blksism_open_fsck(qnst_blksism *mgr, const char *dbfolder, uint32_t remove)
    int qnst_blksism_close_fsck(qnst_blksism *mgr, const char *dbfolder, uint32_t remove)


cdef extern from "qnst_sinfo.h" nogil:
    ctypedef struct qnst_sinfo:
        DB_ENV *dbenv
        DB *db

    int qnst_sinfo_create(qnst_sinfo *h, DB_ENV *dbenv)
    int qnst_sinfo_open(qnst_sinfo *h, const char *file, int32_t init)
    int qnst_sinfo_close(qnst_sinfo *h)
    int qnst_sinfo_remove(DB_ENV *dbenv, const char *file)
    int qnst_sinfo_set(qnst_sinfo *h, DB_TXN *txn, uint64_t sino, uint64_t ino, uint32_t method,
                       uint32_t sgen, uint64_t stime)
    int qnst_sinfo_get(qnst_sinfo *h, DB_TXN *txn, uint64_t sino, uint64_t *ino,
                       uint32_t *method, uint32_t *sgen, uint64_t *stime)
    int qnst_sinfo_purge(qnst_sinfo *h, DB_TXN *txn, uint64_t sino)
    int qnst_sinfo_list(qnst_sinfo *h, DB_TXN *txn, DBC **cursor, uint64_t *sino, uint64_t *ino,
                        uint32_t *method, uint32_t *sgen, uint64_t *stime)
    int qnst_sinfo_next(qnst_sinfo *h, DBC *cursor, uint64_t *sino, uint64_t *ino,
                        uint32_t *method, uint32_t *sgen, uint64_t *stime)
    int qnst_sinfo_end(qnst_sinfo *h, DBC *cursor)


cdef extern from "qnst_aclsis.h" nogil:
    ctypedef struct qnst_aclsisrec:
        DB_ENV *env
        DB *seqdb
        DB *hashdb
        DB *refdb
        DB *objdb

    int qnst_aclsis_create(qnst_aclsisrec *store, DB_ENV *env)
    int qnst_aclsis_open(qnst_aclsisrec *store, const char *dbfile, int32_t init)
    int qnst_aclsis_close(qnst_aclsisrec *store)
    int qnst_aclsis_remove(DB_ENV *env, const char *dbfile)
    int qnst_acl_store(qnst_aclsisrec *store, DB_TXN *txn, const void *hash, uint32_t hashlen,
                       const void *acl, int32_t acllen, uint64_t *handle)
    int qnst_acl_lookup(qnst_aclsisrec *store, DB_TXN *txn, const void *hash, uint32_t hashlen,
                        uint64_t *handle)
    int qnst_acl_read(qnst_aclsisrec *store, DB_TXN *txn, uint64_t handle, const void **hash,
                      uint32_t *hashlen, const void **acl, uint32_t *acllen, void **buf)
    int qnst_acl_datafree(void *buf)
    int qnst_acl_hold(qnst_aclsisrec *store, DB_TXN *txn, uint64_t handle)
    int qnst_acl_rele(qnst_aclsisrec *store, DB_TXN *txn, uint64_t handle)


cdef extern from "qnst_blobsism.h" nogil:
    enum:
        QNST_BLOB_MAX_HASH

    ctypedef struct qnst_blobsism:
        DB_ENV *env
        int32_t count

    int qnst_blobsism_create(qnst_blobsism *mgr, DB_ENV *env, int32_t count)
    int qnst_blobsism_open(qnst_blobsism *mgr, const char *prefix, uint32_t flags)
    int qnst_blobsism_close(qnst_blobsism *mgr)
    int qnst_blobsism_remove(DB_ENV *env, const char *prefix, int32_t count)
    int qnst_blobsism_open_fsck(qnst_blobsism *mgr, const char *prefix, int32_t reset)
    int qnst_blobsism_close_fsck(qnst_blobsism *mgr, const char *prefix, int32_t remove)
    int qnst_mblob_gen_handle(qnst_blobsism *mgr, const void *hash, uint32_t hashlen,
                              uint64_t *handle)
    int qnst_mblob_store_hold(qnst_blobsism *mgr, DB_TXN *txn, const void *hash,
                              uint32_t hashlen, uint64_t size, uint64_t handle, uint32_t count)
    int qnst_mblob_store(qnst_blobsism *mgr, DB_TXN *txn, const void *hash, uint32_t hashlen,
                         uint64_t size, uint64_t handle)
    int qnst_mblob_lookup(qnst_blobsism *mgr, DB_TXN *txn, const void *hash, uint32_t hashlen,
                          uint64_t *handle)
    int qnst_mblob_hold(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle, int32_t fsck)
    int qnst_mblob_rele(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle, uint64_t *released)
    int qnst_mblob_compactq(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle, uint64_t size)
    int qnst_mblob_get_compactq(qnst_blobsism *mgr, DB_TXN *txn, uint64_t *handle,
                                uint64_t *size)
    int qnst_mblob_del_compactq(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle)
    int qnst_mblob_hashread(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle,
                            uint32_t *hashlen, void *hash)
    int qnst_mblob_getref(qnst_blobsism *mgr, DB_TXN *txn, int32_t fsck, uint64_t handle,
                          uint32_t *count)
    int qnst_mblob_setref(qnst_blobsism *mgr, DB_TXN *txn, int32_t fsck, uint64_t handle,
                          uint32_t count)
    int qnst_blobsism_store_idref(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle,
                                  int32_t fsck)
    int qnst_blobsism_purge_idref(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle,
                                  int32_t fsck)
    int qnst_blobsism_store_hashid(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle,
                                   const void *hash, uint32_t hashlen)
    int qnst_blobsism_purge_hashid(qnst_blobsism *mgr, DB_TXN *txn, const void *hash,
                                   uint32_t hashlen)
    int qnst_blobsism_purge_idinfo(qnst_blobsism *mgr, DB_TXN *txn, uint64_t handle)
    int qnst_blobsism_walk_idref(qnst_blobsism *mgr, int32_t part, DB_TXN *txn, int32_t fsck,
                                 DBC **cursor, uint64_t *handle, uint32_t *count)
    int qnst_blobsism_next_idref(qnst_blobsism *mgr, int32_t part, DBC *cursor,
                                 uint64_t *handle, uint32_t *count)
    int qnst_blobsism_walk_idinfo(qnst_blobsism *mgr, int32_t part, DB_TXN *txn, DBC **cursor,
                                  uint64_t *handle, uint64_t *size, uint32_t *hashlen,
                                  void *hash)
    int qnst_blobsism_next_idinfo(qnst_blobsism *mgr, int32_t part, DBC *cursor,
                                  uint64_t *handle, uint64_t *size, uint32_t *hashlen,
                                  void *hash)
    int qnst_blobsism_walk_hashid(qnst_blobsism *mgr, int32_t part, DB_TXN *txn, DBC **cursor,
                                  uint64_t *handle, uint32_t startlen, uint32_t *hashlen,
                                  void *hash)
    int qnst_blobsism_next_hashid(qnst_blobsism *mgr, int32_t part, DBC *cursor,
                                  uint64_t *handle, uint32_t *hashlen, void *hash)
    int qnst_blobsism_done(qnst_blobsism *mgr, int32_t part, DBC *cursor)


cdef extern from "qnst_itab.h" nogil:
    enum:
        QNST_ENOINODE
        QNST_EINODEBUSY

    ctypedef struct qnst_itabmrec:
        int32_t count

    int qnst_itabm_create(qnst_itabmrec *itabm, qnst_envrec *env, uint64_t id,
                          qnst_aclsisrec *aclsis, qnst_blksism *sism, qnst_blobsism *mblob,
                          int32_t count)
    int qnst_itabm_open(qnst_itabmrec *itabm, const char *base, uint32_t pagesize,
                        int32_t create)
    int qnst_itabm_close(qnst_itabmrec *itabm)
    int qnst_itabm_remove(DB_ENV *dbenv, const char *base, int32_t count)
    int qnst_itabm_extend(qnst_itabmrec *itabm, uint32_t count, uint32_t ino)
    int qnst_itabm_setrange(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t ino)
    int qnst_inodem_alloc(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t cver, uint32_t *ino)
    int qnst_inodem_getalloc(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t cver, uint32_t ino,
                             uint32_t *extend_by)
    int qnst_inodem_pick(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t ino, uint32_t value)
    int qnst_inodem_free(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t ino, uint32_t dver)
    int qnst_inodem_dealloc(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t ino)
    int qnst_inodem_notfree(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t ino)
    int qnst_inodem_next(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t *cursor, uint32_t *cver,
                         uint32_t *dver)
    int qnst_inodem_getinfo(qnst_itabmrec *itabm, DB_TXN *txn, uint32_t ino,
                            int32_t *beyond_end, int32_t *is_free, uint32_t *cver,
                            uint32_t *dver)


cdef extern from "qnst_inode.h" nogil:
    ctypedef struct qnst_inoderec:
        qnst_itabmrec *itabm
        DB_ENV *dbenv
        DB *own_db
        DB *record_db
        DB *folder_db
        uint32_t inode

    int qnst_inode_open(qnst_inoderec *inode, qnst_itabmrec *itabm, qnst_inoderec *setnode,
                        uint32_t ino)
    int qnst_inode_init(qnst_inoderec *inode, uint32_t value)
    int qnst_misc_inode_init(qnst_inoderec *inode, uint32_t value)
    int qnst_inode_chk(qnst_inoderec *inode)
    int qnst_inode_close(qnst_inoderec *inode)
    int qnst_inode_setquota(qnst_inoderec *inode, int64_t fscurrentq, int64_t fstotalq,
                            int64_t stcurrentq, int64_t sttotalq)
    int qnst_inode_usage_set(qnst_inoderec *inode, DB_TXN *txn, int64_t fscurrentq,
                             int64_t fscurrentu, int64_t fstotalq, int64_t fstotalu,
                             int64_t stcurrentq, int64_t stcurrentu, int64_t sttotalq,
                             int64_t sttotalu, int64_t filescurrent, int64_t filestotal)
    int qnst_inode_usage_get(qnst_inoderec *inode, DB_TXN *txn, int64_t *fscurrentq,
                             int64_t *fscurrentu, int64_t *fstotalq, int64_t *fstotalu,
                             int64_t *stcurrentq, int64_t *stcurrentu, int64_t *sttotalq,
                             int64_t *sttotalu, int64_t *filescurrent, int64_t *filestotal)
    int qnst_inode_usg(qnst_inoderec *inode, DB_TXN *txn, int64_t fscurrentd, int64_t fstotald,
                       int64_t stcurrentd, int64_t sttotald, int64_t filescurrent,
                       int64_t filestotal)


cdef extern from "qnst_folder.h" nogil:
    enum:
        QNST_DIR_MAXNAME

    int qnst_dir_add(qnst_inoderec *inode, DB_TXN *txn, const char *name, uint32_t namelen,
                     uint32_t cver, uint32_t type, uint32_t cino)
    int qnst_dir_lookup(qnst_inoderec *inode, DB_TXN *txn, const char *name, uint32_t namelen,
                        uint32_t ver, uint32_t *cver, uint32_t *dver, uint32_t *type,
                        uint32_t *cino)
    int qnst_dir_purge(qnst_inoderec *inode, DB_TXN *txn, const char *name, uint32_t namelen,
                       uint32_t cver)
    int qnst_dir_del(qnst_inoderec *inode, DB_TXN *txn, const char *name, uint32_t namelen,
                     uint32_t ver, uint32_t cino)
    int qnst_dir_rename(qnst_inoderec *inode, DB_TXN *txn, const char *oldname, uint32_t oldlen,
                        const char *newname, uint32_t newlen, int32_t overwrite)
    int qnst_dir_walk(qnst_inoderec *inode, DB_TXN *txn, int32_t ver, DBC **cursor,
                      uint32_t *cver, uint32_t *dver, char *name, uint32_t *namelen,
                      uint32_t *type, uint32_t *cino)
    int qnst_dir_walk_v2(qnst_inoderec *inode, DB_TXN *txn, int32_t ver, DBC **cursor,
                         uint32_t *cver, uint32_t *dver, char *name, uint32_t *namelen,
                         uint32_t *type, uint32_t *cino, const char *cookie_name,
                         uint32_t cookie_namelen, uint32_t cookie_cver)
    int qnst_dir_next(qnst_inoderec *inode, DBC *cursor, int32_t ver, uint32_t *cver,
                      uint32_t *dver, char *name, uint32_t *namelen, uint32_t *type,
                      uint32_t *cino)
    int qnst_dir_done(qnst_inoderec *inode, DBC *cursor)


cdef extern from "qnst_bmap.h" nogil:
    int qnst_bmap_enter(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t size,
                        uint32_t ver, uint64_t handle, const void *hash, uint32_t hashlen,
                        uint32_t dfid, uint32_t dver, uint64_t coff, uint32_t csize)
    int qnst_bmap_reconcile(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t size,
                            uint32_t ver, const void *hash, uint32_t hashlen, uint64_t *handle,
                            uint32_t nwopt)
    int qnst_bmap_clear(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t size,
                        uint32_t ver)
    int qnst_bmap_purge(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t cver,
                        uint32_t fsck)
    int qnst_bmap_lookup(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t ver,
                         uint32_t *size, uint32_t *cver, uint32_t *dver, uint64_t *handle)
    int qnst_bmap_get_oent(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t cver,
                           uint32_t *dver, uint32_t *size, uint64_t *handle)
    int qnst_bmap_get_vent(qnst_inoderec *inode, DB_TXN *txn, uint32_t cver, uint64_t offset,
                           uint32_t *dver)
    int qnst_bmap_add_vent(qnst_inoderec *inode, DB_TXN *txn, uint32_t cver, uint64_t offset,
                           uint32_t dver)
    int qnst_bmap_del_oent(qnst_inoderec *inode, DB_TXN *txn, uint64_t offset, uint32_t cver)
    int qnst_bmap_del_vent(qnst_inoderec *inode, DB_TXN *txn, uint32_t cver, uint64_t offset)
    int qnst_bmap_walk(qnst_inoderec *inode, DB_TXN *txn, uint32_t lastver, DBC **cursor,
                       uint32_t *cver, uint32_t *dver, uint64_t *offset)
    int qnst_bmap_next(qnst_inoderec *inode, DBC *cursor, uint32_t *cver, uint32_t *dver,
                       uint64_t *offset)
    int qnst_bmap_woff(qnst_inoderec *inode, DB_TXN *txn, uint32_t lastver, DBC **cursor,
                       uint32_t *cver, uint32_t *dver, uint64_t *offset, uint32_t *size,
                       uint64_t *handle)
    int qnst_bmap_noff(qnst_inoderec *inode, DBC *cursor, uint32_t *cver, uint32_t *dver,
                       uint64_t *offset, uint32_t *size, uint64_t *handle)
    int qnst_bmap_done(qnst_inoderec *inode, DBC *cursor)


cdef extern from "qnst_stat.h" nogil:
    int qnst_stat_lookup(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver, uint32_t *cver,
                         uint32_t *dver, uint32_t *flags, uint64_t *size, uint64_t *acl,
                         uint32_t *mtime, uint32_t *method, uint32_t *links)
    int qnst_stat_getlatest(qnst_inoderec *inode, DB_TXN *txn, uint32_t *ver)
    int qnst_stat_update(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver, uint32_t flags,
                         uint64_t size, uint64_t acl, uint32_t mtime, uint32_t method,
                         uint32_t links)
    int qnst_stat_clear(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver)
    int qnst_stat_purge(qnst_inoderec *inode, DB_TXN *txn, uint32_t cver)
    int qnst_stat_walk(qnst_inoderec *inode, DB_TXN *txn, uint32_t lastver, DBC **cursor,
                       uint32_t *cver, uint32_t *dver, uint32_t *flags, uint64_t *size,
                       uint64_t *acl, uint32_t *mtime, uint32_t *method, uint32_t *links)
    int qnst_stat_next(qnst_inoderec *inode, DBC *cursor, uint32_t *cver, uint32_t *dver,
                       uint32_t *flags, uint64_t *size, uint64_t *acl, uint32_t *mtime,
                       uint32_t *method, uint32_t *links)
    int qnst_stat_done(qnst_inoderec *inode, DBC *cursor)


cdef extern from "qnst_eattr.h" nogil:
    int qnst_eatr_lookup(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t ver,
                         uint32_t *cver, uint32_t *dver, void **value, uint32_t *size,
                         void **buf)
    int qnst_eatr_lastver(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t *cver,
                          uint32_t *dver)
    int qnst_eatr_update(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t ver,
                         const void *value, uint32_t size)
    int qnst_eatr_clear(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t ver)
    int qnst_eatr_purge(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t cver)
    int qnst_eatr_walk(qnst_inoderec *inode, DB_TXN *txn, uint32_t aid, uint32_t lastver,
                       DBC **cursor, uint32_t *cver, uint32_t *dver, void **value,
                       uint32_t *size, void **buf)
    int qnst_eatr_next(qnst_inoderec *inode, DBC *cursor, uint32_t aid, uint32_t *cver,
                       uint32_t *dver, void **value, uint32_t *size, void **buf)
    int qnst_eatr_done(qnst_inoderec *inode, DBC *cursor)
    int qnst_eatr_free(void *buf)


cdef extern from "qnst_blobmap.h" nogil:
    int qnst_blobmap_reconcile(qnst_inoderec *inode, DB_TXN *txn, uint64_t size,
                               const void *hash, uint32_t hashlen, uint32_t ver,
                               uint32_t *stale, uint32_t *upload, uint32_t *isnew,
                               uint64_t *handle)
    int qnst_blobmap_commit(qnst_inoderec *inode, DB_TXN *txn, const void *hash,
                            uint32_t hashlen, uint64_t blobsize, uint32_t ver, uint32_t *stale,
                            uint64_t *handle)
    int qnst_blobmap_lookup(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver, uint32_t *cver,
                            uint32_t *dver, uint64_t *handle, uint64_t *size)
    int qnst_blobmap_purge(qnst_inoderec *inode, DB_TXN *txn, uint32_t cver, uint32_t fsck)
    int qnst_blobmap_clear(qnst_inoderec *inode, DB_TXN *txn, uint32_t ver)
    int qnst_blobmap_walk(qnst_inoderec *inode, DB_TXN *txn, uint32_t lastver, DBC **cursor,
                          uint32_t *cver, uint32_t *dver, uint64_t *handle, uint64_t *size)
    int qnst_blobmap_next(qnst_inoderec *inode, DBC *cursor, uint32_t *cver, uint32_t *dver,
                          uint64_t *handle, uint64_t *size)
    int qnst_blobmap_done(qnst_inoderec *inode, DBC *cursor)


cdef extern from "qnst_mapi.h" nogil:
    enum:
        QNST_MAPI_MAX_KEY

    int qnst_mapimsg_update(qnst_inoderec *inode, DB_TXN *txn, const void *mkey,
                            uint32_t mkeylen, const void *info, uint32_t ilen, uint32_t cver,
                            uint32_t dver)
    int qnst_mapimsg_delv(qnst_inoderec *inode, DB_TXN *txn, const void *mkey, uint32_t mkeylen,
                          uint32_t cver, uint32_t dver)
    int qnst_mapimsg_getvent(qnst_inoderec *inode, DB_TXN *txn, const void *mkey,
                             uint32_t mkeylen, uint32_t cver, uint32_t *dver)
    int qnst_mapimsg_getient(qnst_inoderec *inode, DB_TXN *txn, const void *mkey,
                             uint32_t mkeylen, uint32_t cver, void **buf, uint32_t *size)
    int qnst_mapimsg_findi(qnst_inoderec *inode, DB_TXN *txn, const void *mkey,
                           uint32_t mkeylen, uint32_t ver, uint32_t *cver, uint32_t *dver,
                           void **buf, uint32_t *size)
    int qnst_mapimsg_delvent(qnst_inoderec *inode, DB_TXN *txn, const void *mkey,
                             uint32_t mkeylen, uint32_t cver)
    int qnst_mapimsg_delient(qnst_inoderec *inode, DB_TXN *txn, const void *mkey,
                             uint32_t mkeylen, uint32_t cver)
    int qnst_mapimsg_purge(qnst_inoderec *inode, DB_TXN *txn, const void *mkey,
                           uint32_t mkeylen, uint32_t cver, uint64_t msgsz)
    void qnst_mapimsg_freebuf(void *buf)
    int qnst_mapimsg_walk(qnst_inoderec *inode, DB_TXN *txn, uint32_t lastver,
                          const void *lastkey, uint32_t lastkeylen, DBC **cursor,
                          uint32_t *cver, uint32_t *dver, void *key, uint32_t *keylen)
    int qnst_mapimsg_next(qnst_inoderec *inode, DBC *cursor, uint32_t *cver, uint32_t *dver,
                          void *key, uint32_t *keylen)
    int qnst_mapimid_walk(qnst_inoderec *inode, DB_TXN *txn, uint32_t lastver,
                          const void *lastkey, uint32_t lastkeylen, DBC **cursor,
                          uint32_t *cver, void *key, uint32_t *keylen)
    int qnst_mapimid_next(qnst_inoderec *inode, DBC *cursor, uint32_t *cver, void *key,
                          uint32_t *keylen)
    int qnst_mapimsg_done(qnst_inoderec *inode, DBC *cursor)
    int qnst_mapimsg_holdblk(qnst_inoderec *inode, DB_TXN *txn, const void *hash, uint32_t hlen,
                             uint64_t pbsz, uint32_t cacheonly, uint64_t *handle)
    int qnst_mapimsg_enterblk(qnst_inoderec *inode, DB_TXN *txn, const void *hash,
                              uint32_t hlen, uint32_t dindex, uint32_t dver, uint64_t coff,
                              uint32_t size, uint64_t handle, uint64_t *out)
    int qnst_mapimsg_getblob(qnst_inoderec *inode, DB_TXN *txn, const void *sum, uint32_t slen,
                             uint64_t bsize, uint64_t *handle, int32_t *existed)
    int qnst_mapimsg_enterblob(qnst_inoderec *inode, DB_TXN *txn, uint64_t handle,
                               const void *sum, uint32_t slen, uint64_t blobsize,
                               uint64_t disksize, uint64_t *out)
