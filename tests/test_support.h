// Helpers shared by the tests: temporary folders, files, running the
// program as a process, and building small databases.
#pragma once

#include <string>
#include <vector>

namespace rvtest {

// A fresh empty folder under the build tree, unique per call.
std::string temp_dir(const std::string& tag);
std::string read_file(const std::string& path);
// Single-quotes a word for sh.
std::string sh_quote(const std::string& s);
// The first file the last "unfinished output kept as" line of a run's
// messages names (a failed or interrupted run keeps its files under their
// temporary names); "" when there is none.
std::string kept_file(const std::string& messages);
// The summary line that ends a run, with its seconds and rate as the
// letters S and R, which timeless_summary puts for the varying numbers of
// every well-formed summary line in a run's messages.
std::string summary_line(unsigned long long rows, unsigned long long bytes, unsigned files);
std::string timeless_summary(const std::string& messages);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);

struct RunResult {
  int status;          // exit status, or -1 when it did not exit normally
  std::string out;     // standard output
};
// Runs build/rowvane with args in folder cwd (empty = current); stdin_text is
// fed to its standard input (closed when empty).
RunResult run_program(const std::vector<std::string>& args, const std::string& cwd = "",
                      const std::string& stdin_text = "");
// Runs a shell command, returns its exit status and standard output.
RunResult run_shell(const std::string& command);

// The connect text that names a database file in the tests' logins: the
// embedded engine's "sqlite:<file>", or, when ROWVANE_OCI_LIBRARY is set (the
// ctest entries named "...ThroughStandIn" set it to the strict stand-in for
// the vendor's client library), the file alone, so that every login goes
// through the vendor loader and the vendor's call sequences.
std::string db_connect(const std::string& db_path);

// Creates (or opens) a database file and runs the SQL script on it; aborts
// the test on an error.
void sqlite_exec(const std::string& db_path, const std::string& sql);

}  // namespace rvtest
