#pragma once

// Text helpers shared by the report writers.

#include "run_report.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace pairdot_reports::detail {

// The links by position: grid[sender * hosts + receiver], hosts in report
// order; null on the diagonal and where the report has no such link.
std::vector<const Link *> link_grid(const RunReport &report);

// The text with every byte that is not part of valid UTF-8 replaced by '?'.
std::string valid_utf8(std::string_view text);

// Like valid_utf8, and control characters other than tab and newline become
// '?' too, so that XML and HTML stay well-formed.
std::string printable(std::string_view text);

// "job 3 (sweep)"
std::string job_name(int number, const std::string &kind);

// "4 ; 5"
std::string pair_ranks(int even_rank);

// "pair 4 ; 5 (node1 -> node2)"
std::string pair_label(const PairOutcome &pair);

// The lines joined by newlines.
std::string joined(const std::vector<std::string> &lines);

struct LinkCounts {
  int verified = 0;
  int failed = 0;
  int not_covered = 0;
};

LinkCounts count_links(const RunReport &report);

// Seconds with millisecond precision, "1.250".
std::string seconds_text(double seconds);

} // namespace pairdot_reports::detail
