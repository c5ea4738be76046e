#pragma once

// What a run tells as it goes. The progress lines, the journal, the report
// files and the terminal summary listen; their words are the writers'.

#include "job.hpp"
#include "run_report.hpp"

#include <cstdint>
#include <functional>
#include <string>

namespace pairdot_run {

enum class RunEnd : std::uint8_t {
  completed,
  launcher_fails, // no host started a rank, even alone
  misplaced,      // ranks ran elsewhere than placed
  interrupted,
};

// Each callback may be empty.
struct RunListener {
  std::function<void(const std::string &report_dir)> began; // "" when no report is kept
  std::function<void(std::size_t jobs)> resumed;            // the journal's jobs taken over
  std::function<void(const JobPlan &)> job_started;
  std::function<void(const pairdot_model::JobOutcome &)> job_ended;
  std::function<void(const pairdot_model::RunReport &)> summary; // the diagnosis up to date
  std::function<void(const pairdot_model::RunReport &, RunEnd)> ended;
};

// Progress on standard error; the summary of a sweep or of a single job, or
// why the run stopped, at the end.
RunListener terminal_listener(bool sweep, const std::string &report_dir);
// Each job's record appended to dir/jobs.jsonl as it ends; the report files
// rewritten with each summary.
RunListener report_dir_listener(const std::string &dir);
// The Prometheus metrics written to path as each run ends. A run starts at
// its first job (or its resumption), so that one listener serves a watch's
// every sweep and the waits between them are not counted; a write that fails
// is a line on standard error, the run's outcome kept.
RunListener metrics_listener(const std::string &path);

} // namespace pairdot_run
