// Output loaded by the loaders users feed it to: PostgreSQL COPY (text and
// CSV), MariaDB LOAD DATA and INSERT statements, the sqlite3 shell and
// Python's csv module. Each case unloads a table of the embedded engine with
// one preset and checks, value for value, what the loader read back.

#include <gtest/gtest.h>

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
  static std::string maria(const std::string& script) {
    rvproc::Proc p = Peers::get().mariadb_sql(script);
    EXPECT_EQ(p.status, 0) << p.err;
    return p.out;
  }
};

// The servers come up, and the CSV preset loads as it always has.
class PlainCsvTest : public PeerLoadTest {
 protected:
  void SetUp() override {
    PeerLoadTest::SetUp();
    rvtest::sqlite_exec(db_, "CREATE TABLE P(ID INTEGER, S VARCHAR2(20));"
                             "INSERT INTO P VALUES (1, 'a,b'), (2, NULL), (3, 'say \"x\"');");
    unload({"text=CSV"});
  }
};

TEST_F(PlainCsvTest, LoadsIntoPostgresCopyCsv) {
  PEER_REQUIRE_POSTGRES();
  EXPECT_EQ(pg("CREATE TABLE p_plain(id int, s text);\n"
               "\\copy p_plain from '" + out_path() + "' with (format csv, header true)\n"
               "SELECT id, coalesce(s, '<null>') FROM p_plain ORDER BY id;\n"),
            "1|a,b\n2|<null>\n3|say \"x\"\n");
}

TEST_F(PlainCsvTest, LoadsIntoMariadbLoadData) {
  PEER_REQUIRE_MARIADB();
  EXPECT_EQ(maria("CREATE TABLE p_plain(id int, s text);\n"
                  "LOAD DATA LOCAL INFILE '" + out_path() + "' INTO TABLE p_plain CHARACTER SET utf8mb4"
                  " FIELDS TERMINATED BY ',' OPTIONALLY ENCLOSED BY '\"' ESCAPED BY ''"
                  " LINES TERMINATED BY '\\n' IGNORE 1 LINES;\n"
                  "SELECT id, hex(s) FROM p_plain ORDER BY id;\n"),
            "1\t612C62\n2\t\n3\t73617920227822\n");
}

}  // namespace
