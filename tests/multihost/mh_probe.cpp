// Test-only preload library for the multi-host tests. It records what each
// rank did in PAIRDOT_PROBE_DIR/rank.<rank>, one event a line:
//   host NAME          after MPI_Init: the host the rank runs on
//   held, released     around the wait of a rank held back before MPI_Send
// and holds chosen ranks back before their MPI_Send, so that a link can be
// cut while they wait:
//   PAIRDOT_HOLD_RANKS  comma-separated ranks
//   PAIRDOT_HOLD_UNTIL  they wait until this file exists

#include <mpi.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int my_rank = -1; // read once MPI_Init has returned

void record(const std::string &event) {
  const char *dir = std::getenv("PAIRDOT_PROBE_DIR");
  if (dir == nullptr) {
    return;
  }
  const std::string path = std::string(dir) + "/rank." + std::to_string(my_rank);
  if (std::FILE *f = std::fopen(path.c_str(), "a")) {
    std::fprintf(f, "%s\n", event.c_str());
    std::fclose(f);
  }
}

bool is_held(int rank) {
  const char *list = std::getenv("PAIRDOT_HOLD_RANKS");
  while (list != nullptr && *list != '\0') {
    char *end = nullptr;
    const long r = std::strtol(list, &end, 10);
    if (end == list) {
      return false;
    }
    if (r == rank) {
      return true;
    }
    list = *end == ',' ? end + 1 : end;
  }
  return false;
}

} // namespace

int MPI_Init(int *argc, char ***argv) {
  const int status = PMPI_Init(argc, argv);
  PMPI_Comm_rank(MPI_COMM_WORLD, &my_rank);
  char host[HOST_NAME_MAX + 1] = {};
  gethostname(host, sizeof host - 1);
  record(std::string("host ") + host);
  return status;
}

int MPI_Send(const void *buf, int count, MPI_Datatype type, int dest, int tag, MPI_Comm comm) {
  const char *until = std::getenv("PAIRDOT_HOLD_UNTIL");
  if (until != nullptr && is_held(my_rank)) {
    record("held");
    struct stat st {};
    while (stat(until, &st) != 0) {
      usleep(50000);
    }
    record("released");
  }
  return PMPI_Send(buf, count, type, dest, tag, comm);
}
