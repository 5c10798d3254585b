// The manifest of a run and what is built on it: runs killed at random
// moments and resumed until every row is in the files once, the refusals of
// a resumption that cannot be trusted, plans run in parts and joined, and
// the manifest text itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "parallel/manifest.h"
#include "test_support.h"

using namespace rowvane;

namespace {

constexpr int kRows = 60000;  // per table

bool through_stand_in() { return std::getenv("ROWVANE_OCI_LIBRARY") != nullptr; }

class Manifests : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = rvtest::temp_dir("manifest");
    db_ = dir_ + "/m.db";
    std::string sql = "CREATE TABLE T1(a INTEGER PRIMARY KEY, b TEXT); CREATE TABLE T2(a INTEGER PRIMARY KEY, b TEXT);"
                      "CREATE TABLE T3(a INTEGER PRIMARY KEY, b TEXT);";
    for (const char* t : {"T1", "T2", "T3"}) {
      sql += std::string("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < ") +
             std::to_string(kRows) + ") INSERT INTO " + t + " SELECT x, printf('%s-%08d-padding-padding', '" + t +
             "', x) FROM c;";
    }
    rvtest::sqlite_exec(db_, sql);
    login_ = "u/p@" + rvtest::db_connect(db_);
  }

  // The options of every run of the many-table unload: three tables cut
  // into pieces, data files rotated at 1 MB (their CRC-32 summed as they are
  // written), control files (read back for theirs).
  std::vector<std::string> args(const std::vector<std::string>& more = {}) const {
    std::vector<std::string> a = {login_, "tables=T%", "degree=4", "file=%n_%p_%b.txt", "size=1",
                                  "control=%n.ctl", "manifest=m.json", "retry=0"};
    a.insert(a.end(), more.begin(), more.end());
    return a;
  }

  rvtest::RunResult run(const std::vector<std::string>& more = {}) const {
    return rvtest::run_program(args(more), dir_);
  }

  // Starts a run and sends it the signal after `ms` milliseconds (it may
  // have ended by then). Its exit status, or -1 when the signal ended it.
  int run_killed(int ms, int signal, const std::vector<std::string>& more) const {
    std::vector<std::string> text = {ROWVANE_BINARY};
    for (const std::string& a : args(more)) text.push_back(a);
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir_.c_str()) != 0) _exit(126);
      freopen("/dev/null", "w", stdout);
      std::vector<char*> argv;
      for (auto& a : text) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    kill(pid, signal);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  Manifest manifest(const std::string& name = "m.json") const {
    Manifest m;
    std::string why;
    EXPECT_EQ(read_manifest((dir_ + "/" + name).c_str(), &m, &why), 0) << why;
    return m;
  }

  // Every file the manifest lists has its size and CRC-32 (zlib's, not the
  // program's); every row of every table is in its data files once.
  void expect_complete(const Manifest& m) const {
    EXPECT_EQ(m.state, "complete");
    std::map<std::string, int> seen;
    for (const ManifestPiece& p : m.pieces) {
      EXPECT_EQ(p.state, PieceState::kDone);
      for (const ManifestFile& f : p.files) {
        const std::string data = rvtest::read_file(dir_ + "/" + f.name);
        EXPECT_EQ(static_cast<int64_t>(data.size()), f.bytes) << f.name;
        EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())), f.crc32)
            << f.name;
        if (f.kind != 'd') continue;
        std::istringstream in(data);
        uint64_t rows = 0;
        for (std::string line; std::getline(in, line); ++rows) ++seen[line.substr(line.find(',') + 1)];
        EXPECT_EQ(rows, f.rows) << f.name;
      }
    }
    EXPECT_EQ(seen.size(), 3u * kRows);
    for (const auto& [row, n] : seen) {
      if (n != 1) ADD_FAILURE() << row << " is in the files " << n << " times";
    }
  }

  std::string dir_, db_, login_;
};

