// Record layouts byte for byte, the same bytes through tiny record buffers
// (with and without scrambling), and round trips through real readers.
#include <string>
#include <vector>

#include "unload_fixture.h"

using rvunload::contains;
using rvunload::run_unload;

namespace {

// Ids, quotes, separators inside values, line breaks, a backslash,
// non-ASCII text and NULLs.
const char* const kSchema =
    "CREATE TABLE S (ID NUMBER(5), NAME VARCHAR2(40), AMOUNT NUMBER(10,2), WHEN_ DATE);"
    "INSERT INTO S VALUES (1, 'plain', 12.5, '2024-02-29 13:05:00');"
    "INSERT INTO S VALUES (2, 'it''s \"quoted\", a,b', -3, NULL);"
    "INSERT INTO S VALUES (3, 'line1' || char(10) || 'line2' || char(13) || 'back\\slash', NULL,"
    " '1999-12-31 23:59:59');"
    "INSERT INTO S VALUES (4, 'h\xc3\xa9llo w\xc3\xb6rld', 0, '2000-01-01 00:00:00');"
    "INSERT INTO S VALUES (5, NULL, NULL, NULL);";

struct Layout {
  const char* name;
  std::vector<std::string> options;
  std::string expected;
};

std::string pad(const std::string& s, size_t width) { return s + std::string(width - s.size(), ' '); }

std::vector<Layout> layouts() {
  const std::string name3 = "line1\nline2\rback\\slash";
  const std::string name4 = "h\xc3\xa9llo w\xc3\xb6rld";
  const std::string head = "INSERT  INTO S (ID,NAME,AMOUNT,WHEN_) VALUES \n";
  std::vector<Layout> l;
  l.push_back({"delimited", {},
               "1,plain,12.5,2024-02-29 13:05:00\n"
               "2,it's \"quoted\", a,b,-3,\n"
               "3," + name3 + ",,1999-12-31 23:59:59\n"
               "4," + name4 + ",0,2000-01-01 00:00:00\n"
               "5,,,\n"});
  l.push_back({"custom",
               {"field=|", "record=0x0d0x0a", "rowpre=[", "rowsuf=]", "null=NULL", "quote=0x27",
                "escape=0x5c", "sedf=0x2c", "sedt=;", "head=YES", "prehead=#"},
               "[#ID|#NAME|#AMOUNT|#WHEN_]\r\n"
               "[1|'plain'|12.5|'2024-02-29 13:05:00']\r\n"
               "[2|'it's \"quoted\"; a;b'|-3|NULL]\r\n"
               "[3|'line1\nline2\rback\\\\slash'|NULL|'1999-12-31 23:59:59']\r\n"
               "[4|'" + name4 + "'|0|'2000-01-01 00:00:00']\r\n"
               "[5|NULL|NULL|NULL]\r\n"});
  l.push_back({"csv", {"text=CSV"},
               "ID,NAME,AMOUNT,WHEN_\n"
               "1,\"plain\",12.5,\"2024-02-29 13:05:00\"\n"
               "2,\"it's \"\"quoted\"\", a,b\",-3,\n"
               "3,\"" + name3 + "\",,\"1999-12-31 23:59:59\"\n"
               "4,\"" + name4 + "\",0,\"2000-01-01 00:00:00\"\n"
               "5,,,\n"});
  l.push_back({"mysql", {"text=MYSQL"},
               "1,\"plain\",12.5,\"2024-02-29 13:05:00\"\n"
               "2,\"it\\'s \\\"quoted\\\", a,b\",-3,\\N\n"
               "3,\"line1\\nline2\\rback\\\\slash\",\\N,\"1999-12-31 23:59:59\"\n"
               "4,\"" + name4 + "\",0,\"2000-01-01 00:00:00\"\n"
               "5,\\N,\\N,\\N\n"});
  l.push_back({"mysqlins", {"text=MYSQLINS"},
               "INSERT  INTO `S` (`ID`,`NAME`,`AMOUNT`,`WHEN_`) VALUES \n"
               "(1,unhex('706c61696e'),12.5,'2024-02-29 13:05:00'),\n"
               "(2,unhex('69742773202271756f746564222c20612c62'),-3,null),\n"
               "(3,unhex('6c696e65310a6c696e65320d6261636b5c736c617368'),null,"
               "'1999-12-31 23:59:59'),\n"
               "(4,unhex('68c3a96c6c6f2077c3b6726c64'),0,'2000-01-01 00:00:00'),\n"
               "(5,null,null,null);\n"});
  l.push_back({"mysqlins-update", {"text=MYSQLINS", "unique=id", "hint=IGNORE", "array=5",
                                   "exec=;;"},
               "INSERT IGNORE INTO `S` (`ID`,`NAME`,`AMOUNT`,`WHEN_`) VALUES \n"
               "(1,unhex('706c61696e'),12.5,'2024-02-29 13:05:00'),\n"
               "(2,unhex('69742773202271756f746564222c20612c62'),-3,null),\n"
               "(3,unhex('6c696e65310a6c696e65320d6261636b5c736c617368'),null,"
               "'1999-12-31 23:59:59'),\n"
               "(4,unhex('68c3a96c6c6f2077c3b6726c64'),0,'2000-01-01 00:00:00'),\n"
               "(5,null,null,null)\n"
               "ON DUPLICATE KEY UPDATE \n    `NAME`=VALUES(`NAME`), `AMOUNT`=VALUES(`AMOUNT`), "
               "`WHEN_`=VALUES(`WHEN_`);;\n"});
  l.push_back({"oracleins", {"text=ORACLEINS"},
               head + "(1,'plain',12.5,'2024-02-29 13:05:00');\n" +
               head + "(2,'it''s \"quoted\", a,b',-3,null);\n" +
               head + "(3,'" + name3 + "',null,'1999-12-31 23:59:59');\n" +
               head + "(4,'" + name4 + "',0,'2000-01-01 00:00:00');\n" +
               head + "(5,null,null,null);\n"});
  l.push_back({"form", {"text=FORM"},
               "ID     : 1\nNAME   : plain\nAMOUNT : 12.5\nWHEN_  : 2024-02-29 13:05:00\n\n"
               "ID     : 2\nNAME   : it's \"quoted\", a,b\nAMOUNT : -3\nWHEN_  : (null)\n\n"
               "ID     : 3\nNAME   : " + name3 + "\nAMOUNT : (null)\nWHEN_  : 1999-12-31 23:59:59\n\n"
               "ID     : 4\nNAME   : " + name4 + "\nAMOUNT : 0\nWHEN_  : 2000-01-01 00:00:00\n\n"
               "ID     : 5\nNAME   : (null)\nAMOUNT : (null)\nWHEN_  : (null)\n\n"});
  l.push_back({"search", {"text=SEARCH"},
               "<DOC>\x01\nID=1\x01\nNAME=plain\x01\nAMOUNT=12.5\x01\nWHEN_=2024-02-29 13:05:00"
               "\x01\n</DOC>\x01\n"
               "<DOC>\x01\nID=2\x01\nNAME=it's \"quoted\", a,b\x01\nAMOUNT=-3\x01\nWHEN_="
               "\x01\n</DOC>\x01\n"
               "<DOC>\x01\nID=3\x01\nNAME=" + name3 + "\x01\nAMOUNT=\x01\nWHEN_=1999-12-31 23:59:59"
               "\x01\n</DOC>\x01\n"
               "<DOC>\x01\nID=4\x01\nNAME=" + name4 + "\x01\nAMOUNT=0\x01\nWHEN_=2000-01-01 00:00:00"
               "\x01\n</DOC>\x01\n"
               "<DOC>\x01\nID=5\x01\nNAME=\x01\nAMOUNT=\x01\nWHEN_=\x01\n</DOC>\x01\n"});
  // Widths 7, 40, 13 and 19; no quotes, no separators, no head line.
  l.push_back({"fixed", {"field=0x20", "quote=0x22", "head=YES"},
               pad("1", 7) + pad("plain", 40) + pad("12.5", 13) + "2024-02-29 13:05:00\n" +
               pad("2", 7) + pad("it's \"quoted\", a,b", 40) + pad("-3", 13) + pad("", 19) + "\n" +
               pad("3", 7) + pad(name3, 40) + pad("", 13) + "1999-12-31 23:59:59\n" +
               pad("4", 7) + pad(name4, 40) + pad("0", 13) + "2000-01-01 00:00:00\n" +
               pad("5", 79) + "\n"});
  return l;
}

class FormatsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = rvtest::temp_dir("formats");
    db_ = dir_ + "/s.db";
    rvtest::sqlite_exec(db_, kSchema);
    in_folder_ = std::make_unique<rvunload::InFolder>(dir_);
  }
  // Unloads `query` with the options (file= last, so presets cannot send
  // the data to standard output) and returns the data file.
  std::string unload(const std::vector<std::string>& options, const std::string& query = "S",
                     int expected_result = 0) {
    std::vector<std::string> all = {"query=" + query};
    all.insert(all.end(), options.begin(), options.end());
    all.push_back("file=" + dir_ + "/out.txt");
    auto r = run_unload(db_, all);
    EXPECT_EQ(r.result, expected_result) << r.messages;
    last_messages_ = r.messages;
    return rvtest::read_file(dir_ + "/out.txt");
  }
  std::unique_ptr<rvunload::InFolder> in_folder_;
  std::string dir_;
  std::string db_;
  std::string last_messages_;
};

