#include "report_text.hpp"
#include "writers.hpp"

#include "atomic_file.hpp"

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <unordered_set>

namespace pairdot_writers {

namespace {

// Failed links listed with their sightings per blamed host, switch or group.
constexpr std::size_t few_links = 4;

using detail::valid_utf8;
using nlohmann::json;
using nlohmann::ordered_json;

// Writing.

ordered_json texts_json(const std::vector<std::string> &texts) {
  ordered_json out = ordered_json::array();
  for (const std::string &text : texts)
    out.push_back(valid_utf8(text));
  return out;
}

ordered_json link_json(const LinkDetail &link) {
  ordered_json out;
  out["sender"] = valid_utf8(link.sender);
  out["receiver"] = valid_utf8(link.receiver);
  out["verified_pairs"] = link.verified_pairs;
  out["failed_pairs"] = link.failed_pairs;
  out["seen"] = texts_json(detail::seen_lines(link));
  return out;
}

// The failed links whose sightings explain a blame; the rest are counted.
ordered_json failed_links_json(const std::vector<const LinkDetail *> &links) {
  ordered_json out = ordered_json::array();
  for (const LinkDetail *link : links)
    out.push_back(link_json(*link));
  return out;
}

ordered_json failed_pair_json(const PairOutcome &pair) {
  ordered_json out;
  out["ranks"] = {pair.even_rank, pair.even_rank + 1};
  out["sender"] = valid_utf8(pair.sender);
  out["receiver"] = valid_utf8(pair.receiver);
  out["problem"] = valid_utf8(problem_text(pair));
  return out;
}

// The hosts of the ranks that never started, each once.
std::vector<std::string> not_started_hosts(const JobOutcome &job) {
  std::vector<std::string> hosts;
  std::unordered_set<std::string> seen;
  for (const std::int32_t rank : job.not_started) {
    if (rank >= 0 && static_cast<std::size_t>(rank) < job.rank_hosts.size() &&
        seen.insert(job.rank_hosts[static_cast<std::size_t>(rank)]).second)
      hosts.push_back(job.rank_hosts[static_cast<std::size_t>(rank)]);
  }
  return hosts;
}

// A job's failed pairs are listed when they are few; all are in jobs.jsonl.
constexpr std::size_t max_listed_pairs = 16;

ordered_json job_json(const JobOutcome &job) {
  const std::size_t failed = detail::failed_pair_count(job);
  ordered_json out;
  out["number"] = job.number;
  out["kind"] = kind_word(job.kind);
  out["status"] = status_word(job.status);
  out["seconds"] = job.seconds;
  out["ranks"] = job.rank_hosts.size();
  out["pairs"] = job.pairs.size();
  out["failed_pair_count"] = failed;
  if (failed <= max_listed_pairs) {
    ordered_json pairs = ordered_json::array();
    for (const PairOutcome &pair : job.pairs) {
      if (!pair.verified)
        pairs.push_back(failed_pair_json(pair));
    }
    out["failed_pairs"] = std::move(pairs);
  }
  if (const std::vector<std::string> hosts = not_started_hosts(job); !hosts.empty())
    out["not_started_hosts"] = texts_json(hosts);
  if (!job.unavailable_hosts.empty())
    out["unavailable_hosts"] = texts_json(job.unavailable_hosts);
  if (!job.tested_hosts.empty())
    out["tested_hosts"] = texts_json(job.tested_hosts);
  out["messages"] = texts_json(job.messages);
  return out;
}

ordered_json optional_number(const std::optional<double> &value) {
  return value ? ordered_json(*value) : ordered_json(nullptr);
}

ordered_json probe_json(const LinkProbe &link, const LinkQuality &quality) {
  const pairdot_probe::ProbeLine &line = link.line;
  ordered_json bandwidths = ordered_json::array();
  for (const std::optional<double> &mbps : line.mbps)
    bandwidths.push_back(optional_number(mbps));
  const std::optional<double> top = top_mbps(line);
  ordered_json out;
  out["verdict"] = probe_verdict_word(link.verdict);
  out["sizes"] = line.sizes;
  out["bandwidth_mbps"] = std::move(bandwidths);
  out["latency_us"] = optional_number(line.latency_us);
  out["failed_size"] = line.failed_size ? ordered_json(*line.failed_size) : ordered_json(nullptr);
  out["problem"] = valid_utf8(line.problem);
  out["percent_of_median"] = top && quality.median_mbps && *quality.median_mbps > 0
                                 ? ordered_json(100 * *top / *quality.median_mbps)
                                 : ordered_json(nullptr);
  out["alone"] = link.alone;
  return out;
}

// Listed in report.json: a link slow, failed or looking slow, not across a
// slow switch; the rest are counted.
bool listed(const LinkProbe &link) {
  return link.slow_switch < 0 &&
         (link.verdict != ProbeVerdict::ok || link.slow_bandwidth || link.slow_latency);
}

// The probed links worth a look, with what they measured.
ordered_json probe_links_json(const RunReport &report) {
  ordered_json out = ordered_json::array();
  for (const LinkProbe &link : report.quality.links) {
    if (!listed(link))
      continue;
    const auto sender = static_cast<std::size_t>(link.sender);
    const auto receiver = static_cast<std::size_t>(link.receiver);
    ordered_json entry;
    entry["sender"] = valid_utf8(report.hosts[sender].name);
    entry["receiver"] = valid_utf8(report.hosts[receiver].name);
    entry["status"] = verdict_word(detail::verdict_at(report, sender, receiver));
    entry["probe"] = probe_json(link, report.quality);
    out.push_back(std::move(entry));
  }
  return out;
}

ordered_json host_pairs_json(const std::vector<std::pair<std::string, std::string>> &links) {
  ordered_json out = ordered_json::array();
  for (const auto &[sender, receiver] : links)
    out.push_back({{"sender", valid_utf8(sender)}, {"receiver", valid_utf8(receiver)}});
  return out;
}

ordered_json summary_json(const RunReport &report, const detail::LinkCounts &links) {
  int sweeps = 0;
  int extras = 0;
  std::size_t failed_pairs = 0;
  for (const JobOutcome &job : report.jobs) {
    sweeps += job.kind == JobKind::sweep ? 1 : 0;
    extras += job.kind != JobKind::sweep && job.kind != JobKind::single ? 1 : 0;
    failed_pairs += detail::failed_pair_count(job);
  }
  long long collateral = 0;
  for (const LinkDetail &link : report.troubled)
    collateral += link.verdict == LinkVerdict::collateral ? 1 : 0;
  ordered_json out;
  out["hosts"] = report.hosts.size();
  out["jobs"] = report.jobs.size();
  out["sweep_jobs"] = sweeps;
  out["extra_jobs"] = extras;
  out["rounds"] = report.rounds;
  out["converged"] = report.converged; // false: isolation stopped at its budget of jobs
  out["failed_pairs"] = failed_pairs;
  out["links_verified"] = links.verified;
  out["links_collateral"] = collateral;
  out["links_failed"] = links.failed;
  out["links_not_covered"] = links.not_covered;
  return out;
}

ordered_json groups_json(const std::vector<std::vector<std::string>> &groups) {
  ordered_json out = ordered_json::array();
  for (const std::vector<std::string> &group : groups)
    out.push_back(texts_json(group));
  return out;
}

// What each list of suspects means.
ordered_json problems_json() {
  ordered_json out;
  out["cannot_run"] = cannot_run_problem;
  out["cannot_join"] = cannot_join_problem;
  out["dark"] = dark_problem;
  out["suspect_switches"] = switch_problem;
  out["suspect_groups"] = group_problem;
  return out;
}

ordered_json hosts_json(const RunReport &report) {
  const SwitchTree &tree = report.switches;
  ordered_json hosts = ordered_json::array();
  for (std::size_t h = 0; h < report.hosts.size(); ++h) {
    ordered_json host = {{"name", valid_utf8(report.hosts[h].name)},
                         {"slots", report.hosts[h].slots}};
    if (h < tree.leaf.size() && tree.leaf[h] >= 0)
      host["switch"] = valid_utf8(tree.names[static_cast<std::size_t>(tree.leaf[h])]);
    hosts.push_back(std::move(host));
  }
  return hosts;
}

ordered_json matrix_json(const RunReport &report) {
  ordered_json rows = ordered_json::array();
  for (std::string &row : detail::matrix_rows(report))
    rows.push_back(std::move(row));
  ordered_json out;
  out["rows"] = std::move(rows);
  out["legend"] = "a row per sender, a character per receiver, both in the order of hosts: " +
                  detail::legend_text(has_probes(report));
  return out;
}

// Reading: every field is checked for presence and type, and a fault names
// its place, e.g. "jobs[2].pairs[0].sender".

std::runtime_error fault(const std::string &what) { return std::runtime_error(what); }

std::string path(const std::string &where, const char *key) {
  return where.empty() ? std::string(key) : where + "." + key;
}

std::string item(const std::string &where, std::size_t index) {
  return where + "[" + std::to_string(index) + "]";
}

const json &member(const json &object, const char *key, const std::string &where) {
  if (!object.is_object())
    throw fault((where.empty() ? std::string("the top") : where) + " is not an object");
  const auto found = object.find(key);
  if (found == object.end())
    throw fault("missing field " + path(where, key));
  return *found;
}

const json &typed(const json &object, const char *key, const std::string &where,
                  bool (json::*is_type)() const, const char *type) {
  const json &value = member(object, key, where);
  if (!(value.*is_type)())
    throw fault("field " + path(where, key) + " is not " + type);
  return value;
}

std::string text(const json &object, const char *key, const std::string &where) {
  return typed(object, key, where, &json::is_string, "a string").get<std::string>();
}

bool fits_int(const json &value) {
  return value.is_number_unsigned()
             ? value.get<std::uint64_t>() <= INT_MAX
             : value.get<std::int64_t>() >= INT_MIN && value.get<std::int64_t>() <= INT_MAX;
}

int integer(const json &object, const char *key, const std::string &where) {
  const json &value = typed(object, key, where, &json::is_number_integer, "an integer");
  if (!fits_int(value))
    throw fault("field " + path(where, key) + " is out of range");
  return value.get<int>();
}

double number(const json &object, const char *key, const std::string &where) {
  return typed(object, key, where, &json::is_number, "a number").get<double>();
}

const json &list(const json &object, const char *key, const std::string &where) {
  return typed(object, key, where, &json::is_array, "an array");
}

std::vector<std::string> texts(const json &object, const char *key, const std::string &where) {
  std::vector<std::string> out;
  const json &values = list(object, key, where);
  out.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!values[i].is_string())
      throw fault("field " + item(path(where, key), i) + " is not a string");
    out.push_back(values[i].get<std::string>());
  }
  return out;
}

