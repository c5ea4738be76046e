// bare_mpi: the start-up baseline, an MPI program that only starts and stops.

#include <mpi.h>

int main(int argc, char **argv) {
  MPI_Init(&argc, &argv);
  MPI_Finalize();
  return 0;
}
