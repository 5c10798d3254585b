// The console driver: arguments, parameter files, binds, SQL text, usage
// text and unscrambling, in-process and as the program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cli/driver.h"
#include "cli/status_line.h"
#include "config/job.h"
#include "crypto/login_cipher.h"
#include "process_support.h"
#include "test_support.h"

using namespace rowvane;

namespace {

// Runs prepare_job on the given arguments; what it prints lands in *printed.
int prepare(const std::vector<std::string>& args, UnloadJob* job, std::string* printed = nullptr) {
  std::vector<std::string> owned = {"rowvane"};
  owned.insert(owned.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : owned) argv.push_back(a.data());
  argv.push_back(nullptr);
  FILE* out = std::tmpfile();
  int rc = prepare_job(static_cast<int>(owned.size()), argv.data(), job, out);
  std::rewind(out);
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, out)) > 0) text.append(buf, n);
  std::fclose(out);
  if (printed) *printed = text;
  return rc;
}

struct Job {
  UnloadJob j;
  UnloadJob* operator->() { return &j; }
};

std::string read_only_file(const std::string& dir, const std::string& name, const std::string& content) {
  std::string path = dir + "/" + name;
  rvtest::write_file(path, content);
  chmod(path.c_str(), 0444);
  return path;
}

// Scrambles by the output rule: every 8-byte word XORed with the key except
// the last 1 to 8 bytes of the stream.
std::string scramble(const std::string& plain, const unsigned char key[8]) {
  std::string s = plain;
  size_t words = s.size() <= 8 ? 0 : (s.size() + 7) / 8 - 1;
  for (size_t w = 0; w < words; ++w) {
    for (size_t j = 0; j < 8; ++j) s[w * 8 + j] = static_cast<char>(s[w * 8 + j] ^ key[j]);
  }
  return s;
}

std::string sample_bytes(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 12345;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 16);
  }
  return s;
}

std::string usage_text(bool help) {
  std::string t = "\n" + std::string(banner_line(0)) + "\n" + banner_line(1) + "\n\n" + banner_line(2) +
                  "\n\n"
                  "Usage: ROWVANE keyword=value [,keyword=value,...]\n"
                  "\n"
                  "Valid Keywords:\n"
                  "   user    = username/password@tnsname\n"
                  "   sql     = SQL file name\n"
                  "   query   = select statement\n"
                  "   field   = separator string between fields\n"
                  "   record  = separator string between records\n"
                  "   rows    = print progress for every given rows (default, 1000000) \n"
                  "   file    = output file name (default: vanedata_%p.txt)\n"
                  "   lobfile = output file name for lob LLS storage (default: none)\n"
                  "   log     = log file name, prefix with + to append mode\n"
                  "   fast    = auto tuning the session level parameters(YES)\n"
                  "   text    = output type (MYSQL, CSV, MYSQLINS, ORACLEINS, FORM, SEARCH).\n"
                  "   charset = character set name of the target database.\n"
                  "   ncharset= national character set name of the target database.\n"
                  "   parfile = read command option from parameter file \n";
  if (help) {
    t += "   read    = set DB_FILE_MULTIBLOCK_READ_COUNT at session level\n"
         "   sort    = set SORT_AREA_SIZE at session level (UNIT:MB) \n"
         "   hash    = set HASH_AREA_SIZE at session level (UNIT:MB) \n"
         "   array   = array fetch size\n"
         "   head    = print row header(Yes|No)\n"
         "   batch   = save to new file for every rows batch (Yes/No)\n"
         "   size    = maximum output file piece size (UNIB:MB)\n"
         "   serial  = set _serial_direct_read to TRUE at session level\n"
         "   trace   = set event 10046 to given level at session level\n"
         "   table   = table name in the sqlldr control file\n"
         "   control = sqlldr control file and path.\n"
         "   mode    = sqlldr option, INSERT or APPEND or REPLACE or TRUNCATE \n"
         "   buffer  = sqlldr READSIZE and BINDSIZE, default 16 (MB)\n"
         "   long    = maximum long field size\n"
         "   width   = customized max column width (w1:w2:...) \n"
         "   quote   = optional quote string \n"
         "   data    = disable real data unload (NO, OFF) \n"
         "   alter   = alter session SQLs to be execute before unload \n"
         "   safe    = use large buffer to avoid ORA-24345 error (Yes|No) \n"
         "   crypt   = encrypted user information only (Yes|No) \n"
         "   sedf/t  = enable character translation function \n"
         "   null    = replace null with given value \n"
         "   escape  = escape character for special characters\n"
         "   escf/t  = escape from/to characters list \n"
         "   format  = MYSQL: MySQL Insert SQLs, SQL: Insert SQLs.\n"
         "   exec    = the command to execute the SQLs.\n"
         "   prehead = column name prefix for head line.\n"
         "   rowpre  = row prefix string for each line.\n"
         "   rowsuf  = row sufix string for each line.\n"
         "   colsep  = separator string between column name and value.\n"
         "   presql  = SQL or scripts to be executed before data unload.\n"
         "   postsql = SQL or scripts to be executed after data unload.\n"
         "   split   = table name for automatically parallelization.\n"
         "   tables  = tables to unload, %n in file= (T1,SALES_%,-SALES_TMP; % all).\n"
         "   degree  = parallelize data copy degree (2-128).\n"
         "   snapshot= one point in time for every parallel worker (YES|NO).\n"
         "   hint    = MySQL SQL hint for the Insert, for example IGNORE.\n"
         "   unique  = Unique Column List for the MySQL target table.\n"
         "   update  = Enable MySQL ON DUPLICATE SQL statement(YES/NO).\n"
         "   crack   = The crack key for the content protection.\n"
         "   uncrack = The uncrack key for the content protection.\n"
         "   level   = compression level of .gz (1-12, default 6) or .zst (1-19, default 3).\n"
         "   zthreads= compressing threads: .zst 0-64 (default 1), .gz 1-8 (default 2).\n"
         "   badchar = text=JSON, bytes that are not UTF-8: ERROR or REPLACE.\n"
         "   status  = live status line on stderr (YES|NO|AUTO, AUTO: when a terminal).\n"
         "   manifest= JSON manifest of the run: pieces, files, rows, CRC-32.\n"
         "   resume  = redo the manifest's unfinished pieces (NO|YES|NEW, NEW: new snapshot).\n"
         "   plan    = write the manifest's plan only, unload nothing (YES|NO).\n"
         "   pieces  = the manifest's pieces to unload (1-4,9).\n"
         "   join    = manifests of one plan to join into manifest= (a.json,b.json).\n";
  }
  t += "\n"
       "  for field and record, you can use '0x' to specify hex character code,\n"
       "  \\r=0x0d \\n=0x0a |=0x7c ,=0x2c, \\t=0x09, :=0x3a, #=0x23, \"=0x22 '=0x27 \n"
       "\n";
  return t;
}

}  // namespace

