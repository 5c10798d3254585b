#include "platform/clock.h"

#include <cstring>

namespace rowvane {

namespace {

// The breakdown of seconds in local time or UTC (thread-safe); false, out
// zeroed, when it fails.
bool breakdown(int64_t seconds, std::tm* out, bool utc) {
  std::time_t t = static_cast<std::time_t>(seconds);
#ifdef _WIN32
  if ((utc ? gmtime_s(out, &t) : localtime_s(out, &t)) == 0) return true;
#else
  if ((utc ? gmtime_r(&t, out) : localtime_r(&t, out)) != nullptr) return true;
#endif
  std::memset(out, 0, sizeof *out);
  return false;
}

}  // namespace

int64_t clock_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

bool local_time(int64_t seconds, std::tm* out) { return breakdown(seconds, out, false); }

bool utc_time(int64_t seconds, std::tm* out) { return breakdown(seconds, out, true); }

}  // namespace rowvane
