// Login grammar, connect descriptors, message delivery and the vendor
// library loader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "db/embedded/engine.h"
#include "db/session.h"
#include "db/vendor_library.h"
#include "test_support.h"

using namespace rowvane;

namespace {

LoginParts parse(const char* text) {
  LoginParts p;
  parse_login(text, &p);
  return p;
}

std::string descriptor(const char* connect) {
  char out[256] = "";
  build_connect_descriptor(out, sizeof out, connect);
  return out;
}

struct Captured {
  std::vector<std::string> lines;
  static void callback(void* user, const char* text) {
    static_cast<Captured*>(user)->lines.push_back(text);
  }
};

}  // namespace

TEST(LoginGrammar, UserPasswordAndService) {
  LoginParts p = parse("scott/tiger@orcl");
  EXPECT_STREQ(p.user, "scott");
  EXPECT_STREQ(p.password, "tiger");
  EXPECT_STREQ(p.connect, "orcl");
  EXPECT_EQ(p.credential, OCI_CRED_RDBMS);
  EXPECT_EQ(p.mode, OCI_DEFAULT);

  p = parse("scott/tiger");
  EXPECT_STREQ(p.password, "tiger");
  EXPECT_STREQ(p.connect, "");
  EXPECT_EQ(p.credential, OCI_CRED_RDBMS);

  p = parse("scott@orcl");
  EXPECT_STREQ(p.user, "scott");
  EXPECT_STREQ(p.password, "");
  EXPECT_STREQ(p.connect, "orcl");
  EXPECT_EQ(p.credential, OCI_CRED_RDBMS);

  p = parse("scott/@orcl");
  EXPECT_STREQ(p.password, "");
  EXPECT_STREQ(p.connect, "orcl");
}

TEST(LoginGrammar, OperatingSystemAuthentication) {
  for (const char* text : {"scott", "/", "/@orcl", ""}) {
    LoginParts p = parse(text);
    EXPECT_STREQ(p.user, "") << text;
    EXPECT_STREQ(p.password, "") << text;
    EXPECT_EQ(p.credential, OCI_CRED_EXT) << text;
    EXPECT_EQ(p.mode, OCI_DEFAULT) << text;
  }
}

TEST(LoginGrammar, SysIsAdministratorOnlyWhenExactlyThreeLetters) {
  for (const char* text : {"SYS/x@far", "sys/pw", "SyS@orcl"}) {
    LoginParts p = parse(text);
    EXPECT_EQ(p.credential, OCI_CRED_EXT) << text;
    EXPECT_EQ(p.mode, OCI_SYSDBA) << text;
    EXPECT_STREQ(p.user, "") << text;
    EXPECT_STREQ(p.password, "") << text;
  }
  LoginParts p = parse("SYSTEM/manager@orcl");
  EXPECT_EQ(p.credential, OCI_CRED_RDBMS);
  EXPECT_STREQ(p.user, "SYSTEM");
  p = parse("\"SYS\"/pw@orcl");
  EXPECT_EQ(p.credential, OCI_CRED_RDBMS);
  EXPECT_STREQ(p.user, "\"SYS\"");
}

TEST(LoginGrammar, QuotesProtectTheAtSign) {
  LoginParts p = parse("scott/\"p@ss\"@orcl");
  EXPECT_STREQ(p.user, "scott");
  EXPECT_STREQ(p.password, "\"p@ss\"");
  EXPECT_STREQ(p.connect, "orcl");
  p = parse("\"we@rd\"/pw@db");
  EXPECT_STREQ(p.user, "\"we@rd\"");
  EXPECT_STREQ(p.connect, "db");
}

TEST(ConnectDescriptor, HostPortSidIsExpanded) {
  EXPECT_EQ(descriptor("dbhost:1521:ORCL"),
            "(DESCRIPTION=(ADDRESS_LIST=(ADDRESS=(HOST=dbhost)(PROTOCOL=TCP)(PORT=1521)))"
            "(CONNECT_DATA=(SID=ORCL)(SERVER=DEDICATED)))");
  // Any other count of colons is used unchanged.
  EXPECT_EQ(descriptor("orcl"), "orcl");
  EXPECT_EQ(descriptor("dbhost:1521/service"), "dbhost:1521/service");
  EXPECT_EQ(descriptor("a:1:b:c"), "a:1:b:c");
}

TEST(ConnectDescriptor, HostListPicksOneEntry) {
  std::string d = descriptor("alpha,beta:1521:ORCL");
  bool alpha = d.find("(HOST=alpha)") != std::string::npos;
  bool beta = d.find("(HOST=beta)") != std::string::npos;
  EXPECT_TRUE(alpha != beta) << d;
  EXPECT_NE(d.find("(PORT=1521)"), std::string::npos);

  // A trailing comma opens no third, empty entry.
  for (int i = 0; i < 20; ++i) {
    char host[64];
    int n = pick_host(host, sizeof host, "one,two,");
    EXPECT_GT(n, 0);
    EXPECT_TRUE(std::string(host) == "one" || std::string(host) == "two") << host;
  }
  char host[64];
  EXPECT_EQ(pick_host(host, sizeof host, "solo"), 4);
  EXPECT_STREQ(host, "solo");
  // Over-long entries are cut to the buffer, never written past it.
  char small[4];
  EXPECT_EQ(pick_host(small, sizeof small, "averylonghostname"), 3);
}

