"""pyACLSIS: an ACL's whole life through the binding, the engine's buffer released, the store
kept open by the inode tables that use it, and bad arguments."""

import os
import resource

import pytest

import qnst
import qnst_aclsis
import qnst_bdb
import qnst_itabm

HASH = bytes(range(32))
ACL = b"\x01\x02owner:rwx;group:r-x\x00"


@pytest.fixture
def acls(env):
    store = qnst_aclsis.pyACLSIS()
    store.aclsis_open(env, b"acl.db", 1)
    yield store
    store.aclsis_close()


def test_acl_stored_read_held_and_released_to_nothing(env, acls):
    with qnst_bdb.begin(env) as txn:
        assert acls.acl_lookup(txn, HASH, 32) == 0
        handle = acls.acl_store(txn, HASH, 32, ACL + b"tail", len(ACL))
        assert handle == 3  # the first handle the store issues
        assert acls.acl_lookup(txn, HASH, 32) == handle
        assert acls.acl_read(txn, handle) == ACL  # only `acllen` bytes were stored
        with pytest.raises(qnst.AlreadyExists) as err:
            acls.acl_store(txn, HASH, 32, ACL, len(ACL))
        assert err.value.code == qnst.DB_KEYEXIST
        acls.acl_hold(txn, handle)
    with qnst_bdb.begin(env) as txn:
        acls.acl_rele(txn, handle)
        assert acls.acl_read(txn, handle) == ACL  # one reference left
        acls.acl_rele(txn, handle)
        assert acls.acl_lookup(txn, HASH, 32) == 0
        with pytest.raises(qnst.NotFound):
            acls.acl_read(txn, handle)
        with pytest.raises(qnst.NotFound):
            acls.acl_hold(txn, handle)
    # A new ACL never gets the old handle back; an empty ACL is an ACL.
    with qnst_bdb.begin(env) as txn:
        assert acls.acl_store(txn, HASH[:1], 1, b"", 0) > handle
        assert acls.acl_read(txn, acls.acl_lookup(txn, HASH[:1], 1)) == b""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer keeps freed memory in quarantine")
def test_read_releases_the_engine_buffer(env, acls):
    big = bytes(range(256)) * 4096  # 1 MiB
    with qnst_bdb.begin(env) as txn:
        handle = acls.acl_store(txn, HASH, 32, big, len(big))
    with qnst_bdb.begin(env) as txn:  # reads take write locks: they need a transaction
        kept = [acls.acl_read(txn, handle) for _ in range(8)]  # copies outlive their reads
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for _ in range(300):
            assert len(acls.acl_read(txn, handle)) == len(big)
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    assert grown_kib < 64 * 1024  # 300 leaked buffers would be 300 MiB
    assert all(k == big for k in kept)


def test_store_stays_open_while_an_inode_table_set_uses_it(env, acls):
    tables = qnst_itabm.pyITable()
    tables.itabm_create(env, 3, acls, None, None, 1)
    with pytest.raises(qnst.QnstError) as err:
        acls.aclsis_close()
    assert err.value.code == 16
    tables.itabm_close()
    acls.aclsis_close()
    acls.aclsis_close()  # a second close does nothing
    with pytest.raises(qnst.QnstError) as err:  # closed: the engine refuses, nothing crashes
        acls.acl_lookup(None, HASH, 32)
    assert err.value.code == 22
    qnst_aclsis.aclsis_remove(env, b"acl.db")
    with pytest.raises(qnst.NotFound):
        qnst_aclsis.aclsis_remove(env, b"acl.db")


@pytest.mark.parametrize("call, error, message", [
    (lambda s: s.acl_store(None, HASH, 33, ACL, 1), ValueError, "fewer than the length given"),
    (lambda s: s.acl_store(None, HASH, 32, ACL, len(ACL) + 1), ValueError,
     "fewer than the length given"),
    (lambda s: s.acl_store(None, HASH, 32, ACL, -1), ValueError, "fewer than the length given"),
    (lambda s: s.acl_store(None, HASH, 32, ACL, 1 << 31), OverflowError,
     "too large to convert to int32_t"),
    (lambda s: s.acl_store(None, HASH, 32, "acl", 3), TypeError,
     "Argument 'acl' has incorrect type (expected bytes, got str)"),
    (lambda s: s.acl_read(None, -1), OverflowError, "can't convert negative value"),
    (lambda s: s.acl_hold(None, "1"), TypeError, "an integer is required"),
    (lambda s: s.acl_lookup(None, HASH), TypeError,
     "acl_lookup() takes exactly 3 positional arguments (2 given)"),
    (lambda s: s.acl_rele(None, handle=1, x=1), TypeError,
     "acl_rele() got an unexpected keyword argument 'x'"),
    (lambda s: s.aclsis_open(1, b"x", 0), TypeError,
     "Argument 'env' has incorrect type (expected qnst_bdb.qnst_env, got int)"),
])
def test_argument_errors_raise_before_the_engine(call, error, message):
    with pytest.raises(error) as err:
        call(qnst_aclsis.pyACLSIS())
    assert message in str(err.value)
    with pytest.raises(TypeError):
        qnst_aclsis.pyACLSIS(1)
