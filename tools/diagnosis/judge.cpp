#include "judge.hpp"

#include "host_names.hpp"
#include "probe_line.hpp"
#include "streams.hpp"

#include <algorithm>
#include <optional>

namespace pairdot_run {

namespace {

using pairdot_model::JobOutcome;
using pairdot_model::JobStatus;

constexpr std::size_t max_messages = 20;

// Checks every rank's output as one job.
pairdot_check::CheckReport check_output(const JobObservations &seen, int np,
                                        std::vector<pairdot_check::PairVerdict> &verdicts) {
  pairdot_check::JobCheck check;
  check.options.np = np;
  check.options.max_listed = max_messages;
  for (std::size_t rank = 0; rank < seen.rank_output.size(); ++rank) {
    const std::string &text = seen.rank_output[rank];
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

// The rank's output without the MPI library's log lines, each a warning.
std::string without_library_lines(const std::string &text, int rank,
                                  pairdot_check::CheckReport &report) {
  std::string kept;
  std::size_t number = 1;
  for (std::size_t at = 0; at < text.size(); ++number) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line(text.data() + at, end - at);
    const pairdot_check::LibraryLog log = pairdot_check::library_log_of(line);
    if (log == pairdot_check::LibraryLog::none || end == text.size()) {
      kept.append(text, at, end + 1 - at);
    } else if (report.library_lines++ < max_messages) {
      report.warnings.push_back("rank " + std::to_string(rank) +
                                " output:" + std::to_string(number) + ": " +
                                pairdot_check::library_line_text(log, line, line.size()));
    }
    at = end + 1;
  }
  return kept;
}

// Reads each pair's line from its odd rank; an even rank writes nothing.
pairdot_check::CheckReport
check_probe_output(const JobObservations &seen, int np,
                   std::vector<pairdot_check::PairVerdict> &verdicts,
                   std::vector<std::optional<pairdot_probe::ProbeLine>> &probes) {
  pairdot_check::CheckReport report;
  report.ok = true;
  report.ranks = np;
  for (int rank = 0; rank < np; ++rank) {
    const auto at = static_cast<std::size_t>(rank);
    const std::string text = at < seen.rank_output.size()
                                 ? without_library_lines(seen.rank_output[at], rank, report)
                                 : "";
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

JobStatus status_of(const JobObservations &seen, const pairdot_check::CheckReport &check,
                    bool waiting) {
  if (seen.end == JobEnd::not_started || waiting) {
    return JobStatus::not_started;
  }
  if (seen.end == JobEnd::after_output && check.ok) {
    return JobStatus::did_not_end;
  }
  if (seen.end == JobEnd::for_missing_hosts) {
    return JobStatus::hosts_missing;
  }
  if (seen.end == JobEnd::by_bound) {
    return JobStatus::timed_out;
  }
  return check.ok && seen.launcher_status == 0 ? JobStatus::verified : JobStatus::failed;
}

std::string joined_names(const std::vector<std::string> &names) {
  std::string out;
  for (const std::string &name : names) {
    out += (out.empty() ? "" : ", ") + name;
  }
  return out;
}

// The first lines of the launcher's standard error, for the report.
void add_launcher_lines(const JobObservations &seen, std::vector<std::string> &messages) {
  int kept = 0;
  for (auto line = seen.launcher_errors.begin(); kept < 5 && line != seen.launcher_errors.end();
       ++line) {
    if (!line->empty()) {
      messages.push_back("launcher: " + line->substr(0, 200));
      ++kept;
    }
  }
}

void add_status_messages(const JudgeSettings &settings, const JobObservations &seen,
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
    outcome.messages.push_back(
        "every rank started but those on " +
        joined_names(hosts_missing(outcome.rank_hosts, seen.recorded_hosts)) + ": ended " +
        std::to_string(static_cast<int>(seen.quiet_seconds)) + " s after the last start");
  } else if (outcome.status == JobStatus::timed_out) {
    outcome.messages.push_back("ended by the time bound of " +
                               std::to_string(static_cast<int>(settings.timeout)) + " s");
  } else if (seen.launcher_status > 0 && seen.end != JobEnd::by_bound) {
    outcome.messages.push_back("launcher exited " + std::to_string(seen.launcher_status));
  }
  if (check.one_process_jobs && !settings.one_process_advice.empty()) {
    outcome.messages.push_back(settings.one_process_advice);
  }
  if (!seen.start_error.empty()) {
    outcome.messages.push_back(seen.start_error);
  }
  if (outcome.status != JobStatus::verified && outcome.status != JobStatus::did_not_end) {
    add_launcher_lines(seen, outcome.messages);
  }
}

// The pairs by host; why each failed one may have failed.
void add_pairs(const JobObservations &seen, const std::vector<pairdot_check::PairVerdict> &verdicts,
               const std::vector<std::optional<pairdot_probe::ProbeLine>> &probes,
               JobOutcome &outcome) {
  outcome.pairs = pairdot_model::pair_outcomes(verdicts, outcome.rank_hosts);
  const auto started = [&seen](std::size_t rank) {
    return rank < seen.recorded_hosts.size() && !seen.recorded_hosts[rank].empty();
  };
  for (std::size_t at = 0; at < outcome.pairs.size(); ++at) {
    pairdot_model::PairOutcome &pair = outcome.pairs[at];
    if (outcome.status == JobStatus::not_started) {
      pair.verified = false;
    } else if (at < probes.size()) {
      pair.probe = probes[at];
    }
    if (!verdicts[at].verified) {
      const auto even = static_cast<std::size_t>(pair.even_rank);
      pair.facts.sender_not_started = !started(even);
      pair.facts.receiver_not_started = !started(even + 1);
      pair.facts.ended_by_bound = outcome.status == JobStatus::timed_out;
    }
  }
}

} // namespace

std::vector<std::string> planned_hosts(const JobPlan &plan, const std::string &local_host) {
  return plan.rank_hosts.empty()
             ? std::vector<std::string>(static_cast<std::size_t>(plan.np), local_host)
             : plan.rank_hosts;
}

bool kept_waiting(const JobObservations &seen) {
  return seen.launcher_said_waiting &&
         std::all_of(seen.recorded_hosts.begin(), seen.recorded_hosts.end(),
                     [](const std::string &host) { return host.empty(); });
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

JobOutcome judge_job(const JudgeSettings &settings, const JobPlan &plan,
                     const JobObservations &seen) {
  JobOutcome outcome;
  outcome.number = plan.number;
  outcome.kind = plan.kind;
  outcome.tested_hosts = plan.tested_hosts;
  outcome.seconds = seen.seconds;
  outcome.rank_hosts = planned_hosts(plan, settings.local_host);
  outcome.messages = misplaced_ranks(outcome.rank_hosts, seen.recorded_hosts);
  if (!outcome.messages.empty()) {
    outcome.status = JobStatus::misplaced;
    return outcome;
  }
  std::vector<pairdot_check::PairVerdict> verdicts;
  std::vector<std::optional<pairdot_probe::ProbeLine>> probes;
  const pairdot_check::CheckReport check = settings.probe
                                               ? check_probe_output(seen, plan.np, verdicts, probes)
                                               : check_output(seen, plan.np, verdicts);
  const bool waiting = kept_waiting(seen);
  outcome.status = status_of(seen, check, waiting);
  if (waiting) {
    outcome.messages.emplace_back("Slurm kept the step waiting for its nodes until the time bound: "
                                  "they are busy (a job stuck on a dead node may hold them)");
    outcome.waited_for_resources = true;
  }
  add_status_messages(settings, seen, check, outcome);
  for (std::size_t rank = 0;
       rank < seen.recorded_hosts.size() && !waiting && seen.end != JobEnd::not_started; ++rank) {
    if (seen.recorded_hosts[rank].empty()) {
      outcome.not_started.push_back(static_cast<std::int32_t>(rank));
    }
  }
  outcome.messages.insert(outcome.messages.end(), check.listed.begin(), check.listed.end());
  outcome.messages.insert(outcome.messages.end(), check.warnings.begin(), check.warnings.end());
  add_pairs(seen, verdicts, probes, outcome);
  for (const UnavailableHost &node : seen.unavailable) {
    outcome.unavailable_hosts.push_back(node.host);
    outcome.messages.push_back("Slurm would not use " + node.host + ": it is " + node.state);
  }
  return outcome;
}

} // namespace pairdot_run
