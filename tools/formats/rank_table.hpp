#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace pairdot_check {

// A line's place in the job: its number counted across all files; 0 is none.
using Location = std::uint64_t;
constexpr Location max_location = (Location{1} << 40) - 1;

// Values of a bad vector line: no valid line packs a value above 4.
constexpr std::uint16_t bad_values = 0x7fff;

// What one rank printed, in 16 bytes.
struct RankRecord {
  std::uint64_t vector_at : 40;
  std::uint64_t values : 15; // five values of 3 bits, the first lowest
  std::uint64_t result_bad : 1;
  std::uint64_t result_high : 8; // the printed result: high byte, then the rest
  std::uint64_t result_at : 40;
  std::uint64_t result_low : 24;
};

constexpr int page_bits = 12;

// Ranks from 0 up in pages of 4096, added only while they stay dense, so
// that a far rank (a hostile 2000000000) goes to the map instead. Every rank
// in the map is beyond the pages.
struct RankTable {
  std::vector<std::unique_ptr<RankRecord[]>> pages;
  std::map<std::int32_t, RankRecord> sparse;
  std::int64_t used = 0;
  std::int64_t highest = -1;
};

inline std::int64_t paged_ranks(const RankTable &table) {
  return static_cast<std::int64_t>(table.pages.size()) << page_bits;
}

inline RankRecord &paged_record(const RankTable &table, std::int64_t rank) {
  return table.pages[static_cast<std::size_t>(rank >> page_bits)]
                    [static_cast<std::size_t>(rank & ((1 << page_bits) - 1))];
}

inline bool in_use(const RankRecord &record) {
  return record.vector_at != 0 || record.result_at != 0;
}

inline bool bad_vector(const RankRecord &record) { return record.values == bad_values; }

// The rank's record, made if new; the caller puts it in use.
RankRecord &record_for(RankTable &table, std::int32_t rank);
// The rank's record if in use, else nullptr.
const RankRecord *find_record(const RankTable &table, std::int32_t rank);
// Starts loading the rank's record into cache.
void prefetch_record(const RankTable &table, std::int32_t rank);

int dot(const RankRecord &a, const RankRecord &b);
void set_result(RankRecord &record, std::int32_t result);
std::int32_t result_of(const RankRecord &record);

// Calls visit(rank, record) on every rank in use below size, in rank order.
template <class Visit>
void for_each_rank(const RankTable &table, std::int64_t size, Visit &&visit) {
  const std::int64_t paged_end = std::min(size, paged_ranks(table));
  for (std::int64_t rank = 0; rank < paged_end; ++rank) {
    const RankRecord &record = paged_record(table, rank);
    if (in_use(record)) {
      visit(static_cast<std::int32_t>(rank), record);
    }
  }
  for (auto entry = table.sparse.begin(); entry != table.sparse.end() && entry->first < size;
       ++entry) {
    visit(entry->first, entry->second);
  }
}

} // namespace pairdot_check
