#pragma once

// Runs what pairdot-run was asked for: one job, or a sweep over every ordered
// pair of hosts with isolation of what failed, keeping the report current.

#include "job.hpp"
#include "run_events.hpp"
#include "run_report.hpp"
#include "topology.hpp"

#include <string>
#include <vector>

namespace pairdot_run {

struct RunOptions {
  RunSettings settings;
  std::vector<pairdot_hosts::Host> hosts; // empty: this machine
  int np = 0;
  bool sweep = false;
  std::string report_dir; // empty: none kept
  bool resume = false;
  int parallel = 4;                  // jobs side by side while isolating
  pairdot_model::SlowRule slow_rule; // probe runs
  pairdot_hosts::Topology topology;  // empty: switches unknown
  // Told besides the terminal and the report files (drain, metrics, a watch).
  std::vector<RunListener> listeners;
};

// Exit status of pairdot-run.
constexpr int exit_verified = 0;
constexpr int exit_fault = 1;
constexpr int exit_usage = 2;
constexpr int exit_interrupted = 130;

// Ranks placed round-robin over the hosts, skipping full ones, so that pairs
// span hosts.
std::vector<std::string> round_robin(const std::vector<pairdot_hosts::Host> &hosts, int np);

// The sweep's jobs, numbered from 1.
std::vector<JobPlan> sweep_jobs(const std::vector<pairdot_hosts::Host> &hosts);

// Writes the jobs' placements and rank hosts for users who submit them
// their own way.
void print_plan(const pairdot_launch::Launcher &launcher, const std::vector<JobPlan> &jobs);

// Runs the job or sweep; prints progress on standard error and the verdict
// on standard output. Returns the exit status.
int run(const RunOptions &options);
// The same through the given runner (a cluster model in the tests).
int run(const RunOptions &options, JobRunner &runner);
// Stops the run (not a watch) as an interrupt does: running jobs ended,
// finished ones kept.
void request_stop();
// Whether SIGINT, SIGTERM or SIGHUP came since catch_interrupts.
bool stop_requested();

// Installs the handlers that let a run stop cleanly on SIGINT, SIGTERM, SIGHUP.
void catch_interrupts();

} // namespace pairdot_run
