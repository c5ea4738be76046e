#include "streams.hpp"

#include <algorithm>
#include <cstring>

namespace pairdot_check {

namespace {

constexpr std::uint64_t untagged_key = ~std::uint64_t{0};
constexpr std::uint64_t stderr_key = untagged_key - 1;
constexpr std::uint64_t open_mpi_key = std::uint64_t{1} << 63;

enum class TagScan { partial, tag, not_tag };

struct TagMatch {
  TagScan scan = TagScan::not_tag;
  std::size_t length = 0;
  std::uint64_t key = 0;
};

// Reads a tag's number as %d prints a rank; partial if the bytes run out.
TagScan read_tag_number(const char *p, std::size_t n, std::size_t &pos, std::uint64_t &out) {
  const std::size_t start = pos;
  std::size_t at = pos;
  std::uint64_t value = 0;
  while (at < n && p[at] >= '0' && p[at] <= '9') {
    value = value * 10 + static_cast<std::uint64_t>(p[at] - '0');
    if (value > 0x7fffffff || (at > start && p[start] == '0')) {
      return TagScan::not_tag;
    }
    ++at;
  }
  pos = at;
  out = value;
  if (at == n) {
    return TagScan::partial;
  }
  return at == start ? TagScan::not_tag : TagScan::tag;
}

// Compares p against the start of text; partial if p ends first.
TagScan match_text(const char *p, std::size_t n, std::string_view text) {
  const std::size_t common = std::min(n, text.size());
  if (std::memcmp(p, text.data(), common) != 0) {
    return TagScan::not_tag;
  }
  return common < text.size() ? TagScan::partial : TagScan::tag;
}

// Open MPI's "]<stdout>:" or "]<stderr>:" after "[jobid,rank".
TagMatch match_open_mpi_end(const char *p, std::size_t n, std::size_t pos, std::uint64_t job,
                            std::uint64_t rank) {
  const TagScan out = match_text(p + pos, n - pos, "]<stdout>:");
  if (out == TagScan::tag) {
    return {TagScan::tag, pos + 10, open_mpi_key | (job << 32) | rank};
  }
  const TagScan err = match_text(p + pos, n - pos, "]<stderr>:");
  if (err == TagScan::tag) {
    return {TagScan::tag, pos + 10, stderr_key};
  }
  const bool partial = out == TagScan::partial || err == TagScan::partial;
  return {partial ? TagScan::partial : TagScan::not_tag, 0, 0};
}

// srun --label's "%*d: " at a line's start: the rank right-aligned to the
// width of the highest task number.
TagMatch match_srun_label(const char *p, std::size_t n) {
  std::size_t pos = 0;
  while (pos < n && pos < max_tag_bytes / 2 && p[pos] == ' ') {
    ++pos;
  }
  if (pos == n) {
    return {TagScan::partial, 0, 0};
  }
  std::uint64_t rank = 0;
  const TagScan scan = read_tag_number(p, n, pos, rank);
  if (scan != TagScan::tag) {
    return {scan, 0, 0};
  }
  const TagScan end = match_text(p + pos, n - pos, ": ");
  return end == TagScan::tag ? TagMatch{TagScan::tag, pos + 2, rank} : TagMatch{end, 0, 0};
}

// A tag at p: MPICH "[rank] ", Open MPI "[jobid,rank]<stdout>:", or (at a
// line's start only) srun's label.
TagMatch match_tag(const char *p, std::size_t n) {
  if (p[0] != '[') {
    return match_srun_label(p, n);
  }
  std::size_t pos = 1;
  std::uint64_t first = 0;
  TagScan scan = read_tag_number(p, n, pos, first);
  if (scan != TagScan::tag) {
    return {scan, 0, 0};
  }
  if (p[pos] == ']') {
    if (pos + 1 == n) {
      return {TagScan::partial, 0, 0};
    }
    return p[pos + 1] == ' ' ? TagMatch{TagScan::tag, pos + 2, first} : TagMatch{};
  }
  if (p[pos] != ',') {
    return {};
  }
  ++pos;
  std::uint64_t second = 0;
  scan = read_tag_number(p, n, pos, second);
  if (scan != TagScan::tag) {
    return {scan, 0, 0};
  }
  return match_open_mpi_end(p, n, pos, first, second);
}

void append(PendingLine &pending, const char *p, std::size_t n, std::uint64_t line) {
  if (pending.length == 0) {
    pending.line = line;
  }
  const std::size_t take = std::min(n, kept_bytes - pending.kept);
  std::memcpy(pending.bytes + pending.kept, p, take);
  pending.kept = static_cast<std::uint8_t>(pending.kept + take);
  pending.length += n;
  pending.last = p[n - 1];
}

std::int64_t tag_rank(std::uint64_t key) {
  return key == untagged_key ? -1 : static_cast<std::int64_t>(key & 0xffffffff);
}

void emit(JobCheck &job, const FileStreams &streams, std::uint64_t key, const char *text,
          std::size_t kept, char last, std::uint64_t length, std::uint64_t line, bool ended) {
  if (ended && length > 0 && last == '\r') {
    --length; // CRLF line end
    kept = std::min<std::size_t>(kept, length);
  }
  SourceLine source;
  source.text = std::string_view(text, std::min(kept, kept_bytes));
  source.length = length;
  source.line = line;
  source.tag_rank = tag_rank(key);
  source.ended = ended;
  take_line(job, streams.file, source);
}

void emit_pending(JobCheck &job, const FileStreams &streams, std::uint64_t key,
                  const PendingLine &pending, bool ended) {
  emit(job, streams, key, pending.bytes, pending.kept, pending.last, pending.length, pending.line,
       ended);
}

// Makes key the stream taking bytes: the open line of the one before is
// parked, the new one's taken up.
void switch_stream(JobCheck &job, FileStreams &streams, std::uint64_t key) {
  if (key == streams.key) {
    return;
  }
  if (streams.active.length > 0) {
    if (streams.parked.size() < job.options.max_parked) {
      streams.parked.emplace(streams.key, streams.active);
    } else {
      emit_pending(job, streams, streams.key, streams.active, false); // given up: too many open
    }
    streams.active.length = 0;
    streams.active.kept = 0;
  }
  streams.key = key;
  if (!streams.parked.empty()) {
    auto found = streams.parked.find(key);
    if (found != streams.parked.end()) {
      streams.active = found->second;
      streams.parked.erase(found);
    }
  }
}

// Bytes of the current stream's line that do not end it.
void add_bytes(FileStreams &streams, const char *p, std::size_t n) {
  if (n > 0 && streams.key != stderr_key) {
    append(streams.active, p, n, streams.line);
  }
}

// The last bytes of the current stream's line, up to its newline.
void end_line(JobCheck &job, FileStreams &streams, const char *p, std::size_t n) {
  if (streams.key != stderr_key) {
    if (streams.active.length > 0) {
      if (n > 0) {
        append(streams.active, p, n, streams.line);
      }
      emit_pending(job, streams, streams.key, streams.active, true);
      streams.active.length = 0;
      streams.active.kept = 0;
    } else if (n > 0) {
      emit(job, streams, streams.key, p, std::min(n, kept_bytes), p[n - 1], n, streams.line, true);
    }
  }
  ++streams.line;
  streams.at_line_start = true;
}

// At a '[': switch streams on a tag; else it is data (or, at the start of a
// file line, the line is untagged).
const char *take_tag(JobCheck &job, FileStreams &streams, const char *p, const char *end) {
  const TagMatch match = match_tag(p, static_cast<std::size_t>(end - p));
  if (match.scan == TagScan::tag) {
    streams.tagged_line = true;
    switch_stream(job, streams, match.key);
    return p + match.length;
  }
  if (match.scan == TagScan::partial) {
    streams.cut_tag_size = static_cast<std::size_t>(end - p);
    std::memcpy(streams.cut_tag, p, streams.cut_tag_size);
    return end;
  }
  if (!streams.tagged_line) {
    return p;
  }
  add_bytes(streams, p, 1);
  return p + 1;
}

// Completes a tag cut off by the previous block.
const char *finish_cut_tag(JobCheck &job, FileStreams &streams, const char *p, const char *end) {
  const std::size_t had = streams.cut_tag_size;
  const std::size_t add = std::min(max_tag_bytes - had, static_cast<std::size_t>(end - p));
  std::memcpy(streams.cut_tag + had, p, add);
  const TagMatch match = match_tag(streams.cut_tag, had + add);
  if (match.scan == TagScan::partial) {
    streams.cut_tag_size = had + add;
    return end;
  }
  streams.cut_tag_size = 0;
  if (match.scan == TagScan::tag) {
    streams.tagged_line = true;
    switch_stream(job, streams, match.key);
    return p + (match.length - had);
  }
  add_bytes(streams, streams.cut_tag, had);
  return p;
}

const char *take_untagged(JobCheck &job, FileStreams &streams, const char *p, const char *end) {
  const auto *newline = static_cast<const char *>(std::memchr(p, '\n', end - p));
  if (newline == nullptr) {
    add_bytes(streams, p, static_cast<std::size_t>(end - p));
    return end;
  }
  end_line(job, streams, p, static_cast<std::size_t>(newline - p));
  return newline + 1;
}

const char *take_tagged(JobCheck &job, FileStreams &streams, const char *p, const char *end) {
  if (*p == '\n') { // the line ends right after its tag: blank, or the end of an open one
    end_line(job, streams, p, 0);
    return p + 1;
  }
  const auto *newline = static_cast<const char *>(std::memchr(p, '\n', end - p));
  const char *stop = newline ? newline : end;
  while (const auto *bracket = static_cast<const char *>(std::memchr(p, '[', stop - p))) {
    add_bytes(streams, p, static_cast<std::size_t>(bracket - p));
    p = take_tag(job, streams, bracket, end);
    if (streams.cut_tag_size > 0) {
      return end;
    }
  }
  if (newline == nullptr) {
    add_bytes(streams, p, static_cast<std::size_t>(end - p));
    return end;
  }
  end_line(job, streams, p, static_cast<std::size_t>(newline - p));
  return newline + 1;
}

} // namespace

FileStreams open_file(JobCheck &job, std::string label) {
  FileStreams streams;
  streams.file = static_cast<std::uint32_t>(job.files.size());
  streams.key = untagged_key;
  job.files.push_back(std::move(label));
  job.file_starts.push_back(job.lines_before);
  return streams;
}

void feed(JobCheck &job, FileStreams &streams, const char *data, std::size_t size) {
  const char *p = data;
  const char *end = data + size;
  if (streams.cut_tag_size > 0 && p < end) {
    p = finish_cut_tag(job, streams, p, end);
  }
  while (p < end) {
    if (streams.at_line_start) {
      if (*p == '\n') { // blank untagged line
        ++streams.line;
        ++p;
        continue;
      }
      streams.at_line_start = false;
      streams.tagged_line = false;
      streams.key = untagged_key; // no open line to park: the last one just ended
      if (*p == '[' || *p == ' ' || (*p >= '0' && *p <= '9')) {
        p = take_tag(job, streams, p, end);
        continue;
      }
    }
    p = streams.tagged_line ? take_tagged(job, streams, p, end)
                            : take_untagged(job, streams, p, end);
  }
}

void close_file(JobCheck &job, FileStreams &streams) {
  if (streams.cut_tag_size > 0) {
    add_bytes(streams, streams.cut_tag, streams.cut_tag_size);
    streams.cut_tag_size = 0;
  }
  std::vector<std::pair<std::uint64_t, const PendingLine *>> unfinished;
  if (streams.active.length > 0) {
    unfinished.emplace_back(streams.key, &streams.active);
  }
  for (const auto &entry : streams.parked) {
    unfinished.emplace_back(entry.first, &entry.second);
  }
  std::sort(unfinished.begin(), unfinished.end(), [](const auto &a, const auto &b) {
    return a.second->line != b.second->line ? a.second->line < b.second->line : a.first < b.first;
  });
  for (const auto &entry : unfinished) {
    emit_pending(job, streams, entry.first, *entry.second, false);
  }
  streams.parked.clear();
  streams.active.length = 0;
  job.lines_before = std::min(job.lines_before + streams.line, max_location);
}

CheckReport check_files(const std::vector<std::pair<std::string, std::string_view>> &files,
                        const CheckOptions &options) {
  JobCheck job;
  job.options = options;
  for (const auto &file : files) {
    FileStreams streams = open_file(job, file.first);
    feed(job, streams, file.second.data(), file.second.size());
    close_file(job, streams);
  }
  return finish(job);
}

} // namespace pairdot_check
