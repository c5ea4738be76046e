// Whole runs of pairdot-run over a modelled cluster: the scenarios of the
// cluster tests (tests/multihost, tests/slurm), with what they check of the
// exit status, the output and report.json, without root or processes.

#include "cli_run.hpp"
#include "model_runner.hpp"
#include "report_lists.hpp"
#include "test_support.hpp"
#include "watch.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using nlohmann::json;
using pairdot_model::ClusterSetup;
using pairdot_model::FailureMode;
using test_support::TempDir;
namespace fs = std::filesystem;

// Faults as the cluster tests inject them, hosts numbered from 1.
enum class Fault {
  link_cut,    // a, b: every pair between them fails, both ways
  host_cut,    // a: its ranks never start
  hold,        // a: this rank of every job never sends
  moved,       // a, b: a's ranks run on b
  slurmd_gone, // a, from job b on: Slurm will not use it
  slow,        // a, b: a tenth of the bandwidth from a to b
  alone_only,  // a: its links fail; from job b on, its ranks start only alone (an MTU black hole)
  dark,        // a: its ranks start, but no pair of it verifies (its fabric port down)
  cut,         // a, b: hosts a to b reach each other, no host outside (their leaf's uplink down)
};

struct Injected {
  Fault fault;
  int a;
  int b;
};

// How each library's jobs fail: MPICH over UCX fails every job that holds
// both hosts of a bad link and runs jobs without a dead host's ranks; Open
// MPI fails the whole job of a failed pair and starts no rank without them.
struct Library {
  const char *name;
  FailureMode failure;
  bool launcher_waits;
};
const Library libraries[] = {{"mpich", FailureMode::init, false},
                             {"openmpi", FailureMode::job, true}};

// What pairdot-run is asked for: hosts h1, h2, ... of as many slots.
struct Request {
  int hosts;
  int slots;
  int np = 0; // 0: a sweep
  bool probe = false;
  int interrupt_after = 0; // jobs; then resumed
  bool topology = false;   // a cut's hosts are below leaf1, the others below leaf0
};

// Links and hosts as check_report takes them: "1>2,2>1", "4"; failed
// links nullptr for any.
struct Expected {
  int exit;
  const char *line = ""; // of standard output, a regular expression
  const char *failed = "";
  const char *suspect_hosts = "";
  const char *suspect_links = "";
  const char *slow_links = "";
};

struct Scenario {
  const char *name;
  Request run;
  std::vector<Injected> faults;
  Expected want;
  const char *only_library = nullptr; // the failure mode the scenario holds for
};

constexpr double bound = 10; // seconds a job may take

std::string host(int number) { return "h" + std::to_string(number); }

std::set<std::string> named(const char *list) {
  return report_lists::named(list, [](const std::string &n) { return host(std::stoi(n)); });
}

ClusterSetup cluster_setup(const Scenario &s, const Library &library) {
  ClusterSetup setup;
  setup.hosts = s.run.hosts;
  setup.slots = s.run.slots;
  setup.failure = library.failure;
  setup.launcher_waits = library.launcher_waits;
  setup.timeout = bound;
  for (const auto &[fault, a, b] : s.faults) {
    const pairdot_model::Link link{a - 1, b - 1};
    switch (fault) {
    case Fault::link_cut:
      setup.faults.bad_links.insert(setup.faults.bad_links.end(), {link, {b - 1, a - 1}});
      break;
    case Fault::host_cut:
      setup.faults.dead_hosts.push_back(a - 1);
      break;
    case Fault::hold:
      setup.held_ranks.push_back(a);
      break;
    case Fault::moved:
      setup.moved_hosts.push_back(link);
      break;
    case Fault::slurmd_gone:
      setup.unusable.push_back(a - 1);
      setup.unusable_from = b;
      break;
    case Fault::slow:
      setup.slow_links.push_back({link});
      break;
    case Fault::dark:
      setup.faults.dark_hosts.push_back(a - 1);
      break;
    case Fault::cut:
      setup.fabric = {{"cut"}, {-1}, {{}}, {}};
      for (int h = a - 1; h < b; ++h)
        setup.fabric.below[0].push_back(h);
      setup.faults.cut_switches = {0};
      break;
    case Fault::alone_only:
      for (int other = 0; other < s.run.hosts; ++other) {
        if (other != a - 1) {
          setup.faults.bad_links.emplace_back(a - 1, other);
          setup.faults.bad_links.emplace_back(other, a - 1);
        }
      }
      setup.alone_only.push_back(a - 1);
      setup.alone_only_from = b;
      break;
    }
  }
  return setup;
}

