#include "cluster_model.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

using pairdot_model::ClusterSetup;
using pairdot_model::FailureMode;
using pairdot_model::Faults;
using pairdot_model::HostIndex;
using pairdot_model::Link;
using pairdot_model::LinkState;

struct Scenario {
  const char *name;
  HostIndex hosts;
  int slots;
  Faults faults;
  FailureMode failure = FailureMode::pair;
  bool launcher_waits = false;
  int leaves = 0;          // consecutive hosts under leaf0 ... below spine0
  bool told_leaves = true; // the planner is given them
};

int ceil_log2(long long n) {
  int bits = 0;
  while ((1LL << bits) < n)
    ++bits;
  return bits;
}

// Extra jobs a planner that splits in halves needs at most. Dead hosts:
// when the launcher waits, nothing shows which hosts of a job are dead, so
// halving the job's N hosts takes at most 2 log2 N jobs for each, plus the
// whole group; otherwise the ranks not started name the candidates, and
// splitting d of them takes at most 2d - 1. Failing links: each fails one
// sweep job. In job mode all P pairs of it are suspect, and halving (both
// halves at each level) takes 2 log2 P jobs to one failing pair, one to
// test it alone and one for the links set aside; in pair mode only the b
// failed pairs are suspect: 2 log2 b + 2. A flaky link may fail anew at
// every test: twice a bad one's. The first failed job of hosts not known
// good is hunted first: rings of up to 4 blocks and a reach job for each
// that failed. A dark host or a cut switch costs a reach job a halving of
// the hosts, rings to grow its group (twice log2 N a side), and three reach
// jobs to confirm it.
int extra_job_bound(const Scenario &s) {
  const auto dead = static_cast<int>(s.faults.dead_hosts.size());
  const int host_jobs = s.launcher_waits ? dead * 2 * ceil_log2(s.hosts) + 1 : 2 * dead;
  const auto bad = static_cast<int>(s.faults.bad_links.size());
  const int per_link = s.failure == FailureMode::job
                           ? 2 * ceil_log2(static_cast<long long>(s.hosts) * s.slots / 2) + 2
                           : 2 * ceil_log2(bad + 1) + 2;
  const auto flaky = static_cast<int>(s.faults.flaky_links.size());
  const auto units = static_cast<int>(s.faults.dark_hosts.size() + s.faults.cut_switches.size());
  const int hunt = bad + flaky + units > 0 ? 8 : 0;
  return host_jobs + per_link * (bad + 2 * flaky) + hunt + units * (5 * ceil_log2(s.hosts) + 3);
}

// The links that must be named: the bad ones and the flaky ones that always
// fail, between live hosts.
pairdot_model::Suspects must_find(ClusterSetup setup) {
  for (const auto &flaky : setup.faults.flaky_links) {
    if (flaky.probability >= 1)
      setup.faults.bad_links.push_back(flaky.link);
  }
  return pairdot_model::expected_suspects(setup);
}

bool is_flaky(const Faults &faults, const Link &link) {
  return std::any_of(faults.flaky_links.begin(), faults.flaky_links.end(),
                     [&link](const auto &flaky) { return flaky.link == link; });
}

// Of a dead or dark host, across a cut, bad or flaky.
bool is_faulty(const pairdot_model::Cluster &cluster, const Link &link) {
  const auto dead = [&](HostIndex host) { return cluster.dead[static_cast<std::size_t>(host)]; };
  return dead(link.first) != 0 || dead(link.second) != 0 ||
         pairdot_model::failure_chance(cluster, link.first, link.second) > 0;
}

