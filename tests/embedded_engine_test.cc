// The embedded engine driven through its operation table, the way the job
// runner, describe, fetch loop, LOB export and ROWID split call it.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "db/embedded/engine.h"
#include "db/embedded/internal.h"
#include "test_support.h"

using namespace rowvane;

namespace {

std::string hex(const unsigned char* p, size_t n) {
  static const char d[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

// One login on the engine, with the handles open_session makes.
struct Conn {
  const DbClient* c = embedded_client();
  void* env = nullptr;
  void* err = nullptr;
  void* srv = nullptr;
  void* svc = nullptr;
  void* ses = nullptr;

  int32_t open(const std::string& path, const std::string& user = "scott", uint16_t cs = 0,
               uint16_t ncs = 0) {
    if (c->OCIEnvNlsCreate(&env, OCI_DEFAULT, nullptr, nullptr, nullptr, nullptr, 0, nullptr, cs,
                           ncs) != OCI_SUCCESS)
      return -100;
    c->OCIHandleAlloc(env, &err, OCI_HTYPE_ERROR, 0, nullptr);
    c->OCIHandleAlloc(env, &srv, OCI_HTYPE_SERVER, 0, nullptr);
    c->OCIHandleAlloc(env, &svc, OCI_HTYPE_SVCCTX, 0, nullptr);
    int32_t r = c->OCIServerAttach(srv, err, reinterpret_cast<const unsigned char*>(path.data()),
                                   static_cast<int32_t>(path.size()), OCI_DEFAULT);
    if (r != OCI_SUCCESS) return r;
    c->OCIAttrSet(svc, OCI_HTYPE_SVCCTX, srv, 0, OCI_ATTR_SERVER, err);
    c->OCIHandleAlloc(env, &ses, OCI_HTYPE_SESSION, 0, nullptr);
    c->OCIAttrSet(ses, OCI_HTYPE_SESSION, const_cast<char*>(user.data()),
                  static_cast<uint32_t>(user.size()), OCI_ATTR_USERNAME, err);
    c->OCIAttrSet(ses, OCI_HTYPE_SESSION, const_cast<char*>("pw"), 2, OCI_ATTR_PASSWORD, err);
    r = c->OCISessionBegin(svc, err, ses, user.empty() ? OCI_CRED_EXT : OCI_CRED_RDBMS,
                           OCI_DEFAULT);
    if (r != OCI_SUCCESS) return r;
    return c->OCIAttrSet(svc, OCI_HTYPE_SVCCTX, ses, 0, OCI_ATTR_SESSION, err);
  }
  ~Conn() {
    if (env) c->OCIHandleFree(env, OCI_HTYPE_ENV);
  }
  std::string error(int32_t* code = nullptr) {
    int32_t k = 0;
    unsigned char buf[512] = {0};
    if (c->OCIErrorGet(err, 1, nullptr, &k, buf, sizeof buf, OCI_HTYPE_ERROR) != OCI_SUCCESS)
      k = 0;
    if (code) *code = k;
    return reinterpret_cast<char*>(buf);
  }
  int32_t code() {
    int32_t k;
    error(&k);
    return k;
  }
  // A set-up statement: one iteration, commit on success.
  int32_t run(const std::string& sql) {
    void* st = nullptr;
    c->OCIHandleAlloc(env, &st, OCI_HTYPE_STMT, 0, nullptr);
    int32_t r = c->OCIStmtPrepare(st, err, reinterpret_cast<const unsigned char*>(sql.data()),
                                  static_cast<uint32_t>(sql.size()), OCI_NTV_SYNTAX, OCI_DEFAULT);
    if (r == OCI_SUCCESS)
      r = c->OCIStmtExecute(svc, st, err, 1, 0, nullptr, nullptr, OCI_COMMIT_ON_SUCCESS);
    int32_t k;
    std::string text = error(&k);
    c->OCIHandleFree(st, OCI_HTYPE_STMT);
    if (k) {  // keep the record readable after the free cleared nothing
      last = text;
    }
    return r == OCI_SUCCESS ? 0 : (k ? k : r);
  }
  std::string last;
};

// One query on a connection.
struct Query {
  Conn& k;
  void* st = nullptr;
  explicit Query(Conn& conn) : k(conn) { k.c->OCIHandleAlloc(k.env, &st, OCI_HTYPE_STMT, 0, nullptr); }
  ~Query() { k.c->OCIHandleFree(st, OCI_HTYPE_STMT); }
  int32_t prepare(const std::string& sql) {
    return k.c->OCIStmtPrepare(st, k.err, reinterpret_cast<const unsigned char*>(sql.data()),
                               static_cast<uint32_t>(sql.size()), OCI_NTV_SYNTAX, OCI_DEFAULT);
  }
  int32_t bind(const char* name, const std::string& value) {
    void* b = nullptr;
    return k.c->OCIBindByName(st, &b, k.err, reinterpret_cast<const unsigned char*>(name),
                              static_cast<int32_t>(std::strlen(name)),
                              const_cast<char*>(value.data()), static_cast<int32_t>(value.size()),
                              SQLT_CHR, nullptr, nullptr, nullptr, 0, nullptr, OCI_DEFAULT);
  }
  int32_t execute() { return k.c->OCIStmtExecute(k.svc, st, k.err, 0, 0, nullptr, nullptr, 0); }
  int32_t open(const std::string& sql) {
    int32_t r = prepare(sql);
    return r == OCI_SUCCESS ? execute() : r;
  }
  uint32_t attr32(uint32_t attr) {
    uint32_t v = 0xffffffff;
    k.c->OCIAttrGet(st, OCI_HTYPE_STMT, &v, nullptr, attr, k.err);
    return v;
  }
  int32_t fetch(uint32_t n) { return k.c->OCIStmtFetch(st, k.err, n, OCI_FETCH_NEXT, OCI_DEFAULT); }
};

struct Described {
  uint16_t type = 0, size = 0;
  int16_t precision = 0;
  int8_t scale = 0;
  uint8_t form = 0;
  std::string name;
};

Described describe(Query& q, uint32_t pos) {
  Described d;
  void* p = nullptr;
  EXPECT_EQ(q.k.c->OCIParamGet(q.st, OCI_HTYPE_STMT, q.k.err, &p, pos), OCI_SUCCESS);
  auto get = [&](void* out, uint32_t attr) {
    EXPECT_EQ(q.k.c->OCIAttrGet(p, OCI_DTYPE_PARAM, out, nullptr, attr, q.k.err), OCI_SUCCESS);
  };
  get(&d.type, OCI_ATTR_DATA_TYPE);
  get(&d.size, OCI_ATTR_DATA_SIZE);
  get(&d.precision, OCI_ATTR_PRECISION);
  get(&d.scale, OCI_ATTR_SCALE);
  get(&d.form, OCI_ATTR_CHARSET_FORM);
  char* name = nullptr;
  uint32_t len = 0;
  EXPECT_EQ(q.k.c->OCIAttrGet(p, OCI_DTYPE_PARAM, &name, &len, OCI_ATTR_NAME, q.k.err),
            OCI_SUCCESS);
  d.name.assign(name, len);
  return d;
}

// A fetch buffer for one column, as describe_select_list lays it out.
struct Slot {
  std::vector<unsigned char> buf;
  std::vector<int16_t> ind;
  std::vector<uint16_t> len, rc;
  int32_t width;
  void* def = nullptr;
  Slot(Query& q, uint32_t pos, uint16_t type, int32_t w, uint32_t rows = 10)
      : buf(static_cast<size_t>(w) * rows), ind(rows), len(rows), rc(rows), width(w) {
    EXPECT_EQ(q.k.c->OCIDefineByPos(q.st, &def, q.k.err, pos, buf.data(), w, type, ind.data(),
                                    len.data(), rc.data(), OCI_DEFAULT),
              OCI_SUCCESS);
  }
  std::string text(uint32_t row) const {
    return std::string(reinterpret_cast<const char*>(&buf[row * width]), len[row]);
  }
  std::string long_text(uint32_t row) const {
    uint32_t n;
    std::memcpy(&n, &buf[row * width], 4);
    return std::string(reinterpret_cast<const char*>(&buf[row * width + 4]), n);
  }
};

class Engine : public ::testing::Test {
 protected:
  void SetUp() override { path = rvtest::temp_dir("engine") + "/t.db"; }
  void make(const std::string& sql) { rvtest::sqlite_exec(path, sql); }
  std::string path;
};

// ----------------------------------------------------------------- forms

TEST(EmbeddedForms, NumberBytesMatchTheReferenceExamples) {
  struct { const char* text; const char* bytes; } cases[] = {
      {"0", "80"}, {"5", "C1 06"}, {"-5", "3E 60 66"}, {"2767", "C2 1C 44"},
      {"-2767", "3D 4A 22 66"}, {"100000", "C3 0B"}, {"1234567", "C4 02 18 2E 44"},
      {"100", "C2 02"}, {"12345678", "C4 0D 23 39 4F"}, {"-12345678", "3B 59 43 2D 17 66"},
      {"1", "C1 02"}, {"0.5", "C0 33"}, {"123.45", "C2 02 18 2E"}, {"-0.05", "3F 60 66"},
      {"1.5E2", "C2 02 33"}, {"  007.50 ", "C1 08 33"}, {"-0", "80"}, {"1e-200", "80"}};
  for (auto& c : cases) {
    unsigned char out[22];
    int n = encode_oracle_number(c.text, std::strlen(c.text), out);
    EXPECT_EQ(hex(out, static_cast<size_t>(n)), c.bytes) << c.text;
  }
  unsigned char out[22];
  for (const char* bad : {"", "abc", "1.2.3", "1e", "--1", "12a", "1e200"})
    EXPECT_EQ(encode_oracle_number(bad, std::strlen(bad), out), 0) << bad;
  // 45 significant digits round to 20 base-100 digits; all nines carry over.
  const char* nines = "99999999999999999999999999999999999999999999";
  EXPECT_EQ(hex(out, static_cast<size_t>(encode_oracle_number(nines, 44, out))), "D7 02");
  const char* long_num = "123456789012345678901234567890123456789099";
  int n = encode_oracle_number(long_num, std::strlen(long_num), out);
  EXPECT_EQ(n, 21);
  EXPECT_EQ(out[20], 92);  // the 20th digit 90 rounds up to 91 (stored + 1)
}

TEST(EmbeddedForms, DateBytesMatchTheReferenceExamples) {
  unsigned char out[11];
  struct { const char* text; const char* bytes; } cases[] = {
      {"1992-11-30 15:17:00", "77 C0 0B 1E 10 12 01"},
      {"1992-11-03 15:17:01", "77 C0 0B 03 10 12 02"},
      {"2009-03-11 13:08:00", "78 6D 03 0B 0E 09 01"},
      {"2012-09-17 13:31:01", "78 70 09 11 0E 20 02"},
      {"2024-02-29", "78 7C 02 1D 01 01 01"},
      {"2024-02-29T13:05:00.5", "78 7C 02 1D 0E 06 01 1D CD 65 00"}};
  for (auto& c : cases) {
    int n = encode_oracle_date(c.text, std::strlen(c.text), out);
    EXPECT_EQ(hex(out, static_cast<size_t>(n)), c.bytes) << c.text;
  }
  for (const char* bad : {"2023-02-29", "2024-13-01", "2024-01-01 24:00:00", "yesterday", ""})
    EXPECT_EQ(encode_oracle_date(bad, std::strlen(bad), out), 0) << bad;
}

// ----------------------------------------------------------------- login

TEST_F(Engine, LoginFailsOnMissingOrForeignFilesNamingThem) {
  Conn missing;
  EXPECT_EQ(missing.open(path + ".missing"), OCI_ERROR);
  int32_t code;
  std::string text = missing.error(&code);
  EXPECT_EQ(code, 12154);
  EXPECT_EQ(text.rfind("ORA-12154: ", 0), 0u) << text;
  EXPECT_NE(text.find("t.db.missing"), std::string::npos) << text;
  EXPECT_EQ(text.back(), '\n');
  EXPECT_FALSE(rvtest::file_exists(path + ".missing"));  // never created

  rvtest::write_file(path, std::string(4096, 'x'));
  Conn corrupt;
  EXPECT_EQ(corrupt.open(path), OCI_ERROR);
  EXPECT_EQ(corrupt.code(), 12154);
  EXPECT_NE(corrupt.error().find("not a database"), std::string::npos) << corrupt.error();

  Conn empty_name;
  EXPECT_EQ(empty_name.open(""), OCI_ERROR);
  EXPECT_EQ(empty_name.code(), 12154);
}

TEST_F(Engine, UserFromDualAndCharacterSetNames) {
  make("CREATE TABLE t(a)");
  for (auto [login, expected] : {std::pair<std::string, std::string>{"scott", "SCOTT"},
                                 {"\"Mixed\"", "Mixed"}, {"o'hara", "O'HARA"}, {"", "MAIN"}}) {
    Conn k;
    ASSERT_EQ(k.open(path, login), OCI_SUCCESS) << k.error();
    Query q(k);
    ASSERT_EQ(q.open("SELECT USER FROM DUAL"), OCI_SUCCESS) << k.error();
    Slot s(q, 1, SQLT_STR, 30);
    EXPECT_EQ(q.fetch(1), OCI_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<char*>(s.buf.data()), expected.c_str());
  }
  Conn k;
  ASSERT_EQ(k.open(path), OCI_SUCCESS);
  auto id = [&](const char* n) {
    return k.c->OCINlsCharSetNameToId(k.env, reinterpret_cast<const unsigned char*>(n));
  };
  EXPECT_EQ(id("ZHS16GBK"), 852);
  EXPECT_EQ(id("al32utf8"), 873);
  EXPECT_EQ(id("WE8MSWIN1252"), 178);
  EXPECT_EQ(id("AL16UTF16"), 2000);
  EXPECT_EQ(id("NO_SUCH_SET"), 0);
}

// ----------------------------------------------------------------- describe

TEST_F(Engine, DescribeReportsEveryColumnKind) {
  make(R"sql(CREATE TABLE k(
      v VARCHAR2(20), vc "VARCHAR2(10 CHAR)", t TEXT, c CHAR(5), nv NVARCHAR2(10), nc NCHAR(4),
      n NUMBER(10,2), np NUMBER, ni INTEGER, f FLOAT, bf BINARY_FLOAT, bd BINARY_DOUBLE,
      r REAL, d DATE, ts TIMESTAMP(3), tz TIMESTAMP WITH TIME ZONE,
      lt TIMESTAMP WITH LOCAL TIME ZONE, ym "INTERVAL YEAR(3) TO MONTH",
      ds "INTERVAL DAY(4) TO SECOND(2)", raw RAW(16), l LONG, lr LONG RAW, cl CLOB, ncl NCLOB,
      bl BLOB, bfl BFILE, untyped);
      INSERT INTO k(untyped) VALUES (1);)sql");
  Conn k;
  ASSERT_EQ(k.open(path), OCI_SUCCESS);
  Query q(k);
  ASSERT_EQ(q.open("SELECT k.*, rowid, 1 + 1 AS \"Two\", 'x' AS ex, x'00' AS bx, NULL AS nada "
                   "FROM k"),
            OCI_SUCCESS)
      << k.error();
  struct { const char* name; uint16_t type, size; int16_t precision; int8_t scale; uint8_t form; }
  want[] = {
      {"V", 1, 20, 0, 0, 1},       {"VC", 1, 40, 0, 0, 1},     {"T", 1, 4000, 0, 0, 1},
      {"C", 96, 5, 0, 0, 1},       {"NV", 1, 30, 0, 0, 2},     {"NC", 96, 12, 0, 0, 2},
      {"N", 2, 22, 10, 2, 0},      {"NP", 2, 22, 0, -127, 0},  {"NI", 2, 22, 38, 0, 0},
      {"F", 4, 22, 126, -127, 0},  {"BF", 100, 4, 0, 0, 0},    {"BD", 101, 8, 0, 0, 0},
      {"R", 101, 8, 0, 0, 0},      {"D", 12, 7, 0, 0, 0},      {"TS", 187, 11, 0, 3, 0},
      {"TZ", 188, 13, 0, 6, 0},    {"LT", 232, 11, 0, 6, 0},   {"YM", 189, 5, 3, 0, 0},
      {"DS", 190, 11, 4, 2, 0},    {"RAW", 23, 16, 0, 0, 0},   {"L", 8, 0, 0, 0, 1},
      {"LR", 24, 0, 0, 0, 0},      {"CL", 112, 4000, 0, 0, 1}, {"NCL", 112, 4000, 0, 0, 2},
      {"BL", 113, 4000, 0, 0, 0},  {"BFL", 114, 530, 0, 0, 0}, {"UNTYPED", 2, 22, 0, -127, 0},
      {"ROWID", 104, 10, 0, 0, 0}, {"Two", 2, 22, 0, -127, 0}, {"EX", 1, 4000, 0, 0, 1},
      {"BX", 113, 4000, 0, 0, 0},  {"NADA", 1, 4000, 0, 0, 1}};
  uint32_t count = q.attr32(OCI_ATTR_PARAM_COUNT);
  ASSERT_EQ(count, sizeof want / sizeof want[0]);
  for (uint32_t i = 0; i < count; ++i) {
    Described d = describe(q, i + 1);
    SCOPED_TRACE(want[i].name);
    EXPECT_EQ(d.name, want[i].name);
    EXPECT_EQ(d.type, want[i].type);
    EXPECT_EQ(d.size, want[i].size);
    EXPECT_EQ(d.precision, want[i].precision);
    EXPECT_EQ(d.scale, want[i].scale);
    EXPECT_EQ(d.form, want[i].form);
  }
  void* p = nullptr;
  EXPECT_EQ(k.c->OCIParamGet(q.st, OCI_HTYPE_STMT, k.err, &p, count + 1), OCI_ERROR);
  EXPECT_EQ(k.code(), 24334);
}

// ----------------------------------------------------------------- fetch

TEST_F(Engine, TextFetchConvertsEveryKindAndReportsNullsAndTruncation) {
  make(R"sql(CREATE TABLE v(n NUMBER(12,2), d DATE, ts TIMESTAMP, tz TIMESTAMP WITH TIME ZONE,
                         s VARCHAR2(10), raw RAW(4), bd BINARY_DOUBLE, ym "INTERVAL YEAR TO MONTH");
          INSERT INTO v VALUES (1234.5, '2024-02-29 13:05:00', '2024-01-16 08:30:00.123456789',
                                '2024-01-18 14:00:00.5 +01:00', 'short', x'0A1B', 1e20, '+01-06');
          INSERT INTO v VALUES (-42, 1700000000, 2460000.5, '2024-04-03 12:00:00Z',
                                'much too long text', x'DEADBEEF', 0.1, NULL);
          INSERT INTO v VALUES (NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL);)sql");
  Conn k;
  ASSERT_EQ(k.open(path), OCI_SUCCESS);
  Query q(k);
  ASSERT_EQ(q.open("SELECT * FROM v"), OCI_SUCCESS) << k.error();
  Slot n(q, 1, SQLT_CHR, 13), d(q, 2, SQLT_CHR, 19), ts(q, 3, SQLT_CHR, 26),
      tz(q, 4, SQLT_CHR, 33), s(q, 5, SQLT_CHR, 8), raw(q, 6, SQLT_CHR, 8),
      bd(q, 7, SQLT_CHR, 46), ym(q, 8, SQLT_CHR, 20);
  int32_t r = q.fetch(10);
  // Truncation wins over the end of data: it must not go unnoticed.
  EXPECT_EQ(r, OCI_SUCCESS_WITH_INFO);
  int32_t code;
  EXPECT_EQ(k.error(&code), "ORA-24345: A Truncation or null fetch error occurred\n");
  EXPECT_EQ(q.attr32(OCI_ATTR_ROW_COUNT), 3u);
  EXPECT_EQ(n.text(0), "1234.5");
  EXPECT_EQ(n.text(1), "-42");
  EXPECT_EQ(d.text(0), "2024-02-29 13:05:00");
  EXPECT_EQ(d.text(1), "2023-11-14 22:13:20");  // Unix seconds
  EXPECT_EQ(ts.text(0), "2024-01-16 08:30:00.123456");
  EXPECT_EQ(ts.text(1), "2023-02-25 00:00:00.000000");  // Julian day
  EXPECT_EQ(tz.text(0), "2024-01-18 14:00:00.500000 +01:00");
  EXPECT_EQ(tz.text(1), "2024-04-03 12:00:00.000000 +00:00");
  EXPECT_EQ(s.text(0), "short");
  EXPECT_EQ(s.ind[0], 0);
  EXPECT_EQ(s.text(1), "much too");
  EXPECT_EQ(s.ind[1], 18);  // the untruncated length
  EXPECT_EQ(s.rc[1], 1406);
  EXPECT_EQ(raw.text(0), "0A1B");
  EXPECT_EQ(raw.text(1), "DEADBEEF");
  EXPECT_EQ(bd.text(0), "100000000000000000000");
  EXPECT_EQ(bd.text(1), "0.1");
  EXPECT_EQ(ym.text(0), "+01-06");
  for (Slot* sl : {&n, &d, &ts, &tz, &s, &raw, &bd, &ym}) {
    EXPECT_EQ(sl->ind[2], -1);
    EXPECT_EQ(sl->len[2], 0);
  }
  EXPECT_EQ(q.fetch(10), OCI_NO_DATA);
  EXPECT_EQ(q.attr32(OCI_ATTR_ROW_COUNT), 3u);
}

TEST_F(Engine, InternalLongRawAndIntegerExternalTypes) {
  make(R"sql(CREATE TABLE v(n NUMBER, d DATE, b BLOB, c CLOB, r RAW(8), u INTEGER);
          INSERT INTO v VALUES (2767, '1992-11-30 15:17:00', x'000102', 'héllo', x'FF00', 7);
          INSERT INTO v VALUES ('-12345678', 1234567890, zeroblob(10), 'abcdefghij', x'01020304050607', 4294967295);
          INSERT INTO v VALUES (0.5, 2451545.5, NULL, NULL, NULL, NULL);
          INSERT INTO v VALUES (NULL, NULL, x'01', 'x', x'01', 0);
          INSERT INTO v VALUES ('not a number', 'not a date', x'', '', x'', -1);)sql");
  Conn k;
  ASSERT_EQ(k.open(path), OCI_SUCCESS);
  Query q(k);
  ASSERT_EQ(q.open("SELECT * FROM v"), OCI_SUCCESS);
  Slot n(q, 1, SQLT_NUM, 21), d(q, 2, SQLT_DAT, 7), b(q, 3, SQLT_LVB, 12),
      c(q, 4, SQLT_LVC, 10), r(q, 5, SQLT_BIN, 4), u(q, 6, SQLT_UIN, 4);
  EXPECT_EQ(q.fetch(2), OCI_SUCCESS_WITH_INFO);  // c and r truncate in row 2
  EXPECT_EQ(hex(&n.buf[0], n.len[0]), "C2 1C 44");
  EXPECT_EQ(hex(&n.buf[21], n.len[1]), "3B 59 43 2D 17 66");
  EXPECT_EQ(hex(&d.buf[0], 7), "77 C0 0B 1E 10 12 01");
  EXPECT_EQ(hex(&d.buf[7], 7), "78 6D 02 0D 18 20 1F");  // 2009-02-13 23:31:30
  EXPECT_EQ(b.long_text(0), std::string("\0\1\2", 3));
  EXPECT_EQ(b.long_text(1), std::string(8, '\0'));
  EXPECT_EQ(b.ind[1], 10);
  EXPECT_EQ(c.long_text(0), "h\xC3\xA9llo");
  EXPECT_EQ(c.long_text(1), "abcdef");
  EXPECT_EQ(c.rc[1], 1406);
  EXPECT_EQ(hex(&r.buf[0], r.len[0]), "FF 00");
  EXPECT_EQ(r.len[1], 4);
  EXPECT_EQ(r.ind[1], 7);
  uint32_t v;
  std::memcpy(&v, &u.buf[4], 4);
  EXPECT_EQ(v, 4294967295u);
  EXPECT_EQ(q.fetch(1), OCI_SUCCESS);
  EXPECT_EQ(hex(&n.buf[0], n.len[0]), "C0 33");
  EXPECT_EQ(hex(&d.buf[0], 7), "78 64 01 02 01 01 01");  // Julian day 2451545.5
  for (Slot* s : {&b, &c, &r, &u}) EXPECT_EQ(s->ind[0], -1);
  EXPECT_EQ(q.fetch(1), OCI_SUCCESS);
  for (Slot* s : {&n, &d}) {
    EXPECT_EQ(s->ind[0], -1);
    EXPECT_EQ(s->rc[0], 1405);
  }
  // Values the column's kind cannot read fail the fetch with the vendor's number,
  // and the bad row is consumed so a tolerant caller can go on.
  EXPECT_EQ(q.fetch(1), OCI_ERROR);
  EXPECT_EQ(k.code(), 1722);
  EXPECT_EQ(q.attr32(OCI_ATTR_ROW_COUNT), 4u);
  EXPECT_EQ(q.fetch(1), OCI_NO_DATA);
  EXPECT_EQ(q.attr32(OCI_ATTR_ROW_COUNT), 4u);
}

TEST_F(Engine, NoDataOnPartialBatchAndOnExactMultiple) {
  make("CREATE TABLE r(i INTEGER); WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 "
       "FROM c WHERE x < 10) INSERT INTO r SELECT x FROM c;");
  Conn k;
  ASSERT_EQ(k.open(path), OCI_SUCCESS);
  for (uint32_t batch : {4u, 5u, 10u, 20u}) {
    SCOPED_TRACE(batch);
    Query q(k);
    ASSERT_EQ(q.open("SELECT i FROM r ORDER BY i"), OCI_SUCCESS);
    Slot s(q, 1, SQLT_CHR, 8, batch);
    std::string all;
    for (;;) {
      int32_t r = q.fetch(batch);
      uint32_t got = q.attr32(197);  // rows of this call
      for (uint32_t i = 0; i < got; ++i) all += s.text(i) + ",";
      if (r == OCI_NO_DATA) {
        // The rule the fetch loop uses: row count modulo the array size.
        EXPECT_EQ(got, q.attr32(OCI_ATTR_ROW_COUNT) % batch);
        break;
      }
      ASSERT_EQ(r, OCI_SUCCESS);
      EXPECT_EQ(got, batch);
    }
    EXPECT_EQ(all, "1,2,3,4,5,6,7,8,9,10,");
    EXPECT_EQ(q.attr32(OCI_ATTR_ROW_COUNT), 10u);
    EXPECT_EQ(q.fetch(batch), OCI_NO_DATA);
  }
}

TEST_F(Engine, NullWithoutIndicatorIsAnError) {
  make("CREATE TABLE r(s TEXT); INSERT INTO r VALUES (NULL);");
  Conn k;
  ASSERT_EQ(k.open(path), OCI_SUCCESS);
  Query q(k);
  ASSERT_EQ(q.open("SELECT s FROM r"), OCI_SUCCESS);
  char buf[10];
  void* def = nullptr;
  ASSERT_EQ(k.c->OCIDefineByPos(q.st, &def, k.err, 1, buf, 10, SQLT_CHR, nullptr, nullptr,
                                nullptr, OCI_DEFAULT),
            OCI_SUCCESS);
  EXPECT_EQ(q.fetch(1), OCI_ERROR);
  EXPECT_EQ(k.code(), 1405);
}

// ----------------------------------------------------------------- LOBs

TEST_F(Engine, LobLocatorsReadInPieces) {
  make(R"sql(CREATE TABLE l(id INTEGER, c CLOB, b BLOB);
          INSERT INTO l VALUES (1, '', x'');
          INSERT INTO l VALUES (2, replace(hex(zeroblob(16384)), '00', 'ab'), zeroblob(32768));
          INSERT INTO l VALUES (3, replace(hex(zeroblob(50000)), '00', 'xy'), randomblob(100000));
          INSERT INTO l VALUES (4, NULL, NULL);)sql");
  Conn k;
  ASSERT_EQ(k.open(path), OCI_SUCCESS);
  Query q(k);
  ASSERT_EQ(q.open("SELECT c, b, length(b) FROM l ORDER BY id"), OCI_SUCCESS);
  const uint32_t rows = 5;
  std::vector<void*> clobs(rows), blobs(rows);
  for (uint32_t i = 0; i < rows; ++i) {
    ASSERT_EQ(k.c->OCIDescriptorAlloc(k.env, &clobs[i], OCI_DTYPE_LOB, 0, nullptr), 0);
    ASSERT_EQ(k.c->OCIDescriptorAlloc(k.env, &blobs[i], OCI_DTYPE_LOB, 0, nullptr), 0);
  }
  int16_t ci[rows], bi[rows];
  uint16_t cl[rows], bl[rows], cr[rows], br[rows];
  void *d1 = nullptr, *d2 = nullptr;
  ASSERT_EQ(k.c->OCIDefineByPos(q.st, &d1, k.err, 1, clobs.data(), sizeof(void*), SQLT_CLOB, ci, cl, cr, 0), 0);
  ASSERT_EQ(k.c->OCIDefineByPos(q.st, &d2, k.err, 2, blobs.data(), sizeof(void*), SQLT_BLOB, bi, bl, br, 0), 0);
  Slot len(q, 3, SQLT_CHR, 10, rows);
  ASSERT_EQ(q.fetch(rows), OCI_NO_DATA);
  ASSERT_EQ(q.attr32(OCI_ATTR_ROW_COUNT), 4u);

  // Reads a LOB as copy_lob_to_file does: one polling read in 32768-byte
  // pieces from offset 1.
  auto read_all = [&](void* loc, std::vector<size_t>* pieces) {
    std::string out;
    EXPECT_EQ(k.c->OCILobOpen(k.svc, k.err, loc, OCI_LOB_READONLY), OCI_SUCCESS);
    std::vector<unsigned char> buf(32768);
    for (;;) {
      uint32_t amt = 0;
      int32_t r = k.c->OCILobRead(k.svc, k.err, loc, &amt, 1, buf.data(), 32768, nullptr,
                                  nullptr, 0, SQLCS_IMPLICIT);
      EXPECT_NE(r, OCI_ERROR);
      out.append(reinterpret_cast<char*>(buf.data()), amt);
      pieces->push_back(amt);
      if (r != OCI_NEED_DATA) break;
    }
    EXPECT_EQ(k.c->OCILobClose(k.svc, k.err, loc), OCI_SUCCESS);
    return out;
  };
  std::vector<size_t> p;
  EXPECT_EQ(read_all(clobs[0], &p), "");
  EXPECT_EQ(p, (std::vector<size_t>{0}));
  p.clear();
  EXPECT_EQ(read_all(clobs[1], &p).size(), 32768u);
  EXPECT_EQ(p, (std::vector<size_t>{32768}));
  p.clear();
  std::string big = read_all(blobs[2], &p);
  EXPECT_EQ(big.size(), 100000u);
  EXPECT_EQ(p, (std::vector<size_t>{32768, 32768, 32768, 1696}));
  p.clear();
  std::string xy;
  for (int i = 0; i < 50000; ++i) xy += "xy";
  EXPECT_EQ(read_all(clobs[2], &p), xy);
  EXPECT_EQ(len.text(2), "100000");
  EXPECT_EQ(ci[3], -1);
  EXPECT_EQ(bi[3], -1);
  EXPECT_EQ(k.c->OCILobOpen(k.svc, k.err, clobs[3], OCI_LOB_READONLY), OCI_ERROR);
  EXPECT_EQ(k.code(), 22275);
  // An unfilled locator is refused, not read.
  uint32_t amt = 0;
  unsigned char tiny[4];
  EXPECT_EQ(k.c->OCILobRead(k.svc, k.err, clobs[4], &amt, 1, tiny, 4, nullptr, nullptr, 0, 1),
            OCI_ERROR);
  EXPECT_EQ(k.code(), 22275);
}

// Values above the in-locator limit live in a spill file that the next
// fetch rewrites: each batch reads back its own bytes, and a locator left
// over from an earlier batch is refused instead of read as another value.
TEST_F(Engine, LargeLobsOfEachBatchReadBackAndStaleLocatorsAreRefused) {
  make(R"sql(CREATE TABLE big(id INTEGER, b BLOB);
          INSERT INTO big VALUES (1, randomblob(70000)), (2, randomblob(90000)),
                                 (3, randomblob(80000));)sql");
  Conn k;
  ASSERT_EQ(k.open(path), OCI_SUCCESS);
  Query q(k);
  // An expression: its values are held (not read from the table).
  ASSERT_EQ(q.open("SELECT coalesce(b, b), substr(hex(b), 1, 2000) FROM big ORDER BY id"), OCI_SUCCESS);
  std::vector<void*> locs(2);
  for (auto& l : locs) ASSERT_EQ(k.c->OCIDescriptorAlloc(k.env, &l, OCI_DTYPE_LOB, 0, nullptr), 0);
  int16_t ind[2];
  uint16_t len[2], rc[2];
  void* def = nullptr;
  ASSERT_EQ(k.c->OCIDefineByPos(q.st, &def, k.err, 1, locs.data(), sizeof(void*), SQLT_BLOB, ind, len, rc, 0), 0);
  Slot hex(q, 2, SQLT_CHR, 2000, 2);
  auto read_hex = [&](void* loc, std::string* out) {
    std::vector<unsigned char> buf(32768);
    static const char digits[] = "0123456789ABCDEF";
    for (;;) {
      uint32_t amt = 0;
      int32_t r = k.c->OCILobRead(k.svc, k.err, loc, &amt, 1, buf.data(), 32768, nullptr,
                                  nullptr, 0, SQLCS_IMPLICIT);
      if (r == OCI_ERROR) return r;
      for (uint32_t i = 0; i < amt; ++i) {
        *out += digits[buf[i] >> 4];
        *out += digits[buf[i] & 15];
      }
      if (r != OCI_NEED_DATA) return OCI_SUCCESS;
    }
  };
  ASSERT_EQ(q.fetch(2), OCI_SUCCESS);
  for (int row = 0; row < 2; ++row) {
    std::string got;
    ASSERT_EQ(read_hex(locs[row], &got), OCI_SUCCESS);
    EXPECT_EQ(got.substr(0, 2000), hex.text(row)) << row;
    EXPECT_EQ(got.size(), row == 0 ? 140000u : 180000u);
  }
  ASSERT_EQ(q.fetch(2), OCI_NO_DATA);
  std::string third, stale;
  ASSERT_EQ(read_hex(locs[0], &third), OCI_SUCCESS);
  EXPECT_EQ(third.size(), 160000u);
  EXPECT_EQ(third.substr(0, 2000), hex.text(0));
  EXPECT_EQ(read_hex(locs[1], &stale), OCI_ERROR);
  EXPECT_EQ(k.code(), 22275);
}

// The polling protocol: OCI_NEED_DATA while data remains, amounts in
// characters with a UTF-16 client set, and no other call on the connection
// (not even the close) until the read has ended.
TEST_F(Engine, PollingReadsEndBeforeAnyOtherCall) {
  make("CREATE TABLE c(t CLOB); INSERT INTO c VALUES ('ab\u00e9' || replace(hex(zeroblob(5)), '0', 'z'));");
  Conn k;
  ASSERT_EQ(k.open(path, "scott", 2000, 2000), OCI_SUCCESS);  // AL16UTF16
  Query q(k);
  ASSERT_EQ(q.open("SELECT t FROM c"), OCI_SUCCESS);
  void* loc = nullptr;
  ASSERT_EQ(k.c->OCIDescriptorAlloc(k.env, &loc, OCI_DTYPE_LOB, 0, nullptr), 0);
  int16_t ind;
  uint16_t len, rc;
  void* def = nullptr;
  ASSERT_EQ(k.c->OCIDefineByPos(q.st, &def, k.err, 1, &loc, sizeof loc, SQLT_CLOB, &ind, &len, &rc, 0), 0);
  ASSERT_EQ(q.fetch(1), OCI_SUCCESS);
  ASSERT_EQ(k.c->OCILobOpen(k.svc, k.err, loc, OCI_LOB_READONLY), OCI_SUCCESS);
  unsigned char buf[8];
  std::vector<uint32_t> amounts;
  int32_t r;
  do {
    uint32_t amt = 0;
    r = k.c->OCILobRead(k.svc, k.err, loc, &amt, 1, buf, sizeof buf, nullptr, nullptr, 0, SQLCS_IMPLICIT);
    amounts.push_back(amt);
    if (r == OCI_NEED_DATA && amounts.size() == 1) {
      EXPECT_EQ(k.c->OCILobClose(k.svc, k.err, loc), OCI_ERROR);
      EXPECT_EQ(k.code(), 3127);
    }
  } while (r == OCI_NEED_DATA);
  EXPECT_EQ(r, OCI_SUCCESS);
  EXPECT_EQ(amounts, (std::vector<uint32_t>{4, 4, 4, 1}));  // 13 characters, 4 per 8-byte piece
  EXPECT_EQ(k.c->OCILobClose(k.svc, k.err, loc), OCI_SUCCESS);
}

// ----------------------------------------------------------------- character sets

TEST_F(Engine, TextArrivesInTheEnvironmentCharacterSets) {
  make(R"sql(CREATE TABLE g(s VARCHAR2(20), n NVARCHAR2(20), c CLOB);
          INSERT INTO g VALUES ('中文 ok', '中文', '汉字€');
          INSERT INTO g VALUES ('€uro', 'ß', 'plain');)sql");
  Conn k;
  // ZHS16GBK for text, AL32UTF8 for national text.
  ASSERT_EQ(k.open(path, "scott", 852, 873), OCI_SUCCESS) << k.error();
  Query q(k);
  // The statement text is in the client set too.
  ASSERT_EQ(q.open("SELECT s, n, c FROM g WHERE s = '\xD6\xD0\xCE\xC4 ok' OR s LIKE '%uro'"),
            OCI_SUCCESS)
      << k.error();
  Slot s(q, 1, SQLT_CHR, 20), n(q, 2, SQLT_CHR, 20);
  std::vector<void*> locs(2);
  for (auto& l : locs) k.c->OCIDescriptorAlloc(k.env, &l, OCI_DTYPE_LOB, 0, nullptr);
  int16_t ind[2];
  uint16_t len[2], rc[2];
  void* def = nullptr;
  ASSERT_EQ(k.c->OCIDefineByPos(q.st, &def, k.err, 3, locs.data(), sizeof(void*), SQLT_CLOB, ind, len, rc, 0), 0);
  EXPECT_EQ(q.fetch(2), OCI_SUCCESS);
  EXPECT_EQ(s.text(0), "\xD6\xD0\xCE\xC4 ok");  // real GBK bytes
  EXPECT_EQ(n.text(0), "中文");                // national set stays UTF-8
  EXPECT_EQ(s.text(1), "\x80uro");             // GBK has the euro sign at 0x80
  EXPECT_EQ(n.text(1), "ß");
  unsigned char buf[64];
  uint32_t amt = 0;
  ASSERT_EQ(k.c->OCILobRead(k.svc, k.err, locs[0], &amt, 1, buf, sizeof buf, nullptr, nullptr, 0, 1),
            OCI_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), amt), "\xBA\xBA\xD7\xD6\x80");

  // A set without the characters gets "?" for each; the indicator counts
  // the converted length.
  Conn latin;
  ASSERT_EQ(latin.open(path, "scott", 31, 31), OCI_SUCCESS);
  Query q2(latin);
  ASSERT_EQ(q2.open("SELECT s, n FROM g"), OCI_SUCCESS);
  Slot s2(q2, 1, SQLT_CHR, 20), n2(q2, 2, SQLT_CHR, 1);
  EXPECT_EQ(q2.fetch(2), OCI_SUCCESS_WITH_INFO);
  EXPECT_EQ(s2.text(0), "?? ok");
  EXPECT_EQ(s2.text(1), "?uro");
  EXPECT_EQ(n2.text(1), "\xDF");
  EXPECT_EQ(n2.ind[0], 2);
  EXPECT_EQ(n2.rc[0], 1406);

  // UTF-16 sets take even ASCII through conversion: numbers too.
  Conn wide;
  ASSERT_EQ(wide.open(path, "scott", 1000, 2000), OCI_SUCCESS);
  Query q3(wide);
  ASSERT_EQ(q3.open("SELECT n, length(s) FROM g"), OCI_SUCCESS);  // 8-bit text still
  Slot n3(q3, 1, SQLT_CHR, 8), l3(q3, 2, SQLT_CHR, 8);
  EXPECT_EQ(q3.fetch(1), OCI_SUCCESS);
  EXPECT_EQ(hex(n3.buf.data(), n3.len[0]), "4E 2D 65 87");  // big-endian national
  EXPECT_EQ(hex(l3.buf.data(), l3.len[0]), "35 00");        // little-endian client
}

