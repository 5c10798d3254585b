// The fetch loop across files and failures: rotation by rows and by size,
// complete statements in every file, tolerated fetch errors, and the result
// codes of failed writes, opens, fetches and over-long texts.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "unload/columns.h"
#include "unload_fixture.h"

using rvunload::contains;
using rvunload::run_unload;

namespace {

class FormatsFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = rvtest::temp_dir("files");
    db_ = dir_ + "/r.db";
    rvtest::sqlite_exec(db_,
                        "CREATE TABLE R (ID NUMBER, NAME VARCHAR2(200));"
                        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2500)"
                        " INSERT INTO R SELECT i, printf('row %05d with some text to make it longer', i)"
                        " FROM n;");
    in_folder_ = std::make_unique<rvunload::InFolder>(dir_);
  }
  std::string file(const std::string& name) { return rvtest::read_file(dir_ + "/" + name); }

  std::unique_ptr<rvunload::InFolder> in_folder_;
  std::string dir_;
  std::string db_;
};

// Lines of text without the first line of every file (the head lines).
std::string without_first_line(const std::string& s) { return s.substr(s.find('\n') + 1); }

TEST_F(FormatsFilesTest, BatchRotationSplitsExactlyAndEachFileHasItsHead) {
  auto single = run_unload(db_, {"query=R", "head=YES", "file=" + dir_ + "/all.txt"});
  ASSERT_EQ(single.result, 0) << single.messages;
  auto r = run_unload(db_, {"query=R", "head=YES", "batch=YES", "rows=1000",
                            "file=" + dir_ + "/part_%b.txt"});
  ASSERT_EQ(r.result, 0) << r.messages;
  std::string parts;
  for (const char* name : {"part_1.txt", "part_2.txt", "part_3.txt"}) {
    std::string p = file(name);
    EXPECT_EQ(p.rfind("ID,NAME\n", 0), 0u) << name;
    parts += without_first_line(p);
  }
  EXPECT_FALSE(rvtest::file_exists(dir_ + "/part_4.txt"));
  EXPECT_EQ(parts, without_first_line(file("all.txt")));
  EXPECT_TRUE(contains(r.messages, "output file " + dir_ + "/part_1.txt closed at 1000 rows"))
      << r.messages;
  EXPECT_TRUE(contains(r.messages, "output file " + dir_ + "/part_3.txt closed at 500 rows"))
      << r.messages;
  EXPECT_TRUE(contains(r.messages, "        1000 rows exported at ")) << r.messages;
  EXPECT_TRUE(contains(r.messages, "         500 rows exported at ")) << r.messages;
  // An exact multiple of rows leaves no last file without records.
  auto exact = run_unload(db_, {"query=select * from R where ID <= 2000", "head=YES", "batch=YES",
                                "rows=1000", "file=" + dir_ + "/exact_%b.txt"});
  ASSERT_EQ(exact.result, 0) << exact.messages;
  EXPECT_FALSE(rvtest::file_exists(dir_ + "/exact_3.txt"));
  EXPECT_TRUE(contains(exact.messages, "exact_2.txt closed at 1000 rows")) << exact.messages;
  EXPECT_FALSE(contains(exact.messages, "closed at 0 rows")) << exact.messages;
}

TEST_F(FormatsFilesTest, SizeRotationFillsEveryFileToItsSize) {
  // 110-byte records, about 11.5 MiB, through the default 4 MiB buffer.
  rvtest::sqlite_exec(db_, "CREATE TABLE S (V VARCHAR2(200));"
                           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 110000)"
                           " INSERT INTO S SELECT printf('%07d-%0101d', i, i) FROM n;");
  const size_t record = 110;
  auto single = run_unload(db_, {"query=S", "file=" + dir_ + "/all.txt"});
  ASSERT_EQ(single.result, 0) << single.messages;
  const std::string all = file("all.txt");
  ASSERT_EQ(all.size(), 110000 * record);
  for (int size : {0, 1, 2, 5}) {
    SCOPED_TRACE(size);
    const std::string prefix = std::string(1, 's').append(std::to_string(size)).append("_");
    auto r = run_unload(db_, {"query=S", "size=" + std::to_string(size), "file=" + dir_ + "/" + prefix + "%b.txt"});
    ASSERT_EQ(r.result, 0) << r.messages;
    // Each file ends with the record that takes it past size MB; the last
    // holds the rest; size=0 rotates nothing.
    const size_t full = size ? (size * 1048576u / record + 1) * record : all.size();
    std::string parts;
    int n = 1;
    for (; rvtest::file_exists(dir_ + "/" + prefix + std::to_string(n) + ".txt"); ++n) {
      std::string p = file(prefix + std::to_string(n) + ".txt");
      if (parts.size() + full < all.size()) {
        EXPECT_EQ(p.size(), full) << n;
      } else {
        EXPECT_EQ(p.size(), all.size() - parts.size()) << n;
      }
      parts += p;
    }
    EXPECT_EQ(n - 1, static_cast<int>((all.size() + full - 1) / full));
    EXPECT_EQ(parts, all);
  }
  // Without %b each file replaces the one before: the last part is left.
  auto same = run_unload(db_, {"query=S", "size=5", "file=" + dir_ + "/same.txt"});
  ASSERT_EQ(same.result, 0) << same.messages;
  EXPECT_EQ(file("same.txt"), all.substr(2 * (5 * 1048576u / record + 1) * record));
}

