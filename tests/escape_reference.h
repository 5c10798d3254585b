// The escaping as a plain scan from the first byte, one character at a time:
// a double-byte pair (lead 0x81-0xFE, trail 0x40-0x7E or 0x80-0xFE) is copied
// whole, the escape byte is doubled, a byte of escf becomes the escape byte
// and the esct byte at the same position. A blank escape byte turns escaping
// off. The tests and the escaping fuzzer check the fast scanner against it.
#pragma once

#include <cstddef>
#include <string>

inline std::string reference_escape(const std::string& value, unsigned char esc,
                                    const std::string& escf, const std::string& esct) {
  if (esc == ' ') return value;
  size_t pairs = 0;
  while (pairs < 20 && pairs < escf.size() && pairs < esct.size() && escf[pairs] && esct[pairs]) {
    ++pairs;
  }
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(value[i]);
    if (i + 1 < value.size() && b >= 0x81 && b <= 0xFE) {
      unsigned char t = static_cast<unsigned char>(value[i + 1]);
      if ((t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFE)) {
        out += value[i];
        out += value[++i];
        continue;
      }
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
