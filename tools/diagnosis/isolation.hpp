#pragma once

// What to run next, from what the jobs so far showed. First the sweep; when
// hosts of a job do not start, those hosts are tested in groups split on
// failure before the sweep goes on without the ones that cannot run; then
// each failed job's links are re-tested in halves until every failing link
// has failed alone, and the links set aside on the way are re-tested packed
// into as few jobs as the slots allow. When a job fails whose hosts are not
// known good, the hosts are hunted first, before the sweep goes on: rings
// find hosts that reach each other, reach jobs test hosts in question
// against them in halves, down to a host that reaches no one (dark) or a
// group that reaches only itself (a switch cut off). No processes and no
// clocks: real runs, --resume and the cluster model all drive the same
// planner, a round at a time.

#include "evidence.hpp"
#include "switch_tree.hpp"

#include <memory>
#include <vector>

namespace pairdot_run {

using pairdot_model::HostIndex;
using pairdot_model::JobKind;

struct PlannedRun {
  int number = 0; // 1-based, in the order jobs were planned
  pairdot_model::JobShape shape;
};

struct IsolationState;

// The planner. At each call it reads the evidence it is given, which holds
// every job recorded so far (the run's evidence store; add_job in the
// tests): it keeps none of its own.
class Isolation {
public:
  Isolation(); // plans nothing
  // For hosts with these slots (at least two hosts, each >= 1), below these
  // switches (none: no topology); its jobs are numbered from first_number.
  Isolation(const std::vector<int> &slots, int parallel, pairdot_model::SwitchTree switches = {},
            int first_number = 1);

  // The next round: jobs that fit in the slots side by side, at most
  // `parallel` of them unless the round is the sweep's (one job). Empty when
  // nothing is left to learn. Every job of a round must be recorded before
  // the next round is asked for.
  std::vector<PlannedRun> next_round(const pairdot_model::Evidence &evidence);
  // Reads what a job of the last round showed; the evidence holds it already.
  void record(const PlannedRun &job, const pairdot_model::JobEvidence &seen,
              const pairdot_model::Evidence &evidence);

  [[nodiscard]] int next_number() const; // of the next job planned
  [[nodiscard]] int rounds() const;
  [[nodiscard]] bool converged() const; // false: stopped at the budget with questions left
  [[nodiscard]] const pairdot_model::SwitchTree &switches() const;

  Isolation(Isolation &&other) noexcept;
  Isolation &operator=(Isolation &&other) noexcept;
  Isolation(const Isolation &other) = delete;
  Isolation &operator=(const Isolation &other) = delete;
  ~Isolation();

private:
  std::unique_ptr<IsolationState> state_;
};

// Jobs beyond the sweep that isolation may plan before it stops unfinished:
// 200 + 2 per host + 100 per fault found (a host that cannot run or is dark,
// a group cut off, a link that failed alone).
long long isolation_budget(HostIndex hosts, long long faults);

} // namespace pairdot_run