TEST_F(FormatsFilesTest, AppendingWritesTheHeadLineOnlyIntoAnEmptyFile) {
  const std::string query = "query=select * from R where ID <= 2";
  for (int i = 0; i < 2; ++i) {
    auto r = run_unload(db_, {query, "text=CSV", "file=+" + dir_ + "/x.csv"});
    ASSERT_EQ(r.result, 0) << r.messages;
  }
  const std::string rows = "1,\"row 00001 with some text to make it longer\"\n"
                           "2,\"row 00002 with some text to make it longer\"\n";
  EXPECT_EQ(file("x.csv"), "ID,NAME\n" + rows + rows);
}

TEST_F(FormatsFilesTest, SizeRotationConcatenatesToTheSingleFile) {
  // Small writes let the megabytes grow a little at a time.
  rvtest::sqlite_exec(db_, "INSERT INTO R SELECT ID + 2500, NAME || NAME || NAME FROM R;"
                           "INSERT INTO R SELECT ID + 5000, NAME FROM R;"
                           "INSERT INTO R SELECT ID + 10000, NAME FROM R;"
                           "INSERT INTO R SELECT ID + 20000, NAME FROM R;");
  rvunload::RecordBufferSize small(65536);
  auto single = run_unload(db_, {"query=R", "file=" + dir_ + "/all.txt"});
  ASSERT_EQ(single.result, 0) << single.messages;
  for (const char* crack : {"crack=", "crack=abcdefgh"}) {
    SCOPED_TRACE(crack);
    auto r = run_unload(db_, {"query=R", "size=1", crack, "file=" + dir_ + "/s_%b.txt"});
    ASSERT_EQ(r.result, 0) << r.messages;
    std::string parts;
    int n = 1;
    for (; rvtest::file_exists(dir_ + "/s_" + std::to_string(n) + ".txt"); ++n) {
      std::string p = file("s_" + std::to_string(n) + ".txt");
      if (crack[6]) {
        size_t words = p.size() > 8 ? (p.size() + 7) / 8 - 1 : 0;
        for (size_t i = 0; i < words * 8; ++i) p[i] ^= "abcdefgh"[i % 8];
      }
      if (n == 1) {
        EXPECT_GE(p.size(), 1048576u);  // the first file passes 1 MB
      }
      parts += p;
    }
    EXPECT_GE(n, 3);
    EXPECT_EQ(parts, file("all.txt"));
  }
}

TEST_F(FormatsFilesTest, MysqlStatementsNeverSpanTwoFiles) {
  auto single = run_unload(db_, {"query=R", "text=MYSQLINS", "array=2000", "file=" + dir_ + "/all.sql"});
  ASSERT_EQ(single.result, 0) << single.messages;
  auto r = run_unload(db_, {"query=R", "text=MYSQLINS", "array=2000", "batch=YES", "rows=1000",
                            "file=" + dir_ + "/part_%b.sql"});
  ASSERT_EQ(r.result, 0) << r.messages;
  const std::string head = "INSERT  INTO `R` (`ID`,`NAME`) VALUES \n";
  std::string rows;
  for (const char* name : {"part_1.sql", "part_2.sql", "part_3.sql"}) {
    SCOPED_TRACE(name);
    std::string p = file(name);
    // One complete statement per file: its own head, its own end.
    ASSERT_EQ(p.rfind(head, 0), 0u);
    ASSERT_EQ(p.substr(p.size() - 3), ");\n");
    EXPECT_EQ(p.find("INSERT", 1), std::string::npos);
    rows += p.substr(head.size(), p.size() - head.size() - 2) + ",\n";
  }
  // The same records as the single file, which has two statements (two fetches).
  std::string all = file("all.sql");
  size_t second = all.find(head, 1);
  ASSERT_NE(second, std::string::npos);
  std::string all_rows = all.substr(head.size(), second - head.size() - 2) + ",\n" +
                         all.substr(second + head.size(), all.size() - second - head.size() - 2) +
                         ",\n";
  EXPECT_EQ(rows, all_rows);
}

