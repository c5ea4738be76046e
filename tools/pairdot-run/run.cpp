#include "run.hpp"

#include "host_names.hpp"
#include "plan.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace pairdot_run {

namespace {

namespace fs = std::filesystem;
using pairdot_reports::JobOutcome;
using pairdot_reports::RunReport;
namespace job_status = pairdot_reports::job_status;

volatile std::sig_atomic_t interrupted = 0;

extern "C" void on_interrupt(int /*signal*/) { interrupted = 1; }

// How soon a launcher's exit is seen; output is read less often (job.cpp).
constexpr auto poll_interval = std::chrono::milliseconds(5);

struct Session {
  const RunOptions &options;
  RunReport report;
  std::string jobs_dir;
  bool misplaced = false;
};

std::string job_dir(const Session &session, int number) {
  return session.jobs_dir + "/" + std::to_string(number);
}

std::size_t distinct_hosts(const JobOutcome &job) {
  return std::set<std::string>(job.rank_hosts.begin(), job.rank_hosts.end()).size();
}

std::string fixed1(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

void print_progress(const JobOutcome &job, const std::string &label, std::size_t index,
                    std::size_t total) {
  std::string line = label + " " + std::to_string(index) + "/" + std::to_string(total) + ": " +
                     std::to_string(job.rank_hosts.size()) + " ranks on " +
                     std::to_string(distinct_hosts(job)) + " host" +
                     (distinct_hosts(job) == 1 ? "" : "s");
  if (job.kind == "isolation" && job.rank_hosts.size() == 2) {
    line += " (" + job.rank_hosts[0] + " -> " + job.rank_hosts[1] + ")";
  }
  line += " ... " + job.status + ", " + fixed1(job.seconds) + " s";
  std::fprintf(stderr, "%s\n", line.c_str());
}

// Brings links and suspects up to date and rewrites the report files.
void save(Session &session) {
  std::sort(session.report.jobs.begin(), session.report.jobs.end(),
            [](const JobOutcome &a, const JobOutcome &b) { return a.number < b.number; });
  pairdot_reports::diagnose(session.report);
  if (!session.options.report_dir.empty()) {
    pairdot_reports::write_report_dir(session.options.report_dir, session.report);
  }
}

// Runs the jobs, at most `parallel` at once, recording each as it ends.
// False when interrupted or when a job ran elsewhere than placed.
bool run_jobs(Session &session, const std::vector<JobPlan> &plans, int parallel,
              const std::string &label) {
  const RunSettings &settings = session.options.settings;
  std::vector<RunningJob> running;
  std::size_t next = 0;
  std::size_t finished = 0;
  while (finished < plans.size()) {
    if (interrupted != 0 || session.misplaced) {
      for (RunningJob &job : running) {
        kill_job(job);
      }
      return false;
    }
    while (running.size() < static_cast<std::size_t>(parallel) && next < plans.size()) {
      running.push_back(start_job(settings, plans[next], job_dir(session, plans[next].number)));
      ++next;
    }
    bool ended = false;
    for (auto job = running.begin(); job != running.end();) {
      if (!poll_job(settings, *job)) {
        ++job;
        continue;
      }
      ended = true;
      JobOutcome outcome = finish_job(settings, *job);
      print_progress(outcome, label, ++finished, plans.size());
      session.misplaced = session.misplaced || outcome.status == job_status::misplaced;
      session.report.jobs.push_back(std::move(outcome));
      save(session);
      job = running.erase(job);
    }
    if (!ended) {
      std::this_thread::sleep_for(poll_interval);
    }
  }
  return !session.misplaced;
}

void print_job_warnings(const RunReport &report) {
  for (const JobOutcome &job : report.jobs) {
    if (job.status == job_status::did_not_end && !job.messages.empty()) {
      std::fprintf(stderr, "pairdot-run: warning: job %d: %s\n", job.number,
                   job.messages.front().c_str());
    }
  }
}

void print_failed_pairs(const RunReport &report, bool alone_only) {
  for (const JobOutcome &job : report.jobs) {
    if ((alone_only && job.kind == "sweep") || job.status == job_status::not_started) {
      continue; // a job that never started has its own lines
    }
    for (const auto &pair : job.pairs) {
      if (!pair.verified) {
        std::printf("%s: %s\n", pairdot_reports::pair_name(pair).c_str(), pair.problem.c_str());
      }
    }
  }
}

// Why a job has no pair verdicts worth naming (misplaced, not started).
void print_job_faults(const RunReport &report) {
  for (const JobOutcome &job : report.jobs) {
    if (job.status == job_status::misplaced || job.status == job_status::not_started) {
      for (const std::string &message : job.messages) {
        std::printf("job %d: %s\n", job.number, message.c_str());
      }
    }
  }
}

void print_diagnosis(const RunReport &report) {
  for (const auto &link : report.links) {
    if (link.collateral) {
      std::printf("link %s -> %s: failed in a bigger job, verified alone (collateral damage)\n",
                  link.sender.c_str(), link.receiver.c_str());
    }
  }
  for (const std::string &host : report.suspect_hosts) {
    std::printf("suspect host: %s\n", host.c_str());
  }
  for (const auto &[sender, receiver] : report.suspect_links) {
    std::printf("suspect link: %s -> %s\n", sender.c_str(), receiver.c_str());
  }
}

int count_links(const RunReport &report, const char *status) {
  return static_cast<int>(std::count_if(report.links.begin(), report.links.end(),
                                        [&](const auto &link) { return link.status == status; }));
}

int finish_sweep(const Session &session) {
  const RunReport &report = session.report;
  const std::string matrix = pairdot_reports::terminal_matrix(report);
  std::fputs(matrix.c_str(), stdout);
  print_job_faults(report);
  print_failed_pairs(report, true);
  print_diagnosis(report);
  print_job_warnings(report);
  const int verified = count_links(report, pairdot_reports::link_status::verified);
  const int failed = count_links(report, pairdot_reports::link_status::failed);
  std::printf("%d of %zu links verified, %d failed, over %zu hosts in %zu jobs\n", verified,
              report.links.size(), failed, report.hosts.size(), report.jobs.size());
  return static_cast<std::size_t>(verified) == report.links.size() ? exit_verified : exit_fault;
}

int finish_single(const Session &session) {
  const RunReport &report = session.report;
  print_job_faults(report);
  print_failed_pairs(report, false);
  print_job_warnings(report);
  const JobOutcome &job = report.jobs.front();
  if (job.status == job_status::misplaced) {
    return exit_usage;
  }
  const bool ok = job.status == job_status::verified || job.status == job_status::did_not_end;
  if (ok) {
    std::printf("verified %zu ranks, %zu pairs on %zu host%s\n", job.rank_hosts.size(),
                job.pairs.size(), distinct_hosts(job), distinct_hosts(job) == 1 ? "" : "s");
  } else {
    for (const std::string &message : job.messages) {
      std::printf("job %d: %s\n", job.number, message.c_str());
    }
  }
  return ok ? exit_verified : exit_fault;
}

void check_resumable(const RunReport &done, const RunOptions &options) {
  bool same = done.hosts.size() == options.hosts.size();
  for (std::size_t i = 0; same && i < done.hosts.size(); ++i) {
    same = done.hosts[i].name == options.hosts[i].name &&
           done.hosts[i].slots == options.hosts[i].slots;
  }
  if (!same) {
    throw pairdot_reports::InputError("--resume: the report in " + options.report_dir +
                                      " is of other hosts or slots");
  }
}

// Links that failed in sweep jobs and have no isolation job yet.
std::vector<JobPlan> isolation_jobs(const RunReport &report) {
  std::set<std::pair<std::string, std::string>> isolated;
  int number = 0;
  for (const JobOutcome &job : report.jobs) {
    number = std::max(number, job.number);
    if (job.kind == "isolation" && job.rank_hosts.size() == 2) {
      isolated.emplace(job.rank_hosts[0], job.rank_hosts[1]);
    }
  }
  std::vector<JobPlan> plans;
  for (const JobOutcome &job : report.jobs) {
    for (const auto &pair : job.pairs) {
      if (job.kind == "sweep" && !pair.verified &&
          isolated.emplace(pair.sender, pair.receiver).second) {
        plans.push_back(JobPlan{++number, "isolation", {pair.sender, pair.receiver}, 2});
      }
    }
  }
  return plans;
}

int run_sweep(Session &session) {
  const RunOptions &options = session.options;
  std::vector<JobPlan> plans = sweep_jobs(options.hosts);
  if (options.resume) {
    std::ifstream in(options.report_dir + "/report.json");
    if (!in) {
      throw pairdot_reports::InputError("--resume: no report.json in " + options.report_dir);
    }
    RunReport done = pairdot_reports::report_from_json(nlohmann::json::parse(in));
    check_resumable(done, options);
    session.report.jobs = std::move(done.jobs);
    std::set<int> finished;
    for (const JobOutcome &job : session.report.jobs) {
      finished.insert(job.number);
    }
    plans.erase(std::remove_if(plans.begin(), plans.end(),
                               [&](const JobPlan &plan) { return finished.count(plan.number); }),
                plans.end());
    std::fprintf(stderr, "pairdot-run: resuming: %zu jobs done, %zu to run\n",
                 session.report.jobs.size(), plans.size());
  }
  save(session);
  if (!run_jobs(session, plans, 1, "job")) {
    return -1;
  }
  const std::vector<JobPlan> isolation = isolation_jobs(session.report);
  if (!isolation.empty()) {
    std::fprintf(stderr, "pairdot-run: re-testing %zu failed links alone\n", isolation.size());
  }
  if (!run_jobs(session, isolation, options.parallel, "isolation")) {
    return -1;
  }
  return finish_sweep(session);
}

int run_single(Session &session) {
  const RunOptions &options = session.options;
  JobPlan plan{1, "single", {}, options.np};
  if (!options.hosts.empty()) {
    plan.rank_hosts = round_robin(options.hosts, options.np);
  }
  if (!run_jobs(session, {plan}, 1, "job")) {
    return -1;
  }
  return finish_single(session);
}

} // namespace

std::vector<std::string> round_robin(const std::vector<pairdot_reports::Host> &hosts, int np) {
  std::vector<std::string> placed;
  std::vector<int> used(hosts.size(), 0);
  for (std::size_t h = 0; static_cast<int>(placed.size()) < np; h = (h + 1) % hosts.size()) {
    if (used[h] < hosts[h].slots) {
      ++used[h];
      placed.push_back(hosts[h].name);
    }
  }
  return placed;
}

std::vector<JobPlan> sweep_jobs(const std::vector<pairdot_reports::Host> &hosts) {
  std::vector<int> slots;
  slots.reserve(hosts.size());
  for (const auto &host : hosts) {
    slots.push_back(host.slots);
  }
  std::vector<JobPlan> jobs;
  int number = 0;
  for (const PlannedJob &planned : plan_sweep(slots)) {
    JobPlan job{++number, "sweep", {}, static_cast<int>(planned.rank_hosts.size())};
    job.rank_hosts.reserve(planned.rank_hosts.size());
    for (const std::int32_t host : planned.rank_hosts) {
      job.rank_hosts.push_back(hosts[static_cast<std::size_t>(host)].name);
    }
    jobs.push_back(std::move(job));
  }
  return jobs;
}

void print_plan(Launcher launcher, const std::vector<JobPlan> &jobs) {
  for (const JobPlan &job : jobs) {
    std::printf("# job %d of %zu: %d ranks; write the lines up to the next '#' to a file and run\n"
                "#   %s\n",
                job.number, jobs.size(), job.np, launch_hint(launcher, job.np, "FILE").c_str());
    std::fputs(placement_text(launcher, job.rank_hosts).c_str(), stdout);
    for (std::size_t rank = 0; rank < job.rank_hosts.size(); ++rank) {
      std::printf("#   rank %zu: %s\n", rank, job.rank_hosts[rank].c_str());
    }
  }
}

void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signal, &action, nullptr);
  }
}

