// diagnosis-sim: runs the planner of pairdot-run on a modelled cluster with
// dead hosts and bad or flaky links, and prints as JSON what it took and
// whom it named.

#include "cluster_model.hpp"
#include "model_runner.hpp"
#include "plan.hpp"
#include "writers.hpp"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

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
  bool probe = false;
  std::vector<std::string> slow_links;
  std::vector<std::string> slow_switches;
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
  app.add_flag("--probe", args.probe,
               "a probe sweep through pairdot-run (its slow-link rule and re-tests): adds "
               "slow_links, slow_switches and retest_jobs");
  app.add_option("--slow-link", args.slow_links,
                 "A:B:F: a probe from A to B measures F of a healthy link's bandwidth");
  app.add_option("--slow-switch", args.slow_switches,
                 "NAME:F: every link between a host below this switch and one elsewhere "
                 "measures F (a slow uplink)");
  app.add_option("--noise", args.setup.noise,
                 "every probe measure times exp(N(0, X)), drawn from the seed (0.1: about 10 %)")
      ->check(CLI::Range(0.0, 2.0));
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

double number_of(const std::string &text, const std::string &whole, const char *what) {
  std::size_t used = 0;
  double value = -1;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception &) {
    used = 0;
  }
  if (text.empty() || used != text.size()) {
    throw std::invalid_argument(std::string("not ") + what + " in '" + whole + "'");
  }
  return value;
}

FlakyLink parse_flaky_link(const std::string &text) {
  const auto parts = fields(text);
  if (parts.size() != 3) {
    throw std::invalid_argument("a flaky link is A:B:P, not '" + text + "'");
  }
  return {link_of(parts, text), number_of(parts[2], text, "a probability")};
}

// A share of a healthy link's bandwidth, within (0, 1].
double share_of(const std::string &text, const std::string &whole) {
  const double share = number_of(text, whole, "a share");
  if (!(share > 0 && share <= 1))
    throw std::invalid_argument("a share is within (0, 1], not '" + whole + "'");
  return share;
}