// ----------------------------------------------------------------- session and errors

TEST_F(Engine, AlterSessionHonoursFormatsAndRefusesUnknownOptions) {
  make("CREATE TABLE d(d DATE, t TIMESTAMP(3)); INSERT INTO d VALUES ('2024-03-05 07:08:09', "
       "'2024-03-05 17:08:09.987654');");
  Conn k;
  ASSERT_EQ(k.open(path), OCI_SUCCESS);
  for (const char* ok : {
           "ALTER SESSION SET NLS_DATE_FORMAT='YYYY-MM-DD HH24:MI:SS'",
           "ALTER SESSION SET NLS_TIMESTAMP_FORMAT='YYYY-MM-DD HH24:MI:SSXFF'",
           "ALTER SESSION SET NLS_TIMESTAMP_TZ_FORMAT='YYYY-MM-DD HH24:MI:SSXFF TZH:TZM'",
           "ALTER SESSION SET DB_FILE_MULTIBLOCK_READ_COUNT=128",
           "ALTER SESSION SET WORKAREA_SIZE_POLICY=MANUAL",
           "ALTER SESSION SET HASH_AREA_SIZE=67108864",
           "ALTER SESSION SET \"_hash_multiblock_io_count\"=128",
           "ALTER SESSION SET \"_serial_direct_read\"=TRUE",
           "ALTER SESSION SET SORT_AREA_SIZE=1048576",
           "ALTER SESSION SET SORT_AREA_RETAINED_SIZE=1048576",
           "ALTER SESSION SET \"_sort_multiblock_read_count\"=128",
           "ALTER SESSION SET EVENTS='10046 TRACE NAME CONTEXT FOREVER,LEVEL 12'"})
    EXPECT_EQ(k.run(ok), 0) << ok << " " << k.last;
  EXPECT_EQ(k.run("ALTER SESSION SET CURSOR_SHARING=FORCE"), 2248);
  EXPECT_EQ(k.last.rfind("ORA-02248: invalid option for ALTER SESSION", 0), 0u) << k.last;
  EXPECT_EQ(k.run("alter session enable parallel dml"), 2248);
  EXPECT_EQ(k.run("ALTER SESSION SET NLS_DATE_FORMAT='YYYY-QQ'"), 1821);

  EXPECT_EQ(k.run("ALTER SESSION SET NLS_DATE_FORMAT='DD-MON-YYYY \"at\" HH12:MI AM, Day'"), 0);
  EXPECT_EQ(k.run("alter session set nls_timestamp_format = 'DD.MM.RR HH24:MI:SS.FF'"), 0);
  Query q(k);
  ASSERT_EQ(q.open("SELECT d, t FROM d"), OCI_SUCCESS);
  Slot d(q, 1, SQLT_CHR, 60), t(q, 2, SQLT_CHR, 40);
  EXPECT_EQ(q.fetch(1), OCI_SUCCESS);
  EXPECT_EQ(d.text(0), "05-MAR-2024 at 07:08 AM, Tuesday  ");
  EXPECT_EQ(t.text(0), "05.03.24 17:08:09.987");  // FF takes the column's 3 digits
}

