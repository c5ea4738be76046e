#pragma once

// pairdot-probe's result line, one per pair, written by the receiving rank:
//
//   line     = "probe " even " ; " odd ": sizes " sizes " mbps " values
//              " latency_us " value " verdict " verdict
//   sizes    = bytes *("," bytes)          strictly increasing, 1 B to 1 GiB
//   values   = value *("," value)          one per size
//   value    = digits "." digit | "-"      MB/s (10^6 B/s) or µs; "-": not measured
//   verdict  = "ok" | "failed " bytes ": " problem
//
// odd is even + 1; "ok" has every value measured; "failed" names one of the
// sizes, and that size and every later one are "-". problem is the rest of
// the line, such as "64 KiB messages did not arrive within 5 s".

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pairdot_probe {

constexpr std::uint64_t kib = 1024;
constexpr std::uint64_t mib = kib * kib;
constexpr std::uint64_t largest_size = mib * kib;

struct ProbeLine {
  int sender = 0; // the pair's even rank; the receiver is sender + 1
  std::vector<std::uint64_t> sizes;
  std::vector<std::optional<double>> mbps;
  std::optional<double> latency_us;
  std::optional<std::uint64_t> failed_size; // none: verdict ok
  std::string problem;
};

std::string format_probe_line(const ProbeLine &line);
std::optional<ProbeLine> parse_probe_line(std::string_view text);

// "8,4K,64K,1M": bytes, K = 1024 B, M = 1024 KiB. Throws
// std::invalid_argument with a one-line reason.
std::vector<std::uint64_t> parse_sizes(std::string_view text);

std::string grouped(std::uint64_t n);       // 4,096
std::string size_name(std::uint64_t bytes); // 8 B, 4 KiB, 1 MiB, 1,536 B
std::string late_problem(std::uint64_t size, double timeout_s);
std::string corrupt_problem(std::uint64_t size, std::uint64_t message, std::uint64_t bytes,
                            std::uint64_t first_offset);

} // namespace pairdot_probe