// A word of the reports back to its enum: words are made by word_of only.
template <typename Enum, std::size_t count>
Enum enum_of(const json &object, const char *key, const std::string &where,
             const Enum (&all)[count], const char *(*word_of)(Enum)) {
  const std::string word = text(object, key, where);
  for (const Enum value : all) {
    if (word == word_of(value))
      return value;
  }
  throw fault("field " + path(where, key) + " is not a known word: \"" + valid_utf8(word) + "\"");
}

constexpr JobKind all_kinds[] = {JobKind::sweep,  JobKind::hosts, JobKind::isolation,
                                 JobKind::single, JobKind::ring,  JobKind::reach,
                                 JobKind::retest};
constexpr JobStatus all_statuses[] = {
    JobStatus::verified,  JobStatus::failed,      JobStatus::timed_out,    JobStatus::did_not_end,
    JobStatus::misplaced, JobStatus::not_started, JobStatus::hosts_missing};

// Journal lines.

std::vector<std::int32_t> ranks_below(const json &in, const char *key, std::size_t ranks) {
  std::vector<std::int32_t> out;
  const json &values = list(in, key, "");
  for (std::size_t i = 0; i < values.size(); ++i) {
    const json &value = values[i];
    if (!value.is_number_integer() || value.get<std::int64_t>() < 0 ||
        value.get<std::int64_t>() >= static_cast<std::int64_t>(ranks))
      throw fault("field " + item(key, i) + " is not a rank of the job");
    out.push_back(value.get<std::int32_t>());
  }
  return out;
}