TEST_F(Engine, ErrorsCarryTheVendorNumbersAtExecute) {
  make("CREATE TABLE t(a INTEGER);");
  Conn k;
  ASSERT_EQ(k.open(path), OCI_SUCCESS);
  struct { const char* sql; int32_t code; const char* text; } cases[] = {
      {"SELECT * FROM nope", 942, "ORA-00942: table or view does not exist: no such table: nope\n"},
      {"SELECT b FROM t", 904, "ORA-00904: invalid identifier: no such column: b\n"},
      {"SELEKT * FROM t", 900, nullptr},
      {"SELECT a FROM t x y", 933, nullptr},
      {"SELECT a FROM t WHERE", 921, nullptr},
      {"SELECT 1 FROM t; SELECT 2 FROM t", 933, nullptr},
      {"SELECT a FROM t WHERE a = :missing", 1008, nullptr}};
  for (auto& c : cases) {
    Query q(k);
    // Prepare only stores the text; the error comes at execute.
    ASSERT_EQ(q.prepare(c.sql), OCI_SUCCESS);
    EXPECT_EQ(q.execute(), OCI_ERROR) << c.sql;
    int32_t code;
    std::string text = k.error(&code);
    EXPECT_EQ(code, c.code) << c.sql << ": " << text;
    if (c.text) {
      EXPECT_EQ(text, c.text);
    }
    EXPECT_EQ(text.back(), '\n');
  }
  Query q(k);
  EXPECT_EQ(q.fetch(1), OCI_ERROR);  // never prepared
  EXPECT_EQ(k.code(), 1002);
  // A successful call leaves no record behind.
  ASSERT_EQ(q.open("SELECT a FROM t"), OCI_SUCCESS);
  int32_t code = 0;
  unsigned char buf[16];
  EXPECT_EQ(k.c->OCIErrorGet(k.err, 1, nullptr, &code, buf, sizeof buf, OCI_HTYPE_ERROR),
            OCI_NO_DATA);
}

