// The console program's driver: arguments, parameter files, binds, SQL text,
// the early exits (crypt, uncrack, usage), login, and the run.
#pragma once

#include <cstdio>

#include "config/job.h"

namespace rowvane {

// The program; returns the exit status.
int driver_main(int argc, char** argv);

// Builds the job from the arguments, as the program does before any early
// exit: defaults; options, "parfile=" files, "-si" and a bare first-argument
// login in argument order; the :name=value bind arguments (at most 18); the
// SQL text named by sql= appended to query; "/" for an empty user.
// "-h" and "--help" set help; "--version" sets *version (when given).
// The first argument is the login when it is no keyword=value option and
// has no "=" or holds "/" or "@" before its first "="; any other argument
// that is no option, and every refused option value, is refused.
// The password of a login and the crack and uncrack keys are overwritten
// in argv as soon as they are read. Returns 0, or 1 after printing one line
// to out when an argument is refused, a parameter file or SQL file does not
// open or a statement text would not fit query.
int prepare_job(int argc, char** argv, UnloadJob* job, FILE* out, bool* version = nullptr);

// Applies the options of one parameter file ("-" prefix = standard input):
// a line that begins with white space continues the previous option, any
// other line starts a new one; trailing white space of each line is dropped.
// Returns 0, or 1 after printing one line to out when the file does not open,
// holds a zero byte, an option is refused or one option would not fit
// query (refused as soon as a line passes the limit).
int read_parameter_file(UnloadJob* job, const char* file_name, FILE* out);

// Appends the SQL text named by job->sql to job->query: "-" reads standard
// input up to a line that begins with "/", anything else names a file. Each
// line is appended with its line end and then one blank. Returns 0, or 1
// after printing one line to out when the file does not open, holds a zero
// byte or the text would not fit query (which is then left as it was).
int append_sql_text(UnloadJob* job, FILE* out);

// Prints the usage text to out; help adds the line of every other keyword.
void print_usage(bool help, FILE* out);

// Writes the file (taken literally; "-" prefix = standard input) to out with
// every complete 8-byte word XORed with the key, except the final 1 to 8
// bytes of the input. key: the job's uncrack field; its first 8 bytes are
// the key, so it must hold at least 8 bytes. Returns 0, or 1 after one line
// to err when the input does not open or a read or write fails.
int unscramble_file(const char* file_name, const char* key, FILE* out, FILE* err = stderr);

}  // namespace rowvane
