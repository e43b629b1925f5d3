// Stand-in for removing a hash from the cache table, for partitions without one.
#include "qnst_csis.h"

int qnst_csis_uncache(qnst_sis *, DB_TXN *, const void *, uint32_t) { return 0; }
