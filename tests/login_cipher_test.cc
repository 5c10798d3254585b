// The login cipher: encrypted logins printed and taken back, the stored
// texts, and the generator that enciphers them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/job.h"
#include "crypto/login_cipher.h"
#include "test_support.h"

using namespace rowvane;

namespace {

UnloadJob job_with_user(const std::string& user) {
  UnloadJob job{};
  std::memcpy(job.user, user.data(), std::min(user.size(), sizeof job.user - 1));
  return job;
}

// What print_encrypted_login writes, and its result.
std::string printed(const UnloadJob& job, int* result = nullptr) {
  FILE* f = std::tmpfile();
  int r = print_encrypted_login(job, f);
  if (result) *result = r;
  std::string out;
  std::rewind(f);
  char buf[512];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  std::fclose(f);
  return out;
}

// The value a user gives back: the printed digits with the line breaks removed.
std::string joined_value(const std::string& out) {
  std::string v = out.substr(5);
  std::string r;
  for (char c : v) {
    if (c != '\n') r += c;
  }
  return r;
}

bool all_lower_hex(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

int count_placeholders(const char* t) {
  int n = 0;
  for (const char* p = std::strstr(t, "%s"); p; p = std::strstr(p + 2, "%s")) ++n;
  return n;
}

}  // namespace

TEST(EncryptedLogin, RoundTripThroughPrintedText) {
  const std::string base = "scott/tiger@//dbhost.example:1521/ORCLPDB1?conn=tcp&x=0123456789_abc";
  for (size_t len : {1u, 11u, 24u, 25u, 40u, 63u, 64u}) {
    SCOPED_TRACE(len);
    std::string login = base.substr(0, len);
    ASSERT_EQ(login.size(), len);
    int result = -1;
    std::string out = printed(job_with_user(login), &result);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(out.compare(0, 5, "user="), 0) << out;
    std::string value = joined_value(out);
    EXPECT_TRUE(all_lower_hex(value)) << value;
    EXPECT_EQ(value.size(), 2 * ((len + 7) / 8 * 8));
    EXPECT_EQ(value.find(login), std::string::npos);

    UnloadJob back = job_with_user(value);
    decode_login(&back);
    EXPECT_STREQ(back.user, login.c_str());
  }
}

TEST(EncryptedLogin, OutputShape) {
  // Up to 24 characters: one line.
  std::string out = printed(job_with_user("abcdefghijk"));
  ASSERT_EQ(out.size(), 5u + 32 + 1);
  EXPECT_EQ(out.substr(0, 5), "user=");
  EXPECT_TRUE(all_lower_hex(out.substr(5, 32)));
  EXPECT_EQ(out.back(), '\n');

  // The login "/" (what an empty user= becomes) fills one block.
  out = printed(job_with_user("/"));
  EXPECT_EQ(out.size(), 5u + 16 + 1);

  // 25 to 32 characters: 64 digits and an empty line.
  out = printed(job_with_user(std::string(25, 'u')));
  ASSERT_EQ(out.size(), 5u + 64 + 2);
  EXPECT_EQ(out.substr(69), "\n\n");

  // 40 characters: 64 digits, then 16 on the second line.
  out = printed(job_with_user(std::string(40, 'u')));
  ASSERT_EQ(out.size(), 5u + 64 + 1 + 16 + 1);
  EXPECT_TRUE(all_lower_hex(out.substr(5, 64)));
  EXPECT_EQ(out[69], '\n');
  EXPECT_TRUE(all_lower_hex(out.substr(70, 16)));
  EXPECT_EQ(out[86], '\n');
}

TEST(EncryptedLogin, LoginOver64CharactersIsRefused) {
  // Only 64 bytes are enciphered: anything past them must not be printed.
  std::string login = "secretuser/" + std::string(50, 'p') + "@tail";  // 66 characters
  int result = 0;
  std::string out = printed(job_with_user(login), &result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out.find("user="), std::string::npos);
  EXPECT_EQ(out.find("tail"), std::string::npos);
  EXPECT_NE(out.find("longer than 64 characters"), std::string::npos) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);

