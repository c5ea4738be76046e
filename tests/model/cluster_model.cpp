#include "cluster_model.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace pairdot_model {

namespace {

void check_host(const ClusterSetup &setup, HostIndex host) {
  if (host < 0 || host >= setup.hosts) {
    throw std::invalid_argument("host " + std::to_string(host) + " out of range (0 to " +
                                std::to_string(setup.hosts - 1) + ")");
  }
}

void check_link(const ClusterSetup &setup, const Link &link) {
  check_host(setup, link.first);
  check_host(setup, link.second);
  if (link.first == link.second) {
    throw std::invalid_argument("link " + std::to_string(link.first) + ":" +
                                std::to_string(link.second) + " joins a host to itself");
  }
}

void add_link_fault(Cluster &cluster, const Link &link, double probability) {
  const auto id = static_cast<std::uint64_t>(link.first) * cluster.setup.hosts + link.second;
  cluster.link_faults.push_back({id, probability});
  cluster.sends_fault[link.first] = 1;
}

// The chance that a pair from sender to receiver fails.
double failure_chance(const Cluster &cluster, HostIndex sender, HostIndex receiver) {
  if (sender == receiver || !cluster.sends_fault[sender]) {
    return 0;
  }
  const auto id = static_cast<std::uint64_t>(sender) * cluster.setup.hosts + receiver;
  const auto it = std::lower_bound(
      cluster.link_faults.begin(), cluster.link_faults.end(), id,
      [](const LinkFault &fault, std::uint64_t value) { return fault.link < value; });
  return it != cluster.link_faults.end() && it->link == id ? it->probability : 0;
}

bool pair_fails(Cluster &cluster, HostIndex sender, HostIndex receiver) {
  const double chance = failure_chance(cluster, sender, receiver);
  if (chance <= 0) {
    return false;
  }
  return chance >= 1 || std::uniform_real_distribution<double>(0, 1)(cluster.random) < chance;
}

double launch_seconds(std::size_t ranks) { return 0.5 + 20e-6 * static_cast<double>(ranks); }

// Verifies every pair but the failing ones; false if one failed.
bool run_pairs(Cluster &cluster, const std::vector<HostIndex> &rank_hosts,
               std::vector<std::uint8_t> &verified) {
  bool all = true;
  for (std::size_t p = 0; p < verified.size(); ++p) {
    if (pair_fails(cluster, rank_hosts[2 * p], rank_hosts[2 * p + 1])) {
      all = false;
      if (cluster.setup.failure == FailureMode::job) {
        return false;
      }
    } else {
      verified[p] = 1;
    }
  }
  return all;
}

// A link fault between two hosts of the job fails it in MPI_Init.
bool fails_in_init(Cluster &cluster, const std::vector<HostIndex> &rank_hosts) {
  std::vector<std::uint8_t> present(cluster.dead.size(), 0);
  for (const HostIndex host : rank_hosts) {
    present[static_cast<std::size_t>(host)] = 1;
  }
  const auto hosts = static_cast<std::uint64_t>(cluster.setup.hosts);
  for (const LinkFault &fault : cluster.link_faults) {
    if (present[fault.link / hosts] != 0 && present[fault.link % hosts] != 0 &&
        pair_fails(cluster, static_cast<HostIndex>(fault.link / hosts),
                   static_cast<HostIndex>(fault.link % hosts))) {
      return true;
    }
  }
  return false;
}

} // namespace

