// The block store's usage update of the dfile table (internal to the engine).
#pragma once

#include <cstdint>

#include "qnst_dfile.h"

// Inside `txn`, with the record write-locked from read to write: adds `delta` (negative for a
// release, two's complement) to `used` of data file `dindex`. When `new_coff` is nonzero, also
// stores new_coff - coff in *growth and makes `new_coff` the current offset; a zero `new_coff`
// leaves coff and *growth untouched. Returns 0, DB_NOTFOUND for a record beyond the end of the
// table, DB_KEYEMPTY for a never-written one inside it, or the
// Berkeley DB code (logged unless exempt).
int qnst_dfile_usage(qnst_dfile *h, DB_TXN *txn, uint32_t dindex, uint64_t new_coff,
                     int64_t delta, uint64_t *growth);
