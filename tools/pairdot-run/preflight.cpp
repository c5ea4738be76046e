#include "preflight.hpp"

#include "host_names.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netdb.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ; // NOLINT: POSIX's own name

namespace pairdot_run {

namespace {

namespace fs = std::filesystem;
using pairdot_hosts::InputError;

constexpr int version_timeout_ms = 10000;

bool is_executable(const std::string &path) {
  std::error_code error;
  return fs::is_regular_file(path, error) && access(path.c_str(), X_OK) == 0;
}

bool resolves(const std::string &name) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  const int status = getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (found != nullptr) {
    freeaddrinfo(found);
  }
  return status == 0;
}

} // namespace

std::string local_host_name() {
  char host[HOST_NAME_MAX + 1] = {};
  gethostname(host, sizeof host - 1);
  return host;
}

std::string own_directory() {
  std::error_code error;
  return fs::read_symlink("/proc/self/exe", error).parent_path().string();
}

std::optional<std::string> first_executable(const std::vector<std::string> &candidates) {
  for (const std::string &path : candidates) {
    if (!path.empty() && is_executable(path)) {
      return fs::absolute(path).lexically_normal().string();
    }
  }
  return std::nullopt;
}

std::optional<std::string> find_on_path(const std::string &command) {
  if (command.find('/') != std::string::npos) {
    return first_executable({command});
  }
  const char *path = std::getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (auto found = first_executable({(dir.empty() ? "." : dir) + "/" + command})) {
      return found;
    }
  }
  return std::nullopt;
}

std::string output_of(std::vector<std::string> argv) {
  int fds[2];
  if (pipe(fds) != 0) {
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  std::vector<char *> args;
  args.reserve(argv.size() + 1);
  for (std::string &arg : argv) {
    args.push_back(arg.data());
  }
  args.push_back(nullptr);
  pid_t pid = -1;
  const int status = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  std::string text;
  if (status == 0) {
    pollfd ready{fds[0], POLLIN, 0};
    char buffer[4096];
    while (poll(&ready, 1, version_timeout_ms) > 0) {
      const ssize_t got = read(fds[0], buffer, sizeof buffer);
      if (got <= 0) {
        break;
      }
      text.append(buffer, static_cast<std::size_t>(got));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  close(fds[0]);
  return text;
}

std::string version_text(const std::string &command) { return output_of({command, "--version"}); }

std::optional<Launcher> program_library(const std::string &program) {
  std::ifstream in(program, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return library_of_program(bytes.str());
}

void check_launcher(Launcher launcher, const std::string &command, std::string_view version,
                    const std::string &program, std::optional<Launcher> built) {
  if (built && launcher != Launcher::srun && *built != launcher) {
    throw InputError(program + " is built with " + library_name(*built) + ", but --launcher " +
                     launcher_name(launcher) + " starts " + library_name(launcher) +
                     " jobs: use --launcher " + launcher_name(*built));
  }
  const std::optional<Launcher> found = launcher_of_version(version);
  if (!found) {
    throw InputError(command + " does not say which MPI library it belongs to (" + command +
                     " --version)");
  }
  if (*found != launcher) {
    throw InputError(command + " belongs to " + library_name(*found) + ", not to " +
                     library_name(launcher));
  }
}

void check_names_resolve(const std::vector<pairdot_hosts::Host> &hosts,
                         const std::string &local_host) {
  if (!resolves(local_host)) {
    throw InputError("this machine's own name '" + local_host +
                     "' does not resolve: add it to /etc/hosts (MPICH waits about 5 s on every "
                     "lookup of it, so every job would crawl)");
  }
  for (const auto &host : hosts) {
    if (!resolves(host.name)) {
      throw InputError("host name '" + host.name + "' does not resolve");
    }
  }
}

std::vector<pairdot_hosts::Host> allocation_hosts() {
  const char *nodes = std::getenv("SLURM_JOB_NODELIST");
  const char *cpus = std::getenv("SLURM_JOB_CPUS_PER_NODE");
  if (nodes == nullptr || cpus == nullptr) {
    throw InputError("--launcher srun without hosts runs inside a Slurm allocation (salloc or "
                     "sbatch); name --hosts otherwise");
  }
  std::istringstream names(output_of({"scontrol", "show", "hostnames", nodes}));
  const std::vector<int> slots = expand_slurm_counts(cpus);
  std::vector<pairdot_hosts::Host> hosts;
  for (std::string name; std::getline(names, name);) {
    if (!pairdot_hosts::is_valid_host_name(name) || hosts.size() >= slots.size()) {
      throw InputError("cannot read the allocation's nodes from scontrol show hostnames " +
                       std::string(nodes) + " and SLURM_JOB_CPUS_PER_NODE=" + cpus);
    }
    hosts.push_back({name, slots[hosts.size()]});
  }
  if (hosts.empty() || hosts.size() != slots.size()) {
    throw InputError("cannot read the allocation's nodes from scontrol show hostnames " +
                     std::string(nodes) + " and SLURM_JOB_CPUS_PER_NODE=" + cpus);
  }
  return hosts;
}

void check_report_dir(const std::string &dir) {
  std::error_code error;
  fs::create_directories(dir, error);
  const std::string probe = dir + "/.pairdot-run.probe";
  const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    throw InputError("cannot write the report directory " + dir + ": " + std::strerror(errno));
  }
  close(fd);
  unlink(probe.c_str());
}

} // namespace pairdot_run
