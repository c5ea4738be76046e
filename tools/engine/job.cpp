#include "job.hpp"

#include "atomic_file.hpp"
#include "line_parser.hpp"
#include "slurm.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

namespace pairdot_run {

namespace {

namespace fs = std::filesystem;
using pairdot_model::JobOutcome;
// How often a running job's output is read to see whether it is complete.
constexpr auto output_interval = std::chrono::milliseconds(50);
// Once every rank has started but those of some hosts, how long they get:
// this much, or twice what the others took, whichever is longer.
constexpr double least_start_wait = 5;
const std::string shim_mark = "pairdot-rank-shim: rank ";

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Finished lines in the file, not counting an MPI library's log lines.
std::size_t program_lines_in(const std::string &path) {
  const std::string text = pairdot_files::file_text(path).value_or("");
  std::size_t lines = 0;
  for (std::size_t at = 0, end = 0; (end = text.find('\n', at)) != std::string::npos;
       at = end + 1) {
    const std::string_view line(text.data() + at, end - at);
    lines += pairdot_check::library_log_of(line) == pairdot_check::LibraryLog::none ? 1 : 0;
  }
  return lines;
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

// The hosts of the job, each once, in rank order.
std::vector<std::string> distinct(const std::vector<std::string> &rank_hosts) {
  std::vector<std::string> hosts;
  for (const std::string &host : rank_hosts) {
    if (std::find(hosts.begin(), hosts.end(), host) == hosts.end()) {
      hosts.push_back(host);
    }
  }
  return hosts;
}

std::vector<UnavailableHost> unavailable_hosts(const pairdot_launch::Scheduler *scheduler,
                                               const std::vector<std::string> &hosts) {
  std::vector<UnavailableHost> found;
  for (auto &node : scheduler->unavailable_nodes(hosts)) {
    found.push_back({std::move(node.host), std::move(node.state)});
  }
  return found;
}

// The judge's outcome, with the placement in the launcher's syntax.
JobOutcome judged(const RunSettings &settings, const JobPlan &plan, const JobObservations &seen) {
  JobOutcome outcome = judge_job(judge_settings(settings), plan, seen);
  outcome.placement = settings.launcher->placement_text(outcome.rank_hosts);
  return outcome;
}

// Jobs as processes. A job Slurm kept waiting is held back until sinfo has
// said which of its nodes Slurm would not use; sinfo is asked on a thread of
// its own, so that it never holds up the watch of the others.
class ProcessRunner final : public JobRunner {
public:
  ProcessRunner(const RunSettings &settings, std::string jobs_dir)
      : settings_(settings), jobs_dir_(std::move(jobs_dir)) {}
  ~ProcessRunner() override { ProcessRunner::stop_all(); }
  ProcessRunner(const ProcessRunner &) = delete;
  ProcessRunner &operator=(const ProcessRunner &) = delete;

  void start(const JobPlan &plan) override {
    jobs_.push_back(start_job(settings_, plan, jobs_dir_ + "/" + std::to_string(plan.number)));
  }

  [[nodiscard]] std::size_t running() const override { return jobs_.size() + asking_.size(); }

  std::vector<JobOutcome> poll() override {
    std::vector<JobOutcome> ended;
    for (auto job = jobs_.begin(); job != jobs_.end();) {
      if (!poll_job(settings_, *job)) {
        ++job;
        continue;
      }
      JobObservations seen = observe_job(settings_, *job);
      const pairdot_launch::Scheduler *scheduler = settings_.launcher->scheduler();
      if (kept_waiting(seen) && scheduler != nullptr) {
        auto asked = std::async(std::launch::async, unavailable_hosts, scheduler,
                                distinct(planned_hosts(job->plan, settings_.local_host)));
        asking_.push_back({job->plan, std::move(seen), std::move(asked)});
      } else {
        ended.push_back(judged(settings_, job->plan, seen));
      }
      job = jobs_.erase(job);
    }
    for (auto asked = asking_.begin(); asked != asking_.end();) {
      if (asked->answer.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        ++asked;
        continue;
      }
      asked->seen.unavailable = asked->answer.get();
      ended.push_back(judged(settings_, asked->plan, asked->seen));
      asked = asking_.erase(asked);
    }
    if (ended.empty()) {
      std::this_thread::sleep_for(pairdot_launch::group_poll_interval);
    }
    return ended;
  }

  void stop_all() override {
    for (RunningJob &job : jobs_) {
      kill_job(job);
    }
    jobs_.clear();
    asking_.clear(); // each waits for its sinfo, bounded by output_of's timeout
  }

private:
  struct Asking {
    JobPlan plan;
    JobObservations seen;
    std::future<std::vector<UnavailableHost>> answer;
  };
  const RunSettings &settings_;
  std::string jobs_dir_;
  std::vector<RunningJob> jobs_;
  std::vector<Asking> asking_;
};

} // namespace

JudgeSettings judge_settings(const RunSettings &settings) {
  return {settings.probe,
          settings.local_host,
          settings.timeout,
          settings.grace,
          settings.finalize_hang_known,
          settings.launcher->one_process_advice(settings.launch)};
}

std::unique_ptr<JobRunner> process_runner(const RunSettings &settings,
                                          const std::string &jobs_dir) {
  return std::make_unique<ProcessRunner>(settings, jobs_dir);
}

std::vector<std::string> recorded_hosts(const RunSettings &settings, const std::string &dir,
                                        int np) {
  std::vector<std::string> hosts(static_cast<std::size_t>(np));
  for (int rank = 0; rank < np; ++rank) {
    std::istringstream err(pairdot_launch::file_text(settings.launcher->rank_stderr(dir, rank)));
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

bool output_complete(const RunSettings &settings, const std::string &dir, int np) {
  const std::size_t even_lines = settings.probe ? 0 : 2;
  const std::size_t odd_lines = settings.probe ? 1 : 4;
  for (int rank = 0; rank < np; ++rank) {
    const std::size_t want = rank % 2 == 0 ? even_lines : odd_lines;
    if (want > 0 && program_lines_in(settings.launcher->rank_stdout(dir, rank)) < want) {
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
  pairdot_launch::Launch launch = settings.launch;
  launch.rank_hosts = plan.rank_hosts;
  launch.np = plan.np;
  launch.dir = dir;
  launch.step_seconds = static_cast<int>(settings.timeout + 0.999);
  if (!plan.rank_hosts.empty()) {
    std::ofstream(dir + "/placement") << settings.launcher->placement_text(plan.rank_hosts);
  }
  job.start = Clock::now();
  job.group = pairdot_launch::start_group({settings.launcher->command_line(launch),
                                           settings.launcher->environment(launch),
                                           dir + "/launcher.out", dir + "/launcher.err"},
                                          job.start_error);
  return job;
}

bool poll_job(const RunSettings &settings, RunningJob &job) {
  if (job.group.id < 0) {
    job.end = JobEnd::not_started;
    return true;
  }
  if (const std::optional<int> status = pairdot_launch::poll_group(job.group)) {
    job.launcher_status = *status;
    // What the launcher left running in its group goes with it.
    pairdot_launch::kill_group(job.group);
    return true;
  }
  const Clock::time_point now = Clock::now();
  if (job.group.term_at) {
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
    job.end = JobEnd::after_output;
  } else if (!job.complete_at && hosts_given_up(job, now)) {
    job.end = JobEnd::for_missing_hosts;
  } else if (seconds_since(job.start) > settings.timeout) {
    job.end = JobEnd::by_bound;
  } else {
    return false;
  }
  pairdot_launch::terminate_group(job.group);
  return false;
}

void kill_job(RunningJob &job) { pairdot_launch::kill_group(job.group); }

JobObservations observe_job(const RunSettings &settings, const RunningJob &job) {
  JobObservations seen;
  seen.end = job.end;
  seen.launcher_status = job.launcher_status;
  seen.start_error = job.start_error;
  seen.seconds = seconds_since(job.start);
  if (job.end == JobEnd::for_missing_hosts) {
    seen.quiet_seconds = std::chrono::duration<double>(*job.group.term_at - job.last_start).count();
  }
  seen.recorded_hosts = recorded_hosts(settings, job.dir, job.plan.np);
  for (int rank = 0; rank < job.plan.np; ++rank) {
    seen.rank_output.push_back(
        pairdot_launch::file_text(settings.launcher->rank_stdout(job.dir, rank)));
  }
  const std::string errors = pairdot_launch::file_text(job.dir + "/launcher.err");
  std::istringstream lines(errors);
  for (std::string line; std::getline(lines, line);) {
    seen.launcher_errors.push_back(line);
  }
  seen.launcher_said_waiting = settings.launcher->waited_for_resources(errors);
  return seen;
}

} // namespace pairdot_run
