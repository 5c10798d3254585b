// One unload job end to end against the embedded engine, with data=NO where
// only the set-up matters: statement text, session statements, the
// statements around the unload, result codes and the tear-down.
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "unload_fixture.h"

using rvunload::contains;
using rvunload::observed_statements;
using rvunload::run_unload;

namespace {

const char* const kNlsStatements[] = {
    "ALTER SESSION SET NLS_DATE_FORMAT='YYYY-MM-DD HH24:MI:SS'",
    "ALTER SESSION SET NLS_TIMESTAMP_FORMAT='YYYY-MM-DD HH24:MI:SSXFF'",
    "ALTER SESSION SET NLS_TIMESTAMP_TZ_FORMAT='YYYY-MM-DD HH24:MI:SSXFF TZH:TZM'",
};

class JobRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = rvtest::temp_dir("runner");
    db_ = dir_ + "/t.db";
    rvtest::sqlite_exec(db_,
                        "CREATE TABLE T (N NUMBER(10,2), S VARCHAR2(20));"
                        "INSERT INTO T VALUES (1, 'one');"
                        "INSERT INTO T VALUES (2, 'two');");
    in_folder_ = std::make_unique<rvunload::InFolder>(dir_);
  }
  void TearDown() override { in_folder_.reset(); }

  // The statements prepared after the three date-format statements.
  static std::vector<std::string> after_nls() {
    const auto& all = observed_statements();
    EXPECT_GE(all.size(), 3u);
    for (int i = 0; i < 3 && i < static_cast<int>(all.size()); ++i) EXPECT_EQ(all[i], kNlsStatements[i]);
    return std::vector<std::string>(all.begin() + std::min<size_t>(3, all.size()), all.end());
  }

  std::string dir_;
  std::string db_;
  std::unique_ptr<rvunload::InFolder> in_folder_;
};

TEST_F(JobRunnerTest, BareTableNameIsWrappedAndNamesTheControlFile) {
  auto r = run_unload(db_, {"query=T", "data=NO"});
  EXPECT_EQ(r.result, 0) << r.messages;
  EXPECT_STREQ(r.job->query, "select * from T");
  EXPECT_STREQ(r.job->table, "T");
  EXPECT_EQ(after_nls(), std::vector<std::string>{"select * from T"});
  EXPECT_TRUE(rvtest::file_exists(dir_ + "/T_sqlldr.ctl"));
  // data=NO opens no data file.
  EXPECT_FALSE(rvtest::file_exists(dir_ + "/vanedata_1.txt"));
}

TEST_F(JobRunnerTest, GivenOrLongTableNamesAreNotTaken) {
  auto given = run_unload(db_, {"query=T", "table=TARGET", "data=NO"});
  EXPECT_EQ(given.result, 0) << given.messages;
  EXPECT_STREQ(given.job->table, "TARGET");
  EXPECT_TRUE(rvtest::file_exists(dir_ + "/TARGET_sqlldr.ctl"));
  std::string name(31, 'L');
  rvtest::sqlite_exec(db_, "CREATE TABLE " + name + " (A NUMBER);");
  auto longer = run_unload(db_, {"query=" + name, "data=NO"});
  EXPECT_EQ(longer.result, 0) << longer.messages;
  EXPECT_EQ(std::string(longer.job->query), "select * from " + name);
  EXPECT_EQ(longer.job->table[0], '\0');
}

TEST_F(JobRunnerTest, TrailingTerminatorsAndBlanksAreRemoved) {
  auto r = run_unload(db_, {"query=select * from T ;\n/ \n;/\t", "data=NO"});
  EXPECT_EQ(r.result, 0) << r.messages;
  EXPECT_EQ(after_nls(), std::vector<std::string>{"select * from T"});
  // A statement is not a table name: no control file without table=.
  EXPECT_EQ(r.job->table[0], '\0');
  EXPECT_FALSE(rvtest::file_exists(dir_ + "/T_sqlldr.ctl"));
}

TEST_F(JobRunnerTest, LeadingBlanksAndWithClauseRunUnchanged) {
  // Set directly: the option parser would drop the blanks after "=".
  auto job = rvunload::make_job(db_, {"data=NO"});
  const char* q = " \n  WITH x AS (SELECT N FROM T) SELECT * FROM x ;\n";
  std::strcpy(job->query, q);
  observed_statements().clear();
  int result = rowvane::run_job(job.get(), rvunload::observed_context());
  EXPECT_EQ(result, 0);
  EXPECT_EQ(after_nls(),
            std::vector<std::string>{" \n  WITH x AS (SELECT N FROM T) SELECT * FROM x"});
}

