#include "job_launch.hpp"

#include "process.hpp"

#include <algorithm>
#include <array>

namespace pairdot_harness {

namespace {

using pairdot_launch::Launcher;

// How launchers are asked for a number of processes.
bool asks_for_processes(const std::string &flag) {
  static const std::array<const char *, 3> flags{"-n", "-np", "--np"};
  return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

// The output form named by --form.
pairdot_launch::OutputForm output_form(const std::string &name) {
  if (name == "tagged") {
    return pairdot_launch::OutputForm::tagged;
  }
  return name == "merged" ? pairdot_launch::OutputForm::merged : pairdot_launch::OutputForm::files;
}

} // namespace

LauncherWords split_launcher_words(const std::vector<std::string> &words, int np) {
  if (words.empty()) {
    return {};
  }
  if (words.size() < 3 || !asks_for_processes(words[1])) {
    throw UsageError("want MPIEXEC NUMPROC_FLAG N [PREFLAGS...] after --, not '" + words[0] +
                     (words.size() > 1 ? " " + words[1] : "") + "...'");
  }
  if (words[2] != std::to_string(np)) {
    throw UsageError("the launcher words ask for " + words[2] + " processes, --np for " +
                     std::to_string(np));
  }
  return {words[0], {words.begin() + 3, words.end()}};
}

const Launcher &launcher_for(const std::string &command, const std::string &library) {
  if (library == "mpich") {
    return pairdot_launch::hydra_launcher();
  }
  if (library == "openmpi") {
    return pairdot_launch::open_mpi_launcher();
  }
  const Launcher *launcher =
      pairdot_launch::launcher_of_version(pairdot_launch::output_of({command, "--version"}));
  if (launcher == nullptr) {
    throw UsageError("cannot tell which MPI library " + command + " belongs to");
  }
  return *launcher;
}

pairdot_launch::Launch job_launch(const JobOptions &options, const LauncherWords &words,
                                  const Launcher &launcher) {
  pairdot_launch::Launch launch;
  launch.command = words.command;
  launch.rank_hosts = options.rank_hosts;
  launch.np = options.np;
  launch.dir = options.dir;
  launch.program = options.program;
  launch.program_args = options.program_args;
  launch.output = output_form(options.form);
  launch.tcp_interface = options.tcp;
  // A launcher of any library (srun) needs the program's.
  if (!launcher.library()) {
    launch.mpi_plugin =
        pairdot_launch::srun_plugin(pairdot_launch::program_library(options.program)
                                        .value_or(pairdot_launch::MpiLibrary::mpich));
  }
  launch.extra = words.extra;
  return launch;
}

} // namespace pairdot_harness
