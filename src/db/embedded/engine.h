// The embedded engine: the client operations implemented over SQLite 3.
//
// It behaves as the vendor library does for everything the unloader uses:
// status codes, "ORA-NNNNN: text" error records, described type codes,
// external types 1, 2, 12, 23, 94, 95 and LOB locators (112-114), cumulative
// row counts, NLS date formats, character-set conversion, LOB reads in
// pieces. The server-attach "connect string" is the database file name (the
// text after "sqlite:"); the file is opened read-write and never created.
//
// Rules callers can rely on:
//
// Connection. OCIServerAttach opens the file read-write (read-only when the
//   file system allows no more), never creates it, and reads its schema at
//   once: a missing, unreadable or foreign file fails there with ORA-12154
//   naming the file (a missing file or a folder says so, and that the
//   engine never creates a database). Connections wait up to 60 s for
//   another connection's lock, so up to 128 parallel readers (and a writer)
//   share one file.
//   OCISessionBegin checks neither user nor password (the file's permissions
//   protect it) and creates a temporary view DUAL (DUMMY 'X', USER = the
//   login name in upper case, as given when it was in double quotes, or MAIN
//   without one), unless the database has an object named DUAL itself.
//   One environment has one connection: statements made from it run there.
//
// Statements. OCIStmtPrepare only stores the text (converted from the
//   client character set into UTF-8) and hands it to the environment's
//   statement observer (kAttrEngineObserver of db/client.h) when set;
//   every error comes at OCIStmtExecute. With 0 iterations the text must be
//   one statement (trailing ";" and comments allowed, else ORA-00933); a
//   query is compiled once per statement handle, re-executions reuse it, and
//   its first row is stepped at execute, so run-time errors surface there.
//   With 1 or more iterations every statement of the text runs to
//   completion (set-up statements; rows a query yields are dropped).
//   ALTER SESSION SET NLS_DATE_FORMAT / NLS_TIMESTAMP_FORMAT /
//   NLS_TIMESTAMP_TZ_FORMAT take effect (format elements YYYY YYY YY Y RRRR
//   RR MONTH MON MM DDD DD DAY DY D HH24 HH12 HH MI SSSSS SS FF FF1-FF9 X TZH
//   TZM TZR AM PM A.M. P.M. J, punctuation and "quoted text"; any other
//   element: ORA-01821); DB_FILE_MULTIBLOCK_READ_COUNT, WORKAREA_SIZE_POLICY,
//   HASH_AREA_SIZE, SORT_AREA_SIZE, SORT_AREA_RETAINED_SIZE, EVENTS and the
//   three hidden "_..." parameters the job runner sets are accepted and do
//   nothing; any other ALTER SESSION fails with ORA-02248. Until set, the
//   formats are 'YYYY-MM-DD HH24:MI:SS', 'YYYY-MM-DD HH24:MI:SSXFF' and
//   'YYYY-MM-DD HH24:MI:SSXFF TZH:TZM'.
//   Transaction statements (BEGIN [IMMEDIATE], COMMIT, ROLLBACK) reach
//   SQLite as written; a parallel run's driver holds the write lock with
//   BEGIN IMMEDIATE for its snapshot. On a connection that could open the
//   file for reading only, BEGIN IMMEDIATE and BEGIN EXCLUSIVE fail with
//   ORA-16000 (SQLite would take a read lock only).
//
// Binds. By name, with or without the colon, matched without regard to
//   case; types 1, 5, 96 (text, converted from the client set), 23 (bytes),
//   3 and 68 (integers). A placeholder without a bind fails the execute with
//   ORA-01008; a bind the statement does not name is ignored. Text compared
//   with ROWID compares as a number (SQLite's rowid has integer affinity),
//   so "... WHERE ROWID >= :minrid AND ROWID < :maxrid" with zero-padded
//   texts is a range search on the rowid b-tree.
//
// Describe (type code, DATA_SIZE, PRECISION, SCALE, CHARSET_FORM) by the
//   declared type of the column, upper-cased:
//     VARCHAR2(n)/VARCHAR(n)        1, n (n*4 with "n CHAR"), form 1
//     TEXT/STRING                   1, 4000, form 1
//     CHAR(n)/CHARACTER(n)          96, n, form 1
//     NVARCHAR2(n)/NCHAR(n)         1/96, 3n, form 2
//     NUMBER(p,s)/NUMERIC/DECIMAL   2, 22, p, s (NUMBER alone: 0, -127)
//     INTEGER/INT/BIGINT/...        2, 22, 38, 0
//     FLOAT(p)                      4, 22, p (126), -127
//     BINARY_FLOAT                  100, 4; BINARY_DOUBLE/REAL/DOUBLE 101, 8
//     DATE                          12, 7
//     TIMESTAMP(f)/DATETIME         187, 11, 0, f (6); WITH TIME ZONE 188, 13;
//                                   WITH LOCAL TIME ZONE 232, 11
//     INTERVAL YEAR(p) TO MONTH     189, 5, p (2)
//     INTERVAL DAY(p) TO SECOND(f)  190, 11, p (2), f (6)
//     RAW(n) 23, n; LONG 8 (form 1); LONG RAW 24; CLOB 112 (form 1);
//     NCLOB 112 (form 2); BLOB 113; BFILE 114; ROWID/UROWID 104
//   SQLite takes no "TO" in an unquoted type name: write the INTERVAL types
//   in double quotes or with underscores (INTERVAL_DAY_TO_SECOND). Any
//   other declared name follows SQLite's affinity rules (…INT… NUMBER(38),
//   …CHAR…/…CLOB…/…TEXT… VARCHAR2(4000), …BLOB… BLOB, …REAL…/…FLOA…/…DOUB…
//   BINARY_DOUBLE, else NUMBER). A column selected as ROWID (also _ROWID_,
//   OID) of a table without an INTEGER PRIMARY KEY is ROWID (104).
//   Column names are folded to upper case as the vendor folds unquoted
//   identifiers, unless the statement text holds the name in double quotes.
//   Expressions and untyped columns are described by the value in the
//   first row: INTEGER or REAL -> NUMBER (0, -127); BLOB -> BLOB; TEXT, NULL
//   or no row at all -> VARCHAR2(4000).
//
// Values. Numbers become plain decimal text (REAL: the shortest digits that
//   read back as the same double; exponent form only past 46 characters);
//   dates and timestamps are read from ISO-8601 text ("YYYY-MM-DD[ HH:MI[:SS
//   [.fffffffff]]][ ±HH:MM|Z]"), INTEGER Unix seconds or REAL Julian day
//   numbers, and written by the session's formats (FF takes the column's
//   fraction digits; WITH LOCAL TIME ZONE is shown in UTC); a value that is
//   no date fails the fetch with ORA-01861, a text that is no number fetched
//   as 2 with ORA-01722. ROWID is its rowid as 18 digits, zero-padded. RAW,
//   LONG RAW and BLOB values fetched as text become upper-case hex, as 23
//   and 95 their bytes (a BFILE's bytes are passed as they are). CHAR
//   values are delivered as stored (not padded).
//   Text slots (1, 96) and RAW slots (23) take at most 65535 bytes, since
//   the returned lengths are 16-bit; 94/95 take value_sz - 4 after the
//   native 4-byte length, 5 takes value_sz - 1 and a terminating NUL.
//   A value cut to its slot sets the column return code 1406 and the
//   indicator to its full length (-2 past 32767); the fetch call then
//   returns OCI_SUCCESS_WITH_INFO with ORA-24345 even when it also reached
//   the end of the rows, and the next call returns OCI_NO_DATA with 0 rows.
//   NULL sets indicator -1 and return code 1405 (ORA-01405 when the define
//   has no indicator array). A value error (1861, 1722, 1426, 1455) ends the
//   call with OCI_ERROR; the rows before it are delivered and counted, and
//   the bad row is skipped. Any other error while stepping (an integer
//   overflow, a corrupt page) ends the cursor: the next fetch fails with
//   ORA-01002. OCI_ATTR_ROW_COUNT counts the rows delivered so
//   far; attribute 197 (rows of the last fetch call) is answered too.
//
// Character sets. With a character-set id, text values (fetch types 1, 5,
//   94, 96 and CLOB locators), column names and statement texts are
//   converted with iconv between UTF-8 and that set; national columns
//   (charset form 2) use the national id (the character-set id when it is
//   0). Characters the target lacks, and bytes that are not UTF-8, become
//   "?". With a UTF-16 set (ids 1000, 2000, 2002) values are delivered in
//   UTF-16, but statements, binds and user names are still taken as 8-bit
//   text (UTF-8), as the program passes them. The names and ids of
//   OCINlsCharSetNameToId are the vendor's.
//
// Errors. Every record reads "ORA-NNNNN: <vendor's first line>\n" or, when
//   SQLite had words for it, "ORA-NNNNN: <first line>: <SQLite's message>\n",
//   e.g. "ORA-00942: table or view does not exist: no such table: foo\n".
//   Numbers: 942 no such table/view, 904 no such column/function, 900 a
//   statement that starts with no SQL command word, 933 other syntax errors
//   and text after the statement, 921 incomplete statement, 909 wrong number
//   of arguments, 955 object exists, 1 unique constraint, 1400 NOT NULL,
//   2290 other constraints, 54 busy, 16000 read-only, 1115 I/O or corrupt
//   file, 1008 unbound placeholder, 1002 fetch without an open query, 2248,
//   1821, 1861, 1722, 1426, 1455, 1405, 24345 as above, 12154 attach
//   failures, 3114 no connection, 22275 unfilled or NULL LOB locator,
//   24334 no such select-list position. Each operation clears the error
//   handle it is given first; OCIErrorGet returns OCI_NO_DATA without a
//   record. A fetch that reaches the end leaves ORA-01403.
//
// LOB locators. A fetch into locators (types 112-114) of a plain
//   single-table query (SELECT items FROM table [[AS] alias] [WHERE ...]
//   [ORDER BY ...] [LIMIT ...], locator columns being columns of that rowid
//   table) reads the rows from the same query with those items replaced by
//   NULL and the rowid added, and each value in pieces with SQLite's
//   incremental blob reader: no value is held whole. Any other query copies
//   each value as stored: one of at most 64 KiB into a heap buffer of its
//   locator, kept for reuse until the environment is released; a larger one
//   straight from the row into the environment's anonymous spill file,
//   which every fetch into locators rewrites from its start (a locator of an
//   earlier fetch whose value was spilled is refused with ORA-22275).
//   OCILobRead follows the vendor's polling protocol: offsets and the amount
//   asked count characters of a CLOB (bytes of a BLOB), amount 0 reads to
//   the end; text is converted into the client or national set piece by
//   piece, whole characters only; the amount returned counts bytes, or
//   two-byte characters with a UTF-16 set; OCI_NEED_DATA while data remains,
//   OCI_SUCCESS with the last piece, and until then every other LOB, fetch
//   or execute call of the environment fails with ORA-03127. A read at or
//   past the end returns OCI_NO_DATA with amount 0. A read callback, when
//   given, receives every piece from the offset to the end in one call.
//
// Handles. OCIHandleFree of the environment releases everything made from
//   it. A statement's defines and binds belong to it, as in the vendor's
//   library: they are released with the statement, so a caller frees the
//   statement only (freeing one before it is allowed; after it, the handle
//   no longer exists). Parameter descriptors belong to their statement. A
//   LOB define takes the size of a locator pointer as its element size
//   (anything else fails with ORA-00932). Each environment must be used by
//   one thread at a time; different environments may run in parallel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "db/client.h"
#include "db/embedded/client_table.h"

