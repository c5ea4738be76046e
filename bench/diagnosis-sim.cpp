// diagnosis-sim: runs the planner of pairdot-run on a modelled cluster with
// dead hosts and bad or flaky links, and prints as JSON what it took and
// whom it named.

#include "cluster_model.hpp"
#include "plan.hpp"
#include "writers.hpp"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using pairdot_model::ClusterSetup;
using pairdot_model::FlakyLink;
using pairdot_model::HostIndex;
using pairdot_model::Link;

struct Arguments {
  ClusterSetup setup;
  std::vector<HostIndex> dead_hosts;
  std::vector<std::string> bad_links;
  std::vector<std::string> flaky_links;
  std::string failure = "job";
  int parallel = 4;
  int random_dead = 0;
  int random_bad = 0;
  int random_dark = 0;
  int leaves = 0;
  std::string topology;
  std::vector<std::string> cut_switches;
  bool no_topology = false;
  std::string report;
  bool old = false;
};

constexpr const char *time_model =
    "Modelled time: a job costs launch = 0.5 s + 20 us x ranks. A job none of whose ranks start "
    "(all on dead hosts, or --launcher-waits and one host dead) hangs until --timeout. A job "
    "whose ranks all start but those of dead hosts is ended max(5 s, 2 x launch) after launch. "
    "A job ended by a failed pair (--failure job) costs launch. A round costs its slowest job; "
    "modelled_seconds sums the rounds.\n"
    "exact: the suspect hosts are the dead hosts and the suspect links the bad links between "
    "live hosts (flaky links may be named too). Exit status: 0 done, 2 bad input.";

void add_options(CLI::App &app, Arguments &args) {
  app.add_option("--hosts", args.setup.hosts, "hosts, named node0 ...")
      ->required()
      ->check(CLI::Range(2, 65536));
  app.add_option("--slots", args.setup.slots, "slots of every host")
      ->required()
      ->check(CLI::Range(1, 1024));
  app.add_option("--dead-host", args.dead_hosts, "a host whose ranks never start (index)");
  app.add_option("--dark-host", args.setup.faults.dark_hosts,
                 "a host whose ranks start but reach no other host (index)");
  app.add_option("--random-dark", args.random_dark, "dark hosts drawn from the seed")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--leaves", args.leaves,
                 "hosts in K consecutive blocks of ceil(N/K) under leaf switches leaf0 ... "
                 "leaf<K-1>, below one spine0")
      ->check(CLI::Range(1, 65536));
  app.add_option("--topology", args.topology,
                 "the switches from a Slurm topology.conf (hosts named node0 ...)")
      ->check(CLI::ExistingFile)
      ->excludes("--leaves");
  app.add_option("--cut-switch", args.cut_switches,
                 "every link between a host below this switch and one elsewhere fails");
  app.add_flag("--no-topology", args.no_topology,
               "the switches shape the faults, but the planner is not told them");
  app.add_option("--bad-link", args.bad_links, "A:B: every pair from host A to host B fails");
  app.add_option("--flaky-link", args.flaky_links, "A:B:P: a pair from A to B fails with chance P");
  app.add_option("--failure", args.failure,
                 "job: a failed pair ends the whole job (default, as Open MPI does); pair: only "
                 "that pair is lost; init: a bad link ends every job holding both its hosts (MPICH "
                 "over UCX connects every pair of ranks in MPI_Init)")
      ->check(CLI::IsMember({"job", "pair", "init"}));
  app.add_flag("--launcher-waits", args.setup.launcher_waits,
               "no rank of a job starts when one of its hosts is dead (Open MPI)");
  app.add_option("--timeout", args.setup.timeout, "seconds a job may take (default 60)")
      ->check(CLI::PositiveNumber);
  app.add_option("--parallel", args.parallel, "isolation jobs side by side (default 4)")
      ->check(CLI::Range(1, 64));
  app.add_option("--seed", args.setup.seed, "of the random faults and flaky links (default 1)");
  app.add_option("--random-dead", args.random_dead, "dead hosts drawn from the seed")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--random-bad", args.random_bad,
                 "bad links drawn from the seed, none touching a dead host")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--report", args.report,
                 "also write jobs.jsonl, report.json, junit.xml and report.html here (up to a "
                 "few hundred hosts)");
  app.add_flag("--old", args.old,
               "also model the old isolation (one 2-rank job for every failed pair of the "
               "sweep): old_extra_jobs, old_modelled_seconds");
  app.footer(time_model);
}

std::vector<std::string> fields(const std::string &text) {
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == ':') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

