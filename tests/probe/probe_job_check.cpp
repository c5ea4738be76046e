// Checks a pairdot-probe job's per-rank outputs, as the job harness's --check
// calls it: probe_job_check --np N OUT.0 ... OUT.N-1. Each receiving rank wrote
// exactly one line, its pair's, with verdict ok; every other rank nothing.

#include "probe_line.hpp"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> lines_of(const char *path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) {
      lines.push_back(line);
    }
  }
  return lines;
}

// The problem with rank's output, or "" when it is as expected.
std::string problem_of(int rank, int np, const std::vector<std::string> &lines) {
  const bool receives = rank % 2 != 0 && rank < np - np % 2;
  if (!receives) {
    return lines.empty() ? "" : "wrote " + std::to_string(lines.size()) + " lines, want none";
  }
  if (lines.size() != 1) {
    return "wrote " + std::to_string(lines.size()) + " lines, want 1";
  }
  const auto line = pairdot_probe::parse_probe_line(lines[0]);
  if (!line || line->sender != rank - 1 || line->failed_size) {
    return "wrote \"" + lines[0] + "\", want its pair's ok line";
  }
  return "";
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 3 || std::string(argv[1]) != "--np" || argv[2] != std::to_string(argc - 3)) {
    std::fputs("usage: probe_job_check --np N OUT.0 ... OUT.N-1\n", stderr);
    return 2;
  }
  const int np = argc - 3;
  int failed = 0;
  for (int rank = 0; rank < np; ++rank) {
    const std::string problem = problem_of(rank, np, lines_of(argv[rank + 3]));
    if (!problem.empty()) {
      std::fprintf(stderr, "rank %d: %s\n", rank, problem.c_str());
      ++failed;
    }
  }
  if (failed == 0) {
    std::printf("%d pairs, one ok line each\n", np / 2);
  }
  return failed == 0 ? 0 : 1;
}
