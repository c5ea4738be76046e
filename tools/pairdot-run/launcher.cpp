#include "launcher.hpp"

#include <filesystem>

namespace pairdot_run {

std::optional<Launcher> launcher_named(std::string_view name) {
  if (name == "mpich") {
    return Launcher::mpich;
  }
  if (name == "openmpi") {
    return Launcher::openmpi;
  }
  return std::nullopt;
}

std::string launcher_name(Launcher launcher) {
  return launcher == Launcher::mpich ? "mpich" : "openmpi";
}

std::string library_name(Launcher launcher) {
  return launcher == Launcher::mpich ? "MPICH" : "Open MPI";
}

std::string launcher_command(Launcher launcher) { return "mpiexec." + launcher_name(launcher); }

std::optional<Launcher> launcher_of_version(std::string_view version_text) {
  if (version_text.find("HYDRA") != std::string_view::npos) {
    return Launcher::mpich;
  }
  if (version_text.find("Open MPI") != std::string_view::npos ||
      version_text.find("OpenRTE") != std::string_view::npos) {
    return Launcher::openmpi;
  }
  return std::nullopt;
}

std::optional<Launcher> library_of_program(std::string_view program_bytes) {
  if (program_bytes.find("libmpich.so") != std::string_view::npos) {
    return Launcher::mpich;
  }
  if (program_bytes.find("libmpi.so.") != std::string_view::npos ||
      program_bytes.find("libmpi_cxx.so") != std::string_view::npos) {
    return Launcher::openmpi;
  }
  return std::nullopt;
}

std::string placement_text(Launcher launcher, const std::vector<std::string> &rank_hosts) {
  std::string text;
  if (launcher == Launcher::openmpi) {
    // The sequential mapper: rank r on line r.
    for (const std::string &host : rank_hosts) {
      text += host + "\n";
    }
    return text;
  }
  // Hydra fills the entries in order, runs of one host as host:count.
  for (std::size_t i = 0; i < rank_hosts.size();) {
    std::size_t run = 1;
    while (i + run < rank_hosts.size() && rank_hosts[i + run] == rank_hosts[i]) {
      ++run;
    }
    text += rank_hosts[i] + ":" + std::to_string(run) + "\n";
    i += run;
  }
  return text;
}

std::vector<std::string> launch_command(Launcher launcher, const LaunchSpec &spec) {
  std::vector<std::string> argv{spec.command};
  argv.insert(argv.end(), spec.extra.begin(), spec.extra.end());
  const std::string placement = spec.dir + "/placement";
  if (launcher == Launcher::mpich) {
    if (!spec.rank_hosts.empty()) {
      argv.insert(argv.end(), {"-f", placement});
    }
    if (!spec.tcp_interface.empty()) {
      argv.insert(argv.end(),
                  {"-genv", "UCX_TLS", "tcp,self", "-genv", "UCX_NET_DEVICES", spec.tcp_interface});
    }
    argv.insert(argv.end(), {"-outfile-pattern", spec.dir + "/out.%r", "-errfile-pattern",
                             spec.dir + "/err.%r"});
  } else {
    if (spec.rank_hosts.empty()) {
      argv.emplace_back("--oversubscribe");
    } else {
      argv.insert(argv.end(), {"--hostfile", placement, "--map-by", "seq"});
    }
    if (!spec.tcp_interface.empty()) {
      argv.insert(argv.end(),
                  {"--mca", "pml", "ob1", "--mca", "btl", "tcp,self", "--mca", "btl_tcp_if_include",
                   spec.tcp_interface, "--mca", "oob_tcp_if_include", spec.tcp_interface});
    }
    argv.insert(argv.end(), {"--output-filename", spec.dir + "/ompi"});
  }
  argv.insert(argv.end(), {"-n", std::to_string(spec.np), spec.shim, spec.program});
  return argv;
}

std::string launch_hint(Launcher launcher, int np, const std::string &placement_file) {
  const std::string n = " -n " + std::to_string(np) + " pairdot";
  return launcher == Launcher::mpich
             ? "mpiexec.mpich -f " + placement_file + n
             : "mpiexec.openmpi --hostfile " + placement_file + " --map-by seq" + n;
}

namespace {

// Open MPI writes DIR/ompi/<job>/rank.<r>/<stream>, r zero-padded to the
// width of the job's highest rank.
std::string open_mpi_file(const std::string &dir, int rank, const char *stream) {
  namespace fs = std::filesystem;
  const fs::path base = fs::path(dir) / "ompi";
  const std::string digits = std::to_string(rank);
  std::error_code error;
  for (const auto &job : fs::directory_iterator(base, error)) {
    for (std::size_t width = digits.size(); width <= 10; ++width) {
      const std::string name = "rank." + std::string(width - digits.size(), '0') + digits;
      fs::path file = job.path() / name / stream;
      if (fs::exists(file, error)) {
        return file.string();
      }
    }
  }
  return (base / "1" / ("rank." + digits) / stream).string();
}

} // namespace

std::string rank_stdout(Launcher launcher, const std::string &dir, int rank) {
  return launcher == Launcher::mpich ? dir + "/out." + std::to_string(rank)
                                     : open_mpi_file(dir, rank, "stdout");
}

std::string rank_stderr(Launcher launcher, const std::string &dir, int rank) {
  return launcher == Launcher::mpich ? dir + "/err." + std::to_string(rank)
                                     : open_mpi_file(dir, rank, "stderr");
}

} // namespace pairdot_run