// ----------------------------------------------------------------- binds and ROWID

TEST_F(Engine, RowidRangesBindAsTextAndUseTheRowidIndex) {
  make("CREATE TABLE t(a TEXT); WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 "
       "FROM c WHERE x < 20) INSERT INTO t SELECT 'v' || x FROM c;");
  Conn k;
  ASSERT_EQ(k.open(path), OCI_SUCCESS);
  Query q(k);
  ASSERT_EQ(q.prepare("SELECT ROWID, a FROM t WHERE ROWID >= :minrid AND ROWID < :maxrid"),
            OCI_SUCCESS);
  std::string lo = "000000000000000009", hi = "000000000000000012";
  EXPECT_EQ(q.bind("MINRID", lo), OCI_SUCCESS);  // case-insensitive, no colon
  EXPECT_EQ(q.bind(":maxrid", hi), OCI_SUCCESS);
  ASSERT_EQ(q.execute(), OCI_SUCCESS) << k.error();
  EXPECT_EQ(describe(q, 1).type, 104);
  Slot rid(q, 1, SQLT_CHR, 18), a(q, 2, SQLT_CHR, 10);
  EXPECT_EQ(q.fetch(10), OCI_NO_DATA);
  ASSERT_EQ(q.attr32(OCI_ATTR_ROW_COUNT), 3u);
  EXPECT_EQ(rid.text(0), "000000000000000009");
  EXPECT_EQ(a.text(2), "v11");

  // Re-executing with new values reuses the compiled statement.
  lo = "000000000000000019";
  hi = "000000000000000099";
  ASSERT_EQ(q.execute(), OCI_SUCCESS);
  EXPECT_EQ(q.fetch(10), OCI_NO_DATA);
  EXPECT_EQ(q.attr32(OCI_ATTR_ROW_COUNT), 2u);

  Query plan(k);
  ASSERT_EQ(plan.prepare("EXPLAIN QUERY PLAN SELECT * FROM t WHERE ROWID >= :minrid AND "
                         "ROWID < :maxrid"),
            OCI_SUCCESS);
  plan.bind("minrid", lo);
  plan.bind("maxrid", hi);
  ASSERT_EQ(plan.execute(), OCI_SUCCESS);
  Slot detail(plan, 4, SQLT_CHR, 200);
  plan.fetch(10);
  EXPECT_NE(detail.text(0).find("USING INTEGER PRIMARY KEY (rowid>? AND rowid<?)"),
            std::string::npos)
      << detail.text(0);
}

