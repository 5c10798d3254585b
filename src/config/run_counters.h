// The live counters of one run, shared by its workers and read by the
// driver's status line. Each fetch loop adds once per batch (relaxed: the
// status line needs no order between them).
#pragma once

#include <atomic>
#include <cstdint>

namespace rowvane {

struct RunCounters {
  std::atomic<uint64_t> rows{0};         // records written
  std::atomic<uint64_t> bytes{0};        // bytes handed to the data files (before compression)
  std::atomic<uint32_t> pieces_done{0};  // jobs (pieces) that have ended
  std::atomic<uint32_t> pieces_all{1};   // jobs of the run: 1, or the pieces of a parallel run
  std::atomic<uint64_t> rows_expected{0};  // an estimate of the rows; 0: unknown (no ETA)

  void add(uint64_t r, uint64_t b) {
    rows.fetch_add(r, std::memory_order_relaxed);
    bytes.fetch_add(b, std::memory_order_relaxed);
  }
};

}  // namespace rowvane
