// The rank table: every rank stored is found again, in rank order, also
// ranks stored beyond the dense part before it grew over them; far and
// scattered ranks keep the dense part small.

#include "rank_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

using pairdot_check::RankRecord;
using pairdot_check::RankTable;

std::vector<std::int32_t> shuffled_with_repeats(std::int32_t count) {
  std::mt19937 random(5);
  std::vector<std::int32_t> ranks;
  ranks.reserve(2 * static_cast<std::size_t>(count) + 3);
  for (std::int32_t rank = 0; rank < count; ++rank) {
    ranks.push_back(rank % 5 ? rank : count - 1);
  }
  std::shuffle(ranks.begin(), ranks.end(), random);
  const std::vector<std::int32_t> once = ranks;
  ranks.insert(ranks.end(), once.begin(), once.end()); // again, once the table is grown
  ranks.insert(ranks.begin(), {2000000000, 1 << 20, 7});
  return ranks;
}

std::vector<std::int32_t> scattered_from_the_top(std::int32_t count) {
  std::vector<std::int32_t> ranks;
  ranks.reserve(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) {
    ranks.push_back(2147483647 - i * 21474);
  }
  std::shuffle(ranks.begin(), ranks.end(), std::mt19937(6));
  return ranks;
}

TEST(RankTable, FindsEveryRankInOrderInBoundedMemory) {
  const std::vector<std::vector<std::int32_t>> cases = {
      shuffled_with_repeats(300000),
      scattered_from_the_top(100000),
      {0, 2147483647},
      {0, 1, 2, 2000000000},
      {5, 4, 3, 2, 1, 0},
  };
  for (const auto &ranks : cases) {
    RankTable table;
    for (std::int32_t rank : ranks) { // each with its rank + 1 as location
      RankRecord &record = pairdot_check::record_for(table, rank);
      ASSERT_TRUE(record.vector_at == 0 || record.vector_at == std::uint64_t(rank) + 1) << rank;
      record.vector_at = std::uint64_t(rank) + 1;
    }
    std::vector<std::int32_t> walked;
    pairdot_check::for_each_rank(table, table.highest + 1,
                                 [&](std::int32_t rank, const RankRecord &record) {
                                   EXPECT_EQ(record.vector_at, std::uint64_t(rank) + 1);
                                   EXPECT_EQ(pairdot_check::find_record(table, rank), &record);
                                   walked.push_back(rank);
                                 });
    std::vector<std::int32_t> expected = ranks;
    std::sort(expected.begin(), expected.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    EXPECT_EQ(walked, expected);
    EXPECT_EQ(table.highest, expected.back());
    std::int32_t absent = 0;
    while (std::binary_search(expected.begin(), expected.end(), absent)) {
      ++absent;
    }
    for (std::int32_t rank : {absent, 2000000001}) {
      EXPECT_EQ(pairdot_check::find_record(table, rank), nullptr) << rank;
    }
    // At most 8 slots a rank in use, past the first 4 MiB.
    EXPECT_LE(pairdot_check::paged_ranks(table), 8 * expected.size() + (1 << 18)) << ranks.size();
  }
}

} // namespace
