#include "unload/values.h"

#include <array>
#include <cstring>

#include "db/type_codes.h"

// SSE2 is part of every x86-64 target (MSVC defines no __SSE2__ there);
// other targets scan 8-byte words instead. ROWVANE_NO_SIMD forces the word
// scan so that it can be tested on x86-64 too.
#if !defined(ROWVANE_NO_SIMD) && \
    (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#define ROWVANE_SSE2 1
#include <emmintrin.h>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif
#endif

namespace rowvane {

namespace {

// "00" .. "ff": the two hex digits of every byte value, one table for all runs.
constexpr std::array<char, 512> make_hex_pairs(bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::array<char, 512> t{};
  for (int b = 0; b < 256; ++b) {
    t[2 * b] = digits[b >> 4];
    t[2 * b + 1] = digits[b & 0x0F];
  }
  return t;
}
constexpr std::array<char, 512> kHexPairs = make_hex_pairs(false);
constexpr std::array<char, 512> kHexPairsUpper = make_hex_pairs(true);

inline bool is_lead_byte(unsigned char b) { return b >= 0x81 && b <= 0xFE; }
inline bool is_trail_byte(unsigned char b) {
  return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFE);
}

// Length of the character at value[i]: the width its first byte announces
// when the bytes after it complete it, else 1.
inline size_t char_step(const unsigned char* value, size_t i, size_t len, const EscapeTable& e) {
  const size_t n = e.seq_len[value[i]];
  if (n < 2 || len - i < n) return 1;
  if (e.width == CharWidth::kDoubleByte) return is_trail_byte(value[i + 1]) ? 2 : 1;
  for (size_t k = 1; k < n; ++k) {
    if ((value[i + k] & 0xC0) != 0x80) return 1;
  }
  return n;
}

// Two decimal digits of n (taken modulo 100, so a damaged byte still yields
// digits).
inline char* put2(char* p, unsigned n) {
  p[0] = static_cast<char>('0' + (n / 10) % 10);
  p[1] = static_cast<char>('0' + n % 10);
  return p + 2;
}

#if defined(ROWVANE_SSE2)
inline unsigned lowest_bit(unsigned m) {
#if defined(_MSC_VER) && !defined(__clang__)
  unsigned long k;
  _BitScanForward(&k, m);
  return static_cast<unsigned>(k);
#else
  return static_cast<unsigned>(__builtin_ctz(m));
#endif
}

inline __m128i load4(const unsigned char* p) {
  int32_t w;
  std::memcpy(&w, p, 4);
  return _mm_cvtsi32_si128(w);
}

// The special bytes below 0x80, each repeated across 16 lanes. With K > 0
// there are exactly K of them and they stay in registers for the whole
// value; K == 0 takes any count from the table.
template <int K>
struct Lanes {
  __m128i v[K > 0 ? K : 1];
  const unsigned char (*table)[16];
  int count;

  __m128i high;  // keeps or clears the high bits of a block (see EscapeTable::high_lane)

  explicit Lanes(const EscapeTable& e) : table(e.ascii_lanes), count(e.ascii_count) {
    for (int k = 0; k < K; ++k) v[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(table[k]));
    high = _mm_load_si128(reinterpret_cast<const __m128i*>(e.high_lane));
  }

  // One bit per byte of x: set where the byte equals a special byte, or is
  // 0x80 or above when such bytes need a look. The equality masks are 0xFF
  // bytes, so OR-ing them into (x AND high) leaves the answer in the high
  // bits.
  unsigned candidates(__m128i x) const {
    __m128i hit = _mm_and_si128(x, high);
    if constexpr (K > 0) {
      for (int k = 0; k < K; ++k) hit = _mm_or_si128(hit, _mm_cmpeq_epi8(x, v[k]));
    } else {
      for (int k = 0; k < count; ++k) {
        hit = _mm_or_si128(
            hit, _mm_cmpeq_epi8(x, _mm_load_si128(reinterpret_cast<const __m128i*>(table[k]))));
      }
    }
    return static_cast<unsigned>(_mm_movemask_epi8(hit));
  }
};

// Moves i over plain bytes: ASCII bytes that are not special, each a whole
// character. Returns j >= i with every byte of [i, j) plain, and j == len
// or value[j] a byte the caller must judge (0x80 or above, or special).
// Blocks are scanned 16 bytes at a time; a shorter rest is covered by two
// overlapping loads, which is safe because every byte before the first
// candidate is known to be plain.
template <int K>
inline size_t skip_plain(const unsigned char* value, size_t i, size_t len, const EscapeTable& e,
                         const Lanes<K>& lanes) {
  const unsigned char* p = value + i;
  const size_t n = len - i;
  if (n >= 16) {
    size_t j = 0;
    for (; j + 16 <= n; j += 16) {
      unsigned m = lanes.candidates(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + j)));
      if (m) return i + j + lowest_bit(m);
    }
    if (j < n) {
      unsigned m = lanes.candidates(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16)));
      if (m) return i + n - 16 + lowest_bit(m);
    }
    return len;
  }
  if (n >= 8) {
    __m128i x = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                                   _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + n - 8)));
    unsigned m = lanes.candidates(x);
    if (m & 0xFFu) return i + lowest_bit(m);
    if (m) return i + n - 8 + lowest_bit(m >> 8);
    return len;
  }
  if (n >= 4) {
    // Bytes 8-15 of x are zero and may equal a special zero byte: masked off.
    __m128i x = _mm_unpacklo_epi32(load4(p), load4(p + n - 4));
    unsigned m = lanes.candidates(x) & 0xFFu;
    if (m & 0x0Fu) return i + lowest_bit(m);
    if (m) return i + n - 4 + lowest_bit(m >> 4);
    return len;
  }
  while (i < len && !e.stop[value[i]]) ++i;
  return i;
}
#else
template <int K>
struct Lanes {
  explicit Lanes(const EscapeTable&) {}
};

