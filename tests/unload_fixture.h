// Helpers for the tests that run unload jobs against the embedded engine:
// a job built from option texts, its messages captured, the statements the
// engine prepared, and small file utilities.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "config/job.h"
#include "config/options.h"
#include "db/embedded/engine.h"
#include "test_support.h"
#include "unload/job_runner.h"
#include "unload/rows.h"

namespace rvunload {

inline std::vector<std::string>& observed_statements() {
  static std::vector<std::string> texts;
  return texts;
}

inline void observe_statement(void*, const char* text, uint32_t len) {
  observed_statements().emplace_back(text, len);
}

// The record buffer size the next runs use (0: the default); see
// RecordBufferSize.
inline int& record_buffer_size() {
  static int bytes = 0;
  return bytes;
}

// The context of a test's run: the statements observed, the record buffer
// size of the test.
inline rowvane::RunContext observed_context() {
  rowvane::RunContext context{};
  context.limits.record_buffer_size = record_buffer_size();
  context.observer.statement = observe_statement;
  return context;
}

inline void capture_message(void* ctx, const char* text) {
  static_cast<std::string*>(ctx)->append(text);
}

struct JobRun {
  std::unique_ptr<rowvane::UnloadJob> job;
  std::string messages;
  int result = 1;
};

// Builds a job for the database file db (login user=u/p@<db_connect(db)>) from
// option texts, with every message captured.
inline std::unique_ptr<rowvane::UnloadJob> make_job(const std::string& db,
                                                     const std::vector<std::string>& options) {
  auto job = std::make_unique<rowvane::UnloadJob>();
  rowvane::job_defaults(job.get());
  std::string user = "user=u/p@" + rvtest::db_connect(db);
  rowvane::set_option(job.get(), user.c_str());
  for (const auto& o : options) {
    EXPECT_EQ(rowvane::set_option(job.get(), o.c_str()), 1) << o;
  }
  return job;
}

// Runs the job with its messages captured and the statements observed.
inline JobRun run_unload(const std::string& db, const std::vector<std::string>& options) {
  JobRun r;
  r.job = make_job(db, options);
  r.job->message_callback = capture_message;
  r.job->message_context = &r.messages;
  observed_statements().clear();
  r.result = rowvane::run_job(r.job.get(), observed_context());
  EXPECT_EQ(r.job->result, r.result);
  return r;
}

// Number of open descriptors of this process (leak checks).
inline int open_descriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (readdir(d)) ++n;
  closedir(d);
  return n;
}

inline bool contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos;
}

// Runs a test inside its temporary folder: control files written without
// control= land in the working folder.
class InFolder {
 public:
  explicit InFolder(const std::string& dir) {
    if (!getcwd(previous_, sizeof previous_)) previous_[0] = '\0';
    EXPECT_EQ(chdir(dir.c_str()), 0);
  }
  ~InFolder() {
    if (previous_[0]) {
      EXPECT_EQ(chdir(previous_), 0);
    }
  }

 private:
  char previous_[4096];
};

// The record buffer size of the runs of one scope; the default again after it.
struct RecordBufferSize {
  explicit RecordBufferSize(int bytes) { record_buffer_size() = bytes; }
  ~RecordBufferSize() { record_buffer_size() = 0; }
};

}  // namespace rvunload
