// pairdot-probe's pure pieces: the line, the size list, the verdict texts and
// the pattern check.

#include "../common/test_support.hpp"
#include "pattern.hpp"
#include "probe_line.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace {

using namespace pairdot_probe;

TEST(ProbeLine, RoundTrips) {
  const char *const lines[] = {
      "probe 0 ; 1: sizes 8,4096,65536,1048576,16777216 mbps 2.1,310.5,980.0,1100.2,1120.7 "
      "latency_us 12.4 verdict ok",
      "probe 6 ; 7: sizes 8,65536 mbps 0.5,- latency_us 3.0 verdict failed 65536: 64 KiB "
      "messages did not arrive within 5 s",
      "probe 2 ; 3: sizes 8 mbps - latency_us - verdict failed 8: 8 B message 3: 1 byte "
      "differs, first at offset 0",
  };
  for (const char *text : lines) {
    const auto line = parse_probe_line(text);
    ASSERT_TRUE(line) << text;
    EXPECT_EQ(format_probe_line(*line), text);
  }
  const auto failed = parse_probe_line(lines[1]);
  EXPECT_EQ(failed->sender, 6);
  EXPECT_EQ(failed->failed_size, 65536u);
  EXPECT_EQ(failed->mbps, (std::vector<std::optional<double>>{0.5, std::nullopt}));
  EXPECT_EQ(failed->latency_us, 3.0);
  EXPECT_EQ(failed->problem, "64 KiB messages did not arrive within 5 s");
}

TEST(ProbeLine, RejectsMalformedAndInconsistent) {
  const char *const lines[] = {
      "",
      "probe 0 ; 1: sizes 8 mbps 1.0 latency_us 1.0 verdict ok ",         // trailing space
      "probe 1 ; 2: sizes 8 mbps 1.0 latency_us 1.0 verdict ok",          // odd sender
      "probe 0 ; 3: sizes 8 mbps 1.0 latency_us 1.0 verdict ok",          // not a pair
      "probe 0 ; 1: sizes 8,8 mbps 1.0,1.0 latency_us 1.0 verdict ok",    // not increasing
      "probe 0 ; 1: sizes 0 mbps 1.0 latency_us 1.0 verdict ok",          // empty size
      "probe 0 ; 1: sizes 8,16 mbps 1.0 latency_us 1.0 verdict ok",       // a value missing
      "probe 0 ; 1: sizes 8 mbps 1 latency_us 1.0 verdict ok",            // not as written
      "probe 0 ; 1: sizes 8 mbps - latency_us 1.0 verdict ok",            // ok but unmeasured
      "probe 0 ; 1: sizes 8 mbps 1.0 latency_us - verdict ok",            // ok without latency
      "probe 0 ; 1: sizes 8 mbps 1.0 latency_us 1.0 verdict failed 8: x", // measured, failed
      "probe 0 ; 1: sizes 8,16 mbps 1.0,- latency_us 1.0 verdict failed 32: x", // not a size
      "probe 0 ; 1: sizes 8 mbps - latency_us - verdict failed 8: ",            // no problem
      "probe 0 ; 1: sizes 8 mbps 1.0 latency_us 1.0 verdict good",
  };
  for (const char *text : lines)
    EXPECT_FALSE(parse_probe_line(text)) << text;
}

TEST(Sizes, ParsesUnitsInOrder) {
  EXPECT_EQ(parse_sizes("8,4K,64K,1M,16M"),
            (std::vector<std::uint64_t>{8, 4096, 65536, 1048576, 16777216}));
  EXPECT_EQ(parse_sizes("1,1000,1024M"), (std::vector<std::uint64_t>{1, 1000, 1073741824}));
}

TEST(Sizes, RejectsWithOneLine) {
  const struct {
    const char *text;
    const char *reason;
  } cases[] = {
      {"", "not a size: ''"},
      {"8,,16", "not a size: ''"},
      {"8,", "not a size: ''"},
      {"4k", "not a size: '4k'"},
      {"-8", "not a size: '-8'"},
      {"8 ", "not a size: '8 '"},
      {"0", "size '0' is not from 1 B to 1 GiB"},
      {"1025M", "size '1025M' is not from 1 B to 1 GiB"},
      {"99999999999", "not a size: '99999999999'"},
      {"8,4K,4K", "sizes must increase: 4 KiB after 4 KiB"},
      {"64K,8", "sizes must increase: 8 B after 64 KiB"},
  };
  for (const auto &c : cases) {
    const std::string error =
        test_support::error_of<std::invalid_argument>([&] { parse_sizes(c.text); });
    EXPECT_EQ(error.rfind(c.reason, 0), 0u) << "'" << c.text << "': " << error;
  }
}

TEST(Verdicts, NameSizesAndGroupThousands) {
  const struct {
    std::string text;
    const char *want;
  } cases[] = {
      {late_problem(65536, 5), "64 KiB messages did not arrive within 5 s"},
      {late_problem(8, 0.5), "8 B messages did not arrive within 0.5 s"},
      {late_problem(16 * mib, 5), "16 MiB messages did not arrive within 5 s"},
      {late_problem(1536, 5), "1,536 B messages did not arrive within 5 s"},
      {late_problem(1024 * mib, 5), "1 GiB messages did not arrive within 5 s"},
      {corrupt_problem(mib, 3, 1024, 4096),
       "1 MiB message 3: 1,024 bytes differ, first at offset 4,096"},
      {corrupt_problem(4 * kib, 1200, 1, 0),
       "4 KiB message 1,200: 1 byte differs, first at offset 0"},
      {grouped(1234567), "1,234,567"},
      {grouped(999), "999"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(c.text, c.want);
}

TEST(Pattern, FindsEveryCorruptedByte) {
  const struct {
    std::uint64_t size;
    std::vector<std::uint64_t> corrupted; // offsets, increasing
  } cases[] = {
      {8, {}}, {8, {0}}, {13, {12}}, {4096, {5, 6, 7, 8, 4095}}, {65536, {4096, 40000}},
  };
  for (const auto &c : cases) {
    const PatternKey key{4, c.size, 7};
    std::vector<unsigned char> message(c.size);
    fill_pattern(message.data(), key);
    for (const std::uint64_t offset : c.corrupted)
      message[offset] ^= 0x01;
    const PatternCheck check = check_pattern(message.data(), key);
    EXPECT_EQ(check.differing_bytes, c.corrupted.size()) << c.size;
    if (!c.corrupted.empty()) {
      EXPECT_EQ(check.first_offset, c.corrupted.front()) << c.size;
    }
  }
}

TEST(Pattern, DiffersByPairSizeAndMessage) {
  const PatternKey key{2, 64, 5};
  std::vector<unsigned char> message(64);
  fill_pattern(message.data(), key);
  for (const PatternKey other : {PatternKey{0, 64, 5}, PatternKey{2, 64, 6}})
    EXPECT_GT(check_pattern(message.data(), other).differing_bytes, 48u);
  std::vector<unsigned char> longer(128);
  fill_pattern(longer.data(), PatternKey{2, 128, 5});
  EXPECT_GT(check_pattern(longer.data(), key).differing_bytes, 48u);
}

} // namespace
