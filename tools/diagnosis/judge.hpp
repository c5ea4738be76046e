#pragma once

// What an ended job shows: from what was seen of it (the launcher's exit, the
// hosts its ranks recorded, their output) to its outcome. No processes, no
// files: the engine and the cluster model gather the observations.

#include "run_report.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace pairdot_run {

struct JobPlan {
  int number = 0;
  pairdot_model::JobKind kind = pairdot_model::JobKind::single;
  std::vector<std::string> rank_hosts; // empty: np ranks on this machine
  int np = 0;
  std::vector<std::string> tested_hosts; // reach: the hosts in question
};

// What of a run's settings the judge needs.
struct JudgeSettings {
  bool probe = false;               // the program is pairdot-probe
  std::string local_host;           // this machine's name
  double timeout = 60;              // seconds
  double grace = 3;                 // seconds a job may linger after complete output
  bool finalize_hang_known = false; // MPICH 4.0: the finalize hang over UCX TCP
  std::string one_process_advice;   // the launcher's, for one-process jobs; may be empty
};

// How a job came to its end.
enum class JobEnd : std::uint8_t {
  exited,            // the launcher exited by itself
  by_bound,          // ended by the time bound
  after_output,      // ended a grace after its output was complete
  for_missing_hosts, // ended once every rank had started but those of some hosts
  not_started,       // the launcher could not be started
};

struct UnavailableHost {
  std::string host;
  std::string state; // as Slurm names it
};

struct JobObservations {
  JobEnd end = JobEnd::exited;
  int launcher_status = -1; // exit status, 128 + signal, or -1 if never started
  std::string start_error;  // why the launcher could not be started
  double seconds = 0;       // from start to end
  double quiet_seconds = 0; // for_missing_hosts: from the last rank's start to the end
  std::vector<std::string> recorded_hosts;  // per rank, "" where none was recorded
  std::vector<std::string> rank_output;     // per rank, its standard output
  std::vector<std::string> launcher_errors; // the launcher's standard error, line by line
  bool launcher_said_waiting = false;       // its output shows Slurm kept the step waiting
  std::vector<UnavailableHost> unavailable; // hosts of the job Slurm would not use
};

// The host of every rank: the plan's, or np times this machine.
std::vector<std::string> planned_hosts(const JobPlan &plan, const std::string &local_host);

// Slurm kept the step waiting for its nodes, and no rank ran.
bool kept_waiting(const JobObservations &seen);

// Hosts none of whose ranks started, when every rank of every other host
// has: ranks in the order of the placement, empty names not started. Empty
// when no rank started, or when some host is only partly started.
std::vector<std::string> hosts_missing(const std::vector<std::string> &planned,
                                       const std::vector<std::string> &recorded);

// The job's outcome: its status, its pairs by host, and what it says of them.
// The placement (the launcher's syntax) is left to the caller.
pairdot_model::JobOutcome judge_job(const JudgeSettings &settings, const JobPlan &plan,
                                    const JobObservations &seen);

} // namespace pairdot_run
