// Select-list description against the embedded engine: fetch forms and
// widths per type, width overrides, rows per fetch, unique marks, limits.
#include <cstring>
#include <string>

#include "unload/columns.h"
#include "unload_fixture.h"

namespace {

using rowvane::ColumnInfo;

// Executes one query on a fresh session and describes it.
class Described {
 public:
  Described(const std::string& db, const std::string& query,
            const std::vector<std::string>& options = {}) {
    job_ = rvunload::make_job(db, options);
    rowvane::session_init(&s_);
    s_.callback = rvunload::capture_message;
    s_.user_data = &messages;
    std::string login = std::string(job_->user);
    if (rowvane::connect_session(&s_, login.c_str()) != 0) {
      ADD_FAILURE() << "login failed: " << messages;
      return;
    }
    s_.api->OCIHandleAlloc(s_.env, &stmt_, rowvane::OCI_HTYPE_STMT, 0, nullptr);
    EXPECT_EQ(s_.api->OCIStmtPrepare(stmt_, s_.error,
                                     reinterpret_cast<const unsigned char*>(query.c_str()),
                                     static_cast<uint32_t>(query.size()), rowvane::OCI_NTV_SYNTAX,
                                     rowvane::OCI_DEFAULT),
              0);
    EXPECT_EQ(s_.api->OCIStmtExecute(s_.service, stmt_, s_.error, 0, 0, nullptr, nullptr,
                                     rowvane::OCI_DEFAULT),
              0);
    head_ = static_cast<ColumnInfo*>(std::calloc(1, sizeof(ColumnInfo)));
    count = rowvane::describe_select_list(&s_, stmt_, head_, job_.get());
  }
  ~Described() {
    if (head_) {
      rowvane::release_columns(head_);
      std::free(head_);
    }
    if (stmt_) s_.api->OCIHandleFree(stmt_, rowvane::OCI_HTYPE_STMT);
    rowvane::close_session(&s_);
  }

  const ColumnInfo& column(int k) const {
    const ColumnInfo* c = head_->next;
    for (int i = 0; i < k && c; ++i) c = c->next;
    if (!c) {
      static ColumnInfo none{};
      ADD_FAILURE() << "no column " << k;
      return none;
    }
    return *c;
  }
  const rowvane::UnloadJob& job() const { return *job_; }
  const ColumnInfo* first() const { return head_->next; }

  int count = -2;
  std::string messages;

 private:
  std::unique_ptr<rowvane::UnloadJob> job_;
  rowvane::DbSession s_{};
  void* stmt_ = nullptr;
  ColumnInfo* head_ = nullptr;
};

struct Expect {
  uint16_t fetch_type;
  int32_t slot_width;
  uint32_t display_width;
  uint16_t quoted;
  uint8_t binary;
};

void expect_column(const ColumnInfo& c, const Expect& e) {
  SCOPED_TRACE(c.name);
  EXPECT_EQ(c.fetch_type, e.fetch_type);
  EXPECT_EQ(c.slot_width, e.slot_width);
  EXPECT_EQ(c.display_width, e.display_width);
  EXPECT_EQ(c.quoted, e.quoted);
  EXPECT_EQ(c.binary, e.binary);
  EXPECT_EQ(c.max_out, 0);
  EXPECT_NE(c.buffer, nullptr);
  EXPECT_NE(c.define, nullptr);
}

class DescribeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = rvtest::temp_dir("describe");
    db_ = dir_ + "/t.db";
    rvtest::sqlite_exec(db_,
                        "CREATE TABLE K (N102 NUMBER(10,2), N NUMBER, N5 NUMBER(5), F FLOAT,"
                        " BD BINARY_DOUBLE, D DATE, TS TIMESTAMP, TZ TIMESTAMP WITH TIME ZONE,"
                        " R RAW(16), V VARCHAR2(100), V4 VARCHAR2(4000), C CHAR(10), CL CLOB,"
                        " BL BLOB);"
                        "CREATE TABLE W (A VARCHAR2(100), B VARCHAR2(100), C VARCHAR2(100));");
  }
  std::string dir_;
  std::string db_;
};