HostIndex host_number(const std::string &text, const std::string &whole) {
  std::size_t used = 0;
  int value = -1;
  try {
    value = std::stoi(text, &used);
  } catch (const std::exception &) {
    used = 0;
  }
  if (text.empty() || used != text.size()) {
    throw std::invalid_argument("not a host index in '" + whole + "'");
  }
  return value;
}

Link link_of(const std::vector<std::string> &parts, const std::string &whole) {
  return {host_number(parts[0], whole), host_number(parts[1], whole)};
}

Link parse_bad_link(const std::string &text) {
  const auto parts = fields(text);
  if (parts.size() != 2) {
    throw std::invalid_argument("a bad link is A:B, not '" + text + "'");
  }
  return link_of(parts, text);
}

FlakyLink parse_flaky_link(const std::string &text) {
  const auto parts = fields(text);
  if (parts.size() != 3) {
    throw std::invalid_argument("a flaky link is A:B:P, not '" + text + "'");
  }
  std::size_t used = 0;
  double probability = -1;
  try {
    probability = std::stod(parts[2], &used);
  } catch (const std::exception &) {
    used = 0;
  }
  if (parts[2].empty() || used != parts[2].size()) {
    throw std::invalid_argument("not a probability in '" + text + "'");
  }
  return {link_of(parts, text), probability};
}

// Adds `dead` distinct dead hosts and then `bad` distinct bad links between
// live hosts, drawn from the seed.
void add_random_faults(pairdot_model::Faults &faults, HostIndex hosts, int dead, int bad,
                       std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::uniform_int_distribution<HostIndex> any_host(0, hosts - 1);
  std::set<HostIndex> dead_set(faults.dead_hosts.begin(), faults.dead_hosts.end());
  if (dead > hosts - static_cast<HostIndex>(dead_set.size())) {
    throw std::invalid_argument("--random-dead " + std::to_string(dead) + " is more than the " +
                                "live hosts");
  }
  for (const auto target = dead_set.size() + static_cast<std::size_t>(dead);
       dead_set.size() < target;) {
    dead_set.insert(any_host(random));
  }
  faults.dead_hosts.assign(dead_set.begin(), dead_set.end());
  std::set<Link> bad_set(faults.bad_links.begin(), faults.bad_links.end());
  const auto alive = static_cast<long long>(hosts) - static_cast<long long>(dead_set.size());
  if (bad > alive * (alive - 1) - static_cast<long long>(bad_set.size())) {
    throw std::invalid_argument("--random-bad " + std::to_string(bad) +
                                " is more than the links between live hosts");
  }
  for (int added = 0; added < bad;) {
    const Link link{any_host(random), any_host(random)};
    if (link.first != link.second && dead_set.count(link.first) == 0 &&
        dead_set.count(link.second) == 0 && bad_set.insert(link).second) {
      faults.bad_links.push_back(link);
      ++added;
    }
  }
}

// Dark hosts drawn from the seed, apart from the dead ones and the hosts of
// bad links.
void add_random_dark(pairdot_model::Faults &faults, HostIndex hosts, int dark, std::uint64_t seed) {
  std::mt19937_64 random(seed ^ 0x5eed);
  std::uniform_int_distribution<HostIndex> any_host(0, hosts - 1);
  std::set<HostIndex> taken(faults.dead_hosts.begin(), faults.dead_hosts.end());
  for (const Link &link : faults.bad_links) {
    taken.insert({link.first, link.second});
  }
  taken.insert(faults.dark_hosts.begin(), faults.dark_hosts.end());
  if (dark > hosts - static_cast<HostIndex>(taken.size())) {
    throw std::invalid_argument("--random-dark " + std::to_string(dark) +
                                " is more than the hosts left");
  }
  for (int added = 0; added < dark;) {
    const HostIndex host = any_host(random);
    if (taken.insert(host).second) {
      faults.dark_hosts.push_back(host);
      ++added;
    }
  }
}

std::string host_name(HostIndex host) { return "node" + std::to_string(host); }

// The fabric from --leaves or --topology, and the switches cut.
void read_fabric(Arguments &args) {
  if (args.leaves > 0) {
    args.setup.fabric = pairdot_model::leaf_spine(args.setup.hosts, args.leaves);
  } else if (!args.topology.empty()) {
    std::ifstream in(args.topology);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(args.setup.hosts));
    for (HostIndex h = 0; h < args.setup.hosts; ++h) {
      names.push_back(host_name(h));
    }
    args.setup.fabric = pairdot_model::make_switch_tree(
        pairdot_hosts::parse_topology_conf(text, args.topology), names);
  }
  for (const std::string &name : args.cut_switches) {
    const auto &names = args.setup.fabric.names;
    const auto found = std::find(names.begin(), names.end(), name);
    if (found == names.end()) {
      throw std::invalid_argument("--cut-switch: no switch " + name + " in the fabric");
    }
    args.setup.faults.cut_switches.push_back(static_cast<int>(found - names.begin()));
  }
  args.setup.planner_knows_fabric = !args.no_topology;
}

