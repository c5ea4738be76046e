// gen_job_output: writes the standard output that a pairdot job of N ranks
// could produce, with correct products, the ranks' writes interleaved as the
// launcher would forward them. The same seed gives the same bytes.
//
// Usage: gen_job_output --ranks N [--form plain|mpich-tagged|openmpi-tagged]
//                       [--seed S] [--spread K] [--output FILE]

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
  std::uint64_t seed = 1;
  std::optional<std::uint64_t> spread; // default: the job size
  std::string output;                  // empty: standard output
};

using Vector = std::array<std::uint8_t, veclen>;

// One write of one rank: its vector lines, or (odd ranks) its result lines.
struct Block {
  std::uint64_t time;
  std::uint32_t rank;
  std::uint8_t kind; // 0 vector, 1 result
};

void print_usage() {
  std::fputs("usage: gen_job_output --ranks N [--form plain|mpich-tagged|openmpi-tagged]\n"
             "                      [--seed S] [--spread K] [--output FILE]\n",
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

// Each rank starts at its rank number plus a random delay below spread and
// writes its vector then; an odd rank writes its result a little after both
// it and its partner have started.
std::vector<Block> schedule_blocks(std::uint64_t ranks, std::uint64_t spread,
                                   std::mt19937_64 &rng) {
  std::vector<std::uint64_t> start(ranks);
  for (std::uint64_t r = 0; r < ranks; ++r) {
    start[r] = r + (spread == 0 ? 0 : rng() % spread);
  }
  std::vector<Block> blocks;
  blocks.reserve(ranks + ranks / 2);
  for (std::uint64_t r = 0; r < ranks; ++r) {
    const auto rank = static_cast<std::uint32_t>(r);
    blocks.push_back({start[r], rank, 0});
    if (r % 2 == 1) {
      blocks.push_back({std::max(start[r], start[r - 1]) + 1 + rng() % 4, rank, 1});
    }
  }
  return blocks;
}

// Orders the writes by time; ties go by rank, then vector before result.
void sort_blocks(std::vector<Block> &blocks) {
  std::sort(blocks.begin(), blocks.end(), [](const Block &a, const Block &b) {
    if (a.time != b.time) {
      return a.time < b.time;
    }
    return a.rank != b.rank ? a.rank < b.rank : a.kind < b.kind;
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

void append_vector_block(std::string &out, Form form, std::uint32_t rank, const Vector &vec) {
  append_tag(out, form, rank);
  out += '\n';
  append_tag(out, form, rank);
  out += rank % 2 == 0 ? "ProcessY " : "ProcessX ";
  append_number(out, rank);
  out += " : \t\t";
  for (const auto value : vec) {
    append_number(out, value);
    out += ' ';
  }
  out += '\n';
}

void append_result_block(std::string &out, Form form, std::uint32_t rank, int product) {
  append_tag(out, form, rank);
  out += '\n';
  append_tag(out, form, rank);
  out += " For processesXY ";
  append_number(out, rank - 1);
  out += " ; ";
  append_number(out, rank);
  out += " :\t";
  append_number(out, static_cast<std::uint64_t>(product));
  out += " \n";
}

bool flush_buffer(std::string &out, std::FILE *file) {
  const bool ok = std::fwrite(out.data(), 1, out.size(), file) == out.size();
  out.clear();
  return ok;
}

bool write_blocks(const std::vector<Block> &blocks, const std::vector<Vector> &vectors, Form form,
                  std::FILE *file) {
  constexpr std::size_t chunk = 1 << 20;
  std::string out;
  out.reserve(chunk + 256);
  bool ok = true;
  for (const auto &block : blocks) {
    const auto &vec = vectors[block.rank];
    if (block.kind == 0) {
      append_vector_block(out, form, block.rank, vec);
    } else {
      append_result_block(out, form, block.rank, dot(vec, vectors[block.rank - 1]));
    }
    if (out.size() >= chunk) {
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
  auto blocks = schedule_blocks(opts->ranks, opts->spread.value_or(opts->ranks), rng);
  sort_blocks(blocks);

  std::FILE *file = open_output(opts->output);
  if (file == nullptr) {
    std::fprintf(stderr, "gen_job_output: cannot open %s: %s\n", opts->output.c_str(),
                 std::strerror(errno));
    return 1;
  }
  const bool written = write_blocks(blocks, vectors, opts->form, file);
  const bool closed = (file == stdout ? std::fflush(file) : std::fclose(file)) == 0;
  if (!written || !closed) {
    std::fputs("gen_job_output: write failed\n", stderr);
    return 1;
  }
  return 0;
}
