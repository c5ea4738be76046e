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
const std::string ucx_line =
    "[1796715562.863930] [h2:4437 :0]          parser.c:2036 UCX  INFO  UCX_* env variables\n";

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
  JobObservations seen; // of a job on h1, h2, h1, h2 ... as many ranks as it recorded
  JobStatus status;
  const char *verified;    // per pair: + or -
  const char *not_started; // ranks
  const char *fact;        // in one of the messages
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
  const std::vector<std::string> half{lines_of(0, false), lines_of(1, true), lines_of(2, false),
                                      lines_of(3, false)};
  const Row rows[] = {
      {"verified", false, seen(JobEnd::exited, 0, four, both_pairs), JobStatus::verified, "++", "",
       ""},
      {"misplaced", false, seen(JobEnd::exited, 0, {"h1", "h2", "h2", "h2"}, both_pairs),
       JobStatus::misplaced, "", "", "rank 2 ran on h2, but was placed on h1"},
      {"hosts missing", false, missing, JobStatus::hosts_missing, "--", "13",
       "every rank started but those on h2: ended 7 s after the last start"},
      {"ended by the bound, half the output", false, seen(JobEnd::by_bound, 143, four, half),
       JobStatus::timed_out, "+-", "", "ended by the time bound of 10 s"},
      {"did not end", false, seen(JobEnd::after_output, 143, four, both_pairs),
       JobStatus::did_not_end, "++", "", "but the job did not end within 3 s"},
      {"launcher failed", false, failed, JobStatus::failed, "++", "",
       "launcher: mpiexec: lost a rank"},
      {"probe", true, seen(JobEnd::exited, 0, {"h1", "h2"}, {"", probe_ok}), JobStatus::verified,
       "+", "", ""},
      {"UCX's log in a rank's output", false,
       seen(JobEnd::exited, 0, four,
            {lines_of(0, false), ucx_line + lines_of(1, true), lines_of(2, false),
             lines_of(3, true)}),
       JobStatus::verified, "++", "", "rank 1 output:1: UCX's log line, not pairdot's"},
      {"probe, UCX's log", true,
       seen(JobEnd::exited, 0, {"h1", "h2"}, {ucx_line, ucx_line + probe_ok}), JobStatus::verified,
       "+", "", "rank 0 output:1: UCX's log line"},
      {"probe, even rank wrote", true, seen(JobEnd::exited, 0, {"h1", "h2"}, {"hi\n", probe_ok}),
       JobStatus::failed, "+", "", "rank 0 wrote output: \"hi\""},
      {"launcher cannot start", false, bad_start, JobStatus::not_started, "-", "",
       "cannot start mpiexec"},
      {"Slurm kept it waiting", false, waiting, JobStatus::not_started, "-", "",
       "Slurm would not use h2: it is down"},
  };
  pairdot_run::JudgeSettings settings;
  settings.timeout = 10;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    settings.probe = row.probe;
    const auto np = static_cast<int>(row.seen.recorded_hosts.size());
    const std::vector<std::string> hosts(four.begin(), four.begin() + np);
    const auto outcome = pairdot_run::judge_job(settings, {7, {}, hosts, np, {}}, row.seen);
    EXPECT_EQ(outcome.status, row.status);
    std::string verified;
    for (const auto &pair : outcome.pairs) {
      verified += pair.verified ? '+' : '-';
      EXPECT_EQ(pair.probe.has_value(), row.probe && pair.verified);
    }
    EXPECT_EQ(verified, row.verified);
    std::string not_started;
    for (const std::int32_t rank : outcome.not_started) {
      not_started += std::to_string(rank);
    }
    EXPECT_EQ(not_started, row.not_started);
    std::string messages;
    for (const std::string &line : outcome.messages) {
      messages += line + "\n";
    }
    EXPECT_NE(messages.find(row.fact), std::string::npos) << messages;
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
