#pragma once

// What pairdot-run and pairdot-check report: jobs, the pairs in them, the
// host-by-host link matrix and the suspects, and the files written from it.

#include "evidence.hpp"
#include "link_quality.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pairdot_reports {

// Bumped whenever a field changes meaning or goes away. Version 1 kept every
// link and every pair in report.json; version 2 keeps them in jobs.jsonl and
// the link matrix compact.
constexpr int report_version = 2;

struct Host {
  std::string name;
  int slots = 1;
};

// One pair (2k, 2k + 1) of a job: the even rank's host sends.
struct PairOutcome {
  std::int32_t even_rank = 0;
  std::string sender;
  std::string receiver;
  bool verified = false;
  std::string problem;                           // why not verified; empty when verified
  std::optional<pairdot_probe::ProbeLine> probe; // what the probe measured, in a probe run
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
  std::vector<std::string> rank_hosts; // host of every rank, in rank order
  std::string placement;               // the placement in the launcher's own syntax
  JobStatus status = JobStatus::verified;
  double seconds = 0;
  std::vector<std::string> messages; // what was seen: checker lines, warnings
  std::vector<PairOutcome> pairs;
  std::vector<std::int32_t> not_started;      // ranks that never started
  std::vector<std::string> unavailable_hosts; // a job not started: hosts Slurm would not use
};

// Host indices by name.
using HostMap = std::unordered_map<std::string, HostIndex>;

// The words of the reports, made here only.
const char *kind_word(JobKind kind);                  // "sweep", "hosts", "isolation", "single"
const char *status_word(JobStatus status);            // "verified", "timed out", ...
const char *verdict_word(LinkVerdict verdict);        // "verified", "failed", "not covered"
const char *probe_verdict_word(ProbeVerdict verdict); // "ok", "slow", "failed"

// A link with failed pairs: what each job saw of it.
struct LinkDetail {
  std::string sender;
  std::string receiver;
  LinkVerdict verdict = LinkVerdict::not_covered;
  int verified_pairs = 0;        // pairs over this link that verified, in any job
  int failed_pairs = 0;          // pairs that did not, in any job
  std::vector<std::string> seen; // e.g. "job 3 (sweep), pair 4 ; 5: no result"
};

struct RunReport {
  std::string tool;     // "pairdot-run" or "pairdot-check"
  std::string launcher; // "mpich", "openmpi", ... ; empty if unknown
  std::vector<Host> hosts;
  std::vector<JobOutcome> jobs; // in number order
  // Filled by diagnose:
  Evidence evidence;                // every link's state: link_verdict
  std::vector<LinkDetail> troubled; // links with failed pairs, senders in host order
  std::vector<std::string> suspect_hosts;
  std::vector<std::string> cannot_run;  // hosts none of whose ranks started when tested alone
  std::vector<std::string> cannot_join; // hosts that start alone but never beside others
  std::vector<std::pair<std::string, std::string>> suspect_links; // (sender, receiver)
  int rounds = 0; // jobs that had to run one after another; 0 if unknown
  // Probe runs (pairs with a probe line):
  SlowRule slow_rule;
  LinkQuality quality;                                         // filled by diagnose
  std::vector<std::pair<std::string, std::string>> slow_links; // (sender, receiver)
  std::vector<std::string> slow_hosts;
};

// The pairs of the jobs that carry a probe line, as measures of links.
std::vector<LinkMeasure> link_measures(const std::vector<JobOutcome> &jobs, const HostMap &index);
// Whether any pair of the report carries a probe line.
bool has_probes(const RunReport &report);

// The diagnosis rule, as README and the reports state it.
extern const char *const diagnosis_rule;
// The slow-link rule of probe runs, likewise.
extern const char *const slow_rule_text;

// What a job showed, its hosts by index: a job never started (Slurm kept it
// waiting) is held.
JobEvidence job_evidence(const JobOutcome &job, const HostMap &index);

// Fills evidence, troubled, the suspects and cannot_run from hosts and jobs.
void diagnose(RunReport &report);

// report.json: the verdict, suspects and failed links first; the link
// matrix compact; jobs without their passing pairs. Keys in writing order.
nlohmann::ordered_json to_json(const RunReport &report);

// jobs.jsonl: one line a finished job, with every rank's host and every
// pair, appended as the job ends; what --resume reads.
std::string journal_line(const JobOutcome &job); // ends with a newline
// Appends and syncs the line to dir/jobs.jsonl; throws std::runtime_error.
void append_journal(const std::string &dir, const JobOutcome &job);
// The jobs of dir/jobs.jsonl; a torn last line (a crash while writing) is
// left out. Throws std::runtime_error naming the line of any other fault.
std::vector<JobOutcome> read_journal(const std::string &path);
// The jobs of a version 1 report.json; throws std::runtime_error naming the
// fault.
std::vector<JobOutcome> jobs_of_version1(const nlohmann::json &in);

std::string junit_xml(const RunReport &report);
std::string html_page(const RunReport &report);
// The sender x receiver matrix for a terminal; empty above 32 hosts.
std::string terminal_matrix(const RunReport &report);

// "pair 4 ; 5 (node2 -> node3)": the even rank's host sends.
std::string pair_name(const PairOutcome &pair);
// report.json's text.
std::string json_text(const RunReport &report);

// A file replaced whole: written to a temporary beside it and renamed over it,
// so that no reader ever sees half of it.
struct FileReplacement {
  std::string path;
  std::string temporary;
  int fd = -1;
};
// Opens the temporary; throws std::runtime_error("cannot write PATH: ...").
FileReplacement begin_replacement(const std::string &path);
// Writes, syncs and renames; throws as above, the temporary removed.
void commit_replacement(FileReplacement &file, std::string_view text);
// Removes the temporary of a replacement not committed.
void abandon_replacement(FileReplacement &file);

// Writes report.json, junit.xml and report.html into dir, each replaced whole
// (the jobs are in jobs.jsonl).
// Throws std::runtime_error on failure.
void write_report_dir(const std::string &dir, const RunReport &report);

} // namespace pairdot_reports
