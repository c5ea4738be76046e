// The report library: the link diagnosis, and JSON, JUnit, HTML, terminal
// and directory output built from it.

#include "run_report.hpp"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

using namespace pairdot_reports;
using nlohmann::json;
using Names = std::vector<std::string>;
using LinkNames = std::vector<std::pair<std::string, std::string>>;

// A job per (kind, pairs); a pair "ab+" has host a send to host b and verify,
// "ab-" fails with "no result"; "!c": Slurm would not use host c, and the job
// did not start.
RunReport make_report(const Names &hosts, const LinkNames &jobs) {
  RunReport report{"pairdot-run", "mpich", {}, {}, {}, {}, {}};
  for (const std::string &host : hosts)
    report.hosts.push_back(Host{host, 2});
  for (const auto &[kind, pairs] : jobs) {
    JobOutcome job;
    job.number = static_cast<int>(report.jobs.size()) + 1;
    job.kind = kind;
    job.status = job_status::verified;
    job.seconds = 0.25 * job.number;
    job.placement = "-hosts " + pairs;
    std::istringstream tokens(pairs);
    for (std::string token; tokens >> token;) {
      if (token[0] == '!') {
        job.unavailable_hosts.push_back(token.substr(1));
        continue;
      }
      const bool verified = token[2] == '+';
      job.pairs.push_back(PairOutcome{static_cast<std::int32_t>(job.rank_hosts.size()),
                                      token.substr(0, 1), token.substr(1, 1), verified,
                                      verified ? "" : "no result"});
      job.rank_hosts.insert(job.rank_hosts.end(), {token.substr(0, 1), token.substr(1, 1)});
      if (!verified)
        job.status = job_status::failed;
    }
    if (!job.unavailable_hosts.empty())
      job.status = job_status::not_started;
    report.jobs.push_back(job);
  }
  diagnose(report);
  return report;
}

// One character per link, in link order: + verified, c verified after
// failing in a sweep, x failed, ? not covered.
std::string link_marks(const RunReport &report) {
  std::string marks;
  for (const Link &link : report.links) {
    marks += link.status == link_status::failed        ? 'x'
             : link.status == link_status::not_covered ? '?'
             : link.collateral                         ? 'c'
                                                       : '+';
  }
  return marks;
}

struct Scenario {
  const char *name;
  Names hosts;
  LinkNames jobs;
  std::string links; // as link_marks
  Names suspect_hosts;
  LinkNames suspect_links;
};

const std::vector<Scenario> &scenarios() {
  static const std::vector<Scenario> all = {
      {"all verified",
       {"a", "b", "c"},
       {{"sweep", "ab+ bc+ ca+"}, {"sweep", "ba+ cb+ ac+"}},
       "++++++",
       {},
       {}},
      {"link a-b cut both ways",
       {"a", "b", "c", "d"},
       {{"sweep", "ab- cd-"},
        {"sweep", "ba- dc+"},
        {"sweep", "ac+ bd+ ca+ db+"},
        {"sweep", "ad+ bc+ da+ cb+"},
        {"isolation", "ab-"},
        {"isolation", "cd+"},
        {"isolation", "ba-"}},
       "x++x++++c+++" /* ab ac ad ba bc bd ca cb cd da db dc */,
       {},
       {{"a", "b"}, {"b", "a"}}},
      {"host d cut off",
       {"a", "b", "c", "d"},
       {{"sweep", "ab+ cd-"},
        {"sweep", "ba+ dc-"},
        {"sweep", "ac- bd-"},
        {"sweep", "ca+ db-"},
        {"sweep", "ad- bc+"},
        {"sweep", "da- cb+"},
        {"isolation", "cd-"},
        {"isolation", "dc-"},
        {"isolation", "ac+"},
        {"isolation", "bd-"},
        {"isolation", "db-"},
        {"isolation", "ad-"},
        {"isolation", "da-"}},
       "+cx++x++xxxx",
       {"d"},
       {}},
      {"a->c never covered, c->a never re-tested",
       {"a", "b", "c"},
       {{"sweep", "ab+ bc+"}, {"sweep", "ba+ cb+"}, {"sweep", "ca-"}},
       "+?++x+",
       {},
       {{"c", "a"}}},
      {"two hosts, failed link", {"a", "b"}, {{"single", "ab-"}}, "x?", {"a", "b"}, {}},
      {"Slurm would not use c after its first job",
       {"a", "b", "c"},
       {{"sweep", "bc+"},
        {"sweep", "cb- !c"},
        {"sweep", "ab+ ba+"},
        {"sweep", "ac- ca- !c"},
        {"isolation", "cb- !c"}},
       "+?++??" /* ab ac ba bc ca cb */,
       {"c"},
       {}},
      {"c verified after Slurm would not use it",
       {"a", "b", "c"},
       {{"sweep", "ca- !c"}, {"sweep", "ab+ ba+ ac+ ca+ bc+ cb+"}},
       "++++++",
       {},
       {}},
  };
  return all;
}

