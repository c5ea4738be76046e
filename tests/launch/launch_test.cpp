// The launch layer: each launcher's placement, command line and output
// paths agree with one another; versions and programs name the library;
// Slurm's answers are read right.

#include "launcher.hpp"
#include "preflight.hpp"
#include "slurm.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace pairdot_launch; // NOLINT(google-build-using-namespace)
using Words = std::vector<std::string>;

bool has(const Words &words, const std::string &word) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

// Where the command line sends rank 0's output, as the launcher reads it back.
bool sends_rank_output_where_read(const Launcher &launcher, const Words &argv) {
  const std::string out = launcher.rank_stdout("/d", 0);
  return std::any_of(argv.begin(), argv.end(), [&](const std::string &word) {
    const std::string path = word.substr(word.find('=') + 1);
    const std::size_t pattern = path.find('%');
    // out.%r, out.%t; or Open MPI's directory of rank directories
    return (pattern != std::string::npos && out == path.substr(0, pattern) + "0") ||
           (path == "/d/ompi" && out.rfind("/d/ompi/", 0) == 0);
  });
}

Launch sample_launch() {
  Launch launch;
  launch.command = "L";
  launch.rank_hosts = {"a", "b", "b", "a"};
  launch.np = 4;
  launch.dir = "/d";
  launch.shim = "shim";
  launch.program = "prog";
  launch.program_args = {"--arg"};
  launch.mpi_plugin = "pmi2";
  launch.step_seconds = 61;
  launch.forwarded = {"PAIRDOT_X"};
  launch.extra = {"--user-word"};
  return launch;
}

TEST(Launch, EveryLauncherPlacesStartsAndCollectsItsRanks) {
  const struct {
    const Launcher *launcher;
    const char *placement; // of a, b, b, a
    const char *tag;       // the word that tags each line with its rank
  } rows[] = {{&hydra_launcher(), "a:1\nb:2\na:1\n", "-prepend-rank"},
              {&open_mpi_launcher(), "a\nb\nb\na\n", "--tag-output"},
              {&srun_launcher(), "a\nb\nb\na\n", "--label"}};
  ASSERT_EQ(std::size(rows), all_launchers().size());
  for (const auto &row : rows) {
    const Launcher &launcher = *row.launcher;
    SCOPED_TRACE(launcher.name());
    EXPECT_EQ(launcher_named(launcher.name()), &launcher);
    Launch launch = sample_launch();
    EXPECT_EQ(launcher.placement_text(launch.rank_hosts), row.placement);
    const Words argv = launcher.command_line(launch);
    const Words env = launcher.environment(launch);
    EXPECT_EQ(argv.front(), "L");
    EXPECT_EQ(Words(argv.end() - 3, argv.end()), (Words{"shim", "prog", "--arg"}));
    EXPECT_TRUE(has(argv, "--user-word"));
    EXPECT_TRUE(has(argv, "/d/placement") || has(env, "SLURM_HOSTFILE=/d/placement"));
    EXPECT_TRUE(sends_rank_output_where_read(launcher, argv));
    EXPECT_FALSE(has(argv, row.tag));
    EXPECT_NE(launcher.hint(4, "FILE").find("FILE"), std::string::npos);
    // Tagged or merged output: no rank files; tags only when tagged.
    launch.shim.clear();
    for (const OutputForm form : {OutputForm::tagged, OutputForm::merged}) {
      launch.output = form;
      const Words words = launcher.command_line(launch);
      EXPECT_FALSE(sends_rank_output_where_read(launcher, words));
      EXPECT_EQ(has(words, row.tag), form == OutputForm::tagged);
      EXPECT_EQ(Words(words.end() - 2, words.end()), (Words{"prog", "--arg"}));
    }
  }
}

TEST(Launch, RemoteRanksSeeForwardedVariables) {
  const Launch launch = sample_launch();
  // Open MPI's daemons hand on only what is named.
  EXPECT_TRUE(has(open_mpi_launcher().command_line(launch), "PAIRDOT_X"));
  // srun: the user's words after its own, so that they win.
  const Words srun = srun_launcher().command_line(launch);
  EXPECT_GT(std::find(srun.begin(), srun.end(), "--user-word"),
            std::find(srun.begin(), srun.end(), "--mpi=pmi2"));
}

