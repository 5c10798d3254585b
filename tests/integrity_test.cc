// Data integrity, property style: random tables (seeded; every column kind,
// NULLs, empty values, values at their slot width, multi-byte text, large
// objects of several read pieces) unloaded in every output type, with
// rotation, gzip, scrambling, lob files and 1 to 8 workers, then read back
// by real peers (tests/integrity_check.py: Python's csv and sqlite3
// modules, the sqlite3 shell, gzip, the program's uncrack mode) and
// compared with the source value for value: no row lost, none twice, none
// changed. And a load: 128 workers at once.
//
// ROWVANE_INTEGRITY_SEEDS (comma-separated) and ROWVANE_INTEGRITY_ROWS
// replace the fixed seeds and the row count, to search further.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "process_support.h"
#include "test_support.h"

namespace {

using rvproc::ended_cleanly;
using rvproc::Proc;
using rvproc::run;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

int row_count() {
  if (const char* env = std::getenv("ROWVANE_INTEGRITY_ROWS")) return std::atoi(env);
  return kSanitized ? 500 : 2500;
}

std::vector<int> seeds() {
  std::vector<int> list;
  if (const char* env = std::getenv("ROWVANE_INTEGRITY_SEEDS")) {
    std::stringstream in(env);
    std::string item;
    while (std::getline(in, item, ',')) list.push_back(std::atoi(item.c_str()));
    return list;
  }
  // The sanitizer build checks memory, not data: one table is enough there.
  if (kSanitized) return {20260101};
  return {20260101, 7};
}

const std::string kChecker = std::string(ROWVANE_SOURCE_DIR) + "/tests/integrity_check.py";

// The columns that line layouts (FORM, SEARCH) can carry, and those of the
// fixed-width layout (no large objects, whose fixed field is a reference).
const std::vector<std::string> kLineSafe = {"ID", "I", "N", "F", "D", "TS", "C", "S"};
const std::vector<std::string> kFixed = {"ID", "I", "N", "F", "D", "TS", "C", "S", "V", "VC", "R"};
const std::vector<std::string> kAll = {"ID", "I", "N", "F", "D", "TS", "C",
                                       "S", "V", "VC", "L", "R", "CL", "B"};

struct Config {
  std::string name;
  std::string layout;  // as integrity_check.py reads it
  std::vector<std::string> options;
  int degree;
  bool gzip;
  std::string key;  // crack= key, empty for none
  bool lob;
  std::vector<std::string> columns;
};

const std::vector<Config>& configs() {
  static const std::vector<Config> list = {
      {"delimited", "delim", {"field=0x1f", "record=0x1e", "null=0x02"}, 1, false, "", false, kAll},
      {"csv_rotated", "csv", {"text=CSV", "null=0x02", "batch=yes", "rows=1000"}, 2, false, "", false,
       kAll},
      {"mysql_gzip", "mysql", {"text=MYSQL", "batch=yes", "rows=1000"}, 3, true, "", false, kAll},
      {"oracleins_scrambled", "oracleins", {"text=ORACLEINS", "table=T", "crack=Kq7-Zx9!"}, 1, false,
       "Kq7-Zx9!", false, kAll},
      {"mysqlins_rotated", "mysqlins",
       {"text=MYSQLINS", "table=T", "array=300", "batch=yes", "rows=1000"}, 5, false, "", false, kAll},
      {"csv_lobfile", "csv", {"text=CSV", "null=0x02", "batch=yes", "rows=1000"}, 4, false, "", true,
       kAll},
      {"delimited_lobfile_gzip_scrambled", "delim",
       {"field=0x1f", "record=0x1e", "null=0x02", "crack=s3cr3t-k"}, 8, true, "s3cr3t-k", true, kAll},
      {"delimited_size_rotated_scrambled", "delim",
       {"field=0x1f", "record=0x1e", "null=0x02", "size=1", "crack=Rot8Key!"}, 1, false, "Rot8Key!",
       false, kAll},
      {"form", "form", {"text=FORM"}, 2, false, "", false, kLineSafe},
      {"search_gzip", "search", {"text=SEARCH", "null=0x02"}, 1, true, "", false, kLineSafe},
      {"fixed_width", "fixed", {"field=0x20", "table=T"}, 1, false, "", false, kFixed},
      {"csv_client_side", "csv", {"text=CSV", "null=0x02", "client=yes"}, 2, false, "", false, kAll},
  };
  return list;
}

std::string join(const std::vector<std::string>& v, const char* sep) {
  std::string s;
  for (size_t i = 0; i < v.size(); ++i) s += (i ? sep : "") + v[i];
  return s;
}

std::string json_list(const std::vector<std::string>& v) {
  std::string s = "[";
  for (size_t i = 0; i < v.size(); ++i) s += (i ? ",\"" : "\"") + v[i] + "\"";
  return s + "]";
}

// Unloads the table of db as the config says and has the checker compare
// the output with the table.
void unload_and_check(const std::string& db, const Config& c, int rows, int seed) {
  SCOPED_TRACE("config " + c.name + ", seed " + std::to_string(seed));
  const std::string dir = rvtest::temp_dir("integrity-" + c.name);
  const std::string ext = c.layout == "oracleins" || c.layout == "mysqlins" ? "sql" : "txt";
  const std::string pattern = dir + "/out_%p_%b." + ext + (c.gzip ? ".gz" : "");

  // Large objects of up to 100,000 bytes fit inline in slots of 128 KB.
  std::vector<std::string> args = {rvproc::login_for(db), "long=128"};
  const bool all_columns = c.columns == kAll;
  if (c.degree > 1) {
    args.push_back("split=T");
    args.push_back("degree=" + std::to_string(c.degree));
    if (!all_columns) {
      args.push_back("query=select " + join(c.columns, ",") +
                     " from T where ROWID >= :minrid and ROWID < :maxrid");
    }
  } else {
    args.push_back(all_columns ? "query=T" : "query=select " + join(c.columns, ",") + " from T");
  }
  args.insert(args.end(), c.options.begin(), c.options.end());
  args.push_back("file=" + pattern);
  if (c.lob) args.push_back("lobfile=" + dir + "/lob_%p_%b.dat");
  if (c.layout == "fixed") args.push_back("control=" + dir + "/t.ctl");

  Proc p = run(args, dir);
  ASSERT_TRUE(ended_cleanly(p));
  ASSERT_EQ(p.status, 0) << p.out.substr(0, 2000);

  std::string glob = dir + "/out_*_*." + ext + (c.gzip ? ".gz" : "");
  std::string cfg = "{\"db\":\"" + db + "\",\"layout\":\"" + c.layout + "\",\"files\":\"" + glob +
                    "\",\"columns\":" + json_list(c.columns) + ",\"gzip\":" +
                    (c.gzip ? "true" : "false") + ",\"lob\":" + (c.lob ? "true" : "false") +
                    ",\"key\":\"" + c.key + "\",\"program\":\"" + ROWVANE_BINARY +
                    "\",\"control\":\"" + dir + "/t.ctl\"}";
  rvtest::write_file(dir + "/check.json", cfg);
  rvtest::RunResult verdict = rvtest::run_shell("python3 '" + kChecker + "' check '" + dir + "/check.json' 2>&1");
  EXPECT_EQ(verdict.status, 0) << verdict.out;
  EXPECT_EQ(verdict.out, "OK " + std::to_string(rows) + "\n");
}

TEST(Integrity, RandomTablesInEveryOutputType) {
  const int rows = row_count();
  for (int seed : seeds()) {
    const std::string dir = rvtest::temp_dir("integrity-source");
    const std::string db = dir + "/t.db";
    rvtest::RunResult made = rvtest::run_shell("python3 '" + kChecker + "' make '" + db + "' " +
                                               std::to_string(seed) + " " + std::to_string(rows) + " 2>&1");
    ASSERT_EQ(made.status, 0) << made.out;
    for (const Config& c : configs()) unload_and_check(db, c, rows, seed);
  }
}

TEST(Integrity, HundredAndTwentyEightWorkersAtOnce) {
  // A table cut into far more than 128 pieces (one per rowid up to 16383
  // rows), grouped into exactly 128 ranges: 128 sessions and 128 files at
  // once, every row exactly once.
  const int rows = kSanitized ? 6000 : 16383;
  const std::string dir = rvtest::temp_dir("integrity-load");
  const std::string db = dir + "/t.db";
  rvproc::make_numbered_table(db, rows);
  Proc p = run({rvproc::login_for(db), "split=T", "degree=128", "file=" + dir + "/out_%p.txt"}, dir, "", 300);
  ASSERT_TRUE(ended_cleanly(p));
  ASSERT_EQ(p.status, 0) << p.out.substr(0, 2000);

  std::vector<int> ids;
  int files = 0;
  for (int piece = 1; rvtest::file_exists(dir + "/out_" + std::to_string(piece) + ".txt"); ++piece) {
    ++files;
    for (const std::string& line : rvproc::lines_of(rvtest::read_file(dir + "/out_" + std::to_string(piece) + ".txt"))) {
      const size_t comma = line.find(',');
      ASSERT_NE(comma, std::string::npos) << line;
      const int id = std::stoi(line.substr(0, comma));
      ASSERT_EQ(line.substr(comma + 1), "name-" + std::to_string(id));
      ids.push_back(id);
    }
  }
  EXPECT_EQ(files, 128);
  EXPECT_EQ(ids.size(), static_cast<size_t>(rows));
  EXPECT_EQ(std::set<int>(ids.begin(), ids.end()).size(), static_cast<size_t>(rows));
  EXPECT_EQ(*std::min_element(ids.begin(), ids.end()), 1);
  EXPECT_EQ(*std::max_element(ids.begin(), ids.end()), rows);
  // One closing line per worker.
  EXPECT_EQ(rvproc::count_of(p.out, "         output file "), 128u);
}

}  // namespace
