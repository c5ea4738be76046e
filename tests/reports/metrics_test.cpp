// The Prometheus metrics: their series and values for runs of each kind, the
// escaping of label values, and promtool's check of the files written.

#include "cli_run.hpp"
#include "metrics.hpp"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

namespace {

using namespace pairdot_model; // NOLINT(google-build-using-namespace)
using Samples = std::map<std::string, double>;

// Hosts a, b, c, ...; one sweep job a link, the link's pair verified when
// its bandwidth (MB/s at the largest size; 0: no probe) is not negative, a
// failed one re-tested alone.
RunReport sweep(int hosts, const std::map<std::string, double> &links) {
  RunReport report;
  for (int host = 0; host < hosts; ++host)
    report.hosts.push_back({std::string(1, static_cast<char>('a' + host)), 1});
  for (const auto &[link, mbps] : links) {
    JobOutcome job;
    job.number = static_cast<int>(report.jobs.size()) + 1;
    job.kind = mbps >= 0 ? JobKind::sweep : JobKind::isolation;
    job.rank_hosts = {link.substr(0, 1), link.substr(1, 1)};
    PairOutcome pair{0,
                     job.rank_hosts[0],
                     job.rank_hosts[1],
                     mbps >= 0,
                     mbps >= 0 ? "" : "no result",
                     std::nullopt,
                     {}};
    if (mbps > 0)
      pair.probe = pairdot_probe::ProbeLine{0, {8, 1 << 20}, {1.0, mbps}, 10.0, std::nullopt, ""};
    job.pairs = {pair};
    job.status = pair.verified ? JobStatus::verified : JobStatus::failed;
    report.jobs.push_back(job);
  }
  diagnose(report);
  return report;
}

std::map<std::string, double> all_links(int hosts, double mbps) {
  std::map<std::string, double> links;
  for (int s = 0; s < hosts; ++s)
    for (int r = 0; r < hosts; ++r)
      if (s != r)
        links[{static_cast<char>('a' + s), static_cast<char>('a' + r)}] = mbps;
  return links;
}

RunReport host_d_and_leaf0() {
  std::map<std::string, double> links = all_links(4, 0);
  for (const char *link : {"ad", "bd", "cd", "da", "db", "dc"})
    links[link] = -1;
  RunReport report = sweep(4, links);
  report.switches = leaf_spine(4, 2); // leaf0: a, b; leaf1: c, d
  report.suspect_switches = {"leaf0"};
  return report;
}

RunReport probed() {
  return sweep(3, {{"ab", 100}, {"ba", 100}, {"ac", 200}, {"ca", 200}, {"bc", 300}, {"cb", 300}});
}

RunReport odd_names() {
  RunReport report;
  report.hosts = {{"a\"b", 1}, {"c\\d\ne", 1}};
  report.suspect_hosts = {"a\"b", "c\\d\ne"};
  report.verdict = RunVerdict::fault;
  return report;
}

// The samples of the text; fails on a sample whose family has no # HELP
// and # TYPE gauge before it.
Samples samples_of(const std::string &text) {
  Samples samples;
  std::set<std::string> helped;
  std::set<std::string> typed;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string first;
    std::string name;
    std::string type;
    words >> first;
    if (first == "#") {
      words >> type >> name;
      (type == "HELP" ? helped : typed).insert(name);
      continue;
    }
    const std::size_t space = line.rfind(' ');
    const std::string series = line.substr(0, space);
    const std::string family = series.substr(0, series.find('{'));
    EXPECT_TRUE(helped.count(family) && typed.count(family)) << line;
    samples[series] = std::stod(line.substr(space + 1));
  }
  return samples;
}

struct Case {
  const char *name;
  RunReport (*report)();
  Samples want;               // the other series of their families are 0
  std::set<std::string> none; // families with no series
};

