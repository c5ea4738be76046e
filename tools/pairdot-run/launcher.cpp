#include "launcher.hpp"

#include "host_names.hpp"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <sstream>

namespace pairdot_run {

namespace {

struct Names {
  Launcher launcher;
  const char *name;    // as --launcher takes it
  const char *library; // as users know it
  const char *command; // on Debian
};

constexpr Names names[] = {{Launcher::mpich, "mpich", "MPICH", "mpiexec.mpich"},
                           {Launcher::openmpi, "openmpi", "Open MPI", "mpiexec.openmpi"},
                           {Launcher::srun, "srun", "Slurm", "srun"}};

const Names &names_of(Launcher launcher) {
  return *std::find_if(std::begin(names), std::end(names),
                       [&](const Names &entry) { return entry.launcher == launcher; });
}

} // namespace

std::optional<Launcher> launcher_named(std::string_view name) {
  for (const Names &entry : names) {
    if (name == entry.name) {
      return entry.launcher;
    }
  }
  return std::nullopt;
}

std::string launcher_name(Launcher launcher) { return names_of(launcher).name; }

std::string library_name(Launcher launcher) { return names_of(launcher).library; }

std::string launcher_command(Launcher launcher) { return names_of(launcher).command; }

std::vector<int> expand_slurm_counts(std::string_view counts) {
  std::vector<int> out;
  while (!counts.empty()) {
    const std::string_view item = counts.substr(0, counts.find(','));
    counts.remove_prefix(std::min(counts.size(), item.size() + 1));
    int count = 0;
    int repeat = 1;
    const char *end = item.data() + item.size();
    auto [next, error] = std::from_chars(item.data(), end, count);
    if (error == std::errc() && next != end) {
      if (end - next < 4 || std::string_view(next, 2) != "(x" || end[-1] != ')') {
        return {};
      }
      const auto [last, repeat_error] = std::from_chars(next + 2, end - 1, repeat);
      next = repeat_error == std::errc() ? last + 1 : next;
    }
    if (error != std::errc() || next != end || count < 1 || repeat < 1 || repeat > 1 << 20) {
      return {};
    }
    out.insert(out.end(), static_cast<std::size_t>(repeat), count);
  }
  return out;
}

std::vector<std::pair<std::string, std::string>>
unavailable_nodes(std::string_view sinfo_text, const std::vector<std::string> &hosts) {
  constexpr std::string_view usable[] = {"idle", "allocated", "mixed", "reserved", "planned"};
  std::vector<std::pair<std::string, std::string>> out;
  std::istringstream lines{std::string(sinfo_text)};
  for (std::string node, state; lines >> node >> state;) {
    const auto host = std::find_if(hosts.begin(), hosts.end(), [&](const std::string &name) {
      return pairdot_hosts::same_host(name, node);
    });
    const bool responding = state.back() != '*';
    const std::string bare = state.substr(0, state.find_first_of("*~#!%$@^-"));
    const bool busy_or_idle =
        std::find(std::begin(usable), std::end(usable), bare) != std::end(usable);
    if (host == hosts.end() || (responding && busy_or_idle) ||
        std::any_of(out.begin(), out.end(),
                    [&](const auto &seen) { return seen.first == *host; })) {
      continue;
    }
    out.emplace_back(*host, responding ? state : state + " (not responding)");
  }
  return out;
}

std::string srun_plugin(Launcher library) { return library == Launcher::mpich ? "pmi2" : "pmix"; }

std::optional<Launcher> launcher_of_version(std::string_view version_text) {
  if (version_text.rfind("slurm", 0) == 0) { // "slurm 22.05.8", Debian's "slurm-wlm 22.05.8"
    return Launcher::srun;
  }
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
  if (launcher != Launcher::mpich) {
    // Open MPI's sequential mapper, srun's arbitrary distribution: rank r on line r.
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

namespace {

// srun: placement through SLURM_HOSTFILE; the step always ends when a task
// fails (a job whose rank died hangs otherwise) and has a time limit.
std::vector<std::string> srun_command(const Launch &launch) {
  const int limit = std::max(launch.step_seconds, 1);
  std::vector<std::string> argv{launch.command,
                                "--mpi=" + launch.mpi_plugin,
                                "--kill-on-bad-exit=1",
                                "--overlap", // isolation steps side by side in one allocation
                                "--time=" + std::to_string((limit + 59) / 60),
                                "--ntasks=" + std::to_string(launch.np),
                                "--output=" + launch.dir + "/out.%t",
                                "--error=" + launch.dir + "/err.%t"};
  if (!launch.rank_hosts.empty()) {
    argv.emplace_back("--distribution=arbitrary");
  }
  // The user's words come last, so that they win.
  argv.insert(argv.end(), launch.extra.begin(), launch.extra.end());
  argv.insert(argv.end(), {launch.shim, launch.program});
  argv.insert(argv.end(), launch.program_args.begin(), launch.program_args.end());
  return argv;
}

} // namespace

std::vector<std::string> launch_environment(Launcher launcher, const Launch &launch) {
  std::vector<std::string> env;
  if (launcher != Launcher::srun) {
    return env;
  }
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

std::vector<std::string> launch_command(Launcher launcher, const Launch &launch) {
  if (launcher == Launcher::srun) {
    return srun_command(launch);
  }
  std::vector<std::string> argv{launch.command};
  argv.insert(argv.end(), launch.extra.begin(), launch.extra.end());
  const std::string placement = launch.dir + "/placement";
  if (launcher == Launcher::mpich) {
    if (!launch.rank_hosts.empty()) {
      argv.insert(argv.end(), {"-f", placement});
    }
    if (!launch.tcp_interface.empty()) {
      argv.insert(argv.end(), {"-genv", "UCX_TLS", "tcp,self", "-genv", "UCX_NET_DEVICES",
                               launch.tcp_interface});
    }
    argv.insert(argv.end(), {"-outfile-pattern", launch.dir + "/out.%r", "-errfile-pattern",
                             launch.dir + "/err.%r"});
  } else {
    if (launch.rank_hosts.empty()) {
      argv.emplace_back("--oversubscribe");
    } else {
      argv.insert(argv.end(), {"--hostfile", placement, "--map-by", "seq"});
    }
    if (!launch.tcp_interface.empty()) {
      argv.insert(argv.end(),
                  {"--mca", "pml", "ob1", "--mca", "btl", "tcp,self", "--mca", "btl_tcp_if_include",
                   launch.tcp_interface, "--mca", "oob_tcp_if_include", launch.tcp_interface});
    }
    argv.insert(argv.end(), {"--output-filename", launch.dir + "/ompi"});
  }
  argv.insert(argv.end(), {"-n", std::to_string(launch.np), launch.shim, launch.program});
  argv.insert(argv.end(), launch.program_args.begin(), launch.program_args.end());
  return argv;
}

std::string launch_hint(Launcher launcher, int np, const std::string &placement_file) {
  const std::string n = " -n " + std::to_string(np) + " pairdot";
  if (launcher == Launcher::srun) {
    return "SLURM_HOSTFILE=" + placement_file + " srun --distribution=arbitrary --mpi=pmi2|pmix" +
           n;
  }
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
  return launcher != Launcher::openmpi ? dir + "/out." + std::to_string(rank)
                                       : open_mpi_file(dir, rank, "stdout");
}

std::string rank_stderr(Launcher launcher, const std::string &dir, int rank) {
  return launcher != Launcher::openmpi ? dir + "/err." + std::to_string(rank)
                                       : open_mpi_file(dir, rank, "stderr");
}

} // namespace pairdot_run
