"""qnst_bdb: environments, transactions, the retry helper, locks and plain tables."""

import os
import threading

import pytest

import qnst
import qnst_bdb
import qnst_dfile


def test_environment_life_cycle_and_keyword_settings(home):
    with qnst_bdb.qnst_env() as env:
        env.env_create(7)
        with pytest.raises(ValueError):
            env.env_create(7)
        with pytest.raises(qnst.QnstError) as err:
            qnst_bdb.bdb_checkopen(7)
        assert err.value.code == 16
        env.env_open(os.fsencode(home), errfile=os.fsencode(home / "e.log"), max_locks=5000,
                     max_objects=5000, cache_bytes=8 << 20, recover=1)
        env.env_checkpoint()
        env.env_flushlog()
        env.env_compactlog()
        env.env_checkopen(0)
        env.lock_stat_print()
    qnst_bdb.bdb_checkopen(7)  # leaving the block closed and unregistered it
    env.env_close()  # closing again does nothing


def test_open_failure_raises_and_leaves_the_handle_closable(tmp_path):
    env = qnst_bdb.qnst_env()
    env.env_create(0)
    with pytest.raises(qnst.QnstError):
        env.env_open(os.fsencode(tmp_path / "no such home"))
    env.env_close()


def test_transaction_context_commits_or_aborts(env, dfile):
    with qnst_bdb.begin(env) as txn:
        dfile.dfile_set(txn, 0, 5, 5, 5, 5, 5)
    assert not txn.active
    with pytest.raises(KeyError):
        with qnst_bdb.begin(env) as txn:
            dfile.dfile_set(txn, 0, 6, 6, 6, 6, 6)
            raise KeyError
    assert dfile.dfile_get(None, 0) == (5, 5, 5, 5, 5)
    with pytest.raises(ValueError, match="transaction has ended"):
        dfile.dfile_get(txn, 0)
    with pytest.raises(ValueError, match="transaction has ended"):
        txn.txn_commit()

    parent = qnst_bdb.begin(env)
    child = qnst_bdb.qnst_txn()
    child.txn_begin(env, parent)
    dfile.dfile_set(child, 0, 7, 7, 7, 7, 7)
    child.txn_commit(0)
    parent.txn_abort()
    assert dfile.dfile_get(None, 0) == (5, 5, 5, 5, 5)


def test_dropped_transaction_is_aborted_and_releases_its_locks(env, dfile):
    txn = qnst_bdb.begin(env)
    dfile.dfile_set(txn, 0, 9, 9, 9, 9, 9)
    del txn
    assert dfile.dfile_get(None, 0) == (1, 1, 0, 0, 0)  # would wait for ever on the lock


def test_retry_runs_again_after_a_lock_conflict(env, dfile):
    calls = []

    def body(txn, value):
        calls.append(value)
        if len(calls) < 3:
            raise qnst.Retryable(qnst.DB_LOCK_DEADLOCK)
        dfile.dfile_set(txn, 2, value, 1, 0, 0, 0)
        return "done"

    assert qnst_bdb.retry(env, body, 4) == "done"
    assert calls == [4, 4, 4]
    assert dfile.dfile_get(None, 2)[0] == 4

    def always(txn):
        raise qnst.Retryable(qnst.DB_LOCK_NOTGRANTED)
    with pytest.raises(qnst.Retryable):
        qnst_bdb.retry(env, always, attempts=2)
    with pytest.raises(ZeroDivisionError):
        qnst_bdb.retry(env, lambda txn: 1 / 0)


def test_retry_resolves_a_real_deadlock(env, dfile):
    """Two threads update two records in opposite order; the deadlock thread of the environment
    fails one, which retry runs again, so both finish."""
    stopper = threading.Thread(target=env.env_checkdlockthread)
    stopper.start()
    barrier = threading.Barrier(2, timeout=30)
    attempts = []

    def update(txn, first, second, value):
        dfile.dfile_set(txn, first, value, 1, 0, 0, 0)
        attempts.append(value)
        if attempts.count(value) == 1:  # both hold their first record before either goes on
            barrier.wait()
        dfile.dfile_set(txn, second, value, 1, 0, 0, 0)

    threads = [threading.Thread(target=qnst_bdb.retry, args=(env, update, a, b, v))
               for a, b, v in ((10, 11, 2), (11, 10, 3))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    env.env_stopthreads()
    stopper.join(60)
    assert not any(t.is_alive() for t in threads)
    assert len(attempts) == 3  # one of the two ran again
    assert dfile.dfile_get(None, 10)[0] == dfile.dfile_get(None, 11)[0] in (2, 3)


def test_locks_and_plain_tables(env):
    a, b = env.lock_id(), env.lock_id()
    held = qnst_bdb.qnst_lock()
    held.lock_get(env, a, b"object", qnst_bdb.LOCK_WRITE)
    other = qnst_bdb.qnst_lock()
    with pytest.raises(qnst.Retryable) as err:
        other.lock_get(env, b, b"object", qnst_bdb.LOCK_READ, qnst_bdb.LOCK_NOWAIT)
    assert err.value.code == qnst.DB_LOCK_NOTGRANTED
    held.lock_put()
    other.lock_get(env, b, b"object", qnst_bdb.LOCK_READ, qnst_bdb.LOCK_NOWAIT)
    other.lock_put()
    env.lock_id_free(a)
    env.lock_id_free(b)

    table = qnst_bdb.qnst_db()
    table.db_create(env)
    table.db_open(None, b"plain.db")
    with qnst_bdb.begin(env) as txn:
        table.db_put(txn, b"k", b"value")
        with pytest.raises(qnst.AlreadyExists):
            table.db_put(txn, b"k", b"other", qnst_bdb.NOOVERWRITE)
    assert table.db_get(None, b"k") == b"value"
    table.db_del(None, b"k")
    with pytest.raises(qnst.NotFound):
        table.db_get(None, b"k")
    table.db_close()
    with pytest.raises(ValueError):
        table.db_get(None, b"k")


def test_nothing_closes_under_an_open_user(env, dfile, store):
    """An environment, a dfile table or a block store that an open object still uses refuses to
    close (code 16) instead of freeing handles that object would use later."""
    import qnst_itabm
    tables = qnst_itabm.pyITable()
    tables.itabm_create(env, 1, None, store, None, 1)
    txn = qnst_bdb.begin(env)
    for close in (env.env_close, dfile.dfile_close, store.blksis_close):
        with pytest.raises(qnst.QnstError) as err:
            close()
        assert err.value.code == 16
    txn.txn_abort()
    tables.itabm_close()
    store.blksis_close()
    with pytest.raises(qnst.QnstError):
        env.env_close()  # the dfile table is still open
    dfile.dfile_close()
    env.env_close()
