#include "line_parser.hpp"

#include <cstring>
#include <limits>

namespace pairdot_check {

namespace {

constexpr std::string_view vector_head = "Process";
constexpr std::string_view vector_tail = " : \t\t";
constexpr std::string_view result_head = " For processesXY ";
constexpr std::string_view result_sep = " ; ";
constexpr std::string_view result_tail = " :\t";
constexpr std::size_t quote_limit = 48;

bool skip_text(std::string_view line, std::size_t &pos, std::string_view text) {
  if (line.size() - pos < text.size() ||
      std::memcmp(line.data() + pos, text.data(), text.size()) != 0) {
    return false;
  }
  pos += text.size();
  return true;
}

// Reads a number as %d prints it (a sign only if allowed, no leading zeros)
// that fits an int32; returns an error text or nullptr.
template <bool signed_ok>
const char *read_number(std::string_view line, std::size_t &pos, std::int32_t &out) {
  const bool negative = signed_ok && pos < line.size() && line[pos] == '-';
  const char *const start = line.data() + pos + negative;
  const char *const end = line.data() + line.size();
  const char *p = start;
  const std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + negative;
  std::int64_t value = 0;
  for (unsigned digit = 0; p < end && (digit = static_cast<unsigned>(*p - '0')) <= 9; ++p) {
    value = value * 10 + digit;
    if (value > limit) {
      return "number out of range";
    }
  }
  if (p == start) {
    return "number expected";
  }
  if (*start == '0' && (p - start > 1 || negative)) {
    return "number not as %d prints it";
  }
  pos = static_cast<std::size_t>(p - line.data());
  out = static_cast<std::int32_t>(negative ? -value : value);
  return nullptr;
}

const char *vector_error(std::string_view line, ParsedLine &out) {
  std::size_t pos = vector_head.size();
  out.role = line[pos] == 'X' ? Role::x : Role::y;
  pos += 2;
  if (const char *error = read_number<false>(line, pos, out.rank)) {
    return error;
  }
  if (!skip_text(line, pos, vector_tail)) {
    return "expected \" : \\t\\t\" after the rank";
  }
  unsigned values = 0;
  for (int i = 0; i < vector_size; ++i, pos += 2) {
    const unsigned value = pos + 1 < line.size() ? static_cast<unsigned>(line[pos] - '0') : 10;
    if (value > 9 || line[pos + 1] != ' ') {
      return "expected five values, each followed by one space";
    }
    if (value > max_value) {
      return "value out of 0..4";
    }
    values |= value << (3 * i);
  }
  out.values = static_cast<std::uint16_t>(values);
  return pos == line.size() ? nullptr : "text after the five values";
}

const char *result_error(std::string_view line, ParsedLine &out) {
  std::size_t pos = result_head.size();
  std::int32_t first = 0;
  std::int32_t second = 0;
  if (const char *error = read_number<false>(line, pos, first)) {
    return error;
  }
  if (!skip_text(line, pos, result_sep)) {
    return "expected \" ; \" between the ranks";
  }
  if (const char *error = read_number<false>(line, pos, second)) {
    return error;
  }
  out.first = first;
  out.rank = second;
  if (!skip_text(line, pos, result_tail)) {
    return "expected \" :\\t\" after the ranks";
  }
  if (const char *error = read_number<true>(line, pos, out.result)) {
    return error;
  }
  if (!skip_text(line, pos, " ") || pos != line.size()) {
    return "expected one space after the result, then the end of the line";
  }
  return nullptr;
}

bool starts_vector(std::string_view line) {
  return line.size() > vector_head.size() + 1 &&
         std::memcmp(line.data(), vector_head.data(), vector_head.size()) == 0 &&
         (line[vector_head.size()] == 'X' || line[vector_head.size()] == 'Y') &&
         line[vector_head.size() + 1] == ' ';
}

bool starts_result(std::string_view line) {
  return line.size() >= result_head.size() &&
         std::memcmp(line.data(), result_head.data(), result_head.size()) == 0;
}

void append_escaped(std::string &out, unsigned char c) {
  static const char hex[] = "0123456789abcdef";
  const char *named = c == '\t'   ? "\\t"
                      : c == '\r' ? "\\r"
                      : c == '\n' ? "\\n"
                      : c == '\\' ? "\\\\"
                      : c == '"'  ? "\\\""
                                  : nullptr;
  if (named != nullptr) {
    out += named;
  } else if (c >= 0x20 && c < 0x7f) {
    out += static_cast<char>(c);
  } else {
    out += "\\x";
    out += hex[c >> 4];
    out += hex[c & 15];
  }
}

bool skip_digits(std::string_view line, std::size_t &pos) {
  const std::size_t start = pos;
  while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') {
    ++pos;
  }
  return pos > start;
}

void skip_spaces(std::string_view line, std::size_t &pos) {
  while (pos < line.size() && line[pos] == ' ') {
    ++pos;
  }
}

enum class Process : std::uint8_t { none, plain, threaded, cut };

// "host:pid]" or "host:pid :thread]" (the pid padded); a host has no space,
// colon or bracket. cut: the bytes end inside the host.
Process skip_process(std::string_view line, std::size_t &pos) {
  const std::size_t host = pos;
  while (pos < line.size() && std::strchr(" :[]", line[pos]) == nullptr) {
    ++pos;
  }
  if (pos == line.size() && pos > host) {
    return Process::cut;
  }
  if (pos == host || !skip_text(line, pos, ":") || !skip_digits(line, pos)) {
    return Process::none;
  }
  skip_spaces(line, pos);
  const bool thread = skip_text(line, pos, ":");
  if ((thread && !skip_digits(line, pos)) || !skip_text(line, pos, "]")) {
    return Process::none;
  }
  return thread ? Process::threaded : Process::plain;
}

} // namespace

