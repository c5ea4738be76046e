#include "job.hpp"

#include "host_names.hpp"
#include "preflight.hpp"
#include "probe_line.hpp"
#include "streams.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ; // NOLINT: POSIX's own name

namespace pairdot_run {

namespace {

namespace fs = std::filesystem;
using pairdot_model::JobOutcome;
using pairdot_model::JobStatus;

constexpr double kill_after_term = 5; // seconds from SIGTERM to SIGKILL
// How often a running job's output is read to see whether it is complete.
constexpr auto output_interval = std::chrono::milliseconds(50);
constexpr std::size_t max_messages = 20;
// Once every rank has started but those of some hosts, how long they get:
// this much, or twice what the others took, whichever is longer.
constexpr double least_start_wait = 5;
const std::string shim_mark = "pairdot-rank-shim: rank ";

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string read_text(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t newlines_in(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return static_cast<std::size_t>(
      std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

// Spawns argv in a new process group, output to dir's launcher files.
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

pid_t spawn_launcher(std::vector<std::string> argv, const std::vector<std::string> &extra_env,
                     const std::string &dir, std::string &error) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  const std::string out = dir + "/launcher.out";
  const std::string err = dir + "/launcher.err";
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  std::vector<std::string> env = environment_with(extra_env);
  const std::vector<char *> args = pointers_to(argv);
  const std::vector<char *> envp = pointers_to(env);
  pid_t pid = -1;
  const int status = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (status != 0) {
    error = "cannot start " + argv[0] + ": " + std::strerror(status);
    return -1;
  }
  return pid;
}

// The first lines of the launcher's standard error, for the report.
void add_launcher_lines(const std::string &dir, std::vector<std::string> &messages) {
  std::istringstream err(read_text(dir + "/launcher.err"));
  std::string line;
  for (int kept = 0; kept < 5 && std::getline(err, line);) {
    if (!line.empty()) {
      messages.push_back("launcher: " + line.substr(0, 200));
      ++kept;
    }
  }
}

// Checks every rank's output file as one job.
pairdot_check::CheckReport check_output(const RunSettings &settings, const std::string &dir, int np,
                                        std::vector<pairdot_check::PairVerdict> &verdicts) {
  pairdot_check::JobCheck check;
  check.options.np = np;
  check.options.max_listed = max_messages;
  for (int rank = 0; rank < np; ++rank) {
    const std::string path = rank_stdout(settings.launcher, dir, rank);
    const std::string text = read_text(path);
    auto streams = pairdot_check::open_file(check, "rank " + std::to_string(rank) + " output");
    pairdot_check::feed(check, streams, text.data(), text.size());
    pairdot_check::close_file(check, streams);
  }
  pairdot_check::CheckReport report = pairdot_check::finish(check);
  verdicts = pairdot_check::pair_verdicts(check, np);
  return report;
}

// What a pair's probe line says, or why there is none.
pairdot_check::PairVerdict probe_verdict(int even_rank, const std::string &text,
                                         std::optional<pairdot_probe::ProbeLine> &probe) {
  pairdot_check::PairVerdict verdict{even_rank, false, {}};
  std::string line = text.substr(0, text.find('\n'));
  if (line.empty()) {
    verdict.problem = "no result";
    return verdict;
  }
  probe = pairdot_probe::parse_probe_line(line);
  if (!probe || probe->sender != even_rank || text.size() > line.size() + 1) {
    probe.reset();
    verdict.problem = "not the pair's probe line: \"" + line.substr(0, 120) + "\"";
  } else if (probe->failed_size) {
    verdict.problem =
        "fails from " + pairdot_probe::size_name(*probe->failed_size) + ": " + probe->problem;
  } else {
    verdict.verified = true;
  }
  return verdict;
}

// Reads each pair's line from its odd rank; an even rank writes nothing.
pairdot_check::CheckReport
check_probe_output(const RunSettings &settings, const std::string &dir, int np,
                   std::vector<pairdot_check::PairVerdict> &verdicts,
                   std::vector<std::optional<pairdot_probe::ProbeLine>> &probes) {
  pairdot_check::CheckReport report;
  report.ok = true;
  report.ranks = np;
  for (int rank = 0; rank < np; ++rank) {
    const std::string text = read_text(rank_stdout(settings.launcher, dir, rank));
    if (rank % 2 == 0) {
      if (!text.empty() && report.listed.size() < max_messages) {
        report.listed.push_back("rank " + std::to_string(rank) + " wrote output: \"" +
                                text.substr(0, std::min<std::size_t>(text.find('\n'), 120)) + "\"");
      }
      report.ok = report.ok && text.empty();
      continue;
    }
    probes.emplace_back();
    verdicts.push_back(probe_verdict(rank - 1, text, probes.back()));
    report.ok = report.ok && verdicts.back().verified;
    ++report.pairs;
  }
  return report;
}

// Ranks whose host differs from the plan; empty when all match.
std::vector<std::string> misplaced_ranks(const std::vector<std::string> &planned,
                                         const std::vector<std::string> &recorded) {
  std::vector<std::string> messages;
  for (std::size_t rank = 0; rank < planned.size() && rank < recorded.size(); ++rank) {
    if (!recorded[rank].empty() && !pairdot_hosts::same_host(planned[rank], recorded[rank])) {
      messages.push_back("rank " + std::to_string(rank) + " ran on " + recorded[rank] +
                         ", but was placed on " + planned[rank]);
    }
  }
  return messages;
}

// Slurm kept the step waiting for nodes (a job stuck on a dead node may hold
// them), and no rank ran: the job says nothing about the links.
bool kept_waiting(const RunSettings &settings, const RunningJob &job,
                  const std::vector<std::string> &recorded) {
  return settings.launcher == Launcher::srun &&
         std::all_of(recorded.begin(), recorded.end(), [](const auto &h) { return h.empty(); }) &&
         read_text(job.dir + "/launcher.err").find("waiting for resources") != std::string::npos;
}

// Asks Slurm which of the job's hosts it would not use, and why.
void add_unavailable_hosts(const std::vector<std::string> &rank_hosts, JobOutcome &outcome) {
  std::vector<std::string> hosts;
  std::string list;
  for (const std::string &host : rank_hosts) {
    if (std::find(hosts.begin(), hosts.end(), host) == hosts.end()) {
      hosts.push_back(host);
      list += (list.empty() ? "" : ",") + host;
    }
  }
  const std::string states =
      output_of({"sinfo", "--noheader", "--Node", "--nodes=" + list, "--format=%N %T"});
  for (const auto &[host, state] : unavailable_nodes(states, hosts)) {
    outcome.unavailable_hosts.push_back(host);
    std::string message = "Slurm would not use ";
    outcome.messages.push_back(message.append(host).append(": it is ").append(state));
  }
}

JobStatus status_of(const RunningJob &job, const pairdot_check::CheckReport &check, bool waiting) {
  if (job.launcher_status < 0 || waiting) {
    return JobStatus::not_started;
  }
  if (job.ended_after_output && check.ok) {
    return JobStatus::did_not_end;
  }
  if (job.ended_for_missing_hosts) {
    return JobStatus::hosts_missing;
  }
  if (job.ended_by_bound) {
    return JobStatus::timed_out;
  }
  return check.ok && job.launcher_status == 0 ? JobStatus::verified : JobStatus::failed;
}

std::string joined_names(const std::vector<std::string> &names) {
  std::string out;
  for (const std::string &name : names) {
    out += (out.empty() ? "" : ", ") + name;
  }
  return out;
}

void add_status_messages(const RunSettings &settings, const RunningJob &job,
                         const pairdot_check::CheckReport &check, JobOutcome &outcome) {
  if (outcome.status == JobStatus::did_not_end) {
    std::string text = "output complete and verified, but the job did not end within " +
                       std::to_string(static_cast<int>(settings.grace)) +
                       " s after its last line: ended then";
    if (settings.finalize_hang_known) {
      text += " (known defect: MPICH 4.0 over UCX TCP hangs in MPI_Finalize, openucx/ucx#8738)";
    }
    outcome.messages.push_back(text);
  } else if (outcome.status == JobStatus::hosts_missing) {
    const double waited = std::chrono::duration<double>(*job.term_at - job.last_start).count();
    outcome.messages.push_back(
        "every rank started but those on " +
        joined_names(
            hosts_missing(outcome.rank_hosts, recorded_hosts(settings, job.dir, job.plan.np))) +
        ": ended " + std::to_string(static_cast<int>(waited)) + " s after the last start");
  } else if (outcome.status == JobStatus::timed_out) {
    outcome.messages.push_back("ended by the time bound of " +
                               std::to_string(static_cast<int>(settings.timeout)) + " s");
  } else if (job.launcher_status > 0 && !job.ended_by_bound) {
    outcome.messages.push_back("launcher exited " + std::to_string(job.launcher_status));
  }
  const bool singletons =
      std::any_of(check.listed.begin(), check.listed.end(), [](const auto &line) {
        return line.find("one-process jobs") != std::string::npos;
      });
  if (settings.launcher == Launcher::srun && singletons) {
    outcome.messages.push_back("the ranks did not form one job: srun needs --mpi=" +
                               settings.mpi_plugin + " for this build of pairdot");
  }
  if (!job.start_error.empty()) {
    outcome.messages.push_back(job.start_error);
  }
  if (outcome.status != JobStatus::verified && outcome.status != JobStatus::did_not_end) {
    add_launcher_lines(job.dir, outcome.messages);
  }
}

std::size_t started_count(const std::vector<std::string> &recorded) {
  return static_cast<std::size_t>(std::count_if(recorded.begin(), recorded.end(),
                                                [](const std::string &h) { return !h.empty(); }));
}

// Notes when ranks start, until all have.
void watch_starts(const RunSettings &settings, RunningJob &job, Clock::time_point now) {
  if (job.plan.rank_hosts.empty() || job.ranks_started == job.plan.rank_hosts.size()) {
    return;
  }
  const std::vector<std::string> recorded = recorded_hosts(settings, job.dir, job.plan.np);
  const std::size_t started = started_count(recorded);
  if (started > job.ranks_started) {
    job.ranks_started = started;
    job.last_start = now;
    job.only_hosts_missing = !hosts_missing(job.plan.rank_hosts, recorded).empty();
  }
}

// Every rank started but those of some hosts, and they had their time.
bool hosts_given_up(const RunningJob &job, Clock::time_point now) {
  if (!job.only_hosts_missing) {
    return false;
  }
  const double took = std::chrono::duration<double>(job.last_start - job.start).count();
  const double waited = std::chrono::duration<double>(now - job.last_start).count();
  return waited > std::max(least_start_wait, 2 * took);
}

} // namespace

std::vector<std::string> recorded_hosts(const RunSettings &settings, const std::string &dir,
                                        int np) {
  std::vector<std::string> hosts(static_cast<std::size_t>(np));
  for (int rank = 0; rank < np; ++rank) {
    std::istringstream err(read_text(rank_stderr(settings.launcher, dir, rank)));
    const std::string mark = shim_mark + std::to_string(rank) + " on ";
    for (std::string line; std::getline(err, line);) {
      if (line.rfind(mark, 0) == 0) {
        hosts[static_cast<std::size_t>(rank)] = line.substr(mark.size());
        break;
      }
    }
  }
  return hosts;
}

std::vector<std::string> hosts_missing(const std::vector<std::string> &planned,
                                       const std::vector<std::string> &recorded) {
  std::vector<std::string> started;
  std::vector<std::string> missing;
  for (std::size_t rank = 0; rank < planned.size() && rank < recorded.size(); ++rank) {
    (recorded[rank].empty() ? missing : started).push_back(planned[rank]);
  }
  for (auto *names : {&started, &missing}) {
    std::sort(names->begin(), names->end());
    names->erase(std::unique(names->begin(), names->end()), names->end());
  }
  const bool partly = std::any_of(missing.begin(), missing.end(), [&](const std::string &host) {
    return std::binary_search(started.begin(), started.end(), host);
  });
  if (started.empty() || partly) {
    return {};
  }
  return missing;
}

bool output_complete(const RunSettings &settings, const std::string &dir, int np) {
  const std::size_t even_lines = settings.probe ? 0 : 2;
  const std::size_t odd_lines = settings.probe ? 1 : 4;
  for (int rank = 0; rank < np; ++rank) {
    const std::size_t want = rank % 2 == 0 ? even_lines : odd_lines;
    if (want > 0 && newlines_in(rank_stdout(settings.launcher, dir, rank)) < want) {
      return false;
    }
  }
  // The probe's rank without a partner writes nothing: done once it started.
  return !settings.probe || np % 2 == 0 ||
         !recorded_hosts(settings, dir, np)[static_cast<std::size_t>(np) - 1].empty();
}

RunningJob start_job(const RunSettings &settings, const JobPlan &plan, const std::string &dir) {
  RunningJob job;
  job.plan = plan;
  job.dir = dir;
  std::error_code error;
  fs::remove_all(dir, error);
  fs::create_directories(dir, error);
  Launch launch;
  launch.command = settings.command;
  launch.rank_hosts = plan.rank_hosts;
  launch.np = plan.np;
  launch.dir = dir;
  launch.shim = settings.shim;
  launch.program = settings.program;
  launch.program_args = settings.program_args;
  launch.tcp_interface = settings.tcp_interface;
  launch.mpi_plugin = settings.mpi_plugin;
  launch.step_seconds = static_cast<int>(settings.timeout + 0.999);
  launch.extra = settings.extra;
  if (!plan.rank_hosts.empty()) {
    std::ofstream(dir + "/placement") << placement_text(settings.launcher, plan.rank_hosts);
  }
  job.start = Clock::now();
  job.pid = spawn_launcher(launch_command(settings.launcher, launch),
                           launch_environment(settings.launcher, launch), dir, job.start_error);
  return job;
}

bool poll_job(const RunSettings &settings, RunningJob &job) {
  if (job.pid < 0) {
    return true;
  }
  int status = 0;
  if (waitpid(job.pid, &status, WNOHANG) == job.pid) {
    job.launcher_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    // What the launcher left running in its group goes with it.
    kill(-job.pid, SIGKILL);
    job.pid = -1;
    return true;
  }
  const Clock::time_point now = Clock::now();
  if (job.term_at) {
    if (seconds_since(*job.term_at) > kill_after_term) {
      kill(-job.pid, SIGKILL);
    }
    return false;
  }
  if (!job.complete_at && now - job.output_read > output_interval) {
    job.output_read = now;
    if (output_complete(settings, job.dir, job.plan.np)) {
      job.complete_at = now;
    } else {
      watch_starts(settings, job, now);
    }
  }
  if (job.complete_at && seconds_since(*job.complete_at) > settings.grace) {
    job.ended_after_output = true;
  } else if (!job.complete_at && hosts_given_up(job, now)) {
    job.ended_for_missing_hosts = true;
  } else if (seconds_since(job.start) > settings.timeout) {
    job.ended_by_bound = true;
  } else {
    return false;
  }
  kill(-job.pid, SIGTERM);
  job.term_at = now;
  return false;
}

void kill_job(RunningJob &job) {
  if (job.pid > 0) {
    kill(-job.pid, SIGKILL);
    waitpid(job.pid, nullptr, 0);
    job.pid = -1;
  }
}

JobOutcome finish_job(const RunSettings &settings, const RunningJob &job) {
  JobOutcome outcome;
  outcome.number = job.plan.number;
  outcome.kind = job.plan.kind;
  outcome.seconds = seconds_since(job.start);
  const int np = job.plan.np;
  const std::vector<std::string> recorded = recorded_hosts(settings, job.dir, np);
  const std::vector<std::string> &planned = job.plan.rank_hosts.empty()
                                                ? std::vector<std::string>(np, settings.local_host)
                                                : job.plan.rank_hosts;
  outcome.rank_hosts = planned;
  outcome.placement = placement_text(settings.launcher, planned);
  std::vector<std::string> misplaced = misplaced_ranks(planned, recorded);
  if (!misplaced.empty()) {
    outcome.status = JobStatus::misplaced;
    outcome.messages = std::move(misplaced);
    return outcome;
  }
  std::vector<pairdot_check::PairVerdict> verdicts;
  std::vector<std::optional<pairdot_probe::ProbeLine>> probes;
  const pairdot_check::CheckReport check =
      settings.probe ? check_probe_output(settings, job.dir, np, verdicts, probes)
                     : check_output(settings, job.dir, np, verdicts);
  const bool waiting = kept_waiting(settings, job, recorded);
  outcome.status = status_of(job, check, waiting);
  if (waiting) {
    outcome.messages.emplace_back("Slurm kept the step waiting for its nodes until the time bound: "
                                  "they are busy (a job stuck on a dead node may hold them)");
    add_unavailable_hosts(planned, outcome);
  }
  add_status_messages(settings, job, check, outcome);
  for (std::size_t rank = 0; rank < recorded.size() && !waiting && job.launcher_status >= 0;
       ++rank) {
    if (recorded[rank].empty()) {
      outcome.not_started.push_back(static_cast<std::int32_t>(rank));
    }
  }
  for (const std::string &line : check.listed) {
    outcome.messages.push_back(line);
  }
  for (std::size_t at = 0; at < verdicts.size(); ++at) {
    const pairdot_check::PairVerdict &verdict = verdicts[at];
    pairdot_model::PairOutcome pair;
    if (at < probes.size() && outcome.status != JobStatus::not_started) {
      pair.probe = probes[at];
    }
    pair.even_rank = verdict.even_rank;
    pair.sender = planned[static_cast<std::size_t>(verdict.even_rank)];
    pair.receiver = planned[static_cast<std::size_t>(verdict.even_rank) + 1];
    pair.verified = verdict.verified && outcome.status != JobStatus::not_started;
    pair.problem = verdict.problem;
    for (const std::int32_t rank : {verdict.even_rank, verdict.even_rank + 1}) {
      if (!verdict.verified && recorded[static_cast<std::size_t>(rank)].empty()) {
        pair.problem += " (rank " + std::to_string(rank) + " never started)";
      }
    }
    if (!verdict.verified && outcome.status == JobStatus::timed_out) {
      pair.problem += " (ended by the time bound)";
    }
    outcome.pairs.push_back(std::move(pair));
  }
  return outcome;
}

} // namespace pairdot_run
