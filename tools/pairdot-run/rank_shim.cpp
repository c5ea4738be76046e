// pairdot-rank-shim: started by the launcher in place of pairdot. Writes the
// rank and the host it runs on to standard error, then becomes pairdot.
//
//   pairdot-rank-shim PROGRAM [ARG...]

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <unistd.h>

namespace {

// The rank as each launcher hands it over.
const char *launcher_rank() {
  for (const char *name : {"PMI_RANK", "OMPI_COMM_WORLD_RANK", "PMIX_RANK", "SLURM_PROCID"}) {
    if (const char *value = std::getenv(name)) {
      return value;
    }
  }
  return "unknown";
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fputs("usage: pairdot-rank-shim PROGRAM [ARG...]\n", stderr);
    return 2;
  }
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) != 0) {
    std::strcpy(host, "unknown"); // NOLINT: fits
  }
  std::fprintf(stderr, "pairdot-rank-shim: rank %s on %s\n", launcher_rank(), host);
  std::fflush(stderr);
  execv(argv[1], argv + 1);
  std::fprintf(stderr, "pairdot-rank-shim: cannot run %s: %s\n", argv[1], std::strerror(errno));
  return 127;
}
