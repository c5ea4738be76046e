#include "report_text.hpp"
#include "run_report.hpp"

#include <tinyxml2.h>

#include <algorithm>

namespace pairdot_reports {

namespace {

using detail::printable;

int failed_pairs(const JobOutcome &job) {
  return static_cast<int>(std::count_if(job.pairs.begin(), job.pairs.end(),
                                        [](const PairOutcome &pair) { return !pair.verified; }));
}

// A job that went wrong with no failed pair to show for it gets a failing
// testcase of its own, unless it only did not end.
bool fails_as_job(const JobOutcome &job) {
  return job.status != job_status::verified && job.status != job_status::did_not_end &&
         failed_pairs(job) == 0;
}

void write_failure(tinyxml2::XMLPrinter &out, const std::string &message, const std::string &body) {
  out.OpenElement("failure");
  out.PushAttribute("message", printable(message).c_str());
  out.PushText(printable(body).c_str());
  out.CloseElement();
}

// The pairs of a job ran together, so each takes the job's time.
void write_pair(tinyxml2::XMLPrinter &out, const JobOutcome &job, const PairOutcome &pair) {
  out.OpenElement("testcase");
  out.PushAttribute("classname", ("pairdot.job " + std::to_string(job.number)).c_str());
  out.PushAttribute("name", printable(detail::pair_label(pair)).c_str());
  out.PushAttribute("time", detail::seconds_text(job.seconds).c_str());
  if (!pair.verified) {
    const std::string &problem = pair.problem.empty() ? job.status : pair.problem;
    write_failure(out, problem, problem);
  }
  out.CloseElement();
}

void write_job(tinyxml2::XMLPrinter &out, const JobOutcome &job) {
  const bool job_case = fails_as_job(job);
  out.OpenElement("testsuite");
  out.PushAttribute("name", printable(detail::job_name(job.number, job.kind)).c_str());
  out.PushAttribute("tests", static_cast<int>(job.pairs.size()) + (job_case ? 1 : 0));
  out.PushAttribute("failures", failed_pairs(job) + (job_case ? 1 : 0));
  out.PushAttribute("time", detail::seconds_text(job.seconds).c_str());
  for (const PairOutcome &pair : job.pairs)
    write_pair(out, job, pair);
  if (job_case) {
    out.OpenElement("testcase");
    out.PushAttribute("classname", ("pairdot.job " + std::to_string(job.number)).c_str());
    out.PushAttribute("name", "job");
    out.PushAttribute("time", detail::seconds_text(job.seconds).c_str());
    write_failure(out, job.status, detail::joined(job.messages));
    out.CloseElement();
  }
  // What was seen in a job that went wrong, e.g. why it did not end.
  if (job.status != job_status::verified && !job.messages.empty()) {
    out.OpenElement("system-err");
    out.PushText(printable(detail::joined(job.messages)).c_str());
    out.CloseElement();
  }
  out.CloseElement();
}

} // namespace

std::string junit_xml(const RunReport &report) {
  int tests = 0;
  int failures = 0;
  double seconds = 0;
  for (const JobOutcome &job : report.jobs) {
    const int job_case = fails_as_job(job) ? 1 : 0;
    tests += static_cast<int>(job.pairs.size()) + job_case;
    failures += failed_pairs(job) + job_case;
    seconds += job.seconds;
  }
  tinyxml2::XMLPrinter out;
  out.PushHeader(false, true);
  out.OpenElement("testsuites");
  out.PushAttribute("name", "pairdot");
  out.PushAttribute("tests", tests);
  out.PushAttribute("failures", failures);
  out.PushAttribute("time", detail::seconds_text(seconds).c_str());
  for (const JobOutcome &job : report.jobs)
    write_job(out, job);
  out.CloseElement();
  return out.CStr();
}

} // namespace pairdot_reports
