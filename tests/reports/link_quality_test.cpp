// Link quality of probe runs: the slow-link rule, and probe measures through
// the journal and the reports.

#include "junit_walk.hpp"
#include "report_jobs.hpp"
#include "report_text.hpp"
#include "test_support.hpp"
#include "writers.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace pairdot_model;   // NOLINT(google-build-using-namespace)
using namespace pairdot_writers; // NOLINT(google-build-using-namespace)
using pairdot_probe::ProbeLine;

// "ab 100 10": host a sends to host b (hosts a, b, c, ...), 100 MB/s at the
// largest size, latency 10 us; "ab x": failed from 4 KiB; a trailing "*":
// measured alone, "**": alone in two jobs. Measures are separated by ';' and
// each is its own job unless "=" starts it (same job as the one before).
std::vector<LinkMeasure> measures_of(const std::string &text) {
  std::vector<LinkMeasure> out;
  std::istringstream items(text);
  int job = 0;
  for (std::string item; std::getline(items, item, ';');) {
    std::istringstream words(item);
    std::string link;
    std::string mbps;
    std::string latency;
    words >> link >> mbps >> latency;
    if (link[0] == '=')
      link.erase(0, 1);
    else
      ++job;
    LinkMeasure measure{link[0] - 'a', link[1] - 'a', job, item.back() == '*', {}};
    measure.line.sizes = {8, 4096, 16 * pairdot_probe::mib};
    if (mbps == "x") {
      measure.line.mbps = {1.0, std::nullopt, std::nullopt};
      measure.line.latency_us = 10;
      measure.line.failed_size = 4096;
      measure.line.problem = "4 KiB messages did not arrive within 5 s";
    } else {
      measure.line.mbps = {1.0, 50.0, std::stod(mbps)};
      measure.line.latency_us = std::stod(latency);
    }
    out.push_back(measure);
    if (item.size() > 1 && item.substr(item.size() - 2) == "**") {
      measure.job = ++job;
      out.push_back(measure);
    }
  }
  return out;
}

// Each judged link as "ab:ok", "ab:slow", "ab:failed"; then the links to
// re-test ("ab") and the slow hosts.
std::string verdicts_of(const LinkQuality &quality) {
  std::string out;
  for (const LinkProbe &link : quality.links)
    out += (out.empty() ? "" : " ") +
           std::string{char('a' + link.sender), char('a' + link.receiver)} + ":" +
           probe_verdict_word(link.verdict);
  out += " |";
  for (const auto &[sender, receiver] : slow_to_retest(quality))
    out += std::string(" ") + char('a' + sender) + char('a' + receiver);
  out += " |";
  for (const HostIndex host : quality.slow_hosts)
    out += std::string(" ") + char('a' + host);
  return out;
}

