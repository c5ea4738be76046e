#include "cluster_model.hpp"

#include "job_text.hpp"
#include "probe_line.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>

namespace pairdot_model {

namespace {

void check_host(const ClusterSetup &setup, HostIndex host) {
  if (host < 0 || host >= setup.hosts)
    throw std::invalid_argument("host " + std::to_string(host) + " out of range (0 to " +
                                std::to_string(setup.hosts - 1) + ")");
}

void check_link(const ClusterSetup &setup, const Link &link) {
  check_host(setup, link.first);
  check_host(setup, link.second);
  if (link.first == link.second)
    throw std::invalid_argument("link " + std::to_string(link.first) + ":" +
                                std::to_string(link.second) + " joins a host to itself");
}

void check_switch(const ClusterSetup &setup, int sw) {
  if (sw < 0 || static_cast<std::size_t>(sw) >= setup.fabric.below.size())
    throw std::invalid_argument("no such switch in the fabric");
}

void add_link_fault(Cluster &cluster, const Link &link, double probability) {
  const auto id = static_cast<std::uint64_t>(link.first) * cluster.setup.hosts + link.second;
  cluster.link_faults.push_back({id, probability});
  cluster.sends_fault[link.first] = 1;
}

bool cut_between(const Cluster &cluster, HostIndex a, HostIndex b) {
  return !cluster.side.empty() &&
         cluster.side[static_cast<std::size_t>(a)] != cluster.side[static_cast<std::size_t>(b)];
}

} // namespace

double failure_chance(const Cluster &cluster, HostIndex sender, HostIndex receiver) {
  if (sender == receiver)
    return 0;
  if (cluster.dead[static_cast<std::size_t>(sender)] == 2 ||
      cluster.dead[static_cast<std::size_t>(receiver)] == 2 ||
      cut_between(cluster, sender, receiver))
    return 1;
  if (!cluster.sends_fault[sender])
    return 0;
  const auto id = static_cast<std::uint64_t>(sender) * cluster.setup.hosts + receiver;
  const auto it = std::lower_bound(
      cluster.link_faults.begin(), cluster.link_faults.end(), id,
      [](const LinkFault &fault, std::uint64_t value) { return fault.link < value; });
  return it != cluster.link_faults.end() && it->link == id ? it->probability : 0;
}

namespace {

bool pair_fails(Cluster &cluster, HostIndex sender, HostIndex receiver) {
  const double chance = failure_chance(cluster, sender, receiver);
  if (chance <= 0)
    return false;
  return chance >= 1 || std::uniform_real_distribution<double>(0, 1)(cluster.random) < chance;
}

double launch_seconds(std::size_t ranks) { return 0.5 + 20e-6 * static_cast<double>(ranks); }
// How long pairdot-run waits for the ranks of missing hosts after the others started.
double missing_hosts_wait(std::size_t ranks) { return std::max(5.0, 2 * launch_seconds(ranks)); }

// Slurm will not use some hosts of the job: it is kept waiting.
bool kept_waiting(const Cluster &cluster, const std::vector<HostIndex> &rank_hosts,
                  pairdot_model::JobEvidence &seen) {
  if (cluster.jobs < cluster.setup.unusable_from)
    return false;
  for (const HostIndex host : cluster.setup.unusable) {
    if (std::find(rank_hosts.begin(), rank_hosts.end(), host) != rank_hosts.end())
      seen.unavailable_hosts.push_back(host);
  }
  seen.held = !seen.unavailable_hosts.empty();
  return seen.held;
}

// Where each rank ran when some ran elsewhere than placed; else empty.
std::vector<HostIndex> ran_elsewhere(const Cluster &cluster,
                                     const std::vector<HostIndex> &rank_hosts) {
  if (cluster.setup.moved_hosts.empty())
    return {};
  std::vector<HostIndex> ran = rank_hosts;
  bool moved = false;
  for (const Link &move : cluster.setup.moved_hosts) {
    for (HostIndex &host : ran) {
      if (host == move.first) {
        host = move.second;
        moved = true;
      }
    }
  }
  return moved ? ran : std::vector<HostIndex>{};
}

// A rank that never sends fails its pair and holds the job until the bound.
void hold_ranks(const Cluster &cluster, JobAnswer &answer) {
  for (const int rank : cluster.setup.held_ranks) {
    const auto pair = static_cast<std::size_t>(rank / 2);
    if (rank >= 0 && pair < answer.seen.verified.size()) {
      answer.seen.verified[pair] = 0;
      answer.status = JobStatus::timed_out;
      answer.seconds = cluster.setup.timeout;
    }
  }
}

// The share of the cluster's bandwidth a link carries: the least of its
// slow link's and of the slow uplinks it crosses.
double link_share(const Cluster &cluster, const Link &link) {
  double share = 1;
  for (const SlowLink &slow : cluster.setup.slow_links) {
    if (slow.link == link)
      share = std::min(share, slow.share);
  }
  for (std::size_t s = 0; s < cluster.slow_below.size(); ++s) {
    const auto &below = cluster.slow_below[s];
    if (below[static_cast<std::size_t>(link.first)] != below[static_cast<std::size_t>(link.second)])
      share = std::min(share, cluster.setup.slow_switches[s].share);
  }
  return share;
}

// Each pair's own bandwidth: pairs that share a host do not share its
// bandwidth here.
void measure_pairs(Cluster &cluster, const std::vector<HostIndex> &rank_hosts, JobAnswer &answer) {
  const ClusterSetup &setup = cluster.setup;
  if (setup.slow_links.empty() && setup.slow_switches.empty() && setup.noise <= 0)
    return;
  std::normal_distribution<double> spread(0, setup.noise > 0 ? setup.noise : 1);
  answer.mbps.assign(answer.seen.verified.size(), healthy_mbps);
  for (std::size_t p = 0; p < answer.mbps.size(); ++p) {
    answer.mbps[p] *= link_share(cluster, {rank_hosts[2 * p], rank_hosts[2 * p + 1]});
    if (setup.noise > 0)
      answer.mbps[p] *= std::exp(spread(cluster.random));
  }
}

// A probe's line for a verified pair: mbps at 1 MiB, a hundredth at 8 bytes.
pairdot_probe::ProbeLine probe_line(std::int32_t sender, double mbps) {
  return {sender, {8, pairdot_probe::mib}, {mbps / 100, mbps}, 20.0, std::nullopt, ""};
}

// What a job ended as, as its launcher and its ranks' output show it.
void observe_end(const JobAnswer &answer, std::size_t ranks, pairdot_run::JobObservations &seen) {
  using pairdot_run::JobEnd;
  seen.launcher_status = 143; // SIGTERM from the watch
  switch (answer.status) {
  case JobStatus::not_started:
    seen.end = JobEnd::by_bound;
    seen.launcher_said_waiting = true;
    break;
  case JobStatus::timed_out:
    seen.end = JobEnd::by_bound;
    break;
  case JobStatus::hosts_missing:
    seen.end = JobEnd::for_missing_hosts;
    seen.quiet_seconds = missing_hosts_wait(ranks);
    break;
  default:
    seen.launcher_status = answer.status == JobStatus::failed ? 1 : 0;
  }
}

// pairdot's lines of a rank: its vector, all zeros, and the pair's result if
// it verified; the probe's line from the odd rank of a verified pair.
std::string rank_output(std::size_t rank, bool verified, bool probe, double mbps) {
  const auto number = static_cast<int>(rank);
  if (probe)
    return number % 2 == 1 && verified
               ? pairdot_probe::format_probe_line(probe_line(number - 1, mbps)) + "\n"
               : "";
  std::string text = job_text::vector_line(number, {});
  if (number % 2 == 1 && verified)
    text += job_text::result_line(number - 1, number, 0);
  return text;
}

// Verifies every pair but the failing ones; false if one failed.
bool run_pairs(Cluster &cluster, const std::vector<HostIndex> &rank_hosts,
               std::vector<std::uint8_t> &verified) {
  bool all = true;
  for (std::size_t p = 0; p < verified.size(); ++p) {
    if (pair_fails(cluster, rank_hosts[2 * p], rank_hosts[2 * p + 1])) {
      all = false;
      if (cluster.setup.failure == FailureMode::job)
        return false;
    } else {
      verified[p] = 1;
    }
  }
  return all;
}

// A link fault between two hosts of the job fails it in MPI_Init.
bool fails_in_init(Cluster &cluster, const std::vector<HostIndex> &rank_hosts) {
  std::vector<std::uint8_t> present(cluster.dead.size(), 0);
  // A dark host beside another, or hosts on both sides of a cut, fail it too.
  const HostIndex first = rank_hosts.front();
  for (const HostIndex host : rank_hosts) {
    present[static_cast<std::size_t>(host)] = 1;
    if (host != first &&
        (cluster.dead[static_cast<std::size_t>(host)] == 2 ||
         cluster.dead[static_cast<std::size_t>(first)] == 2 || cut_between(cluster, host, first)))
      return true;
  }
  const auto hosts = static_cast<std::uint64_t>(cluster.setup.hosts);
  for (const LinkFault &fault : cluster.link_faults) {
    if (present[fault.link / hosts] != 0 && present[fault.link % hosts] != 0 &&
        pair_fails(cluster, static_cast<HostIndex>(fault.link / hosts),
                   static_cast<HostIndex>(fault.link % hosts)))
      return true;
  }
  return false;
}

} // namespace

Cluster make_cluster(const ClusterSetup &setup) {
  if (setup.hosts < 2 || setup.slots < 1)
    throw std::invalid_argument("a cluster needs at least two hosts of at least one slot");
  Cluster cluster{setup, {}, {}, {}, {}, {}, std::mt19937_64(setup.seed), 0};
  cluster.dead.assign(static_cast<std::size_t>(setup.hosts), 0);
  cluster.sends_fault = cluster.dead;
  for (HostIndex host : setup.faults.dead_hosts) {
    check_host(setup, host);
    cluster.dead[host] = 1;
  }
  // 2: dark, its ranks start but reach no one.
  for (HostIndex host : setup.faults.dark_hosts) {
    check_host(setup, host);
    if (cluster.dead[host] == 0)
      cluster.dead[host] = 2;
  }
  for (const int sw : setup.faults.cut_switches) {
    check_switch(setup, sw);
    cluster.side.resize(static_cast<std::size_t>(setup.hosts), 0);
    for (const HostIndex host : setup.fabric.below[static_cast<std::size_t>(sw)])
      cluster.side[static_cast<std::size_t>(host)] = 1 + sw;
  }
  std::vector<Link> links = setup.moved_hosts;
  for (const SlowLink &slow : setup.slow_links)
    links.push_back(slow.link);
  for (const Link &link : links)
    check_link(setup, link);
  for (const HostIndex host : setup.unusable)
    check_host(setup, host);
  for (const Link &link : setup.faults.bad_links) {
    check_link(setup, link);
    add_link_fault(cluster, link, 1);
  }
  for (const SlowSwitch &slow : setup.slow_switches) {
    check_switch(setup, slow.at);
    cluster.slow_below.emplace_back(static_cast<std::size_t>(setup.hosts), 0);
    for (const HostIndex host : setup.fabric.below[static_cast<std::size_t>(slow.at)])
      cluster.slow_below.back()[static_cast<std::size_t>(host)] = 1;
  }
  for (const FlakyLink &flaky : setup.faults.flaky_links) {
    check_link(setup, flaky.link);
    if (!(flaky.probability >= 0 && flaky.probability <= 1))
      throw std::invalid_argument("a failure probability must be within 0 to 1");
    add_link_fault(cluster, flaky.link, flaky.probability);
  }
  auto &faults = cluster.link_faults;
  std::stable_sort(faults.begin(), faults.end(),
                   [](const LinkFault &a, const LinkFault &b) { return a.link < b.link; });
  // A link given twice keeps its first (a bad link before a flaky one).
  faults.erase(std::unique(faults.begin(), faults.end(),
                           [](const LinkFault &a, const LinkFault &b) { return a.link == b.link; }),
               faults.end());
  return cluster;
}

JobAnswer run_job(Cluster &cluster, const std::vector<HostIndex> &rank_hosts) {
  ++cluster.jobs;
  JobAnswer answer;
  const std::size_t ranks = rank_hosts.size();
  const double launch = launch_seconds(ranks);
  const double timeout = cluster.setup.timeout;
  answer.seen.started.assign(ranks, 1);
  answer.seen.verified.assign(ranks / 2, 0);
  if (kept_waiting(cluster, rank_hosts, answer.seen)) {
    std::fill(answer.seen.started.begin(), answer.seen.started.end(), 0);
    answer.status = JobStatus::not_started;
    answer.seconds = timeout;
    return answer;
  }
  answer.ran_on = ran_elsewhere(cluster, rank_hosts);
  if (!answer.ran_on.empty()) {
    answer.status = JobStatus::misplaced;
    answer.seconds = launch;
    return answer;
  }
  const bool beside_others = std::any_of(rank_hosts.begin(), rank_hosts.end(), [&](HostIndex host) {
    return host != rank_hosts.front();
  });
  const auto only_alone = [&](HostIndex host) {
    return beside_others && cluster.jobs >= cluster.setup.alone_only_from &&
           std::count(cluster.setup.alone_only.begin(), cluster.setup.alone_only.end(), host) > 0;
  };
  std::size_t missing = 0;
  for (std::size_t r = 0; r < ranks; ++r) {
    if (cluster.dead[rank_hosts[r]] == 1 || only_alone(rank_hosts[r])) {
      answer.seen.started[r] = 0;
      ++missing;
    }
  }
  if (missing > 0 && (missing == ranks || cluster.setup.launcher_waits)) {
    std::fill(answer.seen.started.begin(), answer.seen.started.end(), 0);
    answer.status = JobStatus::timed_out;
    answer.seconds = timeout;
  } else if (missing > 0) {
    // MPI_Init waits for every rank: no pair of the job runs.
    answer.status = JobStatus::hosts_missing;
    answer.seconds = std::min(timeout, launch + missing_hosts_wait(ranks));
  } else {
    const bool init_failed =
        cluster.setup.failure == FailureMode::init && fails_in_init(cluster, rank_hosts);
    answer.status = !init_failed && run_pairs(cluster, rank_hosts, answer.seen.verified)
                        ? JobStatus::verified
                        : JobStatus::failed;
    answer.seconds = launch;
    if (answer.status == JobStatus::failed && cluster.setup.failure != FailureMode::pair) {
      std::fill(answer.seen.verified.begin(), answer.seen.verified.end(), 0);
    } else {
      hold_ranks(cluster, answer);
    }
    measure_pairs(cluster, rank_hosts, answer);
  }
  return answer;
}

pairdot_run::JobObservations job_observations(const JobAnswer &answer,
                                              const std::vector<HostIndex> &rank_hosts,
                                              const std::vector<std::string> &host_names,
                                              bool probe) {
  pairdot_run::JobObservations seen;
  seen.seconds = answer.seconds;
  observe_end(answer, rank_hosts.size(), seen);
  for (std::size_t r = 0; r < rank_hosts.size(); ++r) {
    const HostIndex ran = answer.ran_on.empty() ? rank_hosts[r] : answer.ran_on[r];
    const bool started = answer.seen.started[r] != 0;
    seen.recorded_hosts.push_back(started ? host_names[static_cast<std::size_t>(ran)] : "");
    const std::size_t pair = r / 2;
    const bool verified = pair < answer.seen.verified.size() && answer.seen.verified[pair] != 0;
    const double mbps = answer.mbps.empty() || !verified ? healthy_mbps : answer.mbps[pair];
    seen.rank_output.push_back(started ? rank_output(r, verified, probe, mbps) : "");
  }
  for (const HostIndex host : answer.seen.unavailable_hosts)
    seen.unavailable.push_back({host_names[static_cast<std::size_t>(host)], "down"});
  return seen;
}

JobOutcome job_outcome(const pairdot_run::JudgeSettings &settings,
                       const pairdot_run::PlannedRun &job, const JobAnswer &answer,
                       const std::vector<std::string> &host_names) {
  pairdot_run::JobPlan plan{job.number, job.shape.kind, {}, 0, {}};
  for (const HostIndex host : job.shape.rank_hosts)
    plan.rank_hosts.push_back(host_names[static_cast<std::size_t>(host)]);
  for (const HostIndex host : job.shape.tested)
    plan.tested_hosts.push_back(host_names[static_cast<std::size_t>(host)]);
  plan.np = static_cast<int>(plan.rank_hosts.size());
  return pairdot_run::judge_job(
      settings, plan, job_observations(answer, job.shape.rank_hosts, host_names, settings.probe));
}

long long most_jobs_of(int hosts) {
  const auto n = static_cast<long long>(hosts);
  return 64 * n * n + 1000;
}

ModelRun run_model(Cluster &cluster, int parallel, const JobSeen &on_job) {
  ModelRun run;
  run.state = pairdot_run::Isolation(
      std::vector<int>(static_cast<std::size_t>(cluster.setup.hosts), cluster.setup.slots),
      parallel, cluster.setup.planner_knows_fabric ? cluster.setup.fabric : SwitchTree{});
  run.evidence = make_evidence(cluster.setup.hosts);
  const long long most_jobs = most_jobs_of(cluster.setup.hosts);
  for (;;) {
    const auto round = run.state.next_round(run.evidence);
    if (round.empty())
      break;
    if (run.sweep_jobs + run.extra_jobs > most_jobs)
      throw std::runtime_error("the planner did not finish within " + std::to_string(most_jobs) +
                               " jobs");
    double slowest = 0;
    for (const auto &job : round) {
      const JobAnswer answer = run_job(cluster, job.shape.rank_hosts);
      add_job(run.evidence, job.shape, answer.seen);
      run.state.record(job, answer.seen, run.evidence);
      ++(job.shape.kind == pairdot_model::JobKind::sweep ? run.sweep_jobs : run.extra_jobs);
      slowest = std::max(slowest, answer.seconds);
      if (on_job)
        on_job(job, answer);
    }
    run.modelled_seconds += slowest;
  }
  run.suspects = pairdot_model::find_suspects(run.evidence, run.state.switches());
  std::sort(run.suspects.hosts.begin(), run.suspects.hosts.end());
  std::sort(run.suspects.links.begin(), run.suspects.links.end());
  return run;
}

pairdot_model::Suspects expected_suspects(const ClusterSetup &setup) {
  pairdot_model::Suspects expected;
  expected.hosts = setup.faults.dead_hosts;
  expected.hosts.insert(expected.hosts.end(), setup.faults.dark_hosts.begin(),
                        setup.faults.dark_hosts.end());
  std::sort(expected.hosts.begin(), expected.hosts.end());
  expected.hosts.erase(std::unique(expected.hosts.begin(), expected.hosts.end()),
                       expected.hosts.end());
  const auto named = [&expected](HostIndex host) {
    return std::binary_search(expected.hosts.begin(), expected.hosts.end(), host);
  };
  std::vector<int> side(static_cast<std::size_t>(setup.hosts), 0);
  for (const int sw : setup.faults.cut_switches) {
    std::vector<HostIndex> group;
    for (const HostIndex host : setup.fabric.below[static_cast<std::size_t>(sw)]) {
      side[static_cast<std::size_t>(host)] = 1 + sw;
      if (!named(host))
        group.push_back(host);
    }
    if (setup.planner_knows_fabric && group == setup.fabric.below[static_cast<std::size_t>(sw)]) {
      expected.switches.push_back(sw);
    } else if (group.size() >= 2) {
      expected.groups.push_back(group);
    }
  }
  for (const Link &link : setup.faults.bad_links) {
    if (!named(link.first) && !named(link.second) &&
        side[static_cast<std::size_t>(link.first)] == side[static_cast<std::size_t>(link.second)])
      expected.links.push_back(link);
  }
  std::sort(expected.links.begin(), expected.links.end());
  expected.links.erase(std::unique(expected.links.begin(), expected.links.end()),
                       expected.links.end());
  std::sort(expected.switches.begin(), expected.switches.end());
  std::sort(expected.groups.begin(), expected.groups.end());
  return expected;
}

} // namespace pairdot_model
