#include "run_events.hpp"

#include "writers.hpp"

#include <cstdio>

namespace pairdot_run {

namespace {

void print(const pairdot_writers::RunText &text) {
  std::fputs(text.out.c_str(), stdout);
  std::fputs(text.err.c_str(), stderr);
}

} // namespace

RunListener terminal_listener(bool sweep, const std::string &report_dir) {
  RunListener listener;
  listener.resumed = [](std::size_t jobs) {
    std::fputs(pairdot_writers::resumed_line(jobs).c_str(), stderr);
  };
  listener.job_ended = [](const pairdot_model::JobOutcome &job) {
    std::fputs(pairdot_writers::progress_line(job).c_str(), stderr);
  };
  listener.ended = [sweep, report_dir](const pairdot_model::RunReport &report, RunEnd end) {
    switch (end) {
    case RunEnd::completed:
      print(sweep ? pairdot_writers::sweep_summary(report)
                  : pairdot_writers::single_summary(report));
      break;
    case RunEnd::launcher_fails:
      print(pairdot_writers::launcher_fails_text(report));
      break;
    case RunEnd::misplaced:
      print(pairdot_writers::misplaced_text(report));
      break;
    case RunEnd::interrupted:
      print(pairdot_writers::interrupted_text(report, report_dir));
      break;
    }
  };
  return listener;
}

RunListener report_dir_listener(const std::string &dir) {
  RunListener listener;
  listener.job_ended = [dir](const pairdot_model::JobOutcome &job) {
    pairdot_writers::append_journal(dir, job);
  };
  listener.summary = [dir](const pairdot_model::RunReport &report) {
    pairdot_writers::write_report_dir(dir, report);
  };
  return listener;
}

} // namespace pairdot_run
