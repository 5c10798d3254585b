// Single and triple DES (FIPS 46-3), table-driven, no chaining.
#pragma once

#include <cstdint>

namespace rowvane {

// The 16 round subkeys of one key for one direction: two words per round,
// each carrying four 6-bit subkey groups, in the order the block function
// consumes them (reversed for decryption).
struct DesSchedule {
  uint32_t k[32];
};

constexpr int kDesEncrypt = 0;
constexpr int kDesDecrypt = 1;

void des_set_key(const unsigned char key[8], int direction, DesSchedule* out);
// One DES operation on the block held as two big-endian halves, in place.
void des_crypt_block(uint32_t block[2], const DesSchedule& schedule);

struct Des3Schedule {
  DesSchedule s[3];  // in the order they are applied
};
// Encrypt-decrypt-encrypt (or its inverse) as set up in schedule; in and out
// may be the same place.
void des3_crypt_block(const unsigned char in[8], unsigned char out[8], const Des3Schedule& schedule);
void des3_set_keys(const unsigned char* k1, const unsigned char* k2, const unsigned char* k3,
                   int direction, Des3Schedule* out);

}  // namespace rowvane
