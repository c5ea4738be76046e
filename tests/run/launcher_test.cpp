// The launcher seam: placements in each launcher's syntax, Slurm's node
// counts, and what every launch must carry.

#include "launcher.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using pairdot_run::Launcher;

bool has(const std::vector<std::string> &words, const std::string &word) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

TEST(Launcher, PlacementText) {
  const std::vector<std::string> hosts{"a", "b", "b", "a"};
  EXPECT_EQ(pairdot_run::placement_text(Launcher::mpich, hosts), "a:1\nb:2\na:1\n");
  EXPECT_EQ(pairdot_run::placement_text(Launcher::openmpi, hosts), "a\nb\nb\na\n");
  EXPECT_EQ(pairdot_run::placement_text(Launcher::srun, hosts), "a\nb\nb\na\n");
}

TEST(Launcher, SlurmCounts) {
  const struct {
    const char *text;
    std::vector<int> counts;
  } rows[] = {
      {"2", {2}},
      {"2(x3)", {2, 2, 2}},
      {"4,2(x2),1", {4, 2, 2, 1}},
      {"", {}},
      {"0", {}},
      {"2(x0)", {}},
      {"2(x", {}},
      {"2(3)", {}},
      {"x", {}},
      {"2,,3", {}},
      {"-1", {}},
      {"2(x2)junk", {}},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(pairdot_run::expand_slurm_counts(row.text), row.counts) << row.text;
  }
}

TEST(Launcher, SlurmUnavailableNodes) {
  using Found = std::vector<std::pair<std::string, std::string>>;
  const std::vector<std::string> hosts{"n1", "n2.cluster", "n3"};
  const struct {
    const char *sinfo;
    Found found;
  } rows[] = {
      {"n1 idle\nn2 allocated\nn3 mixed\n", {}},
      {"n1 reserved\nn3 planned\nn9 down\n", {}},
      {"n3 completing\n", {{"n3", "completing"}}},
      {"n2 down*\nn1 idle*\n",
       {{"n2.cluster", "down* (not responding)"}, {"n1", "idle* (not responding)"}}},
      {"n1 drained\nn1 drained\nn3 fail\nn2 idle~\n", {{"n1", "drained"}, {"n3", "fail"}}},
      {"sinfo: error: Unable to contact slurm controller\n", {}},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(pairdot_run::unavailable_nodes(row.sinfo, hosts), row.found) << row.sinfo;
  }
}

TEST(Launcher, EveryLaunchCarriesPlacementOutputsAndTheUsersWords) {
  pairdot_run::Launch launch;
  launch.command = "L";
  launch.rank_hosts = {"a", "b"};
  launch.np = 2;
  launch.dir = "/d";
  launch.shim = "shim";
  launch.program = "prog";
  launch.mpi_plugin = "pmi2";
  launch.step_seconds = 61;
  launch.extra = {"--user-word"};
  for (const Launcher launcher : {Launcher::mpich, Launcher::openmpi, Launcher::srun}) {
    const auto argv = pairdot_run::launch_command(launcher, launch);
    const auto env = pairdot_run::launch_environment(launcher, launch);
    const std::string name = pairdot_run::launcher_name(launcher);
    EXPECT_EQ(argv.front(), "L") << name;
    EXPECT_EQ(std::vector<std::string>(argv.end() - 2, argv.end()),
              (std::vector<std::string>{"shim", "prog"}))
        << name;
    EXPECT_TRUE(has(argv, "--user-word")) << name;
    const bool placed = has(argv, "/d/placement") || has(env, "SLURM_HOSTFILE=/d/placement");
    EXPECT_TRUE(placed) << name;
  }
  const auto srun = pairdot_run::launch_command(Launcher::srun, launch);
  for (const char *word : {"--mpi=pmi2", "--kill-on-bad-exit=1", "--time=2", "--ntasks=2",
                           "--distribution=arbitrary", "--output=/d/out.%t"}) {
    EXPECT_TRUE(has(srun, word)) << word;
  }
  // The user's words come after srun's own, so that they win.
  EXPECT_GT(std::find(srun.begin(), srun.end(), "--user-word"),
            std::find(srun.begin(), srun.end(), "--mpi=pmi2"));
}

} // namespace
