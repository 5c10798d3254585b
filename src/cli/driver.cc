#include "cli/driver.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "config/messages.h"
#include "config/options.h"
#include "config/run_counters.h"
#include "cli/status_line.h"
#include "crypto/login_cipher.h"
#include "crypto/scramble.h"
#include "db/session.h"
#include "parallel/workers.h"
#include "platform/file_io.h"
#include "platform/terminal.h"
#include "unload/job_runner.h"

namespace rowvane {

namespace {

constexpr size_t kQueryMax = sizeof(UnloadJob::query) - 1;  // 32767
constexpr size_t kQueryOptionMax = 8191;                    // what query= itself stores
constexpr size_t kUserMax = 128;
constexpr size_t kBindNameMax = 30;
constexpr size_t kBindValueMax = 127;
constexpr size_t kScrambleChunk = 16384;
constexpr char kPasswordVariable[] = "ROWVANE_PASSWORD";

bool is_white(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool equals_ignoring_case(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

void set_text(char* dest, size_t capacity, const char* src, size_t max_chars) {
  std::memset(dest, 0, capacity);
  size_t n = std::strlen(src);
  if (n > max_chars) n = max_chars;
  std::memcpy(dest, src, n);
}

enum class LineRead { kLine, kEnd, kTooLong };

// Reads one line, line end included. Zero bytes are kept, so that callers
// can refuse them: a text cut at one would lose the rest of its line, line
// end included, and join it to the next. Reading stops as soon as the line
// passes `max` characters (kTooLong), so that memory stays bounded whatever
// the input (a device that never sends a line end included). kEnd at end of
// input with nothing read.
LineRead read_line(FILE* f, std::string* line, size_t max) {
  line->clear();
  int c;
  while ((c = std::getc(f)) != EOF) {
    line->push_back(static_cast<char>(c));
    if (c == '\n') return LineRead::kLine;
    if (line->size() > max) return LineRead::kTooLong;
  }
  return line->empty() ? LineRead::kEnd : LineRead::kLine;
}

bool has_zero_byte(const std::string& line) { return line.find('\0') != std::string::npos; }


// Applies one option text, or prints one line saying why not (where names
// the parameter file it came from, or is empty). A query= value longer than
// query= can store is refused rather than cut, since a cut statement may
// still run and return the wrong rows. Returns try_option's verdict, or -1
// after the line for a refused query.
int apply_option(UnloadJob* job, const char* text, const char* where, FILE* out) {
  const OptionSplit s = split_option_text(text);
  if (option_keyword_is(text, s, "query") && s.value_len > kQueryOptionMax) {
    std::fprintf(out, kMsgQueryOptionTooLong, kQueryOptionMax);
    return -1;
  }
  const OptionFault fault = try_option(job, text);
  if (fault != kOptionApplied && fault != kOptionUnknownKeyword) {
    char why[256];
    describe_option_fault(text, fault, true, why, sizeof why);
    std::fprintf(out, kMsgOptionRefused, why, *where ? kMsgInParameterFile : "", where);
    return -1;
  }
  return fault == kOptionApplied ? 1 : 0;
}

void refuse_unknown(const char* text, const char* where, FILE* out) {
  char why[256];
  describe_option_fault(text, kOptionUnknownKeyword, true, why, sizeof why);
  std::fprintf(out, kMsgOptionRefused, why, *where ? kMsgInParameterFile : "", where);
}

bool open_named_input(const char* name, const char* mode, FILE** f) {
  if (name[0] == '-') {
    *f = stdin;
    return true;
  }
  *f = std::fopen(name, mode);
  return *f != nullptr;
}

void close_input(FILE* f) {
  if (f != stdin) std::fclose(f);
}

bool all_hex_digits(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (!std::isxdigit(static_cast<unsigned char>(*text))) return false;
  }
  return true;
}

// Overwrites, in place in the argument list, what others could read with
// ps or in /proc/PID/cmdline: the password of a login (all of an encrypted
// login) and a crack or uncrack key.
void hide_login_secret(char* login) {
  if (all_hex_digits(login)) {
    std::memset(login, '*', std::strlen(login));
    return;
  }
  const LoginSpans spans = scan_login(login);
  std::memset(login + spans.password_start, '*', spans.password_len);
}

void hide_option_secret(char* arg) {
  const OptionSplit s = split_option_text(arg);
  char* value = arg + s.value_start;
  if (option_keyword_is(arg, s, "user")) {
    hide_login_secret(value);
  } else if (option_keyword_is(arg, s, "crack") || option_keyword_is(arg, s, "uncrack")) {
    std::memset(value, '*', std::strlen(value));
  }
}

// The first argument is the login when it is no keyword=value option and
// has no "=", or holds a "/" or an "@" before its first "=" (a password may
// hold "=").
bool is_login_form(const char* arg) {
  const char* eq = std::strchr(arg, '=');
  if (eq == nullptr) return true;
  for (const char* p = arg; p < eq; ++p) {
    if (*p == '/' || *p == '@') return true;
  }
  return false;
}

// Collects the :name=value arguments. Refuses (one line, 1) a bind argument
// without a name, a 19th one, a name over 30 or a value over 127 characters:
// a cut value would bind something else than was given.
int collect_binds(UnloadJob* job, int argc, char** argv, FILE* out) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != ':') continue;
    const char* text = argv[i] + 1;
    const size_t len = std::strlen(text);
    const char* eq = std::strchr(text, '=');
    const size_t name_len = eq ? static_cast<size_t>(eq - text) : len;
    const size_t value_len = eq ? len - name_len - 1 : 0;
    const int shown = static_cast<int>(name_len < 40 ? name_len : 40);
    const char* problem = nullptr;
    if (name_len == 0) {
      problem = "Bind argument without a name";
    } else if (job->bind_count >= kMaxCommandLineBinds) {
      problem = "More than 18 bind arguments";
    } else if (name_len > kBindNameMax) {
      problem = "Bind name longer than 30 characters";
    } else if (value_len > kBindValueMax) {
      problem = "Bind value longer than 127 characters";
    }
    if (problem != nullptr) {
      std::fprintf(out, kMsgBindRefused, problem, shown, text);
      return 1;
    }
    BindVar& b = job->binds[job->bind_count++];
    std::memset(b.name, 0, sizeof b.name);
    std::memset(b.value, 0, sizeof b.value);
    std::memcpy(b.name, text, name_len);
    b.name_len = static_cast<int32_t>(name_len);
    if (eq) std::memcpy(b.value, eq + 1, value_len);
    b.value_len = static_cast<int32_t>(value_len);
  }
  return 0;
}

