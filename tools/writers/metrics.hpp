#pragma once

// The run's metrics in Prometheus's text format, for the node exporter's
// textfile collector: the last run's time, verdict, hosts and links by
// state, the suspects, and under --probe each host's median link.

#include "run_report.hpp"

#include <string>
#include <string_view>

namespace pairdot_writers {

// When the run started (Unix time) and how long it took.
struct RunTime {
  double start_seconds = 0;
  double duration_seconds = 0;
};

// A label value as the text format escapes it: backslash, quote, newline.
std::string label_value(std::string_view value);

// Every metric with its # HELP and # TYPE lines; a family with no series
// (no suspect host) keeps those lines.
std::string metrics_text(const pairdot_model::RunReport &report, const RunTime &time);

// Empty when the textfile collector would read path (it reads *.prom only),
// else why not.
std::string metrics_path_problem(std::string_view path);

// Replaces the file whole; throws std::runtime_error.
void write_metrics(const std::string &path, const pairdot_model::RunReport &report,
                   const RunTime &time);

} // namespace pairdot_writers
