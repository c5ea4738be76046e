#include "preflight.hpp"

#include "atomic_file.hpp"
#include "host_names.hpp"
#include "metrics.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netdb.h>
#include <stdexcept>
#include <unistd.h>

namespace pairdot_run {

namespace {

namespace fs = std::filesystem;
using pairdot_hosts::InputError;

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

void check_launcher(const pairdot_launch::Launcher &launcher, const std::string &command,
                    std::string_view version, const std::string &program,
                    std::optional<pairdot_launch::MpiLibrary> built) {
  const std::optional<pairdot_launch::MpiLibrary> starts = launcher.library();
  if (built && starts && *built != *starts) {
    throw InputError(program + " is built with " + pairdot_launch::library_name(*built) +
                     ", but --launcher " + launcher.name() + " starts " + launcher.owner() +
                     " jobs: use --launcher " + pairdot_launch::native_launcher(*built).name());
  }
  const pairdot_launch::Launcher *found = pairdot_launch::launcher_of_version(version);
  if (found == nullptr) {
    throw InputError(command + " does not say which MPI library it belongs to (" + command +
                     " --version)");
  }
  if (found != &launcher) {
    throw InputError(command + " belongs to " + found->owner() + ", not to " + launcher.owner());
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

void check_metrics_file(const std::string &path) {
  const std::string problem = pairdot_writers::metrics_path_problem(path);
  if (!problem.empty())
    throw InputError("--metrics " + path + ": " + problem);
  try {
    pairdot_files::FileReplacement file = pairdot_files::begin_replacement(path);
    pairdot_files::abandon_replacement(file);
  } catch (const std::runtime_error &error) {
    throw InputError(std::string("--metrics: ") + error.what());
  }
}

} // namespace pairdot_run
