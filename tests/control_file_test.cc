// The loader control file: byte-exact layouts and the conditions under
// which it is (not) written.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "config/job.h"
#include "crypto/login_cipher.h"
#include "loader/control_file.h"
#include "test_support.h"
#include "unload/columns.h"
#include "unload_fixture.h"

using namespace rowvane;

namespace {

struct Col {
  const char* name;
  uint16_t type;
  int32_t slot;
  uint32_t display;
  int16_t precision;
  int16_t scale;
  uint8_t form;
};

// One column of every kind the file tells apart.
const Col kItems[] = {
    {"ID", 2, 11, 11, 10, 0, 1},          {"AMOUNT", 2, 10, 10, 8, 2, 1},
    {"RATIO", 2, 4, 4, 2, 2, 1},          {"N", 2, 40, 40, 0, 0, 1},
    {"F", 4, 40, 40, 0, 0, 1},            {"BF", 21, 15, 15, 0, 0, 1},
    {"BD", 22, 24, 24, 0, 0, 1},          {"I", 3, 40, 40, 0, 0, 1},
    {"CREATED", 12, 19, 19, 0, 0, 1},     {"UPD", 156, 19, 19, 0, 0, 1},
    {"TS", 187, 26, 26, 6, 0, 1},         {"TS0", 180, 26, 26, 0, 0, 1},
    {"TSZ", 188, 36, 36, 3, 0, 1},        {"TSL", 232, 30, 30, 0, 0, 1},
    {"NOTE", 112, 100, 100, 0, 0, 1},     {"NNOTE", 112, 100, 100, 0, 0, 2},
    {"PIC", 113, 200, 200, 0, 0, 1},      {"NAME", 1, 100, 100, 0, 0, 1},
    {"NNAME", 1, 100, 100, 0, 0, 2},      {"CODE", 96, 4, 4, 0, 0, 1},
};

// A linked ColumnInfo list as the description builds it.
class Columns {
 public:
  template <size_t N>
  explicit Columns(const Col (&cols)[N]) : list_(N) {
    for (size_t i = 0; i < N; ++i) {
      ColumnInfo& c = list_[i];
      std::memset(&c, 0, sizeof c);
      std::snprintf(c.name, sizeof c.name, "%s", cols[i].name);
      c.name_len = static_cast<uint32_t>(std::strlen(c.name));
      c.oracle_type = cols[i].type;
      c.slot_width = cols[i].slot;
      c.display_width = cols[i].display;
      c.precision = cols[i].precision;
      c.scale = cols[i].scale;
      c.charset_form = cols[i].form;
      c.next = i + 1 < N ? &list_[i + 1] : nullptr;
    }
  }
  const ColumnInfo* first() const { return list_.data(); }

 private:
  std::vector<ColumnInfo> list_;
};

std::string banner_part() {
  return std::string("--\n-- ") + banner_line(0) + "\n-- " + banner_line(1) + "\n--\n-- " +
         banner_line(2) + "\n--\n";
}

std::string golden(const char* name) {
  return rvtest::read_file(std::string(ROWVANE_SOURCE_DIR) + "/tests/data/" + name);
}

struct Fixture {
  std::string dir = rvtest::temp_dir("control");
  std::string path = dir + "/items.ctl";
  UnloadJob job;
  Fixture() {
    job_defaults(&job);
    std::snprintf(job.table, sizeof job.table, "ITEMS");
    std::snprintf(job.control, sizeof job.control, "%s", path.c_str());
  }
  std::string write(const ColumnInfo* first) {
    write_control_file(first, job);
    return rvtest::file_exists(path) ? rvtest::read_file(path) : std::string("<none>");
  }
};

// Restores the working directory at the end of a test.
struct InDir {
  std::filesystem::path old = std::filesystem::current_path();
  explicit InDir(const std::string& d) { std::filesystem::current_path(d); }
  ~InDir() { std::filesystem::current_path(old); }
};

}  // namespace

