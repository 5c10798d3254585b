// LOBs copied into the lob file through a stand-in client that serves byte
// arrays, and the references written for them.

#include "unload/lob.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"
#include "unload/output.h"

namespace rowvane {
namespace {

// One LOB as the stand-in serves it; the locator is its address.
struct FakeLob {
  std::string bytes;
  bool fail_open = false;
  int fail_read = 0;  // 1-based read call that fails; 0 = none
  size_t shrink = 0;  // bytes each piece leaves short of the buffer
  uint32_t unit = 1;  // bytes per counted character (2: a UTF-16 client set)
  int reads = 0, closes = 0;
  size_t pos = 0;     // of the polling read
};
int32_t last_error = 0;

DbClient stand_in() {
  DbClient api{};
  api.OCILobOpen = [](void*, void*, void* loc, uint8_t mode) -> int32_t {
    EXPECT_EQ(mode, OCI_LOB_READONLY);
    if (!static_cast<FakeLob*>(loc)->fail_open) return OCI_SUCCESS;
    last_error = 22922;
    return OCI_ERROR;
  };
  api.OCILobRead = [](void*, void*, void* loc, uint32_t* amt, uint32_t offset, void* buf, uint32_t bufl, void*,
                      OciLobReadCallback, uint16_t, uint8_t form) -> int32_t {
    auto* lob = static_cast<FakeLob*>(loc);
    EXPECT_EQ(*amt, 0u);
    EXPECT_EQ(form, SQLCS_NCHAR);
    if (++lob->reads == lob->fail_read) {
      last_error = 1578;
      return OCI_ERROR;
    }
    EXPECT_EQ(offset, 1u);
    // The polling protocol: more pieces follow while OCI_NEED_DATA comes back.
    if (lob->bytes.empty()) return OCI_NO_DATA;
    size_t n = std::min<size_t>(bufl - lob->shrink, lob->bytes.size() - lob->pos);
    std::memcpy(buf, lob->bytes.data() + lob->pos, n);
    lob->pos += n;
    *amt = static_cast<uint32_t>(n / lob->unit);
    return lob->pos < lob->bytes.size() ? OCI_NEED_DATA : OCI_SUCCESS;
  };
  api.OCILobClose = [](void*, void*, void* loc) -> int32_t {
    static_cast<FakeLob*>(loc)->closes++;
    return OCI_SUCCESS;
  };
  api.OCIErrorGet = [](void*, uint32_t, unsigned char*, int32_t* code, unsigned char* buf, uint32_t size,
                       uint32_t) -> int32_t {
    *code = last_error;
    std::snprintf(reinterpret_cast<char*>(buf), size, "ORA-%05d: stand-in\n", last_error);
    return OCI_SUCCESS;
  };
  return api;
}

class Lobs : public ::testing::Test {
 protected:
  void SetUp() override {
    s_.api = &api_;
    s_.error = &s_;
    s_.user_data = &lines_;
    s_.callback = [](void* u, const char* t) { static_cast<std::vector<std::string>*>(u)->push_back(t); };
    dir_ = rvtest::temp_dir("lob");
  }
  FILE* open(const std::string& name, const std::string& prefix = "") {
    return open_output_file((prefix + dir_ + "/" + name).c_str(), name_, sizeof name_, 1, 1);
  }
  // Copies one LOB; returns its reference, with the directory left out.
  std::string copy(FakeLob* lob, FILE* f, uint32_t piece = kLobPieceSize) {
    char ref[kLobReferenceSize];
    int len = -1;
    copy_lob_to_file_in_pieces(&s_, lob, f, name_, ref, &len, SQLCS_NCHAR, true, &failed_, piece);
    EXPECT_EQ(len, static_cast<int>(std::strlen(ref)));
    return std::string(ref, len).substr(dir_.size() + 1);
  }
  std::string null_ref(FILE* f) {
    char ref[kLobReferenceSize];
    int len = null_lob_reference(f, name_, ref);
    return std::string(ref, len).substr(dir_.size() + 1);
  }

  DbClient api_ = stand_in();
  DbSession s_{};
  std::vector<std::string> lines_;
  std::string dir_;
  char name_[kLobNameSize] = {};
  bool failed_ = false;
};

std::string bytes_of(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + 7) % 251);
  return s;
}

