#include "drain.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace pairdot_run;
using pairdot_launch::NodeState;
using pairdot_launch::SchedulerNode;
using pairdot_model::RunReport;

// Hosts a, b, c; one sweep job in which every ordered pair ran, those
// named in `failed` failing; then the suspects as the row gives them.
RunReport report_of(const std::vector<std::pair<std::string, std::string>> &failed) {
  RunReport report;
  report.hosts = {{"a", 1}, {"b.cl.example", 1}, {"c", 1}};
  pairdot_model::JobOutcome job;
  job.number = 1;
  job.kind = pairdot_model::JobKind::sweep;
  for (const auto &sender : report.hosts) {
    for (const auto &receiver : report.hosts) {
      if (sender.name != receiver.name) {
        const bool bad = std::find(failed.begin(), failed.end(),
                                   std::pair{sender.name, receiver.name}) != failed.end();
        job.rank_hosts.insert(job.rank_hosts.end(), {sender.name, receiver.name});
        job.pairs.push_back({static_cast<std::int32_t>(job.rank_hosts.size() - 2),
                             sender.name,
                             receiver.name,
                             !bad,
                             bad ? "wrong product" : "",
                             {},
                             {}});
      }
    }
  }
  job.tested_hosts = pairdot_hosts::names_of(report.hosts);
  job.status =
      failed.empty() ? pairdot_model::JobStatus::verified : pairdot_model::JobStatus::failed;
  report.jobs = {job};
  pairdot_model::diagnose(report);
  return report;
}

struct Row {
  const char *name;
  std::vector<std::pair<std::string, std::string>> failed; // links that failed
  std::vector<std::string> suspect_hosts, dark;
  std::vector<std::pair<std::string, std::string>> suspect_links;
  std::vector<std::string> suspect_switches;
  std::vector<SchedulerNode> nodes;
  const char *scope;
  bool resume;
  std::vector<NodeAction> want;
};

const SchedulerNode idle_a{"a", NodeState::usable, ""};
const SchedulerNode idle_b{"b", NodeState::usable, ""};
const SchedulerNode ours_b{"b", NodeState::drained, "pairdot: dark host; report /r"};
const SchedulerNode ours_c{"c", NodeState::drained, "pairdot: dark host; report /r"};
const SchedulerNode admin_c{"c", NodeState::drained, "bad DIMM, ticket 42"};
const SchedulerNode idle_c{"c", NodeState::usable, ""};
const SchedulerNode down_c{"c", NodeState::down, "Not responding"};
const auto drain = NodeActionKind::drain;
const auto resume = NodeActionKind::resume;
const auto leave = NodeActionKind::leave;

