#include "evidence.hpp"

#include "host_names.hpp"
#include "switch_tree.hpp"

#include <algorithm>

namespace pairdot_model {

namespace {

constexpr std::uint8_t state_bits = 0x07;
constexpr std::uint8_t failed_beside_others = 0x08;

std::size_t index_of(const Evidence &evidence, HostIndex sender, HostIndex receiver) {
  return static_cast<std::size_t>(sender) * static_cast<std::size_t>(evidence.hosts) +
         static_cast<std::size_t>(receiver);
}

LinkState state_at(const Evidence &evidence, std::size_t at) {
  return static_cast<LinkState>(evidence.links[at] & state_bits);
}

void set_state(Evidence &evidence, std::size_t at, LinkState state) {
  evidence.links[at] = static_cast<std::uint8_t>((evidence.links[at] & ~state_bits) |
                                                 static_cast<std::uint8_t>(state));
}

bool started(const JobEvidence &seen, std::size_t rank) {
  return rank >= seen.started.size() || seen.started[rank] != 0;
}

// Every link of the host is down, but those a pair verified over.
void mark_cannot_run(Evidence &evidence, HostIndex host, HostState why = HostState::cannot_run) {
  evidence.host_states[static_cast<std::size_t>(host)] = why;
  for (HostIndex other = 0; other < evidence.hosts; ++other) {
    for (const std::size_t at :
         {index_of(evidence, host, other), index_of(evidence, other, host)}) {
      if (other != host && state_at(evidence, at) != LinkState::verified)
        set_state(evidence, at, LinkState::host_down);
    }
  }
}

// A host once found unable to run has started after all: its links are open
// again.
void mark_ran(Evidence &evidence, HostIndex host, bool reached = false) {
  HostState &state = evidence.host_states[static_cast<std::size_t>(host)];
  if (state == HostState::dark && !reached)
    return; // its ranks always start: only a verified pair clears it
  if (state == HostState::cannot_run || state == HostState::cannot_join ||
      state == HostState::dark) {
    for (HostIndex other = 0; other < evidence.hosts; ++other) {
      for (const std::size_t at :
           {index_of(evidence, host, other), index_of(evidence, other, host)}) {
        if (other != host && state_at(evidence, at) == LinkState::host_down)
          set_state(evidence, at, LinkState::untested);
      }
    }
  }
  state = HostState::ran;
}

void add_pair(Evidence &evidence, HostIndex sender, HostIndex receiver, bool verified, bool alone) {
  const std::size_t at = index_of(evidence, sender, receiver);
  const LinkState state = state_at(evidence, at);
  if (verified) {
    evidence.unavailable[static_cast<std::size_t>(sender)] = 0;
    evidence.unavailable[static_cast<std::size_t>(receiver)] = 0;
    for (const HostIndex host : {sender, receiver}) {
      if (evidence.host_states[static_cast<std::size_t>(host)] == HostState::dark)
        mark_ran(evidence, host, true);
    }
    if (state != LinkState::failed) // a link that failed alone stays failed
      set_state(evidence, at, LinkState::verified);
  } else if (alone) {
    set_state(evidence, at, LinkState::failed);
  } else {
    evidence.links[at] |= failed_beside_others;
    if (state == LinkState::untested)
      set_state(evidence, at, LinkState::suspect);
  }
}

// Hosts none of whose ranks started beside others that did are in question
// again, whatever they did before; counted, they may be unable to run
// beside others at all.
void question_missing(Evidence &evidence, const JobShape &job, const JobEvidence &seen) {
  std::vector<HostIndex> ran;
  std::vector<HostIndex> missing;
  for (std::size_t rank = 0; rank < job.rank_hosts.size(); ++rank) {
    if (job.rank_hosts[rank] >= 0)
      (started(seen, rank) ? ran : missing).push_back(job.rank_hosts[rank]);
  }
  ran = pairdot_hosts::distinct_hosts(std::move(ran));
  missing = pairdot_hosts::distinct_hosts(std::move(missing));
  // Beside others, a host has shown it can join once a pair of it verified:
  // one that starts now and then, only to fail, has not.
  std::vector<HostIndex> verified;
  for (std::size_t pair = 0; pair < seen.verified.size() && 2 * pair + 1 < job.rank_hosts.size();
       ++pair) {
    if (seen.verified[pair] != 0)
      verified.insert(verified.end(), {job.rank_hosts[2 * pair], job.rank_hosts[2 * pair + 1]});
  }
  std::sort(verified.begin(), verified.end());
  for (const HostIndex host : ran) {
    if (ran.size() > 1 && std::binary_search(verified.begin(), verified.end(), host))
      evidence.started_beside[static_cast<std::size_t>(host)] = 1;
  }
  for (const HostIndex host : missing) {
    const auto h = static_cast<std::size_t>(host);
    if (std::binary_search(ran.begin(), ran.end(), host))
      continue;
    if (evidence.host_states[h] == HostState::ran)
      evidence.host_states[h] = HostState::unknown;
    if (evidence.missing_beside[h] < 255)
      ++evidence.missing_beside[h];
  }
}

// A host that starts alone but, time after time, not beside others.
void judge_joining(Evidence &evidence, const std::vector<HostIndex> &hosts) {
  for (const HostIndex host : hosts) {
    const auto h = static_cast<std::size_t>(host);
    if (host < 0 || evidence.host_states[h] == HostState::cannot_run)
      continue;
    const bool cannot_join = evidence.ran_alone[h] != 0 && evidence.started_beside[h] == 0 &&
                             evidence.missing_beside[h] >= missing_beside_others_limit;
    if (cannot_join && evidence.host_states[h] != HostState::cannot_join)
      mark_cannot_run(evidence, host, HostState::cannot_join);
    else if (!cannot_join && evidence.host_states[h] == HostState::cannot_join)
      mark_ran(evidence, host);
  }
}

bool failing(LinkState state) {
  return state == LinkState::failed || state == LinkState::host_down || state == LinkState::cut_off;
}

bool has_verified_link(const Evidence &evidence, HostIndex host) {
  for (HostIndex other = 0; other < evidence.hosts; ++other) {
    if (other != host && (link_state(evidence, host, other) == LinkState::verified ||
                          link_state(evidence, other, host) == LinkState::verified))
      return true;
  }
  return false;
}

// The group's links to and from the rest are cut off, but those that
// verified or failed alone.
bool within(const std::vector<HostIndex> &part, const std::vector<HostIndex> &whole) {
  return std::includes(whole.begin(), whole.end(), part.begin(), part.end());
}

// A group found whole replaces the parts of it found before; the links
// between those parts are open again.
void mark_group(Evidence &evidence, const std::vector<HostIndex> &group) {
  auto &groups = evidence.groups;
  groups.erase(
      std::remove_if(groups.begin(), groups.end(),
                     [&](const std::vector<HostIndex> &part) { return within(part, group); }),
      groups.end());
  groups.push_back(group);
  std::vector<std::uint8_t> inside(static_cast<std::size_t>(evidence.hosts), 0);
  for (const HostIndex host : group)
    inside[static_cast<std::size_t>(host)] = 1;
  for (const HostIndex host : group) {
    for (HostIndex other = 0; other < evidence.hosts; ++other) {
      if (inside[static_cast<std::size_t>(other)] != 0) {
        if (state_at(evidence, index_of(evidence, host, other)) == LinkState::cut_off)
          set_state(evidence, index_of(evidence, host, other), LinkState::untested);
        continue;
      }
      for (const std::size_t at :
           {index_of(evidence, host, other), index_of(evidence, other, host)}) {
        const LinkState state = state_at(evidence, at);
        if (state == LinkState::untested || state == LinkState::suspect)
          set_state(evidence, at, LinkState::cut_off);
      }
    }
  }
}

// A set is a group when it failed whole and in both halves against hosts
// known good, and verified links join its hosts.
void judge_group(Evidence &evidence, const std::vector<HostIndex> &set) {
  const auto half = static_cast<std::ptrdiff_t>(first_half(set.size()));
  const std::vector<HostIndex> first(set.begin(), set.begin() + half);
  const std::vector<HostIndex> second(set.begin() + half, set.end());
  const bool known =
      std::any_of(evidence.groups.begin(), evidence.groups.end(),
                  [&](const std::vector<HostIndex> &group) { return within(set, group); });
  // Cut off from the rest: the smaller side.
  const bool minority = 2 * set.size() < static_cast<std::size_t>(evidence.hosts);
  if (set.size() >= 2 && minority && !known && failed_to_reach(evidence, set) &&
      failed_to_reach(evidence, first) && failed_to_reach(evidence, second) &&
      reach_each_other(evidence, set))
    mark_group(evidence, set);
}

// A reach job that failed with every rank started.
void add_unreached(Evidence &evidence, const std::vector<HostIndex> &tested) {
  if (tested.size() == 1) {
    const auto h = static_cast<std::size_t>(tested[0]);
    if (evidence.unreached_alone[h] < 255)
      ++evidence.unreached_alone[h];
    if (evidence.unreached_alone[h] >= 2 && evidence.host_states[h] != HostState::dark &&
        !has_verified_link(evidence, tested[0]))
      mark_cannot_run(evidence, tested[0], HostState::dark);
  }
  if (!failed_to_reach(evidence, tested))
    evidence.unreached_sets.push_back(tested);
  // The set may complete itself, or a set it is a half of.
  const std::vector<std::vector<HostIndex>> sets = evidence.unreached_sets;
  for (const std::vector<HostIndex> &set : sets) {
    if (set.size() > tested.size() &&
        std::includes(set.begin(), set.end(), tested.begin(), tested.end()))
      judge_group(evidence, set);
  }
  if (tested.size() >= 2)
    judge_group(evidence, tested);
}

} // namespace

Evidence make_evidence(HostIndex hosts) {
  Evidence evidence;
  evidence.hosts = hosts;
  const auto n = static_cast<std::size_t>(hosts);
  evidence.links.assign(n * n, 0);
  evidence.host_states.assign(n, HostState::unknown);
  evidence.unavailable.assign(n, 0);
  evidence.ran_alone.assign(n, 0);
  evidence.started_beside.assign(n, 0);
  evidence.missing_beside.assign(n, 0);
  evidence.unreached_alone.assign(n, 0);
  return evidence;
}

LinkState link_state(const Evidence &evidence, HostIndex sender, HostIndex receiver) {
  return state_at(evidence, index_of(evidence, sender, receiver));
}

bool failed_in_group(const Evidence &evidence, HostIndex sender, HostIndex receiver) {
  return (evidence.links[index_of(evidence, sender, receiver)] & failed_beside_others) != 0;
}

bool pair_failures_count(const JobShape &job, const JobEvidence &seen) {
  return job.kind != JobKind::hosts &&
         (job.kind == JobKind::single || std::all_of(seen.started.begin(), seen.started.end(),
                                                     [](std::uint8_t s) { return s != 0; }));
}

void add_job(Evidence &evidence, const JobShape &job, const JobEvidence &seen) {
  const std::vector<HostIndex> &hosts = job.rank_hosts;
  const bool one_host =
      !hosts.empty() && hosts[0] >= 0 &&
      std::all_of(hosts.begin(), hosts.end(), [&](HostIndex h) { return h == hosts[0]; });
  for (const HostIndex host : seen.unavailable_hosts)
    evidence.unavailable[static_cast<std::size_t>(host)] = 1;
  if (seen.held) {
    // Slurm holds a node that ran before for another job's end; one that
    // never ran, alone, cannot run.
    if (job.kind == JobKind::hosts && one_host &&
        evidence.host_states[static_cast<std::size_t>(hosts[0])] == HostState::unknown)
      mark_cannot_run(evidence, hosts[0]);
    return;
  }
  bool any_started = false;
  for (std::size_t rank = 0; rank < hosts.size(); ++rank) {
    if (started(seen, rank) && hosts[rank] >= 0) {
      mark_ran(evidence, hosts[rank]);
      any_started = true;
    }
  }
  if (any_started)
    question_missing(evidence, job, seen);
  const bool counts = pair_failures_count(job, seen);
  const std::size_t pairs = hosts.size() / 2;
  const bool alone =
      job.kind == JobKind::single ||
      ((job.kind == JobKind::isolation || job.kind == JobKind::retest) && pairs == 1);
  for (std::size_t pair = 0; pair < pairs; ++pair) {
    const HostIndex sender = hosts[2 * pair];
    const HostIndex receiver = hosts[2 * pair + 1];
    const bool verified = pair < seen.verified.size() && seen.verified[pair] != 0;
    // A hunt's failures are told by the hosts it tested, not by its links.
    const bool hunt = job.kind == JobKind::ring || job.kind == JobKind::reach;
    if (sender >= 0 && receiver >= 0 && sender != receiver && (verified || (counts && !hunt)))
      add_pair(evidence, sender, receiver, verified, alone);
  }
  if (job.kind == JobKind::hosts && one_host && !any_started)
    mark_cannot_run(evidence, hosts[0]);
  if (job.kind == JobKind::hosts && one_host && any_started)
    evidence.ran_alone[static_cast<std::size_t>(hosts[0])] = 1;
  judge_joining(evidence, hosts);
  const bool all_verified =
      seen.verified.size() >= pairs &&
      std::all_of(seen.verified.begin(), seen.verified.begin() + static_cast<std::ptrdiff_t>(pairs),
                  [](std::uint8_t v) { return v != 0; });
  if (job.kind == JobKind::reach && counts && !all_verified && !job.tested.empty())
    add_unreached(evidence, job.tested);
}

bool left_out(const Evidence &evidence, HostIndex host) {
  return evidence.missing_beside[static_cast<std::size_t>(host)] >= missing_beside_others_limit;
}

std::size_t first_half(std::size_t hosts) { return (hosts + 1) / 2; }

bool none_can_run(const Evidence &evidence) {
  const auto states = evidence.host_states;
  const auto dead = std::count(states.begin(), states.end(), HostState::cannot_run);
  return evidence.hosts >= 2 && dead >= evidence.hosts - 1 &&
         std::none_of(states.begin(), states.end(),
                      [](HostState state) { return state == HostState::ran; }) &&
         std::none_of(evidence.ran_alone.begin(), evidence.ran_alone.end(),
                      [](std::uint8_t ran) { return ran != 0; });
}

bool reach_each_other(const Evidence &evidence, const std::vector<HostIndex> &hosts) {
  std::vector<std::uint8_t> reached(hosts.size(), 0);
  std::vector<std::size_t> todo{0};
  reached[0] = 1;
  std::size_t count = 1;
  while (!todo.empty()) {
    const HostIndex from = hosts[todo.back()];
    todo.pop_back();
    for (std::size_t i = 0; i < hosts.size(); ++i) {
      if (reached[i] == 0 && (link_state(evidence, from, hosts[i]) == LinkState::verified ||
                              link_state(evidence, hosts[i], from) == LinkState::verified)) {
        reached[i] = 1;
        ++count;
        todo.push_back(i);
      }
    }
  }
  return count == hosts.size();
}

bool failed_to_reach(const Evidence &evidence, const std::vector<HostIndex> &hosts) {
  return std::find(evidence.unreached_sets.begin(), evidence.unreached_sets.end(), hosts) !=
         evidence.unreached_sets.end();
}

LinkVerdict link_verdict(const Evidence &evidence, HostIndex sender, HostIndex receiver) {
  switch (link_state(evidence, sender, receiver)) {
  case LinkState::verified:
    return failed_in_group(evidence, sender, receiver) ? LinkVerdict::collateral
                                                       : LinkVerdict::verified;
  case LinkState::failed:
  case LinkState::host_down:
  case LinkState::cut_off:
    return LinkVerdict::failed;
  default:
    return LinkVerdict::not_covered;
  }
}

namespace {

// The switch whose hosts are exactly the group's, the lowest if several; -1 none.
int switch_of_group(const SwitchTree &switches, const std::vector<HostIndex> &group) {
  int found = -1;
  for (std::size_t s = 0; s < switches.below.size(); ++s) {
    if (switches.below[s] == group && (found < 0 || switches.parent[s] == found))
      found = static_cast<int>(s);
  }
  return found;
}

} // namespace

Suspects find_suspects(const Evidence &evidence, const SwitchTree &switches) {
  const HostIndex n = evidence.hosts;
  std::vector<int> group_of(static_cast<std::size_t>(n), -1);
  Suspects suspects;
  for (std::size_t g = 0; g < evidence.groups.size(); ++g) {
    for (const HostIndex host : evidence.groups[g])
      group_of[static_cast<std::size_t>(host)] = static_cast<int>(g);
    const int sw = switch_of_group(switches, evidence.groups[g]);
    if (sw >= 0)
      suspects.switches.push_back(sw);
    else
      suspects.groups.push_back(evidence.groups[g]);
  }
  const auto across = [&](HostIndex a, HostIndex b) {
    return group_of[static_cast<std::size_t>(a)] != group_of[static_cast<std::size_t>(b)];
  };
  std::vector<int> partners(static_cast<std::size_t>(n), 0);
  std::vector<int> fails_with(static_cast<std::size_t>(n), 0);
  const auto cannot_run = [&](HostIndex h) {
    const HostState state = evidence.host_states[static_cast<std::size_t>(h)];
    return state == HostState::cannot_run || state == HostState::cannot_join ||
           state == HostState::dark;
  };
  for (HostIndex a = 0; a < n; ++a) {
    for (HostIndex b = a + 1; b < n; ++b) {
      if (cannot_run(a) || cannot_run(b) || across(a, b))
        continue; // the dead host, or the group's cut, explains the link
      const LinkState there = link_state(evidence, a, b);
      const LinkState back = link_state(evidence, b, a);
      const bool covered = link_verdict(evidence, a, b) != LinkVerdict::not_covered ||
                           link_verdict(evidence, b, a) != LinkVerdict::not_covered;
      const bool fails = failing(there) || failing(back);
      for (const HostIndex host : {a, b}) {
        partners[static_cast<std::size_t>(host)] += covered ? 1 : 0;
        fails_with[static_cast<std::size_t>(host)] += fails ? 1 : 0;
      }
    }
  }
  std::vector<bool> suspect(static_cast<std::size_t>(n), false);
  for (HostIndex host = 0; host < n; ++host) {
    const auto h = static_cast<std::size_t>(host);
    // Between two hosts a failing link cannot be told from a failing host.
    suspect[h] = cannot_run(host) ||
                 (group_of[h] < 0 && ((fails_with[h] >= 2 && 2 * fails_with[h] > partners[h]) ||
                                      (n == 2 && fails_with[h] > 0))) ||
                 evidence.unavailable[h] != 0;
    if (suspect[h])
      suspects.hosts.push_back(host);
  }
  for (HostIndex sender = 0; sender < n; ++sender) {
    for (HostIndex receiver = 0; receiver < n; ++receiver) {
      if (sender != receiver && !suspect[static_cast<std::size_t>(sender)] &&
          !suspect[static_cast<std::size_t>(receiver)] && !across(sender, receiver) &&
          failing(link_state(evidence, sender, receiver)))
        suspects.links.emplace_back(sender, receiver);
    }
  }
  return suspects;
}

} // namespace pairdot_model
