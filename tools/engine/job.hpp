#pragma once

// One bounded pairdot job: started through a launcher in a process group of
// its own, watched until it ends, is ended by its time bound, or has printed
// everything and lingers; what it left is then handed to the judge.

#include "judge.hpp"
#include "launcher.hpp"
#include "process.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pairdot_run {

using Clock = std::chrono::steady_clock;

struct RunSettings {
  const pairdot_launch::Launcher *launcher = &pairdot_launch::hydra_launcher();
  // What every job's launch shares: the launcher's path, the shim, the
  // program and its words, TCP, srun's plugin, the user's words.
  pairdot_launch::Launch launch;
  bool probe = false;               // the program is pairdot-probe
  std::string local_host;           // this machine's name
  double timeout = 60;              // seconds
  double grace = 3;                 // seconds a job may linger after complete output
  bool finalize_hang_known = false; // MPICH 4.0: the finalize hang over UCX TCP
};

// What the judge takes of the settings.
JudgeSettings judge_settings(const RunSettings &settings);

struct RunningJob {
  JobPlan plan;
  std::string dir;
  pairdot_launch::ProcessGroup group;
  Clock::time_point start;
  std::optional<Clock::time_point> complete_at; // every rank's output complete
  Clock::time_point output_read;                // when the output was last looked at
  std::size_t ranks_started = 0;                // ranks whose start was seen
  Clock::time_point last_start;                 // when that count last grew
  bool only_hosts_missing = false;              // then: every rank but those of some hosts
  JobEnd end = JobEnd::exited;                  // why the watch ended it, if it did
  int launcher_status = -1;                     // exit status, 128 + signal, or -1 if never started
  std::string start_error;
};

// Starts the job in dir (made empty first).
RunningJob start_job(const RunSettings &settings, const JobPlan &plan, const std::string &dir);
// Advances the job's watch; true once it has ended and been reaped.
bool poll_job(const RunSettings &settings, RunningJob &job);
// Ends the job's processes now (an interrupted run).
void kill_job(RunningJob &job);
// What the ended job left: its launcher's exit, its ranks' hosts and output.
JobObservations observe_job(const RunSettings &settings, const RunningJob &job);

// The host each rank recorded, "" where none; from the shim's lines.
std::vector<std::string> recorded_hosts(const RunSettings &settings, const std::string &dir,
                                        int np);
// Complete when every rank wrote all its lines: pairdot's 2 for an even rank,
// 4 for an odd one; the probe's 1 for an odd rank, none for an even one, and
// a rank without a partner started.
bool output_complete(const RunSettings &settings, const std::string &dir, int np);

// Starts, watches and ends jobs. The process backend runs them through the
// launcher; a cluster model answers for them in the tests.
class JobRunner {
public:
  JobRunner() = default;
  JobRunner(const JobRunner &) = delete;
  JobRunner &operator=(const JobRunner &) = delete;
  virtual ~JobRunner() = default;

  virtual void start(const JobPlan &plan) = 0;
  // Jobs started and not yet returned by poll.
  [[nodiscard]] virtual std::size_t running() const = 0;
  // The jobs that have ended since the last call; waits a moment when none has.
  virtual std::vector<pairdot_model::JobOutcome> poll() = 0;
  // Ends every running job now (an interrupted run).
  virtual void stop_all() = 0;
};

// Runs each job in jobs_dir/<number> through the settings' launcher.
std::unique_ptr<JobRunner> process_runner(const RunSettings &settings, const std::string &jobs_dir);

} // namespace pairdot_run
