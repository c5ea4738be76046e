#include "bounded_job.hpp"

#include "job_options.hpp"
#include "process.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <optional>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace pairdot_harness {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t interrupt_signal = 0; // NOLINT: set by the signal handler

void note_interrupt(int signal) { interrupt_signal = signal; }

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The process group in /proc/PID/stat: the third field after "(command)".
pid_t group_of(const std::string &pid) {
  const std::string stat = pairdot_launch::file_text("/proc/" + pid + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 1));
  std::string state;
  pid_t parent = 0;
  pid_t group = -1;
  fields >> state >> parent >> group;
  return group;
}

bool is_number(const std::string &text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](unsigned char c) { return std::isdigit(c) != 0; });
}

// Whether the process was started with the job's status directory, as every
// process a rank starts is.
bool started_by_rank(const std::string &pid, const std::string &dir) {
  const std::string environment = '\0' + pairdot_launch::file_text("/proc/" + pid + "/environ");
  return environment.find('\0' + std::string(status_dir_variable) + "=" + dir + '\0') !=
         std::string::npos;
}

// Processes of the job: in its group, started with its status directory, or
// naming a path under dir on their command line. One "PID COMMAND LINE" each.
std::vector<std::string> job_processes(const std::string &dir, pid_t group) {
  const std::string under = dir + "/";
  const std::string self = std::to_string(getpid());
  std::vector<std::string> found;
  std::error_code error;
  for (const auto &entry : fs::directory_iterator("/proc", error)) {
    const std::string pid = entry.path().filename().string();
    if (!is_number(pid) || pid == self) {
      continue;
    }
    std::string command = pairdot_launch::file_text("/proc/" + pid + "/cmdline");
    std::replace(command.begin(), command.end(), '\0', ' ');
    // An exited process not yet reaped has no command line.
    if (!command.empty() && (command.find(under) != std::string::npos ||
                             (group > 0 && group_of(pid) == group) || started_by_rank(pid, dir))) {
      found.push_back(pid);
      found.back().append(" ").append(command);
    }
  }
  return found;
}

} // namespace

EndedJob run_bounded(pairdot_launch::Spawn what, double seconds) {
  std::string error;
  pairdot_launch::ProcessGroup group = pairdot_launch::start_group(std::move(what), error);
  if (group.id < 0) {
    throw Failure(error);
  }
  EndedJob job;
  job.group = group.id;
  const Clock::time_point start = Clock::now();
  std::optional<int> status;
  while (!(status = pairdot_launch::poll_group(group))) {
    if (interrupt_signal != 0) {
      pairdot_launch::kill_group(group);
      throw Failure("interrupted by signal " + std::to_string(interrupt_signal));
    }
    if (seconds_since(start) > seconds) {
      job.ended_by_bound = true;
      pairdot_launch::terminate_group(group);
    }
    std::this_thread::sleep_for(pairdot_launch::group_poll_interval);
  }
  job.status = *status;
  return job;
}

int run_to_end(const pairdot_launch::Spawn &what) {
  std::string error;
  const pid_t pid = pairdot_launch::spawn(what, error);
  if (pid < 0) {
    throw Failure(error);
  }
  return pairdot_launch::wait_for_exit(pid);
}

std::vector<std::string> processes_left(const std::string &dir, pid_t group, double seconds) {
  const Clock::time_point start = Clock::now();
  std::vector<std::string> left = job_processes(dir, group);
  while (!left.empty() && seconds_since(start) < seconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    left = job_processes(dir, group);
  }
  return left;
}

void kill_job_processes(const std::string &dir, pid_t group) {
  if (group > 0) {
    kill(-group, SIGKILL);
  }
  for (const std::string &process : job_processes(dir, group)) {
    kill(static_cast<pid_t>(std::stol(process)), SIGKILL);
  }
}

void catch_interrupts() {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    std::signal(signal, note_interrupt);
  }
}

} // namespace pairdot_harness
