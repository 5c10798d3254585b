// The message channel and the system's own fixed message lines (errors,
// refusals, progress and closing lines), each kept here once, byte for byte,
// and used by every module. The usage page stays with the driver that prints
// it, the option parser's words for a refused value with the parser, and the
// embedded engine's ORA- texts with the engine (they are the vendor's).
#pragma once

namespace rowvane {

// A message line for the user: (opaque user data, NUL-terminated text).
typedef void (*MessageCallback)(void* user_data, const char* text);

// Files and the log.
inline constexpr char kMsgCannotOpenFile[] =
    "ERROR -- Cannot write to file : %s (%s)\n";
inline constexpr char kMsgCannotWriteFile[] =
    "ERROR -- Cannot write to file : %s\n";
inline constexpr char kMsgCannotWriteLog[] =
    "ERROR -- Cannot write to log file : %s (%s)\n";
inline constexpr char kMsgNameTooLong[] =
    "ERROR -- File name longer than %d bytes after expansion : %s\n";
inline constexpr char kMsgSameFile[] =
    "ERROR -- %s file and %s file are the same file : %s\n";
inline constexpr char kMsgSameFileTwoNames[] =
    "ERROR -- %s file and %s file are the same file : %s and %s\n";

// Progress and closing lines.
inline constexpr char kMsgProgress[] =
    "%12llu rows exported at %04d-%02d-%02d %02d:%02d:%02d, size %.0f MB.\n";
inline constexpr char kMsgInterrupted[] =
    "ERROR -- Run interrupted by %s after %llu rows.\n";
inline constexpr char kMsgKeptUnfinished[] =
    "         unfinished output kept as %s\n";
inline constexpr char kMsgClosed[] =
    "         output file %s closed at %llu rows, size %.0f MB.\n";
// The one line that ends every run that got to unloading.
inline constexpr char kMsgSummary[] = "Summary: %llu rows, %llu bytes, %u files, %.2f seconds, %.0f rows/s.\n";

// Compressed and JSON output.
inline constexpr char kMsgGzipLevel[] =
    "ERROR -- level=%d is beyond gzip's levels 1 to %d : %s\n";
inline constexpr char kMsgJsonCharset[] =
    "ERROR -- text=JSON writes UTF-8; %s=%s is not a UTF-8 character set.\n";
inline constexpr char kMsgJsonNotUtf8[] =
    "ERROR -- Column %s of row %llu is not valid UTF-8 (byte %llu of the value); "
    "badchar=REPLACE writes U+FFFD for such bytes.\n";

// The statement and its columns.
inline constexpr char kMsgTooManyColumns[] =
    "ERROR -- The query selects %u columns; at most %d are supported.\n";
inline constexpr char kMsgNoRecordBuffer[] =
    "ERROR -- Cannot allocate the record buffer.\n";
inline constexpr char kMsgStatementTooLong[] =
    "ERROR -- The %s for table %s is longer than %d bytes; too many or too long column names.\n";
inline constexpr char kMsgAlterTooLong[] =
    "ERROR -- ALTER SESSION statement longer than %d characters skipped: %.60s...\n";

// The client library.
inline constexpr char kMsgCannotLoadLibrary[] =
    "ERROR -- Cannot load the database client library %s: %s";
inline constexpr char kMsgLibraryLacksEntry[] =
    "ERROR -- The database client library %s lacks the entry point %s";

// Parallel unloads.
inline constexpr char kMsgSplitNeedsDegree[] =
    "ERROR -- split= needs degree= above 1; to unload the table once, give it as query=.\n";
inline constexpr char kMsgParallelToStdout[] =
    "ERROR -- A parallel unload cannot write to standard output.\n";
inline constexpr char kMsgParallelFileName[] =
    "ERROR -- A parallel unload needs %%p in the file name: %s\n";
inline constexpr char kMsgParallelAppend[] =
    "ERROR -- A parallel unload with retry above 0 cannot append to %s\n";
inline constexpr char kMsgParallelLobName[] =
    "ERROR -- A parallel unload needs %%p in the lob file name: %s\n";
inline constexpr char kMsgParallelLogName[] =
    "ERROR -- A parallel unload needs %%p in the log file name: %s\n";
inline constexpr char kMsgParallelBinds[] =
    "ERROR -- A parallel unload takes at most %d bind variables.\n";
inline constexpr char kMsgWorkerStart[] =
    "ERROR -- Cannot start worker %d.\n";
inline constexpr char kMsgWorkerJob[] =
    "ERROR -- Cannot allocate the job of worker %d.\n";
inline constexpr char kMsgCannotCut[] =
    "ERROR -- Cannot cut table %s into ROWID ranges (%d).\n";
inline constexpr char kMsgTableEmpty[] =
    "Table %s is empty: nothing to unload.\n";
inline constexpr char kMsgNotCuttable[] =
    "ERROR -- %s is not a table that can be cut into ROWID ranges.\n";
inline constexpr char kMsgSplitStatement[] =
    "ERROR -- Cannot build the split statement for table %s.\n";
inline constexpr char kMsgRowidTooLong[] =
    "ERROR -- ROWID text longer than 18 characters in the pieces of %s.\n";
// Many-table unloads.
inline constexpr char kMsgTablesNoMatch[] =
    "ERROR -- No table matches tables=%s\n";
inline constexpr char kMsgTablesNameCode[] =
    "ERROR -- A many-table unload needs %%n in the %s file name: %s\n";
inline constexpr char kMsgTablesAlone[] =
    "ERROR -- tables= unloads whole tables; it takes no query=, sql= or split=.\n";
inline constexpr char kMsgTablesPattern[] =
    "ERROR -- Bad entry in tables=: %s\n";
inline constexpr char kMsgTablesNameTooLong[] =
    "ERROR -- The name of table %s does not fit the file names.\n";
inline constexpr char kMsgTablesList[] =
    "ERROR -- Cannot read the list of tables (%d).\n";
inline constexpr char kMsgSnapshotRefused[] =
    "ERROR -- The database refused the snapshot of this run (ORA-%05d); snapshot=NO unloads without it.\n";
inline constexpr char kMsgSnapshotNumber[] =
    "ERROR -- The database gave no system change number for the snapshot; snapshot=NO unloads without it.\n";
inline constexpr char kMsgSnapshotHoldsLock[] =
    "ERROR -- %s cannot write while the snapshot of this run holds the write lock; snapshot=NO lets it write.\n";

// The manifest, resume, plans and joins.
inline constexpr char kMsgManifestNeeded[] =
    "ERROR -- %s= needs manifest=.\n";
inline constexpr char kMsgManifestFiles[] =
    "ERROR -- A run with manifest= writes files it can redo; file=%s cannot be (standard output or \"+\" append).\n";
inline constexpr char kMsgManifestWrite[] =
    "ERROR -- Cannot write the manifest %s (%s)\n";
inline constexpr char kMsgManifestUnreadable[] =
    "ERROR -- Cannot resume from the manifest %s: %s.\n";
inline constexpr char kMsgManifestMissing[] =
    "         no manifest %s to resume from: a new run starts and writes it.\n";
inline constexpr char kMsgManifestOptionDiffers[] =
    "ERROR -- %s= differs from the manifest %s; resume with the options of the run that wrote it.\n";
inline constexpr char kMsgManifestSnapshotGone[] =
    "ERROR -- The snapshot of the manifest (SCN %llu) can no longer be read (ORA-%05d); resume=NEW resumes at a new one.\n";
inline constexpr char kMsgManifestNewLock[] =
    "         resuming at a new snapshot: the embedded engine's snapshot ended with the run that took it.\n";
inline constexpr char kMsgManifestNewScn[] =
    "         resuming at a new snapshot (SCN %llu); the pieces done before read at SCN %llu.\n";
inline constexpr char kMsgManifestChanged[] =
    "         file %s of piece %zu changed since it was written: the piece is redone.\n";
inline constexpr char kMsgManifestSwept[] =
    "         removed %d temporary files that earlier runs of the manifest left.\n";
inline constexpr char kMsgManifestAllDone[] =
    "         every piece of the manifest %s is done.\n";
inline constexpr char kMsgManifestPlan[] =
    "         plan of %zu pieces written to %s.\n";
inline constexpr char kMsgManifestPieces[] =
    "ERROR -- pieces=: %s is no piece number or range of 1 to %zu.\n";
inline constexpr char kMsgManifestJoin[] =
    "ERROR -- Cannot join %s: %s.\n";
inline constexpr char kMsgManifestJoined[] =
    "         joined %zu manifests into %s: %zu of %zu pieces done.\n";

// Arguments, parameter files and the login.
inline constexpr char kMsgOptionRefused[] =
    "ERROR -- %s%s%s\n";
inline constexpr char kMsgInParameterFile[] =
    " in parameter file : ";
inline constexpr char kMsgQueryOptionTooLong[] =
    "ERROR -- query= text longer than %zu characters, use sql= for it\n";
inline constexpr char kMsgBindRefused[] =
    "ERROR -- %s: :%.*s\n";
inline constexpr char kMsgCannotOpenParfile[] =
    "ERROR -- Cannot open parameter file : %s\n";
inline constexpr char kMsgZeroByteParfile[] =
    "ERROR -- Zero byte in parameter file : %s\n";
inline constexpr char kMsgOptionTooLong[] =
    "ERROR -- Option longer than %zu characters in parameter file : %s\n";
inline constexpr char kMsgCannotOpenSql[] =
    "ERROR -- Cannot open SQL file : %s\n";
inline constexpr char kMsgZeroByteSql[] =
    "ERROR -- Zero byte in SQL file : %s\n";
inline constexpr char kMsgSqlTooLong[] =
    "ERROR -- SQL text longer than %zu characters in all : %s\n";
inline constexpr char kMsgLoginTooLong[] =
    "ERROR -- Login longer than %zu characters\n";
inline constexpr char kMsgNoPassword[] =
    "ERROR -- No password read\n";
inline constexpr char kMsgPasswordForbidden[] =
    "ERROR -- A password from %s or the prompt may not hold @ or \"\n";
inline constexpr char kMsgLoginPasswordTooLong[] =
    "ERROR -- Login with its password longer than %zu characters\n";
inline constexpr char kMsgLoginTooLongToEncrypt[] =
    "ERROR -- the login is longer than 64 characters and cannot be encrypted\n";
inline constexpr char kMsgCannotOpenScrambled[] =
    "ERROR -- Cannot open file to unscramble : %s (%s)\n";
inline constexpr char kMsgCannotReadScrambled[] =
    "ERROR -- Cannot read file to unscramble : %s (%s)\n";
inline constexpr char kMsgCannotWriteUnscrambled[] =
    "ERROR -- Cannot write the unscrambled data of %s (%s)\n";

}  // namespace rowvane
