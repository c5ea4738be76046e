#include "isolation.hpp"

#include "host_names.hpp"
#include "plan.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>

namespace pairdot_run {

using LinkId = std::uint32_t; // sender * hosts + receiver

// Links known to hold at least one failure: they failed together.
struct LinkGroup {
  std::vector<LinkId> links;
};

// What a planned job tests, so that its outcome can be read.
struct Probe {
  enum class What : std::uint8_t {
    sweep,
    hosts,
    group,
    alone,
    core,    // ring: hosts that may serve as known good
    join,    // ring: a host of each core block that verified: do the blocks reach each other?
    range,   // reach: hosts in question, a part of a range
    grow,    // ring: how far the group of a host that reaches no one goes
    whole,   // ring: a group's hosts, or a switch's, reach each other
    confirm, // reach: a group, or a half of it, against hosts known good
    dark,    // reach: a host alone, against other hosts known good
  } what = What::sweep;
  std::vector<HostIndex> hosts;  // hosts: the group tested; hunt: the hosts in question
  std::vector<LinkId> links;     // group, alone: the links tested
  std::vector<LinkId> rest;      // group: the other half of a positive group
  bool positive = false;         // group, alone: half of a group that failed together
  std::vector<HostIndex> others; // range: the rest of the range; grow: the side's candidates
  bool right = false;            // grow: the side tested
  bool whole_tested = false;     // range: its switch's hosts were rung
};

// Hosts in question, in hunt order (below one switch after another).
struct HostRange {
  std::vector<HostIndex> hosts;
  bool positive = false; // holds a host that does not reach the good ones
  bool direct = false;   // positive from its own failed reach job
  bool whole_tested = false;
};

// How far the group of a host that reaches no one goes, each side found
// by doubling and then halving the hosts ringed with it.
struct Growth {
  HostIndex host = 0;
  std::vector<HostIndex> sides[2];   // hosts in question left (nearest first), right
  std::size_t known[2] = {0, 0};     // this many on the side reach the host
  std::size_t failed_at[2] = {0, 0}; // this many did not; 0 unknown
  bool pending[2] = {false, false};
};

struct Hunt {
  std::vector<std::uint8_t> good;   // per host: reaches the hosts known good
  std::vector<std::uint8_t> queued; // per host: in a range, growth or check
  std::vector<HostIndex> partners;  // the good hosts, in the order they became good
  std::size_t next_partner = 0;
  std::vector<std::vector<HostIndex>> core;   // to ring, in search of good hosts
  std::vector<std::vector<HostIndex>> passed; // core blocks that verified, to be joined
  std::vector<std::uint8_t> joined;           // passed blocks i, i + 1 (cyclic): rung, and how
  std::vector<HostRange> ranges;
  std::vector<Growth> growths;
  std::vector<std::vector<HostIndex>> wholes; // groups to ring whole, sorted
  // Parts of groups to test against good hosts (the part, its group), sorted.
  std::vector<std::pair<std::vector<HostIndex>, std::vector<HostIndex>>> confirms;
  std::vector<HostIndex> darks;                     // hosts to test alone once more
  std::map<std::vector<HostIndex>, int> confirming; // groups: their reach jobs not yet read
  std::vector<std::uint8_t> tried;                  // per host: its group was grown once
  std::set<std::vector<HostIndex>> failed_rings;    // host sets (sorted) whose ring failed
  std::vector<int> order;                           // per host: its place in hunt order
};

// What the planner keeps between rounds.
struct IsolationState {
  std::vector<int> slots;
  int parallel = 4;
  const pairdot_model::Evidence *evidence = nullptr; // the run's, as of the last call
  int next_number = 1;
  std::vector<std::vector<HostIndex>> sweep_left; // the sweep's jobs, from sweep_next on to run
  std::size_t sweep_next = 0;
  bool replan = false;                             // hosts changed: plan the rest anew
  std::vector<std::vector<HostIndex>> host_groups; // to test, each tested whole
  std::vector<LinkGroup> link_groups;              // split in halves until each failure is alone
  std::vector<LinkId>
      pool; // in question, not known to hold a failure: packed, once no group is open
  std::vector<std::pair<HostIndex, HostIndex>> poisoned; // hosts of blamed links, lower first
  std::map<int, Probe> probes;                           // by job number, until recorded
  std::vector<std::uint8_t> together; // small clusters: per pair of hosts, how jobs with both ended
  int rounds = 0;
  pairdot_model::SwitchTree switches;
  Hunt hunt;
  long long extra_jobs = 0; // planned beyond the sweep
  bool converged = true;    // false: stopped at the budget with questions left
};

namespace {

// Link numbers are 32 bits wide.
constexpr std::size_t max_hosts = 65535;

using pairdot_hosts::distinct_hosts;
using pairdot_model::Evidence;
using pairdot_model::HostState;
using pairdot_model::JobEvidence;
using pairdot_model::JobShape;
using pairdot_model::LinkState;

HostIndex sender_of(const IsolationState &state, LinkId link) {
  return static_cast<HostIndex>(link / static_cast<LinkId>(state.evidence->hosts));
}

HostIndex receiver_of(const IsolationState &state, LinkId link) {
  return static_cast<HostIndex>(link % static_cast<LinkId>(state.evidence->hosts));
}

LinkId link_of(const IsolationState &state, HostIndex sender, HostIndex receiver) {
  return static_cast<LinkId>(sender) * static_cast<LinkId>(state.evidence->hosts) +
         static_cast<LinkId>(receiver);
}

LinkState state_of(const IsolationState &state, LinkId link) {
  return pairdot_model::link_state(*state.evidence, sender_of(state, link),
                                   receiver_of(state, link));
}

bool can_run(const IsolationState &state, HostIndex host) {
  const HostState host_state = state.evidence->host_states[static_cast<std::size_t>(host)];
  return host_state != HostState::cannot_run && host_state != HostState::dark &&
         !pairdot_model::left_out(*state.evidence, host);
}

// Links still in question: failed beside others, not yet re-tested alone.
std::vector<LinkId> still_suspect(const IsolationState &state, const std::vector<LinkId> &links) {
  std::vector<LinkId> out;
  for (const LinkId link : links) {
    if (state_of(state, link) == LinkState::suspect && can_run(state, sender_of(state, link)) &&
        can_run(state, receiver_of(state, link)))
      out.push_back(link);
  }
  return out;
}

constexpr std::uint8_t together_passed = 1; // in a job whose pairs all verified
constexpr std::uint8_t together_failed = 2; // in a job with a failed pair

// ---- The sweep: planned over the hosts that can run, each job keeping only
// the links that nothing has told about yet.

// Hosts of a group cut off and the others are never in one job: some
// libraries fail every job that holds hosts that cannot reach each other.
int island_of(const IsolationState &state, HostIndex host) {
  const auto &groups = state.evidence->groups;
  for (std::size_t g = 0; g < groups.size(); ++g) {
    if (std::binary_search(groups[g].begin(), groups[g].end(), host))
      return static_cast<int>(g) + 1;
  }
  return 0;
}

void plan_rest_of_sweep(IsolationState &state) {
  std::vector<std::vector<HostIndex>> islands(state.evidence->groups.size() + 1);
  for (HostIndex host = 0; host < state.evidence->hosts; ++host) {
    if (can_run(state, host))
      islands[static_cast<std::size_t>(island_of(state, host))].push_back(host);
  }
  std::vector<std::vector<HostIndex>>().swap(state.sweep_left);
  state.sweep_next = 0;
  state.replan = false;
  for (const std::vector<HostIndex> &live : islands) {
    if (live.size() < 2)
      continue;
    std::vector<int> slots;
    slots.reserve(live.size());
    for (const HostIndex host : live)
      slots.push_back(state.slots[static_cast<std::size_t>(host)]);
    for (PlannedJob &job : plan_sweep(slots)) {
      for (HostIndex &host : job.rank_hosts)
        host = live[static_cast<std::size_t>(host)];
      state.sweep_left.push_back(std::move(job.rank_hosts));
    }
  }
}

// The next sweep job's pairs over links not yet told about; empty when the
// sweep is done.
std::vector<HostIndex> next_sweep_job(IsolationState &state) {
  while (state.sweep_next < state.sweep_left.size()) {
    std::vector<HostIndex> job = std::move(state.sweep_left[state.sweep_next++]);
    std::size_t kept = 0;
    for (std::size_t pair = 0; 2 * pair + 1 < job.size(); ++pair) {
      const HostIndex sender = job[2 * pair];
      const HostIndex receiver = job[2 * pair + 1];
      if (state_of(state, link_of(state, sender, receiver)) == LinkState::untested) {
        job[2 * kept] = sender;
        job[2 * kept + 1] = receiver;
        ++kept;
      }
    }
    job.resize(2 * kept);
    if (kept > 0)
      return job;
  }
  std::vector<std::vector<HostIndex>>().swap(state.sweep_left);
  state.sweep_next = 0;
  return {};
}

// ---- A round: jobs side by side while every host has slots for them.

struct Round {
  std::vector<int> used; // ranks per host
  std::vector<PlannedRun> jobs;
};

// Takes the job's ranks into the round's slots; false, and nothing taken,
// when a host would have more ranks than slots. Every job fits alone.
bool take_slots(const IsolationState &state, Round &round, const std::vector<HostIndex> &ranks) {
  if (!round.jobs.empty() && round.jobs.size() >= static_cast<std::size_t>(state.parallel))
    return false;
  std::size_t taken = 0;
  for (; taken < ranks.size(); ++taken) {
    const auto host = static_cast<std::size_t>(ranks[taken]);
    if (++round.used[host] > state.slots[host] && !round.jobs.empty())
      break;
  }
  if (taken == ranks.size())
    return true;
  for (std::size_t rank = 0; rank <= taken; ++rank)
    --round.used[static_cast<std::size_t>(ranks[rank])];
  return false;
}

void add_to_round(IsolationState &state, Round &round, JobKind kind, std::vector<HostIndex> ranks,
                  Probe probe, std::vector<HostIndex> tested = {}) {
  const int number = state.next_number++;
  state.probes.emplace(number, std::move(probe));
  state.extra_jobs += kind == JobKind::sweep ? 0 : 1;
  round.jobs.push_back(PlannedRun{number, JobShape{kind, std::move(ranks), std::move(tested)}});
}

std::vector<HostIndex> ranks_of(const IsolationState &state, const std::vector<LinkId> &links) {
  std::vector<HostIndex> ranks;
  ranks.reserve(2 * links.size());
  for (const LinkId link : links) {
    ranks.push_back(sender_of(state, link));
    ranks.push_back(receiver_of(state, link));
  }
  return ranks;
}

void host_round(IsolationState &state, Round &round) {
  std::vector<std::vector<HostIndex>> waiting;
  for (std::vector<HostIndex> &group : state.host_groups) {
    group.erase(std::remove_if(group.begin(), group.end(),
                               [&](HostIndex host) { return !can_run(state, host); }),
                group.end());
    if (group.empty())
      continue;
    if (!take_slots(state, round, group)) {
      waiting.push_back(std::move(group));
      continue;
    }
    Probe probe;
    probe.what = Probe::What::hosts;
    probe.hosts = group;
    add_to_round(state, round, JobKind::hosts, std::move(group), std::move(probe));
  }
  state.host_groups = std::move(waiting);
}

// Hosts a and b of a blamed link are never placed in one job again but to
// test a link between them alone: some libraries fail every job that holds
// both (MPICH over UCX connects every pair of ranks in MPI_Init).
bool poisons(const IsolationState &state, HostIndex a, HostIndex b) {
  const auto pair = std::minmax(a, b);
  return std::find(state.poisoned.begin(), state.poisoned.end(),
                   std::pair<HostIndex, HostIndex>(pair.first, pair.second)) !=
         state.poisoned.end();
}

// Whether hosts of the links hold a poisoned pair.
bool holds_poison(const IsolationState &state, const std::vector<LinkId> &links) {
  if (state.poisoned.empty())
    return false;
  std::vector<HostIndex> hosts = ranks_of(state, links);
  std::sort(hosts.begin(), hosts.end());
  return std::any_of(state.poisoned.begin(), state.poisoned.end(), [&](const auto &pair) {
    return std::binary_search(hosts.begin(), hosts.end(), pair.first) &&
           std::binary_search(hosts.begin(), hosts.end(), pair.second);
  });
}

void to_pool(IsolationState &state, const std::vector<LinkId> &links) {
  state.pool.insert(state.pool.end(), links.begin(), links.end());
}

// Plans the test of a positive group's first half, the other half set
// aside. False if it waits for a later round.
bool plan_group(IsolationState &state, Round &round, LinkGroup &group) {
  group.links = still_suspect(state, group.links);
  if (group.links.empty())
    return true;
  if (group.links.size() > 1 && holds_poison(state, group.links)) {
    to_pool(state, group.links); // a blamed link may explain its failure
    return true;
  }
  const auto half = static_cast<std::ptrdiff_t>((group.links.size() + 1) / 2);
  std::vector<LinkId> tested(group.links.begin(), group.links.begin() + half);
  std::vector<HostIndex> ranks = ranks_of(state, tested);
  if (!take_slots(state, round, ranks))
    return false;
  Probe probe;
  probe.what = tested.size() == 1 ? Probe::What::alone : Probe::What::group;
  probe.rest.assign(group.links.begin() + half, group.links.end());
  probe.links = std::move(tested);
  probe.positive = true;
  add_to_round(state, round, JobKind::isolation, std::move(ranks), std::move(probe));
  return true;
}

// A job's worth of pool links, first fit: each host within its slots, no
// poisoned pair together; a link between poisoned hosts alone.
struct Pack {
  std::vector<LinkId> links;
  std::vector<int> used; // per host
  bool alone = false;    // a link between poisoned hosts: nothing else may join
  int island = 0;
};

bool joins(const IsolationState &state, const Pack &pack, HostIndex sender, HostIndex receiver) {
  const auto s = static_cast<std::size_t>(sender);
  const auto r = static_cast<std::size_t>(receiver);
  if (pack.used[s] >= state.slots[s] || pack.used[r] >= state.slots[r])
    return false;
  const auto meets = [&](HostIndex host, HostIndex other) {
    return host >= 0 && other >= 0 && host != other &&
           (pack.used[static_cast<std::size_t>(other)] > 0 || other == sender ||
            other == receiver) &&
           poisons(state, host, other);
  };
  // The pair's hosts may not meet a host they are poisoned with.
  return std::none_of(state.poisoned.begin(), state.poisoned.end(), [&](const auto &pair) {
    return ((sender == pair.first || receiver == pair.first) && meets(pair.first, pair.second)) ||
           ((sender == pair.second || receiver == pair.second) && meets(pair.second, pair.first));
  });
}

std::vector<Pack> pack_pool(const IsolationState &state) {
  std::vector<Pack> packs;
  for (const LinkId link : still_suspect(state, state.pool)) {
    const HostIndex sender = sender_of(state, link);
    const HostIndex receiver = receiver_of(state, link);
    const bool poisoned = poisons(state, sender, receiver);
    const int island = island_of(state, sender);
    auto pack = std::find_if(packs.begin(), packs.end(), [&](const Pack &p) {
      return !poisoned && !p.alone && p.island == island && joins(state, p, sender, receiver);
    });
    if (pack == packs.end() || poisoned) {
      packs.push_back(Pack{{}, std::vector<int>(state.slots.size(), 0), poisoned, island});
      pack = packs.end() - 1;
    }
    pack->links.push_back(link);
    ++pack->used[static_cast<std::size_t>(sender)];
    ++pack->used[static_cast<std::size_t>(receiver)];
  }
  return packs;
}

// The pool, tested in as few jobs as the slots allow, as many side by side
// as fit; what does not fit waits.
void pool_round(IsolationState &state, Round &round) {
  std::vector<Pack> packs = pack_pool(state);
  std::vector<LinkId>().swap(state.pool);
  for (Pack &pack : packs) {
    std::vector<HostIndex> ranks = ranks_of(state, pack.links);
    if (!take_slots(state, round, ranks)) {
      to_pool(state, pack.links);
      continue;
    }
    Probe probe;
    probe.what = pack.links.size() == 1 ? Probe::What::alone : Probe::What::group;
    probe.links = std::move(pack.links);
    add_to_round(state, round, JobKind::isolation, std::move(ranks), std::move(probe));
  }
}

// On small clusters, which pairs of hosts were together only in jobs that
// failed: when a library fails every job that holds both hosts of a bad
// link, those few pairs are the ones to test first.
constexpr HostIndex max_hosts_paired = 256;
constexpr std::size_t max_together_tests = 8;

std::size_t pair_at(const IsolationState &state, HostIndex a, HostIndex b) {
  return static_cast<std::size_t>(std::min(a, b)) *
             static_cast<std::size_t>(state.evidence->hosts) +
         static_cast<std::size_t>(std::max(a, b));
}

void note_together(IsolationState &state, const JobShape &job, bool verified) {
  if (state.together.empty())
    return;
  const std::vector<HostIndex> hosts = distinct_hosts(job.rank_hosts);
  const std::uint8_t bit = verified ? together_passed : together_failed;
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    for (std::size_t j = i + 1; j < hosts.size(); ++j)
      state.together[pair_at(state, hosts[i], hosts[j])] |= bit;
  }
}

// Links between hosts that were together only in failed jobs, tested alone
// before the groups are split, when they are few.
void together_round(IsolationState &state, Round &round) {
  std::vector<LinkId> links;
  const HostIndex n = state.together.empty() ? 0 : state.evidence->hosts;
  for (HostIndex a = 0; a < n; ++a) {
    for (HostIndex b = a + 1; b < n; ++b) {
      if (state.together[pair_at(state, a, b)] != together_failed)
        continue;
      const std::vector<LinkId> both =
          still_suspect(state, {link_of(state, a, b), link_of(state, b, a)});
      links.insert(links.end(), both.begin(), both.end());
    }
  }
  if (links.empty() || links.size() > max_together_tests)
    return;
  for (const LinkId link : links) {
    std::vector<HostIndex> ranks = ranks_of(state, {link});
    if (!take_slots(state, round, ranks))
      break;
    Probe probe;
    probe.what = Probe::What::alone;
    probe.links = {link};
    add_to_round(state, round, JobKind::isolation, std::move(ranks), std::move(probe));
  }
}

void link_round(IsolationState &state, Round &round) {
  together_round(state, round);
  if (!round.jobs.empty())
    return;
  std::vector<LinkGroup> groups = std::move(state.link_groups);
  state.link_groups.clear();
  for (LinkGroup &group : groups) {
    if (!plan_group(state, round, group))
      state.link_groups.push_back(std::move(group));
  }
  if (round.jobs.empty() && state.link_groups.empty() && !state.pool.empty())
    pool_round(state, round);
}

// ---- The hunt: hosts that reach no one, groups that reach only themselves.

using Hosts = std::vector<HostIndex>;

bool in_group(const IsolationState &state, HostIndex host) { return island_of(state, host) != 0; }

bool usable(const IsolationState &state, HostIndex host) {
  return can_run(state, host) && !in_group(state, host);
}

Hosts sorted(Hosts hosts) {
  std::sort(hosts.begin(), hosts.end());
  return hosts;
}

Hosts in_hunt_order(const IsolationState &state, Hosts hosts) {
  std::sort(hosts.begin(), hosts.end(), [&](HostIndex a, HostIndex b) {
    return state.hunt.order[static_cast<std::size_t>(a)] <
           state.hunt.order[static_cast<std::size_t>(b)];
  });
  return hosts;
}

void make_good(IsolationState &state, const Hosts &hosts) {
  for (const HostIndex host : hosts) {
    const auto h = static_cast<std::size_t>(host);
    state.hunt.queued[h] = 0;
    if (state.hunt.good[h] == 0 && usable(state, host)) {
      state.hunt.good[h] = 1;
      state.hunt.partners.push_back(host);
    }
  }
}

void unqueue(IsolationState &state, const Hosts &hosts) {
  for (const HostIndex host : hosts)
    state.hunt.queued[static_cast<std::size_t>(host)] = 0;
}

// The next good host, in turn; -1 when none is left.
HostIndex next_partner(IsolationState &state) {
  Hunt &hunt = state.hunt;
  for (std::size_t tries = 0; tries < hunt.partners.size(); ++tries) {
    const HostIndex host = hunt.partners[hunt.next_partner++ % hunt.partners.size()];
    if (usable(state, host))
      return host;
  }
  return -1;
}

// Each host in question sends to one good host and hears from another.
Hosts reach_ranks(IsolationState &state, const Hosts &tested) {
  Hosts ranks;
  ranks.reserve(4 * tested.size());
  for (const HostIndex host : tested) {
    const HostIndex to = next_partner(state);
    const HostIndex from = next_partner(state);
    if (to < 0 || from < 0)
      return {};
    ranks.insert(ranks.end(), {host, to, from, host});
  }
  return ranks;
}

// Each host sends to the next, the last to the first.
Hosts ring_ranks(const Hosts &hosts) {
  Hosts ranks;
  if (hosts.size() < 2)
    return ranks;
  ranks.reserve(2 * hosts.size());
  for (std::size_t i = 0; i < hosts.size(); ++i)
    ranks.insert(ranks.end(), {hosts[i], hosts[(i + 1) % hosts.size()]});
  if (hosts.size() == 2)
    ranks.resize(4);
  return ranks;
}

bool plan_hunt_job(IsolationState &state, Round &round, JobKind kind, Hosts ranks, Probe probe) {
  if (ranks.empty() || !take_slots(state, round, ranks))
    return false;
  Hosts tested = kind == JobKind::reach ? sorted(probe.hosts) : Hosts{};
  add_to_round(state, round, kind, std::move(ranks), std::move(probe), std::move(tested));
  return true;
}

bool plan_reach(IsolationState &state, Round &round, const Probe &probe) {
  const std::size_t cursor = state.hunt.next_partner;
  if (plan_hunt_job(state, round, JobKind::reach, reach_ranks(state, probe.hosts), probe))
    return true;
  state.hunt.next_partner = cursor;
  return false;
}

bool plan_ring(IsolationState &state, Round &round, Probe probe) {
  Hosts ranks = ring_ranks(probe.hosts);
  return plan_hunt_job(state, round, JobKind::ring, std::move(ranks), std::move(probe));
}

// The switch whose hosts are exactly these, below the top; -1 none.
int switch_of(const IsolationState &state, const Hosts &hosts) {
  const Hosts set = sorted(hosts);
  const auto &below = state.switches.below;
  for (std::size_t s = 0; s < below.size(); ++s) {
    if (state.switches.parent[s] >= 0 && below[s] == set)
      return static_cast<int>(s);
  }
  return -1;
}

// Where hosts are cut near `target`: at the switch boundary nearest it.
std::size_t cut_near(const IsolationState &state, const Hosts &hosts, std::size_t target) {
  if (state.switches.leaf.empty())
    return target;
  const auto leaf = [&](std::size_t i) {
    return state.switches.leaf[static_cast<std::size_t>(hosts[i])];
  };
  const auto off = [&](std::size_t at) { return at > target ? at - target : target - at; };
  std::size_t nearest = 0;
  for (std::size_t i = 1; i < hosts.size(); ++i) {
    if (leaf(i) != leaf(i - 1) && (nearest == 0 || off(i) < off(nearest)))
      nearest = i;
  }
  return nearest > 0 ? nearest : target;
}

// Where a range is cut in two: at the switch boundary nearest its middle.
std::size_t split_point(const IsolationState &state, const Hosts &hosts) {
  return cut_near(state, hosts, pairdot_model::first_half(hosts.size()));
}

// A host that reaches no good host: below a switch, or grown once, it is
// tested alone again; else its group is grown along the hunt order.
void found_member(IsolationState &state, HostIndex host) {
  Hunt &hunt = state.hunt;
  const auto h = static_cast<std::size_t>(host);
  if (!state.switches.leaf.empty() || hunt.tried[h] != 0) {
    hunt.darks.push_back(host);
    return;
  }
  hunt.tried[h] = 1;
  Hosts candidates;
  for (HostIndex other = 0; other < state.evidence->hosts; ++other) {
    if (other != host && hunt.good[static_cast<std::size_t>(other)] == 0 && usable(state, other))
      candidates.push_back(other);
  }
  candidates = in_hunt_order(state, std::move(candidates));
  Growth growth;
  growth.host = host;
  const std::size_t most = static_cast<std::size_t>(state.evidence->hosts) / 2;
  for (const HostIndex other : candidates) {
    const bool right = hunt.order[static_cast<std::size_t>(other)] > hunt.order[h];
    growth.sides[right ? 1 : 0].push_back(other);
  }
  std::reverse(growth.sides[0].begin(), growth.sides[0].end());
  for (Hosts &side : growth.sides)
    side.resize(std::min(side.size(), most));
  for (Hosts &side : growth.sides) {
    for (const HostIndex other : side)
      hunt.queued[static_cast<std::size_t>(other)] = 1;
  }
  hunt.growths.push_back(std::move(growth));
}

// How many of a side's hosts to ring with the grown host next; 0: done.
std::size_t next_size(const Growth &growth, int side) {
  const std::size_t known = growth.known[side];
  const std::size_t failed = growth.failed_at[side];
  const std::size_t size = growth.sides[side].size();
  if (failed == 0)
    return known >= size ? 0 : std::min(size, known == 0 ? 1 : 2 * known);
  return failed == known + 1 ? 0 : (known + failed) / 2;
}

// A grown group is tested whole and in halves against good hosts.
void confirm_group(IsolationState &state, Hosts group) {
  group = sorted(std::move(group));
  const auto half = static_cast<std::ptrdiff_t>(pairdot_model::first_half(group.size()));
  int &open = state.hunt.confirming[group];
  for (Hosts part : {group, Hosts(group.begin(), group.begin() + half),
                     Hosts(group.begin() + half, group.end())}) {
    if (!pairdot_model::failed_to_reach(*state.evidence, part)) {
      ++open;
      state.hunt.confirms.emplace_back(std::move(part), group);
    }
  }
  if (open == 0) { // the evidence judges a group when a reach job of it fails
    open = 1;
    state.hunt.confirms.emplace_back(group, group);
  }
}

void finish_growth(IsolationState &state, const Growth &growth) {
  Hosts group{growth.host};
  for (int side = 0; side < 2; ++side) {
    group.insert(group.end(), growth.sides[side].begin(),
                 growth.sides[side].begin() + static_cast<std::ptrdiff_t>(growth.known[side]));
    unqueue(state,
            Hosts(growth.sides[side].begin() + static_cast<std::ptrdiff_t>(growth.known[side]),
                  growth.sides[side].end()));
  }
  if (group.size() == 1)
    state.hunt.darks.push_back(growth.host);
  else
    confirm_group(state, std::move(group));
}

// Plans the next ring of each side; false once both sides are done.
bool plan_growth(IsolationState &state, Round &round, Growth &growth) {
  bool waiting = false;
  for (int side = 0; side < 2; ++side) {
    const std::size_t size = next_size(growth, side);
    if (growth.pending[side] || size == 0) {
      waiting = waiting || growth.pending[side];
      continue;
    }
    Probe probe;
    probe.what = Probe::What::grow;
    probe.hosts = {growth.host};
    probe.hosts.insert(probe.hosts.end(), growth.sides[side].begin(),
                       growth.sides[side].begin() + static_cast<std::ptrdiff_t>(size));
    probe.right = side == 1;
    if (plan_ring(state, round, std::move(probe)))
      growth.pending[side] = true;
    waiting = true;
  }
  if (!waiting)
    finish_growth(state, growth);
  return waiting;
}

// A range: tested whole when not known to hold a fault, else its first
// part; a switch's hosts are ringed first, a host alone is a member.
bool plan_range(IsolationState &state, Round &round, HostRange &range) {
  const std::size_t before = range.hosts.size();
  range.hosts.erase(std::remove_if(range.hosts.begin(), range.hosts.end(),
                                   [&](HostIndex host) { return !usable(state, host); }),
                    range.hosts.end());
  if (range.hosts.empty())
    return true;
  if (range.hosts.size() < before) // a unit found may have been its fault
    range.positive = range.direct = false;
  Probe probe;
  probe.positive = range.positive;
  if (range.positive && range.hosts.size() == 1 && range.direct) {
    if (!state.hunt.growths.empty())
      return false;
    found_member(state, range.hosts[0]);
    return true;
  }
  probe.whole_tested = range.whole_tested;
  if (!range.positive || range.hosts.size() == 1) {
    probe.what = Probe::What::range;
    probe.hosts = range.hosts;
    probe.positive = false;
    return plan_reach(state, round, probe);
  }
  if (!range.whole_tested && switch_of(state, range.hosts) >= 0) {
    if (pairdot_model::reach_each_other(*state.evidence, sorted(range.hosts))) {
      confirm_group(state, range.hosts);
      return true;
    }
    if (state.hunt.failed_rings.count(sorted(range.hosts)) > 0) {
      range.whole_tested = true; // rung before, in vain
      return false;
    }
    probe.what = Probe::What::whole;
    probe.hosts = range.hosts;
    probe.positive = range.direct;
    return plan_ring(state, round, std::move(probe));
  }
  const auto cut = static_cast<std::ptrdiff_t>(split_point(state, range.hosts));
  probe.what = Probe::What::range;
  probe.hosts.assign(range.hosts.begin(), range.hosts.begin() + cut);
  probe.others.assign(range.hosts.begin() + cut, range.hosts.end());
  return plan_reach(state, round, probe);
}

// Hosts of a failed job are rung in blocks to find good ones to test against.
void plan_core(IsolationState &state, Round &round) {
  std::vector<Hosts> waiting;
  for (Hosts &block : state.hunt.core) {
    Probe probe;
    probe.what = Probe::What::core;
    probe.hosts = block;
    if (!plan_ring(state, round, std::move(probe)))
      waiting.push_back(std::move(block));
  }
  state.hunt.core = std::move(waiting);
}

std::vector<Hosts> blocks_of(const IsolationState &state, const Hosts &hosts, std::size_t count) {
  std::vector<Hosts> blocks;
  Hosts rest = hosts;
  for (; count > 1 && rest.size() >= 4; --count) {
    const std::size_t cut = std::min(
        rest.size() - 2, std::max<std::size_t>(2, cut_near(state, rest, rest.size() / count)));
    blocks.emplace_back(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(cut));
    rest.erase(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(cut));
  }
  if (rest.size() >= 2)
    blocks.push_back(std::move(rest));
  return blocks;
}

// How many blocks to ring hosts in: below several switches each where the
// switches are known, so that a switch cut off fails its block's ring.
std::size_t core_blocks(const IsolationState &state, const Hosts &hosts) {
  const auto most =
      std::min<std::size_t>(static_cast<std::size_t>(state.parallel), hosts.size() / 2);
  if (state.switches.leaf.empty())
    return most;
  std::vector<int> leaves;
  for (const HostIndex host : hosts)
    leaves.push_back(state.switches.leaf[static_cast<std::size_t>(host)]);
  std::sort(leaves.begin(), leaves.end());
  const auto count =
      static_cast<std::size_t>(std::unique(leaves.begin(), leaves.end()) - leaves.begin());
  return std::min(most, std::max<std::size_t>(2, count));
}

// Without good hosts, ranges that failed their ring are rung in halves; with
// none to halve, the hunt gives up and leaves the links to isolation.
void rethink_core(IsolationState &state) {
  Hunt &hunt = state.hunt;
  for (HostRange &range : hunt.ranges) {
    if (range.hosts.size() >= 4) {
      for (Hosts &block : blocks_of(state, range.hosts, 2))
        hunt.core.push_back(std::move(block));
    } else {
      unqueue(state, range.hosts);
    }
  }
  hunt.ranges.clear();
}

template <typename Item, typename Plan> void plan_each(std::vector<Item> &items, Plan plan) {
  std::vector<Item> waiting;
  for (Item &item : items) {
    if (!plan(item))
      waiting.push_back(std::move(item));
  }
  items = std::move(waiting);
}

// Core blocks that verified are good once they reach each other: a block
// may be a group cut off from the rest. A host of each is rung; when that
// fails, each block with the next (pair i: a host of block i, another of
// block i + 1, so that no host is in two).
constexpr std::uint8_t join_planned = 1;
constexpr std::uint8_t join_verified = 2;
constexpr std::uint8_t join_failed = 3;

void join_core(IsolationState &state, Round &round) {
  Hunt &hunt = state.hunt;
  if (hunt.passed.size() == 1) {
    // A block alone may be a group cut off: trusted when it holds most of
    // the hosts, else the blocks that failed are rung in halves.
    std::size_t failed = 0;
    for (const HostRange &range : hunt.ranges)
      failed += range.hosts.size();
    const bool most = 2 * hunt.passed.front().size() > hunt.passed.front().size() + failed;
    if (most || std::none_of(hunt.ranges.begin(), hunt.ranges.end(),
                             [](const HostRange &range) { return range.hosts.size() >= 4; })) {
      make_good(state, hunt.passed.front());
      hunt.passed.clear();
      return;
    }
    for (HostRange &range : hunt.ranges) {
      for (Hosts &block : blocks_of(state, range.hosts, 2))
        hunt.core.push_back(std::move(block));
    }
    hunt.ranges.clear();
    plan_core(state, round);
    return;
  }
  Probe probe;
  probe.what = Probe::What::join;
  if (hunt.joined.empty()) {
    for (const Hosts &block : hunt.passed)
      probe.hosts.push_back(block.front());
    plan_ring(state, round, std::move(probe));
    return;
  }
  const std::size_t k = hunt.passed.size();
  for (std::size_t i = 0; i < k; ++i) {
    if (hunt.joined[i] != 0)
      continue;
    const Hosts &next = hunt.passed[(i + 1) % k];
    probe.hosts = {hunt.passed[i].front(), next[1 % next.size()]};
    probe.positive = true; // a pair of blocks
    if (plan_ring(state, round, probe))
      hunt.joined[i] = join_planned;
  }
}

// The blocks that reach each other, the most hosts among them, are good;
// the others are in question.
void settle_core(IsolationState &state, bool all_joined) {
  Hunt &hunt = state.hunt;
  const std::size_t k = hunt.passed.size();
  hunt.joined.resize(k, 0);
  const auto joins = [&](std::size_t i) { return all_joined || hunt.joined[i] == join_verified; };
  std::vector<std::size_t> part(k);
  for (std::size_t i = 0; i < k; ++i)
    part[i] = i > 0 && joins(i - 1) ? part[i - 1] : i;
  if (k > 2 && joins(k - 1)) { // the cycle closes
    const std::size_t last = part[k - 1];
    for (std::size_t i = 0; i < k && part[i] == 0; ++i)
      part[i] = last;
  }
  std::vector<std::size_t> hosts(k, 0);
  for (std::size_t i = 0; i < k; ++i)
    hosts[part[i]] += hunt.passed[i].size();
  const std::size_t best =
      static_cast<std::size_t>(std::max_element(hosts.begin(), hosts.end()) - hosts.begin());
  for (std::size_t i = 0; i < k; ++i) {
    if (part[i] == best)
      make_good(state, hunt.passed[i]);
    else
      hunt.ranges.push_back({hunt.passed[i], false, false, false});
  }
  hunt.passed.clear();
  hunt.joined.clear();
}

void hunt_round(IsolationState &state, Round &round) {
  Hunt &hunt = state.hunt;
  if (hunt.partners.empty() && hunt.core.empty() && !hunt.passed.empty())
    join_core(state, round);
  if (hunt.partners.empty()) {
    if (round.jobs.empty() && hunt.core.empty() && hunt.passed.empty())
      rethink_core(state);
    plan_core(state, round);
    return;
  }
  plan_core(state, round);
  plan_each(hunt.darks, [&](HostIndex host) {
    Probe probe;
    probe.what = Probe::What::dark;
    probe.hosts = {host};
    return !usable(state, host) || plan_reach(state, round, probe);
  });
  plan_each(hunt.confirms, [&](const std::pair<Hosts, Hosts> &part) {
    Probe probe;
    probe.what = Probe::What::confirm;
    probe.hosts = part.first;
    probe.others = part.second;
    return plan_reach(state, round, probe);
  });
  plan_each(hunt.growths, [&](Growth &growth) { return !plan_growth(state, round, growth); });
  // Ranges not known to hold a fault are tested together.
  HostRange merged;
  std::vector<HostRange> ranges;
  for (HostRange &range : hunt.ranges) {
    if (range.positive) {
      ranges.push_back(std::move(range));
    } else {
      merged.hosts.insert(merged.hosts.end(), range.hosts.begin(), range.hosts.end());
      merged.whole_tested = merged.whole_tested || range.whole_tested;
    }
  }
  if (!merged.hosts.empty()) {
    merged.hosts = in_hunt_order(state, std::move(merged.hosts));
    ranges.push_back(std::move(merged));
  }
  hunt.ranges = std::move(ranges);
  // One group at a time: its hosts are settled before other ranges go on.
  if (hunt.growths.empty() && hunt.confirming.empty())
    plan_each(hunt.ranges, [&](HostRange &range) { return plan_range(state, round, range); });
}

bool hunting(const IsolationState &state) {
  const Hunt &hunt = state.hunt;
  return !hunt.core.empty() || !hunt.passed.empty() || !hunt.ranges.empty() ||
         !hunt.growths.empty() || !hunt.confirms.empty() || !hunt.darks.empty();
}

// A unit found explains failures of groups of links: they are tested again
// packed, no longer known to hold a fault.
void found_unit(IsolationState &state) {
  for (LinkGroup &group : state.link_groups)
    to_pool(state, group.links);
  state.link_groups.clear();
  state.replan = true; // links the hunt left untested are swept
}

void finish_confirm(IsolationState &state, const Hosts &group) {
  const auto &groups = state.evidence->groups;
  if (std::find(groups.begin(), groups.end(), group) != groups.end()) {
    found_unit(state);
    unqueue(state, group);
    state.replan = true; // the sweep goes on apart on either side
    return;
  }
  Hosts rest;
  for (const HostIndex host : group) {
    if (state.hunt.good[static_cast<std::size_t>(host)] == 0 && usable(state, host))
      rest.push_back(host);
  }
  if (!rest.empty())
    state.hunt.ranges.push_back({in_hunt_order(state, rest), false, false, true});
}

Growth *growth_of(IsolationState &state, HostIndex host) {
  for (Growth &growth : state.hunt.growths) {
    if (growth.host == host)
      return &growth;
  }
  return nullptr;
}

void read_hunt(IsolationState &state, const Probe &probe, bool verified) {
  Hunt &hunt = state.hunt;
  const bool ring = probe.what == Probe::What::core || probe.what == Probe::What::join ||
                    probe.what == Probe::What::grow || probe.what == Probe::What::whole;
  if (ring && !verified)
    hunt.failed_rings.insert(sorted(probe.hosts));
  switch (probe.what) {
  case Probe::What::core:
    if (verified)
      hunt.passed.push_back(probe.hosts);
    else
      hunt.ranges.push_back({probe.hosts, false, false, false});
    break;
  case Probe::What::join:
    if (!probe.positive) {
      if (verified || hunt.passed.size() == 2)
        settle_core(state, verified);
      else
        hunt.joined.assign(hunt.passed.size(), 0);
      break;
    }
    for (std::size_t i = 0; i < hunt.passed.size(); ++i) {
      if (hunt.passed[i].front() == probe.hosts[0])
        hunt.joined[i] = verified ? join_verified : join_failed;
    }
    if (std::all_of(hunt.joined.begin(), hunt.joined.end(),
                    [](std::uint8_t join) { return join >= join_verified; }))
      settle_core(state, false);
    break;
  case Probe::What::range:
    if (verified)
      make_good(state, probe.hosts);
    else
      hunt.ranges.push_back({probe.hosts, true, true, probe.whole_tested});
    if (!probe.others.empty())
      hunt.ranges.push_back({probe.others, verified && probe.positive, false, probe.whole_tested});
    break;
  case Probe::What::whole:
    if (verified)
      confirm_group(state, probe.hosts);
    else
      hunt.ranges.push_back({probe.hosts, true, probe.positive, true});
    break;
  case Probe::What::grow:
    if (Growth *growth = growth_of(state, probe.hosts.front())) {
      const int side = probe.right ? 1 : 0;
      growth->pending[side] = false;
      (verified ? growth->known[side] : growth->failed_at[side]) = probe.hosts.size() - 1;
    }
    break;
  case Probe::What::confirm:
    if (verified)
      make_good(state, probe.hosts);
    if (const auto found = hunt.confirming.find(probe.others);
        found != hunt.confirming.end() && --found->second == 0) {
      hunt.confirming.erase(found);
      finish_confirm(state, probe.others);
    }
    break;
  case Probe::What::dark:
    if (verified)
      make_good(state, probe.hosts);
    else if (!usable(state, probe.hosts.front()))
      found_unit(state);
    unqueue(state, probe.hosts);
    break;
  default:
    break;
  }
}

bool is_hunt(const Probe &probe) { return probe.what >= Probe::What::core; }

// A hunt job whose ranks did not all start tells nothing of reaching:
// what it tested is tested again, a growth stops at it.
void retry_hunt(IsolationState &state, const Probe &probe) {
  Hunt &hunt = state.hunt;
  Hosts hosts;
  for (const HostIndex host : probe.hosts) {
    if (usable(state, host))
      hosts.push_back(host);
  }
  switch (probe.what) {
  case Probe::What::core:
    if (hosts.size() >= 2)
      hunt.core.push_back(hosts);
    break;
  case Probe::What::join:
    read_hunt(state, probe, false);
    break;
  case Probe::What::range:
    hosts.insert(hosts.end(), probe.others.begin(), probe.others.end());
    hunt.ranges.push_back({hosts, probe.positive, false, probe.whole_tested});
    break;
  case Probe::What::whole:
    hunt.ranges.push_back({hosts, true, false, true});
    break;
  case Probe::What::grow:
  case Probe::What::confirm:
    read_hunt(state, probe, false);
    break;
  default:
    unqueue(state, probe.hosts);
    break;
  }
}

// Hosts of a failed job not known good, not yet hunted, are hunted: rung in
// blocks while no host is known good, else tested against the good ones.
void hunt_hosts_of(IsolationState &state, const JobShape &job) {
  Hunt &hunt = state.hunt;
  const Hosts hosts = distinct_hosts(job.rank_hosts);
  Hosts fresh;
  for (const HostIndex host : hosts) {
    const auto h = static_cast<std::size_t>(host);
    if (hunt.good[h] == 0 && hunt.queued[h] == 0 && usable(state, host))
      fresh.push_back(host);
  }
  if (fresh.empty() || (hunt.partners.empty() && hosts.size() < 4))
    return;
  for (const HostIndex host : fresh)
    hunt.queued[static_cast<std::size_t>(host)] = 1;
  fresh = in_hunt_order(state, std::move(fresh));
  if (hunt.partners.empty()) {
    for (Hosts &block : blocks_of(state, fresh, core_blocks(state, fresh)))
      hunt.core.push_back(std::move(block));
  } else {
    hunt.ranges.push_back({std::move(fresh), false, false, false});
  }
}

// ---- Reading outcomes.

void open_group(IsolationState &state, std::vector<LinkId> links) {
  if (!links.empty())
    state.link_groups.push_back(LinkGroup{std::move(links)});
}

// A link failed alone: groups that hold both its hosts may have failed for
// it, and go back to the pool.
void blame(IsolationState &state, LinkId link) {
  const HostIndex sender = sender_of(state, link);
  const HostIndex receiver = receiver_of(state, link);
  if (poisons(state, sender, receiver))
    return;
  state.poisoned.emplace_back(std::min(sender, receiver), std::max(sender, receiver));
  std::vector<LinkGroup> groups = std::move(state.link_groups);
  state.link_groups.clear();
  for (LinkGroup &group : groups) {
    if (group.links.size() > 1 && holds_poison(state, group.links))
      to_pool(state, group.links);
    else
      state.link_groups.push_back(std::move(group));
  }
}

std::vector<LinkId> failed_links(const IsolationState &state, const JobShape &job,
                                 const JobEvidence &seen) {
  std::vector<LinkId> links;
  for (std::size_t pair = 0; 2 * pair + 1 < job.rank_hosts.size(); ++pair) {
    if (pair < seen.verified.size() && seen.verified[pair] != 0)
      continue;
    const LinkId link = link_of(state, job.rank_hosts[2 * pair], job.rank_hosts[2 * pair + 1]);
    if (state_of(state, link) == LinkState::suspect)
      links.push_back(link);
  }
  return links;
}

// Hosts of the job none of whose ranks started.
std::vector<HostIndex> hosts_not_started(const JobShape &job, const JobEvidence &seen) {
  std::vector<HostIndex> hosts;
  std::vector<HostIndex> ran;
  for (std::size_t rank = 0; rank < job.rank_hosts.size(); ++rank) {
    const bool started = rank >= seen.started.size() || seen.started[rank] != 0;
    (started ? ran : hosts).push_back(job.rank_hosts[rank]);
  }
  hosts = distinct_hosts(std::move(hosts));
  std::sort(ran.begin(), ran.end());
  hosts.erase(
      std::remove_if(hosts.begin(), hosts.end(),
                     [&](HostIndex h) { return std::binary_search(ran.begin(), ran.end(), h); }),
      hosts.end());
  return hosts;
}

// Hosts that did not start are tested: a group that started nothing is
// split in halves, down to one host a job.
void screen_hosts(IsolationState &state, std::vector<HostIndex> hosts, bool none_started,
                  bool tested_whole) {
  hosts.erase(std::remove_if(hosts.begin(), hosts.end(),
                             [&](HostIndex host) { return !can_run(state, host); }),
              hosts.end());
  if (hosts.empty())
    return;
  if (none_started && tested_whole && hosts.size() > 1) {
    const auto half = static_cast<std::ptrdiff_t>(hosts.size() / 2);
    state.host_groups.emplace_back(hosts.begin(), hosts.begin() + half);
    state.host_groups.emplace_back(hosts.begin() + half, hosts.end());
  } else if (!(none_started && tested_whole)) {
    state.host_groups.push_back(std::move(hosts));
  }
}

// A job that told nothing of its links: the sweep is planned again, a
// group's links wait for their next test.
void try_again(IsolationState &state, const Probe &probe) {
  if (probe.what == Probe::What::sweep) {
    state.replan = true;
    return;
  }
  std::vector<LinkId> links = probe.links;
  links.insert(links.end(), probe.rest.begin(), probe.rest.end());
  if (probe.positive)
    open_group(state, std::move(links));
  else
    to_pool(state, links);
}

// What a job whose ranks did not all start tells: its hosts go to the
// screening, its links wait for the sweep or their group's next test.
void hosts_missing(IsolationState &state, const JobShape &job, const JobEvidence &seen,
                   const Probe &probe) {
  std::vector<HostIndex> missing = hosts_not_started(job, seen);
  const std::vector<HostIndex> all = distinct_hosts(job.rank_hosts);
  const bool none_started = missing.size() == all.size();
  if (probe.what == Probe::What::hosts) {
    // A host alone that started nothing is settled by the evidence.
    screen_hosts(state, std::move(missing), none_started, true);
    return;
  }
  // Nothing started: the job itself was the test of all its hosts.
  screen_hosts(state, none_started ? all : missing, none_started, none_started);
  try_again(state, probe);
}

void read_group_test(IsolationState &state, const Probe &probe, const JobShape &job,
                     const JobEvidence &seen) {
  const std::size_t pairs = job.rank_hosts.size() / 2;
  const bool all_verified =
      seen.verified.size() >= pairs &&
      std::all_of(seen.verified.begin(), seen.verified.begin() + static_cast<std::ptrdiff_t>(pairs),
                  [](std::uint8_t verified) { return verified != 0; });
  if (probe.what == Probe::What::alone && !all_verified) {
    blame(state, probe.links.front());
  }
  if (all_verified) {
    // The half verified: a failure the group held is in the other half.
    if (probe.positive)
      open_group(state, probe.rest);
  } else {
    open_group(state, failed_links(state, job, seen));
    to_pool(state, probe.rest);
  }
}

// Slurm never started the job: hosts that have not run (or that Slurm would
// not use) are tested alone, the rest is tried again later.
void held_job(IsolationState &state, const JobShape &job, const JobEvidence &seen,
              const Probe &probe) {
  const std::vector<HostIndex> hosts = distinct_hosts(job.rank_hosts);
  for (const HostIndex host : hosts) {
    const bool in_question =
        state.evidence->host_states[static_cast<std::size_t>(host)] != HostState::ran ||
        std::count(seen.unavailable_hosts.begin(), seen.unavailable_hosts.end(), host) > 0;
    if (can_run(state, host) && (in_question || probe.what == Probe::What::hosts))
      state.host_groups.push_back({host});
  }
  if (probe.what != Probe::What::hosts)
    try_again(state, probe);
}

bool every_pair_verified(const JobShape &job, const JobEvidence &seen) {
  const std::size_t pairs = job.rank_hosts.size() / 2;
  return seen.verified.size() >= pairs &&
         std::all_of(seen.verified.begin(),
                     seen.verified.begin() + static_cast<std::ptrdiff_t>(pairs),
                     [](std::uint8_t verified) { return verified != 0; });
}

void read_outcome(IsolationState &state, const Probe &probe, const JobShape &job,
                  const JobEvidence &seen) {
  const bool all_started = std::all_of(seen.started.begin(), seen.started.end(),
                                       [](std::uint8_t started) { return started != 0; });
  if (seen.held || !all_started) {
    if (seen.held)
      held_job(state, job, seen, probe);
    else
      hosts_missing(state, job, seen, probe);
    if (is_hunt(probe))
      retry_hunt(state, probe);
    return;
  }
  const bool verified = every_pair_verified(job, seen);
  if (job.kind != JobKind::hosts)
    note_together(state, job, verified);
  if (is_hunt(probe)) {
    read_hunt(state, probe, verified);
    if (!verified)
      to_pool(state, failed_links(state, job, seen));
    return;
  }
  if (probe.what == Probe::What::group || probe.what == Probe::What::alone)
    read_group_test(state, probe, job, seen);
  else if (job.kind != JobKind::hosts)
    open_group(state, failed_links(state, job, seen));
  if (!verified && job.kind != JobKind::hosts)
    hunt_hosts_of(state, job);
}

long long faults_found(const IsolationState &state) {
  auto faults = static_cast<long long>(state.poisoned.size()) +
                static_cast<long long>(state.evidence->groups.size());
  for (const HostState host : state.evidence->host_states)
    faults +=
        host == HostState::cannot_run || host == HostState::cannot_join || host == HostState::dark
            ? 1
            : 0;
  return faults;
}

// Nothing more is planned; the run says what it knows.
void give_up(IsolationState &state) {
  state.converged = false;
  state.sweep_left.clear();
  state.host_groups.clear();
  state.link_groups.clear();
  state.pool.clear();
  state.hunt.core.clear();
  state.hunt.passed.clear();
  state.hunt.ranges.clear();
  state.hunt.growths.clear();
  state.hunt.confirms.clear();
  state.hunt.darks.clear();
}

} // namespace

