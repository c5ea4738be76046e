#include "report_text.hpp"
#include "writers.hpp"

#include <tinyxml2.h>

#include <algorithm>
#include <locale>
#include <sstream>

namespace pairdot_writers {

namespace {

using detail::printable;

// A testcase per pair up to 64 hosts and 20,000 pairs over all jobs; beyond,
// CI dashboards would choke (1,000 hosts of 64 slots: a million pairs), so
// each job lists its failed pairs only (at most max_listed_pairs), with one
// testcase counting its verified pairs, and a last suite names the failed
// links (at most max_listed_links) and suspect hosts.
constexpr std::size_t small_hosts = 64;
constexpr std::size_t small_pairs = 20000;
constexpr int max_listed_pairs = 500;
constexpr int max_listed_links = 1000;

int failed_pairs(const JobOutcome &job) {
  return static_cast<int>(std::count_if(job.pairs.begin(), job.pairs.end(),
                                        [](const PairOutcome &pair) { return !pair.verified; }));
}

// A job that went wrong with no failed pair to show for it gets a failing
// testcase of its own, unless it only did not end.
bool fails_as_job(const JobOutcome &job) {
  return job.status != JobStatus::verified && job.status != JobStatus::did_not_end &&
         failed_pairs(job) == 0;
}

bool is_small(const RunReport &report) {
  std::size_t pairs = 0;
  for (const JobOutcome &job : report.jobs)
    pairs += job.pairs.size();
  return report.hosts.size() <= small_hosts && pairs <= small_pairs;
}

// What one job's suite holds.
struct SuiteCounts {
  int tests = 0;
  int failures = 0;
};

SuiteCounts suite_counts(const JobOutcome &job, bool small) {
  const int job_case = fails_as_job(job) ? 1 : 0;
  const int failed = failed_pairs(job);
  if (small)
    return {static_cast<int>(job.pairs.size()) + job_case, failed + job_case};
  const int listed = std::min(failed, max_listed_pairs);
  const int more = failed > listed ? 1 : 0;
  const int verified_case = job.pairs.empty() ? 0 : 1;
  return {listed + more + verified_case + job_case, listed + more + job_case};
}

void write_failure(tinyxml2::XMLPrinter &out, const std::string &message, const std::string &body) {
  out.OpenElement("failure");
  out.PushAttribute("message", printable(message).c_str());
  out.PushText(printable(body).c_str());
  out.CloseElement();
}

void open_case(tinyxml2::XMLPrinter &out, const std::string &classname, const std::string &name,
               double seconds) {
  out.OpenElement("testcase");
  out.PushAttribute("classname", printable(classname).c_str());
  out.PushAttribute("name", printable(name).c_str());
  out.PushAttribute("time", detail::seconds_text(seconds).c_str());
}

std::string job_class(const JobOutcome &job) { return "pairdot.job " + std::to_string(job.number); }

// The pairs of a job ran together, so each takes the job's time.
void write_pair(tinyxml2::XMLPrinter &out, const JobOutcome &job, const PairOutcome &pair) {
  open_case(out, job_class(job), pair_name(pair), job.seconds);
  if (!pair.verified) {
    const std::string problem = pair.problem.empty() ? status_word(job.status) : problem_text(pair);
    write_failure(out, problem, problem);
  }
  out.CloseElement();
}

// Large runs: the failed pairs up to the cap, then one case for the rest and
// one for the verified pairs.
void write_pair_summary(tinyxml2::XMLPrinter &out, const JobOutcome &job) {
  int listed = 0;
  for (const PairOutcome &pair : job.pairs) {
    if (!pair.verified && listed++ < max_listed_pairs)
      write_pair(out, job, pair);
  }
  if (listed > max_listed_pairs) {
    const std::string more = std::to_string(listed - max_listed_pairs) + " more failed pairs";
    open_case(out, job_class(job), "failed pairs not listed", job.seconds);
    write_failure(out, more, more + " (all of them in jobs.jsonl)");
    out.CloseElement();
  }
  if (job.pairs.empty())
    return;
  open_case(out, job_class(job), "verified pairs", job.seconds);
  out.OpenElement("system-out");
  out.PushText((std::to_string(job.pairs.size() - static_cast<std::size_t>(listed)) + " of " +
                std::to_string(job.pairs.size()) + " pairs verified")
                   .c_str());
  out.CloseElement();
  out.CloseElement();
}

void write_job(tinyxml2::XMLPrinter &out, const JobOutcome &job, bool small) {
  const SuiteCounts counts = suite_counts(job, small);
  out.OpenElement("testsuite");
  out.PushAttribute("name", printable(detail::job_name(job.number, job.kind)).c_str());
  out.PushAttribute("tests", counts.tests);
  out.PushAttribute("failures", counts.failures);
  out.PushAttribute("time", detail::seconds_text(job.seconds).c_str());
  if (small) {
    for (const PairOutcome &pair : job.pairs)
      write_pair(out, job, pair);
  } else {
    write_pair_summary(out, job);
  }
  if (fails_as_job(job)) {
    open_case(out, job_class(job), "job", job.seconds);
    write_failure(out, status_word(job.status), detail::joined(job.messages));
    out.CloseElement();
  }
  // What was seen in a job that went wrong, e.g. why it did not end.
  if (job.status != JobStatus::verified && !job.messages.empty()) {
    out.OpenElement("system-err");
    out.PushText(printable(detail::joined(job.messages)).c_str());
    out.CloseElement();
  }
  out.CloseElement();
}

void write_failing_case(tinyxml2::XMLPrinter &out, const std::string &name,
                        const std::string &message, const std::string &body) {
  open_case(out, "pairdot.links", name, 0);
  write_failure(out, message, body);
  out.CloseElement();
}

std::vector<const LinkDetail *> failed_links(const RunReport &report) {
  std::vector<const LinkDetail *> out;
  for (const LinkDetail &link : report.troubled) {
    if (link.verdict == LinkVerdict::failed)
      out.push_back(&link);
  }
  return out;
}

SuiteCounts links_counts(const RunReport &report) {
  const int failed = static_cast<int>(failed_links(report).size());
  const int cases = std::min(failed, max_listed_links) + (failed > max_listed_links ? 1 : 0) +
                    static_cast<int>(report.suspect_hosts.size());
  return {cases, cases};
}

void write_links(tinyxml2::XMLPrinter &out, const RunReport &report) {
  const SuiteCounts counts = links_counts(report);
  const std::vector<const LinkDetail *> failed = failed_links(report);
  out.OpenElement("testsuite");
  out.PushAttribute("name", "links");
  out.PushAttribute("tests", counts.tests);
  out.PushAttribute("failures", counts.failures);
  out.PushAttribute("time", "0.000");
  for (std::size_t i = 0; i < failed.size() && i < max_listed_links; ++i) {
    write_failing_case(out, "link " + failed[i]->sender + " -> " + failed[i]->receiver,
                       verdict_word(failed[i]->verdict),
                       detail::joined(detail::seen_lines(*failed[i])));
  }
  if (failed.size() > max_listed_links) {
    const std::string more =
        std::to_string(failed.size() - max_listed_links) + " more failed links";
    write_failing_case(out, "failed links not listed", more,
                       more + " (all of them in report.json)");
  }
  for (const std::string &host : report.suspect_hosts)
    write_failing_case(out, "host " + host, "suspect host", diagnosis_rule);
  out.CloseElement();
}

// Probe runs: a failure for each slow link and slow host, or one passing case.
SuiteCounts quality_counts(const RunReport &report) {
  if (!has_probes(report))
    return {};
  const int slow = static_cast<int>(
      std::min<std::size_t>(report.slow_links.size(), static_cast<std::size_t>(max_listed_links)) +
      report.slow_hosts.size());
  return slow == 0 ? SuiteCounts{1, 0} : SuiteCounts{slow, slow};
}

void write_quality(tinyxml2::XMLPrinter &out, const RunReport &report) {
  const SuiteCounts counts = quality_counts(report);
  if (counts.tests == 0)
    return;
  out.OpenElement("testsuite");
  out.PushAttribute("name", "link quality");
  out.PushAttribute("tests", counts.tests);
  out.PushAttribute("failures", counts.failures);
  out.PushAttribute("time", "0.000");
  std::size_t listed = 0;
  for (const LinkProbe &link : report.quality.links) {
    if (link.verdict == ProbeVerdict::slow && listed++ < static_cast<std::size_t>(max_listed_links))
      write_failing_case(out,
                         "link " + report.hosts[static_cast<std::size_t>(link.sender)].name +
                             " -> " + report.hosts[static_cast<std::size_t>(link.receiver)].name,
                         "slow", detail::measure_text(link, report.quality));
  }
  for (const std::string &host : report.slow_hosts)
    write_failing_case(out, "host " + host, "slow host", slow_rule_text);
  if (counts.failures == 0) {
    open_case(out, "pairdot.links", "no slow link", 0);
    out.CloseElement();
  }
  out.CloseElement();
}

} // namespace

std::string junit_xml(const RunReport &report) {
  const bool small = is_small(report);
  SuiteCounts total = small ? SuiteCounts{} : links_counts(report);
  total.tests += quality_counts(report).tests;
  total.failures += quality_counts(report).failures;
  double seconds = 0;
  for (const JobOutcome &job : report.jobs) {
    const SuiteCounts counts = suite_counts(job, small);
    total.tests += counts.tests;
    total.failures += counts.failures;
    seconds += job.seconds;
  }
  tinyxml2::XMLPrinter out;
  out.PushHeader(false, true);
  out.OpenElement("testsuites");
  out.PushAttribute("name", "pairdot");
  out.PushAttribute("tests", total.tests);
  out.PushAttribute("failures", total.failures);
  out.PushAttribute("time", detail::seconds_text(seconds).c_str());
  for (const JobOutcome &job : report.jobs)
    write_job(out, job, small);
  if (!small)
    write_links(out, report);
  write_quality(out, report);
  out.CloseElement();
  return out.CStr();
}

} // namespace pairdot_writers
