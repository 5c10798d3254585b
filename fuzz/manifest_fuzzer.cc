// Manifest text through the reader a resumed run and join= use.
//
// Properties: the reader never overruns or recurses without bound, and a
// text it accepts is a fixed point: written again and read back, it gives
// the same text.

#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "parallel/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rowvane::Manifest m;
  std::string why;
  if (!rowvane::parse_manifest(reinterpret_cast<const char*>(data), size, &m, &why)) return 0;
  const std::string text = rowvane::manifest_text(m);
  rowvane::Manifest again;
  FUZZ_CHECK(rowvane::parse_manifest(text.data(), text.size(), &again, &why));
  FUZZ_CHECK(rowvane::manifest_text(again) == text);
  return 0;
}
