// Output loaded by the loaders users feed it to: PostgreSQL COPY (text and
// CSV), MariaDB LOAD DATA and INSERT statements, the sqlite3 shell and
// Python's csv module. Each case unloads a table of the embedded engine with
// one preset and checks, value for value, what the loader read back.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "peer_servers.h"
#include "process_support.h"
#include "test_support.h"

namespace {

using rvpeer::Peers;

class PeerLoadTest : public rvproc::FolderTest {
 protected:
  void SetUp() override { make_folder("peer", 0); }

  // Unloads `query` with the options into out.txt of the folder; returns it.
  std::string unload(const std::vector<std::string>& options, const std::string& query = "select * from P") {
    std::vector<std::string> args = {login_, "query=" + query, "file=" + dir_ + "/out.txt"};
    args.insert(args.end(), options.begin(), options.end());
    rvproc::Proc p = run(args);
    EXPECT_TRUE(rvproc::ended_cleanly(p));
    EXPECT_EQ(p.status, 0) << p.out << p.err;
    return rvtest::read_file(dir_ + "/out.txt");
  }
  std::string out_path() const { return dir_ + "/out.txt"; }

  static std::string pg(const std::string& script) {
    rvproc::Proc p = Peers::get().psql(script);
    EXPECT_EQ(p.status, 0) << p.err;
    return p.out;
  }
  // Rows with their fields joined by "|", as psql and sqlite3 print them.
  static std::string maria(const std::string& script) {
    rvproc::Proc p = Peers::get().mariadb_sql(script);
    EXPECT_EQ(p.status, 0) << p.err;
    std::replace(p.out.begin(), p.out.end(), '\t', '|');
    return p.out;
  }
};

// One table of every value the mends are about: quotes, a backslash after a
// three-byte UTF-8 character, line breaks and zero bytes in CLOB, RAW and
// BLOB values, empty values and NULLs.
const char* const kTable =
    "CREATE TABLE P(ID INTEGER, S VARCHAR2(40), C CLOB, R RAW(16), B BLOB);"
    "INSERT INTO P VALUES (1, 'it''s \"q\" a\\b', 'say \"hi\", it''s' || char(10) || 'x\\y',"
    " X'00FF0A5C220D2C27', X'5C0A0D00FF81');"
    "INSERT INTO P VALUES (2, NULL, NULL, NULL, NULL);"
    "INSERT INTO P VALUES (3, '€\\', '€\\', X'', X'');";

// The rows as the source holds them: id, then every value in upper-case
// hex or "N" for NULL, joined by "|".
std::string source_rows(const std::string& db) {
  rvtest::RunResult r = rvtest::run_shell(
      "sqlite3 '" + db + "' \"select ID, iif(S is null,'N',hex(S)), iif(C is null,'N',hex(C)),"
      " iif(R is null,'N',hex(R)), iif(B is null,'N',hex(B)) from P order by ID\"");
  EXPECT_EQ(r.status, 0);
  return r.out;
}

// Every layout and loader the table goes through, checked value for value
// against the source.
class PeerValuesTest : public PeerLoadTest {
 protected:
  void SetUp() override {
    PeerLoadTest::SetUp();
    rvtest::sqlite_exec(db_, kTable);
    want_ = source_rows(db_);
    ASSERT_FALSE(want_.empty());
  }
  std::string want_;
};

// Python's csv module and PostgreSQL COPY (CSV) read the CSV preset: an
// inline CLOB's quotes doubled, raw bytes as hex text (bytea through
// decode(x, 'hex')).
TEST_F(PeerValuesTest, CsvIntoPythonCsvAndPostgresCopy) {
  unload({"text=CSV"});
  rvtest::write_file(dir_ + "/read.py",
                     "import csv, sys\n"
                     "csv.field_size_limit(1 << 30)\n"
                     "rows = list(csv.reader(open(sys.argv[1], newline='', encoding='utf-8')))\n"
                     "assert rows[0] == ['ID', 'S', 'C', 'R', 'B'], rows[0]\n"
                     "for r in rows[1:]:\n"
                     "  print('|'.join([r[0]] + [v.encode().hex().upper() if k < 2 else v\n"
                     "                           for k, v in enumerate(r[1:])]))\n");
  rvtest::RunResult py = rvtest::run_shell("python3 '" + dir_ + "/read.py' '" + out_path() + "' 2>&1");
  // CSV has no NULL of its own: NULL and empty both read as empty.
  std::string want_csv;
  for (size_t i = 0; i < want_.size(); ++i) {
    if (!(want_[i] == 'N' && want_[i - 1] == '|')) want_csv += want_[i];
  }
  EXPECT_EQ(py.out, want_csv);

  PEER_REQUIRE_POSTGRES();
  EXPECT_EQ(pg("CREATE TABLE p_csv(id int, s text, c text, r text, b text);\n"
               "\\copy p_csv from '" + out_path() + "' with (format csv, header true)\n"
               "SELECT id, coalesce(upper(encode(convert_to(s, 'UTF8'), 'hex')), 'N'),"
               " coalesce(upper(encode(convert_to(c, 'UTF8'), 'hex')), 'N'),"
               " coalesce(upper(encode(decode(r, 'hex'), 'hex')), 'N'),"
               " coalesce(upper(encode(decode(b, 'hex'), 'hex')), 'N') FROM p_csv ORDER BY id;\n"),
            want_);
}

// SQL INSERT statements run in the sqlite3 shell, in MariaDB and in
// PostgreSQL: a quote in an inline CLOB doubled, raw bytes as a quoted hex
// string, a NULL LOB of a lob-file run as null.
TEST_F(PeerValuesTest, SqlInsertsIntoSqliteShellMariadbAndPostgres) {
  unload({"text=ORACLEINS", "table=P2", "file=" + out_path()});
  std::string copy = dir_ + "/copy.db";
  rvtest::sqlite_exec(copy, "CREATE TABLE P2(ID INTEGER, S TEXT, C TEXT, R TEXT, B TEXT);");
  rvtest::RunResult load = rvtest::run_shell("sqlite3 -bail '" + copy + "' < '" + out_path() + "' 2>&1");
  ASSERT_EQ(load.status, 0) << load.out;
  rvtest::RunResult got = rvtest::run_shell(
      "sqlite3 '" + copy + "' \"select ID, iif(S is null,'N',hex(S)), iif(C is null,'N',hex(C)), ifnull(R,'N'),"
      " ifnull(B,'N') from P2 order by ID\"");
  EXPECT_EQ(got.out, want_);

  // Lob-file mode: a NULL LOB is null in the statement, not a reference.
  std::string refs = unload({"text=ORACLEINS", "table=P3", "file=" + out_path(),
                             "lobfile=" + dir_ + "/lobs.dat"},
                            "select ID, C, B from P where ID = 2");
  EXPECT_EQ(refs, "INSERT  INTO P3 (ID,C,B) VALUES \n(2,null,null);\n");
  rvtest::sqlite_exec(copy, "CREATE TABLE P3(ID INTEGER, C TEXT, B BLOB);");
  load = rvtest::run_shell("sqlite3 -bail '" + copy + "' < '" + out_path() + "' 2>&1");
  EXPECT_EQ(load.status, 0) << load.out;

  unload({"text=ORACLEINS", "table=p2", "file=" + out_path()});
  const std::string script = rvtest::read_file(out_path());
  {
    PEER_REQUIRE_MARIADB();
    // Plain SQL strings: a backslash is no escape there.
    EXPECT_EQ(maria("SET sql_mode = 'NO_BACKSLASH_ESCAPES';\n"
                    "CREATE TABLE p2(id int, s longtext, c longtext, r text, b longtext)"
                    " CHARACTER SET utf8mb4;\n" + script +
                    "SELECT id, ifnull(hex(s),'N'), ifnull(hex(c),'N'), ifnull(r,'N'), ifnull(b,'N')"
                    " FROM p2 ORDER BY id;\n"),
              want_);
  }
  PEER_REQUIRE_POSTGRES();
  EXPECT_EQ(pg("CREATE TABLE p2(id int, s text, c text, r text, b text);\n" + script +
               "SELECT id, coalesce(upper(encode(convert_to(s, 'UTF8'), 'hex')), 'N'),"
               " coalesce(upper(encode(convert_to(c, 'UTF8'), 'hex')), 'N'),"
               " coalesce(r, 'N'), coalesce(b, 'N') FROM p2 ORDER BY id;\n"),
            want_);
}

// MariaDB's LOAD DATA reads the MySQL text preset back exactly: raw bytes
// escaped one by one, a backslash after a three-byte character escaped (it
// used to swallow the next record), an inline CLOB escaped.
TEST_F(PeerValuesTest, MysqlTextIntoMariadbLoadData) {
  unload({"text=MYSQL"});
  PEER_REQUIRE_MARIADB();
  EXPECT_EQ(maria("CREATE TABLE p_my(id int, s longtext, c longtext, r longblob, b longblob)"
                  " CHARACTER SET utf8mb4;\n"
                  "LOAD DATA LOCAL INFILE '" + out_path() + "' INTO TABLE p_my CHARACTER SET utf8mb4"
                  " FIELDS TERMINATED BY ',' OPTIONALLY ENCLOSED BY '\"' ESCAPED BY '\\\\'"
                  " LINES TERMINATED BY '\\n';\n"
                  "SELECT id, ifnull(hex(s),'N'), ifnull(hex(c),'N'), ifnull(hex(r),'N'),"
                  " ifnull(hex(b),'N') FROM p_my ORDER BY id;\n"),
            want_);
}

// MySQL INSERT statements keep unhex() for raw bytes and text alike; a NULL
// LOB of a lob-file run is null.
TEST_F(PeerValuesTest, MysqlInsertsIntoMariadb) {
  unload({"text=MYSQLINS", "table=p_ins", "file=" + out_path()});
  std::string refs = unload({"text=MYSQLINS", "table=p_lob", "file=" + dir_ + "/refs.sql",
                             "lobfile=" + dir_ + "/lobs.dat"},
                            "select ID, C from P where ID = 2");
  EXPECT_EQ(rvtest::read_file(dir_ + "/refs.sql"), "INSERT  INTO `p_lob` (`ID`,`C`) VALUES \n(2,null);\n");
  PEER_REQUIRE_MARIADB();
  EXPECT_EQ(maria("CREATE TABLE p_ins(id int, s longtext, c longtext, r longblob, b longblob)"
                  " CHARACTER SET utf8mb4;\n"
                  "CREATE TABLE p_lob(id int, c text);\n" +
                  rvtest::read_file(out_path()) + rvtest::read_file(dir_ + "/refs.sql") +
                  "SELECT id, ifnull(hex(s),'N'), ifnull(hex(c),'N'), ifnull(hex(r),'N'),"
                  " ifnull(hex(b),'N') FROM p_ins ORDER BY id;\n"
                  "SELECT id, ifnull(c, 'N') FROM p_lob;\n"),
            want_ + "2|N\n");
}

// PostgreSQL COPY in its text format: tab-separated, backslash escapes,
// \N for NULL (raw columns go through CSV instead, see the README).
TEST_F(PeerValuesTest, TextOptionsIntoPostgresCopyText) {
  unload({"field=0x09", "escape=0x5c", "escf=0x0d0x0a0x09", "esct=rnt", "null=0x5cN"},
         "select ID, S, C from P");
  PEER_REQUIRE_POSTGRES();
  std::string want;
  for (const std::string& line : rvproc::lines_of(want_)) {
    want += line.substr(0, line.find('|', line.find('|', line.find('|') + 1) + 1)) + "\n";
  }
  EXPECT_EQ(pg("CREATE TABLE p_text(id int, s text, c text);\n"
               "\\copy p_text from '" + out_path() + "'\n"
               "SELECT id, coalesce(upper(encode(convert_to(s, 'UTF8'), 'hex')), 'N'),"
               " coalesce(upper(encode(convert_to(c, 'UTF8'), 'hex')), 'N') FROM p_text ORDER BY id;\n"),
            want);
}

// The sqlite3 shell's .import reads the CSV preset (NULL arrives empty).
TEST_F(PeerValuesTest, CsvIntoSqliteImport) {
  unload({"text=CSV"}, "select ID, S, C from P where ID <> 2");
  std::string copy = dir_ + "/import.db";
  rvtest::sqlite_exec(copy, "CREATE TABLE P(ID INTEGER, S TEXT, C TEXT);");
  rvtest::RunResult r = rvtest::run_shell("sqlite3 -bail '" + copy + "' \".import --csv --skip 1 '" +
                                          out_path() + "' P\" \"select ID, hex(S), hex(C) from P\"");
  EXPECT_EQ(r.out, rvtest::run_shell("sqlite3 '" + db_ + "' \"select ID, hex(S), hex(C) from P where ID <> 2\"").out);
}

// A double-byte target set keeps a character whose second byte is 0x5C
// whole, and MariaDB reads it back in that set (GBK 0x81 0x5C, then a
// lone backslash).
TEST_F(PeerLoadTest, DoubleByteTargetIntoMariadbLoadData) {
  rvtest::sqlite_exec(db_, "CREATE TABLE P(ID INTEGER, S VARCHAR2(20));"
                           "INSERT INTO P VALUES (1, '乗\\'), (2, 'x');");
  std::string out = unload({"text=MYSQL", "charset=ZHS16GBK"});
  EXPECT_EQ(out, "1,\"\x81\x5C\\\\\"\n2,\"x\"\n");
  PEER_REQUIRE_MARIADB();
  EXPECT_EQ(maria("CREATE TABLE p_gbk(id int, s text) CHARACTER SET utf8mb4;\n"
                  "LOAD DATA LOCAL INFILE '" + out_path() + "' INTO TABLE p_gbk CHARACTER SET gbk"
                  " FIELDS TERMINATED BY ',' OPTIONALLY ENCLOSED BY '\"' ESCAPED BY '\\\\'"
                  " LINES TERMINATED BY '\\n';\n"
                  "SELECT id, hex(s) FROM p_gbk ORDER BY id;\n"),
            "1|E4B9975C\n2|78\n");
}

// Column names holding a quote, a backtick or a line feed stay quoted
// identifiers: the statements run whole in every peer.
TEST_F(PeerLoadTest, OddColumnNamesInStatements) {
  rvtest::sqlite_exec(db_, "CREATE TABLE P(ID INTEGER, S VARCHAR2(20));"
                           "INSERT INTO P VALUES (1, 'x');");
  const std::string query = "select ID as \"A\"\"B\", S as \"l\nf`'\" from P";
  std::string sql = unload({"text=ORACLEINS", "table=q", "file=" + out_path()}, query);
  EXPECT_EQ(sql, "INSERT  INTO q (\"A\"\"B\",\"l\nf`'\") VALUES \n(1,'x');\n");
  std::string copy = dir_ + "/copy.db";
  rvtest::sqlite_exec(copy, "CREATE TABLE q(\"A\"\"B\" INTEGER, \"l\nf`'\" TEXT);");
  rvtest::RunResult load = rvtest::run_shell("sqlite3 -bail '" + copy + "' < '" + out_path() + "' 2>&1");
  EXPECT_EQ(load.status, 0) << load.out;
  EXPECT_EQ(rvtest::run_shell("sqlite3 '" + copy + "' 'select * from q'").out, "1|x\n");
  std::string my = unload({"text=MYSQLINS", "table=q", "update=YES", "file=" + out_path()}, query);
  EXPECT_EQ(my, "INSERT  INTO `q` (`A\"B`,`l\nf``'`) VALUES \n(1,unhex('78'))\n"
                "ON DUPLICATE KEY UPDATE \n    `A\"B`=VALUES(`A\"B`), `l\nf``'`=VALUES(`l\nf``'`);\n");
  {
    PEER_REQUIRE_MARIADB();
    EXPECT_EQ(maria("CREATE TABLE q(`A\"B` int primary key, `l\nf``'` text);\n" + my + my +
                    "SELECT * FROM q;\n"),
              "1|x\n");
  }
  PEER_REQUIRE_POSTGRES();
  EXPECT_EQ(pg("CREATE TABLE q(\"A\"\"B\" int, \"l\nf`'\" text);\n" + sql + "SELECT * FROM q;\n"),
            "1|x\n");
}

}  // namespace
