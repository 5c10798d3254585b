// The vendor path through the strict stand-in client library: the misuses it
// turns into an abort, its polling LOB reads, and the program's runs that
// only a library following the vendor's documentation exposes (multi-byte
// CLOBs in the lob file, a login with a warning, splits in the vendor's
// wording).

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "db/session.h"
#include "db/vendor_library.h"
#include "parallel/split.h"
#include "process_support.h"

namespace {

using namespace rowvane;
using rvproc::Proc;

const unsigned char* text(const char* t) { return reinterpret_cast<const unsigned char*>(t); }

// A table of CLOB and NCLOB values of 0, 4, 32,768 and 200,000 characters,
// each made of "aé€𝄞" (10 bytes in UTF-8 and in UTF-16), and a table T.
std::string make_database() {
  const std::string db = rvtest::temp_dir("vendor_path") + "/shop.db";
  rvtest::sqlite_exec(db, "CREATE TABLE L(ID INTEGER PRIMARY KEY, C CLOB, N NCLOB);"
                          "INSERT INTO L SELECT n, v, v FROM (SELECT column1 n, replace(hex(zeroblob(column2)),"
                          "'00','a\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E') v FROM (VALUES (1,0),(2,1),(3,8192),(4,50000)));");
  rvproc::make_numbered_table(db, 1000);
  return db;
}

struct Conn {
  const DbClient* api = nullptr;
  void *env = nullptr, *err = nullptr, *srv = nullptr, *svc = nullptr, *ses = nullptr, *stmt = nullptr;
};

// A connection through the stand-in, with a statement executed on it.
Conn open_conn(const std::string& db, uint32_t mode, const char* query) {
  char reason[512];
  Conn c;
  c.api = load_vendor_client_from(ROWVANE_STAND_IN, reason, sizeof reason);
  if (!c.api) return c;
  const DbClient& a = *c.api;
  a.OCIEnvNlsCreate(&c.env, mode, nullptr, nullptr, nullptr, nullptr, 0, nullptr, 873, 2000);
  a.OCIHandleAlloc(c.env, &c.err, OCI_HTYPE_ERROR, 0, nullptr);
  a.OCIHandleAlloc(c.env, &c.srv, OCI_HTYPE_SERVER, 0, nullptr);
  a.OCIHandleAlloc(c.env, &c.svc, OCI_HTYPE_SVCCTX, 0, nullptr);
  a.OCIHandleAlloc(c.env, &c.ses, OCI_HTYPE_SESSION, 0, nullptr);
  a.OCIServerAttach(c.srv, c.err, text(db.c_str()), static_cast<int32_t>(db.size()), OCI_DEFAULT);
  a.OCIAttrSet(c.svc, OCI_HTYPE_SVCCTX, c.srv, 0, OCI_ATTR_SERVER, c.err);
  a.OCIAttrSet(c.ses, OCI_HTYPE_SESSION, const_cast<char*>("scott"), 5, OCI_ATTR_USERNAME, c.err);
  EXPECT_EQ(a.OCISessionBegin(c.svc, c.err, c.ses, OCI_CRED_RDBMS, OCI_DEFAULT), OCI_SUCCESS);
  a.OCIAttrSet(c.svc, OCI_HTYPE_SVCCTX, c.ses, 0, OCI_ATTR_SESSION, c.err);
  a.OCIHandleAlloc(c.env, &c.stmt, OCI_HTYPE_STMT, 0, nullptr);
  a.OCIStmtPrepare(c.stmt, c.err, text(query), static_cast<uint32_t>(strlen(query)), OCI_NTV_SYNTAX, OCI_DEFAULT);
  EXPECT_EQ(a.OCIStmtExecute(c.svc, c.stmt, c.err, 0, 0, nullptr, nullptr, OCI_DEFAULT), OCI_SUCCESS);
  return c;
}

class VendorPath : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("ROWVANE_OCI_LIBRARY", ROWVANE_STAND_IN, 1);
    db_ = new std::string(make_database());
  }
  static std::string* db_;
};
std::string* VendorPath::db_;