  printed(job_with_user(std::string(65, 'x')), &result);
  EXPECT_EQ(result, 1);
  printed(job_with_user(std::string(128, 'x')), &result);
  EXPECT_EQ(result, 1);
}

TEST(DecodeLogin, UpperCaseDigitsAreAccepted) {
  std::string value = joined_value(printed(job_with_user("system/manager@db")));
  for (char& c : value) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  UnloadJob job = job_with_user(value);
  decode_login(&job);
  EXPECT_STREQ(job.user, "system/manager@db");
}

TEST(DecodeLogin, PlainLoginsStayUnchanged) {
  for (const char* plain : {"scott/tiger", "abc@db", "deadbeef/cafe", "0123456789abcdefg", ""}) {
    UnloadJob job = job_with_user(plain);
    UnloadJob before = job;
    decode_login(&job);
    EXPECT_EQ(std::memcmp(job.user, before.user, sizeof job.user), 0) << plain;
  }
}

TEST(DecodeLogin, HexOnlyTextIsTakenForEncrypted) {
  // An odd number of digits: the last half byte is dropped by the NUL at
  // length / 2, and the text can be no longer than that.
  UnloadJob job = job_with_user("abc");
  decode_login(&job);
  EXPECT_LE(std::strlen(job.user), 1u);
  EXPECT_EQ(job.user[1], '\0');

  // The NUL lands at length / 2 even when the deciphered bytes hold none.
  job = job_with_user(std::string(20, 'f'));
  decode_login(&job);
  EXPECT_LE(std::strlen(job.user), 10u);
  EXPECT_EQ(job.user[10], '\0');
}

TEST(DecodeLogin, BytesPastTheFirst64AreNeverEnciphered) {
  unsigned char buf[80];
  for (int i = 0; i < 80; ++i) buf[i] = static_cast<unsigned char>(i);
  encrypt_login_block(buf);
  for (int i = 64; i < 80; ++i) EXPECT_EQ(buf[i], i);
  decrypt_login_block(buf);
  for (int i = 0; i < 80; ++i) EXPECT_EQ(buf[i], i);
}

// Login blocks use key set A then B in each unit; stored texts use B then A.
// So the same 8 bytes repeated across a unit come out with halves swapped.
TEST(StoredTexts, KeySetsAreExchangedAgainstTheLoginBlock) {
  unsigned char login[64] = {}, stored[16] = {};
  std::memcpy(login, "ROWVANE!ROWVANE!", 16);
  std::memcpy(stored, "ROWVANE!ROWVANE!", 16);
  encrypt_login_block(login);
  encipher_stored_text(stored, 1);
  EXPECT_NE(std::memcmp(login, login + 8, 8), 0);
  EXPECT_EQ(std::memcmp(stored, login + 8, 8), 0);
  EXPECT_EQ(std::memcmp(stored + 8, login, 8), 0);
  decipher_stored_text(stored, 1);
  EXPECT_EQ(std::memcmp(stored, "ROWVANE!ROWVANE!", 16), 0);
}

TEST(StoredTexts, BannerLinesDecipher) {
  EXPECT_STREQ(banner_line(0), "ROWVANE 1.0.0");
  EXPECT_STREQ(banner_line(1), "Fast unloader of query results and tables into text files");
  EXPECT_STREQ(banner_line(2), "Copyright (c) 2026 the ROWVANE developers");
  EXPECT_STREQ(banner_line(3), "");
  EXPECT_STREQ(banner_line(-1), "");
}

