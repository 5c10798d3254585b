// format_number and format_date on arbitrary bytes, and their round trips
// with the embedded engine's encoders.
//
// Properties: neither writes past the 256-byte scratch area (a heap block
// of exactly that size); format_number yields only sign, digits and one
// point; format_date yields 19 or 26 bytes for the lengths it takes and
// nothing for the others; a number or date text, encoded into the internal
// form and written back as text, encodes to the same bytes again.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "db/embedded/engine.h"
#include "fuzz_check.h"
#include "unload/values.h"

namespace {

using rowvane::kValueScratch;

std::unique_ptr<char[]> scratch() {
  std::unique_ptr<char[]> out(new char[kValueScratch]);
  std::memset(out.get(), 0x7f, kValueScratch);
  return out;
}

void check_number_text(const char* text, int n) {
  FUZZ_CHECK(n >= 0 && n <= kValueScratch);
  int points = 0;
  for (int i = 0; i < n; ++i) {
    const char c = text[i];
    FUZZ_CHECK((c >= '0' && c <= '9') || c == '.' || (c == '-' && i == 0));
    points += c == '.';
  }
  FUZZ_CHECK(points <= 1);
}

void number_bytes(const uint8_t* data, size_t size) {
  auto out = scratch();
  const int n = rowvane::format_number(data, static_cast<int>(std::min<size_t>(size, 64)), out.get());
  check_number_text(out.get(), n);
  FUZZ_CHECK((n == 0) == (size == 0));
}

void date_bytes(const uint8_t* data, size_t size) {
  auto out = scratch();
  const int len = static_cast<int>(std::min<size_t>(size, 64));
  const int n = rowvane::format_date(data, len, out.get());
  if (len == 7) FUZZ_CHECK(n == 19);
  else if (len == 11 || len == 13) FUZZ_CHECK(n == 26 || n == 27);
  else FUZZ_CHECK(n == 0);
}

void number_round_trip(const std::string& text) {
  unsigned char first[22];
  const int n1 = rowvane::encode_oracle_number(text.data(), text.size(), first);
  if (n1 <= 0) return;
  FUZZ_CHECK(n1 <= 21);
  auto out = scratch();
  const int len = rowvane::format_number(first, n1, out.get());
  check_number_text(out.get(), len);
  unsigned char second[22];
  const int n2 = rowvane::encode_oracle_number(out.get(), static_cast<size_t>(len), second);
  FUZZ_CHECK(n2 == n1);
  FUZZ_CHECK(std::memcmp(first, second, static_cast<size_t>(n1)) == 0);
}

void date_round_trip(const std::string& text) {
  unsigned char first[11];
  const int n1 = rowvane::encode_oracle_date(text.data(), text.size(), first);
  if (n1 <= 0) return;
  FUZZ_CHECK(n1 == 7 || n1 == 11);
  auto out = scratch();
  const int len = rowvane::format_date(first, n1, out.get());
  FUZZ_CHECK(len == (n1 == 7 ? 19 : 26));
  unsigned char second[11];
  const int n2 = rowvane::encode_oracle_date(out.get(), static_cast<size_t>(len), second);
  FUZZ_CHECK(n2 == 7 || n2 == 11);
  // Nanoseconds below a microsecond are not written; the rest is the same.
  FUZZ_CHECK(std::memcmp(first, second, 7) == 0);
  auto again = scratch();
  const int len2 = rowvane::format_date(second, n2, again.get());
  FUZZ_CHECK(std::memcmp(out.get(), again.get(), 19) == 0);
  if (n2 == 11) {
    FUZZ_CHECK(len2 == len && std::memcmp(out.get(), again.get(), static_cast<size_t>(len)) == 0);
  } else {
    // A fraction below one microsecond is written as zeros and read back as none.
    FUZZ_CHECK(len == 19 || std::string(out.get() + 19, 7) == ".000000");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  number_bytes(data, size);
  date_bytes(data, size);
  const std::string text(reinterpret_cast<const char*>(data), std::min<size_t>(size, 4096));
  number_round_trip(text);
  date_round_trip(text);
  return 0;
}