TEST_F(JobRunnerTest, NameBeginningWithSelectIsStatementText) {
  rvtest::sqlite_exec(db_, "CREATE TABLE SELECTION (A NUMBER);");
  auto r = run_unload(db_, {"query=SELECTION", "data=NO"});
  EXPECT_EQ(r.result, 3);
  EXPECT_EQ(after_nls(), std::vector<std::string>{"SELECTION"});
  EXPECT_TRUE(contains(r.messages, "ORA-")) << r.messages;
}

TEST_F(JobRunnerTest, HashIssuesExactlyItsThreeStatements) {
  // By default: the three date formats and the query, nothing else.
  EXPECT_EQ(run_unload(db_, {"query=T", "data=NO"}).result, 0);
  EXPECT_EQ(after_nls(), std::vector<std::string>{"select * from T"});
  auto r = run_unload(db_, {"query=T", "data=NO", "hash=64"});
  EXPECT_EQ(r.result, 0) << r.messages;
  std::vector<std::string> expected = {
      "ALTER SESSION SET WORKAREA_SIZE_POLICY=MANUAL",
      "ALTER SESSION SET HASH_AREA_SIZE=67108864",
      "ALTER SESSION SET \"_hash_multiblock_io_count\"=128",
      "select * from T",
  };
  EXPECT_EQ(after_nls(), expected);
}

TEST_F(JobRunnerTest, EveryTuningStatementInOrder) {
  auto r = run_unload(db_, {"query=T", "data=NO", "read=16", "serial=YES", "sort=2", "trace=12",
                            "alter=SET WORKAREA_SIZE_POLICY=AUTO"});
  EXPECT_EQ(r.result, 0) << r.messages;
  std::vector<std::string> expected = {
      "ALTER SESSION SET DB_FILE_MULTIBLOCK_READ_COUNT=16",
      "ALTER SESSION SET \"_serial_direct_read\"=TRUE",
      "ALTER SESSION SET WORKAREA_SIZE_POLICY=MANUAL",
      "ALTER SESSION SET SORT_AREA_SIZE=2097152",
      "ALTER SESSION SET SORT_AREA_RETAINED_SIZE=2097152",
      "ALTER SESSION SET \"_sort_multiblock_read_count\"=128",
      "ALTER SESSION SET EVENTS='10046 TRACE NAME CONTEXT FOREVER,LEVEL 12'",
      "ALTER SESSION SET WORKAREA_SIZE_POLICY=AUTO",
      "select * from T",
  };
  EXPECT_EQ(after_nls(), expected);
}

TEST_F(JobRunnerTest, FailingAlterPieceIsReportedAndTheRunGoesOn) {
  auto r = run_unload(db_, {"query=T", "data=NO", "alter=NOT A SETTING;;SET WORKAREA_SIZE_POLICY=AUTO;"});
  EXPECT_EQ(r.result, 0) << r.messages;
  std::vector<std::string> expected = {
      "ALTER SESSION NOT A SETTING",
      "ALTER SESSION SET WORKAREA_SIZE_POLICY=AUTO",
      "select * from T",
  };
  EXPECT_EQ(after_nls(), expected);
  EXPECT_TRUE(contains(r.messages, "ORA-")) << r.messages;
}

TEST_F(JobRunnerTest, OverlongAlterPieceIsSkippedWithOneLine) {
  std::string piece = "SET NLS_SORT='" + std::string(500, 'x') + "'";
  auto r = run_unload(db_, {"query=T", "data=NO", "alter=" + piece + ";SET WORKAREA_SIZE_POLICY=AUTO"});
  EXPECT_EQ(r.result, 0) << r.messages;
  std::vector<std::string> expected = {"ALTER SESSION SET WORKAREA_SIZE_POLICY=AUTO", "select * from T"};
  EXPECT_EQ(after_nls(), expected);
  EXPECT_TRUE(contains(r.messages, "ALTER SESSION statement longer than 511 characters skipped"))
      << r.messages;
  EXPECT_EQ(std::count(r.messages.begin(), r.messages.end(), '\n'), 1) << r.messages;
}