struct RunResult {
  int status;
  std::string out;
  std::string err;
  json report;
  int started; // jobs the runner started
};

// One run of the scenario on a fresh cluster, reporting to dir.
RunResult run_in(const Scenario &s, const Library &library, const std::string &dir, bool resume,
                 int stop_after) {
  pairdot_run::RunOptions options;
  for (int h = 1; h <= s.run.hosts; ++h)
    options.hosts.push_back({host(h), s.run.slots});
  options.np = s.run.np;
  options.sweep = s.run.np == 0;
  options.settings.probe = s.run.probe;
  options.settings.timeout = bound;
  options.report_dir = dir;
  options.resume = resume;
  for (const auto &[fault, a, b] : s.faults) {
    if (fault != Fault::cut || !s.run.topology)
      continue;
    auto &switches = options.topology.switches;
    switches = {{"leaf0", {}, {}}, {"leaf1", {}, {}}, {"spine", {}, {"leaf0", "leaf1"}}};
    for (int h = 1; h <= s.run.hosts; ++h)
      switches[h >= a && h <= b ? 1 : 0].nodes.push_back(host(h));
  }
  pairdot_model::Cluster cluster = pairdot_model::make_cluster(cluster_setup(s, library));
  pairdot_model::ModelRunner runner(cluster, options, stop_after);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status = pairdot_run::run(options, runner);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  std::ifstream in(dir + "/report.json");
  return {status, std::move(out), std::move(err), json::parse(in), runner.started()};
}

// What check_report and the cluster tests check of a finished run.
void check_run(const Scenario &s, const RunResult &run, const std::string &dir) {
  SCOPED_TRACE("standard output:\n" + run.out);
  EXPECT_EQ(run.status, s.want.exit);
  if (*s.want.line != '\0') {
    const std::regex line(s.want.line);
    const auto lines = report_lists::split(run.out + run.err, '\n');
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [&line](const std::string &l) { return std::regex_search(l, line); }))
        << "no line matches " << s.want.line;
  }
  const json &report = run.report;
  std::set<std::string> failed;
  for (const auto &[link, mark] : report_lists::link_marks(report)) {
    if (mark == 'x') {
      failed.insert(link);
    } else if (s.run.np == 0 && s.want.failed != nullptr) {
      EXPECT_NE(std::string("+sc").find(mark), std::string::npos)
          << "link " << link << " is '" << mark << "'";
    }
  }
  if (s.want.failed != nullptr) {
    EXPECT_EQ(failed, named(s.want.failed));
  }
  // A cut is named whole: as its switch with the topology, else as a group.
  json cut_groups = json::array();
  json cut_switches = json::array();
  for (const auto &[fault, a, b] : s.faults) {
    if (fault == Fault::cut && s.run.topology) {
      cut_switches.push_back("leaf1");
    } else if (fault == Fault::cut) {
      cut_groups.push_back(json::array());
      for (int h = a; h <= b; ++h)
        cut_groups.back().push_back(host(h));
    }
  }
  EXPECT_EQ(report.at("suspect_switches"), cut_switches);
  EXPECT_EQ(report.at("suspect_groups"), cut_groups);
  const json &suspects = report.at("suspect_hosts");
  EXPECT_EQ(std::set<std::string>(suspects.begin(), suspects.end()), named(s.want.suspect_hosts));
  EXPECT_EQ(report_lists::link_names(report.at("suspect_links")), named(s.want.suspect_links));
  if (s.run.probe) {
    EXPECT_EQ(report_lists::link_names(report.at("slow_links")), named(s.want.slow_links));
    EXPECT_EQ(report.at("slow_hosts"), json::array());
  }
  const std::string xml = cli_run::read_file(dir + "/junit.xml");
  EXPECT_EQ(report_lists::occurrences(xml, " name=\"pair "), report_lists::pair_count(report))
      << "junit.xml's pairs";
  const bool moved = std::any_of(s.faults.begin(), s.faults.end(),
                                 [](const Injected &f) { return f.fault == Fault::moved; });
  if (moved) {
    // Stopped at the misplaced job: none started after it.
    const json &last = report.at("jobs").back();
    EXPECT_EQ(last.at("status"), "misplaced");
    EXPECT_EQ(last.at("number"), run.started);
  }
}

