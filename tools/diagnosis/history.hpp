#pragma once

// A watch's history: what each sweep found, a line of history.jsonl each, and
// what the last sweeps show together: the hosts and links that fail now and
// then. Words are the writers'.

#include "run_report.hpp"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pairdot_model {

using Link = std::pair<std::string, std::string>; // (sender, receiver)

enum class SweepEnd : std::uint8_t {
  completed,
  interrupted,   // stopped by a signal: what it found is partial
  could_not_run, // the launcher failed everywhere, or ranks ran elsewhere
};

struct SweepRecord {
  std::string run;  // its run directory's name
  std::string time; // its start, UTC
  double seconds = 0;
  SweepEnd end = SweepEnd::completed;
  RunVerdict verdict = RunVerdict::incomplete;
  std::vector<std::string> hosts;         // swept
  std::vector<std::string> suspect_hosts; // suspect, cannot run or join, dark; sorted
  std::vector<std::string> suspect_switches;
  std::vector<Link> suspect_links;
  std::vector<Link> failed_links;
  std::vector<Link> slow_links;
};

// What the report of a sweep keeps for the history.
SweepRecord sweep_record(const RunReport &report, SweepEnd end);

// The sweeps the rule reads: the last this many completed ones.
constexpr std::size_t history_window = 20;

// A host or link that failed in some of the window's sweeps that tested it
// and verified in the others. Failing in every one is a fault, not this.
struct Intermittent {
  std::string host; // empty for a link
  Link link;
  int failed = 0;
  int sweeps = 0; // that tested it
};

// A host fails in a sweep that suspects it. A link fails in a sweep that
// suspects it and is tested in one that suspects neither of its hosts.
// Hosts first, then links, each in name order.
std::vector<Intermittent> find_intermittent(const std::vector<SweepRecord> &history,
                                            std::size_t window = history_window);

enum class SweepMark : std::uint8_t { verified, failed, not_tested };

// A host's marks in the window's sweeps, oldest first: failed when the host
// or one of its links was suspect.
struct HostRow {
  std::string host;
  std::vector<SweepMark> marks;
};
// A row for each host of the newest completed sweep, in its order.
std::vector<HostRow> host_rows(const std::vector<SweepRecord> &history,
                               std::size_t window = history_window);

// The run directories to remove: all but the newest `keep` and the one
// `latest` names (0: none).
std::vector<long> runs_to_prune(std::vector<long> runs, std::size_t keep, long latest);

} // namespace pairdot_model
