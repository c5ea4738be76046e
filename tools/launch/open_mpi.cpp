// Open MPI's launcher (mpiexec.openmpi).

#include "launcher.hpp"

#include <filesystem>

namespace pairdot_launch {

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

class OpenMpiExec final : public Launcher {
public:
  [[nodiscard]] const char *name() const override { return "openmpi"; }
  [[nodiscard]] const char *command() const override { return "mpiexec.openmpi"; }
  [[nodiscard]] const char *owner() const override { return "Open MPI"; }
  [[nodiscard]] std::optional<MpiLibrary> library() const override { return MpiLibrary::openmpi; }
  [[nodiscard]] bool wrote_version(std::string_view text) const override {
    return text.find("Open MPI") != std::string_view::npos ||
           text.find("OpenRTE") != std::string_view::npos;
  }

  // The sequential mapper: rank r on line r of the placement.
  [[nodiscard]] std::vector<std::string> command_line(const Launch &launch) const override {
    std::vector<std::string> argv{launch.command};
    argv.insert(argv.end(), launch.extra.begin(), launch.extra.end());
    if (launch.rank_hosts.empty()) {
      argv.emplace_back("--oversubscribe");
    } else {
      argv.insert(argv.end(), {"--hostfile", launch.dir + "/placement", "--map-by", "seq"});
    }
    // MPI's messages only: the daemons' own channel (oob) stays on whatever
    // network reaches the launch host, which may not have this interface.
    if (!launch.tcp_interface.empty()) {
      argv.insert(argv.end(), {"--mca", "pml", "ob1", "--mca", "btl", "tcp,self", "--mca",
                               "btl_tcp_if_include", launch.tcp_interface});
    }
    // Remote daemons hand on only the variables named.
    for (const std::string &name : launch.forwarded) {
      argv.insert(argv.end(), {"-x", name});
    }
    if (launch.output == OutputForm::tagged) {
      argv.emplace_back("--tag-output");
    } else if (launch.output == OutputForm::files) {
      argv.insert(argv.end(), {"--output-filename", launch.dir + "/ompi"});
    }
    argv.insert(argv.end(), {"-n", std::to_string(launch.np)});
    append_program(argv, launch);
    return argv;
  }

  [[nodiscard]] std::string rank_stdout(const std::string &dir, int rank) const override {
    return open_mpi_file(dir, rank, "stdout");
  }
  [[nodiscard]] std::string rank_stderr(const std::string &dir, int rank) const override {
    return open_mpi_file(dir, rank, "stderr");
  }

  [[nodiscard]] std::string hint(int np, const std::string &placement_file) const override {
    return "mpiexec.openmpi --hostfile " + placement_file + " --map-by seq -n " +
           std::to_string(np) + " pairdot";
  }
};

} // namespace

const Launcher &open_mpi_launcher() {
  static const OpenMpiExec launcher;
  return launcher;
}

} // namespace pairdot_launch