// The client library's id of a character set name; 0 when it is unknown.
uint16_t charset_id(DbSession* s, const char* name) {
  return s->api->OCINlsCharSetNameToId(s->env, reinterpret_cast<const unsigned char*>(name));
}

}  // namespace

int read_parameter_file(UnloadJob* job, const char* file_name, FILE* out) {
  FILE* f = nullptr;
  if (!open_named_input(file_name, "rb", &f)) {
    std::fprintf(out, kMsgCannotOpenParfile, file_name);
    return 1;
  }
  // Lines are taken whole: a long line is never cut into separate options.
  // One option holds at most kQueryMax characters, so a line longer than
  // that (and its line end) is refused as soon as it passes the limit.
  std::string option;
  std::string line;
  int status = 0;
  auto apply = [&] {
    const int known = apply_option(job, option.c_str(), file_name, out);
    if (known == 0) refuse_unknown(option.c_str(), file_name, out);
    if (known != 1) status = 1;
  };
  for (;;) {
    const LineRead got = read_line(f, &line, kQueryMax + 2);
    if (got == LineRead::kEnd) break;
    if (has_zero_byte(line)) {
      std::fprintf(out, kMsgZeroByteParfile, file_name);
      status = 1;
      break;
    }
    const bool continues = is_white(line[0]);
    size_t end = line.size();
    while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n' || line[end - 1] == '\t' ||
                       line[end - 1] == ' ')) {
      --end;
    }
    if (!continues) {
      if (!option.empty()) apply();
      option.clear();
    }
    if (status != 0) break;
    option.append(line, 0, end);
    if (got == LineRead::kTooLong || option.size() > kQueryMax) {
      std::fprintf(out, kMsgOptionTooLong, kQueryMax, file_name);
      status = 1;
      break;
    }
  }
  if (status == 0 && !option.empty()) apply();
  close_input(f);
  return status;
}