// The verdicts of a report, to compare runs.
json verdicts(const json &report) {
  return {report.at("links").at("rows"), report.at("suspect_hosts"), report.at("suspect_links"),
          report.at("summary").at("jobs")};
}

void check_scenario(const Scenario &s, const Library &library) {
  SCOPED_TRACE(std::string(s.name) + ", " + library.name);
  const TempDir whole_dir;
  const RunResult whole = run_in(s, library, whole_dir.path, false, 0);
  check_run(s, whole, whole_dir.path);
  if (s.run.interrupt_after == 0)
    return;
  // Stopped, then resumed: as the whole run.
  const TempDir dir;
  const RunResult stopped = run_in(s, library, dir.path, false, s.run.interrupt_after);
  EXPECT_EQ(stopped.status, pairdot_run::exit_interrupted);
  EXPECT_EQ(stopped.report.at("jobs").size(), static_cast<std::size_t>(s.run.interrupt_after));
  const RunResult resumed = run_in(s, library, dir.path, true, 0);
  check_run(s, resumed, dir.path);
  EXPECT_NE(resumed.err.find("resuming: " + std::to_string(s.run.interrupt_after) + " jobs done"),
            std::string::npos);
  EXPECT_EQ(verdicts(resumed.report), verdicts(whole.report));
  EXPECT_EQ(resumed.started + s.run.interrupt_after, whole.started) << "finished jobs run again";
}

TEST(RunModel, EveryClusterScenarioEndsAsTheClusterTestsExpect) {
  using F = Fault;
  const char *const host4_links = "1>4,4>1,2>4,4>2,3>4,4>3";
  const char *const host8_links = "1>2,2>1,1>8,8>1,2>8,8>2,3>8,8>3,4>8,8>4,5>8,8>5,6>8,8>6,7>8,8>7";
  const Scenario scenarios[] = {
      {"sweep", {3, 2}, {}, {0}},
      {"sweep of 3 slots", {4, 3}, {}, {0}},
      {"link cut",
       {4, 2},
       {{F::link_cut, 1, 2}},
       {1, "suspect link: h1 -> h2", "1>2,2>1", "", "1>2,2>1"}},
      {"host cut", {4, 2}, {{F::host_cut, 4, 0}}, {1, "suspect host: h4", host4_links, "4"}},
      {"rank that never sends",
       {2, 2, 4},
       {{F::hold, 2, 0}},
       {1, R"(^pair 2 .+ 3 [(]h1 -> h2[)]: no result [(]ended by the time bound[)]$)", "1>2",
        "1,2"}},
      {"misplaced ranks",
       {2, 1, 2},
       {{F::moved, 1, 2}},
       {2, "rank 0 ran on h2, but was placed on h1"}},
      {"misplaced ranks stop a sweep",
       {4, 1},
       {{F::moved, 3, 4}},
       {2, "ran on h4, but was placed on h3", nullptr}},
      {"interrupted, resumed", {4, 1, 0, false, 2}, {}, {0}},
      // With MPICH, stopped while a job of the round still runs.
      {"host and link cut, interrupted while isolating",
       {8, 1, 0, false, 22},
       {{F::host_cut, 8, 0}, {F::link_cut, 1, 2}},
       {1, "^suspect host: h8$", host8_links, "8", "1>2,2>1"}},
      {"slurmd gone after the first job",
       {3, 1},
       {{F::slurmd_gone, 3, 2}},
       {1, "^suspect host: h3$", nullptr, "3"}},
      {"probe sweep", {4, 2, 0, true}, {}, {0}},
      {"probe, host cut off",
       {4, 1, 0, true},
       {{F::host_cut, 4, 0}},
       {1, "^suspect host: h4$", host4_links, "4"}},
      // MPICH starts the other hosts' ranks; a launcher that waits for every
      // host leaves nothing to tell which host of a pair cannot start.
      {"probe, a host that starts only alone after its first job",
       {4, 1, 0, true},
       {{F::alone_only, 4, 2}},
       {1, "^suspect host: h4$", host4_links, "4"},
       "mpich"},
      {"dark host",
       {8, 1},
       {{F::dark, 4, 0}},
       {1, "^host h4 starts, but reaches no other host$",
        "1>4,4>1,2>4,4>2,3>4,4>3,5>4,4>5,6>4,4>6,7>4,4>7,8>4,4>8", "4"}},
      {"a leaf cut off", {8, 1}, {{F::cut, 1, 3}}, {1, "^suspect group: h1, h2, h3: ", nullptr}},
      {"a leaf cut off, with the topology",
       {8, 1, 0, false, 0, true},
       {{F::cut, 1, 3}},
       {1, "^suspect switch: leaf1: ", nullptr}},
      {"no host starts a rank, not even alone",
       {3, 1},
       {{F::host_cut, 1, 0}, {F::host_cut, 2, 0}, {F::host_cut, 3, 0}},
       {2, "the launcher fails, not the hosts", nullptr}},
      {"probe, slow link",
       {4, 1, 0, true},
       {{F::slow, 1, 2}},
       {1, "^slow link h1 -> h2: ", "", "", "", "1>2"}},
  };
  for (const Scenario &s : scenarios) {
    for (const Library &library : libraries) {
      if (s.only_library == nullptr || std::string(s.only_library) == library.name)
        check_scenario(s, library);
    }
  }
}