TEST_F(DescribeTest, TypeTableWithDefaults) {
  Described d(db_, "select * from K");
  ASSERT_EQ(d.count, 14) << d.messages;
  expect_column(d.column(0), {1, 13, 13, 0, 0});
  expect_column(d.column(1), {1, 46, 46, 0, 0});
  expect_column(d.column(2), {1, 7, 7, 0, 0});
  expect_column(d.column(3), {1, 46, 46, 0, 0});
  expect_column(d.column(4), {1, 46, 46, 0, 0});
  expect_column(d.column(5), {1, 19, 19, 1, 0});
  expect_column(d.column(6), {1, 26, 26, 1, 0});
  expect_column(d.column(7), {1, 33, 33, 1, 0});
  // Raw bytes are written as hex text: two characters per byte.
  expect_column(d.column(8), {23, 16, 32, 1, 1});
  expect_column(d.column(9), {1, 100, 100, 1, 1});
  expect_column(d.column(10), {1, 4000, 4000, 1, 1});
  expect_column(d.column(11), {1, 10, 10, 1, 1});
  expect_column(d.column(12), {94, 32768, 32768, 1, 1});
  expect_column(d.column(13), {95, 32768, 2 * (32768 - 4), 1, 1});
  EXPECT_EQ(d.column(0).oracle_type, 2);
  EXPECT_EQ(d.column(0).precision, 10);
  EXPECT_EQ(d.column(0).scale, 2);
  EXPECT_STREQ(d.column(9).name, "V");
  EXPECT_EQ(d.column(9).name_len, 1u);
}

TEST_F(DescribeTest, SafeWidensWithinLimits) {
  Described d(db_, "select N102, N, D, V, V4, C, R from K", {"safe=YES"});
  ASSERT_EQ(d.count, 7) << d.messages;
  EXPECT_EQ(d.column(0).slot_width, 23);
  EXPECT_EQ(d.column(1).slot_width, 56);
  EXPECT_EQ(d.column(2).slot_width, 29);
  EXPECT_EQ(d.column(3).slot_width, 200);
  EXPECT_EQ(d.column(4).slot_width, 4000);
  EXPECT_EQ(d.column(5).slot_width, 20);
  EXPECT_EQ(d.column(6).slot_width, 26);
}

TEST_F(DescribeTest, ClientSideNumbersAndDates) {
  Described d(db_, "select N102, N, D from K", {"client=YES"});
  ASSERT_EQ(d.count, 3) << d.messages;
  expect_column(d.column(0), {2, 21, 13, 0, 0});
  expect_column(d.column(1), {2, 21, 46, 0, 0});
  expect_column(d.column(2), {12, 7, 19, 1, 0});
}

TEST_F(DescribeTest, WidthOverrideList) {
  {
    Described d(db_, "select * from W", {"width=10:0:20"});
    ASSERT_EQ(d.count, 3) << d.messages;
    EXPECT_EQ(d.column(0).slot_width, 10);
    EXPECT_EQ(d.column(1).slot_width, 100);
    EXPECT_EQ(d.column(2).slot_width, 20);
  }
  {
    // Two colons in a row are one cut: no column is skipped.
    Described d(db_, "select * from W", {"width=10::20"});
    EXPECT_EQ(d.column(0).slot_width, 10);
    EXPECT_EQ(d.column(1).slot_width, 20);
    EXPECT_EQ(d.column(2).slot_width, 100);
  }
  {
    // Text stays within 4000; a piece without digits overrides nothing.
    Described d(db_, "select * from W", {"width=9999999:x:7"});
    EXPECT_EQ(d.column(0).slot_width, 4000);
    EXPECT_EQ(d.column(1).slot_width, 100);
    EXPECT_EQ(d.column(2).slot_width, 7);
  }
}

TEST_F(DescribeTest, ArraySizeFollowsTheRowSize) {
  rvtest::sqlite_exec(db_,
                      "CREATE TABLE BIG (A VARCHAR2(4000), B VARCHAR2(4000), C VARCHAR2(4000),"
                      " D VARCHAR2(4000), E VARCHAR2(3998));"
                      "CREATE TABLE L (A LONG);");
  {
    Described d(db_, "select * from BIG", {"array=1000"});
    EXPECT_EQ(rowvane::compute_row_size(d.first(), 1), 20000);
    EXPECT_EQ(d.job().array, 524u);
  }
  {
    Described d(db_, "select * from BIG", {"array=100"});
    EXPECT_EQ(d.job().array, 100u);
  }
  {
    Described d(db_, "select * from L", {"long=5000000"});
    ASSERT_EQ(d.count, 1) << d.messages;
    expect_column(d.column(0), {94, 2097152, 2097152, 1, 1});
    EXPECT_EQ(d.job().array, 5u);
  }
  {
    Described d(db_, "select N from K", {"array=2000"});
    EXPECT_EQ(d.job().array, 2000u);
  }
}

