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
  if (line.size() - pos < text.size() ||
      std::memcmp(line.data() + pos, text.data(), text.size()) != 0) {
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

void bad(ParsedLine &line, const char *error) {
  line.kind = LineKind::bad;
  line.error = error;
}

void parse_vector(std::string_view line, ParsedLine &out) {
  out = ParsedLine{};
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
  for (int i = 0; i < vector_size; ++i) {
    if (pos + 1 >= line.size() || !is_digit(line[pos]) || line[pos + 1] != ' ') {
      return bad(out, "expected five values, each followed by one space");
    }
    if (line[pos] - '0' > max_value) {
      return bad(out, "value out of 0..4");
    }
    out.values = static_cast<std::uint16_t>(out.values | (line[pos] - '0') << (3 * i));
    pos += 2;
  }
  if (pos != line.size()) {
    return bad(out, "text after the five values");
  }
  out.kind = LineKind::vector;
}

void parse_result(std::string_view line, ParsedLine &out) {
  out = ParsedLine{};
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
}

// All of [p, p + n) as %d prints a non-negative int32.
bool whole_number(const char *p, std::size_t n, std::int32_t &out) {
  if (n - 1 >= 10 || (p[0] == '0' && n > 1)) {
    return false;
  }
  std::uint64_t value = 0;
  unsigned not_digit = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto digit = static_cast<unsigned>(p[i] - '0');
    not_digit |= digit > 9;
    value = value * 10 + digit;
  }
  out = static_cast<std::int32_t>(value);
  return not_digit == 0 &&
         value <= static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
}

// Reads a number as %d prints a non-negative int32 at p, in one pass; the
// end of its digits, or nullptr.
const char *read_whole(const char *p, const char *end, std::int32_t &out) {
  const char *start = p;
  std::uint64_t value = 0;
  while (p < end && is_digit(*p) && p - start < 11) {
    value = value * 10 + static_cast<unsigned>(*p - '0');
    ++p;
  }
  out = static_cast<std::int32_t>(value);
  const bool ok = p > start && (*start != '0' || p - start == 1) &&
                  value <= static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
  return ok ? p : nullptr;
}

bool skip_exact(const char *&p, const char *end, std::string_view text) {
  if (static_cast<std::size_t>(end - p) < text.size() ||
      std::memcmp(p, text.data(), text.size()) != 0) {
    return false;
  }
  p += text.size();
  return true;
}

// Fast path for a valid vector line; false sends the line to parse_vector.
bool quick_vector(std::string_view line, ParsedLine &out) {
  constexpr std::size_t tail = vector_tail.size() + std::size_t{2} * vector_size;
  const char *p = line.data();
  const std::size_t n = line.size();
  if (n < vector_head.size() + 3 + tail ||
      std::memcmp(p + n - tail, vector_tail.data(), vector_tail.size()) != 0 ||
      !whole_number(p + vector_head.size() + 2, n - vector_head.size() - 2 - tail, out.rank)) {
    return false;
  }
  const char *values = p + n - std::size_t{2} * vector_size;
  unsigned packed = 0;
  for (std::size_t i = 0; i < vector_size; ++i) {
    const auto value = static_cast<unsigned>(values[2 * i] - '0');
    if (value > max_value || values[2 * i + 1] != ' ') {
      return false;
    }
    packed |= value << (3 * i);
  }
  out.values = static_cast<std::uint16_t>(packed);
  out.role = p[vector_head.size()] == 'X' ? Role::x : Role::y;
  out.kind = LineKind::vector;
  return true;
}

// Fast path for a valid result line; false sends the line to parse_result.
bool quick_result(std::string_view line, ParsedLine &out) {
  const char *p = line.data() + result_head.size();
  const char *end = line.data() + line.size();
  if (!(p = read_whole(p, end, out.first)) || !skip_exact(p, end, result_sep) ||
      !(p = read_whole(p, end, out.rank)) || !skip_exact(p, end, result_tail)) {
    return false;
  }
  const bool negative = p < end && *p == '-';
  p += negative;
  if (!(p = read_whole(p, end, out.result)) || (negative && out.result == 0) || end - p != 1 ||
      *p != ' ') {
    return false;
  }
  out.result = negative ? -out.result : out.result;
  out.result_form = true;
  out.kind = LineKind::result;
  return true;
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

void parse_line(std::string_view line, ParsedLine &out) {
  if (line.empty()) {
    out.kind = LineKind::blank;
  } else if (starts_vector(line)) {
    if (!quick_vector(line, out)) {
      parse_vector(line, out);
    }
  } else if (starts_result(line)) {
    if (!quick_result(line, out)) {
      parse_result(line, out);
    }
  } else {
    out.kind = LineKind::unknown;
  }
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