TEST(Diagnose, Scenarios) {
  for (const Scenario &scenario : scenarios()) {
    const RunReport report = make_report(scenario.hosts, scenario.jobs);
    EXPECT_EQ(link_marks(report), scenario.links) << scenario.name;
    EXPECT_EQ(report.suspect_hosts, scenario.suspect_hosts) << scenario.name;
    EXPECT_EQ(report.suspect_links, scenario.suspect_links) << scenario.name;
  }
}

TEST(Diagnose, CountsAndSeenEntries) {
  RunReport report = make_report(
      {"a", "b"}, {{"sweep", "ab- ab+ ab+ ab+ ab+ ab+ ab+ ab+ ab+ ab+"}, {"sweep", "aa- ax- ba+"}});
  report.hosts.push_back(Host{"a", 1}); // named twice: still one host
  diagnose(report);
  ASSERT_EQ(report.links.size(), 2U);
  const Link &ab = report.links[0];
  EXPECT_EQ(ab.sender + ab.receiver, "ab");
  EXPECT_EQ(ab.verified_pairs, 9);
  EXPECT_EQ(ab.failed_pairs, 1);
  EXPECT_EQ(ab.status, link_status::verified);
  EXPECT_TRUE(ab.collateral);
  ASSERT_EQ(ab.seen.size(), 9U);
  EXPECT_EQ(ab.seen[0], "job 1 (sweep), pair 0 ; 1: no result");
  EXPECT_EQ(ab.seen[1], "job 1 (sweep), pair 2 ; 3: verified");
  EXPECT_EQ(ab.seen[8], "... 2 more");
  EXPECT_EQ(report.links[1].seen, Names{"job 2 (sweep), pair 4 ; 5: verified"});
}

// A report with free text everywhere, for the output formats.
RunReport text_report() {
  RunReport report = make_report(scenarios()[2].hosts, scenarios()[2].jobs);
  report.jobs[0].messages = {"rank 3: no result", "warning: slow"};
  report.jobs.push_back(
      JobOutcome{14, "single", {}, "", job_status::not_started, 0, {"no mpiexec"}, {}, {"d"}});
  report.jobs.push_back(
      JobOutcome{15, "single", {"a", "b"}, "", job_status::did_not_end, 9.5, {"killed"}, {}, {}});
  report.jobs.back().pairs.push_back(PairOutcome{0, "a", "b", true, ""});
  return report;
}

std::string load_error(const json &in) {
  try {
    report_from_json(in);
  } catch (const std::runtime_error &error) {
    return error.what();
  }
  return "";
}

TEST(Json, RoundTrip) {
  const RunReport report = text_report();
  const json written = to_json(report);
  const RunReport back = report_from_json(json::parse(written.dump()));
  EXPECT_EQ(to_json(back), written);
  EXPECT_EQ(back.launcher, "mpich");
  EXPECT_EQ(back.jobs[0].messages, report.jobs[0].messages);
  EXPECT_EQ(back.jobs[2].pairs[0].problem, "no result");
  EXPECT_EQ(back.jobs[2].rank_hosts, report.jobs[2].rank_hosts);
  EXPECT_EQ(back.jobs.back().seconds, 9.5);
  EXPECT_EQ(back.jobs[report.jobs.size() - 2].unavailable_hosts, Names{"d"});
  EXPECT_FALSE(written["jobs"][0].contains("unavailable_hosts"));
  EXPECT_TRUE(back.links[1].collateral);
  EXPECT_EQ(back.links[2].seen, report.links[2].seen);
  EXPECT_EQ(back.suspect_hosts, Names{"d"});
  EXPECT_EQ(written["summary"]["links_failed"], 6);
  EXPECT_EQ(written["jobs"][0]["pairs"][1]["ranks"], json::array({2, 3}));
}

