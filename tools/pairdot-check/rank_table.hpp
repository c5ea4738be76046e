#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

namespace pairdot_check {

// A line's place in the job: its number counted across all files; 0 is none.
using Location = std::uint64_t;
constexpr Location max_location = (Location{1} << 40) - 1;

// What one rank printed, in 16 bytes.
struct RankRecord {
  std::uint64_t vector_at : 40;
  std::uint64_t values : 15; // five values of 3 bits, the first lowest
  std::uint64_t vector_bad : 1;
  std::uint64_t result_bad : 1;
  std::uint64_t result_at : 40;
  std::uint64_t result : 8; // big_result: the value is in RankTable::big_results
};

// Ranks in pages indexed by rank; pages are made only while they stay dense,
// so far-away ranks (a hostile 2000000000) go to a map instead.
struct HugeBlockFree {
  void operator()(void *block) const;
};

struct RankTable {
  std::vector<RankRecord *> pages;
  std::unique_ptr<RankRecord[]> first_page;
  std::vector<std::unique_ptr<void, HugeBlockFree>> blocks; // hold later pages
  std::size_t block_free = 0;                               // pages left in the last block
  std::unordered_map<std::int32_t, RankRecord> far;
  std::unordered_map<std::int32_t, std::int32_t> big_results;
  std::int64_t page_count = 0;
  std::int64_t used = 0;
  std::int64_t highest = -1;
};

bool in_use(const RankRecord &record);

// The rank's record, made if new.
RankRecord &record_for(RankTable &table, std::int32_t rank);
// Starts loading the rank's record into cache, if it has a page.
void prefetch_record(const RankTable &table, std::int32_t rank);

int dot(const RankRecord &a, const RankRecord &b);
void set_result(RankTable &table, RankRecord &record, std::int32_t rank, std::int32_t result);
std::int32_t result_of(const RankTable &table, const RankRecord &record, std::int32_t rank);

// Calls visit on every rank in use below size, in rank order.
void for_each_rank(RankTable &table, std::int64_t size,
                   const std::function<void(std::int32_t, const RankRecord &)> &visit);

} // namespace pairdot_check
