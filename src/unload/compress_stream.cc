// Compressed output streams on compressing threads of their own.
//
// The caller fills one input block while the threads compress the others.
// A full block is handed over with a sequence number; a free block is taken
// for the next bytes (the caller waits only when every block is in use).
// gzip blocks are independent members, so several threads compress them at
// once and write them in sequence order. A zstd stream is one frame: one
// thread feeds it, or, when libzstd runs workers of its own, the caller
// feeds libzstd directly and its workers do the compressing.

#include "unload/compress_stream.h"

#include <libdeflate.h>
#include <zstd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "platform/file_io.h"

namespace rowvane {

namespace {

bool ends_with_ci(const char* name, const char* suffix) {
  size_t n = std::strlen(name);
  size_t k = std::strlen(suffix);
  if (n <= k) return false;
  for (size_t i = 0; i < k; ++i) {
    char c = name[n - k + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    if (c != suffix[i]) return false;
  }
  return true;
}

bool many_cores() { return std::thread::hardware_concurrency() > 1; }

enum class BlockState : uint8_t { kFree, kFilling, kReady, kBusy };

struct Block {
  std::unique_ptr<char[]> data;
  size_t len = 0;
  uint64_t seq = 0;
  bool end = false;  // the block that ends the stream
  BlockState state = BlockState::kFree;
};

// What one compressing thread owns.
struct Worker {
  libdeflate_compressor* deflate = nullptr;
  std::unique_ptr<char[]> out;
  size_t out_cap = 0;
  ~Worker() {
    if (deflate) libdeflate_free_compressor(deflate);
  }
};

}  // namespace

Codec codec_for_name(const char* name) {
  if (!name) return Codec::kNone;
  if (ends_with_ci(name, ".gz")) return Codec::kGzip;
  if (ends_with_ci(name, ".zst")) return Codec::kZstd;
  return Codec::kNone;
}

int codec_level(Codec codec, int level) {
  if (codec == Codec::kZstd) return level > 0 ? std::min(level, kZstdMaxLevel) : kZstdDefaultLevel;
  return level > 0 ? std::min(level, kGzipMaxLevel) : kGzipDefaultLevel;
}

int compress_threads(Codec codec, int zthreads, bool parallel_run) {
  if (codec == Codec::kZstd) {
    if (zthreads >= 0) return std::min(zthreads, kZstdMaxThreads);
    return !parallel_run && many_cores() ? 1 : 0;
  }
  if (zthreads >= 0) return std::clamp(zthreads, 1, kGzipMaxThreads);
  return !parallel_run && many_cores() ? 2 : 1;
}

class CompressStream {
 public:
  FILE* file = nullptr;
  Codec codec = Codec::kGzip;
  ZSTD_CCtx* zstd = nullptr;
  bool direct = false;  // zstd with libzstd's workers: no thread or block of ours
  std::unique_ptr<Worker[]> workers;
  int worker_count = 0;
  std::unique_ptr<Block[]> blocks;
  int block_count = 0;
  int filling = 0;         // the block the caller fills
  uint64_t bytes_in = 0;   // bytes handed over so far
  size_t block_size = kCompressBlockSize;

  std::mutex mutex;
  std::condition_variable wake;
  uint64_t next_seq = 0;   // sequence number of the next block handed over
  uint64_t write_seq = 0;  // the block whose output goes to the file next
  bool stop = false;
  bool failed = false;     // sticky
  int error = 0;
  std::thread threads[kGzipMaxThreads];

  ~CompressStream() {
    if (zstd) ZSTD_freeCCtx(zstd);
  }

  bool put(const char* p, size_t n, int* e) {
    if (n == 0) return true;
    if (std::fwrite(p, 1, n, file) != n) {
      *e = last_system_error();
      return false;
    }
    return true;
  }

  // Feeds libzstd and writes what it gives back; with end, finishes the
  // frame.
  bool zstd_stream(Worker& w, const char* p, size_t n, bool end, int* e) {
    ZSTD_inBuffer input{p, n, 0};
    const ZSTD_EndDirective mode = end ? ZSTD_e_end : ZSTD_e_continue;
    for (;;) {
      ZSTD_outBuffer output{w.out.get(), w.out_cap, 0};
      size_t left = ZSTD_compressStream2(zstd, &output, &input, mode);
      if (ZSTD_isError(left)) return false;
      if (!put(w.out.get(), output.pos, e)) return false;
      if (end ? left == 0 : input.pos == input.size) return true;
    }
  }

  // --- compressing threads -----------------------------------------------

  void run(int index) {
    Worker& w = workers[index];
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      Block* b = nullptr;
      wake.wait(lock, [&] {
        b = nullptr;
        for (int i = 0; i < block_count; ++i) {
          Block& c = blocks[i];
          if (c.state == BlockState::kReady && (!b || c.seq < b->seq)) b = &c;
        }
        return b || stop;
      });
      if (!b) return;
      b->state = BlockState::kBusy;
      const bool skip = failed;
      // A stream with no bytes at all still gets one (empty) member: an
      // empty file is not a gzip file.
      const bool empty_stream = b->end && bytes_in == 0;
      lock.unlock();
      int e = 0;
      bool ok = true;
      size_t packed = 0;
      // gzip members are compressed side by side, then written in turn;
      // the zstd frame is fed in turn (one thread only).
      if (!skip && codec == Codec::kGzip && (b->len > 0 || empty_stream)) {
        packed = libdeflate_gzip_compress(w.deflate, b->data.get(), b->len, w.out.get(), w.out_cap);
        ok = packed > 0;
      }
      lock.lock();
      wake.wait(lock, [&] { return write_seq == b->seq; });
      lock.unlock();
      if (!skip && ok) {
        ok = codec == Codec::kGzip ? put(w.out.get(), packed, &e)
                                   : zstd_stream(w, b->data.get(), b->len, b->end, &e);
      }
      lock.lock();
      if (!ok && !failed) {
        failed = true;
        error = e;
      }
      b->len = 0;
      b->end = false;
      b->state = BlockState::kFree;
      ++write_seq;
      wake.notify_all();
    }
  }

