#pragma once

#include "line_parser.hpp"
#include "rank_table.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pairdot_check {

struct CheckOptions {
  std::int32_t np = 0; // job size from --np; 0 when not given
  std::size_t max_listed = 1000;
  std::size_t max_parked = std::size_t{1} << 16; // open lines of interrupted streams
};

struct CheckReport {
  bool ok = false;
  std::int64_t ranks = 0;
  std::int64_t pairs = 0;
  std::uint64_t problems = 0;
  std::vector<std::string> listed;   // one message per listed problem
  bool one_process_jobs = false;     // rank 0 printed its vector more than once
  std::uint64_t library_lines = 0;   // an MPI library's log lines: warnings, not problems
  std::vector<std::string> warnings; // one message per listed library line
};

// The verdict on one pair (even_rank, even_rank + 1).
struct PairVerdict {
  std::int32_t even_rank = 0;
  bool verified = false;
  std::string problem; // why not; empty when verified
};

// A complete line of one rank's stream. text holds at most the first bytes
// of it; length counts them all.
struct SourceLine {
  std::string_view text;
  std::uint64_t length = 0;
  std::uint64_t line = 0;     // file line where the line began
  std::int64_t tag_rank = -1; // rank named by the line's tag, -1 if untagged
  bool ended = true;          // false: the stream stopped before a newline
};

struct Repeats {
  std::uint64_t count = 0; // lines in all
  Location second_at = 0;
};

// A parsed line waiting, while its rank's record is fetched into cache.
struct QueuedLine {
  ParsedLine line;
  Location at = 0;
  std::int64_t tag_rank = -1;
};

struct JobCheck {
  CheckOptions options;
  std::vector<std::string> files;
  std::vector<Location> file_starts; // location before each file's line 1
  Location lines_before = 0;         // lines in the files read so far
  RankTable ranks;
  std::array<QueuedLine, 16> queue;
  std::size_t queued = 0;
  std::unordered_map<std::int32_t, Repeats> vector_repeats;
  std::unordered_map<std::int32_t, Repeats> result_repeats;
  CheckReport report; // problems so far
};

// Checks one line of file number `file` (an index into job.files).
void take_line(JobCheck &job, std::uint32_t file, const SourceLine &source);

// Runs the whole-job checks once all input is in.
CheckReport finish(JobCheck &job);

// The verdict on every pair of a job of `size` ranks, after finish.
std::vector<PairVerdict> pair_verdicts(const JobCheck &job, std::int64_t size);

} // namespace pairdot_check