TEST(DriverArguments, LoginFormsAndBinds) {
  Job j;
  ASSERT_EQ(prepare({"scott/tiger@db", "rows=5000"}, &j.j), 0);
  EXPECT_STREQ(j->user, "scott/tiger@db");
  ASSERT_EQ(prepare({"scott/ti=ger@db"}, &j.j), 0);  // a password may hold "="
  EXPECT_STREQ(j->user, "scott/ti=ger@db");
  ASSERT_EQ(prepare({"user=a/b", "-SI"}, &j.j), 0);
  EXPECT_STREQ(j->user, "/");

  std::vector<std::string> args;
  for (int i = 1; i <= 18; ++i) args.push_back(":b" + std::to_string(i) + "=v" + std::to_string(i));
  ASSERT_EQ(prepare(args, &j.j), 0);
  ASSERT_EQ(j->bind_count, 18);
  EXPECT_STREQ(j->binds[17].value, "v18");
  EXPECT_STREQ(j->user, "/");  // a bind argument first is no login

  const std::string long_bind = std::string(":").append(30, 'n').append("=").append(127, 'v');
  ASSERT_EQ(prepare({"rows=5000", ":empty", long_bind, ":a=b=c"}, &j.j), 0);
  ASSERT_EQ(j->bind_count, 3);
  EXPECT_EQ(j->binds[0].value_len, 0);
  EXPECT_EQ(std::string(j->binds[1].name, j->binds[1].name_len), std::string(30, 'n'));
  EXPECT_EQ(std::string(j->binds[1].value, j->binds[1].value_len), std::string(127, 'v'));
  EXPECT_STREQ(j->binds[2].value, "b=c");
}