const std::vector<Row> rows{
    {"dark host drained",
     {{"c", "a"}},
     {"c"},
     {"c"},
     {},
     {},
     {idle_a, idle_b, idle_c},
     "",
     false,
     {{"c", drain, DrainCause::dark, {}, LeaveWhy::none}}},
    {"admin's drain never touched",
     {{"c", "a"}},
     {"c"},
     {},
     {},
     {},
     {admin_c},
     "",
     true,
     {{"c", leave, DrainCause::host, {}, LeaveWhy::not_ours}}},
    {"down node never touched",
     {{"c", "a"}},
     {"c"},
     {},
     {},
     {},
     {down_c},
     "",
     false,
     {{"c", leave, DrainCause::host, {}, LeaveWhy::not_ours}}},
    {"ours, still failing: left",
     {{"c", "a"}},
     {"c"},
     {},
     {},
     {},
     {ours_c},
     "",
     true,
     {{"c", leave, DrainCause::host, {}, LeaveWhy::already_drained}}},
    {"admin re-reasoned ours, verified: theirs", {}, {}, {}, {}, {}, {admin_c}, "", true, {}},
    {"ours, all links verified: resumed, long name matched",
     {},
     {},
     {},
     {},
     {},
     {ours_b},
     "",
     true,
     {{"b", resume, DrainCause::host, {}, LeaveWhy::none}}},
    {"ours verified, no --resume-drained", {}, {}, {}, {}, {}, {ours_b}, "", false, {}},
    {"ours, a link of its own failed: not resumed",
     {{"a", "c"}},
     {},
     {},
     {},
     {},
     {ours_c},
     "",
     true,
     {{"c", leave, DrainCause::host, {}, LeaveWhy::not_all_verified}}},
    {"suspect link without links",
     {{"a", "c"}},
     {},
     {},
     {{"a", "c"}},
     {},
     {idle_a, idle_c},
     "hosts",
     false,
     {{"a", leave, DrainCause::link, {"c"}, LeaveWhy::scope},
      {"c", leave, DrainCause::link, {"a"}, LeaveWhy::scope}}},
    {"suspect link with links: both",
     {{"a", "c"}},
     {},
     {},
     {{"a", "c"}},
     {},
     {idle_a, idle_c},
     "links",
     false,
     {{"a", drain, DrainCause::link, {"c"}, LeaveWhy::none},
      {"c", drain, DrainCause::link, {"a"}, LeaveWhy::none}}},
    {"switch without switches",
     {},
     {},
     {},
     {},
     {"leaf0"},
     {idle_a, idle_b},
     "hosts",
     false,
     {{"a", leave, DrainCause::switch_, {"leaf0"}, LeaveWhy::scope},
      {"b", leave, DrainCause::switch_, {"leaf0"}, LeaveWhy::scope}}},
    {"switch with switches",
     {},
     {},
     {},
     {},
     {"leaf0"},
     {idle_a, idle_b},
     "switches",
     false,
     {{"a", drain, DrainCause::switch_, {"leaf0"}, LeaveWhy::none},
      {"b", drain, DrainCause::switch_, {"leaf0"}, LeaveWhy::none}}},
    {"suspect host Slurm does not know",
     {{"c", "a"}},
     {"c"},
     {},
     {},
     {},
     {idle_a},
     "",
     false,
     {{"c", leave, DrainCause::host, {}, LeaveWhy::not_in_scheduler}}},
};

std::string shown(const std::vector<NodeAction> &actions) {
  std::string out;
  for (const NodeAction &a : actions) {
    out += a.node + ":" + std::to_string(static_cast<int>(a.kind)) + "," +
           std::to_string(static_cast<int>(a.cause)) + "," +
           std::to_string(static_cast<int>(a.why));
    for (const std::string &peer : a.peers) {
      out += "," + peer;
    }
    out += " ";
  }
  return out;
}

TEST(Drain, DecidesEachNodeOfTheRun) {
  for (const Row &row : rows) {
    RunReport report = report_of(row.failed);
    report.suspect_hosts = row.suspect_hosts;
    report.dark = row.dark;
    report.suspect_links = row.suspect_links;
    report.suspect_switches = row.suspect_switches;
    report.switches = {{"leaf0"}, {-1}, {{0, 1}}, {0, 0, -1}};
    std::optional<DrainScope> scope = parse_drain_scope(row.scope);
    ASSERT_TRUE(scope) << row.name;
    scope->resume = row.resume;
    EXPECT_EQ(shown(node_actions(report, row.nodes, *scope)), shown(row.want)) << row.name;
  }
}

TEST(Drain, ReasonStartsWithPairdotAndFitsSlurm) {
  const NodeAction link{"c", drain, DrainCause::link, std::vector<std::string>(40, "a-long-peer"),
                        LeaveWhy::none};
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
  EXPECT_EQ(nodes[0].state, NodeState::usable);
  EXPECT_EQ(nodes[1].state, NodeState::drained);
  EXPECT_EQ(nodes[1].reason, "pairdot: x|y");
  EXPECT_EQ(nodes[2].state, NodeState::down);
  EXPECT_EQ(nodes[3].state, NodeState::reserved);
}

} // namespace
