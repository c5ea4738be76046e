#pragma once

// What a scheduler knows of its nodes and of the allocation we run in; Slurm
// asked with its own commands (sinfo, scontrol), outside the watch of jobs.

#include "host_names.hpp"
#include "topology.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pairdot_launch {

// A node Slurm would not start a job on, and what sinfo says of it.
struct UnavailableNode {
  std::string host; // as the job named it
  std::string state;
  bool operator==(const UnavailableNode &other) const {
    return host == other.host && state == other.state;
  }
};

// Slurm's per-node counts ("2(x3),1") one a node ({2, 2, 2, 1}); empty if malformed.
std::vector<int> expand_slurm_counts(std::string_view counts);

// The hosts Slurm would not start a job on, from what `sinfo --noheader
// --Node --format="%N %T"` says of them ("node3 completing"): down, drained,
// failing, still ending an earlier job, not responding ('*'), ... Idle and
// busy nodes (allocated, mixed, reserved) are left out.
std::vector<UnavailableNode> unavailable_nodes(std::string_view sinfo_text,
                                               const std::vector<std::string> &hosts);

// A node's state as far as draining goes: usable (idle or busy), drained
// (or draining), down (or failing), reserved (or in maintenance), other.
enum class NodeState : std::uint8_t { usable, drained, down, reserved, other };

// A node as the scheduler names it, its state and the reason it was given.
struct SchedulerNode {
  std::string name;
  NodeState state = NodeState::other;
  std::string reason; // empty: none
};

// The nodes of `sinfo --noheader --Node --format=%N|%T|%E` ("node3|drained|why").
std::vector<SchedulerNode> parse_node_states(std::string_view sinfo_text);

// Drain a node with a reason, or resume it.
struct NodeUpdate {
  std::string node;
  bool drain = true;
  std::string reason; // when draining
};
// The scontrol command of an update, one word an argument.
std::vector<std::string> scontrol_update_command(const NodeUpdate &update);

// What a batch system knows, behind one type: whether this runs in one of
// its allocations and on which nodes, the nodes it would not use, the
// switches above them. Another scheduler is one more type and the row of its
// launcher.
class Scheduler {
public:
  Scheduler() = default;
  Scheduler(const Scheduler &) = delete;
  Scheduler &operator=(const Scheduler &) = delete;
  virtual ~Scheduler() = default;

  [[nodiscard]] virtual const char *name() const = 0; // as users know it: "Slurm"
  [[nodiscard]] virtual bool inside_allocation() const = 0;
  // The allocation's nodes with their CPUs as slots. Throws
  // pairdot_hosts::InputError outside an allocation.
  [[nodiscard]] virtual std::vector<pairdot_hosts::Host> allocation_hosts() const = 0;
  // The hosts it would not start a job on. Blocks up to its command's
  // timeout: call it off the watching thread.
  [[nodiscard]] virtual std::vector<UnavailableNode>
  unavailable_nodes(const std::vector<std::string> &hosts) const = 0;
  // The switches above its nodes; empty when it knows none.
  [[nodiscard]] virtual pairdot_hosts::Topology topology() const = 0;
  // Every node with its state and reason. Blocks up to its command's timeout.
  [[nodiscard]] virtual std::vector<SchedulerNode> nodes() const { return {}; }
  // Drains or resumes a node: empty, or what went wrong.
  [[nodiscard]] virtual std::string update_node(const NodeUpdate &update) const {
    return "cannot update " + update.node;
  }
  // Why nodes cannot be read (and, unless only_read, updated) here; none if
  // they can.
  [[nodiscard]] virtual std::optional<std::string> why_cannot_update(bool only_read) const {
    return only_read ? std::nullopt : std::optional<std::string>("no scheduler to update");
  }
};

const Scheduler &slurm_scheduler();
// The scheduler a run is under: its launcher's own (srun's is Slurm), else
// the one whose allocation this runs in; none outside any.
const Scheduler *scheduler_for(const Scheduler *launchers_own);

} // namespace pairdot_launch
