#include "job.hpp"

#include "host_names.hpp"
#include "probe_line.hpp"
#include "process.hpp"
#include "slurm.hpp"
#include "streams.hpp"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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

std::size_t newlines_in(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return static_cast<std::size_t>(
      std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

// The first lines of the launcher's standard error, for the report.
void add_launcher_lines(const std::string &dir, std::vector<std::string> &messages) {
  std::istringstream err(pairdot_launch::file_text(dir + "/launcher.err"));
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
    const std::string path = settings.launcher->rank_stdout(dir, rank);
    const std::string text = pairdot_launch::file_text(path);
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
    const std::string text = pairdot_launch::file_text(settings.launcher->rank_stdout(dir, rank));
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

// The launcher kept the step waiting for nodes (a job stuck on a dead node
// may hold them), and no rank ran: the job says nothing about the links.
bool kept_waiting(const RunSettings &settings, const RunningJob &job,
                  const std::vector<std::string> &recorded) {
  return std::all_of(recorded.begin(), recorded.end(), [](const auto &h) { return h.empty(); }) &&
         settings.launcher->waited_for_resources(
             pairdot_launch::file_text(job.dir + "/launcher.err"));
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
  const std::string advice = settings.launcher->one_process_advice(settings.launch);
  if (check.one_process_jobs && !advice.empty()) {
    outcome.messages.push_back(advice);
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

void add_unavailable(JobOutcome &outcome,
                     const std::vector<pairdot_launch::UnavailableNode> &nodes) {
  for (const auto &node : nodes) {
    outcome.unavailable_hosts.push_back(node.host);
    outcome.messages.push_back("Slurm would not use " + node.host + ": it is " + node.state);
  }
}

// How soon a launcher's exit is seen; output is read less often.
constexpr auto poll_interval = std::chrono::milliseconds(5);

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
      JobOutcome outcome = finish_job(settings_, *job);
      const pairdot_launch::Scheduler *scheduler = settings_.launcher->scheduler();
      if (outcome.waited_for_resources && scheduler != nullptr) {
        auto asked =
            std::async(std::launch::async, [scheduler, hosts = distinct(outcome.rank_hosts)] {
              return scheduler->unavailable_nodes(hosts);
            });
        asking_.push_back({std::move(outcome), std::move(asked)});
      } else {
        ended.push_back(std::move(outcome));
      }
      job = jobs_.erase(job);
    }
    for (auto asked = asking_.begin(); asked != asking_.end();) {
      if (asked->answer.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        ++asked;
        continue;
      }
      add_unavailable(asked->outcome, asked->answer.get());
      ended.push_back(std::move(asked->outcome));
      asked = asking_.erase(asked);
    }
    if (ended.empty()) {
      std::this_thread::sleep_for(poll_interval);
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
    JobOutcome outcome;
    std::future<std::vector<pairdot_launch::UnavailableNode>> answer;
  };
  const RunSettings &settings_;
  std::string jobs_dir_;
  std::vector<RunningJob> jobs_;
  std::vector<Asking> asking_;
};

} // namespace

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
    if (want > 0 && newlines_in(settings.launcher->rank_stdout(dir, rank)) < want) {
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
  job.pid = pairdot_launch::spawn({settings.launcher->command_line(launch),
                                   settings.launcher->environment(launch), dir + "/launcher.out",
                                   dir + "/launcher.err", true},
                                  job.start_error);
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
  outcome.tested_hosts = job.plan.tested_hosts;
  outcome.seconds = seconds_since(job.start);
  const int np = job.plan.np;
  const std::vector<std::string> recorded = recorded_hosts(settings, job.dir, np);
  const std::vector<std::string> &planned = job.plan.rank_hosts.empty()
                                                ? std::vector<std::string>(np, settings.local_host)
                                                : job.plan.rank_hosts;
  outcome.rank_hosts = planned;
  outcome.placement = settings.launcher->placement_text(planned);
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
    outcome.waited_for_resources = true;
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
  outcome.pairs = pairdot_model::pair_outcomes(verdicts, planned);
  for (std::size_t at = 0; at < outcome.pairs.size(); ++at) {
    pairdot_model::PairOutcome &pair = outcome.pairs[at];
    if (outcome.status == JobStatus::not_started) {
      pair.verified = false;
    } else if (at < probes.size()) {
      pair.probe = probes[at];
    }
    if (!verdicts[at].verified) {
      const auto even = static_cast<std::size_t>(pair.even_rank);
      pair.facts.sender_not_started = recorded[even].empty();
      pair.facts.receiver_not_started = recorded[even + 1].empty();
      pair.facts.ended_by_bound = outcome.status == JobStatus::timed_out;
    }
  }
  return outcome;
}

} // namespace pairdot_run
