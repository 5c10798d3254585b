// JSON text of one value: strings with UTF-8 checking, numbers, dates and
// timestamps, hex and LOB references.

#include "unload/json_values.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "unload/values.h"

#if !defined(ROWVANE_NO_SIMD) && \
    (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#define ROWVANE_JSON_SSE2 1
#include <emmintrin.h>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif
#endif

namespace rowvane {

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// True when one of the eight bytes of w is below 0x20, at or above 0x80,
// or a '"' or '\\': the bytes a plain copy cannot take.
inline bool word_needs_care(uint64_t w) {
  auto has_byte = [](uint64_t x, unsigned char b) {
    uint64_t y = x ^ (kOnes * b);
    return (y - kOnes) & ~y & kHighs;
  };
  uint64_t below_space = (w - kOnes * 0x20) & ~w & kHighs;
  return (below_space | (w & kHighs) | has_byte(w, '"') | has_byte(w, '\\')) != 0;
}

inline bool plain_byte(unsigned char b) { return b >= 0x20 && b < 0x80 && b != '"' && b != '\\'; }

// The end of the run of bytes from v[i] that are copied as they are
// (plain_byte): 16 bytes at a time where SSE2 is there, else 8.
inline size_t plain_run(const unsigned char* v, size_t i, size_t n) {
#if defined(ROWVANE_JSON_SSE2)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control = _mm_set1_epi8(0x1F);
  for (; i + 16 <= n; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
    // Bytes up to 0x1F equal their minimum with 0x1F; bytes from 0x80 on
    // carry their own high bit into the mask.
    __m128i hit = _mm_cmpeq_epi8(_mm_min_epu8(x, control), x);
    hit = _mm_or_si128(hit, _mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)));
    const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(hit, x)));
    if (m != 0) {
#if defined(_MSC_VER) && !defined(__clang__)
      unsigned long k;
      _BitScanForward(&k, m);
      return i + k;
#else
      return i + static_cast<unsigned>(__builtin_ctz(m));
#endif
    }
  }
#endif
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, v + i, 8);
    if (word_needs_care(w)) break;
  }
  while (i < n && plain_byte(v[i])) ++i;
  return i;
}