int append_sql_text(UnloadJob* job, FILE* out) {
  const bool from_stdin = std::strcmp(job->sql, "-") == 0;
  FILE* f = stdin;
  if (!from_stdin) {
    f = std::fopen(job->sql, "r");
    if (f == nullptr) {
      std::fprintf(out, kMsgCannotOpenSql, job->sql);
      return 1;
    }
  }
  // Each line keeps its line end and is followed by one blank. Standard
  // input ends at a line that begins with "/". Reading stops as soon as the
  // text passes what query can still take.
  const size_t have = std::strlen(job->query);
  const size_t room = kQueryMax - have;
  std::string text;
  std::string line;
  bool zero_byte = false;
  bool too_long = false;
  for (;;) {
    const LineRead got = read_line(f, &line, room);
    if (got == LineRead::kEnd) break;
    if (from_stdin && line[0] == '/') break;
    if (has_zero_byte(line)) {
      zero_byte = true;
      break;
    }
    text += line;
    text += ' ';
    if (got == LineRead::kTooLong || text.size() > room) {
      too_long = true;
      break;
    }
  }
  if (!from_stdin) std::fclose(f);
  if (zero_byte) {
    std::fprintf(out, kMsgZeroByteSql, job->sql);
    return 1;
  }
  if (too_long) {
    std::fprintf(out, kMsgSqlTooLong, kQueryMax, job->sql);
    return 1;
  }
  std::memcpy(job->query + have, text.data(), text.size());
  job->query[have + text.size()] = '\0';
  return 0;
}

int prepare_job(int argc, char** argv, UnloadJob* job, FILE* out, bool* version) {
  job_defaults(job);
  if (version) *version = false;

  for (int i = 1; i < argc; ++i) {
    char* arg = argv[i];
    if (std::strlen(arg) >= 8 && equals_ignoring_case(arg, "parfile=", 8)) {
      if (read_parameter_file(job, arg + 8, out) != 0) return 1;
    } else if (std::strlen(arg) == 3 && equals_ignoring_case(arg, "-si", 3)) {
      set_text(job->user, sizeof job->user, "/", kUserMax);
    } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
      job->help = 1;
    } else if (std::strcmp(arg, "--version") == 0) {
      if (version) *version = true;
    } else if (arg[0] == ':') {
      continue;  // a bind argument, collected below
    } else {
      const int known = apply_option(job, arg, "", out);
      if (known < 0) return 1;
      if (known == 1) {
        hide_option_secret(arg);
      } else if (i == 1 && is_login_form(arg)) {
        if (std::strlen(arg) > kUserMax) {
          std::fprintf(out, kMsgLoginTooLong, kUserMax);
          return 1;
        }
        set_text(job->user, sizeof job->user, arg, kUserMax);
        hide_login_secret(arg);
      } else {
        refuse_unknown(arg, "", out);
        return 1;
      }
    }
  }

  if (collect_binds(job, argc, argv, out) != 0) return 1;

  if (job->sql[0] != '\0' && append_sql_text(job, out) != 0) return 1;
  if (job->user[0] == '\0') std::strcpy(job->user, "/");
  return 0;
}

