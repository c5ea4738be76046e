// MPICH's launcher, Hydra (mpiexec.mpich).

#include "launcher.hpp"

namespace pairdot_launch {

namespace {

class Hydra final : public Launcher {
public:
  [[nodiscard]] const char *name() const override { return "mpich"; }
  [[nodiscard]] const char *command() const override { return "mpiexec.mpich"; }
  [[nodiscard]] const char *owner() const override { return "MPICH"; }
  [[nodiscard]] std::optional<MpiLibrary> library() const override { return MpiLibrary::mpich; }
  [[nodiscard]] bool wrote_version(std::string_view text) const override {
    return text.find("HYDRA") != std::string_view::npos;
  }

  // Hydra fills the entries in order, runs of one host as host:count.
  [[nodiscard]] std::string
  placement_text(const std::vector<std::string> &rank_hosts) const override {
    std::string text;
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

  // Hydra hands every rank the whole environment: nothing to forward.
  [[nodiscard]] std::vector<std::string> command_line(const Launch &launch) const override {
    std::vector<std::string> argv{launch.command};
    argv.insert(argv.end(), launch.extra.begin(), launch.extra.end());
    if (!launch.rank_hosts.empty()) {
      argv.insert(argv.end(), {"-f", launch.dir + "/placement"});
    }
    if (!launch.tcp_interface.empty()) {
      argv.insert(argv.end(), {"-genv", "UCX_TLS", "tcp,self", "-genv", "UCX_NET_DEVICES",
                               launch.tcp_interface});
    }
    if (launch.output == OutputForm::tagged) {
      argv.emplace_back("-prepend-rank");
    } else if (launch.output == OutputForm::files) {
      argv.insert(argv.end(), {"-outfile-pattern", launch.dir + "/out.%r", "-errfile-pattern",
                               launch.dir + "/err.%r"});
    }
    argv.insert(argv.end(), {"-n", std::to_string(launch.np)});
    append_program(argv, launch);
    return argv;
  }

  [[nodiscard]] std::string hint(int np, const std::string &placement_file) const override {
    return "mpiexec.mpich -f " + placement_file + " -n " + std::to_string(np) + " pairdot";
  }
};

} // namespace

const Launcher &hydra_launcher() {
  static const Hydra launcher;
  return launcher;
}

} // namespace pairdot_launch
