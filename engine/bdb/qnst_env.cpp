#include "qnst_env.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <cstring>
#include <memory>

#include "qnst_clock.hpp"
#include "qnst_internal.hpp"
#include "qnst_process.hpp"

QNST_SOURCE("qnst/bdb/qnst_env");

static_assert(sizeof(qnst_envrec) == 96, "the environment handle keeps its 96-byte layout");
static_assert(sizeof(qnst_errsink) == 16, "the error sink keeps its 16-byte layout");

namespace {

qnst_list g_envlist;
std::once_flag g_envlist_once;

// Process-wide time of the last recovery progress report; 0 until the first.
std::atomic<int64_t> g_last_recovery_report{0};
// Set once an open of file-backed regions with DB_LOCKDOWN was refused for want of lockable
// memory. Berkeley DB keeps its mapping of the region file from a refused attempt for the life
// of the process, so later opens skip the attempt instead of leaking a mapping each time.
std::atomic<bool> g_file_regions_unlockable{false};

#if defined(_WIN32)
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

constexpr uint32_t kOpenRecover = DB_CREATE | DB_RECOVER | DB_INIT_LOCK | DB_INIT_LOG |
                                  DB_INIT_MPOOL | DB_INIT_TXN | DB_LOCKDOWN | DB_REGISTER;
constexpr uint32_t kOpenNormal = DB_THREAD | DB_INIT_LOCK | DB_INIT_LOG | DB_INIT_MPOOL |
                                 DB_INIT_TXN | DB_LOCKDOWN | DB_REGISTER;
static_assert(kOpenRecover == 0x46703 && kOpenNormal == 0x46720);

constexpr uint32_t kTrickleIntervalMs = 64000;
constexpr uint32_t kDeadlockIntervalMs = 4000;
constexpr double kRecoveryReportSeconds = 60.0;

// Stop request shared by the maintenance thread bodies of one environment, and whether its
// Berkeley DB handle was opened (only an opened one is checkpointed at close).
struct ThreadStop {
    std::mutex mutex;
    std::condition_variable wake;
    bool requested = false;
    bool opened = false;
};

ThreadStop *stop_of(qnst_envrec *env) { return static_cast<ThreadStop *>(env->threads); }

// Sleeps `ms` unless a stop is or becomes requested; true when the body must return.
bool sleep_unless_stopped(qnst_envrec *env, uint32_t ms) {
    ThreadStop *stop = stop_of(env);
    if (!stop) {
        qnst::sleep_ms(ms);
        return false;
    }
    std::unique_lock lock(stop->mutex);
    return stop->wake.wait_for(lock, std::chrono::milliseconds(ms),
                               [stop] { return stop->requested; });
}

// Berkeley DB's own texts: the bare text and a newline, written at once.
void write_line(const DB_ENV *dbenv, const char *text) {
    const qnst_errsink *sink = qnst::errsink_of(dbenv);
    if (!sink || !sink->fp) return;
    if (!text) text = "";
    const size_t len = std::strlen(text);
    // Text and newline go out in one write; this runs inside Berkeley DB, so nothing may throw.
    char small[1024];
    char *line = len + 1 <= sizeof small ? small : static_cast<char *>(std::malloc(len + 1));
    // Failed writes have nowhere to go.
    if (line) {
        std::memcpy(line, text, len);
        line[len] = '\n';
        (void)std::fwrite(line, 1, len + 1, sink->fp);
        if (line != small) std::free(line);
    } else {
        (void)std::fwrite(text, 1, len, sink->fp);
        (void)std::fputc('\n', sink->fp);
    }
    (void)std::fflush(sink->fp);
}

void on_message(const DB_ENV *dbenv, const char *msg) { write_line(dbenv, msg); }
void on_error(const DB_ENV *dbenv, const char * /*prefix*/, const char *msg) {
    write_line(dbenv, msg);
}

struct OpenSettings {
    const char *logdir;
    uint32_t max_lockers, max_locks, max_objects, lk_partitions;
    uint32_t lg_bsize, lg_regionmax;
    uint32_t cache_gbytes, cache_bytes, tx_max;
    int32_t recover, shm_key;
};

// Locking, logging, cache and transaction limits, and the mutex budget of one mutex per
// kilobyte of cache. The first failure is returned as it is.
int apply_limits(DB_ENV *dbenv, const OpenSettings &s) {
    // Intermediate directories Berkeley DB creates are for the engine's owner only; a refusal
    // only means it will not create them.
    (void)dbenv->set_intermediate_dir_mode(dbenv, "rwx------");
    int rc = 0;
    if (s.max_lockers && (rc = dbenv->set_lk_max_lockers(dbenv, s.max_lockers))) return rc;
    if (s.max_locks && (rc = dbenv->set_lk_max_locks(dbenv, s.max_locks))) return rc;
    if (s.max_objects && (rc = dbenv->set_lk_max_objects(dbenv, s.max_objects))) return rc;
    if (s.lk_partitions && (rc = dbenv->set_lk_partitions(dbenv, s.lk_partitions))) return rc;
    if (s.lg_bsize && (rc = dbenv->set_lg_bsize(dbenv, s.lg_bsize))) return rc;
    if (s.lg_regionmax && (rc = dbenv->set_lg_regionmax(dbenv, s.lg_regionmax))) return rc;
    if ((s.cache_gbytes || s.cache_bytes) &&
        (rc = dbenv->set_cachesize(dbenv, s.cache_gbytes, s.cache_bytes, 16)))
        return rc;
    if (s.tx_max && (rc = dbenv->set_tx_max(dbenv, s.tx_max))) return rc;

    const int64_t kbytes = qnst_env_mutex_budget(s.cache_gbytes, s.cache_bytes);
    uint32_t current = 0;
    if ((rc = dbenv->mutex_get_max(dbenv, &current))) return rc;
    if (static_cast<int64_t>(current) < kbytes &&
        (rc = dbenv->mutex_set_max(dbenv, static_cast<uint32_t>(kbytes))))
        return rc;
    return 0;
}

void install_callbacks(DB_ENV *dbenv) {
    dbenv->set_msgcall(dbenv, on_message);
    dbenv->set_errcall(dbenv, on_error);
    // Progress reports are a courtesy; an environment without them works the same.
    (void)dbenv->set_feedback(dbenv, qnst_env_recovery_feedback);
}

// Log directory, then the open mode. Returns the Berkeley DB open flags through `flags`.
int apply_mode(DB_ENV *dbenv, const OpenSettings &s, uint32_t *flags) {
    if (s.logdir && *s.logdir) {
        if (int rc = dbenv->set_lg_dir(dbenv, s.logdir)) return rc;
    }
    // The results of the mode settings below are deliberately not checked: each only tunes
    // the environment, and an open without them still works.
    if (s.recover) {
        (void)dbenv->set_verbose(dbenv, DB_VERB_RECOVERY, 1);
        if (s.shm_key) (void)dbenv->set_shm_key(dbenv, s.shm_key);
        *flags = kOpenRecover;
    } else {
        (void)dbenv->set_flags(dbenv, DB_AUTO_COMMIT, 1);
        (void)dbenv->log_set_config(dbenv, DB_LOG_DSYNC, 1);
        *flags = kOpenNormal;
    }
    if (s.shm_key) *flags |= DB_SYSTEM_MEM;
    // A blocked lock request looks for a deadlock at once, so a deadlock costs the youngest
    // locker an immediate retry instead of a wait for the next pass of the deadlock thread.
    // Without it the environment still works, with that thread as its only detector.
    (void)dbenv->set_lk_detect(dbenv, DB_LOCK_YOUNGEST);
    return 0;
}

void discard_sink(qnst_errsink *sink) {
    if (!sink) return;
    if (sink->fp) (void)std::fclose(sink->fp);  // nothing left to report a failure to
    std::free(sink);
}

bool is_absolute_path(const char *path) {
#if defined(_WIN32)
    return path[0] == '\\' || path[0] == '/' || (path[0] && path[1] == ':');
#else
    return path[0] == '/';
#endif
}

// Joins the first `dirlen` bytes of `dir`, the separator and `name` into a fresh buffer (freed
// by the caller); null when it cannot be allocated.
char *join_path(const char *dir, size_t dirlen, const char *name) {
    return qnst::make_name("%.*s%c%s", static_cast<int>(dirlen), dir, kPathSeparator, name);
}

// Crash detection keeps one slot per process in the environment's register file: the process
// id, 24 characters wide and a newline. When a recovery open fails, Berkeley DB deliberately
// leaves the slot filled, so that the next opener sees a dead process and recovers; but a
// second open from this same process then finds its own id and refuses. Before opening again we
// turn our slot into that of a process that is gone (id 0): the signal that recovery is needed
// stays, and our own id is free.
void hand_back_register_slot(const char *home) {
    constexpr size_t kSlot = 25;
    static constexpr char kRegister[] = "__db.register";
    FILE *fp = nullptr;
    if (home && *home) {
        char *path = join_path(home, std::strlen(home), kRegister);
        if (!path) return;  // the next open refuses as before
        fp = std::fopen(path, "r+b");
        std::free(path);
    } else {
        fp = std::fopen(kRegister, "r+b");
    }
    if (!fp) return;  // no register file: nothing to hand back
    char own[kSlot + 1], dead[kSlot + 1], slot[kSlot];
    std::snprintf(own, sizeof own, "%24llu\n", static_cast<unsigned long long>(qnst::process_id()));
    std::snprintf(dead, sizeof dead, "%24llu\n", 0ULL);
    for (long pos = 0; std::fread(slot, 1, kSlot, fp) == kSlot; pos += kSlot) {
        if (std::memcmp(slot, own, kSlot) != 0) continue;
        // A failed rewrite only means the next open refuses as before.
        if (std::fseek(fp, pos, SEEK_SET) == 0) (void)std::fwrite(dead, 1, kSlot, fp);
        break;
    }
    (void)std::fclose(fp);
}

void ignore_error(const DB_ENV *, const char *, const char *) {}

// Removes the regions of the environment in `home` (nothing to remove is fine).
void remove_regions(const char *home, const OpenSettings &s) {
    DB_ENV *remover = nullptr;
    if (db_env_create(&remover, 0)) return;  // the open that follows reports the failure
    remover->set_errcall(remover, ignore_error);  // it finds half-built remains by design
    if (s.shm_key) (void)remover->set_shm_key(remover, s.shm_key);  // as the open had it
    (void)remover->remove(remover, home, DB_FORCE);  // frees the handle
}

void say_unlocked(DB_ENV *dbenv, const char *home) {
    QNST_MSG(dbenv,
             "environment %s: the regions cannot be locked in memory (code %d), opening "
             "without DB_LOCKDOWN",
             home ? home : "", ENOMEM);
}

// Recreates the Berkeley DB handle with the same settings and opens it without DB_LOCKDOWN.
// Used when the regions cannot be locked in memory.
int reopen_without_lockdown(qnst_envrec *env, const char *home, const OpenSettings &s,
                            qnst_errsink *sink, uint32_t flags, bool remove_first = false) {
    (void)env->dbenv->close(env->dbenv, 0);  // the failed handle only needs discarding
    env->dbenv = nullptr;
    hand_back_register_slot(home);
    if (remove_first) remove_regions(home, s);
    int rc = db_env_create(&env->dbenv, 0);
    if (rc) {
        env->dbenv = nullptr;
        discard_sink(sink);
        return rc;
    }
    DB_ENV *dbenv = env->dbenv;
    dbenv->app_private = sink;
    if ((rc = apply_limits(dbenv, s))) return rc;
    if (sink->fp) install_callbacks(dbenv);
    uint32_t mode = flags;
    if ((rc = apply_mode(dbenv, s, &mode))) return rc;
    mode &= ~static_cast<uint32_t>(DB_LOCKDOWN);
    if (!remove_first) say_unlocked(dbenv, home);
    rc = dbenv->open(dbenv, home, mode, 0);
    if (rc == 0 || remove_first || !(flags & DB_RECOVER)) return rc;
    // The failed attempt may have left a region file it never finished (when it had to build
    // the regions anew, as after a reboot), which this attempt cannot join. Recovery rebuilds
    // the regions anyway, and no other process may use the environment while it runs, so the
    // remains are removed and the open tried once more. Sound regions are joined by the first
    // try and keep what lives only in them (the in-memory tables).
    return reopen_without_lockdown(env, home, s, sink, flags, true);
}

}  // namespace

