#include "exchange.hpp"

#include "report.hpp"
#include "vector.hpp"

#include <mpi.h>

namespace pairdot {

void send_to_partner(const int *vec, int rank) {
  MPI_Send(vec, veclen, MPI_INT, rank + 1, rank, MPI_COMM_WORLD);
}

void receive_and_report(const int *vec, int rank) {
  // Zeroed first: any element the receive leaves unfilled counts as 0.
  int b[veclen] = {};
  MPI_Status status;
  MPI_Recv(b, veclen, MPI_INT, rank - 1, rank - 1, MPI_COMM_WORLD, &status);
  print_result_line(rank, dot_product(vec, b));
}

} // namespace pairdot