std::vector<std::string>* g_seen = nullptr;
void observe(void*, const char* text, uint32_t len) {
  if (g_seen) g_seen->emplace_back(text, len);
}

TEST_F(Engine, SetupStatementsObserverAndHandleRelease) {
  make("CREATE TABLE t(a INTEGER);");
  std::vector<std::string> seen;
  g_seen = &seen;
  {
    Conn k;
    ASSERT_EQ(k.open(path), OCI_SUCCESS);
    EngineObserver observer{observe, nullptr, nullptr, nullptr};
    ASSERT_EQ(k.c->OCIAttrSet(k.env, OCI_HTYPE_ENV, &observer, 0, kAttrEngineObserver, k.err),
              OCI_SUCCESS);
    EXPECT_EQ(k.run("INSERT INTO t VALUES (1); INSERT INTO t VALUES (2);"), 0) << k.last;
    Query q(k);
    ASSERT_EQ(q.prepare("SELECT count(*) FROM t"), OCI_SUCCESS);
    ASSERT_EQ(q.execute(), OCI_SUCCESS);
    Slot s(q, 1, SQLT_CHR, 5);
    void* b = nullptr;
    std::string v = "1";
    k.c->OCIBindByName(q.st, &b, k.err, reinterpret_cast<const unsigned char*>("x"), 1,
                       v.data(), 1, SQLT_CHR, nullptr, nullptr, nullptr, 0, nullptr, 0);
    EXPECT_EQ(q.fetch(1), OCI_SUCCESS);
    EXPECT_EQ(s.text(0), "2");
    // The statement takes its binds and defines with it (a define freed
    // before it is gone already); the environment frees the rest.
    EXPECT_EQ(k.c->OCIHandleFree(s.def, OCI_HTYPE_DEFINE), OCI_SUCCESS);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(k.c->OCIHandleFree(q.st, OCI_HTYPE_STMT), OCI_SUCCESS);
    q.st = nullptr;
    EXPECT_EQ(k.c->OCISessionEnd(k.svc, k.err, k.ses, OCI_DEFAULT), OCI_SUCCESS);
    EXPECT_EQ(k.c->OCIServerDetach(k.srv, k.err, OCI_DEFAULT), OCI_SUCCESS);
  }
  g_seen = nullptr;
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1], "SELECT count(*) FROM t");
}