int64_t qnst_env_mutex_budget(uint32_t cache_gbytes, uint32_t cache_bytes) {
    return static_cast<int64_t>(cache_gbytes) * 1048576 + cache_bytes / 1024;
}

void qnst_env_recovery_feedback(DB_ENV *dbenv, int opcode, int percent) {
    const int64_t now = qnst::time_now();
    if (opcode != DB_RECOVER) return;
    if (qnst::diff_time(now, g_last_recovery_report.load(std::memory_order_relaxed)) <=
        kRecoveryReportSeconds)
        return;
    const char *home = nullptr;
    if (dbenv->get_home(dbenv, &home) || !home) home = "";
    char text[4200];
    std::snprintf(text, sizeof text, "Env %s recoverd %d %%", home, percent);
    on_message(dbenv, text);
    g_last_recovery_report.store(now, std::memory_order_relaxed);
}

void qnst_env_reset_recovery_report() { g_last_recovery_report.store(0); }

int qnst_bdb_init(void) {
    // A second call must not reset a list that holds open environments.
    int rc = 0;
    std::call_once(g_envlist_once, [&rc] { rc = qnst_list_init(&g_envlist); });
    return rc;
}

int qnst_bdb_checkopen(uint64_t id) {
    qnst_bdb_init();  // a host that forgot the set-up call gets an empty list, not a crash
    return qnst_list_checkid(&g_envlist, id);
}

