// pairdot-check: reads the output of one pairdot job and verifies it.

#include "streams.hpp"

#ifndef PAIRDOT_CHECK_NO_REPORTS
#include "host_names.hpp"
#include "writers.hpp"
#endif

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr int exit_ok = 0;
constexpr int exit_wrong = 1;
constexpr int exit_usage = 2;
constexpr std::size_t block_size = std::size_t{1} << 18;

const char usage[] =
    "usage: pairdot-check [--np N] [--hosts FILE] [--json FILE] [--junit FILE] [FILE...]\n"
    "Verifies the output of one pairdot job, read from the FILEs (each its own\n"
    "stream, e.g. one per rank) or from standard input when none or '-' is named.\n"
    "Accepts plain output, mpiexec -prepend-rank (MPICH), --tag-output (Open MPI)\n"
    "and srun --label.\n"
    "  --np N        the job had N ranks (default: 0 to the highest rank seen)\n"
    "  --hosts FILE  the host of each rank, one a line in rank order ('#' comments);\n"
    "                each failed pair is then named with its sending and receiving host\n"
    "  --json FILE   write a JSON report of the job\n"
    "  --junit FILE  write a JUnit XML report of the job\n"
    "  --help        show this help\n"
    "Exit status: 0 correct, 1 wrong or incomplete, 2 usage error, unreadable or\n"
    "unwritable file.\n";

struct Arguments {
  pairdot_check::CheckOptions options;
  std::vector<std::string> files;
  std::string hosts_file;
  std::string json_file;
  std::string junit_file;
};

int usage_error(const std::string &what) {
  std::fprintf(stderr, "pairdot-check: %s (see pairdot-check --help)\n", what.c_str());
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

struct ValueOption {
  const char *name;
  std::string *value;
};

// Fills args; returns -1 to go on, else the exit status.
int parse_arguments(int argc, char **argv, Arguments &args) {
  std::string np;
  const ValueOption value_options[] = {{"--np", &np},
                                       {"--hosts", &args.hosts_file},
                                       {"--json", &args.json_file},
                                       {"--junit", &args.junit_file}};
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
    } else {
      // "--name VALUE" or "--name=VALUE"
      const std::string name = arg.substr(0, arg.find('='));
      const auto *const option =
          std::find_if(std::begin(value_options), std::end(value_options),
                       [&](const ValueOption &known) { return name == known.name; });
      if (option == std::end(value_options)) {
        return usage_error("unknown option '" + arg + "'");
      }
      const bool joined = name.size() < arg.size();
      *option->value = joined ? arg.substr(name.size() + 1) : i + 1 < argc ? argv[++i] : "";
      if (option->value->empty()) {
        return usage_error(name + " needs a value");
      }
    }
  }
  if (!np.empty() && !parse_np(np.c_str(), args.options.np)) {
    return usage_error("--np wants a rank count from 1 to 2147483647, not '" + np + "'");
  }
#ifdef PAIRDOT_CHECK_NO_REPORTS
  for (const ValueOption &option : value_options) {
    if (option.value != &np && !option.value->empty()) {
      std::fprintf(stderr, "pairdot-check: %s is not available in this build\n", option.name);
      return exit_usage;
    }
  }
#endif
  if (args.files.empty()) {
    args.files.emplace_back("-");
  }
  return -1;
}

// Input is read as bytes: in text mode, Windows' C runtime would drop every
// CR and stop at a byte 0x1A.
#ifdef _WIN32
int open_input(const std::string &file) {
  if (file == "-") {
    return ::_setmode(0, _O_BINARY) < 0 ? -1 : 0;
  }
  return ::_open(file.c_str(), _O_RDONLY | _O_BINARY);
}
long read_input(int fd, char *buffer, std::size_t size) {
  return ::_read(fd, buffer, static_cast<unsigned>(size));
}
#else
int open_input(const std::string &file) {
  return file == "-" ? STDIN_FILENO : ::open(file.c_str(), O_RDONLY);
}
long read_input(int fd, char *buffer, std::size_t size) { return ::read(fd, buffer, size); }
#endif

std::string label_of(const std::string &file) { return file == "-" ? "<stdin>" : file; }

int cannot_read(const std::string &file) {
  std::fprintf(stderr, "pairdot-check: cannot read %s: %s\n", label_of(file).c_str(),
               std::strerror(errno));
  return exit_usage;
}