TEST(ControlFileLayout, DelimitedWithLobFileCrlfHeadAndQuote) {
  Fixture f;
  std::snprintf(f.job.file, sizeof f.job.file, "items_%%p.txt");
  std::memcpy(f.job.record, "\r\n", 3);
  f.job.record_len = 2;
  f.job.head = 1;
  std::snprintf(f.job.quote, sizeof f.job.quote, "\"");
  std::snprintf(f.job.lobfile, sizeof f.job.lobfile, "items.lob");
  Columns cols(kItems);
  EXPECT_EQ(f.write(cols.first()), banner_part() + golden("control_delimited_body.ctl"));
}

TEST(ControlFileLayout, FixedWidthWithoutLobFile) {
  Fixture f;
  std::snprintf(f.job.file, sizeof f.job.file, "/data/items.dat");
  std::snprintf(f.job.field, sizeof f.job.field, " ");
  std::snprintf(f.job.mode, sizeof f.job.mode, "APPEND");
  std::snprintf(f.job.quote, sizeof f.job.quote, "\"");  // ignored in fixed width
  f.job.head = 1;                                         // no SKIP in fixed width
  f.job.buffer = 1048576;
  Columns cols(kItems);
  EXPECT_EQ(f.write(cols.first()), banner_part() + golden("control_fixed_body.ctl"));
}

