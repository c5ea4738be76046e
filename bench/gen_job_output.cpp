// gen_job_output: writes the standard output that a pairdot job of N ranks
// could produce, with correct products, the ranks' writes interleaved as the
// launcher would forward them. The same seed gives the same bytes.
//
// Usage: gen_job_output --ranks N [--form plain|mpich-tagged|openmpi-tagged]
//                       [--chunks lines|writes] [--seed S] [--spread K]
//                       [--output FILE]
//
// --chunks lines: each rank's lines arrive whole, tagged once per line.
// --chunks writes (mpich-tagged only): as Hydra forwards unbuffered ranks,
// each read of a rank's printf writes is tagged at its start, so tags also
// appear inside lines, and other ranks' chunks may come between.

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int veclen = 5;
constexpr std::uint64_t max_ranks = 100'000'000;

enum class Form { plain, mpich_tagged, openmpi_tagged };

struct Options {
  std::uint64_t ranks = 0;
  Form form = Form::plain;
  bool split_writes = false;
  std::uint64_t seed = 1;
  std::optional<std::uint64_t> spread; // default: the job size
  std::string output;                  // empty: standard output
};

using Vector = std::array<std::uint8_t, veclen>;

// Writes first..first+count-1 of one rank's vector lines (kind 0) or result
// lines (kind 1), forwarded as one chunk.
struct Chunk {
  std::uint64_t time;
  std::uint32_t rank;
  std::uint8_t kind;
  std::uint8_t first;
  std::uint8_t count;
};

// A block's text and where each of its printf writes ends.
struct Rendered {
  std::string text;
  std::array<std::size_t, veclen + 2> ends{};
  std::uint8_t writes = 0;
};

constexpr std::uint8_t vector_writes = veclen + 2; // header, values, newline
constexpr std::uint8_t result_writes = 3;          // header, product, newline
constexpr std::uint64_t time_scale = 1024;         // time units per rank step

void print_usage() {
  std::fputs("usage: gen_job_output --ranks N [--form plain|mpich-tagged|openmpi-tagged]\n"
             "                      [--chunks lines|writes] [--seed S] [--spread K]\n"
             "                      [--output FILE]\n",
             stderr);
}

std::optional<std::uint64_t> parse_number(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

std::optional<Form> parse_form(std::string_view text) {
  if (text == "plain") {
    return Form::plain;
  }
  if (text == "mpich-tagged") {
    return Form::mpich_tagged;
  }
  if (text == "openmpi-tagged") {
    return Form::openmpi_tagged;
  }
  return std::nullopt;
}

// Applies one "--name value" pair; false if the name or value is bad.
bool apply_option(Options &opts, std::string_view name, std::string_view value) {
  if (name == "--form") {
    const auto form = parse_form(value);
    opts.form = form.value_or(Form::plain);
    return form.has_value();
  }
  if (name == "--chunks") {
    opts.split_writes = value == "writes";
    return value == "writes" || value == "lines";
  }
  if (name == "--output") {
    opts.output = std::string(value);
    return true;
  }
  const auto number = parse_number(value);
  if (!number) {
    return false;
  }
  if (name == "--ranks") {
    opts.ranks = *number;
  } else if (name == "--seed") {
    opts.seed = *number;
  } else if (name == "--spread") {
    opts.spread = *number;
  } else {
    return false;
  }
  return true;
}

std::optional<Options> parse_options(int argc, char **argv) {
  Options opts;
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc || !apply_option(opts, argv[i], argv[i + 1])) {
      return std::nullopt;
    }
  }
  if (opts.ranks == 0 || opts.ranks > max_ranks) {
    return std::nullopt;
  }
  if (opts.split_writes && opts.form != Form::mpich_tagged) {
    return std::nullopt;
  }
  return opts;
}

std::vector<Vector> draw_vectors(std::uint64_t ranks, std::mt19937_64 &rng) {
  std::vector<Vector> vectors(ranks);
  for (auto &vec : vectors) {
    for (auto &value : vec) {
      value = static_cast<std::uint8_t>(rng() % 5);
    }
  }
  return vectors;
}

int dot(const Vector &a, const Vector &b) {
  int sum = 0;
  for (int i = 0; i < veclen; ++i) {
    sum += a[i] * b[i];
  }
  return sum;
}

// Cuts a block of `writes` writes into chunks, each boundary with
// probability 1/2, the chunks a few time units apart.
void add_chunks(std::vector<Chunk> &chunks, std::uint64_t time, std::uint32_t rank,
                std::uint8_t kind, std::uint8_t writes, bool split, std::mt19937_64 &rng) {
  std::uint8_t first = 0;
  for (std::uint8_t w = 1; w <= writes; ++w) {
    if (w == writes || (split && rng() % 2 == 0)) {
      chunks.push_back({time, rank, kind, first, static_cast<std::uint8_t>(w - first)});
      time += 1 + rng() % (time_scale / 16);
      first = w;
    }
  }
}

