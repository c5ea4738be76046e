#pragma once

// The run model: jobs, the pairs in them, what they show of every host and
// link, and the diagnosis. Words are made by the writers, not here.

#include "evidence.hpp"
#include "host_names.hpp"
#include "link_quality.hpp"
#include "switch_tree.hpp"
#include "verify.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pairdot_model {

// Bumped whenever a field changes meaning or goes away. Version 1 kept every
// link and every pair in report.json; version 2 keeps them in jobs.jsonl and
// the link matrix compact; version 3 lists the sightings of the failed links
// that explain a blame only, counts collateral links, and lists a job's
// failed pairs only when they are few; version 4 names slow switches, lists
// only the probed links that are slow, failed or look slow, and has re-test
// jobs.
constexpr int report_version = 4;

using pairdot_hosts::Host;

// Why a pair may have failed, beside the checker's problem.
struct PairFacts {
  bool sender_not_started = false;   // the even rank never started
  bool receiver_not_started = false; // the odd rank never started
  bool ended_by_bound = false;       // the job was ended by its time bound
};

// One pair (2k, 2k + 1) of a job: the even rank's host sends.
struct PairOutcome {
  std::int32_t even_rank = 0;
  std::string sender;
  std::string receiver;
  bool verified = false;
  std::string problem;                           // why not verified; empty when verified
  std::optional<pairdot_probe::ProbeLine> probe; // what the probe measured, in a probe run
  PairFacts facts;                               // of a failed pair
};

enum class JobStatus : std::uint8_t {
  verified,
  failed,        // a pair failed, or the job's output is wrong
  timed_out,     // ended by the time bound
  did_not_end,   // output complete and verified, then ended
  misplaced,     // ranks ran elsewhere than planned
  not_started,   // the launcher could not be run, or Slurm would not start it
  hosts_missing, // ended once every rank had started but those of some hosts
};

struct JobOutcome {
  int number = 0; // 1-based, in the order jobs were planned
  JobKind kind = JobKind::single;
  std::vector<std::string> rank_hosts;   // host of every rank, in rank order
  std::vector<std::string> tested_hosts; // reach: the hosts in question
  std::string placement;                 // the placement in the launcher's own syntax
  JobStatus status = JobStatus::verified;
  double seconds = 0;
  std::vector<std::string> messages; // what was seen: checker lines, warnings
  std::vector<PairOutcome> pairs;
  std::vector<std::int32_t> not_started;      // ranks that never started
  std::vector<std::string> unavailable_hosts; // a job not started: hosts Slurm would not use
  bool waited_for_resources = false;          // Slurm kept it waiting; no rank ran
};

// Host indices by name.
using HostMap = std::unordered_map<std::string, HostIndex>;

// One pair over a troubled link, as a job saw it.
struct Sighting {
  int job = 0;
  JobKind kind = JobKind::single;
  PairOutcome pair;
};

// A link with failed pairs: what each job saw of it.
struct LinkDetail {
  std::string sender;
  std::string receiver;
  LinkVerdict verdict = LinkVerdict::not_covered;
  int verified_pairs = 0;     // pairs over this link that verified, in any job
  int failed_pairs = 0;       // pairs that did not, in any job
  std::vector<Sighting> seen; // the first few, in job order
  std::size_t more_seen = 0;  // beyond those
};

// Every link verified, a fault found, or neither yet: what every report and
// pairdot-run's exit status say.
enum class RunVerdict : std::uint8_t { verified, fault, incomplete };

struct RunReport {
  std::string tool;     // "pairdot-run" or "pairdot-check"
  std::string launcher; // "mpich", "openmpi", ... ; empty if unknown
  std::vector<Host> hosts;
  std::vector<JobOutcome> jobs; // in number order
  SwitchTree switches;          // empty without a topology
  // Filled by diagnose:
  HostMap index;                    // host names to indices, the evidence store's
  Evidence evidence;                // every link's state: link_verdict
  std::vector<LinkDetail> troubled; // links with failed pairs, senders in host order
  std::vector<std::string> suspect_hosts;
  std::vector<std::string> cannot_run;       // hosts none of whose ranks started when tested alone
  std::vector<std::string> cannot_join;      // hosts that start alone but never beside others
  std::vector<std::string> dark;             // hosts that start, but reach no other host
  std::vector<std::string> suspect_switches; // their hosts reach each other, nothing beyond
  std::vector<std::vector<std::string>> suspect_groups; // the same, without a switch to name
  std::vector<std::pair<std::string, std::string>> suspect_links; // (sender, receiver)
  int rounds = 0;        // jobs that had to run one after another; 0 if unknown
  bool converged = true; // false: isolation stopped at its budget of jobs, questions left
  // Probe runs (pairs with a probe line):
  SlowRule slow_rule;
  LinkQuality quality;                                         // filled by diagnose
  std::vector<std::pair<std::string, std::string>> slow_links; // (sender, receiver)
  std::vector<std::string> slow_hosts;
  std::vector<std::string> slow_switches; // their uplinks slow: their links elsewhere not listed
  RunVerdict verdict = RunVerdict::incomplete; // filled by diagnose
};

struct LinkCounts {
  long long verified = 0; // collateral included
  long long failed = 0;
  long long not_covered = 0;
};

// The verdict of the link between hosts s and r (indices into report.hosts);
// not covered where the evidence has no such link.
LinkVerdict verdict_at(const RunReport &report, std::size_t sender, std::size_t receiver);
LinkCounts count_links(const RunReport &report);

// What the jobs showed, fed one finished job at a time in the order the
// planner reads them, live or replayed from the journal: the one map of
// host names to indices, and the one evidence the planner and the
// diagnosis read.
class EvidenceStore {
public:
  explicit EvidenceStore(const std::vector<Host> &hosts);
  // A job run elsewhere than placed tells nothing.
  void add(const JobOutcome &job);
  [[nodiscard]] const Evidence &evidence() const { return evidence_; }
  [[nodiscard]] const HostMap &index() const { return index_; }

private:
  HostMap index_;
  Evidence evidence_;
};

// The pairs of the jobs that carry a probe line, as measures of links.
std::vector<LinkMeasure> link_measures(const std::vector<JobOutcome> &jobs, const HostMap &index);
// The checker's pair verdicts as pair outcomes, each pair named by the hosts of
// its ranks (rank_hosts covers every rank of the verdicts).
std::vector<PairOutcome> pair_outcomes(const std::vector<pairdot_check::PairVerdict> &verdicts,
                                       const std::vector<std::string> &rank_hosts);
// Whether any pair of the report carries a probe line.
bool has_probes(const RunReport &report);

// What a job showed, its hosts by index: a job never started (Slurm kept it
// waiting) is held.
JobEvidence job_evidence(const JobOutcome &job, const HostMap &index);

// Fills evidence, troubled, the suspects, cannot_run and the verdict from the
// store's evidence and the jobs.
void diagnose(RunReport &report, const EvidenceStore &store);
// The same from the jobs alone, fed in number order.
void diagnose(RunReport &report);

} // namespace pairdot_model
