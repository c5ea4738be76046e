#pragma once

// What a scheduler knows of its nodes and of the allocation we run in; Slurm
// asked with its own commands (sinfo, scontrol), outside the watch of jobs.

#include "host_names.hpp"
#include "topology.hpp"

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
};

const Scheduler &slurm_scheduler();
// The scheduler a run is under: its launcher's own (srun's is Slurm), else
// the one whose allocation this runs in; none outside any.
const Scheduler *scheduler_for(const Scheduler *launchers_own);

} // namespace pairdot_launch
