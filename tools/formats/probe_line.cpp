#include "probe_line.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>

namespace pairdot_probe {

namespace {

std::string value_text(const std::optional<double> &value) {
  if (!value) {
    return "-";
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.1f", *value);
  return text;
}

template <typename T, typename Text> std::string joined(const std::vector<T> &items, Text text) {
  std::string out;
  for (const T &item : items) {
    out += (out.empty() ? "" : ",") + text(item);
  }
  return out;
}

bool take(std::string_view &s, std::string_view literal) {
  if (s.substr(0, literal.size()) != literal) {
    return false;
  }
  s.remove_prefix(literal.size());
  return true;
}

std::size_t digits_at_start(std::string_view s) {
  std::size_t n = 0;
  while (n < s.size() && std::isdigit(static_cast<unsigned char>(s[n])) != 0) {
    ++n;
  }
  return n;
}

std::optional<std::uint64_t> take_number(std::string_view &s) {
  const std::size_t n = digits_at_start(s);
  if (n == 0 || n > 18 || (n > 1 && s[0] == '0')) {
    return std::nullopt;
  }
  const std::uint64_t value = std::stoull(std::string(s.substr(0, n)));
  s.remove_prefix(n);
  return value;
}

// A value as value_text writes it; the outer optional is empty when s has none.
std::optional<std::optional<double>> take_value(std::string_view &s) {
  if (take(s, "-")) {
    return std::optional<double>();
  }
  const std::size_t whole = digits_at_start(s);
  if (whole == 0 || s.size() < whole + 2 || s[whole] != '.' ||
      std::isdigit(static_cast<unsigned char>(s[whole + 1])) == 0) {
    return std::nullopt;
  }
  const double value = std::strtod(std::string(s.substr(0, whole + 2)).c_str(), nullptr);
  s.remove_prefix(whole + 2);
  return std::optional<double>(value);
}

template <typename Take> auto take_list(std::string_view &s, Take take_item) {
  std::vector<typename decltype(take_item(s))::value_type> items;
  do {
    auto item = take_item(s);
    if (!item) {
      return decltype(items)();
    }
    items.push_back(*item);
  } while (take(s, ","));
  return items;
}

bool valid_sizes(const std::vector<std::uint64_t> &sizes) {
  return !sizes.empty() && sizes.front() > 0 && sizes.back() <= largest_size &&
         std::adjacent_find(sizes.begin(), sizes.end(), std::greater_equal<>()) == sizes.end();
}

bool consistent(const ProbeLine &line) {
  if (!valid_sizes(line.sizes) || line.mbps.size() != line.sizes.size()) {
    return false;
  }
  const auto failed = line.failed_size
                          ? std::find(line.sizes.begin(), line.sizes.end(), *line.failed_size)
                          : line.sizes.end();
  if (line.failed_size && failed == line.sizes.end()) {
    return false;
  }
  const auto first_unmeasured = line.mbps.begin() + (failed - line.sizes.begin());
  return (line.failed_size || line.latency_us) &&
         std::all_of(line.mbps.begin(), first_unmeasured, [](auto v) { return v.has_value(); }) &&
         std::none_of(first_unmeasured, line.mbps.end(), [](auto v) { return v.has_value(); });
}

std::uint64_t size_item(std::string_view item) {
  std::string_view rest = item;
  const std::size_t n = digits_at_start(rest);
  const std::uint64_t unit = item.size() == n + 1 && item.back() == 'K'   ? kib
                             : item.size() == n + 1 && item.back() == 'M' ? mib
                                                                          : 1;
  if (n == 0 || n > 10 || item.size() != n + (unit == 1 ? 0 : 1)) {
    throw std::invalid_argument("not a size: '" + std::string(item) +
                                "' (bytes, or a whole number with K or M)");
  }
  const std::uint64_t bytes = std::stoull(std::string(item.substr(0, n))) * unit;
  if (bytes == 0 || bytes > largest_size) {
    throw std::invalid_argument("size '" + std::string(item) + "' is not from 1 B to 1 GiB");
  }
  return bytes;
}

} // namespace

std::string format_probe_line(const ProbeLine &line) {
  std::string out = "probe " + std::to_string(line.sender) + " ; " +
                    std::to_string(line.sender + 1) + ": sizes " +
                    joined(line.sizes, [](std::uint64_t s) { return std::to_string(s); }) +
                    " mbps " + joined(line.mbps, value_text) + " latency_us " +
                    value_text(line.latency_us) + " verdict ";
  if (!line.failed_size) {
    return out + "ok";
  }
  return out + "failed " + std::to_string(*line.failed_size) + ": " + line.problem;
}

std::optional<ProbeLine> parse_probe_line(std::string_view text) {
  std::string_view s = text;
  ProbeLine line;
  std::optional<std::uint64_t> even;
  std::optional<std::uint64_t> odd;
  std::optional<std::optional<double>> latency;
  if (!take(s, "probe ") || !(even = take_number(s)) || !take(s, " ; ") ||
      !(odd = take_number(s)) || !take(s, ": sizes ") ||
      (line.sizes = take_list(s, take_number)).empty() || !take(s, " mbps ") ||
      (line.mbps = take_list(s, take_value)).empty() || !take(s, " latency_us ") ||
      !(latency = take_value(s)) || !take(s, " verdict ")) {
    return std::nullopt;
  }
  if (*even % 2 != 0 || *odd != *even + 1 || *even > 1u << 30) {
    return std::nullopt;
  }
  line.sender = static_cast<int>(*even);
  line.latency_us = *latency;
  if (take(s, "failed ")) {
    if (!(line.failed_size = take_number(s)) || !take(s, ": ") || s.empty() ||
        s.find_first_of("\r\n") != std::string_view::npos) {
      return std::nullopt;
    }
    line.problem = std::string(s);
  } else if (s != "ok") {
    return std::nullopt;
  }
  return consistent(line) ? std::optional<ProbeLine>(line) : std::nullopt;
}

std::vector<std::uint64_t> parse_sizes(std::string_view text) {
  std::vector<std::uint64_t> sizes;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::uint64_t bytes = size_item(text.substr(start, comma - start));
    if (!sizes.empty() && bytes <= sizes.back()) {
      throw std::invalid_argument("sizes must increase: " + size_name(bytes) + " after " +
                                  size_name(sizes.back()));
    }
    sizes.push_back(bytes);
    start = comma + 1;
  }
  return sizes;
}

std::string grouped(std::uint64_t n) {
  std::string digits = std::to_string(n);
  for (std::size_t i = digits.size(); i > 3; i -= 3) {
    digits.insert(i - 3, ",");
  }
  return digits;
}

std::string size_name(std::uint64_t bytes) {
  if (bytes >= largest_size && bytes % largest_size == 0) {
    return grouped(bytes / largest_size) + " GiB";
  }
  if (bytes >= mib && bytes % mib == 0) {
    return grouped(bytes / mib) + " MiB";
  }
  if (bytes >= kib && bytes % kib == 0) {
    return grouped(bytes / kib) + " KiB";
  }
  return grouped(bytes) + " B";
}

std::string late_problem(std::uint64_t size, double timeout_s) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g", timeout_s);
  return size_name(size) + " messages did not arrive within " + seconds + " s";
}

std::string corrupt_problem(std::uint64_t size, std::uint64_t message, std::uint64_t bytes,
                            std::uint64_t first_offset) {
  return size_name(size) + " message " + grouped(message) + ": " + grouped(bytes) + " byte" +
         (bytes == 1 ? "" : "s") + " differ" + (bytes == 1 ? "s" : "") + ", first at offset " +
         grouped(first_offset);
}

} // namespace pairdot_probe
