// The escaping as a plain scan from the first byte, one character at a time:
// a character of several bytes (a double-byte pair: lead 0x81-0xFE, trail
// 0x40-0x7E or 0x80-0xFE; or a well-formed UTF-8 sequence) is copied whole,
// the escape byte is doubled, a byte of escf becomes the escape byte and the
// esct byte at the same position. A blank escape byte turns escaping
// off. The tests and the escaping fuzzer check the fast scanner against it.
#pragma once

#include <cstddef>
#include <string>

// width: 0 byte by byte, 1 whole UTF-8 sequences, 2 double-byte pairs (the
// default).
inline size_t reference_char_length(const std::string& v, size_t i, int width) {
  const unsigned char b = static_cast<unsigned char>(v[i]);
  if (width == 2) {
    if (i + 1 < v.size() && b >= 0x81 && b <= 0xFE) {
      unsigned char t = static_cast<unsigned char>(v[i + 1]);
      if ((t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFE)) return 2;
    }
    return 1;
  }
  if (width == 1 && b >= 0xC2 && b <= 0xF4) {
    const size_t n = b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    if (i + n > v.size()) return 1;
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(v[i + k]) & 0xC0) != 0x80) return 1;
    }
    return n;
  }
  return 1;
}

inline std::string reference_escape(const std::string& value, unsigned char esc,
                                    const std::string& escf, const std::string& esct,
                                    int width = 2) {
  if (esc == ' ') return value;
  size_t pairs = 0;
  while (pairs < 20 && pairs < escf.size() && pairs < esct.size() && escf[pairs] && esct[pairs]) {
    ++pairs;
  }
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(value[i]);
    const size_t n = reference_char_length(value, i, width);
    if (n > 1) {
      out.append(value, i, n);
      i += n - 1;
      continue;
    }
    if (b == esc) {
      out += static_cast<char>(esc);
      out += static_cast<char>(esc);
      continue;
    }
    size_t k = 0;
    while (k < pairs && static_cast<unsigned char>(escf[k]) != b) ++k;
    if (k < pairs) {
      out += static_cast<char>(esc);
      out += esct[k];
    } else {
      out += value[i];
    }
  }
  return out;
}
