// The engine's clock: every read of the time and every sleep goes through here.
#pragma once

#include <cstdint>
#include <ctime>

namespace qnst {

// Seconds since the epoch.
int64_t time_now();
// Local broken-down time of `t`; false when it cannot be represented.
bool local_time(int64_t t, std::tm *out);
// Seconds since the epoch of a local broken-down time (normalises `tm`); -1 when unrepresentable.
int64_t make_time(std::tm *tm);
// later - earlier, in seconds.
double diff_time(int64_t later, int64_t earlier);
void sleep_ms(uint32_t ms);

}  // namespace qnst
