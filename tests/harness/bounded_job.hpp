#pragma once

// A job's processes: started in a group of their own, ended by a time bound,
// and found by the job's directory in their command lines.

#include "process.hpp"

#include <string>
#include <sys/types.h>
#include <vector>

namespace pairdot_harness {

struct EndedJob {
  pid_t group = -1;            // the launcher's process group
  int status = -1;             // exit status, or 128 + signal
  bool ended_by_bound = false; // the time bound ended it
};

// Runs what in a process group of its own. Past `seconds` the group gets
// SIGTERM, and SIGKILL 5 s later. A SIGINT, SIGTERM or SIGHUP to the harness
// kills the group and throws Failure.
EndedJob run_bounded(pairdot_launch::Spawn what, double seconds);

// Runs a command to its end: its exit status, or 128 + signal.
int run_to_end(const pairdot_launch::Spawn &what);

// The job's processes still there after waiting up to `seconds` for them to end.
std::vector<std::string> processes_left(const std::string &dir, pid_t group, double seconds);

// Kills every process of the job.
void kill_job_processes(const std::string &dir, pid_t group);

// Catches SIGINT, SIGTERM and SIGHUP, so that the job is ended before exit.
void catch_interrupts();

} // namespace pairdot_harness
