#pragma once

// Link quality from probe jobs: what each link measured, the median link,
// and which links and hosts are slow. Pure functions of the measurements;
// hosts are indices into the run's host list.

#include "evidence.hpp"
#include "probe_line.hpp"
#include "switch_tree.hpp"

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
  bool alone = false; // a re-test: no other pair of the job on its hosts
  pairdot_probe::ProbeLine line;
};

// What a link is judged by: the best of its measurements alone, that is
// with its hosts in no other pair (contention only ever slows a link; a
// failure alone is kept), else its last one (within a job, the worst pair).
struct LinkProbe {
  HostIndex sender = 0;
  HostIndex receiver = 0;
  bool alone = false;
  int alone_measures = 0;
  pairdot_probe::ProbeLine line;
  ProbeVerdict verdict = ProbeVerdict::ok;
  bool slow_bandwidth = false;
  bool slow_latency = false;
  int slow_switch = -1; // a slow switch whose uplink it crosses: not a slow link of its own
};

// The median link is of each link's first measure (in a sweep: all measured
// alike, side by side), so that re-tests alone do not move it.
struct LinkQuality {
  std::vector<LinkProbe> links;            // by sender, then receiver
  std::optional<double> median_mbps;       // of links not failed, at their largest size
  std::optional<double> median_latency_us; // of links not failed
  std::vector<HostIndex> slow_hosts;
  std::vector<int> slow_switches; // sorted
};

// Bandwidth at the line's largest size, if measured.
std::optional<double> top_mbps(const pairdot_probe::ProbeLine &line);

// Each host's median link at the largest size: of the links it sends or
// receives on, not failed, as each is judged; none if it has none.
std::vector<std::optional<double>> host_median_mbps(const LinkQuality &quality, HostIndex hosts);

// A link that looks slow is measured alone this often before it is slow.
constexpr int alone_measures_for_slow = 2;

// A switch whose links to hosts elsewhere look slow has this many of them
// re-tested, not all.
constexpr int switch_sample = 8;

using HostPair = std::pair<HostIndex, HostIndex>; // (sender, receiver)

// What the links of a switch look like: those between a host below it and
// one elsewhere (across), those between two hosts below it (inside).
struct SwitchLinks {
  int across = 0;
  int across_slow = 0; // look slow
  int inside = 0;
  int inside_slow = 0;
  int sampled = 0;              // across links re-tested
  int sampled_slow_looking = 0; // of those, still looking slow
  int sampled_open = 0;         // of those, still to re-test
  int sampled_slow = 0;         // of those, slow
};

// A switch looks slow when more than half of its measured across links look
// slow and fewer than half of its inside links (at least one) do.
bool switch_looks_slow(const SwitchLinks &links);
// Its uplink is slow when it looks slow and more than half of a sample of
// its across links (switch_sample, or all that look slow if fewer) are slow
// re-tested.
bool switch_is_slow(const SwitchLinks &links);

// Judges every measured link against the median link. A link that looks
// slow may be so for contention: it stays a candidate (slow_to_retest) until
// measured alone alone_measures_for_slow times, and is slow if its best
// measure alone still is. A switch whose uplink is slow (switch_is_slow) is
// named instead of its across links, unless a switch above it is. A host
// more than half of whose measured links (at least two, not across a slow
// switch) are slow is slow.
LinkQuality assess_links(const std::vector<LinkMeasure> &measures, HostIndex hosts,
                         const SlowRule &rule, const SwitchTree &switches = {});

// The links of each switch, as the quality judged them.
std::vector<SwitchLinks> switch_links(const LinkQuality &quality, const SwitchTree &switches);

// Links that look slow but were not measured alone often enough. Of a
// switch that looks slow, only a sample of its across links, host apart,
// until the sample tells it is not slow.
std::vector<HostPair> slow_to_retest(const LinkQuality &quality, const SwitchTree &switches = {});

// Links packed into jobs in order, each into the first job neither of whose
// hosts it holds: no host is in two pairs of a job.
std::vector<std::vector<HostPair>> pack_links(const std::vector<HostPair> &links);

} // namespace pairdot_model