// Arguments that are no option, and options whose value is refused, stop
// the program before anything runs, with one line naming the argument.
TEST(DriverArguments, WrongArgumentsRefused) {
  std::string dir = rvtest::temp_dir("refused");
  std::string par = read_only_file(dir, "p.par", "rows=2000\nfiel=|\n");
  std::vector<std::string> nineteen;
  for (int i = 1; i <= 19; ++i) nineteen.push_back(":b" + std::to_string(i) + "=v");
  const struct {
    std::vector<std::string> args;
    std::string line;
  } cases[] = {
      {{"user=a/b", "fiel=|"}, "ERROR -- Unknown keyword \"fiel=\" (closest keyword: field)\n"},
      {{"fiel=|"}, "ERROR -- Unknown keyword \"fiel=\" (closest keyword: field)\n"},
      {{"rows=5000", "scott/tiger@db"},
       "ERROR -- Unknown argument \"scott/...\" (a login without user= is taken only as the first "
       "argument)\n"},
      {{"user=a/b", "head=true", "text=XML"},
       "ERROR -- Unknown output type: text=XML (MYSQL, CSV, MYSQLINS, ORACLEINS, FORM, SEARCH, JSON)\n"},
      {{"parfile=" + par},
       "ERROR -- Unknown keyword \"fiel=\" (closest keyword: field) in parameter file : " + par + "\n"},
      {{"query=t", ":=x"}, "ERROR -- Bind argument without a name: :\n"},
      {{"query=t", ":" + std::string(31, 'n') + "=1"},
       "ERROR -- Bind name longer than 30 characters: :" + std::string(31, 'n') + "\n"},
      {{"query=t", ":v=" + std::string(128, 'v')}, "ERROR -- Bind value longer than 127 characters: :v\n"},
      {nineteen, "ERROR -- More than 18 bind arguments: :b19\n"},
  };
  for (const auto& c : cases) {
    Job j;
    std::string printed;
    EXPECT_EQ(prepare(c.args, &j.j, &printed), 1) << c.line;
    EXPECT_EQ(printed, c.line);
  }
  // As the program: exit status 1, nothing run, nothing written.
  rvtest::RunResult r = rvtest::run_program({"user=u/p@sqlite:" + dir + "/none.db", "query=t", "file=out.txt",
                                             "degree=0"}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "ERROR -- Degree out of range: degree=0 (1 to 128)\n");
  EXPECT_FALSE(rvtest::file_exists(dir + "/out.txt"));
}

TEST(DriverParameterFile, ContinuationLinesAndPosition) {
  std::string dir = rvtest::temp_dir("parfile");
  std::string statement = "select '" + std::string(1500, 'x') + "  " + std::string(700, 'y') + "' from t";
  std::string par = read_only_file(dir, "p.par",
                                   "query=select a,\n"
                                   "   b from t\r\n"
                                   "\n"
                                   "   \n"
                                   "rows=3000 \t\r\n"
                                   "array=10\n"
                                   "head=yes");
  Job j;
  std::string printed;
  ASSERT_EQ(prepare({"rows=2000", "parfile=" + par, "array=50"}, &j.j, &printed), 0);
  EXPECT_EQ(printed, "");
  EXPECT_STREQ(j->query, "select a,   b from t");
  EXPECT_EQ(j->rows, 3000u);  // the file overrides what came before it
  EXPECT_EQ(j->array, 50u);   // and what comes after overrides the file
  EXPECT_EQ(j->head, 1);      // a last line without line end counts

  // A long line stays one option, whole.
  std::string long_par = read_only_file(dir, "long.par", "query=" + statement + "\nrows=4000\n");
  ASSERT_EQ(prepare({"PARFILE=" + long_par}, &j.j), 0);
  EXPECT_EQ(std::string(j->query), statement);
  EXPECT_EQ(j->rows, 4000u);
}

TEST(DriverParameterFile, RefusedInputs) {
  std::string dir = rvtest::temp_dir("parfile");
  Job j;
  std::string printed;
  EXPECT_EQ(prepare({"parfile=" + dir + "/missing.par"}, &j.j, &printed), 1);
  EXPECT_EQ(printed, "ERROR -- Cannot open parameter file : " + dir + "/missing.par\n");

  // One option over 32767 characters is refused, not cut.
  std::string huge = read_only_file(dir, "huge.par", "query=select\n" + std::string(33000, ' ') + "x\n");
  EXPECT_EQ(prepare({"parfile=" + huge}, &j.j, &printed), 1);
  EXPECT_NE(printed.find(huge), std::string::npos);

  // query= stores 8191 characters: a longer statement is refused whole.
  std::string longq = read_only_file(dir, "q.par", "query=" + std::string(8192, 'q') + "\n");
  EXPECT_EQ(prepare({"parfile=" + longq}, &j.j, &printed), 1);
  EXPECT_NE(printed.find("8191"), std::string::npos);
  EXPECT_EQ(prepare({"query=" + std::string(8192, 'q')}, &j.j, &printed), 1);
  ASSERT_EQ(prepare({"query=" + std::string(8191, 'q')}, &j.j, &printed), 0);
}

