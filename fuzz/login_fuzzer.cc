// The login grammar: parse_login, build_connect_descriptor and pick_host on
// arbitrary texts, into output buffers of every size.
//
// Properties: nothing is written past an output buffer (each one is a heap
// block of exactly the size passed); every result is terminated; the parts
// agree with a plain restatement of the grammar (quotes toggle for the whole
// scan, '/' always separates, '@' only outside quotes; SYS and an empty user
// log in by operating-system authentication); a host:port:sid text becomes a
// descriptor naming one of the listed hosts.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "db/client.h"
#include "db/session.h"
#include "fuzz_check.h"

namespace {

struct Parts {
  std::string user, password, connect;
  bool os_auth = false;
  bool sys = false;
};

Parts reference_parse(const std::string& login) {
  Parts p;
  bool quoted = false;
  size_t i = 0;
  for (; i < login.size(); ++i) {
    if (login[i] == '"') quoted = !quoted;
    else if (login[i] == '/' || (login[i] == '@' && !quoted)) break;
  }
  if (i < login.size() && login[i] == '/') {
    p.user = login.substr(0, i);
    size_t j = i + 1;
    for (; j < login.size(); ++j) {
      if (login[j] == '"') quoted = !quoted;
      else if (login[j] == '@' && !quoted) break;
    }
    p.password = login.substr(i + 1, j - i - 1);
    if (j < login.size()) p.connect = login.substr(j + 1);
  } else if (i < login.size()) {
    p.user = login.substr(0, i);
    p.connect = login.substr(i + 1);
  }
  p.sys = p.user.size() == 3 && (p.user[0] | 0x20) == 's' && (p.user[1] | 0x20) == 'y' &&
          (p.user[2] | 0x20) == 's';
  p.os_auth = p.user.empty() || p.sys;
  return p;
}

std::vector<std::string> host_entries(const std::string& list) {
  std::vector<std::string> entries;
  size_t start = 0;
  while (entries.size() < 10) {
    size_t comma = list.find(',', start);
    entries.push_back(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos || comma + 1 == list.size()) break;
    start = comma + 1;
  }
  return entries;
}

std::unique_ptr<char[]> buffer(size_t size) {
  std::unique_ptr<char[]> b(new char[size]);
  std::memset(b.get(), 0x7f, size);
  b[0] = '\0';
  return b;
}

void check_login(const std::string& login) {
  rowvane::LoginParts parts;
  rowvane::parse_login(login.c_str(), &parts);
  FUZZ_CHECK(strnlen(parts.user, sizeof parts.user) < sizeof parts.user);
  FUZZ_CHECK(strnlen(parts.password, sizeof parts.password) < sizeof parts.password);
  FUZZ_CHECK(strnlen(parts.connect, sizeof parts.connect) < sizeof parts.connect);

  const Parts ref = reference_parse(login);
  if (ref.user.size() < sizeof parts.user) {
    FUZZ_CHECK(ref.os_auth ? parts.user[0] == '\0' : ref.user == parts.user);
    FUZZ_CHECK(parts.credential == (ref.os_auth ? rowvane::OCI_CRED_EXT : rowvane::OCI_CRED_RDBMS));
    FUZZ_CHECK(parts.mode == (ref.sys ? rowvane::OCI_SYSDBA : rowvane::OCI_DEFAULT));
    if (ref.os_auth) FUZZ_CHECK(parts.password[0] == '\0');
  }
  if (!ref.os_auth && ref.password.size() < sizeof parts.password) {
    FUZZ_CHECK(ref.password == parts.password);
  }
  if (ref.connect.size() < sizeof parts.connect) FUZZ_CHECK(ref.connect == parts.connect);
}

void check_descriptor(const std::string& connect, size_t out_size) {
  auto out = buffer(out_size);
  rowvane::build_connect_descriptor(out.get(), out_size, connect.c_str());
  const size_t len = strnlen(out.get(), out_size);
  FUZZ_CHECK(len < out_size);

  size_t colons = 0;
  for (char c : connect) colons += c == ':';
  if (colons != 2) {
    FUZZ_CHECK(std::string(out.get()) == connect.substr(0, out_size - 1));
    return;
  }
  // host:port:sid with a host picked from the list before the first colon.
  const size_t first = connect.find(':');
  const size_t second = connect.find(':', first + 1);
  const std::string port = connect.substr(first + 1, second - first - 1);
  const std::string sid = connect.substr(second + 1);
  bool matched = false;
  // The host list is taken from at most 255 characters.
  for (const std::string& host : host_entries(connect.substr(0, std::min<size_t>(first, 255)))) {
    const std::string full = "(DESCRIPTION=(ADDRESS_LIST=(ADDRESS=(HOST=" + host.substr(0, 255) +
                             ")(PROTOCOL=TCP)(PORT=" + port + ")))(CONNECT_DATA=(SID=" + sid +
                             ")(SERVER=DEDICATED)))";
    if (full.size() < out_size) matched = matched || full == out.get();
    else matched = matched || std::string(out.get()) == full.substr(0, len);
  }
  FUZZ_CHECK(matched);
}

void check_pick(const std::string& list, size_t out_size) {
  auto out = buffer(out_size);
  const int n = rowvane::pick_host(out.get(), out_size, list.c_str());
  FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) < out_size);
  FUZZ_CHECK(strnlen(out.get(), out_size) == static_cast<size_t>(n));
  bool matched = false;
  for (const std::string& host : host_entries(list)) {
    matched = matched || host.substr(0, out_size - 1) == out.get();
  }
  FUZZ_CHECK(matched);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // First byte: the size of the output buffers (1 to 512).
  const size_t out_size = 1 + (static_cast<size_t>(data[0]) * 2) % 512;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  text.resize(strnlen(text.c_str(), text.size()));

  check_login(text);
  const Parts ref = reference_parse(text);
  check_descriptor(ref.connect, out_size);
  check_descriptor(text, 256);
  check_pick(text, out_size);
  return 0;
}
