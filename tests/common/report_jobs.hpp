#pragma once

// Reports built from a short text of their jobs, for the report tests.

#include "run_report.hpp"

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace report_jobs {

using namespace pairdot_model; // NOLINT(google-build-using-namespace)
using Names = std::vector<std::string>;
using Jobs = std::vector<std::pair<JobKind, std::string>>;

// A pair "ab+" has host a send to host b and verify, "ab-" fails with "no
// result" ("n1>n2+": longer names); "!c": Slurm would not use host c, and the
// job did not start; "@c": a rank on c without a partner; "^c": no rank on c
// started.
inline JobOutcome make_job(int number, JobKind kind, const std::string &pairs) {
  JobOutcome job;
  job.number = number;
  job.kind = kind;
  job.seconds = 0.25 * number;
  job.placement = "-hosts " + pairs;
  std::istringstream tokens(pairs);
  Names missing;
  for (std::string token; tokens >> token;) {
    if (token[0] == '!') {
      job.unavailable_hosts.push_back(token.substr(1));
      continue;
    }
    if (token[0] == '@' || token[0] == '^') {
      (token[0] == '@' ? job.rank_hosts : missing).push_back(token.substr(1));
      continue;
    }
    const std::size_t arrow = token.find('>');
    const std::size_t split = arrow == std::string::npos ? 1 : arrow;
    const std::size_t after = arrow == std::string::npos ? 1 : arrow + 1;
    const bool verified = token.back() == '+';
    job.pairs.push_back(PairOutcome{static_cast<std::int32_t>(job.rank_hosts.size()),
                                    token.substr(0, split),
                                    token.substr(after, token.size() - after - 1),
                                    verified,
                                    verified ? "" : "no result",
                                    std::nullopt,
                                    {}});
    job.rank_hosts.insert(job.rank_hosts.end(),
                          {job.pairs.back().sender, job.pairs.back().receiver});
    if (!verified)
      job.status = JobStatus::failed;
  }
  if (!job.unavailable_hosts.empty())
    job.status = JobStatus::not_started;
  for (std::size_t rank = 0; rank < job.rank_hosts.size(); ++rank) {
    if (std::find(missing.begin(), missing.end(), job.rank_hosts[rank]) != missing.end()) {
      job.not_started.push_back(static_cast<std::int32_t>(rank));
      job.status = JobStatus::hosts_missing;
    }
  }
  return job;
}

inline RunReport make_report(const Names &hosts, const Jobs &jobs) {
  RunReport report;
  report.tool = "pairdot-run";
  report.launcher = "mpich";
  for (const std::string &host : hosts)
    report.hosts.push_back(Host{host, 2});
  for (const auto &[kind, pairs] : jobs)
    report.jobs.push_back(make_job(static_cast<int>(report.jobs.size()) + 1, kind, pairs));
  diagnose(report);
  return report;
}

// "s ab- cd-; i ab-": jobs, each a kind (s sweep, i isolation, 1 single, h
// hosts) and make_job's pairs.
inline Jobs jobs_of(const std::string &text) {
  const std::map<char, JobKind> kinds = {{'s', JobKind::sweep},
                                         {'i', JobKind::isolation},
                                         {'1', JobKind::single},
                                         {'h', JobKind::hosts}};
  Jobs jobs;
  std::istringstream items(text);
  for (std::string item; std::getline(items, item, ';');) {
    item.erase(0, item.find_first_not_of(' '));
    jobs.emplace_back(kinds.at(item[0]), item.substr(2));
  }
  return jobs;
}

// Each letter a host's name.
inline Names hosts_of(const std::string &letters) {
  Names names;
  for (const char letter : letters)
    names.emplace_back(1, letter);
  return names;
}

} // namespace report_jobs
