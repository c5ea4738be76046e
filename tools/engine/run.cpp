#include "run.hpp"

#include "host_names.hpp"
#include "isolation.hpp"
#include "plan.hpp"
#include "run_events.hpp"
#include "writers.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>

namespace pairdot_run {

namespace {

namespace fs = std::filesystem;
using pairdot_model::HostIndex;
using pairdot_model::JobKind;
using pairdot_model::JobOutcome;
using pairdot_model::JobStatus;
using pairdot_model::RunReport;

volatile std::sig_atomic_t interrupted = 0;
// Set by the signals alone, never cleared: a watch ends on it.
volatile std::sig_atomic_t stop_asked = 0;

extern "C" void on_interrupt(int /*signal*/) { interrupted = stop_asked = 1; }

// The summary files are rewritten at most this often, and at the end; each
// job's record is appended to the journal as it ends.
constexpr auto summary_interval = std::chrono::seconds(5);

struct Session {
  const RunOptions &options;
  JobRunner &runner;
  RunReport report;
  pairdot_model::EvidenceStore store;
  std::set<int> fed; // numbers of the jobs the store holds
  std::vector<RunListener> listeners;
  bool misplaced = false;
  bool launcher_fails = false; // no host started a rank, even alone
  std::optional<Clock::time_point> summary_written;
};

// Feeds a finished job to the store, once.
void feed(Session &session, const JobOutcome &job) {
  if (session.fed.insert(job.number).second)
    session.store.add(job);
}

// Feeds the finished jobs the planner did not read (re-tests, a single
// job, a round cut short), in number order.
void feed_rest(Session &session) {
  std::vector<const JobOutcome *> jobs;
  for (const JobOutcome &job : session.report.jobs)
    jobs.push_back(&job);
  std::stable_sort(jobs.begin(), jobs.end(),
                   [](const JobOutcome *a, const JobOutcome *b) { return a->number < b->number; });
  for (const JobOutcome *job : jobs)
    feed(session, *job);
}

// Tells every listener that has the event.
template <typename Event, typename... Args>
void tell(const Session &session, Event RunListener::*event, const Args &...args) {
  for (const RunListener &listener : session.listeners) {
    if (listener.*event)
      (listener.*event)(args...);
  }
}

// Brings the diagnosis up to date and tells it.
void write_summary(Session &session) {
  std::sort(session.report.jobs.begin(), session.report.jobs.end(),
            [](const JobOutcome &a, const JobOutcome &b) { return a.number < b.number; });
  pairdot_model::diagnose(session.report, session.store);
  tell(session, &RunListener::summary, session.report);
  session.summary_written = Clock::now();
}

// Keeps a finished job, telling it at once, the summary when it is due.
void keep(Session &session, JobOutcome outcome) {
  tell(session, &RunListener::job_ended, outcome);
  session.report.jobs.push_back(std::move(outcome));
  if (!session.summary_written || Clock::now() - *session.summary_written > summary_interval) {
    write_summary(session);
  }
}

// Runs the jobs, at most `parallel` at once, keeping each as it ends.
// False when interrupted or when a job ran elsewhere than placed.
bool run_jobs(Session &session, const std::vector<JobPlan> &plans, int parallel) {
  std::size_t next = 0;
  std::size_t finished = 0;
  while (finished < plans.size()) {
    if (interrupted != 0 || session.misplaced) {
      session.runner.stop_all();
      return false;
    }
    while (session.runner.running() < static_cast<std::size_t>(parallel) && next < plans.size()) {
      tell(session, &RunListener::job_started, plans[next]);
      session.runner.start(plans[next++]);
    }
    for (JobOutcome &outcome : session.runner.poll()) {
      ++finished;
      session.misplaced = session.misplaced || outcome.status == JobStatus::misplaced;
      keep(session, std::move(outcome));
    }
  }
  return !session.misplaced;
}

// The jobs of a report directory's journal. Refused when its report is of
// other hosts or slots.
std::vector<JobOutcome> finished_jobs(const RunOptions &options) {
  const std::string json_path = options.report_dir + "/report.json";
  std::ifstream in(json_path);
  if (!in) {
    throw pairdot_hosts::InputError("--resume: no report.json in " + options.report_dir);
  }
  std::vector<pairdot_hosts::Host> hosts;
  try {
    hosts = pairdot_writers::report_hosts(nlohmann::json::parse(in));
  } catch (const nlohmann::json::exception &) {
    throw pairdot_hosts::InputError("--resume: " + json_path + " is not JSON");
  } catch (const std::runtime_error &error) {
    throw pairdot_hosts::InputError("--resume: " + json_path + ": " + error.what());
  }
  const bool same = std::equal(
      hosts.begin(), hosts.end(), options.hosts.begin(), options.hosts.end(),
      [](const auto &a, const auto &b) { return a.name == b.name && a.slots == b.slots; });
  if (!same) {
    throw pairdot_hosts::InputError("--resume: the report in " + options.report_dir +
                                    " is of other hosts or slots");
  }
  const std::string journal = options.report_dir + "/jobs.jsonl";
  return fs::exists(journal) ? pairdot_writers::read_journal(journal) : std::vector<JobOutcome>{};
}

JobPlan plan_of(const RunOptions &options, const PlannedRun &planned) {
  JobPlan plan{planned.number, planned.shape.kind, {}, 0, {}};
  plan.rank_hosts.reserve(planned.shape.rank_hosts.size());
  for (const HostIndex host : planned.shape.rank_hosts) {
    plan.rank_hosts.push_back(options.hosts[static_cast<std::size_t>(host)].name);
  }
  plan.np = static_cast<int>(plan.rank_hosts.size());
  for (const HostIndex host : planned.shape.tested)
    plan.tested_hosts.push_back(options.hosts[static_cast<std::size_t>(host)].name);
  return plan;
}

// Finished jobs by what they ran, so that a resumed run takes the outcome of
// a job it plans again instead of running it.
using Done = std::map<std::pair<JobKind, std::vector<std::string>>, std::vector<std::size_t>>;

// Re-tests the links that look slow until each was measured alone often
// enough: packed into jobs of pairs on hosts apart, one job at a time; a
// resumed run takes a re-test it has.
bool retest_slow(Session &session, int &next_number, Done &done) {
  const std::vector<pairdot_hosts::Host> &hosts = session.report.hosts;
  const auto name = [&hosts](HostIndex host) { return hosts[static_cast<std::size_t>(host)].name; };
  std::map<pairdot_model::HostPair, int> tried;
  for (;;) {
    write_summary(session);
    // A link slow only in latency is re-tested in a job of its own: pairs
    // side by side may wait on each other's hosts (ranks that poll share cores).
    std::vector<pairdot_model::HostPair> links;
    std::vector<std::vector<pairdot_model::HostPair>> jobs;
    for (const auto &link :
         pairdot_model::slow_to_retest(session.report.quality, session.report.switches)) {
      if (++tried[link] > pairdot_model::alone_measures_for_slow)
        continue;
      const auto &probes = session.report.quality.links;
      const bool latency_only = std::any_of(probes.begin(), probes.end(), [&](const auto &probe) {
        return probe.sender == link.first && probe.receiver == link.second && probe.slow_latency &&
               !probe.slow_bandwidth;
      });
      if (latency_only)
        jobs.push_back({link});
      else
        links.push_back(link);
    }
    for (auto &job : pairdot_model::pack_links(links))
      jobs.push_back(std::move(job));
    std::vector<JobPlan> plans;
    for (const auto &job : jobs) {
      JobPlan plan{0, JobKind::retest, {}, static_cast<int>(2 * job.size()), {}};
      for (const auto &[sender, receiver] : job)
        plan.rank_hosts.insert(plan.rank_hosts.end(), {name(sender), name(receiver)});
      const auto found = done.find({plan.kind, plan.rank_hosts});
      if (found != done.end() && !found->second.empty()) {
        found->second.erase(found->second.begin());
        continue;
      }
      plan.number = next_number++;
      plans.push_back(std::move(plan));
    }
    if (plans.empty())
      return true;
    if (!run_jobs(session, plans, 1))
      return false;
    feed_rest(session);
    session.report.rounds += static_cast<int>(plans.size());
  }
}

// False when the run stopped early.
bool run_sweep(Session &session) {
  const RunOptions &options = session.options;
  std::vector<int> slots;
  for (const auto &host : options.hosts)
    slots.push_back(host.slots);
  Done done;
  int first_number = 1;
  if (options.resume) {
    // The journal's jobs stand in for those the planner plans again: each is
    // fed to the store when the planner reads it, as a job run now would be.
    session.report.jobs = finished_jobs(options);
    // In number order, as the summary keeps them: done holds their indices.
    std::sort(session.report.jobs.begin(), session.report.jobs.end(),
              [](const JobOutcome &a, const JobOutcome &b) { return a.number < b.number; });
    for (std::size_t at = 0; at < session.report.jobs.size(); ++at) {
      const JobOutcome &job = session.report.jobs[at];
      first_number = std::max(first_number, job.number + 1);
      done[{job.kind, job.rank_hosts}].push_back(at);
    }
    tell(session, &RunListener::resumed, session.report.jobs.size());
  }
  Isolation planner(slots, options.parallel, session.report.switches, first_number);
  write_summary(session);
  const pairdot_model::Evidence &evidence = session.store.evidence();
  for (std::vector<PlannedRun> round = planner.next_round(evidence); !round.empty();
       round = planner.next_round(evidence)) {
    std::vector<JobPlan> plans;
    std::vector<std::optional<std::size_t>> taken(round.size());
    for (std::size_t i = 0; i < round.size(); ++i) {
      JobPlan plan = plan_of(options, round[i]);
      const auto found = done.find({plan.kind, plan.rank_hosts});
      if (found != done.end() && !found->second.empty()) {
        taken[i] = found->second.front();
        found->second.erase(found->second.begin());
      } else {
        plans.push_back(std::move(plan));
      }
    }
    const std::size_t before = session.report.jobs.size();
    if (!run_jobs(session, plans, options.parallel)) {
      return false;
    }
    // Jobs of this round that ran now, by number.
    std::map<int, std::size_t> ran;
    for (std::size_t at = before; at < session.report.jobs.size(); ++at) {
      ran.emplace(session.report.jobs[at].number, at);
    }
    for (std::size_t i = 0; i < round.size(); ++i) {
      const std::size_t at = taken[i] ? *taken[i] : ran.at(round[i].number);
      const JobOutcome &job = session.report.jobs[at];
      feed(session, job);
      planner.record(round[i], pairdot_model::job_evidence(job, session.store.index()), evidence);
    }
    if (pairdot_model::none_can_run(evidence)) {
      session.launcher_fails = true;
      return false;
    }
  }
  session.report.rounds = planner.rounds();
  session.report.converged = planner.converged();
  int next_number = planner.next_number();
  if (options.settings.probe && !retest_slow(session, next_number, done)) {
    return false;
  }
  write_summary(session);
  return true;
}

bool run_single(Session &session) {
  const RunOptions &options = session.options;
  JobPlan plan{1, JobKind::single, {}, options.np, {}};
  if (!options.hosts.empty()) {
    plan.rank_hosts = round_robin(options.hosts, options.np);
  }
  if (!run_jobs(session, {plan}, 1)) {
    return false;
  }
  feed_rest(session);
  session.report.rounds = 1;
  int next_number = 2;
  Done none;
  if (options.settings.probe && !retest_slow(session, next_number, none)) {
    return false;
  }
  write_summary(session);
  return true;
}

int exit_status(const RunReport &report, RunEnd end, bool sweep) {
  switch (end) {
  case RunEnd::launcher_fails:
  case RunEnd::misplaced:
    return exit_usage;
  case RunEnd::interrupted:
    return exit_interrupted;
  case RunEnd::completed:
    break;
  }
  // A sweep passes only when every link verified; a single job unless a fault was found.
  const bool passed = sweep ? report.verdict == pairdot_model::RunVerdict::verified
                            : report.verdict != pairdot_model::RunVerdict::fault;
  return passed ? exit_verified : exit_fault;
}

} // namespace

std::vector<std::string> round_robin(const std::vector<pairdot_hosts::Host> &hosts, int np) {
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

std::vector<JobPlan> sweep_jobs(const std::vector<pairdot_hosts::Host> &hosts) {
  std::vector<int> slots;
  slots.reserve(hosts.size());
  for (const auto &host : hosts) {
    slots.push_back(host.slots);
  }
  std::vector<JobPlan> jobs;
  int number = 0;
  for (const PlannedJob &planned : plan_sweep(slots)) {
    JobPlan job{++number, JobKind::sweep, {}, static_cast<int>(planned.rank_hosts.size()), {}};
    job.rank_hosts.reserve(planned.rank_hosts.size());
    for (const std::int32_t host : planned.rank_hosts) {
      job.rank_hosts.push_back(hosts[static_cast<std::size_t>(host)].name);
    }
    jobs.push_back(std::move(job));
  }
  return jobs;
}

void print_plan(const pairdot_launch::Launcher &launcher, const std::vector<JobPlan> &jobs) {
  for (const JobPlan &job : jobs) {
    std::printf("# job %d of %zu: %d ranks; write the lines up to the next '#' to a file and run\n"
                "#   %s\n",
                job.number, jobs.size(), job.np, launcher.hint(job.np, "FILE").c_str());
    std::fputs(launcher.placement_text(job.rank_hosts).c_str(), stdout);
    for (std::size_t rank = 0; rank < job.rank_hosts.size(); ++rank) {
      std::printf("#   rank %zu: %s\n", rank, job.rank_hosts[rank].c_str());
    }
  }
}

void request_stop() { interrupted = 1; }

bool stop_requested() { return stop_asked != 0; }

void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signal, &action, nullptr);
  }
}

