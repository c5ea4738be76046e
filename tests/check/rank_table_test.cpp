// The rank table: ranks stored in the map before their page existed are
// found again, the walk is in rank order, scattered ranks make no pages.

#include "rank_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

using pairdot_check::RankRecord;
using pairdot_check::RankTable;

// Stores each rank with its rank + 1 as location; checks the walk finds
// exactly those, in order, and the pages stay within their budget.
void expect_walk_finds(const std::vector<std::int32_t> &ranks) {
  RankTable table;
  for (std::int32_t rank : ranks) {
    RankRecord &record = pairdot_check::record_for(table, rank);
    EXPECT_TRUE(record.vector_at == 0 || record.vector_at == std::uint64_t(rank) + 1) << rank;
    record.vector_at = std::uint64_t(rank) + 1;
  }
  std::vector<std::int32_t> walked;
  pairdot_check::for_each_rank(table, table.highest + 1,
                               [&](std::int32_t rank, const RankRecord &r) {
                                 EXPECT_EQ(r.vector_at, std::uint64_t(rank) + 1);
                                 walked.push_back(rank);
                               });
  std::vector<std::int32_t> expected = ranks;
  std::sort(expected.begin(), expected.end());
  expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
  EXPECT_EQ(walked, expected);
  EXPECT_EQ(table.used, std::int64_t(expected.size()));
  EXPECT_LE(table.page_count * pairdot_check::rank_page_size,
            8 * table.used + 64 * pairdot_check::rank_page_size);
}

TEST(RankTable, WalksEveryRankInOrder) {
  std::mt19937 random(5);
  std::vector<std::int32_t> dense;
  dense.reserve(2 * 300000 + 3);
  for (std::int32_t rank = 0; rank < 300000; ++rank) {
    dense.push_back(rank % 5 ? rank : 299999);
  }
  std::shuffle(dense.begin(), dense.end(), random);
  const std::vector<std::int32_t> once = dense;
  dense.insert(dense.end(), once.begin(), once.end()); // again, once all pages are made
  dense.insert(dense.begin(), {2000000000, 1 << 20, 7});
  std::vector<std::int32_t> scattered;
  scattered.reserve(100000);
  for (std::int32_t i = 0; i < 100000; ++i) {
    scattered.push_back(2147483647 - i * 21474);
  }
  std::shuffle(scattered.begin(), scattered.end(), random);
  for (const auto &ranks : {dense, scattered, std::vector<std::int32_t>{0, 2147483647}}) {
    expect_walk_finds(ranks);
  }
}

TEST(RankTable, LoneFarRankMakesNoBigIndex) {
  RankTable table;
  for (std::int32_t rank : {0, 1, 2, 2000000000}) {
    pairdot_check::record_for(table, rank).vector_at = 1;
  }
  EXPECT_LT(table.pages.size(), 100u); // not 2000000000 / rank_page_size
  EXPECT_EQ(table.highest, 2000000000);
}

} // namespace
