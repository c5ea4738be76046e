#include "report_text.hpp"
#include "writers.hpp"

#include <tinyxml2.h>

#include <algorithm>

namespace pairdot_writers {

namespace {

using detail::Blame;
using detail::JobBlame;
using detail::printable;

// A failure per suspect: host, switch, group or link (slow links and hosts in
// probe runs). What the jobs lost on the way is told, not failed: a job lost
// only to blamed faults is skipped; one that went wrong without a blamed
// fault to explain it fails.
//
// A testcase per pair up to 64 hosts and 20,000 pairs over all jobs; beyond,
// CI dashboards would choke (1,000 hosts of 64 slots: a million pairs), so
// each job has one case for its verified pairs and one for its failed pairs.
constexpr std::size_t small_hosts = 64;
constexpr std::size_t small_pairs = 20000;
constexpr std::size_t max_listed_pairs = 16; // failed pairs told in a job's case
constexpr std::size_t max_listed_links = 1000;
constexpr std::size_t few_links = 4; // sightings told per suspect

enum class Outcome { passed, skipped, failed };

struct Case {
  std::string classname;
  std::string name;
  double seconds = 0;
  Outcome outcome = Outcome::passed;
  std::string message; // of a skip or failure
  std::string text;    // system-out, or the failure's body
};

struct Suite {
  std::string name;
  double seconds = 0;
  std::vector<Case> cases;
  std::string err; // system-err
};

int failures(const Suite &suite) {
  return static_cast<int>(std::count_if(suite.cases.begin(), suite.cases.end(), [](const Case &c) {
    return c.outcome == Outcome::failed;
  }));
}

int skips(const Suite &suite) {
  return static_cast<int>(std::count_if(suite.cases.begin(), suite.cases.end(), [](const Case &c) {
    return c.outcome == Outcome::skipped;
  }));
}

bool is_small(const RunReport &report) {
  std::size_t pairs = 0;
  for (const JobOutcome &job : report.jobs)
    pairs += job.pairs.size();
  return report.hosts.size() <= small_hosts && pairs <= small_pairs;
}

std::string job_class(const JobOutcome &job) { return "pairdot.job " + std::to_string(job.number); }

// Lost to a blamed fault: skipped; else failed.
Outcome lost(JobBlame blame) {
  return blame == JobBlame::blamed ? Outcome::skipped : Outcome::failed;
}

const char *lost_word(JobBlame blame) {
  return blame == JobBlame::blamed ? "lost to a suspect: " : "";
}

Suite job_suite(const JobOutcome &job, JobBlame blame, bool small) {
  Suite suite{printable(detail::job_name(job.number, job.kind)), job.seconds, {}, {}};
  const std::size_t failed = detail::failed_pair_count(job);
  if (small) {
    // The pairs of a job ran together, so each takes the job's time.
    for (const PairOutcome &pair : job.pairs) {
      const std::string problem =
          pair.problem.empty() ? status_word(job.status) : problem_text(pair);
      suite.cases.push_back({job_class(job), pair_name(pair), job.seconds,
                             pair.verified ? Outcome::passed : lost(blame),
                             pair.verified ? "" : lost_word(blame) + problem, problem});
    }
  } else if (!job.pairs.empty()) {
    suite.cases.push_back({job_class(job), "verified pairs", job.seconds, Outcome::passed, "",
                           std::to_string(job.pairs.size() - failed) + " of " +
                               std::to_string(job.pairs.size()) + " pairs verified"});
    if (failed > 0) {
      const std::string count = std::to_string(failed) + " failed pairs";
      suite.cases.push_back(
          {job_class(job), "failed pairs", job.seconds, lost(blame), lost_word(blame) + count,
           detail::failed_pairs_text(job, max_listed_pairs) + "\n(all of them in jobs.jsonl)"});
    }
  }
  // A job that went wrong with no failed pair to show for it, unless it only
  // did not end.
  if (blame != JobBlame::passed && failed == 0)
    suite.cases.push_back({job_class(job), "job", job.seconds, lost(blame),
                           lost_word(blame) + std::string(status_word(job.status)),
                           detail::joined(job.messages)});
  // What was seen in a job that went wrong, e.g. why it did not end.
  if (job.status != JobStatus::verified)
    suite.err = detail::joined(job.messages);
  return suite;
}

// What each job saw of the links that explain a suspect, a few of them.
std::string sightings(const std::vector<const LinkDetail *> &links) {
  std::string out;
  for (const LinkDetail *link : links) {
    out += "\nlink " + link->sender + " -> " + link->receiver + ", " +
           std::to_string(link->failed_pairs) + " failed and " +
           std::to_string(link->verified_pairs) + " verified pairs:";
    for (const std::string &line : detail::seen_lines(*link))
      out += "\n  " + line;
  }
  return out;
}

// The explaining links of one owner (see detail::Blame), at most a few.
std::vector<const LinkDetail *>
links_of(const Blame &blame, const std::vector<const LinkDetail *> &explaining, int owner) {
  std::vector<const LinkDetail *> out;
  const auto owner_of = [&](const std::string &host) {
    const auto found = blame.index.find(host);
    return found == blame.index.end() ? -1 : blame.owner[static_cast<std::size_t>(found->second)];
  };
  for (const LinkDetail *link : explaining) {
    if (out.size() < few_links &&
        (owner_of(link->sender) == owner ||
         (owner_of(link->sender) < 0 && owner_of(link->receiver) == owner)))
      out.push_back(link);
  }
  return out;
}

Case suspect_case(const std::string &name, const std::string &message, const std::string &text) {
  return {"pairdot.suspects", name, 0, Outcome::failed, message, text};
}

Suite suspects_suite(const RunReport &report, const Blame &blame) {
  Suite suite{"suspects", 0, {}, {}};
  const std::vector<const LinkDetail *> explaining =
      detail::explaining_links(blame, report.troubled, few_links);
  std::vector<std::string> hosts = report.suspect_hosts;
  for (const std::string &host : report.dark) {
    if (std::find(hosts.begin(), hosts.end(), host) == hosts.end())
      hosts.push_back(host);
  }
  for (const std::string &host : hosts) {
    const std::string problem = detail::host_problem(report, host);
    const auto at = blame.index.find(host);
    const int owner = at == blame.index.end() ? -1 : static_cast<int>(at->second);
    suite.cases.push_back(suspect_case("host " + host, problem.empty() ? "suspect host" : problem,
                                       (problem.empty() ? diagnosis_rule : problem) +
                                           sightings(links_of(blame, explaining, owner))));
  }
  int owner = static_cast<int>(report.hosts.size());
  for (const std::string &name : report.suspect_switches) {
    const auto &names = report.switches.names;
    const auto at =
        static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
    std::vector<std::string> below;
    for (const HostIndex host :
         at < names.size() ? report.switches.below[at] : std::vector<HostIndex>{})
      below.push_back(report.hosts[static_cast<std::size_t>(host)].name);
    suite.cases.push_back(suspect_case("switch " + name, switch_problem,
                                       std::string(switch_problem) + ": " +
                                           detail::names_text(below, 8) +
                                           sightings(links_of(blame, explaining, owner++))));
  }
  for (const std::vector<std::string> &group : report.suspect_groups) {
    suite.cases.push_back(suspect_case("group " + detail::names_text(group, 8), group_problem,
                                       std::string(group_problem) + ": " +
                                           detail::names_text(group, 8) +
                                           sightings(links_of(blame, explaining, owner++))));
  }
  for (std::size_t i = 0; i < report.suspect_links.size() && i < max_listed_links; ++i) {
    const std::string &sender = report.suspect_links[i].first;
    const std::string &receiver = report.suspect_links[i].second;
    const auto detail =
        std::find_if(explaining.begin(), explaining.end(), [&](const LinkDetail *l) {
          return l->sender == sender && l->receiver == receiver;
        });
    suite.cases.push_back(suspect_case(
        std::string("link ").append(sender).append(" -> ").append(receiver), "suspect link",
        "failed alone" + (detail == explaining.end() ? "" : sightings({*detail}))));
  }
  if (report.suspect_links.size() > max_listed_links) {
    const std::string more =
        std::to_string(report.suspect_links.size() - max_listed_links) + " more suspect links";
    suite.cases.push_back(
        suspect_case("suspect links not listed", more, more + " (all of them in report.json)"));
  }
  if (suite.cases.empty())
    suite.cases.push_back({"pairdot.suspects", "no suspect", 0, Outcome::passed, "", ""});
  return suite;
}

// Probe runs: a failure for each slow link and slow host, or one passing case.
Suite quality_suite(const RunReport &report) {
  Suite suite{"link quality", 0, {}, {}};
  std::size_t listed = 0;
  for (const LinkProbe &link : report.quality.links) {
    if (link.verdict == ProbeVerdict::slow && link.slow_switch < 0 && listed++ < max_listed_links)
      suite.cases.push_back(
          suspect_case("link " + report.hosts[static_cast<std::size_t>(link.sender)].name + " -> " +
                           report.hosts[static_cast<std::size_t>(link.receiver)].name,
                       "slow", detail::measure_text(link, report.quality)));
  }
  for (const std::string &host : report.slow_hosts)
    suite.cases.push_back(suspect_case("host " + host, "slow host", slow_rule_text));
  for (const std::string &name : report.slow_switches)
    suite.cases.push_back(suspect_case("switch " + name, "slow switch", slow_rule_text));
  if (suite.cases.empty())
    suite.cases.push_back({"pairdot.links", "no slow link", 0, Outcome::passed, "", ""});
  return suite;
}

void write_suite(tinyxml2::XMLPrinter &out, const Suite &suite) {
  out.OpenElement("testsuite");
  out.PushAttribute("name", printable(suite.name).c_str());
  out.PushAttribute("tests", static_cast<int>(suite.cases.size()));
  out.PushAttribute("failures", failures(suite));
  out.PushAttribute("skipped", skips(suite));
  out.PushAttribute("time", detail::seconds_text(suite.seconds).c_str());
  for (const Case &c : suite.cases) {
    out.OpenElement("testcase");
    out.PushAttribute("classname", printable(c.classname).c_str());
    out.PushAttribute("name", printable(c.name).c_str());
    out.PushAttribute("time", detail::seconds_text(c.seconds).c_str());
    if (c.outcome != Outcome::passed) {
      out.OpenElement(c.outcome == Outcome::failed ? "failure" : "skipped");
      out.PushAttribute("message", printable(c.message).c_str());
      if (c.outcome == Outcome::failed)
        out.PushText(printable(c.text).c_str());
      out.CloseElement();
    }
    if (c.outcome != Outcome::failed && !c.text.empty()) {
      out.OpenElement("system-out");
      out.PushText(printable(c.text).c_str());
      out.CloseElement();
    }
    out.CloseElement();
  }
  if (!suite.err.empty()) {
    out.OpenElement("system-err");
    out.PushText(printable(suite.err).c_str());
    out.CloseElement();
  }
  out.CloseElement();
}

} // namespace

std::string junit_xml(const RunReport &report) {
  const bool small = is_small(report);
  const Blame blame = detail::blame_of(report);
  std::vector<Suite> suites;
  for (const JobOutcome &job : report.jobs)
    suites.push_back(job_suite(job, detail::job_blame(report, blame, job), small));
  suites.push_back(suspects_suite(report, blame));
  if (has_probes(report))
    suites.push_back(quality_suite(report));
  int tests = 0;
  int failed = 0;
  int skipped = 0;
  double seconds = 0;
  for (const JobOutcome &job : report.jobs)
    seconds += job.seconds;
  for (const Suite &suite : suites) {
    tests += static_cast<int>(suite.cases.size());
    failed += failures(suite);
    skipped += skips(suite);
  }
  tinyxml2::XMLPrinter out;
  out.PushHeader(false, true);
  out.OpenElement("testsuites");
  out.PushAttribute("name", "pairdot");
  out.PushAttribute("tests", tests);
  out.PushAttribute("failures", failed);
  out.PushAttribute("skipped", skipped);
  out.PushAttribute("time", detail::seconds_text(seconds).c_str());
  for (const Suite &suite : suites)
    write_suite(out, suite);
  out.CloseElement();
  return out.CStr();
}

} // namespace pairdot_writers