TEST_F(JobRunnerTest, FailingPresqlStopsBeforeTheQuery) {
  int fds = rvunload::open_descriptors();
  auto r = run_unload(db_, {"query=T", "presql=DELETE FROM NO_SUCH_TABLE",
                            "postsql=CREATE TABLE AFTER_RUN (A NUMBER)"});
  EXPECT_EQ(r.result, 8);
  EXPECT_EQ(after_nls(), std::vector<std::string>{"DELETE FROM NO_SUCH_TABLE"});
  EXPECT_TRUE(contains(r.messages, "ORA-00942")) << r.messages;
  EXPECT_FALSE(rvtest::file_exists(dir_ + "/vanedata_1.txt"));
  EXPECT_EQ(rvunload::open_descriptors(), fds) << "session not ended";
}

TEST_F(JobRunnerTest, PresqlAndPostsqlRunAroundTheQuery) {
  auto r = run_unload(db_, {"query=T", "data=NO", "presql=UPDATE T SET S = 'x' WHERE N = 1",
                            "postsql=CREATE TABLE AFTER_RUN (A NUMBER)"});
  EXPECT_EQ(r.result, 0) << r.messages;
  std::vector<std::string> expected = {"UPDATE T SET S = 'x' WHERE N = 1", "select * from T",
                                       "CREATE TABLE AFTER_RUN (A NUMBER)"};
  EXPECT_EQ(after_nls(), expected);
  // Both were committed.
  auto check = run_unload(db_, {"query=select count(*) from AFTER_RUN", "data=NO"});
  EXPECT_EQ(check.result, 0) << check.messages;
}

TEST_F(JobRunnerTest, FailingPostsqlGivesNine) {
  auto r = run_unload(db_, {"query=T", "data=NO", "postsql=DROP TABLE NO_SUCH_TABLE"});
  EXPECT_EQ(r.result, 9);
  EXPECT_TRUE(contains(r.messages, "ORA-")) << r.messages;
}

TEST_F(JobRunnerTest, MissingTableGivesThreeWithTheDatabaseText) {
  auto r = run_unload(db_, {"query=NO_SUCH_TABLE", "postsql=CREATE TABLE AFTER_RUN (A NUMBER)"});
  EXPECT_EQ(r.result, 3);
  EXPECT_TRUE(contains(r.messages, "ORA-00942")) << r.messages;
  // No post-statement after a failed query.
  EXPECT_EQ(after_nls(), std::vector<std::string>{"select * from NO_SUCH_TABLE"});
}

TEST_F(JobRunnerTest, FailedLoginClosesTheLogAndReleasesEverything) {
  int fds = rvunload::open_descriptors();
  auto job = rvunload::make_job(dir_ + "/missing/none.db",
                                {"query=T", "log=" + dir_ + "/run.log"});
  EXPECT_EQ(rowvane::run_job(job.get()), -1);
  EXPECT_EQ(job->result, -1);
  EXPECT_EQ(rvunload::open_descriptors(), fds);
  // Without a host callback the login failure went to the log file.
  EXPECT_TRUE(contains(rvtest::read_file(dir_ + "/run.log"), "ORA-")) << rvtest::read_file(dir_ + "/run.log");
}

TEST_F(JobRunnerTest, BindValuesReachTheQuery) {
  auto job = rvunload::make_job(db_, {"query=select S from T where N = :NUM", "field=|",
                                      "file=" + dir_ + "/out.txt"});
  rowvane::BindVar& b = job->binds[0];
  std::strcpy(b.name, "NUM");
  b.name_len = 3;
  std::strcpy(b.value, "2");
  b.value_len = 1;
  job->bind_count = 1;
  std::string messages;
  job->message_callback = rvunload::capture_message;
  job->message_context = &messages;
  EXPECT_EQ(rowvane::run_job(job.get()), 0) << messages;
  EXPECT_EQ(rvtest::read_file(dir_ + "/out.txt"), "two\n");
  EXPECT_EQ(job->binds[0].handle, nullptr);
}

TEST_F(JobRunnerTest, RepeatedRunsLeakNothing) {
  auto first = run_unload(db_, {"query=T", "file=" + dir_ + "/out.txt"});
  ASSERT_EQ(first.result, 0) << first.messages;
  int fds = rvunload::open_descriptors();
  for (int i = 0; i < 3; ++i) {
    auto r = run_unload(db_, {"query=T", "file=" + dir_ + "/out.txt", "lobfile=" + dir_ + "/l.dat"});
    EXPECT_EQ(r.result, 0) << r.messages;
    auto bad = run_unload(db_, {"query=NO_SUCH_TABLE"});
    EXPECT_EQ(bad.result, 3);
  }
  EXPECT_EQ(rvunload::open_descriptors(), fds);
}

}  // namespace
