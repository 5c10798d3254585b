// Outputs that would destroy the database or one another are refused;
// SIGINT, SIGTERM and SIGHUP stop a run between two records with every file
// whole; a closed standard output ends the run quietly.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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

class FileSafety : public rvproc::FolderTest {
 protected:
  void SetUp() override { make_folder("safety", 3000); }
};

TEST_F(FileSafety, OutputsThatAreTheDatabaseOrEachOtherAreRefused) {
  const std::string image = rvtest::read_file(db_);
  const std::string x = dir_ + "/x.txt";
  struct Case {
    std::vector<std::string> args;
    std::string line;
  } cases[] = {
      {{"file=" + db_}, "Data file and database file are the same file : " + db_},
      {{"file=+" + db_}, "Data file and database file are the same file : " + db_},
      {{"file=./t.db"}, "Data file and database file are the same file : ./t.db and " + db_},
      {{"log=" + db_}, "Log file and database file are the same file : " + db_},
      {{"lobfile=" + db_}, "LOB file and database file are the same file : " + db_},
      {{"control=" + db_, "table=T"}, "Control file and database file are the same file : " + db_},
      {{"log=" + x, "file=" + x}, "Log file and data file are the same file : " + x},
      {{"control=" + x, "table=T", "file=" + x}, "Data file and control file are the same file : " + x},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {login_, "query=T"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Proc p = run(args);
    ASSERT_TRUE(ended_cleanly(p));
    EXPECT_EQ(p.status, 6) << c.line;
    EXPECT_EQ(p.out, "ERROR -- " + c.line + "\n");
    EXPECT_EQ(rvtest::read_file(db_), image) << c.line;
    EXPECT_FALSE(rvtest::file_exists(x)) << c.line;
  }

  // At a file change the next data file would be the log: the log keeps its
  // lines, the refusal among them, and the first file is complete.
  Proc p = run({login_, "query=T", "file=o_%b.txt", "log=o_2.txt", "batch=yes", "rows=1000"});
  ASSERT_TRUE(ended_cleanly(p));
  EXPECT_EQ(p.status, 6);
  const std::vector<std::string> log = lines_of(rvtest::read_file(dir_ + "/o_2.txt"));
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], "ERROR -- Data file and log file are the same file : o_2.txt");
  EXPECT_EQ(log.back().rfind("Summary: 1000 rows, ", 0), 0u) << log.back();
  EXPECT_EQ(lines_of(rvtest::read_file(dir_ + "/o_1.txt")).size(), 1000u);

  // A parallel log without %p would be truncated by every worker.
  p = run({login_, "query=T", "split=T", "degree=2", "log=run.log"});
  EXPECT_EQ(p.status, 1);
  EXPECT_EQ(p.out, "ERROR -- A parallel unload needs %p in the log file name: run.log\n");
  // A re-run appends to its worker's log: the failed attempts' lines stay.
  mkdir((dir_ + "/p_2.txt").c_str(), 0755);
  p = run({login_, "split=T", "degree=2", "retry=2", "sleep=0", "file=p_%p.txt", "log=log_%p.txt"});
  EXPECT_EQ(p.status, 6);
  EXPECT_EQ(count_of(rvtest::read_file(dir_ + "/log_2.txt"), "Cannot write to file : p_2.txt"), 3u);

  // Devices are shared freely; a data pattern without %b still replaces its
  // own previous file.
  p = run({login_, "query=T", "file=/dev/null", "log=/dev/null", "lobfile=/dev/null"});
  EXPECT_EQ(p.status, 0) << p.out;
  p = run({login_, "query=select * from T where ID <= 2500", "file=same.txt", "batch=yes", "rows=1000"});
  EXPECT_EQ(p.status, 0) << p.out;
  EXPECT_EQ(lines_of(rvtest::read_file(dir_ + "/same.txt")).size(), 500u);
}

// ---------------------------------------------------------------------------
// Signals

// The rows of T x T x T in the embedded engine's nested-loop order: far more
// than any test waits for, so a run always ends by the signal.
const std::string kEndless = "query=select a.ID, b.ID, c.ID from T a, T b, T c";
constexpr int kSide = 1000;

class Interrupts : public rvproc::FolderTest {
 protected:
  void SetUp() override { make_folder("interrupt", kSide); }

