// The report library: the link diagnosis, and JSON, journal, JUnit, HTML,
// terminal and directory output built from it.

#include "cli_run.hpp"
#include "junit_walk.hpp"
#include "report_jobs.hpp"
#include "report_lists.hpp"
#include "report_text.hpp"
#include "test_support.hpp"
#include "writers.hpp"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace {

using namespace pairdot_model;   // NOLINT(google-build-using-namespace)
using namespace pairdot_writers; // NOLINT(google-build-using-namespace)
using nlohmann::json;
using test_support::error_of;
using test_support::TempDir;
using namespace report_jobs; // NOLINT(google-build-using-namespace)
using LinkNames = std::vector<std::pair<std::string, std::string>>;
constexpr JobKind sweep = JobKind::sweep;

// The matrix rows, a space between.
std::string link_marks(const RunReport &report) {
  std::string marks;
  for (const std::string &row : detail::matrix_rows(report))
    marks += (marks.empty() ? "" : " ") + row;
  return marks;
}

// Each two letters a link's names.
LinkNames links_of(const std::string &text) {
  LinkNames links;
  std::istringstream words(text);
  for (std::string link; words >> link;)
    links.emplace_back(link.substr(0, 1), link.substr(1, 1));
  return links;
}

struct JunitCounts {
  int suites = 0;
  int cases = 0;
  int failures = 0;
  int skipped = 0;
  int system_errs = 0;
};

// Counts what the file holds, checking every count it states on the way.
JunitCounts junit_counts(const std::string &xml) {
  using junit_walk::children;
  tinyxml2::XMLDocument doc;
  EXPECT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS);
  const tinyxml2::XMLElement *root = doc.FirstChildElement("testsuites");
  JunitCounts counts;
  for (const auto *suite : children(root, "testsuite")) {
    const auto tests = static_cast<int>(children(suite, "testcase").size());
    int failures = 0;
    int skipped = 0;
    for (const auto *test : children(suite, "testcase")) {
      failures += static_cast<int>(children(test, "failure").size());
      skipped += static_cast<int>(children(test, "skipped").size());
    }
    EXPECT_EQ(tests, suite->IntAttribute("tests"));
    EXPECT_EQ(failures, suite->IntAttribute("failures"));
    EXPECT_EQ(skipped, suite->IntAttribute("skipped"));
    ++counts.suites;
    counts.cases += tests;
    counts.failures += failures;
    counts.skipped += skipped;
    counts.system_errs += static_cast<int>(children(suite, "system-err").size());
  }
  EXPECT_EQ(counts.cases, root->IntAttribute("tests"));
  EXPECT_EQ(counts.failures, root->IntAttribute("failures"));
  EXPECT_EQ(counts.skipped, root->IntAttribute("skipped"));
  return counts;
}

struct Scenario {
  const char *name;
  const char *hosts;
  const char *jobs;
  std::string links; // as link_marks: sender by sender, "." for itself
  const char *suspect_hosts;
  const char *suspect_links;
  const char *listed; // failed links report.json lists with their sightings
  int failures;       // junit.xml's: the suspects, and failed pairs no suspect explains
};

RunReport report_of(const Scenario &scenario) {
  return make_report(hosts_of(scenario.hosts), jobs_of(scenario.jobs));
}