TEST(Json, RejectsWrongInput) {
  const json good = to_json(text_report());
  ASSERT_EQ(load_error(good), "");
  const std::vector<std::pair<std::string, std::string>> faults = {
      {"/version", "version 2"},
      {"/jobs", "missing field jobs"},
      {"/hosts/0/slots", "hosts[0].slots"},
      {"/jobs/1/seconds", "jobs[1].seconds"},
      {"/jobs/0/pairs/0/status", "jobs[0].pairs[0].status"},
      {"/links/0/collateral", "links[0]"}};
  for (const auto &[where, message] : faults) {
    json bad = good;
    const json::json_pointer pointer(where);
    if (where == "/version")
      bad[pointer] = 2;
    else if (where == "/jobs" || where == "/hosts/0/slots")
      bad[pointer.parent_pointer()].erase(pointer.back());
    else
      bad[pointer] = "wrong";
    EXPECT_NE(load_error(bad).find(message), std::string::npos) << where << ": " << load_error(bad);
  }
  EXPECT_NE(load_error(json::array()), "");
}

int count(const tinyxml2::XMLElement *parent, const char *name) {
  int n = 0;
  for (const auto *child = parent->FirstChildElement(name); child != nullptr;
       child = child->NextSiblingElement(name))
    ++n;
  return n;
}

TEST(Junit, CountsSuitesCasesAndFailures) {
  const RunReport report = text_report();
  tinyxml2::XMLDocument doc;
  ASSERT_EQ(doc.Parse(junit_xml(report).c_str()), tinyxml2::XML_SUCCESS);
  const tinyxml2::XMLElement *root = doc.FirstChildElement("testsuites");
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(count(root, "testsuite"), 15);
  // 20 pairs, 13 failed; "not started" adds a failing job case.
  EXPECT_EQ(root->IntAttribute("tests"), 21);
  EXPECT_EQ(root->IntAttribute("failures"), 14);
  int cases = 0;
  int failures = 0;
  int system_errs = 0;
  for (const auto *suite = root->FirstChildElement("testsuite"); suite != nullptr;
       suite = suite->NextSiblingElement("testsuite")) {
    EXPECT_EQ(count(suite, "testcase"), suite->IntAttribute("tests"));
    int suite_failures = 0;
    for (const auto *test = suite->FirstChildElement("testcase"); test != nullptr;
         test = test->NextSiblingElement("testcase"))
      suite_failures += count(test, "failure");
    EXPECT_EQ(suite_failures, suite->IntAttribute("failures"));
    cases += count(suite, "testcase");
    failures += suite_failures;
    system_errs += count(suite, "system-err");
  }
  EXPECT_EQ(cases, 21);
  EXPECT_EQ(failures, 14);
  EXPECT_EQ(system_errs, 3); // jobs 1, 14 and 15 have messages
  const auto *first = root->FirstChildElement("testsuite")->FirstChildElement("testcase");
  EXPECT_STREQ(first->NextSiblingElement()->Attribute("name"), "pair 2 ; 3 (c -> d)");
  EXPECT_STREQ(first->NextSiblingElement()->FirstChildElement("failure")->Attribute("message"),
               "no result");
}

