// Every example command of the README that runs the program is run here as
// written, from a folder holding examples/demo.db built from
// examples/demo.sql, as a user would after scripts/demo.sh.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "process_support.h"
#include "test_support.h"

namespace {

const char kProgram[] = "build/rowvane ";

// The README's example commands: lines of its code blocks, and inline code
// spans, that begin with the program's path.
std::vector<std::string> readme_commands() {
  const std::string text = rvtest::read_file(std::string(ROWVANE_SOURCE_DIR) + "/README.md");
  std::vector<std::string> commands;
  bool in_block = false;
  for (const std::string& line : rvproc::lines_of(text)) {
    if (line.rfind("```", 0) == 0) {
      in_block = !in_block;
    } else if (in_block && line.rfind(kProgram, 0) == 0) {
      commands.push_back(line);
    } else if (!in_block) {
      for (size_t at = line.find(std::string("`") + kProgram); at != std::string::npos;
           at = line.find(std::string("`") + kProgram, at + 1)) {
        const size_t end = line.find('`', at + 1);
        if (end != std::string::npos) commands.push_back(line.substr(at + 1, end - at - 1));
      }
    }
  }
  return commands;
}

// Splits a command as the shell would: blanks separate, quotes group.
std::vector<std::string> shell_words(const std::string& command) {
  std::vector<std::string> words;
  std::string word;
  bool have = false;
  char quote = 0;
  for (char c : command) {
    if (quote != 0) {
      if (c == quote) quote = 0;
      else word += c;
    } else if (c == '"' || c == '\'') {
      quote = c;
      have = true;
    } else if (c == ' ') {
      if (have) words.push_back(word);
      word.clear();
      have = false;
    } else {
      word += c;
      have = true;
    }
  }
  if (have) words.push_back(word);
  return words;
}

}  // namespace

TEST(Readme, ExampleCommandsRunAsWritten) {
  const std::vector<std::string> commands = readme_commands();
  ASSERT_GE(commands.size(), 6u);

  const std::string dir = rvtest::temp_dir("readme");
  mkdir((dir + "/examples").c_str(), 0755);
  rvtest::sqlite_exec(dir + "/examples/demo.db",
                      rvtest::read_file(std::string(ROWVANE_SOURCE_DIR) + "/examples/demo.sql"));

  for (const std::string& command : commands) {
    std::vector<std::string> words = shell_words(command);
    words.erase(words.begin());
    rvproc::Proc p = rvproc::run(words, dir);
    ASSERT_TRUE(rvproc::ended_cleanly(p)) << command;
    for (const std::string& line : rvproc::lines_of(p.out)) {
      EXPECT_TRUE(line.rfind("ERROR", 0) != 0 && line.rfind("ORA-", 0) != 0) << command << "\n" << line;
    }
    // crypt=yes prints the login and ends with 1; every other example succeeds.
    const bool crypt = command.find("crypt=yes") != std::string::npos;
    EXPECT_EQ(p.status, crypt ? 1 : 0) << command << "\n" << p.out;
    if (crypt) {
      EXPECT_EQ(p.out.rfind("user=", 0), 0u) << p.out;
    }
  }
}
