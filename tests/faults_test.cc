// Faults around a running unload: full and unwritable output, files that
// cannot be opened at a rotation, missing, unreadable, corrupt and locked
// databases, statements that fail in the middle of the rows, and parallel
// workers that keep failing. Each must end with its result code and one
// message, keep what was already written, and never report success.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "process_support.h"
#include "test_support.h"

namespace {

using rvproc::count_of;
using rvproc::ended_cleanly;
using rvproc::lines_of;
using rvproc::Proc;

constexpr int kRows = 3000;

// The IDs of a delimited output of T (lines "ID,name-ID"), checking that
// each line is intact.
std::vector<int> ids_of(const std::string& text) {
  std::vector<int> ids;
  for (const std::string& line : lines_of(text)) {
    const size_t comma = line.find(',');
    if (comma == std::string::npos) {
      ADD_FAILURE() << "damaged line: " << line;
      continue;
    }
    const int id = std::stoi(line.substr(0, comma));
    EXPECT_EQ(line.substr(comma + 1), "name-" + std::to_string(id));
    ids.push_back(id);
  }
  return ids;
}

std::vector<int> range_of(int first, int last) {
  std::vector<int> v;
  for (int i = first; i <= last; ++i) v.push_back(i);
  return v;
}

class Faults : public rvproc::FolderTest {
 protected:
  void SetUp() override { make_folder("faults", kRows); }
  void symlink_to(const std::string& target, const std::string& link) {
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
  }
};

// ---------------------------------------------------------------------------
// Output

TEST_F(Faults, FullDeviceEndsWithWriteFailure) {
  symlink_to("/dev/full", dir_ + "/full.txt");
  symlink_to("/dev/full", dir_ + "/full.gz");
  for (const std::string& query : {std::string("query=T"), std::string("query=select 1")}) {
    for (const std::string& file : {dir_ + "/full.txt", dir_ + "/full.gz"}) {
      Proc p = run({login_, query, "file=" + file});
      ASSERT_TRUE(ended_cleanly(p));
      EXPECT_EQ(p.status, 2) << query << " " << file << ": " << p.out;
    }
  }
  // Standard output on a full device.
  Proc p = run({login_, "query=T", "file=-"}, "", "", 120, "/dev/full");
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 2);

