#include "run_report.hpp"

#include <algorithm>
#include <map>
#include <unordered_map>

namespace pairdot_model {

namespace {

constexpr std::size_t max_seen = 8;

HostIndex host_at(const HostMap &index, const std::string &name) {
  const auto found = index.find(name);
  return found == index.end() ? -1 : found->second;
}

// Links with a failed pair, with what every job saw of them.
std::vector<LinkDetail> troubled_links(const RunReport &report, const HostMap &index) {
  const auto n = static_cast<std::size_t>(report.evidence.hosts);
  if (n == 0)
    return {};
  std::map<std::size_t, LinkDetail> links;
  std::map<std::size_t, std::size_t> seen_count;
  const auto link_of = [&](const PairOutcome &pair) -> std::ptrdiff_t {
    const HostIndex sender = host_at(index, pair.sender);
    const HostIndex receiver = host_at(index, pair.receiver);
    if (sender < 0 || receiver < 0 || sender == receiver)
      return -1;
    return static_cast<std::ptrdiff_t>(static_cast<std::size_t>(sender) * n +
                                       static_cast<std::size_t>(receiver));
  };
  for (const JobOutcome &job : report.jobs) {
    for (const PairOutcome &pair : job.pairs) {
      const std::ptrdiff_t at = link_of(pair);
      if (!pair.verified && at >= 0 && job.status != JobStatus::misplaced)
        links.try_emplace(static_cast<std::size_t>(at),
                          LinkDetail{pair.sender, pair.receiver, {}, 0, 0, {}});
    }
  }
  if (links.empty())
    return {};
  for (const JobOutcome &job : report.jobs) {
    for (const PairOutcome &pair : job.pairs) {
      const std::ptrdiff_t at = link_of(pair);
      const auto found = at < 0 ? links.end() : links.find(static_cast<std::size_t>(at));
      if (found == links.end() || job.status == JobStatus::misplaced)
        continue;
      LinkDetail &link = found->second;
      ++(pair.verified ? link.verified_pairs : link.failed_pairs);
      if (++seen_count[found->first] <= max_seen)
        link.seen.push_back({job.number, job.kind, pair});
    }
  }
  std::vector<LinkDetail> out;
  for (auto &[at, link] : links) {
    link.verdict = link_verdict(report.evidence, static_cast<HostIndex>(at / n),
                                static_cast<HostIndex>(at % n));
    link.more_seen = seen_count[at] - std::min(seen_count[at], max_seen);
    out.push_back(std::move(link));
  }
  return out;
}

// Without two hosts there are no links: the jobs tell. A job the user asked
// for that went wrong is a fault, whatever its pairs showed.
RunVerdict verdict_of(const RunReport &report) {
  const LinkCounts links = count_links(report);
  const bool no_links = report.hosts.size() < 2;
  const auto job_ok = [](const JobOutcome &job) {
    return job.status == JobStatus::verified || job.status == JobStatus::did_not_end;
  };
  const bool jobs_ok = std::all_of(report.jobs.begin(), report.jobs.end(), job_ok);
  const bool single_failed =
      std::any_of(report.jobs.begin(), report.jobs.end(), [&](const JobOutcome &job) {
        return job.kind == JobKind::single && !job_ok(job);
      });
  if (links.failed > 0 || !report.suspect_hosts.empty() || !report.suspect_switches.empty() ||
      !report.suspect_groups.empty() || (no_links && !jobs_ok) || single_failed ||
      !report.slow_links.empty() || !report.slow_hosts.empty() || !report.slow_switches.empty())
    return RunVerdict::fault;
  if (links.not_covered > 0 || !report.converged || (no_links && report.jobs.empty()))
    return RunVerdict::incomplete;
  return RunVerdict::verified;
}

} // namespace

LinkVerdict verdict_at(const RunReport &report, std::size_t sender, std::size_t receiver) {
  const auto hosts = static_cast<std::size_t>(report.evidence.hosts);
  if (sender >= hosts || receiver >= hosts || report.evidence.links.size() < hosts * hosts)
    return LinkVerdict::not_covered;
  return link_verdict(report.evidence, static_cast<HostIndex>(sender),
                      static_cast<HostIndex>(receiver));
}

LinkCounts count_links(const RunReport &report) {
  LinkCounts counts;
  const std::size_t n = report.hosts.size();
  for (std::size_t sender = 0; sender < n; ++sender) {
    for (std::size_t receiver = 0; receiver < n; ++receiver) {
      if (sender == receiver)
        continue;
      const LinkVerdict verdict = verdict_at(report, sender, receiver);
      ++(verdict == LinkVerdict::failed        ? counts.failed
         : verdict == LinkVerdict::not_covered ? counts.not_covered
                                               : counts.verified);
    }
  }
  return counts;
}

EvidenceStore::EvidenceStore(const std::vector<Host> &hosts)
    : evidence_(make_evidence(static_cast<HostIndex>(hosts.size()))) {
  for (const Host &host : hosts)
    index_.emplace(host.name, static_cast<HostIndex>(index_.size()));
}

void EvidenceStore::add(const JobOutcome &job) {
  if (job.status == JobStatus::misplaced)
    return;
  JobShape shape{job.kind, {}, {}};
  shape.rank_hosts.reserve(job.rank_hosts.size());
  for (const std::string &host : job.rank_hosts)
    shape.rank_hosts.push_back(host_at(index_, host));
  for (const std::string &host : job.tested_hosts)
    shape.tested.push_back(host_at(index_, host));
  std::sort(shape.tested.begin(), shape.tested.end());
  add_job(evidence_, shape, job_evidence(job, index_));
}

std::vector<LinkMeasure> link_measures(const std::vector<JobOutcome> &jobs, const HostMap &index) {
  std::vector<LinkMeasure> measures;
  for (const JobOutcome &job : jobs) {
    if (job.status == JobStatus::misplaced)
      continue;
    // Outside the sweep, a pair whose hosts are in no other pair is alone.
    std::unordered_map<std::string, int> pairs_on;
    if (job.kind != JobKind::sweep) {
      for (const PairOutcome &pair : job.pairs) {
        ++pairs_on[pair.sender];
        ++pairs_on[pair.receiver];
      }
    }
    for (const PairOutcome &pair : job.pairs) {
      const bool alone =
          job.kind != JobKind::sweep && pairs_on[pair.sender] == 1 && pairs_on[pair.receiver] == 1;
      if (pair.probe)
        measures.push_back({host_at(index, pair.sender), host_at(index, pair.receiver), job.number,
                            alone, *pair.probe});
    }
  }
  return measures;
}

std::vector<PairOutcome> pair_outcomes(const std::vector<pairdot_check::PairVerdict> &verdicts,
                                       const std::vector<std::string> &rank_hosts) {
  std::vector<PairOutcome> pairs;
  pairs.reserve(verdicts.size());
  for (const pairdot_check::PairVerdict &verdict : verdicts) {
    const auto even = static_cast<std::size_t>(verdict.even_rank);
    pairs.push_back({verdict.even_rank,
                     rank_hosts[even],
                     rank_hosts[even + 1],
                     verdict.verified,
                     verdict.problem,
                     std::nullopt,
                     {}});
  }
  return pairs;
}

bool has_probes(const RunReport &report) {
  return std::any_of(report.jobs.begin(), report.jobs.end(), [](const JobOutcome &job) {
    return std::any_of(job.pairs.begin(), job.pairs.end(),
                       [](const PairOutcome &pair) { return pair.probe.has_value(); });
  });
}

JobEvidence job_evidence(const JobOutcome &job, const HostMap &index) {
  JobEvidence seen;
  const bool none_started = job.status == JobStatus::not_started;
  seen.held = none_started;
  seen.started.assign(job.rank_hosts.size(), none_started ? 0 : 1);
  for (const std::int32_t rank : job.not_started) {
    if (rank >= 0 && static_cast<std::size_t>(rank) < seen.started.size())
      seen.started[static_cast<std::size_t>(rank)] = 0;
  }
  seen.verified.assign(job.rank_hosts.size() / 2, 0);
  for (const PairOutcome &pair : job.pairs) {
    const auto at = static_cast<std::size_t>(pair.even_rank / 2);
    if (at < seen.verified.size())
      seen.verified[at] = pair.verified && !none_started ? 1 : 0;
  }
  for (const std::string &host : job.unavailable_hosts) {
    if (const HostIndex at = host_at(index, host); at >= 0)
      seen.unavailable_hosts.push_back(at);
  }
  return seen;
}

void diagnose(RunReport &report) {
  std::vector<const JobOutcome *> jobs;
  for (const JobOutcome &job : report.jobs)
    jobs.push_back(&job);
  std::stable_sort(jobs.begin(), jobs.end(),
                   [](const JobOutcome *a, const JobOutcome *b) { return a->number < b->number; });
  EvidenceStore store(report.hosts);
  for (const JobOutcome *job : jobs)
    store.add(*job);
  diagnose(report, store);
}

void diagnose(RunReport &report, const EvidenceStore &store) {
  report.index = store.index();
  const HostMap &index = report.index;
  // No host started a rank, even alone: the launcher fails, nothing was
  // learnt of the hosts and none is blamed.
  const bool launcher_fails = none_can_run(store.evidence());
  report.evidence = launcher_fails ? make_evidence(store.evidence().hosts) : store.evidence();
  report.troubled = launcher_fails ? std::vector<LinkDetail>{} : troubled_links(report, index);
  const Suspects suspects = find_suspects(report.evidence, report.switches);
  report.suspect_hosts.clear();
  report.suspect_links.clear();
  report.cannot_run.clear();
  report.cannot_join.clear();
  report.dark.clear();
  report.suspect_switches.clear();
  report.suspect_groups.clear();
  for (const int sw : suspects.switches)
    report.suspect_switches.push_back(report.switches.names[static_cast<std::size_t>(sw)]);
  for (const std::vector<HostIndex> &group : suspects.groups) {
    report.suspect_groups.emplace_back();
    for (const HostIndex host : group)
      report.suspect_groups.back().push_back(report.hosts[static_cast<std::size_t>(host)].name);
  }
  for (const HostIndex host : suspects.hosts)
    report.suspect_hosts.push_back(report.hosts[static_cast<std::size_t>(host)].name);
  for (const auto &[sender, receiver] : suspects.links)
    report.suspect_links.emplace_back(report.hosts[static_cast<std::size_t>(sender)].name,
                                      report.hosts[static_cast<std::size_t>(receiver)].name);
  for (std::size_t host = 0; host < report.hosts.size(); ++host) {
    if (report.evidence.host_states[host] == HostState::cannot_run)
      report.cannot_run.push_back(report.hosts[host].name);
    if (report.evidence.host_states[host] == HostState::cannot_join)
      report.cannot_join.push_back(report.hosts[host].name);
    if (report.evidence.host_states[host] == HostState::dark)
      report.dark.push_back(report.hosts[host].name);
  }
  report.quality =
      assess_links(link_measures(report.jobs, index), static_cast<HostIndex>(report.hosts.size()),
                   report.slow_rule, report.switches);
  report.slow_links.clear();
  report.slow_hosts.clear();
  report.slow_switches.clear();
  const auto name = [&](HostIndex host) {
    return report.hosts[static_cast<std::size_t>(host)].name;
  };
  for (const LinkProbe &link : report.quality.links) {
    if (link.verdict == ProbeVerdict::slow && link.slow_switch < 0)
      report.slow_links.emplace_back(name(link.sender), name(link.receiver));
  }
  for (const int sw : report.quality.slow_switches)
    report.slow_switches.push_back(report.switches.names[static_cast<std::size_t>(sw)]);
  for (const HostIndex host : report.quality.slow_hosts)
    report.slow_hosts.push_back(name(host));
  report.verdict = verdict_of(report);
}

} // namespace pairdot_model
