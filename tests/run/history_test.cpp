#include "history.hpp"
#include "watch.hpp"
#include "watch_text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace pairdot_model; // NOLINT(google-build-using-namespace)

std::vector<std::string> words(const std::string &text) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    out.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

// "a b c | b | a>c": hosts swept, suspect hosts, suspect links.
SweepRecord sweep(const std::string &hosts, const std::string &bad_hosts = "",
                  const std::string &bad_links = "", SweepEnd end = SweepEnd::completed) {
  SweepRecord record;
  record.end = end;
  record.hosts = words(hosts);
  record.suspect_hosts = words(bad_hosts);
  for (const std::string &link : words(bad_links))
    record.suspect_links.emplace_back(link.substr(0, link.find('>')),
                                      link.substr(link.find('>') + 1));
  return record;
}

// "host b 1/3" or "link a>b 2/4", a word each.
std::string named(const std::vector<Intermittent> &found) {
  std::string out;
  for (const Intermittent &one : found) {
    out +=
        (out.empty() ? "" : ", ") +
        (one.host.empty() ? "link " + one.link.first + ">" + one.link.second : "host " + one.host) +
        " " + std::to_string(one.failed) + "/" + std::to_string(one.sweeps);
  }
  return out;
}

TEST(History, IntermittentRule) {
  const SweepRecord ok = sweep("a b c");
  const std::vector<SweepRecord> twenty_ok(20, ok);
  struct Case {
    const char *name;
    std::vector<SweepRecord> history;
    std::string want;
  } cases[] = {
      {"never failing", {ok, ok, ok}, ""},
      {"always failing is a fault", {sweep("a b c", "b"), sweep("a b c", "b")}, ""},
      {"failed then verified", {sweep("a b c", "b"), ok, ok}, "host b 1/3"},
      {"a link", {ok, sweep("a b c", "", "a>b"), ok, ok}, "link a>b 1/4"},
      {"a link is not tested while its host is suspect",
       {sweep("a b c", "a"), sweep("a b c", "", "a>b"), ok},
       "host a 1/3, link a>b 1/2"},
      {"host and link apart", {sweep("a b c", "c", "a>b"), ok}, "host c 1/2, link a>b 1/2"},
      {"a host not swept is not counted", {sweep("a b c", "c"), sweep("a b")}, ""},
      {"interrupted sweeps are not counted",
       {sweep("a b c", "c", "", SweepEnd::interrupted), ok},
       ""},
      {"out of the window", {}, ""},
      {"at the window's edge", {}, "host b 1/20"},
  };
  cases[8].history.push_back(sweep("a b c", "b"));
  cases[8].history.insert(cases[8].history.end(), twenty_ok.begin(), twenty_ok.end());
  cases[9].history = twenty_ok;
  cases[9].history.front() = sweep("a b c", "b");
  for (const Case &test : cases)
    EXPECT_EQ(named(find_intermittent(test.history)), test.want) << test.name;
}

TEST(History, HostRowsNewestLast) {
  const std::vector<HostRow> rows =
      host_rows({sweep("a b", "a"), sweep("a b c", "", "b>c"), sweep("a b c")});
  using M = SweepMark;
  ASSERT_EQ(rows.size(), 3U);
  EXPECT_EQ(rows[0].marks, (std::vector<M>{M::failed, M::verified, M::verified}));
  EXPECT_EQ(rows[1].marks, (std::vector<M>{M::verified, M::failed, M::verified}));
  EXPECT_EQ(rows[2].marks, (std::vector<M>{M::not_tested, M::failed, M::verified}));
}

TEST(History, PruneKeepsNewestAndLatest) {
  EXPECT_EQ(runs_to_prune({1, 2, 3, 4, 5}, 2, 5), (std::vector<long>{3, 2, 1}));
  EXPECT_EQ(runs_to_prune({3, 1, 5, 2, 4}, 2, 1), (std::vector<long>{3, 2}));
  EXPECT_EQ(runs_to_prune({1, 2}, 5, 0), (std::vector<long>{}));
  EXPECT_EQ(pairdot_run::run_dir_name(42), "000042");
  EXPECT_EQ(pairdot_run::run_dir_number("000042"), 42);
  EXPECT_EQ(pairdot_run::run_dir_number("1234567"), 1234567);
  EXPECT_FALSE(pairdot_run::run_dir_number("latest"));
  EXPECT_FALSE(pairdot_run::run_dir_number("00004x"));
}

TEST(History, LinesReadBackAndATornLineLeftOut) {
  SweepRecord first = sweep("a b c", "c", "a>b");
  first.run = "000001";
  first.seconds = 2.5;
  first.verdict = RunVerdict::fault;
  const SweepRecord second = sweep("a b", "", "", SweepEnd::interrupted);
  const std::string line = pairdot_writers::history_line(second);
  const std::string text =
      pairdot_writers::history_line(first) + line + line.substr(0, line.size() / 2);
  const pairdot_writers::HistoryRead read = pairdot_writers::read_history(text, "h");
  ASSERT_EQ(read.sweeps.size(), 2U);
  EXPECT_EQ(read.sweeps[0].run, "000001");
  EXPECT_EQ(read.sweeps[0].seconds, 2.5);
  EXPECT_EQ(read.sweeps[0].verdict, RunVerdict::fault);
  EXPECT_EQ(read.sweeps[0].suspect_links, first.suspect_links);
  EXPECT_EQ(read.sweeps[1].end, SweepEnd::interrupted);
  EXPECT_EQ(read.sweeps[1].hosts, second.hosts);
  ASSERT_EQ(read.warnings.size(), 1U);
  EXPECT_NE(read.warnings[0].find("h: line 3 torn"), std::string::npos) << read.warnings[0];
}

} // namespace
