#include "report.hpp"

#include "vector.hpp"

#include <cstdio>
#include <cstdlib>

namespace pairdot {

void print_vector_line(const char *header, int rank, int *vec) {
  std::printf(header, rank);
  for (int i = 0; i < veclen; ++i) {
    vec[i] = std::rand() % 5;
    std::printf("%d ", vec[i]);
  }
  std::printf("\n");
}

void print_result_line(int rank, int dot) {
  std::printf("\n For processesXY %d ; %d :\t", rank - 1, rank);
  std::printf("%d ", dot);
  std::printf("\n");
}

} // namespace pairdot
