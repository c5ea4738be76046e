#include "isolation.hpp"

#include "plan.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace pairdot_run {

namespace {

// A host that starts in a job of its own, yet again and again not beside
// the others, is left out of later jobs: its links stay not covered.
// A host missing beside others this often, though it runs alone, is left
// out: the evidence then says it cannot run beside others.
constexpr int max_screenings = pairdot_model::missing_beside_others_limit - 1;
// Link numbers are 32 bits wide.
constexpr std::size_t max_hosts = 65535;

using pairdot_model::Evidence;
using pairdot_model::HostState;
using pairdot_model::JobEvidence;
using pairdot_model::JobShape;
using pairdot_model::LinkState;

HostIndex sender_of(const Isolation &state, LinkId link) {
  return static_cast<HostIndex>(link / static_cast<LinkId>(state.evidence.hosts));
}

HostIndex receiver_of(const Isolation &state, LinkId link) {
  return static_cast<HostIndex>(link % static_cast<LinkId>(state.evidence.hosts));
}

LinkId link_of(const Isolation &state, HostIndex sender, HostIndex receiver) {
  return static_cast<LinkId>(sender) * static_cast<LinkId>(state.evidence.hosts) +
         static_cast<LinkId>(receiver);
}

LinkState state_of(const Isolation &state, LinkId link) {
  return pairdot_model::link_state(state.evidence, sender_of(state, link),
                                   receiver_of(state, link));
}

bool can_run(const Isolation &state, HostIndex host) {
  return state.evidence.host_states[static_cast<std::size_t>(host)] != HostState::cannot_run &&
         state.screenings[static_cast<std::size_t>(host)] <= max_screenings;
}

// Links still in question: failed beside others, not yet re-tested alone.
std::vector<LinkId> still_suspect(const Isolation &state, const std::vector<LinkId> &links) {
  std::vector<LinkId> out;
  for (const LinkId link : links) {
    if (state_of(state, link) == LinkState::suspect && can_run(state, sender_of(state, link)) &&
        can_run(state, receiver_of(state, link)))
      out.push_back(link);
  }
  return out;
}

std::vector<HostIndex> distinct_hosts(std::vector<HostIndex> hosts) {
  std::sort(hosts.begin(), hosts.end());
  hosts.erase(std::unique(hosts.begin(), hosts.end()), hosts.end());
  return hosts;
}

constexpr std::uint8_t together_passed = 1; // in a job whose pairs all verified
constexpr std::uint8_t together_failed = 2; // in a job with a failed pair

// ---- The sweep: planned over the hosts that can run, each job keeping only
// the links that nothing has told about yet.

void plan_rest_of_sweep(Isolation &state) {
  std::vector<HostIndex> live;
  std::vector<int> slots;
  for (HostIndex host = 0; host < state.evidence.hosts; ++host) {
    if (can_run(state, host)) {
      live.push_back(host);
      slots.push_back(state.slots[static_cast<std::size_t>(host)]);
    }
  }
  std::vector<std::vector<HostIndex>>().swap(state.sweep_left);
  state.sweep_next = 0;
  state.replan = false;
  if (live.size() < 2)
    return;
  std::vector<PlannedJob> planned = plan_sweep(slots);
  state.sweep_left.reserve(planned.size());
  for (PlannedJob &job : planned) {
    for (HostIndex &host : job.rank_hosts)
      host = live[static_cast<std::size_t>(host)];
    state.sweep_left.push_back(std::move(job.rank_hosts));
  }
}

// The next sweep job's pairs over links not yet told about; empty when the
// sweep is done.
std::vector<HostIndex> next_sweep_job(Isolation &state) {
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
bool take_slots(const Isolation &state, Round &round, const std::vector<HostIndex> &ranks) {
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

void add_to_round(Isolation &state, Round &round, JobKind kind, std::vector<HostIndex> ranks,
                  Probe probe) {
  const int number = state.next_number++;
  state.probes.emplace(number, std::move(probe));
  round.jobs.push_back(PlannedRun{number, JobShape{kind, std::move(ranks)}});
}

std::vector<HostIndex> ranks_of(const Isolation &state, const std::vector<LinkId> &links) {
  std::vector<HostIndex> ranks;
  ranks.reserve(2 * links.size());
  for (const LinkId link : links) {
    ranks.push_back(sender_of(state, link));
    ranks.push_back(receiver_of(state, link));
  }
  return ranks;
}

void host_round(Isolation &state, Round &round) {
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
bool poisons(const Isolation &state, HostIndex a, HostIndex b) {
  const auto pair = std::minmax(a, b);
  return std::find(state.poisoned.begin(), state.poisoned.end(),
                   std::pair<HostIndex, HostIndex>(pair.first, pair.second)) !=
         state.poisoned.end();
}

// Whether hosts of the links hold a poisoned pair.
bool holds_poison(const Isolation &state, const std::vector<LinkId> &links) {
  if (state.poisoned.empty())
    return false;
  std::vector<HostIndex> hosts = ranks_of(state, links);
  std::sort(hosts.begin(), hosts.end());
  return std::any_of(state.poisoned.begin(), state.poisoned.end(), [&](const auto &pair) {
    return std::binary_search(hosts.begin(), hosts.end(), pair.first) &&
           std::binary_search(hosts.begin(), hosts.end(), pair.second);
  });
}

void to_pool(Isolation &state, const std::vector<LinkId> &links) {
  state.pool.insert(state.pool.end(), links.begin(), links.end());
}

// Plans the test of a positive group's first half, the other half set
// aside. False if it waits for a later round.
bool plan_group(Isolation &state, Round &round, LinkGroup &group) {
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
};

bool joins(const Isolation &state, const Pack &pack, HostIndex sender, HostIndex receiver) {
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

std::vector<Pack> pack_pool(const Isolation &state) {
  std::vector<Pack> packs;
  for (const LinkId link : still_suspect(state, state.pool)) {
    const HostIndex sender = sender_of(state, link);
    const HostIndex receiver = receiver_of(state, link);
    const bool poisoned = poisons(state, sender, receiver);
    auto pack = std::find_if(packs.begin(), packs.end(), [&](const Pack &p) {
      return !poisoned && !p.alone && joins(state, p, sender, receiver);
    });
    if (pack == packs.end() || poisoned) {
      packs.push_back(Pack{{}, std::vector<int>(state.slots.size(), 0), poisoned});
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
void pool_round(Isolation &state, Round &round) {
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

std::size_t pair_at(const Isolation &state, HostIndex a, HostIndex b) {
  return static_cast<std::size_t>(std::min(a, b)) * static_cast<std::size_t>(state.evidence.hosts) +
         static_cast<std::size_t>(std::max(a, b));
}

void note_together(Isolation &state, const JobShape &job, bool verified) {
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
void together_round(Isolation &state, Round &round) {
  std::vector<LinkId> links;
  const HostIndex n = state.together.empty() ? 0 : state.evidence.hosts;
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

void link_round(Isolation &state, Round &round) {
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

// ---- Reading outcomes.

void open_group(Isolation &state, std::vector<LinkId> links) {
  if (!links.empty())
    state.link_groups.push_back(LinkGroup{std::move(links)});
}

// A link failed alone: groups that hold both its hosts may have failed for
// it, and go back to the pool.
void blame(Isolation &state, LinkId link) {
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

std::vector<LinkId> failed_links(const Isolation &state, const JobShape &job,
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
  std::sort(hosts.begin(), hosts.end());
  hosts.erase(std::unique(hosts.begin(), hosts.end()), hosts.end());
  std::sort(ran.begin(), ran.end());
  hosts.erase(
      std::remove_if(hosts.begin(), hosts.end(),
                     [&](HostIndex h) { return std::binary_search(ran.begin(), ran.end(), h); }),
      hosts.end());
  return hosts;
}

// Hosts that did not start are tested: a group that started nothing is
// split in halves, down to one host a job.
void screen_hosts(Isolation &state, std::vector<HostIndex> hosts, bool none_started,
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
void try_again(Isolation &state, const Probe &probe) {
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
void hosts_missing(Isolation &state, const JobShape &job, const JobEvidence &seen,
                   const Probe &probe) {
  std::vector<HostIndex> missing = hosts_not_started(job, seen);
  const std::vector<HostIndex> all = distinct_hosts(job.rank_hosts);
  const bool none_started = missing.size() == all.size();
  if (probe.what == Probe::What::hosts) {
    // A host alone that started nothing is settled by the evidence.
    screen_hosts(state, std::move(missing), none_started, true);
    return;
  }
  for (const HostIndex host : missing)
    ++state.screenings[static_cast<std::size_t>(host)];
  // Nothing started: the job itself was the test of all its hosts.
  screen_hosts(state, none_started ? all : missing, none_started, none_started);
  try_again(state, probe);
}

void read_group_test(Isolation &state, const Probe &probe, const JobShape &job,
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
void held_job(Isolation &state, const JobShape &job, const JobEvidence &seen, const Probe &probe) {
  const std::vector<HostIndex> hosts = distinct_hosts(job.rank_hosts);
  for (const HostIndex host : hosts) {
    ++state.screenings[static_cast<std::size_t>(host)];
    const bool in_question =
        state.evidence.host_states[static_cast<std::size_t>(host)] != HostState::ran ||
        std::count(seen.unavailable_hosts.begin(), seen.unavailable_hosts.end(), host) > 0;
    if (can_run(state, host) && (in_question || probe.what == Probe::What::hosts))
      state.host_groups.push_back({host});
  }
  if (probe.what != Probe::What::hosts)
    try_again(state, probe);
}

void read_outcome(Isolation &state, const Probe &probe, const JobShape &job,
                  const JobEvidence &seen) {
  pairdot_model::add_job(state.evidence, job, seen);
  if (seen.held) {
    held_job(state, job, seen, probe);
    return;
  }
  const bool all_started = std::all_of(seen.started.begin(), seen.started.end(),
                                       [](std::uint8_t started) { return started != 0; });
  if (!all_started) {
    hosts_missing(state, job, seen, probe);
    return;
  }
  if (job.kind != JobKind::hosts) {
    const std::size_t pairs = job.rank_hosts.size() / 2;
    note_together(state, job,
                  std::count(seen.verified.begin(), seen.verified.end(), 1) ==
                      static_cast<std::ptrdiff_t>(pairs));
  }
  if (probe.what == Probe::What::group || probe.what == Probe::What::alone) {
    read_group_test(state, probe, job, seen);
    return;
  }
  if (job.kind != JobKind::hosts)
    open_group(state, failed_links(state, job, seen));
}

} // namespace

Isolation start_isolation(const std::vector<int> &slots, int parallel) {
  if (slots.size() < 2)
    throw std::invalid_argument("isolation needs at least two hosts");
  if (slots.size() > max_hosts)
    throw std::invalid_argument("a sweep covers at most " + std::to_string(max_hosts) + " hosts");
  Isolation state;
  state.slots = slots;
  state.parallel = std::max(1, parallel);
  state.evidence = pairdot_model::make_evidence(static_cast<HostIndex>(slots.size()));
  state.screenings.assign(slots.size(), 0);
  if (static_cast<HostIndex>(slots.size()) <= max_hosts_paired)
    state.together.assign(slots.size() * slots.size(), 0);
  state.replan = true;
  return state;
}

std::vector<PlannedRun> next_round(Isolation &state) {
  Round round{std::vector<int>(state.slots.size(), 0), {}};
  host_round(state, round);
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

void record(Isolation &state, const PlannedRun &job, const JobEvidence &seen) {
  const auto found = state.probes.find(job.number);
  if (found == state.probes.end()) {
    throw std::logic_error("job " + std::to_string(job.number) + " was not planned");
  }
  const Probe probe = std::move(found->second);
  state.probes.erase(found);
  read_outcome(state, probe, job.shape, seen);
}

} // namespace pairdot_run
