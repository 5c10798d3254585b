// The compressed-stream writer against real decoders: zlib's inflate and
// the gzip command for gzip members, libzstd and the zstd command for zstd
// frames.
#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "test_support.h"
#include "unload/compress_stream.h"

namespace rowvane {
namespace {

using rvtest::read_file;

// Every gzip member in turn, as gzip -d reads them.
bool gunzip(const std::string& in, std::string* out) {
  size_t at = 0;
  while (at < in.size()) {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data() + at));
    z.avail_in = static_cast<uInt>(in.size() - at);
    int rc;
    do {
      char buf[65536];
      z.next_out = reinterpret_cast<Bytef*>(buf);
      z.avail_out = sizeof buf;
      rc = inflate(&z, Z_NO_FLUSH);
      out->append(buf, sizeof buf - z.avail_out);
    } while (rc == Z_OK);
    at = in.size() - z.avail_in;
    inflateEnd(&z);
    if (rc != Z_STREAM_END) return false;
  }
  return !in.empty();
}

bool unzstd(const std::string& in, std::string* out) {
  ZSTD_DStream* d = ZSTD_createDStream();
  ZSTD_inBuffer input{in.data(), in.size(), 0};
  size_t rc = 1;
  while (input.pos < input.size) {
    char buf[65536];
    ZSTD_outBuffer output{buf, sizeof buf, 0};
    rc = ZSTD_decompressStream(d, &output, &input);
    if (ZSTD_isError(rc)) break;
    out->append(buf, output.pos);
  }
  ZSTD_freeDStream(d);
  return !in.empty() && rc == 0;
}

// Text like an unload's: repetitive fields with varying numbers.
std::string sample(size_t bytes) {
  std::string s;
  unsigned x = 12345;
  while (s.size() < bytes) {
    x = x * 1103515245u + 12345u;
    s += std::to_string(x % 100000) + ",\"name " + std::to_string(x % 977) +
         "\",2024-02-29 13:05:00,\"caf\xC3\xA9 \\\",\"" + std::to_string(x >> 7) + "\n";
  }
  s.resize(bytes);
  return s;
}

// Writes the pieces through one stream on the file (appending when asked).
int write_stream(const std::string& path, const char* mode, CompressSettings settings,
                 const std::string& data, size_t piece) {
  FILE* f = std::fopen(path.c_str(), mode);
  if (!f) return -2;
  CompressStream* c = nullptr;
  int rc = compress_open(&c, f, settings);
  for (size_t at = 0; rc == 0 && at < data.size(); at += piece) {
    rc = compress_write(c, data.data() + at, std::min(piece, data.size() - at));
  }
  int close_rc = compress_close(c);
  if (std::fclose(f) != 0) return -3;
  return rc != 0 ? rc : close_rc;
}

bool decode(Codec codec, const std::string& path, std::string* out) {
  std::string raw = read_file(path);
  return codec == Codec::kGzip ? gunzip(raw, out) : unzstd(raw, out);
}

struct RoundTrip {
  Codec codec;
  int level;
  int threads;
  size_t bytes;
  size_t piece;
  size_t block = kCompressBlockSize;
};

TEST(CompressStream, DecodesToTheBytesWrittenInEveryShape) {
  const RoundTrip cases[] = {
      {Codec::kGzip, 0, 2, 0, 1},                                // empty: still one member
      {Codec::kGzip, 1, 1, 100, 7},                              // one partial block
      {Codec::kGzip, 0, 3, 7 * kCompressBlockSize + 5, 4 << 20}, // three threads, in order
      {Codec::kGzip, 12, 2, kCompressBlockSize, 4096},           // exactly one block
      {Codec::kZstd, 0, 0, 0, 1},
      {Codec::kZstd, 1, 0, 100, 7},
      {Codec::kZstd, 0, 1, 3 * kCompressBlockSize + 5, 4 << 20}, // libzstd's workers, fed directly
      {Codec::kZstd, 19, 2, kCompressBlockSize / 2, 65536},
      {Codec::kGzip, 0, 2, 3 * kParallelBlockSize + 1, 100000, kParallelBlockSize},  // small blocks
  };
  const std::string dir = rvtest::temp_dir("compress");
  for (const RoundTrip& c : cases) {
    const bool gz = c.codec == Codec::kGzip;
    SCOPED_TRACE(testing::Message() << (gz ? "gzip" : "zstd") << " level " << c.level << " bytes "
                                    << c.bytes);
    const std::string path = dir + (gz ? "/rt.gz" : "/rt.zst");
    const std::string data = sample(c.bytes);
    ASSERT_EQ(write_stream(path, "wb", {c.codec, c.level, c.threads, c.block}, data, c.piece), 0);
    std::string back;
    ASSERT_TRUE(decode(c.codec, path, &back));
    EXPECT_TRUE(back == data);
    const std::string test = (gz ? "gzip -t " : "zstd -q -t ") + path;
    EXPECT_EQ(std::system(test.c_str()), 0) << test;
  }
}