long long isolation_budget(HostIndex hosts, long long faults) {
  return 200 + 2 * static_cast<long long>(hosts) + 100 * faults;
}

Isolation::Isolation(const std::vector<int> &slots, int parallel,
                     pairdot_model::SwitchTree switches, int first_number)
    : state_(std::make_unique<IsolationState>()) {
  if (slots.size() < 2)
    throw std::invalid_argument("isolation needs at least two hosts");
  if (slots.size() > max_hosts)
    throw std::invalid_argument("a sweep covers at most " + std::to_string(max_hosts) + " hosts");
  IsolationState &state = *state_;
  state.next_number = first_number;
  state.slots = slots;
  state.parallel = std::max(1, parallel);
  state.switches = std::move(switches);
  if (!state.switches.leaf.empty() && state.switches.leaf.size() != slots.size())
    throw std::invalid_argument("the switch tree is not over the run's hosts");
  Hunt &hunt = state.hunt;
  hunt.good.assign(slots.size(), 0);
  hunt.queued.assign(slots.size(), 0);
  hunt.tried.assign(slots.size(), 0);
  hunt.order.resize(slots.size());
  std::vector<HostIndex> order(slots.size());
  for (std::size_t h = 0; h < slots.size(); ++h)
    order[h] = static_cast<HostIndex>(h);
  const auto leaf = [&](HostIndex h) {
    return state.switches.leaf.empty() ? 0 : state.switches.leaf[static_cast<std::size_t>(h)];
  };
  std::stable_sort(order.begin(), order.end(),
                   [&](HostIndex a, HostIndex b) { return leaf(a) < leaf(b); });
  for (std::size_t at = 0; at < order.size(); ++at)
    hunt.order[static_cast<std::size_t>(order[at])] = static_cast<int>(at);
  if (static_cast<HostIndex>(slots.size()) <= max_hosts_paired)
    state.together.assign(slots.size() * slots.size(), 0);
  state.replan = true;
}

