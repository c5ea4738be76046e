#pragma once

// What the harness is asked to run and check, and how it reports trouble.

#include <stdexcept>
#include <string>
#include <vector>

namespace pairdot_harness {

struct JobOptions {
  int np = 1;
  std::string program;
  std::vector<std::string> program_args;
  std::string form = "files"; // files, tagged or merged
  std::string check;          // checker run on the whole output: EXE --np N FILE...
  std::string trace;          // preload library of call records
  std::string trace_check;    // checker of the call records: EXE DIR NP TIME
  std::string stdout_fault;   // full, closed: no rank can write its output
  std::string library;        // mpich, openmpi: the launcher's, when --version does not tell
  std::string valgrind;       // suppressions: every rank under memcheck
  int kill_rank = -1;         // this rank dies before its send
  std::vector<std::string> expected_problems; // the checker must reject the output with these
  bool print_command = false;
  std::string dir;                         // --print-command: the job's directory
  std::vector<std::string> rank_hosts;     // --print-command: host of every rank
  std::string tcp;                         // --print-command: force TCP on this interface
  std::vector<std::string> launcher_words; // MPIEXEC NUMPROC_FLAG N PREFLAGS...
};

// Where each rank notes its exit status; every process a rank starts inherits it.
constexpr const char *status_dir_variable = "PAIRDOT_STATUS_DIR";

// The clock the traced ranks see.
constexpr const char *fixed_clock = "1765000000";

// Wrong usage: exit status 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The job or one of its checks failed: exit status 1.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

} // namespace pairdot_harness
