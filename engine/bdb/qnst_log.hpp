// Pieces of the error-log writers that tests check on their own.
#pragma once

#include <cstddef>
#include <ctime>

namespace qnst {

// Writes "[YYYY-MM-DD hh:mm:ss,000] [Error] At <file>:<line>: " for local time `tm` into `buf`;
// returns the length (as snprintf).
int format_entry_prefix(char *buf, size_t size, const std::tm &tm, const char *file, int line);

}  // namespace qnst