std::vector<PlannedRun> Isolation::next_round(const pairdot_model::Evidence &evidence) {
  IsolationState &state = *state_;
  state.evidence = &evidence;
  Round round{std::vector<int>(state.slots.size(), 0), {}};
  const bool work_left = hunting(state) || !state.sweep_left.empty() || state.replan ||
                         !state.host_groups.empty() || !state.link_groups.empty() ||
                         !state.pool.empty();
  if (work_left &&
      state.extra_jobs > isolation_budget(state.evidence->hosts, faults_found(state))) {
    give_up(state);
    return {};
  }
  host_round(state, round);
  // A hunt may settle without a job (a growth ends); a few passes at most.
  for (int pass = 0; pass < 4 && round.jobs.empty() && hunting(state); ++pass)
    hunt_round(state, round);
  if (round.jobs.empty()) {
    if (state.replan)
      plan_rest_of_sweep(state);
    std::vector<HostIndex> sweep = next_sweep_job(state);
    if (!sweep.empty()) {
      take_slots(state, round, sweep);
      add_to_round(state, round, JobKind::sweep, std::move(sweep), Probe{});
    }
  }
  // Groups may resolve without a job.
  while (round.jobs.empty() && (!state.link_groups.empty() || !state.pool.empty()))
    link_round(state, round);
  if (!round.jobs.empty())
    ++state.rounds;
  return std::move(round.jobs);
}

void Isolation::record(const PlannedRun &job, const JobEvidence &seen,
                       const pairdot_model::Evidence &evidence) {
  IsolationState &state = *state_;
  state.evidence = &evidence;
  const auto found = state.probes.find(job.number);
  if (found == state.probes.end()) {
    throw std::logic_error("job " + std::to_string(job.number) + " was not planned");
  }
  const Probe probe = std::move(found->second);
  state.probes.erase(found);
  read_outcome(state, probe, job.shape, seen);
}

Isolation::Isolation() : state_(std::make_unique<IsolationState>()) {}
Isolation::Isolation(Isolation &&other) noexcept = default;
Isolation &Isolation::operator=(Isolation &&other) noexcept = default;
Isolation::~Isolation() = default;

int Isolation::next_number() const { return state_->next_number; }

int Isolation::rounds() const { return state_->rounds; }

bool Isolation::converged() const { return state_->converged; }

const pairdot_model::SwitchTree &Isolation::switches() const { return state_->switches; }

} // namespace pairdot_run
