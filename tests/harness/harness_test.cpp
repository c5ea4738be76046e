// The harness's own logic: the launcher words it takes from CMake, the
// launch it makes of them, and the error lines it counts.

#include "job_checks.hpp"
#include "job_launch.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace pairdot_harness; // NOLINT(google-build-using-namespace)
using Words = std::vector<std::string>;

TEST(Harness, LauncherWordsGiveTheCountAndThePreflags) {
  const struct {
    Words words;
    int np;
    const char *command; // nullptr: refused
    Words extra;
  } rows[] = {
      {{}, 1, "", {}},
      {{"mpiexec", "-n", "3"}, 3, "mpiexec", {}},
      {{"mpiexec", "-np", "2", "--bind-to", "none"}, 2, "mpiexec", {"--bind-to", "none"}},
      {{"mpiexec", "--np", "8", "-x"}, 8, "mpiexec", {"-x"}},
      {{"mpiexec", "-n", "3"}, 2, nullptr, {}},
      {{"mpiexec", "-n", "03"}, 3, nullptr, {}},
      {{"mpiexec", "--map-by", "2"}, 2, nullptr, {}},
      {{"mpiexec", "-n"}, 1, nullptr, {}},
      {{"mpiexec"}, 1, nullptr, {}},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.words));
    if (row.command == nullptr) {
      EXPECT_THROW(split_launcher_words(row.words, row.np), UsageError);
      continue;
    }
    const LauncherWords words = split_launcher_words(row.words, row.np);
    EXPECT_EQ(words.command, row.command);
    EXPECT_EQ(words.extra, row.extra);
  }
}

TEST(Harness, TheLaunchCarriesCountFormAndPreflags) {
  JobOptions options;
  options.np = 4;
  options.program = "prog";
  options.program_args = {"--sizes", "8"};
  options.form = "merged";
  const LauncherWords words{"L", {"--pre"}};
  const Words count{"-n", "4"};
  for (const auto *launcher :
       {&pairdot_launch::hydra_launcher(), &pairdot_launch::open_mpi_launcher()}) {
    SCOPED_TRACE(launcher->name());
    const Words argv = launcher->command_line(job_launch(options, words, *launcher));
    EXPECT_EQ(Words(argv.begin(), argv.begin() + 2), (Words{"L", "--pre"}));
    EXPECT_NE(std::search(argv.begin(), argv.end(), count.begin(), count.end()), argv.end());
    EXPECT_EQ(Words(argv.end() - 3, argv.end()), (Words{"prog", "--sizes", "8"}));
  }
  EXPECT_EQ(output_form("files"), pairdot_launch::OutputForm::files);
  EXPECT_EQ(output_form("tagged"), pairdot_launch::OutputForm::tagged);
  EXPECT_EQ(output_form("merged"), pairdot_launch::OutputForm::merged);
}

TEST(Harness, ErrorLinesCountAloneOrAfterARankTag) {
  const std::string message = "pairdot: rank 1: could not write standard output";
  const struct {
    std::string text;
    int said;
  } rows[] = {
      {message + "\n", 1},
      {"[1] " + message + "\n", 1},
      {"[1,1]<stderr>:" + message + "\n", 1},
      {message + "\nother\n" + message + "\n", 2},
      {"pairdot: rank 11: could not write standard output\n", 0},
      {"x" + message + "\n", 0},
      {message + " again\n", 0},
      {"", 0},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(lines_saying(row.text, message), row.said) << row.text;
  }
}

} // namespace
