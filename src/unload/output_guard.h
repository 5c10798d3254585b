// Outputs that would destroy the database being read or one another: a log,
// data, lob or control file that is the database file, or two outputs of one
// run that are one file, are refused before they are opened.
//
// Two names are one file when both exist and have the same device and inode
// (links and different spellings of a path included), or when neither exists
// yet and the names are equal. Devices, pipes and folders are never one file
// here: several outputs may go to /dev/null. An output's "+" (append) does
// not matter: appending to the database or to another output damages it as
// much as replacing it.
#pragma once

#include "config/job.h"
#include "db/session.h"
#include "platform/file_io.h"

namespace rowvane {

// True when the names a and b (with their identities) are one file.
bool same_output(const char* a, const FileIdentity& ia, const char* b, const FileIdentity& ib);

// "ERROR -- <Role> file and <role> file are the same file : <name>\n", or
// with ": <name a> and <name b>\n" when the two are spelled differently.
// Roles: "data", "LOB", "log", "control", "database".
void report_same_file(DbSession* s, const char* role_a, const char* a, const char* role_b,
                      const char* b);

// Refuses the output `name` (role, identity) when it is one of the session's
// guarded files (guard_file): one line, returns 6; else 0.
int check_guarded(DbSession* s, const char* role, const char* name, const FileIdentity& id);

// Before anything of the run is opened: the log (log_name, already expanded;
// empty for none), the first data and lob files and the control file,
// checked against the guarded files and against one another. Returns 0, or
// 6 after one line. The checks at each open (and file change) catch what
// only shows once a file exists.
int check_run_outputs(const UnloadJob& job, DbSession* s, const char* log_name);

}  // namespace rowvane
