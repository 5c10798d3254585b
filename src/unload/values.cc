#include "unload/values.h"

#include <cstring>

namespace rowvane {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

inline bool is_lead_byte(unsigned char b) { return b >= 0x81 && b <= 0xFE; }
inline bool is_trail_byte(unsigned char b) {
  return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFE);
}

// Two decimal digits of n (taken modulo 100, so a damaged byte still yields
// digits).
inline char* put2(char* p, unsigned n) {
  p[0] = static_cast<char>('0' + (n / 10) % 10);
  p[1] = static_cast<char>('0' + n % 10);
  return p + 2;
}

// Position of the next byte at or after i that must be escaped, or len.
//
// This has to agree exactly with a scan that starts at byte 0 and walks one
// character at a time: i is always the start of a character there, and the
// run below only ever moves over whole characters. A lead byte followed by a
// trail byte is skipped as a pair (so a trail byte equal to a special byte is
// left alone), while a lead byte at the end of the value, or followed by
// anything else, is a single byte and is escaped when special.
inline size_t next_special(const unsigned char* value, size_t i, size_t len,
                           const EscapeTable& e) {
  while (i < len) {
    // Ordinary bytes: ASCII that is not special. This loop is the hot part.
    while (i < len && !e.stop[value[i]]) ++i;
    if (i == len) break;
    const unsigned char b = value[i];
    if (is_lead_byte(b) && i + 1 < len && is_trail_byte(value[i + 1])) {
      i += 2;
      continue;
    }
    if (e.special[b]) return i;
    ++i;
  }
  return len;
}

}  // namespace

int format_number(const unsigned char* value, int len, char* out) {
  if (len <= 0) return 0;
  if (len > kMaxNumberBytes) len = kMaxNumberBytes;
  const unsigned first = value[0];
  // Zero is the lone byte 0x80. The same exponent byte with digits behind it
  // is a positive number below 1E-128 (down to 1E-130), not zero.
  if (first == 128 && len == 1) {
    out[0] = '0';
    return 1;
  }

  char* p = out;
  const bool negative = first < 128;
  int e;
  int end = len;  // digit bytes are value[1 .. end-1]
  if (negative) {
    *p++ = '-';
    e = 63 - static_cast<int>(first);
    // Negative numbers carry a terminator byte (102) unless all 20 digit
    // positions are in use.
    if (len < kMaxNumberBytes || value[kMaxNumberBytes - 1] == 102) end = len - 1;
  } else {
    e = static_cast<int>(first) - 192;
  }
  const int digits = end > 1 ? end - 1 : 0;

  if (e <= 0) {
    *p++ = '0';
    *p++ = '.';
    for (int i = 0; i < -e; ++i) {
      *p++ = '0';
      *p++ = '0';
    }
  }
  for (int i = 0; i < digits; ++i) {
    const int byte = value[1 + i];
    int d = negative ? 101 - byte : byte - 1;
    // Only a damaged image leaves 0..99; keep the text decimal regardless.
    d = ((d % 100) + 100) % 100;
    if (i == 0 && e > 0 && d < 10) {
      *p++ = static_cast<char>('0' + d);
    } else {
      p = put2(p, static_cast<unsigned>(d));
    }
    if (i + 1 == e && i + 1 < digits) *p++ = '.';
  }
  for (int i = digits; i < e; ++i) {
    *p++ = '0';
    *p++ = '0';
  }
  return static_cast<int>(p - out);
}

int format_date(const unsigned char* value, int len, char* out) {
  if (len != 7 && len != 11 && len != 13) return 0;

  int year = (static_cast<int>(value[0]) - 100) * 100 + (static_cast<int>(value[1]) - 100);
  // Years before 1 and after 9999 have no text of their own; the four digit
  // positions still receive digits.
  unsigned y = static_cast<unsigned>(year < 0 ? -year : year);
  char* p = out;
  p = put2(p, y / 100);
  p = put2(p, y % 100);
  *p++ = '-';
  p = put2(p, value[2]);
  *p++ = '-';
  p = put2(p, value[3]);
  *p++ = ' ';
  p = put2(p, value[4] ? value[4] - 1u : 0u);
  *p++ = ':';
  p = put2(p, value[5] ? value[5] - 1u : 0u);
  *p++ = ':';
  p = put2(p, value[6] ? value[6] - 1u : 0u);
  if (len == 7) return static_cast<int>(p - out);

  const uint32_t nanos = (static_cast<uint32_t>(value[7]) << 24) |
                         (static_cast<uint32_t>(value[8]) << 16) |
                         (static_cast<uint32_t>(value[9]) << 8) | value[10];
  uint32_t micros = nanos / 1000;
  // "%06d": six digits, or seven for a count that is out of range.
  int width = micros >= 1000000 ? 7 : 6;
  *p++ = '.';
  for (int i = width - 1; i >= 0; --i) {
    p[i] = static_cast<char>('0' + micros % 10);
    micros /= 10;
  }
  p += width;
  return static_cast<int>(p - out);
}

