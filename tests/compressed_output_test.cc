// Compressed and JSON output through the program: .gz and .zst files that
// decompress (by the gzip and zstd commands) to exactly the plain unload,
// with rotation, append and scrambling; the JSON refusals and LOB
// references.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process_support.h"
#include "test_support.h"

namespace {

class CompressedOutputTest : public rvproc::FolderTest {
 protected:
  void SetUp() override { make_folder("compressed", 25000); }

  rvproc::Proc unload(const std::vector<std::string>& options) {
    std::vector<std::string> args = {login_, "query=select ID, NAME, NAME || printf(' %0120d', ID) from T"};
    args.insert(args.end(), options.begin(), options.end());
    rvproc::Proc p = run(args);
    EXPECT_TRUE(rvproc::ended_cleanly(p));
    return p;
  }
  // The decompressed bytes of one file (the command must also pass its test).
  std::string unpack(const std::string& name) {
    const bool gz = name.size() > 3 && name.compare(name.size() - 3, 3, ".gz") == 0;
    const std::string path = "'" + dir_ + "/" + name + "'";
    EXPECT_EQ(rvtest::run_shell((gz ? "gzip -t " : "zstd -q -t ") + path).status, 0) << name;
    return rvtest::run_shell((gz ? "gzip -dc " : "zstd -qdc ") + path).out;
  }
};

// Every option that shapes the files, compressed or plain: the same bytes
// come out, file by file; closing lines count the uncompressed megabytes.
TEST_F(CompressedOutputTest, DecompressesToThePlainUnloadFileByFile) {
  const struct {
    std::vector<std::string> options;
    int files;
  } cases[] = {
      {{"text=CSV"}, 1},
      {{"batch=YES", "rows=10000"}, 3},
      {{"crack=k3y", "text=JSON", "batch=YES", "rows=10000"}, 3},
      {{"size=1", "zthreads=2", "level=1"}, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options.front());
    std::vector<std::string> plain = c.options;
    plain.push_back("file=p_%b.txt");
    rvproc::Proc p = unload(plain);
    ASSERT_EQ(p.status, 0) << p.out;
    for (const char* ext : {".gz", ".zst"}) {
      std::vector<std::string> packed = c.options;
      packed.push_back(std::string("file=c_%b.txt") + ext);
      rvproc::Proc q = unload(packed);
      ASSERT_EQ(q.status, 0) << q.out;
      EXPECT_EQ(rvproc::count_of(q.out, " closed at "), rvproc::count_of(p.out, " closed at "));
      int n = 0;
      for (; rvtest::file_exists(dir_ + "/p_" + std::to_string(n + 1) + ".txt"); ++n) {
        const std::string k = std::to_string(n + 1);
        EXPECT_TRUE(unpack("c_" + k + ".txt" + ext) == rvtest::read_file(dir_ + "/p_" + k + ".txt")) << k << ext;
      }
      EXPECT_EQ(n, c.files);
    }
    rvtest::run_shell("rm -f '" + dir_ + "'/p_* '" + dir_ + "'/c_*");
  }
}

TEST_F(CompressedOutputTest, AppendingAddsAMemberOrAFrame) {
  ASSERT_EQ(unload({"file=p.txt"}).status, 0);
  const std::string plain = rvtest::read_file(dir_ + "/p.txt");
  for (const char* name : {"a.txt.gz", "a.txt.zst"}) {
    ASSERT_EQ(unload({std::string("file=") + name}).status, 0);
    ASSERT_EQ(unload({std::string("file=+") + name}).status, 0);
    EXPECT_TRUE(unpack(name) == plain + plain) << name;
  }
}

// Bytes that are not UTF-8 are refused by default (one line naming row and
// column, nothing half-written) or replaced; a non-UTF-8 character set and
// a gzip level beyond 12 are refused before anything is written.
TEST_F(CompressedOutputTest, JsonRefusalsAndReplacement) {
  rvtest::sqlite_exec(db_, "CREATE TABLE U(ID INTEGER, S VARCHAR2(10));"
                           "INSERT INTO U VALUES (1, 'ok'), (2, CAST(X'61FF62' AS TEXT));");
  std::vector<std::string> base = {login_, "query=select * from U", "text=JSON", "file=u.jsonl"};
  rvproc::Proc p = run(base);
  EXPECT_NE(p.status, 0);
  EXPECT_NE(p.out.find("ERROR -- Column S of row 2 is not valid UTF-8"), std::string::npos) << p.out;
  // The failed run keeps its whole records under the temporary name only.
  EXPECT_FALSE(rvtest::file_exists(dir_ + "/u.jsonl"));
  EXPECT_EQ(rvtest::read_file(dir_ + "/" + rvtest::kept_file(p.out)), "{\"ID\":1,\"S\":\"ok\"}\n");

  base.push_back("badchar=REPLACE");
  ASSERT_EQ(run(base).status, 0);
  EXPECT_EQ(rvtest::read_file(dir_ + "/u.jsonl"),
            "{\"ID\":1,\"S\":\"ok\"}\n{\"ID\":2,\"S\":\"a\xEF\xBF\xBD" "b\"}\n");

  for (const std::vector<std::string>& extra :
       {std::vector<std::string>{"charset=ZHS16GBK", "file=x.jsonl"},
        std::vector<std::string>{"level=13", "file=x.txt.gz"}}) {
    std::vector<std::string> args = {login_, "query=select * from U", "text=JSON"};
    args.insert(args.end(), extra.begin(), extra.end());
    p = run(args);
    EXPECT_EQ(p.status, 1) << extra[0];
    EXPECT_EQ(rvproc::lines_of(p.out).size(), 1u) << p.out;
    EXPECT_FALSE(rvtest::file_exists(dir_ + "/x.jsonl") || rvtest::file_exists(dir_ + "/x.txt.gz"));
  }
}

// A parallel unload writes one .zst of JSON lines per range; together they
// hold every row once.
TEST_F(CompressedOutputTest, ParallelJsonIntoZstd) {
  ASSERT_EQ(run({login_, "split=T", "degree=3", "text=JSON", "file=j_%p.jsonl.zst"}).status, 0);
  const std::string rows =
      rvtest::run_shell("zstd -qdc '" + dir_ + "'/j_*.jsonl.zst | python3 -c \"import json, sys\n"
                        "print(sorted(json.loads(l)['ID'] for l in sys.stdin) == list(range(1, 25001)))\"")
          .out;
  EXPECT_EQ(rows, "True\n");
}

// With lobfile= a LOB is an object naming the file, the 1-based offset and
// the length of its bytes; a NULL LOB is null.
TEST_F(CompressedOutputTest, JsonLobReferencesPointAtTheBytes) {
  rvtest::sqlite_exec(db_, "CREATE TABLE L(ID INTEGER, C CLOB);"
                           "INSERT INTO L VALUES (1, 'first \"doc\"'), (2, NULL), (3, 'third');");
  ASSERT_EQ(run({login_, "query=select * from L", "text=JSON", "file=l.jsonl", "lobfile=l.dat"}).status, 0);
  const std::string lob = rvtest::read_file(dir_ + "/l.dat");
  const std::vector<std::string> lines = rvproc::lines_of(rvtest::read_file(dir_ + "/l.jsonl"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "{\"ID\":1,\"C\":{\"file\":\"l.dat\",\"offset\":1,\"length\":11}}");
  EXPECT_EQ(lines[1], "{\"ID\":2,\"C\":null}");
  EXPECT_EQ(lob.substr(0, 11), "first \"doc\"");
  const size_t third = lines[2].find("\"offset\":");
  ASSERT_NE(third, std::string::npos);
  EXPECT_EQ(lob.substr(std::stoul(lines[2].substr(third + 9)) - 1, 5), "third");
}

}  // namespace
