#include "config/driver.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "config/options.h"
#include "crypto/login_cipher.h"
#include "db/session.h"
#include "parallel/workers.h"
#include "platform/file_io.h"
#include "unload/job_runner.h"

namespace rowvane {

namespace {

constexpr size_t kQueryMax = sizeof(UnloadJob::query) - 1;  // 32767
constexpr size_t kQueryOptionMax = 8191;                    // what query= itself stores
constexpr size_t kUserMax = 128;
constexpr size_t kBindTextMax = 256;
constexpr size_t kBindNameMax = 30;
constexpr size_t kBindValueMax = 127;
constexpr size_t kScrambleChunk = 16384;

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

// Reads one whole line, line end included, of any length. Zero bytes are
// kept, so that callers can refuse them: a text cut at one would lose the
// rest of its line, line end included, and join it to the next. False at
// end of input with nothing read.
bool read_line(FILE* f, std::string* line) {
  line->clear();
  int c;
  while ((c = std::getc(f)) != EOF) {
    line->push_back(static_cast<char>(c));
    if (c == '\n') return true;
  }
  return !line->empty();
}

bool has_zero_byte(const std::string& line) { return line.find('\0') != std::string::npos; }

// Applies one option text. A query= value longer than query= can store is
// refused rather than cut, since a cut statement may still run and return
// the wrong rows. Returns set_option's result, or -1 after printing a line.
int apply_option(UnloadJob* job, const char* text, FILE* out) {
  OptionSplit s = split_option_text(text);
  const bool is_query = s.key_len == 5 && equals_ignoring_case(text + s.key_start, "query", 5);
  if (is_query && s.value_len > kQueryOptionMax) {
    std::fprintf(out, "ERROR -- query= text longer than %zu characters, use sql= for it\n", kQueryOptionMax);
    return -1;
  }
  return set_option(job, text);
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

// Collects the :name=value arguments; at most 18 come from the command line.
void collect_binds(UnloadJob* job, int argc, char** argv) {
  for (int i = 1; i < argc && job->bind_count < kMaxCommandLineBinds; ++i) {
    if (argv[i][0] != ':') continue;
    const char* text = argv[i] + 1;
    size_t len = strnlen(text, kBindTextMax);
    if (len == 0) continue;
    const char* eq = static_cast<const char*>(std::memchr(text, '=', len));
    if (eq == text) continue;
    size_t name_len = eq ? static_cast<size_t>(eq - text) : len;
    size_t value_len = eq ? len - name_len - 1 : 0;
    if (name_len > kBindNameMax) name_len = kBindNameMax;
    if (value_len > kBindValueMax) value_len = kBindValueMax;

    BindVar& b = job->binds[job->bind_count++];
    std::memset(b.name, 0, sizeof b.name);
    std::memset(b.value, 0, sizeof b.value);
    std::memcpy(b.name, text, name_len);
    b.name_len = static_cast<int32_t>(name_len);
    if (eq) std::memcpy(b.value, eq + 1, value_len);
    b.value_len = static_cast<int32_t>(value_len);
  }
}

// The client library's id of a character set name; 0 when it is unknown.
uint16_t charset_id(DbSession* s, const char* name) {
  return s->api->OCINlsCharSetNameToId(s->env, reinterpret_cast<const unsigned char*>(name));
}

}  // namespace

int read_parameter_file(UnloadJob* job, const char* file_name, FILE* out) {
  FILE* f = nullptr;
  if (!open_named_input(file_name, "rb", &f)) {
    std::fprintf(out, "ERROR -- Cannot open parameter file : %s\n", file_name);
    return 1;
  }
  // Lines are taken whole: a long line is never cut into separate options.
  std::string option;
  std::string line;
  int status = 0;
  while (status == 0 && read_line(f, &line)) {
    if (has_zero_byte(line)) {
      std::fprintf(out, "ERROR -- Zero byte in parameter file : %s\n", file_name);
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
      if (!option.empty() && apply_option(job, option.c_str(), out) < 0) status = 1;
      option.clear();
    }
    option.append(line, 0, end);
    if (status == 0 && option.size() > kQueryMax) {
      std::fprintf(out, "ERROR -- Option longer than %zu characters in parameter file : %s\n", kQueryMax,
                   file_name);
      status = 1;
    }
  }
  if (status == 0 && !option.empty() && apply_option(job, option.c_str(), out) < 0) status = 1;
  close_input(f);
  return status;
}

int append_sql_text(UnloadJob* job, FILE* out) {
  const bool from_stdin = std::strcmp(job->sql, "-") == 0;
  FILE* f = stdin;
  if (!from_stdin) {
    f = std::fopen(job->sql, "r");
    if (f == nullptr) {
      std::fprintf(out, "ERROR -- Cannot open SQL file : %s\n", job->sql);
      return 1;
    }
  }
  // Each line keeps its line end and is followed by one blank. Standard
  // input ends at a line that begins with "/".
  std::string text;
  std::string line;
  bool zero_byte = false;
  while (read_line(f, &line)) {
    if (from_stdin && line[0] == '/') break;
    if (has_zero_byte(line)) {
      zero_byte = true;
      break;
    }
    text += line;
    text += ' ';
  }
  if (!from_stdin) std::fclose(f);
  if (zero_byte) {
    std::fprintf(out, "ERROR -- Zero byte in SQL file : %s\n", job->sql);
    return 1;
  }

  const size_t have = std::strlen(job->query);
  if (have + text.size() > kQueryMax) {
    std::fprintf(out, "ERROR -- SQL text longer than %zu characters in all : %s\n", kQueryMax, job->sql);
    return 1;
  }
  std::memcpy(job->query + have, text.data(), text.size());
  job->query[have + text.size()] = '\0';
  return 0;
}

int prepare_job(int argc, char** argv, UnloadJob* job, FILE* out) {
  job_defaults(job);

  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strlen(arg) >= 8 && equals_ignoring_case(arg, "parfile=", 8)) {
      if (read_parameter_file(job, arg + 8, out) != 0) return 1;
    } else if (std::strlen(arg) == 3 && equals_ignoring_case(arg, "-si", 3)) {
      set_text(job->user, sizeof job->user, "/", kUserMax);
    } else {
      int known = apply_option(job, arg, out);
      if (known < 0) return 1;
      // A bare first argument that is no keyword is the login.
      if (known == 0 && i == 1) set_text(job->user, sizeof job->user, arg, kUserMax);
    }
  }