TEST_F(VendorPath, MisusesAbortWithALineNamingThem) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string db = *db_;
  struct Case {
    const char* misuse;
    void (*run)(Conn&);
  };
  const std::vector<std::pair<Case, const char*>> cases = {
      {{"bind freed", [](Conn& c) {
          void* b = nullptr;
          c.api->OCIBindByName(c.stmt, &b, c.err, text(":x"), 2, const_cast<char*>("1"), 1, SQLT_CHR,
                               nullptr, nullptr, nullptr, 0, nullptr, OCI_DEFAULT);
          c.api->OCIHandleFree(b, OCI_HTYPE_BIND);
        }}, "bind handle .* freed explicitly; it belongs to its statement"},
      {{"define freed after its statement", [](Conn& c) {
          void* d = nullptr;
          char buf[8];
          c.api->OCIDefineByPos(c.stmt, &d, c.err, 1, buf, 8, SQLT_STR, nullptr, nullptr, nullptr, OCI_DEFAULT);
          c.api->OCIHandleFree(c.stmt, OCI_HTYPE_STMT);
          c.api->OCIHandleFree(d, OCI_HTYPE_DEFINE);
        }}, "define handle .* freed explicitly after its statement freed it"},
      {{"statement freed twice", [](Conn& c) {
          c.api->OCIHandleFree(c.stmt, OCI_HTYPE_STMT);
          c.api->OCIHandleFree(c.stmt, OCI_HTYPE_STMT);
        }}, "statement handle .* freed twice"},
      {{"freed statement used", [](Conn& c) {
          c.api->OCIHandleFree(c.env, OCI_HTYPE_ENV);
          c.api->OCIStmtFetch(c.stmt, c.err, 1, OCI_FETCH_NEXT, OCI_DEFAULT);
        }}, "statement handle .* used after it was freed"},
      {{"LOB define of element size 0", [](Conn& c) {
          void* loc[1];
          void* d = nullptr;
          c.api->OCIDescriptorAlloc(c.env, &loc[0], OCI_DTYPE_LOB, 0, nullptr);
          c.api->OCIDefineByPos(c.stmt, &d, c.err, 1, loc, 0, SQLT_CLOB, nullptr, nullptr, nullptr, OCI_DEFAULT);
        }}, "LOB define of position 1 passes element size 0"},
      {{"environments on two threads", [](Conn& c) {
          std::thread([&] {
            void* env = nullptr;
            c.api->OCIEnvNlsCreate(&env, 0x1, nullptr, nullptr, nullptr, nullptr, 0, nullptr, 0, 0);
          }).join();
        }}, "environment .* was created without OCI_THREADED"},
  };
  for (const auto& [c, message] : cases) {
    SCOPED_TRACE(c.misuse);
    EXPECT_DEATH(
        {
          Conn conn = open_conn(db, OCI_DEFAULT, "select C from L where ID = 4");
          c.run(conn);
        },
        std::string("stand-in client library: misuse: .*") + message);
  }
}

TEST_F(VendorPath, LobReadsPollUntilSuccessAndHoldTheConnection) {
  Conn c = open_conn(*db_, 0x1, "select C, N from L where ID = 4");
  ASSERT_NE(c.api, nullptr);
  const DbClient& a = *c.api;
  void* loc[2] = {};
  void* d[2] = {};
  for (uint32_t i = 0; i < 2; ++i) {
    a.OCIDescriptorAlloc(c.env, &loc[i], OCI_DTYPE_LOB, 0, nullptr);
    a.OCIDefineByPos(c.stmt, &d[i], c.err, i + 1, &loc[i], sizeof(void*), SQLT_CLOB, nullptr, nullptr, nullptr,
                     OCI_DEFAULT);
  }
  ASSERT_EQ(a.OCIStmtFetch(c.stmt, c.err, 1, OCI_FETCH_NEXT, OCI_DEFAULT), OCI_SUCCESS);
  // 200,000 characters: 500,000 bytes in AL32UTF8, 250,000 two-byte units
  // in AL16UTF16. Pieces of whole characters; amounts out in bytes for the
  // first, in characters for the second.
  for (uint8_t form : {SQLCS_IMPLICIT, SQLCS_NCHAR}) {
    std::vector<char> buf(32768);
    size_t total = 0;
    int32_t status = 0;
    int calls = 0;
    do {
      uint32_t amount = 0;
      status = a.OCILobRead(c.svc, c.err, loc[form - 1], &amount, 1, buf.data(), 32768, nullptr, nullptr, 0, form);
      total += amount;
      if (++calls == 1) {
        EXPECT_EQ(status, 99);
        EXPECT_EQ(amount, form == SQLCS_IMPLICIT ? 32766u : 16384u);  // whole characters
        unsigned char code[600];
        int32_t err = 0;
        EXPECT_EQ(a.OCILobClose(c.svc, c.err, loc[form - 1]), OCI_ERROR);
        a.OCIErrorGet(c.err, 1, nullptr, &err, code, sizeof code, OCI_HTYPE_ERROR);
        EXPECT_EQ(err, 3127);
      }
    } while (status == 99 && calls < 100);
    EXPECT_EQ(status, OCI_SUCCESS);
    EXPECT_EQ(total, form == SQLCS_IMPLICIT ? 500000u : 250000u);
  }
  a.OCIHandleFree(c.stmt, OCI_HTYPE_STMT);
  a.OCIHandleFree(c.env, OCI_HTYPE_ENV);
}