// Opens every file up front, so a bad name fails before any checking.
int open_all(const std::vector<std::string> &files, std::vector<int> &fds) {
  for (const std::string &file : files) {
    const int fd = open_input(file);
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
    const long got = read_input(fd, buffer, block_size);
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

// Reads every file into job; returns -1 to go on, else the exit status.
int read_job(const std::vector<std::string> &files, pairdot_check::JobCheck &job) {
  std::vector<int> fds;
  if (const int status = open_all(files, fds); status >= 0) {
    return status;
  }
  const std::unique_ptr<char[]> buffer(new char[block_size]);
  for (std::size_t i = 0; i < fds.size(); ++i) {
    if (!read_file(job, files[i], fds[i], buffer.get())) {
      return cannot_read(files[i]);
    }
  }
  return -1;
}

int print_report(const pairdot_check::CheckReport &report,
                 const std::vector<std::string> &pair_lines) {
  if (report.ok) {
    std::printf("verified %" PRId64 " ranks, %" PRId64 " pairs\n", report.ranks, report.pairs);
    return std::fflush(stdout) == 0 ? exit_ok : exit_usage;
  }
  for (const auto *lines : {&report.listed, &pair_lines}) {
    for (const std::string &line : *lines) {
      std::fprintf(stderr, "%s\n", line.c_str());
    }
  }
  std::fprintf(stderr, "pairdot-check: %" PRIu64 " problem%s in %" PRId64 " ranks", report.problems,
               report.problems == 1 ? "" : "s", report.ranks);
  if (report.problems > report.listed.size()) {
    std::fprintf(stderr, " (%" PRIu64 " more not listed)", report.problems - report.listed.size());
  }
  std::fputc('\n', stderr);
  return exit_wrong;
}

#ifdef PAIRDOT_CHECK_NO_REPORTS

// This build writes no report files.
struct Output {};
void discard(std::vector<Output> & /*outputs*/) {}

// Checks the job; this build writes no reports.
int run(const Arguments &args, std::vector<Output> & /*outputs*/) {
  pairdot_check::JobCheck job;
  job.options = args.options;
  if (const int status = read_job(args.files, job); status >= 0) {
    return status;
  }
  return print_report(pairdot_check::finish(job), {});
}

#else

using pairdot_hosts::InputError;

constexpr std::size_t max_hosts_bytes = std::size_t{1} << 26;
// Ranks beyond this are left out of the per-pair lines and reports.
constexpr std::int64_t max_pair_ranks = std::int64_t{1} << 18;

// A report file being written, and which.
struct Output {
  pairdot_writers::FileReplacement file;
  bool json = false; // else JUnit XML
};

InputError cannot_read_hosts(const std::string &path, int error) {
  return InputError{"cannot read " + path + ": " + std::strerror(error)};
}

// The host of each rank from a --hosts file; empty when none is named.
std::vector<std::string> read_hosts(const std::string &path) {
  if (path.empty()) {
    return {};
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw cannot_read_hosts(path, errno);
  }
  std::string text;
  char block[1 << 16];
  int error = 0;
  while (text.size() <= max_hosts_bytes) {
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      error = got < 0 ? errno : 0;
      break;
    }
    text.append(block, static_cast<std::size_t>(got));
  }
  ::close(fd);
  if (error != 0) {
    throw cannot_read_hosts(path, error);
  }
  if (text.size() > max_hosts_bytes) {
    throw InputError(path + ": too big for a hosts file");
  }
  std::vector<std::string> hosts = pairdot_hosts::parse_rank_hosts(text, path);
  if (hosts.empty()) {
    throw InputError(path + ": no hosts listed");
  }
  return hosts;
}

// Opens the file's temporary at once, so that an unwritable path fails before
// any input is read.
void open_output(const std::string &path, bool json, std::vector<Output> &outputs) {
  if (!path.empty()) {
    outputs.push_back({pairdot_writers::begin_replacement(path), json});
  }
}

// Removes the temporary files that were not renamed.
void discard(std::vector<Output> &outputs) {
  for (Output &output : outputs) {
    pairdot_writers::abandon_replacement(output.file);
  }
}

// The host of every rank below size: from --hosts ('?' past its end), else "unknown".
std::vector<std::string> rank_hosts_of(const std::vector<std::string> &hosts, std::int64_t size) {
  std::vector<std::string> out;
  for (std::size_t rank = 0; rank < static_cast<std::size_t>(size); ++rank) {
    out.push_back(hosts.empty() ? "unknown" : rank < hosts.size() ? hosts[rank] : "?");
  }
  return out;
}

// The distinct hosts in first-seen order, each with its rank count; '?' is none.
std::vector<pairdot_hosts::Host> distinct_hosts(const std::vector<std::string> &rank_hosts) {
  std::vector<pairdot_hosts::Host> hosts;
  std::unordered_map<std::string, std::size_t> index;
  for (const std::string &name : rank_hosts) {
    if (name == "?") {
      continue;
    }
    const auto [at, added] = index.emplace(name, hosts.size());
    if (added) {
      hosts.push_back({name, 0});
    }
    ++hosts[at->second].slots;
  }
  return hosts;
}

// "pair 4 ; 5 (node2 -> node3): PROBLEM" for each failed pair, at most max lines.
std::vector<std::string> failed_pair_lines(const std::vector<pairdot_model::PairOutcome> &pairs,
                                           std::size_t max) {
  std::vector<std::string> lines;
  std::size_t failed = 0;
  for (const pairdot_model::PairOutcome &pair : pairs) {
    if (!pair.verified && ++failed <= max) {
      lines.push_back(pairdot_writers::pair_name(pair) + ": " + pair.problem);
    }
  }
  if (failed > max) {
    lines.push_back("(" + std::to_string(failed - max) + " more failed pairs not listed)");
  }
  return lines;
}

pairdot_model::RunReport job_report(const pairdot_check::CheckReport &check,
                                    std::vector<std::string> rank_hosts,
                                    std::vector<pairdot_model::PairOutcome> pairs,
                                    std::vector<std::string> messages) {
  pairdot_model::RunReport report;
  report.tool = "pairdot-check";
  report.hosts = distinct_hosts(rank_hosts);
  pairdot_model::JobOutcome job;
  job.number = 1;
  job.kind = pairdot_model::JobKind::single;
  job.rank_hosts = std::move(rank_hosts);
  job.status = check.ok ? pairdot_model::JobStatus::verified : pairdot_model::JobStatus::failed;
  job.messages = std::move(messages);
  job.pairs = std::move(pairs);
  report.jobs.push_back(std::move(job));
  pairdot_model::diagnose(report);
  return report;
}

// Checks the job and writes its reports; outputs are the report files opened.
int check_job(const Arguments &args, const std::vector<std::string> &hosts,
              std::vector<Output> &outputs) {
  pairdot_check::JobCheck job;
  job.options = args.options;
  if (const int status = read_job(args.files, job); status >= 0) {
    return status;
  }
  const pairdot_check::CheckReport check = pairdot_check::finish(job);
  if (hosts.empty() && outputs.empty()) {
    return print_report(check, {});
  }
  const std::int64_t size = std::min(check.ranks, max_pair_ranks);
  std::vector<std::string> rank_hosts = rank_hosts_of(hosts, size);
  std::vector<pairdot_model::PairOutcome> pairs =
      pairdot_model::pair_outcomes(pairdot_check::pair_verdicts(job, size), rank_hosts);
  std::vector<std::string> lines; // printed after the problems
  if (!hosts.empty()) {
    lines = failed_pair_lines(pairs, args.options.max_listed);
  }
  std::vector<std::string> messages = check.listed;
  if (check.ranks > size) {
    messages.push_back("pairs from rank " + std::to_string(size) + " on are left out");
    lines.push_back(messages.back());
  }
  const int status = print_report(check, lines);
  const pairdot_model::RunReport report =
      job_report(check, std::move(rank_hosts), std::move(pairs), std::move(messages));
  for (Output &output : outputs) {
    pairdot_writers::commit_replacement(output.file, output.json
                                                         ? pairdot_writers::json_text(report)
                                                         : pairdot_writers::junit_xml(report));
  }
  return status;
}

int run(const Arguments &args, std::vector<Output> &outputs) {
  const std::vector<std::string> hosts = read_hosts(args.hosts_file);
  const auto np = static_cast<std::size_t>(args.options.np);
  if (!hosts.empty() && np > 0 && hosts.size() != np) {
    throw InputError("--hosts " + args.hosts_file + " names " + std::to_string(hosts.size()) +
                     " hosts, but --np is " + std::to_string(np));
  }
  open_output(args.json_file, true, outputs);
  open_output(args.junit_file, false, outputs);
  return check_job(args, hosts, outputs);
}

#endif

} // namespace

int main(int argc, char **argv) {
  Arguments args;
  if (const int status = parse_arguments(argc, argv, args); status >= 0) {
    return status;
  }
  std::vector<Output> outputs;
  int status = exit_usage;
  try {
    status = run(args, outputs);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "pairdot-check: %s\n", error.what());
  }
  discard(outputs);
  return status;
}
