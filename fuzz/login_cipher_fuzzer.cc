// An encrypted login given back: decode_login on arbitrary user= buffers,
// and the round trip through print_encrypted_login.
//
// Properties: decode_login never reads or writes past the 132-byte user
// buffer, even one without a terminator, and leaves it terminated; a value
// holding anything but hexadecimal digits is never touched; a login of up to
// 64 characters printed encrypted and given back as user= decodes to itself;
// a longer one is refused without printing any of it.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "config/job.h"
#include "config/options.h"
#include "crypto/login_cipher.h"
#include "fuzz_check.h"

using rowvane::UnloadJob;

namespace {

bool all_hex(const char* text, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

// Any bytes in the user buffer, terminated or not.
void decode_raw(const uint8_t* data, size_t size) {
  auto job = std::make_unique<UnloadJob>();
  rowvane::job_defaults(job.get());
  std::memcpy(job->user, data, std::min(size, sizeof job->user));
  const std::string before(job->user, sizeof job->user);
  const size_t n = strnlen(before.data(), sizeof job->user - 1);
  rowvane::decode_login(job.get());
  if (n == 0 || !all_hex(before.data(), n)) {
    FUZZ_CHECK(std::memcmp(before.data(), job->user, sizeof job->user) == 0);
  } else {
    FUZZ_CHECK(strnlen(job->user, sizeof job->user) <= n / 2);
  }
}

std::string print_login(const UnloadJob& job, int* result) {
  char* text = nullptr;
  size_t len = 0;
  FILE* out = open_memstream(&text, &len);
  FUZZ_CHECK(out != nullptr);
  *result = rowvane::print_encrypted_login(job, out);
  std::fclose(out);
  std::string printed(text, len);
  std::free(text);
  return printed;
}

void round_trip(const std::string& login) {
  auto job = std::make_unique<UnloadJob>();
  rowvane::job_defaults(job.get());
  std::memcpy(job->user, login.data(), login.size());  // at most 128 bytes, zeros after
  int result = -1;
  const std::string printed = print_login(*job, &result);
  if (login.size() > 64) {
    FUZZ_CHECK(result == 1);
    FUZZ_CHECK(printed.find("user=") == std::string::npos);
    return;
  }
  FUZZ_CHECK(result == 0);
  FUZZ_CHECK(printed.compare(0, 5, "user=") == 0);
  std::string hex;
  for (size_t i = 5; i < printed.size(); ++i) {
    if (printed[i] != '\n') hex += printed[i];
  }
  const size_t bytes = (login.size() + 7) / 8 * 8;
  FUZZ_CHECK(hex.size() == 2 * bytes);
  FUZZ_CHECK(all_hex(hex.data(), hex.size()));

  auto back = std::make_unique<UnloadJob>();
  rowvane::job_defaults(back.get());
  FUZZ_CHECK(rowvane::set_option(back.get(), ("user=" + hex).c_str()) == 1);
  rowvane::decode_login(back.get());
  FUZZ_CHECK(login == back->user);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  decode_raw(data, size);
  std::string login(reinterpret_cast<const char*>(data), std::min<size_t>(size, 128));
  login.resize(strnlen(login.c_str(), login.size()));
  round_trip(login);
  return 0;
}