// The program: every CLOB and NCLOB byte in the lob file, with the exact
// byte length in its reference, in AL32UTF8 and AL16UTF16.
TEST_F(VendorPath, MultiByteLobsReachTheLobFileWhole) {
  const std::string dir = rvtest::temp_dir("vendor_lob");
  Proc p = rvproc::run({rvproc::login_for(*db_), "charset=AL32UTF8", "ncharset=AL16UTF16",
                        "query=select C, N from L order by ID", "file=" + dir + "/d.txt",
                        "lobfile=" + dir + "/l.dat"}, dir);
  ASSERT_TRUE(rvproc::ended_cleanly(p));
  EXPECT_EQ(p.status, 0) << p.out;
  EXPECT_EQ(p.out.find("ORA-"), std::string::npos) << p.out;
  const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E";
  const std::string utf16("\x00\x61\x00\xE9\x20\xAC\xD8\x34\xDD\x1E", 10);
  std::string lob, refs;
  for (int copies : {0, 1, 8192, 50000}) {
    for (const std::string* unit : {&utf8, &utf16}) {
      refs += dir + "/l.dat." + std::to_string(lob.size() + 1) + "." + std::to_string(copies * 10) + "/";
      for (int i = 0; i < copies; ++i) lob += *unit;
      lob += "\n";
    }
  }
  EXPECT_TRUE(rvtest::read_file(dir + "/l.dat") == lob) << "lob file differs";
  std::string data = rvtest::read_file(dir + "/d.txt");
  data.erase(std::remove_if(data.begin(), data.end(), [](char ch) { return ch == ',' || ch == '\n'; }), data.end());
  EXPECT_EQ(data, refs);
}

TEST_F(VendorPath, PasswordAboutToExpireIsAWarning) {
  const std::string dir = rvtest::temp_dir("vendor_login");
  for (const std::string env : {"", "ROWVANE_STAND_IN_PASSWORD_EXPIRY=3"}) {
    const std::string user = env.empty() ? "expiring_scott" : "scott";
    if (!env.empty()) setenv("ROWVANE_STAND_IN_PASSWORD_EXPIRY", "3", 1);
    Proc p = rvproc::run({"user=" + user + "/tiger@" + *db_, "query=select ID from T where ID <= 2",
                          "file=" + dir + "/t.txt"}, dir);
    unsetenv("ROWVANE_STAND_IN_PASSWORD_EXPIRY");
    EXPECT_EQ(p.status, 0) << user << ": " << p.out;
    EXPECT_NE(p.out.find(env.empty() ? "ORA-28002: the password will expire within 7 days"
                                     : "ORA-28002: the password will expire within 3 days"),
              std::string::npos) << p.out;
    EXPECT_EQ(rvtest::read_file(dir + "/t.txt"), "1\n2\n");
  }
}

