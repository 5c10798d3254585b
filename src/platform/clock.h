// Wall-clock time and its local breakdown.
#pragma once

#include <cstdint>
#include <ctime>

namespace rowvane {

// Seconds since 1970-01-01 00:00:00 UTC.
int64_t clock_seconds();
// Local-time breakdown of seconds (thread-safe); false when it fails, out zeroed.
bool local_time(int64_t seconds, std::tm* out);
// The same in UTC.
bool utc_time(int64_t seconds, std::tm* out);

}  // namespace rowvane
