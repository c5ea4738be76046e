#pragma once

// A cluster's switches as Slurm's tree topology gives them: topology.conf
// lines "SwitchName=s1 Nodes=node[01-32]" and "SwitchName=spine Switches=s[1-4]",
// or what `scontrol show topology` prints. Host names are checked as every
// user-given name is.

#include "host_names.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace pairdot_hosts {

struct Switch {
  std::string name;
  std::vector<std::string> nodes;    // hosts cabled to it (Nodes=)
  std::vector<std::string> switches; // switches below it (Switches=)
};

// Switches in the order given; every name unique, every child switch
// defined, no loops.
struct Topology {
  std::vector<Switch> switches;
};

// A Slurm hostlist expression: "node[001-032,040],login1" gives node001 ...
// node032, node040 and login1 (leading zeros kept). Throws InputError.
std::vector<std::string> expand_hostlist(std::string_view expression);

// topology.conf text; errors name the label and the line.
Topology parse_topology_conf(std::string_view text, const std::string &label);

// The output of `scontrol show topology`.
Topology parse_scontrol_topology(std::string_view text);

} // namespace pairdot_hosts
