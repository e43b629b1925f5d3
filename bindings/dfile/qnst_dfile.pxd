# pyDFile, cimported by the block store module (its dfile handle becomes the manager's).

from qnst64 cimport *
from qnst_bdb cimport qnst_env


cdef class pyDFile:
    cdef qnst_dfile handle
    cdef bint opened
    # The environment stays alive while the table is open.
    cdef qnst_env env
    # Open block stores that charge this table: it stays open while they are.
    cdef Py_ssize_t users

    cdef qnst_dfile *table(self) except NULL