// --tcp pins MPI's messages to the interface, never the launcher's own
// channel: the launch host may not have that interface at all.
TEST(Launch, TcpPinsMessagesNotTheLaunchersChannel) {
  const struct {
    const Launcher *launcher;
    Words pinned; // in the command line or the environment
  } rows[] = {
      {&hydra_launcher(), {"UCX_TLS", "tcp,self", "UCX_NET_DEVICES", "eth1"}},
      {&open_mpi_launcher(), {"btl", "tcp,self", "btl_tcp_if_include", "eth1"}},
      {&srun_launcher(),
       {"UCX_TLS=tcp,self", "UCX_NET_DEVICES=eth1", "OMPI_MCA_btl=tcp,self",
        "OMPI_MCA_btl_tcp_if_include=eth1"}},
  };
  // Open MPI's daemons (oob), Hydra's proxies (-iface, HYDRA_IFACE).
  const char *channels[] = {"oob", "iface", "IFACE"};
  ASSERT_EQ(std::size(rows), all_launchers().size());
  for (const auto &row : rows) {
    SCOPED_TRACE(row.launcher->name());
    Launch launch = sample_launch();
    const auto words = [&] {
      Words all = row.launcher->command_line(launch);
      const Words env = row.launcher->environment(launch);
      all.insert(all.end(), env.begin(), env.end());
      return all;
    };
    for (const std::string &word : words())
      EXPECT_FALSE(has(row.pinned, word)) << word << " without --tcp";
    launch.tcp_interface = "eth1";
    const Words pinned = words();
    for (const std::string &word : row.pinned)
      EXPECT_TRUE(has(pinned, word)) << word;
    for (const std::string &word : pinned)
      for (const char *channel : channels)
        EXPECT_EQ(word.find(channel), std::string::npos) << word;
  }
}

TEST(Launch, VersionsAndProgramsNameTheirLibrary) {
  const struct {
    const char *version;
    const Launcher *launcher;
  } versions[] = {
      {"HYDRA build details:\n    Version: 4.0.2", &hydra_launcher()},
      {"mpiexec (OpenRTE) 4.1.4", &open_mpi_launcher()},
      {"mpiexec (Open MPI) 5.0.0", &open_mpi_launcher()},
      {"slurm-wlm 22.05.8", &srun_launcher()},
      {"slurm 23.02.1", &srun_launcher()},
      {"Intel(R) MPI Library", nullptr},
      {"", nullptr},
  };
  for (const auto &row : versions)
    EXPECT_EQ(launcher_of_version(row.version), row.launcher) << row.version;
  EXPECT_EQ(library_of_program("..libmpich.so.12.."), MpiLibrary::mpich);
  EXPECT_EQ(library_of_program("..libmpi.so.40.."), MpiLibrary::openmpi);
  EXPECT_EQ(library_of_program("..libc.so.6.."), std::nullopt);
  EXPECT_EQ(&native_launcher(MpiLibrary::openmpi), &open_mpi_launcher());
}

TEST(Launch, PreflightRefusesTheWrongLauncher) {
  const std::string hydra = "HYDRA build details";
  const std::string ompi = "mpiexec (Open MPI) 4.1.4";
  const struct {
    const Launcher *launcher;
    std::string version;
    std::optional<MpiLibrary> built;
    const char *refusal; // empty: accepted
  } rows[] = {
      {&hydra_launcher(), hydra, MpiLibrary::mpich, ""},
      {&hydra_launcher(), hydra, std::nullopt, ""},
      {&srun_launcher(), "slurm 22.05.8", MpiLibrary::openmpi, ""},
      {&hydra_launcher(), hydra, MpiLibrary::openmpi,
       "p is built with Open MPI, but --launcher mpich starts MPICH jobs: use --launcher openmpi"},
      {&hydra_launcher(), ompi, MpiLibrary::mpich, "L belongs to Open MPI, not to MPICH"},
      {&open_mpi_launcher(), "?", std::nullopt,
       "L does not say which MPI library it belongs to (L --version)"},
  };
  for (const auto &row : rows) {
    std::string refusal;
    try {
      pairdot_run::check_launcher(*row.launcher, "L", row.version, "p", row.built);
    } catch (const pairdot_hosts::InputError &error) {
      refusal = error.what();
    }
    EXPECT_EQ(refusal, row.refusal) << row.launcher->name() << " " << row.version;
  }
}

TEST(Launch, SlurmCounts) {
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
  for (const auto &row : rows)
    EXPECT_EQ(expand_slurm_counts(row.text), row.counts) << row.text;
}

TEST(Launch, SlurmUnavailableNodes) {
  using Found = std::vector<UnavailableNode>;
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
  for (const auto &row : rows)
    EXPECT_EQ(unavailable_nodes(row.sinfo, hosts), row.found) << row.sinfo;
}

} // namespace
