#pragma once

// Text helpers shared by the report writers.

#include "writers.hpp"

#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pairdot_writers {

// The writers read the run model throughout.
using namespace pairdot_model; // NOLINT(google-build-using-namespace)

namespace detail {

// Text for HTML, its markup characters escaped.
std::string html_escaped(std::string_view raw);

// How a cell of the link matrix looks in every report.
struct CellLook {
  char mark;           // terminal, report.json rows
  const char *css;     // HTML classes
  const char *colour;  // HTML background
  const char *ink;     // HTML text
  const char *meaning; // legends
};

// One look per LinkVerdict, in its order, then the diagonal.
constexpr CellLook cell_looks[] = {
    {'?', "uncovered", "#bdbdbd", "#333", "not covered"},
    {'+', "verified", "#43a047", "#fff", "verified"},
    {'c', "verified collateral", "#52ac56", "#fff", "verified alone after failing in a bigger job"},
    {'x', "failed", "#e53935", "#fff", "failed"},
    {'.', "self", "#424242", "#fff", "same host"},
    {'s', "slow", "#fb8c00", "#fff", "slow (probe)"},
};
constexpr std::size_t self_look = 4;
constexpr std::size_t slow_look = 5; // a verified link the probe found slow

// The order legends list the looks in.
constexpr std::size_t legend_order[] = {1, slow_look, 2, 3, 0, self_look};

// "+ verified, c verified alone after failing in a bigger job, ..., . same host";
// the slow mark only where the report has probes.
std::string legend_text(bool with_slow);

inline const CellLook &look(LinkVerdict verdict) {
  return cell_looks[static_cast<std::size_t>(verdict)];
}

inline char mark(LinkVerdict verdict) { return look(verdict).mark; }

using pairdot_model::count_links;
using pairdot_model::LinkCounts;
using pairdot_model::RunVerdict;
using pairdot_model::verdict_at;

// The link matrix: a row per sender in host order, a mark per receiver, '.'
// on the diagonal.
std::vector<std::string> matrix_rows(const RunReport &report);

// The text with every byte that is not part of valid UTF-8 replaced by '?'.
std::string valid_utf8(std::string_view text);

// Like valid_utf8, and control characters other than tab and newline become
// '?' too, so that XML and HTML stay well-formed.
std::string printable(std::string_view text);

// "job 3 (sweep)"
std::string job_name(int number, JobKind kind);

// "4 ; 5"
std::string pair_ranks(int even_rank);

// The lines joined by newlines.
std::string joined(const std::vector<std::string> &lines);

// The failed pairs of a job, a line each: "pair 4 ; 5 (a -> b): no result";
// at most max, then "... N more failed pairs".
std::string failed_pairs_text(const JobOutcome &job, std::size_t max);

const char *run_verdict_word(RunVerdict verdict);

// Seconds with millisecond precision, "1.250".
std::string seconds_text(double seconds);

// The value with this many decimals, "12.5".
std::string fixed(double value, int decimals);

// What a probed link measured, for every report: "22.4 MB/s at 16 MiB (14 % of
// the median link), latency 7.8 us", or "fails from 4 KiB: PROBLEM".
std::string measure_text(const LinkProbe &link, const LinkQuality &quality);

// What each job saw of a troubled link, a line each: "job 3 (sweep), pair 4 ; 5:
// no result", then "... 2 more".
std::vector<std::string> seen_lines(const LinkDetail &link);

// What the diagnosis blames, by host index.
struct Blame {
  const HostMap &index;   // host names to indices: the report's
  std::vector<int> owner; // per host: the suspect it falls under, -1 none
  std::set<std::pair<std::string, std::string>> links; // suspect links
};

// Owners: a suspect or dark host is its own (its index); the hosts of a
// suspect switch or group share one (above the host indices).
Blame blame_of(const RunReport &report);

// A failed pair over a suspect link, or from or to a blamed host.
bool blamed_pair(const Blame &blame, const PairOutcome &pair);

// A job verified; lost only to blamed faults (its other failed pairs over
// links that verified elsewhere); or went wrong without a blamed fault to
// explain it.
enum class JobBlame { passed, blamed, unexplained };
JobBlame job_blame(const RunReport &report, const Blame &blame, const JobOutcome &job);

// The failed links whose sightings explain a blame: every suspect link, every
// failed link of no blamed host, and the first `few` of each owner, in
// sender order.
std::vector<const LinkDetail *>
explaining_links(const Blame &blame, const std::vector<LinkDetail> &troubled, std::size_t few);

// The number of failed pairs of a job.
std::size_t failed_pair_count(const JobOutcome &job);

// Why a host is suspect when its state tells: cannot_run_problem,
// cannot_join_problem or dark_problem; else "".
const char *host_problem(const RunReport &report, const std::string &host);

// The first `max` names of a list, then "and N more".
std::string names_text(const std::vector<std::string> &names, std::size_t max);

} // namespace detail

} // namespace pairdot_writers