std::string link_name(const Link &link) {
  return host_name(link.first) + "->" + host_name(link.second);
}

// Suspects as expected; flaky links between live hosts may be named too.
bool exact(pairdot_model::Suspects found, const ClusterSetup &setup) {
  const auto expected = pairdot_model::expected_suspects(setup);
  std::sort(found.switches.begin(), found.switches.end());
  std::sort(found.groups.begin(), found.groups.end());
  if (found.hosts != expected.hosts || found.switches != expected.switches ||
      found.groups != expected.groups) {
    return false;
  }
  for (const Link &link : expected.links) {
    if (!std::binary_search(found.links.begin(), found.links.end(), link)) {
      return false;
    }
  }
  for (const Link &link : found.links) {
    const auto &flaky = setup.faults.flaky_links;
    const bool is_flaky = std::any_of(flaky.begin(), flaky.end(),
                                      [&link](const FlakyLink &f) { return f.link == link; });
    if (!is_flaky && !std::binary_search(expected.links.begin(), expected.links.end(), link)) {
      return false;
    }
  }
  return true;
}

nlohmann::json names_of(const std::vector<HostIndex> &hosts) {
  nlohmann::json names = nlohmann::json::array();
  for (HostIndex host : hosts) {
    names.push_back(host_name(host));
  }
  return names;
}

nlohmann::json names_of(const std::vector<Link> &links) {
  nlohmann::json names = nlohmann::json::array();
  for (const Link &link : links) {
    names.push_back(link_name(link));
  }
  return names;
}

nlohmann::json switch_names(const std::vector<int> &switches, const ClusterSetup &setup) {
  nlohmann::json names = nlohmann::json::array();
  for (const int sw : switches) {
    names.push_back(setup.fabric.names[static_cast<std::size_t>(sw)]);
  }
  return names;
}

nlohmann::json group_names(const std::vector<std::vector<HostIndex>> &groups) {
  nlohmann::json names = nlohmann::json::array();
  for (const auto &group : groups) {
    names.push_back(names_of(group));
  }
  return names;
}

nlohmann::json faults_json(const pairdot_model::Faults &faults) {
  nlohmann::json flaky = nlohmann::json::array();
  for (const FlakyLink &link : faults.flaky_links) {
    flaky.push_back({{"link", link_name(link.link)}, {"probability", link.probability}});
  }
  return {{"dead_hosts", names_of(faults.dead_hosts)},
          {"dark_hosts", names_of(faults.dark_hosts)},
          {"bad_links", names_of(faults.bad_links)},
          {"flaky_links", flaky}};
}

struct OldApproach {
  int extra_jobs = 0;
  double modelled_seconds = 0;
};

// What pairdot-run did before the planner: the whole sweep, then one 2-rank
// job for every link with a failed pair in it, `parallel` at a time.
OldApproach old_approach(const ClusterSetup &setup, int parallel) {
  auto cluster = pairdot_model::make_cluster(setup);
  OldApproach old;
  std::vector<HostIndex> alone(2);
  double slowest = 0; // of the batch of alone jobs being filled
  for (const auto &job : pairdot_run::plan_sweep(
           std::vector<int>(static_cast<std::size_t>(setup.hosts), setup.slots))) {
    const auto answer = pairdot_model::run_job(cluster, job.rank_hosts);
    old.modelled_seconds += answer.seconds;
    for (std::size_t p = 0; p < answer.seen.verified.size(); ++p) {
      if (answer.seen.verified[p]) {
        continue;
      }
      alone = {job.rank_hosts[2 * p], job.rank_hosts[2 * p + 1]};
      slowest = std::max(slowest, pairdot_model::run_job(cluster, alone).seconds);
      if (++old.extra_jobs % parallel == 0) {
        old.modelled_seconds += slowest;
        slowest = 0;
      }
    }
  }
  old.modelled_seconds += slowest;
  return old;
}

double peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0; // KiB on Linux
}

// The faults given and those drawn from the seed, checked.
void read_faults(Arguments &args) {
  read_fabric(args);
  auto &faults = args.setup.faults;
  faults.dead_hosts = args.dead_hosts;
  for (const auto &text : args.bad_links) {
    faults.bad_links.push_back(parse_bad_link(text));
  }
  for (const auto &text : args.flaky_links) {
    faults.flaky_links.push_back(parse_flaky_link(text));
  }
  pairdot_model::make_cluster(args.setup); // throws on a fault out of range
  add_random_faults(faults, args.setup.hosts, args.random_dead, args.random_bad, args.setup.seed);
  add_random_dark(faults, args.setup.hosts, args.random_dark, args.setup.seed);
}