  // Starts the program in the folder with standard error into err.log and
  // standard output into out.log, or into the write end of `pipe_fds`.
  pid_t start(const std::vector<std::string>& args, const int* pipe_fds = nullptr) {
    std::vector<std::string> text = {ROWVANE_BINARY, login_};
    text.insert(text.end(), args.begin(), args.end());
    pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir_.c_str()) != 0) _exit(126);
      int out = pipe_fds ? pipe_fds[1] : creat("out.log", 0644);
      int err = creat("err.log", 0644);
      dup2(out, 1);
      dup2(err, 2);
      if (pipe_fds) close(pipe_fds[0]);  // the reader is the test alone
      std::vector<char*> argv;
      for (auto& a : text) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    return pid;
  }

  // Waits (at most 60 s) until every named file holds at least `bytes`.
  void wait_for_data(const std::vector<std::string>& names, off_t bytes) {
    for (int i = 0; i < 600; ++i) {
      bool all = true;
      for (const std::string& n : names) {
        struct stat st;
        all = all && stat((dir_ + "/" + n).c_str(), &st) == 0 && st.st_size >= bytes;
      }
      if (all) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ADD_FAILURE() << "no data arrived";
  }

  // The exit status of a child that must end by itself within 60 s; -1
  // when it was killed by a signal or hung.
  int wait_exit(pid_t pid) {
    for (int i = 0; i < 600; ++i) {
      int st = 0;
      if (waitpid(pid, &st, WNOHANG) == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }

  // Checks that text is whole records of T x T x T, the first rows in
  // order, and returns how many.
  static size_t whole_records(const std::string& text) {
    if (!text.empty()) {
      EXPECT_EQ(text.back(), '\n');
    }
    size_t k = 0;
    for (const std::string& line : lines_of(text)) {
      const std::string want = std::to_string(k / (kSide * kSide) + 1) + "," +
                               std::to_string(k / kSide % kSide + 1) + "," +
                               std::to_string(k % kSide + 1);
      if (line != want) {
        ADD_FAILURE() << "record " << k << " is \"" << line << "\", not \"" << want << "\"";
        break;
      }
      ++k;
    }
    return k;
  }
};

TEST_F(Interrupts, EachSignalStopsAtARecordBoundaryWithItsStatus) {
  struct Case {
    int signal;
    const char* name;
    int status;
    const char* file;
  } cases[] = {{SIGTERM, "SIGTERM", 143, "out.txt"},
               {SIGINT, "SIGINT", 130, "out.gz"},
               {SIGHUP, "SIGHUP", 129, "out.txt"}};
  for (const Case& c : cases) {
    std::remove((dir_ + "/" + c.file).c_str());  // data of the case before
    pid_t pid = start({kEndless, std::string("file=") + c.file, "rows=100000"});
    // The file is written under its temporary name, which it keeps.
    const std::string temp = std::string(".") + c.file + ".rvtmp-" + std::to_string(pid);
    wait_for_data({temp}, 64 * 1024);
    kill(pid, c.signal);
    ASSERT_EQ(wait_exit(pid), c.status) << c.name;

    EXPECT_FALSE(rvtest::file_exists(dir_ + "/" + c.file));
    std::string data = rvtest::read_file(dir_ + "/" + temp);
    if (std::string(c.file) == "out.gz") {
      EXPECT_EQ(rvtest::run_shell("gzip -t '" + dir_ + "/" + temp + "'").status, 0);
      data = rvtest::run_shell("gzip -dc < '" + dir_ + "/" + temp + "'").out;
    }
    const size_t rows = whole_records(data);
    EXPECT_GT(rows, 0u);
    const std::vector<std::string> log = lines_of(rvtest::read_file(dir_ + "/out.log"));
    // The summary comes before the line naming the kept file, which stays last.
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], std::string("ERROR -- Run interrupted by ") + c.name + " after " +
                                       std::to_string(rows) + " rows.");
    EXPECT_EQ(log[log.size() - 2].rfind("Summary: " + std::to_string(rows) + " rows, ", 0), 0u);
    EXPECT_EQ(log.back(), "         unfinished output kept as " + temp);
    std::remove((dir_ + "/" + temp).c_str());
    EXPECT_EQ(rvtest::read_file(dir_ + "/err.log"), "");
  }
}

TEST_F(Interrupts, EveryParallelWorkerStopsAndNoneIsRunAgain) {
  pid_t pid = start({"query=select a.ID, b.ID, c.ID from T a, T b, T c where a.ROWID >= :minrid "
                     "and a.ROWID < :maxrid",
                     "split=T", "degree=2", "retry=3", "sleep=0", "file=p_%p.txt", "rows=100000"});
  const std::string temp = ".rvtmp-" + std::to_string(pid);
  wait_for_data({".p_1.txt" + temp, ".p_2.txt" + temp}, 64 * 1024);
  kill(pid, SIGTERM);
  ASSERT_EQ(wait_exit(pid), 143);

  const std::string log = rvtest::read_file(dir_ + "/out.log");
  // One start line per worker: no re-run began.
  EXPECT_EQ(count_of(log, "           0 rows exported"), 2u) << log;
  EXPECT_EQ(count_of(log, "ERROR -- Run interrupted by SIGTERM after "), 2u) << log;
  for (const char* file : {"p_1.txt", "p_2.txt"}) {
    EXPECT_FALSE(rvtest::file_exists(dir_ + "/" + file));
    EXPECT_EQ(count_of(log, "unfinished output kept as ." + std::string(file) + temp + "\n"), 1u);
    const std::string text = rvtest::read_file(dir_ + "/." + file + temp);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    for (const std::string& line : lines_of(text)) {
      ASSERT_EQ(std::count(line.begin(), line.end(), ','), 2) << file << ": " << line;
    }
    EXPECT_EQ(count_of(log, " after " + std::to_string(lines_of(text).size()) + " rows."), 1u)
        << file;
  }
}

TEST_F(Interrupts, ClosedStandardOutputEndsTheRunQuietly) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = start({kEndless, "file=-"}, fds);
  close(fds[1]);
  char first[64];
  ASSERT_GT(read(fds[0], first, sizeof first), 0);
  close(fds[0]);  // as `head -c 64` does
  EXPECT_EQ(wait_exit(pid), 141);
  EXPECT_EQ(rvtest::read_file(dir_ + "/err.log"), "");
}

}  // namespace
