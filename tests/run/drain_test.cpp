#include "drain.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace pairdot_run;
using pairdot_launch::NodeState;
using pairdot_launch::SchedulerNode;
using pairdot_model::RunReport;
using Links = std::vector<std::pair<std::string, std::string>>;

// "a>c c>a" as links.
Links links_of(const std::string &text) {
  Links links;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    links.emplace_back(word.substr(0, word.find('>')), word.substr(word.find('>') + 1));
  }
  return links;
}

// Hosts a, b (long name), c: one sweep job over every ordered pair, the
// failed ones failing; leaf0 above a and b; the suspects as the row says.
RunReport report_of(const std::string &failed, const std::string &suspects) {
  RunReport report;
  report.hosts = {{"a", 1}, {"b.cl.example", 1}, {"c", 1}};
  pairdot_model::JobOutcome job;
  job.number = 1;
  job.kind = pairdot_model::JobKind::sweep;
  const Links bad = links_of(failed);
  for (const auto &from : report.hosts) {
    for (const auto &to : report.hosts) {
      const bool fails =
          std::find(bad.begin(), bad.end(), std::pair{from.name, to.name}) != bad.end();
      if (from.name != to.name) {
        job.rank_hosts.insert(job.rank_hosts.end(), {from.name, to.name});
        job.pairs.push_back({static_cast<std::int32_t>(job.rank_hosts.size() - 2),
                             from.name,
                             to.name,
                             !fails,
                             fails ? "wrong product" : "",
                             {},
                             {}});
      }
    }
  }
  job.tested_hosts = pairdot_hosts::names_of(report.hosts);
  job.status = bad.empty() ? pairdot_model::JobStatus::verified : pairdot_model::JobStatus::failed;
  report.jobs = {job};
  pairdot_model::diagnose(report);
  report.switches = {{"leaf0"}, {-1}, {{0, 1}}, {0, 0, -1}};
  report.suspect_hosts = report.dark = report.suspect_switches = {};
  report.suspect_links = {};
  std::istringstream words(suspects); // host:c dark:c link:a>c switch:leaf0
  for (std::string word; words >> word;) {
    const std::string kind = word.substr(0, word.find(':'));
    const std::string name = word.substr(word.find(':') + 1);
    if (kind == "link") {
      report.suspect_links = links_of(name);
    } else {
      (kind == "switch" ? report.suspect_switches
       : kind == "dark" ? report.dark
                        : report.suspect_hosts) = {name};
    }
  }
  return report;
}

std::string shown(const std::vector<NodeAction> &actions) {
  static const char *const kinds[] = {"drain", "resume", "leave"};
  static const char *const causes[] = {"cannot_run", "cannot_join", "dark",
                                       "host",       "link",        "switch"};
  static const char *const whys[] = {
      "", "not_ours", "already_drained", "not_in_scheduler", "scope", "not_all_verified"};
  std::string out;
  for (const NodeAction &a : actions) {
    out += (out.empty() ? "" : " ") + a.node + ":" + kinds[static_cast<int>(a.kind)] + ":" +
           causes[static_cast<int>(a.cause)] + ":" + whys[static_cast<int>(a.why)];
    for (const std::string &peer : a.peers) {
      out += ":" + peer;
    }
  }
  return out;
}

const SchedulerNode idle_a{"a", NodeState::usable, ""};
const SchedulerNode idle_b{"b", NodeState::usable, ""};
const SchedulerNode idle_c{"c", NodeState::usable, ""};
const SchedulerNode ours_b{"b", NodeState::drained, "pairdot: dark host; report /r"};
const SchedulerNode ours_c{"c", NodeState::drained, "pairdot: dark host; report /r"};
const SchedulerNode admin_c{"c", NodeState::drained, "bad DIMM, ticket 42"};
const SchedulerNode down_c{"c", NodeState::down, "Not responding"};

TEST(Drain, DecidesEachNodeOfTheRun) {
  const struct {
    const char *failed, *suspects;
    std::vector<SchedulerNode> nodes;
    const char *drain; // --drain's words; nullptr: no --drain
    bool resume;       // --resume-drained
    const char *want;
  } rows[] = {
      {"c>a", "host:c dark:c", {idle_a, idle_b, idle_c}, "", false, "c:drain:dark:"},
      {"c>a", "host:c", {admin_c}, "hosts", true, "c:leave:host:not_ours"},
      {"c>a", "host:c", {down_c}, "", false, "c:leave:host:not_ours"},
      {"c>a", "host:c", {ours_c}, "", true, "c:leave:host:already_drained"},
      {"c>a", "host:c", {idle_a}, "", false, "c:leave:host:not_in_scheduler"},
      {"c>a", "host:c", {idle_c}, nullptr, true, ""},      // resume alone drains nothing
      {"", "", {admin_c, idle_a}, nullptr, true, ""},      // re-reasoned: the admin's
      {"", "", {ours_b}, nullptr, true, "b:resume:host:"}, // short name, long host
      {"", "", {ours_b}, "", false, ""},                   // not asked to resume
      {"a>c", "", {ours_c}, nullptr, true, "c:leave:host:not_all_verified"},
      {"a>c",
       "link:a>c",
       {idle_a, idle_c},
       "hosts",
       false,
       "a:leave:link:scope:c c:leave:link:scope:a"},
      {"a>c", "link:a>c", {idle_a, idle_c}, "links", false, "a:drain:link::c c:drain:link::a"},
      {"",
       "switch:leaf0",
       {idle_a, idle_b},
       "hosts",
       false,
       "a:leave:switch:scope:leaf0 b:leave:switch:scope:leaf0"},
      {"",
       "switch:leaf0",
       {idle_a, idle_b},
       "switches,hosts",
       false,
       "a:drain:switch::leaf0 b:drain:switch::leaf0"},
  };
  for (const auto &row : rows) {
    std::optional<DrainScope> scope = row.drain ? parse_drain_scope(row.drain) : DrainScope{};
    ASSERT_TRUE(scope) << row.drain;
    scope->resume = row.resume;
    EXPECT_EQ(shown(node_actions(report_of(row.failed, row.suspects), row.nodes, *scope)), row.want)
        << row.failed << " / " << row.suspects << " / " << (row.drain ? row.drain : "-");
  }
}

TEST(Drain, ReasonStartsWithPairdotAndFitsSlurm) {
  const NodeAction link{"c", NodeActionKind::drain, DrainCause::link,
                        std::vector<std::string>(40, "a-long-peer"), LeaveWhy::none};
  for (const std::string &dir : {std::string("/r"), "/" + std::string(400, 'd')}) {
    const std::string reason = drain_reason(link, dir);
    EXPECT_TRUE(is_our_reason(reason)) << reason;
    EXPECT_LE(reason.size(), max_reason_bytes) << reason;
    EXPECT_NE(reason.find("report.json"), std::string::npos) << reason;
  }
  EXPECT_FALSE(parse_drain_scope("hosts,nodes"));
}

TEST(Drain, ReadsSinfoStates) {
  const auto nodes = pairdot_launch::parse_node_states(
      "n1|idle|none\nn2|drained*|pairdot: x|y\nn3|down|Not responding\nn4|maint|none\n");
  ASSERT_EQ(nodes.size(), 4U);
  EXPECT_EQ(nodes[1].reason, "pairdot: x|y");
  const NodeState want[] = {NodeState::usable, NodeState::drained, NodeState::down,
                            NodeState::reserved};
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    EXPECT_EQ(nodes[i].state, want[i]) << nodes[i].name;
  }
}

} // namespace