std::size_t occurrences(const std::string &text, const std::string &part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

// The cell marks of the link_marks string, as an n x n matrix with '.' on the diagonal.
std::string matrix_marks(const Scenario &scenario) {
  const std::size_t n = scenario.hosts.size();
  std::string marks;
  for (std::size_t at = 0, link = 0; at < n * n; ++at)
    marks += at % (n + 1) == 0 ? '.' : scenario.links[link++];
  return marks;
}

TEST(Matrix, HtmlAndTerminalCellsMatchLinks) {
  const std::vector<std::pair<char, std::string>> classes = {{'.', "self"},
                                                             {'+', "verified"},
                                                             {'c', "verified collateral"},
                                                             {'x', "failed"},
                                                             {'?', "uncovered"}};
  for (const Scenario &scenario : scenarios()) {
    const RunReport report = make_report(scenario.hosts, scenario.jobs);
    const std::string marks = matrix_marks(scenario);
    const std::string page = html_page(report);
    EXPECT_EQ(occurrences(page, "class=\"cell "), marks.size()) << scenario.name;
    for (const auto &[mark, css] : classes) {
      EXPECT_EQ(occurrences(page, "class=\"cell " + css + "\""),
                static_cast<std::size_t>(std::count(marks.begin(), marks.end(), mark)))
          << scenario.name << " " << css;
    }
    std::istringstream lines(terminal_matrix(report));
    std::string line;
    std::getline(lines, line); // legend
    std::getline(lines, line); // column numbers
    std::string cells;
    while (std::getline(lines, line)) {
      std::istringstream words(line);
      std::string word;
      words >> word >> word; // number and name
      while (words >> word)
        cells += word;
    }
    EXPECT_EQ(cells, marks) << scenario.name;
  }
}

TEST(Matrix, EscapingAndSize) {
  const std::string name = "<b>\"x\"&'y'</b>";
  RunReport report = make_report({"a", "b"}, {{"sweep", "ab+"}});
  report.hosts[1].name = name;
  report.jobs[0].pairs[0].receiver = name;
  report.jobs[0].pairs[0].verified = false;
  report.jobs[0].messages = {name};
  diagnose(report);
  const std::string page = html_page(report);
  const std::string xml = junit_xml(report);
  EXPECT_EQ(page.find("<b>"), std::string::npos);
  EXPECT_NE(page.find("&lt;b&gt;&quot;x&quot;&amp;&#39;y&#39;&lt;/b&gt;"), std::string::npos);
  EXPECT_EQ(xml.find("<b>"), std::string::npos);
  tinyxml2::XMLDocument doc;
  ASSERT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS);
  EXPECT_STREQ(doc.RootElement()->FirstChildElement()->FirstChildElement()->Attribute("name"),
               ("pair 0 ; 1 (a -> " + name + ")").c_str());
  EXPECT_EQ(json::parse(to_json(report).dump())["hosts"][1]["name"], name);

  RunReport big;
  for (int host = 0; host < 65; ++host)
    big.hosts.push_back(Host{"n" + std::to_string(host), 1});
  diagnose(big);
  EXPECT_EQ(occurrences(html_page(big), "class=\"cell "), 65U * 65U);
  EXPECT_EQ(terminal_matrix(big), "");
  big.hosts.resize(32);
  diagnose(big);
  EXPECT_EQ(occurrences(terminal_matrix(big), "\n"), 34U);
}

TEST(ReportDir, WritesFilesOrThrows) {
  std::string base = ::testing::TempDir() + "pairdot_reports_XXXXXX";
  ASSERT_NE(::mkdtemp(base.data()), nullptr);
  const RunReport report = text_report();
  write_report_dir(base + "/out", report);
  for (const char *name : {"report.json", "junit.xml", "report.html"}) {
    std::ifstream in(base + "/out/" + name);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_FALSE(text.empty()) << name;
    EXPECT_EQ(text.back(), '\n') << name;
  }
  // No temporary is left beside them.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(base + "/out"),
                          std::filesystem::directory_iterator()),
            3);
  std::ifstream json_file(base + "/out/report.json");
  EXPECT_EQ(to_json(report_from_json(json::parse(json_file))), to_json(report));
  std::ofstream(base + "/file") << "x";
  for (const std::string &dir : {base + "/file", base + "/file/sub"})
    EXPECT_THROW(write_report_dir(dir, report), std::runtime_error) << dir;
}

} // namespace