TEST(CompressStream, AppendingAddsAMemberOrFrame) {
  for (Codec codec : {Codec::kGzip, Codec::kZstd}) {
    const std::string path = rvtest::temp_dir("compress") + (codec == Codec::kGzip ? "/ap.gz" : "/ap.zst");
    const std::string a = sample(5000), b = sample(kCompressBlockSize + 3);
    ASSERT_EQ(write_stream(path, "wb", {codec, 0, 1}, a, 1000), 0);
    ASSERT_EQ(write_stream(path, "ab", {codec, 0, 2}, b, 1 << 20), 0);
    std::string back;
    ASSERT_TRUE(decode(codec, path, &back));
    EXPECT_TRUE(back == a + b);
  }
}

TEST(CompressStream, AFailedWriteIsReportedWithItsErrorNumber) {
  FILE* full = std::fopen("/dev/full", "wb");
  if (!full) GTEST_SKIP() << "no /dev/full";
  std::setvbuf(full, nullptr, _IONBF, 0);
  const CompressSettings settings[] = {{Codec::kGzip, 1, 2}, {Codec::kZstd, 1, 0}, {Codec::kZstd, 1, 1}};
  for (const CompressSettings& set : settings) {
    CompressStream* c = nullptr;
    ASSERT_EQ(compress_open(&c, full, set), 0);
    const std::string data = sample(3 * kCompressBlockSize);
    int rc = compress_write(c, data.data(), data.size());
    int error = 0;
    int close_rc = compress_close(c, &error);
    EXPECT_EQ(close_rc, -1);
    EXPECT_NE(error, 0);
    (void)rc;  // the write may or may not have seen the failure yet
  }
  std::fclose(full);
}

TEST(CompressStream, DefaultGzipLevelStaysWithinThreePercentOfZlibSix) {
  const std::string data = sample(3 * kCompressBlockSize);
  const std::string path = rvtest::temp_dir("compress") + "/size.gz";
  ASSERT_EQ(write_stream(path, "wb", {Codec::kGzip, 0, 0}, data, 1 << 20), 0);
  uLongf zlib_size = compressBound(static_cast<uLong>(data.size()));
  std::string z(zlib_size, '\0');
  ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(z.data()), &zlib_size,
                      reinterpret_cast<const Bytef*>(data.data()), data.size(), 6),
            Z_OK);
  EXPECT_LE(static_cast<double>(read_file(path).size()), 1.03 * static_cast<double>(zlib_size));
}

TEST(CompressStream, NamesLevelsAndWorkers) {
  EXPECT_EQ(codec_for_name("out.GZ"), Codec::kGzip);
  EXPECT_EQ(codec_for_name("+out.Zst"), Codec::kZstd);
  EXPECT_EQ(codec_for_name(".gz"), Codec::kNone);
  EXPECT_EQ(codec_for_name(".zst"), Codec::kNone);
  EXPECT_EQ(codec_for_name("out.zstd"), Codec::kNone);
  EXPECT_EQ(codec_level(Codec::kGzip, 0), 6);
  EXPECT_EQ(codec_level(Codec::kZstd, 0), 3);
  EXPECT_EQ(compress_threads(Codec::kZstd, 0, false), 0);
  EXPECT_EQ(compress_threads(Codec::kZstd, -1, true), 0);
  EXPECT_EQ(compress_threads(Codec::kGzip, 0, false), 1);
  EXPECT_EQ(compress_threads(Codec::kGzip, -1, true), 1);
  EXPECT_EQ(compress_threads(Codec::kGzip, 64, false), 8);
}

}  // namespace
}  // namespace rowvane
