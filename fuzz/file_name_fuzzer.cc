// Output file name expansion on arbitrary patterns, into buffers of every
// size.
//
// Properties: nothing is written past the output buffer (a heap block of
// exactly the size passed); the result is either -1 with an empty text or
// the length of a terminated name that fits; without date codes the name is
// exactly the pattern with %b, %p and "%x" replaced as the codes say; a
// name that does not fit is refused whole, never cut.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "unload/output.h"

namespace {

// The expansion without the clock: %b, %p, %n (the table name, put in
// before expansion, so nothing here), "%" + other byte, trailing "%".
// Returns false when the pattern holds a date code.
bool reference_expand(const std::string& pattern, int sequence, int piece, std::string* out) {
  out->clear();
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') {
      *out += pattern[i];
      continue;
    }
    if (i + 1 == pattern.size()) break;
    const char code = pattern[++i];
    switch (code) {
      case 'b': case 'B': *out += std::to_string(sequence); break;
      case 'p': case 'P': *out += std::to_string(piece); break;
      case 'n': case 'N': break;
      case 'y': case 'Y': case 'm': case 'M': case 'd': case 'D':
      case 'w': case 'W': case 't': case 'T': return false;
      default: *out += code; break;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t out_size = 1 + (static_cast<size_t>(data[0]) * 3) % 600;
  const int sequence = static_cast<int8_t>(data[1]) * 1000003;
  const int piece = static_cast<int8_t>(data[2]);
  std::string pattern(reinterpret_cast<const char*>(data + 3), size - 3);
  pattern.resize(strnlen(pattern.c_str(), pattern.size()));

  std::unique_ptr<char[]> out(new char[out_size]);
  std::memset(out.get(), 0x7f, out_size);
  const int n = rowvane::expand_file_name(pattern.c_str(), out.get(), out_size, sequence, piece);
  FUZZ_CHECK(n >= -1);
  if (n < 0) {
    FUZZ_CHECK(out[0] == '\0');
  } else {
    FUZZ_CHECK(static_cast<size_t>(n) < out_size);
    FUZZ_CHECK(strnlen(out.get(), out_size) == static_cast<size_t>(n));
  }

  std::string expected;
  if (reference_expand(pattern, sequence, piece, &expected)) {
    if (expected.size() < out_size && expected.find('\0') == std::string::npos) {
      FUZZ_CHECK(n >= 0 && expected == out.get());
    } else if (expected.size() >= out_size) {
      FUZZ_CHECK(n == -1);
    }
  }
  // A null pattern is an empty name.
  FUZZ_CHECK(rowvane::expand_file_name(nullptr, out.get(), out_size, 1, 1) == 0 && out[0] == '\0');
  return 0;
}
