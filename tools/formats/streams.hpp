#pragma once

#include "verify.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace pairdot_check {

// Bytes kept of a line that arrives in pieces; every valid line is shorter.
constexpr std::size_t kept_bytes = 64;
// Longest tag, "[jobid,rank]<stdout>:" with ten-digit numbers, is 32 bytes.
constexpr std::size_t max_tag_bytes = 40;

// A stream's line begun in one piece and not yet ended.
struct PendingLine {
  char bytes[kept_bytes]{};
  std::uint8_t kept = 0;
  char last = 0;
  std::uint64_t length = 0;
  std::uint64_t line = 0;
};

// Splits one file's bytes into the lines of its streams: the untagged one,
// and one per MPICH "[rank] ", Open MPI "[jobid,rank]<stdout>:" or srun
// --label "rank: " tag.
struct FileStreams {
  std::uint32_t file = 0;
  std::uint64_t line = 1;
  bool at_line_start = true;
  bool tagged_line = false;
  std::uint64_t key = 0;                                 // stream taking the bytes now
  PendingLine active;                                    // its open line
  std::unordered_map<std::uint64_t, PendingLine> parked; // others' open lines
  char cut_tag[max_tag_bytes];
  std::size_t cut_tag_size = 0; // a tag cut off by the end of a block
};

// Registers a file (named in messages by label) and starts reading it.
FileStreams open_file(JobCheck &job, std::string label);

// Takes the next block of the file; blocks may end anywhere.
void feed(JobCheck &job, FileStreams &streams, const char *data, std::size_t size);

// Ends the file: lines still open are reported as unfinished.
void close_file(JobCheck &job, FileStreams &streams);

} // namespace pairdot_check
