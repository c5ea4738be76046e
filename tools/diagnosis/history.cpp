#include "history.hpp"

#include <algorithm>
#include <map>
#include <set>

namespace pairdot_model {

namespace {

// The completed sweeps of the window, oldest first.
std::vector<const SweepRecord *> window_of(const std::vector<SweepRecord> &history,
                                           std::size_t window) {
  std::vector<const SweepRecord *> sweeps;
  for (auto it = history.rbegin(); it != history.rend() && sweeps.size() < window; ++it) {
    if (it->end == SweepEnd::completed)
      sweeps.push_back(&*it);
  }
  std::reverse(sweeps.begin(), sweeps.end());
  return sweeps;
}

bool has(const std::vector<std::string> &names, const std::string &name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

bool has(const std::vector<Link> &links, const Link &link) {
  return std::find(links.begin(), links.end(), link) != links.end();
}

void keep_intermittent(std::vector<Intermittent> &out, Intermittent candidate) {
  if (candidate.failed > 0 && candidate.failed < candidate.sweeps)
    out.push_back(std::move(candidate));
}

} // namespace

SweepRecord sweep_record(const RunReport &report, SweepEnd end) {
  SweepRecord record;
  record.end = end;
  record.verdict = report.verdict;
  record.hosts = pairdot_hosts::names_of(report.hosts);
  std::set<std::string> suspects(report.suspect_hosts.begin(), report.suspect_hosts.end());
  for (const auto *list : {&report.cannot_run, &report.cannot_join, &report.dark})
    suspects.insert(list->begin(), list->end());
  record.suspect_hosts.assign(suspects.begin(), suspects.end());
  record.suspect_switches = report.suspect_switches;
  record.suspect_links = report.suspect_links;
  for (const LinkDetail &link : report.troubled) {
    if (link.verdict == LinkVerdict::failed)
      record.failed_links.emplace_back(link.sender, link.receiver);
  }
  record.slow_links = report.slow_links;
  return record;
}

std::vector<Intermittent> find_intermittent(const std::vector<SweepRecord> &history,
                                            std::size_t window) {
  const std::vector<const SweepRecord *> sweeps = window_of(history, window);
  std::set<std::string> hosts;
  std::set<Link> links;
  for (const SweepRecord *sweep : sweeps) {
    hosts.insert(sweep->suspect_hosts.begin(), sweep->suspect_hosts.end());
    links.insert(sweep->suspect_links.begin(), sweep->suspect_links.end());
  }
  std::vector<Intermittent> found;
  for (const std::string &host : hosts) {
    Intermittent candidate{host, {}, 0, 0};
    for (const SweepRecord *sweep : sweeps) {
      if (!has(sweep->hosts, host))
        continue;
      ++candidate.sweeps;
      candidate.failed += has(sweep->suspect_hosts, host) ? 1 : 0;
    }
    keep_intermittent(found, std::move(candidate));
  }
  for (const Link &link : links) {
    Intermittent candidate{{}, link, 0, 0};
    for (const SweepRecord *sweep : sweeps) {
      const bool tested = has(sweep->hosts, link.first) && has(sweep->hosts, link.second) &&
                          !has(sweep->suspect_hosts, link.first) &&
                          !has(sweep->suspect_hosts, link.second);
      if (!tested)
        continue;
      ++candidate.sweeps;
      candidate.failed += has(sweep->suspect_links, link) ? 1 : 0;
    }
    keep_intermittent(found, std::move(candidate));
  }
  return found;
}

std::vector<HostRow> host_rows(const std::vector<SweepRecord> &history, std::size_t window) {
  const std::vector<const SweepRecord *> sweeps = window_of(history, window);
  std::vector<HostRow> rows;
  if (sweeps.empty())
    return rows;
  for (const std::string &host : sweeps.back()->hosts) {
    HostRow row{host, {}};
    for (const SweepRecord *sweep : sweeps) {
      const bool on_link = std::any_of(
          sweep->suspect_links.begin(), sweep->suspect_links.end(),
          [&host](const Link &link) { return link.first == host || link.second == host; });
      row.marks.push_back(!has(sweep->hosts, host)                     ? SweepMark::not_tested
                          : has(sweep->suspect_hosts, host) || on_link ? SweepMark::failed
                                                                       : SweepMark::verified);
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<long> runs_to_prune(std::vector<long> runs, std::size_t keep, long latest) {
  std::sort(runs.begin(), runs.end(), std::greater<>());
  std::vector<long> pruned;
  for (std::size_t at = keep; at < runs.size(); ++at) {
    if (runs[at] != latest)
      pruned.push_back(runs[at]);
  }
  return pruned;
}

} // namespace pairdot_model