const std::vector<Scenario> &scenarios() {
  static const std::vector<Scenario> all = {
      {"all verified", "abc", "s ab+ bc+ ca+; s ba+ cb+ ac+", ".++ +.+ ++.", "", "", "", 0},
      {"link a-b cut both ways", "abcd",
       "s ab- cd-; s ba- dc+; s ac+ bd+ ca+ db+; s ad+ bc+ da+ cb+; i ab-; i cd+; i ba-",
       ".x++ x.++ ++.c +++.", "", "ab ba", "ab ba", 2},
      {"host d cut off", "abcd",
       "s ab+ cd-; s ba+ dc-; s ac- bd-; s ca+ db-; s ad- bc+; s da- cb+; i cd-; i dc-; i ac+; "
       "i bd-; i db-; i ad-; i da-",
       ".+cx +.+x ++.x xxx.", "d", "", "ad bd cd da", 1},
      {"c->a failed beside others only: not blamed, not covered", "abc",
       "s ab+ bc+; s ba+ cb+; s ca- ab+", ".+? +.+ ?+.", "", "", "", 1},
      {"two hosts, failed link", "ab", "1 ab-", ".x ?.", "ab", "", "ab", 2},
      {"Slurm would not use c after its first job", "abc",
       "s bc+; s cb- !c; s ab+ ba+; s ac- ca- !c; i cb- !c", ".+? +.+ ??.", "c", "", "", 1},
      {"d starts alone, never beside others: it cannot run beside others", "abcd",
       "s ab- cd- ^d; h @d; s ac- bd- ^d; h @d; s ad- bc- ^d; s ab+ ba+ ac+ ca+ bc+ cb+",
       ".++x +.+x ++.x xxx.", "d", "", "ad bd cd", 1},
      {"d missing twice, then beside others: nothing against it", "abcd",
       "s ab- cd- ^d; h @d; s ac- bd- ^d; h @d; s ad+ bc+; s ab+ ba+ ac+ ca+ bc+ cb+",
       ".+++ +.+? ++.? ???.", "", "", "", 4},
      {"d missing three times, never tested alone: not judged", "abcd",
       "s ab- cd- ^d; s ac- bd- ^d; s ad- bc- ^d", ".??? ?.?? ??.? ???.", "", "", "", 6},
      {"c verified after Slurm would not use it", "abc", "s ca- !c; s ab+ ba+ ac+ ca+ bc+ cb+",
       ".++ +.+ ++.", "", "", "", 1},
  };
  return all;
}

TEST(Diagnose, Scenarios) {
  for (const Scenario &scenario : scenarios()) {
    const RunReport report = report_of(scenario);
    EXPECT_EQ(link_marks(report), scenario.links) << scenario.name;
    EXPECT_EQ(report.suspect_hosts, hosts_of(scenario.suspect_hosts)) << scenario.name;
    EXPECT_EQ(report.suspect_links, links_of(scenario.suspect_links)) << scenario.name;
    std::string listed;
    const json written = json::parse(json_text(report));
    for (const json &link : written["failed_links"])
      listed += (listed.empty() ? "" : " ") + link["sender"].get<std::string>() +
                link["receiver"].get<std::string>();
    EXPECT_EQ(listed, scenario.listed) << scenario.name;
    EXPECT_EQ(written.at("cannot_run"), json(report.cannot_run)) << scenario.name;
    EXPECT_EQ(written.at("cannot_join"), json(report.cannot_join)) << scenario.name;
    EXPECT_EQ(junit_counts(junit_xml(report)).failures, scenario.failures) << scenario.name;
  }
}

TEST(Diagnose, CountsAndSeenEntries) {
  const RunReport report = make_report(
      {"a", "b"}, {{sweep, "ab- ab+ ab+ ab+ ab+ ab+ ab+ ab+ ab+ ab+"}, {sweep, "aa- ax- ba+"}});
  ASSERT_EQ(report.troubled.size(), 1U); // same host and unknown hosts left out
  const LinkDetail &ab = report.troubled[0];
  EXPECT_EQ(ab.sender + ab.receiver, "ab");
  EXPECT_EQ(ab.verified_pairs, 9);
  EXPECT_EQ(ab.failed_pairs, 1);
  const std::vector<std::string> seen = detail::seen_lines(ab);
  ASSERT_EQ(seen.size(), 9U);
  EXPECT_EQ(seen[0], "job 1 (sweep), pair 0 ; 1: no result");
  EXPECT_EQ(seen[1], "job 1 (sweep), pair 2 ; 3: verified");
  EXPECT_EQ(seen[8], "... 2 more");
}

// A report with free text everywhere, for the output formats.
RunReport text_report() {
  RunReport report = report_of(scenarios()[2]);
  report.jobs[0].messages = {"rank 3: no result", "warning: slow"};
  report.jobs[1].not_started = {2, 3};
  JobOutcome not_started = make_job(14, JobKind::single, "!d");
  not_started.messages = {"no mpiexec"};
  JobOutcome did_not_end = make_job(15, JobKind::single, "ab+");
  did_not_end.status = JobStatus::did_not_end;
  did_not_end.messages = {"killed"};
  report.jobs.insert(report.jobs.end(), {not_started, did_not_end});
  return report;
}