int qnst_env_create(qnst_envrec *env, uint64_t id) {
    if (int rc = qnst_bdb_init()) return rc;
    std::memset(env, 0, sizeof *env);
    env->id = id;
    int rc = qnst_list_init(&env->users);
    if (!rc) {
        env->threads = new (std::nothrow) ThreadStop;
        if (!env->threads) rc = ENOMEM;
    }
    if (rc) {
        qnst_env_close(env);
        return rc;
    }
    qnst_list_append(&g_envlist, env);
    rc = db_env_create(&env->dbenv, 0);
    if (rc) {
        env->dbenv = nullptr;
        qnst_env_close(env);
    }
    return rc;
}

int qnst_env_open(qnst_envrec *env, const char *home, const char *logdir, const char *errfile,
                  uint32_t max_lockers, uint32_t max_locks, uint32_t max_objects,
                  uint32_t lk_partitions, uint32_t lg_bsize, uint32_t lg_regionmax,
                  uint32_t cache_gbytes, uint32_t cache_bytes, uint32_t tx_max, int32_t compress,
                  int32_t recover, int32_t shm_key) {
    DB_ENV *dbenv = env->dbenv;
    if (!dbenv) return EINVAL;
    // A Berkeley DB handle is opened once (even a failed open leaves it only to be closed); a
    // second call would also leak the first call's error file.
    if (dbenv->app_private) return EINVAL;
    const OpenSettings s{logdir,       max_lockers, max_locks,    max_objects,
                         lk_partitions, lg_bsize,   lg_regionmax, cache_gbytes,
                         cache_bytes,   tx_max,     recover,      shm_key};
    int rc = apply_limits(dbenv, s);
    if (rc) return rc;

    FILE *fp = errfile ? std::fopen(errfile, "a") : nullptr;
    if (fp) install_callbacks(dbenv);
    auto *sink = static_cast<qnst_errsink *>(std::calloc(1, sizeof(qnst_errsink)));
    if (!sink) {
        if (fp) (void)std::fclose(fp);
        return ENOMEM;
    }
    sink->fp = fp;
    sink->compress = compress;
    dbenv->app_private = sink;

    uint32_t flags = 0;
    if ((rc = apply_mode(dbenv, s, &flags))) return rc;
    const bool file_regions = !(flags & DB_SYSTEM_MEM);
    if (file_regions && (flags & DB_LOCKDOWN) &&
        g_file_regions_unlockable.load(std::memory_order_relaxed)) {
        flags &= ~static_cast<uint32_t>(DB_LOCKDOWN);
        say_unlocked(dbenv, home);
    }
    rc = dbenv->open(dbenv, home, flags, 0);
    if (rc == ENOMEM && (flags & DB_LOCKDOWN)) {
        if (file_regions) g_file_regions_unlockable.store(true, std::memory_order_relaxed);
        rc = reopen_without_lockdown(env, home, s, sink, flags);
    }
    if (rc == 0) stop_of(env)->opened = true;
    return rc;
}

