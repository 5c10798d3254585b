#include "platform/clock.h"

#include <cstring>

namespace rowvane {

int64_t clock_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

bool local_time(int64_t seconds, std::tm* out) {
  std::time_t t = static_cast<std::time_t>(seconds);
#ifdef _WIN32
  if (localtime_s(out, &t) == 0) return true;
#else
  if (localtime_r(&t, out) != nullptr) return true;
#endif
  std::memset(out, 0, sizeof *out);
  return false;
}

bool utc_time(int64_t seconds, std::tm* out) {
  std::time_t t = static_cast<std::time_t>(seconds);
#ifdef _WIN32
  if (gmtime_s(out, &t) == 0) return true;
#else
  if (gmtime_r(&t, out) != nullptr) return true;
#endif
  std::memset(out, 0, sizeof *out);
  return false;
}

}  // namespace rowvane
