// Compressed output streams on a compressing thread of their own.
//
// Hand-over: `pending` names the block the thread works on (-1 when it is
// idle). The caller fills the other block; when that one is full it waits
// only until the thread is idle again, then hands it over and goes on
// filling the first. So at most one block is compressed while one fills.

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

int zstd_workers(int zthreads, bool parallel_run) {
  if (zthreads >= 0) return std::min(zthreads, kZstdMaxThreads);
  return !parallel_run && std::thread::hardware_concurrency() > 1 ? 1 : 0;
}

class CompressStream {
 public:
  FILE* file = nullptr;
  Codec codec = Codec::kGzip;
  libdeflate_compressor* deflate = nullptr;
  ZSTD_CCtx* zstd = nullptr;
  std::unique_ptr<char[]> in[2];
  size_t in_len[2] = {0, 0};
  std::unique_ptr<char[]> out;
  size_t out_cap = 0;
  int filling = 0;         // the block the caller fills
  bool wrote_any = false;  // a gzip member has been handed over

  std::mutex mutex;
  std::condition_variable wake;
  int pending = -1;  // block the thread works on, -1 when idle
  bool last = false;  // the pending block ends the stream
  bool stop = false;
  bool failed = false;  // sticky; guarded by mutex
  int error = 0;
  std::thread thread;

  ~CompressStream() {
    if (deflate) libdeflate_free_compressor(deflate);
    if (zstd) ZSTD_freeCCtx(zstd);
  }

  // --- compressing thread ------------------------------------------------

  void run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake.wait(lock, [&] { return pending >= 0 || stop; });
      if (pending < 0) return;
      const int b = pending;
      const bool end = last;
      const bool skip = failed;
      lock.unlock();
      int e = 0;
      bool ok = skip || compress_block(in[b].get(), in_len[b], end, &e);
      lock.lock();
      if (!ok && !failed) {
        failed = true;
        error = e;
      }
      in_len[b] = 0;
      pending = -1;
      wake.notify_all();
    }
  }

  bool put(const char* p, size_t n, int* e) {
    if (n == 0) return true;
    if (std::fwrite(p, 1, n, file) != n) {
      *e = last_system_error();
      return false;
    }
    return true;
  }

  bool compress_block(const char* p, size_t n, bool end, int* e) {
    if (codec == Codec::kGzip) {
      // An empty block becomes a member only when the stream would
      // otherwise hold none: an empty file is not a gzip file.
      if (n == 0 && (!end || wrote_any)) return true;
      size_t w = libdeflate_gzip_compress(deflate, p, n, out.get(), out_cap);
      if (w == 0) return false;
      wrote_any = true;
      return put(out.get(), w, e);
    }
    ZSTD_inBuffer input{p, n, 0};
    const ZSTD_EndDirective mode = end ? ZSTD_e_end : ZSTD_e_continue;
    for (;;) {
      ZSTD_outBuffer output{out.get(), out_cap, 0};
      size_t left = ZSTD_compressStream2(zstd, &output, &input, mode);
      if (ZSTD_isError(left)) return false;
      if (!put(out.get(), output.pos, e)) return false;
      if (end ? left == 0 : input.pos == input.size) return true;
    }
  }

  // --- caller's side -----------------------------------------------------

  // Hands the filling block to the thread once it is idle. False when the
  // stream has failed.
  bool submit(bool end) {
    std::unique_lock<std::mutex> lock(mutex);
    wake.wait(lock, [&] { return pending < 0; });
    if (failed) return false;
    pending = filling;
    last = end;
    wake.notify_all();
    filling ^= 1;
    return true;
  }

  // Waits for the thread to finish its block and ends it.
  bool finish() {
    std::unique_lock<std::mutex> lock(mutex);
    wake.wait(lock, [&] { return pending < 0; });
    stop = true;
    wake.notify_all();
    lock.unlock();
    if (thread.joinable()) thread.join();
    return !failed;
  }
};

int compress_open(CompressStream** stream, FILE* file, const CompressSettings& settings) {
  *stream = nullptr;
  std::unique_ptr<CompressStream> c(new (std::nothrow) CompressStream);
  if (!c || !file || settings.codec == Codec::kNone) return -1;
  c->file = file;
  c->codec = settings.codec;
  const int level = codec_level(settings.codec, settings.level);
  if (settings.codec == Codec::kGzip) {
    c->deflate = libdeflate_alloc_compressor(level);
    if (!c->deflate) return -1;
    c->out_cap = libdeflate_gzip_compress_bound(c->deflate, kCompressBlockSize);
  } else {
    c->zstd = ZSTD_createCCtx();
    if (!c->zstd) return -1;
    if (ZSTD_isError(ZSTD_CCtx_setParameter(c->zstd, ZSTD_c_compressionLevel, level))) return -1;
    ZSTD_CCtx_setParameter(c->zstd, ZSTD_c_checksumFlag, 1);
    if (settings.workers > 0 &&
        !ZSTD_isError(ZSTD_CCtx_setParameter(c->zstd, ZSTD_c_nbWorkers, settings.workers))) {
      // Jobs of one block each keep libzstd's buffers small (its default
      // job is four windows).
      ZSTD_CCtx_setParameter(c->zstd, ZSTD_c_jobSize, static_cast<int>(kCompressBlockSize));
    }
    c->out_cap = ZSTD_CStreamOutSize();
  }
  c->in[0].reset(new (std::nothrow) char[kCompressBlockSize]);
  c->in[1].reset(new (std::nothrow) char[kCompressBlockSize]);
  c->out.reset(new (std::nothrow) char[c->out_cap]);
  if (!c->in[0] || !c->in[1] || !c->out) return -1;
  try {
    c->thread = std::thread(&CompressStream::run, c.get());
  } catch (...) {
    return -1;
  }
  *stream = c.release();
  return 0;
}

int compress_write(CompressStream* c, const void* data, size_t n, int* error) {
  if (error) *error = 0;
  if (!c) return -1;
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    size_t& len = c->in_len[c->filling];
    size_t k = std::min(n, kCompressBlockSize - len);
    std::memcpy(c->in[c->filling].get() + len, p, k);
    len += k;
    p += k;
    n -= k;
    if (len == kCompressBlockSize && !c->submit(false)) break;
  }
  std::lock_guard<std::mutex> lock(c->mutex);
  if (c->failed && error) *error = c->error;
  return c->failed ? -1 : 0;
}

int compress_close(CompressStream* c, int* error) {
  if (error) *error = 0;
  if (!c) return 0;
  c->submit(true);
  bool ok = c->finish();
  if (!ok && error) *error = c->error;
  delete c;
  return ok ? 0 : -1;
}

}  // namespace rowvane
