#pragma once

// Starting processes: one spawn for every launch and every query.

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace pairdot_launch {

struct Spawn {
  std::vector<std::string> argv;
  std::vector<std::string> env; // "NAME=value" set beside the caller's environment
  std::string stdout_path;      // empty: inherited
  std::string stderr_path;      // empty: inherited
  bool own_group = false;       // a process group of its own, to end it whole
};

// Starts the process, standard input from /dev/null. Returns its pid, or -1
// with error set ("cannot start ARGV0: REASON").
pid_t spawn(const Spawn &what, std::string &error);

// What a command prints on standard output and error, within timeout_ms;
// empty if it cannot be started.
std::string output_of(const std::vector<std::string> &argv, int timeout_ms = 10000);

// What a file holds; empty if it cannot be read.
std::string file_text(const std::string &path);

// The first of the candidates that is an executable file, made absolute.
std::optional<std::string> first_executable(const std::vector<std::string> &candidates);
// A command's full path from PATH (or itself, if it names a path), if found.
std::optional<std::string> find_on_path(const std::string &command);

} // namespace pairdot_launch