// Each rank starts at its rank number plus a random delay below spread and
// writes its vector then; an odd rank writes its result a little after both
// it and its partner have started and its vector is out.
std::vector<Chunk> schedule_chunks(std::uint64_t ranks, std::uint64_t spread, bool split,
                                   std::mt19937_64 &rng) {
  std::vector<std::uint64_t> start(ranks);
  for (std::uint64_t r = 0; r < ranks; ++r) {
    start[r] = (r + (spread == 0 ? 0 : rng() % spread)) * time_scale;
  }
  std::vector<Chunk> chunks;
  chunks.reserve(split ? 4 * ranks : ranks + ranks / 2);
  for (std::uint64_t r = 0; r < ranks; ++r) {
    const auto rank = static_cast<std::uint32_t>(r);
    add_chunks(chunks, start[r], rank, 0, vector_writes, split, rng);
    if (r % 2 == 1) {
      const auto ready = std::max(start[r], start[r - 1]) + time_scale / 2;
      add_chunks(chunks, ready + rng() % (time_scale / 4), rank, 1, result_writes, split, rng);
    }
  }
  return chunks;
}

// Orders the chunks by time; ties keep each rank's writes in order.
void sort_chunks(std::vector<Chunk> &chunks) {
  std::sort(chunks.begin(), chunks.end(), [](const Chunk &a, const Chunk &b) {
    if (a.time != b.time) {
      return a.time < b.time;
    }
    if (a.rank != b.rank) {
      return a.rank < b.rank;
    }
    return a.kind != b.kind ? a.kind < b.kind : a.first < b.first;
  });
}

void append_number(std::string &out, std::uint64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

// The launcher's per-line tag, if the form has one.
void append_tag(std::string &out, Form form, std::uint32_t rank) {
  if (form == Form::mpich_tagged) {
    out += '[';
    append_number(out, rank);
    out += "] ";
  } else if (form == Form::openmpi_tagged) {
    out += "[1,";
    append_number(out, rank);
    out += "]<stdout>:";
  }
}

void end_write(Rendered &block) { block.ends[block.writes++] = block.text.size(); }

// The vector lines as the rank prints them: "\nProcessY r : \t\t", each
// value with a space, then the newline, each its own write.
Rendered render_vector(std::uint32_t rank, const Vector &vec) {
  Rendered block;
  block.text = rank % 2 == 0 ? "\nProcessY " : "\nProcessX ";
  append_number(block.text, rank);
  block.text += " : \t\t";
  end_write(block);
  for (const auto value : vec) {
    append_number(block.text, value);
    block.text += ' ';
    end_write(block);
  }
  block.text += '\n';
  end_write(block);
  return block;
}

Rendered render_result(std::uint32_t rank, int product) {
  Rendered block;
  block.text = "\n For processesXY ";
  append_number(block.text, rank - 1);
  block.text += " ; ";
  append_number(block.text, rank);
  block.text += " :\t";
  end_write(block);
  append_number(block.text, static_cast<std::uint64_t>(product));
  block.text += ' ';
  end_write(block);
  block.text += '\n';
  end_write(block);
  return block;
}

// A forwarded chunk: tagged at its start and after each newline inside it.
void append_chunk(std::string &out, Form form, std::uint32_t rank, std::string_view text) {
  append_tag(out, form, rank);
  for (std::size_t i = 0; i < text.size(); ++i) {
    out += text[i];
    if (text[i] == '\n' && i + 1 < text.size()) {
      append_tag(out, form, rank);
    }
  }
}

std::string_view chunk_text(const Rendered &block, const Chunk &chunk) {
  const std::size_t begin = chunk.first == 0 ? 0 : block.ends[chunk.first - 1];
  const std::size_t end = block.ends[chunk.first + chunk.count - 1];
  return std::string_view(block.text).substr(begin, end - begin);
}

bool flush_buffer(std::string &out, std::FILE *file) {
  const bool ok = std::fwrite(out.data(), 1, out.size(), file) == out.size();
  out.clear();
  return ok;
}

bool write_chunks(const std::vector<Chunk> &chunks, const std::vector<Vector> &vectors, Form form,
                  std::FILE *file) {
  constexpr std::size_t buffer_size = 1 << 20;
  std::string out;
  out.reserve(buffer_size + 256);
  bool ok = true;
  for (const auto &chunk : chunks) {
    const auto &vec = vectors[chunk.rank];
    const Rendered block = chunk.kind == 0
                               ? render_vector(chunk.rank, vec)
                               : render_result(chunk.rank, dot(vec, vectors[chunk.rank - 1]));
    append_chunk(out, form, chunk.rank, chunk_text(block, chunk));
    if (out.size() >= buffer_size) {
      ok = flush_buffer(out, file) && ok;
    }
  }
  return flush_buffer(out, file) && ok;
}

std::FILE *open_output(const std::string &path) {
  return path.empty() ? stdout : std::fopen(path.c_str(), "wb");
}

} // namespace

int main(int argc, char **argv) {
  const auto opts = parse_options(argc, argv);
  if (!opts) {
    print_usage();
    return 2;
  }
  std::mt19937_64 rng(opts->seed);
  const auto vectors = draw_vectors(opts->ranks, rng);
  auto chunks =
      schedule_chunks(opts->ranks, opts->spread.value_or(opts->ranks), opts->split_writes, rng);
  sort_chunks(chunks);

  std::FILE *file = open_output(opts->output);
  if (file == nullptr) {
    std::fprintf(stderr, "gen_job_output: cannot open %s: %s\n", opts->output.c_str(),
                 std::strerror(errno));
    return 1;
  }
  const bool written = write_chunks(chunks, vectors, opts->form, file);
  const bool closed = (file == stdout ? std::fflush(file) : std::fclose(file)) == 0;
  if (!written || !closed) {
    std::fputs("gen_job_output: write failed\n", stderr);
    return 1;
  }
  return 0;
}