// Length of the well-formed UTF-8 sequence at v[i] (2 to 4), or 0.
inline size_t utf8_sequence(const unsigned char* v, size_t i, size_t n) {
  const unsigned char b = v[i];
  auto cont = [&](size_t k) { return i + k < n && (v[i + k] & 0xC0) == 0x80; };
  if (b >= 0xC2 && b <= 0xDF) return cont(1) ? 2 : 0;
  if (b >= 0xE0 && b <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    const unsigned char b1 = v[i + 1];
    if (b == 0xE0 && b1 < 0xA0) return 0;   // overlong
    if (b == 0xED && b1 >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (b >= 0xF0 && b <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    const unsigned char b1 = v[i + 1];
    if (b == 0xF0 && b1 < 0x90) return 0;  // overlong
    if (b == 0xF4 && b1 >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

size_t put_text(char* dest, const char* text) {
  size_t n = std::strlen(text);
  std::memcpy(dest, text, n);
  return n;
}

// A JSON string of the text's bytes, quotes included.
size_t quoted(char* dest, const char* text, size_t n) {
  char* p = dest;
  *p++ = '"';
  p += json_string(p, reinterpret_cast<const unsigned char*>(text), n, BadUtf8::kReplace);
  *p++ = '"';
  return static_cast<size_t>(p - dest);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ci(const char* text, size_t n, const char* word) {
  if (std::strlen(word) != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    if (c != word[i]) return false;
  }
  return true;
}

// Reads an optionally signed decimal integer of text[*i, end); false when
// there are no digits.
bool read_integer(const char* text, size_t end, size_t* i, int64_t* out) {
  bool negative = *i < end && text[*i] == '-';
  if (negative) ++*i;
  size_t start = *i;
  int64_t v = 0;
  while (*i < end && is_digit(text[*i]) && *i - start < 18) v = v * 10 + (text[(*i)++] - '0');
  if (*i == start || (*i < end && is_digit(text[*i]))) return false;
  *out = negative ? -v : v;
  return true;
}

}  // namespace

size_t json_string(char* dest, const unsigned char* v, size_t n, BadUtf8 policy,
                   size_t* bad_offset) {
  static constexpr char kHex[] = "0123456789abcdef";
  char* p = dest;
  size_t i = 0;
  while (i < n) {
    const size_t end = plain_run(v, i, n);
    std::memcpy(p, v + i, end - i);
    p += end - i;
    i = end;
    if (i >= n) break;
    const unsigned char b = v[i];
    if (b < 0x80) {
      *p++ = '\\';
      switch (b) {
        case '"': *p++ = '"'; break;
        case '\\': *p++ = '\\'; break;
        case '\b': *p++ = 'b'; break;
        case '\f': *p++ = 'f'; break;
        case '\n': *p++ = 'n'; break;
        case '\r': *p++ = 'r'; break;
        case '\t': *p++ = 't'; break;
        default:
          std::memcpy(p, "u00", 3);
          p[3] = kHex[b >> 4];
          p[4] = kHex[b & 15];
          p += 5;
          break;
      }
      ++i;
    } else if (size_t k = utf8_sequence(v, i, n)) {
      std::memcpy(p, v + i, k);
      p += k;
      i += k;
    } else if (policy == BadUtf8::kReplace) {
      std::memcpy(p, "\xEF\xBF\xBD", 3);
      p += 3;
      ++i;
    } else {
      if (bad_offset) *bad_offset = i;
      return kJsonRefused;
    }
  }
  return static_cast<size_t>(p - dest);
}

size_t json_number(char* dest, const char* text, size_t n) {
  size_t i = 0;
  char* p = dest;
  bool negative = false;
  if (i < n && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  const char* rest = text + i;
  const size_t rest_n = n - i;
  if (equals_ci(rest, rest_n, "nan")) return put_text(dest, "\"NaN\"");
  if (equals_ci(rest, rest_n, "inf") || equals_ci(rest, rest_n, "infinity") ||
      equals_ci(rest, rest_n, "binary_double_infinity") ||
      equals_ci(rest, rest_n, "binary_float_infinity")) {
    return put_text(dest, negative ? "\"-Infinity\"" : "\"Infinity\"");
  }
  if (equals_ci(rest, rest_n, "binary_double_nan") || equals_ci(rest, rest_n, "binary_float_nan")) {
    return put_text(dest, "\"NaN\"");
  }

  if (negative) *p++ = '-';
  size_t int_digits = 0;
  while (i < n && is_digit(text[i])) {
    // Leading zeros of the integer part are not JSON: "007" is "7".
    if (int_digits == 1 && p[-1] == '0') --p, --int_digits;
    *p++ = text[i++];
    ++int_digits;
  }
  size_t frac_digits = 0;
  if (i < n && text[i] == '.') {
    ++i;
    if (int_digits == 0) *p++ = '0', ++int_digits;
    char* dot = p;
    *p++ = '.';
    while (i < n && is_digit(text[i])) *p++ = text[i++], ++frac_digits;
    if (frac_digits == 0) p = dot;  // "5." is 5
  }
  if (int_digits == 0) return quoted(dest, text, n);
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    *p++ = 'E';
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) *p++ = text[i++];
    size_t exp_digits = 0;
    while (i < n && is_digit(text[i])) *p++ = text[i++], ++exp_digits;
    if (exp_digits == 0) return quoted(dest, text, n);
  }
  if (i != n) return quoted(dest, text, n);
  return static_cast<size_t>(p - dest);
}

size_t json_datetime(char* dest, const char* text, size_t n) {
  // Date and time: "YYYY-MM-DD HH:MI:SS", 19 bytes at least.
  bool shape = n >= 19 && text[4] == '-' && text[7] == '-' && text[10] == ' ' && text[13] == ':' &&
               text[16] == ':';
  for (size_t k : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18}) {
    if (!shape) break;
    shape = is_digit(text[k]);
  }
  if (!shape) return quoted(dest, text, n);
  char* p = dest;
  *p++ = '"';
  std::memcpy(p, text, 19);
  p[10] = 'T';
  p += 19;
  size_t i = 19;
  if (i < n && (text[i] == '.' || text[i] == ',')) {
    size_t start = i + 1;
    size_t j = start;
    while (j < n && is_digit(text[j])) ++j;
    if (j > start) {
      *p++ = '.';
      std::memcpy(p, text + start, j - start);
      p += j - start;
    }
    i = j;
  }
  if (i < n && text[i] == ' ') ++i;
  // The offset "+HH:MM" / "-HH:MM" (a region name stays as written).
  if (i < n) {
    p += json_string(p, reinterpret_cast<const unsigned char*>(text + i), n - i, BadUtf8::kReplace);
  }
  *p++ = '"';
  return static_cast<size_t>(p - dest);
}

size_t json_hex(char* dest, const unsigned char* v, size_t n) {
  dest[0] = '"';
  size_t w = hex_bytes(dest + 1, v, n, true);
  dest[1 + w] = '"';
  return w + 2;
}

size_t json_lob_reference(char* dest, const char* ref, size_t n) {
  // "name.offset.length/": the two numbers are found from the end, so the
  // name may hold dots of its own.
  size_t end = n;
  if (end > 0 && ref[end - 1] == '/') --end;
  size_t dot2 = end;
  while (dot2 > 0 && ref[dot2 - 1] != '.') --dot2;
  size_t dot1 = dot2 > 0 ? dot2 - 1 : 0;
  while (dot1 > 0 && ref[dot1 - 1] != '.') --dot1;
  int64_t offset = 0;
  int64_t length = 0;
  size_t i = dot1;
  size_t j = dot2;
  if (end == n || dot2 == 0 || dot1 == 0 || !read_integer(ref, dot2 - 1, &i, &offset) ||
      i != dot2 - 1 || !read_integer(ref, end, &j, &length) || j != end) {
    return quoted(dest, ref, n);
  }
  char* p = dest;
  p += put_text(p, "{\"file\":\"");
  p += json_string(p, reinterpret_cast<const unsigned char*>(ref), dot1 - 1, BadUtf8::kReplace);
  p += std::sprintf(p, "\",\"offset\":%lld,\"length\":%lld}", static_cast<long long>(offset),
                    static_cast<long long>(length));
  return static_cast<size_t>(p - dest);
}

}  // namespace rowvane
