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

// Hosts a to last_host; one job a link ("ab"), its pair verified when its
// bandwidth (MB/s at the largest size; 0: no probe) is not negative, else
// failed alone. Every link of the hosts, verified, unless given.
RunReport sweep(char last_host, std::map<std::string, double> links = {}) {
  RunReport report;
  for (char s = 'a'; s <= last_host; ++s) {
    report.hosts.push_back({std::string(1, s), 1});
    for (char r = 'a'; r <= last_host; ++r)
      links.insert({{s, r}, 0});
  }
  for (const auto &[link, mbps] : links) {
    if (link[0] == link[1])
      continue;
    const bool verified = mbps >= 0;
    JobOutcome job;
    job.number = static_cast<int>(report.jobs.size()) + 1;
    job.kind = verified ? JobKind::sweep : JobKind::isolation;
    job.rank_hosts = {link.substr(0, 1), link.substr(1, 1)};
    job.pairs.resize(1);
    job.pairs[0].sender = job.rank_hosts[0];
    job.pairs[0].receiver = job.rank_hosts[1];
    job.pairs[0].verified = verified;
    job.pairs[0].problem = verified ? "" : "no result";
    if (mbps > 0)
      job.pairs[0].probe =
          pairdot_probe::ProbeLine{0, {8, 1 << 20}, {1.0, mbps}, 10.0, std::nullopt, ""};
    job.status = verified ? JobStatus::verified : JobStatus::failed;
    report.jobs.push_back(job);
  }
  diagnose(report);
  return report;
}

// Every sample; fails on one whose family has no # HELP and # TYPE before it.
Samples samples_of(const std::string &text) {
  Samples samples;
  std::set<std::string> described;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string hash;
    std::string kind_and_name;
    if (words >> hash && hash == "#" && std::getline(words >> std::ws, kind_and_name)) {
      described.insert(kind_and_name.substr(0, kind_and_name.find(' ', 5)));
      continue;
    }
    const std::size_t space = line.rfind(' ');
    const std::string family = line.substr(0, std::min(line.find('{'), space));
    EXPECT_TRUE(described.count("HELP " + family) && described.count("TYPE " + family)) << line;
    samples[line.substr(0, space)] = std::stod(line.substr(space + 1));
  }
  return samples;
}

struct Case {
  const char *name;
  RunReport (*report)();
  Samples want; // every series not 0
};

const Case cases[] = {
    {"verified",
     [] { return sweep('c'); },
     {{R"(pairdot_last_sweep_verdict{verdict="verified"})", 1},
      {"pairdot_last_sweep_jobs", 6},
      {R"(pairdot_hosts{state="ok"})", 3},
      {R"(pairdot_links{state="verified"})", 6}}},
    {"host_and_switch",
     [] {
       RunReport report =
           sweep('d', {{"ad", -1}, {"bd", -1}, {"cd", -1}, {"da", -1}, {"db", -1}, {"dc", -1}});
       report.switches = leaf_spine(4, 2); // leaf0: a, b; leaf1: c, d
       report.suspect_switches = {"leaf0"};
       return report;
     },
     {{R"(pairdot_last_sweep_verdict{verdict="fault"})", 1},
      {"pairdot_last_sweep_jobs", 12},
      {R"(pairdot_hosts{state="ok"})", 1},
      {R"(pairdot_hosts{state="suspect"})", 1},
      {R"(pairdot_hosts{state="cut_off"})", 2},
      {R"(pairdot_links{state="verified"})", 6},
      {R"(pairdot_links{state="failed"})", 6},
      {R"(pairdot_suspect_host{host="d"})", 1},
      {R"(pairdot_suspect_switch{switch="leaf0"})", 1}}},
    {"probe",
     [] {
       return sweep('c',
                    {{"ab", 100}, {"ba", 100}, {"ac", 200}, {"ca", 200}, {"bc", 300}, {"cb", 300}});
     },
     {{R"(pairdot_last_sweep_verdict{verdict="verified"})", 1},
      {"pairdot_last_sweep_jobs", 6},
      {R"(pairdot_hosts{state="ok"})", 3},
      {R"(pairdot_links{state="verified"})", 6},
      {R"(pairdot_host_median_link_bandwidth_bytes_per_second{host="a"})", 150e6},
      {R"(pairdot_host_median_link_bandwidth_bytes_per_second{host="b"})", 200e6},
      {R"(pairdot_host_median_link_bandwidth_bytes_per_second{host="c"})", 250e6}}},
    {"escaped",
     [] {
       RunReport report;
       report.hosts = {{"a\"b", 1}, {"c\\d\ne", 1}};
       report.suspect_hosts = {"a\"b", "c\\d\ne"};
       report.verdict = RunVerdict::fault;
       return report;
     },
     {{R"(pairdot_last_sweep_verdict{verdict="fault"})", 1},
      {R"(pairdot_hosts{state="suspect"})", 2},
      {R"(pairdot_links{state="not_covered"})", 2},
      {R"(pairdot_suspect_host{host="a\"b"})", 1},
      {R"(pairdot_suspect_host{host="c\\d\ne"})", 1}}},
};

TEST(Metrics, SeriesAndValuesOfEachRun) {
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = pairdot_writers::metrics_text(c.report(), {1700000000, 12.5});
    Samples want = c.want;
    want.insert({{"pairdot_last_sweep_timestamp_seconds", 1700000012.5},
                 {"pairdot_last_sweep_duration_seconds", 12.5}});
    const Samples got = samples_of(text);
    for (const auto &[series, value] : want)
      EXPECT_TRUE(got.count(series)) << series << " missing from\n" << text;
    for (const auto &[series, value] : got)
      EXPECT_DOUBLE_EQ(value, want.count(series) ? want.at(series) : 0) << series;
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

} // namespace
