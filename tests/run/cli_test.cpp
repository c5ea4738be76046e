// Runs the pairdot-run binary on bad input and on --plan: every refusal is
// one line and exit 2, before any job starts.

#include "cli_run.hpp"

#include <gtest/gtest.h>
#include <pairdot_version.hpp>

namespace {

using namespace cli_run;

// Single-quoted for the test's own shell.
std::string quoted(const std::string &arg) {
  std::string out = "'";
  for (const char c : arg) {
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return out + "'";
}

Outcome run(const std::vector<std::string> &args) {
  std::string command = PAIRDOT_RUN_BIN;
  for (const std::string &arg : args) {
    command += " " + quoted(arg);
  }
  return run_command(command, "/dev/null");
}

TEST(RunCli, BadInputIsOneLineAndExit2) {
  const std::string hostfile =
      write_file("hosts", "# cluster\nnode1:2\nnode2 slots=3  # comment\n\nnode3\n");
  const struct {
    std::vector<std::string> args;
    std::string fragment;
  } rows[] = {
      {{"--hosts", "node1:0"}, "slots must be a whole number from 1"},
      {{"--hosts", "node1:-2"}, "slots must be"},
      {{"--hosts", "node1:x"}, "slots must be"},
      {{"--hosts", "node1,node1:2"}, "entry 2: host 'node1' is listed twice"},
      {{"--hosts", "no de"}, "not a valid host name"},
      {{"--hosts", "a;b"}, "not a valid host name"},
      {{"--hosts", "$(reboot)"}, "not a valid host name"},
      {{"--hosts", "'n1'"}, "not a valid host name"},
      {{"--hosts", "-n1"}, "not a valid host name"},
      {{"--hosts", ""}, "not a valid host name"},
      {{"--hostfile", write_file("bad1", "node1\nnode2:0\n")}, "bad1:2: slots must be"},
      {{"--hostfile", write_file("bad2", "node1\n# x\nnode1 slots=2\n")},
       "bad2:3: host 'node1' is listed twice"},
      {{"--hostfile", write_file("bad3", "node1 slot=2\n")}, "bad3:1: want 'host', 'host:slots'"},
      {{"--hostfile", write_file("bad4", "node\"1\n")}, "bad4:1: 'node\"1' is not a valid"},
      {{"--hostfile", write_file("bad5", "# nothing\n")}, "no hosts listed"},
      {{"--hostfile", temp_path("absent")}, "cannot read"},
      {{"--hosts", "a,b", "--hostfile", hostfile}, "excludes"},
      {{"--topology", write_file("topo", "SwitchName=s0 Nodes=n1\nSwitchName=s0 Nodes=n2\n")},
       "topo:2: switch s0 is defined twice"},
      {{"--topology", temp_path("absent")}, "cannot read"},
      {{"--timeout", "0"}, "--timeout"},
      {{"--timeout", "soon"}, "--timeout"},
      {{"--timeout", "1e12"}, "--timeout"},
      {{"--np", "0"}, "--np"},
      {{"--np", "x"}, "--np"},
      {{"--launcher", "lam"}, "--launcher"},
      {{"--frob"}, "frob"},
      {{"--sweep"}, "--sweep needs at least two hosts"},
      {{"--sweep", "--hosts", "a,b", "--np", "2"}, "leave out --np"},
      {{"--resume", "--sweep", "--hosts", "a,b"}, "--resume needs"},
      {{"--watch", "60", "--hosts", "a,b", "--report", temp_path("w")}, "--watch needs --sweep"},
      {{"--watch", "60", "--sweep", "--hosts", "a,b"}, "--watch needs"},
      {{"--watch", "-1"}, "--watch"},
      {{"--keep", "3"}, "--keep requires --watch"},
      {{"--hosts", "a:1,b:1", "--np", "3"}, "--np 3 is more than the 2 slots"},
      {{"--program", temp_path("absent")}, "pairdot not found"},
      {{"--hosts", "pairdot-test-no-such-host.invalid"}, "does not resolve"},
      {{"--report", hostfile + "/sub"}, "cannot write the report directory"},
      {{"--metrics", temp_path("m.txt")}, "must end in .prom"},
      {{"--metrics", hostfile + "/m.prom"}, "--metrics: cannot write"},
      {{"--launcher", PAIRDOT_OTHER_LAUNCHER}, "use --launcher " PAIRDOT_LAUNCHER},
      {{"--sizes", "8,4K"}, "--sizes requires --probe"},
      {{"--slow-latency", "2"}, "requires --probe"},
      {{"--probe", "--sizes", "4K,8"}, "--sizes: "},
      {{"--probe", "--sizes", "8,2G"}, "--sizes: "},
      {{"--probe", "--slow-bandwidth", "150"}, "--slow-bandwidth"},
      {{"--probe", "--step-timeout", "0"}, "--step-timeout"},
      {{"--probe", "--program", temp_path("absent")}, "pairdot-probe not found"},
      {{"--drain", "nodes", "--report", temp_path("drained")}, "--drain takes hosts, links or"},
      {{"--drain"}, "need --report"},
      {{"--drain-dry-run"}, "goes with --drain"},
      // The test's machine has no Slurm controller.
      {{"--resume-drained", "--report", temp_path("drained")}, "--resume-drained: "},
  };
  for (const auto &row : rows) {
    const Outcome result = run(row.args);
    const std::string shown = row.args.empty() ? "" : row.args.front() + " " + row.args.back();
    EXPECT_EQ(result.status, 2) << shown << "\n" << result.err;
    EXPECT_NE(result.err.find(row.fragment), std::string::npos) << shown << ":\n" << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << shown << result.err;
    EXPECT_EQ(result.out, "") << shown;
  }
}

TEST(RunCli, VersionNamesTheMpiLibrary) {
  const Outcome result = run({"--version"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, std::string("pairdot-run ") + pairdot_version::text + "\n");
}

TEST(RunCli, PlanWritesPlacementsInTheLaunchersSyntax) {
  const Outcome mpich = run({"--plan", "--sweep", "--launcher", "mpich", "--hosts", "a:1,b:1,c:2"});
  EXPECT_EQ(mpich.status, 0) << mpich.err;
  EXPECT_NE(mpich.out.find("# job 1 of "), std::string::npos) << mpich.out;
  EXPECT_NE(mpich.out.find("mpiexec.mpich -f FILE -n "), std::string::npos) << mpich.out;
  EXPECT_NE(mpich.out.find("\na:1\n"), std::string::npos) << mpich.out;
  const Outcome ompi = run({"--plan", "--launcher", "openmpi", "--hosts", "a:2,b:1", "--np", "3"});
  EXPECT_EQ(ompi.status, 0) << ompi.err;
  EXPECT_NE(ompi.out.find("--map-by seq -n 3"), std::string::npos) << ompi.out;
  EXPECT_NE(ompi.out.find("\na\nb\na\n#   rank 0: a\n#   rank 1: b\n#   rank 2: a\n"),
            std::string::npos)
      << ompi.out;
}

} // namespace