TEST_F(FormatsFilesTest, ToleratedFetchErrorKeepsEveryDeliveredRow) {
  // Row 3 is too long for a width of 5: its fetch reports a truncation.
  rvtest::sqlite_exec(db_, "CREATE TABLE E (ID NUMBER, V VARCHAR2(20));"
                           "INSERT INTO E VALUES (1, 'a'), (2, 'b'), (3, 'cccccccc'), (4, 'd'),"
                           " (5, 'e'), (6, 'f'), (7, 'g');");
  // Five rows per fetch: the failing fetch has a full array.
  auto r = run_unload(db_, {"query=E", "width=0:5", "array=5", "error=1406", "error=24345",
                            "file=" + dir_ + "/e.txt"});
  EXPECT_EQ(r.result, 0) << r.messages;
  EXPECT_TRUE(contains(r.messages, "ORA-")) << r.messages;
  EXPECT_EQ(file("e.txt"), "1,a\n2,b\n3,ccccc\n4,d\n5,e\n6,f\n7,g\n");
  // Not listed: result 7 with the database's words; what was complete before stays.
  auto bad = run_unload(db_, {"query=select * from E order by case when ID = 3 then 99 else ID end",
                              "width=0:5", "array=5", "file=" + dir_ + "/e7.txt"});
  EXPECT_EQ(bad.result, 7);
  EXPECT_TRUE(contains(bad.messages, "ORA-")) << bad.messages;
  EXPECT_FALSE(rvtest::file_exists(dir_ + "/e7.txt"));
  EXPECT_EQ(rvtest::read_file(rvtest::kept_file(bad.messages)), "1,a\n2,b\n4,d\n5,e\n6,f\n");
}

TEST_F(FormatsFilesTest, FailuresEndWithTheirCodes) {
  // A full device: the write fails.
  auto full = run_unload(db_, {"query=R", "file=/dev/full"});
  EXPECT_EQ(full.result, 2) << full.messages;
  // A folder that does not exist: the open fails with the message.
  auto nodir = run_unload(db_, {"query=R", "file=" + dir_ + "/missing/out.txt"});
  EXPECT_EQ(nodir.result, 6);
  EXPECT_TRUE(contains(nodir.messages,
                       "ERROR -- Cannot write to file : " + dir_ +
                           "/missing/out.txt (No such file or directory)\n"))
      << nodir.messages;
  // A lob file that cannot be opened: the data file is closed again.
  auto nolob = run_unload(db_, {"query=R", "file=" + dir_ + "/d.txt", "lobfile=" + dir_ + "/missing/l"});
  EXPECT_EQ(nolob.result, 6);
  // A lob file on a full device: its close fails, the run is not a success.
  rvtest::sqlite_exec(db_, "CREATE TABLE L (C CLOB); INSERT INTO L VALUES ('hello');");
  auto fulllob = run_unload(db_, {"query=L", "file=" + dir_ + "/d.txt", "lobfile=/dev/full"});
  EXPECT_EQ(fulllob.result, 2) << fulllob.messages;
  // A name that expands past its capacity: one line, result 6.
  std::string pattern;
  for (int i = 0; i < 60; ++i) pattern += "%t";
  auto longname = run_unload(db_, {"query=R", "file=" + dir_ + "/" + pattern});
  EXPECT_EQ(longname.result, 6);
  EXPECT_EQ(std::count(longname.messages.begin(), longname.messages.end(), '\n'), 1)
      << longname.messages;
}

