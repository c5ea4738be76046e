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
  host_down, // a host of it cannot run
};

// cannot_join: its ranks start in a job of its own, but none started in
// missing_beside_others_limit jobs beside other hosts whose ranks did, and
// never in one.
enum class HostState : std::uint8_t { unknown, ran, cannot_run, cannot_join };

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
// unable to run, and its links as down.
void add_job(Evidence &evidence, const JobShape &job, const JobEvidence &seen);

enum class LinkVerdict : std::uint8_t { not_covered, verified, collateral, failed };
// What the link matrix shows: a suspect link not re-tested is not covered.
LinkVerdict link_verdict(const Evidence &evidence, HostIndex sender, HostIndex receiver);

struct Suspects {
  std::vector<HostIndex> hosts;
  std::vector<std::pair<HostIndex, HostIndex>> links; // (sender, receiver)
};

// A host is suspect when it cannot run (alone or beside others), when its links fail with more than
// half of its partners (at least two), when it is one of only two hosts and
// a link between them fails, or when Slurm would not use it and no pair on
// it verified since; a failing link between two hosts not suspect is a
// suspect link.
Suspects find_suspects(const Evidence &evidence);

} // namespace pairdot_model
