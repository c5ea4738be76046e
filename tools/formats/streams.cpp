#include "streams.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace pairdot_check {

namespace {

constexpr std::uint64_t untagged_key = ~std::uint64_t{0};
constexpr std::uint64_t stderr_key = untagged_key - 1;
constexpr std::uint64_t open_mpi_key = std::uint64_t{1} << 63;

enum class Match : std::uint8_t { no, partial, yes }; // partial: the bytes end first

// Reads a number as %d prints a rank at q, ten digits at most; q moves past
// its digits.
Match read_rank(const char *&q, const char *end, std::uint64_t &value) {
  const char *const start = q;
  const char *const stop = end - start > 11 ? start + 11 : end;
  const char *at = start; // q and value set once: through them, each digit would wait on memory
  std::uint64_t number = 0;
  for (unsigned digit = 0; at < stop && (digit = static_cast<unsigned>(*at - '0')) <= 9; ++at) {
    number = number * 10 + digit;
  }
  q = at;
  value = number;
  if (number > 0x7fffffff || (at - start > 1 && *start == '0')) {
    return Match::no;
  }
  return at == end ? Match::partial : at == start ? Match::no : Match::yes;
}

// Reads text at q; q moves past it.
template <std::size_t size>
Match read_text(const char *&q, const char *end, const char (&text)[size]) {
  constexpr std::size_t length = size - 1; // no NUL
  const auto left = static_cast<std::size_t>(end - q);
  if (left < length) {
    return std::memcmp(q, text, left) == 0 ? Match::partial : Match::no;
  }
  if (std::memcmp(q, text, length) != 0) {
    return Match::no;
  }
  q += length;
  return Match::yes;
}

struct Tag {
  Match match = Match::no;
  std::size_t length = 0;
  std::uint64_t key = 0; // the stream
};

// A tag at p: srun --label's "%*d: " (the rank right-aligned), MPICH's
// "[rank] ", Open MPI's "[jobid,rank]<stdout>:" or its <stderr>, whose
// lines are dropped.
Tag match_tag(const char *p, std::size_t n) {
  const char *const end = p + n;
  const char *q = p;
  std::uint64_t first = 0;
  std::uint64_t second = 0;
  const auto tag = [&](Match match, std::uint64_t key) {
    return match == Match::yes ? Tag{match, static_cast<std::size_t>(q - p), key} : Tag{match};
  };
  if (*p != '[') {
    while (q < end && q - p < 20 && *q == ' ') {
      ++q;
    }
    const Match number = read_rank(q, end, first);
    return tag(number == Match::yes ? read_text(q, end, ": ") : number, first);
  }
  ++q;
  if (const Match number = read_rank(q, end, first); number != Match::yes) {
    return {number};
  }
  if (*q != ',') {
    return tag(read_text(q, end, "] "), first);
  }
  ++q;
  if (const Match number = read_rank(q, end, second); number != Match::yes) {
    return {number};
  }
  const char *const ranks_end = q;
  if (const Match out = read_text(q, end, "]<stdout>:"); out != Match::no) {
    return tag(out, open_mpi_key | first << 32 | second);
  }
  q = ranks_end;
  return tag(read_text(q, end, "]<stderr>:"), stderr_key);
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

// Checks a line of stream key; a CR before its newline is not part of it.
void emit(JobCheck &job, const FileStreams &streams, std::uint64_t key, SourceLine source,
          char last) {
  if (source.ended && source.length > 0 && last == '\r') {
    --source.length;
    source.text = source.text.substr(0, std::min<std::uint64_t>(source.text.size(), source.length));
  }
  source.tag_rank = key == untagged_key ? -1 : static_cast<std::int64_t>(key & 0xffffffff);
  take_line(job, streams.file, source);
}

void emit_pending(JobCheck &job, const FileStreams &streams, std::uint64_t key,
                  const PendingLine &pending, bool ended) {
  emit(job, streams, key, {{pending.bytes, pending.kept}, pending.length, pending.line, -1, ended},
       pending.last);
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
  const auto found = streams.parked.empty() ? streams.parked.end() : streams.parked.find(key);
  if (found != streams.parked.end()) {
    streams.active = found->second;
    streams.parked.erase(found);
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
  if (streams.key != stderr_key && streams.active.length > 0) {
    add_bytes(streams, p, n);
    emit_pending(job, streams, streams.key, streams.active, true);
    streams.active.length = 0;
    streams.active.kept = 0;
  } else if (streams.key != stderr_key && n > 0) {
    emit(job, streams, streams.key, {{p, std::min(n, kept_bytes)}, n, streams.line, -1, true},
         p[n - 1]);
  }
  ++streams.line;
  streams.at_line_start = true;
}

// Switches to the stream of a whole tag; false if it is none.
bool take_whole_tag(JobCheck &job, FileStreams &streams, const Tag &tag) {
  if (tag.match == Match::yes) {
    streams.tagged_line = true;
    switch_stream(job, streams, tag.key);
  }
  return tag.match == Match::yes;
}

// At a possible tag: switch streams on a tag, keep a tag cut off by the end
// of the block; else the byte is data (or, at the start of a file line, the
// line is untagged).
const char *take_tag(JobCheck &job, FileStreams &streams, const char *p, const char *end) {
  const Tag tag = match_tag(p, static_cast<std::size_t>(end - p));
  if (take_whole_tag(job, streams, tag)) {
    return p + tag.length;
  }
  if (tag.match == Match::partial) {
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
  const Tag tag = match_tag(streams.cut_tag, had + add);
  if (tag.match == Match::partial) {
    streams.cut_tag_size = had + add;
    return end;
  }
  streams.cut_tag_size = 0;
  if (take_whole_tag(job, streams, tag)) {
    return p + (tag.length - had);
  }
  add_bytes(streams, streams.cut_tag, had);
  return p;
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
    const auto *newline = *p == '\n' ? p : static_cast<const char *>(std::memchr(p, '\n', end - p));
    const char *stop = newline ? newline : end;
    // In a tagged line, a tag may switch streams anywhere.
    while (streams.tagged_line && p < stop) {
      const auto *bracket = static_cast<const char *>(std::memchr(p, '[', stop - p));
      if (bracket == nullptr) {
        break;
      }
      add_bytes(streams, p, static_cast<std::size_t>(bracket - p));
      p = take_tag(job, streams, bracket, end);
      if (streams.cut_tag_size > 0) {
        return;
      }
    }
    if (newline == nullptr) {
      add_bytes(streams, p, static_cast<std::size_t>(end - p));
      return;
    }
    end_line(job, streams, p, static_cast<std::size_t>(newline - p));
    p = newline + 1;
  }
}

void close_file(JobCheck &job, FileStreams &streams) {
  add_bytes(streams, streams.cut_tag, streams.cut_tag_size);
  streams.cut_tag_size = 0;
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

} // namespace pairdot_check
