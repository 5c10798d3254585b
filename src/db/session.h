// One database connection and the one path every message takes to the user.
#pragma once

#include <cstdint>
#include <cstdio>

#include "config/messages.h"
#include "db/client.h"
#include "platform/file_io.h"

namespace rowvane {

// A file of the current run that no output of the run may replace: the
// database file being read, the log file, the control file written.
struct GuardedFile {
  const char* role;  // "database", "log" or "control" (static text)
  char name[512];    // as given (an output's name without its "+")
  FileIdentity id;   // as it was when noted; kMissing when it did not exist
};
constexpr int kGuardedFiles = 3;

struct DbSession {
  const DbClient* api;     // the engine that made every handle below; null until connect
  void* env;               // releasing it releases every handle made from it
  void* error;
  void* server;
  void* service;
  void* session;
  int32_t error_code;      // code of the last error record read; 0 = none
  char error_text[512];
  FILE* log;               // where the default callback writes
  uint16_t charset_id;
  uint16_t ncharset_id;
  void* user_data;         // first argument of every callback call
  MessageCallback callback;
  EngineObserver observer;  // handed to the environment at login (tests); null: none
  GuardedFile guarded[kGuardedFiles];  // see guard_file
  int32_t guarded_count;
};

static_assert(std::is_trivially_copyable_v<DbSession>);

// Clears every field; log = stdout, callback = default_message_callback with
// the session itself as user data.
void session_init(DbSession* s);

// Writes text to the session's log stream and flushes it; nothing when the
// user data or its log is null. user_data is a DbSession*.
void default_message_callback(void* user_data, const char* text);

// Hands one line to the session's callback (nothing when none is installed).
void session_message(DbSession* s, const char* text);
// printf-style form of session_message; lines longer than 1023 bytes are cut.
void session_messagef(DbSession* s, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Reads error record 1 of the session's error handle into error_code and
// error_text and, when the code is not 0 and a callback is set, delivers the
// text. Returns error_code.
int32_t report_error(DbSession* s);

// Copies one entry of a comma-separated host list (at most 10 entries) into
// out (capacity out_size); returns the characters copied. With several
// entries the choice is pseudo-random, seeded with the current second.
int pick_host(char* out, size_t out_size, const char* host_list);

// Appends to out (capacity out_size) the host:port:sid form converted into a
// full connect descriptor, or the connect text unchanged.
void build_connect_descriptor(char* out, size_t out_size, const char* connect_text);

// The parsed login text.
struct LoginParts {
  char user[132];
  char password[132];
  char connect[256];   // raw connect text after '@' (kept even where it is not used)
  uint32_t credential; // OCI_CRED_RDBMS or OCI_CRED_EXT
  uint32_t mode;       // OCI_DEFAULT or OCI_SYSDBA
};
// Where the parts of a login text lie (offsets into it). Without "/" there
// is no password (password_len 0); without "@" after the password the
// connect text is empty (connect_start at the end of the text); with
// neither "/" nor "@" the user name is empty too.
struct LoginSpans {
  size_t user_len;        // the user name starts at 0
  bool has_password;      // a "/" follows the user name
  size_t password_start;
  size_t password_len;
  size_t connect_start;
};
LoginSpans scan_login(const char* login);

// Splits a login text (user/password@connect, quotes, SYS, OS authentication).
void parse_login(const char* login, LoginParts* out);

// True when the login text names the embedded engine ("sqlite:" connect text).
bool login_is_embedded(const char* login);

// Chooses the engine by the connect text ("sqlite:" = embedded, anything else
// the vendor library), then logs in. Returns 0 or -1; a failure's text has
// reached the callback once.
int connect_session(DbSession* s, const char* login);

// The login steps on an engine already chosen: environment, handles, attach,
// user and password, session begin. 0 or -1.
int open_session(DbSession* s, const char* user, const char* password, const char* connect_string,
                 uint32_t credential, uint32_t mode);

// Notes a file no output of the run may replace (a later note of the same
// role replaces the earlier one; a full list keeps its entries).
void guard_file(DbSession* s, const char* role, const char* name, const FileIdentity& id);

// Notes the database file a login reads: the file after "@sqlite:" for the
// embedded engine (the engine opens exactly that name); nothing for the
// vendor library, whose database lies behind a server. Callable before
// connecting, so that the outputs opened before the login (the log) are
// checked too.
void guard_database_file(DbSession* s, const char* login);

// Session end, server detach, environment release, each when its handle
// exists; the handles are cleared. Safe to call on a session never connected.
void close_session(DbSession* s);

}  // namespace rowvane
