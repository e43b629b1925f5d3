# pyBlkSIS, cimported by the inode-table module (its manager handle goes to the inodes).

from qnst64 cimport *
from qnst_bdb cimport qnst_env
from qnst_dfile cimport pyDFile


cdef class pyBlkSIS:
    cdef qnst_blksism handle
    cdef bint opened
    # The environment and the dfile table the manager points into stay alive while it is open.
    cdef qnst_env env
    cdef pyDFile dfile
    # Open inode-table sets that hand this store to their inodes: it stays open while they are.
    cdef Py_ssize_t users
