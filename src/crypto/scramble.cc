#include "crypto/scramble.h"

#include <cstdint>
#include <cstring>

namespace rowvane {

void scramble_words(unsigned char* buf, size_t len, const unsigned char key[8]) {
  // Both the key and each word are loaded in native order, so byte j of a
  // word always meets key byte j.
  uint64_t k;
  std::memcpy(&k, key, 8);
  for (size_t i = 0; i + 8 <= len; i += 8) {
    uint64_t w;
    std::memcpy(&w, buf + i, 8);
    w ^= k;
    std::memcpy(buf + i, &w, 8);
  }
}

}  // namespace rowvane
