// The running process, as the engine needs to know it.
#pragma once

#include <cstdint>

namespace qnst {

// The operating system's identifier of this process.
uint64_t process_id();

}  // namespace qnst
