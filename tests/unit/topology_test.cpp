#include "switch_tree.hpp"
#include "topology.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using pairdot_hosts::Topology;

std::string joined(const std::vector<std::string> &names) {
  std::string out;
  for (const std::string &name : names)
    out += (out.empty() ? "" : ",") + name;
  return out;
}

// "s0:n1,n2/ top:/s0": each switch, its nodes and, after '/', its switches.
std::string shape(const Topology &topology) {
  std::string out;
  for (const pairdot_hosts::Switch &sw : topology.switches)
    out += (out.empty() ? "" : " ") + sw.name + ":" + joined(sw.nodes) + "/" + joined(sw.switches);
  return out;
}

// What parse() gives as text, or its error.
template <class Parse> std::string outcome(Parse parse) {
  try {
    return parse();
  } catch (const pairdot_hosts::InputError &error) {
    return error.what();
  }
}

std::string expanded(const char *expression) {
  return outcome([&] { return joined(pairdot_hosts::expand_hostlist(expression)); });
}

std::string conf(const char *text) {
  return outcome([&] { return shape(pairdot_hosts::parse_topology_conf(text, "topo.conf")); });
}

std::string scontrol(const char *text) {
  return outcome([&] { return shape(pairdot_hosts::parse_scontrol_topology(text)); });
}

