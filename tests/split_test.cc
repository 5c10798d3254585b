// Cutting a table into ROWID ranges: the split name, the grouping rule over
// array fetches, the statements' quoting, and the embedded wording on SQLite.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "parallel/split.h"
#include "split_fake_client.h"
#include "test_support.h"

using namespace rowvane;
using namespace rvfake;

namespace {

TEST(SplitName, TakesOwnerTableAndPartitionApart) {
  const char* cases[][5] = {
      // split=, part=, owner, table, partition
      {"sales.orders:p1", "", "sales", "orders", "p1"}, {"orders", "", "", "orders", ""},
      {"a.b.c", "", "a", "b.c", ""},   {"a.b:c.d", "", "a", "b", "c.d"},
      {"o.t:p:q", "", "o", "t", "p:q"}, {".t", "", "", ".t", ""},
      {"t.", "", "", "t.", ""},         {":p", "", "", ":p", ""},
      {"t:", "", "", "t:", ""},         {"t", "p0", "", "t", "p0"},
      {"t:p1", "p0", "", "t", "p1"},
  };
  for (const auto& c : cases) {
    UnloadJob job;
    job_defaults(&job);
    std::snprintf(job.split, sizeof job.split, "%s", c[0]);
    std::snprintf(job.part, sizeof job.part, "%s", c[1]);
    parse_split_name(&job);
    EXPECT_STREQ(job.owner, c[2]) << c[0];
    EXPECT_STREQ(job.split, c[3]) << c[0];
    EXPECT_STREQ(job.part, c[4]) << c[0];
  }
}

// Runs the grouping over pieces of the given weights; returns the ranges as
// "first piece-end piece" pairs.
struct Grouped {
  int status;
  std::vector<std::pair<int, int>> ranges;
  std::vector<std::string> messages;
};
Grouped group(const std::vector<uint32_t>& weights, uint32_t threshold, int fail_fetch = 0) {
  FakeSession fs;
  g_script.pieces = pieces(weights);
  g_script.fail_fetch_call = fail_fetch;
  RowidRangeList list;
  std::memset(&list, 0x5a, sizeof list);
  Grouped g{compute_rowid_ranges(&fs.s, "O", "T", "", threshold, &list), {}, fs.messages};
  for (int i = 0; i < list.count; ++i) {
    const RowidRange& r = list.ranges[i];
    EXPECT_EQ(r.index, i + 1);
    EXPECT_TRUE(r.min_rowid[18] == 0 && r.min_rowid[19] == 0 && r.max_rowid[19] == 0);
    g.ranges.emplace_back(std::stoi(r.min_rowid), std::stoi(r.max_rowid));
  }
  EXPECT_EQ(g_handles, 0) << "statement left";
  EXPECT_EQ(g_owned_frees, 0) << "define freed apart from its statement";
  return g;
}
using Ranges = std::vector<std::pair<int, int>>;

TEST(Grouping, ClosingRuleAndRemainder) {
  // Total 1000 at degree 4 (threshold 250), pieces of 100: closes after 3.
  EXPECT_EQ(group(std::vector<uint32_t>(10, 100), 250).ranges, (Ranges{{0, 3}, {3, 6}, {6, 9}, {9, 10}}));
  // Threshold 0: every piece of weight 1 or more closes alone; 0 joins.
  EXPECT_EQ(group({1, 0, 2, 0, 0, 5, 0}, 0).ranges, (Ranges{{0, 1}, {1, 3}, {3, 6}, {6, 7}}));
  // A sum equal to the threshold stays open.
  EXPECT_EQ(group({60, 40, 1, 100, 1}, 100).ranges, (Ranges{{0, 3}, {3, 5}}));
  EXPECT_EQ(group({}, 0).ranges, Ranges{});
}

TEST(Grouping, ArrayFetchesEndOnNoData) {
  // 200 pieces: two full fetches, then no data with 0 new rows.
  Grouped g = group(std::vector<uint32_t>(200, 1), 49);
  EXPECT_EQ(g_piece_fetches, 3);
  EXPECT_EQ(g.ranges, (Ranges{{0, 50}, {50, 100}, {100, 150}, {150, 200}}));
  g = group(std::vector<uint32_t>(150, 1), 1000);
  EXPECT_EQ(g_piece_fetches, 2);
  EXPECT_EQ(g.ranges, (Ranges{{0, 150}}));
}

TEST(Grouping, InconsistentWeightsStopAt128AndKeepEveryRow) {
  Grouped g = group(std::vector<uint32_t>(300, 10), 5);
  ASSERT_EQ(g.ranges.size(), 128u);
  EXPECT_EQ(g.ranges[126], std::make_pair(126, 127));
  EXPECT_EQ(g.ranges[127], std::make_pair(127, 300));  // widened over the rest
  std::vector<uint32_t> w(129, 10);
  w.push_back(1);  // a remainder arriving on a full list
  EXPECT_EQ(group(w, 5).ranges.back(), std::make_pair(127, 130));
}

TEST(Grouping, FailuresAreReportedOnce) {
  // A failed fetch keeps the ranges so far, remainder included.
  Grouped g = group(std::vector<uint32_t>(250, 1), 30, 2);
  EXPECT_EQ(g.status, -1);
  EXPECT_EQ(g.ranges, (Ranges{{0, 31}, {31, 62}, {62, 93}, {93, 100}}));
  EXPECT_EQ(g.messages, std::vector<std::string>{"ORA-01555: snapshot too old"});

  FakeSession fs;
  g_script.fail_prepare = 942;
  uint32_t total = 5;
  EXPECT_EQ(count_split_weight(&fs.s, "O", "T", "", &total), 942);
  EXPECT_EQ(fs.messages.size(), 1u);
  g_script.fail_prepare = 0;
  g_script.total_has_row = false;
  EXPECT_EQ(count_split_weight(&fs.s, "O", "T", "", &total), OCI_NO_DATA);
  EXPECT_EQ(total, 0u);
  char owner[132] = "junk";
  g_script.user.clear();
  EXPECT_EQ(query_current_user(&fs.s, owner), OCI_NO_DATA);
  EXPECT_STREQ(owner, "");
  EXPECT_EQ(g_handles, 0);
  EXPECT_EQ(g_owned_frees, 0);
}

std::string build(const char* engine, int which, const char* owner, const char* table,
                  const char* part) {
  DbClient client{};
  client.engine_name = engine;
  DbSession s;
  session_init(&s);
  s.api = &client;
  char out[1024];
  int len = build_split_statement(&s, which, owner, table, part, out);
  return len < 0 ? "<refused>" : std::string(out, static_cast<size_t>(len));
}

TEST(SplitStatements, NamesStayQuotedTextOrAreRefused) {
  for (const char* engine : {"vendor", "embedded"}) {
    for (int which : {0, 1}) {
      std::string t = build(engine, which, "O'X", "T' OR '1'='1", "P'");
      EXPECT_NE(t.find("'O''X'"), std::string::npos) << t;
      EXPECT_NE(t.find("'T'' OR ''1''=''1'"), std::string::npos) << t;
      EXPECT_NE(t.find("'P'''"), std::string::npos) << t;
      EXPECT_EQ(build(engine, which, "O", "T", "").find("%s"), std::string::npos);
    }
  }
  EXPECT_NE(build("vendor", 1, "O", "T", "").find("LIKE 'TABLE%'"), std::string::npos);
  std::string quotes(131, '\''), plain(131, 'N');
  EXPECT_EQ(build("vendor", 1, quotes.c_str(), quotes.c_str(), quotes.c_str()), "<refused>");
  EXPECT_NE(build("vendor", 1, plain.c_str(), plain.c_str(), plain.c_str()), "<refused>");
}

// The embedded wording run on SQLite directly: the pieces tile the span of
// rowids, so the workers' predicates select every row once.
std::vector<std::vector<std::string>> rows_of(sqlite3* db, const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  sqlite3_stmt* st = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  while (st && sqlite3_step(st) == SQLITE_ROW) {
    rows.emplace_back();
    for (int i = 0; i < sqlite3_column_count(st); ++i) {
      rows.back().push_back(reinterpret_cast<const char*>(sqlite3_column_text(st, i)));
    }
  }
  sqlite3_finalize(st);
  return rows;
}

TEST(SplitStatements, EmbeddedPiecesTileTheTable) {
  std::string path = rvtest::temp_dir("split_sql") + "/t.db";
  rvtest::sqlite_exec(path,
                      "CREATE TABLE \"o'x\"(a INTEGER); CREATE TABLE e(a);"
                      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<50000)"
                      " INSERT INTO \"o'x\"(rowid, a) SELECT i*3, i FROM n;"
                      "DELETE FROM \"o'x\" WHERE a % 11 = 0 OR a BETWEEN 1000 AND 9000;");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  const std::string rows = rows_of(db, "SELECT count(*) FROM \"o'x\"")[0][0];
  for (const char* part : {"", "p') --"}) {
    auto pieces = rows_of(db, build("embedded", 1, "MAIN", "o'x", part));
    EXPECT_EQ(rows_of(db, build("embedded", 0, "MAIN", "o'x", part))[0][0],
              std::to_string(pieces.size()));  // each piece weighs 1
    ASSERT_GT(pieces.size(), 10000u);
    EXPECT_EQ(pieces.front()[0], "000000000000000003");
    EXPECT_EQ(pieces.back()[1], "000000000000150001");
    long long sum = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
      ASSERT_TRUE(pieces[i][0].size() == 18 && pieces[i][1].size() == 18 && pieces[i][0] < pieces[i][1]);
      ASSERT_TRUE(i == 0 || pieces[i][0] == pieces[i - 1][1]) << "pieces must touch";
      auto n = rows_of(db, "SELECT count(*) FROM \"o'x\" WHERE ROWID >= '" + pieces[i][0] +
                               "' AND ROWID < '" + pieces[i][1] + "'");
      ASSERT_EQ(pieces[i][2], "1");
      sum += std::stoll(n[0][0]);
    }
    EXPECT_EQ(std::to_string(sum), rows);
  }
  EXPECT_TRUE(rows_of(db, build("embedded", 1, "MAIN", "e", "")).empty());
  EXPECT_EQ(rows_of(db, build("embedded", 0, "MAIN", "e", ""))[0][0], "0");
  // The workers' statement searches the rowid b-tree.
  auto plan = rows_of(db, "EXPLAIN QUERY PLAN SELECT * FROM e WHERE ROWID >= :minrid AND ROWID < :maxrid");
  EXPECT_NE(plan.at(0).at(3).find("INTEGER PRIMARY KEY (rowid>? AND rowid<?)"), std::string::npos);
  sqlite3_close(db);
}

}  // namespace
