#include "test_support.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

namespace rvtest {

std::string temp_dir(const std::string& tag) {
  static std::atomic<int> counter{0};
  std::string base = std::string(ROWVANE_BUILD_DIR) + "/test-tmp";
  mkdir(base.c_str(), 0755);
  std::string dir = base + "/" + tag + "-" + std::to_string(getpid()) + "-" +
                    std::to_string(counter++);
  std::string cmd = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
  if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot make " << dir;
  return dir;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string sh_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') q += "'\\''";
    else q += c;
  }
  return q + "'";
}

RunResult run_shell(const std::string& command) {
  RunResult r{-1, ""};
  FILE* p = popen(command.c_str(), "r");
  if (!p) return r;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

RunResult run_program(const std::vector<std::string>& args, const std::string& cwd,
                      const std::string& stdin_text) {
  std::string cmd;
  if (!cwd.empty()) cmd += "cd " + sh_quote(cwd) + " && ";
  if (!stdin_text.empty()) {
    static std::atomic<int> n{0};
    std::string in = temp_dir("stdin") + "/in" + std::to_string(n++);
    write_file(in, stdin_text);
    cmd += sh_quote(ROWVANE_BINARY);
    for (auto& a : args) cmd.append(" ").append(sh_quote(a));
    cmd.append(" < ").append(sh_quote(in));
  } else {
    cmd += sh_quote(ROWVANE_BINARY);
    for (auto& a : args) cmd.append(" ").append(sh_quote(a));
    cmd += " < /dev/null";
  }
  return run_shell(cmd);
}

std::string db_connect(const std::string& db_path) {
  const char* library = std::getenv("ROWVANE_OCI_LIBRARY");
  if (library && *library) return db_path;
  return "sqlite:" + db_path;
}

void sqlite_exec(const std::string& db_path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_path.c_str(), &db), SQLITE_OK);
  char* err = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
  EXPECT_EQ(rc, SQLITE_OK) << (err ? err : "");
  sqlite3_free(err);
  sqlite3_close(db);
}

std::string kept_file(const std::string& messages) {
  const std::string mark = "unfinished output kept as ";
  size_t at = messages.rfind(mark);
  if (at == std::string::npos) return "";
  at += mark.size();
  size_t end = std::min(messages.find('\n', at), messages.find(" and ", at));
  return messages.substr(at, end - at);
}

std::string summary_line(unsigned long long rows, unsigned long long bytes, unsigned files) {
  return "Summary: " + std::to_string(rows) + " rows, " + std::to_string(bytes) + " bytes, " +
         std::to_string(files) + " files, S seconds, R rows/s.\n";
}

std::string timeless_summary(const std::string& messages) {
  static const std::regex line(
      R"((Summary: \d+ rows, \d+ bytes, \d+ files, )\d+\.\d\d seconds, \d+ rows/s\.\n)");
  return std::regex_replace(messages, line, "$1S seconds, R rows/s.\n");
}

}  // namespace rvtest
