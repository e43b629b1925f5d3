// Positioning of the listings of versioned records (folder entries, attributes, ...), which
// step backwards through the key order from a start key. Internal to the engine.
#pragma once

#include <db.h>

#include <cstdint>

#include "qnst_internal.hpp"

namespace qnst {

// Places `dbc` on the first record at or after `key` (DB_SET_RANGE | `flags`), reading neither
// the key found nor its data: that record may be of another kind and of any size. *first_step
// becomes DB_PREV, or DB_LAST when no record follows `key`. Returns 0 or the Berkeley DB code.
inline int position_before(DBC *dbc, const void *key, uint32_t size, uint32_t flags,
                           uint32_t *first_step) {
    DBT k = user_dbt(const_cast<void *>(key), size);
    k.flags |= DB_DBT_PARTIAL;
    k.dlen = 0;
    uint8_t none[1];
    DBT data = user_dbt(none, 0, 0);
    data.flags |= DB_DBT_PARTIAL;
    data.dlen = 0;
    const int rc = dbc->get(dbc, &k, &data, DB_SET_RANGE | flags);
    if (rc != 0 && rc != DB_NOTFOUND) return rc;
    *first_step = rc == 0 ? DB_PREV : DB_LAST;
    return 0;
}

}  // namespace qnst
