"""What every binding module promises: the check call after each engine call, the interpreter
lock released while the engine waits, and companion types checked at import."""

import re

import pytest

from conftest import run_python

RECORDING_QNST = """
import sys, types

calls = []

class Refused(Exception):
    pass

refusal = Refused()

class qnst_error:
    raising = False

    @staticmethod
    def check(code):
        calls.append(code)
        if code and qnst_error.raising:
            raise refusal

fake = types.ModuleType("qnst")
fake.qnst_error = qnst_error
fake.Retryable = Refused
sys.modules["qnst"] = fake

def expect(call, codes):
    del calls[:]
    result = call()
    assert calls == codes, (calls, codes)
    return result
"""


def test_check_sees_every_engine_code_and_its_exception_propagates(tmp_path):
    code = RECORDING_QNST + f"""
import qnst_bdb, qnst_blksism, qnst_dfile, qnst_fastfile, qnst_itabm
home = {str(tmp_path).encode()!r}
HASH = bytes(20)

env = qnst_bdb.qnst_env()
expect(lambda: env.env_create(0), [0])
expect(lambda: env.env_open(home, errfile=home + b"/err.log", recover=1), [0])
expect(lambda: env.env_close(), [0])
env.env_create(0)
expect(lambda: env.env_open(home, errfile=home + b"/err.log"), [0])

dfile = qnst_dfile.pyDFile()
expect(lambda: dfile.dfile_open(env, 128, b"d.db", 1), [0, 0])
expect(lambda: dfile.dfile_set(None, 1, 2, 3, 4, 5, 6), [0])
assert expect(lambda: dfile.dfile_get(None, 1), [0]) == (2, 3, 4, 5, 6)
# A check that returns lets the method go on: the outputs are built all the same.
assert expect(lambda: dfile.dfile_get(None, 500), [-30988]) == (0, 0, 0, 0, 0)

store = qnst_blksism.pyBlkSIS()
expect(lambda: store.blksis_open(env, dfile, 1, b"s", 1, b"", 0), [0, 0])
txn = expect(lambda: qnst_bdb.begin(env), [0])
assert expect(lambda: store.blk_lookup(txn, HASH, 20), [0]) == 0
expect(lambda: store.blk_read(txn, 5 << 16), [-30988])
expect(lambda: store.compact_init(9), [22])
walk = expect(lambda: store.walk_hashid(txn, 0, b"", 0), [0])
expect(lambda: store.walk_done(0, walk[0]), [0])
expect(lambda: txn.txn_commit(), [0])

sets = qnst_itabm.pyITable()
expect(lambda: sets.itabm_create(env, 1, None, store, None, 1), [0])
expect(lambda: sets.itabm_close(), [0])
expect(lambda: store.blksis_close(), [0])
expect(lambda: store.cachesis_drop(env, 1, b"s", b""), [])  # closed: no engine call

ff = expect(lambda: qnst_fastfile.pyFastFile(512, 0), [0])
expect(lambda: ff.ffile_open(1, home + b"/missing", 0, 0), [2])
expect(lambda: ff.ffile_flush(), [0])
assert expect(lambda: qnst_fastfile.ffile_delete(home + b"/missing"), [0]) == 0
expect(lambda: ff.close(), [0])

# Whatever check raises leaves the method unchanged.
qnst_error.raising = True
for call in (lambda: dfile.dfile_get(None, 500), lambda: store.compact_init(0)):
    try:
        call()
    except Refused as e:
        assert e is refusal
    else:
        raise AssertionError("the refusal did not propagate")
dfile.dfile_close()
env.env_close()
print("ok")
"""
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


def test_interpreter_runs_other_threads_while_a_call_waits_on_a_lock(tmp_path):
    code = f"""
import threading, time
import qnst_bdb, qnst_dfile

home = {str(tmp_path).encode()!r}
env = qnst_bdb.qnst_env()
env.env_create(0)
env.env_open(home, errfile=home + b"/err.log", recover=1)
env.env_close()
env.env_create(0)
env.env_open(home, errfile=home + b"/err.log")
dfile = qnst_dfile.pyDFile()
dfile.dfile_open(env, 128, b"d.db", 1)

holder = qnst_bdb.begin(env)
dfile.dfile_set(holder, 1, 9, 9, 9, 9, 9)  # write-locks record 1
calling, result = threading.Event(), []

def reader():
    with qnst_bdb.begin(env) as txn:
        calling.set()
        result.append(dfile.dfile_get(txn, 1))  # waits in the engine for the lock

thread = threading.Thread(target=reader)
thread.start()
calling.wait()
spins, deadline = 0, time.monotonic() + 0.5
while time.monotonic() < deadline:  # needs the interpreter lock the waiting call released
    spins += 1
assert thread.is_alive() and not result
holder.txn_commit()
thread.join(30)
assert result == [(9, 9, 9, 9, 9)]
dfile.dfile_close()
env.env_close()
print("ok", spins)
"""
    proc = run_python(code, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("ok ")
    assert int(proc.stdout.split()[1]) > 1000


FAKE_BDB_WRONG_SIZE = """
class qnst_env:
    __slots__ = ()
qnst_txn = qnst_cursor = qnst_lock = qnst_db = qnst_env
"""
FAKE_BDB_NOT_A_TYPE = "qnst_env = qnst_txn = qnst_cursor = qnst_lock = qnst_db = 1\n"
FAKE_DFILE_WRONG_SIZE = """
class pyDFile:
    __slots__ = ()
"""


@pytest.mark.parametrize("module", ["qnst_dfile", "qnst_fastfile", "qnst_blksism", "qnst_itabm"])
@pytest.mark.parametrize("companion, source, message", [
    ("qnst_bdb", FAKE_BDB_WRONG_SIZE,
     r"ValueError: qnst_bdb\.qnst_\w+ size changed, may indicate binary incompatibility"),
    ("qnst_bdb", FAKE_BDB_NOT_A_TYPE, r"TypeError: qnst_bdb\.qnst_\w+ is not a type object"),
])
def test_import_against_a_wrong_companion_type_fails(tmp_path, module, companion, source,
                                                     message):
    (tmp_path / f"{companion}.py").write_text(source)
    proc = run_python(f"import {module}", extra_path=[str(tmp_path)])
    assert proc.returncode != 0
    assert re.search(message, proc.stderr), proc.stderr


def test_block_store_import_checks_the_dfile_type(tmp_path):
    (tmp_path / "qnst_dfile.py").write_text(FAKE_DFILE_WRONG_SIZE)
    proc = run_python("import qnst_blksism", extra_path=[str(tmp_path)])
    assert proc.returncode != 0
    assert "ValueError: qnst_dfile.pyDFile size changed" in proc.stderr, proc.stderr
