#include "verify.hpp"

#include <algorithm>

namespace pairdot_check {

namespace {

std::string where(const JobCheck &job, Location at) {
  const auto next = std::upper_bound(job.file_starts.begin(), job.file_starts.end(), at - 1);
  const auto file = static_cast<std::size_t>(next - job.file_starts.begin()) - 1;
  return job.files[file] + ":" + std::to_string(at - job.file_starts[file]);
}

// Counts a problem; true when its message is still to be listed.
bool count_problem(JobCheck &job) {
  ++job.report.problems;
  return job.report.listed.size() < job.options.max_listed;
}

// Counts a problem; builds its message, text(), only while listing.
template <class Text> void add_problem(JobCheck &job, Location at, Text &&text) {
  if (count_problem(job)) {
    job.report.listed.push_back((at ? where(job, at) : std::string("pairdot-check")) + ": " +
                                text());
  }
}

std::string rank_text(std::int64_t rank) { return "rank " + std::to_string(rank); }

// A library's log line in a rank's output: a warning, listed as problems are.
void add_library_line(JobCheck &job, Location at, const SourceLine &source, LibraryLog log) {
  if (job.report.library_lines++ >= job.options.max_listed) {
    return;
  }
  job.report.warnings.push_back(where(job, at) + ": " +
                                (source.tag_rank >= 0 ? rank_text(source.tag_rank) + ": " : "") +
                                library_line_text(log, source.text, source.length));
}

void note_repeat(std::unordered_map<std::int32_t, Repeats> &repeats, std::int32_t rank,
                 Location at) {
  Repeats &repeat = repeats[rank];
  if (repeat.count == 0) {
    repeat.count = 1;
    repeat.second_at = at;
  }
  ++repeat.count;
}

// Rank of a line against its tag and --np; reports and returns false if off.
bool rank_allowed(JobCheck &job, const QueuedLine &queued, const char *what) {
  const std::int32_t rank = queued.line.rank;
  if (queued.tag_rank >= 0 && queued.tag_rank != rank) {
    add_problem(job, queued.at, [&] {
      return "line tagged as " + rank_text(queued.tag_rank) + " is a " + what + " of " +
             rank_text(rank);
    });
    return false;
  }
  if (job.options.np > 0 && rank >= job.options.np) {
    add_problem(job, queued.at, [&] {
      return rank_text(rank) + ": " + what + " beyond --np " + std::to_string(job.options.np);
    });
    return false;
  }
  return true;
}

void take_vector(JobCheck &job, const QueuedLine &queued) {
  const ParsedLine &line = queued.line;
  if (!rank_allowed(job, queued, "vector line")) {
    return;
  }
  const bool odd = line.rank % 2 != 0;
  if (line.kind == LineKind::vector && odd != (line.role == Role::x)) {
    add_problem(job, queued.at, [&] {
      return rank_text(line.rank) + ": " + (odd ? "ProcessY" : "ProcessX") + " line, but " +
             (odd ? "odd ranks print ProcessX" : "even ranks print ProcessY");
    });
  }
  RankRecord &record = record_for(job.ranks, line.rank);
  if (record.vector_at != 0) {
    note_repeat(job.vector_repeats, line.rank, queued.at);
    return;
  }
  record.vector_at = queued.at;
  record.values = line.kind == LineKind::vector ? line.values : bad_values;
}

void take_result(JobCheck &job, const QueuedLine &queued) {
  const ParsedLine &line = queued.line;
  if (!rank_allowed(job, queued, "result line")) {
    return;
  }
  if (line.rank % 2 == 0 || line.first != line.rank - 1) {
    add_problem(job, queued.at, [&] {
      return "result line for ranks " + std::to_string(line.first) + " ; " +
             std::to_string(line.rank) + ", which are no pair (r-1 ; r with r odd)";
    });
    return;
  }
  RankRecord &record = record_for(job.ranks, line.rank);
  if (record.result_at != 0) {
    note_repeat(job.result_repeats, line.rank, queued.at);
    return;
  }
  record.result_at = queued.at;
  set_result(record, line.result);
  record.result_bad = line.kind != LineKind::result;
}

void take_queued(JobCheck &job) {
  for (std::size_t i = 0; i < job.queued; ++i) {
    const QueuedLine &queued = job.queue[i];
    if (queued.line.result_form) {
      take_result(job, queued);
    } else {
      take_vector(job, queued);
    }
  }
  job.queued = 0;
}

std::string bad_line_text(const SourceLine &source, const ParsedLine &line) {
  std::string what = line.rank >= 0 ? rank_text(line.rank) + ": " : std::string();
  if (line.kind == LineKind::unknown) {
    what += "not a pairdot line: ";
  } else {
    what += line.result_form ? "bad result line (" : "bad vector line (";
    what += line.error;
    what += "): ";
  }
  return what + quote_line(source.text, source.length);
}

void check_repeats(JobCheck &job, const std::unordered_map<std::int32_t, Repeats> &repeats,
                   std::int32_t rank, Location first_at, bool result) {
  const auto found = repeats.find(rank);
  if (found == repeats.end()) {
    return;
  }
  if (!result && rank == 0) {
    job.report.one_process_jobs = true;
  }
  add_problem(job, found->second.second_at, [&] {
    const std::string count = std::to_string(found->second.count);
    const std::string first = " (first at " + where(job, first_at) + ")";
    if (result) {
      return rank_text(rank) + ": " + count + " result lines" + first;
    }
    if (rank == 0) {
      return "rank 0 appears " + count + " times" + first + ": were " + count +
             " one-process jobs started? (mpiexec from a different MPI library than the one "
             "pairdot was built with)";
    }
    return rank_text(rank) + " appears " + count + " times" + first;
  });
}

// Checks the pair that odd rank closes; partner is rank - 1's record or nullptr.
void check_pair(JobCheck &job, std::int32_t rank, const RankRecord &record,
                const RankRecord *partner) {
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
  if (partner == nullptr || partner->vector_at == 0 || bad_vector(*partner) || bad_vector(record) ||
      record.result_bad) {
    return; // already reported as missing or bad
  }
  const int expected = dot(*partner, record);
  const std::int32_t result = result_of(record);
  if (result != expected) {
    add_problem(job, record.result_at, [&] {
      return rank_text(rank) + ": result " + std::to_string(result) +
             ", but the vectors of ranks " + std::to_string(rank - 1) + " and " +
             std::to_string(rank) + " give " + std::to_string(expected);
    });
  }
}

void report_missing(JobCheck &job, std::int64_t from, std::int64_t to) {
  if (from > to) {
    return;
  }
  add_problem(job, 0, [&] {
    return (from == to ? rank_text(from)
                       : "ranks " + std::to_string(from) + ".." + std::to_string(to)) +
           " missing (no vector line)";
  });
}

// Walks ranks 0..size-1, checking each present one and reporting runs of
// absent ones.
void check_ranks(JobCheck &job, std::int64_t size) {
  std::int64_t missing_from = 0;
  std::int64_t last_rank = -1;
  const RankRecord *last = nullptr;
  for_each_rank(job.ranks, size, [&](std::int32_t rank, const RankRecord &record) {
    if (record.vector_at != 0) {
      report_missing(job, missing_from, rank - 1);
      missing_from = std::int64_t{rank} + 1;
    }
    if (!job.vector_repeats.empty() || !job.result_repeats.empty()) {
      check_repeats(job, job.vector_repeats, rank, record.vector_at, false);
      check_repeats(job, job.result_repeats, rank, record.result_at, true);
    }
    check_pair(job, rank, record, last_rank == rank - 1 ? last : nullptr);
    last_rank = rank;
    last = &record;
  });
  report_missing(job, missing_from, size - 1);
}

std::string repeat_problem(const JobCheck &job, std::int32_t rank) {
  for (const auto *repeats : {&job.vector_repeats, &job.result_repeats}) {
    const auto found = repeats->find(rank);
    if (found != repeats->end()) {
      return rank_text(rank) + " printed " +
             (repeats == &job.vector_repeats ? "its vector " : "its result ") +
             std::to_string(found->second.count) + " times";
    }
  }
  return {};
}

// What is wrong with the pair whose records are even and odd (null: absent).
std::string pair_problem(const JobCheck &job, std::int32_t rank, const RankRecord *even,
                         const RankRecord *odd) {
  if (even == nullptr || even->vector_at == 0) {
    return "no vector line from " + rank_text(rank);
  }
  if (odd == nullptr || odd->vector_at == 0) {
    return "no vector line from " + rank_text(rank + 1);
  }
  if (bad_vector(*even) || bad_vector(*odd)) {
    return "bad vector line from " + rank_text(bad_vector(*even) ? rank : rank + 1);
  }
  if (odd->result_at == 0) {
    return "no result";
  }
  if (odd->result_bad) {
    return "bad result line";
  }
  const int expected = dot(*even, *odd);
  if (result_of(*odd) != expected) {
    return "result " + std::to_string(result_of(*odd)) + ", but the vectors give " +
           std::to_string(expected);
  }
  std::string repeated = repeat_problem(job, rank);
  return repeated.empty() ? repeat_problem(job, rank + 1) : repeated;
}

} // namespace

void take_line(JobCheck &job, std::uint32_t file, const SourceLine &source) {
  const Location at = std::min(job.file_starts[file] + source.line, max_location);
  if (!source.ended) {
    add_problem(job, at, [&] {
      return "unfinished line (output cut off?): " + quote_line(source.text, source.length);
    });
    return;
  }
  if (source.length == 0) {
    return;
  }
  if (const LibraryLog log = library_log_of(source.text); log != LibraryLog::none) {
    add_library_line(job, at, source, log);
    return;
  }
  if (source.length > source.text.size()) {
    add_problem(job, at, [&] {
      return "line too long (" + std::to_string(source.length) +
             " bytes): " + quote_line(source.text, source.length);
    });
    return;
  }
  QueuedLine &queued = job.queue[job.queued];
  queued.line = ParsedLine{};
  const ParsedLine &line = queued.line;
  parse_line(source.text, queued.line);
  if (line.kind == LineKind::bad || line.kind == LineKind::unknown) {
    add_problem(job, at, [&] { return bad_line_text(source, line); });
  }
  if (line.rank < 0 || (line.result_form && line.first < 0)) {
    return;
  }
  // Records are taken a batch later, so that fetching them overlaps.
  prefetch_record(job.ranks, line.rank);
  queued.at = at;
  queued.tag_rank = source.tag_rank;
  if (++job.queued == job.queue.size()) {
    take_queued(job);
  }
}

CheckReport finish(JobCheck &job) {
  take_queued(job);
  const std::int64_t size = job.options.np > 0 ? job.options.np : job.ranks.highest + 1;
  if (size == 0) {
    add_problem(job, 0, [&] { return "no rank printed a vector line"; });
  }
  check_ranks(job, size);
  CheckReport report = std::move(job.report);
  report.ok = report.problems == 0;
  report.ranks = size;
  report.pairs = size / 2;
  return report;
}

std::vector<PairVerdict> pair_verdicts(const JobCheck &job, std::int64_t size) {
  std::vector<PairVerdict> verdicts;
  for (std::int64_t even = 0; even + 1 < size; even += 2) {
    const auto rank = static_cast<std::int32_t>(even);
    std::string problem =
        pair_problem(job, rank, find_record(job.ranks, rank), find_record(job.ranks, rank + 1));
    verdicts.push_back({rank, problem.empty(), std::move(problem)});
  }
  return verdicts;
}

} // namespace pairdot_check
