// Times plan_sweep on equal slots (and one host with a single slot), and
// compares the peak RSS with the size of the plan. Prints a Markdown table.

#include "plan.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Case {
  int hosts;
  int slots;
  bool one_single_slot; // host 0 has one slot
};

double seconds_to_plan(const std::vector<int> &slots, std::size_t &jobs, std::size_t &bytes) {
  const auto start = std::chrono::steady_clock::now();
  const auto plan = pairdot_run::plan_sweep(slots);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  jobs = plan.size();
  bytes = 0;
  for (const auto &job : plan) {
    bytes += job.rank_hosts.size() * sizeof(std::int32_t);
  }
  return took.count();
}

double peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0; // KiB on Linux
}

} // namespace

int main() {
  // Ascending plan sizes: the process's peak RSS is that of the latest row.
  const Case cases[] = {{100, 4, false},   {1000, 16, false},  {1000, 16, true}, {3000, 32, false},
                        {9999, 64, false}, {10000, 64, false}, {10000, 64, true}};
  std::printf("| hosts | slots | pairs | jobs | bound | seconds | peak RSS (MiB) | plan (MiB) |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const Case &c : cases) {
    std::vector<int> slots(c.hosts, c.slots);
    if (c.one_single_slot) {
      slots[0] = 1;
    }
    std::vector<double> runs;
    std::size_t jobs = 0;
    std::size_t bytes = 0;
    runs.reserve(3);
    for (int run = 0; run < 3; ++run) {
      runs.push_back(seconds_to_plan(slots, jobs, bytes));
    }
    std::sort(runs.begin(), runs.end());
    const std::string slot_text =
        std::to_string(c.slots) + (c.one_single_slot ? " (host 0: 1)" : "");
    const long long pairs = static_cast<long long>(c.hosts) * (c.hosts - 1);
    std::printf("| %d | %s | %lld | %zu | %lld | %.4f | %.1f | %.1f |\n", c.hosts,
                slot_text.c_str(), pairs, jobs,
                static_cast<long long>(pairdot_run::sweep_job_bound(slots)), runs[1],
                peak_rss_mib(), static_cast<double>(bytes) / (1024.0 * 1024.0));
  }
  return 0;
}
