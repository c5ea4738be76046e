#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pairdot_check {

constexpr int vector_size = 5;
constexpr int max_value = 4;

// bad: a vector or result line with a fault; unknown: neither.
enum class LineKind : std::uint8_t { blank, vector, result, bad, unknown };
enum class Role : std::uint8_t { x, y };

// One output line, taken apart. On a bad line, rank (and first, for a result
// line) are still set when they could be read, else -1.
struct ParsedLine {
  LineKind kind = LineKind::bad;
  Role role = Role::y;
  bool result_form = false;    // the line starts like a result line
  std::int32_t rank = -1;      // vector: its rank; result: second rank of the pair
  std::int32_t first = -1;     // result: first rank of the pair
  std::int32_t result = 0;     // result: the printed product
  std::uint16_t values = 0;    // five values of 3 bits, the first lowest
  const char *error = nullptr; // bad: what is wrong
};

// Parses a line without its newline into out (which must be fresh); the
// format must match byte for byte.
void parse_line(std::string_view line, ParsedLine &out);

// An MPI library's own log line, which the library may write to a rank's
// standard output: UCX's "[1796715562.863930] [host:4437 :0] ..." or Open
// MPI's "[host:4437] ...". Told from the line's first bytes alone.
enum class LibraryLog : std::uint8_t { none, ucx, open_mpi };
LibraryLog library_log_of(std::string_view line_start);
// What a warning says of such a line: "UCX's log line, not pairdot's: \"...\"".
std::string library_line_text(LibraryLog log, std::string_view line, std::uint64_t total_length);

// The line as a short C-escaped quote, with "..." when it is cut or when
// total_length says the line was longer than the bytes given.
std::string quote_line(std::string_view line, std::uint64_t total_length);

} // namespace pairdot_check
