#pragma once

// Link quality from probe jobs: what each link measured, the median link,
// and which links and hosts are slow. Pure functions of the measurements;
// hosts are indices into the run's host list.

#include "evidence.hpp"
#include "probe_line.hpp"

#include <optional>
#include <utility>
#include <vector>

namespace pairdot_model {

struct SlowRule {
  double bandwidth_fraction = 0.5; // slow below this share of the median at the largest size
  double latency_factor = 3;       // slow above this multiple of the median latency
};

enum class ProbeVerdict : std::uint8_t { ok, slow, failed };

// One pair's probe of a link in one job.
struct LinkMeasure {
  HostIndex sender = 0;
  HostIndex receiver = 0;
  int job = 0;        // the job's number: later jobs tell more
  bool alone = false; // the job's only pair: nothing contended
  pairdot_probe::ProbeLine line;
};

// What a link is judged by: the best of its measurements alone (contention
// only ever slows a link; a failure alone is kept), else its last one
// (within a job, the worst pair).
struct LinkProbe {
  HostIndex sender = 0;
  HostIndex receiver = 0;
  bool alone = false;
  int alone_measures = 0;
  pairdot_probe::ProbeLine line;
  ProbeVerdict verdict = ProbeVerdict::ok;
  bool slow_bandwidth = false;
  bool slow_latency = false;
};

// The median link is of each link's first measure (in a sweep: all measured
// alike, side by side), so that re-tests alone do not move it.
struct LinkQuality {
  std::vector<LinkProbe> links;            // by sender, then receiver
  std::optional<double> median_mbps;       // of links not failed, at their largest size
  std::optional<double> median_latency_us; // of links not failed
  std::vector<HostIndex> slow_hosts;
};

// Bandwidth at the line's largest size, if measured.
std::optional<double> top_mbps(const pairdot_probe::ProbeLine &line);

// A link that looks slow is measured alone this often before it is slow.
constexpr int alone_measures_for_slow = 2;

// Judges every measured link against the median link. A link that looks
// slow may be so for contention: it stays a candidate (slow_to_retest) until
// measured alone alone_measures_for_slow times, and is slow if its best
// measure alone still is. A host more than half of whose measured links (at
// least two) are slow is slow.
LinkQuality assess_links(const std::vector<LinkMeasure> &measures, HostIndex hosts,
                         const SlowRule &rule);

// Links that look slow but were not measured alone often enough: (sender,
// receiver).
std::vector<std::pair<HostIndex, HostIndex>> slow_to_retest(const LinkQuality &quality);

} // namespace pairdot_model
