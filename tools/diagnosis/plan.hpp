#pragma once

// Sweep planning: jobs whose pairs (2k, 2k + 1) cover every ordered pair of
// distinct hosts, the even rank on the sender, the odd rank on the receiver.

#include <cstdint>
#include <vector>

namespace pairdot_run {

// One planned job: the host (an index into the host list) of every rank, in
// rank order; ranks 2k and 2k + 1 form a pair, so the size is even.
struct PlannedJob {
  std::vector<std::int32_t> rank_hosts;
};

// The fewest jobs any sweep over hosts with these slots can take: every host
// serves 2 (N - 1) pair ends and a job gives it at most its slots.
std::int64_t sweep_job_bound(const std::vector<int> &slots);

// Plans a sweep over hosts with the given slots (each >= 1; at least two
// hosts). Round-robin matchings, each used in both directions, packed first
// fit: the job count equals the bound for an even host count with equal
// slots. No job gives a host more ranks than its slots.
std::vector<PlannedJob> plan_sweep(const std::vector<int> &slots);

} // namespace pairdot_run
