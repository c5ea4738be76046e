#pragma once

// The launch layer: one type per launcher (MPICH's Hydra, Open MPI's
// mpiexec, Slurm's srun), each owning its command line, environment,
// placement file, output paths and version test; the MPI library apart.
// Adding a launcher is one more type and its row in the table of launchers.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pairdot_launch {

enum class MpiLibrary : std::uint8_t { mpich, openmpi };
class Scheduler;

// As users know it: "MPICH", "Open MPI".
const char *library_name(MpiLibrary library);
// Which library a program is linked with, from its bytes (the names of the
// shared libraries it needs), if any.
std::optional<MpiLibrary> library_of_program(std::string_view program_bytes);
// The same, reading the program's file.
std::optional<MpiLibrary> program_library(const std::string &program);
// srun's PMI plugin for a program built with this library.
const char *srun_plugin(MpiLibrary library);

// Where the ranks' standard output goes.
enum class OutputForm : std::uint8_t {
  files,  // a file per rank under the job's directory
  tagged, // the launcher's own standard output, every line tagged with its rank
  merged, // the launcher's own standard output, untagged
};

struct Launch {
  std::string command;                 // the launcher to run
  std::vector<std::string> rank_hosts; // host of every rank; empty: this machine only
  int np = 0;
  std::string dir;  // the job's directory: placement and output files
  std::string shim; // started in place of the program; empty: none
  std::string program;
  std::vector<std::string> program_args; // after the program
  OutputForm output = OutputForm::files;
  std::string tcp_interface;          // force TCP on it; empty: the library's choice
  std::string mpi_plugin;             // srun: the program's library's PMI plugin
  int step_seconds = 0;               // srun: the step's time limit
  std::vector<std::string> forwarded; // variables every rank must see, remote ones too
  std::vector<std::string> extra;     // passed to every launch unchanged
};

// UCX, under both libraries, logs to standard output unless told otherwise,
// and a rank's standard output is pairdot's alone: sends its log to standard
// error in this process's environment, and forwards the setting to remote
// ranks. A user's own UCX_LOG_FILE stands.
void send_library_logs_to_stderr(Launch &launch);

class Launcher {
public:
  Launcher() = default;
  Launcher(const Launcher &) = delete;
  Launcher &operator=(const Launcher &) = delete;
  virtual ~Launcher() = default;

  [[nodiscard]] virtual const char *name() const = 0;    // as --launcher takes it: "mpich"
  [[nodiscard]] virtual const char *command() const = 0; // on Debian: "mpiexec.mpich"
  [[nodiscard]] virtual const char *owner() const = 0;   // as users know it: "MPICH", "Slurm"
  // The library whose jobs it starts; none: any library's.
  [[nodiscard]] virtual std::optional<MpiLibrary> library() const = 0;
  // Whether its `--version` text is this launcher's.
  [[nodiscard]] virtual bool wrote_version(std::string_view version_text) const = 0;

  // The placement file's text: rank r on line r unless the launcher says otherwise.
  [[nodiscard]] virtual std::string
  placement_text(const std::vector<std::string> &rank_hosts) const;
  // The command line; the placement file is dir + "/placement".
  [[nodiscard]] virtual std::vector<std::string> command_line(const Launch &launch) const = 0;
  // Variables the launch needs beside the caller's environment ("NAME=value").
  [[nodiscard]] virtual std::vector<std::string> environment(const Launch &launch) const;
  // Where a rank's standard output and standard error land under dir.
  [[nodiscard]] virtual std::string rank_stdout(const std::string &dir, int rank) const;
  [[nodiscard]] virtual std::string rank_stderr(const std::string &dir, int rank) const;
  // How a user starts the planned job by hand with the placement file.
  [[nodiscard]] virtual std::string hint(int np, const std::string &placement_file) const = 0;

  // The launcher kept the job waiting for resources (its standard error).
  [[nodiscard]] virtual bool waited_for_resources(std::string_view launcher_stderr) const;
  // The scheduler it starts its jobs through; none: it starts them itself.
  [[nodiscard]] virtual const Scheduler *scheduler() const { return nullptr; }
  // What to do when the ranks start as one-process jobs; empty: nothing to add.
  [[nodiscard]] virtual std::string one_process_advice(const Launch &launch) const;
};

// What every command line ends with: the shim (if any), the program and its words.
void append_program(std::vector<std::string> &argv, const Launch &launch);

// Every launcher, in the order --launcher lists them.
const std::vector<const Launcher *> &all_launchers();
const Launcher *launcher_named(std::string_view name);
// The launcher a `--version` text comes from, if any.
const Launcher *launcher_of_version(std::string_view version_text);
// The library's own mpiexec.
const Launcher &native_launcher(MpiLibrary library);

// The launchers themselves, one file each.
const Launcher &hydra_launcher();
const Launcher &open_mpi_launcher();
const Launcher &srun_launcher();

} // namespace pairdot_launch
