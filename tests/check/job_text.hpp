#pragma once

// Builds pairdot job outputs for the tests: vectors drawn from a seed,
// products computed here, rendered in each form mpiexec can leave.

#include <array>
#include <string>
#include <vector>

namespace job_text {

using Vector = std::array<int, 5>;

std::vector<Vector> random_vectors(int ranks, unsigned seed);
int dot(const Vector &a, const Vector &b);

std::string vector_line(int rank, const Vector &values);
std::string result_line(int first, int second, int product);

// What each rank writes to its stdout.
std::vector<std::string> rank_streams(const std::vector<Vector> &vectors);

// All streams one after another, ranks shuffled.
std::string plain(const std::vector<std::string> &streams, unsigned seed);
// Streams cut into random chunks and interleaved, "[rank] " before each
// chunk and each line, as MPICH's -prepend-rank does.
std::string mpich(const std::vector<std::string> &streams, unsigned seed);
// Whole lines interleaved, each after "[1,rank]<stdout>:" (Open MPI).
std::string open_mpi(const std::vector<std::string> &streams, unsigned seed);
// Whole lines interleaved, each after srun --label's "%*d: ".
std::string srun(const std::vector<std::string> &streams, unsigned seed);
std::string with_crlf(const std::string &text);

// text with the first `from` replaced by `to`.
std::string replaced(std::string text, const std::string &from, const std::string &to);

} // namespace job_text
