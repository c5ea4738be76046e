#pragma once

// The writers: every word of the reports is made here, from the run model.
// report.json, jobs.jsonl, junit.xml, report.html and the terminal matrix.

#include "run_report.hpp"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace pairdot_writers {

using pairdot_model::JobKind;
using pairdot_model::JobOutcome;
using pairdot_model::JobStatus;
using pairdot_model::LinkVerdict;
using pairdot_model::PairOutcome;
using pairdot_model::ProbeVerdict;
using pairdot_model::RunReport;

// The words of the reports.
const char *kind_word(JobKind kind); // "sweep", "hosts", "isolation", "single", "ring", "reach"
const char *status_word(JobStatus status);            // "verified", "timed out", ...
const char *verdict_word(LinkVerdict verdict);        // "verified", "failed", "not covered"
const char *probe_verdict_word(ProbeVerdict verdict); // "ok", "slow", "failed"

// The diagnosis rule, as README and the reports state it.
extern const char *const diagnosis_rule;
// The slow-link rule of probe runs, likewise.
extern const char *const slow_rule_text;
// What is wrong with a suspect, in every report.
extern const char *const cannot_run_problem;  // a host
extern const char *const cannot_join_problem; // a host
extern const char *const dark_problem;        // a host: "starts, but reaches no other host"
extern const char *const switch_problem;      // the hosts of a switch
extern const char *const group_problem;       // a group of hosts

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

// The hosts of a report.json, each with its slots; throws std::runtime_error
// naming a missing or mistyped field.
std::vector<pairdot_hosts::Host> report_hosts(const nlohmann::json &in);

std::string junit_xml(const RunReport &report);
std::string html_page(const RunReport &report);
// The sender x receiver matrix for a terminal; empty above 32 hosts.
std::string terminal_matrix(const RunReport &report);
// The suspects for a terminal, a line each: "suspect host: node3",
// "host node3 starts, but reaches no other host", "suspect switch: leaf2: ...".
std::string suspect_lines(const RunReport &report);

// What pairdot-run prints: lines for standard output and standard error.
struct RunText {
  std::string out;
  std::string err;
};
// "job 3 (isolation): 2 ranks on 2 hosts (a -> b) ... failed, 1.2 s", a line.
std::string progress_line(const JobOutcome &job);
// "pairdot-run: resuming: 4 jobs done", a line.
std::string resumed_line(std::size_t jobs);
// The end of a sweep: the matrix, what failed and is blamed, the link count.
RunText sweep_summary(const RunReport &report);
// The end of a single job: its failed pairs, or what it verified.
RunText single_summary(const RunReport &report);
// Why a run stopped early.
RunText launcher_fails_text(const RunReport &report);
RunText misplaced_text(const RunReport &report);
RunText interrupted_text(const RunReport &report, const std::string &report_dir);

// "pair 4 ; 5 (node2 -> node3)": the even rank's host sends.
std::string pair_name(const PairOutcome &pair);
// Why a pair failed: the checker's problem and the facts known of the pair,
// "no result (rank 5 never started) (ended by the time bound)".
std::string problem_text(const PairOutcome &pair);
// report.json's text.
std::string json_text(const RunReport &report);

// Writes report.json, junit.xml and report.html into dir, each replaced whole
// (the jobs are in jobs.jsonl).
// Throws std::runtime_error on failure.
void write_report_dir(const std::string &dir, const RunReport &report);

} // namespace pairdot_writers