void check_scenario(const Scenario &s, std::uint64_t seed) {
  SCOPED_TRACE(std::string(s.name) + ", seed " + std::to_string(seed));
  ClusterSetup setup;
  setup.hosts = s.hosts;
  setup.slots = s.slots;
  setup.faults = s.faults;
  setup.failure = s.failure;
  setup.launcher_waits = s.launcher_waits;
  setup.seed = seed;
  setup.fabric = pairdot_model::leaf_spine(s.hosts, s.leaves);
  setup.planner_knows_fabric = s.told_leaves;
  auto cluster = pairdot_model::make_cluster(setup);
  std::set<Link> failed_alone; // 2-rank isolation jobs whose pair failed
  const auto run = pairdot_model::run_model(
      cluster, 4, [&](const pairdot_run::PlannedRun &job, const pairdot_model::JobAnswer &answer) {
        const auto &hosts = job.shape.rank_hosts;
        if (job.shape.kind == pairdot_model::JobKind::isolation && hosts.size() == 2 &&
            answer.seen.started[0] && answer.seen.started[1] && !answer.seen.verified[0])
          failed_alone.insert({hosts[0], hosts[1]});
      });

  const auto expected = must_find(setup);
  EXPECT_EQ(run.suspects.hosts, expected.hosts);
  EXPECT_EQ(run.suspects.switches, expected.switches);
  EXPECT_EQ(run.suspects.groups, expected.groups);
  for (const Link &link : expected.links)
    EXPECT_TRUE(std::binary_search(run.suspects.links.begin(), run.suspects.links.end(), link))
        << "not named: " << link.first << " -> " << link.second;
  for (const Link &link : run.suspects.links) {
    EXPECT_TRUE(std::binary_search(expected.links.begin(), expected.links.end(), link) ||
                is_flaky(s.faults, link))
        << "named: " << link.first << " -> " << link.second;
    EXPECT_EQ(failed_alone.count(link), 1u)
        << "not tested alone: " << link.first << " -> " << link.second;
  }
  const auto &evidence = run.evidence;
  std::vector<Link> blamed;    // failed, yet not faulty
  std::vector<Link> uncovered; // not faulty, not tested
  for (HostIndex a = 0; a < s.hosts; ++a) {
    for (HostIndex b = 0; b < s.hosts; ++b) {
      if (a == b || is_faulty(cluster, {a, b}))
        continue;
      if (pairdot_model::link_state(evidence, a, b) == LinkState::failed)
        blamed.emplace_back(a, b);
      if (pairdot_model::link_verdict(evidence, a, b) == pairdot_model::LinkVerdict::not_covered)
        uncovered.emplace_back(a, b);
    }
  }
  EXPECT_EQ(blamed, std::vector<Link>{});
  EXPECT_EQ(uncovered, std::vector<Link>{});
  for (const auto &flaky : s.faults.flaky_links) {
    const auto state = pairdot_model::link_state(evidence, flaky.link.first, flaky.link.second);
    EXPECT_TRUE(state == LinkState::verified || state == LinkState::failed)
        << "flaky link left " << static_cast<int>(state);
  }
  EXPECT_LE(run.extra_jobs, extra_job_bound(s));
}

