// A stand-in msmpi.dll for a job of one process: rank 0 of 1. A call MS-MPI
// would reject ends the process with a message and a non-zero status, as
// MS-MPI's default error handler does.

#include <mpi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

static_assert(sizeof(MPI_Status) == 20, "MPI_Status differs from MS-MPI's x64 layout");

namespace {

bool initialized = false;
bool finalized = false;

[[noreturn]] void fatal(const char *call, const std::string &what) {
  std::fprintf(stderr, "msmpi stand-in: %s: %s\n", call, what.c_str());
  std::_Exit(EXIT_FAILURE);
}

void require_running(const char *call, MPI_Comm comm) {
  if (!initialized || finalized) {
    fatal(call, "called before MPI_Init or after MPI_Finalize");
  }
  if (comm != MPI_COMM_WORLD) {
    fatal(call, "invalid communicator " + std::to_string(comm));
  }
}

// Rank 0 is the only rank, and it cannot send to or receive from itself here.
[[noreturn]] void no_partner(const char *call, int rank, MPI_Comm comm) {
  require_running(call, comm);
  if (rank != 0) {
    fatal(call, "invalid rank " + std::to_string(rank) + " (the job has 1 process)");
  }
  fatal(call, "a message from rank 0 to itself is not supported");
}

} // namespace

extern "C" {

int MPIAPI MPI_Init(int * /*argc*/, char *** /*argv*/) {
  if (initialized) {
    fatal("MPI_Init", "called twice");
  }
  initialized = true;
  return MPI_SUCCESS;
}

int MPIAPI MPI_Comm_rank(MPI_Comm comm, int *rank) {
  require_running("MPI_Comm_rank", comm);
  *rank = 0;
  return MPI_SUCCESS;
}

int MPIAPI MPI_Comm_size(MPI_Comm comm, int *size) {
  require_running("MPI_Comm_size", comm);
  *size = 1;
  return MPI_SUCCESS;
}

int MPIAPI MPI_Send(const void * /*buf*/, int /*count*/, MPI_Datatype /*datatype*/, int dest,
                    int /*tag*/, MPI_Comm comm) {
  no_partner("MPI_Send", dest, comm);
}

int MPIAPI MPI_Recv(void * /*buf*/, int /*count*/, MPI_Datatype /*datatype*/, int source,
                    int /*tag*/, MPI_Comm comm, MPI_Status * /*status*/) {
  no_partner("MPI_Recv", source, comm);
}

int MPIAPI MPI_Finalize() {
  require_running("MPI_Finalize", MPI_COMM_WORLD);
  finalized = true;
  return MPI_SUCCESS;
}

} // extern "C"
