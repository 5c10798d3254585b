// The login cipher: triple DES with two built-in key sets, used for
// encrypted logins and for the program's own enciphered texts.
//
// This file is also compiled into the stored-text generator, so the keys
// below are the only copy of them: changing a key changes what the generator
// writes and what the program deciphers at the same time. (Encrypted logins
// printed by an earlier build then no longer decode.)

#include "crypto/login_cipher.h"

#include <cstring>

#include "config/messages.h"
#include "crypto/des.h"

namespace rowvane {
namespace {

// Key set A (K1, K2, K3) and key set B (K4, K5, K6). Parity bits are ignored.
constexpr unsigned char kKey1[8] = {0x34, 0x51, 0x14, 0xc4, 0xc4, 0x12, 0xed, 0x3a};
constexpr unsigned char kKey2[8] = {0x78, 0x49, 0x88, 0xc5, 0xa7, 0x2d, 0xe7, 0x15};
constexpr unsigned char kKey3[8] = {0xd0, 0xb7, 0xf7, 0x1f, 0x72, 0x4e, 0xbe, 0x56};
constexpr unsigned char kKey4[8] = {0x21, 0xbe, 0x1d, 0x3a, 0xc4, 0x69, 0x85, 0x7f};
constexpr unsigned char kKey5[8] = {0x81, 0x25, 0x74, 0x11, 0x9c, 0xc1, 0xb6, 0x6b};
constexpr unsigned char kKey6[8] = {0xe9, 0x2f, 0x87, 0xaf, 0x1a, 0x97, 0x6a, 0x79};

constexpr size_t kLoginBlockBytes = 64;
constexpr size_t kUnitBytes = 16;

// Applies key set `first` to bytes 0-7 and key set `second` to bytes 8-15
// of every 16-byte unit. The schedules live only for this call.
void crypt_units(unsigned char* buf, size_t units, bool first_is_a, int direction) {
  Des3Schedule a, b;
  des3_set_keys(kKey1, kKey2, kKey3, direction, &a);
  des3_set_keys(kKey4, kKey5, kKey6, direction, &b);
  const Des3Schedule& first = first_is_a ? a : b;
  const Des3Schedule& second = first_is_a ? b : a;
  for (size_t u = 0; u < units; ++u) {
    unsigned char* unit = buf + u * kUnitBytes;
    des3_crypt_block(unit, unit, first);
    des3_crypt_block(unit + 8, unit + 8, second);
  }
}

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void encrypt_login_block(unsigned char block[64]) {
  crypt_units(block, kLoginBlockBytes / kUnitBytes, true, kDesEncrypt);
}

void decrypt_login_block(unsigned char block[64]) {
  crypt_units(block, kLoginBlockBytes / kUnitBytes, true, kDesDecrypt);
}

void decipher_stored_text(unsigned char* buf, size_t units) {
  crypt_units(buf, units, false, kDesDecrypt);
}

void encipher_stored_text(unsigned char* buf, size_t units) {
  crypt_units(buf, units, false, kDesEncrypt);
}

int print_encrypted_login(const UnloadJob& job, FILE* out) {
  constexpr size_t kUserBytes = sizeof job.user;
  size_t length = strnlen(job.user, kUserBytes);
  // Only the first 64 bytes are enciphered; printing more would show the
  // rest of the login in the clear, and the parser could not take the
  // longer value back anyway.
  if (length > kLoginBlockBytes) {
    std::fputs(kMsgLoginTooLongToEncrypt, out);
    return 1;
  }
  size_t n = (length + 7) / 8 * 8;

  unsigned char work[kUserBytes];
  std::memcpy(work, job.user, kUserBytes);
  encrypt_login_block(work);

  char line[5 + 2 * kLoginBlockBytes + 3];
  size_t pos = 0;
  std::memcpy(line, "user=", 5);
  pos = 5;
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    line[pos++] = kDigits[work[i] >> 4];
    line[pos++] = kDigits[work[i] & 15];
    if (i == 31) line[pos++] = '\n';
  }
  line[pos++] = '\n';
  std::fwrite(line, 1, pos, out);
  std::memset(work, 0, sizeof work);
  return 0;
}

void decode_login(UnloadJob* job) {
  constexpr size_t kUserBytes = sizeof job->user;
  // One byte short of the buffer, so a value without terminator still
  // decodes into at most 66 bytes.
  size_t length = strnlen(job->user, kUserBytes - 1);
  if (length == 0) return;
  for (size_t i = 0; i < length; ++i) {
    if (hex_value(static_cast<unsigned char>(job->user[i])) < 0) return;
  }

  unsigned char work[kUserBytes] = {};
  for (size_t i = 0; 2 * i < length; ++i) {
    int high = hex_value(static_cast<unsigned char>(job->user[2 * i]));
    // The digit after the last one of an odd count is the terminator: 0.
    int low = 2 * i + 1 < length ? hex_value(static_cast<unsigned char>(job->user[2 * i + 1])) : 0;
    work[i] = static_cast<unsigned char>(16 * high + low);
  }
  decrypt_login_block(work);
  work[length / 2] = 0;
  std::memcpy(job->user, work, kUserBytes);
  std::memset(work, 0, sizeof work);
}

}  // namespace rowvane
