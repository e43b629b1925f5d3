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
import qnst_aclsis, qnst_bdb, qnst_blksism, qnst_dfile, qnst_fastfile, qnst_inode, qnst_itabm
import qnst_sinfo
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

sinfo = qnst_sinfo.pySInfo()
expect(lambda: sinfo.sinfo_open(env, b"si.db", 0), [0, 0])
txn = qnst_bdb.begin(env)
expect(lambda: sinfo.sinfo_set(txn, 4, 5, 6, 7, 8), [0])
expect(lambda: sinfo.sinfo_set(txn, 4, 0, 6, 7, 8), [22])
assert expect(lambda: sinfo.sinfo_get(txn, 9), [-30988]) == (0, 0, 0, 0)
listing = expect(lambda: sinfo.sinfo_list(txn, 0), [0])
assert expect(lambda: sinfo.sinfo_next(listing[0]), [0]) == (0, 0, 0, 0, 0)
expect(lambda: sinfo.sinfo_end(listing[0]), [0])
expect(lambda: sinfo.sinfo_purge(txn, 4), [0])
txn.txn_commit()
expect(lambda: sinfo.sinfo_close(), [0])
expect(lambda: qnst_sinfo.sinfo_remove(env, b"si.db"), [0])

acls = qnst_aclsis.pyACLSIS()
expect(lambda: acls.aclsis_open(env, b"acl.db", 0), [0, 0])
txn = qnst_bdb.begin(env)
acl = expect(lambda: acls.acl_store(txn, HASH, 20, b"acl", 3), [0])
assert expect(lambda: acls.acl_lookup(txn, HASH, 20), [0]) == acl
assert expect(lambda: acls.acl_read(txn, acl), [0]) == b"acl"
assert expect(lambda: acls.acl_read(txn, acl + 1), [-30988]) == b""
expect(lambda: acls.acl_hold(txn, acl), [0])
expect(lambda: acls.acl_rele(txn, acl), [0])
expect(lambda: acls.acl_rele(txn, acl + 1), [-30988])
txn.txn_commit()

blobs = qnst_itabm.pyBlobSISM()
expect(lambda: blobs.blobsism_open(env, 1, b"blob", 0), [0, 0])
blob = expect(lambda: blobs.mblob_gen_handle(HASH, 20), [0])
txn = qnst_bdb.begin(env)
expect(lambda: blobs.mblob_store(txn, HASH, 20, 100, blob), [0])
expect(lambda: blobs.mblob_store(txn, HASH, 20, 100, blob), [-30004])
assert expect(lambda: blobs.mblob_rele(txn, blob, 1), [0]) == 101
assert expect(lambda: blobs.mblob_get_compactq(txn), [0]) == (blob, 100)
walk = expect(lambda: blobs.blobsism_walk_hashid(0, txn, 0, b""), [0])
expect(lambda: blobs.blobsism_done(0, walk[0]), [0])
expect(lambda: blobs.blobsism_walk_idref(1, txn, 0, 0), [22])
txn.txn_commit()

sets = qnst_itabm.pyITable()
expect(lambda: sets.itabm_create(env, 1, acls, store, blobs, 1), [0])
expect(lambda: sets.itabm_open(b"itab", 0, 1), [0])
root = qnst_inode.pyInode()
expect(lambda: root.inode_open(sets, None, 10), [0])
expect(lambda: root.inode_chk(), [-30988])
expect(lambda: root.inode_init(1, False), [0])
node = qnst_inode.pyInode()
expect(lambda: node.inode_open(sets, root, 11), [0])
expect(lambda: node.inode_init(1, True), [0])
txn = qnst_bdb.begin(env)
expect(lambda: root.quota_set(txn, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0), [0])
assert expect(lambda: node.quota_get(txn), [-30988]) == (0,) * 10
expect(lambda: root.dir_add(txn, b"n", 1, 1, 1, 11), [0])
assert expect(lambda: root.dir_lookup(txn, b"m", 1, 1, 0), [-30008]) == (0, 0, 0, 0)
listing = expect(lambda: root.dir_walk_v2(txn, 1, (1, "n")), [0])
assert listing[1:] == (0, 0, None, 0, 0)
expect(lambda: root.dir_done(listing[0]), [])  # closing a listing has no code
expect(lambda: node.stat_update(txn, 1, 0, 5, 0, 0, 0, 1), [0])
assert expect(lambda: node.stat_lookup(txn, 9), [0]) == (1, 0, 5, 0, 0, 0, 1)
expect(lambda: node.eatr_update(txn, 1, 1, b"v", 1), [0])
assert expect(lambda: node.eatr_lookup(txn, 1, 5), [0]) == (1, b"v")
assert expect(lambda: node.eatr_lookup(txn, 2, 5), [-30988]) == (0, b"")
walk = expect(lambda: node.eatr_walk(txn, 1, 0), [0])
assert walk[1:] == (0, 0, None)
expect(lambda: node.eatr_done(walk[0]), [0])
assert expect(lambda: node.bmap_lookup(txn, 0, 1), [-30988]) == (0, 0, 0, 0)
assert expect(lambda: node.blobmap_reconcile(txn, 5, HASH, 20, 1), [0])[1:3] == (1, 1)
expect(lambda: node.mapimsg_update(txn, b"m", 1, b"info", 4, 1, 9), [0])
assert expect(lambda: node.mapimsg_findi(txn, b"m", 1, 2), [0]) == (1, 9, b"info")
assert expect(lambda: node.mapimsg_getient(txn, b"m", 1, 5), [-30988]) == b""
walk = expect(lambda: node.mapimid_walk(txn, 0, b"", 0), [0])
expect(lambda: node.mapimsg_done(walk[0]), [])  # closing a walk has no code
txn.txn_commit()
expect(lambda: node.inode_close(), [])
expect(lambda: root.inode_close(), [])
expect(lambda: sets.itabm_close(), [0])
expect(lambda: acls.aclsis_close(), [0])
expect(lambda: blobs.blobsism_close(), [0])
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