TEST_F(Lobs, ValuesAroundThePieceSizeWithSeparators) {
  FILE* f = open("lob_%b.dat");
  ASSERT_NE(f, nullptr);
  std::string expected;
  for (size_t n : {0, 1, 32767, 32768, 32769, 200000}) {
    FakeLob lob{bytes_of(n)};
    EXPECT_EQ(copy(&lob, f), "lob_1.dat." + std::to_string(expected.size() + 1) + "." + std::to_string(n) + "/");
    EXPECT_EQ(lob.reads, static_cast<int>(std::max<size_t>(1, (n + kLobPieceSize - 1) / kLobPieceSize))) << n;
    EXPECT_EQ(lob.closes, 1);
    expected += lob.bytes + "\n";
    std::fputc('\n', f);  // the record separator, as the fetch loop writes it
  }
  EXPECT_EQ(null_ref(f), "lob_1.dat." + std::to_string(expected.size() + 1) + ".-1/");
  std::fclose(f);
  EXPECT_FALSE(failed_);
  EXPECT_TRUE(lines_.empty());
  EXPECT_EQ(rvtest::read_file(dir_ + "/lob_1.dat"), expected);
}

TEST_F(Lobs, SmallPiecesAndAppendedFile) {
  rvtest::write_file(dir_ + "/app.dat", "12345\n");
  FILE* f = open("app.dat", "+");
  ASSERT_NE(f, nullptr);
  FakeLob second{"abcdefghij"}, third{bytes_of(21)};
  EXPECT_EQ(copy(&second, f, 5), "app.dat.7.10/");  // offsets count what the file held; no "+"
  EXPECT_EQ(second.reads, 2);                       // 5, then the last 5
  std::fputc('\n', f);
  EXPECT_EQ(copy(&third, f, 4), "app.dat.18.21/");
  EXPECT_EQ(null_ref(f), "app.dat.39.-1/");
  std::fclose(f);
  EXPECT_EQ(rvtest::read_file(dir_ + "/app.dat"), "12345\nabcdefghij\n" + third.bytes);
}

TEST_F(Lobs, FailuresKeepBytesAndMarkTheRun) {
  FILE* f = open("l.dat");
  ASSERT_NE(f, nullptr);
  FakeLob broken{bytes_of(100000)};
  broken.fail_read = 3;
  EXPECT_EQ(copy(&broken, f), "l.dat.1.65536/");  // two pieces kept
  EXPECT_TRUE(failed_);
  EXPECT_EQ(broken.closes, 1);

  FakeLob good{"ok"};  // the flag stays set
  EXPECT_EQ(copy(&good, f), "l.dat.65537.2/");
  EXPECT_TRUE(failed_);

  FakeLob unopened{"never read"};
  unopened.fail_open = true;
  EXPECT_EQ(copy(&unopened, f), "l.dat.65539.0/");
  EXPECT_EQ(unopened.reads + unopened.closes, 0);
  EXPECT_EQ(lines_, (std::vector<std::string>{"ORA-01578: stand-in\n", "ORA-22922: stand-in\n"}));
  std::fclose(f);

  // A lob file that cannot take the bytes is a failure too.
  ASSERT_EQ(symlink("/dev/full", (dir_ + "/full").c_str()), 0);
  f = std::fopen((dir_ + "/full").c_str(), "wb+");
  ASSERT_NE(f, nullptr);
  std::snprintf(name_, sizeof name_, "%s/x", dir_.c_str());
  failed_ = false;
  FakeLob big{bytes_of(40000)};
  copy(&big, f);
  EXPECT_TRUE(failed_);
  EXPECT_EQ(big.reads, 2);  // the read is carried to its end before the close
  EXPECT_EQ(big.closes, 1);
  EXPECT_EQ(lines_.back(), "ERROR -- Cannot write to file : " + dir_ + "/x\n");
  std::fclose(f);
}

// Pieces shorter than the buffer while data remains (whole multibyte
// characters only), and pieces counted in two-byte characters (a UTF-16
// national set): the status ends the read, and the bytes are counted.
TEST_F(Lobs, StatusEndsTheReadAndBytesAreCounted) {
  FILE* f = open("w.dat");
  ASSERT_NE(f, nullptr);
  FakeLob shortened{bytes_of(100000)}, wide{bytes_of(100000)};
  shortened.shrink = 3;
  wide.unit = 2;
  EXPECT_EQ(copy(&shortened, f), "w.dat.1.100000/");
  EXPECT_EQ(shortened.reads, 4);
  s_.ncharset_id = 2000;
  EXPECT_EQ(copy(&wide, f), "w.dat.100001.100000/");
  std::fclose(f);
  EXPECT_FALSE(failed_);
  EXPECT_EQ(rvtest::read_file(dir_ + "/w.dat"), shortened.bytes + wide.bytes);
}

}  // namespace
}  // namespace rowvane
