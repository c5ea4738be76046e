#include "rank_table.hpp"

#include <algorithm>
#include <cstdint>

namespace pairdot_check {

namespace {

constexpr int page_bits = rank_page_bits;
constexpr std::int64_t page_size = rank_page_size;
constexpr std::uint64_t big_result = 255;

// A zeroed page.
RankRecord *new_page(RankTable &table) {
  table.heap_pages.push_back(std::make_unique<RankRecord[]>(page_size));
  return table.heap_pages.back().get();
}

// Pages may hold a few slots per rank in use, plus a start allowance; the
// page index grows at most geometrically, so one far rank makes no big index.
bool may_add_page(const RankTable &table, std::size_t page) {
  return page < 2 * table.pages.size() + 64 &&
         (table.page_count + 1) * page_size <= 8 * table.used + 64 * page_size;
}

bool has_page(const RankTable &table, std::size_t page) {
  return page < table.pages.size() && table.pages[page];
}

RankRecord &paged_record(RankTable &table, std::int64_t rank) {
  RankRecord &record = table.pages[rank >> page_bits][rank & (page_size - 1)];
  if (!in_use(record) && !table.far.empty()) {
    // A rank stored far before its page was made moves in now.
    auto found = table.far.find(static_cast<std::int32_t>(rank));
    if (found != table.far.end()) {
      record = found->second;
      table.far.erase(found);
    }
  }
  return record;
}

// Moves map entries whose page was made after them into their page.
void move_far_into_pages(RankTable &table) {
  for (auto entry = table.far.begin(); entry != table.far.end();) {
    const std::size_t page = static_cast<std::size_t>(entry->first) >> page_bits;
    if (has_page(table, page)) {
      table.pages[page][entry->first & (page_size - 1)] = entry->second;
      entry = table.far.erase(entry);
    } else {
      ++entry;
    }
  }
}

} // namespace

RankRecord &record_for(RankTable &table, std::int32_t rank) {
  const std::size_t page = static_cast<std::size_t>(rank) >> page_bits;
  if (!has_page(table, page) && may_add_page(table, page)) {
    if (page >= table.pages.size()) {
      table.pages.resize(page + 1);
    }
    table.pages[page] = new_page(table);
    ++table.page_count;
  }
  RankRecord &record = has_page(table, page) ? paged_record(table, rank) : table.far[rank];
  if (!in_use(record)) {
    ++table.used;
    table.highest = std::max<std::int64_t>(table.highest, rank);
  }
  return record;
}

void prefetch_record(const RankTable &table, std::int32_t rank) {
  const std::size_t page = static_cast<std::size_t>(rank) >> page_bits;
#if defined(__GNUC__) || defined(__clang__)
  if (has_page(table, page)) {
    __builtin_prefetch(&table.pages[page][rank & (page_size - 1)], 1);
  }
#else
  (void)table;
  (void)page;
#endif
}

int dot(const RankRecord &a, const RankRecord &b) {
  int sum = 0;
  for (int i = 0; i < 5; ++i) {
    sum +=
        static_cast<int>((a.values >> (3 * i)) & 7) * static_cast<int>((b.values >> (3 * i)) & 7);
  }
  return sum;
}

void set_result(RankTable &table, RankRecord &record, std::int32_t rank, std::int32_t result) {
  if (result >= 0 && static_cast<std::uint64_t>(result) < big_result) {
    record.result = static_cast<std::uint64_t>(result);
  } else {
    record.result = big_result;
    table.big_results[rank] = result;
  }
}

std::int32_t result_of(const RankTable &table, const RankRecord &record, std::int32_t rank) {
  return record.result == big_result ? table.big_results.at(rank)
                                     : static_cast<std::int32_t>(record.result);
}

std::vector<std::pair<std::int32_t, RankRecord>> settle_far(RankTable &table) {
  move_far_into_pages(table);
  std::vector<std::pair<std::int32_t, RankRecord>> far(table.far.begin(), table.far.end());
  std::sort(far.begin(), far.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
  return far;
}

} // namespace pairdot_check
