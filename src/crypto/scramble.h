// Scrambling of output files: the light cipher of crack= (and its undoing,
// which is the same operation).
#pragma once

#include <cstddef>

namespace rowvane {

// XORs every complete 8-byte word of buf[0, len) with the 8-byte key, in
// place; a tail of fewer than 8 bytes is left alone. The caller keeps the
// stream's word boundaries (and leaves its last 1 to 8 bytes plain).
void scramble_words(unsigned char* buf, size_t len, const unsigned char key[8]);

}  // namespace rowvane
