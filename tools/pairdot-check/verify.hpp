#pragma once

#include "line_parser.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pairdot_check {

struct CheckOptions {
  std::int32_t np = 0; // job size from --np; 0 when not given
  std::size_t max_listed = 1000;
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

// What one rank printed. Locations pack file index and line; 0 is none.
struct RankRecord {
  std::uint64_t vector_at = 0;
  std::uint64_t result_at = 0;
  std::int32_t result = 0;
  std::uint8_t values[vector_size] = {};
  std::uint8_t flags = 0;
};

// Ranks near those seen live in pages indexed by rank; far-away ones
// (a hostile 2000000000) in a map, so memory follows the ranks printed.
struct RankTable {
  std::vector<std::unique_ptr<RankRecord[]>> pages;
  std::unordered_map<std::int32_t, RankRecord> far;
  std::uint64_t used = 0;
  std::int64_t highest = -1;
};

struct Repeats {
  std::uint64_t count = 0; // lines in all
  std::uint64_t second_at = 0;
};

struct JobCheck {
  CheckOptions options;
  std::vector<std::string> files;
  RankTable ranks;
  std::unordered_map<std::int32_t, Repeats> vector_repeats;
  std::unordered_map<std::int32_t, Repeats> result_repeats;
  std::vector<std::string> listed;
  std::uint64_t problems = 0;
};

struct CheckReport {
  bool ok = false;
  std::int64_t ranks = 0;
  std::int64_t pairs = 0;
  std::uint64_t problems = 0;
  std::vector<std::string> listed; // one message per listed problem
};

// Checks one line of file number `file` (an index into job.files).
void take_line(JobCheck &job, std::uint32_t file, const SourceLine &line);

// Runs the whole-job checks once all input is in.
CheckReport finish(JobCheck &job);

} // namespace pairdot_check