TEST(ControlFileLayout, LobFieldsAndSeparators) {
  const Col lobs[] = {{"A", 1, 5, 5, 0, 0, 1}, {"DOC", 112, 8, 4000, 0, 0, 1},
                      {"B", 1, 3, 3, 0, 0, 1}, {"IMG", 113, 8, 4000, 0, 0, 1}};
  Columns cols(lobs);
  {
    // Fixed width with a lob file: a reference field of 256 bytes.
    Fixture f;
    std::snprintf(f.job.field, sizeof f.job.field, " ");
    std::snprintf(f.job.lobfile, sizeof f.job.lobfile, "x.lob");
    std::string text = f.write(cols.first());
    EXPECT_NE(text.find("\"FIX 521\"\n"), std::string::npos);
    EXPECT_NE(text.find("(\n  \"A\" POSITION(1:5) CHAR(5) NULLIF \"A\"=BLANKS ,\n"
                        "  \"DOC\" POSITION(6:261) LLS ,\n"
                        "  \"B\" POSITION(262:264) CHAR(3) NULLIF \"B\"=BLANKS ,\n"
                        "  \"IMG\" POSITION(265:520) LLS \n)\n"),
              std::string::npos)
        << text;
  }
  {
    // Default separators, no lob file, no quote, head off: LOBs are CHAR
    // fields of their display width.
    Fixture f;
    std::string text = f.write(cols.first());
    EXPECT_NE(text.find("OPTIONS(BINDSIZE=2097152,READSIZE=2097152,ERRORS=50000,ROWS=50000)\n"),
              std::string::npos);
    EXPECT_NE(text.find("INFILE 'vanedata_%p.txt' \"STR X'0a'\"\nINSERT INTO TABLE ITEMS\n"
                        "FIELDS TERMINATED BY X'2c' TRAILING NULLCOLS \n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  \"DOC\" CHAR(4000) NULLIF \"DOC\"=BLANKS ,\n"), std::string::npos);
    EXPECT_NE(text.find("  \"IMG\" CHAR(4000) NULLIF \"IMG\"=BLANKS \n)\n"), std::string::npos);
  }
  {
    // Multi-byte separators, hex of every byte (a zero byte in the record
    // separator included).
    Fixture f;
    std::memcpy(f.job.field, "|\x01", 3);
    std::memcpy(f.job.record, "\x00\xff\n", 3);
    f.job.record_len = 3;
    std::string text = f.write(cols.first());
    EXPECT_NE(text.find("\"STR X'00ff0a'\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("FIELDS TERMINATED BY X'7c01' TRAILING"), std::string::npos) << text;
  }
}

// Names that are not plain identifiers stay whole: double quotes doubled in
// the field lines; in the commented CREATE TABLE quoted only when needed,
// with a line break (which would end the comment) shown as "?".
TEST(ControlFileLayout, OddColumnNamesStayWhole) {
  const Col odd[] = {{"ID", 2, 11, 11, 10, 0, 1}, {"A\"B", 1, 5, 5, 0, 0, 1},
                     {"L\nF x", 12, 19, 19, 0, 0, 1}, {"LR", 24, 100, 192, 0, 0, 1}};
  Columns cols(odd);
  Fixture f;
  std::string text = f.write(cols.first());
  EXPECT_NE(text.find("--  CREATE TABLE ITEMS (\n--    ID NUMBER(10),\n--    \"A\"\"B\" VARCHAR2(5),\n"
                      "--    \"L?F x\" DATE,\n--    LR LONG RAW\n--  );\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("(\n  \"ID\" CHAR(11) NULLIF \"ID\"=BLANKS ,\n"
                      "  \"A\"\"B\" CHAR(5) NULLIF \"A\"\"B\"=BLANKS ,\n"
                      "  \"L\nF x\" DATE \"YYYY-MM-DD HH24:MI:SS\" NULLIF \"L\nF x\"=BLANKS,\n"
                      "  \"LR\" CHAR(192) NULLIF \"LR\"=BLANKS \n)\n"),
            std::string::npos)
      << text;
}

TEST(ControlFileConditions, WrittenOnlyWhenItApplies) {
  Columns cols(kItems);
  Fixture f;
  f.job.format = kFormatMysqlInsert;
  EXPECT_EQ(f.write(cols.first()), "<none>");
  f.job.format = kFormatSqlInsert;
  EXPECT_EQ(f.write(cols.first()), "<none>");
  f.job.format = kFormatText;
  f.job.piece = 2;
  EXPECT_EQ(f.write(cols.first()), "<none>");
  f.job.piece = 1;
  f.job.table[0] = 0;
  EXPECT_EQ(f.write(cols.first()), "<none>");
}

TEST(ControlFileConditions, NameAndUncreatableFile) {
  Columns cols(kItems);
  std::string dir = rvtest::temp_dir("control_name");
  {
    InDir in(dir);
    UnloadJob job;
    job_defaults(&job);
    std::snprintf(job.table, sizeof job.table, "SCOTT.EMP");
    write_control_file(cols.first(), job);
  }
  std::string text = rvtest::read_file(dir + "/SCOTT.EMP_sqlldr.ctl");
  EXPECT_NE(text.find("--  CREATE TABLE SCOTT.EMP (\n"), std::string::npos);
  EXPECT_NE(text.find("INSERT INTO TABLE SCOTT.EMP\n"), std::string::npos);

  // The longest table name still names its file whole.
  {
    InDir in(dir);
    UnloadJob job;
    job_defaults(&job);
    std::memset(job.table, 'T', sizeof job.table - 1);
    write_control_file(cols.first(), job);
  }
  EXPECT_TRUE(rvtest::file_exists(dir + "/" + std::string(sizeof(UnloadJob::table) - 1, 'T') +
                                  "_sqlldr.ctl"));
  // Both were written under temporary names and renamed: none is left.
  EXPECT_EQ(rvtest::run_shell("ls -A '" + dir + "' | grep -c rvtmp").out, "0\n");

  // A file that cannot be created is skipped without harm.
  UnloadJob job;
  job_defaults(&job);
  std::snprintf(job.table, sizeof job.table, "T");
  std::snprintf(job.control, sizeof job.control, "%s/missing/dir/t.ctl", dir.c_str());
  write_control_file(cols.first(), job);
  EXPECT_FALSE(rvtest::file_exists(job.control));
}

// Fixed-width files unloaded by the engine against their control files:
// every record is FIX bytes long (client-side conversion, rowpre/rowsuf),
// the fields lie where POSITION says in the mask's form, and the widest
// legal values fit without safe=YES (a scale above the precision or below
// zero, nine fraction digits).
TEST(ControlFileAgainstData, FixedRecordsMatchFixAndPositions) {
  std::string dir = rvtest::temp_dir("control_fix");
  std::string db = dir + "/w.db";
  rvtest::sqlite_exec(db, "CREATE TABLE W (A NUMBER(3,5), B NUMBER(2,-3), C NUMBER(1,1), S VARCHAR2(7),"
                          " TL TIMESTAMP WITH LOCAL TIME ZONE, T9 TIMESTAMP(9), Z9 \"TIMESTAMP(9) WITH TIME ZONE\","
                          " R RAW(3));"
                          "INSERT INTO W VALUES (-0.00999, -99000, -0.9, 'abc', '2024-01-02 03:04:05.123456',"
                          " '2024-01-02 03:04:05.123456789', '2024-01-02 03:04:05.123456789 +05:30', X'00FF5C'),"
                          " (NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL);");
  const std::vector<std::vector<std::string>> cases = {
      {"client=NO", "-.00999", "-.9"}, {"client=YES", "-0.009990", "-0.90"},
      {"client=YES", "-0.009990", "-0.90", "rowpre=<<", "rowsuf=>"}};
  for (const auto& c : cases) {
    std::vector<std::string> options = {"query=W", "table=W", "field=0x20", c[0],
                                        "control=" + dir + "/w.ctl", "file=" + dir + "/w.dat"};
    options.insert(options.end(), c.begin() + 3, c.end());
    SCOPED_TRACE(options.back());
    auto r = rvunload::run_unload(db, options);
    ASSERT_EQ(r.result, 0) << r.messages;
    std::string ctl = rvtest::read_file(dir + "/w.ctl"), data = rvtest::read_file(dir + "/w.dat");
    size_t fix = std::stoul(ctl.substr(ctl.find("\"FIX ") + 5));
    ASSERT_EQ(data.size(), 2 * fix) << data;
    EXPECT_EQ(data[fix - 1], '\n');
    // A field's type and its trimmed text in the first record, by its line.
    auto field = [&](const std::string& name) {
      size_t open = ctl.find("(", ctl.find("  \"" + name + "\" POSITION(")), colon = ctl.find(':', open);
      size_t start = std::stoul(ctl.substr(open + 1)), end = std::stoul(ctl.substr(colon + 1));
      std::string type = ctl.substr(ctl.find(')', colon) + 2);
      std::string v = data.substr(start - 1, end - start + 1);
      return type.substr(0, type.find(" NULLIF")) + "=" + v.substr(0, v.find_last_not_of(' ') + 1);
    };
    EXPECT_EQ(field("A"), "CHAR(" + std::string(c[0] == "client=NO" ? "7" : "9") + ")=" + c[1]);
    EXPECT_EQ(field("B"), "CHAR(6)=-99000");
    EXPECT_EQ(field("C"), "CHAR(" + std::string(c[0] == "client=NO" ? "4" : "5") + ")=" + c[2]);
    EXPECT_EQ(field("S"), "CHAR(7)=abc");
    EXPECT_EQ(field("TL"),
              "TIMESTAMP WITH LOCAL TIME ZONE \"YYYY-MM-DD HH24:MI:SSXFF\"=2024-01-02 03:04:05.123456");
    EXPECT_EQ(field("T9"), "TIMESTAMP \"YYYY-MM-DD HH24:MI:SSXFF\"=2024-01-02 03:04:05.123456789");
    EXPECT_EQ(field("Z9"), "TIMESTAMP WITH TIME ZONE \"YYYY-MM-DD HH24:MI:SSXFF TZH:TZM\"="
                           "2024-01-02 03:04:05.123456789 +05:30");
    // RAW: hex text in a CHAR field of twice the byte width, as the loader
    // reads a RAW column from a character field.
    EXPECT_EQ(field("R"), "CHAR(6)=00FF5C");
    EXPECT_NE(ctl.find("--    R RAW(3)\n"), std::string::npos);
  }
}
