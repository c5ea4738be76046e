#include "report_text.hpp"
#include "writers.hpp"

#include "atomic_file.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iomanip>
#include <map>
#include <sstream>
#include <stdexcept>

namespace pairdot_writers {

namespace detail {

namespace {

// Length of the valid UTF-8 sequence starting at text[at], or 0.
std::size_t utf8_length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = byte(at);
  if (lead < 0x80)
    return 1;
  std::size_t length = 0;
  unsigned low = 0x80; // bounds of the second byte; later ones are 80..BF
  unsigned high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : low;   // no overlong forms
    high = lead == 0xED ? 0x9F : high; // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : low;
    high = lead == 0xF4 ? 0x8F : high; // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (at + length > text.size())
    return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned next = byte(at + i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
      return 0;
  }
  return length;
}

std::string cleaned(std::string_view text, bool controls_too) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = utf8_length(text, at);
    const auto byte = static_cast<unsigned char>(text[at]);
    if (length == 0 || (controls_too && byte < 0x20 && byte != '\t' && byte != '\n')) {
      out += '?';
      ++at;
    } else {
      out.append(text.substr(at, length));
      at += length;
    }
  }
  return out;
}

} // namespace

std::string valid_utf8(std::string_view text) { return cleaned(text, false); }

std::string printable(std::string_view text) { return cleaned(text, true); }

std::string job_name(int number, JobKind kind) {
  return "job " + std::to_string(number) + " (" + kind_word(kind) + ")";
}

std::string pair_ranks(int even_rank) {
  return std::to_string(even_rank) + " ; " + std::to_string(even_rank + 1);
}

std::string joined(const std::vector<std::string> &lines) {
  std::string out;
  for (const std::string &line : lines)
    out += (out.empty() ? "" : "\n") + line;
  return out;
}

std::string failed_pairs_text(const JobOutcome &job, std::size_t max) {
  std::string out;
  std::size_t failed = 0;
  for (const PairOutcome &pair : job.pairs) {
    if (!pair.verified && ++failed <= max)
      out += (out.empty() ? "" : "\n") + pair_name(pair) + ": " + problem_text(pair);
  }
  if (failed > max)
    out += "\n... " + std::to_string(failed - max) + " more failed pairs";
  return out;
}

std::string legend_text(bool with_slow) {
  std::string out;
  for (const std::size_t at : legend_order) {
    if (at != slow_look || with_slow)
      out += (out.empty() ? "" : ", ") + std::string(1, cell_looks[at].mark) + " " +
             cell_looks[at].meaning;
  }
  return out;
}

std::vector<std::string> matrix_rows(const RunReport &report) {
  const std::size_t n = report.hosts.size();
  std::vector<std::string> rows(n, std::string(n, cell_looks[self_look].mark));
  for (std::size_t sender = 0; sender < n; ++sender) {
    for (std::size_t receiver = 0; receiver < n; ++receiver) {
      if (sender != receiver)
        rows[sender][receiver] = mark(verdict_at(report, sender, receiver));
    }
  }
  for (const LinkProbe &link : report.quality.links) {
    const auto sender = static_cast<std::size_t>(link.sender);
    const auto receiver = static_cast<std::size_t>(link.receiver);
    if (link.verdict == ProbeVerdict::slow && sender < n && receiver < n &&
        verdict_at(report, sender, receiver) != LinkVerdict::failed)
      rows[sender][receiver] = cell_looks[slow_look].mark;
  }
  return rows;
}

const char *run_verdict_word(RunVerdict verdict) {
  switch (verdict) {
  case RunVerdict::verified:
    return "verified";
  case RunVerdict::fault:
    return "fault";
  case RunVerdict::incomplete:
    break;
  }
  return "incomplete";
}

std::string seconds_text(double seconds) { return fixed(seconds, 3); }

std::string fixed(double value, int decimals) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << std::fixed << std::setprecision(decimals) << value;
  return out.str();
}