TEST_F(FormatsTest, EveryLayoutByteForByte) {
  for (const auto& layout : layouts()) {
    SCOPED_TRACE(layout.name);
    EXPECT_EQ(unload(layout.options), layout.expected);
  }
}

TEST_F(FormatsTest, WorkedExamples) {
  rvtest::sqlite_exec(db_, "CREATE TABLE T (N NUMBER, S VARCHAR2(10));"
                           "INSERT INTO T VALUES (7, 'it''s');");
  EXPECT_EQ(unload({"text=ORACLEINS"}, "T"), "INSERT  INTO T (N,S) VALUES \n(7,'it''s');\n");
  EXPECT_EQ(unload({"text=MYSQLINS"}, "T"),
            "INSERT  INTO `T` (`N`,`S`) VALUES \n(7,unhex('69742773'));\n");
}

TEST_F(FormatsTest, StatementFraming) {
  rvtest::sqlite_exec(db_,
                      "CREATE TABLE U (ID NUMBER, A NUMBER, B NUMBER, C NUMBER, D NUMBER,"
                      " E NUMBER, F NUMBER, G NUMBER);"
                      "CREATE TABLE EMPTY (A NUMBER);"
                      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10)"
                      " INSERT INTO U SELECT i, i, i, i, i, i, i, i FROM n;");
  // Seven non-key columns: the list breaks after the third and the sixth.
  std::string out = unload({"text=MYSQLINS", "unique=ID", "table=U"}, "select * from U where ID = 1");
  EXPECT_EQ(out,
            "INSERT  INTO `U` (`ID`,`A`,`B`,`C`,`D`,`E`,`F`,`G`) VALUES \n(1,1,1,1,1,1,1,1)\n"
            "ON DUPLICATE KEY UPDATE \n    `A`=VALUES(`A`), `B`=VALUES(`B`), `C`=VALUES(`C`), \n"
            "    `D`=VALUES(`D`), `E`=VALUES(`E`), `F`=VALUES(`F`), \n    `G`=VALUES(`G`);\n");
  // Ten rows, five per fetch: two statements and no empty third one.
  out = unload({"text=MYSQLINS", "array=5"}, "select ID from U");
  EXPECT_EQ(out,
            "INSERT  INTO `` (`ID`) VALUES \n(1),\n(2),\n(3),\n(4),\n(5);\n"
            "INSERT  INTO `` (`ID`) VALUES \n(6),\n(7),\n(8),\n(9),\n(10);\n");
  // No rows: the head line alone; no statement at all; a closing line at 0.
  EXPECT_EQ(unload({"head=YES"}, "EMPTY"), "A\n");
  EXPECT_TRUE(contains(last_messages_, "closed at 0 rows")) << last_messages_;
  EXPECT_EQ(unload({"text=MYSQLINS", "head=NO"}, "EMPTY"), "");
}