  collect_binds(job, argc, argv);

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
    std::fprintf(out, "   degree  = parallelize data copy degree (2-128).\n");
    std::fprintf(out, "   hint    = MySQL SQL hint for the Insert, for example IGNORE.\n");
    std::fprintf(out, "   unique  = Unique Column List for the MySQL target table.\n");
    std::fprintf(out, "   update  = Enable MySQL ON DUPLICATE SQL statement(YES/NO).\n");
    std::fprintf(out, "   crack   = The crack key for the content protection.\n");
    std::fprintf(out, "   uncrack = The uncrack key for the content protection.\n");
  }
  std::fprintf(out, "\n");
  std::fprintf(out, "  for field and record, you can use '0x' to specify hex character code,\n");
  std::fprintf(out,
               "  \\r=0x%02x \\n=0x%02x |=0x%0x ,=0x%02x, \\t=0x%02x, :=0x%02x, #=0x%02x, \"=0x%02x "
               "'=0x%02x \n",
               13, 10, 124, 44, 9, 58, 35, 34, 39);
  std::fprintf(out, "\n");
}

int unscramble_file(const char* file_name, const char* key, FILE* out) {
  FILE* in = nullptr;
  if (!open_named_input(file_name, "rb", &in)) return 1;

  uint64_t key_word;
  std::memcpy(&key_word, key, 8);

  // The last 1 to 8 bytes of the input stay plain, and only the end of input
  // tells which they are: every round keeps back the bytes after the last
  // 8-byte boundary strictly below the fill (1 to 8 of them), so that what
  // is written is always whole words that certainly have more bytes behind.
  std::unique_ptr<unsigned char[]> buf(new unsigned char[kScrambleChunk + 8]);
  size_t fill = 0;
  int status = 0;
  for (;;) {
    size_t got = std::fread(buf.get() + fill, 1, kScrambleChunk, in);
    if (got == 0) break;
    fill += got;
    size_t n = ((fill - 1) / 8) * 8;
    for (size_t i = 0; i < n; i += 8) {
      uint64_t w;
      std::memcpy(&w, buf.get() + i, 8);
      w ^= key_word;
      std::memcpy(buf.get() + i, &w, 8);
    }
    if (std::fwrite(buf.get(), 1, n, out) != n) status = 1;
    std::fflush(out);
    std::memmove(buf.get(), buf.get() + n, fill - n);
    fill -= n;
    if (status != 0) break;
  }
  if (std::ferror(in)) status = 1;
  if (status == 0 && fill > 0 && std::fwrite(buf.get(), 1, fill, out) != fill) status = 1;
  if (std::fflush(out) != 0) status = 1;
  close_input(in);
  return status;
}

int driver_main(int argc, char** argv) {
  // The record is about 50 KB; keep it off the stack.
  std::unique_ptr<UnloadJob> holder(new UnloadJob);
  UnloadJob* job = holder.get();
  if (prepare_job(argc, argv, job, stdout) != 0) return 1;

  if (job->crypt) {
    print_encrypted_login(*job, stdout);
    return 1;
  }
  if (job->uncrack[0] != '\0') {
    set_stdout_binary();
    unscramble_file(job->file, job->uncrack, stdout);
    return 1;
  }
  decode_login(job);
  if (job->query[0] == '\0' && job->split[0] == '\0') {
    print_usage(job->help != 0, stdout);
    return 1;
  }

  // The driver's own session checks the login and resolves the character
  // sets; a failure's text has already reached standard output once.
  DbSession session;
  session_init(&session);
  if (job->query[0] == '\0' && job->degree <= 1) {
    // split= names the table of a parallel unload; run once, there is no
    // statement to run.
    session_message(&session,
                    "ERROR -- split= needs degree= above 1; to unload the table once, give it as query=.\n");
    return 1;
  }
  if (connect_session(&session, job->user) != 0) {
    close_session(&session);
    return 1;
  }
  if (job->charset[0] != '\0') {
    job->charset_id = charset_id(&session, job->charset);
  }
  uint16_t national = job->ncharset_id;
  if (job->ncharset[0] != '\0') {
    national = charset_id(&session, job->ncharset);
  }
  job->ncharset_id = national != 0 ? national : job->charset_id;

  int status;
  if (job->degree > 1 && job->split[0] != '\0') {
    status = run_parallel_unload(job, &session);
  } else {
    status = run_job(job);
  }
  close_session(&session);
  return status;
}

}  // namespace rowvane
