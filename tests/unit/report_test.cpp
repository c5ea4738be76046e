#include "flush_all.hpp"
#include "report.hpp"
#include "seed.hpp"
#include "vector.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using pairdot::veclen;

TEST(Seed, IsClockMinusTwiceRankInLow32Bits) {
  const struct {
    std::int64_t now;
    int rank;
    unsigned seed;
  } cases[] = {
      {1000, 0, 1000U},
      {1000, 3, 994U},
      {1, 1, 0xFFFFFFFFU},                  // clock below 2*rank wraps
      {0, 5, 0xFFFFFFF6U},                  //
      {(std::int64_t{1} << 32) + 7, 2, 3U}, // clock above 2^32 keeps low bits
      {(std::int64_t{5} << 33) + 100, 0, 100U},
      {1700000000, 0x40000000, 3847483648U}, // 2*rank wraps to INT_MIN
      {1700000000, 0x7FFFFFFF, 1700000002U},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(pairdot::seed_for(c.now, c.rank), c.seed) << c.now << " " << c.rank;
  }
}

// Runs one report function with standard output captured.
template <typename Print> std::string captured(Print print) {
  testing::internal::CaptureStdout();
  print();
  return testing::internal::GetCapturedStdout();
}

TEST(VectorLine, PrintsHeaderAndTheStoredDrawsInOrder) {
  const struct {
    const char *header;
    int rank;
    const char *prefix;
  } cases[] = {
      {pairdot::y_header, 0, "\nProcessY 0 : \t\t"},
      {pairdot::x_header, 1, "\nProcessX 1 : \t\t"},
      {pairdot::y_header, 2147483646, "\nProcessY 2147483646 : \t\t"},
  };
  // The line shows the draws the vector keeps, and a seed gives the same draws.
  for (const auto &c : cases) {
    for (const unsigned seed : {1U, 42U, 0xFFFFFFFFU}) {
      int vec[veclen] = {-1, -1, -1, -1, -1};
      std::srand(seed);
      const std::string line = captured([&] { pairdot::print_vector_line(c.header, c.rank, vec); });
      std::string stored;
      for (const int v : vec) {
        EXPECT_TRUE(v >= 0 && v <= 4) << v;
        stored += std::to_string(v) + " ";
      }
      EXPECT_EQ(line, c.prefix + stored + "\n");
      std::srand(seed);
      EXPECT_EQ(captured([&] { pairdot::print_vector_line(c.header, c.rank, vec); }), line);
    }
  }
}

TEST(ResultLine, NamesTheEvenRankFirstAndEndsWithASpace) {
  const struct {
    int rank;
    int dot;
    const char *text;
  } cases[] = {
      {1, 19, "\n For processesXY 0 ; 1 :\t19 \n"},
      {3, 0, "\n For processesXY 2 ; 3 :\t0 \n"},
      {2147483647, 80, "\n For processesXY 2147483646 ; 2147483647 :\t80 \n"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(captured([&] { pairdot::print_result_line(c.rank, c.dot); }), c.text);
  }
}

// The size of the file as a fresh reader sees it.
long size_on_disk(const std::string &path) {
  std::FILE *in = std::fopen(path.c_str(), "rb");
  if (in == nullptr || std::fseek(in, 0, SEEK_END) != 0) {
    return -1;
  }
  const long size = std::ftell(in);
  std::fclose(in);
  return size;
}

TEST(FlushAll, WritesOutWhatAFullyBufferedStreamHolds) {
  const std::string path = testing::TempDir() + "pairdot_flush_all_test";
  std::FILE *out = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(std::setvbuf(out, nullptr, _IOFBF, 4096), 0);
  std::fputs("held\n", out);
  EXPECT_EQ(size_on_disk(path), 0);
  pairdot::flush_all();
  EXPECT_EQ(size_on_disk(path), 5);
  std::fclose(out);
  std::remove(path.c_str());
}

} // namespace
