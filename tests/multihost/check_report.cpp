// Checks a pairdot-run report against what a multi-host test expects.
//
//   check_report DIR [--failed-links 1>2,2>1] [--suspect-hosts 3]
//                    [--suspect-links 1>2] [--probe DIR] [--max-seconds S]
//                    [--links any] [--slow-links 1>2] [--slow-hosts 3]
//                    [--suspect-switches leaf0] [--suspect-groups 1-3/7,8]
//                    [--slow-switches leaf2]
//
// Hosts are named by their number in the report's host list (from 1); a
// range a-b stands for each host in it ("1-3>4" is 1>4,2>4,3>4); "-" is an
// empty list. Every link not listed as failed must be verified (or, outside a
// sweep, not covered); --links any: links may be anything, the suspects are
// still checked. --max-seconds: no job took longer. --probe: the host every
// rank recorded in MPI_Init, job after job, must be the one DIR/jobs.jsonl
// names. A probe run's slow links and hosts must be those listed (none if
// not; --slow-links any: not checked). Suspect switches (by name) and groups of hosts ('/' between
// groups) are checked only when asked for; the report must then have them.

#include "junit_walk.hpp"
#include "report_lists.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using nlohmann::json;
int failures = 0;

void fail(const std::string &what) {
  std::fprintf(stderr, "FAIL: %s\n", what.c_str());
  ++failures;
}

// "1-2>3" into "1>3,2>3"; "1-3" into "1,2,3".
std::string expand_ranges(const std::string &list) {
  std::string expanded;
  for (const std::string &item : report_lists::split(list, ',')) {
    std::vector<std::string> links{""};
    for (const std::string &end : report_lists::split(item, '>')) {
      const std::size_t dash = end.find('-');
      const unsigned long first = std::stoul(end.substr(0, dash));
      const unsigned long last =
          dash == std::string::npos ? first : std::stoul(end.substr(dash + 1));
      std::vector<std::string> longer;
      for (const std::string &start : links) {
        for (unsigned long h = first; h <= last; ++h) {
          longer.push_back(start + (start.empty() ? "" : ">") + std::to_string(h));
        }
      }
      links = longer;
    }
    for (const std::string &link : links) {
      expanded += (expanded.empty() ? "" : ",") + link;
    }
  }
  return expanded;
}

// "1>2,3>1", "3" or "1-3" into host names.
std::set<std::string> named(const std::string &list, const std::vector<std::string> &hosts) {
  if (list.empty()) {
    return {};
  }
  return report_lists::named(
      expand_ranges(list), [&hosts](const std::string &n) { return hosts.at(std::stoul(n) - 1); });
}

// "1-3/7,8" into one line per group, its host names sorted.
std::set<std::string> groups(const std::string &list, const std::vector<std::string> &hosts) {
  std::set<std::string> all;
  for (const std::string &group : report_lists::split(list, '/')) {
    std::string line;
    for (const std::string &host : named(group, hosts)) {
      line += (line.empty() ? "" : "+") + host;
    }
    all.insert(line);
  }
  return all;
}

void expect_set(const char *what, const std::set<std::string> &got,
                const std::set<std::string> &want) {
  if (got != want) {
    std::string text = std::string(what) + ": got";
    for (const auto &g : got) {
      text += " " + g;
    }
    text += ", want";
    for (const auto &w : want) {
      text += " " + w;
    }
    fail(text);
  }
}

// The jobs of DIR/jobs.jsonl in number order.
std::vector<json> journal(const std::string &dir) {
  std::vector<json> jobs;
  std::ifstream in(dir + "/jobs.jsonl");
  for (std::string line; std::getline(in, line);) {
    jobs.push_back(json::parse(line));
  }
  std::stable_sort(jobs.begin(), jobs.end(), [](const json &a, const json &b) {
    return a.at("number").get<int>() < b.at("number").get<int>();
  });
  return jobs;
}

void check_probe(const std::string &report_dir, const std::string &dir) {
  std::map<int, std::vector<std::string>> recorded;
  for (const json &job : journal(report_dir)) {
    const json &rank_hosts = job.at("hosts");
    for (int r = 0; r < static_cast<int>(rank_hosts.size()); ++r) {
      const std::string host = rank_hosts[static_cast<std::size_t>(r)];
      if (recorded.count(r) == 0) {
        std::ifstream in(dir + "/rank." + std::to_string(r));
        for (std::string line; std::getline(in, line);) {
          if (line.rfind("host ", 0) == 0) {
            recorded[r].push_back(line.substr(5));
          }
        }
      }
      std::vector<std::string> &hosts = recorded[r];
      if (hosts.empty() || hosts.front() != host) {
        fail("job " + std::to_string(job.at("number").get<int>()) + " rank " + std::to_string(r) +
             ": jobs.jsonl says " + host + ", the probe " +
             (hosts.empty() ? "nothing" : hosts.front()));
      }
      if (!hosts.empty()) {
        hosts.erase(hosts.begin());
      }
    }
  }
}

