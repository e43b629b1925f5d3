#include "qnst_clock.hpp"

#include <chrono>
#include <thread>

namespace qnst {

int64_t time_now() { return static_cast<int64_t>(std::time(nullptr)); }

bool local_time(int64_t t, std::tm *out) {
    const std::time_t tt = static_cast<std::time_t>(t);
#if defined(_WIN32)
    return localtime_s(out, &tt) == 0;
#else
    return localtime_r(&tt, out) != nullptr;
#endif
}

int64_t make_time(std::tm *tm) { return static_cast<int64_t>(std::mktime(tm)); }

double diff_time(int64_t later, int64_t earlier) {
    return std::difftime(static_cast<std::time_t>(later), static_cast<std::time_t>(earlier));
}

void sleep_ms(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace qnst
