// The judge of an ended job: what was seen of it, to its outcome.

#include "job_text.hpp"
#include "judge.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using pairdot_model::JobStatus;
using pairdot_run::JobEnd;
using pairdot_run::JobObservations;

// A rank's pairdot lines; an odd rank's result (of vectors 1 2 3 4 0) if given.
std::string lines_of(int rank, bool result) {
  std::string text = job_text::vector_line(rank, {1, 2, 3, 4, 0});
  return result ? text + job_text::result_line(rank - 1, rank, 30) : text;
}

const std::vector<std::string> both_pairs{lines_of(0, false), lines_of(1, true), lines_of(2, false),
                                          lines_of(3, true)};
const std::vector<std::string> four{"h1", "h2", "h1", "h2"};
const std::string probe_ok =
    "probe 0 ; 1: sizes 8,1048576 mbps 2.0,950.5 latency_us 3.1 verdict ok\n";

JobObservations seen(JobEnd end, int status, std::vector<std::string> recorded,
                     std::vector<std::string> output) {
  JobObservations s;
  s.end = end;
  s.launcher_status = status;
  s.recorded_hosts = std::move(recorded);
  s.rank_output = std::move(output);
  return s;
}

struct Row {
  const char *name;
  bool probe;
  std::vector<std::string> hosts; // planned, rank by rank
  JobObservations seen;
  JobStatus status;
  std::vector<bool> verified; // per pair
  const char *fact;           // one of the messages
  std::vector<std::int32_t> not_started;
};

TEST(Judge, TurnsWhatWasSeenIntoTheOutcome) {
  JobObservations bad_start = seen(JobEnd::not_started, -1, {"", ""}, {"", ""});
  bad_start.start_error = "cannot start mpiexec: No such file or directory";
  JobObservations waiting = seen(JobEnd::by_bound, 143, {"", ""}, {"", ""});
  waiting.launcher_said_waiting = true;
  waiting.unavailable = {{"h2", "down"}};
  JobObservations missing = seen(JobEnd::for_missing_hosts, 143, {"h1", "", "h1", ""},
                                 {lines_of(0, false), "", lines_of(2, false), ""});
  missing.quiet_seconds = 7.5;
  JobObservations failed = seen(JobEnd::exited, 1, four, both_pairs);
  failed.launcher_errors = {"", "mpiexec: lost a rank"};
  const Row rows[] = {
      {"verified",
       false,
       four,
       seen(JobEnd::exited, 0, four, both_pairs),
       JobStatus::verified,
       {true, true},
       "",
       {}},
      {"misplaced",
       false,
       four,
       seen(JobEnd::exited, 0, {"h1", "h2", "h2", "h2"}, both_pairs),
       JobStatus::misplaced,
       {},
       "rank 2 ran on h2, but was placed on h1",
       {}},
      {"hosts missing",
       false,
       four,
       missing,
       JobStatus::hosts_missing,
       {false, false},
       "every rank started but those on h2: ended 7 s after the last start",
       {1, 3}},
      {"ended by the bound, half the output",
       false,
       four,
       seen(JobEnd::by_bound, 143, four,
            {lines_of(0, false), lines_of(1, true), lines_of(2, false), lines_of(3, false)}),
       JobStatus::timed_out,
       {true, false},
       "ended by the time bound of 10 s",
       {}},
      {"did not end",
       false,
       four,
       seen(JobEnd::after_output, 143, four, both_pairs),
       JobStatus::did_not_end,
       {true, true},
       "but the job did not end within 3 s",
       {}},
      {"launcher failed",
       false,
       four,
       failed,
       JobStatus::failed,
       {true, true},
       "launcher: mpiexec: lost a rank",
       {}},
      {"probe",
       true,
       {"h1", "h2"},
       seen(JobEnd::exited, 0, {"h1", "h2"}, {"", probe_ok}),
       JobStatus::verified,
       {true},
       "",
       {}},
      {"probe, even rank wrote",
       true,
       {"h1", "h2"},
       seen(JobEnd::exited, 0, {"h1", "h2"}, {"hello\n", probe_ok}),
       JobStatus::failed,
       {true},
       "rank 0 wrote output: \"hello\"",
       {}},
      {"launcher cannot start",
       false,
       {"h1", "h2"},
       bad_start,
       JobStatus::not_started,
       {false},
       "cannot start mpiexec",
       {}},
      {"Slurm kept it waiting",
       false,
       {"h1", "h2"},
       waiting,
       JobStatus::not_started,
       {false},
       "Slurm would not use h2: it is down",
       {}},
  };
  pairdot_run::JudgeSettings settings;
  settings.timeout = 10;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    settings.probe = row.probe;
    const auto np = static_cast<int>(row.hosts.size());
    const auto outcome = pairdot_run::judge_job(settings, {7, {}, row.hosts, np, {}}, row.seen);
    EXPECT_EQ(outcome.status, row.status);
    std::vector<bool> verified;
    for (const auto &pair : outcome.pairs) {
      verified.push_back(pair.verified);
      EXPECT_EQ(pair.probe.has_value(), row.probe && pair.verified);
    }
    EXPECT_EQ(verified, row.verified);
    std::string messages;
    for (const std::string &line : outcome.messages) {
      messages += line + "\n";
    }
    EXPECT_NE(messages.find(row.fact), std::string::npos) << messages;
    EXPECT_EQ(outcome.not_started, row.not_started);
    EXPECT_EQ(outcome.waited_for_resources, row.seen.launcher_said_waiting);
  }
}

TEST(Judge, NamesTheHostsMissingOnlyWhenWhole) {
  const std::vector<std::string> planned{"a", "a", "b", "b", "c"};
  using Names = std::vector<std::string>;
  EXPECT_EQ(pairdot_run::hosts_missing(planned, {"a", "a", "", "", "c"}), Names{"b"});
  EXPECT_EQ(pairdot_run::hosts_missing(planned, {"a", "a", "b", "", "c"}), Names{});
  EXPECT_EQ(pairdot_run::hosts_missing(planned, {"", "", "", "", ""}), Names{});
}

} // namespace