TEST_F(FormatsTest, FixedWidthKeepsValuesLongerThanTheirField) {
  // Escaping makes a value longer than its field; the next field follows it
  // instead of overwriting its tail.
  rvtest::sqlite_exec(db_, "CREATE TABLE V (A VARCHAR2(4), B VARCHAR2(2));"
                           "INSERT INTO V VALUES ('a\"b\"', 'x');");
  EXPECT_EQ(unload({"text=CSV", "field=0x20"}, "V"), "a\"\"b\"\"x \n");
}

TEST_F(FormatsTest, LobReferencesAndInlineLobs) {
  rvtest::sqlite_exec(db_, "CREATE TABLE L (ID NUMBER, C CLOB);"
                           "INSERT INTO L VALUES (1, 'hello');"
                           "INSERT INTO L VALUES (2, NULL);"
                           "INSERT INTO L VALUES (3, '');"
                           "INSERT INTO L VALUES (4, 'a\"b');");
  std::string lob = dir_ + "/lob_%b.dat";
  std::string name = dir_ + "/lob_1.dat";
  EXPECT_EQ(unload({"text=CSV", "head=NO", "lobfile=" + lob}, "L"),
            "1,\"" + name + ".1.5/\"\n2," + name + ".7.-1/\n3,\"" + name + ".8.0/\"\n4,\"" + name +
                ".9.3/\"\n");
  EXPECT_EQ(rvtest::read_file(name), "hello\n\n\na\"b\n");
  // Inline a CLOB is escaped like any text (an inner quote doubled in CSV),
  // as unhex() in MySQL statements.
  EXPECT_EQ(unload({"text=CSV", "head=NO"}, "select C from L where ID = 4"), "\"a\"\"b\"\n");
  EXPECT_EQ(unload({"text=MYSQLINS"}, "select C from L where ID in (1, 2)"),
            "INSERT  INTO `` (`C`) VALUES \n(unhex('68656c6c6f')),\n(null);\n");
}