TEST_F(DescribeTest, LargeObjectsByLocatorOrInline) {
  {
    Described d(db_, "select CL, BL, V from K", {"lobfile=" + dir_ + "/lob.dat"});
    ASSERT_EQ(d.count, 3) << d.messages;
    expect_column(d.column(0), {112, 8, 256, 1, 0});
    expect_column(d.column(1), {113, 8, 256, 1, 0});
    EXPECT_EQ(rowvane::compute_row_size(d.first(), 1), 1 + 256 + 256 + 100 + 1);
    auto** locators = static_cast<void**>(d.column(0).buffer);
    for (uint32_t i = 0; i < d.job().array; ++i) ASSERT_NE(locators[i], nullptr) << i;
  }
  {
    // Inline, a large object fills its whole slot: the rows per fetch keep
    // all buffers of one fetch near 10 MiB (not 1000 slots of 1 MB).
    Described d(db_, "select CL from K", {"long=1000"});
    expect_column(d.column(0), {94, 1024000, 1024000, 1, 1});
    EXPECT_EQ(rowvane::compute_row_size(d.first(), 1), 1024002);
    EXPECT_EQ(d.job().array, 10u);
  }
}

TEST_F(DescribeTest, UniqueNamesMarkKeysWithoutRegardToCase) {
  Described d(db_, "select N102, N, V, V4 from K", {"unique=n102,v,V4x"});
  ASSERT_EQ(d.count, 4) << d.messages;
  EXPECT_EQ(d.column(0).key, 1);
  EXPECT_EQ(d.column(1).key, 0);  // "N" is only a prefix of N102
  EXPECT_EQ(d.column(2).key, 1);
  EXPECT_EQ(d.column(3).key, 0);
  Described empty_piece(db_, "select N102, N, V from K", {"unique=N102,,V"});
  EXPECT_EQ(empty_piece.column(0).key, 1);
  EXPECT_EQ(empty_piece.column(2).key, 0);  // an empty piece ends the list
}

TEST_F(DescribeTest, LongNamesKeepThirtyCharacters) {
  Described d(db_, "select N AS A23456789012345678901234567890XYZ from K");
  ASSERT_EQ(d.count, 1) << d.messages;
  EXPECT_STREQ(d.column(0).name, "A23456789012345678901234567890");
  EXPECT_EQ(d.column(0).name_len, 30u);
}

std::string select_of(int columns) {
  std::string q = "select ";
  for (int i = 0; i < columns; ++i) {
    if (i) q += ",";
    q += "1 AS C" + std::to_string(i);
  }
  return q;
}

TEST_F(DescribeTest, AtMost1023ColumnsAndOneLineBeyond) {
  {
    Described d(db_, select_of(1023));
    EXPECT_EQ(d.count, 1023) << d.messages;
    EXPECT_EQ(d.messages, "");
  }
  {
    Described d(db_, select_of(1024));
    EXPECT_EQ(d.count, -1);
    EXPECT_EQ(d.messages, "ERROR -- The query selects 1024 columns; at most 1023 are supported.\n");
    EXPECT_EQ(d.first(), nullptr);
  }
}

TEST_F(DescribeTest, TooManyColumnsFailTheJobWithFive) {
  auto job = rvunload::make_job(db_, {"file=" + dir_ + "/out.txt", "table=X"});
  std::string q = select_of(1100);  // longer than the query option takes
  std::strcpy(job->query, q.c_str());
  std::string messages;
  job->message_callback = rvunload::capture_message;
  job->message_context = &messages;
  EXPECT_EQ(rowvane::run_job(job.get()), 5);
  EXPECT_TRUE(rvunload::contains(messages, "at most 1023")) << messages;
  EXPECT_FALSE(rvtest::file_exists(dir_ + "/out.txt"));
}

}  // namespace
