#pragma once

// What Slurm knows of its nodes and of the allocation we run in: asked with
// its own commands (sinfo, scontrol), outside the watch of running jobs.

#include "host_names.hpp"

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

// Asks sinfo about the hosts (blocks up to its timeout: call it off the
// watching thread).
std::vector<UnavailableNode> query_unavailable_nodes(const std::vector<std::string> &hosts);

// Whether this runs inside a Slurm allocation (salloc, sbatch).
bool inside_allocation();

// The nodes of the Slurm allocation this runs in, with their CPUs as slots.
// Throws pairdot_hosts::InputError outside an allocation.
std::vector<pairdot_hosts::Host> allocation_hosts();

} // namespace pairdot_launch
