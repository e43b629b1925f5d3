# pyACLSIS, cimported by the inode-table module (its store handle goes to the inodes).

from qnst64 cimport *
from qnst_bdb cimport qnst_env


cdef class pyACLSIS:
    cdef qnst_aclsisrec handle
    cdef bint opened
    # The environment stays alive while the store is open.
    cdef qnst_env env
    # Created inode-table sets that hand this store to their inodes: it stays open while they
    # are.
    cdef Py_ssize_t users