pairdot_model::SlowLink parse_slow_link(const std::string &text) {
  const auto parts = fields(text);
  if (parts.size() != 3) {
    throw std::invalid_argument("a slow link is A:B:F, not '" + text + "'");
  }
  return {link_of(parts, text), share_of(parts[2], text)};
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
  const auto switch_at = [&args](const std::string &name, const char *option) {
    const auto &names = args.setup.fabric.names;
    const auto found = std::find(names.begin(), names.end(), name);
    if (found == names.end()) {
      throw std::invalid_argument(std::string(option) + ": no switch " + name + " in the fabric");
    }
    return static_cast<int>(found - names.begin());
  };
  for (const std::string &name : args.cut_switches) {
    args.setup.faults.cut_switches.push_back(switch_at(name, "--cut-switch"));
  }
  for (const std::string &text : args.slow_switches) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos)
      throw std::invalid_argument("a slow switch is NAME:F, not '" + text + "'");
    args.setup.slow_switches.push_back({switch_at(text.substr(0, colon), "--slow-switch"),
                                        share_of(text.substr(colon + 1), text)});
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
  for (const auto &text : args.slow_links) {
    args.setup.slow_links.push_back(parse_slow_link(text));
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
  pairdot_run::JudgeSettings judge;
  judge.timeout = setup.timeout;
  return [&report, dir, names, judge](const pairdot_run::PlannedRun &job,
                                      const pairdot_model::JobAnswer &answer) {
    report.jobs.push_back(pairdot_model::job_outcome(judge, job, answer, names));
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

// The fabric as a topology.conf would give it, hosts named node0 ...
pairdot_hosts::Topology topology_of(const pairdot_model::SwitchTree &fabric) {
  pairdot_hosts::Topology topology;
  for (const std::string &name : fabric.names)
    topology.switches.push_back({name, {}, {}});
  for (std::size_t h = 0; h < fabric.leaf.size(); ++h) {
    if (fabric.leaf[h] >= 0)
      topology.switches[static_cast<std::size_t>(fabric.leaf[h])].nodes.push_back(
          host_name(static_cast<HostIndex>(h)));
  }
  for (std::size_t s = 0; s < fabric.parent.size(); ++s) {
    if (fabric.parent[s] >= 0)
      topology.switches[static_cast<std::size_t>(fabric.parent[s])].switches.push_back(
          fabric.names[s]);
  }
  return topology;
}

// Standard output and error to /dev/null while alive: pairdot-run's words.
struct Quiet {
  int out = dup(STDOUT_FILENO);
  int err = dup(STDERR_FILENO);
  Quiet() {
    std::fflush(stdout);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    close(null);
  }
  Quiet(const Quiet &) = delete;
  Quiet &operator=(const Quiet &) = delete;
  ~Quiet() {
    std::fflush(stdout);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    close(out);
    close(err);
  }
};

std::set<std::string> texts_of(const nlohmann::json &list) {
  std::set<std::string> out;
  for (const nlohmann::json &item : list)
    out.insert(item.is_object() ? item.at("sender").get<std::string>() + "->" +
                                      item.at("receiver").get<std::string>()
                                : item.get<std::string>());
  return out;
}

// Suspects and slow links and switches exactly as given (flaky links may be
// suspect too).
bool exact_probe(const nlohmann::json &report, const ClusterSetup &setup) {
  const auto expected = pairdot_model::expected_suspects(setup);
  std::set<std::string> slow_links;
  for (const pairdot_model::SlowLink &slow : setup.slow_links)
    slow_links.insert(link_name(slow.link));
  std::set<std::string> slow_switches;
  for (const pairdot_model::SlowSwitch &slow : setup.slow_switches)
    slow_switches.insert(setup.fabric.names[static_cast<std::size_t>(slow.at)]);
  std::set<std::string> suspect_links = texts_of(report.at("suspect_links"));
  std::set<std::string> expected_links;
  for (const Link &link : expected.links)
    expected_links.insert(link_name(link));
  for (const FlakyLink &flaky : setup.faults.flaky_links)
    suspect_links.erase(link_name(flaky.link));
  return texts_of(report.at("suspect_hosts")) == texts_of(names_of(expected.hosts)) &&
         texts_of(report.at("suspect_switches")) ==
             texts_of(switch_names(expected.switches, setup)) &&
         report.at("suspect_groups").size() == expected.groups.size() &&
         suspect_links == expected_links && texts_of(report.at("slow_links")) == slow_links &&
         texts_of(report.value("slow_switches", nlohmann::json::array())) == slow_switches;
}

// A probe sweep through pairdot-run over the model: its plan, its slow-link
// rule and re-tests; the report read back from report.json.
int simulate_probe(const Arguments &args) {
  const ClusterSetup &setup = args.setup;
  auto cluster = pairdot_model::make_cluster(setup);
  pairdot_run::RunOptions options;
  for (HostIndex h = 0; h < setup.hosts; ++h)
    options.hosts.push_back({host_name(h), setup.slots});
  options.sweep = true;
  options.settings.probe = true;
  options.settings.timeout = setup.timeout;
  options.parallel = args.parallel;
  if (setup.planner_knows_fabric)
    options.topology = topology_of(setup.fabric);
  std::string dir = args.report;
  if (dir.empty()) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "diagnosis-sim.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("cannot make a temporary directory");
    dir = pattern;
  }
  std::filesystem::create_directories(dir);
  std::filesystem::remove(dir + "/jobs.jsonl"); // a fresh journal
  options.report_dir = dir;
  const auto start = std::chrono::steady_clock::now();
  int status = 0;
  {
    pairdot_model::ModelRunner runner(cluster, options);
    const Quiet quiet;
    status = pairdot_run::run(options, runner);
  }
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  const double peak_rss = peak_rss_mib();
  std::ifstream in(dir + "/report.json");
  const nlohmann::json report = nlohmann::json::parse(in);
  const auto report_bytes = std::filesystem::file_size(dir + "/report.json");
  if (args.report.empty())
    std::filesystem::remove_all(dir);
  int sweep = 0;
  int retest = 0;
  int extra = 0;
  for (const nlohmann::json &job : report.at("jobs")) {
    const std::string kind = job.at("kind");
    ++(kind == "sweep" ? sweep : kind == "retest" ? retest : extra);
  }
  nlohmann::json out = {{"hosts", setup.hosts},
                        {"slots", setup.slots},
                        {"noise", setup.noise},
                        {"exit_status", status},
                        {"sweep_jobs", sweep},
                        {"extra_jobs", extra},
                        {"retest_jobs", retest},
                        {"suspect_hosts", report.at("suspect_hosts")},
                        {"suspect_links", report.at("suspect_links")},
                        {"slow_links", nlohmann::json(texts_of(report.at("slow_links")))},
                        {"slow_switches", report.value("slow_switches", nlohmann::json::array())},
                        {"median_mbps", report.at("probe").at("median_mbps")},
                        {"exact", exact_probe(report, setup)},
                        {"report_bytes", report_bytes},
                        {"wall_seconds", wall.count()},
                        {"peak_rss_mib", peak_rss}};
  std::printf("%s\n", out.dump().c_str());
  return 0;
}

int simulate(Arguments &args) {
  args.setup.failure = args.failure == "job"    ? pairdot_model::FailureMode::job
                       : args.failure == "init" ? pairdot_model::FailureMode::init
                                                : pairdot_model::FailureMode::pair;
  read_faults(args);
  if (args.probe)
    return simulate_probe(args);
  auto cluster = pairdot_model::make_cluster(args.setup);
  const auto start = std::chrono::steady_clock::now();
  pairdot_model::RunReport report;
  const pairdot_model::JobSeen on_job =
      args.report.empty() ? pairdot_model::JobSeen{} : report_jobs(args.report, report, args.setup);
  const auto run = pairdot_model::run_model(cluster, args.parallel, on_job);
  if (!args.report.empty()) {
    report.rounds = run.state.rounds();
    pairdot_model::diagnose(report);
    pairdot_writers::write_report_dir(args.report, report);
  }
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  const double peak_rss = peak_rss_mib(); // the planner's, not the old approach's

  nlohmann::json out = {{"hosts", args.setup.hosts},
                        {"slots", args.setup.slots},
                        {"sweep_jobs", run.sweep_jobs},
                        {"extra_jobs", run.extra_jobs},
                        {"rounds", run.state.rounds()},
                        {"modelled_seconds", run.modelled_seconds},
                        {"suspect_hosts", names_of(run.suspects.hosts)},
                        {"cannot_run", names_of(hosts_that_cannot_run(run.evidence))},
                        {"suspect_links", names_of(run.suspects.links)},
                        {"suspect_switches", switch_names(run.suspects.switches, args.setup)},
                        {"suspect_groups", group_names(run.suspects.groups)},
                        {"converged", run.state.converged()},
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