const Case cases[] = {
    {"verified",
     [] { return sweep(3, all_links(3, 0)); },
     {{"pairdot_last_sweep_timestamp_seconds", 1700000012.5},
      {"pairdot_last_sweep_duration_seconds", 12.5},
      {R"(pairdot_last_sweep_verdict{verdict="verified"})", 1},
      {"pairdot_last_sweep_jobs", 6},
      {R"(pairdot_hosts{state="ok"})", 3},
      {R"(pairdot_links{state="verified"})", 6}},
     {"pairdot_suspect_host", "pairdot_suspect_switch"}},
    {"host_and_switch",
     host_d_and_leaf0,
     {{R"(pairdot_last_sweep_verdict{verdict="fault"})", 1},
      {R"(pairdot_hosts{state="ok"})", 1},
      {R"(pairdot_hosts{state="suspect"})", 1},
      {R"(pairdot_hosts{state="cut_off"})", 2},
      {R"(pairdot_hosts{state="slow"})", 0},
      {R"(pairdot_links{state="verified"})", 6},
      {R"(pairdot_links{state="failed"})", 6},
      {R"(pairdot_links{state="not_covered"})", 0},
      {R"(pairdot_suspect_host{host="d"})", 1},
      {R"(pairdot_suspect_switch{switch="leaf0"})", 1}},
     {}},
    {"probe",
     probed,
     {{R"(pairdot_last_sweep_verdict{verdict="verified"})", 1},
      {R"(pairdot_host_median_link_bandwidth_bytes_per_second{host="a"})", 150e6},
      {R"(pairdot_host_median_link_bandwidth_bytes_per_second{host="b"})", 200e6},
      {R"(pairdot_host_median_link_bandwidth_bytes_per_second{host="c"})", 250e6}},
     {"pairdot_suspect_host", "pairdot_slow_host", "pairdot_slow_switch"}},
    {"escaped",
     odd_names,
     {{R"(pairdot_suspect_host{host="a\"b"})", 1},
      {R"(pairdot_suspect_host{host="c\\d\ne"})", 1},
      {R"(pairdot_hosts{state="suspect"})", 2}},
     {}},
};

std::string family_of(const std::string &series) { return series.substr(0, series.find('{')); }

TEST(Metrics, SeriesAndValuesOfEachRun) {
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = pairdot_writers::metrics_text(c.report(), {1700000000, 12.5});
    const Samples got = samples_of(text);
    std::set<std::string> families(c.none);
    for (const auto &[series, value] : c.want) {
      families.insert(family_of(series));
      ASSERT_TRUE(got.count(series)) << series << " missing from\n" << text;
      EXPECT_DOUBLE_EQ(got.at(series), value) << series;
    }
    for (const auto &[series, value] : got) {
      if (families.count(family_of(series)) && !c.want.count(series)) {
        EXPECT_EQ(value, 0) << series;
      }
    }
    for (const std::string &family : c.none)
      EXPECT_NE(text.find("# TYPE " + family + " gauge"), std::string::npos) << family;
  }
}

TEST(Metrics, PromtoolFindsNothingWrong) {
  if (cli_run::run_command("command -v promtool", "/dev/null").status != 0)
    GTEST_SKIP() << "no promtool (Debian's prometheus)";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = cli_run::temp_path(std::string(c.name) + ".prom");
    pairdot_writers::write_metrics(path, c.report(), {1700000000, 12.5});
    const cli_run::Outcome checked = cli_run::run_command("promtool check metrics", path);
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
    EXPECT_EQ(checked.out + checked.err, "");
  }
}

TEST(Metrics, FileNamesTheCollectorReads) {
  const std::pair<const char *, bool> names[] = {
      {"pairdot.prom", true}, {"/var/lib/node/pairdot.prom", true},
      {".prom", false},       {"dir/.prom", false},
      {"pairdot.txt", false}, {"pairdot.prom.tmp", false}};
  for (const auto &[name, read] : names)
    EXPECT_EQ(pairdot_writers::metrics_path_problem(name).empty(), read) << name;
}

} // namespace