# Each case: set-up, a write that locks a record in `holder`, the read that then waits in the
# engine, and what the read returns once the holder commits.
WAITING_CALLS = {
    "dfile": ("""
table = qnst_dfile.pyDFile()
table.dfile_open(env, 128, b"d.db", 1)
""", "table.dfile_set(holder, 1, 9, 9, 9, 9, 9)", "table.dfile_get(txn, 1)", (9, 9, 9, 9, 9)),
    "inode": ("""
sets = qnst_itabm.pyITable()
sets.itabm_create(env, 1, None, None, None, 1)
sets.itabm_open(b"itab", 0, 1)
folder = qnst_inode.pyInode()
folder.inode_open(sets, None, 10)
folder.inode_init(1, False)
""", "folder.dir_add(holder, b'name', 4, 1, 1, 12)", "folder.dir_lookup(txn, b'name', 4, 1, 0)",
              (1, 0x7FFFFFF0, 1, 12)),
}


@pytest.mark.parametrize("case", sorted(WAITING_CALLS))
def test_interpreter_runs_other_threads_while_a_call_waits_on_a_lock(tmp_path, case):
    setup, write, read, expected = WAITING_CALLS[case]
    code = f"""
import threading, time
import qnst_bdb, qnst_dfile, qnst_inode, qnst_itabm

home = {str(tmp_path).encode()!r}
env = qnst_bdb.qnst_env()
env.env_create(0)
env.env_open(home, errfile=home + b"/err.log", recover=1)
env.env_close()
env.env_create(0)
env.env_open(home, errfile=home + b"/err.log")
{setup}
holder = qnst_bdb.begin(env)
{write}  # write-locks the record
calling, result = threading.Event(), []

def reader():
    with qnst_bdb.begin(env) as txn:
        calling.set()
        result.append({read})  # waits in the engine for the lock

thread = threading.Thread(target=reader)
thread.start()
calling.wait()
spins, deadline = 0, time.monotonic() + 0.5
while time.monotonic() < deadline:  # needs the interpreter lock the waiting call released
    spins += 1
assert thread.is_alive() and not result
holder.txn_commit()
thread.join(30)
assert result == [{expected!r}], result
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


@pytest.mark.parametrize("module", ["qnst_dfile", "qnst_fastfile", "qnst_blksism", "qnst_itabm",
                                    "qnst_sinfo", "qnst_aclsis", "qnst_inode"])
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


@pytest.mark.parametrize("module, companion, classes", [
    ("qnst_blksism", "qnst_dfile", ["pyDFile"]),
    ("qnst_itabm", "qnst_aclsis", ["pyACLSIS"]),
    ("qnst_inode", "qnst_itabm", ["pyBlobSISM", "pyITable"]),
])
def test_import_checks_the_store_types_it_keeps(tmp_path, module, companion, classes):
    (tmp_path / f"{companion}.py").write_text(
        "".join(f"class {cls}:\n    __slots__ = ()\n" for cls in classes))
    proc = run_python(f"import {module}", extra_path=[str(tmp_path)])
    assert proc.returncode != 0
    assert re.search(rf"ValueError: {companion}\.({'|'.join(classes)}) size changed",
                     proc.stderr), proc.stderr