// Collects every job as pairdot-run reports it, journaled in dir.
pairdot_model::JobSeen report_jobs(const std::string &dir, pairdot_model::RunReport &report,
                                   const ClusterSetup &setup) {
  std::filesystem::create_directories(dir);
  std::filesystem::remove(dir + "/jobs.jsonl"); // a fresh journal
  report.tool = "diagnosis-sim";
  report.launcher = "model";
  std::vector<std::string> names;
  for (HostIndex h = 0; h < setup.hosts; ++h) {
    names.push_back(host_name(h));
    report.hosts.push_back({names.back(), setup.slots});
  }
  if (setup.planner_knows_fabric) {
    report.switches = setup.fabric;
  }
  return [&report, dir, names](const pairdot_run::PlannedRun &job,
                               const pairdot_model::JobAnswer &answer) {
    report.jobs.push_back(pairdot_model::job_outcome(job, answer, names, false));
    pairdot_writers::append_journal(dir, report.jobs.back());
  };
}

std::vector<HostIndex> hosts_that_cannot_run(const pairdot_model::Evidence &evidence) {
  std::vector<HostIndex> hosts;
  for (HostIndex h = 0; h < evidence.hosts; ++h) {
    if (evidence.host_states[h] == pairdot_model::HostState::cannot_run) {
      hosts.push_back(h);
    }
  }
  return hosts;
}

int simulate(Arguments &args) {
  args.setup.failure = args.failure == "job"    ? pairdot_model::FailureMode::job
                       : args.failure == "init" ? pairdot_model::FailureMode::init
                                                : pairdot_model::FailureMode::pair;
  read_faults(args);
  auto cluster = pairdot_model::make_cluster(args.setup);
  const auto start = std::chrono::steady_clock::now();
  pairdot_model::RunReport report;
  const pairdot_model::JobSeen on_job =
      args.report.empty() ? pairdot_model::JobSeen{} : report_jobs(args.report, report, args.setup);
  const auto run = pairdot_model::run_model(cluster, args.parallel, on_job);
  if (!args.report.empty()) {
    report.rounds = run.state.rounds;
    pairdot_model::diagnose(report);
    pairdot_writers::write_report_dir(args.report, report);
  }
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  const double peak_rss = peak_rss_mib(); // the planner's, not the old approach's

  nlohmann::json out = {{"hosts", args.setup.hosts},
                        {"slots", args.setup.slots},
                        {"sweep_jobs", run.sweep_jobs},
                        {"extra_jobs", run.extra_jobs},
                        {"rounds", run.state.rounds},
                        {"modelled_seconds", run.modelled_seconds},
                        {"suspect_hosts", names_of(run.suspects.hosts)},
                        {"cannot_run", names_of(hosts_that_cannot_run(run.state.evidence))},
                        {"suspect_links", names_of(run.suspects.links)},
                        {"suspect_switches", switch_names(run.suspects.switches, args.setup)},
                        {"suspect_groups", group_names(run.suspects.groups)},
                        {"converged", run.state.converged},
                        {"faults", faults_json(args.setup.faults)},
                        {"exact", exact(run.suspects, args.setup)},
                        {"wall_seconds", wall.count()},
                        {"peak_rss_mib", peak_rss}};
  if (args.old) {
    const OldApproach old = old_approach(args.setup, args.parallel);
    out["old_extra_jobs"] = old.extra_jobs;
    out["old_modelled_seconds"] = old.modelled_seconds;
  }
  std::printf("%s\n", out.dump().c_str());
  return 0;
}

int fail(const std::string &what) {
  std::fprintf(stderr, "diagnosis-sim: %s\n", what.c_str());
  return 2;
}

} // namespace

int run_main(int argc, char **argv) {
  CLI::App app("Runs the fault isolation of pairdot-run on a modelled cluster and prints what it "
               "took and whom it named, as one JSON object.",
               "diagnosis-sim");
  Arguments args;
  add_options(app, args);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &help) {
    return app.exit(help);
  } catch (const CLI::ParseError &error) {
    return fail(std::string(error.what()) + " (diagnosis-sim --help)");
  }
  try {
    return simulate(args);
  } catch (const std::bad_alloc &) {
    return fail("out of memory");
  } catch (const std::exception &error) {
    return fail(error.what());
  }
}

int main(int argc, char **argv) {
  try {
    return run_main(argc, argv);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "%s: %s\n", "diagnosis-sim", error.what());
    return 2;
  }
}