// Word scan: a word with no byte at or above 0x80 and none equal to a
// special byte is skipped whole; otherwise its bytes go through the table.
// Same result as the block scan above. Each special byte costs about as much
// per word as the table costs per byte, so beyond two the table alone is used.
template <int K>
inline size_t skip_plain(const unsigned char* value, size_t i, size_t len, const EscapeTable& e,
                         const Lanes<K>&) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  for (;;) {
    if (len - i < 8 || e.ascii_count > 2) {
      while (i < len && !e.stop[value[i]]) ++i;
      return i;
    }
    uint64_t w;
    std::memcpy(&w, value + i, 8);
    uint64_t hit = w & (e.high_lane[0] ? ~0ull : 0ull);
    for (int k = 0; k < e.ascii_count; ++k) {
      const uint64_t x = w ^ (kOnes * e.ascii_lanes[k][0]);
      // High bit set exactly where a byte of x is zero (no carries between bytes).
      hit |= ~(((x & kLow7) + kLow7) | x);
    }
    if ((hit & kHigh) == 0) {
      i += 8;
      continue;
    }
    const size_t end = i + 8;
    while (i < end && !e.stop[value[i]]) ++i;
    if (i < end) return i;
  }
}
#endif

// Position of the next byte at or after i that must be escaped, or len.
//
// This has to agree exactly with a scan that starts at byte 0 and walks one
// character at a time: i is always the start of a character there, and the
// run below only ever moves over whole characters. A character of several
// bytes is skipped whole (so a double-byte trail byte equal to a special
// byte is left alone), while a lead byte at the end of the value, or not
// followed by what completes its character, is a single byte and is escaped
// when special.
template <int K>
inline size_t next_special(const unsigned char* value, size_t i, size_t len,
                           const EscapeTable& e, const Lanes<K>& lanes) {
  while (i < len) {
    // Ordinary bytes: ASCII that is not special. This scan is the hot part.
    i = skip_plain(value, i, len, e, lanes);
    if (i == len) break;
    // Bytes at or above 0x80 tend to come in runs (text in another script):
    // the table walks them until the next plain byte.
    unsigned char b = value[i];
    while (b >= 0x80 || e.special[b]) {
      const size_t step = char_step(value, i, len, e);
      if (step > 1) {
        i += step;
      } else if (e.special[b]) {
        return i;
      } else {
        ++i;  // a single byte at or above 0x80 that is not special
      }
      if (i >= len) return len;
      b = value[i];
    }
  }
  return len;
}