TEST(Isolation, NamesExactlyTheFaultsOfAModelledCluster) {
  const auto job = FailureMode::job;
  const auto pair = FailureMode::pair;
  const auto init = FailureMode::init;
  const Scenario scenarios[] = {
      {"one dead host", 8, 2, {{5}, {}, {}}, pair},
      {"two dead hosts", 16, 4, {{3, 11}, {}, {}}, job},
      {"a bad link one way", 12, 3, {{}, {{2, 7}}, {}}, pair},
      {"a bad link both ways", 10, 2, {{}, {{4, 1}, {1, 4}}, {}}, job},
      {"a dead host and a bad link", 32, 8, {{20}, {{3, 9}}, {}}, job},
      {"a bad link from a dead host", 6, 2, {{0}, {{0, 3}}, {}}, job},
      {"a flaky link that always fails", 8, 4, {{}, {}, {{{6, 2}, 1.0}}}, pair},
      {"a flaky link, job mode", 8, 2, {{}, {}, {{{0, 5}, 0.3}}}, job},
      {"a flaky link, pair mode", 16, 1, {{}, {}, {{{9, 4}, 0.3}}}, pair},
      {"whole-job failures", 64, 8, {{}, {{10, 20}, {30, 40}, {50, 60}}, {}}, job},
      {"one-pair failures", 64, 1, {{}, {{10, 20}, {20, 10}, {63, 0}}, {}}, pair},
      {"four hosts, one slot", 4, 1, {{2}, {{0, 1}}, {}}, job},
      // A link blamed between two hosts is tested alone, never packed with another.
      {"two bad links on disjoint hosts", 4, 1, {{}, {{0, 2}, {1, 3}}, {}}, job},
      {"two bad links, two slots", 4, 2, {{}, {{0, 1}, {2, 3}}, {}}, job},
      {"two bad links both ways", 4, 1, {{}, {{0, 2}, {2, 0}, {1, 3}, {3, 1}}, {}}, pair},
      {"the launcher waits", 8, 1, {{7}, {{0, 1}, {1, 0}}, {}}, job, true},
      {"the launcher waits, two dead", 24, 2, {{3, 17}, {{5, 6}}, {}}, pair, true},
      // Faults of a whole host or switch are named whole, never link by link.
      {"a dark host", 16, 4, {{}, {}, {}, {5}}, job},
      {"a dark host, pair mode", 12, 2, {{}, {}, {}, {0}}, pair},
      {"a dark host, in MPI_Init", 10, 2, {{}, {}, {}, {9}}, init},
      {"a dark host beside a dead one and a bad link", 16, 2, {{3}, {{1, 7}}, {}, {12}}, job},
      {"two dark hosts", 40, 4, {{}, {}, {}, {6, 30}}, job},
      {"a leaf cut off", 24, 2, {{}, {}, {}, {}, {1}}, job, false, 4},
      {"a leaf cut off, in MPI_Init", 24, 2, {{}, {}, {}, {}, {2}}, init, false, 4},
      {"a leaf cut off, no topology", 24, 2, {{}, {}, {}, {}, {1}}, job, false, 4, false},
      {"a leaf cut off, a dark host in another",
       40,
       2,
       {{}, {{0, 39}}, {}, {25}, {0}},
       job,
       false,
       5},
      {"a dark host alone on its leaf", 12, 2, {{}, {}, {}, {11}}, job, false, 4},
  };
  for (const Scenario &s : scenarios)
    for (std::uint64_t seed = 1; seed <= 3; ++seed)
      check_scenario(s, seed);
}

} // namespace

// Jobs of many pairs that always fail while every pair verifies alone are
// never explained: isolation stops at its budget and says it did not converge.
TEST(Isolation, StopsAtItsBudgetWhenFailuresAreNeverExplained) {
  const HostIndex hosts = 40;
  pairdot_run::Isolation state(std::vector<int>(hosts, 2), 4);
  pairdot_model::Evidence evidence = pairdot_model::make_evidence(hosts);
  long long extra = 0;
  for (auto round = state.next_round(evidence); !round.empty();
       round = state.next_round(evidence)) {
    for (const auto &job : round) {
      const std::size_t pairs = job.shape.rank_hosts.size() / 2;
      pairdot_model::JobEvidence seen;
      seen.started.assign(job.shape.rank_hosts.size(), 1);
      seen.verified.assign(pairs, pairs == 1 ? 1 : 0);
      pairdot_model::add_job(evidence, job.shape, seen);
      state.record(job, seen, evidence);
      extra += job.shape.kind == pairdot_model::JobKind::sweep ? 0 : 1;
    }
    ASSERT_LE(extra, 2 * pairdot_run::isolation_budget(hosts, 0)) << "no bound";
  }
  EXPECT_FALSE(state.converged());
  EXPECT_GE(extra, pairdot_run::isolation_budget(hosts, 0));
}
