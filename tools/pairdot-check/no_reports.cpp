// check_job of the Windows build, which has no report writers: it checks
// and prints only, and reads standard input as bytes.

#include "check_job.hpp"

#include <fcntl.h>
#include <io.h>

namespace pairdot_check_cli {

int check_job(const std::vector<std::string> &files, const pairdot_check::CheckOptions &options,
              const ReportFiles &reports) {
  for (const auto &[name, value] : {std::pair{"--hosts", &reports.hosts},
                                    {"--json", &reports.json},
                                    {"--junit", &reports.junit}}) {
    if (!value->empty()) {
      std::fprintf(stderr, "pairdot-check: %s is not available in this build\n", name);
      return exit_usage;
    }
  }
  // In text mode, the C runtime would drop every CR and stop at a byte 0x1A.
  ::_setmode(::_fileno(stdin), _O_BINARY);
  pairdot_check::JobCheck job;
  job.options = options;
  if (const int status = read_job(files, job); status >= 0) {
    return status;
  }
  return print_report(pairdot_check::finish(job), {});
}

} // namespace pairdot_check_cli