void build_translation(Translation* t, const char* sedf, const char* sedt) {
  for (int i = 0; i < 256; ++i) t->map[i] = static_cast<unsigned char>(i);
  if (!sedf) sedf = "";
  if (!sedt) sedt = "";

  unsigned char from[10];
  unsigned char to[10];
  int k = 0;
  bool to_ended = false;
  for (; k < 10; ++k) {
    const unsigned char f = static_cast<unsigned char>(sedf[k]);
    // Past the end of sedt its bytes count as zero, and it is never read
    // beyond its terminator.
    const unsigned char s = to_ended ? 0 : static_cast<unsigned char>(sedt[k]);
    if (s == 0) to_ended = true;
    // A position where both hold the same byte ends the pairing. So does the
    // end of sedf: its terminator is not a byte to translate (zero bytes of
    // raw values would otherwise be rewritten when sedt is the longer list).
    if (f == s || f == 0) break;
    from[k] = f;
    to[k] = s;
  }
  t->pair_count = k;
  t->on = k > 0;
  // Backwards, so that the first position of a repeated sedf byte wins.
  for (int i = k - 1; i >= 0; --i) t->map[from[i]] = to[i];
}

void translate_bytes(unsigned char* value, size_t len, const Translation& t) {
  if (!t.on) return;
  const unsigned char* map = t.map;
  for (size_t i = 0; i < len; ++i) value[i] = map[value[i]];
}

void build_escape_table(EscapeTable* e, char escape, const char* escf, const char* esct) {
  std::memset(e, 0, sizeof *e);
  if (!escf) escf = "";
  if (!esct) esct = "";
  e->escape = static_cast<unsigned char>(escape);
  e->on = e->escape != ' ';

  int pairs = 0;
  while (pairs < 20 && escf[pairs] != 0 && esct[pairs] != 0) ++pairs;
  e->pair_count = pairs;
  if (!e->on) return;  // nothing is special: every value is copied unchanged

  for (int k = pairs - 1; k >= 0; --k) {
    const unsigned char f = static_cast<unsigned char>(escf[k]);
    e->special[f] = true;
    e->out[f] = static_cast<unsigned char>(esct[k]);
  }
  // The escape byte is doubled whatever escf says about it.
  e->special[e->escape] = true;
  e->out[e->escape] = e->escape;
  for (int b = 0; b < 256; ++b) {
    e->stop[b] = e->special[b] || is_lead_byte(static_cast<unsigned char>(b));
  }
}

size_t count_escapes(const unsigned char* value, size_t len, const EscapeTable& e) {
  if (!e.on) return 0;
  size_t n = 0;
  size_t i = 0;
  while ((i = next_special(value, i, len, e)) < len) {
    ++n;
    ++i;
  }
  return n;
}

size_t escape_bytes(char* dest, const unsigned char* value, size_t len, const EscapeTable& e) {
  if (!e.on) {
    if (len) std::memcpy(dest, value, len);
    return len;
  }
  char* d = dest;
  size_t i = 0;
  while (i < len) {
    const size_t s = next_special(value, i, len, e);
    if (s > i) {
      std::memcpy(d, value + i, s - i);
      d += s - i;
    }
    if (s == len) break;
    d[0] = static_cast<char>(e.escape);
    d[1] = static_cast<char>(e.out[value[s]]);
    d += 2;
    i = s + 1;
  }
  return static_cast<size_t>(d - dest);
}

size_t hex_bytes(char* dest, const unsigned char* value, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    dest[2 * i] = kHexDigits[value[i] >> 4];
    dest[2 * i + 1] = kHexDigits[value[i] & 0x0F];
  }
  return 2 * len;
}

bool type_is_escaped(uint16_t oracle_type) {
  switch (oracle_type) {
    case 2: case 6:                                  // NUMBER
    case 12: case 156:                               // DATE
    case 180: case 181: case 187: case 188: case 232:  // TIMESTAMP kinds
    case 11: case 104:                               // ROWID, UROWID
    case 15: case 23:                                // RAW kinds
    case 112: case 113: case 114:                    // LOB kinds, BFILE
      return false;
    default:
      return true;  // character, floating-point, interval, LONG, LONG RAW
  }
}

}  // namespace rowvane
