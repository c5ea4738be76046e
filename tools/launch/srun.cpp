// Slurm's srun: a job step inside an allocation.

#include "launcher.hpp"
#include "slurm.hpp"

#include <algorithm>

namespace pairdot_launch {

namespace {

class Srun final : public Launcher {
public:
  [[nodiscard]] const char *name() const override { return "srun"; }
  [[nodiscard]] const char *command() const override { return "srun"; }
  [[nodiscard]] const char *owner() const override { return "Slurm"; }
  [[nodiscard]] std::optional<MpiLibrary> library() const override { return std::nullopt; }
  // "slurm 22.05.8", Debian's "slurm-wlm 22.05.8"
  [[nodiscard]] bool wrote_version(std::string_view text) const override {
    return text.rfind("slurm", 0) == 0;
  }

  // Placement through SLURM_HOSTFILE; the step always ends when a task fails
  // (a job whose rank died hangs otherwise) and has a time limit.
  [[nodiscard]] std::vector<std::string> command_line(const Launch &launch) const override {
    const int limit = std::max(launch.step_seconds, 1);
    std::vector<std::string> argv{launch.command,
                                  "--mpi=" + launch.mpi_plugin,
                                  "--kill-on-bad-exit=1",
                                  "--overlap", // isolation steps side by side in one allocation
                                  "--time=" + std::to_string((limit + 59) / 60),
                                  "--ntasks=" + std::to_string(launch.np)};
    if (launch.output == OutputForm::tagged) {
      argv.emplace_back("--label");
    } else if (launch.output == OutputForm::files) {
      argv.insert(argv.end(),
                  {"--output=" + launch.dir + "/out.%t", "--error=" + launch.dir + "/err.%t"});
    }
    if (!launch.rank_hosts.empty()) {
      argv.emplace_back("--distribution=arbitrary");
    }
    // The user's words come last, so that they win.
    argv.insert(argv.end(), launch.extra.begin(), launch.extra.end());
    append_program(argv, launch);
    return argv;
  }

  [[nodiscard]] std::vector<std::string> environment(const Launch &launch) const override {
    std::vector<std::string> env;
    if (!launch.rank_hosts.empty()) {
      env.push_back("SLURM_HOSTFILE=" + launch.dir + "/placement");
    }
    if (!launch.tcp_interface.empty()) {
      // What mpiexec's options set, as the variables each library reads.
      env.insert(env.end(),
                 {"UCX_TLS=tcp,self", "UCX_NET_DEVICES=" + launch.tcp_interface, "OMPI_MCA_pml=ob1",
                  "OMPI_MCA_btl=tcp,self", "OMPI_MCA_btl_tcp_if_include=" + launch.tcp_interface});
    }
    return env;
  }

  [[nodiscard]] std::string hint(int np, const std::string &placement_file) const override {
    return "SLURM_HOSTFILE=" + placement_file +
           " srun --distribution=arbitrary --mpi=pmi2|pmix -n " + std::to_string(np) + " pairdot";
  }

  [[nodiscard]] const Scheduler *scheduler() const override { return &slurm_scheduler(); }
  // srun says so on standard error while the step waits for its nodes.
  [[nodiscard]] bool waited_for_resources(std::string_view launcher_stderr) const override {
    return launcher_stderr.find("waiting for resources") != std::string_view::npos;
  }

  [[nodiscard]] std::string one_process_advice(const Launch &launch) const override {
    return "the ranks did not form one job: srun needs --mpi=" + launch.mpi_plugin +
           " for this build of pairdot";
  }
};

} // namespace

const Launcher &srun_launcher() {
  static const Srun launcher;
  return launcher;
}

} // namespace pairdot_launch
