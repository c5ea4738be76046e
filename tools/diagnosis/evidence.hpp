#pragma once

// What the jobs of a run showed about each host and each ordered pair of
// hosts, kept compact (a byte a link: 100 million links fit in 100 MB), and
// the suspects it points at. Hosts are indices into the run's host list.

#include <cstdint>
#include <utility>
#include <vector>

namespace pairdot_model {

using HostIndex = std::int32_t;

enum class JobKind : std::uint8_t {
  sweep,     // part of the plan that covers every ordered pair of hosts
  hosts,     // hosts that would not start, tested together
  isolation, // failed links re-tested together; one pair: alone
  single,    // a job the user asked for
  ring,      // hosts in question, each sending to the next: do they reach each other?
  reach,     // hosts in question paired with hosts known good: do they reach the rest?
  retest,    // links that looked slow, measured again, no host in two pairs
};

// A job's shape: ranks 2k and 2k + 1 form a pair, the even rank's host sends;
// an odd last rank has no partner.
struct JobShape {
  JobKind kind = JobKind::sweep;
  std::vector<HostIndex> rank_hosts;
  std::vector<HostIndex> tested; // reach: the hosts in question, sorted; the rest are known good
};

// What a job showed.
struct JobEvidence {
  std::vector<std::uint8_t> started;        // per rank: it started (its shim's line)
  std::vector<std::uint8_t> verified;       // per pair
  std::vector<HostIndex> unavailable_hosts; // Slurm would not start the job on them
  bool held = false; // never started (Slurm kept it waiting): tells only of a host alone
};

enum class LinkState : std::uint8_t {
  untested, // no pair over it verified or failed where its failure tells
  verified,
  suspect,   // failed in a job with other pairs; not yet re-tested alone
  failed,    // failed alone (or in a job the user asked for)
  host_down, // a host of it cannot run, or reaches no other host
  cut_off,   // it leaves or enters a group of hosts that reach nothing outside
};

// cannot_join: its ranks start in a job of its own, but none started in
// missing_beside_others_limit jobs beside other hosts whose ranks did, and
// never in one. dark: its ranks start, but it failed twice alone against
// hosts known good, and no pair of it ever verified.
enum class HostState : std::uint8_t { unknown, ran, cannot_run, cannot_join, dark };

constexpr int missing_beside_others_limit = 3;

struct Evidence {
  HostIndex hosts = 0;
  std::vector<std::uint8_t> links; // hosts * hosts, sender-major: LinkState | flags
  std::vector<HostState> host_states;
  std::vector<std::uint8_t>
      unavailable; // per host: Slurm would not use it, and no pair verified since
  // Per host: it started in a hosts job of its own; a pair of it verified beside other
  // hosts; the jobs it did not start in while other hosts did (at most 255).
  std::vector<std::uint8_t> ran_alone;
  std::vector<std::uint8_t> started_beside;
  std::vector<std::uint8_t> missing_beside;
  // Reach jobs: per host, those it failed alone; the host sets of every
  // failed one; the groups found to reach each other but nothing outside.
  std::vector<std::uint8_t> unreached_alone;
  std::vector<std::vector<HostIndex>> unreached_sets;
  std::vector<std::vector<HostIndex>> groups;
};

Evidence make_evidence(HostIndex hosts);

LinkState link_state(const Evidence &evidence, HostIndex sender, HostIndex receiver);
// The link failed in a job with other pairs at least once.
bool failed_in_group(const Evidence &evidence, HostIndex sender, HostIndex receiver);

// Pair failures tell about links only where the job's failure cannot be a
// host's: every rank started, or the user asked for the job; never in a job
// that tests hosts.
bool pair_failures_count(const JobShape &job, const JobEvidence &seen);

// Records one finished job. A verified pair clears its link; a pair that
// fails alone fails its link, one that fails beside others makes it suspect;
// a hosts job of one host none of whose ranks started marks that host as
// unable to run, and its links as down. A reach job that fails tells of the
// hosts it tested: one that fails alone twice, never verified, is dark; a
// set that fails whole and in both its halves, its hosts joined by verified
// links, is a group cut off from the rest, its links outside cut off.
void add_job(Evidence &evidence, const JobShape &job, const JobEvidence &seen);

// The halves a reach test splits a set into: the first ceil(n/2) hosts, the rest.
std::size_t first_half(std::size_t hosts);
// Whether verified links, either way, join every host of the sorted set.
bool reach_each_other(const Evidence &evidence, const std::vector<HostIndex> &hosts);
// Whether a reach job of exactly these hosts (sorted) failed.
bool failed_to_reach(const Evidence &evidence, const std::vector<HostIndex> &hosts);

enum class LinkVerdict : std::uint8_t { not_covered, verified, collateral, failed };
// What the link matrix shows: a suspect link not re-tested is not covered.
LinkVerdict link_verdict(const Evidence &evidence, HostIndex sender, HostIndex receiver);

// Missing beside others so often that later jobs leave it out: its links
// stay not covered unless it cannot join (it runs alone).
bool left_out(const Evidence &evidence, HostIndex host);

// No rank ever started, and every host but at most one started nothing in
// a job of its own: the launcher, not the hosts, fails.
bool none_can_run(const Evidence &evidence);

struct Suspects {
  std::vector<HostIndex> hosts;
  std::vector<std::pair<HostIndex, HostIndex>> links; // (sender, receiver)
  std::vector<std::vector<HostIndex>> groups;         // cut off, no switch named for them
  std::vector<int> switches;                          // cut off: all the hosts below them
};

struct SwitchTree;

// A host is suspect when it cannot run (alone or beside others), is dark,
// when its links fail with more than half of its partners (at least two),
// when it is one of only two hosts and a link between them fails, or when
// Slurm would not use it and no pair on it verified since. A group cut off
// is a suspect switch when its hosts are exactly those below one, else a
// suspect group; its hosts are not suspect hosts. A failing link between two
// hosts not suspect, not cut off, is a suspect link.
Suspects find_suspects(const Evidence &evidence, const SwitchTree &switches);

} // namespace pairdot_model
