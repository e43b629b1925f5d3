#include "qnst_process.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace qnst {

uint64_t process_id() {
#if defined(_WIN32)
    return GetCurrentProcessId();
#else
    return static_cast<uint64_t>(::getpid());
#endif
}

}  // namespace qnst
