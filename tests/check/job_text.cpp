#include "job_text.hpp"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <random>

namespace job_text {

namespace {

std::vector<int> shuffled_ranks(std::size_t count, std::mt19937 &random) {
  std::vector<int> order(count);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), random);
  return order;
}

// Cuts text into pieces of 1..max_size bytes, or into lines when max_size is 0.
std::vector<std::string> pieces(const std::string &text, std::size_t max_size,
                                std::mt19937 &random) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t size = text.find('\n', at) + 1 - at;
    if (max_size > 0)
      size = std::uniform_int_distribution<std::size_t>(1, max_size)(random);
    out.push_back(text.substr(at, size));
    at += size;
  }
  return out;
}

// Interleaves the streams' pieces in random order, each piece tagged.
std::string interleave(const std::vector<std::string> &streams, std::size_t max_size,
                       const std::string &tag_format, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::vector<std::string>> left;
  std::vector<int> ranks;
  for (std::size_t r = 0; r < streams.size(); ++r) {
    left.push_back(pieces(streams[r], max_size, random));
    std::reverse(left.back().begin(), left.back().end());
    ranks.push_back(static_cast<int>(r));
  }
  std::string out;
  while (!ranks.empty()) {
    const std::size_t pick = random() % ranks.size();
    const int rank = ranks[pick];
    char tag[32];
    std::snprintf(tag, sizeof tag, tag_format.c_str(), rank);
    const std::string piece = left[rank].back();
    left[rank].pop_back();
    for (std::size_t at = 0; at < piece.size();) {
      const std::size_t end = std::min(piece.find('\n', at), piece.size() - 1) + 1;
      out += tag + piece.substr(at, end - at);
      at = end;
    }
    if (left[rank].empty())
      ranks.erase(ranks.begin() + static_cast<long>(pick));
  }
  return out;
}

} // namespace

std::vector<Vector> random_vectors(int ranks, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<Vector> out(static_cast<std::size_t>(ranks));
  for (Vector &values : out)
    for (int &value : values)
      value = static_cast<int>(random() % 5);
  return out;
}

int dot(const Vector &a, const Vector &b) {
  return std::inner_product(a.begin(), a.end(), b.begin(), 0);
}

std::string vector_line(int rank, const Vector &values) {
  char line[96];
  std::snprintf(line, sizeof line, "\nProcess%c %d : \t\t%d %d %d %d %d \n", rank % 2 ? 'X' : 'Y',
                rank, values[0], values[1], values[2], values[3], values[4]);
  return line;
}

std::string result_line(int first, int second, int product) {
  char line[96];
  std::snprintf(line, sizeof line, "\n For processesXY %d ; %d :\t%d \n", first, second, product);
  return line;
}

std::vector<std::string> rank_streams(const std::vector<Vector> &vectors) {
  std::vector<std::string> out;
  for (std::size_t r = 0; r < vectors.size(); ++r) {
    const int rank = static_cast<int>(r);
    out.push_back(vector_line(rank, vectors[r]));
    if (rank % 2 == 1)
      out.back() += result_line(rank - 1, rank, dot(vectors[r - 1], vectors[r]));
  }
  return out;
}

std::string plain(const std::vector<std::string> &streams, unsigned seed) {
  std::mt19937 random(seed);
  std::string out;
  for (int rank : shuffled_ranks(streams.size(), random))
    out += streams[static_cast<std::size_t>(rank)];
  return out;
}

std::string mpich(const std::vector<std::string> &streams, unsigned seed) {
  return interleave(streams, 12, "[%d] ", seed);
}

std::string srun(const std::vector<std::string> &streams, unsigned seed) {
  const std::size_t highest = streams.empty() ? 0 : streams.size() - 1;
  return interleave(streams, 0, "%" + std::to_string(std::to_string(highest).size()) + "d: ", seed);
}

std::string open_mpi(const std::vector<std::string> &streams, unsigned seed) {
  return interleave(streams, 0, "[1,%d]<stdout>:", seed);
}

std::string with_crlf(const std::string &text) {
  std::string out;
  for (char c : text)
    out += c == '\n' ? "\r\n" : std::string(1, c);
  return out;
}

std::string replaced(std::string text, const std::string &from, const std::string &to) {
  const std::size_t at = text.find(from);
  return at == std::string::npos ? text + "<replace failed>" : text.replace(at, from.size(), to);
}

} // namespace job_text
