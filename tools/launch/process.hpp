#pragma once

// Starting processes: one spawn for every launch and every query, and the
// process group a job runs in, watched and ended whole.

#include <chrono>
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

// A process started in a group of its own (the group's id is its pid), to be
// ended whole: SIGTERM first, SIGKILL if it is still there kill_after_term
// later.
struct ProcessGroup {
  pid_t id = -1; // -1: not started
  bool reaped = false;
  std::optional<std::chrono::steady_clock::time_point> term_at; // SIGTERM sent
};

constexpr double kill_after_term = 5; // seconds
// How often a watch looks whether a group's process has exited.
constexpr std::chrono::milliseconds group_poll_interval{5};

// Starts what in a process group of its own; id -1 with error set if it cannot.
ProcessGroup start_group(Spawn what, std::string &error);
// Once the process has exited: its exit status, or 128 + signal. Sends the
// group SIGKILL once its SIGTERM is kill_after_term old. Processes the group
// leaves behind are left to the caller.
std::optional<int> poll_group(ProcessGroup &group);
// Sends the group SIGTERM, once.
void terminate_group(ProcessGroup &group);
// Sends the group SIGKILL now, and reaps the process if not yet reaped.
void kill_group(ProcessGroup &group);

// Waits for the process to end: its exit status, or 128 + signal.
int wait_for_exit(pid_t pid);

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