template <int K>
size_t count_run(const unsigned char* value, size_t len, const EscapeTable& e) {
  const Lanes<K> lanes(e);
  size_t n = 0;
  size_t i = 0;
  while ((i = next_special(value, i, len, e, lanes)) < len) {
    ++n;
    ++i;
  }
  return n;
}

template <int K>
size_t escape_run(char* dest, const unsigned char* value, size_t len, const EscapeTable& e) {
  const Lanes<K> lanes(e);
  char* d = dest;
  size_t i = 0;
  while (i < len) {
    const size_t s = next_special(value, i, len, e, lanes);
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

namespace {

struct NamedWidth {
  const char* name;
  CharWidth width;
};

// Names besides the vendor's own that a user may give charset=.
constexpr NamedWidth kCommonNames[] = {
    {"UTF-8", CharWidth::kUtf8},        {"UTF8MB4", CharWidth::kUtf8},
    {"GBK", CharWidth::kDoubleByte},    {"GB18030", CharWidth::kDoubleByte},
    {"CP936", CharWidth::kDoubleByte},  {"BIG5", CharWidth::kDoubleByte},
    {"BIG5-HKSCS", CharWidth::kDoubleByte}, {"CP950", CharWidth::kDoubleByte},
    {"SJIS", CharWidth::kDoubleByte},   {"SHIFT_JIS", CharWidth::kDoubleByte},
    {"SHIFT-JIS", CharWidth::kDoubleByte}, {"CP932", CharWidth::kDoubleByte},
    {"EUC-JP", CharWidth::kDoubleByte}, {"EUC-KR", CharWidth::kDoubleByte},
    {"EUC-TW", CharWidth::kDoubleByte}, {"CP949", CharWidth::kDoubleByte},
    {"UHC", CharWidth::kDoubleByte},
};

bool same_text_nocase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return false;
  }
  return *a == *b;
}

bool starts_nocase(const char* text, const char* prefix) {
  for (; *prefix; ++text, ++prefix) {
    unsigned char x = static_cast<unsigned char>(*text);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (x != static_cast<unsigned char>(*prefix)) return false;
  }
  return true;
}

}  // namespace

bool charset_width_by_name(const char* name, CharWidth* width) {
  if (!name || !*name) return false;
  for (const NamedWidth& n : kCommonNames) {
    if (same_text_nocase(name, n.name)) {
      *width = n.width;
      return true;
    }
  }
  if (same_text_nocase(name, "UTF8") || same_text_nocase(name, "AL32UTF8")) {
    *width = CharWidth::kUtf8;
    return true;
  }
  // The vendor names its multi-byte East Asian sets language + bits per
  // character: JA16SJIS, KO16MSWIN949, ZHS16GBK, ZHS32GB18030, ZHT16BIG5 ...
  for (const char* prefix : {"JA16", "KO16", "ZHS16", "ZHS32", "ZHT16", "ZHT32"}) {
    if (starts_nocase(name, prefix)) {
      *width = CharWidth::kDoubleByte;
      return true;
    }
  }
  // Other names (US7ASCII, WE8MSWIN1252 ... or a misspelt one) are left
  // to the id the client library gives them.
  return false;
}

bool charset_width_by_id(uint16_t id, CharWidth* width) {
  switch (id) {
    case 0:
      return false;
    case 871: case 873:
      *width = CharWidth::kUtf8;
      return true;
    case 830: case 832: case 837: case 838: case 840: case 846:
    case 852: case 854: case 860: case 865: case 867: case 868:
      *width = CharWidth::kDoubleByte;
      return true;
    default:
      *width = CharWidth::kSingleByte;
      return true;
  }
}

size_t escape_char_length(const unsigned char* value, size_t i, size_t len, const EscapeTable& e) {
  return i < len ? char_step(value, i, len, e) : 1;
}

