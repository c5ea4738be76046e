#include "rank_table.hpp"

namespace pairdot_check {

namespace {

// Pages may hold 8 slots per rank in use, plus 4 MiB.
std::int64_t max_paged_ranks(const RankTable &table) {
  return 8 * table.used + (std::int64_t{1} << 18);
}

// Adds pages up to rank's and moves the map's ranks they cover into them.
void add_pages(RankTable &table, std::int32_t rank) {
  while (paged_ranks(table) <= rank) {
    table.pages.push_back(std::make_unique<RankRecord[]>(std::size_t{1} << page_bits));
  }
  auto &sparse = table.sparse;
  while (!sparse.empty() && sparse.begin()->first < paged_ranks(table)) {
    paged_record(table, sparse.begin()->first) = sparse.begin()->second;
    sparse.erase(sparse.begin());
  }
}

} // namespace

RankRecord &record_for(RankTable &table, std::int32_t rank) {
  if (rank >= paged_ranks(table) && rank < max_paged_ranks(table)) {
    add_pages(table, rank);
  }
  RankRecord &record = rank < paged_ranks(table) ? paged_record(table, rank) : table.sparse[rank];
  if (!in_use(record)) {
    ++table.used;
    table.highest = std::max<std::int64_t>(table.highest, rank);
  }
  return record;
}

const RankRecord *find_record(const RankTable &table, std::int32_t rank) {
  if (rank < paged_ranks(table)) {
    const RankRecord &record = paged_record(table, rank);
    return in_use(record) ? &record : nullptr;
  }
  const auto found = table.sparse.find(rank);
  return found != table.sparse.end() ? &found->second : nullptr;
}

void prefetch_record(const RankTable &table, std::int32_t rank) {
#if defined(__GNUC__) || defined(__clang__)
  if (rank < paged_ranks(table)) {
    __builtin_prefetch(&paged_record(table, rank), 1);
  }
#else
  (void)table;
  (void)rank;
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

void set_result(RankRecord &record, std::int32_t result) {
  const auto bits = static_cast<std::uint32_t>(result);
  record.result_high = bits >> 24;
  record.result_low = bits & 0xffffff;
}

std::int32_t result_of(const RankRecord &record) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(record.result_high) << 24 |
                                   static_cast<std::uint32_t>(record.result_low));
}

} // namespace pairdot_check
