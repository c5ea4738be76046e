#include "report_text.hpp"
#include "run_report.hpp"

#include <set>
#include <unordered_map>

namespace pairdot_reports {

const char *const diagnosis_rule =
    "A pair that fails in a bigger job is re-tested alone before it is blamed: a link fails when "
    "a pair over it fails alone, or fails and never verifies. A host is suspect when its links "
    "fail with more than half of its partners (at least two), when it is one of only two "
    "hosts and the link between them fails, or when Slurm would not start a job on it (down, "
    "drained, not responding, still ending an earlier job) and no pair on it verified after "
    "that; a failing link between two hosts that are not suspect is a suspect link.";

namespace {

constexpr std::size_t max_seen = 8;

// What one link collected over all jobs, beyond the counts kept in Link.
struct Tally {
  int failed_alone = 0; // in an isolation or single job
  int failed_sweep = 0;
  std::size_t seen = 0; // entries, kept or not
};

bool runs_alone(const std::string &kind) { return kind == "isolation" || kind == "single"; }

std::string seen_entry(const JobOutcome &job, const PairOutcome &pair) {
  const std::string outcome = pair.verified          ? "verified"
                              : pair.problem.empty() ? "failed"
                                                     : pair.problem;
  return detail::job_name(job.number, job.kind) + ", pair " + detail::pair_ranks(pair.even_rank) +
         ": " + outcome;
}

// Links are stored sender-major without the diagonal.
std::size_t link_index(std::size_t hosts, std::size_t sender, std::size_t receiver) {
  return sender * (hosts - 1) + (receiver < sender ? receiver : receiver - 1);
}

void count_pair(Link &link, Tally &tally, const JobOutcome &job, const PairOutcome &pair) {
  if (pair.verified) {
    ++link.verified_pairs;
  } else {
    ++link.failed_pairs;
    tally.failed_alone += runs_alone(job.kind) ? 1 : 0;
    tally.failed_sweep += job.kind == "sweep" ? 1 : 0;
  }
  if (++tally.seen <= max_seen)
    link.seen.push_back(seen_entry(job, pair));
}

void settle(Link &link, const Tally &tally) {
  if (link.verified_pairs + link.failed_pairs == 0) {
    link.status = link_status::not_covered;
  } else if (tally.failed_alone > 0 || link.verified_pairs == 0) {
    link.status = link_status::failed;
  } else {
    link.status = link_status::verified;
  }
  link.collateral = tally.failed_sweep > 0 && link.status == link_status::verified;
  if (tally.seen > max_seen)
    link.seen.push_back("... " + std::to_string(tally.seen - max_seen) + " more");
}

bool is_covered(const Link &link) { return link.status != link_status::not_covered; }
bool is_failed(const Link &link) { return link.status == link_status::failed; }

// Hosts Slurm would not start a job on, unless a pair on them verified in a
// later job. Jobs are in number order.
std::set<std::string> unavailable_hosts(const RunReport &report) {
  std::set<std::string> hosts;
  for (const JobOutcome &job : report.jobs) {
    hosts.insert(job.unavailable_hosts.begin(), job.unavailable_hosts.end());
    for (const PairOutcome &pair : job.pairs) {
      if (pair.verified) {
        hosts.erase(pair.sender);
        hosts.erase(pair.receiver);
      }
    }
  }
  return hosts;
}

void find_suspects(RunReport &report, const std::vector<std::string> &names) {
  const std::size_t n = names.size();
  std::vector<bool> suspect(n, false);
  const std::set<std::string> unavailable = unavailable_hosts(report);
  for (std::size_t host = 0; host < n; ++host) {
    int partners = 0;
    int fails_with = 0;
    for (std::size_t other = 0; other < n; ++other) {
      if (other == host)
        continue;
      const Link &out = report.links[link_index(n, host, other)];
      const Link &in = report.links[link_index(n, other, host)];
      partners += is_covered(out) || is_covered(in) ? 1 : 0;
      fails_with += is_failed(out) || is_failed(in) ? 1 : 0;
    }
    // Between two hosts a failing link cannot be told from a failing host.
    suspect[host] = (fails_with >= 2 && 2 * fails_with > partners) || (n == 2 && fails_with > 0) ||
                    unavailable.count(names[host]) > 0;
    if (suspect[host])
      report.suspect_hosts.push_back(names[host]);
  }
  for (std::size_t sender = 0; sender < n; ++sender) {
    for (std::size_t receiver = 0; receiver < n; ++receiver) {
      if (sender != receiver && !suspect[sender] && !suspect[receiver] &&
          is_failed(report.links[link_index(n, sender, receiver)]))
        report.suspect_links.emplace_back(names[sender], names[receiver]);
    }
  }
}

} // namespace

void diagnose(RunReport &report) {
  std::vector<std::string> names;
  std::unordered_map<std::string, std::size_t> index;
  for (const Host &host : report.hosts) {
    if (index.emplace(host.name, names.size()).second)
      names.push_back(host.name);
  }
  const std::size_t n = names.size();
  report.links.clear();
  report.suspect_hosts.clear();
  report.suspect_links.clear();
  for (const std::string &sender : names) {
    for (const std::string &receiver : names) {
      if (sender != receiver)
        report.links.push_back(Link{sender, receiver, link_status::not_covered, 0, 0, false, {}});
    }
  }
  std::vector<Tally> tallies(report.links.size());
  for (const JobOutcome &job : report.jobs) {
    if (job.status == job_status::not_started)
      continue; // no evidence on any link
    for (const PairOutcome &pair : job.pairs) {
      const auto sender = index.find(pair.sender);
      const auto receiver = index.find(pair.receiver);
      if (sender == index.end() || receiver == index.end() || sender == receiver)
        continue;
      const std::size_t at = link_index(n, sender->second, receiver->second);
      count_pair(report.links[at], tallies[at], job, pair);
    }
  }
  for (std::size_t at = 0; at < report.links.size(); ++at)
    settle(report.links[at], tallies[at]);
  find_suspects(report, names);
}

} // namespace pairdot_reports