TEST_F(Engine, ManySessionsReadOneFileAtOnce) {
  make("CREATE TABLE t(a INTEGER); WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 "
       "FROM c WHERE x < 5000) INSERT INTO t SELECT x FROM c;");
  std::vector<std::thread> threads;
  std::vector<uint32_t> counts(16, 0);
  for (size_t i = 0; i < counts.size(); ++i)
    threads.emplace_back([&, i] {
      Conn k;
      if (k.open(path) != OCI_SUCCESS) return;
      Query q(k);
      if (q.open("SELECT a FROM t") != OCI_SUCCESS) return;
      Slot s(q, 1, SQLT_CHR, 10, 100);
      while (q.fetch(100) == OCI_SUCCESS) {
      }
      counts[i] = q.attr32(OCI_ATTR_ROW_COUNT);
    });
  for (auto& t : threads) t.join();
  for (uint32_t c : counts) EXPECT_EQ(c, 5000u);
}

TEST_F(Engine, DemoSchemaLoadsAndUnloadsEveryColumn) {
  std::string sql = rvtest::read_file(std::string(ROWVANE_SOURCE_DIR) + "/examples/demo.sql");
  ASSERT_FALSE(sql.empty());
  make(sql);
  Conn k;
  ASSERT_EQ(k.open(path), OCI_SUCCESS);
  for (const char* table : {"departments", "employees", "orders", "documents"}) {
    SCOPED_TRACE(table);
    Query q(k);
    ASSERT_EQ(q.open(std::string("select * from ") + table), OCI_SUCCESS) << k.error();
    uint32_t cols = q.attr32(OCI_ATTR_PARAM_COUNT);
    std::vector<std::unique_ptr<Slot>> slots;
    for (uint32_t c = 1; c <= cols; ++c) {
      Described d = describe(q, c);
      bool lob = d.type == 112 || d.type == 113;
      slots.push_back(std::make_unique<Slot>(q, c, lob ? (d.type == 112 ? SQLT_LVC : SQLT_LVB)
                                                       : (d.type == 23 ? SQLT_BIN : SQLT_CHR),
                                             lob ? 200004 : 4000, 20));
    }
    int32_t r = q.fetch(20);
    EXPECT_EQ(r, OCI_NO_DATA) << k.error();
    EXPECT_GT(q.attr32(OCI_ATTR_ROW_COUNT), 3u);
  }
}

}  // namespace

