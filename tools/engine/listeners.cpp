#include "run_events.hpp"

#include "metrics.hpp"
#include "writers.hpp"

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>

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

RunListener metrics_listener(const std::string &path) {
  struct Start {
    std::chrono::system_clock::time_point wall;
    std::chrono::steady_clock::time_point steady;
  };
  auto start = std::make_shared<std::optional<Start>>();
  const auto begin = [start] {
    if (!*start)
      *start = Start{std::chrono::system_clock::now(), std::chrono::steady_clock::now()};
  };
  RunListener listener;
  listener.resumed = [begin](std::size_t) { begin(); };
  listener.job_started = [begin](const JobPlan &) { begin(); };
  listener.ended = [path, start, begin](const pairdot_model::RunReport &report, RunEnd) {
    begin(); // a run that started no job
    const std::chrono::duration<double> wall = (*start)->wall.time_since_epoch();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - (*start)->steady;
    start->reset(); // the next run told, a watch's next sweep, starts anew
    try {
      pairdot_writers::write_metrics(path, report, {wall.count(), took.count()});
    } catch (const std::runtime_error &error) {
      std::fprintf(stderr, "pairdot-run: --metrics: %s\n", error.what());
    }
  };
  return listener;
}

} // namespace pairdot_run