void build_escape_table(EscapeTable* e, char escape, const char* escf, const char* esct,
                        CharWidth width) {
  std::memset(e, 0, sizeof *e);
  if (!escf) escf = "";
  if (!esct) esct = "";
  e->escape = static_cast<unsigned char>(escape);
  e->on = e->escape != ' ';
  e->width = width;
  for (int b = 0; b < 256; ++b) {
    unsigned char n = 1;
    if (width == CharWidth::kDoubleByte && is_lead_byte(static_cast<unsigned char>(b))) n = 2;
    if (width == CharWidth::kUtf8 && b >= 0xC2 && b <= 0xF4) n = b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    e->seq_len[b] = n;
  }

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
  bool high_special = false;
  for (int b = 0x80; b < 256; ++b) high_special = high_special || e->special[b];
  const bool high_looked_at = width == CharWidth::kDoubleByte || high_special;
  std::memset(e->high_lane, high_looked_at ? 0xFF : 0, sizeof e->high_lane);
  for (int b = 0; b < 256; ++b) {
    e->stop[b] = e->special[b] || (high_looked_at && e->seq_len[b] > 1);
    if (e->special[b] && b < 0x80) std::memset(e->ascii_lanes[e->ascii_count++], b, 16);
  }
}

// The common escape settings have one to five special bytes below 0x80;
// each count gets a scan of its own that keeps them in registers.
size_t count_escapes(const unsigned char* value, size_t len, const EscapeTable& e) {
  if (!e.on) return 0;
#if defined(ROWVANE_SSE2)
  switch (e.ascii_count) {
    case 1: return count_run<1>(value, len, e);
    case 2: return count_run<2>(value, len, e);
    case 3: return count_run<3>(value, len, e);
    case 4: return count_run<4>(value, len, e);
    case 5: return count_run<5>(value, len, e);
    default: break;
  }
#endif
  return count_run<0>(value, len, e);
}

size_t escape_bytes(char* dest, const unsigned char* value, size_t len, const EscapeTable& e) {
  if (!e.on) {
    if (len) std::memcpy(dest, value, len);
    return len;
  }
#if defined(ROWVANE_SSE2)
  switch (e.ascii_count) {
    case 1: return escape_run<1>(dest, value, len, e);
    case 2: return escape_run<2>(dest, value, len, e);
    case 3: return escape_run<3>(dest, value, len, e);
    case 4: return escape_run<4>(dest, value, len, e);
    case 5: return escape_run<5>(dest, value, len, e);
    default: break;
  }
#endif
  return escape_run<0>(dest, value, len, e);
}

size_t hex_bytes(char* dest, const unsigned char* value, size_t len, bool upper) {
  size_t i = 0;
#if defined(ROWVANE_SSE2)
  // 16 bytes at a time: split into nibbles, interleave high before low, and
  // add '0', or 'a' - 10 for the nibbles above 9.
  const __m128i low4 = _mm_set1_epi8(0x0F);
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i zero_digit = _mm_set1_epi8('0');
  const __m128i letter_gap = _mm_set1_epi8(static_cast<char>((upper ? 'A' : 'a') - '0' - 10));
  auto digits = [&](__m128i nib) {
    __m128i above9 = _mm_cmpgt_epi8(nib, nine);
    return _mm_add_epi8(_mm_add_epi8(nib, zero_digit), _mm_and_si128(above9, letter_gap));
  };
  for (; i + 16 <= len; i += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(value + i));
    __m128i hi = _mm_and_si128(_mm_srli_epi16(x, 4), low4);
    __m128i lo = _mm_and_si128(x, low4);
    __m128i a = digits(_mm_unpacklo_epi8(hi, lo));
    __m128i b = digits(_mm_unpackhi_epi8(hi, lo));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + 2 * i), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dest + 2 * i + 16), b);
  }
#endif
  const char* pairs = upper ? kHexPairsUpper.data() : kHexPairs.data();
  for (; i < len; ++i) std::memcpy(dest + 2 * i, pairs + 2 * value[i], 2);
  return 2 * len;
}

bool type_is_escaped(uint16_t oracle_type) {
  switch (oracle_type) {
    case kTypeNumber: case kTypeVarnum:
    case kTypeDate: case kTypeDateStruct:
    case kTypeTimestampInternal: case kTypeTimestampTzInternal:
    case kTypeTimestamp: case kTypeTimestampTz: case kTypeTimestampLtz:
    case kTypeRowidBinary: case kTypeRowid:
    case kTypeVarraw: case kTypeRaw:
    case kTypeBlob: case kTypeBfile:
      return false;
    default:
      // Character, floating-point, interval, LONG and LONG RAW kinds; CLOB
      // and NCLOB text fetched inline (a LOB reference is never escaped).
      return true;
  }
}

}  // namespace rowvane