// ------------------------------------------------- quick paths of text forms

namespace {
// The general double text: shortest round-trip digits, plain up to 46
// characters, exponent form past that.
std::string general_double_text(double v) {
  if (v == 0) return "0";
  char out[512];
  auto r = std::to_chars(out, out + sizeof out, v, std::chars_format::fixed);
  if (r.ptr - out <= 46) return std::string(out, r.ptr);
  r = std::to_chars(out, out + sizeof out, v, std::chars_format::scientific);
  std::string s(out, r.ptr);
  for (char& c : s)
    if (c == 'e') c = 'E';
  return s;
}
}  // namespace

TEST(EmbeddedForms, DoubleTextMatchesTheShortestRoundTripForm) {
  std::mt19937_64 rng(7);
  auto check = [](double v) {
    char out[512];
    size_t n = embedded::format_double(v, out);
    ASSERT_EQ(std::string(out, n), general_double_text(v)) << std::hexfloat << v;
  };
  for (double v : {0.0, -0.0, 0.1 + 0.2, 0.5, -0.5, 1e15 + 0.3, 0x1p44, 0x1p50 - 0.5, 1e-5,
                   -1234.0625, 1e20, 123456789.0001, 99999999999.9999})
    check(v);
  std::uniform_int_distribution<int> digits(1, 17), places(0, 4);
  for (int i = 0; i < 300000; ++i) {
    double v;
    switch (i % 3) {
      case 0: {  // any bit pattern: every magnitude
        uint64_t bits = rng();
        std::memcpy(&v, &bits, 8);
        if (!std::isfinite(v)) continue;
        break;
      }
      case 1: {  // up to four decimals
        int64_t m = static_cast<int64_t>(rng() >> (64 - 3 * digits(rng)));
        static const double kPow[] = {1, 10, 100, 1000, 10000};
        v = static_cast<double>(m) / kPow[places(rng)];
        break;
      }
      default:  // sums that miss their decimal
        v = static_cast<double>(rng() % 100000) / 100 + static_cast<double>(rng() % 1000) / 1000;
        break;
    }
    check(rng() & 1 ? -v : v);
  }
}

