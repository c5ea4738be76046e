#include "plan.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using pairdot_run::plan_sweep;
using pairdot_run::sweep_job_bound;

std::string text(const std::vector<int> &slots) {
  std::string s = "slots";
  for (int v : slots)
    s += " " + std::to_string(v);
  return s;
}

// Plans a sweep and checks it: every ordered pair of distinct hosts once,
// no host over its slots in a job, at least the bound and at most max_jobs
// jobs.
void check_sweep(const std::vector<int> &slots, std::int64_t max_jobs) {
  SCOPED_TRACE(text(slots));
  const auto n = static_cast<int>(slots.size());
  const auto jobs = plan_sweep(slots);
  std::vector<int> covered(static_cast<std::size_t>(n) * n, 0);
  for (std::size_t j = 0; j < jobs.size(); ++j) {
    const auto &ranks = jobs[j].rank_hosts;
    SCOPED_TRACE("job " + std::to_string(j));
    EXPECT_FALSE(ranks.empty());
    EXPECT_EQ(ranks.size() % 2, 0u);
    std::vector<int> used(n, 0);
    for (std::size_t r = 0; r < ranks.size(); ++r) {
      const int h = ranks[r];
      ASSERT_TRUE(h >= 0 && h < n) << "rank " << r;
      ++used[h];
      if (r % 2 == 1) {
        const int from = ranks[r - 1];
        EXPECT_NE(from, h) << "rank " << r;
        ++covered[from * n + h];
      }
    }
    for (int h = 0; h < n; ++h)
      EXPECT_LE(used[h], slots[h]) << "host " << h;
  }
  for (int a = 0; a < n; ++a)
    for (int b = 0; b < n; ++b)
      EXPECT_EQ(covered[a * n + b], a == b ? 0 : 1) << "pair " << a << " -> " << b;
  const auto count = static_cast<std::int64_t>(jobs.size());
  EXPECT_GE(count, sweep_job_bound(slots));
  EXPECT_LE(count, max_jobs);
  const auto again = plan_sweep(slots);
  ASSERT_EQ(again.size(), jobs.size());
  for (std::size_t j = 0; j < jobs.size(); ++j)
    EXPECT_EQ(again[j].rank_hosts, jobs[j].rank_hosts) << "job " << j << " differs";
}

TEST(PlanSweep, EqualSlotsMeetTheBoundForEvenHostCounts) {
  for (int n = 2; n <= 12; ++n) {
    for (int s = 1; s <= 4; ++s) {
      const std::vector<int> slots(n, s);
      const std::int64_t bound = sweep_job_bound(slots);
      EXPECT_EQ(bound, (2 * (n - 1) + s - 1) / s);
      // Odd: each host sits out one matching of n.
      check_sweep(slots, n % 2 == 0 ? bound : (2 * n + s - 1) / s);
    }
  }
}

// n hosts whose slots run through pattern.
std::vector<int> repeat(int n, const std::vector<int> &pattern) {
  std::vector<int> slots;
  slots.reserve(static_cast<std::size_t>(n));
  for (int h = 0; h < n; ++h)
    slots.push_back(pattern[h % pattern.size()]);
  return slots;
}

TEST(PlanSweep, MixedSlots) {
  const struct {
    std::vector<int> slots;
    std::int64_t bound;
    std::int64_t max_jobs;
  } cases[] = {
      {{1, 4, 4, 4}, 6, 6},
      {{4, 1}, 2, 2},
      {{1, 1, 1}, 4, 6},
      {{2, 3, 1, 4, 2}, 8, 8},
      {{3, 3, 2, 2, 1, 1}, 10, 10},
      {{4, 4, 4, 4, 4, 4, 4, 1}, 14, 14},
      {{1, 2, 3, 4, 5, 6, 7}, 12, 12},
      // Larger: partly filled jobs that later pairs go back to.
      {repeat(41, {1, 2, 3, 4, 5}), 80, 80},
      {repeat(30, {2, 4}), 29, 29},
      {repeat(33, {64, 3}), 22, 22},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(sweep_job_bound(c.slots), c.bound) << text(c.slots);
    check_sweep(c.slots, c.max_jobs);
  }
}

TEST(PlanSweep, RejectsTooFewHostsAndEmptySlots) {
  for (const auto &slots : {std::vector<int>{}, {4}, {2, 0}, {3, -1, 3}}) {
    EXPECT_THROW(plan_sweep(slots), std::invalid_argument) << text(slots);
    EXPECT_THROW(sweep_job_bound(slots), std::invalid_argument) << text(slots);
  }
}

} // namespace
