// Numbers: plain decimal text of SQLite's INTEGER and REAL values, and the
// vendor's internal NUMBER and DATE byte forms.
#include <charconv>
#include <cmath>
#include <cstring>

#include "db/embedded/engine.h"
#include "db/embedded/internal.h"

namespace rowvane {
namespace embedded {

size_t format_int64(int64_t v, char* out) {
  char tmp[24];
  char* p = tmp + sizeof tmp;
  uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  do {
    *--p = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u);
  if (v < 0) *--p = '-';
  size_t n = static_cast<size_t>(tmp + sizeof tmp - p);
  std::memcpy(out, p, n);
  return n;
}

size_t format_double(double v, char* out) {
  if (std::isnan(v)) {
    std::memcpy(out, "Nan", 3);
    return 3;
  }
  if (std::isinf(v)) {
    if (v < 0) {
      std::memcpy(out, "-Inf", 4);
      return 4;
    }
    std::memcpy(out, "Inf", 3);
    return 3;
  }
  if (v == 0) {  // also -0: the number has no signed zero
    out[0] = '0';
    return 1;
  }
  // Most stored values carry a few decimals. When v * 10^s rounds to an
  // integer r with r / 10^s == v for the smallest such s, the decimal r/10^s
  // reads back as v and no shorter one does. The bound keeps |v| * 10^s far
  // enough below 2^53 that the product is off by less than half a unit and
  // that only one decimal of s places lies within v's rounding interval, so
  // the text is the very one the general path below prints.
  {
    static constexpr double kScale[] = {1, 10, 100, 1000, 10000};
    const double a = std::fabs(v);
    for (int s = 0; s <= 4 && a * kScale[s] < 0x1p50; ++s) {
      double r = std::nearbyint(v * kScale[s]);
      if (r / kScale[s] != v) continue;
      if (s == 0) return format_int64(static_cast<int64_t>(r), out);
      uint64_t u = static_cast<uint64_t>(std::fabs(r));
      uint64_t unit = static_cast<uint64_t>(kScale[s]);
      char* p = out;
      if (v < 0) *p++ = '-';
      p += format_int64(static_cast<int64_t>(u / unit), p);
      *p++ = '.';
      uint64_t frac = u % unit;
      for (int i = s - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + frac % 10);
        frac /= 10;
      }
      return static_cast<size_t>(p + s - out);
    }
  }
  // The shortest digits that read back as the same double, without exponent.
  // Number columns are fetched as text into slots of 46 characters (the
  // widest NUMBER text), so a longer plain form could never be delivered.
  constexpr size_t kMaxPlainText = 46;
  auto r = std::to_chars(out, out + 500, v, std::chars_format::fixed);
  size_t n = static_cast<size_t>(r.ptr - out);
  if (r.ec == std::errc() && n <= kMaxPlainText) return n;
  // Past that the exponent form is shorter and still exact.
  r = std::to_chars(out, out + 500, v, std::chars_format::scientific);
  n = static_cast<size_t>(r.ptr - out);
  for (size_t i = 0; i < n; ++i)
    if (out[i] == 'e') out[i] = 'E';
  return n;
}

size_t format_number_text(const unsigned char* num, int len, char* out) {
  if (len <= 0 || num[0] == 0x80) {
    out[0] = '0';
    return 1;
  }
  const bool negative = num[0] < 0x80;
  const int exp100 = negative ? 63 - num[0] : num[0] - 192;
  char digits[44];
  int n = 0;
  for (int i = 1; i < len && i <= 21 && n + 2 <= static_cast<int>(sizeof digits); ++i) {
    if (negative && num[i] == 102) break;
    int d = negative ? 101 - num[i] : num[i] - 1;
    if (d < 0 || d > 99) d = 0;
    digits[n++] = static_cast<char>('0' + d / 10);
    digits[n++] = static_cast<char>('0' + d % 10);
  }
  // Digits before the point, counted from the first significant digit.
  int lead = 0;
  while (lead < n && digits[lead] == '0') ++lead;
  while (n > lead && digits[n - 1] == '0') --n;
  if (n == lead) {
    out[0] = '0';
    return 1;
  }
  const char* sig = digits + lead;
  const int count = n - lead;
  const int point = 2 * exp100 - lead;
  const int plain = (negative ? 1 : 0) +
                    (point <= 0 ? 1 - point + count : (point >= count ? point : count + 1));
  char* p = out;
  if (negative) *p++ = '-';
  if (plain > 46) {  // the exponent form, as for any number past 46 characters
    *p++ = sig[0];
    if (count > 1) {
      *p++ = '.';
      std::memcpy(p, sig + 1, static_cast<size_t>(count - 1));
      p += count - 1;
    }
    int e = point - 1;
    *p++ = 'E';
    *p++ = e < 0 ? '-' : '+';
    if (e < 0) e = -e;
    if (e < 10) *p++ = '0';
    p += format_int64(e, p);
  } else if (point <= 0) {
    *p++ = '.';
    std::memset(p, '0', static_cast<size_t>(-point));
    p += -point;
    std::memcpy(p, sig, static_cast<size_t>(count));
    p += count;
  } else if (point >= count) {
    std::memcpy(p, sig, static_cast<size_t>(count));
    std::memset(p + count, '0', static_cast<size_t>(point - count));
    p += point;
  } else {
    std::memcpy(p, sig, static_cast<size_t>(point));
    p += point;
    *p++ = '.';
    std::memcpy(p, sig + point, static_cast<size_t>(count - point));
    p += count - point;
  }
  return static_cast<size_t>(p - out);
}

namespace {

// Writes exponent byte, base-100 digits (most significant first, no
// leading or trailing zero digit) and the terminator of a negative number.
int emit_number(bool negative, int exp100, const int* pairs, int count, unsigned char* out) {
  if (exp100 > 63) return 0;  // beyond the largest number the form holds
  if (exp100 < -64 || count == 0) {
    out[0] = 0x80;
    return 1;
  }
  int n = 0;
  if (!negative) {
    out[n++] = static_cast<unsigned char>(192 + exp100);
    for (int i = 0; i < count; ++i) out[n++] = static_cast<unsigned char>(pairs[i] + 1);
  } else {
    out[n++] = static_cast<unsigned char>(63 - exp100);
    for (int i = 0; i < count; ++i) out[n++] = static_cast<unsigned char>(101 - pairs[i]);
    if (count < 20) out[n++] = 102;
  }
  return n;
}

}  // namespace

int encode_number_int64(int64_t v, unsigned char out[22]) {
  if (v == 0) {
    out[0] = 0x80;
    return 1;
  }
  uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  int rev[10] = {};
  int count = 0;
  while (u) {
    rev[count++] = static_cast<int>(u % 100);
    u /= 100;
  }
  int exp100 = count;
  int low = 0;  // trailing zero pairs are not stored
  while (rev[low] == 0) ++low;
  int pairs[10];
  int n = 0;
  for (int i = count - 1; i >= low; --i) pairs[n++] = rev[i];
  return emit_number(v < 0, exp100, pairs, n, out);
}

}  // namespace embedded

