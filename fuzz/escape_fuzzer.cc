// Escaping, translation and the hex form on arbitrary settings and values.
//
// Input: byte 0 the escape byte, bytes 1 to 4 the lengths of escf, esct,
// sedf and sedt (each cut at its first zero byte, as the option fields are
// terminated texts; the top bits of byte 1 choose the character width of
// the target set), then those lists, then the value.
//
// Properties: escape_bytes writes exactly len + count_escapes bytes into a
// block of that size and agrees byte for byte with a scan that walks the
// value one character at a time from its start (characters of several
// bytes copied whole, the escape byte doubled, escf bytes replaced by their esct byte);
// translation agrees with a plain pairing of sedf and sedt; hex_bytes gives
// two lowercase digits per byte.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "escape_reference.h"
#include "fuzz_check.h"
#include "unload/values.h"

namespace {

// Pairs run from position 0 up to the first position (at most 10) where both
// lists hold the same byte or sedf ends; past the end of sedt its bytes are
// zero. The first pair of a repeated byte wins.
std::string reference_translate(std::string v, const std::string& sedf, const std::string& sedt) {
  size_t k = 0;
  while (k < 10 && k < sedf.size()) {
    const char t = k < sedt.size() ? sedt[k] : '\0';
    if (sedf[k] == t) break;
    ++k;
  }
  for (char& c : v) {
    for (size_t i = 0; i < k; ++i) {
      if (c == sedf[i]) {
        c = i < sedt.size() ? sedt[i] : '\0';
        break;
      }
    }
  }
  return v;
}

std::string take(const uint8_t** data, size_t* size, size_t want) {
  const size_t n = std::min(want, *size);
  std::string s(reinterpret_cast<const char*>(*data), n);
  *data += n;
  *size -= n;
  s.resize(strnlen(s.c_str(), s.size()));
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const char esc = static_cast<char>(data[0]);
  const size_t lens[4] = {data[1] % 64u, data[2] % 64u, data[3] % 64u, data[4] % 64u};
  const int width = (data[1] / 64u) % 3u;  // byte by byte, UTF-8, double-byte
  data += 5;
  size -= 5;
  const std::string escf = take(&data, &size, lens[0]);
  const std::string esct = take(&data, &size, lens[1]);
  const std::string sedf = take(&data, &size, lens[2]);
  const std::string sedt = take(&data, &size, lens[3]);
  const std::string value(reinterpret_cast<const char*>(data), size);
  const unsigned char* v = reinterpret_cast<const unsigned char*>(value.data());

  auto table = std::make_unique<rowvane::EscapeTable>();
  rowvane::build_escape_table(table.get(), esc, escf.c_str(), esct.c_str(),
                              static_cast<rowvane::CharWidth>(width));
  const std::string expected =
      reference_escape(value, static_cast<unsigned char>(esc), escf, esct, width);
  const size_t extra = rowvane::count_escapes(v, value.size(), *table);
  FUZZ_CHECK(value.size() + extra == expected.size());
  std::unique_ptr<char[]> out(new char[expected.size()]);
  const size_t written = rowvane::escape_bytes(out.get(), v, value.size(), *table);
  FUZZ_CHECK(written == expected.size());
  FUZZ_CHECK(std::memcmp(out.get(), expected.data(), written) == 0);

  rowvane::Translation t;
  rowvane::build_translation(&t, sedf.c_str(), sedt.c_str());
  std::string translated = value;
  rowvane::translate_bytes(reinterpret_cast<unsigned char*>(translated.data()), translated.size(), t);
  FUZZ_CHECK(translated == reference_translate(value, sedf, sedt));

  std::unique_ptr<char[]> hex(new char[2 * value.size()]);
  FUZZ_CHECK(rowvane::hex_bytes(hex.get(), v, value.size()) == 2 * value.size());
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < value.size(); ++i) {
    FUZZ_CHECK(hex[2 * i] == kDigits[v[i] >> 4] && hex[2 * i + 1] == kDigits[v[i] & 15]);
  }
  return 0;
}