TEST(StoredTexts, SplitTemplatesHaveTheirPlaceholders) {
  for (int which = 0; which < 2; ++which) {
    for (bool partition : {false, true}) {
      for (bool embedded : {false, true}) {
        char t[512];
        std::memset(t, 'x', sizeof t);
        split_template(which, partition, embedded, t);
        ASSERT_NE(std::memchr(t, '\0', sizeof t), nullptr);
        EXPECT_NE(std::strstr(t, "SELECT"), nullptr) << t;
        EXPECT_EQ(count_placeholders(t), partition ? 3 : 2) << t;
      }
    }
  }
  char t[512];
  split_template(2, false, false, t);
  EXPECT_STREQ(t, "");
}

namespace {

const std::string kGenerator = std::string(ROWVANE_BUILD_DIR) + "/rv_stored_text_gen";

const char* const kValidSource =
    "# comment\n"
    "banner_1 = One\n"
    "banner_2 =   Two \"quoted\" 100%\r\n"
    "\n"
    "banner_3 = Three\n"
    "split_total_vendor = A '%s' '%s'\n"
    "split_total_vendor_partition = B '%s' '%s'\n"
    "   '%s' 50%%\n"
    "split_pieces_vendor = C %s %s\n"
    "split_pieces_vendor_partition = D %s %s %s\n"
    "split_total_embedded = E %s %s\n"
    "split_total_embedded_partition = F %s %s %s\n"
    "split_pieces_embedded = G %s %s\n"
    "split_pieces_embedded_partition = H %s %s %s\n";

// Runs the generator on source; returns its exit status and stderr.
rvtest::RunResult generate(const std::string& dir, const std::string& source) {
  rvtest::write_file(dir + "/in.txt", source);
  return rvtest::run_shell("'" + kGenerator + "' '" + dir + "/in.txt' '" + dir + "/out.cc' 2>&1");
}

std::string replace(std::string s, const std::string& from, const std::string& to) {
  size_t p = s.find(from);
  EXPECT_NE(p, std::string::npos) << from;
  if (p != std::string::npos) s.replace(p, from.size(), to);
  return s;
}

}  // namespace

TEST(StoredTextGenerator, WritesEveryEntryEnciphered) {
  std::string dir = rvtest::temp_dir("stored-gen");
  rvtest::RunResult r = generate(dir, kValidSource);
  ASSERT_EQ(r.status, 0) << r.out;
  std::string out = rvtest::read_file(dir + "/out.cc");
  EXPECT_NE(out.find("kStoredBanner[3]"), std::string::npos);
  EXPECT_NE(out.find("kStoredSplit[2][2][2]"), std::string::npos);
  EXPECT_NE(out.find("// split_pieces_embedded_partition"), std::string::npos);
  EXPECT_EQ(out.find("quoted"), std::string::npos);  // no plain text in the output
  EXPECT_FALSE(rvtest::file_exists(dir + "/out.cc.tmp"));
}

TEST(StoredTextGenerator, RefusesBadSources) {
  const std::string valid = kValidSource;
  struct Case {
    std::string source;
    const char* message;
  } cases[] = {
      {replace(valid, "banner_3 = Three\n", ""), "missing entry 'banner_3'"},
      {valid + "banner_1 = again\n", "given twice"},
      {valid + "banner_4 = extra\n", "unknown entry name"},
      {replace(valid, "C %s %s", "C %s"), "exactly 2 %s"},
      {replace(valid, "H %s %s %s", "H %s %s %s %s"), "exactly 3 %s"},
      {replace(valid, "C %s %s", "C %s %d %s"), "only %s and %%"},
      {replace(valid, "banner_1 = One", "banner_1 = " + std::string(128, 'x')), "at most 127"},
      {replace(valid, "E %s %s", "E %s %s " + std::string(506, 'y')), "at most 511"},
      {"  orphan continuation\n" + valid, "continuation line"},
      {replace(valid, "# comment", "no equals sign"), "expected: name = text"},
  };
  for (const Case& c : cases) {
    std::string dir = rvtest::temp_dir("stored-gen-bad");
    rvtest::RunResult r = generate(dir, c.source);
    EXPECT_NE(r.status, 0) << c.message;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    EXPECT_FALSE(rvtest::file_exists(dir + "/out.cc")) << c.message;
  }
}