// --- the same bytes through small record buffers -----------------------

std::string unscramble(std::string data, const std::string& key) {
  if (data.size() <= 8) return data;
  size_t words = (data.size() + 7) / 8 - 1;
  for (size_t i = 0; i < words * 8; ++i) data[i] ^= i % 8 < key.size() ? key[i % 8] : 0;
  return data;
}

TEST_F(FormatsTest, TinyRecordBuffersGiveTheSameBytes) {
  // Long values with many escapes and double-byte pairs next to the cuts.
  std::string longer;
  for (int i = 0; i < 120; ++i) longer += "\xc3\xa9\"'\\";
  std::string literal;
  for (char c : longer) literal += c == '\'' ? std::string("''") : std::string(1, c);
  rvtest::sqlite_exec(db_, "CREATE TABLE LV (ID NUMBER, V VARCHAR2(4000));"
                           "INSERT INTO LV VALUES (1, '" + std::string(3000, 'z') + "');"
                           "INSERT INTO LV VALUES (2, '" + literal + "');"
                           // Double-byte characters whose second byte is a backslash.
                           "INSERT INTO LV VALUES (3, CAST(X'" + [] {
                             std::string hex;
                             for (int i = 0; i < 300; ++i) hex += i % 7 ? "815C" : "5C";
                             return hex;
                           }() + "' AS TEXT));"
                           "INSERT INTO LV SELECT ID + 10, NAME FROM S;");
  for (auto layout : layouts()) {
    for (const std::string query : {"S", "LV"}) {
      SCOPED_TRACE(std::string(layout.name) + " " + query);
      std::string plain = unload(layout.options, query);
      ASSERT_FALSE(plain.empty());
      if (query == "S") {
        EXPECT_EQ(plain, layout.expected);
      }
      auto cracked_options = layout.options;
      cracked_options.push_back("crack=Key12345");
      std::string cracked = unload(cracked_options, query);
      EXPECT_EQ(unscramble(cracked, "Key12345"), plain);
      for (int size : {32, 33, 41, 100, 997}) {
        rvunload::RecordBufferSize small(size);
        SCOPED_TRACE(size);
        EXPECT_EQ(unload(layout.options, query), plain);
        EXPECT_EQ(unload(cracked_options, query), cracked);
      }
    }
  }
}

// --- round trips through real readers ------------------------------------

TEST_F(FormatsTest, CsvReadsBackWithPythonCsv) {
  unload({"text=CSV"});
  std::string script = dir_ + "/check.py";
  rvtest::write_file(script,
                     "import csv, sqlite3, sys\n"
                     "rows = list(csv.reader(open(sys.argv[1], newline='', encoding='utf-8')))\n"
                     "db = sqlite3.connect(sys.argv[2])\n"
                     "src = [[('' if v is None else str(v)) for v in r]\n"
                     "       for r in db.execute('select * from S order by ID')]\n"
                     "assert rows[0] == ['ID', 'NAME', 'AMOUNT', 'WHEN_'], rows[0]\n"
                     "assert rows[1:] == src, (rows[1:], src)\n"
                     "print('ok')\n");
  auto r = rvtest::run_shell("python3 '" + script + "' '" + dir_ + "/out.txt' '" + db_ + "' 2>&1");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "ok\n");
}

TEST_F(FormatsTest, SqlInsertsLoadIntoSqliteShell) {
  unload({"text=ORACLEINS"});
  std::string copy = dir_ + "/copy.db";
  rvtest::sqlite_exec(copy, "CREATE TABLE S (ID NUMBER(5), NAME VARCHAR2(40), AMOUNT NUMBER(10,2),"
                            " WHEN_ DATE);");
  auto load = rvtest::run_shell("sqlite3 -bail '" + copy + "' < '" + dir_ + "/out.txt' 2>&1");
  ASSERT_EQ(load.status, 0) << load.out;
  const std::string dump = "select quote(ID), quote(NAME), quote(AMOUNT), quote(WHEN_) from S order by ID";
  auto source = rvtest::run_shell("sqlite3 '" + db_ + "' \"" + dump + "\"");
  auto loaded = rvtest::run_shell("sqlite3 '" + copy + "' \"" + dump + "\"");
  EXPECT_EQ(source.status, 0);
  EXPECT_FALSE(source.out.empty());
  EXPECT_EQ(loaded.out, source.out);
}

}  // namespace
