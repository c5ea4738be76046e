#pragma once

// From the words after -- (CMake's MPIEXEC NUMPROC_FLAG N PREFLAGS...) to the
// launcher and the launch the layer starts.

#include "job_options.hpp"
#include "launcher.hpp"

#include <string>
#include <vector>

namespace pairdot_harness {

struct LauncherWords {
  std::string command;            // empty: the program runs alone, a singleton
  std::vector<std::string> extra; // the preflags, passed on unchanged
};

// Splits MPIEXEC FLAG N PREFLAGS...; FLAG must ask for processes, N be np.
LauncherWords split_launcher_words(const std::vector<std::string> &words, int np);

// The library's own launcher when named ("mpich", "openmpi"), else the one
// whose `--version` text the command prints.
const pairdot_launch::Launcher &launcher_for(const std::string &command,
                                             const std::string &library);

// The launch of the job; the program is started as given, under the shim.
pairdot_launch::Launch job_launch(const JobOptions &options, const LauncherWords &words,
                                  const pairdot_launch::Launcher &launcher);

} // namespace pairdot_harness
