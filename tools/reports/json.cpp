#include "report_text.hpp"
#include "run_report.hpp"

#include <climits>
#include <stdexcept>

namespace pairdot_reports {

namespace {

using detail::valid_utf8;
using nlohmann::json;

json pair_json(const PairOutcome &pair) {
  json out = {{"ranks", json::array({pair.even_rank, pair.even_rank + 1})},
              {"sender", valid_utf8(pair.sender)},
              {"receiver", valid_utf8(pair.receiver)},
              {"status", pair.verified ? "verified" : "failed"}};
  if (!pair.verified)
    out["problem"] = valid_utf8(pair.problem);
  return out;
}

json texts_json(const std::vector<std::string> &texts) {
  json out = json::array();
  for (const std::string &text : texts)
    out.push_back(valid_utf8(text));
  return out;
}

json job_json(const JobOutcome &job) {
  json ranks = json::array();
  for (std::size_t rank = 0; rank < job.rank_hosts.size(); ++rank)
    ranks.push_back({{"rank", rank}, {"host", valid_utf8(job.rank_hosts[rank])}});
  json pairs = json::array();
  for (const PairOutcome &pair : job.pairs)
    pairs.push_back(pair_json(pair));
  json out = {{"number", job.number},
              {"kind", valid_utf8(job.kind)},
              {"status", valid_utf8(job.status)},
              {"seconds", job.seconds},
              {"placement", valid_utf8(job.placement)},
              {"ranks", ranks},
              {"messages", texts_json(job.messages)},
              {"pairs", pairs}};
  if (!job.unavailable_hosts.empty())
    out["unavailable_hosts"] = texts_json(job.unavailable_hosts);
  return out;
}

json link_json(const Link &link) {
  return {{"sender", valid_utf8(link.sender)},
          {"receiver", valid_utf8(link.receiver)},
          {"status", link.status},
          {"verified_pairs", link.verified_pairs},
          {"failed_pairs", link.failed_pairs},
          {"collateral", link.collateral},
          {"seen", texts_json(link.seen)}};
}

json summary_json(const RunReport &report) {
  const detail::LinkCounts links = detail::count_links(report);
  return {{"hosts", report.hosts.size()},
          {"jobs", report.jobs.size()},
          {"links_verified", links.verified},
          {"links_failed", links.failed},
          {"links_not_covered", links.not_covered}};
}

// Reading: every field is checked for presence and type, and a fault names
// its place, e.g. "jobs[2].pairs[0].sender".

std::runtime_error fault(const std::string &what) {
  return std::runtime_error("report JSON: " + what);
}

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

int integer(const json &object, const char *key, const std::string &where) {
  const json &value = typed(object, key, where, &json::is_number_integer, "an integer");
  const bool fits = value.is_number_unsigned() ? value.get<std::uint64_t>() <= INT_MAX
                                               : value.get<std::int64_t>() >= INT_MIN &&
                                                     value.get<std::int64_t>() <= INT_MAX;
  if (!fits)
    throw fault("field " + path(where, key) + " is out of range");
  return value.get<int>();
}

const json &list(const json &object, const char *key, const std::string &where) {
  return typed(object, key, where, &json::is_array, "an array");
}

std::vector<std::string> texts(const json &object, const char *key, const std::string &where) {
  std::vector<std::string> out;
  const json &values = list(object, key, where);
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!values[i].is_string())
      throw fault("field " + item(path(where, key), i) + " is not a string");
    out.push_back(values[i].get<std::string>());
  }
  return out;
}

PairOutcome read_pair(const json &in, const std::string &where) {
  PairOutcome pair;
  const json &ranks = list(in, "ranks", where);
  if (ranks.size() != 2 || !ranks[0].is_number_integer() || !ranks[1].is_number_integer() ||
      ranks[0].get<std::int64_t>() < 0 || ranks[0].get<std::int64_t>() >= INT32_MAX ||
      ranks[1].get<std::int64_t>() != ranks[0].get<std::int64_t>() + 1)
    throw fault("field " + path(where, "ranks") + " is not [even, even + 1]");
  pair.even_rank = ranks[0].get<std::int32_t>();
  pair.sender = text(in, "sender", where);
  pair.receiver = text(in, "receiver", where);
  const std::string status = text(in, "status", where);
  if (status != "verified" && status != "failed")
    throw fault("field " + path(where, "status") + " is neither \"verified\" nor \"failed\"");
  pair.verified = status == "verified";
  if (!pair.verified)
    pair.problem = text(in, "problem", where);
  return pair;
}

