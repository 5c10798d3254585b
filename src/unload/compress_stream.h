// Compressed output streams: gzip members (libdeflate) and zstd frames
// (libzstd), compressed off the caller's thread.
//
// gzip: the caller fills one input block while compressing threads each
// compress another and write the results in order, so the fetch thread
// waits only when it gets a whole block ahead of every thread. zstd: one
// compressing thread feeds the frame, or, when libzstd runs worker threads
// of its own, the caller hands its bytes to libzstd, whose workers
// compress. Memory is bounded: per thread one input and one output block
// and the codec's state, plus the block being filled.
//
// Every gzip block becomes one complete gzip member, so a file is a series
// of members (standard gzip: every decoder reads them as one stream, and
// `+` append simply adds more). A zstd stream is one frame per open/close;
// appending to a file adds a frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace rowvane {

enum class Codec : uint8_t { kNone, kGzip, kZstd };

constexpr int kGzipDefaultLevel = 6;
constexpr int kGzipMaxLevel = 12;
constexpr int kZstdDefaultLevel = 3;
constexpr int kZstdMaxLevel = 19;
constexpr int kZstdMaxThreads = 64;
constexpr int kGzipMaxThreads = 8;
// Input bytes per block (and per gzip member): 2 MiB, or 512 KiB for the
// many streams of a parallel run.
constexpr size_t kCompressBlockSize = 2u << 20;
constexpr size_t kParallelBlockSize = 512u << 10;

// The codec a file name asks for: ".gz" or ".zst" at its end (any case,
// the name longer than the suffix), else kNone.
Codec codec_for_name(const char* name);

// The compression level to use: level when it is given (above 0; the
// keyword parser bounds it per format), else the codec's default.
int codec_level(Codec codec, int level);

// Threads that compress, by zthreads= (-1 when not given). zstd: libzstd's
// own workers, zthreads (0 to 64), by default one when the machine has more
// than one core and the run is not parallel, else none (then one thread of
// ours feeds libzstd). gzip: compressing threads, zthreads (0 counts as 1;
// at most 8), by default two on a multi-core machine outside a parallel
// run, else one.
int compress_threads(Codec codec, int zthreads, bool parallel_run);

struct CompressSettings {
  Codec codec = Codec::kGzip;
  int level = 0;    // 0: the codec's default
  int threads = 0;  // compress_threads
  size_t block_size = kCompressBlockSize;
};

class CompressStream;

// Starts a stream that writes to file (which stays the caller's to close,
// after compress_close). Returns 0, or -1 when memory or the thread cannot
// be had (*stream is then null).
int compress_open(CompressStream** stream, FILE* file, const CompressSettings& settings);

// Hands n bytes to the stream. Returns 0, or -1 once compressing or writing
// has failed (the failure is sticky). *error (when not null) receives the
// system's error number of a failed file write, else 0.
int compress_write(CompressStream* stream, const void* data, size_t n, int* error = nullptr);

// Compresses what is left, ends the gzip member or zstd frame, waits for the
// thread and frees everything; the stream is gone afterwards, whatever the
// result. Returns 0, or -1 when any write or the compression failed, with
// *error as for compress_write. Null is accepted (returns 0).
int compress_close(CompressStream* stream, int* error = nullptr);

}  // namespace rowvane