LibraryLog library_log_of(std::string_view line) {
  std::size_t pos = 0;
  if (!skip_text(line, pos, "[")) {
    return LibraryLog::none;
  }
  // UCX: "[seconds.micros] [host:pid:thread] "
  const std::size_t stamp = pos;
  if (skip_digits(line, pos) && skip_text(line, pos, ".") && skip_digits(line, pos) &&
      skip_text(line, pos, "] [")) {
    const Process process = skip_process(line, pos);
    return process == Process::threaded || process == Process::cut ? LibraryLog::ucx
                                                                   : LibraryLog::none;
  }
  // Open MPI: "[host:pid] "
  pos = stamp;
  return skip_process(line, pos) == Process::plain && skip_text(line, pos, " ")
             ? LibraryLog::open_mpi
             : LibraryLog::none;
}

void parse_line(std::string_view line, ParsedLine &out) {
  if (line.empty()) {
    out.kind = LineKind::blank;
    return;
  }
  out.result_form = starts_result(line);
  if (!out.result_form && !starts_vector(line)) {
    out.kind = LineKind::unknown;
    return;
  }
  out.error = out.result_form ? result_error(line, out) : vector_error(line, out);
  out.kind = out.error != nullptr ? LineKind::bad
             : out.result_form    ? LineKind::result
                                  : LineKind::vector;
}

std::string library_line_text(LibraryLog log, std::string_view line, std::uint64_t total_length) {
  return std::string(log == LibraryLog::ucx ? "UCX" : "Open MPI") +
         "'s log line, not pairdot's: " + quote_line(line, total_length);
}

std::string quote_line(std::string_view line, std::uint64_t total_length) {
  std::string out = "\"";
  const std::size_t shown = line.size() < quote_limit ? line.size() : quote_limit;
  for (std::size_t i = 0; i < shown; ++i) {
    append_escaped(out, static_cast<unsigned char>(line[i]));
  }
  out += '"';
  if (total_length > shown) {
    out += "...";
  }
  return out;
}

} // namespace pairdot_check