TEST_F(Manifests, RunsKilledAtRandomMomentsResumeToEveryRowOnce) {
  // How long a whole run takes here, so that the kills fall inside one.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(run().status, 0);
  const int whole_ms = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
  expect_complete(manifest());
  const unsigned seed = static_cast<unsigned>(std::random_device{}());
  std::mt19937 random(seed);
  SCOPED_TRACE("seed " + std::to_string(seed) + ", a whole run " + std::to_string(whole_ms) + " ms");
  int mid_run = 0;  // kills that left a manifest of a run under way
  for (int k = 0; k < 20; ++k) {
    SCOPED_TRACE("kill " + std::to_string(k));
    std::filesystem::remove(dir_ + "/m.json");
    // Every other run gets SIGTERM, which it survives long enough to mark
    // its stopped pieces unfinished.
    const int signal = k % 2 ? SIGTERM : SIGKILL;
    const int status = run_killed(static_cast<int>(random() % static_cast<unsigned>(whole_ms + 1)), signal, {});
    Manifest left;
    std::string why;
    const bool found = read_manifest((dir_ + "/m.json").c_str(), &left, &why) == 0;
    if (found && left.state == "running") ++mid_run;
    if (status == 143 && found) {
      // Stopped, it still ends its manifest (complete when the signal came
      // after the last piece).
      EXPECT_NE(left.state, "running");
      int stopped = 0;
      for (const ManifestPiece& p : left.pieces) stopped += p.state == PieceState::kUnfinished;
      mid_run += stopped > 0;
    }
    // Resumed until done (a kill before the first manifest starts anew).
    rvtest::RunResult r;
    for (int attempt = 0; attempt < 3; ++attempt) {
      r = run({"resume=YES"});
      if (r.status == 0) break;
    }
    ASSERT_EQ(r.status, 0) << r.out;
    expect_complete(manifest());
    // What the interrupted runs left under temporary names is gone (but for
    // a manifest being written before the first one: no run names it).
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name.find(".rvtmp-") == std::string::npos || name.rfind(".m.json.", 0) == 0) << name;
    }
  }
  EXPECT_GT(mid_run, 0);
}