  // A full lob file: the run does not end as a success.
  rvtest::sqlite_exec(db_, "CREATE TABLE L(ID INTEGER PRIMARY KEY, C CLOB);"
                           "INSERT INTO L SELECT ID, 'clob-' || ID FROM T;");
  symlink_to("/dev/full", dir_ + "/full.lob");
  p = run({login_, "query=L", "file=" + dir_ + "/l.txt", "lobfile=" + dir_ + "/full.lob"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 2) << p.out;
  EXPECT_NE(p.out.find("ERROR -- Cannot write to file : " + dir_ + "/full.lob\n"), std::string::npos);
}

TEST_F(Faults, UnopenableOutputEndsWithOpenFailure) {
  // Each line gives the system's reason.
  rvtest::write_file(dir_ + "/plain", "x");
  const std::pair<std::string, std::string> cases[] = {
      {dir_ + "/missing/out.txt", "No such file or directory"},
      {dir_, "Is a directory"},
      {dir_ + "/plain/out.txt", "Not a directory"},
      {dir_ + "/missing/out.gz", "No such file or directory"}};
  for (const auto& [file, reason] : cases) {
    Proc p = run({login_, "query=T", "file=" + file});
    ASSERT_TRUE(ended_cleanly(p));
    EXPECT_EQ(p.status, 6) << file;
    // The control file was written before the data file failed.
    EXPECT_EQ(rvtest::timeless_summary(p.out), "ERROR -- Cannot write to file : " + file + " (" + reason +
                                                   ")\n" + rvtest::summary_line(0, 0, 1));
  }
  // A log file that cannot be opened: one line, and no unload whose
  // messages would go nowhere.
  Proc p = run({login_, "query=T", "file=" + dir_ + "/ok.txt", "log=" + dir_ + "/missing/log.txt"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 6);
  EXPECT_EQ(p.out, "ERROR -- Cannot write to log file : " + dir_ +
                       "/missing/log.txt (No such file or directory)\n");
  EXPECT_FALSE(rvtest::file_exists(dir_ + "/ok.txt"));

  // A lob file that cannot be opened at the start: the data file is closed
  // and holds nothing.
  rvtest::sqlite_exec(db_, "CREATE TABLE L(ID INTEGER PRIMARY KEY, C CLOB);"
                           "INSERT INTO L SELECT ID, 'clob-' || ID FROM T;");
  p = run({login_, "query=L", "file=" + dir_ + "/l.txt", "lobfile=" + dir_ + "/missing/l.lob"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 6);
  EXPECT_EQ(count_of(p.out, "ERROR -- Cannot write to file : " + dir_ +
                                "/missing/l.lob (No such file or directory)\n"), 1u);
  EXPECT_EQ(rvtest::read_file(dir_ + "/l.txt"), "");
}

TEST_F(Faults, RotationTargetThatCannotBeWritten) {
  // The third file's name is taken by a directory: the first two files are
  // complete and stay, the run ends with 6 and names the third.
  mkdir((dir_ + "/a_3.txt").c_str(), 0755);
  Proc p = run({login_, "query=T", "file=" + dir_ + "/a_%b.txt", "batch=yes", "rows=1000"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 6);
  EXPECT_EQ(count_of(p.out, "ERROR -- Cannot write to file : " + dir_ + "/a_3.txt (Is a directory)\n"), 1u) << p.out;
  EXPECT_EQ(ids_of(rvtest::read_file(dir_ + "/a_1.txt")), range_of(1, 1000));
  EXPECT_EQ(ids_of(rvtest::read_file(dir_ + "/a_2.txt")), range_of(1001, 2000));

  // The second file lands on a full device: 2, the first file complete.
  symlink_to("/dev/full", dir_ + "/b_2.txt");
  p = run({login_, "query=T", "file=" + dir_ + "/b_%b.txt", "batch=yes", "rows=1000"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 2);
  EXPECT_EQ(ids_of(rvtest::read_file(dir_ + "/b_1.txt")), range_of(1, 1000));

  // The folder of the next file is missing; compressed files before it are
  // whole gzip streams.
  mkdir((dir_ + "/c1").c_str(), 0755);
  p = run({login_, "query=T", "file=" + dir_ + "/c%b/out.gz", "batch=yes", "rows=1000"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 6);
  EXPECT_EQ(count_of(p.out, "ERROR -- Cannot write to file : " + dir_ +
                                "/c2/out.gz (No such file or directory)\n"), 1u);
  rvtest::RunResult unzipped = rvtest::run_shell("gzip -dc '" + dir_ + "/c1/out.gz'");
  EXPECT_EQ(unzipped.status, 0);
  EXPECT_EQ(ids_of(unzipped.out), range_of(1, 1000));
}

TEST_F(Faults, LobFileThatCannotBeOpenedAtFileChange) {
  rvtest::sqlite_exec(db_, "CREATE TABLE L(ID INTEGER PRIMARY KEY, C CLOB);"
                           "INSERT INTO L SELECT ID, 'clob-' || ID FROM T;");
  mkdir((dir_ + "/lob_2.dat").c_str(), 0755);
  Proc p = run({login_, "query=L", "file=" + dir_ + "/o_%b.txt", "lobfile=" + dir_ + "/lob_%b.dat",
                "batch=yes", "rows=1000"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 6);
  EXPECT_EQ(count_of(p.out, "ERROR -- Cannot write to file : "), 1u) << p.out;
  EXPECT_NE(p.out.find("ERROR -- Cannot write to file : " + dir_ + "/lob_2.dat (Is a directory)\n"), std::string::npos);
  // The new data file was closed empty; the first pair is complete: every
  // reference of the first file resolves to its value in the first lob file.
  EXPECT_EQ(rvtest::read_file(dir_ + "/o_2.txt"), "");
  const std::string lob = rvtest::read_file(dir_ + "/lob_1.dat");
  const std::vector<std::string> lines = lines_of(rvtest::read_file(dir_ + "/o_1.txt"));
  ASSERT_EQ(lines.size(), 1000u);
  const std::string prefix = dir_ + "/lob_1.dat.";
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string id = std::to_string(i + 1);
    ASSERT_EQ(lines[i].compare(0, id.size() + 1 + prefix.size(), id + "," + prefix), 0) << lines[i];
    const std::string ref = lines[i].substr(id.size() + 1 + prefix.size());
    const size_t dot = ref.find('.');
    const long offset = std::stol(ref.substr(0, dot));
    const long length = std::stol(ref.substr(dot + 1));
    ASSERT_LE(static_cast<size_t>(offset - 1 + length), lob.size());
    EXPECT_EQ(lob.substr(static_cast<size_t>(offset - 1), static_cast<size_t>(length)), "clob-" + id);
  }
}

TEST_F(Faults, LobFileOnFullDeviceStopsAtTheFirstFailure) {
  // One message; the data file keeps whole records only, in order, each
  // with a whole reference; no closing line.
  rvtest::sqlite_exec(db_, "CREATE TABLE L(ID INTEGER PRIMARY KEY, C CLOB);"
                           "INSERT INTO L SELECT ID, 'clob-' || ID FROM T;");
  symlink_to("/dev/full", dir_ + "/full.lob");
  Proc p = run({login_, "query=L", "file=" + dir_ + "/l.txt", "lobfile=" + dir_ + "/full.lob"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 2);
  EXPECT_EQ(count_of(p.out, "ERROR -- Cannot write to file : " + dir_ + "/full.lob\n"), 1u) << p.out;
  EXPECT_EQ(count_of(p.out, " closed at "), 0u) << p.out;
  EXPECT_FALSE(rvtest::file_exists(dir_ + "/l.txt"));
  const std::string text = rvtest::read_file(rvtest::kept_file(p.out));
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  const std::vector<std::string> lines = lines_of(text);
  EXPECT_LT(lines.size(), static_cast<size_t>(kRows));
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string head = std::to_string(i + 1) + "," + dir_ + "/full.lob.";
    ASSERT_EQ(lines[i].compare(0, head.size(), head), 0) << lines[i];
    EXPECT_EQ(lines[i].back(), '/') << lines[i];
  }
}

TEST_F(Faults, CompressedFileFailingAtItsCloseHasNoClosingLine) {
  // 1000 short rows compress into less than zlib's buffer: the full device
  // shows only when the stream is finished at the close.
  symlink_to("/dev/full", dir_ + "/g_2.gz");
  Proc p = run({login_, "query=T", "file=" + dir_ + "/g_%b.gz", "batch=yes", "rows=1000"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 2);
  EXPECT_EQ(count_of(p.out, "output file " + dir_ + "/g_1.gz closed at 1000 rows"), 1u) << p.out;
  EXPECT_EQ(count_of(p.out, " closed at "), 1u) << p.out;
  rvtest::RunResult unzipped = rvtest::run_shell("gzip -dc '" + dir_ + "/g_1.gz'");
  EXPECT_EQ(unzipped.status, 0);
  EXPECT_EQ(ids_of(unzipped.out), range_of(1, 1000));

  // The same at the end of a run with one file.
  symlink_to("/dev/full", dir_ + "/one.gz");
  p = run({login_, "query=select ID, NAME from T where ID <= 100", "file=" + dir_ + "/one.gz"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 2);
  EXPECT_EQ(count_of(p.out, " closed at "), 0u) << p.out;
}

TEST_F(Faults, DataAndLobFileOfTheSameNameAreRefused) {
  rvtest::sqlite_exec(db_, "CREATE TABLE L(ID INTEGER PRIMARY KEY, C CLOB);"
                           "INSERT INTO L SELECT ID, 'clob-' || ID FROM T;");
  const std::string same = dir_ + "/same.txt";
  for (const std::string& file : {same, "+" + same}) {
    Proc p = run({login_, "query=L", "file=" + file, "lobfile=" + same});
    ASSERT_TRUE(ended_cleanly(p));
    EXPECT_EQ(p.status, 6);
    EXPECT_EQ(p.out, "ERROR -- Data file and LOB file are the same file : " + same + "\n");
    EXPECT_FALSE(rvtest::file_exists(same));
  }
  // Names that meet only at the second file: the first pair is complete.
  Proc p = run({login_, "query=L", "file=" + dir_ + "/s_%b.txt", "lobfile=" + dir_ + "/s_2.txt",
                "batch=yes", "rows=1000"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 6);
  EXPECT_EQ(count_of(p.out, "ERROR -- Data file and LOB file are the same file : " + dir_ +
                                "/s_2.txt\n"), 1u) << p.out;
  EXPECT_EQ(lines_of(rvtest::read_file(dir_ + "/s_1.txt")).size(), 1000u);
}

// ---------------------------------------------------------------------------
// Database

TEST_F(Faults, MissingUnreadableAndCorruptDatabases) {
  mkdir((dir_ + "/folder.db").c_str(), 0755);
  std::string noise;
  unsigned x = 12345;
  for (int i = 0; i < 65536; ++i) noise += static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  rvtest::write_file(dir_ + "/noise.db", noise);
  // A missing file and a folder say what is wrong with them.
  const std::pair<std::string, std::string> cases[] = {
      {"/missing.db", ": the file does not exist, and the embedded engine never creates one\n"},
      {"/folder.db", ": this is a folder, not a database file, and the embedded engine never creates one\n"},
      {"/noise.db", ""}};
  for (const auto& [name, words] : cases) {
    Proc p = run({rvproc::login_for(dir_ + name), "query=T", "file=" + dir_ + "/x.txt"});
    ASSERT_TRUE(ended_cleanly(p));
    EXPECT_EQ(p.status, 1) << name;
    EXPECT_EQ(count_of(p.out, "ORA-12154"), 1u) << p.out;
    EXPECT_EQ(lines_of(p.out).size(), 1u) << p.out;
    EXPECT_EQ(count_of(p.out, dir_ + name + words), 1u) << p.out;
  }

  // A valid head with damaged pages behind it: the login works, reading the
  // rows fails. One message, a failure code, and no row twice.
  std::string image = rvtest::read_file(db_);
  ASSERT_GT(image.size(), 12u * 4096);
  for (size_t i = 4 * 4096; i < 10 * 4096; ++i) image[i] = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  rvtest::write_file(dir_ + "/damaged.db", image);
  Proc p = run({rvproc::login_for(dir_ + "/damaged.db"), "query=T", "file=" + dir_ + "/d.txt"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_TRUE(p.status == 3 || p.status == 7) << p.status << ": " << p.out;
  EXPECT_EQ(count_of(p.out, "ORA-"), 1u) << p.out;
  std::vector<int> ids = ids_of(rvtest::read_file(dir_ + "/d.txt"));
  EXPECT_EQ(std::set<int>(ids.begin(), ids.end()).size(), ids.size());
}

TEST_F(Faults, LockedDatabaseIsWaitedFor) {
  // Another connection holds an exclusive lock for a second and a half; the
  // unload waits for it instead of failing, and then reads every row.
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(db_.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE; UPDATE T SET NAME = NAME;", nullptr, nullptr, nullptr),
            SQLITE_OK);
  const auto start = std::chrono::steady_clock::now();
  std::thread release([holder] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
  });
  Proc p = run({login_, "query=T", "file=" + dir_ + "/locked.txt"}, "", "", 60);
  release.join();
  sqlite3_close(holder);
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0) << p.out;
  EXPECT_GE(waited, std::chrono::milliseconds(1400));
  EXPECT_EQ(ids_of(rvtest::read_file(dir_ + "/locked.txt")), range_of(1, kRows));
}

TEST_F(Faults, StatementFailingInTheMiddleOfTheRows) {
  // Row 1501 overflows: the rows before it that were written stay, in
  // order, once each; one message; result 7.
  const std::string overflow =
      "query=SELECT ID, CASE WHEN ID > 1500 THEN abs(-9223372036854775808) ELSE NAME END FROM T";
  Proc p = run({login_, overflow, "file=" + dir_ + "/m.txt", "array=100"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 7);
  EXPECT_EQ(count_of(p.out, "ORA-"), 1u) << p.out;
  EXPECT_FALSE(rvtest::file_exists(dir_ + "/m.txt"));
  std::vector<int> ids = ids_of(rvtest::read_file(rvtest::kept_file(p.out)));
  EXPECT_LE(ids.size(), 1500u);
  EXPECT_EQ(ids, range_of(1, static_cast<int>(ids.size())));

  // Tolerating that error cannot turn the lost rows into a success: the
  // cursor is gone, the next fetch fails and the run ends with 7.
  p = run({login_, overflow, "file=" + dir_ + "/m.txt", "array=100", "error=900"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 7) << p.out;
  EXPECT_EQ(count_of(p.out, "ORA-00900"), 1u) << p.out;
  ids = ids_of(rvtest::read_file(rvtest::kept_file(p.out)));
  EXPECT_EQ(ids, range_of(1, 1500));

  // A value error on single rows (texts in a NUMBER column read in the
  // internal form) is tolerated row by row: every other row arrives once.
  rvtest::sqlite_exec(db_, "CREATE TABLE V(ID INTEGER PRIMARY KEY, N NUMBER, NAME VARCHAR2(30));"
                           "INSERT INTO V SELECT ID, CASE WHEN ID % 500 = 0 THEN 'bad' ELSE ID END,"
                           " NAME FROM T;");
  p = run({login_, "query=select ID, N from V", "client=yes", "error=1722", "array=100",
           "file=" + dir_ + "/v.txt"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 0) << p.out;
  EXPECT_EQ(count_of(p.out, "ORA-01722"), 6u);
  std::vector<std::string> lines = lines_of(rvtest::read_file(dir_ + "/v.txt"));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kRows - 6));
  size_t k = 0;
  for (int id = 1; id <= kRows; ++id) {
    if (id % 500 == 0) continue;
    EXPECT_EQ(lines[k++], std::to_string(id) + "," + std::to_string(id));
  }
  // A complete run leaves no temporary file behind.
  EXPECT_EQ(rvtest::run_shell("ls -A '" + dir_ + "' | grep -c '^.v.txt.rvtmp'").out, "0\n");
  // Not tolerated: 7 and one message; the complete file of the run before
  // keeps its name and content, the failed run's rows only a temporary name.
  p = run({login_, "query=select ID, N from V", "client=yes", "file=" + dir_ + "/v.txt"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 7);
  EXPECT_EQ(count_of(p.out, "ORA-"), 1u);
  EXPECT_EQ(lines_of(rvtest::read_file(dir_ + "/v.txt")), lines);
  EXPECT_TRUE(rvtest::file_exists(rvtest::kept_file(p.out))) << p.out;
}

// ---------------------------------------------------------------------------
// Parallel workers

// Every line of out_<piece>.txt for pieces 1 to n (missing files: none).
std::vector<std::vector<int>> piece_ids(const std::string& dir, const std::string& stem, int n) {
  std::vector<std::vector<int>> all;
  for (int i = 1; i <= n; ++i) {
    const std::string name = dir + "/" + stem + std::to_string(i) + ".txt";
    all.push_back(rvtest::file_exists(name) ? ids_of(rvtest::read_file(name)) : std::vector<int>{});
  }
  return all;
}

TEST_F(Faults, ParallelWorkerThatFailsEveryTime) {
  // A clean run gives the reference pieces.
  Proc p = run({login_, "split=T", "degree=4", "file=" + dir_ + "/ref_%p.txt"});
  ASSERT_TRUE(ended_cleanly(p));
  ASSERT_EQ(p.status, 0) << p.out;
  const auto reference = piece_ids(dir_, "ref_", 4);
  size_t total = 0;
  std::set<int> seen;
  for (const auto& piece : reference) {
    total += piece.size();
    seen.insert(piece.begin(), piece.end());
  }
  ASSERT_EQ(total, static_cast<size_t>(kRows));
  ASSERT_EQ(seen.size(), static_cast<size_t>(kRows));
  ASSERT_FALSE(reference[1].empty());

  // Piece 2's file is a directory: it fails at the first run and at each of
  // its two re-runs; the other pieces are complete; the exit status is the
  // sum of the final results.
  mkdir((dir_ + "/out_2.txt").c_str(), 0755);
  p = run({login_, "split=T", "degree=4", "retry=2", "sleep=0", "file=" + dir_ + "/out_%p.txt"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 6);
  EXPECT_EQ(count_of(p.out, "ERROR -- Cannot write to file : " + dir_ + "/out_2.txt (Is a directory)\n"), 3u) << p.out;
  const auto pieces = piece_ids(dir_, "out_", 4);
  EXPECT_EQ(pieces[0], reference[0]);
  EXPECT_EQ(pieces[2], reference[2]);
  EXPECT_EQ(pieces[3], reference[3]);

  // Without a re-run budget: one attempt, one message.
  p = run({login_, "split=T", "degree=4", "retry=0", "file=" + dir_ + "/out_%p.txt"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 6);
  EXPECT_EQ(count_of(p.out, "ERROR -- Cannot write to file : "), 1u);

  // Every worker failing: no re-runs (none succeeded), the sum of four 6s.
  p = run({login_, "split=T", "degree=4", "retry=3", "sleep=0", "file=" + dir_ + "/missing/o_%p.txt"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 24);
  EXPECT_EQ(count_of(p.out, "ERROR -- Cannot write to file : "), 4u) << p.out;
}

TEST_F(Faults, ParallelFailuresThatAddUpToAMultipleOf256) {
  // 32 ranges whose workers all fail their pre-statement (8 each): the sum
  // is 256, whose low 8 bits are 0. The process must still exit non-zero.
  const std::string big = dir_ + "/big.db";
  rvproc::make_numbered_table(big, 16383);
  Proc p = run({rvproc::login_for(big), "split=T", "degree=32", "presql=nonsense",
                "file=" + dir_ + "/w_%p.txt"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(count_of(p.out, "ORA-00900"), 32u);
  EXPECT_EQ(p.status, 255);
}

TEST_F(Faults, ParallelWorkerWhoseRowsFail) {
  // The rows above 2900 overflow: the worker of the last range fails with
  // 7 every time, its re-run included; the others are complete.
  Proc p = run({login_,
                "query=SELECT ID, CASE WHEN ID > 2900 THEN abs(-9223372036854775808) ELSE NAME END "
                "FROM T WHERE ROWID >= :minrid AND ROWID < :maxrid",
                "split=T", "degree=3", "retry=1", "sleep=0", "file=" + dir_ + "/f_%p.txt"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 7) << p.out;
  EXPECT_EQ(count_of(p.out, "ORA-"), 2u) << p.out;
  const auto pieces = piece_ids(dir_, "f_", 3);
  std::vector<int> all;
  for (int i = 0; i < 2; ++i) all.insert(all.end(), pieces[i].begin(), pieces[i].end());
  EXPECT_EQ(all, range_of(1, static_cast<int>(all.size())));
  EXPECT_GE(all.size(), 1500u);
}

}  // namespace