TEST(Hostlist, ExpandsRangesListsAndProductsOrRefuses) {
  const struct {
    const char *expression;
    const char *names; // or the error
  } cases[] = {
      {"login1", "login1"},
      {"node[001-003,040],login1", "node001,node002,node003,node040,login1"},
      {"node[8-11]", "node8,node9,node10,node11"},
      {"node[08-10]", "node08,node09,node10"},
      {"n[7]", "n7"},
      {"rack[1-2]-n", "rack1-n,rack2-n"},
      {"r[1-2]n[1-2,5]", "r1n1,r1n2,r1n5,r2n1,r2n2,r2n5"},
      {"c.example.org,10.0.0.[9-10]", "c.example.org,10.0.0.9,10.0.0.10"},
      // Refused in one line.
      {"", "hostlist '': empty item"},
      {"a,,b", "hostlist 'a,,b': empty item"},
      {"node[1-2", "hostlist 'node[1-2': unbalanced brackets"},
      {"node1-2],x", "hostlist 'node1-2],x': unbalanced brackets"},
      {"n[[1]]", "hostlist 'n[[1]]': unbalanced brackets"},
      {"node[3-1]", "hostlist 'node[3-1]': range '3-1' runs backwards"},
      {"node[a-b]", "hostlist 'node[a-b]': bad range 'a-b' (want numbers as in node[01-08,10])"},
      {"node[1,]", "hostlist 'node[1,]': bad range '' (want numbers as in node[01-08,10])"},
      {"n[0-1000000]", "hostlist 'n[0-1000000]': more than 1000000 names"},
      {"n[0-999]m[0-9999]", "hostlist 'n[0-999]m[0-9999]': more than 1000000 names"},
      {"-n[1-2]", "hostlist '-n[1-2]': '-n1' is not a valid host name"},
      {"a b", "hostlist 'a b': 'a b' is not a valid host name"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(expanded(c.expression), c.names) << c.expression;
}

TEST(TopologyConf, ReadsSwitchesOfATreeOrNamesTheLineOfAnError) {
  const struct {
    const char *text;
    const char *shape; // or the error
  } cases[] = {
      {"SwitchName=s0 Nodes=n[1-2]\nSwitchName=s1 Nodes=n[3-4] LinkSpeed=10\n"
       "SwitchName=top Switches=s[0-1]\n",
       "s0:n1,n2/ s1:n3,n4/ top:/s0,s1"},
      {"# rack 1\n\n  switchname=leaf NODES=a,b # two hosts\r\nSWITCHNAME=spine\tswitches=leaf",
       "leaf:a,b/ spine:/leaf"},
      {"SwitchName=s0 Nodes=n1\nSwitchName=s1 Nodes=n2 Switches=s0", "s0:n1/ s1:n2/s0"},
      {"SwitchName=l Nodes=n1\nSwitchName=a Switches=l\nSwitchName=b Switches=l",
       "l:n1/ a:/l b:/l"},
      // Errors name their line.
      {"", "topo.conf: no switches (want lines such as SwitchName=s1 Nodes=node[01-32])"},
      {"SwitchName=s0 Nodes=n1\n\nSwitchName=s0 Nodes=n2",
       "topo.conf:3: switch s0 is defined twice"},
      {"SwitchName=s0 Nodes=n1 Speed=5",
       "topo.conf:1: unknown key 'Speed' (SwitchName, Nodes, Switches, LinkSpeed)"},
      {"# hosts\nNodes=n1", "topo.conf:2: no SwitchName"},
      {"SwitchName=s0", "topo.conf:1: switch s0 has neither Nodes= nor Switches="},
      {"SwitchName=s0 Nodes", "topo.conf:1: want Key=Value, not 'Nodes'"},
      {"SwitchName=s0 Nodes=n1 nodes=n2", "topo.conf:1: 'nodes' is given twice"},
      {"SwitchName=s/0 Nodes=n1", "topo.conf:1: switch name 's/0' is not a valid name"},
      {"\nSwitchName=s0 Nodes=n[2-1]",
       "topo.conf:2: hostlist 'n[2-1]': range '2-1' runs backwards"},
      {"SwitchName=s0 Nodes=n1\nSwitchName=top Switches=s[0-1]",
       "topo.conf:2: switch s1 is never defined"},
      {"SwitchName=a Switches=b\nSwitchName=b Switches=c\nSwitchName=c Switches=a",
       "topo.conf:3: switch a is below itself: a > b > c > a"},
      {"SwitchName=n Nodes=n1\nSwitchName=x Switches=n,x",
       "topo.conf:2: switch x is below itself: x > x"},
      {"SwitchName=s0 Nodes=n[1-3]\nSwitchName=s1 Nodes=n3",
       "topo.conf:2: node n3 is already under switch s0 (line 1)"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(conf(c.text), c.shape) << c.text;
}

TEST(ScontrolTopology, KeepsEachNodeOnItsLowestSwitch) {
  const struct {
    const char *text;
    const char *shape;
  } cases[] = {
      // As Slurm 22.05 prints it.
      {"SwitchName=s0 Level=0 LinkSpeed=10 Nodes=node[01-02]\n"
       "SwitchName=s1 Level=0 LinkSpeed=1 Nodes=node[03-04]\n"
       "SwitchName=s2 Level=1 LinkSpeed=1 Nodes=node[01-04] Switches=s[0-1]\n",
       "s0:node01,node02/ s1:node03,node04/ s2:/s0,s1"},
      {"SwitchName=top Level=2 Nodes=n[1-3] Switches=mid\n"
       "SwitchName=mid Level=1 Nodes=n[1-3] Switches=low\nSwitchName=low Level=0 Nodes=n[1-2]\n",
       "top:/mid mid:n3/low low:n1,n2/"},
      {"scontrol: error: No topology information available\n", ""},
      {"SwitchName=s2 Level=1 Switches=s9", "scontrol show topology:1: switch s9 is never defined"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(scontrol(c.text), c.shape) << c.text;
}

TEST(SwitchTree, PlacesRunHostsUnderTheirSwitches) {
  const struct {
    const char *conf; // empty: no topology
    std::vector<std::string> hosts;
    std::vector<std::string> names;
    std::vector<int> parent;
    std::vector<std::vector<pairdot_model::HostIndex>> below;
    std::vector<int> leaf;
  } cases[] = {
      // s2 has no run host: left out. Short and long names match.
      {"SwitchName=s0 Nodes=n[1-2]\nSwitchName=s1 Nodes=n3.cluster,n4\n"
       "SwitchName=s2 Nodes=n[5-6]\nSwitchName=top Switches=s[0-2]",
       {"n3", "n1.cluster", "other", "n2"},
       {"s0", "s1", "top"},
       {2, 2, -1},
       {{1, 3}, {0}, {0, 1, 3}},
       {1, 0, -1, 0}},
      // Addresses are matched whole.
      {"SwitchName=a Nodes=10.0.0.2\nSwitchName=b Nodes=10.0.0.[3-4]",
       {"10.0.0.1", "10.0.0.2", "10.0.0.4"},
       {"a", "b"},
       {-1, -1},
       {{1}, {2}},
       {-1, 0, 1}},
      {"", {"n1", "n2"}, {}, {}, {}, {}},
  };
  for (const auto &c : cases) {
    const Topology topology =
        *c.conf == '\0' ? Topology{} : pairdot_hosts::parse_topology_conf(c.conf, "t");
    const pairdot_model::SwitchTree tree = pairdot_model::make_switch_tree(topology, c.hosts);
    EXPECT_EQ(tree.names, c.names) << c.conf;
    EXPECT_EQ(tree.parent, c.parent) << c.conf;
    EXPECT_EQ(tree.below, c.below) << c.conf;
    EXPECT_EQ(tree.leaf, c.leaf) << c.conf;
  }
}

} // namespace