struct sqlite3;

namespace rowvane {

// The internal NUMBER form: encodes the decimal text (optional sign, digits,
// optional point and digits, optional exponent; blanks around it allowed)
// into at most 21 bytes, rounded to 20 base-100 digits; returns the length,
// 0 when the text is not a number or is too large for the form. Numbers
// below its smallest magnitude encode as zero.
int encode_oracle_number(const char* text, size_t len, unsigned char out[22]);

// The 7-byte internal DATE form from "YYYY-MM-DD[ HH:MI[:SS]]" (a "T" may
// separate date and time; a time zone suffix is ignored); 11 bytes when there
// is a non-zero fractional second (nanoseconds big-endian). Returns the
// length or 0 when the text is no valid date of the years 1 to 9999.
int encode_oracle_date(const char* text, size_t len, unsigned char out[11]);

// Hooks for the strict stand-in client library (tests/stand_in), which
// forwards to this engine and needs two things the operations do not give:
//
// The SQLite connection behind any handle of an environment whose server is
// attached (null otherwise), to register functions and views on it.
::sqlite3* embedded_database(const void* handle);
// The bytes a LOB locator holds after the last fetch (CLOB text already in
// the client or national set), whatever the reading protocol of OCILobRead.
// Returns false for a locator that holds no value or no longer can.
bool embedded_lob_value(const void* locator, std::string* out);

}  // namespace rowvane