std::string measure_text(const LinkProbe &link, const LinkQuality &quality) {
  const pairdot_probe::ProbeLine &line = link.line;
  if (line.failed_size)
    return "fails from " + pairdot_probe::size_name(*line.failed_size) + ": " + line.problem;
  std::string text;
  if (const std::optional<double> top = top_mbps(line)) {
    text = fixed(*top, 1) + " MB/s at " + pairdot_probe::size_name(line.sizes.back());
    if (quality.median_mbps && *quality.median_mbps > 0)
      text += " (" + fixed(100 * *top / *quality.median_mbps, 0) + " % of the median link)";
  }
  if (line.latency_us)
    text +=
        (text.empty() ? "" : ", ") + std::string("latency ") + fixed(*line.latency_us, 1) + " us";
  return text.empty() ? "not measured" : text;
}

std::vector<std::string> seen_lines(const LinkDetail &link) {
  std::vector<std::string> lines;
  for (const Sighting &seen : link.seen) {
    const std::string outcome = seen.pair.verified          ? "verified"
                                : seen.pair.problem.empty() ? "failed"
                                                            : problem_text(seen.pair);
    lines.push_back(job_name(seen.job, seen.kind) + ", pair " + pair_ranks(seen.pair.even_rank) +
                    ": " + outcome);
  }
  if (link.more_seen > 0) {
    lines.push_back("... " + std::to_string(link.more_seen) + " more");
  }
  return lines;
}

namespace {

bool in(const std::vector<std::string> &names, const std::string &name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

int owner_at(const Blame &blame, const std::string &host) {
  const auto found = blame.index.find(host);
  return found == blame.index.end() ? -1 : blame.owner[static_cast<std::size_t>(found->second)];
}

} // namespace

Blame blame_of(const RunReport &report) {
  Blame blame{report.index, {}, {}};
  const std::size_t n = report.hosts.size();
  blame.owner.assign(n, -1);
  // owner -1: the host's own index
  const auto own = [&](const std::string &host, int owner) {
    const auto found = blame.index.find(host);
    int &mine =
        found == blame.index.end() ? owner : blame.owner[static_cast<std::size_t>(found->second)];
    if (found != blame.index.end() && mine < 0)
      mine = owner < 0 ? static_cast<int>(found->second) : owner;
  };
  for (const std::vector<std::string> *hosts : {&report.suspect_hosts, &report.dark})
    for (const std::string &host : *hosts)
      own(host, -1);
  int next = static_cast<int>(n);
  for (const std::string &name : report.suspect_switches) {
    const auto &names = report.switches.names;
    const auto at =
        static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
    for (const HostIndex host :
         at < names.size() ? report.switches.below[at] : std::vector<HostIndex>{})
      own(report.hosts[static_cast<std::size_t>(host)].name, next);
    ++next;
  }
  for (const std::vector<std::string> &group : report.suspect_groups) {
    for (const std::string &host : group)
      own(host, next);
    ++next;
  }
  blame.links.insert(report.suspect_links.begin(), report.suspect_links.end());
  return blame;
}

bool blamed_pair(const Blame &blame, const PairOutcome &pair) {
  return !pair.verified &&
         (blame.links.count({pair.sender, pair.receiver}) != 0 ||
          owner_at(blame, pair.sender) >= 0 || owner_at(blame, pair.receiver) >= 0);
}

JobBlame job_blame(const RunReport &report, const Blame &blame, const JobOutcome &job) {
  if (job.status == JobStatus::verified || job.status == JobStatus::did_not_end)
    return JobBlame::passed;
  if (job.status == JobStatus::misplaced)
    return JobBlame::unexplained;
  bool blamed = false;
  bool unexplained = false;
  for (const PairOutcome &pair : job.pairs) {
    if (pair.verified)
      continue;
    const auto sender = blame.index.find(pair.sender);
    const auto receiver = blame.index.find(pair.receiver);
    // A link that verified elsewhere was lost to a fault beside it.
    const LinkVerdict verdict = sender == blame.index.end() || receiver == blame.index.end()
                                    ? LinkVerdict::not_covered
                                    : verdict_at(report, static_cast<std::size_t>(sender->second),
                                                 static_cast<std::size_t>(receiver->second));
    const bool verified_elsewhere =
        verdict == LinkVerdict::verified || verdict == LinkVerdict::collateral;
    blamed = blamed || blamed_pair(blame, pair);
    unexplained = unexplained || !(blamed_pair(blame, pair) || verified_elsewhere);
  }
  std::vector<std::string> missing = job.unavailable_hosts;
  for (const std::int32_t rank : job.not_started) {
    if (rank >= 0 && static_cast<std::size_t>(rank) < job.rank_hosts.size())
      missing.push_back(job.rank_hosts[static_cast<std::size_t>(rank)]);
  }
  for (const std::string &host : missing) {
    blamed = blamed || owner_at(blame, host) >= 0;
    unexplained = unexplained || owner_at(blame, host) < 0;
  }
  return blamed && !unexplained ? JobBlame::blamed : JobBlame::unexplained;
}

std::vector<const LinkDetail *>
explaining_links(const Blame &blame, const std::vector<LinkDetail> &troubled, std::size_t few) {
  std::vector<const LinkDetail *> out;
  std::map<int, std::size_t> shown; // per owner
  for (const LinkDetail &link : troubled) {
    if (link.verdict != LinkVerdict::failed)
      continue;
    const int sender = owner_at(blame, link.sender);
    const int owner = sender >= 0 ? sender : owner_at(blame, link.receiver);
    if (blame.links.count({link.sender, link.receiver}) != 0 || owner < 0 || ++shown[owner] <= few)
      out.push_back(&link);
  }
  return out;
}

std::size_t failed_pair_count(const JobOutcome &job) {
  return static_cast<std::size_t>(std::count_if(
      job.pairs.begin(), job.pairs.end(), [](const PairOutcome &pair) { return !pair.verified; }));
}

const char *host_problem(const RunReport &report, const std::string &host) {
  return in(report.cannot_run, host)    ? cannot_run_problem
         : in(report.cannot_join, host) ? cannot_join_problem
         : in(report.dark, host)        ? dark_problem
                                        : "";
}

std::string names_text(const std::vector<std::string> &names, std::size_t max) {
  std::string out;
  for (std::size_t i = 0; i < names.size() && i < max; ++i)
    out += (i == 0 ? "" : ", ") + names[i];
  if (names.size() > max)
    out += " and " + std::to_string(names.size() - max) + " more";
  return out;
}

} // namespace detail

