// Real loaders reading the program's output: a scratch PostgreSQL cluster
// and a MariaDB server, each started at most once per test executable (on
// the first test that asks for it) under a folder in /tmp, and stopped when
// the executable ends.
//
// The servers refuse to run as root, so under root they run as the
// `postgres` and `mysql` users (through runuser); the clients (psql, mariadb)
// run as the test itself. Neither server listens on TCP: PostgreSQL has no
// listen address, MariaDB runs with skip-networking; both use a unix socket
// in the scratch folder.
//
// Stopping does not depend on the test ending well: a watcher process,
// detached from the test (its own session, parent init), holds the read end
// of a pipe whose write end only the test holds. When the test closes it or
// dies in any way, the watcher runs the folder's stop.sh, which stops every
// server started so far and removes the folder.
//
// A server that cannot start skips the test with a clear line; with CI=true
// in the environment it fails the test instead (PEER_REQUIRE_*).
//
// Executables named peer_*_test run as one ctest entry each (not one per
// test case), so the servers start once for all their cases.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "process_support.h"

namespace rvpeer {

inline bool in_ci() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::strcmp(ci, "true") == 0;
}

inline std::string find_program(const std::string& name) {
  for (const char* dir : {"/usr/lib/postgresql/15/bin", "/usr/local/bin", "/usr/bin", "/usr/sbin", "/bin",
                          "/sbin"}) {
    std::string path = std::string(dir) + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

using rvtest::sh_quote;

struct Server {
  bool tried = false;
  bool up = false;
  std::string why;  // why it did not start
};

class Peers {
 public:
  static Peers& get() {
    static Peers peers;
    return peers;
  }

  // Starts the server on first use; false (with why()) when it cannot run.
  bool postgres() {
    if (!pg_.tried) start_postgres();
    return pg_.up;
  }
  bool mariadb() {
    if (!my_.tried) start_mariadb();
    return my_.up;
  }
  const std::string& postgres_why() const { return pg_.why; }
  const std::string& mariadb_why() const { return my_.why; }

  // Runs a SQL script through psql (database postgres, stop at the first
  // error, unaligned tuples only: one row per line, fields joined by "|").
  // The script may use \copy, which reads files as the test's user.
  rvproc::Proc psql(const std::string& script) {
    return rvproc::run_binary(find_program("psql"),
                              {"-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h", dir_ + "/pg", "-p",
                               "5432", "-U", "postgres", "-d", "postgres", "-f", "-"},
                              "", script.empty() ? ";" : script);
  }

  // Runs a SQL script through the mariadb client in database `peer`, with
  // LOAD DATA LOCAL allowed, rows as tab-separated lines without a head.
  rvproc::Proc mariadb_sql(const std::string& script) {
    return rvproc::run_binary(find_program("mariadb"),
                              {"--no-defaults", "-S", dir_ + "/my/sock", "-u", "root", "--local-infile=1",
                               "--default-character-set=utf8mb4", "-N", "-B", "peer"},
                              "", script.empty() ? ";" : script);
  }

  ~Peers() { stop_all(); }

  // Closes the watcher's pipe and waits until it has stopped the servers.
  void stop_all() {
    if (watch_fd_ < 0) return;
    (void)!write(watch_fd_, "end", 3);
    close(watch_fd_);
    watch_fd_ = -1;
    // The watcher is not our child; wait for its pid to vanish.
    for (int i = 0; i < 600 && kill(watcher_, 0) == 0; ++i) usleep(100 * 1000);
  }

 private:
  Peers() = default;

  // "runuser -u USER -- " when running as root, else nothing.
  static std::string as_user(const std::string& user) {
    if (geteuid() != 0) return "";
    std::string runuser = find_program("runuser");
    return runuser.empty() ? "false " : runuser + " -u " + user + " -- ";
  }
  static std::string owner_cmd(const std::string& user, const std::string& path) {
    return geteuid() == 0 ? "chown -R " + user + " " + sh_quote(path) + " && " : "";
  }

  int sh(const std::string& cmd) { return std::system(cmd.c_str()); }
  std::string tail_of(const std::string& path) {
    std::string text = rvtest::read_file(path);
    return text.size() > 600 ? text.substr(text.size() - 600) : text;
  }
  void add_stop(const std::string& line) {
    std::ofstream out(dir_ + "/stop.sh", std::ios::app);
    out << line << "\n";
  }

  // The scratch folder and the watcher, once.
  bool ensure_folder(Server& s) {
    if (!dir_.empty()) return true;
    char tmpl[] = "/tmp/rv-peers-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
      s.why = std::string("cannot make a folder in /tmp: ") + std::strerror(errno);
      return false;
    }
    dir_ = tmpl;
    chmod(dir_.c_str(), 0755);
    // stop.sh ends by removing the folder; the server lines go before it.
    rvtest::write_file(dir_ + "/stop.sh", "cd /\n");
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      s.why = "pipe failed";
      return false;
    }
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
      s.why = "pipe failed";
      return false;
    }
    pid_t child = fork();
    if (child == 0) {
      setsid();
      pid_t grandchild = fork();
      if (grandchild == 0) {
        signal(SIGINT, SIG_IGN);
        signal(SIGHUP, SIG_IGN);
        signal(SIGTERM, SIG_IGN);
        dup2(fds[0], 0);
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        pid_t me = getpid();
        (void)!write(ready[1], &me, sizeof me);
        // A test that ended normally writes "end" before closing; after
        // a crash a set-up step (initdb, mariadb-install-db) may still be
        // writing, so the folder is removed once more a little later.
        std::string q = sh_quote(dir_);
        std::string script = "end=$(cat); sh " + q + "/stop.sh; rm -rf " + q +
                             "; [ \"$end\" = end ] || { sleep 10; rm -rf " + q + "; }";
        execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        _exit(127);
      }
      _exit(grandchild > 0 ? 0 : 1);
    }
    close(fds[0]);
    close(ready[1]);
    if (child > 0) waitpid(child, nullptr, 0);
    if (read(ready[0], &watcher_, sizeof watcher_) != sizeof watcher_) watcher_ = -1;
    close(ready[0]);
    watch_fd_ = fds[1];
    if (watcher_ <= 0) {
      s.why = "the watcher process did not start";
      return false;
    }
    return true;
  }

  void start_postgres() {
    pg_.tried = true;
    if (!ensure_folder(pg_)) return;
    std::string initdb = find_program("initdb"), pg_ctl = find_program("pg_ctl");
    if (initdb.empty() || pg_ctl.empty() || find_program("psql").empty()) {
      pg_.why = "PostgreSQL 15 programs not found (scripts/setup.sh installs them)";
      return;
    }
    // Logs written by the test's shell stay apart from those the server
    // user writes itself.
    std::string home = dir_ + "/pg", data = home + "/data", log = dir_ + "/initdb.log",
                server_log = home + "/server.log";
    mkdir(home.c_str(), 0755);
    std::string user = as_user("postgres");
    if (sh(owner_cmd("postgres", home) + user + sh_quote(initdb) + " -D " + sh_quote(data) +
           " -A trust -U postgres -E UTF8 --no-locale --no-sync >" + sh_quote(log) + " 2>&1") != 0) {
      pg_.why = "initdb failed: " + tail_of(log);
      return;
    }
    add_stop(user + sh_quote(pg_ctl) + " -D " + sh_quote(data) + " -m immediate -w stop >/dev/null 2>&1");
    std::string opts = "-k " + home + " -c listen_addresses= -p 5432 -F";
    if (sh(user + sh_quote(pg_ctl) + " -D " + sh_quote(data) + " -l " + sh_quote(server_log) + " -w -t 60 -o " +
           sh_quote(opts) + " start >/dev/null 2>&1") != 0) {
      pg_.why = "the PostgreSQL server did not start: " + tail_of(server_log);
      return;
    }
    rvproc::Proc p = psql("SELECT 1;");
    if (p.status != 0) {
      pg_.why = "psql cannot reach the scratch cluster: " + p.err;
      return;
    }
    pg_.up = true;
  }

  void start_mariadb() {
    my_.tried = true;
    if (!ensure_folder(my_)) return;
    std::string install = find_program("mariadb-install-db"), server = find_program("mariadbd");
    if (install.empty() || server.empty() || find_program("mariadb").empty()) {
      my_.why = "MariaDB programs not found (scripts/setup.sh installs them)";
      return;
    }
    std::string home = dir_ + "/my", data = home + "/data", log = dir_ + "/install-db.log",
                server_log = home + "/server.log", pid = home + "/pid";
    mkdir(home.c_str(), 0755);
    std::string user = as_user("mysql");
    std::string common = " --no-defaults --datadir=" + sh_quote(data);
    if (sh(owner_cmd("mysql", home) + user + sh_quote(install) + common +
           " --auth-root-authentication-method=normal --skip-test-db >" + sh_quote(log) + " 2>&1") != 0) {
      my_.why = "mariadb-install-db failed: " + tail_of(log);
      return;
    }
    add_stop("p=$(cat " + sh_quote(pid) + " 2>/dev/null); [ -n \"$p\" ] && kill \"$p\" && "
             "for i in $(seq 1 300); do kill -0 \"$p\" 2>/dev/null || break; sleep 0.1; done");
    if (sh(user + sh_quote(server) + common + " --socket=" + sh_quote(home + "/sock") +
           " --pid-file=" + sh_quote(pid) + " --log-error=" + sh_quote(server_log) +
           " --skip-networking --local-infile=1 --skip-log-bin --innodb-buffer-pool-size=16M"
           " --character-set-server=utf8mb4 </dev/null >/dev/null 2>&1 &") != 0) {
      my_.why = "mariadbd could not be launched";
      return;
    }
    // Up when the client gets through; the database `peer` is made then.
    for (int i = 0; i < 300; ++i) {
      rvproc::Proc p = rvproc::run_binary(find_program("mariadb"),
                                          {"--no-defaults", "-S", home + "/sock", "-u", "root", "-N", "-B"}, "",
                                          "CREATE DATABASE IF NOT EXISTS peer;");
      if (p.status == 0) {
        my_.up = true;
        return;
      }
      usleep(100 * 1000);
    }
    my_.why = "the MariaDB server did not answer within 30 s: " + tail_of(server_log);
  }

  Server pg_, my_;
  std::string dir_;
  int watch_fd_ = -1;
  pid_t watcher_ = -1;
};

// Stops the servers when the test executable ends normally.
class PeerEnvironment : public ::testing::Environment {
 public:
  void TearDown() override { Peers::get().stop_all(); }
};
inline ::testing::Environment* const peer_environment =
    ::testing::AddGlobalTestEnvironment(new PeerEnvironment);

}  // namespace rvpeer

// Skips (outside CI) or fails (CI=true) the test when the server cannot run.
#define PEER_REQUIRE(server, name)                                                                \
  do {                                                                                            \
    if (!rvpeer::Peers::get().server()) {                                                        \
      if (rvpeer::in_ci()) FAIL() << name " could not start: " << rvpeer::Peers::get().server##_why(); \
      GTEST_SKIP() << name " could not start, test skipped: " << rvpeer::Peers::get().server##_why(); \
    }                                                                                             \
  } while (0)
#define PEER_REQUIRE_POSTGRES() PEER_REQUIRE(postgres, "PostgreSQL")
#define PEER_REQUIRE_MARIADB() PEER_REQUIRE(mariadb, "MariaDB")