TEST_F(FormatsFilesTest, StatementHeadLongerThanItsBufferFailsWithFive) {
  std::string q = "select ";
  for (int i = 0; i < 600; ++i) {
    if (i) q += ",";
    q += "ID AS C" + std::string(22, 'X') + std::to_string(1000 + i);
  }
  q += " from R where ID = 1";
  auto job = rvunload::make_job(db_, {"format=SQL", "table=R", "file=" + dir_ + "/h.sql"});
  std::strcpy(job->query, q.c_str());
  std::string messages;
  job->message_callback = rvunload::capture_message;
  job->message_context = &messages;
  EXPECT_EQ(rowvane::run_job(job.get()), 5);
  EXPECT_TRUE(contains(messages, "longer than 16384 bytes")) << messages;
  EXPECT_FALSE(rvtest::file_exists(dir_ + "/h.sql"));
  // The head is not needed for delimited text: the same query unloads.
  job = rvunload::make_job(db_, {"file=" + dir_ + "/h.txt"});
  std::strcpy(job->query, q.c_str());
  job->message_callback = rvunload::capture_message;
  job->message_context = &messages;
  EXPECT_EQ(rowvane::run_job(job.get()), 0) << messages;
}

// A LOB that cannot be opened: a client whose fetch delivers one row with
// a locator and whose LOB open always fails.
namespace lobfail {
using namespace rowvane;
int fetches = 0;
// One row, then the end of data; a second call would be a fault.
int32_t fetch(void*, void*, uint32_t, uint16_t, uint32_t) { return fetches++ ? OCI_ERROR : OCI_NO_DATA; }
int32_t attr_get(const void*, uint32_t, void* value, uint32_t*, uint32_t, void*) {
  *static_cast<uint32_t*>(value) = 1;
  return OCI_SUCCESS;
}
int32_t lob_open(void*, void*, void*, uint8_t) { return OCI_ERROR; }
int32_t lob_close(void*, void*, void*) { return OCI_SUCCESS; }
int32_t error_get(void*, uint32_t, unsigned char*, int32_t* code, unsigned char* text, uint32_t size,
                  uint32_t) {
  *code = 22275;
  std::snprintf(reinterpret_cast<char*>(text), size, "ORA-22275: invalid LOB locator specified\n");
  return OCI_SUCCESS;
}
}  // namespace lobfail

TEST_F(FormatsFilesTest, UnreadableLobIsReportedAndFailsTheRun) {
  using namespace rowvane;
  DbClient api{};
  api.OCIStmtFetch = lobfail::fetch;
  api.OCIAttrGet = lobfail::attr_get;
  api.OCILobOpen = lobfail::lob_open;
  api.OCILobClose = lobfail::lob_close;
  api.OCIErrorGet = lobfail::error_get;
  DbSession s;
  session_init(&s);
  std::string messages;
  s.callback = rvunload::capture_message;
  s.user_data = &messages;
  s.api = &api;
  s.error = &s;  // any non-null handle

  auto* c = static_cast<ColumnInfo*>(std::calloc(1, sizeof(ColumnInfo)));
  std::strcpy(c->name, "C");
  c->name_len = 1;
  c->oracle_type = c->fetch_type = SQLT_CLOB;
  c->slot_width = 8;
  c->display_width = 256;
  c->quoted = 1;
  void* locators[5] = {&s, &s, &s, &s, &s};
  c->buffer = locators;
  auto job = rvunload::make_job(db_, {"array=5", "file=" + dir_ + "/f.txt", "lobfile=" + dir_ + "/f.lob"});
  lobfail::fetches = 0;
  EXPECT_EQ(write_rows(*job, &s, nullptr, c, false, FetchLimits{}), 7);
  // Reported, and the run still finished: the record is complete, but with
  // a cut LOB the file keeps its temporary name.
  EXPECT_TRUE(contains(messages, "ORA-22275")) << messages;
  EXPECT_FALSE(contains(messages, "closed at")) << messages;
  EXPECT_FALSE(rvtest::file_exists(dir_ + "/f.txt"));
  EXPECT_EQ(rvtest::read_file(rvtest::kept_file(messages)), dir_ + "/f.lob.1.0/\n");
  EXPECT_EQ(lobfail::fetches, 1);

  // A tolerated error that keeps coming without rows ends the run instead of
  // fetching for ever.
  api.OCIStmtFetch = [](void*, void*, uint32_t, uint16_t, uint32_t) { return ++lobfail::fetches, OCI_ERROR; };
  api.OCIAttrGet = [](const void*, uint32_t, void* value, uint32_t*, uint32_t, void*) {
    *static_cast<uint32_t*>(value) = 0;
    return OCI_SUCCESS;
  };
  job->errors[job->error_count++] = 22275;
  lobfail::fetches = 0;
  EXPECT_EQ(write_rows(*job, &s, nullptr, c, false, FetchLimits{}), 7);
  EXPECT_EQ(lobfail::fetches, 2);
  std::free(c);
}

}  // namespace