TEST(DriverSqlText, FileAndStandardInput) {
  std::string dir = rvtest::temp_dir("sqltext");
  std::string long_line = "select '" + std::string(3000, 'z') + "' from t";
  std::string sql = read_only_file(dir, "q.sql", "from t\nwhere a = 1\n" + long_line + "\n");
  Job j;
  ASSERT_EQ(prepare({"query=select 1 ", "sql=" + sql}, &j.j), 0);
  EXPECT_EQ(std::string(j->query), "select 1 from t\n where a = 1\n " + long_line + "\n ");

  std::string printed;
  EXPECT_EQ(prepare({"sql=" + dir + "/none.sql"}, &j.j, &printed), 1);
  EXPECT_EQ(printed, "ERROR -- Cannot open SQL file : " + dir + "/none.sql\n");

  const char* cases[][2] = {
      {"select 1\nfrom t\n/\nselect 2\n", "select 1\n from t\n "},
      {"select 1\n/* comment */\nselect 2\n", "select 1\n "},
      {"select 1\nfrom t", "select 1\n from t "},
  };
  for (auto& c : cases) {
    rvtest::write_file(dir + "/stdin.txt", c[0]);
    ASSERT_NE(std::freopen((dir + "/stdin.txt").c_str(), "r", stdin), nullptr);
    ASSERT_EQ(prepare({"sql=-"}, &j.j), 0);
    EXPECT_EQ(std::string(j->query), c[1]);
  }
}

TEST(DriverSqlText, RefusedWhenQueryWouldOverflow) {
  std::string dir = rvtest::temp_dir("sqltext");
  // 8000 characters from query=, then a line of K characters plus one blank.
  std::string fits = read_only_file(dir, "fits.sql", std::string(32767 - 8000 - 1, 'f'));
  std::string over = read_only_file(dir, "over.sql", std::string(32767 - 8000, 'o'));
  Job j;
  ASSERT_EQ(prepare({"query=" + std::string(8000, 'q'), "sql=" + fits}, &j.j), 0);
  EXPECT_EQ(std::strlen(j->query), 32767u);
  std::string printed;
  EXPECT_EQ(prepare({"query=" + std::string(8000, 'q'), "sql=" + over}, &j.j, &printed), 1);
  EXPECT_NE(printed.find(over), std::string::npos);
  EXPECT_EQ(std::strlen(j->query), 8000u);  // nothing of the file went in
}

TEST(Unscramble, RestoresScrambledFilesOfEverySize) {
  std::string dir = rvtest::temp_dir("uncrack");
  char key[32] = {};
  std::strcpy(key, "K3y!");  // shorter than 8: the rest of the key is zero
  char long_key[32] = {};
  std::strcpy(long_key, "0123456789abc");  // only the first 8 bytes count
  for (const char* k : {key, long_key}) {
    for (size_t size : {0, 1, 7, 8, 9, 16, 17, 16383, 16384, 16385, 16392, 16393, 32776, 40000}) {
      std::string plain = sample_bytes(size);
      std::string path = dir + "/s" + std::to_string(size);
      rvtest::write_file(path, scramble(plain, reinterpret_cast<const unsigned char*>(k)));
      FILE* out = std::tmpfile();
      ASSERT_EQ(unscramble_file(path.c_str(), k, out), 0);
      std::rewind(out);
      std::string got;
      char buf[8192];
      size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, out)) > 0) got.append(buf, n);
      std::fclose(out);
      EXPECT_EQ(got.size(), size);
      EXPECT_TRUE(got == plain) << "size " << size << " key " << k;
    }
  }
  FILE* out = std::tmpfile();
  EXPECT_EQ(unscramble_file((dir + "/missing").c_str(), key, out), 1);
  EXPECT_EQ(std::ftell(out), 0);
  std::fclose(out);
}