TEST(Messages, DefaultCallbackWritesToTheLogAndNullIsSilent) {
  std::string dir = rvtest::temp_dir("session");
  std::string path = dir + "/log.txt";
  DbSession s;
  session_init(&s);
  s.log = fopen(path.c_str(), "wb");
  ASSERT_NE(s.log, nullptr);
  session_messagef(&s, "%d rows\n", 42);
  fclose(s.log);
  EXPECT_EQ(rvtest::read_file(path), "42 rows\n");
  s.log = nullptr;
  default_message_callback(&s, "dropped\n");   // no log: nothing happens
  default_message_callback(nullptr, "dropped\n");
}

TEST(VendorLibrary, MissingLibraryAndMissingEntryPointAreOneLine) {
  char reason[512];
  EXPECT_EQ(load_vendor_client_from("/nonexistent/libnothing.so", reason, sizeof reason), nullptr);
  EXPECT_NE(std::string(reason).find("/nonexistent/libnothing.so"), std::string::npos);
  EXPECT_EQ(std::string(reason).find('\n'), std::string::npos);

  EXPECT_EQ(load_vendor_client_from(STAND_IN_PARTIAL, reason, sizeof reason), nullptr);
  EXPECT_NE(std::string(reason).find("lacks the entry point OCIServerAttach"), std::string::npos)
      << reason;

  const DbClient* api = load_vendor_client_from(STAND_IN_FULL, reason, sizeof reason);
  ASSERT_NE(api, nullptr) << reason;
  EXPECT_STREQ(api->engine_name, "vendor");
  EXPECT_EQ(api->OCINlsCharSetNameToId(nullptr, reinterpret_cast<const unsigned char*>("AL32UTF8")),
            873);
}

TEST(VendorLibrary, FailedLoginDeliversTheLibraryTextOnceAndReleases) {
  setenv("ROWVANE_OCI_LIBRARY", STAND_IN_FULL, 1);
  DbSession s;
  session_init(&s);
  Captured got;
  s.callback = Captured::callback;
  s.user_data = &got;
  EXPECT_EQ(connect_session(&s, "scott/tiger@dbhost:1521:ORCL"), -1);
  ASSERT_EQ(got.lines.size(), 1u);
  EXPECT_EQ(got.lines[0].rfind("ORA-12154:", 0), 0u);
  EXPECT_EQ(s.env, nullptr);
  EXPECT_EQ(s.server, nullptr);
  close_session(&s);  // harmless after a failed login
  unsetenv("ROWVANE_OCI_LIBRARY");
}

TEST(VendorLibrary, ProgramReportsAnUnloadableLibraryAndExitsOne) {
  rvtest::RunResult r = rvtest::run_shell(
      "ROWVANE_OCI_LIBRARY=/nonexistent/libclntsh.so '" ROWVANE_BINARY
      "' user=scott/tiger@orcl query='select 1 from dual' </dev/null");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Cannot load the database client library"), std::string::npos) << r.out;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
}

// A login answered with OCI_SUCCESS_WITH_INFO (the password will expire
// soon) is a login: its message is delivered once and the session is open.
namespace {
const DbClient* g_engine = nullptr;
}  // namespace

TEST(Login, SuccessWithInfoIsALoginWithItsWarning) {
  g_engine = embedded_client();
  DbClient api = *g_engine;
  api.OCISessionBegin = [](void* svc, void* err, void* ses, uint32_t cred, uint32_t mode) -> int32_t {
    return g_engine->OCISessionBegin(svc, err, ses, cred, mode) == OCI_SUCCESS ? OCI_SUCCESS_WITH_INFO
                                                                             : OCI_ERROR;
  };
  api.OCIErrorGet = [](void*, uint32_t, unsigned char*, int32_t* code, unsigned char* buf, uint32_t size,
                       uint32_t) -> int32_t {
    *code = 28002;
    std::snprintf(reinterpret_cast<char*>(buf), size, "ORA-28002: the password will expire within 7 days\n");
    return OCI_SUCCESS;
  };
  std::string dir = rvtest::temp_dir("login_info");
  rvtest::sqlite_exec(dir + "/t.db", "create table t(a integer);");
  DbSession s;
  session_init(&s);
  std::vector<std::string> lines;
  s.user_data = &lines;
  s.callback = [](void* u, const char* t) { static_cast<std::vector<std::string>*>(u)->push_back(t); };
  s.api = &api;
  EXPECT_EQ(open_session(&s, "scott", "tiger", (dir + "/t.db").c_str(), OCI_CRED_RDBMS, OCI_DEFAULT), 0);
  EXPECT_EQ(lines, std::vector<std::string>{"ORA-28002: the password will expire within 7 days\n"});
  EXPECT_NE(s.session, nullptr);
  close_session(&s);
}
