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

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool skip_text(std::string_view line, std::size_t &pos, std::string_view text) {
  if (line.size() - pos < text.size() || std::memcmp(line.data() + pos, text.data(), text.size())) {
    return false;
  }
  pos += text.size();
  return true;
}

// Reads a number as %d prints it (a sign only if allowed, no leading zeros)
// that fits an int32; returns an error text or nullptr.
const char *read_number(std::string_view line, std::size_t &pos, bool signed_ok,
                        std::int32_t &out) {
  bool negative = false;
  if (signed_ok && pos < line.size() && line[pos] == '-') {
    negative = true;
    ++pos;
  }
  const std::size_t start = pos;
  std::int64_t value = 0;
  const std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + negative;
  while (pos < line.size() && is_digit(line[pos])) {
    value = value * 10 + (line[pos] - '0');
    if (value > limit) {
      return "number out of range";
    }
    ++pos;
  }
  if (pos == start) {
    return "number expected";
  }
  if (line[start] == '0' && (pos - start > 1 || negative)) {
    return "number not as %d prints it";
  }
  out = static_cast<std::int32_t>(negative ? -value : value);
  return nullptr;
}

ParsedLine bad(ParsedLine line, const char *error) {
  line.kind = LineKind::bad;
  line.error = error;
  return line;
}

ParsedLine parse_vector(std::string_view line) {
  ParsedLine out;
  std::size_t pos = vector_head.size();
  out.role = line[pos] == 'X' ? Role::x : Role::y;
  pos += 2;
  std::int32_t rank = 0;
  if (const char *error = read_number(line, pos, false, rank)) {
    return bad(out, error);
  }
  out.rank = rank;
  if (!skip_text(line, pos, vector_tail)) {
    return bad(out, "expected \" : \\t\\t\" after the rank");
  }
  for (std::uint8_t &value : out.values) {
    if (pos + 1 >= line.size() || !is_digit(line[pos]) || line[pos + 1] != ' ') {
      return bad(out, "expected five values, each followed by one space");
    }
    if (line[pos] - '0' > max_value) {
      return bad(out, "value out of 0..4");
    }
    value = static_cast<std::uint8_t>(line[pos] - '0');
    pos += 2;
  }
  if (pos != line.size()) {
    return bad(out, "text after the five values");
  }
  out.kind = LineKind::vector;
  return out;
}

ParsedLine parse_result(std::string_view line) {
  ParsedLine out;
  out.result_form = true;
  std::size_t pos = result_head.size();
  std::int32_t first = 0;
  if (const char *error = read_number(line, pos, false, first)) {
    return bad(out, error);
  }
  if (!skip_text(line, pos, result_sep)) {
    return bad(out, "expected \" ; \" between the ranks");
  }
  std::int32_t second = 0;
  if (const char *error = read_number(line, pos, false, second)) {
    return bad(out, error);
  }
  out.first = first;
  out.rank = second;
  if (!skip_text(line, pos, result_tail)) {
    return bad(out, "expected \" :\\t\" after the ranks");
  }
  if (const char *error = read_number(line, pos, true, out.result)) {
    return bad(out, error);
  }
  if (!skip_text(line, pos, " ") || pos != line.size()) {
    return bad(out, "expected one space after the result, then the end of the line");
  }
  out.kind = LineKind::result;
  return out;
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
  switch (c) {
  case '\t':
    out += "\\t";
    break;
  case '\r':
    out += "\\r";
    break;
  case '\n':
    out += "\\n";
    break;
  case '\\':
    out += "\\\\";
    break;
  case '"':
    out += "\\\"";
    break;
  default:
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
}

} // namespace

ParsedLine parse_line(std::string_view line) {
  if (line.empty()) {
    ParsedLine blank;
    blank.kind = LineKind::blank;
    return blank;
  }
  if (starts_vector(line)) {
    return parse_vector(line);
  }
  if (starts_result(line)) {
    return parse_result(line);
  }
  return bad(ParsedLine{}, "not a pairdot line");
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