TEST(DriverProcess, UsageText) {
  rvtest::RunResult r = rvtest::run_program({});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, usage_text(false));

  // Asked for, help is the whole usage text and success, whatever else is
  // given.
  for (const char* ask : {"help=yes", "-h", "--help", "HELP=on"}) {
    r = rvtest::run_program({"user=a/b@c", "query=select 1", ask});
    EXPECT_EQ(r.status, 0) << ask;
    EXPECT_EQ(r.out, usage_text(true)) << ask;
  }
  r = rvtest::run_program({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "rowvane " ROWVANE_VERSION "\n");

  // Whatever else is given, no query and no split means usage.
  r = rvtest::run_program({"user=a/b@c", "rows=5000", "help=no"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, usage_text(false));
}

TEST(DriverProcess, ReadOnlyParameterFile) {
  std::string dir = rvtest::temp_dir("parfile");
  std::string par = read_only_file(dir, "ro.par", "rows=2000\nhelp=\n   yes\n");
  std::string command;
  // Root may write any file; run as an unprivileged user where possible so
  // that the file is truly read-only for the program.
  if (geteuid() == 0 && rvtest::file_exists("/usr/bin/setpriv")) {
    command = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups ";
  }
  command += std::string(ROWVANE_BINARY) + " parfile=" + par + " < /dev/null";
  rvtest::RunResult r = rvtest::run_shell(command);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, usage_text(true));  // help= continued on the next line

  r = rvtest::run_program({"parfile=" + dir + "/none.par", "query=select 1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "ERROR -- Cannot open parameter file : " + dir + "/none.par\n");
}

TEST(DriverProcess, UncrackToStandardOutput) {
  std::string dir = rvtest::temp_dir("uncrack");
  const unsigned char key[8] = {'s', 'e', 'c', 'r', 'e', 't', 0, 0};
  std::string plain = sample_bytes(40000);
  rvtest::write_file(dir + "/data.bin", scramble(plain, key));

  rvproc::Proc r = rvproc::run({"uncrack=secret", "file=data.bin"}, dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out == plain);

  r = rvproc::run({"uncrack=secret", "file=-"}, dir, scramble(plain, key));
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.out == plain);

  // Without file= the default name is tried literally, pattern unexpanded.
  r = rvproc::run({"uncrack=secret"}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "ERROR -- Cannot open file to unscramble : vanedata_%p.txt (No such file or directory)\n");
  rvtest::write_file(dir + "/vanedata_%p.txt", scramble("twenty bytes of text", key));
  r = rvproc::run({"uncrack=secret"}, dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "twenty bytes of text");

  // A full output device: one line, failure.
  r = rvproc::run({"uncrack=secret", "file=data.bin"}, dir, "", 120, "/dev/full");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ERROR -- Cannot write the unscrambled data of data.bin (No space left on device)\n");
}

TEST(DriverProcess, CryptPrintsEncryptedLogin) {
  auto hex_line = [](const std::string& out, size_t digits) {
    if (out.size() != 5 + digits + 1 || out.compare(0, 5, "user=") != 0 || out.back() != '\n') return false;
    for (size_t i = 5; i < 5 + digits; ++i) {
      if (!std::isxdigit(static_cast<unsigned char>(out[i]))) return false;
    }
    return true;
  };
  rvtest::RunResult r = rvtest::run_program({"crypt=yes", "user=scott/tiger"});  // 11 characters
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(hex_line(r.out, 32)) << r.out;

  r = rvtest::run_program({"crypt=yes"});  // no user: "/" is encrypted
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(hex_line(r.out, 16)) << r.out;

  // Too long to encipher whole: one refusal line, nothing of the login.
  std::string login = "longuser/" + std::string(60, 'p');
  r = rvtest::run_program({"crypt=yes", "user=" + login});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.find("pppp"), std::string::npos);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1);
}

