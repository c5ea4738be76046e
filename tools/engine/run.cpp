#include "run.hpp"

#include "host_names.hpp"
#include "isolation.hpp"
#include "plan.hpp"
#include "probe_line.hpp"
#include "report_text.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <unordered_map>

namespace pairdot_run {

namespace {

namespace fs = std::filesystem;
using pairdot_model::HostIndex;
using pairdot_model::JobKind;
using pairdot_model::JobOutcome;
using pairdot_model::JobStatus;
using pairdot_model::RunReport;

volatile std::sig_atomic_t interrupted = 0;

extern "C" void on_interrupt(int /*signal*/) { interrupted = 1; }

// The summary files are rewritten at most this often, and at the end; each
// job's record is appended to the journal as it ends.
constexpr auto summary_interval = std::chrono::seconds(5);
// Lines of one kind printed before the rest is left to the report.
constexpr std::size_t max_lines = 20;

struct Session {
  const RunOptions &options;
  JobRunner &runner;
  RunReport report;
  pairdot_model::EvidenceStore store;
  std::set<int> fed; // numbers of the jobs the store holds
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

std::size_t distinct_hosts(const JobOutcome &job) {
  return pairdot_hosts::distinct_hosts(job.rank_hosts).size();
}

std::string fixed1(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

void print_progress(const JobOutcome &job) {
  std::string line =
      "job " + std::to_string(job.number) + " (" + pairdot_writers::kind_word(job.kind) +
      "): " + std::to_string(job.rank_hosts.size()) + " ranks on " +
      std::to_string(distinct_hosts(job)) + " host" + (distinct_hosts(job) == 1 ? "" : "s");
  if ((job.kind == JobKind::isolation || job.kind == JobKind::retest) &&
      job.rank_hosts.size() == 2) {
    line += " (" + job.rank_hosts[0] + " -> " + job.rank_hosts[1] + ")";
  }
  line += " ... " + std::string(pairdot_writers::status_word(job.status)) + ", " +
          fixed1(job.seconds) + " s";
  std::fprintf(stderr, "%s\n", line.c_str());
}

// Brings the diagnosis up to date and rewrites the summary files.
void write_summary(Session &session) {
  std::sort(session.report.jobs.begin(), session.report.jobs.end(),
            [](const JobOutcome &a, const JobOutcome &b) { return a.number < b.number; });
  pairdot_model::diagnose(session.report, session.store);
  if (!session.options.report_dir.empty()) {
    pairdot_writers::write_report_dir(session.options.report_dir, session.report);
  }
  session.summary_written = Clock::now();
}

// Keeps a finished job: its record at once, the summary when it is due.
void keep(Session &session, JobOutcome outcome) {
  if (!session.options.report_dir.empty()) {
    pairdot_writers::append_journal(session.options.report_dir, outcome);
  }
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
      session.runner.start(plans[next++]);
    }
    for (JobOutcome &outcome : session.runner.poll()) {
      print_progress(outcome);
      ++finished;
      session.misplaced = session.misplaced || outcome.status == JobStatus::misplaced;
      keep(session, std::move(outcome));
    }
  }
  return !session.misplaced;
}

// What the launcher said in the last job, a few lines.
void print_launcher_words(const RunReport &report) {
  if (report.jobs.empty())
    return;
  const JobOutcome &job = report.jobs.back();
  for (std::size_t i = 0; i < job.messages.size() && i < 3; ++i)
    std::fprintf(stderr, "job %d: %s\n", job.number, job.messages[i].c_str());
}

void print_job_warnings(const RunReport &report) {
  for (const JobOutcome &job : report.jobs) {
    if (job.status == JobStatus::did_not_end && !job.messages.empty()) {
      std::fprintf(stderr, "pairdot-run: warning: job %d: %s\n", job.number,
                   job.messages.front().c_str());
    }
  }
}

// Failed pairs of the jobs that blame links: a job the user asked for, or a
// link re-tested alone.
void print_failed_pairs(const RunReport &report, bool alone_only) {
  for (const JobOutcome &job : report.jobs) {
    const bool alone = job.kind == JobKind::isolation && job.pairs.size() == 1;
    if ((alone_only && !alone) || job.status == JobStatus::not_started) {
      continue; // a job that never started has its own lines
    }
    for (const auto &pair : job.pairs) {
      if (!pair.verified) {
        std::printf("%s: %s\n", pairdot_writers::pair_name(pair).c_str(),
                    pairdot_writers::problem_text(pair).c_str());
      }
    }
  }
}

// Why a job has no pair verdicts worth naming (misplaced, not started).
void print_job_faults(const RunReport &report) {
  for (const JobOutcome &job : report.jobs) {
    if (job.status == JobStatus::misplaced || job.status == JobStatus::not_started) {
      for (const std::string &message : job.messages) {
        std::printf("job %d: %s\n", job.number, message.c_str());
      }
    }
  }
}

void print_diagnosis(const RunReport &report) {
  std::size_t collateral = 0;
  for (const auto &link : report.troubled) {
    if (link.verdict == pairdot_model::LinkVerdict::collateral && ++collateral <= max_lines) {
      std::printf("link %s -> %s: failed in a bigger job, verified alone (collateral damage)\n",
                  link.sender.c_str(), link.receiver.c_str());
    }
  }
  if (collateral > max_lines) {
    std::printf("... and %zu more links of collateral damage (report.json)\n",
                collateral - max_lines);
  }
  std::fputs(pairdot_writers::suspect_lines(report).c_str(), stdout);
}

std::string link_name(const RunReport &report, const pairdot_model::LinkProbe &link) {
  return report.hosts[static_cast<std::size_t>(link.sender)].name + " -> " +
         report.hosts[static_cast<std::size_t>(link.receiver)].name;
}

// Slow links and hosts, and the median link they are measured against.
void print_link_quality(const RunReport &report, bool every_link) {
  if (!pairdot_model::has_probes(report))
    return;
  const pairdot_model::LinkQuality &quality = report.quality;
  std::size_t slow = 0;
  for (const pairdot_model::LinkProbe &link : quality.links) {
    const bool is_slow = link.verdict == pairdot_model::ProbeVerdict::slow && link.slow_switch < 0;
    if (every_link || (is_slow && ++slow <= max_lines)) {
      const std::string text = pairdot_writers::detail::measure_text(link, quality);
      std::printf("%slink %s: %s\n", is_slow ? "slow " : "", link_name(report, link).c_str(),
                  text.c_str());
    }
  }
  if (slow > max_lines)
    std::printf("... and %zu more slow links (report.json)\n", slow - max_lines);
  for (const std::string &host : report.slow_hosts)
    std::printf("slow host: %s\n", host.c_str());
  for (const std::string &name : report.slow_switches)
    std::printf("slow switch: %s: its links to hosts elsewhere are slow (its uplink)\n",
                name.c_str());
  if (quality.median_mbps || quality.median_latency_us) {
    std::printf("median link: %s MB/s at the largest size, latency %s us\n",
                quality.median_mbps ? fixed1(*quality.median_mbps).c_str() : "-",
                quality.median_latency_us ? fixed1(*quality.median_latency_us).c_str() : "-");
  }
}

int finish_sweep(const Session &session) {
  const RunReport &report = session.report;
  const std::string matrix = pairdot_writers::terminal_matrix(report);
  std::fputs(matrix.c_str(), stdout);
  print_job_faults(report);
  print_failed_pairs(report, true);
  print_diagnosis(report);
  print_link_quality(report, false);
  print_job_warnings(report);
  const pairdot_writers::detail::LinkCounts links = pairdot_writers::detail::count_links(report);
  const long long all = links.verified + links.failed + links.not_covered;
  const auto extra =
      std::count_if(report.jobs.begin(), report.jobs.end(),
                    [](const JobOutcome &job) { return job.kind != JobKind::sweep; });
  const std::string slow = pairdot_model::has_probes(report)
                               ? ", " + std::to_string(report.slow_links.size()) + " slow"
                               : "";
  std::printf(
      "%lld of %lld links verified, %lld failed%s, over %zu hosts in %zu jobs (%zu to isolate, "
      "%d rounds)\n",
      links.verified, all, links.failed, slow.c_str(), report.hosts.size(), report.jobs.size(),
      static_cast<std::size_t>(extra), report.rounds);
  if (!report.converged) {
    std::printf("isolation did not converge: it stopped at its budget of jobs; links not "
                "covered are still in question\n");
  }
  return report.verdict == pairdot_model::RunVerdict::verified ? exit_verified : exit_fault;
}

int finish_single(const Session &session) {
  const RunReport &report = session.report;
  print_job_faults(report);
  print_failed_pairs(report, false);
  print_job_warnings(report);
  const JobOutcome &job = report.jobs.front();
  if (job.status == JobStatus::misplaced) {
    return exit_usage;
  }
  print_link_quality(report, true);
  const bool ok = job.status == JobStatus::verified || job.status == JobStatus::did_not_end;
  if (ok) {
    std::printf("verified %zu ranks, %zu pairs on %zu host%s\n", job.rank_hosts.size(),
                job.pairs.size(), distinct_hosts(job), distinct_hosts(job) == 1 ? "" : "s");
  } else {
    for (const std::string &message : job.messages) {
      std::printf("job %d: %s\n", job.number, message.c_str());
    }
  }
  return report.verdict == pairdot_model::RunVerdict::fault ? exit_fault : exit_verified;
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

using pairdot_model::HostMap;

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

int run_sweep(Session &session) {
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
    std::fprintf(stderr, "pairdot-run: resuming: %zu jobs done\n", session.report.jobs.size());
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
      return -1;
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
      return -1;
    }
  }
  session.report.rounds = planner.rounds();
  session.report.converged = planner.converged();
  int next_number = planner.next_number();
  if (options.settings.probe && !retest_slow(session, next_number, done)) {
    return -1;
  }
  write_summary(session);
  return finish_sweep(session);
}

int run_single(Session &session) {
  const RunOptions &options = session.options;
  JobPlan plan{1, JobKind::single, {}, options.np, {}};
  if (!options.hosts.empty()) {
    plan.rank_hosts = round_robin(options.hosts, options.np);
  }
  if (!run_jobs(session, {plan}, 1)) {
    return -1;
  }
  feed_rest(session);
  session.report.rounds = 1;
  int next_number = 2;
  Done none;
  if (options.settings.probe && !retest_slow(session, next_number, none)) {
    return -1;
  }
  write_summary(session);
  return finish_single(session);
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
  Session session{options, runner, {},    pairdot_model::EvidenceStore(hosts),
                  {},      false,  false, std::nullopt};
  session.report.tool = "pairdot-run";
  session.report.launcher = options.settings.launcher->name();
  session.report.hosts = std::move(hosts);
  session.report.slow_rule = options.slow_rule;
  session.report.switches = pairdot_model::make_switch_tree(
      options.topology, pairdot_hosts::names_of(session.report.hosts));
  int status = options.sweep ? run_sweep(session) : run_single(session);
  feed_rest(session); // a round cut short
  if (session.launcher_fails) {
    write_summary(session);
    std::fprintf(stderr, "pairdot-run: no host started a rank, not even alone: the launcher fails, "
                         "not the hosts; stopped\n");
    print_launcher_words(session.report);
    status = exit_usage;
  } else if (session.misplaced) {
    write_summary(session);
    print_job_faults(session.report);
    std::fprintf(stderr, "pairdot-run: ranks ran elsewhere than placed; stopped (a matrix built "
                         "on a wrong map is worse than none)\n");
    status = exit_usage;
  } else if (status < 0) {
    write_summary(session);
    const std::string kept = options.report_dir.empty() ? "" : " in " + options.report_dir;
    std::fprintf(stderr, "pairdot-run: interrupted; the %zu finished jobs are kept%s\n",
                 session.report.jobs.size(), kept.c_str());
    status = exit_interrupted;
  }
  return status;
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
