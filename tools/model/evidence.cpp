#include "evidence.hpp"

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
void mark_ran(Evidence &evidence, HostIndex host) {
  HostState &state = evidence.host_states[static_cast<std::size_t>(host)];
  if (state == HostState::cannot_run || state == HostState::cannot_join) {
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
  std::sort(ran.begin(), ran.end());
  ran.erase(std::unique(ran.begin(), ran.end()), ran.end());
  std::sort(missing.begin(), missing.end());
  missing.erase(std::unique(missing.begin(), missing.end()), missing.end());
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
  return state == LinkState::failed || state == LinkState::host_down;
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
  const bool alone = job.kind == JobKind::single || (job.kind == JobKind::isolation && pairs == 1);
  for (std::size_t pair = 0; pair < pairs; ++pair) {
    const HostIndex sender = hosts[2 * pair];
    const HostIndex receiver = hosts[2 * pair + 1];
    const bool verified = pair < seen.verified.size() && seen.verified[pair] != 0;
    if (sender >= 0 && receiver >= 0 && sender != receiver && (verified || counts))
      add_pair(evidence, sender, receiver, verified, alone);
  }
  if (job.kind == JobKind::hosts && one_host && !any_started)
    mark_cannot_run(evidence, hosts[0]);
  if (job.kind == JobKind::hosts && one_host && any_started)
    evidence.ran_alone[static_cast<std::size_t>(hosts[0])] = 1;
  judge_joining(evidence, hosts);
}

LinkVerdict link_verdict(const Evidence &evidence, HostIndex sender, HostIndex receiver) {
  switch (link_state(evidence, sender, receiver)) {
  case LinkState::verified:
    return failed_in_group(evidence, sender, receiver) ? LinkVerdict::collateral
                                                       : LinkVerdict::verified;
  case LinkState::failed:
  case LinkState::host_down:
    return LinkVerdict::failed;
  default:
    return LinkVerdict::not_covered;
  }
}

Suspects find_suspects(const Evidence &evidence) {
  const HostIndex n = evidence.hosts;
  std::vector<int> partners(static_cast<std::size_t>(n), 0);
  std::vector<int> fails_with(static_cast<std::size_t>(n), 0);
  const auto cannot_run = [&](HostIndex h) {
    const HostState state = evidence.host_states[static_cast<std::size_t>(h)];
    return state == HostState::cannot_run || state == HostState::cannot_join;
  };
  for (HostIndex a = 0; a < n; ++a) {
    for (HostIndex b = a + 1; b < n; ++b) {
      if (cannot_run(a) || cannot_run(b))
        continue; // the dead host explains the link
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
  Suspects suspects;
  std::vector<bool> suspect(static_cast<std::size_t>(n), false);
  for (HostIndex host = 0; host < n; ++host) {
    const auto h = static_cast<std::size_t>(host);
    // Between two hosts a failing link cannot be told from a failing host.
    suspect[h] = cannot_run(host) || (fails_with[h] >= 2 && 2 * fails_with[h] > partners[h]) ||
                 (n == 2 && fails_with[h] > 0) || evidence.unavailable[h] != 0;
    if (suspect[h])
      suspects.hosts.push_back(host);
  }
  for (HostIndex sender = 0; sender < n; ++sender) {
    for (HostIndex receiver = 0; receiver < n; ++receiver) {
      if (sender != receiver && !suspect[static_cast<std::size_t>(sender)] &&
          !suspect[static_cast<std::size_t>(receiver)] &&
          failing(link_state(evidence, sender, receiver)))
        suspects.links.emplace_back(sender, receiver);
    }
  }
  return suspects;
}

} // namespace pairdot_model