void expect_same(const JobOutcome &got, const JobOutcome &want) {
  const auto fields = [](const JobOutcome &job) {
    return std::tie(job.number, job.kind, job.status, job.seconds, job.placement, job.rank_hosts,
                    job.not_started, job.messages, job.unavailable_hosts);
  };
  EXPECT_TRUE(fields(got) == fields(want)) << "job " << want.number;
  ASSERT_EQ(got.pairs.size(), want.pairs.size()) << "job " << want.number;
  for (std::size_t k = 0; k < want.pairs.size(); ++k) {
    const PairOutcome &a = got.pairs[k];
    const PairOutcome &b = want.pairs[k];
    EXPECT_EQ(std::tie(a.even_rank, a.sender, a.receiver, a.verified, a.problem),
              std::tie(b.even_rank, b.sender, b.receiver, b.verified, b.problem))
        << "job " << want.number << " pair " << k;
  }
}

TEST(Journal, RoundTripSkipsATornLastLine) {
  std::vector<JobOutcome> jobs = text_report().jobs;
  JobOutcome &odd = jobs[2];
  odd.rank_hosts[0] = odd.pairs[0].sender = "n\"\\é</script>";
  odd.pairs[0].problem = "line\nbreak\ttab {\"x\": 1}";
  odd.messages = {"", "ünï \x01"};
  odd.placement = "a:1\nb:1\n";
  odd.seconds = 1.0 / 3;
  const TempDir temp;
  const std::string &dir = temp.path;
  const std::string path = dir + "/jobs.jsonl";
  for (std::size_t half = 0; half < 2; ++half) {
    for (std::size_t i = half * jobs.size() / 2; i < (half + 1) * jobs.size() / 2; ++i)
      append_journal(dir, jobs[i]);
    const std::string line = journal_line(jobs[0]); // a crash mid-line
    std::ofstream(path, std::ios::app) << line.substr(0, line.size() / 2);
  }
  std::vector<JobOutcome> back = read_journal(path);
  ASSERT_EQ(back.size(), jobs.size());
  for (std::size_t i = 0; i < back.size(); ++i)
    expect_same(back[i], jobs[i]);
  JobOutcome invalid = jobs[0];
  invalid.messages = {"bad \xff byte"};
  EXPECT_EQ(journal_line(invalid).find('\n'), journal_line(invalid).size() - 1);
  append_journal(dir, invalid);
  EXPECT_EQ(read_journal(path).back().messages, Names{"bad ? byte"});
  std::ofstream(path, std::ios::app) << "{\"number\":\n"; // a last line not written whole
  EXPECT_EQ(read_journal(path).size(), jobs.size() + 1);
  EXPECT_NE(error_of([&] { read_journal(dir + "/none"); }).find("cannot read"), std::string::npos);
  EXPECT_THROW(append_journal(dir + "/none/sub", jobs[0]), std::runtime_error);
}