// Splits in the vendor's wording: a lower-case name is folded as the server
// folds it, the owner may be named, and a 30-character user finds its
// tables; every row comes exactly once.
TEST_F(VendorPath, SplitsFindTheTableAndEveryRow) {
  const std::string user30(30, 'u');
  for (const auto& [user, split] : std::vector<std::pair<std::string, std::string>>{
           {"scott", "t"}, {"scott", "SCOTT.T"}, {user30, "T"}}) {
    SCOPED_TRACE(user + " " + split);
    const std::string dir = rvtest::temp_dir("vendor_split");
    Proc p = rvproc::run({"user=" + user + "/tiger@" + *db_, "split=" + split, "degree=3",
                          "file=" + dir + "/o_%p.txt"}, dir);
    ASSERT_TRUE(rvproc::ended_cleanly(p));
    EXPECT_EQ(p.status, 0) << p.out;
    size_t rows = 0;
    for (int piece = 1; piece <= 3; ++piece)
      rows += rvproc::lines_of(rvtest::read_file(dir + "/o_" + std::to_string(piece) + ".txt")).size();
    EXPECT_EQ(rows, 1000u) << p.out;
  }
}

// Every worker of a split reads at the number the driver read once:
// presql= and postsql= run outside flashback (the stand-in refuses a write
// inside it), a refusal of the number or of reading at it gives one line
// naming the keyword, and snapshot=NO then unloads.
TEST_F(VendorPath, SplitsReadAtOneSystemChangeNumber) {
  struct Case {
    const char* flashback;  // ROWVANE_STAND_IN_FLASHBACK
    const char* option;
    int status;
    const char* line;
  };
  for (const Case& c : {Case{"", "snapshot=YES", 0, nullptr},
                        Case{"none", "snapshot=YES", 4, "(ORA-00904); snapshot=NO unloads without it.\n"},
                        Case{"old", "retry=0", 9, "(ORA-01555); snapshot=NO unloads without it.\n"},
                        Case{"none", "snapshot=NO", 0, nullptr}}) {
    SCOPED_TRACE(std::string(c.flashback) + " " + c.option);
    rvtest::sqlite_exec(*db_, "DROP TABLE IF EXISTS P; CREATE TABLE P (A NUMBER)");
    setenv("ROWVANE_STAND_IN_FLASHBACK", c.flashback, 1);
    const std::string dir = rvtest::temp_dir("vendor_snapshot");
    Proc p = rvproc::run({"user=scott/tiger@" + *db_, "split=T", "degree=3", "file=" + dir + "/o_%p.txt", c.option,
                          "presql=insert into P values (1)", "postsql=insert into P values (2)"}, dir);
    unsetenv("ROWVANE_STAND_IN_FLASHBACK");
    ASSERT_TRUE(rvproc::ended_cleanly(p));
    EXPECT_EQ(p.status, c.status) << p.out;
    if (c.line) {
      EXPECT_NE(p.out.find(c.line), std::string::npos) << p.out;
      continue;
    }
    size_t rows = 0;
    for (int piece = 1; piece <= 3; ++piece)
      rows += rvproc::lines_of(rvtest::read_file(dir + "/o_" + std::to_string(piece) + ".txt")).size();
    EXPECT_EQ(rows, 1000u) << p.out;
    rvproc::Proc q = rvproc::run({"user=scott/tiger@" + *db_, "query=select A, count(*) from P group by A",
                                  "file=" + dir + "/p.txt"}, dir);
    EXPECT_EQ(rvtest::read_file(dir + "/p.txt"), "1,3\n2,3\n") << q.out;
  }
}

}  // namespace

// The status line's row estimate on the vendor path: the optimizer's
// NUM_ROWS; a table with no statistics row gives none, silently.
TEST_F(VendorPath, RowEstimateFromOptimizerStatistics) {
  DbSession s;
  session_init(&s);
  int messages = 0;
  s.callback = [](void* counter, const char*) { ++*static_cast<int*>(counter); };
  s.user_data = &messages;
  ASSERT_EQ(connect_session(&s, ("scott/tiger@" + *db_).c_str()), 0);
  EXPECT_EQ(estimate_table_rows(&s, "", "T"), 1000u);
  EXPECT_EQ(estimate_table_rows(&s, "SCOTT", "T"), 1000u);
  EXPECT_EQ(estimate_table_rows(&s, "", "NO_SUCH"), 0u);
  EXPECT_EQ(messages, 0);
  close_session(&s);
}
