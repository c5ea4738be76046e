// pairdot: every rank draws a vector of five values and prints it; in each
// pair (2k, 2k + 1) the even rank sends its vector to the odd rank, which
// prints the dot product of the two.

#include "exchange.hpp"
#include "flush_all.hpp"
#include "report.hpp"
#include "seed.hpp"
#include "vector.hpp"

#include <mpi.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

namespace {

using own_vector = std::unique_ptr<int[]>;

// Odd rank: print the own vector, flush it so it shows while the receive
// blocks, then receive the partner's vector and report the product.
own_vector run_x_role(int rank) {
  own_vector vec(new int[pairdot::veclen]);
  pairdot::print_vector_line(pairdot::x_header, rank, vec.get());
  pairdot::flush_all();
  pairdot::receive_and_report(vec.get(), rank);
  pairdot::flush_all();
  return vec;
}

// Even rank: print the own vector, send it to rank + 1 if that rank exists,
// and flush only after the send has returned.
own_vector run_y_role(int rank, int numprocs) {
  own_vector vec(new int[pairdot::veclen]);
  pairdot::print_vector_line(pairdot::y_header, rank, vec.get());
  if (rank != numprocs - 1) {
    pairdot::send_to_partner(vec.get(), rank);
  }
  pairdot::flush_all();
  return vec;
}

// The report is the only product: a write that failed must not exit 0.
int exit_status(int rank) {
  if (std::ferror(stdout) != 0) {
    std::fprintf(stderr, "pairdot: rank %d: could not write standard output\n", rank);
    return EXIT_FAILURE;
  }
  return EXIT_SUCCESS;
}

} // namespace

int main(int argc, char **argv) {
  MPI_Init(&argc, &argv);

  int rank = 0;
  int numprocs = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &numprocs);

  std::srand(pairdot::seed_for(std::time(nullptr), rank));

  // The own vector is kept until main returns.
  const own_vector vec = rank % 2 != 0 ? run_x_role(rank) : run_y_role(rank, numprocs);

  MPI_Finalize();
  pairdot::flush_all();
  return exit_status(rank);
}
