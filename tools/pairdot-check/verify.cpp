#include "verify.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace pairdot_check {

namespace {

constexpr int page_bits = 14;
constexpr std::int64_t page_size = std::int64_t{1} << page_bits;
constexpr int line_bits = 44;
constexpr std::uint64_t max_line = (std::uint64_t{1} << line_bits) - 1;
constexpr std::uint64_t max_file = (std::uint64_t{1} << (64 - line_bits)) - 1;

constexpr std::uint8_t vector_bad = 1;
constexpr std::uint8_t result_bad = 2;

std::uint64_t pack(std::uint32_t file, std::uint64_t line) {
  return (std::min<std::uint64_t>(file, max_file) << line_bits) | std::min(line, max_line);
}

std::string where(const JobCheck &job, std::uint64_t at) {
  const std::uint64_t file = at >> line_bits;
  const std::string &name = file < job.files.size() ? job.files[file] : job.files.back();
  return name + ":" + std::to_string(at & max_line);
}

// Counts a problem; true when its message is still to be listed.
bool count_problem(JobCheck &job) {
  ++job.problems;
  return job.listed.size() < job.options.max_listed;
}

void list_problem(JobCheck &job, std::uint64_t at, const std::string &what) {
  job.listed.push_back((at ? where(job, at) : std::string("pairdot-check")) + ": " + what);
}

// Counts a problem; builds its message only while listing.
template <class Text> void add_problem(JobCheck &job, std::uint64_t at, Text &&text) {
  if (count_problem(job)) {
    list_problem(job, at, text());
  }
}

std::string rank_text(std::int64_t rank) { return "rank " + std::to_string(rank); }

bool in_use(const RankRecord &record) {
  return record.vector_at != 0 || record.result_at != 0 || record.flags != 0;
}

// Dense pages may cover a few times the ranks in use, plus one page.
bool may_be_paged(const RankTable &table, std::int64_t rank) {
  return rank < 4 * static_cast<std::int64_t>(table.used) + page_size;
}

RankRecord &page_slot(RankTable &table, std::int64_t rank) {
  auto &page = table.pages[rank >> page_bits];
  if (!page) {
    page = std::make_unique<RankRecord[]>(page_size);
  }
  return page[rank & (page_size - 1)];
}

RankRecord &paged_record(RankTable &table, std::int64_t rank) {
  RankRecord &record = page_slot(table, rank);
  if (!in_use(record) && !table.far.empty()) {
    // A rank stored far before the pages reached it moves in now.
    auto found = table.far.find(static_cast<std::int32_t>(rank));
    if (found != table.far.end()) {
      record = found->second;
      table.far.erase(found);
    }
  }
  return record;
}

RankRecord &record_for(RankTable &table, std::int32_t rank) {
  const std::size_t page = static_cast<std::size_t>(rank) >> page_bits;
  if (page >= table.pages.size() && may_be_paged(table, rank)) {
    table.pages.resize(page + 1);
  }
  RankRecord *record = nullptr;
  if (page < table.pages.size()) {
    record = &paged_record(table, rank);
  } else {
    record = &table.far[rank];
  }
  if (!in_use(*record)) {
    ++table.used;
    table.highest = std::max<std::int64_t>(table.highest, rank);
  }
  return *record;
}

const RankRecord *find_record(const RankTable &table, std::int64_t rank) {
  const std::size_t page = static_cast<std::size_t>(rank >> page_bits);
  if (page < table.pages.size() && table.pages[page]) {
    const RankRecord &record = table.pages[page][rank & (page_size - 1)];
    if (in_use(record)) {
      return &record;
    }
  }
  auto found = table.far.find(static_cast<std::int32_t>(rank));
  return found == table.far.end() ? nullptr : &found->second;
}

void note_repeat(std::unordered_map<std::int32_t, Repeats> &repeats, std::int32_t rank,
                 std::uint64_t at) {
  Repeats &repeat = repeats[rank];
  if (repeat.count == 0) {
    repeat.count = 1;
    repeat.second_at = at;
  }
  ++repeat.count;
}

// Rank of a line against its tag and --np; reports and returns false if off.
bool rank_allowed(JobCheck &job, std::uint64_t at, std::int64_t tag_rank, std::int32_t rank,
                  const char *what) {
  if (tag_rank >= 0 && tag_rank != rank) {
    add_problem(job, at, [&] {
      return "line tagged as " + rank_text(tag_rank) + " is a " + what + " of " + rank_text(rank);
    });
    return false;
  }
  if (job.options.np > 0 && rank >= job.options.np) {
    add_problem(job, at, [&] {
      return rank_text(rank) + ": " + what + " beyond --np " + std::to_string(job.options.np);
    });
    return false;
  }
  return true;
}

void take_vector(JobCheck &job, std::uint64_t at, std::int64_t tag_rank, const ParsedLine &line) {
  if (!rank_allowed(job, at, tag_rank, line.rank, "vector line")) {
    return;
  }
  const bool odd = line.rank % 2 != 0;
  if (line.kind == LineKind::vector && odd != (line.role == Role::x)) {
    add_problem(job, at, [&] {
      return rank_text(line.rank) + ": " + (odd ? "ProcessY" : "ProcessX") + " line, but " +
             (odd ? "odd ranks print ProcessX" : "even ranks print ProcessY");
    });
  }
  RankRecord &record = record_for(job.ranks, line.rank);
  if (record.vector_at != 0) {
    note_repeat(job.vector_repeats, line.rank, at);
    return;
  }
  record.vector_at = at;
  if (line.kind == LineKind::vector) {
    std::copy(line.values, line.values + vector_size, record.values);
  } else {
    record.flags |= vector_bad;
  }
}

void take_result(JobCheck &job, std::uint64_t at, std::int64_t tag_rank, const ParsedLine &line) {
  if (!rank_allowed(job, at, tag_rank, line.rank, "result line")) {
    return;
  }
  if (line.rank % 2 == 0 || line.first != line.rank - 1) {
    add_problem(job, at, [&] {
      return "result line for ranks " + std::to_string(line.first) + " ; " +
             std::to_string(line.rank) + ", which are no pair (r-1 ; r with r odd)";
    });
    return;
  }
  RankRecord &record = record_for(job.ranks, line.rank);
  if (record.result_at != 0) {
    note_repeat(job.result_repeats, line.rank, at);
    return;
  }
  record.result_at = at;
  record.result = line.result;
  if (line.kind != LineKind::result) {
    record.flags |= result_bad;
  }
}

void report_bad_line(JobCheck &job, std::uint64_t at, const SourceLine &source,
                     const ParsedLine &line) {
  if (!count_problem(job)) {
    return;
  }
  std::string what = line.rank >= 0 ? rank_text(line.rank) + ": " : std::string();
  if (line.error != std::string_view("not a pairdot line")) {
    what += line.result_form ? "bad result line (" : "bad vector line (";
    what += line.error;
    what += "): ";
  } else {
    what += "not a pairdot line: ";
  }
  list_problem(job, at, what + quote_line(source.text, source.length));
}

int dot(const RankRecord &a, const RankRecord &b) {
  int sum = 0;
  for (int i = 0; i < vector_size; ++i) {
    sum += a.values[i] * b.values[i];
  }
  return sum;
}

void check_repeats(JobCheck &job, const std::unordered_map<std::int32_t, Repeats> &repeats,
                   std::int32_t rank, const RankRecord &record, bool result) {
  auto found = repeats.find(rank);
  if (found == repeats.end()) {
    return;
  }
  const std::string count = std::to_string(found->second.count);
  const std::string first =
      " (first at " + where(job, result ? record.result_at : record.vector_at) + ")";
  std::string text;
  if (result) {
    text = rank_text(rank) + ": " + count + " result lines" + first;
  } else if (rank == 0) {
    text = "rank 0 appears " + count + " times" + first + ": were " + count +
           " one-process jobs started? (mpiexec from a different MPI library than the one "
           "pairdot was built with)";
  } else {
    text = rank_text(rank) + " appears " + count + " times" + first;
  }
  add_problem(job, found->second.second_at, [&] { return text; });
}

void check_pair(JobCheck &job, std::int32_t rank, const RankRecord &record) {
  if (rank % 2 == 0 || record.vector_at == 0) {
    return;
  }
  if (record.result_at == 0) {
    add_problem(job, record.vector_at, [&] {
      return rank_text(rank) + ": no result line for ranks " + std::to_string(rank - 1) + " ; " +
             std::to_string(rank);
    });
    return;
  }
  const RankRecord *partner = find_record(job.ranks, rank - 1);
  if (partner == nullptr || partner->vector_at == 0 ||
      ((record.flags | partner->flags) & (vector_bad | result_bad)) != 0) {
    return; // already reported as missing or bad
  }
  const int expected = dot(*partner, record);
  if (record.result != expected) {
    add_problem(job, record.result_at, [&] {
      return rank_text(rank) + ": result " + std::to_string(record.result) +
             ", but the vectors of ranks " + std::to_string(rank - 1) + " and " +
             std::to_string(rank) + " give " + std::to_string(expected);
    });
  }
}

void check_rank(JobCheck &job, std::int32_t rank, const RankRecord &record) {
  check_repeats(job, job.vector_repeats, rank, record, false);
  check_repeats(job, job.result_repeats, rank, record, true);
  check_pair(job, rank, record);
}

void report_missing(JobCheck &job, std::int64_t from, std::int64_t to) {
  if (from > to) {
    return;
  }
  if (from == to) {
    add_problem(job, 0, [&] { return rank_text(from) + " missing (no vector line)"; });
  } else {
    add_problem(job, 0, [&] {
      return "ranks " + std::to_string(from) + ".." + std::to_string(to) +
             " missing (no vector line)";
    });
  }
}

// Walks ranks 0..size-1 in order, calling check_rank on each present one and
// reporting runs of absent ones.
void walk_ranks(JobCheck &job, std::int64_t size) {
  RankTable &table = job.ranks;
  const std::int64_t paged = static_cast<std::int64_t>(table.pages.size()) << page_bits;
  std::vector<std::pair<std::int32_t, RankRecord>> far;
  for (const auto &entry : table.far) {
    if (entry.first < paged) {
      far.push_back(entry); // moves into the pages below
    }
  }
  for (const auto &entry : far) {
    table.far.erase(entry.first);
    page_slot(table, entry.first) = entry.second;
  }
  far.assign(table.far.begin(), table.far.end());
  std::sort(far.begin(), far.end(), [](const auto &a, const auto &b) { return a.first < b.first; });

  std::int64_t missing_from = 0;
  const std::int64_t paged_end = std::min(paged, size);
  for (std::int64_t rank = 0; rank < paged_end; ++rank) {
    const auto &page = table.pages[rank >> page_bits];
    if (!page) {
      rank |= page_size - 1;
      continue;
    }
    const RankRecord &record = page[rank & (page_size - 1)];
    if (record.vector_at == 0) {
      continue;
    }
    report_missing(job, missing_from, rank - 1);
    missing_from = rank + 1;
    check_rank(job, static_cast<std::int32_t>(rank), record);
  }
  for (const auto &entry : far) {
    if (entry.first >= size) {
      break;
    }
    if (entry.second.vector_at == 0) {
      continue;
    }
    report_missing(job, missing_from, entry.first - 1);
    missing_from = std::int64_t{entry.first} + 1;
    check_rank(job, entry.first, entry.second);
  }
  report_missing(job, missing_from, size - 1);
}

} // namespace