int qnst_env_close(qnst_envrec *env) {
    if (env->dbenv) {
        DB_ENV *dbenv = env->dbenv;
        auto *sink = static_cast<qnst_errsink *>(dbenv->app_private);
        // Stores close their tables without writing them back; a checkpoint writes every dirty
        // page to its database file, so that after a clean close the files alone hold every
        // committed record, even when the regions (and the pages they cached) do not survive.
        if (stop_of(env) && stop_of(env)->opened) {
            if (int rc = dbenv->txn_checkpoint(dbenv, 0, 0, 0)) QNST_FAIL(dbenv, rc);
        }
        (void)dbenv->close(dbenv, 0);  // the handle is gone whatever the result
        env->dbenv = nullptr;
        discard_sink(sink);
    }
    qnst_list_remove(env);
    if (env->users.mutex) qnst_list_destroy(&env->users);
    delete stop_of(env);
    env->threads = nullptr;
    return 0;
}

int qnst_env_checkopen(qnst_envrec *env, uint64_t id) { return qnst_list_checkid(&env->users, id); }

int qnst_env_checkpoint(qnst_envrec *env) {
    return env->dbenv->txn_checkpoint(env->dbenv, 0, 0, 0);
}

int qnst_env_flushlog(qnst_envrec *env) { return env->dbenv->log_flush(env->dbenv, nullptr); }