TEST(DriverProcess, RunsOnTheEmbeddedEngine) {
  std::string dir = rvtest::temp_dir("driverrun");
  rvtest::sqlite_exec(dir + "/t.db",
                      "create table t(a integer, b text); insert into t values(1,'x'),(2,'y');");
  const std::string login = "u/p@" + rvtest::db_connect(dir + "/t.db");

  // A bare login, a bind, and the statement from standard input.
  rvtest::RunResult r = rvtest::run_program({login, "sql=-", ":v=2", "file=-"}, dir,
                                            "select b from t\nwhere a = :v\n/\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "y\n");

  // degree without split is one single run: piece 1 only.
  r = rvtest::run_program({"user=" + login, "query=select a, b from t", "degree=4", "file=out_%p.txt"}, dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(rvtest::read_file(dir + "/out_1.txt"), "1,x\n2,y\n");
  EXPECT_FALSE(rvtest::file_exists(dir + "/out_2.txt"));

  // The encrypted form of the login works in its place (its two printed
  // lines joined).
  r = rvtest::run_program({"crypt=yes", "user=u/p@sqlite:t.db"});
  ASSERT_EQ(r.status, 1);
  std::string encrypted = r.out;
  encrypted.erase(std::remove(encrypted.begin(), encrypted.end(), '\n'), encrypted.end());
  r = rvtest::run_program({encrypted, "query=select a from t", "file=-"}, dir);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "1\n2\n");
}

// split= names the table of a parallel unload: without degree above 1 and
// without a query there is no statement to run, which one line says.
TEST(DriverProcess, SplitWithoutDegreeOrQueryIsRefused) {
  std::string dir = rvtest::temp_dir("driverrun");
  rvtest::sqlite_exec(dir + "/t.db", "create table t(a integer);");
  rvtest::RunResult r = rvtest::run_program({"user=u/p@sqlite:" + dir + "/t.db", "split=t"}, dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "ERROR -- split= needs degree= above 1; to unload the table once, give it as query=.\n");
}

TEST(DriverProcess, LoginFailureReportedOnce) {
  std::string dir = rvtest::temp_dir("driverrun");
  std::string login = "user=u/p@sqlite:" + dir + "/no/such/dir/x.db";
  rvtest::RunResult r = rvtest::run_program({login, "query=select 1", "file=out.txt"}, dir);
  EXPECT_EQ(r.status, 1);
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  EXPECT_FALSE(rvtest::file_exists(dir + "/out.txt"));
}

// Input without end (a device that never sends a line end) is refused at
// once: reading stops at the length limit instead of holding it all.
TEST(DriverProcess, EndlessInputRefusedAtOnce) {
  std::string dir = rvtest::temp_dir("endless");
  const std::vector<std::string> cases[] = {
      {"parfile=/dev/zero"},
      {"user=u/p@sqlite:" + dir + "/none.db", "sql=/dev/zero"},
      {"parfile=-"},
  };
  for (const auto& args : cases) {
    rvproc::Proc p = rvproc::run(args, dir, args[0] == "parfile=-" ? "query=" + std::string(40000, 'x') : "",
                                 60);
    ASSERT_TRUE(rvproc::ended_cleanly(p)) << args.back();
    EXPECT_EQ(p.status, 1) << args.back();
    EXPECT_EQ(rvproc::count_of(p.out, "\n"), 1u) << p.out.substr(0, 300);
  }
}

namespace {

// The process whose argument list holds `marker`, or 0.
pid_t process_with_argument(const std::string& marker) {
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    const std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (rvtest::read_file(e.path().string() + "/cmdline").find(marker) != std::string::npos) {
      return static_cast<pid_t>(std::stol(name));
    }
  }
  return 0;
}

// The login that an encrypted-login line printed by crypt=yes stands for.
std::string decoded_login(std::string printed) {
  printed.erase(std::remove(printed.begin(), printed.end(), '\n'), printed.end());
  Job j;
  job_defaults(&j.j);
  if (printed.rfind("user=", 0) != 0) return "(not printed) " + printed;
  std::snprintf(j->user, sizeof j->user, "%s", printed.c_str() + 5);
  decode_login(&j.j);
  return j->user;
}

}  // namespace

// While the program runs, its argument list shows neither the password nor
// the scrambling key. The run blocks reading its SQL from a named pipe
// until the test has looked.
TEST(DriverProcess, SecretsLeaveTheArgumentList) {
  std::string dir = rvtest::temp_dir("secrets");
  rvtest::sqlite_exec(dir + "/t.db", "create table t(a integer); insert into t values(7);");
  const std::string fifo = dir + "/statement.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& login : {"user=u/Pw-Sec-1@sqlite:" + dir + "/t.db", std::string("u/Pw-Sec-1@sqlite:t.db")}) {
    rvproc::Proc p;
    std::thread runner([&] { p = rvproc::run({login, "sql=" + fifo, "crack=Key-Sec-2", "file=out.bin"}, dir); });
    const int fd = open(fifo.c_str(), O_WRONLY);  // returns once the program has opened it
    ASSERT_GE(fd, 0);
    const pid_t pid = process_with_argument(fifo);
    const std::string cmdline = pid ? rvtest::read_file("/proc/" + std::to_string(pid) + "/cmdline") : "";
    const std::string statement = "select a from t\n";
    EXPECT_EQ(write(fd, statement.data(), statement.size()), static_cast<ssize_t>(statement.size()));
    close(fd);
    runner.join();
    ASSERT_NE(pid, 0);
    EXPECT_EQ(cmdline.find("Sec-"), std::string::npos) << cmdline;
    EXPECT_NE(cmdline.find("u/********@sqlite:"), std::string::npos) << cmdline;
    EXPECT_EQ(p.status, 0) << p.out;
  }
}

// A login without password takes it from ROWVANE_PASSWORD (seen here in the
// encrypted login crypt=yes prints); a login that needs none never does.
TEST(DriverProcess, PasswordFromTheEnvironment) {
  ASSERT_EQ(setenv("ROWVANE_PASSWORD", "from-env", 1), 0);
  const char* cases[][2] = {
      {"scott@orcl", "scott/from-env@orcl"},
      {"scott@", "scott/from-env"},
      {"scott", "scott"},  // no "/" and no "@": operating-system authentication
      {"scott/given@orcl", "scott/given@orcl"},
      {"sys@orcl", "sys@orcl"},
      {"scott@sqlite:x.db", "scott@sqlite:x.db"},
  };
  for (const auto& c : cases) {
    rvproc::Proc p = rvproc::run({"crypt=yes", std::string("user=") + c[0]});
    EXPECT_EQ(decoded_login(p.out), c[1]) << c[0];
  }
  rvproc::Proc p = rvproc::run({"-si", "crypt=yes"});
  EXPECT_EQ(decoded_login(p.out), "/");

  ASSERT_EQ(setenv("ROWVANE_PASSWORD", "a@b", 1), 0);
  p = rvproc::run({"crypt=yes", "user=scott@orcl"});
  EXPECT_EQ(p.status, 1);
  EXPECT_EQ(p.out, "ERROR -- A password from ROWVANE_PASSWORD or the prompt may not hold @ or \"\n");
  unsetenv("ROWVANE_PASSWORD");
}