void check_junit(const std::string &dir, std::size_t pairs) {
  tinyxml2::XMLDocument doc;
  if (doc.LoadFile((dir + "/junit.xml").c_str()) != tinyxml2::XML_SUCCESS) {
    fail("junit.xml does not parse");
    return;
  }
  std::size_t cases = 0;
  for (const auto *c : junit_walk::cases(doc)) {
    cases += std::strncmp(c->Attribute("name"), "pair ", 5) == 0 ? 1 : 0;
  }
  if (cases != pairs) {
    fail("junit.xml has " + std::to_string(cases) + " pair cases, the report " +
         std::to_string(pairs) + " pairs");
  }
}

int check(int argc, char **argv) {
  if (argc < 2 || argc % 2 != 0) {
    std::fputs("usage: check_report DIR [--failed-links L] [--suspect-hosts L] "
               "[--suspect-links L] [--probe DIR]\n",
               stderr);
    return 2;
  }
  const std::string dir = argv[1];
  std::map<std::string, std::string> want;
  for (int i = 2; i + 1 < argc; i += 2) {
    want[argv[i]] = std::strcmp(argv[i + 1], "-") == 0 ? "" : argv[i + 1];
  }
  std::ifstream in(dir + "/report.json");
  const json report = json::parse(in);
  std::vector<std::string> hosts;
  for (const json &host : report.at("hosts")) {
    hosts.push_back(host.at("name"));
  }
  const std::size_t pairs = report_lists::pair_count(report);
  bool sweep = false;
  for (const json &job : report.at("jobs")) {
    sweep = sweep || job.at("kind") == "sweep";
  }
  std::set<std::string> failed;
  const std::map<std::string, char> marks = report_lists::link_marks(report);
  for (const auto &[name, mark] : marks) {
    if (mark == 'x') {
      failed.insert(name);
    } else if (std::string("+sc").find(mark) == std::string::npos && sweep &&
               want["--links"] != "any") {
      fail("link " + name + " is '" + std::string(1, mark) + "'");
    }
  }
  std::set<std::string> suspect_hosts(report.at("suspect_hosts").begin(),
                                      report.at("suspect_hosts").end());
  if (want["--links"] != "any") {
    expect_set("failed links", failed, named(want["--failed-links"], hosts));
  }
  expect_set("suspect hosts", suspect_hosts, named(want["--suspect-hosts"], hosts));
  expect_set("suspect links", report_lists::link_names(report.at("suspect_links")),
             named(want["--suspect-links"], hosts));
  // Suspect and slow switches and groups: checked when asked for, which the report must then have.
  for (const char *field : {"suspect_switches", "slow_switches"}) {
    std::string flag = std::string("--") + field;
    std::replace(flag.begin(), flag.end(), '_', '-');
    if (want.count(flag) == 0)
      continue;
    if (!report.contains(field)) {
      fail(std::string("the report has no ") + field);
      continue;
    }
    const std::string list = want[flag] == "-" ? "" : want[flag];
    const auto names = report_lists::split(list, ',');
    expect_set(field, {report.at(field).begin(), report.at(field).end()},
               {names.begin(), names.end()});
  }
  if (want.count("--suspect-groups") != 0) {
    if (!report.contains("suspect_groups")) {
      fail("the report has no suspect_groups");
    } else {
      std::set<std::string> got;
      for (const json &group : report.at("suspect_groups")) {
        const std::set<std::string> members(group.begin(), group.end());
        std::string line;
        for (const std::string &host : members) {
          line += (line.empty() ? "" : "+") + host;
        }
        got.insert(line);
      }
      expect_set("suspect groups", got, groups(want["--suspect-groups"], hosts));
    }
  }
  if (report.contains("slow_links") && want["--slow-links"] == "any") {
    // not checked
  } else if (report.contains("slow_links")) {
    expect_set("slow links", report_lists::link_names(report.at("slow_links")),
               named(want["--slow-links"], hosts));
    expect_set("slow hosts", {report.at("slow_hosts").begin(), report.at("slow_hosts").end()},
               named(want["--slow-hosts"], hosts));
  } else if (want.count("--slow-links") != 0) {
    fail("the report has no slow_links: not a probe run");
  }
  if (want.count("--max-seconds") != 0) {
    for (const json &job : report.at("jobs")) {
      if (job.at("seconds").get<double>() > std::stod(want["--max-seconds"])) {
        fail("job " + std::to_string(job.at("number").get<int>()) + " took " +
             std::to_string(job.at("seconds").get<double>()) + " s");
      }
    }
  }
  if (want.count("--probe") != 0) {
    check_probe(dir, want["--probe"]);
  }
  check_junit(dir, pairs);
  if (failures == 0) {
    std::printf("report: %zu links as expected, %zu pairs in %zu jobs (%d beyond the sweep)\n",
                marks.size(), pairs, report.at("jobs").size(),
                report.at("summary").value("extra_jobs", 0));
  }
  return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
  try {
    return check(argc, argv);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "FAIL: report: %s\n", error.what());
    return 1;
  }
}
