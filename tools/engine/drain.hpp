#pragma once

// What a run's diagnosis means for the scheduler's nodes: which to drain,
// which to resume, which to leave, and why. Pure: the nodes' states come in,
// the actions go out; scontrol runs elsewhere (drain_listener).

#include "run_events.hpp"
#include "run_report.hpp"
#include "slurm.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pairdot_run {

// What --drain and --resume-drained ask for.
struct DrainScope {
  bool hosts = false;    // suspect hosts: dead, dark, cannot run beside others
  bool links = false;    // both hosts of a suspect link
  bool switches = false; // the hosts under a suspect switch
  bool resume = false;   // our drained nodes whose links all verified
};

// --drain's value ("hosts,links,switches"; empty: hosts); nullopt if a word is unknown.
std::optional<DrainScope> parse_drain_scope(std::string_view words);

// Why a host is suspect, as far as draining goes.
enum class DrainCause : std::uint8_t { cannot_run, cannot_join, dark, host, link, switch_ };

enum class NodeActionKind : std::uint8_t { drain, resume, leave };

enum class LeaveWhy : std::uint8_t {
  none,
  not_ours,         // drained, down or reserved for another reason, or by someone else
  already_drained,  // drained by us already
  not_in_scheduler, // no node of that name
  scope,            // a link or switch, and --drain did not ask for those
  not_all_verified, // drained by us, and not all its links verified in this run
};

struct NodeAction {
  std::string node; // the scheduler's name
  NodeActionKind kind = NodeActionKind::leave;
  DrainCause cause = DrainCause::host;
  std::vector<std::string> peers; // the other hosts of suspect links, or the switch
  LeaveWhy why = LeaveWhy::none;
};

// Whether a node's reason is one pairdot gave.
bool is_our_reason(std::string_view reason);

// The actions on the run's hosts: a suspect host (or, when asked, a host of a
// suspect link or switch) that is usable is drained; a node drained with our
// reason whose links to every other host verified is resumed. A node drained,
// down or reserved otherwise is left. Hosts and nodes match short or long.
std::vector<NodeAction> node_actions(const pairdot_model::RunReport &report,
                                     const std::vector<pairdot_launch::SchedulerNode> &nodes,
                                     const DrainScope &scope);

// The reason a node is drained with: "pairdot: " what failed and where the
// report is, at most max_reason_bytes.
constexpr std::size_t max_reason_bytes = 255; // slurmdbd keeps a node's reason in a TINYTEXT
std::string drain_reason(const NodeAction &action, const std::string &report_dir);

// Once a run completes: the nodes' states read, the actions taken (or, with
// dry_run, their scontrol commands printed), one line each on standard output.
// A reason names the run's report by its absolute path.
RunListener drain_listener(const pairdot_launch::Scheduler &scheduler, DrainScope scope,
                           bool dry_run);

} // namespace pairdot_run