int encode_oracle_number(const char* text, size_t len, unsigned char out[22]) {
  size_t i = 0;
  while (i < len && (text[i] == ' ' || text[i] == '\t')) ++i;
  while (len > i && (text[len - 1] == ' ' || text[len - 1] == '\t')) --len;
  bool negative = false;
  if (i < len && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Significant digits (kept up to 44: enough to round to 20 base-100 digits).
  char sig[48];
  int nsig = 0;
  long dp = 0;          // decimal point position relative to the first significant digit
  bool any_digit = false, seen_point = false, started = false;
  for (; i < len; ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      any_digit = true;
      if (!started && c == '0') {
        if (seen_point) --dp;
        continue;
      }
      started = true;
      if (nsig < 44) sig[nsig++] = c;
      if (!seen_point) ++dp;
    } else if (c == '.' && !seen_point) {
      seen_point = true;
    } else {
      break;
    }
  }
  if (!any_digit) return 0;
  if (i < len && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool eneg = false;
    if (i < len && (text[i] == '+' || text[i] == '-')) eneg = text[i++] == '-';
    if (i >= len || text[i] < '0' || text[i] > '9') return 0;
    long e = 0;
    for (; i < len && text[i] >= '0' && text[i] <= '9'; ++i)
      if (e < 100000) e = e * 10 + (text[i] - '0');
    dp += eneg ? -e : e;
  }
  if (i != len) return 0;
  if (nsig == 0) {
    out[0] = 0x80;
    return 1;
  }
  // Align to base-100 digits: an odd point position takes a leading zero.
  char digits[50];
  int nd = 0;
  if (dp % 2 != 0) {
    digits[nd++] = '0';
    ++dp;
  }
  std::memcpy(digits + nd, sig, static_cast<size_t>(nsig));
  nd += nsig;
  if (nd % 2) digits[nd++] = '0';
  int pairs[25];
  int count = nd / 2;
  for (int k = 0; k < count; ++k) pairs[k] = (digits[2 * k] - '0') * 10 + (digits[2 * k + 1] - '0');
  long exp100 = dp / 2;
  if (count > 20) {  // round half up to 20 base-100 digits
    bool up = pairs[20] >= 50;
    count = 20;
    for (int k = count - 1; up && k >= 0; --k) {
      if (++pairs[k] == 100) {
        pairs[k] = 0;
      } else {
        up = false;
      }
    }
    if (up) {  // 99...99 rounded to 1 followed by zeros
      pairs[0] = 1;
      count = 1;
      ++exp100;
    }
  }
  while (count > 0 && pairs[count - 1] == 0) --count;
  if (exp100 > 63) return 0;
  return embedded::emit_number(negative, static_cast<int>(exp100 < -100 ? -100 : exp100), pairs,
                               count, out);
}

int encode_oracle_date(const char* text, size_t len, unsigned char out[11]) {
  embedded::DateTime dt;
  if (!text || !embedded::parse_datetime_text(text, len, &dt)) return 0;
  out[0] = static_cast<unsigned char>(dt.year / 100 + 100);
  out[1] = static_cast<unsigned char>(dt.year % 100 + 100);
  out[2] = static_cast<unsigned char>(dt.month);
  out[3] = static_cast<unsigned char>(dt.day);
  out[4] = static_cast<unsigned char>(dt.hour + 1);
  out[5] = static_cast<unsigned char>(dt.minute + 1);
  out[6] = static_cast<unsigned char>(dt.second + 1);
  if (dt.nanos == 0) return 7;
  out[7] = static_cast<unsigned char>(dt.nanos >> 24);
  out[8] = static_cast<unsigned char>(dt.nanos >> 16);
  out[9] = static_cast<unsigned char>(dt.nanos >> 8);
  out[10] = static_cast<unsigned char>(dt.nanos);
  return 11;
}

}  // namespace rowvane
