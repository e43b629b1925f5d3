# pyITable, cimported by the inode module (its set handle is what inodes open against).

from qnst64 cimport *
from qnst_bdb cimport qnst_env
from qnst_blksism cimport pyBlkSIS


cdef class pyITable:
    cdef qnst_itabmrec handle
    cdef bint created
    # What the set points into stays alive while it is created: the environment and the stores
    # handed to the inodes (the ACL store and blob store manager join when they are bound).
    cdef qnst_env env
    cdef pyBlkSIS blksis
    cdef object aclsis
    cdef object mblob