void print_usage(bool help, FILE* out) {
  std::fprintf(out, "\n");
  std::fprintf(out, "%s\n", banner_line(0));
  std::fprintf(out, "%s\n", banner_line(1));
  std::fprintf(out, "\n");
  std::fprintf(out, "%s\n", banner_line(2));
  std::fprintf(out, "\n");
  std::fprintf(out, "Usage: ROWVANE keyword=value [,keyword=value,...]\n");
  std::fprintf(out, "\n");
  std::fprintf(out, "Valid Keywords:\n");
  std::fprintf(out, "   user    = username/password@tnsname\n");
  std::fprintf(out, "   sql     = SQL file name\n");
  std::fprintf(out, "   query   = select statement\n");
  std::fprintf(out, "   field   = separator string between fields\n");
  std::fprintf(out, "   record  = separator string between records\n");
  std::fprintf(out, "   rows    = print progress for every given rows (default, 1000000) \n");
  std::fprintf(out, "   file    = output file name (default: vanedata_%%p.txt)\n");
  std::fprintf(out, "   lobfile = output file name for lob LLS storage (default: none)\n");
  std::fprintf(out, "   log     = log file name, prefix with + to append mode\n");
  std::fprintf(out, "   fast    = auto tuning the session level parameters(YES)\n");
  std::fprintf(out, "   text    = output type (MYSQL, CSV, MYSQLINS, ORACLEINS, FORM, SEARCH).\n");
  std::fprintf(out, "   charset = character set name of the target database.\n");
  std::fprintf(out, "   ncharset= national character set name of the target database.\n");
  std::fprintf(out, "   parfile = read command option from parameter file \n");
  if (help) {
    std::fprintf(out, "   read    = set DB_FILE_MULTIBLOCK_READ_COUNT at session level\n");
    std::fprintf(out, "   sort    = set SORT_AREA_SIZE at session level (UNIT:MB) \n");
    std::fprintf(out, "   hash    = set HASH_AREA_SIZE at session level (UNIT:MB) \n");
    std::fprintf(out, "   array   = array fetch size\n");
    std::fprintf(out, "   head    = print row header(Yes|No)\n");
    std::fprintf(out, "   batch   = save to new file for every rows batch (Yes/No)\n");
    std::fprintf(out, "   size    = maximum output file piece size (UNIB:MB)\n");
    std::fprintf(out, "   serial  = set _serial_direct_read to TRUE at session level\n");
    std::fprintf(out, "   trace   = set event 10046 to given level at session level\n");
    std::fprintf(out, "   table   = table name in the sqlldr control file\n");
    std::fprintf(out, "   control = sqlldr control file and path.\n");
    std::fprintf(out, "   mode    = sqlldr option, INSERT or APPEND or REPLACE or TRUNCATE \n");
    std::fprintf(out, "   buffer  = sqlldr READSIZE and BINDSIZE, default 16 (MB)\n");
    std::fprintf(out, "   long    = maximum long field size\n");
    std::fprintf(out, "   width   = customized max column width (w1:w2:...) \n");
    std::fprintf(out, "   quote   = optional quote string \n");
    std::fprintf(out, "   data    = disable real data unload (NO, OFF) \n");
    std::fprintf(out, "   alter   = alter session SQLs to be execute before unload \n");
    std::fprintf(out, "   safe    = use large buffer to avoid ORA-24345 error (Yes|No) \n");
    std::fprintf(out, "   crypt   = encrypted user information only (Yes|No) \n");
    std::fprintf(out, "   sedf/t  = enable character translation function \n");
    std::fprintf(out, "   null    = replace null with given value \n");
    std::fprintf(out, "   escape  = escape character for special characters\n");
    std::fprintf(out, "   escf/t  = escape from/to characters list \n");
    std::fprintf(out, "   format  = MYSQL: MySQL Insert SQLs, SQL: Insert SQLs.\n");
    std::fprintf(out, "   exec    = the command to execute the SQLs.\n");
    std::fprintf(out, "   prehead = column name prefix for head line.\n");
    std::fprintf(out, "   rowpre  = row prefix string for each line.\n");
    std::fprintf(out, "   rowsuf  = row sufix string for each line.\n");
    std::fprintf(out, "   colsep  = separator string between column name and value.\n");
    std::fprintf(out, "   presql  = SQL or scripts to be executed before data unload.\n");
    std::fprintf(out, "   postsql = SQL or scripts to be executed after data unload.\n");
    std::fprintf(out, "   split   = table name for automatically parallelization.\n");
    std::fprintf(out, "   tables  = tables to unload, %%n in file= (T1,SALES_%%,-SALES_TMP; %% all).\n");
    std::fprintf(out, "   degree  = parallelize data copy degree (2-128).\n");
    std::fprintf(out, "   snapshot= one point in time for every parallel worker (YES|NO).\n");
    std::fprintf(out, "   hint    = MySQL SQL hint for the Insert, for example IGNORE.\n");
    std::fprintf(out, "   unique  = Unique Column List for the MySQL target table.\n");
    std::fprintf(out, "   update  = Enable MySQL ON DUPLICATE SQL statement(YES/NO).\n");
    std::fprintf(out, "   crack   = The crack key for the content protection.\n");
    std::fprintf(out, "   uncrack = The uncrack key for the content protection.\n");
    std::fprintf(out, "   level   = compression level of .gz (1-12, default 6) or .zst (1-19, default 3).\n");
    std::fprintf(out, "   zthreads= compressing threads: .zst 0-64 (default 1), .gz 1-8 (default 2).\n");
    std::fprintf(out, "   badchar = text=JSON, bytes that are not UTF-8: ERROR or REPLACE.\n");
    std::fprintf(out, "   status  = live status line on stderr (YES|NO|AUTO, AUTO: when a terminal).\n");
    std::fprintf(out, "   manifest= JSON manifest of the run: pieces, files, rows, CRC-32.\n");
    std::fprintf(out, "   resume  = redo the manifest's unfinished pieces (NO|YES|NEW, NEW: new snapshot).\n");
    std::fprintf(out, "   plan    = write the manifest's plan only, unload nothing (YES|NO).\n");
    std::fprintf(out, "   pieces  = the manifest's pieces to unload (1-4,9).\n");
    std::fprintf(out, "   join    = manifests of one plan to join into manifest= (a.json,b.json).\n");
  }
  std::fprintf(out, "\n");
  std::fprintf(out, "  for field and record, you can use '0x' to specify hex character code,\n");
  std::fprintf(out,
               "  \\r=0x%02x \\n=0x%02x |=0x%0x ,=0x%02x, \\t=0x%02x, :=0x%02x, #=0x%02x, \"=0x%02x "
               "'=0x%02x \n",
               13, 10, 124, 44, 9, 58, 35, 34, 39);
  std::fprintf(out, "\n");
}

