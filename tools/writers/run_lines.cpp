// What pairdot-run prints as it goes and when it ends.

#include "report_text.hpp"
#include "writers.hpp"

#include "host_names.hpp"

#include <algorithm>

namespace pairdot_writers {

namespace {

// Lines of one kind printed before the rest is left to the report.
constexpr std::size_t max_lines = 20;

std::size_t distinct_hosts(const JobOutcome &job) {
  return pairdot_hosts::distinct_hosts(job.rank_hosts).size();
}

std::string hosts_text(std::size_t hosts) {
  return std::to_string(hosts) + " host" + (hosts == 1 ? "" : "s");
}

// Why a job has no pair verdicts worth naming (misplaced, not started).
std::string job_faults(const RunReport &report) {
  std::string out;
  for (const JobOutcome &job : report.jobs) {
    if (job.status == JobStatus::misplaced || job.status == JobStatus::not_started) {
      for (const std::string &message : job.messages)
        out += "job " + std::to_string(job.number) + ": " + message + "\n";
    }
  }
  return out;
}

std::string job_warnings(const RunReport &report) {
  std::string out;
  for (const JobOutcome &job : report.jobs) {
    // A job that verified says only what to be warned of.
    const bool passed = job.status == JobStatus::did_not_end || job.status == JobStatus::verified;
    if (passed && !job.messages.empty())
      out += "pairdot-run: warning: job " + std::to_string(job.number) + ": " +
             job.messages.front() +
             (job.messages.size() > 1
                  ? " (" + std::to_string(job.messages.size() - 1) + " more in the report)"
                  : "") +
             "\n";
  }
  return out;
}

// Failed pairs of the jobs that blame links: a job the user asked for, or a
// link re-tested alone.
std::string failed_pairs(const RunReport &report, bool alone_only) {
  std::string out;
  for (const JobOutcome &job : report.jobs) {
    const bool alone = job.kind == JobKind::isolation && job.pairs.size() == 1;
    if ((alone_only && !alone) || job.status == JobStatus::not_started)
      continue; // a job that never started has its own lines
    for (const PairOutcome &pair : job.pairs) {
      if (!pair.verified)
        out += pair_name(pair) + ": " + problem_text(pair) + "\n";
    }
  }
  return out;
}

std::string diagnosis(const RunReport &report) {
  std::string out;
  std::size_t collateral = 0;
  for (const LinkDetail &link : report.troubled) {
    if (link.verdict == LinkVerdict::collateral && ++collateral <= max_lines)
      out += "link " + link.sender + " -> " + link.receiver +
             ": failed in a bigger job, verified alone (collateral damage)\n";
  }
  if (collateral > max_lines)
    out += "... and " + std::to_string(collateral - max_lines) +
           " more links of collateral damage (report.json)\n";
  return out + suspect_lines(report);
}

// Slow links and hosts, and the median link they are measured against.
std::string link_quality(const RunReport &report, bool every_link) {
  if (!has_probes(report))
    return "";
  const LinkQuality &quality = report.quality;
  const auto name = [&](HostIndex host) {
    return report.hosts[static_cast<std::size_t>(host)].name;
  };
  std::string out;
  std::size_t slow = 0;
  for (const LinkProbe &link : quality.links) {
    const bool is_slow = link.verdict == ProbeVerdict::slow && link.slow_switch < 0;
    if (every_link || (is_slow && ++slow <= max_lines))
      out += std::string(is_slow ? "slow " : "") + "link " + name(link.sender) + " -> " +
             name(link.receiver) + ": " + detail::measure_text(link, quality) + "\n";
  }
  if (slow > max_lines)
    out += "... and " + std::to_string(slow - max_lines) + " more slow links (report.json)\n";
  for (const std::string &host : report.slow_hosts)
    out += "slow host: " + host + "\n";
  for (const std::string &sw : report.slow_switches)
    out += "slow switch: " + sw + ": its links to hosts elsewhere are slow (its uplink)\n";
  if (quality.median_mbps || quality.median_latency_us)
    out += "median link: " +
           (quality.median_mbps ? detail::fixed(*quality.median_mbps, 1) : std::string("-")) +
           " MB/s at the largest size, latency " +
           (quality.median_latency_us ? detail::fixed(*quality.median_latency_us, 1)
                                      : std::string("-")) +
           " us\n";
  return out;
}

} // namespace

std::string progress_line(const JobOutcome &job) {
  std::string line = "job " + std::to_string(job.number) + " (" + kind_word(job.kind) +
                     "): " + std::to_string(job.rank_hosts.size()) + " ranks on " +
                     hosts_text(distinct_hosts(job));
  if ((job.kind == JobKind::isolation || job.kind == JobKind::retest) && job.rank_hosts.size() == 2)
    line += " (" + job.rank_hosts[0] + " -> " + job.rank_hosts[1] + ")";
  return line + " ... " + status_word(job.status) + ", " + detail::fixed(job.seconds, 1) + " s\n";
}

std::string resumed_line(std::size_t jobs) {
  return "pairdot-run: resuming: " + std::to_string(jobs) + " jobs done\n";
}

RunText sweep_summary(const RunReport &report) {
  RunText text;
  text.out = terminal_matrix(report) + job_faults(report) + failed_pairs(report, true) +
             diagnosis(report) + link_quality(report, false);
  text.err = job_warnings(report);
  const detail::LinkCounts links = detail::count_links(report);
  const long long all = links.verified + links.failed + links.not_covered;
  const auto extra =
      std::count_if(report.jobs.begin(), report.jobs.end(),
                    [](const JobOutcome &job) { return job.kind != JobKind::sweep; });
  const std::string slow =
      has_probes(report) ? ", " + std::to_string(report.slow_links.size()) + " slow" : "";
  text.out += std::to_string(links.verified) + " of " + std::to_string(all) + " links verified, " +
              std::to_string(links.failed) + " failed" + slow + ", over " +
              std::to_string(report.hosts.size()) + " hosts in " +
              std::to_string(report.jobs.size()) + " jobs (" + std::to_string(extra) +
              " to isolate, " + std::to_string(report.rounds) + " rounds)\n";
  if (!report.converged)
    text.out += "isolation did not converge: it stopped at its budget of jobs; links not "
                "covered are still in question\n";
  return text;
}

RunText single_summary(const RunReport &report) {
  RunText text;
  text.out = job_faults(report) + failed_pairs(report, false);
  text.err = job_warnings(report);
  const JobOutcome &job = report.jobs.front();
  text.out += link_quality(report, true);
  if (job.status == JobStatus::verified || job.status == JobStatus::did_not_end) {
    text.out += "verified " + std::to_string(job.rank_hosts.size()) + " ranks, " +
                std::to_string(job.pairs.size()) + " pairs on " + hosts_text(distinct_hosts(job)) +
                "\n";
  } else {
    for (const std::string &message : job.messages)
      text.out += "job " + std::to_string(job.number) + ": " + message + "\n";
  }
  return text;
}

RunText launcher_fails_text(const RunReport &report) {
  RunText text;
  text.err = "pairdot-run: no host started a rank, not even alone: the launcher fails, not the "
             "hosts; stopped\n";
  // What the launcher said in the last job, a few lines.
  if (!report.jobs.empty()) {
    const JobOutcome &job = report.jobs.back();
    for (std::size_t i = 0; i < job.messages.size() && i < 3; ++i)
      text.err += "job " + std::to_string(job.number) + ": " + job.messages[i] + "\n";
  }
  return text;
}

RunText misplaced_text(const RunReport &report) {
  return {job_faults(report), "pairdot-run: ranks ran elsewhere than placed; stopped (a matrix "
                              "built on a wrong map is worse than none)\n"};
}

RunText interrupted_text(const RunReport &report, const std::string &report_dir) {
  const std::string kept = report_dir.empty() ? "" : " in " + report_dir;
  return {"", "pairdot-run: interrupted; the " + std::to_string(report.jobs.size()) +
                  " finished jobs are kept" + kept + "\n"};
}

} // namespace pairdot_writers