void take_line(JobCheck &job, std::uint32_t file, const SourceLine &source) {
  const std::uint64_t at = pack(file, source.line);
  if (!source.ended) {
    if (count_problem(job)) {
      list_problem(job, at,
                   "unfinished line (output cut off?): " + quote_line(source.text, source.length));
    }
    return;
  }
  if (source.length == 0) {
    return;
  }
  if (source.length > source.text.size()) {
    if (count_problem(job)) {
      list_problem(job, at,
                   "line too long (" + std::to_string(source.length) +
                       " bytes): " + quote_line(source.text, source.length));
    }
    return;
  }
  const ParsedLine line = parse_line(source.text);
  if (line.kind == LineKind::bad) {
    report_bad_line(job, at, source, line);
  }
  if (line.rank < 0) {
    return;
  }
  if (line.result_form) {
    if (line.first >= 0) {
      take_result(job, at, source.tag_rank, line);
    }
  } else {
    take_vector(job, at, source.tag_rank, line);
  }
}

CheckReport finish(JobCheck &job) {
  const std::int64_t size = job.options.np > 0 ? job.options.np : job.ranks.highest + 1;
  if (size == 0) {
    add_problem(job, 0, [&] { return "no rank printed a vector line"; });
  }
  walk_ranks(job, size);
  CheckReport report;
  report.ok = job.problems == 0;
  report.ranks = size;
  report.pairs = size / 2;
  report.problems = job.problems;
  report.listed = std::move(job.listed);
  return report;
}

} // namespace pairdot_check
