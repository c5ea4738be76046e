#pragma once

// A watch: a sweep every interval, each in a numbered run directory under
// the report directory, a line of history.jsonl each, `latest` pointing at
// the newest completed one, the oldest pruned.

#include "run.hpp"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace pairdot_run {

struct WatchOptions {
  double interval = 0;    // seconds from one sweep's start to the next's
  std::size_t keep = 100; // run directories kept
  int count = 0;          // sweeps to run; 0: until a signal
};

// "000042": run directories sort by name as by number.
std::string run_dir_name(long number);
// The number of a run directory's name; nothing for any other name.
std::optional<long> run_dir_number(const std::string &name);

// Sweeps with options.report_dir as the watch's directory until SIGINT or
// SIGTERM (the running sweep ended and written) or `count` sweeps; 0 then.
int watch(const RunOptions &options, const WatchOptions &watch);
// The same, each sweep run by `sweep` (a cluster model in the tests).
using SweepRunner = std::function<int(const RunOptions &)>;
int watch(const RunOptions &options, const WatchOptions &watch, const SweepRunner &sweep);

} // namespace pairdot_run