TEST(Journal, NamesTheLineOfAFault) {
  const std::string good = journal_line(make_job(1, sweep, "ab+ cd- ef+"));
  const std::vector<std::pair<std::pair<std::string, std::string>, std::string>> faults = {
      {{"\"sweep\"", "\"sweeps\""}, "field kind"},
      {{"\"failed\"", "\"bad\""}, "field status"},
      {{"\"+-+\"", "\"+-\""}, "field pairs"},
      {{"\"+-+\"", "\"+-?\""}, "field pairs"},
      {{"\"2\":", "\"0\":"}, "problems.0"},
      {{"\"2\":", "\"02\":"}, "problems.02"},
      {{"\"not_started\":[]", "\"not_started\":[6]"}, "not_started[0]"},
      {{"\"number\":1", "\"number\":\"1\""}, "field number"},
      {{"\"hosts\"", "\"host\""}, "missing field hosts"},
      {{"{", "["}, "not a JSON line"},
  };
  const TempDir temp;
  const std::string &dir = temp.path;
  for (const auto &[change, message] : faults) {
    std::string bad = good;
    const std::size_t at = bad.find(change.first);
    ASSERT_NE(at, std::string::npos) << change.first;
    bad.replace(at, change.first.size(), change.second);
    std::ofstream(dir + "/jobs.jsonl") << good << bad << good;
    const std::string error = error_of([&] { read_journal(dir + "/jobs.jsonl"); });
    EXPECT_NE(error.find(dir + "/jobs.jsonl:2: "), std::string::npos) << error;
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
}

// --resume reads the hosts of report.json; a fault names the field.
TEST(Json, ReadsTheHostsOfAReport) {
  const json good =
      json::parse(R"({"hosts": [{"name": "a", "slots": 2}, {"name": "b", "slots": 1}]})");
  const std::vector<pairdot_hosts::Host> hosts = report_hosts(good);
  ASSERT_EQ(hosts.size(), 2U);
  EXPECT_EQ(hosts[1].name, "b");
  EXPECT_EQ(hosts[1].slots, 1);
  const std::vector<std::pair<std::string, std::string>> faults = {
      {"/hosts", "missing field hosts"},
      {"/hosts/1/slots", "field hosts[1].slots is not an integer"},
      {"/hosts/0/name", "missing field hosts[0].name"}};
  for (const auto &[where, message] : faults) {
    json bad = good;
    const json::json_pointer pointer(where);
    if (where.find("slots") != std::string::npos)
      bad[pointer] = "wrong";
    else
      bad[pointer.parent_pointer()].erase(pointer.back());
    const std::string error = error_of([&bad] { report_hosts(bad); });
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
}

// Hosts n0 .. n(hosts - 1) in a ring, each pair in its own job; the pairs
// from hosts 0 and 1 modulo `failing` fail, so that hosts 1 modulo `failing`
// are suspect; one job of `extra` pairs more, failed if `extra_fails`.
RunReport ring_report(int hosts, int failing, int extra, bool extra_fails = false) {
  Names names;
  Jobs jobs;
  for (int host = 0; host < hosts; ++host)
    names.push_back("n" + std::to_string(host));
  for (int host = 0; host < hosts; ++host) {
    const bool fails = failing > 0 && host % failing < 2;
    jobs.emplace_back(JobKind::single, names[static_cast<std::size_t>(host)] + ">" +
                                           names[static_cast<std::size_t>((host + 1) % hosts)] +
                                           (fails ? "-" : "+"));
  }
  jobs.emplace_back(sweep, "");
  RunReport report = make_report(names, jobs);
  report.jobs.back().pairs.assign(static_cast<std::size_t>(extra),
                                  PairOutcome{0, "n1", "n2", !extra_fails, "", std::nullopt, {}});
  return report;
}

// report.json read back: the matrix, the counts and the jobs agree with the report.
TEST(Json, ReadBackAgreesWithTheReport) {
  const RunReport report = text_report();
  const json written = json::parse(json_text(report));
  EXPECT_EQ(written["links"]["rows"], json(detail::matrix_rows(report)));
  const std::map<std::string, int> summary = {{"links_failed", 6},  {"jobs", 15},
                                              {"sweep_jobs", 6},    {"extra_jobs", 7},
                                              {"failed_pairs", 13}, {"links_collateral", 1}};
  for (const auto &[key, value] : summary)
    EXPECT_EQ(written["summary"][key], value) << key;
  // d's six failed links: four listed with their sightings (d -> a last).
  ASSERT_EQ(written["failed_links"].size(), 4U);
  EXPECT_EQ(written["failed_links_not_listed"], 2);
  const LinkDetail &da = *std::find_if(report.troubled.begin(), report.troubled.end(),
                                       [](const LinkDetail &l) { return l.sender == "d"; });
  EXPECT_EQ(written["failed_links"].back(), json({{"sender", "d"},
                                                  {"receiver", "a"},
                                                  {"verified_pairs", da.verified_pairs},
                                                  {"failed_pairs", da.failed_pairs},
                                                  {"seen", detail::seen_lines(da)}}));
  const json &job = written["jobs"][0];
  EXPECT_EQ(job["failed_pair_count"], 1);
  EXPECT_EQ(job["failed_pairs"], json::parse(R"([{"ranks": [2, 3], "sender": "c",
      "receiver": "d", "problem": "no result"}])"));
  // Many failed pairs are counted only.
  const json many = to_json(ring_report(3, 0, 17, true))["jobs"].back();
  EXPECT_EQ(many["failed_pair_count"], 17);
  EXPECT_FALSE(many.contains("failed_pairs"));
  EXPECT_EQ(job["ranks"], 4);
  EXPECT_FALSE(job.contains("placement"));
  EXPECT_FALSE(job.contains("not_started_hosts"));
  EXPECT_EQ(written["jobs"][1]["not_started_hosts"], json::array({"d", "c"})); // ranks 2, 3
  EXPECT_EQ(written["jobs"][13]["unavailable_hosts"], json::array({"d"}));
  const std::vector<std::pair<RunReport, const char *>> verdicts = {
      {report_of(scenarios()[0]), "verified"},
      {make_report({"a", "b", "c"}, {{sweep, "ab+ bc+"}}), "incomplete"},
      {report, "fault"},
      {make_report({"a"}, {{JobKind::single, "aa-"}}), "fault"},
      // Every link verified, then Slurm would not use b: b is suspect. pairdot-run's
      // exit status came from the links alone and said 0 under this fault.
      {make_report({"a", "b"}, {{sweep, "ab+ ba+"}, {JobKind::isolation, "!b"}}), "fault"}};
  for (const auto &[run, verdict] : verdicts)
    EXPECT_EQ(to_json(run)["verdict"], verdict) << json_text(run);
  const RunReport unavailable = verdicts.back().first;
  EXPECT_EQ(count_links(unavailable).verified, 2);
  EXPECT_EQ(unavailable.verdict, pairdot_model::RunVerdict::fault);
}

TEST(Junit, SmallAndLargeRuns) {
  const JunitCounts small = junit_counts(junit_xml(text_report()));
  // 20 pairs, 13 failed, all but job 2's lost to suspect host d (job 2's
  // rank on c never started); "not started" adds a job case; the suspects
  // suite a case for host d; jobs 1, 14 and 15 have messages.
  EXPECT_EQ(std::tie(small.suites, small.cases, small.failures, small.skipped, small.system_errs),
            std::make_tuple(16, 22, 2, 13, 3));
  tinyxml2::XMLDocument doc;
  doc.Parse(junit_xml(text_report()).c_str());
  const auto *second =
      doc.RootElement()->FirstChildElement()->FirstChildElement()->NextSiblingElement();
  EXPECT_STREQ(second->Attribute("name"), "pair 2 ; 3 (c -> d)");
  EXPECT_STREQ(second->FirstChildElement("skipped")->Attribute("message"),
               "lost to a suspect: no result");
  struct Case {
    int hosts, failing, extra;
    bool extra_fails;
    JunitCounts want;
  };
  const Case cases[] = {
      // 64 hosts: a case per pair; a failure per suspect host.
      {64, 4, 100, false, {66, 164 + 16, 16, 32, 0}},
      // 65 hosts: a "verified pairs" case per job, a "failed pairs" case per
      // job with failed pairs; 13 suspect hosts.
      {65, 5, 100, false, {67, 66 + 26 + 13, 13, 26, 0}},
      // 20,001 pairs over 3 hosts: large too; a passing "no suspect" case.
      {3, 0, 19998, false, {5, 5, 0, 0, 0}},
      // Failed pairs no suspect explains fail.
      {3, 0, 19998, true, {5, 6, 1, 0, 0}},
  };
  const auto counts = [](const JunitCounts &c) {
    return std::tie(c.suites, c.cases, c.failures, c.skipped);
  };
  for (const Case &c : cases) {
    const RunReport report = ring_report(c.hosts, c.failing, c.extra, c.extra_fails);
    EXPECT_TRUE(counts(junit_counts(junit_xml(report))) == counts(c.want)) << c.hosts;
  }
}

using report_lists::occurrences;

TEST(Matrix, HtmlAndTerminalCellsMatchLinks) {
  for (const Scenario &scenario : scenarios()) {
    const RunReport report = report_of(scenario);
    std::string marks; // with the diagonal
    for (const std::string &row : detail::matrix_rows(report))
      marks += row;
    const std::string page = html_page(report);
    EXPECT_EQ(occurrences(page, "class=\"cell "), marks.size()) << scenario.name;
    for (const detail::CellLook &look : detail::cell_looks)
      EXPECT_EQ(occurrences(page, "class=\"cell " + std::string(look.css) + "\""),
                static_cast<std::size_t>(std::count(marks.begin(), marks.end(), look.mark)))
          << scenario.name << " " << look.css;
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

TEST(Matrix, Escaping) {
  const std::string name = "<b>\"x\"&'y'</b></script>";
  RunReport report = make_report({"a", "b"}, {{sweep, "ab+"}});
  report.hosts[1].name = name;
  report.jobs[0].pairs[0].receiver = name;
  report.jobs[0].pairs[0].verified = false;
  report.jobs[0].messages = {name};
  diagnose(report);
  const std::string xml = junit_xml(report);
  EXPECT_EQ(xml.find("<b>"), std::string::npos);
  tinyxml2::XMLDocument doc;
  ASSERT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS);
  EXPECT_STREQ(doc.RootElement()->FirstChildElement()->FirstChildElement()->Attribute("name"),
               ("pair 0 ; 1 (a -> " + name + ")").c_str());
  EXPECT_EQ(json::parse(json_text(report))["hosts"][1]["name"], name);
  for (int hosts : {2, 65}) { // table, canvas
    report.hosts.resize(static_cast<std::size_t>(hosts), Host{"h", 1});
    const std::string page = html_page(report);
    EXPECT_EQ(page.find("<b>"), std::string::npos) << hosts;
    EXPECT_EQ(occurrences(page, "</script"), hosts > 64 ? 1U : 0U) << hosts;
    EXPECT_NE(page.find(hosts > 64 ? "\\u003cb>" : "&lt;b&gt;&quot;x&quot;&amp;&#39;y&#39;"),
              std::string::npos)
        << hosts;
  }
}

TEST(Matrix, LargeClusters) {
  RunReport report = ring_report(1000, 100, 0);
  const std::string page = html_page(report);
  EXPECT_LT(page.size(), 5U << 20);
  EXPECT_EQ(occurrences(page, "<canvas"), 1U);
  EXPECT_EQ(occurrences(page, "class=\"cell"), 0U);
  const std::vector<std::string> rows = detail::matrix_rows(report);
  EXPECT_EQ(occurrences(page, "\"" + rows[1] + "\""), 1U);
  EXPECT_EQ(occurrences(page, "<li>n"), 10U); // the suspects: n1, n101, ...
  EXPECT_EQ(terminal_matrix(report), "");
  report.hosts.resize(32);
  diagnose(report);
  EXPECT_EQ(occurrences(terminal_matrix(report), "\n"), 34U);
}

// Dark hosts, suspect switches and groups, in every report; hosts by switch.
TEST(Suspects, SwitchesGroupsAndDarkHosts) {
  RunReport report = report_of(scenarios()[2]); // d suspect
  report.switches = {{"leaf0", "leaf1"}, {-1, -1}, {{1, 3}, {0, 2}}, {1, 0, 1, 0}};
  report.suspect_switches = {"leaf1"}; // a and c
  report.suspect_groups = {{"a", "b"}};
  report.dark = {"b"};
  const json written = json::parse(json_text(report));
  EXPECT_EQ(written["suspect_switches"], json::array({"leaf1"}));
  EXPECT_EQ(written["suspect_groups"], json::array({json::array({"a", "b"})}));
  EXPECT_EQ(written["dark"], json::array({"b"}));
  EXPECT_EQ(written["hosts"][0]["switch"], "leaf1");
  const std::string page = html_page(report);
  const std::vector<std::pair<std::string, Names>> reports = {
      {junit_xml(report),
       {"name=\"host b\"", "<failure message=\"starts, but reaches no other host\"",
        "name=\"switch leaf1\"", "name=\"group a, b\"",
        "<failure message=\"these hosts reach each other but no host outside\""}},
      {page,
       {"b: starts, but reaches no other host", "leaf1: the hosts below it reach each other",
        "a, b: these hosts reach each other but no host outside", "dark hosts: 1"}},
      {suspect_lines(report),
       {"suspect host: d\n", "host b starts, but reaches no other host\nsuspect host: d\n",
        "suspect switch: leaf1: the hosts below it",
        "suspect group: a, b: these hosts reach each other but no host outside\n"}},
      {json_text(report),
       {"\"dark\": \"starts, but reaches no other host\"",
        "\"suspect_groups\": \"these hosts reach"}},
  };
  for (const auto &[text, parts] : reports)
    for (const std::string &part : parts)
      EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
  EXPECT_EQ(junit_counts(junit_xml(report)).failures, 4); // d, b, leaf1, a and b
  // leaf0's hosts b and d, then leaf1's a and c, with a line between.
  const std::size_t b = page.find(">b</th>");
  EXPECT_LT(b, page.find(">d</th>"));
  EXPECT_LT(page.find(">d</th>"), page.find("edge suspect\">a</th>"));
  EXPECT_LT(page.find(">a</th>"), page.find(">c</th>"));
}

TEST(ReportDir, WritesFilesOrThrows) {
  const TempDir temp;
  const std::string &base = temp.path;
  const RunReport report = text_report();
  write_report_dir(base + "/out", report);
  const std::pair<const char *, std::string> files[] = {{"report.json", json_text(report)},
                                                        {"junit.xml", junit_xml(report)},
                                                        {"report.html", html_page(report)}};
  for (const auto &[name, want] : files)
    EXPECT_EQ(cli_run::read_file(base + "/out/" + name), want) << name;
  // No temporary is left beside them.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(base + "/out"),
                          std::filesystem::directory_iterator()),
            3);
  std::ofstream(base + "/file") << "x";
  for (const std::string &dir : {base + "/file", base + "/file/sub"})
    EXPECT_THROW(write_report_dir(dir, report), std::runtime_error) << dir;
}

} // namespace