int run(const RunOptions &options) {
  Session session{options, {}, {}};
  session.report.tool = "pairdot-run";
  session.report.launcher = launcher_name(options.settings.launcher);
  session.report.hosts = options.hosts;
  if (session.report.hosts.empty()) {
    session.report.hosts.push_back({options.settings.local_host, options.np});
  }
  std::string temp_dir;
  if (options.report_dir.empty()) {
    std::string pattern = (fs::temp_directory_path() / "pairdot-run.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot make a temporary directory in " +
                               fs::temp_directory_path().string());
    }
    temp_dir = pattern;
    session.jobs_dir = temp_dir;
  } else {
    session.jobs_dir = options.report_dir + "/jobs";
  }
  int status = options.sweep ? run_sweep(session) : run_single(session);
  if (session.misplaced) {
    print_job_faults(session.report);
    std::fprintf(stderr, "pairdot-run: ranks ran elsewhere than placed; stopped (a matrix built "
                         "on a wrong map is worse than none)\n");
    status = exit_usage;
  } else if (status < 0) {
    const std::string kept = options.report_dir.empty() ? "" : " in " + options.report_dir;
    std::fprintf(stderr, "pairdot-run: interrupted; the %zu finished jobs are kept%s\n",
                 session.report.jobs.size(), kept.c_str());
    status = exit_interrupted;
  }
  if (!temp_dir.empty()) {
    std::error_code error;
    fs::remove_all(temp_dir, error);
  }
  return status;
}

} // namespace pairdot_run