// A login without password and a terminal as standard input: the password
// is asked for on the terminal and read without echo.
TEST(DriverProcess, PasswordTypedAtThePromptWithoutEcho) {
  unsetenv("ROWVANE_PASSWORD");
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  const std::string side = ptsname(terminal);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    const int fd = open(side.c_str(), O_RDWR);
    dup2(fd, 0);
    dup2(fd, 2);
    dup2(out[1], 1);
    execl(ROWVANE_BINARY, ROWVANE_BINARY, "crypt=yes", "user=scott@orcl", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  // What the terminal shows: the prompt, then (after the typed line) only
  // the line end.
  auto shown = [&](int seconds) {
    std::string text;
    char buf[256];
    pollfd p = {terminal, POLLIN, 0};
    while (poll(&p, 1, seconds * 1000) > 0) {
      const ssize_t n = read(terminal, buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, static_cast<size_t>(n));
      if (text.find("Password: ") != std::string::npos && seconds > 1) break;
    }
    return text;
  };
  EXPECT_NE(shown(20).find("Password: "), std::string::npos);
  ASSERT_EQ(write(terminal, "typed-pw\n", 9), 9);
  std::string printed;
  char buf[256];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) printed.append(buf, static_cast<size_t>(n));
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(shown(1).find("typed-pw"), std::string::npos);
  close(out[0]);
  close(terminal);
  EXPECT_EQ(decoded_login(printed), "scott/typed-pw@orcl");
}

// status= draws one line on standard error only, ended by a line feed, with
// the final rows and pieces; standard output and the log get nothing of it.
TEST(DriverProcess, StatusLineOnStandardErrorOnly) {
  std::string dir = rvtest::temp_dir("driverstatus");
  rvproc::make_numbered_table(dir + "/t.db", 2500);
  rvproc::make_numbered_table(dir + "/t.db", 40, "U");
  const std::string login = rvproc::login_for(dir + "/t.db");
  const struct {
    std::vector<std::string> args;
    const char* files;  // prefix of the data files, one per piece
    const char* rows;
  } cases[] = {
      {{"query=select * from t", "file=one.txt"}, "one", "2500 rows, "},
      {{"query=select * from t", "file=-"}, nullptr, "2500 rows, "},
      {{"split=T", "degree=3", "file=par_%p.txt"}, "par_", "2500 rows, "},
      {{"tables=%", "degree=2", "file=many_%n_%p.txt", "log=run_%n_%p.log"}, "many_", "2540 rows, "},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), login);
    if (args.back().rfind("log=", 0) != 0) args.push_back("log=run_%p.log");
    SCOPED_TRACE(args[1]);
    rvproc::Proc on = rvproc::run([&] { auto a = args; a.push_back("status=YES"); return a; }(), dir);
    ASSERT_TRUE(rvproc::ended_cleanly(on));
    ASSERT_EQ(on.status, 0) << on.out << on.err;
    size_t pieces = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
      if (c.files && e.path().filename().string().rfind(c.files, 0) == 0) ++pieces;
    }
    if (!c.files) pieces = 1;
    // The last drawing holds the final counts, then the line ends.
    ASSERT_EQ(on.err.substr(0, 1), "\r");
    const std::string last = on.err.substr(on.err.rfind('\r') + 1);
    EXPECT_EQ(last.rfind(c.rows, 0), 0u) << last;
    const std::string n = std::to_string(pieces);
    EXPECT_NE(last.find(" elapsed, pieces " + n + "/" + n), std::string::npos) << last;
    EXPECT_EQ(last.back(), '\n');
    EXPECT_EQ(rvproc::count_of(on.err, "\n"), 1u);
    // The run's summary has a rate too, but no elapsed time.
    EXPECT_EQ(on.out.find("elapsed"), std::string::npos);
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
      if (e.path().extension() == ".log") {
        EXPECT_EQ(rvtest::read_file(e.path().string()).find("elapsed"), std::string::npos);
      }
    }

    rvproc::Proc off = rvproc::run([&] { auto a = args; a.push_back("status=NO"); return a; }(), dir);
    EXPECT_EQ(off.status, 0);
    EXPECT_EQ(off.err, "");
    // Not a terminal: AUTO draws nothing either.
    EXPECT_EQ(rvproc::run(args, dir).err, "");
  }
}

