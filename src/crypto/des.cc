// Single DES as FIPS 46-3 defines it, in the usual table-driven form.
//
// Bit numbering follows the standard: bit 1 of a block is the most
// significant bit of its first byte, so a block held as two big-endian
// 32-bit words has bit 1 in the top bit of word 0.
//
// The block function never performs the expansion E explicitly. After the
// initial permutation both halves are rotated left by one bit; in that form
// the eight 6-bit groups that E would produce sit at bit offsets 24, 16, 8
// and 0 of either the half itself (groups 2, 4, 6, 8) or the half rotated
// right by four (groups 1, 3, 5, 7). The round subkeys are packed to match,
// and the S-box tables deliver P's output already rotated left by one.

#include "crypto/des.h"

#include <array>
#include <cstring>

namespace rowvane {
namespace {

// ---- Tables of the standard (1-based bit positions) ----

constexpr unsigned char kPc1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,  //
    10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,  //
    63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,  //
    14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr unsigned char kPc2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10,  //
    23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,   //
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,  //
    44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr unsigned char kRotations[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr unsigned char kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                                  2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

// S-boxes: row (bits 1 and 6 of the group) by column (bits 2 to 5).
constexpr unsigned char kSbox[8][4][16] = {
    {{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
     {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
     {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
     {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
    {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
     {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
     {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
     {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
    {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
     {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
     {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
     {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
    {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
     {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
     {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
     {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
    {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
     {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
     {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
     {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
    {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
     {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
     {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
     {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
    {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
     {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
     {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
     {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
    {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
     {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
     {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
     {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}}};

// A mistyped entry would break the cipher silently; every row of every
// S-box must be a permutation of 0..15 and P a permutation of 1..32.
constexpr bool tables_are_permutations() {
  for (const auto& box : kSbox) {
    for (const auto& row : box) {
      unsigned seen = 0;
      for (unsigned char v : row) seen |= 1u << v;
      if (seen != 0xffffu) return false;
    }
  }
  unsigned long long seen = 0;
  for (unsigned char v : kP) seen |= 1ull << v;
  return seen == 0x1fffffffeull;
}
static_assert(tables_are_permutations(), "DES S-box or P table mistyped");

constexpr uint32_t rotl32(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
constexpr uint32_t rotr32(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// kSp[i][g]: S-box i+1 applied to the 6-bit group g, its 4-bit result placed
// at bits 4i+1..4i+4, sent through P and rotated left by one (the form the
// halves are kept in during the rounds).
using SpTables = std::array<std::array<uint32_t, 64>, 8>;

constexpr SpTables make_sp_tables() {
  SpTables sp{};
  for (int box = 0; box < 8; ++box) {
    for (int g = 0; g < 64; ++g) {
      int row = ((g >> 4) & 2) | (g & 1);
      int col = (g >> 1) & 15;
      uint32_t s = static_cast<uint32_t>(kSbox[box][row][col]) << (28 - 4 * box);
      uint32_t p = 0;
      for (int out = 0; out < 32; ++out) {
        // Output bit out+1 takes input bit kP[out].
        if (s & (0x80000000u >> (kP[out] - 1))) p |= 0x80000000u >> out;
      }
      sp[box][g] = rotl32(p, 1);
    }
  }
  return sp;
}

constexpr SpTables kSp = make_sp_tables();

// Initial permutation by masked bit swaps, leaving both halves rotated left
// by one for the round function.
inline void initial_permutation(uint32_t& left, uint32_t& right) {
  uint32_t t;
  t = ((left >> 4) ^ right) & 0x0f0f0f0fu;
  right ^= t;
  left ^= t << 4;
  t = ((left >> 16) ^ right) & 0x0000ffffu;
  right ^= t;
  left ^= t << 16;
  t = ((right >> 2) ^ left) & 0x33333333u;
  left ^= t;
  right ^= t << 2;
  t = ((right >> 8) ^ left) & 0x00ff00ffu;
  left ^= t;
  right ^= t << 8;
  right = rotl32(right, 1);
  t = (left ^ right) & 0xaaaaaaaau;
  left ^= t;
  right ^= t;
  left = rotl32(left, 1);
}

// The exact inverse of initial_permutation (undoing the rotations too), on
// the pre-output block (first, second).
inline void final_permutation(uint32_t& left, uint32_t& right) {
  uint32_t t;
  left = rotr32(left, 1);
  t = (left ^ right) & 0xaaaaaaaau;
  left ^= t;
  right ^= t;
  right = rotr32(right, 1);
  t = ((right >> 8) ^ left) & 0x00ff00ffu;
  left ^= t;
  right ^= t << 8;
  t = ((right >> 2) ^ left) & 0x33333333u;
  left ^= t;
  right ^= t << 2;
  t = ((left >> 16) ^ right) & 0x0000ffffu;
  right ^= t;
  left ^= t << 16;
  t = ((left >> 4) ^ right) & 0x0f0f0f0fu;
  right ^= t;
  left ^= t << 4;
}

// f(R, K) for a half kept rotated left by one; k points at the round's two
// subkey words (groups 1, 3, 5, 7 and groups 2, 4, 6, 8).
inline uint32_t round_function(uint32_t half, const uint32_t* k) {
  uint32_t w = rotr32(half, 4) ^ k[0];
  uint32_t f = kSp[6][w & 0x3f] | kSp[4][(w >> 8) & 0x3f] | kSp[2][(w >> 16) & 0x3f] |
               kSp[0][(w >> 24) & 0x3f];
  w = half ^ k[1];
  f |= kSp[7][w & 0x3f] | kSp[5][(w >> 8) & 0x3f] | kSp[3][(w >> 16) & 0x3f] |
       kSp[1][(w >> 24) & 0x3f];
  return f;
}

}  // namespace

void des_set_key(const unsigned char key[8], int direction, DesSchedule* out) {
  uint64_t k = 0;
  for (int i = 0; i < 8; ++i) k = (k << 8) | key[i];

  // PC-1 into C (bits 1-28) and D (bits 29-56), each kept in the low 28 bits.
  uint32_t c = 0, d = 0;
  for (int i = 0; i < 28; ++i) {
    c = (c << 1) | static_cast<uint32_t>((k >> (64 - kPc1[i])) & 1);
    d = (d << 1) | static_cast<uint32_t>((k >> (64 - kPc1[i + 28])) & 1);
  }

  uint32_t rounds[16][2];
  for (int r = 0; r < 16; ++r) {
    for (int n = 0; n < kRotations[r]; ++n) {
      c = ((c << 1) | (c >> 27)) & 0x0fffffffu;
      d = ((d << 1) | (d >> 27)) & 0x0fffffffu;
    }
    uint64_t cd = (static_cast<uint64_t>(c) << 28) | d;  // bit 1 of CD at bit 55
    uint64_t sub = 0;                                      // 48 bits, bit 1 at bit 47
    for (int i = 0; i < 48; ++i) sub = (sub << 1) | ((cd >> (56 - kPc2[i])) & 1);
    uint32_t even_groups = 0, odd_groups = 0;  // groups 1,3,5,7 / 2,4,6,8 (1-based)
    for (int g = 0; g < 8; ++g) {
      uint32_t bits = static_cast<uint32_t>((sub >> (42 - 6 * g)) & 0x3f);
      int shift = 24 - 8 * (g / 2);
      if (g % 2 == 0) {
        even_groups |= bits << shift;
      } else {
        odd_groups |= bits << shift;
      }
    }
    rounds[r][0] = even_groups;
    rounds[r][1] = odd_groups;
  }

  for (int r = 0; r < 16; ++r) {
    int from = direction == kDesDecrypt ? 15 - r : r;
    out->k[2 * r] = rounds[from][0];
    out->k[2 * r + 1] = rounds[from][1];
  }
}

void des_crypt_block(uint32_t block[2], const DesSchedule& schedule) {
  uint32_t left = block[0];
  uint32_t right = block[1];
  initial_permutation(left, right);
  // Two rounds per step, so the halves never need swapping.
  const uint32_t* k = schedule.k;
  for (int r = 0; r < 8; ++r) {
    left ^= round_function(right, k);
    right ^= round_function(left, k + 2);
    k += 4;
  }
  // The pre-output block is R16 L16.
  final_permutation(right, left);
  block[0] = right;
  block[1] = left;
}

void des3_set_keys(const unsigned char* k1, const unsigned char* k2, const unsigned char* k3,
                   int direction, Des3Schedule* out) {
  if (direction == kDesDecrypt) {
    des_set_key(k3, kDesDecrypt, &out->s[0]);
    des_set_key(k2, kDesEncrypt, &out->s[1]);
    des_set_key(k1, kDesDecrypt, &out->s[2]);
  } else {
    des_set_key(k1, kDesEncrypt, &out->s[0]);
    des_set_key(k2, kDesDecrypt, &out->s[1]);
    des_set_key(k3, kDesEncrypt, &out->s[2]);
  }
}

void des3_crypt_block(const unsigned char in[8], unsigned char out[8], const Des3Schedule& schedule) {
  uint32_t block[2];
  for (int h = 0; h < 2; ++h) {
    block[h] = (static_cast<uint32_t>(in[4 * h]) << 24) | (static_cast<uint32_t>(in[4 * h + 1]) << 16) |
               (static_cast<uint32_t>(in[4 * h + 2]) << 8) | in[4 * h + 3];
  }
  for (const DesSchedule& s : schedule.s) des_crypt_block(block, s);
  for (int h = 0; h < 2; ++h) {
    out[4 * h] = static_cast<unsigned char>(block[h] >> 24);
    out[4 * h + 1] = static_cast<unsigned char>(block[h] >> 16);
    out[4 * h + 2] = static_cast<unsigned char>(block[h] >> 8);
    out[4 * h + 3] = static_cast<unsigned char>(block[h]);
  }
}

}  // namespace rowvane
