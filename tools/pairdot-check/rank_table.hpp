#pragma once

#include <algorithm>
#include <cstdint>
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

constexpr int rank_page_bits = 12;
constexpr std::int64_t rank_page_size = std::int64_t{1} << rank_page_bits;

// Ranks in pages indexed by rank; pages are made only while they stay dense,
// so far-away ranks (a hostile 2000000000) go to a map instead.
struct RankTable {
  std::vector<RankRecord *> pages;
  std::vector<std::unique_ptr<RankRecord[]>> heap_pages;
  std::unordered_map<std::int32_t, RankRecord> far;
  std::unordered_map<std::int32_t, std::int32_t> big_results;
  std::int64_t page_count = 0;
  std::int64_t used = 0;
  std::int64_t highest = -1;
};

inline bool in_use(const RankRecord &record) {
  return record.vector_at != 0 || record.result_at != 0;
}

// The rank's record, made if new.
RankRecord &record_for(RankTable &table, std::int32_t rank);
// Starts loading the rank's record into cache, if it has a page.
void prefetch_record(const RankTable &table, std::int32_t rank);

int dot(const RankRecord &a, const RankRecord &b);
void set_result(RankTable &table, RankRecord &record, std::int32_t rank, std::int32_t result);
std::int32_t result_of(const RankTable &table, const RankRecord &record, std::int32_t rank);

// The ranks in the far map, in order, after moving those whose page was
// made later into it.
std::vector<std::pair<std::int32_t, RankRecord>> settle_far(RankTable &table);

// Calls visit(rank, record) on every rank in use below size, in rank order.
template <class Visit> void for_each_rank(RankTable &table, std::int64_t size, Visit &&visit) {
  const auto far = settle_far(table);
  auto next_far = far.begin();
  const auto visit_far_below = [&](std::int64_t end) {
    for (; next_far != far.end() && next_far->first < std::min(end, size); ++next_far) {
      visit(next_far->first, next_far->second);
    }
  };
  for (std::size_t page = 0; page < table.pages.size(); ++page) {
    const std::int64_t first = static_cast<std::int64_t>(page) << rank_page_bits;
    if (const RankRecord *records = table.pages[page]) {
      const std::int64_t end = std::min(rank_page_size, size - first);
      for (std::int64_t i = 0; i < end; ++i) {
        if (in_use(records[i])) {
          visit(static_cast<std::int32_t>(first + i), records[i]);
        }
      }
    }
    visit_far_below(first + rank_page_size);
  }
  visit_far_below(size);
}

} // namespace pairdot_check
