// Output files: names, scrambling and gzip through tiny buffers, rotation,
// report lines and failures.

#include "unload/output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "test_support.h"

namespace rowvane {
namespace {

struct Fixture {
  std::vector<std::string> lines;
  DbSession s{};
  OutputFiles f;
  Fixture() {
    s.user_data = &lines;
    s.callback = [](void* u, const char* t) { static_cast<std::vector<std::string>*>(u)->push_back(t); };
  }
};

UnloadJob make_job(const std::string& file, const std::string& lobfile = "") {
  UnloadJob job;
  job_defaults(&job);
  std::snprintf(job.file, sizeof job.file, "%s", file.c_str());
  std::snprintf(job.lobfile, sizeof job.lobfile, "%s", lobfile.c_str());
  return job;
}

std::string sample_bytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7919 + i / 251) % 256);
  return s;
}

// The rule, byte by byte: all but the last 1 to 8 bytes XORed with key[i % 8].
std::string scrambled(std::string s, const char* key) {
  size_t words = s.empty() ? 0 : (s.size() + 7) / 8 - 1;
  for (size_t i = 0; i < words * 8; ++i) s[i] = static_cast<char>(s[i] ^ key[i % 8]);
  return s;
}

// Appends records the way the fetch loop does (room made before each piece,
// row accounting, file changes with the head line again), then ends the run.
int run_records(Fixture* x, const UnloadJob& job, const std::vector<std::string>& records,
                const std::string& head, int buf_size) {
  std::vector<char> buf(static_cast<size_t>(buf_size), ' ');
  int pos = 0;
  // Room is made before each piece as in the fetch loop, and may exceed the
  // piece: the empty end of a record still asks for some.
  auto put = [&](const std::string& b, size_t room) {
    if (pos + static_cast<int>(room) >= buf_size) pos = flush_buffer(&x->f, buf.data(), pos, buf_size);
    if (pos < 0) return false;
    for (int i = pos; i < buf_size; ++i) EXPECT_EQ(buf[i], ' ');
    std::memcpy(buf.data() + pos, b.data(), b.size());
    pos += static_cast<int>(b.size());
    return true;
  };
  if (!put(head, head.size())) return 2;
  bool change = false;  // the file is full: the next record starts a new one
  for (size_t r = 0; r < records.size(); ++r) {
    if (change) {
      if (int rc = change_file(&x->f, job, &x->s, buf.data(), &pos)) return rc;
      if (!put(head, head.size())) return 2;
    }
    if (!put(records[r], records[r].size() + r % 3)) return 2;
    if (x->f.lob && r % 2 == 0) std::fputs("L", x->f.lob);
    x->f.rows_in_file += 1;
    change = need_file_change(x->f, job, pos);
  }
  if (!put("", static_cast<size_t>(buf_size / 2))) return 2;
  if (finish_file(&x->f, buf.data(), pos) != 0) return 2;
  report_closing(&x->s, x->f.data_name, x->f.rows_in_file, x->f.megabytes);
  return close_output_files(&x->f, FileEnd::kPublish);
}

// A stream cut into uneven pieces of 1 to 7 bytes.
std::vector<std::string> pieces(const std::string& data) {
  std::vector<std::string> out;
  for (size_t i = 0, n = 1; i < data.size(); i += n, n = n % 7 + 1) out.push_back(data.substr(i, n));
  return out;
}

