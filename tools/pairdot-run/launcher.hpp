#pragma once

// The seam between pairdot-run and an MPI launcher: how a job is placed,
// started and where each rank's output lands. A launcher is one more case in
// each function here.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pairdot_run {

// mpich and openmpi are also the libraries a program can be built with.
enum class Launcher { mpich, openmpi, srun };

std::optional<Launcher> launcher_named(std::string_view name);
std::string launcher_name(Launcher launcher);
// The library a launcher belongs to, as users know it ("MPICH").
std::string library_name(Launcher launcher);
// The launcher's command on Debian ("mpiexec.mpich").
std::string launcher_command(Launcher launcher);
// Which launcher a `--version` text comes from, if any.
std::optional<Launcher> launcher_of_version(std::string_view version_text);
// Which library a program is linked with, from its bytes (the names of the
// shared libraries it needs), if any.
std::optional<Launcher> library_of_program(std::string_view program_bytes);

struct Launch {
  std::string command;                 // the launcher to run
  std::vector<std::string> rank_hosts; // host of every rank; empty: this machine only
  int np = 0;
  std::string dir;  // the job's directory: placement and output files
  std::string shim; // records each rank's host, then runs the program
  std::string program;
  std::vector<std::string> program_args; // after the program
  std::string tcp_interface;             // force TCP on it; empty: the library's choice
  std::string mpi_plugin;                // srun: the library's PMI plugin
  int step_seconds = 0;                  // srun: the step's time limit
  std::vector<std::string> extra;        // passed to every launch unchanged
};

// The placement file's text, in the launcher's own syntax.
std::string placement_text(Launcher launcher, const std::vector<std::string> &rank_hosts);
// The launch command line; the placement file is dir + "/placement".
std::vector<std::string> launch_command(Launcher launcher, const Launch &launch);
// Variables the launch needs beside the caller's environment ("NAME=value").
std::vector<std::string> launch_environment(Launcher launcher, const Launch &launch);
// Slurm's per-node counts ("2(x3),1") one a node ({2, 2, 2, 1}); empty if malformed.
std::vector<int> expand_slurm_counts(std::string_view counts);
// The hosts Slurm would not start a job on, each with what `sinfo --noheader
// --Node --format="%N %T"` says of it ("pdslmpich-node3 completing"): down,
// drained, failing, still ending an earlier job, not responding ('*'), ...
// Idle and busy nodes (allocated, mixed, reserved) are left out.
std::vector<std::pair<std::string, std::string>>
unavailable_nodes(std::string_view sinfo_text, const std::vector<std::string> &hosts);
// srun's plugin for a program built with this library.
std::string srun_plugin(Launcher library);
// How a user starts the planned job by hand with the placement file.
std::string launch_hint(Launcher launcher, int np, const std::string &placement_file);

// Where a rank's standard output and standard error land under dir (Open MPI
// adds a job number directory, so these may need a search).
std::string rank_stdout(Launcher launcher, const std::string &dir, int rank);
std::string rank_stderr(Launcher launcher, const std::string &dir, int rank);

} // namespace pairdot_run
