#include "drain.hpp"

#include "host_names.hpp"

#include <algorithm>

namespace pairdot_run {

using pairdot_launch::NodeState;
using pairdot_launch::SchedulerNode;
using pairdot_model::RunReport;

std::optional<DrainScope> parse_drain_scope(std::string_view words) {
  DrainScope scope;
  if (words.empty()) {
    scope.hosts = true;
  }
  while (!words.empty()) {
    const std::string_view word = words.substr(0, words.find(','));
    words.remove_prefix(std::min(words.size(), word.size() + 1));
    bool *flag = word == "hosts"      ? &scope.hosts
                 : word == "links"    ? &scope.links
                 : word == "switches" ? &scope.switches
                                      : nullptr;
    if (flag == nullptr) {
      return std::nullopt;
    }
    *flag = true;
  }
  return scope;
}

bool is_our_reason(std::string_view reason) { return reason.rfind("pairdot:", 0) == 0; }

namespace {

bool contains(const std::vector<std::string> &names, const std::string &name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Why the run's host is suspect, and the peers or switch that say so; none if it is not.
std::optional<NodeAction> suspicion(const RunReport &report, const std::string &host) {
  NodeAction action;
  action.kind = NodeActionKind::drain;
  for (const auto &[sender, receiver] : report.suspect_links) {
    if (sender == host || receiver == host) {
      const std::string &peer = sender == host ? receiver : sender;
      if (!contains(action.peers, peer)) {
        action.peers.push_back(peer);
      }
    }
  }
  if (!action.peers.empty()) {
    action.cause = DrainCause::link;
  }
  const auto at = report.index.find(host);
  const auto &tree = report.switches;
  for (std::size_t s = 0; s < tree.names.size() && at != report.index.end(); ++s) {
    const auto &below = tree.below[s];
    if (contains(report.suspect_switches, tree.names[s]) &&
        std::find(below.begin(), below.end(), at->second) != below.end()) {
      action.cause = DrainCause::switch_;
      action.peers = {tree.names[s]};
    }
  }
  const std::pair<const std::vector<std::string> *, DrainCause> hosts[] = {
      {&report.suspect_hosts, DrainCause::host},
      {&report.dark, DrainCause::dark},
      {&report.cannot_join, DrainCause::cannot_join},
      {&report.cannot_run, DrainCause::cannot_run}};
  for (const auto &[names, cause] : hosts) { // the last that names it, the most precise
    if (contains(*names, host)) {
      action.cause = cause;
      action.peers.clear();
    }
  }
  const bool named = contains(report.suspect_hosts, host) || contains(report.dark, host) ||
                     contains(report.cannot_join, host) || contains(report.cannot_run, host) ||
                     !action.peers.empty();
  return named ? std::optional<NodeAction>(action) : std::nullopt;
}

bool in_scope(DrainCause cause, const DrainScope &scope) {
  switch (cause) {
  case DrainCause::link:
    return scope.links;
  case DrainCause::switch_:
    return scope.switches;
  default:
    return scope.hosts;
  }
}

// Whether every link between the host and every other run host, both ways, verified.
bool all_links_verified(const RunReport &report, const std::string &host) {
  const auto at = report.index.find(host);
  if (at == report.index.end() || report.hosts.size() < 2) {
    return false;
  }
  const auto self = static_cast<std::size_t>(at->second);
  const auto verified = [&](std::size_t sender, std::size_t receiver) {
    const auto verdict = pairdot_model::verdict_at(report, sender, receiver);
    return verdict == pairdot_model::LinkVerdict::verified ||
           verdict == pairdot_model::LinkVerdict::collateral;
  };
  for (std::size_t other = 0; other < report.hosts.size(); ++other) {
    if (other != self && (!verified(self, other) || !verified(other, self))) {
      return false;
    }
  }
  return true;
}

const SchedulerNode *node_of(const std::vector<SchedulerNode> &nodes, const std::string &host) {
  const auto found = std::find_if(nodes.begin(), nodes.end(), [&](const SchedulerNode &node) {
    return pairdot_hosts::same_host(host, node.name);
  });
  return found == nodes.end() ? nullptr : &*found;
}

NodeAction decided(NodeAction action, const SchedulerNode *node, const DrainScope &scope) {
  const bool ours =
      node != nullptr && node->state == NodeState::drained && is_our_reason(node->reason);
  action.why = node == nullptr                    ? LeaveWhy::not_in_scheduler
               : !in_scope(action.cause, scope)   ? LeaveWhy::scope
               : ours                             ? LeaveWhy::already_drained
               : node->state != NodeState::usable ? LeaveWhy::not_ours
                                                  : LeaveWhy::none;
  if (node != nullptr) {
    action.node = node->name;
  }
  if (action.why != LeaveWhy::none) {
    action.kind = NodeActionKind::leave;
  }
  return action;
}

} // namespace

std::vector<NodeAction> node_actions(const RunReport &report,
                                     const std::vector<SchedulerNode> &nodes,
                                     const DrainScope &scope) {
  std::vector<NodeAction> actions;
  for (const pairdot_hosts::Host &host : report.hosts) {
    const SchedulerNode *node = node_of(nodes, host.name);
    if (std::optional<NodeAction> suspect = suspicion(report, host.name)) {
      if (scope.hosts || scope.links || scope.switches) {
        suspect->node = host.name;
        actions.push_back(decided(*suspect, node, scope));
      }
      continue;
    }
    if (scope.resume && node != nullptr && node->state == NodeState::drained &&
        is_our_reason(node->reason)) {
      NodeAction action{node->name, NodeActionKind::resume, DrainCause::host, {}, LeaveWhy::none};
      if (!all_links_verified(report, host.name)) {
        action.kind = NodeActionKind::leave;
        action.why = LeaveWhy::not_all_verified;
      }
      actions.push_back(action);
    }
  }
  return actions;
}

} // namespace pairdot_run
