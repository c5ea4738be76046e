#include "slurm.hpp"

#include "process.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <sstream>

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