const char *const dark_problem = "starts, but reaches no other host";
const char *const group_problem = "these hosts reach each other but no host outside";
const char *const switch_problem = "the hosts below it reach each other but no host outside";
const char *const cannot_run_problem = "cannot run: none of its ranks started in a job of its own";
const char *const cannot_join_problem =
    "cannot run beside others: its ranks start in a job of its own, but not in jobs with other "
    "hosts";

const char *const diagnosis_rule =
    "A pair that verifies clears its link. When hosts of a job do not start, those hosts are "
    "tested in groups split on failure, down to one host a job; a host none of whose ranks start "
    "in a job of its own cannot run, and its links fail; one whose ranks start in a job of its own "
    "but, three times, not beside other hosts whose ranks did (and never beside others) cannot run "
    "beside others, and its links fail. When a job whose ranks all started fails, its hosts not "
    "yet known good are hunted first: rings find hosts that reach each other, reach jobs pair the "
    "others with them, split in halves. A host that fails twice alone against good hosts, no pair "
    "of it ever verified, is dark (it starts, but reaches no other host), and its links fail; a "
    "set of hosts joined by verified links that fails whole and in both halves against good hosts, "
    "fewer than half of all, is a group cut off, and its links to the rest fail. The failed pairs "
    "of other jobs are re-tested in halves until each failing link fails in a job of its own: a "
    "link fails only when a pair over it fails alone. A host is suspect when it cannot run (alone "
    "or beside others) or is dark, when its links fail with more than half of its partners (at "
    "least two), when it is one of only two hosts and the link between them fails, or when Slurm "
    "would not start a job on it (down, drained, not responding, still ending an earlier job) and "
    "no pair on it verified after that. A group cut off is a suspect switch when its hosts are "
    "exactly those below a switch of the topology, else a suspect group; its hosts are not suspect "
    "hosts. A failing link between two hosts that are not suspect, not across a group's cut, is a "
    "suspect link.";

