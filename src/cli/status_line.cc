#include "cli/status_line.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "db/session.h"
#include "platform/terminal.h"

namespace rowvane {

namespace {

size_t put_duration(char* out, size_t cap, uint64_t seconds) {
  const int n = std::snprintf(out, cap, "%llu:%02u:%02u", static_cast<unsigned long long>(seconds / 3600),
                              static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
  return n < 0 ? 0 : static_cast<size_t>(n);
}

}  // namespace

size_t format_status_line(char* out, size_t cap, uint64_t rows, uint64_t bytes, uint32_t done, uint32_t all,
                          uint64_t expected, uint64_t elapsed_ms) {
  if (cap == 0) return 0;
  const double seconds = static_cast<double>(elapsed_ms) / 1000.0;
  const double rate = seconds > 0 ? static_cast<double>(rows) / seconds : 0;
  char elapsed[32];
  put_duration(elapsed, sizeof elapsed, elapsed_ms / 1000);
  int n = std::snprintf(out, cap, "%llu rows, %.1f MB, %.0f rows/s, %s elapsed, pieces %u/%u",
                        static_cast<unsigned long long>(rows), static_cast<double>(bytes) / 1048576.0, rate,
                        elapsed, done, all);
  if (n < 0) n = 0;
  size_t len = static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
  if (expected > rows && rate >= 1 && done < all) {
    char eta[32];
    put_duration(eta, sizeof eta, static_cast<uint64_t>(static_cast<double>(expected - rows) / rate));
    n = std::snprintf(out + len, cap - len, ", ETA %s", eta);
    if (n > 0) len = len + static_cast<size_t>(n) < cap ? len + static_cast<size_t>(n) : cap - 1;
  }
  return len;
}

struct StatusLine::State {
  RunCounters* counters;
  FILE* out;
  bool blank_for_stdout = stdout_is_terminal();
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  size_t drawn = 0;  // length of the line on screen, to be blanked by a shorter one
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
  std::thread thread;

  void draw() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    char line[256];
    const size_t len = format_status_line(
        line, sizeof line, counters->rows.load(std::memory_order_relaxed),
        counters->bytes.load(std::memory_order_relaxed), counters->pieces_done.load(std::memory_order_relaxed),
        counters->pieces_all.load(std::memory_order_relaxed),
        counters->rows_expected.load(std::memory_order_relaxed), static_cast<uint64_t>(ms.count()));
    std::fprintf(out, "\r%.*s%*s", static_cast<int>(len), line, static_cast<int>(drawn > len ? drawn - len : 0),
                 "");
    std::fflush(out);
    drawn = len;
  }

  void blank() {
    if (drawn == 0) return;
    std::fprintf(out, "\r%*s\r", static_cast<int>(drawn), "");
    std::fflush(out);
    drawn = 0;
  }

  void loop() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return stop; })) draw();
  }
};

namespace {
// The status line being drawn, if any.
std::atomic<StatusLine::State*> active_line{nullptr};
}  // namespace

void status_line_message(void* user_data, const char* text) {
  auto* s = static_cast<DbSession*>(user_data);
  StatusLine::State* line = active_line.load();
  if (line == nullptr || s == nullptr || s->log != stdout || !line->blank_for_stdout) {
    default_message_callback(user_data, text);
    return;
  }
  std::lock_guard<std::mutex> lock(line->mutex);
  line->blank();
  default_message_callback(user_data, text);
}

StatusLine::StatusLine(RunCounters* counters, FILE* out) : state_(new (std::nothrow) State) {
  if (state_ == nullptr) return;
  state_->counters = counters;
  state_->out = out;
  active_line.store(state_);
  try {
    state_->thread = std::thread(&State::loop, state_);
  } catch (const std::exception&) {
    // No thread: the line is drawn once, at the end.
  }
}

void StatusLine::finish() {
  if (state_ == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stop = true;
  }
  state_->wake.notify_all();
  if (state_->thread.joinable()) state_->thread.join();
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->draw();
    std::fputs("\n", state_->out);
    std::fflush(state_->out);
    active_line.store(nullptr);
  }
  delete state_;
  state_ = nullptr;
}

StatusLine::~StatusLine() { finish(); }

}  // namespace rowvane