int run(const RunOptions &options, JobRunner &runner) {
  interrupted = 0;
  std::vector<pairdot_hosts::Host> hosts = options.hosts;
  if (hosts.empty()) {
    hosts.push_back({options.settings.local_host, options.np});
  }
  Session session{options, runner, {},          pairdot_model::EvidenceStore(hosts), {}, {},
                  false,   false,  std::nullopt};
  session.report.tool = "pairdot-run";
  session.report.launcher = options.settings.launcher->name();
  session.report.hosts = std::move(hosts);
  session.report.slow_rule = options.slow_rule;
  session.report.switches = pairdot_model::make_switch_tree(
      options.topology, pairdot_hosts::names_of(session.report.hosts));
  session.listeners.push_back(terminal_listener(options.sweep, options.report_dir));
  if (!options.report_dir.empty())
    session.listeners.push_back(report_dir_listener(options.report_dir));
  session.listeners.insert(session.listeners.end(), options.listeners.begin(),
                           options.listeners.end());
  tell(session, &RunListener::began, options.report_dir);
  const bool completed = options.sweep ? run_sweep(session) : run_single(session);
  feed_rest(session); // a round cut short
  const RunEnd end = session.launcher_fails ? RunEnd::launcher_fails
                     : session.misplaced    ? RunEnd::misplaced
                     : completed            ? RunEnd::completed
                                            : RunEnd::interrupted;
  if (end != RunEnd::completed)
    write_summary(session);
  tell(session, &RunListener::ended, session.report, end);
  return exit_status(session.report, end, options.sweep);
}

int run(const RunOptions &options) {
  std::string jobs_dir = options.report_dir + "/jobs";
  std::string temp_dir;
  if (options.report_dir.empty()) {
    std::string pattern = (fs::temp_directory_path() / "pairdot-run.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot make a temporary directory in " +
                               fs::temp_directory_path().string());
    }
    temp_dir = jobs_dir = pattern;
  }
  int status = 0;
  {
    const std::unique_ptr<JobRunner> runner = process_runner(options.settings, jobs_dir);
    status = run(options, *runner);
  }
  if (!temp_dir.empty()) {
    std::error_code error;
    fs::remove_all(temp_dir, error);
  }
  return status;
}

} // namespace pairdot_run