const char *const slow_rule_text =
    "A probed link fails when a message size does not arrive within the step timeout or arrives "
    "altered. The median link is of each link's first measure (in a sweep, all links measured "
    "alike). A link looks slow when its bandwidth at the largest size is below the "
    "slow-bandwidth share of the median link's, or its latency above the slow-latency multiple "
    "of the median link's; it is re-tested alone, its hosts in no other pair (links that look slow "
    "are packed side by side into re-test jobs), and is slow when the best of two measures alone "
    "still looks slow. A switch is slow (its uplink) when more than half of its measured links to "
    "hosts elsewhere look slow, fewer than half of the links between its own hosts do, and more "
    "than half of a sample of 8 of the former re-tested are slow; its links elsewhere are then not "
    "slow links of their own. A host more than half of whose measured links (at least two, not "
    "across a slow switch) are slow is a slow host.";

const char *kind_word(JobKind kind) {
  switch (kind) {
  case JobKind::sweep:
    return "sweep";
  case JobKind::hosts:
    return "hosts";
  case JobKind::isolation:
    return "isolation";
  case JobKind::ring:
    return "ring";
  case JobKind::reach:
    return "reach";
  case JobKind::retest:
    return "retest";
  case JobKind::single:
    break;
  }
  return "single";
}

const char *status_word(JobStatus status) {
  switch (status) {
  case JobStatus::verified:
    return "verified";
  case JobStatus::failed:
    return "failed";
  case JobStatus::timed_out:
    return "timed out";
  case JobStatus::did_not_end:
    return "did not end";
  case JobStatus::misplaced:
    return "misplaced";
  case JobStatus::not_started:
    return "not started";
  case JobStatus::hosts_missing:
    break;
  }
  return "hosts missing";
}

// Collateral links are verified; reports flag them apart.
const char *verdict_word(LinkVerdict verdict) {
  switch (verdict) {
  case LinkVerdict::not_covered:
    return "not covered";
  case LinkVerdict::verified:
  case LinkVerdict::collateral:
    return "verified";
  case LinkVerdict::failed:
    break;
  }
  return "failed";
}

const char *probe_verdict_word(ProbeVerdict verdict) {
  switch (verdict) {
  case ProbeVerdict::ok:
    return "ok";
  case ProbeVerdict::slow:
    return "slow";
  case ProbeVerdict::failed:
    break;
  }
  return "failed";
}

std::string problem_text(const PairOutcome &pair) {
  std::string text = pair.problem;
  if (pair.facts.sender_not_started) {
    text += " (rank " + std::to_string(pair.even_rank) + " never started)";
  }
  if (pair.facts.receiver_not_started) {
    text += " (rank " + std::to_string(pair.even_rank + 1) + " never started)";
  }
  if (pair.facts.ended_by_bound) {
    text += " (ended by the time bound)";
  }
  return text;
}

std::string pair_name(const PairOutcome &pair) {
  return "pair " + detail::pair_ranks(pair.even_rank) + " (" + pair.sender + " -> " +
         pair.receiver + ")";
}

std::string json_text(const RunReport &report) {
  // to_json cleans its text already; never throw on a byte it missed.
  return to_json(report).dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

void append_journal(const std::string &dir, const JobOutcome &job) {
  pairdot_files::append_line((dir.empty() ? "." : dir) + "/jobs.jsonl", journal_line(job));
}

void write_report_dir(const std::string &dir, const RunReport &report) {
  const std::string where = dir.empty() ? "." : dir;
  if (::mkdir(where.c_str(), 0777) != 0 && errno != EEXIST)
    throw std::runtime_error("cannot write " + where + ": " + std::strerror(errno));
  const std::pair<const char *, std::string> files[] = {{"report.json", json_text(report)},
                                                        {"junit.xml", junit_xml(report)},
                                                        {"report.html", html_page(report)}};
  for (const auto &[name, text] : files) {
    pairdot_files::FileReplacement file = pairdot_files::begin_replacement(where + "/" + name);
    pairdot_files::commit_replacement(file, text);
  }
  pairdot_files::sync_dir(where);
}

} // namespace pairdot_writers
