# pyBlobSISM and pyITable, cimported by the inode module (the set handle is what inodes open
# against).

from qnst64 cimport *
from qnst_bdb cimport qnst_env
from qnst_blksism cimport pyBlkSIS
from qnst_aclsis cimport pyACLSIS


cdef class pyBlobSISM:
    cdef qnst_blobsism handle
    cdef bint opened
    # The environment stays alive while the manager is open.
    cdef qnst_env env
    # Created inode-table sets that hand this manager to their inodes: it stays open while they
    # are.
    cdef Py_ssize_t users


cdef class pyITable:
    cdef qnst_itabmrec handle
    cdef bint created
    # What the set points into stays alive while it is created: the environment and the stores
    # handed to the inodes.
    cdef qnst_env env
    cdef pyBlkSIS blksis
    cdef pyACLSIS aclsis
    cdef pyBlobSISM mblob
    # Open inodes bound to the set: it stays created while they are.
    cdef Py_ssize_t users
