#include "slurm.hpp"

#include "process.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

namespace pairdot_launch {

using pairdot_hosts::InputError;

std::vector<int> expand_slurm_counts(std::string_view counts) {
  std::vector<int> out;
  while (!counts.empty()) {
    const std::string_view item = counts.substr(0, counts.find(','));
    counts.remove_prefix(std::min(counts.size(), item.size() + 1));
    int count = 0;
    int repeat = 1;
    const char *end = item.data() + item.size();
    auto [next, error] = std::from_chars(item.data(), end, count);
    if (error == std::errc() && next != end) {
      if (end - next < 4 || std::string_view(next, 2) != "(x" || end[-1] != ')') {
        return {};
      }
      const auto [last, repeat_error] = std::from_chars(next + 2, end - 1, repeat);
      next = repeat_error == std::errc() ? last + 1 : next;
    }
    if (error != std::errc() || next != end || count < 1 || repeat < 1 || repeat > 1 << 20) {
      return {};
    }
    out.insert(out.end(), static_cast<std::size_t>(repeat), count);
  }
  return out;
}

std::vector<UnavailableNode> unavailable_nodes(std::string_view sinfo_text,
                                               const std::vector<std::string> &hosts) {
  constexpr std::string_view usable[] = {"idle", "allocated", "mixed", "reserved", "planned"};
  std::vector<UnavailableNode> out;
  std::istringstream lines{std::string(sinfo_text)};
  for (std::string node, state; lines >> node >> state;) {
    const auto host = std::find_if(hosts.begin(), hosts.end(), [&](const std::string &name) {
      return pairdot_hosts::same_host(name, node);
    });
    const bool responding = state.back() != '*';
    const std::string bare = state.substr(0, state.find_first_of("*~#!%$@^-"));
    const bool busy_or_idle =
        std::find(std::begin(usable), std::end(usable), bare) != std::end(usable);
    if (host == hosts.end() || (responding && busy_or_idle) ||
        std::any_of(out.begin(), out.end(),
                    [&](const UnavailableNode &seen) { return seen.host == *host; })) {
      continue;
    }
    out.push_back({*host, responding ? state : state + " (not responding)"});
  }
  return out;
}

namespace {

NodeState state_named(const std::string &state) {
  const std::string bare = state.substr(0, state.find_first_of("*~#!%$@^-+"));
  const auto is = [&](std::initializer_list<std::string_view> names) {
    return std::find(names.begin(), names.end(), bare) != names.end();
  };
  if (is({"drained", "draining", "drain"})) {
    return NodeState::drained;
  }
  if (is({"down", "fail", "failing"})) {
    return NodeState::down;
  }
  if (is({"reserved", "maint"})) {
    return NodeState::reserved;
  }
  return is({"idle", "allocated", "mixed", "completing", "planned"}) ? NodeState::usable
                                                                     : NodeState::other;
}

} // namespace

std::vector<SchedulerNode> parse_node_states(std::string_view sinfo_text) {
  std::vector<SchedulerNode> out;
  std::istringstream lines{std::string(sinfo_text)};
  for (std::string line; std::getline(lines, line);) {
    const std::size_t first = line.find('|');
    const std::size_t second = line.find('|', first == std::string::npos ? first : first + 1);
    if (second == std::string::npos || first == 0) {
      continue;
    }
    std::string reason = line.substr(second + 1);
    out.push_back({line.substr(0, first), state_named(line.substr(first + 1, second - first - 1)),
                   reason == "none" ? "" : reason});
  }
  return out;
}

std::vector<std::string> scontrol_update_command(const NodeUpdate &update) {
  if (update.drain) {
    return {"scontrol", "update", "NodeName=" + update.node, "State=DRAIN",
            "Reason=" + update.reason};
  }
  return {"scontrol", "update", "NodeName=" + update.node, "State=RESUME"};
}

namespace {

// Root, SlurmUser, or a Slurm operator or administrator may update nodes.
bool may_update_nodes() {
  const uid_t uid = getuid();
  if (uid == 0) {
    return true;
  }
  const passwd *user = getpwuid(uid);
  if (user == nullptr) {
    return false;
  }
  const std::string name = user->pw_name;
  std::istringstream config(output_of({"scontrol", "show", "config"}));
  for (std::string line; std::getline(config, line);) { // "SlurmUser = slurm(64030)"
    std::istringstream words(line);
    std::string key;
    std::string equals;
    std::string value;
    if (words >> key >> equals >> value && key == "SlurmUser" &&
        value.substr(0, value.find('(')) == name) {
      return true;
    }
  }
  const std::string level = output_of(
      {"sacctmgr", "--noheader", "--parsable2", "show", "user", name, "format=adminlevel"});
  return level.rfind("Operator", 0) == 0 || level.rfind("Administrator", 0) == 0;
}

std::optional<std::string> slurm_cannot_update(bool only_read) {
  if (!find_on_path("scontrol")) {
    return "no Slurm here: scontrol not found on PATH";
  }
  const std::string ping = output_of({"scontrol", "ping"});
  if (ping.find("is UP") == std::string::npos) {
    return "Slurm's controller does not answer: scontrol ping says " +
           pairdot_hosts::shown(ping.substr(0, ping.find('\n')));
  }
  if (!only_read && !may_update_nodes()) {
    return "this user may not run scontrol update (not root, not SlurmUser, not a Slurm operator)";
  }
  return std::nullopt;
}

std::vector<UnavailableNode> sinfo_unavailable(const std::vector<std::string> &hosts) {
  std::string list;
  for (const std::string &host : hosts) {
    list += (list.empty() ? "" : ",") + host;
  }
  return unavailable_nodes(
      output_of({"sinfo", "--noheader", "--Node", "--nodes=" + list, "--format=%N %T"}), hosts);
}

std::vector<pairdot_hosts::Host> slurm_allocation_hosts() {
  const char *nodes = std::getenv("SLURM_JOB_NODELIST");
  const char *cpus = std::getenv("SLURM_JOB_CPUS_PER_NODE");
  if (nodes == nullptr || cpus == nullptr) {
    throw InputError("--launcher srun without hosts runs inside a Slurm allocation (salloc or "
                     "sbatch); name --hosts otherwise");
  }
  const auto unreadable = [&] {
    return InputError("cannot read the allocation's nodes from scontrol show hostnames " +
                      std::string(nodes) + " and SLURM_JOB_CPUS_PER_NODE=" + cpus);
  };
  std::istringstream names(output_of({"scontrol", "show", "hostnames", nodes}));
  const std::vector<int> slots = expand_slurm_counts(cpus);
  std::vector<pairdot_hosts::Host> hosts;
  for (std::string name; std::getline(names, name);) {
    if (!pairdot_hosts::is_valid_host_name(name) || hosts.size() >= slots.size()) {
      throw unreadable();
    }
    hosts.push_back({name, slots[hosts.size()]});
  }
  if (hosts.empty() || hosts.size() != slots.size()) {
    throw unreadable();
  }
  return hosts;
}

class Slurm final : public Scheduler {
public:
  [[nodiscard]] const char *name() const override { return "Slurm"; }
  [[nodiscard]] bool inside_allocation() const override {
    return std::getenv("SLURM_JOB_NODELIST") != nullptr;
  }
  [[nodiscard]] std::vector<pairdot_hosts::Host> allocation_hosts() const override {
    return slurm_allocation_hosts();
  }
  [[nodiscard]] std::vector<UnavailableNode>
  unavailable_nodes(const std::vector<std::string> &hosts) const override {
    return sinfo_unavailable(hosts);
  }
  [[nodiscard]] pairdot_hosts::Topology topology() const override {
    try {
      return pairdot_hosts::parse_scontrol_topology(output_of({"scontrol", "show", "topology"}));
    } catch (const InputError &) {
      return {}; // not ours to fix: the run goes on without switches
    }
  }
  [[nodiscard]] std::vector<SchedulerNode> nodes() const override {
    return parse_node_states(output_of({"sinfo", "--noheader", "--Node", "--format=%N|%T|%E"}));
  }
  [[nodiscard]] std::string update_node(const NodeUpdate &update) const override {
    const std::string said = output_of(scontrol_update_command(update));
    return said.find_first_not_of(" \n") == std::string::npos ? "" : said;
  }
  [[nodiscard]] std::optional<std::string> why_cannot_update(bool only_read) const override {
    return slurm_cannot_update(only_read);
  }
};

} // namespace

const Scheduler &slurm_scheduler() {
  static const Slurm slurm;
  return slurm;
}

const Scheduler *scheduler_for(const Scheduler *launchers_own) {
  if (launchers_own != nullptr) {
    return launchers_own;
  }
  for (const Scheduler *scheduler : {&slurm_scheduler()}) {
    if (scheduler->inside_allocation()) {
      return scheduler;
    }
  }
  return nullptr;
}

} // namespace pairdot_launch
