# pyInode, cimported by the benchmark module (which calls the engine on its handle).

from qnst64 cimport *
from qnst_itabm cimport pyITable


cdef class pyInode:
    cdef qnst_inoderec handle
    # The open inode number (0: not open).
    cdef uint32_t number
    cdef bint bound
    # What the handle points into stays alive while it is bound: the set (which stays created)
    # and the set node.
    cdef pyITable itab
    cdef pyInode setnode
