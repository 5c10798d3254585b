// Single and triple DES against published known-answer data.

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>

#include "crypto/des.h"

using namespace rowvane;

namespace {

void to_bytes(uint64_t v, unsigned char out[8]) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(v >> (56 - 8 * i));
}

uint64_t des_once(uint64_t key, uint64_t block, int direction) {
  unsigned char k[8];
  to_bytes(key, k);
  DesSchedule s;
  des_set_key(k, direction, &s);
  uint32_t b[2] = {static_cast<uint32_t>(block >> 32), static_cast<uint32_t>(block)};
  des_crypt_block(b, s);
  return (static_cast<uint64_t>(b[0]) << 32) | b[1];
}

struct Vector {
  uint64_t key, plain, cipher;
};

void expect_vectors(const Vector* v, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(des_once(v[i].key, v[i].plain, kDesEncrypt), v[i].cipher);
    EXPECT_EQ(des_once(v[i].key, v[i].cipher, kDesDecrypt), v[i].plain);
  }
}

std::string hex(const unsigned char* p, size_t n) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

std::string unhex(const std::string& h) {
  std::string s;
  for (size_t i = 0; i + 1 < h.size(); i += 2) s += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
  return s;
}

}  // namespace

TEST(DesKnownAnswer, WorkedExampleAndClassicText) {
  const Vector v[] = {
      {0x133457799BBCDFF1ull, 0x0123456789ABCDEFull, 0x85E813540F0AB405ull},
      // "Now is t" under 0123456789abcdef
      {0x0123456789ABCDEFull, 0x4E6F772069732074ull, 0x3FA40E8A984D4815ull},
  };
  expect_vectors(v, std::size(v));
}

// Single-bit plaintexts and keys exercise every bit of the initial and final
// permutations and of the key schedule's PC-1/PC-2.
TEST(DesKnownAnswer, VariablePlaintextAndKey) {
  const Vector v[] = {
      {0x0101010101010101ull, 0x8000000000000000ull, 0x95F8A5E5DD31D900ull},
      {0x0101010101010101ull, 0x4000000000000000ull, 0xDD7F121CA5015619ull},
      {0x0101010101010101ull, 0x0000000000000001ull, 0x166B40B44ABA4BD6ull},
      {0x8001010101010101ull, 0x0000000000000000ull, 0x95A8D72813DAA94Dull},
      {0x4001010101010101ull, 0x0000000000000000ull, 0x0EEC1487DD8C26D5ull},
      {0x0101010101010180ull, 0x0000000000000000ull, 0x9CC62DF43B6EED74ull},
  };
  expect_vectors(v, std::size(v));
}

TEST(DesKnownAnswer, PermutationAndSubstitutionTables) {
  const Vector v[] = {
      {0x1046913489980131ull, 0x0000000000000000ull, 0x88D55E54F54C97B4ull},
      {0x7CA110454A1A6E57ull, 0x01A1D6D039776742ull, 0x690F5B0D9A26939Bull},
      {0x0131D9619DC1376Eull, 0x5CD54CA83DEF57DAull, 0x7A389D10354BD271ull},
  };
  expect_vectors(v, std::size(v));
}

TEST(DesKnownAnswer, ParityBitsAreIgnored) {
  // Flipping the low bit of every key byte changes only parity.
  EXPECT_EQ(des_once(0x133457799BBCDFF1ull ^ 0x0101010101010101ull, 0x0123456789ABCDEFull, kDesEncrypt),
            0x85E813540F0AB405ull);
  EXPECT_EQ(des_once(0x0000000000000000ull, 0x8000000000000000ull, kDesEncrypt), 0x95F8A5E5DD31D900ull);
}

// Keys and expected result computed independently with a general-purpose
// cryptography tool (three-key EDE, ECB, no padding); the same data is the
// worked example of the triple-DES recommendation.
TEST(TripleDes, ThreeKeyEdeMatchesIndependentResult) {
  const std::string keys = unhex("0123456789abcdef23456789abcdef01456789abcdef0123");
  const auto* k = reinterpret_cast<const unsigned char*>(keys.data());
  const std::string plain = "The qufck brown fox jump";
  const std::string want = "a826fd8ce53b855fcce21c8112256fe668d5c05dd9b6b900";

  Des3Schedule enc, dec;
  des3_set_keys(k, k + 8, k + 16, kDesEncrypt, &enc);
  des3_set_keys(k, k + 8, k + 16, kDesDecrypt, &dec);
  unsigned char buf[24];
  for (int b = 0; b < 3; ++b) {
    des3_crypt_block(reinterpret_cast<const unsigned char*>(plain.data()) + 8 * b, buf + 8 * b, enc);
  }
  EXPECT_EQ(hex(buf, 24), want);
  for (int b = 0; b < 3; ++b) des3_crypt_block(buf + 8 * b, buf + 8 * b, dec);  // in place
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 24), plain);
}

TEST(TripleDes, EqualKeysReduceToSingleDes) {
  unsigned char k[8], in[8], out[8];
  to_bytes(0x133457799BBCDFF1ull, k);
  to_bytes(0x0123456789ABCDEFull, in);
  Des3Schedule s;
  des3_set_keys(k, k, k, kDesEncrypt, &s);
  des3_crypt_block(in, out, s);
  EXPECT_EQ(hex(out, 8), "85e813540f0ab405");
  des3_set_keys(k, k, k, kDesDecrypt, &s);
  des3_crypt_block(out, out, s);
  EXPECT_EQ(hex(out, 8), "0123456789abcdef");
}
