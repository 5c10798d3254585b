// Dates and times: reading the values SQLite holds (ISO-8601 text, Unix
// seconds as INTEGER, Julian day numbers as REAL, the three storage forms
// SQLite's own date functions understand), and writing them by a session's
// date format model.
#include <strings.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "db/embedded/internal.h"

namespace rowvane::embedded {
namespace {

enum FmtCode : uint8_t {
  kLit, kYYYY, kYYY, kYY, kY, kMonth, kMon, kMM, kDDD, kDD, kDay, kDy, kD,
  kHH24, kHH12, kMI, kSSSSS, kSS, kFF, kX, kTZH, kTZM, kTZR, kAmPm, kAmPmDots, kJ,
};

struct ElementName {
  const char* text;
  FmtCode code;
  uint8_t arg;
};

// Longest names first, so a name is never taken for a shorter one it begins with.
constexpr ElementName kElements[] = {
    {"SYYYY", kYYYY, 0}, {"SSSSS", kSSSSS, 0}, {"MONTH", kMonth, 0},
    {"YYYY", kYYYY, 0},  {"RRRR", kYYYY, 0},   {"HH24", kHH24, 0},   {"HH12", kHH12, 0},
    {"A.M.", kAmPmDots, 0}, {"P.M.", kAmPmDots, 0},
    {"YYY", kYYY, 0},    {"MON", kMon, 0},     {"DDD", kDDD, 0},     {"DAY", kDay, 0},
    {"FF1", kFF, 1},     {"FF2", kFF, 2},      {"FF3", kFF, 3},      {"FF4", kFF, 4},
    {"FF5", kFF, 5},     {"FF6", kFF, 6},      {"FF7", kFF, 7},      {"FF8", kFF, 8},
    {"FF9", kFF, 9},     {"TZH", kTZH, 0},     {"TZM", kTZM, 0},     {"TZR", kTZR, 0},
    {"YY", kYY, 0},      {"RR", kYY, 0},       {"MM", kMM, 0},       {"DD", kDD, 0},
    {"DY", kDy, 0},      {"HH", kHH12, 0},     {"MI", kMI, 0},       {"SS", kSS, 0},
    {"FF", kFF, 0},      {"AM", kAmPm, 0},     {"PM", kAmPm, 0},
    {"Y", kY, 0},        {"D", kD, 0},         {"X", kX, 0},         {"J", kJ, 0},
};

constexpr const char* kMonths[] = {"JANUARY", "FEBRUARY", "MARCH",     "APRIL",
                                   "MAY",     "JUNE",     "JULY",      "AUGUST",
                                   "SEPTEMBER", "OCTOBER", "NOVEMBER", "DECEMBER"};
constexpr const char* kDays[] = {"SUNDAY",   "MONDAY", "TUESDAY", "WEDNESDAY",
                                 "THURSDAY", "FRIDAY", "SATURDAY"};

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int* y, int* m, int* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = static_cast<int>(yy + (*m <= 2));
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
  static const int kLen[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap(y) ? 29 : kLen[m - 1];
}

bool valid(const DateTime& dt) {
  return dt.year >= 1 && dt.year <= 9999 && dt.month >= 1 && dt.month <= 12 && dt.day >= 1 &&
         dt.day <= days_in_month(dt.year, dt.month) && dt.hour >= 0 && dt.hour <= 23 &&
         dt.minute >= 0 && dt.minute <= 59 && dt.second >= 0 && dt.second <= 59;
}

// Reads exactly min..max digits at s[*i].
bool digits(const char* s, size_t n, size_t* i, int min, int max, int* out) {
  int v = 0, k = 0;
  while (*i < n && k < max && std::isdigit(static_cast<unsigned char>(s[*i]))) {
    v = v * 10 + (s[*i] - '0');
    ++*i;
    ++k;
  }
  if (k < min) return false;
  *out = v;
  return true;
}

bool set_from_unix_ms(int64_t ms, DateTime* dt) {
  int64_t secs = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
  int64_t rem_ms = ms - secs * 1000;
  int64_t days = secs >= 0 ? secs / 86400 : -((-secs + 86399) / 86400);
  int64_t sod = secs - days * 86400;
  civil_from_days(days, &dt->year, &dt->month, &dt->day);
  dt->hour = static_cast<int>(sod / 3600);
  dt->minute = static_cast<int>(sod / 60 % 60);
  dt->second = static_cast<int>(sod % 60);
  dt->nanos = static_cast<uint32_t>(rem_ms) * 1000000u;
  dt->has_tz = false;
  dt->tz_minutes = 0;
  return valid(*dt);
}

// Writes v as exactly width digits.
char* put_digits(char* p, int64_t v, int width) {
  if (v < 0) v = -v;
  for (int i = width - 1; i >= 0; --i) {
    p[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  return p + width;
}

char* put_word(char* p, const char* word, size_t max_chars, uint8_t style, int pad_to) {
  size_t n = std::strlen(word);
  if (n > max_chars) n = max_chars;
  for (size_t i = 0; i < n; ++i) {
    char c = word[i];
    if (style == 2 || (style == 1 && i > 0)) c = static_cast<char>(std::tolower(c));
    *p++ = c;
  }
  for (int i = static_cast<int>(n); i < pad_to; ++i) *p++ = ' ';
  return p;
}

}  // namespace

bool parse_datetime_text(const char* s, size_t n, DateTime* dt) {
  size_t i = 0;
  while (i < n && s[i] == ' ') ++i;
  while (n > i && s[n - 1] == ' ') --n;
  *dt = DateTime{};
  if (!digits(s, n, &i, 4, 4, &dt->year) || i >= n || s[i] != '-') return false;
  ++i;
  if (!digits(s, n, &i, 1, 2, &dt->month) || i >= n || s[i] != '-') return false;
  ++i;
  if (!digits(s, n, &i, 1, 2, &dt->day)) return false;
  if (i < n && (s[i] == ' ' || s[i] == 'T' || s[i] == 't')) {
    size_t save = i++;
    if (i < n && std::isdigit(static_cast<unsigned char>(s[i]))) {
      if (!digits(s, n, &i, 1, 2, &dt->hour) || i >= n || s[i] != ':') return false;
      ++i;
      if (!digits(s, n, &i, 1, 2, &dt->minute)) return false;
      if (i < n && s[i] == ':') {
        ++i;
        if (!digits(s, n, &i, 1, 2, &dt->second)) return false;
        if (i < n && (s[i] == '.' || s[i] == ',')) {
          ++i;
          uint32_t frac = 0;
          int k = 0;
          while (i < n && std::isdigit(static_cast<unsigned char>(s[i]))) {
            if (k < 9) {
              frac = frac * 10 + static_cast<uint32_t>(s[i] - '0');
              ++k;
            }
            ++i;
          }
          if (k == 0) return false;
          for (; k < 9; ++k) frac *= 10;
          dt->nanos = frac;
        }
      }
    } else {
      i = save;  // a blank before a time zone
    }
  }
  while (i < n && s[i] == ' ') ++i;
  if (i < n) {
    if (s[i] == 'Z' || s[i] == 'z') {
      dt->has_tz = true;
      ++i;
    } else if (s[i] == '+' || s[i] == '-') {
      int sign = s[i] == '-' ? -1 : 1;
      ++i;
      int th = 0, tm = 0;
      if (!digits(s, n, &i, 2, 2, &th)) return false;
      if (i < n && s[i] == ':') ++i;
      if (i < n && !digits(s, n, &i, 2, 2, &tm)) return false;
      if (th > 14 || tm > 59) return false;
      dt->has_tz = true;
      dt->tz_minutes = sign * (th * 60 + tm);
    }
  }
  if (i != n) return false;
  return valid(*dt);
}

bool datetime_from_unix(double seconds, DateTime* dt) {
  if (!(seconds > -7e11 && seconds < 3e11)) return false;
  return set_from_unix_ms(static_cast<int64_t>(std::llround(seconds * 1000.0)), dt);
}

bool datetime_from_julian(double jd, DateTime* dt) {
  if (!(jd > 1721425.5 && jd < 5373484.5)) return false;  // years 1 to 9999
  // SQLite keeps Julian day numbers to the millisecond.
  int64_t ms = std::llround((jd - 2440587.5) * 86400000.0);
  return set_from_unix_ms(ms, dt);
}

void datetime_to_utc(DateTime* dt) {
  if (!dt->has_tz || dt->tz_minutes == 0) {
    dt->has_tz = false;
    dt->tz_minutes = 0;
    return;
  }
  int64_t days = days_from_civil(dt->year, dt->month, dt->day);
  int64_t mins = days * 1440 + dt->hour * 60 + dt->minute - dt->tz_minutes;
  int64_t d = mins >= 0 ? mins / 1440 : -((-mins + 1439) / 1440);
  int64_t mod = mins - d * 1440;
  civil_from_days(d, &dt->year, &dt->month, &dt->day);
  dt->hour = static_cast<int>(mod / 60);
  dt->minute = static_cast<int>(mod % 60);
  dt->has_tz = false;
  dt->tz_minutes = 0;
}

bool compile_format(const char* text, size_t len, NlsFormat* f) {
  NlsFormat out{};
  auto add = [&](uint8_t code, uint8_t arg, const char* lit, size_t lit_len) {
    if (out.count >= static_cast<int>(sizeof out.elements / sizeof out.elements[0]))
      return false;
    FormatElement& e = out.elements[out.count++];
    e.code = code;
    e.arg = arg;
    if (lit_len > 0) {
      if (out.literal_len + lit_len > sizeof out.literals) return false;
      std::memcpy(out.literals + out.literal_len, lit, lit_len);
      e.lit_off = static_cast<uint16_t>(out.literal_len);
      e.lit_len = static_cast<uint16_t>(lit_len);
      out.literal_len += static_cast<int>(lit_len);
    }
    return true;
  };
  size_t i = 0;
  while (i < len) {
    char c = text[i];
    if (c == '"') {
      size_t end = i + 1;
      while (end < len && text[end] != '"') ++end;
      if (end >= len) return false;
      if (end > i + 1 && !add(kLit, 0, text + i + 1, end - i - 1)) return false;
      i = end + 1;
      continue;
    }
    bool matched = false;
    for (const auto& el : kElements) {
      size_t n = std::strlen(el.text);
      if (i + n > len || strncasecmp(text + i, el.text, n) != 0) continue;
      uint8_t arg = el.arg;
      if (el.code == kMonth || el.code == kMon || el.code == kDay || el.code == kDy ||
          el.code == kAmPm || el.code == kAmPmDots) {
        // Letter case of the element gives the case of the word.
        bool first_lower = std::islower(static_cast<unsigned char>(text[i]));
        bool second_lower = n > 1 && std::islower(static_cast<unsigned char>(text[i + 1]));
        arg = first_lower ? 2 : (second_lower ? 1 : 0);
      }
      if (!add(el.code, arg, nullptr, 0)) return false;
      i += n;
      matched = true;
      break;
    }
    if (matched) continue;
    if (std::strchr(" -/,.;:", c) && c != 0) {
      if (!add(kLit, 0, text + i, 1)) return false;
      ++i;
      continue;
    }
    return false;
  }
  *f = out;
  return true;
}

size_t render_datetime(const NlsFormat& f, const DateTime& dt, int fraction_digits, char* out) {
  char* p = out;
  char* const end = out + 480;  // every element takes at most 10 bytes
  for (int k = 0; k < f.count && p < end; ++k) {
    const FormatElement& e = f.elements[k];
    switch (e.code) {
      case kLit: {
        size_t n = e.lit_len;
        if (n > static_cast<size_t>(end - p)) n = static_cast<size_t>(end - p);
        std::memcpy(p, f.literals + e.lit_off, n);
        p += n;
        break;
      }
      case kYYYY: p = put_digits(p, dt.year, 4); break;
      case kYYY: p = put_digits(p, dt.year % 1000, 3); break;
      case kYY: p = put_digits(p, dt.year % 100, 2); break;
      case kY: p = put_digits(p, dt.year % 10, 1); break;
      case kMonth: p = put_word(p, kMonths[dt.month - 1], 9, e.arg, 9); break;
      case kMon: p = put_word(p, kMonths[dt.month - 1], 3, e.arg, 0); break;
      case kMM: p = put_digits(p, dt.month, 2); break;
      case kDDD: {
        int64_t doy = days_from_civil(dt.year, dt.month, dt.day) -
                      days_from_civil(dt.year, 1, 1) + 1;
        p = put_digits(p, doy, 3);
        break;
      }
      case kDD: p = put_digits(p, dt.day, 2); break;
      case kDay:
      case kDy:
      case kD: {
        int64_t days = days_from_civil(dt.year, dt.month, dt.day);
        int dow = static_cast<int>(((days + 4) % 7 + 7) % 7);  // 0 = Sunday
        if (e.code == kD)
          p = put_digits(p, dow + 1, 1);
        else if (e.code == kDay)
          p = put_word(p, kDays[dow], 9, e.arg, 9);
        else
          p = put_word(p, kDays[dow], 3, e.arg, 0);
        break;
      }
      case kHH24: p = put_digits(p, dt.hour, 2); break;
      case kHH12: p = put_digits(p, dt.hour % 12 == 0 ? 12 : dt.hour % 12, 2); break;
      case kMI: p = put_digits(p, dt.minute, 2); break;
      case kSSSSS: p = put_digits(p, dt.hour * 3600 + dt.minute * 60 + dt.second, 5); break;
      case kSS: p = put_digits(p, dt.second, 2); break;
      case kFF: {
        int n = e.arg ? e.arg : fraction_digits;
        if (n > 9) n = 9;
        uint32_t v = dt.nanos;
        for (int d = 9; d > n; --d) v /= 10;
        p = put_digits(p, v, n);
        break;
      }
      case kX: *p++ = '.'; break;
      case kTZH:
        *p++ = dt.tz_minutes < 0 ? '-' : '+';
        p = put_digits(p, (dt.tz_minutes < 0 ? -dt.tz_minutes : dt.tz_minutes) / 60, 2);
        break;
      case kTZM:
        p = put_digits(p, (dt.tz_minutes < 0 ? -dt.tz_minutes : dt.tz_minutes) % 60, 2);
        break;
      case kTZR: {
        int m = dt.tz_minutes < 0 ? -dt.tz_minutes : dt.tz_minutes;
        *p++ = dt.tz_minutes < 0 ? '-' : '+';
        p = put_digits(p, m / 60, 2);
        *p++ = ':';
        p = put_digits(p, m % 60, 2);
        break;
      }
      case kAmPm:
        p = put_word(p, dt.hour < 12 ? "AM" : "PM", 2, e.arg, 0);
        break;
      case kAmPmDots:
        p = put_word(p, dt.hour < 12 ? "A.M." : "P.M.", 4, e.arg == 1 ? 0 : e.arg, 0);
        break;
      case kJ:
        p = put_digits(p, days_from_civil(dt.year, dt.month, dt.day) + 2440588, 7);
        break;
    }
  }
  return static_cast<size_t>(p - out);
}

}  // namespace rowvane::embedded
