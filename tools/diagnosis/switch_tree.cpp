#include "switch_tree.hpp"

#include <algorithm>
#include <map>
#include <string>
#include <string_view>

namespace pairdot_model {

namespace {

using pairdot_hosts::InputError;
using pairdot_hosts::Topology;

// A host's name as matched: short, but whole for an address ("10.0.0.1"
// and "10.0.0.2" are not both "10").
std::string match_name(std::string_view name) {
  const bool address = name.find_first_not_of("0123456789.") == std::string_view::npos;
  return std::string(address ? name : pairdot_hosts::short_name(name));
}

// Every run host under switch `at`, through its child switches.
void collect_below(const Topology &topology, const std::map<std::string, std::size_t> &by_name,
                   const std::map<std::string, HostIndex> &hosts, std::size_t at,
                   std::vector<HostIndex> &out, std::vector<int> &leaf, int leaf_index) {
  const pairdot_hosts::Switch &sw = topology.switches[at];
  for (const std::string &node : sw.nodes) {
    const auto found = hosts.find(match_name(node));
    if (found == hosts.end())
      continue;
    out.push_back(found->second);
    if (leaf_index >= 0) {
      int &mine = leaf[static_cast<std::size_t>(found->second)];
      if (mine >= 0 && mine != leaf_index)
        throw InputError("topology: host " + node + " is cabled to two switches");
      mine = leaf_index;
    }
  }
  for (const std::string &child : sw.switches)
    collect_below(topology, by_name, hosts, by_name.at(child), out, leaf, -1);
}

} // namespace

SwitchTree make_switch_tree(const Topology &topology, const std::vector<std::string> &host_names) {
  SwitchTree tree;
  if (topology.switches.empty())
    return tree;
  std::map<std::string, HostIndex> hosts;
  for (std::size_t h = 0; h < host_names.size(); ++h)
    hosts.emplace(match_name(host_names[h]), static_cast<HostIndex>(h));
  std::map<std::string, std::size_t> by_name;
  for (std::size_t s = 0; s < topology.switches.size(); ++s)
    by_name.emplace(topology.switches[s].name, s);
  std::vector<int> leaf(host_names.size(), -1);
  std::vector<int> index(topology.switches.size(), -1);
  std::vector<std::vector<HostIndex>> below(topology.switches.size());
  for (std::size_t s = 0; s < topology.switches.size(); ++s) {
    collect_below(topology, by_name, hosts, s, below[s], leaf, static_cast<int>(s));
    std::sort(below[s].begin(), below[s].end());
    below[s].erase(std::unique(below[s].begin(), below[s].end()), below[s].end());
  }
  for (std::size_t s = 0; s < topology.switches.size(); ++s) {
    if (below[s].empty())
      continue;
    index[s] = static_cast<int>(tree.names.size());
    tree.names.push_back(topology.switches[s].name);
    tree.below.push_back(below[s]);
    tree.parent.push_back(-1);
  }
  for (std::size_t s = 0; s < topology.switches.size(); ++s) {
    for (const std::string &child : topology.switches[s].switches) {
      const int c = index[by_name.at(child)];
      if (c >= 0 && index[s] >= 0)
        tree.parent[static_cast<std::size_t>(c)] = index[s];
    }
  }
  tree.leaf.assign(host_names.size(), -1);
  for (std::size_t h = 0; h < leaf.size(); ++h)
    tree.leaf[h] = leaf[h] < 0 ? -1 : index[static_cast<std::size_t>(leaf[h])];
  return tree;
}

SwitchTree leaf_spine(HostIndex hosts, int leaves) {
  SwitchTree tree;
  if (leaves < 1 || hosts < 1)
    return tree;
  const HostIndex per_leaf = (hosts + leaves - 1) / leaves;
  tree.leaf.assign(static_cast<std::size_t>(hosts), -1);
  std::vector<HostIndex> all;
  for (int l = 0; l < leaves && l * per_leaf < hosts; ++l) {
    tree.names.push_back("leaf" + std::to_string(l));
    tree.parent.push_back(-1); // the spine, set below
    tree.below.emplace_back();
    for (HostIndex h = l * per_leaf; h < std::min(hosts, (l + 1) * per_leaf); ++h) {
      tree.below.back().push_back(h);
      tree.leaf[static_cast<std::size_t>(h)] = l;
      all.push_back(h);
    }
  }
  const int spine = static_cast<int>(tree.names.size());
  for (int &parent : tree.parent)
    parent = spine;
  tree.names.emplace_back("spine0");
  tree.parent.push_back(-1);
  tree.below.push_back(std::move(all));
  return tree;
}

} // namespace pairdot_model