// A watch of five sweeps whose link h1 - h2 is cut in the odd ones: both
// directions named intermittent with their counts, on the terminal and in
// report.json; a history line a sweep, latest the newest, two kept.
TEST(RunModel, WatchNamesAnIntermittentLink) {
  const TempDir temp;
  const std::string &dir = temp.path;
  const Scenario cut{"cut", {3, 2}, {{Fault::link_cut, 1, 2}}, {1}};
  const Scenario healthy{"healthy", {3, 2}, {}, {0}};
  pairdot_run::RunOptions options;
  for (int h = 1; h <= 3; ++h)
    options.hosts.push_back({host(h), 2});
  options.sweep = true;
  options.settings.timeout = bound;
  options.report_dir = dir;
  int sweeps = 0;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status =
      pairdot_run::watch(options, {0, 2, 5}, [&](const pairdot_run::RunOptions &one) {
        pairdot_model::Cluster cluster = pairdot_model::make_cluster(
            cluster_setup(++sweeps % 2 == 1 ? cut : healthy, libraries[0]));
        pairdot_model::ModelRunner runner(cluster, one);
        return pairdot_run::run(one, runner);
      });
  const std::string out = testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("intermittent link: h1 -> h2 failed 3 of 5 sweeps\n"
                     "intermittent link: h2 -> h1 failed 3 of 5 sweeps\n"),
            std::string::npos)
      << out;
  std::ifstream in(dir + "/latest/report.json");
  EXPECT_EQ(json::parse(in).at("intermittent"),
            json::parse(R"([{"link": ["h1", "h2"], "failed": 3, "sweeps": 5},
                            {"link": ["h2", "h1"], "failed": 3, "sweeps": 5}])"));
  EXPECT_EQ(fs::read_symlink(dir + "/latest"), "000005");
  std::ifstream history(dir + "/history.jsonl");
  EXPECT_EQ(std::count(std::istreambuf_iterator<char>(history), {}, '\n'), 5);
  std::set<std::string> kept;
  for (const auto &entry : fs::directory_iterator(dir))
    kept.insert(entry.path().filename().string());
  EXPECT_EQ(kept, (std::set<std::string>{"000004", "000005", "history.jsonl", "latest"}));
}

} // namespace