int qnst_env_compactlog(qnst_envrec *env) {
    char **list = nullptr;
    return env->dbenv->log_archive(env->dbenv, &list, DB_ARCH_REMOVE);
}

namespace {

// Moves each log file that is no longer needed from the log directory into `archdir`. A move
// that fails leaves the file where it is, to be listed again on the next pass; so does a path
// that cannot be allocated, which ends the moving for this pass.
int move_unneeded_logs(DB_ENV *dbenv, const char *logdir, size_t logdirlen, const char *archdir,
                       size_t archdirlen) {
    char **list = nullptr;
    const int rc = dbenv->log_archive(dbenv, &list, 0);
    if (list) {
        if (logdirlen) {
            for (char **name = list; *name; ++name) {
                char *from = join_path(logdir, logdirlen, *name);
                char *to = from ? join_path(archdir, archdirlen, *name) : nullptr;
                if (to) (void)std::rename(from, to);  // a failed move is retried next pass
                std::free(from);
                std::free(to);
                if (!to) break;
            }
        }
        std::free(list);
    }
    return rc;
}

}  // namespace

int qnst_env_checkpointthread(qnst_envrec *env, uint32_t interval, const char *archdir) {
    DB_ENV *dbenv = env->dbenv;
    if (!archdir) archdir = "";
    const size_t archdirlen = std::strlen(archdir);
    const char *logdir = nullptr;
    if (dbenv->get_lg_dir(dbenv, &logdir) || !logdir) logdir = "";
    // Berkeley DB takes a relative log directory from the environment's home; the moves run
    // from this process's working directory, so they need the home in front of it.
    std::unique_ptr<char, decltype(&std::free)> homed_logdir(nullptr, &std::free);
    const char *home = nullptr;
    if (*logdir && !is_absolute_path(logdir) && !dbenv->get_home(dbenv, &home) && home && *home) {
        homed_logdir.reset(join_path(home, std::strlen(home), logdir));
        if (homed_logdir) logdir = homed_logdir.get();  // else: moves fail and are retried
    }
    const size_t logdirlen = std::strlen(logdir);

    int rc;
    for (;;) {
        if ((rc = dbenv->txn_checkpoint(dbenv, 0, 0, 0))) break;
        int arc;
        if (archdirlen == 0) {
            char **none = nullptr;
            arc = dbenv->log_archive(dbenv, &none, DB_ARCH_REMOVE);
        } else {
            arc = move_unneeded_logs(dbenv, logdir, logdirlen, archdir, archdirlen);
        }
        if (arc) QNST_FAIL(dbenv, arc);
        if (sleep_unless_stopped(env, interval * 1000u)) return 0;
    }
    return QNST_FAIL(dbenv, rc);
}

