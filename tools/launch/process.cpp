#include "process.hpp"

#include "atomic_file.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ; // NOLINT: POSIX's own name

namespace pairdot_launch {

namespace {

namespace fs = std::filesystem;

// The caller's environment with the given "NAME=value" entries set.
std::vector<std::string> environment_with(const std::vector<std::string> &extra) {
  std::vector<std::string> env;
  for (char **entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::string_view name = text.substr(0, text.find('=') + 1);
    if (std::none_of(extra.begin(), extra.end(),
                     [&](const std::string &set) { return set.rfind(name, 0) == 0; })) {
      env.emplace_back(text);
    }
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char *> pointers_to(std::vector<std::string> &strings) {
  std::vector<char *> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string &text : strings) {
    pointers.push_back(text.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

// Spawns with the file actions given; fd_out >= 0 takes standard output and
// error (and is closed in the child), else the paths of what.
pid_t spawn_with(const Spawn &what, int fd_out, int fd_keep_closed, std::string &error) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (fd_out >= 0) {
    posix_spawn_file_actions_adddup2(&actions, fd_out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fd_out, STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, fd_keep_closed);
  }
  constexpr int file_flags = O_WRONLY | O_CREAT | O_TRUNC;
  if (fd_out < 0 && !what.stdout_path.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, what.stdout_path.c_str(), file_flags,
                                     0644);
  }
  if (fd_out < 0 && !what.stderr_path.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, what.stderr_path.c_str(), file_flags,
                                     0644);
  }
  if (what.own_group) {
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  std::vector<std::string> argv = what.argv;
  std::vector<std::string> env = environment_with(what.env);
  const std::vector<char *> args = pointers_to(argv);
  const std::vector<char *> envp = pointers_to(env);
  pid_t pid = -1;
  const int status =
      argv.empty() ? EINVAL
                   : posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (status != 0) {
    error = "cannot start " + (argv.empty() ? std::string("nothing") : argv[0]) + ": " +
            std::strerror(status);
    return -1;
  }
  return pid;
}

int exit_status(int wait_status) {
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

bool is_executable(const std::string &path) {
  std::error_code error;
  return fs::is_regular_file(path, error) && access(path.c_str(), X_OK) == 0;
}

} // namespace

pid_t spawn(const Spawn &what, std::string &error) { return spawn_with(what, -1, -1, error); }

ProcessGroup start_group(Spawn what, std::string &error) {
  what.own_group = true;
  return {spawn(what, error), false, std::nullopt};
}

std::optional<int> poll_group(ProcessGroup &group) {
  int status = 0;
  if (!group.reaped && waitpid(group.id, &status, WNOHANG) == group.id) {
    group.reaped = true;
    return exit_status(status);
  }
  const auto since_term = [&group] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - *group.term_at).count();
  };
  if (!group.reaped && group.term_at && since_term() > kill_after_term) {
    kill(-group.id, SIGKILL);
  }
  return std::nullopt;
}

void terminate_group(ProcessGroup &group) {
  if (!group.term_at) {
    kill(-group.id, SIGTERM);
    group.term_at = std::chrono::steady_clock::now();
  }
}

void kill_group(ProcessGroup &group) {
  if (group.id <= 0) {
    return;
  }
  kill(-group.id, SIGKILL);
  if (!group.reaped) {
    waitpid(group.id, nullptr, 0);
    group.reaped = true;
  }
}

int wait_for_exit(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return exit_status(status);
}

std::string output_of(const std::vector<std::string> &argv, int timeout_ms) {
  int fds[2];
  if (pipe(fds) != 0) {
    return {};
  }
  std::string error;
  const pid_t pid = spawn_with(Spawn{argv, {}, {}, {}, false}, fds[1], fds[0], error);
  close(fds[1]);
  std::string text;
  if (pid > 0) {
    pollfd ready{fds[0], POLLIN, 0};
    char buffer[4096];
    while (poll(&ready, 1, timeout_ms) > 0) {
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

std::string file_text(const std::string &path) {
  return pairdot_files::file_text(path).value_or("");
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

} // namespace pairdot_launch