TEST(SlowRule, Scenarios) {
  const std::string healthy = "ab 100 10; ba 100 10; ac 100 10; ca 100 10; bc 100 10; ";
  const std::string ok = "ab:ok ac:ok ba:ok bc:ok ca:ok "; // healthy's verdicts
  const struct {
    const char *name;
    std::string measures;
    std::string want;
    SlowRule rule = {};
  } cases[] = {
      {"all alike", healthy + "cb 95 11", ok + "cb:ok | |"},
      {"slow beside others: re-test, not yet slow", healthy + "cb 10 10", ok + "cb:ok | cb |"},
      {"slow alone once: re-tested again", healthy + "cb 10 10; cb 12 10 *", ok + "cb:ok | cb |"},
      {"slow alone twice", healthy + "cb 10 10; cb 12 10 **", ok + "cb:slow | |"},
      {"contention only", healthy + "cb 10 10; cb 98 10 *", ok + "cb:ok | |"},
      {"the best measure alone counts", healthy + "cb 10 10 *; cb 95 10 *", ok + "cb:ok | |"},
      {"just above half", healthy + "cb 51 10 *", ok + "cb:ok | |"},
      {"a later job beside others does not undo alone", healthy + "cb 10 10 **; cb 99 10",
       ok + "cb:slow | |"},
      {"latency over three times", healthy + "cb 100 31 *; cb 100 40 *", ok + "cb:slow | |"},
      {"the least latency alone counts", healthy + "cb 100 4000 *; cb 100 12 *", ok + "cb:ok | |"},
      {"latency under three times", healthy + "cb 100 29 *", ok + "cb:ok | |"},
      {"a stricter rule", healthy + "cb 90 10 **", ok + "cb:slow | |", {0.93, 2.1}},
      {"faster alone: the median stays the sweep's",
       healthy + "cb 100 10; ab 300 5 *; ba 300 5 *; ac 300 5 *; ca 300 5 *", ok + "cb:ok | |"},
      {"failed links stay out of the median", "ab 100 10; ba x; ac x; ca x; bc 60 10 *",
       "ab:ok ac:failed ba:failed bc:ok ca:failed | |"},
      {"the worst pair of a job", healthy + "cb 100 10; =cb 20 10", ok + "cb:ok | cb |"},
      {"a slow host: most of its links slow alone",
       healthy + "cb 100 10; ad 10 10 **; da 10 10 **; bd 10 10 **; db 100 10; cd 100 10; "
                 "dc 10 10 **",
       "ab:ok ac:ok ad:slow ba:ok bc:ok bd:slow ca:ok cb:ok cd:ok da:slow db:ok dc:slow | | d"},
      {"half is not most", healthy + "cb 100 10; ad 10 10 **; da 10 10 **; bd 100 10; db 100 10",
       "ab:ok ac:ok ad:slow ba:ok bc:ok bd:ok ca:ok cb:ok da:slow db:ok | |"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(verdicts_of(assess_links(measures_of(c.measures), 4, c.rule)), c.want) << c.name;
  const LinkQuality none = assess_links({}, 3, {});
  EXPECT_TRUE(none.links.empty());
  EXPECT_FALSE(none.median_mbps);
  EXPECT_EQ(*assess_links(measures_of("ab 10 1; ba 30 3"), 2, {}).median_mbps, 20);
}

// "ab cd": links (a to b, c to d) in the order given.
std::vector<HostPair> pairs_of(const std::string &text) {
  std::vector<HostPair> out;
  std::istringstream words(text);
  for (std::string word; words >> word;)
    out.emplace_back(word[0] - 'a', word[1] - 'a');
  return out;
}

// Jobs as "ab cd; ae": the links of each job, jobs apart by ';'.
std::string jobs_text(const std::vector<std::vector<HostPair>> &jobs) {
  std::string out;
  for (const auto &job : jobs) {
    out += out.empty() ? "" : "; ";
    for (std::size_t i = 0; i < job.size(); ++i)
      out += std::string(i == 0 ? "" : " ") + char('a' + job[i].first) + char('a' + job[i].second);
  }
  return out;
}

TEST(SlowRule, PacksRetestsHostsApart) {
  const struct {
    const char *links;
    const char *want;
  } cases[] = {
      {"", ""},
      {"ab", "ab"},
      {"ab cd ef", "ab cd ef"},
      {"ab ba", "ab; ba"},
      {"ab ac ad cd", "ab cd; ac; ad"},
      {"ab bc cd da", "ab cd; bc da"},
      {"ab ca cb", "ab; ca; cb"},
  };
  for (const auto &c : cases) {
    const auto jobs = pack_links(pairs_of(c.links));
    EXPECT_EQ(jobs_text(jobs), c.want) << c.links;
    for (const auto &job : jobs) { // no host in two pairs of a job
      std::set<HostIndex> hosts;
      for (const auto &[sender, receiver] : job)
        EXPECT_TRUE(hosts.insert(sender).second && hosts.insert(receiver).second) << c.links;
    }
  }
}

TEST(SlowRule, SwitchShares) {
  const struct {
    SwitchLinks links;
    bool looks_slow;
    bool slow;
  } cases[] = {
      {{20, 12, 4, 0, 8, 8, 0, 8}, true, true},
      {{20, 10, 4, 0, 8, 8, 0, 8}, false, false}, // half is not most
      {{20, 12, 4, 2, 8, 8, 0, 8}, false, false}, // half its own links too: its hosts
      {{20, 12, 0, 0, 8, 8, 0, 8}, false, false}, // no link inside to tell
      {{20, 12, 4, 1, 7, 7, 0, 7}, true, false},  // sample short, more look slow
      {{10, 6, 4, 1, 6, 6, 0, 6}, true, true},    // every one that looks slow re-tested
      {{20, 12, 4, 0, 8, 8, 1, 7}, true, false},  // a sampled link re-tested once
      {{20, 12, 4, 0, 8, 4, 0, 4}, true, false},  // half the sample slow
      {{20, 12, 4, 0, 8, 5, 0, 5}, true, true},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(switch_looks_slow(cases[i].links), cases[i].looks_slow) << "case " << i;
    EXPECT_EQ(switch_is_slow(cases[i].links), cases[i].slow) << "case " << i;
  }
}

// Hosts a ... j; s0 has a, b, c below it, under a top switch of all.
SwitchTree three_below(HostIndex hosts) {
  SwitchTree tree;
  tree.names = {"s0", "top"};
  tree.parent = {1, -1};
  tree.below = {{0, 1, 2}, {}};
  tree.leaf.assign(static_cast<std::size_t>(hosts), 1);
  for (HostIndex h = 0; h < hosts; ++h)
    tree.below[1].push_back(h);
  tree.leaf[0] = tree.leaf[1] = tree.leaf[2] = 0;
  return tree;
}

// Every ordered link among hosts, at 100 MB/s but slow ones at 10.
std::string sweep_of(HostIndex hosts, const std::set<std::string> &slow) {
  std::string out;
  for (HostIndex i = 0; i < hosts; ++i) {
    for (HostIndex j = 0; j < hosts; ++j) {
      const std::string link{static_cast<char>('a' + i), static_cast<char>('a' + j)};
      if (i != j)
        out += (out.empty() ? "=" : "; =") + link + (slow.count(link) != 0 ? " 10 10" : " 100 10");
    }
  }
  return out;
}

TEST(SlowRule, SlowSwitch) {
  constexpr HostIndex hosts = 10;
  const SwitchTree tree = three_below(hosts);
  std::set<std::string> across; // s0's links to hosts elsewhere
  for (char a = 'a'; a <= 'c'; ++a)
    for (char b = 'd'; b < 'a' + hosts; ++b)
      across.insert({std::string{a, b}, std::string{b, a}});
  // Re-tests as pairdot-run runs them: packed, every measure as the link measures.
  const auto retest = [&](std::string measures, const std::set<std::string> &slow, int &jobs) {
    for (int round = 0; round < 4; ++round) {
      const auto packed =
          pack_links(slow_to_retest(assess_links(measures_of(measures), hosts, {}, tree), tree));
      for (const auto &job : packed) {
        ++jobs;
        for (std::size_t i = 0; i < job.size(); ++i) {
          const std::string link{char('a' + job[i].first), char('a' + job[i].second)};
          measures += std::string(i == 0 ? "; " : "; =") + link +
                      (slow.count(link) != 0 ? " 10 10 *" : " 100 10 *");
        }
      }
    }
    return assess_links(measures_of(measures), hosts, {}, tree);
  };
  int jobs = 0;
  const LinkQuality uplink = retest(sweep_of(hosts, across), across, jobs);
  EXPECT_EQ(uplink.slow_switches, std::vector<int>{0});
  EXPECT_TRUE(uplink.slow_hosts.empty());
  for (const LinkProbe &link : uplink.links) // none is a slow link of its own
    EXPECT_TRUE(link.verdict != ProbeVerdict::slow || link.slow_switch == 0);
  EXPECT_LE(jobs, 2 * 3) << "a sample of its links, not all " << across.size();

  // Contention in the sweep only: the sample is fast, every link re-tested.
  jobs = 0;
  const LinkQuality contended = retest(sweep_of(hosts, across), {}, jobs);
  EXPECT_TRUE(contended.slow_switches.empty());
  EXPECT_TRUE(slow_to_retest(contended, tree).empty());
  for (const LinkProbe &link : contended.links)
    EXPECT_EQ(link.verdict, ProbeVerdict::ok);

  // One slow link across: a slow link, not a switch.
  jobs = 0;
  const LinkQuality one = retest(sweep_of(hosts, {"ad"}), {"ad"}, jobs);
  EXPECT_TRUE(one.slow_switches.empty());
  EXPECT_EQ(jobs, 2);
  for (const LinkProbe &link : one.links)
    EXPECT_EQ(link.verdict == ProbeVerdict::slow, link.sender == 0 && link.receiver == 3);
}

// Three hosts of a report, every link probed: a -> b slow alone.
RunReport probed_report() {
  const std::vector<LinkMeasure> measures =
      measures_of("ab 10 10; ba 100 10; ac 100 10; ca 100 10; bc 100 10; cb x; ab 11 10 **");
  report_jobs::Jobs jobs;
  for (const LinkMeasure &m : measures)
    jobs.emplace_back(JobKind::single, std::string{char('a' + m.sender), char('a' + m.receiver),
                                                   m.line.failed_size ? '-' : '+'});
  RunReport report = report_jobs::make_report({"a", "b", "c"}, jobs);
  for (std::size_t j = 0; j < measures.size(); ++j) {
    PairOutcome &pair = report.jobs[j].pairs[0];
    pair.probe = measures[j].line;
    if (!pair.verified)
      pair.problem = "fails from 4 KiB: " + measures[j].line.problem;
  }
  diagnose(report);
  return report;
}

TEST(SlowRule, ReportsNameSlowLinks) {
  const RunReport report = probed_report();
  using Links = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(report.slow_links, (Links{{"a", "b"}}));
  EXPECT_EQ(detail::matrix_rows(report), (std::vector<std::string>{".s+", "+.+", "+x."}));
  EXPECT_NE(terminal_matrix(report).find("s slow"), std::string::npos);
  EXPECT_EQ(report.verdict, pairdot_model::RunVerdict::fault);

  const nlohmann::json json = nlohmann::json::parse(json_text(report));
  EXPECT_EQ(json["slow_links"], nlohmann::json::parse(R"([{"sender":"a","receiver":"b"}])"));
  EXPECT_EQ(json["probe"]["median_mbps"], 100);
  // Only the slow and failed links are listed, the rest counted.
  const nlohmann::json &links = json["probe"]["links"];
  ASSERT_EQ(links.size(), 2U);
  EXPECT_EQ(json["probe"]["links_measured"], 6);
  EXPECT_EQ(json["probe"]["links_not_listed"], 4);
  EXPECT_EQ(links[0]["probe"]["verdict"], "slow");
  EXPECT_EQ(links[0]["probe"]["percent_of_median"], 11);
  EXPECT_EQ(links[1]["status"], "failed"); // c -> b
  EXPECT_EQ(links[1]["probe"]["failed_size"], 4096);
  EXPECT_EQ(links[1]["probe"]["bandwidth_mbps"][2], nullptr);

  tinyxml2::XMLDocument junit;
  ASSERT_EQ(junit.Parse(junit_xml(report).c_str()), tinyxml2::XML_SUCCESS);
  std::vector<std::string> slow_cases;
  for (const auto *c : junit_walk::cases(junit)) {
    if (const auto *failure = c->FirstChildElement("failure");
        failure != nullptr && std::string(failure->Attribute("message")) == "slow")
      slow_cases.emplace_back(c->Attribute("name"));
  }
  EXPECT_EQ(slow_cases, std::vector<std::string>{"link a -> b"});

  const std::string html = html_page(report);
  EXPECT_NE(html.find("% of the median link"), std::string::npos);
  EXPECT_NE(html.find("a -&gt; b: 11.0 MB/s at 16 MiB (11 % of the median link)"),
            std::string::npos);
}

TEST(SlowRule, JournalKeepsProbes) {
  const RunReport report = probed_report();
  const test_support::TempDir temp;
  const std::string &dir = temp.path;
  const std::string file = dir + "/jobs.jsonl";
  for (const JobOutcome &job : report.jobs) {
    std::filesystem::remove(file);
    append_journal(dir, job);
    const std::vector<JobOutcome> back = read_journal(file);
    ASSERT_EQ(back.size(), 1U);
    ASSERT_TRUE(back[0].pairs[0].probe);
    EXPECT_EQ(pairdot_probe::format_probe_line(*back[0].pairs[0].probe),
              pairdot_probe::format_probe_line(*job.pairs[0].probe));
  }
  // A probe line of another pair, or none, is refused by name.
  const std::string good = journal_line(report.jobs[0]);
  for (const auto &[from, to] : std::vector<std::pair<std::string, std::string>>{
           {"\"probe 0 ; 1:", "\"probe 2 ; 3:"},
           {"\"probes\":{\"0\":\"probe", "\"probes\":{\"0\":\"prob"}}) {
    std::string bad = good;
    bad.replace(bad.find(from), from.size(), to);
    std::ofstream(file) << bad << "\n";
    EXPECT_NE(test_support::error_of([&] { read_journal(file); }).find("probes.0"),
              std::string::npos)
        << bad;
  }
}

} // namespace
