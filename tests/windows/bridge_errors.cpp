// Calls MS-MPI rejects, through the msmpi.dll bridge: each must return its
// MPI error class, and the process go on. Exit 0 when every row holds.

#include <mpi.h>

#include <cstdio>

namespace {

// MPI's error classes, equal in MS-MPI and MPICH.
constexpr int err_count = 2;
constexpr int err_type = 3;
constexpr int err_comm = 5;
constexpr int err_rank = 6;
constexpr int err_arg = 12;
constexpr int err_other = 15;

struct Row {
  const char *what;
  int (*call)();
  int want;
};

int value = 0;
MPI_Status status;

int rank_of_world() { return MPI_Comm_rank(MPI_COMM_WORLD, &value); }

const Row rows[] = {
    {"MPI_Comm_rank before MPI_Init", rank_of_world, err_other},
    {"MPI_Init", [] { return MPI_Init(nullptr, nullptr); }, MPI_SUCCESS},
    {"MPI_Init again", [] { return MPI_Init(nullptr, nullptr); }, err_other},
    {"MPI_Comm_rank", rank_of_world, MPI_SUCCESS},
    {"MPI_Comm_size of no communicator", [] { return MPI_Comm_size(0x1234, &value); }, err_comm},
    {"MPI_Comm_size into no int", [] { return MPI_Comm_size(MPI_COMM_WORLD, nullptr); }, err_arg},
    {"MPI_Send to rank 99", [] { return MPI_Send(&value, 1, MPI_INT, 99, 0, MPI_COMM_WORLD); },
     err_rank},
    {"MPI_Send of -1 values", [] { return MPI_Send(&value, -1, MPI_INT, 0, 0, MPI_COMM_WORLD); },
     err_count},
    {"MPI_Recv of no datatype",
     [] { return MPI_Recv(&value, 1, 0x1234, 0, 0, MPI_COMM_WORLD, &status); }, err_type},
    {"MPI_Finalize", [] { return MPI_Finalize(); }, MPI_SUCCESS},
    {"MPI_Comm_rank after MPI_Finalize", rank_of_world, err_other},
};

} // namespace

int main() {
  int failed = 0;
  for (const Row &row : rows) {
    const int got = row.call();
    if (got != row.want) {
      std::printf("FAIL: %s returned %d, want %d\n", row.what, got, row.want);
      ++failed;
    }
  }
  std::printf("%d of %zu calls as MS-MPI returns them\n",
              static_cast<int>(sizeof rows / sizeof *rows) - failed, sizeof rows / sizeof *rows);
  return failed == 0 ? 0 : 1;
}