TEST_F(Manifests, ResumptionsThatCannotBeTrustedAreRefused) {
  ASSERT_EQ(run().status, 0);
  rvtest::write_file(dir_ + "/bad.json", "{\"format\": \"rowvane manifest\", \"version\": 1, \"tables\": [");
  const struct {
    std::vector<std::string> more;
    int status;
    const char* line;
  } cases[] = {
      {{"resume=YES", "field=|"}, 1, "ERROR -- field= differs from the manifest m.json; resume with the options"},
      {{"resume=YES", "manifest=bad.json"}, 1, "ERROR -- Cannot resume from the manifest bad.json: not JSON: "},
      {{"resume=YES", "pieces=1,99"}, 1, "ERROR -- pieces=: 99 is no piece number or range of 1 to "},
      {{"resume=YES", "file=+%n_%p_%b.txt"}, 1, "ERROR -- A run with manifest= writes files it can redo; file=+"},
      {{"resume=YES", "manifest="}, 1, "ERROR -- resume= needs manifest=."},
      {{"resume=YES", "manifest=new.json"}, 0, "         no manifest new.json to resume from: a new run starts"},
      {{"resume=YES"}, 0, "         every piece of the manifest m.json is done."},
  };
  for (const auto& c : cases) {
    const rvtest::RunResult r = run(c.more);
    EXPECT_EQ(r.status, c.status) << c.more[1] << "\n" << r.out;
    EXPECT_NE(r.out.find(c.line), std::string::npos) << c.more[1] << "\n" << r.out;
  }
  // A done piece whose file went missing is redone, and only it.
  const Manifest before = manifest();
  std::filesystem::remove(dir_ + "/" + before.pieces[2].files[0].name);
  const rvtest::RunResult r = run({"resume=YES"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("of piece 3 changed since it was written: the piece is redone."), std::string::npos) << r.out;
  expect_complete(manifest());
}

TEST_F(Manifests, APlanRunInPartsJoinsIntoTheWholeUnload) {
  rvtest::RunResult r = run({"plan=YES"});
  ASSERT_EQ(r.status, 0) << r.out;
  const Manifest plan = manifest();
  EXPECT_EQ(plan.state, "planned");
  ASSERT_GE(plan.pieces.size(), 4u);
  const std::string rest = "2-" + std::to_string(plan.pieces.size());
  for (const std::string& part : {std::string("a"), std::string("b")}) {
    std::filesystem::copy_file(dir_ + "/m.json", dir_ + "/" + part + ".json");
  }
  EXPECT_EQ(run({"manifest=a.json", "resume=YES", "pieces=1"}).status, 0);
  EXPECT_EQ(run({"manifest=b.json", "resume=YES", "pieces=" + rest}).status, 0);
  EXPECT_EQ(manifest("a.json").state, "incomplete");
  r = run({"manifest=all.json", "join=a.json,b.json"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("joined 2 manifests into all.json: " + std::to_string(plan.pieces.size()) + " of"),
            std::string::npos)
      << r.out;
  expect_complete(manifest("all.json"));
  // A manifest of another run does not join.
  ASSERT_EQ(run({"manifest=c.json", "field=|"}).status, 0);
  r = run({"manifest=x.json", "join=a.json,c.json"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("ERROR -- Cannot join c.json: its field= differs."), std::string::npos) << r.out;
}

TEST_F(Manifests, TheSnapshotOfAResumption) {
  ASSERT_EQ(run().status, 0);
  std::filesystem::remove(dir_ + "/" + manifest().pieces[0].files[0].name);
  if (!through_stand_in()) {
    // The embedded engine's snapshot ended with its run.
    const rvtest::RunResult r = run({"resume=YES"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("resuming at a new snapshot: the embedded engine's snapshot ended"), std::string::npos)
        << r.out;
    return;
  }
  // The vendor path reads at the manifest's number while the server has it.
  setenv("ROWVANE_STAND_IN_FLASHBACK", "old", 1);
  rvtest::RunResult r = run({"resume=YES"});
  EXPECT_EQ(r.status, 4) << r.out;
  EXPECT_NE(r.out.find("can no longer be read (ORA-01555); resume=NEW resumes at a new one."), std::string::npos)
      << r.out;
  unsetenv("ROWVANE_STAND_IN_FLASHBACK");
  r = run({"resume=NEW"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("resuming at a new snapshot (SCN "), std::string::npos) << r.out;
  expect_complete(manifest());
}

TEST(ManifestText, RoundTripsEveryByteAndRefusesWhatIsNoManifest) {
  Manifest m;
  m.state = "incomplete";
  m.snapshot.kind = "scn";
  m.snapshot.scn = 8372610031415;
  m.options = {{"field", std::string("\x01|\"\\\n\xff\xc3\xa9", 8)}, {"query", "SELECT 'é'"}};
  m.tables = {{"SCOTT", "EMP"}, {"", "odd \"name\""}};
  ManifestPiece p;
  p.table = 1;
  p.index = 3;
  p.whole = false;
  p.min_rowid = "AAAAAAAAAAAAAAAAAB";
  p.max_rowid = "AAAAAAAAAAAAAAAAAC";
  p.state = PieceState::kDone;
  p.result = 0;
  p.files = {{"a b.txt", 'd', 7, 120, 0xdeadbeef}, {"x.lob", 'l', 0, -1, 0}};
  m.pieces = {ManifestPiece{}, p};
  const std::string text = manifest_text(m);
  Manifest back;
  std::string why;
  ASSERT_TRUE(parse_manifest(text.data(), text.size(), &back, &why)) << why << "\n" << text;
  EXPECT_EQ(manifest_text(back), text);
  EXPECT_EQ(back.options, m.options);
  EXPECT_EQ(back.pieces[1].files[0].crc32, 0xdeadbeefu);

  for (const char* bad : {"", "[]", "{\"format\": \"other\", \"version\": 1}", "{\"format\": \"rowvane manifest\"}",
                          "{\"format\": \"rowvane manifest\", \"version\": 1, \"snapshot\": {\"kind\": \"none\"}, "
                          "\"options\": {}, \"tables\": []}",
                          "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[["}) {
    EXPECT_FALSE(parse_manifest(bad, std::strlen(bad), &back, &why)) << bad;
  }
  std::vector<bool> chosen;
  std::string entry;
  EXPECT_TRUE(select_pieces("1-2,4", 4, &chosen, &entry));
  EXPECT_EQ(chosen, (std::vector<bool>{true, true, false, true}));
  for (const char* bad : {"0", "5", "3-2", "x", "1,", "-1"}) EXPECT_FALSE(select_pieces(bad, 4, &chosen, &entry)) << bad;
}

}  // namespace
