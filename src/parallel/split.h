// Cutting a table into weighted ROWID ranges.
#pragma once

#include <cstdint>
#include <vector>

#include "config/job.h"
#include "db/session.h"

namespace rowvane {

constexpr int kMaxRanges = 128;

struct RowidRange {
  int32_t index;        // 1-based
  char min_rowid[20];   // inclusive, 18 characters + 2 NUL
  char max_rowid[20];   // exclusive
};

struct RowidRangeList {
  int32_t count;
  RowidRange ranges[kMaxRanges];
};

static_assert(std::is_trivially_copyable_v<RowidRangeList>);

// True when the session runs on the embedded engine (no schemas, its own
// split statements and dictionary).
bool embedded_engine(const DbSession* s);

// owner.table:partition taken apart into job->owner, job->split, job->part.
void parse_split_name(UnloadJob* job);
// Folds owner, table and partition names as the server folds identifiers:
// a name without double quotes to upper case, a quoted one kept as written
// (its quotes removed). Called after parse_split_name.
void fold_split_names(UnloadJob* job);
// Whether the split table holds rows, read through the table itself
// ("SELECT ROWID FROM owner.table", the owner left out on the embedded
// engine): 1 a row, 0 none, -1 no such table or no row identifiers (the
// database's text has been reported).
int probe_split_table(DbSession* s, const char* owner, const char* table);
// "SELECT USER FROM DUAL" into owner (132 bytes; a name of up to 128 bytes).
// 0 or a failure code.
int query_current_user(DbSession* s, char* owner);
// The current system change number ("SELECT DBMS_FLASHBACK.GET_SYSTEM_
// CHANGE_NUMBER FROM DUAL") into *scn. 0; the database's error number (its
// text has been reported); or -1 when no statement handle could be made or
// the answer is no positive whole number.
int query_snapshot_scn(DbSession* s, uint64_t* scn);
// An estimate of the table's rows for the status line: on the embedded
// engine a count ("SELECT COUNT(*)"), on the vendor path the optimizer's
// NUM_ROWS of USER_TABLES (ALL_TABLES with an owner). 0 when there is none;
// a failure is not reported (the run goes on without an estimate).
uint64_t estimate_table_rows(DbSession* s, const char* owner, const char* table);
int count_split_weight(DbSession* s, const char* owner, const char* table, const char* part,
                       uint32_t* total);
int compute_rowid_ranges(DbSession* s, const char* owner, const char* table, const char* part,
                         uint32_t threshold, RowidRangeList* list);

// One table of the dictionary: its owner (empty on the embedded engine,
// which has no schemas) and its exact name.
struct TableName {
  char owner[132];
  char name[132];
  int32_t whole;  // 1: no row identifiers to cut by (an index-organized or WITHOUT ROWID table)
};
static_assert(std::is_trivially_copyable_v<TableName>);

// Appends the tables of owner's schema to *out in name order: USER_TABLES
// when owner is empty, ALL_TABLES of that owner otherwise; on the embedded
// engine the tables of sqlite_master (none of its own sqlite_ tables), the
// owner ignored. 0, or the database's error number or -1 (its text has been
// reported).
int list_tables(DbSession* s, const char* owner, std::vector<TableName>* out);

// Builds one split statement from its template with the names substituted
// as quoted text (single quotes doubled). which 0 = total, 1 = pieces.
// Returns the length, or -1 when it would not fit 1024 bytes.
int build_split_statement(const DbSession* s, int which, const char* owner, const char* table,
                          const char* part, char out[1024]);

}  // namespace rowvane