int unscramble_file(const char* file_name, const char* key, FILE* out, FILE* err) {
  FILE* in = nullptr;
  if (!open_named_input(file_name, "rb", &in)) {
    std::fprintf(err, kMsgCannotOpenScrambled, file_name, std::strerror(errno));
    return 1;
  }

  // The last 1 to 8 bytes of the input stay plain, and only the end of input
  // tells which they are: every round keeps back the bytes after the last
  // 8-byte boundary strictly below the fill (1 to 8 of them), so that what
  // is written is always whole words that certainly have more bytes behind.
  std::unique_ptr<unsigned char[]> buf(new unsigned char[kScrambleChunk + 8]);
  size_t fill = 0;
  bool write_failed = false;
  for (;;) {
    size_t got = std::fread(buf.get() + fill, 1, kScrambleChunk, in);
    if (got == 0) break;
    fill += got;
    size_t n = ((fill - 1) / 8) * 8;
    scramble_words(buf.get(), n, reinterpret_cast<const unsigned char*>(key));
    if (std::fwrite(buf.get(), 1, n, out) != n || std::fflush(out) != 0) {
      write_failed = true;
      break;
    }
    std::memmove(buf.get(), buf.get() + n, fill - n);
    fill -= n;
  }
  int status = 0;
  if (!write_failed && std::ferror(in)) {
    std::fprintf(err, kMsgCannotReadScrambled, file_name, std::strerror(errno));
    status = 1;
  } else if (write_failed || (fill > 0 && std::fwrite(buf.get(), 1, fill, out) != fill) ||
             std::fflush(out) != 0) {
    std::fprintf(err, kMsgCannotWriteUnscrambled, file_name, std::strerror(errno));
    status = 1;
  }
  close_input(in);
  return status;
}

namespace {

// Whether the login names a user that logs in with a password of its own
// but holds none: not "/" (operating-system authentication, also -si), not
// SYS, not the embedded engine (which checks none).
bool login_wants_password(const char* login) {
  const LoginSpans spans = scan_login(login);
  if (spans.user_len == 0 || spans.password_len > 0) return false;
  if (spans.user_len == 3 && equals_ignoring_case(login, "sys", 3)) return false;
  return !login_is_embedded(login);
}

// Puts a password into a login that has none: from the environment
// variable ROWVANE_PASSWORD, or else, when standard input is a terminal,
// typed at a prompt without echo. Returns 0 (also when there is no source),
// or 1 after one line when the password cannot be used.
int fill_password(UnloadJob* job, FILE* out) {
  if (!login_wants_password(job->user)) return 0;
  char typed[kUserMax + 1] = "";
  const char* password = std::getenv(kPasswordVariable);
  if (password == nullptr || *password == '\0') {
    if (!stdin_is_terminal()) return 0;
    if (read_secret_line("Password: ", typed, sizeof typed) != 0) {
      std::fprintf(out, kMsgNoPassword);
      return 1;
    }
    password = typed;
  }
  // The login text is split at "@" and quotes: a password holding either
  // would be read as something else.
  int status = 0;
  const LoginSpans spans = scan_login(job->user);
  const size_t tail = std::strlen(job->user) - spans.connect_start;
  const size_t length = spans.user_len + 1 + std::strlen(password) + (tail > 0 ? 1 + tail : 0);
  if (std::strpbrk(password, "@\"") != nullptr) {
    std::fprintf(out, kMsgPasswordForbidden, kPasswordVariable);
    status = 1;
  } else if (length > kUserMax) {
    std::fprintf(out, kMsgLoginPasswordTooLong, kUserMax);
    status = 1;
  } else {
    std::string login(job->user, spans.user_len);
    login += '/';
    login += password;
    if (tail > 0) login += '@' + std::string(job->user + spans.connect_start);
    set_text(job->user, sizeof job->user, login.c_str(), kUserMax);
    std::fill(login.begin(), login.end(), '\0');
  }
  std::memset(typed, 0, sizeof typed);
  return status;
}

}  // namespace

