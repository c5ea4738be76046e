#pragma once

// Runs a tool's binary for its command-line tests: files of the test's own,
// and the exit status with what went to each stream.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace cli_run {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

// Per test: the tests of one file may run side by side.
inline std::string temp_path(const std::string &name) {
  return ::testing::TempDir() + "cli_" +
         ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() + "_" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" + name;
}

inline std::string write_file(const std::string &name, const std::string &text) {
  std::string path = temp_path(name);
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

inline std::string read_file(const std::string &path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// Runs a shell command line with standard input from stdin_file.
inline Outcome run_command(const std::string &command, const std::string &stdin_file) {
  const std::string out = temp_path("out");
  const std::string err = temp_path("err");
  const int status = std::system((command + " <" + stdin_file + " >" + out + " 2>" + err).c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out), read_file(err)};
}

} // namespace cli_run