TEST(FileNames, CodesPercentsAndLimits) {
  char out[kDataNameSize];
  std::time_t t = std::time(nullptr);
  ASSERT_GT(expand_file_name("a%b_%P_%y-%M-%d_%w_%t", out, sizeof out, 12, 3), 0);
  std::tm tm{};
  localtime_r(&t, &tm);
  char want[100];
  std::snprintf(want, sizeof want, "a12_3_%04d-%02d-%02d_%d_%d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_wday, static_cast<int>(t));
  EXPECT_STREQ(out, want);  // (fails only if the second ticks between the two clock reads)

  EXPECT_EQ(expand_file_name("100%%_%q%", out, sizeof out, 1, 1), 6);
  EXPECT_STREQ(out, "100%_q");
  char small[8];
  EXPECT_EQ(expand_file_name("abcdef%b", small, sizeof small, 9, 1), 7);  // exactly fits
  EXPECT_EQ(expand_file_name("abcdef%b", small, sizeof small, 10, 1), -1);
  EXPECT_STREQ(small, "");

  // %n: the table's name goes in first (a "%" of it doubled for the later
  // expansion, kept as is for control=); "%%n" stays literal.
  char named[32];
  EXPECT_EQ(insert_table_name("d/%N_%p%%n.%n", "A%B", true, named, sizeof named), 17);
  EXPECT_EQ(expand_file_name(named, out, sizeof out, 1, 3), 13);
  EXPECT_STREQ(out, "d/A%B_3%n.A%B");
  EXPECT_EQ(insert_table_name("%n.ctl", "A%B", false, named, sizeof named), 7);
  EXPECT_STREQ(named, "A%B.ctl");
  EXPECT_EQ(insert_table_name("%n.ctl", "ABC", false, small, sizeof small), 7);  // exactly fits
  EXPECT_EQ(insert_table_name("%n.ctl", "ABCD", false, small, sizeof small), -1);
  EXPECT_TRUE(has_name_code("x%N", 'n') && !has_name_code("x%%n", 'n'));

  // Expanded past 511 bytes: refused with one line and 6, nothing opened.
  Fixture x;
  std::string pattern = rvtest::temp_dir("names") + "/";
  for (int i = 0; i < 60; ++i) pattern += "%t";
  EXPECT_EQ(open_output_files(&x.f, make_job(pattern), &x.s), 6);
  ASSERT_EQ(x.lines.size(), 1u);
  EXPECT_NE(x.lines[0].find("longer than 511 bytes"), std::string::npos) << x.lines[0];
  EXPECT_EQ(close_output_files(&x.f), 0);
}

TEST(Streams, ScramblingThroughTinyBuffers) {
  std::string path = rvtest::temp_dir("scramble") + "/s.bin";
  const char key[9] = "K\x01\x80\xff" "ab\0";  // a 6-byte key: its last two bytes are 0
  for (size_t n : {0, 1, 8, 9, 16, 20, 40000}) {
    for (int buf_size : {16, 23, 4096}) {
      for (bool crack : {false, true}) {
        Fixture x;
        UnloadJob job = make_job(path);
        if (crack) std::memcpy(job.crack, key, 6);
        ASSERT_EQ(open_output_files(&x.f, job, &x.s), 0);
        std::string data = sample_bytes(n);
        ASSERT_EQ(run_records(&x, job, pieces(data), "", buf_size), 0);
        EXPECT_EQ(rvtest::read_file(path), crack ? scrambled(data, key) : data)
            << "n=" << n << " buffer=" << buf_size << " crack=" << crack;
      }
    }
  }
}

TEST(Streams, GzipMembersAndModes) {
  std::string dir = rvtest::temp_dir("gzip");
  std::string path = dir + "/data.GZ";
  std::string first = sample_bytes(70000);
  Fixture x;
  ASSERT_EQ(open_output_files(&x.f, make_job(path), &x.s), 0);
  EXPECT_EQ(x.f.compress.codec, Codec::kGzip);
  ASSERT_EQ(run_records(&x, make_job(path), pieces(first), "", 4096), 0);
  EXPECT_NEAR(x.f.megabytes, 70000 / 1048576.0, 1e-6);  // counted before compression
  EXPECT_EQ(rvtest::run_shell("gzip -t '" + path + "'").status, 0);

  UnloadJob append = make_job("+" + path);
  std::memcpy(append.crack, "secret99", 8);  // scrambled before compression
  ASSERT_EQ(open_output_files(&x.f, append, &x.s), 0);
  ASSERT_EQ(run_records(&x, append, {"second member\n"}, "", 64), 0);
  EXPECT_EQ(rvtest::run_shell("gzip -t '" + path + "'").status, 0);
  EXPECT_EQ(rvtest::run_shell("gzip -dc < '" + path + "'").out,
            first + scrambled("second member\n", "secret99"));

  // Three characters are not a compressed name; "-" is standard output,
  // which is flushed but never closed.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(chdir(dir.c_str()), 0);
  ASSERT_EQ(open_output_files(&x.f, make_job(".gz"), &x.s), 0);
  EXPECT_EQ(x.f.compress.codec, Codec::kNone);
  EXPECT_EQ(close_output_files(&x.f), 0);
  EXPECT_EQ(chdir(cwd), 0);
  ASSERT_EQ(open_output_files(&x.f, make_job("-"), &x.s), 0);
  EXPECT_EQ(x.f.data, stdout);
  EXPECT_EQ(close_output_files(&x.f), 0);
  EXPECT_NE(fcntl(STDOUT_FILENO, F_GETFD), -1);
}

TEST(Rotation, ByBatchWithTheLobFileFollowing) {
  std::string dir = rvtest::temp_dir("batch");
  UnloadJob job = make_job(dir + "/d_%b.txt", dir + "/l_%b.dat");
  job.batch = 1;
  job.rows = 3;
  Fixture x;
  ASSERT_EQ(open_output_files(&x.f, job, &x.s), 0);
  ASSERT_EQ(run_records(&x, job, std::vector<std::string>(6, "rec\n"), "H\n", 16), 0);
  EXPECT_EQ(rvtest::read_file(dir + "/d_1.txt"), "H\nrec\nrec\nrec\n");
  EXPECT_EQ(rvtest::read_file(dir + "/d_2.txt"), "H\nrec\nrec\nrec\n");
  EXPECT_FALSE(rvtest::file_exists(dir + "/d_3.txt"));  // a multiple of rows: no empty last file
  // Each finished file took its final name: no temporary name is left.
  EXPECT_EQ(rvtest::run_shell("ls -A '" + dir + "'").out, "d_1.txt\nd_2.txt\nl_1.dat\nl_2.dat\n");
  EXPECT_EQ(rvtest::read_file(dir + "/l_1.dat"), "LL");
  EXPECT_EQ(rvtest::read_file(dir + "/l_2.dat"), "L");
  const std::string d = "         output file " + dir;
  EXPECT_EQ(x.lines, (std::vector<std::string>{d + "/d_1.txt closed at 3 rows, size 0 MB.\n",
                                               d + "/d_2.txt closed at 3 rows, size 0 MB.\n"}));
}

TEST(Rotation, BySizeAtTheRecordThatCrossedIt) {
  std::string dir = rvtest::temp_dir("size");
  UnloadJob job = make_job(dir + "/d_%b.txt");
  job.size = 1;
  Fixture x;
  ASSERT_EQ(open_output_files(&x.f, job, &x.s), 0);
  // 300000-byte records through a 1 MiB buffer: whatever the writes, each
  // file ends with the record that takes it past 1 MB (the fourth).
  std::string r(300000, 'r');
  ASSERT_EQ(run_records(&x, job, std::vector<std::string>(10, r), "", 1 << 20), 0);
  EXPECT_EQ(rvtest::read_file(dir + "/d_1.txt").size(), r.size() * 4);
  EXPECT_EQ(rvtest::read_file(dir + "/d_2.txt").size(), r.size() * 4);
  EXPECT_EQ(rvtest::read_file(dir + "/d_3.txt"), r + r);
  const std::string d = "         output file " + dir;
  EXPECT_EQ(x.lines, (std::vector<std::string>{d + "/d_1.txt closed at 4 rows, size 1 MB.\n",
                                               d + "/d_2.txt closed at 4 rows, size 2 MB.\n",
                                               d + "/d_3.txt closed at 2 rows, size 3 MB.\n"}));
}

TEST(ReportLines, ProgressFormat) {
  Fixture x;
  std::time_t t = std::time(nullptr);
  report_progress(&x.s, 1234567, 2.5f);
  std::tm tm{};
  localtime_r(&t, &tm);
  char want[120];
  std::snprintf(want, sizeof want, "     1234567 rows exported at %04d-%02d-%02d %02d:%02d:%02d, size 2 MB.\n",
                tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  ASSERT_EQ(x.lines.size(), 1u);
  EXPECT_EQ(x.lines[0], want);
}

TEST(Failures, OpenFailuresCloseWhatWasOpened) {
  std::string dir = rvtest::temp_dir("fail");
  Fixture x;
  EXPECT_EQ(open_output_files(&x.f, make_job(dir + "/no/d.txt"), &x.s), 6);
  EXPECT_EQ(open_output_files(&x.f, make_job(dir + "/d.txt", dir + "/no/l.dat"), &x.s), 6);
  EXPECT_EQ(x.f.data, nullptr);  // the data file opened before the lob file is closed again
  const std::string reason = " (No such file or directory)\n";
  EXPECT_EQ(x.lines, (std::vector<std::string>{"ERROR -- Cannot write to file : " + dir + "/no/d.txt" + reason,
                                               "ERROR -- Cannot write to file : " + dir + "/no/l.dat" + reason}));

  // At a file change: directory 1 exists, 2 does not.
  UnloadJob job = make_job(dir + "/%b/d.txt");
  job.batch = 1;
  job.rows = 1;
  ASSERT_EQ(mkdir((dir + "/1").c_str(), 0755), 0);
  ASSERT_EQ(open_output_files(&x.f, job, &x.s), 0);
  EXPECT_EQ(run_records(&x, job, {"a\n", "b\n"}, "", 16), 6);
  EXPECT_EQ(x.lines.back(), "ERROR -- Cannot write to file : " + dir + "/2/d.txt" + reason);
  EXPECT_EQ(close_output_files(&x.f), 0);
  EXPECT_EQ(close_output_files(&x.f), 0);
  EXPECT_EQ(rvtest::read_file(dir + "/1/d.txt"), "a\n");
}

TEST(Failures, FullDeviceAndDevices) {
  Fixture x;
  std::vector<char> buf(64, 'z');
  // Devices are reached through links in a scratch folder only: a faulty
  // deletion must never hit the device itself.
  std::string dir = rvtest::temp_dir("full");
  for (const char* name : {"full", "full.gz", "full.lob"})
    ASSERT_EQ(symlink("/dev/full", (dir + "/" + name).c_str()), 0);
  ASSERT_EQ(symlink("/dev/null", (dir + "/lob").c_str()), 0);
  ASSERT_EQ(open_output_files(&x.f, make_job(dir + "/full"), &x.s), 0);
  EXPECT_EQ(flush_buffer(&x.f, buf.data(), 40, 64), -1);
  EXPECT_EQ(finish_file(&x.f, buf.data(), 5), -1);
  EXPECT_EQ(close_output_files(&x.f), 2);

  // gzip and the lob file buffer small writes: the failure shows at the close.
  ASSERT_EQ(open_output_files(&x.f, make_job(dir + "/full.gz"), &x.s), 0);
  EXPECT_EQ(finish_file(&x.f, buf.data(), 10), 0);
  EXPECT_EQ(close_output_files(&x.f), 2);
  ASSERT_EQ(open_output_files(&x.f, make_job(dir + "/d.txt", dir + "/full.lob"), &x.s), 0);
  std::fputs("lob bytes", x.f.lob);
  EXPECT_EQ(close_output_files(&x.f, FileEnd::kPublish), 2);
  // The data file never takes its name without the LOB contents it points to.
  EXPECT_FALSE(rvtest::file_exists(dir + "/d.txt"));

  // A device as lob file looks empty at the close but is never deleted.
  ASSERT_EQ(open_output_files(&x.f, make_job(dir + "/d.txt", dir + "/lob"), &x.s), 0);
  EXPECT_EQ(close_output_files(&x.f), 0);
  struct stat st {};
  EXPECT_EQ(lstat((dir + "/lob").c_str(), &st), 0);
  EXPECT_EQ(lstat((dir + "/full.lob").c_str(), &st), 0);
  EXPECT_TRUE(x.lines.empty());
}

}  // namespace
}  // namespace rowvane