// The even rank a "problems" key names, or -1.
std::int64_t even_rank_of(const std::string &key) {
  if (key.empty() || key.size() > 10 || key.find_first_not_of("0123456789") != std::string::npos ||
      (key.size() > 1 && key[0] == '0'))
    return -1;
  const std::int64_t rank = std::stoll(key);
  return rank % 2 == 0 ? rank : -1;
}

std::vector<PairOutcome> journal_pairs(const json &in, const std::vector<std::string> &hosts) {
  const std::string marks = text(in, "pairs", "");
  if (marks.size() != hosts.size() / 2 || marks.find_first_not_of("+-") != std::string::npos)
    throw fault("field pairs is not a '+' or '-' for each of the " +
                std::to_string(hosts.size() / 2) + " pairs");
  std::vector<PairOutcome> pairs(marks.size());
  for (std::size_t k = 0; k < marks.size(); ++k)
    pairs[k] = {static_cast<std::int32_t>(2 * k),
                hosts[2 * k],
                hosts[2 * k + 1],
                marks[k] == '+',
                "",
                std::nullopt,
                {}};
  const json &problems = typed(in, "problems", "", &json::is_object, "an object");
  for (const auto &[key, problem] : problems.items()) {
    const std::int64_t even = even_rank_of(key);
    const std::string where = "problems." + valid_utf8(key);
    if (even < 0 || static_cast<std::size_t>(even / 2) >= pairs.size() ||
        pairs[static_cast<std::size_t>(even / 2)].verified)
      throw fault("field " + where + " names no failed pair");
    if (!problem.is_string())
      throw fault("field " + where + " is not a string");
    pairs[static_cast<std::size_t>(even / 2)].problem = problem.get<std::string>();
  }
  if (!in.contains("probes"))
    return pairs;
  const json &probes = typed(in, "probes", "", &json::is_object, "an object");
  for (const auto &[key, text] : probes.items()) {
    const std::int64_t even = even_rank_of(key);
    const std::string where = "probes." + valid_utf8(key);
    if (even < 0 || static_cast<std::size_t>(even / 2) >= pairs.size())
      throw fault("field " + where + " names no pair");
    std::optional<pairdot_probe::ProbeLine> line;
    if (text.is_string())
      line = pairdot_probe::parse_probe_line(text.get<std::string>());
    if (!line || line->sender != even)
      throw fault("field " + where + " is not the pair's probe line");
    pairs[static_cast<std::size_t>(even / 2)].probe = std::move(line);
  }
  return pairs;
}