TEST_F(Engine, StoredDateTextAgreesWithTheGeneralPath) {
  // Text in the stored form goes straight through; anything the general
  // parser treats differently must still take it.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"2024-02-29 13:05:00", "2024-02-29 13:05:00"}, {"0001-01-01 00:00:00", "0001-01-01 00:00:00"},
      {"9999-12-31 23:59:59", "9999-12-31 23:59:59"}, {"2000-02-29 00:00:00", "2000-02-29 00:00:00"},
      {"2024-01-05T10:00:00", "2024-01-05 10:00:00"}, {"2024-1-05 10:00:00", "2024-01-05 10:00:00"},
      {"2024-01-05 10:00:00Z", "2024-01-05 10:00:00"}, {"2024-01-05 10:00", "2024-01-05 10:00:00"},
      {" 2024-01-05 10:00:00", "2024-01-05 10:00:00"}, {"2024-13-01 00:00:00", ""},
      {"2024-04-31 00:00:00", ""}, {"1900-02-29 00:00:00", ""}, {"2024-01-32 00:00:00", ""},
      {"2024-01-01 24:00:00", ""}, {"2024-01-01 00:60:00", ""}, {"2024-01-01 00:00:60", ""},
      {"0000-01-01 00:00:00", ""}, {"2024/01/01 00:00:00", ""}, {"2024-01-01 00-00:00", ""},
      {"2O24-01-01 00:00:00", ""}, {"2024-00-10 00:00:00", ""}, {"2024-01-00 00:00:00", ""}};
  std::string sql = "CREATE TABLE t(id INTEGER, d DATE);";
  for (size_t i = 0; i < cases.size(); ++i)
    sql += "INSERT INTO t VALUES(" + std::to_string(i) + ",'" + cases[i].first + "');";
  make(sql);
  Conn k;
  ASSERT_EQ(k.open(path), OCI_SUCCESS);
  for (size_t i = 0; i < cases.size(); ++i) {
    Query q(k);
    ASSERT_EQ(q.open("SELECT d FROM t WHERE id = " + std::to_string(i)), OCI_SUCCESS);
    Slot d(q, 1, SQLT_CHR, 40);
    int32_t r = q.fetch(1);
    if (cases[i].second.empty()) {
      EXPECT_NE(r, OCI_SUCCESS) << cases[i].first;
      EXPECT_EQ(k.code(), 1861) << cases[i].first;
    } else {
      EXPECT_EQ(r, OCI_SUCCESS) << cases[i].first;
      EXPECT_EQ(d.text(0), cases[i].second) << cases[i].first;
    }
  }
  // Another format takes the general path for the same text.
  ASSERT_EQ(k.run("ALTER SESSION SET NLS_DATE_FORMAT = 'DD.MM.YYYY HH24:MI'"), 0) << k.last;
  Query q(k);
  ASSERT_EQ(q.open("SELECT d FROM t WHERE id = 0"), OCI_SUCCESS);
  Slot d(q, 1, SQLT_CHR, 40);
  ASSERT_EQ(q.fetch(1), OCI_SUCCESS);
  EXPECT_EQ(d.text(0), "29.02.2024 13:05");
}

// Columns hold their declared types as on the server: text that is no
// number fails as the server's conversion does, text that is one comes out
// as the server writes it, and NUMBER text has no zero before the point.
// An untyped column takes its kind from the first row.
TEST_F(Engine, NumberAndDateColumnsHoldTheirTypes) {
  make("CREATE TABLE t(id INTEGER, n NUMBER, b BINARY_DOUBLE, d DATE, m);"
       "INSERT INTO t(id, n) VALUES (1, '2,3);DROP TABLE keep;--'), (2, x'01'), (3, 0.00123),"
       " (4, -0.5), (5, '');"
       "INSERT INTO t(id, b) VALUES (6, 'x'), (7, 0.5);"
       "INSERT INTO t(id, d) VALUES (8, 'not a date');"
       "INSERT INTO t(id, m) VALUES (9, 7), (10, ' -000.50 '), (11, '1e3'),"
       " (12, '12345678901234567890.123456789'), (13, '1e-50'), (14, '-1e60'), (15, '5x');");
  Conn k;
  ASSERT_EQ(k.open(path), OCI_SUCCESS);
  // One fetch call per query: the texts before the error that ends it.
  const struct {
    const char* query;
    std::vector<std::string> texts;
    int32_t code;
  } cases[] = {
      {"SELECT n FROM t WHERE id = 1", {}, 1722},
      {"SELECT n FROM t WHERE id = 2", {}, 1722},
      {"SELECT b FROM t WHERE id = 6", {}, 1722},
      {"SELECT d FROM t WHERE id = 8", {}, 1861},
      {"SELECT n FROM t WHERE id IN (3, 4, 5) ORDER BY id", {".00123", "-.5", ""}, 0},
      {"SELECT b FROM t WHERE id = 7", {"0.5"}, 0},
      {"SELECT m FROM t WHERE id >= 9 ORDER BY id",
       {"7", "-.5", "1000", "12345678901234567890.123456789", "1E-50", "-1E+60"}, 1722}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    Query q(k);
    ASSERT_EQ(q.open(c.query), OCI_SUCCESS);
    Slot s(q, 1, SQLT_CHR, 60);
    EXPECT_EQ(q.fetch(10), c.code ? OCI_ERROR : OCI_NO_DATA);
    EXPECT_EQ(k.code(), c.code ? c.code : 1403);
    for (size_t row = 0; row < c.texts.size(); ++row) EXPECT_EQ(s.text(row), c.texts[row]);
    EXPECT_EQ(s.ind[2], c.texts.size() == 3 ? -1 : 0);  // '' is NULL
  }
}
