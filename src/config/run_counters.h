// The counters of one run, shared by its workers: read by the driver's
// status line while the run goes on, and by the summary line that ends the
// run (the driver or the library sets them for every run). Each fetch loop
// adds once per batch (relaxed: nothing needs an order between them).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace rowvane {

struct RunCounters {
  std::atomic<uint64_t> rows{0};         // records written
  std::atomic<uint64_t> bytes{0};        // bytes handed to the data files (before compression)
  std::atomic<uint32_t> files{0};        // files published whole under their final names
  std::atomic<uint32_t> pieces_done{0};  // jobs (pieces) that have ended
  std::atomic<uint32_t> pieces_all{1};   // jobs of the run: 1, or the pieces of a parallel run
  std::atomic<uint64_t> rows_expected{0};  // an estimate of the rows; 0: unknown (no ETA)
  std::atomic<bool> unloading{false};    // a job of the run logged in: the run ends with a summary
  bool estimate = false;                 // count the rows to expect (only for the status line)
  const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

  // Lines that end the run after its summary (the unfinished files kept),
  // and the log a single run wrote its messages to.
  std::mutex mutex;
  std::vector<std::string> deferred;
  char log_name[512] = {};  // as opened, without a "+"; empty: none

  void add(uint64_t r, uint64_t b) {
    rows.fetch_add(r, std::memory_order_relaxed);
    bytes.fetch_add(b, std::memory_order_relaxed);
  }
  void add_file() { files.fetch_add(1, std::memory_order_relaxed); }

  // Keeps a line for the end of the run, once (a re-run piece names its
  // file again); false when no memory is left for it (the caller then
  // delivers it at once).
  bool defer(const char* line) {
    std::lock_guard<std::mutex> lock(mutex);
    try {
      if (std::find(deferred.begin(), deferred.end(), line) == deferred.end()) deferred.emplace_back(line);
      return true;
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
};

}  // namespace rowvane
