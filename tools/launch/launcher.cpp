#include "launcher.hpp"

#include "process.hpp"

#include <algorithm>
#include <cstdlib>

namespace pairdot_launch {

const char *library_name(MpiLibrary library) {
  return library == MpiLibrary::mpich ? "MPICH" : "Open MPI";
}

std::optional<MpiLibrary> library_of_program(std::string_view program_bytes) {
  if (program_bytes.find("libmpich.so") != std::string_view::npos) {
    return MpiLibrary::mpich;
  }
  if (program_bytes.find("libmpi.so.") != std::string_view::npos ||
      program_bytes.find("libmpi_cxx.so") != std::string_view::npos) {
    return MpiLibrary::openmpi;
  }
  return std::nullopt;
}

void send_library_logs_to_stderr(Launch &launch) {
  setenv("UCX_LOG_FILE", "stderr", 0);
  launch.forwarded.emplace_back("UCX_LOG_FILE");
}

std::optional<MpiLibrary> program_library(const std::string &program) {
  return library_of_program(file_text(program));
}

const char *srun_plugin(MpiLibrary library) {
  return library == MpiLibrary::mpich ? "pmi2" : "pmix";
}

std::string Launcher::placement_text(const std::vector<std::string> &rank_hosts) const {
  std::string text;
  for (const std::string &host : rank_hosts) {
    text += host + "\n";
  }
  return text;
}

std::vector<std::string> Launcher::environment(const Launch & /*launch*/) const { return {}; }

std::string Launcher::rank_stdout(const std::string &dir, int rank) const {
  return dir + "/out." + std::to_string(rank);
}

std::string Launcher::rank_stderr(const std::string &dir, int rank) const {
  return dir + "/err." + std::to_string(rank);
}

bool Launcher::waited_for_resources(std::string_view /*launcher_stderr*/) const { return false; }

std::string Launcher::one_process_advice(const Launch & /*launch*/) const { return {}; }

void append_program(std::vector<std::string> &argv, const Launch &launch) {
  if (!launch.shim.empty()) {
    argv.push_back(launch.shim);
  }
  argv.push_back(launch.program);
  argv.insert(argv.end(), launch.program_args.begin(), launch.program_args.end());
}

const std::vector<const Launcher *> &all_launchers() {
  static const std::vector<const Launcher *> launchers{&hydra_launcher(), &open_mpi_launcher(),
                                                       &srun_launcher()};
  return launchers;
}

const Launcher *launcher_named(std::string_view name) {
  for (const Launcher *launcher : all_launchers()) {
    if (name == launcher->name()) {
      return launcher;
    }
  }
  return nullptr;
}

const Launcher *launcher_of_version(std::string_view version_text) {
  for (const Launcher *launcher : all_launchers()) {
    if (launcher->wrote_version(version_text)) {
      return launcher;
    }
  }
  return nullptr;
}

const Launcher &native_launcher(MpiLibrary library) {
  return library == MpiLibrary::mpich ? hydra_launcher() : open_mpi_launcher();
}

} // namespace pairdot_launch