JobOutcome read_job(const json &in, const std::string &where) {
  JobOutcome job;
  job.number = integer(in, "number", where);
  job.kind = text(in, "kind", where);
  job.status = text(in, "status", where);
  job.seconds = typed(in, "seconds", where, &json::is_number, "a number").get<double>();
  job.placement = text(in, "placement", where);
  const json &ranks = list(in, "ranks", where);
  for (std::size_t rank = 0; rank < ranks.size(); ++rank) {
    const std::string at = item(path(where, "ranks"), rank);
    if (integer(ranks[rank], "rank", at) != static_cast<int>(rank))
      throw fault("field " + path(at, "rank") + " is not " + std::to_string(rank));
    job.rank_hosts.push_back(text(ranks[rank], "host", at));
  }
  job.messages = texts(in, "messages", where);
  const json &pairs = list(in, "pairs", where);
  for (std::size_t i = 0; i < pairs.size(); ++i)
    job.pairs.push_back(read_pair(pairs[i], item(path(where, "pairs"), i)));
  if (in.contains("unavailable_hosts"))
    job.unavailable_hosts = texts(in, "unavailable_hosts", where);
  return job;
}

Link read_link(const json &in, const std::string &where) {
  Link link;
  link.sender = text(in, "sender", where);
  link.receiver = text(in, "receiver", where);
  link.status = text(in, "status", where);
  link.verified_pairs = integer(in, "verified_pairs", where);
  link.failed_pairs = integer(in, "failed_pairs", where);
  link.collateral = typed(in, "collateral", where, &json::is_boolean, "true or false").get<bool>();
  link.seen = texts(in, "seen", where);
  return link;
}

RunReport read_report(const json &in) {
  const int version = integer(in, "version", "");
  if (version != report_version)
    throw fault("version " + std::to_string(version) + ", this tool reads version " +
                std::to_string(report_version));
  RunReport report;
  report.tool = text(in, "tool", "");
  report.launcher = text(in, "launcher", "");
  const json &hosts = list(in, "hosts", "");
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    const std::string at = item("hosts", i);
    report.hosts.push_back(Host{text(hosts[i], "name", at), integer(hosts[i], "slots", at)});
  }
  const json &jobs = list(in, "jobs", "");
  for (std::size_t i = 0; i < jobs.size(); ++i)
    report.jobs.push_back(read_job(jobs[i], item("jobs", i)));
  const json &links = list(in, "links", "");
  for (std::size_t i = 0; i < links.size(); ++i)
    report.links.push_back(read_link(links[i], item("links", i)));
  report.suspect_hosts = texts(in, "suspect_hosts", "");
  const json &suspect_links = list(in, "suspect_links", "");
  for (std::size_t i = 0; i < suspect_links.size(); ++i) {
    const std::string at = item("suspect_links", i);
    report.suspect_links.emplace_back(text(suspect_links[i], "sender", at),
                                      text(suspect_links[i], "receiver", at));
  }
  return report;
}

} // namespace

json to_json(const RunReport &report) {
  json hosts = json::array();
  for (const Host &host : report.hosts)
    hosts.push_back({{"name", valid_utf8(host.name)}, {"slots", host.slots}});
  json jobs = json::array();
  for (const JobOutcome &job : report.jobs)
    jobs.push_back(job_json(job));
  json links = json::array();
  for (const Link &link : report.links)
    links.push_back(link_json(link));
  json suspect_links = json::array();
  for (const auto &[sender, receiver] : report.suspect_links)
    suspect_links.push_back({{"sender", valid_utf8(sender)}, {"receiver", valid_utf8(receiver)}});
  return {{"version", report_version},
          {"tool", valid_utf8(report.tool)},
          {"launcher", valid_utf8(report.launcher)},
          {"rule", diagnosis_rule},
          {"hosts", hosts},
          {"jobs", jobs},
          {"links", links},
          {"suspect_hosts", texts_json(report.suspect_hosts)},
          {"suspect_links", suspect_links},
          {"summary", summary_json(report)}};
}

RunReport report_from_json(const nlohmann::json &json) {
  try {
    return read_report(json);
  } catch (const nlohmann::json::exception &error) {
    throw fault(error.what());
  }
}

} // namespace pairdot_reports
