#pragma once

// One bounded pairdot job: started through a launcher in a process group of
// its own, watched until it ends, is ended by its time bound, or has printed
// everything and lingers; then verified with the checker and named by host.

#include "launcher.hpp"
#include "run_report.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace pairdot_run {

using Clock = std::chrono::steady_clock;

struct RunSettings {
  Launcher launcher = Launcher::mpich;
  std::string command; // the launcher's path
  std::string program;
  bool probe = false;                    // the program is pairdot-probe
  std::vector<std::string> program_args; // words for the program
  std::string shim;
  std::string tcp_interface;
  std::string mpi_plugin; // srun: the PMI plugin of the program's library
  std::vector<std::string> extra;
  std::string local_host;           // this machine's name
  double timeout = 60;              // seconds
  double grace = 3;                 // seconds a job may linger after complete output
  bool finalize_hang_known = false; // MPICH 4.0: the finalize hang over UCX TCP
};

struct JobPlan {
  int number = 0;
  pairdot_model::JobKind kind = pairdot_model::JobKind::single;
  std::vector<std::string> rank_hosts; // empty: np ranks on this machine
  int np = 0;
};

struct RunningJob {
  JobPlan plan;
  std::string dir;
  pid_t pid = -1;
  Clock::time_point start;
  std::optional<Clock::time_point> complete_at; // every rank's output complete
  Clock::time_point output_read;                // when the output was last looked at
  std::optional<Clock::time_point> term_at;     // SIGTERM sent
  std::size_t ranks_started = 0;                // ranks whose start was seen
  Clock::time_point last_start;                 // when that count last grew
  bool only_hosts_missing = false;              // then: every rank but those of some hosts
  bool ended_by_bound = false;
  bool ended_after_output = false;
  bool ended_for_missing_hosts = false; // all ranks started but those of some hosts
  int launcher_status = -1;             // exit status, 128 + signal, or -1 if never started
  std::string start_error;
};

// Starts the job in dir (made empty first).
RunningJob start_job(const RunSettings &settings, const JobPlan &plan, const std::string &dir);
// Advances the job's watch; true once it has ended and been reaped.
bool poll_job(const RunSettings &settings, RunningJob &job);
// Ends the job's processes now (an interrupted run).
void kill_job(RunningJob &job);
// Verifies the ended job's output and names its pairs by host.
pairdot_model::JobOutcome finish_job(const RunSettings &settings, const RunningJob &job);

// The host each rank recorded, "" where none; from the shim's lines.
std::vector<std::string> recorded_hosts(const RunSettings &settings, const std::string &dir,
                                        int np);
// Hosts none of whose ranks started, when every rank of every other host
// has: ranks in the order of the placement, empty names not started. Empty
// when no rank started, or when some host is only partly started.
std::vector<std::string> hosts_missing(const std::vector<std::string> &planned,
                                       const std::vector<std::string> &recorded);
// Complete when every rank wrote all its lines: pairdot's 2 for an even rank,
// 4 for an odd one; the probe's 1 for an odd rank, none for an even one, and
// a rank without a partner started.
bool output_complete(const RunSettings &settings, const std::string &dir, int np);

} // namespace pairdot_run