  // --- caller's side -----------------------------------------------------

  // Hands the filling block over and, unless it ends the stream, takes a
  // free one. False once the stream has failed.
  bool submit(bool end) {
    std::unique_lock<std::mutex> lock(mutex);
    Block& b = blocks[filling];
    bytes_in += b.len;
    b.seq = next_seq++;
    b.end = end;
    b.state = BlockState::kReady;
    wake.notify_all();
    if (!end) {
      wake.wait(lock, [&] {
        for (int i = 0; i < block_count; ++i) {
          if (blocks[i].state == BlockState::kFree) {
            filling = i;
            return true;
          }
        }
        return false;
      });
      blocks[filling].state = BlockState::kFilling;
    }
    return !failed;
  }

  // Waits until every block handed over is written, then ends the threads.
  bool finish() {
    std::unique_lock<std::mutex> lock(mutex);
    wake.wait(lock, [&] { return write_seq == next_seq; });
    stop = true;
    wake.notify_all();
    lock.unlock();
    for (std::thread& t : threads) {
      if (t.joinable()) t.join();
    }
    return !failed;
  }
};

int compress_open(CompressStream** stream, FILE* file, const CompressSettings& settings) {
  *stream = nullptr;
  std::unique_ptr<CompressStream> c(new (std::nothrow) CompressStream);
  if (!c || !file || settings.codec == Codec::kNone) return -1;
  c->file = file;
  c->codec = settings.codec;
  c->block_size = std::clamp(settings.block_size, size_t{4096}, kCompressBlockSize);
  const int level = codec_level(settings.codec, settings.level);
  const bool gzip = settings.codec == Codec::kGzip;
  c->worker_count = gzip ? std::clamp(settings.threads, 1, kGzipMaxThreads) : 1;
  c->workers.reset(new (std::nothrow) Worker[c->worker_count]);
  if (!c->workers) return -1;
  if (!gzip) {
    c->zstd = ZSTD_createCCtx();
    if (!c->zstd || ZSTD_isError(ZSTD_CCtx_setParameter(c->zstd, ZSTD_c_compressionLevel, level))) {
      return -1;
    }
    ZSTD_CCtx_setParameter(c->zstd, ZSTD_c_checksumFlag, 1);
    c->direct = settings.threads > 0 &&
                !ZSTD_isError(ZSTD_CCtx_setParameter(c->zstd, ZSTD_c_nbWorkers, settings.threads));
    // Jobs of one block keep libzstd's buffers small (its default job is
    // four windows, with buffers for several jobs per worker).
    if (c->direct) ZSTD_CCtx_setParameter(c->zstd, ZSTD_c_jobSize, static_cast<int>(c->block_size));
  }
  for (int i = 0; i < c->worker_count; ++i) {
    Worker& w = c->workers[i];
    if (gzip) {
      w.deflate = libdeflate_alloc_compressor(level);
      if (!w.deflate) return -1;
      w.out_cap = libdeflate_gzip_compress_bound(w.deflate, c->block_size);
    } else {
      w.out_cap = ZSTD_CStreamOutSize();
    }
    w.out.reset(new (std::nothrow) char[w.out_cap]);
    if (!w.out) return -1;
  }
  if (!c->direct) {
    c->block_count = c->worker_count + 1;
    c->blocks.reset(new (std::nothrow) Block[c->block_count]);
    if (!c->blocks) return -1;
    for (int i = 0; i < c->block_count; ++i) {
      c->blocks[i].data.reset(new (std::nothrow) char[c->block_size]);
      if (!c->blocks[i].data) return -1;
    }
    c->blocks[0].state = BlockState::kFilling;
    for (int i = 0; i < c->worker_count; ++i) {
      try {
        c->threads[i] = std::thread(&CompressStream::run, c.get(), i);
      } catch (...) {
        c->finish();
        return -1;
      }
    }
  }
  *stream = c.release();
  return 0;
}

int compress_write(CompressStream* c, const void* data, size_t n, int* error) {
  if (error) *error = 0;
  if (!c) return -1;
  const char* p = static_cast<const char*>(data);
  if (c->direct) {
    int e = 0;
    if (!c->failed && !c->zstd_stream(c->workers[0], p, n, false, &e)) {
      c->failed = true;
      c->error = e;
    }
  } else {
    while (n > 0) {
      Block& b = c->blocks[c->filling];
      size_t k = std::min(n, c->block_size - b.len);
      std::memcpy(b.data.get() + b.len, p, k);
      b.len += k;
      p += k;
      n -= k;
      if (b.len == c->block_size && !c->submit(false)) break;
    }
  }
  std::lock_guard<std::mutex> lock(c->mutex);
  if (c->failed && error) *error = c->error;
  return c->failed ? -1 : 0;
}

int compress_close(CompressStream* c, int* error) {
  if (error) *error = 0;
  if (!c) return 0;
  bool ok;
  if (c->direct) {
    int e = 0;
    ok = !c->failed && c->zstd_stream(c->workers[0], nullptr, 0, true, &e);
    if (!ok && !c->failed) {
      c->failed = true;
      c->error = e;
    }
  } else {
    c->submit(true);
    ok = c->finish();
  }
  if (!ok && error) *error = c->error;
  delete c;
  return ok ? 0 : -1;
}

}  // namespace rowvane
