#pragma once

// The switches above the run's hosts, by index: which switch each host hangs
// under and which hosts each switch has below it, so that a fault can be
// blamed on a switch rather than on its many links.

#include "evidence.hpp"
#include "topology.hpp"

#include <string>
#include <vector>

namespace pairdot_model {

struct SwitchTree {
  std::vector<std::string> names;            // per switch
  std::vector<int> parent;                   // per switch: -1 at the top
  std::vector<std::vector<HostIndex>> below; // per switch: every run host under it, sorted
  std::vector<int> leaf;                     // per host: the switch it is cabled to; -1 none
};

// The tree over these hosts (names matched short or long); switches with
// no run host below them are left out. Empty when the topology is.
SwitchTree make_switch_tree(const pairdot_hosts::Topology &topology,
                            const std::vector<std::string> &host_names);

// Leaves of ceil(N/K) consecutive hosts, leaf0 ... leaf<K-1>, under spine0.
SwitchTree leaf_spine(HostIndex hosts, int leaves);

} // namespace pairdot_model
