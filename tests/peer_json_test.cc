// text=JSON read back by Python's json module and by PostgreSQL (jsonb,
// through COPY), every value compared with the source table, plain and
// through .gz and .zst files.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "peer_servers.h"
#include "process_support.h"
#include "test_support.h"

namespace {

using rvpeer::Peers;

// Every kind of value JSON writes differently: numbers with a leading point,
// infinities, text with quotes, backslashes, control characters and UTF-8,
// dates, timestamps with fractions and offsets, raw bytes, NULLs.
const char* const kTable =
    "CREATE TABLE J(ID INTEGER, N NUMBER(12,2), F BINARY_DOUBLE, S VARCHAR2(60), D DATE,"
    " T TIMESTAMP(3), Z \"TIMESTAMP(6) WITH TIME ZONE\", R RAW(16), B BLOB, C CLOB);"
    "INSERT INTO J VALUES (1, 0.5, 1.5, 'say \"hi\", it''s a\\b' || char(9) || char(1) || char(10) || '€日',"
    " '2024-02-29 13:05:00', '2024-02-29 13:05:00.125', '2024-02-29 13:05:00.5 +02:00',"
    " X'00FF0A5C22', X'5C0A0D00FF81', 'clob \"x\"' || char(13) || char(10) || 'ü');"
    "INSERT INTO J VALUES (2, -0.5, 9e999, '', '1999-12-31 23:59:59', '1999-12-31 23:59:59',"
    " '1999-12-31 23:59:59 -05:30', X'', X'', '');"
    "INSERT INTO J VALUES (3, NULL, -9e999, NULL, NULL, NULL, NULL, NULL, NULL, NULL);"
    "INSERT INTO J VALUES (4, 12345678.25, 1e-300, 'ελλάδα', '0001-01-01 00:00:00',"
    " '2024-01-01 00:00:00.001', '2024-01-01 00:00:00 +00:00', X'01', X'02', 'c');";

const char* const kQuery = "select ID, N, F, S, D, T, Z, R, B, C, S from J";

// Reads the JSON lines (argv[2]; "-" for standard input) and compares every
// value with the table (argv[1]); prints "ok" or the first difference.
const char* const kCheck = R"PY(
import json, sqlite3, sys
from datetime import datetime
from decimal import Decimal
con = sqlite3.connect(sys.argv[1])
con.text_factory = bytes
src = con.execute("select ID, N, F, S, D, T, Z, R, B, C, S from J order by ID").fetchall()
names = ["ID", "N", "F", "S", "D", "T", "Z", "R", "B", "C", "S_2"]
lines = (sys.stdin if sys.argv[2] == "-" else open(sys.argv[2], encoding="utf-8")).read().splitlines()
got = sorted((json.loads(l, parse_float=Decimal) for l in lines), key=lambda o: o["ID"])
assert len(got) == len(src), (len(got), len(src))
def iso(b):
    date, _, rest = b.decode().partition(" ")
    time, _, zone = rest.partition(" ")
    return datetime.fromisoformat(date + "T" + time + zone)
for row, obj in zip(src, got):
    assert sorted(obj) == sorted(names), list(obj)
    for name, v in zip(names, row):
        g = obj[name]
        if v is None: want = None
        elif name == "ID": want = v
        elif name == "N": want = Decimal(str(v))
        elif name == "F":
            want = "Infinity" if v == float("inf") else "-Infinity" if v == -float("inf") else v
            if isinstance(g, Decimal): g = float(g)
        elif name in ("R", "B"): want = v.hex().upper()
        elif name in ("D", "T", "Z"): want, g = iso(v), datetime.fromisoformat(g)
        else: want = v.decode()
        assert g == want, (row[0], name, g, want)
print("ok")
)PY";

class PeerJsonTest : public rvproc::FolderTest {
 protected:
  void SetUp() override {
    make_folder("peer-json", 0);
    rvtest::sqlite_exec(db_, kTable);
    rvtest::write_file(dir_ + "/check.py", kCheck);
  }

  // Unloads the table as JSON lines into `name`; returns the status.
  int unload(const std::string& name, const std::vector<std::string>& more = {}) {
    std::vector<std::string> args = {login_, std::string("query=") + kQuery, "text=JSON",
                                     "file=" + dir_ + "/" + name};
    args.insert(args.end(), more.begin(), more.end());
    rvproc::Proc p = run(args);
    EXPECT_TRUE(rvproc::ended_cleanly(p));
    return p.status;
  }
  std::string check(const std::string& command) {
    return rvtest::run_shell(command + " | python3 '" + dir_ + "/check.py' '" + db_ + "' - 2>&1").out;
  }
};

TEST_F(PeerJsonTest, PythonReadsEveryValuePlainGzipAndZstd) {
  ASSERT_EQ(unload("j.jsonl"), 0);
  EXPECT_EQ(check("cat '" + dir_ + "/j.jsonl'"), "ok\n");
  ASSERT_EQ(unload("j.jsonl.gz"), 0);
  EXPECT_EQ(check("gzip -dc '" + dir_ + "/j.jsonl.gz'"), "ok\n");
  ASSERT_EQ(unload("j.jsonl.zst", {"level=19"}), 0);
  EXPECT_EQ(check("zstd -qdc '" + dir_ + "/j.jsonl.zst'"), "ok\n");
}

// jsonb through COPY (CSV with a quote and a delimiter that never occur, so
// the lines pass untouched both ways), then every document read back out of
// the server and compared with the source as before.
TEST_F(PeerJsonTest, PostgresJsonbHoldsEveryValue) {
  ASSERT_EQ(unload("j.jsonl"), 0);
  PEER_REQUIRE_POSTGRES();
  rvproc::Proc p = Peers::get().psql(
      "CREATE TABLE j(doc jsonb);\n"
      "\\copy j(doc) from '" + dir_ + "/j.jsonl' with (format csv, quote e'\\x01', delimiter e'\\x02')\n"
      "\\copy (select doc::text from j) to '" + dir_ +
      "/back.jsonl' with (format csv, quote e'\\x01', delimiter e'\\x02')\n");
  ASSERT_EQ(p.status, 0) << p.err;
  EXPECT_EQ(check("cat '" + dir_ + "/back.jsonl'"), "ok\n");
}

}  // namespace