JobOutcome job_of_journal(const json &in) {
  JobOutcome job;
  job.number = integer(in, "number", "");
  job.kind = enum_of(in, "kind", "", all_kinds, kind_word);
  job.status = enum_of(in, "status", "", all_statuses, status_word);
  job.seconds = number(in, "seconds", "");
  job.placement = text(in, "placement", "");
  job.rank_hosts = texts(in, "hosts", "");
  job.not_started = ranks_below(in, "not_started", job.rank_hosts.size());
  job.pairs = journal_pairs(in, job.rank_hosts);
  job.messages = texts(in, "messages", "");
  if (in.contains("unavailable_hosts"))
    job.unavailable_hosts = texts(in, "unavailable_hosts", "");
  if (in.contains("tested_hosts"))
    job.tested_hosts = texts(in, "tested_hosts", "");
  return job;
}

} // namespace

std::vector<pairdot_hosts::Host> report_hosts(const json &in) {
  const json &hosts = list(in, "hosts", "");
  std::vector<pairdot_hosts::Host> out;
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    const std::string where = item("hosts", i);
    out.push_back({text(hosts[i], "name", where), integer(hosts[i], "slots", where)});
  }
  return out;
}

ordered_json to_json(const RunReport &report) {
  ordered_json jobs = ordered_json::array();
  for (const JobOutcome &job : report.jobs)
    jobs.push_back(job_json(job));
  const detail::LinkCounts links = detail::count_links(report);
  const detail::Blame blame = detail::blame_of(report);
  const std::vector<const LinkDetail *> explaining =
      detail::explaining_links(blame, report.troubled, few_links);
  ordered_json out;
  out["version"] = report_version;
  out["tool"] = valid_utf8(report.tool);
  out["launcher"] = valid_utf8(report.launcher);
  out["verdict"] = detail::run_verdict_word(report.verdict);
  out["summary"] = summary_json(report, links);
  out["suspect_hosts"] = texts_json(report.suspect_hosts);
  out["suspect_switches"] = texts_json(report.suspect_switches);
  out["suspect_groups"] = groups_json(report.suspect_groups);
  out["dark"] = texts_json(report.dark);
  out["cannot_run"] = texts_json(report.cannot_run);
  out["cannot_join"] = texts_json(report.cannot_join);
  out["suspect_links"] = host_pairs_json(report.suspect_links);
  const bool probed = has_probes(report);
  if (probed) {
    out["slow_links"] = host_pairs_json(report.slow_links);
    out["slow_hosts"] = texts_json(report.slow_hosts);
    out["slow_switches"] = texts_json(report.slow_switches);
  }
  out["problems"] = problems_json();
  out["failed_links"] = failed_links_json(explaining);
  out["failed_links_not_listed"] = links.failed - static_cast<long long>(explaining.size());
  out["rule"] = diagnosis_rule;
  out["hosts"] = hosts_json(report);
  out["links"] = matrix_json(report);
  if (probed) {
    ordered_json probe;
    probe["median_mbps"] = optional_number(report.quality.median_mbps);
    probe["median_latency_us"] = optional_number(report.quality.median_latency_us);
    probe["slow_bandwidth"] = report.slow_rule.bandwidth_fraction;
    probe["slow_latency"] = report.slow_rule.latency_factor;
    probe["rule"] = slow_rule_text;
    probe["links"] = probe_links_json(report);
    const auto counted = std::count_if(report.quality.links.begin(), report.quality.links.end(),
                                       [](const LinkProbe &link) { return !listed(link); });
    probe["links_measured"] = report.quality.links.size();
    probe["links_not_listed"] = counted;
    out["probe"] = std::move(probe);
  }
  out["jobs"] = std::move(jobs);
  return out;
}