Cluster make_cluster(const ClusterSetup &setup) {
  if (setup.hosts < 2 || setup.slots < 1) {
    throw std::invalid_argument("a cluster needs at least two hosts of at least one slot");
  }
  Cluster cluster{setup,
                  std::vector<std::uint8_t>(setup.hosts, 0),
                  std::vector<std::uint8_t>(setup.hosts, 0),
                  {},
                  std::mt19937_64(setup.seed)};
  for (HostIndex host : setup.faults.dead_hosts) {
    check_host(setup, host);
    cluster.dead[host] = 1;
  }
  for (const Link &link : setup.faults.bad_links) {
    check_link(setup, link);
    add_link_fault(cluster, link, 1);
  }
  for (const FlakyLink &flaky : setup.faults.flaky_links) {
    check_link(setup, flaky.link);
    if (!(flaky.probability >= 0 && flaky.probability <= 1)) {
      throw std::invalid_argument("a failure probability must be within 0 to 1");
    }
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
  JobAnswer answer;
  const std::size_t ranks = rank_hosts.size();
  answer.seen.started.assign(ranks, 1);
  answer.seen.verified.assign(ranks / 2, 0);
  std::size_t missing = 0;
  for (std::size_t r = 0; r < ranks; ++r) {
    if (cluster.dead[rank_hosts[r]]) {
      answer.seen.started[r] = 0;
      ++missing;
    }
  }
  const double launch = launch_seconds(ranks);
  const double timeout = cluster.setup.timeout;
  if (missing > 0 && (missing == ranks || cluster.setup.launcher_waits)) {
    std::fill(answer.seen.started.begin(), answer.seen.started.end(), 0);
    answer.end = JobEnd::timed_out;
    answer.seconds = timeout;
  } else if (missing > 0) {
    // MPI_Init waits for every rank: no pair of the job runs.
    answer.end = JobEnd::hosts_missing;
    answer.seconds = std::min(timeout, launch + std::max(5.0, 2 * launch));
  } else {
    const bool init_failed =
        cluster.setup.failure == FailureMode::init && fails_in_init(cluster, rank_hosts);
    answer.end = !init_failed && run_pairs(cluster, rank_hosts, answer.seen.verified)
                     ? JobEnd::verified
                     : JobEnd::failed;
    if (answer.end == JobEnd::failed && cluster.setup.failure != FailureMode::pair) {
      std::fill(answer.seen.verified.begin(), answer.seen.verified.end(), 0);
    }
    answer.seconds = launch;
  }
  return answer;
}

ModelRun run_model(Cluster &cluster, int parallel, const JobSeen &on_job) {
  ModelRun run;
  run.state = pairdot_run::start_isolation(
      std::vector<int>(static_cast<std::size_t>(cluster.setup.hosts), cluster.setup.slots),
      parallel);
  for (;;) {
    const auto round = pairdot_run::next_round(run.state);
    if (round.empty()) {
      break;
    }
    double slowest = 0;
    for (const auto &job : round) {
      const JobAnswer answer = run_job(cluster, job.shape.rank_hosts);
      pairdot_run::record(run.state, job, answer.seen);
      ++(job.shape.kind == pairdot_model::JobKind::sweep ? run.sweep_jobs : run.extra_jobs);
      slowest = std::max(slowest, answer.seconds);
      if (on_job) {
        on_job(job, answer);
      }
    }
    run.modelled_seconds += slowest;
  }
  run.suspects = pairdot_model::find_suspects(run.state.evidence);
  std::sort(run.suspects.hosts.begin(), run.suspects.hosts.end());
  std::sort(run.suspects.links.begin(), run.suspects.links.end());
  return run;
}

pairdot_model::Suspects expected_suspects(const ClusterSetup &setup) {
  pairdot_model::Suspects expected;
  expected.hosts = setup.faults.dead_hosts;
  std::sort(expected.hosts.begin(), expected.hosts.end());
  expected.hosts.erase(std::unique(expected.hosts.begin(), expected.hosts.end()),
                       expected.hosts.end());
  const auto alive = [&expected](HostIndex host) {
    return !std::binary_search(expected.hosts.begin(), expected.hosts.end(), host);
  };
  for (const Link &link : setup.faults.bad_links) {
    if (alive(link.first) && alive(link.second)) {
      expected.links.push_back(link);
    }
  }
  std::sort(expected.links.begin(), expected.links.end());
  expected.links.erase(std::unique(expected.links.begin(), expected.links.end()),
                       expected.links.end());
  return expected;
}

} // namespace pairdot_model
