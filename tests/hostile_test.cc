// Hostile input through the whole program: huge and numerous arguments,
// control bytes, oversized SQL and parameter files, long width lists, wide
// tables, long column names and quoted table names. Every run must end by
// itself with a clear message or the documented cut, never a crash, a hang
// or a sanitizer report (the sanitizer build runs the same suite).

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "process_support.h"
#include "test_support.h"

namespace {

using rvproc::count_of;
using rvproc::ended_cleanly;
using rvproc::lines_of;
using rvproc::Proc;

class Hostile : public rvproc::FolderTest {
 protected:
  void SetUp() override { make_folder("hostile", 50); }
};

// ---------------------------------------------------------------------------
// Arguments

TEST_F(Hostile, TenThousandCharacterArgumentsAreCutOrRefused) {
  const std::string x(10000, 'x');

  // query= stores at most 8191 characters: refused rather than cut.
  Proc p = run({login_, "query=" + x});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 1);
  EXPECT_NE(p.out.find("ERROR -- query= text longer than 8191 characters"), std::string::npos) << p.out;

  // user= is cut to 128 characters: the login then names no database.
  p = run({"user=u/p@sqlite:" + dir_ + "/" + x, "query=T"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 1);
  EXPECT_EQ(count_of(p.out, "ORA-12154"), 1u) << p.out;

  // A bare first argument is the login, cut the same way.
  p = run({x, "query=T"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 1);

  // file= keeps its first 255 characters: the file appears under that name.
  const std::string file_value = dir_ + "/" + x;
  p = run({login_, "query=T", "file=" + file_value});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0) << p.out;
  EXPECT_EQ(lines_of(rvtest::read_file(file_value.substr(0, 255))).size(), 50u);

  // A separator of 2,500 "0x7c" codes: 131 source characters are decoded,
  // and the last code reads past the limit, giving 33 bars.
  std::string bars;
  for (int i = 0; i < 2500; ++i) bars += "0x7c";
  p = run({login_, "query=select ID, ID + 1 from T where ID = 7", "file=-", "field=" + bars});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(p.out, "7" + std::string(33, '|') + "8\n");

  // A bind value keeps 127 characters, its name 30.
  p = run({login_, "query=select :v", "file=-", ":v=" + x, ":" + x + "=1"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(p.out, std::string(127, 'x') + "\n");

  // Names of files that cannot exist.
  for (const std::string& arg : {"parfile=" + x, "sql=" + x}) {
    p = run({login_, "query=T", arg});
    ASSERT_TRUE(ended_cleanly(p)) << arg.substr(0, 10);
    EXPECT_EQ(p.status, 1);
    EXPECT_NE(p.out.find("ERROR -- Cannot open"), std::string::npos);
  }

  // Every text keyword at once, each with 10,000 characters.
  std::vector<std::string> args = {login_, "query=T", "file=" + dir_ + "/all.txt"};
  for (const char* k : {"table", "mode", "control", "width", "alter", "key", "sedf", "sedt", "escf",
                        "esct", "exec", "quote", "rowpre", "rowsuf", "null", "colsep", "prehead",
                        "hint", "unique", "part", "charset", "ncharset", "presql", "postsql"}) {
    args.push_back(std::string(k) + "=" + x);
  }
  p = run(args, dir_);
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_NE(p.status, 0);  // the presql text is no statement
  EXPECT_NE(p.out.find("ORA-"), std::string::npos) << p.out.substr(0, 500);
}

TEST_F(Hostile, ThousandArguments) {
  // 997 repeated options and unknown words: unknown arguments after the
  // first are ignored, the repeated option is applied each time.
  std::vector<std::string> args = {login_, "query=T", "file=" + dir_ + "/many.txt"};
  for (int i = 0; i < 997; ++i) {
    args.push_back(i % 2 ? "rows=" + std::to_string(1000 + i) : "no-such-keyword-" + std::to_string(i));
  }
  ASSERT_EQ(args.size(), 1000u);
  Proc p = run(args);
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0) << p.out;
  EXPECT_EQ(lines_of(rvtest::read_file(dir_ + "/many.txt")).size(), 50u);

  // 1,000 bind arguments: the first 18 are bound, the rest ignored.
  args = {login_, "query=select :B1 || '-' || :B18", "file=-"};
  for (int i = 1; i <= 997; ++i) args.push_back(":B" + std::to_string(i) + "=v" + std::to_string(i));
  p = run(args);
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(p.out, "v1-v18\n");
  args[1] = "query=select :B19";
  p = run(args);
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 3);
  EXPECT_EQ(count_of(p.out, "ORA-01008"), 1u) << p.out;
}

TEST_F(Hostile, ControlBytesInOptionTexts) {
  rvtest::sqlite_exec(db_, "CREATE TABLE C(A VARCHAR2(10), B VARCHAR2(10));"
                           "INSERT INTO C VALUES ('x' || char(1) || 'y', NULL), ('', 'tab' || char(9));");
  // Zero bytes and control bytes as separators, through the "0x" codes and
  // as raw bytes in the argument.
  Proc p = run({login_, "query=C", "file=-", "field=0x00", "record=0x000x0a", "null=0x7f0x1b"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(p.out, std::string("x\x01y\0\x7f\x1b\0\n\0tab\t\0\n", 15));

  p = run({login_, "query=C", "file=-", "field=\x01\x02", "record=\x1e\n", "quote=\x1f"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.out, "\x1fx\x01y\x1f\x01\x02\x1e\n\x1f\x1f\x01\x02\x1ftab\t\x1f\x1e\n");

  // Keywords hidden behind control bytes are no keywords; statements with
  // tabs, carriage returns and form feeds between their words still run.
  p = run({login_, "query=select\tA,\rB\ffrom C where B is null", "file=-", "\x01rows=5", "fi\x7fle=x"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(p.out, "x\x01y,\n");

  // Control bytes in names of files and logins.
  p = run({login_, "query=C", std::string("file=") + dir_ + "/out\x01\x1b[31m.txt"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0);
  EXPECT_TRUE(rvtest::file_exists(dir_ + "/out\x01\x1b[31m.txt"));
  p = run({"user=u/p\x01\x02@sqlite:" + db_ + "\x03", "query=C"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 1);
}

TEST_F(Hostile, OversizedAndBrokenSqlAndParameterFiles) {
  // A SQL file of 1 MB does not fit the 32767-character statement.
  const std::string comment(1 << 20, 'c');
  rvtest::write_file(dir_ + "/big.sql", "select ID from T /*" + comment + "*/\n");
  Proc p = run({login_, "sql=" + dir_ + "/big.sql"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 1);
  EXPECT_NE(p.out.find("ERROR -- SQL text longer than 32767 characters"), std::string::npos) << p.out;

  // The same through standard input.
  p = run({login_, "sql=-"}, "", "select ID from T /*" + comment + "*/\n/\n");
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 1);

  // Just below the limit the statement runs whole: the text with its line
  // end and the blank after it fills the buffer to 32767 characters.
  const std::string head = "select ID from T where ID < 4 /*";
  const std::string fit = head + std::string(32767 - head.size() - 4, 'c') + "*/\n";
  rvtest::write_file(dir_ + "/fit.sql", fit);
  p = run({login_, "sql=" + dir_ + "/fit.sql", "file=-"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0) << p.out.substr(0, 300);
  EXPECT_EQ(p.out, "1\n2\n3\n");

  // A zero byte inside a SQL or parameter file would silently drop the rest
  // of its line (and join the next one to it): such files are refused.
  rvtest::write_file(dir_ + "/nul.sql", std::string("select ID from T where ID < 3\0 and ID > 10\n or ID = 7\n", 54));
  p = run({login_, "sql=" + dir_ + "/nul.sql", "file=-"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 1);
  EXPECT_EQ(p.out, "ERROR -- Zero byte in SQL file : " + dir_ + "/nul.sql\n");
  p = run({login_, "sql=-", "file=-"}, "", std::string("select 1\0\n", 10));
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 1);
  rvtest::write_file(dir_ + "/nul.par", std::string("query=select ID from T\0x\nfile=-\n", 32));
  p = run({login_, "parfile=" + dir_ + "/nul.par"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 1);
  EXPECT_EQ(p.out, "ERROR -- Zero byte in parameter file : " + dir_ + "/nul.par\n");

  // A parameter file with a 1 MB option line, and one with 100,000 lines.
  rvtest::write_file(dir_ + "/big.par", "query=select 1 /*" + comment + "*/\n");
  p = run({login_, "parfile=" + dir_ + "/big.par"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 1);
  EXPECT_NE(p.out.find("ERROR -- "), std::string::npos);
  std::string many;
  for (int i = 0; i < 100000; ++i) many += "rows=" + std::to_string(1000 + i) + "\n";
  rvtest::write_file(dir_ + "/many.par", many + "query=T\nfile=-\n");
  p = run({login_, "parfile=" + dir_ + "/many.par"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(lines_of(p.out).size(), 50u);
}

// ---------------------------------------------------------------------------
// Tables

TEST_F(Hostile, WidthListsOfFiveThousandEntries) {
  std::string wide, junk;
  for (int i = 0; i < 5000; ++i) {
    wide += (i ? ":" : "") + std::string("100");
    junk += (i ? ":" : "") + std::string(i % 4 == 0 ? "abc" : i % 4 == 1 ? "-5" : i % 4 == 2 ? "99999999999" : "");
  }
  for (const std::string& w : {wide, junk}) {
    Proc p = run({login_, "query=T", "file=-", "width=" + w});
    ASSERT_TRUE(ended_cleanly(p));
    EXPECT_EQ(p.status, 0) << p.out.substr(0, 300);
    ASSERT_EQ(lines_of(p.out).size(), 50u);
    EXPECT_EQ(lines_of(p.out)[49], "50,name-50");
  }
  // Widths narrower than the values: the fetch reports the cut values.
  Proc p = run({login_, "query=T", "file=-", "width=1:1"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_NE(p.status, 0);
  EXPECT_NE(p.out.find("ORA-"), std::string::npos);
}

// Creates table W with `columns` INTEGER columns named by `name(i)`, and
// one row holding 0 to columns-1.
void make_wide_table(const std::string& db, int columns, std::string (*name)(int)) {
  std::string create = "CREATE TABLE W(", insert = "INSERT INTO W VALUES(";
  for (int i = 0; i < columns; ++i) {
    create += (i ? "," : "") + ("\"" + name(i) + "\" INTEGER");
    insert += (i ? "," : "") + std::to_string(i);
  }
  rvtest::sqlite_exec(db, create + ");" + insert + ");");
}

std::string short_name(int i) { return "C" + std::to_string(i); }
std::string long_name(int i) {
  std::string n = "N" + std::to_string(i) + "_";
  return n + std::string(200 - n.size(), 'x');
}

TEST_F(Hostile, WideTables) {
  const std::string wide_db = dir_ + "/wide.db";
  make_wide_table(wide_db, 2000, short_name);
  const std::string wide = rvproc::login_for(wide_db);

  // 2,000 columns: more than a select list may have, refused with one line.
  Proc p = run({wide, "query=W", "file=" + dir_ + "/w.txt"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 5);
  EXPECT_EQ(count_of(p.out, "ERROR -- The query selects 2000 columns; at most 1023 are supported."), 1u)
      << p.out;

  // 1,023 columns in every output type.
  std::string list;
  for (int i = 0; i < 1023; ++i) list += (i ? "," : "") + short_name(i);
  for (const char* type : {"CSV", "MYSQL", "ORACLEINS", "MYSQLINS", "FORM", "SEARCH"}) {
    p = run({wide, "query=select " + list + " from W", std::string("text=") + type, "table=W",
             "file=" + dir_ + "/w.txt"},
            dir_);
    ASSERT_TRUE(ended_cleanly(p)) << type;
    EXPECT_EQ(p.status, 0) << type << ": " << p.out.substr(0, 300);
    const std::string out = rvtest::read_file(dir_ + "/w.txt");
    EXPECT_NE(out.find("1022"), std::string::npos) << type;
  }
  // The control file of 1,023 columns.
  p = run({wide, "query=select " + list + " from W", "table=W", "control=" + dir_ + "/w.ctl",
           "file=" + dir_ + "/w.txt"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0);
  EXPECT_NE(rvtest::read_file(dir_ + "/w.ctl").find("\"C1022\""), std::string::npos);
}

TEST_F(Hostile, ColumnNamesOfTwoHundredCharacters) {
  const std::string names_db = dir_ + "/names.db";
  make_wide_table(names_db, 100, long_name);
  const std::string login = rvproc::login_for(names_db);

  // Names are cut to 30 characters (and folded to upper case) wherever they
  // are written: head line, statement heads, FORM padding, control file.
  const std::string cut0 = "N0_" + std::string(27, 'X');
  Proc p = run({login, "query=W", "text=CSV", "file=-"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(p.out.substr(0, 31), cut0 + ",");
  p = run({login, "query=W", "text=FORM"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.out.substr(0, 35), cut0 + " : 0\n");
  p = run({login, "query=W", "text=ORACLEINS"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0);
  EXPECT_NE(p.out.find("INSERT  INTO W (" + cut0 + ","), std::string::npos);
  p = run({login, "query=W", "control=" + dir_ + "/n.ctl", "file=" + dir_ + "/n.txt"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0);
  EXPECT_NE(rvtest::read_file(dir_ + "/n.ctl").find("\"" + cut0 + "\""), std::string::npos);

  // 1,000 columns of 30-character names make a statement head of more than
  // 16,384 bytes: refused before any file is opened, with one line.
  const std::string many_db = dir_ + "/many.db";
  make_wide_table(many_db, 1000, long_name);
  for (const char* type : {"ORACLEINS", "MYSQLINS"}) {
    p = run({rvproc::login_for(many_db), "query=W", std::string("text=") + type,
             "file=" + dir_ + "/never.txt"});
    ASSERT_TRUE(ended_cleanly(p));
    EXPECT_EQ(p.status, 5) << type;
    EXPECT_EQ(count_of(p.out, "ERROR -- The INSERT statement head for table W is longer than 16384 bytes"), 1u)
        << p.out.substr(0, 300);
    EXPECT_FALSE(rvtest::file_exists(dir_ + "/never.txt"));
  }
}

TEST_F(Hostile, TableNamesWithQuotes) {
  rvtest::sqlite_exec(db_,
                      "CREATE TABLE \"it's\"(ID INTEGER PRIMARY KEY, V TEXT);"
                      "CREATE TABLE \"say \"\"hi\"\"\"(ID INTEGER PRIMARY KEY, V TEXT);"
                      "CREATE TABLE KEEP(ID INTEGER);"
                      "INSERT INTO \"it's\" SELECT ID, NAME FROM T;"
                      "INSERT INTO \"say \"\"hi\"\"\" SELECT ID, NAME FROM T;");
  // A bare name with a quote is wrapped into a statement the database
  // refuses: result 3 and its message, once.
  Proc p = run({login_, "query=it's", "file=-"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 3);
  EXPECT_EQ(count_of(p.out, "ORA-"), 1u) << p.out;

  // Quoted as the database wants them, the tables unload whole, and the
  // names go into the INSERT statements and the control file as given.
  p = run({login_, "query=select * from \"it's\"", "table=it's", "text=ORACLEINS"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(count_of(p.out, "INSERT  INTO it's (ID,V) VALUES \n"), 50u);
  p = run({login_, "query=select * from \"say \"\"hi\"\"\"", "table=say \"hi\"", "text=MYSQLINS"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0);
  EXPECT_NE(p.out.find("INSERT  INTO `say \"hi\"` (`ID`,`V`)"), std::string::npos);

  // Split names are substituted into the range statements as quoted
  // literals and into the workers' statement as quoted names: no text of
  // the name runs as SQL. A table with such a name is unloaded; a name that
  // is no table fails with its message.
  for (const std::string& name : {std::string("it's"), std::string("say \"hi\""),
                                   std::string("T' UNION SELECT 1,2,3 --"),
                                   std::string("T'); DROP TABLE KEEP; --")}) {
    p = run({login_, "split=" + name, "degree=2", "retry=0", "file=" + dir_ + "/q_%p.txt"});
    ASSERT_TRUE(ended_cleanly(p)) << name;
    const bool table = name.find("--") == std::string::npos;
    EXPECT_EQ(p.status, table ? 0 : 4) << name << ": " << p.out;
    EXPECT_EQ(p.out.find("ORA-") == std::string::npos, table) << name << ": " << p.out;
  }
  p = run({login_, "query=select count(*) from KEEP", "file=-"});
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(p.out, "0\n");
}

TEST_F(Hostile, PasswordsStayOutOfEveryMessageAndFile) {
  const std::string secret = "Pw9Secret";
  const std::string user = "user=scott/" + secret + "@sqlite:";
  std::vector<Proc> runs;
  // A login that fails, a query that fails, a run with a log file and a
  // control file, and the encrypted form of the login.
  // Relative names keep the login short enough to be encrypted.
  runs.push_back(run({user + "missing.db", "query=T"}, dir_));
  runs.push_back(run({user + "t.db", "query=select * from NOPE", "file=a.txt"}, dir_));
  runs.push_back(run({user + "t.db", "query=T", "table=T", "control=t.ctl", "log=run.log", "file=b.txt"},
                     dir_));
  runs.push_back(run({user + "t.db", "crypt=yes"}, dir_));
  for (const Proc& p : runs) {
    ASSERT_TRUE(ended_cleanly(p));
    EXPECT_EQ(p.out.find(secret), std::string::npos) << p.out;
    EXPECT_EQ(p.err.find(secret), std::string::npos) << p.err;
  }
  EXPECT_EQ(runs[0].status, 1);
  EXPECT_EQ(runs[1].status, 3);
  EXPECT_EQ(runs[2].status, 0);
  for (const char* file : {"/t.ctl", "/run.log", "/b.txt"}) {
    const std::string text = rvtest::read_file(dir_ + file);
    EXPECT_FALSE(text.empty()) << file;
    EXPECT_EQ(text.find(secret), std::string::npos) << file;
  }
  // The encrypted login given back logs in.
  std::string encrypted;
  for (char c : runs[3].out) {
    if (c != '\n') encrypted += c;
  }
  ASSERT_EQ(encrypted.compare(0, 5, "user="), 0);
  EXPECT_EQ(encrypted.find(secret), std::string::npos);
  Proc p = run({encrypted, "query=select count(*) from T", "file=-"}, dir_);
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0) << p.out;
  EXPECT_EQ(p.out, "50\n");
}

TEST_F(Hostile, ExtremeNumberValues) {
  // Doubles whose plain decimal text is longer than a number slot of 46
  // characters are written in exponent form instead of failing the fetch.
  // The internal NUMBER form (client=yes) holds magnitudes from 1E-130 up
  // to below 1E126 only; beyond that the fetch fails with the database's
  // overflow message.
  struct Value {
    const char* text;
    bool fits_internal_form;
  };
  const std::vector<Value> values = {
      {"1.2345678901234567e-40", true}, {"-9.87654321e-45", true},     {"1e-300", false},
      {"-1.7976931348623157e308", false}, {"4.9e-324", false},         {"1.2345678901234567e45", true},
      {"-1.2345678901234567e45", true},  {"123.5", true},              {"0", true}};
  std::string sql = "CREATE TABLE X(ID INTEGER PRIMARY KEY, F BINARY_DOUBLE, N NUMBER, OK INTEGER);";
  for (size_t i = 0; i < values.size(); ++i) {
    sql += "INSERT INTO X VALUES (" + std::to_string(i) + "," + values[i].text + "," + values[i].text +
           "," + (values[i].fits_internal_form ? "1" : "0") + ");";
  }
  rvtest::sqlite_exec(db_, sql);
  for (bool client : {false, true}) {
    Proc p = run({login_,
                  std::string("query=select F, N from X") + (client ? " where OK = 1" : "") + " order by ID",
                  "file=-", client ? "client=yes" : "client=no"});
    ASSERT_TRUE(ended_cleanly(p));
    ASSERT_EQ(p.status, 0) << client << ": " << p.out;
    const std::vector<std::string> lines = lines_of(p.out);
    size_t k = 0;
    for (const Value& v : values) {
      if (client && !v.fits_internal_form) continue;
      ASSERT_LT(k, lines.size());
      const std::string& line = lines[k++];
      const size_t comma = line.find(',');
      ASSERT_NE(comma, std::string::npos);
      EXPECT_LE(comma, 46u) << line;
      const double want = std::strtod(v.text, nullptr);
      EXPECT_EQ(std::strtod(line.substr(0, comma).c_str(), nullptr), want) << line;
      EXPECT_EQ(std::strtod(line.substr(comma + 1).c_str(), nullptr), want) << line;
    }
    EXPECT_EQ(k, lines.size());
  }
  Proc p = run({login_, "query=select N from X where OK = 0", "file=-", "client=yes"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 7);
  EXPECT_EQ(count_of(p.out, "ORA-01426"), 1u) << p.out;
}

TEST_F(Hostile, ExtremeNumericOptions) {
  rvtest::sqlite_exec(db_, "CREATE TABLE L(ID INTEGER, C CLOB); INSERT INTO L VALUES (1, 'abc');");
  // long=0 leaves no room for any large value: the database refuses the
  // buffer, result 5. The smallest array, the largest widths, a size of 0
  // MB and a huge progress interval run through.
  Proc p = run({login_, "query=L", "long=0", "file=-"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 5);
  EXPECT_EQ(count_of(p.out, "ORA-"), 1u);
  p = run({login_, "query=T", "array=-1", "rows=4294967295", "size=0", "width=1048577:1048577",
           "long=2147483647", "file=" + dir_ + "/x_%b.txt"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0) << p.out;
  std::string all;
  for (int b = 1; rvtest::file_exists(dir_ + "/x_" + std::to_string(b) + ".txt"); ++b) {
    all += rvtest::read_file(dir_ + "/x_" + std::to_string(b) + ".txt");
  }
  EXPECT_EQ(lines_of(all).size(), 50u);
}

}  // namespace