std::string journal_line(const JobOutcome &job) {
  std::string marks;
  ordered_json problems = ordered_json::object();
  ordered_json probes = ordered_json::object();
  for (const PairOutcome &pair : job.pairs) {
    marks += pair.verified ? '+' : '-';
    if (!pair.verified)
      problems[std::to_string(pair.even_rank)] = valid_utf8(problem_text(pair));
    if (pair.probe)
      probes[std::to_string(pair.even_rank)] =
          valid_utf8(pairdot_probe::format_probe_line(*pair.probe));
  }
  ordered_json out;
  out["number"] = job.number;
  out["kind"] = kind_word(job.kind);
  out["status"] = status_word(job.status);
  out["seconds"] = job.seconds;
  out["placement"] = valid_utf8(job.placement);
  out["hosts"] = texts_json(job.rank_hosts);
  out["not_started"] = job.not_started;
  out["pairs"] = std::move(marks);
  out["problems"] = std::move(problems);
  if (!probes.empty())
    out["probes"] = std::move(probes);
  out["messages"] = texts_json(job.messages);
  if (!job.unavailable_hosts.empty())
    out["unavailable_hosts"] = texts_json(job.unavailable_hosts);
  if (!job.tested_hosts.empty())
    out["tested_hosts"] = texts_json(job.tested_hosts);
  // Strings are escaped: no newline but the last.
  return out.dump(-1, ' ', false, ordered_json::error_handler_t::replace) + "\n";
}

std::vector<JobOutcome> read_journal(const std::string &path) {
  const std::optional<std::string> read = pairdot_files::file_text(path);
  if (!read)
    throw std::runtime_error("cannot read " + path);
  const std::string &text = *read;
  std::vector<JobOutcome> jobs;
  std::size_t number = 0;
  for (std::size_t at = 0; at < text.size();) {
    ++number;
    const std::size_t end = text.find('\n', at);
    const bool last = end == std::string::npos || end + 1 == text.size();
    if (end == std::string::npos)
      break; // torn: the crash came before the newline
    const json line = json::parse(text.begin() + static_cast<std::ptrdiff_t>(at),
                                  text.begin() + static_cast<std::ptrdiff_t>(end), nullptr, false);
    at = end + 1;
    if (line.is_discarded() && last)
      break;
    try {
      if (line.is_discarded())
        throw fault("not a JSON line");
      jobs.push_back(job_of_journal(line));
    } catch (const std::exception &error) {
      throw std::runtime_error(path + ":" + std::to_string(number) + ": " + error.what());
    }
  }
  return jobs;
}

} // namespace pairdot_writers