int driver_main(int argc, char** argv) {
  // The record is about 50 KB; keep it off the stack.
  std::unique_ptr<UnloadJob> holder(new UnloadJob);
  UnloadJob* job = holder.get();
  bool version = false;
  if (prepare_job(argc, argv, job, stdout, &version) != 0) return kResultUsage;

  if (version) {
    std::printf("rowvane %s\n", ROWVANE_VERSION);
    return kResultOk;
  }
  if (job->help) {
    print_usage(true, stdout);
    return kResultOk;
  }
  if (job->crypt) {
    if (fill_password(job, stdout) != 0) return kResultUsage;
    print_encrypted_login(*job, stdout);
    return kResultUsage;
  }
  if (job->uncrack[0] != '\0') {
    set_stdout_binary();
    return unscramble_file(job->file, job->uncrack, stdout, stderr);
  }
  decode_login(job);
  // The manifest's keywords mean nothing without it.
  const struct {
    const char* keyword;
    bool given;
  } manifest_keywords[] = {{"resume", job->resume != kResumeNo},
                           {"plan", job->plan != 0},
                           {"pieces", job->pieces[0] != '\0'},
                           {"join", job->join[0] != '\0'}};
  for (const auto& k : manifest_keywords) {
    if (k.given && job->manifest[0] == '\0') {
      std::printf(kMsgManifestNeeded, k.keyword);
      return kResultUsage;
    }
  }
  if (job->join[0] != '\0') {
    DbSession session;
    session_init(&session);
    const int joined = join_manifests(*job, &session);
    close_session(&session);
    return joined;
  }
  if (job->query[0] == '\0' && job->split[0] == '\0' && job->tables[0] == '\0') {
    print_usage(false, stdout);
    return kResultUsage;
  }
  if (fill_password(job, stdout) != 0) return kResultUsage;

  // The driver's own session checks the login and resolves the character
  // sets; a failure's text has already reached standard output once.
  DbSession session;
  session_init(&session);
  if (job->query[0] == '\0' && job->tables[0] == '\0' && job->degree <= 1) {
    // split= names the table of a parallel unload; run once, there is no
    // statement to run.
    session_message(&session, kMsgSplitNeedsDegree);
    return kResultUsage;
  }
  if (connect_session(&session, job->user) != 0) {
    close_session(&session);
    return kResultUsage;
  }
  if (job->charset[0] != '\0') {
    job->charset_id = charset_id(&session, job->charset);
  }
  uint16_t national = job->ncharset_id;
  if (job->ncharset[0] != '\0') {
    national = charset_id(&session, job->ncharset);
  }
  job->ncharset_id = national != 0 ? national : job->charset_id;

  // The counters live as long as the run; job copies share them. They feed
  // the summary that ends every run, and the live status line when it is
  // asked for or standard error is a terminal.
  RunCounters counters;
  job->counters = &counters;
  std::unique_ptr<StatusLine> status_line;
  if (job->status == kStatusYes || (job->status == kStatusAuto && stderr_is_terminal())) {
    status_line.reset(new (std::nothrow) StatusLine(&counters, stderr));
    counters.estimate = status_line != nullptr;
    if (status_line && job->message_callback == nullptr) {
      // Messages to a terminal's standard output blank the line first.
      job->message_callback = status_line_message;
      session.callback = status_line_message;
    }
  }
  int status;
  const bool single = job->tables[0] == '\0' && !(job->degree > 1 && job->split[0] != '\0');
  if (job->tables[0] != '\0') {
    status = run_many_tables(job, &session);
  } else if (!single) {
    status = run_parallel_unload(job, &session);
  } else if (job->manifest[0] != '\0') {
    status = run_statement_with_manifest(job, &session);
  } else {
    status = run_job(job);
  }
  if (status_line) {
    status_line->finish();
    if (job->message_callback == status_line_message) job->message_callback = nullptr;
    session.callback = default_message_callback;
  }
  // One summary for the whole run, after the status line has ended.
  report_run_end(*job, status, single);
  job->counters = nullptr;
  close_session(&session);
  return status;
}

}  // namespace rowvane
