// pairdot-check: reads the output of one pairdot job and verifies it.

#include "streams.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int exit_ok = 0;
constexpr int exit_wrong = 1;
constexpr int exit_usage = 2;
constexpr std::size_t block_size = std::size_t{1} << 18;

const char usage[] =
    "usage: pairdot-check [--np N] [FILE...]\n"
    "Verifies the output of one pairdot job, read from the FILEs (each its own\n"
    "stream, e.g. one per rank) or from standard input when none or '-' is named.\n"
    "Accepts plain output, mpiexec -prepend-rank (MPICH) and --tag-output (Open MPI).\n"
    "  --np N    the job had N ranks (default: 0 to the highest rank seen)\n"
    "  --help    show this help\n"
    "Exit status: 0 correct, 1 wrong or incomplete, 2 usage error or unreadable file.\n";

struct Arguments {
  pairdot_check::CheckOptions options;
  std::vector<std::string> files;
};

int usage_error(const std::string &what) {
  std::fprintf(stderr, "pairdot-check: %s\nTry 'pairdot-check --help'.\n", what.c_str());
  return exit_usage;
}

bool parse_np(const char *text, std::int32_t &np) {
  char *end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 1 || value > 0x7fffffff) {
    return false;
  }
  np = static_cast<std::int32_t>(value);
  return true;
}

// Fills args; returns -1 to go on, else the exit status.
int parse_arguments(int argc, char **argv, Arguments &args) {
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options_done || arg == "-" || arg.empty() || arg[0] != '-') {
      args.files.push_back(arg);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(usage, stdout);
      return exit_ok;
    } else if (arg == "--np" || arg.rfind("--np=", 0) == 0) {
      const bool joined = arg != "--np";
      if (!joined && i + 1 == argc) {
        return usage_error("--np needs a value");
      }
      const char *value = joined ? argv[i] + 5 : argv[++i];
      if (!parse_np(value, args.options.np)) {
        return usage_error(std::string("--np wants a rank count from 1 to 2147483647, not '") +
                           value + "'");
      }
    } else {
      return usage_error("unknown option '" + arg + "'");
    }
  }
  if (args.files.empty()) {
    args.files.emplace_back("-");
  }
  return -1;
}

std::string label_of(const std::string &file) { return file == "-" ? "<stdin>" : file; }

int cannot_read(const std::string &file) {
  std::fprintf(stderr, "pairdot-check: cannot read %s: %s\n", label_of(file).c_str(),
               std::strerror(errno));
  return exit_usage;
}

// Opens every file up front, so a bad name fails before any checking.
int open_all(const std::vector<std::string> &files, std::vector<int> &fds) {
  for (const std::string &file : files) {
    const int fd = file == "-" ? STDIN_FILENO : ::open(file.c_str(), O_RDONLY);
    if (fd < 0) {
      return cannot_read(file);
    }
    fds.push_back(fd);
  }
  return -1;
}

// Feeds one file to the check in big blocks; false on a read error.
bool read_file(pairdot_check::JobCheck &job, const std::string &file, int fd, char *buffer) {
  pairdot_check::FileStreams streams = pairdot_check::open_file(job, label_of(file));
  for (;;) {
    const ssize_t got = ::read(fd, buffer, block_size);
    if (got == 0) {
      break;
    }
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    pairdot_check::feed(job, streams, buffer, static_cast<std::size_t>(got));
  }
  pairdot_check::close_file(job, streams);
  return true;
}

int print_report(const pairdot_check::CheckReport &report) {
  if (report.ok) {
    std::printf("verified %" PRId64 " ranks, %" PRId64 " pairs\n", report.ranks, report.pairs);
    return std::fflush(stdout) == 0 ? exit_ok : exit_usage;
  }
  for (const std::string &line : report.listed) {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  std::fprintf(stderr, "pairdot-check: %" PRIu64 " problem%s in %" PRId64 " ranks", report.problems,
               report.problems == 1 ? "" : "s", report.ranks);
  if (report.problems > report.listed.size()) {
    std::fprintf(stderr, " (%" PRIu64 " more not listed)", report.problems - report.listed.size());
  }
  std::fputc('\n', stderr);
  return exit_wrong;
}

} // namespace

int main(int argc, char **argv) {
  Arguments args;
  if (const int status = parse_arguments(argc, argv, args); status >= 0) {
    return status;
  }
  std::vector<int> fds;
  if (const int status = open_all(args.files, fds); status >= 0) {
    return status;
  }
  pairdot_check::JobCheck job;
  job.options = args.options;
  const std::unique_ptr<char[]> buffer(new char[block_size]);
  for (std::size_t i = 0; i < fds.size(); ++i) {
    if (!read_file(job, args.files[i], fds[i], buffer.get())) {
      return cannot_read(args.files[i]);
    }
  }
  return print_report(pairdot_check::finish(job));
}
