// The live status line: one line on standard error, redrawn in place a few
// times per second from the run's counters, ended with a line feed when the
// run ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "config/run_counters.h"

namespace rowvane {

// "<rows> rows, <MB> MB, <rate> rows/s, <h:mm:ss> elapsed, pieces <done>/<all>"
// and ", ETA <h:mm:ss>" when the estimate is above the rows so far and a
// rate is known. Returns the length written into out (cut at cap - 1).
size_t format_status_line(char* out, size_t cap, uint64_t rows, uint64_t bytes, uint32_t done, uint32_t all,
                          uint64_t expected, uint64_t elapsed_ms);

// Draws the counters on out from a thread of its own every 250 ms until
// finish(), which draws the final counts and ends the line. One at a time:
// while it draws, status_line_message (a message callback taking a
// DbSession* as the default one does) first blanks it when the message goes
// to a standard output that is a terminal, so that a progress line never
// lands on the status line's text; the next drawing brings it back.
void status_line_message(void* user_data, const char* text);

class StatusLine {
 public:
  struct State;  // the drawing thread's state (status_line.cc)
  StatusLine(RunCounters* counters, FILE* out);
  ~StatusLine();  // finishes when finish() was not called
  StatusLine(const StatusLine&) = delete;
  StatusLine& operator=(const StatusLine&) = delete;
  void finish();

 private:
  State* state_;
};

}  // namespace rowvane