int qnst_env_flushcachethread(qnst_envrec *env, uint32_t percent) {
    DB_ENV *dbenv = env->dbenv;
    for (;;) {
        int written = 0;
        if (int rc = dbenv->memp_trickle(dbenv, static_cast<int>(percent), &written))
            QNST_FAIL(dbenv, rc);
        if (sleep_unless_stopped(env, kTrickleIntervalMs)) return 0;
    }
}

int qnst_env_checkdlockthread(qnst_envrec *env) {
    DB_ENV *dbenv = env->dbenv;
    for (;;) {
        if (int rc = dbenv->lock_detect(dbenv, 0, DB_LOCK_YOUNGEST, nullptr))
            QNST_FAIL(dbenv, rc);
        if (sleep_unless_stopped(env, kDeadlockIntervalMs)) return 0;
    }
}

int qnst_env_stopthreads(qnst_envrec *env) {
    ThreadStop *stop = stop_of(env);
    if (!stop) return EINVAL;
    {
        std::lock_guard lock(stop->mutex);
        stop->requested = true;
    }
    stop->wake.notify_all();
    return 0;
}

int qnst_txn_begin(DB_ENV *dbenv, DB_TXN *parent, DB_TXN **txnp) {
    return dbenv->txn_begin(dbenv, parent, txnp, 0);
}

int qnst_txn_commit(DB_TXN *txn, uint32_t sync) {
    return txn->commit(txn, sync ? DB_TXN_SYNC : DB_TXN_NOSYNC);
}

int qnst_txn_abort(DB_TXN *txn) { return txn->abort(txn); }

int qnst_lock_stat_print(DB_ENV *dbenv, uint32_t flags) {
    return dbenv->lock_stat_print(dbenv, flags);
}
int qnst_memp_stat_print(DB_ENV *dbenv, uint32_t flags) {
    return dbenv->memp_stat_print(dbenv, flags);
}
int qnst_mutex_stat_print(DB_ENV *dbenv, uint32_t flags) {
    return dbenv->mutex_stat_print(dbenv, flags);
}
int qnst_log_stat_print(DB_ENV *dbenv, uint32_t flags) {
    return dbenv->log_stat_print(dbenv, flags);
}
