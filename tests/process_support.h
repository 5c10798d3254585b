// Running the program as a child process for the hostile-input, fault and
// integrity suites: arguments passed straight to exec (no shell, so no
// quoting and no shell limit on their number or size), standard output and
// standard error kept apart, a time limit, and a check that the run ended
// by itself without a sanitizer report.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace rvproc {

struct Proc {
  int status = -1;         // exit status; -1 when killed or signalled
  bool signalled = false;  // ended by a signal (a crash)
  bool timed_out = false;  // killed after the time limit (a hang)
  std::string out;         // standard output
  std::string err;         // standard error
};

// Runs `program` with args (argument 0 is added) in folder cwd (empty: the
// current one), feeding `input` to its standard input. With stdout_path the
// child's standard output goes to that file (a device such as /dev/full)
// instead of being captured.
inline Proc run_binary(const std::string& program, const std::vector<std::string>& args,
                       const std::string& cwd = "", const std::string& input = "",
                       int timeout_seconds = 120, const std::string& stdout_path = "") {
  Proc p;
  int out_pipe[2], err_pipe[2], in_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0 || pipe(in_pipe) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return p;
  }
  std::vector<std::string> argv_text;
  argv_text.push_back(program);
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return p;
  }
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    if (!stdout_path.empty()) {
      int fd = open(stdout_path.c_str(), O_WRONLY);
      if (fd < 0) _exit(125);
      dup2(fd, 1);
      close(fd);
    }
    dup2(err_pipe[1], 2);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  // Standard input is written as the child reads it; a child that stops
  // reading early closes its end and the rest is dropped.
  signal(SIGPIPE, SIG_IGN);
  size_t in_pos = 0;
  int in_fd = in_pipe[1];
  if (input.empty()) {
    close(in_fd);
    in_fd = -1;
  } else {
    fcntl(in_fd, F_SETFL, O_NONBLOCK);
  }
  const time_t deadline = time(nullptr) + timeout_seconds;
  int open_fds = 2;
  char buf[65536];
  while (open_fds > 0 || in_fd >= 0) {
    pollfd fds[3];
    int n = 0;
    if (out_pipe[0] >= 0) fds[n++] = {out_pipe[0], POLLIN, 0};
    if (err_pipe[0] >= 0) fds[n++] = {err_pipe[0], POLLIN, 0};
    if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
    if (n == 0) break;
    int left = static_cast<int>(deadline - time(nullptr));
    if (left <= 0) {
      p.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, n, 1000) < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in_fd) {
        ssize_t w = write(in_fd, input.data() + in_pos, input.size() - in_pos);
        if (w > 0) in_pos += static_cast<size_t>(w);
        if (w < 0 && errno != EAGAIN) in_pos = input.size();
        if (in_pos >= input.size()) {
          close(in_fd);
          in_fd = -1;
        }
        continue;
      }
      ssize_t r = read(fds[i].fd, buf, sizeof buf);
      if (r > 0) {
        (fds[i].fd == out_pipe[0] ? p.out : p.err).append(buf, static_cast<size_t>(r));
      } else {
        close(fds[i].fd);
        if (fds[i].fd == out_pipe[0]) out_pipe[0] = -1;
        else err_pipe[0] = -1;
        --open_fds;
      }
    }
  }
  for (int fd : {out_pipe[0], err_pipe[0], in_fd}) {
    if (fd >= 0) close(fd);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  if (WIFEXITED(st)) {
    p.status = WEXITSTATUS(st);
  } else {
    p.signalled = !p.timed_out;
  }
  return p;
}

inline Proc run(const std::vector<std::string>& args, const std::string& cwd = "",
                const std::string& input = "", int timeout_seconds = 120,
                const std::string& stdout_path = "") {
  return run_binary(ROWVANE_BINARY, args, cwd, input, timeout_seconds, stdout_path);
}

// The run ended by itself: no crash, no hang, no sanitizer report.
inline ::testing::AssertionResult ended_cleanly(const Proc& p) {
  if (p.timed_out) return ::testing::AssertionFailure() << "timed out; stdout: " << p.out.substr(0, 2000);
  if (p.signalled) return ::testing::AssertionFailure() << "killed by a signal; stderr: " << p.err;
  for (const char* marker : {"AddressSanitizer", "LeakSanitizer", "runtime error:",
                             "UndefinedBehaviorSanitizer"}) {
    if (p.err.find(marker) != std::string::npos) {
      return ::testing::AssertionFailure() << "sanitizer report: " << p.err.substr(0, 4000);
    }
  }
  return ::testing::AssertionSuccess();
}

inline size_t count_of(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
  return n;
}

inline std::string login_for(const std::string& db) { return "user=u/p@" + rvtest::db_connect(db); }

// A table T(ID INTEGER PRIMARY KEY, NAME VARCHAR2(30)) of `rows` rows, ID 1
// to rows, NAME "name-<ID>".
inline void make_numbered_table(const std::string& db, int rows, const std::string& table = "T") {
  rvtest::sqlite_exec(db, "CREATE TABLE " + table +
                              "(ID INTEGER PRIMARY KEY, NAME VARCHAR2(30));"
                              "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                              std::to_string(rows) + ") INSERT INTO " + table +
                              " SELECT i, 'name-' || i FROM n;");
}

// The lines of a text, without their line feeds.
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// A test with its own folder holding a database T of numbered rows; the
// program runs in that folder, so that files it writes without a folder in
// their name (control files) land there.
class FolderTest : public ::testing::Test {
 protected:
  void make_folder(const std::string& tag, int rows) {
    dir_ = rvtest::temp_dir(tag);
    db_ = dir_ + "/t.db";
    make_numbered_table(db_, rows);
    login_ = login_for(db_);
  }
  Proc run(const std::vector<std::string>& args, const std::string& cwd = "",
           const std::string& input = "", int timeout_seconds = 120,
           const std::string& stdout_path = "") {
    return rvproc::run(args, cwd.empty() ? dir_ : cwd, input, timeout_seconds, stdout_path);
  }
  std::string dir_, db_, login_;
};

}  // namespace rvproc
