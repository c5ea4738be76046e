// Runs the pairdot-check binary: exit codes, where messages go, file and
// stdin handling.

#include "job_text.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

std::string temp_path(const std::string &name) { return ::testing::TempDir() + "pc_cli_" + name; }

std::string write_file(const std::string &name, const std::string &text) {
  std::string path = temp_path(name);
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

std::string read_file(const std::string &path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

Outcome run(const std::string &args, const std::string &stdin_file) {
  const std::string out = temp_path("out");
  const std::string err = temp_path("err");
  const std::string command =
      std::string(PAIRDOT_CHECK_BIN) + " " + args + " <" + stdin_file + " >" + out + " 2>" + err;
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out), read_file(err)};
}

TEST(Cli, ExitCodesAndMessages) {
  using namespace job_text;
  const auto streams = rank_streams(random_vectors(4, 3));
  const std::string good = write_file("good", plain(streams, 1));
  const std::string rank0 = write_file("rank0", streams[0]);
  const std::string rank1 = write_file("rank1", streams[1]);
  const std::string bad =
      write_file("bad", replaced(plain(streams, 1), "ProcessX 1", "ProcessX 5"));
  const std::string junk =
      write_file("junk", std::string(1500, '\n') + std::string(3000, 'x') + "\n");
  const std::string many = write_file("many", [] {
    std::string text;
    for (int i = 0; i < 1500; ++i) {
      text += "junk\n";
    }
    return text;
  }());
  const struct {
    std::string args;
    std::string input;
    int status;
    bool on_stdout;
    std::string fragment;
  } rows[] = {
      {"--help", good, 0, true, "usage: pairdot-check [--np N] [FILE...]"},
      {good, good, 0, true, "verified 4 ranks, 2 pairs\n"},
      {"", good, 0, true, "verified 4 ranks, 2 pairs\n"},
      {"--np=4 -", good, 0, true, "verified 4 ranks, 2 pairs\n"},
      {rank0 + " " + rank1, good, 0, true, "verified 2 ranks, 1 pairs\n"},
      {"--np 4 " + rank0 + " " + rank1, good, 1, false, "ranks 2..3 missing"},
      {bad, good, 1, false, bad + ":"},
      {"", bad, 1, false, "<stdin>:"},
      {bad, good, 1, false, "pairdot-check: 3 problems in 6 ranks\n"},
      {many, good, 1, false, "1501 problems in 0 ranks (501 more not listed)\n"},
      {junk, good, 1, false, "line too long (3000 bytes)"},
      {temp_path("absent"), good, 2, false, "cannot read"},
      {::testing::TempDir(), good, 2, false, "cannot read"},
      {"--np", good, 2, false, "--np needs a value"},
      {"--np 0", good, 2, false, "--np wants"},
      {"--np 99999999999", good, 2, false, "--np wants"},
      {"--frob", good, 2, false, "unknown option '--frob'"},
  };
  for (const auto &row : rows) {
    const Outcome result = run(row.args, row.input);
    EXPECT_EQ(result.status, row.status) << row.args << "\n" << result.err;
    const std::string &text = row.on_stdout ? result.out : result.err;
    EXPECT_NE(text.find(row.fragment), std::string::npos) << row.args << ":\n" << text;
    EXPECT_EQ(row.on_stdout ? result.err : result.out, "") << row.args;
  }
  const std::string listed = run(many, good).err; // 1000 problems, then the summary
  EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 1001);
}

} // namespace
