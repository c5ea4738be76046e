#pragma once

// What to run next, from what the jobs so far showed. First the sweep; when
// hosts of a job do not start, those hosts are tested in groups split on
// failure before the sweep goes on without the ones that cannot run; then
// each failed job's links are re-tested in halves until every failing link
// has failed alone, and the links set aside on the way are re-tested packed
// into as few jobs as the slots allow. No processes and no clocks: real runs, --resume and the
// cluster model all drive the same planner, a round at a time.

#include "evidence.hpp"

#include <cstdint>
#include <map>
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
  enum class What : std::uint8_t { sweep, hosts, group, alone } what = What::sweep;
  std::vector<HostIndex> hosts; // hosts: the group tested
  std::vector<LinkId> links;    // group, alone: the links tested
  std::vector<LinkId> rest;     // group: the other half of a positive group
  bool positive = false;        // group, alone: half of a group that failed together
};

struct Isolation {
  std::vector<int> slots;
  int parallel = 4;
  pairdot_model::Evidence evidence;
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
  std::vector<int> screenings;        // per host: times it went missing beside others
  std::vector<std::uint8_t> together; // small clusters: per pair of hosts, how jobs with both ended
  int rounds = 0;
};

// The planner for hosts with these slots (at least two hosts, each >= 1).
Isolation start_isolation(const std::vector<int> &slots, int parallel);

// The next round: jobs that fit in the slots side by side, at most
// `parallel` of them unless the round is the sweep's (one job). Empty when
// nothing is left to learn. Every job of a round must be recorded before the
// next round is asked for.
std::vector<PlannedRun> next_round(Isolation &state);

// Records what a job of the last round showed.
void record(Isolation &state, const PlannedRun &job, const pairdot_model::JobEvidence &seen);

} // namespace pairdot_run