// The ETA needs an estimate above the rows so far, a rate and pieces left;
// durations past a day stay in hours.
// Every run that unloads ends with one summary line (one for a whole
// parallel run): its rows, the bytes of its data files (here uncompressed:
// their sizes) and the files it published, data pieces and control file
// included. With file=- it goes to standard error, never into the records;
// a run refused before it unloads has none.
TEST(DriverProcess, OneSummaryEndsEveryRun) {
  std::string dir = rvtest::temp_dir("driversummary");
  rvproc::make_numbered_table(dir + "/t.db", 2500);
  rvtest::sqlite_exec(dir + "/t.db", "CREATE TABLE L(ID INTEGER PRIMARY KEY, C CLOB);"
                                     "INSERT INTO L SELECT ID, 'clob-' || ID FROM T WHERE ID <= 7;");
  const std::string login = rvproc::login_for(dir + "/t.db");
  const struct {
    std::vector<std::string> args;
    const char* files;  // prefix of the files the run publishes ("": none)
    unsigned rows;
    int status;
  } cases[] = {
      {{"query=T", "file=one_%b.txt", "batch=yes", "rows=1000", "control=one.ctl"}, "one", 2500, 0},
      {{"split=T", "degree=3", "file=par_%p.txt"}, "par_", 2500, 0},
      {{"query=select * from t", "file=-"}, "", 2500, 0},
      {{"query=L", "file=lob.txt", "lobfile=lob.bin", "control=lob.ctl"}, "lob", 7, 0},
      // The empty LOB file is deleted, not published.
      {{"query=select * from t", "file=nolob.txt", "lobfile=nolob.bin"}, "nolob", 2500, 0},
      {{"query=T", "file=x.gz", "level=13"}, nullptr, 0, 1},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), login);
    SCOPED_TRACE(args[1]);
    const rvproc::Proc p = rvproc::run(args, dir);
    ASSERT_TRUE(rvproc::ended_cleanly(p));
    ASSERT_EQ(p.status, c.status) << p.out << p.err;
    if (c.files == nullptr) {
      EXPECT_EQ(p.out.find("Summary"), std::string::npos) << p.out;
      continue;
    }
    unsigned files = 0;
    unsigned long long bytes = *c.files ? 0 : p.out.size();
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
      if (!*c.files || e.path().filename().string().rfind(c.files, 0) != 0) continue;
      ++files;
      if (e.path().extension() == ".txt") bytes += std::filesystem::file_size(e.path());
    }
    const std::string summary = rvtest::summary_line(c.rows, bytes, files);
    const std::string& messages = *c.files ? p.out : p.err;
    EXPECT_EQ(rvproc::count_of(p.out + p.err, "Summary: "), 1u) << p.out << p.err;
    const std::string timeless = rvtest::timeless_summary(messages);
    ASSERT_GE(timeless.size(), summary.size()) << messages;
    EXPECT_EQ(timeless.substr(timeless.size() - summary.size()), summary);
  }
}

TEST(StatusLine, EtaOnlyWhenItMeansSomething) {
  const struct {
    uint64_t rows, expected, ms;
    uint32_t done, all;
    const char* line;
  } cases[] = {
      {1000, 4000, 2000, 0, 2, "1000 rows, 1.0 MB, 500 rows/s, 0:00:02 elapsed, pieces 0/2, ETA 0:00:06"},
      {1000, 0, 2000, 0, 2, "1000 rows, 1.0 MB, 500 rows/s, 0:00:02 elapsed, pieces 0/2"},
      {5000, 4000, 2000, 1, 2, "5000 rows, 1.0 MB, 2500 rows/s, 0:00:02 elapsed, pieces 1/2"},
      {0, 4000, 0, 0, 1, "0 rows, 1.0 MB, 0 rows/s, 0:00:00 elapsed, pieces 0/1"},
      {90000, 0, 90000000, 1, 1, "90000 rows, 1.0 MB, 1 rows/s, 25:00:00 elapsed, pieces 1/1"},
  };
  for (const auto& c : cases) {
    char out[256];
    const size_t n =
        rowvane::format_status_line(out, sizeof out, c.rows, 1048576, c.done, c.all, c.expected, c.ms);
    EXPECT_EQ(std::string(out, n), c.line);
  }
  char tiny[8];
  EXPECT_EQ(rowvane::format_status_line(tiny, sizeof tiny, 1, 1, 1, 1, 0, 1), 7u);
}
