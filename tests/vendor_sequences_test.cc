// Call sequences a vendor's client library holds its caller to, checked on
// whole unload runs against the embedded engine: handle ownership, threaded
// environments, locator sizes, LOB reads by the polling protocol with exact
// byte counts, and bounded memory for LOBs read from their table.
#include <sqlite3.h>

#include <cstring>

#include "unload_fixture.h"

namespace {

struct Call {
  std::string operation;
  uint32_t kind;
  int64_t value;
};
std::vector<Call> g_calls;
void record(void*, const char* operation, uint32_t kind, int64_t value) {
  g_calls.push_back({operation, kind, value});
}

class VendorSequences : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = rvtest::temp_dir("sequences");
    db_ = dir_ + "/t.db";
    in_folder_ = std::make_unique<rvunload::InFolder>(dir_);
  }
  void TearDown() override { in_folder_.reset(); }

  // Runs the job in the given client character set (":name=value" options
  // are binds); returns its result.
  int run(std::vector<std::string> options, uint16_t charset = 0,
          const rowvane::RunContext& context = rowvane::RunContext{}) {
    std::vector<std::pair<std::string, std::string>> binds;
    for (auto it = options.begin(); it != options.end();) {
      if ((*it)[0] != ':') { ++it; continue; }
      size_t eq = it->find('=');
      binds.emplace_back(it->substr(1, eq - 1), it->substr(eq + 1));
      it = options.erase(it);
    }
    auto job = rvunload::make_job(db_, options);
    for (const auto& [name, value] : binds) {
      rowvane::BindVar& b = job->binds[job->bind_count++];
      b.name_len = static_cast<int32_t>(std::snprintf(b.name, sizeof b.name, "%s", name.c_str()));
      b.value_len = static_cast<int32_t>(std::snprintf(b.value, sizeof b.value, "%s", value.c_str()));
    }
    job->charset_id = job->ncharset_id = charset;
    job->message_callback = rvunload::capture_message;
    job->message_context = &messages_;
    return rowvane::run_job(job.get(), context);
  }

  std::string dir_, db_, messages_;
  std::unique_ptr<rvunload::InFolder> in_folder_;
};

TEST_F(VendorSequences, StatementsOwnTheirHandlesEnvironmentsAreThreadedLocatorsSized) {
  rvtest::sqlite_exec(db_, "CREATE TABLE T (ID INTEGER, C CLOB); INSERT INTO T VALUES (1, 'x'), (2, NULL);");
  g_calls.clear();
  rowvane::RunContext observed{};
  observed.observer.call = record;
  int result = run({"query=select id, c from T where id >= :v", ":v=1", "lobfile=lob.dat"}, 0, observed);
  ASSERT_EQ(result, 0) << messages_;
  int environments = 0, lob_defines = 0;
  for (const Call& c : g_calls) {
    if (c.operation == "OCIHandleFree") {
      EXPECT_TRUE(c.kind != rowvane::OCI_HTYPE_BIND && c.kind != rowvane::OCI_HTYPE_DEFINE) << c.kind;
    } else if (c.operation == "OCIEnvNlsCreate" && ++environments) {
      EXPECT_EQ(c.kind & rowvane::OCI_THREADED, 1u);
    } else if (c.operation == "OCIDefineByPos" && c.kind == rowvane::SQLT_CLOB && ++lob_defines) {
      EXPECT_EQ(c.value, static_cast<int64_t>(sizeof(void*)));
    }
  }
  EXPECT_EQ(environments, 1);
  EXPECT_EQ(lob_defines, 1);
}

// A CLOB of 100,000 characters of one to three bytes, read from its table
// (in pieces) and through a view (held), in AL32UTF8 and AL16UTF16: every
// byte arrives and the reference carries the byte length.
TEST_F(VendorSequences, MultibyteClobsComeOutWhole) {
  std::string text, utf16;
  for (int i = 0; i < 25000; ++i) {
    text += "a\xC3\xA9\xE4\xB8\xAD\xE2\x82\xAC";                     // a é 中 €
    utf16 += std::string("\0a\0\xE9\x4E\x2D\x20\xAC", 8);            // the same in UTF-16BE
  }
  rvtest::sqlite_exec(db_, "CREATE TABLE T (ID INTEGER, C CLOB); INSERT INTO T VALUES (1, '" + text +
                               "'); CREATE VIEW V AS SELECT ID, C FROM T;");
  struct Case {
    uint16_t charset;
    const std::string* bytes;
  };
  for (const Case& c : {Case{873, &text}, Case{2000, &utf16}}) {
    for (const char* from : {"T", "V"}) {
      SCOPED_TRACE(std::to_string(c.charset) + from);
      ASSERT_EQ(run({std::string("query=select id, c from ") + from, "lobfile=lob.dat", "file=out.txt"},
                    c.charset), 0)
          << messages_;
      EXPECT_EQ(rvtest::read_file(dir_ + "/lob.dat"), *c.bytes + "\n");
      std::string ref = "1,lob.dat.1." + std::to_string(c.bytes->size()) + "/\n";
      if (c.charset == 2000) {  // the record itself is UTF-16 too: compare its ASCII
        std::string out = rvtest::read_file(dir_ + "/out.txt"), ascii;
        for (char ch : out) if (ch) ascii += ch;
        EXPECT_EQ(ascii, ref);
      } else {
        EXPECT_EQ(rvtest::read_file(dir_ + "/out.txt"), ref);
      }
    }
  }
}

// A LOB read from its table is read in bounded pieces: neither the engine
// nor SQLite (whose own allocations are counted process-wide) ever holds it
// whole, whatever its size.
TEST_F(VendorSequences, TableLobsAreStreamedInBoundedMemory) {
  const int64_t size = 8 << 20;
  rvtest::sqlite_exec(db_, "CREATE TABLE T (ID INTEGER, C CLOB);"
                           "INSERT INTO T VALUES (1, replace(hex(zeroblob(4194304)), '0', 'x'));");
  size_t lob_memory_peak = 0;
  rowvane::RunContext observed{};
  observed.observer.lob_memory_peak = &lob_memory_peak;
  sqlite3_memory_highwater(1);
  ASSERT_EQ(run({"query=T", "lobfile=lob.dat", "file=out.txt"}, 0, observed), 0) << messages_;
  EXPECT_GT(lob_memory_peak, 0u);  // the engine reached the observer
  EXPECT_LE(lob_memory_peak, 256u << 10);
  EXPECT_LT(sqlite3_memory_highwater(0), size / 2);  // its page cache only
  EXPECT_EQ(rvtest::read_file(dir_ + "/out.txt"), "1,lob.dat.1." + std::to_string(size) + "/\n");
  EXPECT_EQ(rvtest::read_file(dir_ + "/lob.dat"), std::string(size, 'x') + "\n");
}

}  // namespace
