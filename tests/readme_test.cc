// Every example command of the README that runs the program is run here as
// written, through the shell, from a folder holding examples/demo.db built
// from examples/demo.sql, as a user would after scripts/demo.sh.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "process_support.h"
#include "test_support.h"

TEST(Readme, ExampleCommandsRunAsWritten) {
  const std::string program = "build/rowvane ";
  std::vector<std::string> commands;  // lines of code blocks that run the program
  bool in_block = false;
  for (const std::string& line :
       rvproc::lines_of(rvtest::read_file(std::string(ROWVANE_SOURCE_DIR) + "/README.md"))) {
    if (line.rfind("```", 0) == 0) in_block = !in_block;
    if (in_block && line.rfind(program, 0) == 0) commands.push_back(line.substr(program.size()));
  }
  ASSERT_GE(commands.size(), 9u);

  const std::string dir = rvtest::temp_dir("readme");
  mkdir((dir + "/examples").c_str(), 0755);
  rvtest::sqlite_exec(dir + "/examples/demo.db",
                      rvtest::read_file(std::string(ROWVANE_SOURCE_DIR) + "/examples/demo.sql"));
  for (const std::string& command : commands) {
    rvproc::Proc p = rvproc::run_binary("/bin/sh", {"-c", "'" ROWVANE_BINARY "' " + command}, dir);
    ASSERT_TRUE(rvproc::ended_cleanly(p)) << command;
    for (const std::string& line : rvproc::lines_of(p.out)) {
      EXPECT_TRUE(line.rfind("ERROR", 0) != 0 && line.rfind("ORA-", 0) != 0) << command << "\n" << line;
    }
    // crypt=yes prints the login and ends with 1; every other example succeeds.
    const bool crypt = command.find("crypt=yes") != std::string::npos;
    EXPECT_EQ(p.status, crypt ? 1 : 0) << command << "\n" << p.out << p.err;
    EXPECT_FALSE(p.out.empty() && p.err.empty() && command.find("file=-") != std::string::npos) << command;
  }
}
