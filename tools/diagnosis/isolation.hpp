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

#include <cstdint>
#include <map>
#include <set>
#include <vector>

namespace pairdot_run {

using pairdot_model::HostIndex;
using pairdot_model::JobKind;

struct PlannedRun {
  int number = 0; // 1-based, in the order jobs were planned
  pairdot_model::JobShape shape;
};

using LinkId = std::uint32_t; // sender * hosts + receiver

// Links known to hold at least one failure: they failed together.
struct LinkGroup {
  std::vector<LinkId> links;
};

// What a planned job tests, so that its outcome can be read.
struct Probe {
  enum class What : std::uint8_t {
    sweep,
    hosts,
    group,
    alone,
    core,    // ring: hosts that may serve as known good
    join,    // ring: a host of each core block that verified: do the blocks reach each other?
    range,   // reach: hosts in question, a part of a range
    grow,    // ring: how far the group of a host that reaches no one goes
    whole,   // ring: a group's hosts, or a switch's, reach each other
    confirm, // reach: a group, or a half of it, against hosts known good
    dark,    // reach: a host alone, against other hosts known good
  } what = What::sweep;
  std::vector<HostIndex> hosts;  // hosts: the group tested; hunt: the hosts in question
  std::vector<LinkId> links;     // group, alone: the links tested
  std::vector<LinkId> rest;      // group: the other half of a positive group
  bool positive = false;         // group, alone: half of a group that failed together
  std::vector<HostIndex> others; // range: the rest of the range; grow: the side's candidates
  bool right = false;            // grow: the side tested
  bool whole_tested = false;     // range: its switch's hosts were rung
};

// Hosts in question, in hunt order (below one switch after another).
struct HostRange {
  std::vector<HostIndex> hosts;
  bool positive = false; // holds a host that does not reach the good ones
  bool direct = false;   // positive from its own failed reach job
  bool whole_tested = false;
};

// How far the group of a host that reaches no one goes, each side found
// by doubling and then halving the hosts ringed with it.
struct Growth {
  HostIndex host = 0;
  std::vector<HostIndex> sides[2];   // hosts in question left (nearest first), right
  std::size_t known[2] = {0, 0};     // this many on the side reach the host
  std::size_t failed_at[2] = {0, 0}; // this many did not; 0 unknown
  bool pending[2] = {false, false};
};

struct Hunt {
  std::vector<std::uint8_t> good;   // per host: reaches the hosts known good
  std::vector<std::uint8_t> queued; // per host: in a range, growth or check
  std::vector<HostIndex> partners;  // the good hosts, in the order they became good
  std::size_t next_partner = 0;
  std::vector<std::vector<HostIndex>> core;   // to ring, in search of good hosts
  std::vector<std::vector<HostIndex>> passed; // core blocks that verified, to be joined
  std::vector<std::uint8_t> joined;           // passed blocks i, i + 1 (cyclic): rung, and how
  std::vector<HostRange> ranges;
  std::vector<Growth> growths;
  std::vector<std::vector<HostIndex>> wholes; // groups to ring whole, sorted
  // Parts of groups to test against good hosts (the part, its group), sorted.
  std::vector<std::pair<std::vector<HostIndex>, std::vector<HostIndex>>> confirms;
  std::vector<HostIndex> darks;                     // hosts to test alone once more
  std::map<std::vector<HostIndex>, int> confirming; // groups: their reach jobs not yet read
  std::vector<std::uint8_t> tried;                  // per host: its group was grown once
  std::set<std::vector<HostIndex>> failed_rings;    // host sets (sorted) whose ring failed
  std::vector<int> order;                           // per host: its place in hunt order
};

// What the planner keeps between rounds; only Isolation reaches it.
struct IsolationState {
  std::vector<int> slots;
  int parallel = 4;
  const pairdot_model::Evidence *evidence = nullptr; // the run's, as of the last call
  int next_number = 1;
  std::vector<std::vector<HostIndex>> sweep_left; // the sweep's jobs, from sweep_next on to run
  std::size_t sweep_next = 0;
  bool replan = false;                             // hosts changed: plan the rest anew
  std::vector<std::vector<HostIndex>> host_groups; // to test, each tested whole
  std::vector<LinkGroup> link_groups;              // split in halves until each failure is alone
  std::vector<LinkId>
      pool; // in question, not known to hold a failure: packed, once no group is open
  std::vector<std::pair<HostIndex, HostIndex>> poisoned; // hosts of blamed links, lower first
  std::map<int, Probe> probes;                           // by job number, until recorded
  std::vector<std::uint8_t> together; // small clusters: per pair of hosts, how jobs with both ended
  int rounds = 0;
  pairdot_model::SwitchTree switches;
  Hunt hunt;
  long long extra_jobs = 0; // planned beyond the sweep
  bool converged = true;    // false: stopped at the budget with questions left
};

// The planner. At each call it reads the evidence it is given, which holds
// every job recorded so far (the run's evidence store; add_job in the
// tests): it keeps none of its own.
class Isolation {
public:
  Isolation() = default;
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
  [[nodiscard]] const pairdot_model::SwitchTree &switches() const { return state_.switches; }

private:
  IsolationState state_;
};

// Jobs beyond the sweep that isolation may plan before it stops unfinished:
// 200 + 2 per host + 100 per fault found (a host that cannot run or is dark,
// a group cut off, a link that failed alone).
long long isolation_budget(HostIndex hosts, long long faults);

} // namespace pairdot_run
