#pragma once

// What pairdot-run and pairdot-check report: jobs, the pairs in them, the
// host-by-host link matrix and the suspects, and the files written from it.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pairdot_reports {

// Bumped whenever a field changes meaning or goes away.
constexpr int report_version = 1;

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
  std::string problem; // why not verified; empty when verified
};

// Job status words, as written to the reports.
namespace job_status {
constexpr const char *verified = "verified";
constexpr const char *failed = "failed";           // a pair failed, or the job's output is wrong
constexpr const char *timed_out = "timed out";     // ended by the time bound
constexpr const char *did_not_end = "did not end"; // output complete and verified, then ended
constexpr const char *misplaced = "misplaced";     // ranks ran elsewhere than planned
constexpr const char *not_started = "not started"; // the launcher could not be run
} // namespace job_status

struct JobOutcome {
  int number = 0;                      // 1-based, in the order jobs were planned
  std::string kind;                    // "sweep", "isolation" or "single"
  std::vector<std::string> rank_hosts; // host of every rank, in rank order
  std::string placement;               // the placement in the launcher's own syntax
  std::string status;                  // one of job_status
  double seconds = 0;
  std::vector<std::string> messages; // what was seen: checker lines, warnings
  std::vector<PairOutcome> pairs;
  std::vector<std::string> unavailable_hosts; // a job not started: hosts Slurm would not use
};

// Link status words.
namespace link_status {
constexpr const char *verified = "verified";
constexpr const char *failed = "failed";
constexpr const char *not_covered = "not covered";
} // namespace link_status

// One ordered pair of distinct hosts.
struct Link {
  std::string sender;
  std::string receiver;
  std::string status;            // one of link_status
  int verified_pairs = 0;        // pairs over this link that verified, in any job
  int failed_pairs = 0;          // pairs that did not, in any job
  bool collateral = false;       // failed in a bigger job, verified alone
  std::vector<std::string> seen; // e.g. "job 3, pair 4 ; 5: no result"
};

struct RunReport {
  std::string tool;     // "pairdot-run" or "pairdot-check"
  std::string launcher; // "mpich", "openmpi", ... ; empty if unknown
  std::vector<Host> hosts;
  std::vector<JobOutcome> jobs;
  std::vector<Link> links; // every ordered pair of distinct hosts, senders in host order
  std::vector<std::string> suspect_hosts;
  std::vector<std::pair<std::string, std::string>> suspect_links; // (sender, receiver)
};

// The diagnosis rule, as README and the reports state it.
extern const char *const diagnosis_rule;

// Fills links, suspect_hosts and suspect_links from hosts and jobs.
void diagnose(RunReport &report);

nlohmann::json to_json(const RunReport &report);
// Reads a report written by to_json; throws std::runtime_error naming the fault.
RunReport report_from_json(const nlohmann::json &json);

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

// Writes report.json, junit.xml and report.html into dir, each replaced whole.
// Throws std::runtime_error on failure.
void write_report_dir(const std::string &dir, const RunReport &report);

} // namespace pairdot_reports
