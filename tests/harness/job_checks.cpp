#include "job_checks.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <regex>
#include <sstream>

namespace pairdot_harness {

namespace {

namespace fs = std::filesystem;
using pairdot_launch::file_text;
using pairdot_launch::Launcher;

constexpr const char *valgrind_found_errors = "97";

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back(); // a Windows program's CR LF
    }
    lines.push_back(line);
  }
  return lines;
}

std::string rank_name(int rank) { return "rank " + std::to_string(rank); }

// Where a rank's standard output landed; a singleton's is the job's own.
std::string rank_stdout(const Launcher *launcher, const std::string &dir, int rank) {
  return launcher != nullptr ? launcher->rank_stdout(dir, rank) : dir + "/stdout";
}

// A rank's standard error: its own file, or the stream all ranks share.
std::string rank_stderr_text(const JobOptions &options, const Launcher *launcher,
                             const std::string &dir, int rank) {
  if (launcher != nullptr && options.form == "files") {
    return file_text(launcher->rank_stderr(dir, rank));
  }
  return file_text(dir + "/stderr");
}

// The output to check: a file per rank, dir/out.<rank> (empty if the rank
// wrote none), or the launcher's tagged stream.
std::vector<std::string> outputs_to_check(const JobOptions &options, const Launcher *launcher,
                                          const std::string &dir) {
  if (launcher != nullptr && options.form != "files") {
    return {dir + "/stdout"};
  }
  std::vector<std::string> files;
  for (int rank = 0; rank < options.np; ++rank) {
    const std::string file = dir + "/out." + std::to_string(rank);
    const std::string written = rank_stdout(launcher, dir, rank);
    std::error_code error;
    if (written != file && fs::exists(written, error)) {
      fs::copy_file(written, file, fs::copy_options::overwrite_existing, error);
    }
    if (!fs::exists(file, error)) {
      std::ofstream{file};
    }
    files.push_back(file);
  }
  return files;
}

// What the rank's shim wrote as its exit status, if it ran to its end.
std::optional<std::string> rank_exit(const std::string &dir, int rank) {
  const std::string file = dir + "/exit." + std::to_string(rank);
  std::error_code error;
  if (!fs::exists(file, error)) {
    return std::nullopt;
  }
  std::string status = file_text(file);
  status.erase(status.find_last_not_of(" \n") + 1);
  return status;
}

std::vector<std::string> check_command(const JobOptions &options,
                                       const std::vector<std::string> &outputs) {
  std::vector<std::string> argv{options.check, "--np", std::to_string(options.np)};
  argv.insert(argv.end(), outputs.begin(), outputs.end());
  return argv;
}

std::string checker_name(const JobOptions &options) {
  return fs::path(options.check).filename().string();
}

void print_errors(const JobOptions &options, const Launcher *launcher, const std::string &dir) {
  std::cerr << file_text(dir + "/stderr");
  for (int rank = 0; launcher != nullptr && options.form == "files" && rank < options.np; ++rank) {
    for (const std::string &line : lines_of(file_text(launcher->rank_stderr(dir, rank)))) {
      std::cerr << rank_name(rank) << ": " << line << "\n";
    }
  }
}

// The checker must reject the output (exit 1) with a line matching each pattern.
void expect_rejected_output(const JobOptions &options, const std::string &dir,
                            const std::vector<std::string> &outputs) {
  const int status = run_to_end(
      {check_command(options, outputs), {}, dir + "/check.out", dir + "/check.err", false});
  const std::string errors = file_text(dir + "/check.err");
  std::cout << errors;
  if (status != 1) {
    throw Failure(checker_name(options) + " exited " + std::to_string(status) + ", want 1");
  }
  const std::vector<std::string> lines = lines_of(errors);
  for (const std::string &pattern : options.expected_problems) {
    const std::regex problem(pattern, std::regex::extended);
    if (std::none_of(lines.begin(), lines.end(),
                     [&](const std::string &line) { return std::regex_search(line, problem); })) {
      throw Failure(checker_name(options) + " did not report: " + pattern);
    }
  }
}

// Lines of text that are the message, alone or after a launcher's rank tag.
int lines_saying(const std::string &text, const std::string &message) {
  int said = 0;
  for (const std::string &line : lines_of(text)) {
    const std::size_t tag = line.size() - std::min(line.size(), message.size());
    const bool ends_so =
        line.size() >= message.size() && line.compare(tag, message.size(), message) == 0;
    said += ends_so && (tag == 0 || std::string("] :>").find(line[tag - 1]) != std::string::npos);
  }
  return said;
}

// Every rank that finished exited 1 and said once that it could not write.
void expect_failed_writes(const JobOptions &options, const Launcher *launcher,
                          const std::string &dir, const EndedJob &job) {
  if (job.status == 0) {
    throw Failure("job exited 0 although no rank could write its output");
  }
  bool any_exited = false;
  for (int rank = 0; rank < options.np; ++rank) {
    any_exited = any_exited || rank_exit(dir, rank).has_value();
  }
  // Open MPI ends the job when the first rank exits non-zero: later ranks
  // may be killed before they finish.
  const bool may_be_cut =
      launcher != nullptr && launcher->library() == pairdot_launch::MpiLibrary::openmpi;
  for (int rank = 0; rank < options.np; ++rank) {
    const std::optional<std::string> status = rank_exit(dir, rank);
    if (!status && may_be_cut && any_exited) {
      continue;
    }
    if (status != "1") {
      throw Failure(rank_name(rank) + " exited " + status.value_or("nothing") + ", want 1");
    }
    const std::string message = "pairdot: " + rank_name(rank) + ": could not write standard output";
    const int said = lines_saying(rank_stderr_text(options, launcher, dir, rank), message);
    if (said != 1) {
      throw Failure(rank_name(rank) + " wrote " + std::to_string(said) + " error lines, want 1");
    }
  }
  std::cout << "every rank of " << options.np
            << " that finished reported its failed output and exited 1\n";
}

void expect_clean_run(const JobOptions &options, const Launcher *launcher, const std::string &dir,
                      const EndedJob &job, const std::vector<std::string> &outputs) {
  for (int rank = 0; rank < options.np; ++rank) {
    const std::optional<std::string> status = rank_exit(dir, rank);
    if (!status) {
      throw Failure(rank_name(rank) + " did not run to its end");
    }
    if (status == valgrind_found_errors && !options.valgrind.empty()) {
      throw Failure("valgrind found errors in " + rank_name(rank));
    }
    if (status != "0") {
      throw Failure(rank_name(rank) + " exited " + *status);
    }
  }
  if (job.status != 0) {
    print_errors(options, launcher, dir);
    throw Failure("launcher exited " + std::to_string(job.status));
  }
  const pairdot_launch::Spawn check{check_command(options, outputs), {}, {}, {}, false};
  if (!options.check.empty() && run_to_end(check) != 0) {
    throw Failure(checker_name(options) + " rejected the output");
  }
  const pairdot_launch::Spawn trace_check{
      {options.trace_check, dir, std::to_string(options.np), fixed_clock}, {}, {}, {}, false};
  if (!options.trace_check.empty() && run_to_end(trace_check) != 0) {
    throw Failure("calls or output differ");
  }
}

} // namespace

void check_job(const JobOptions &options, const Launcher *launcher, const std::string &dir,
               const EndedJob &job) {
  const std::vector<std::string> outputs = outputs_to_check(options, launcher, dir);
  if (options.kill_rank >= 0) {
    if (job.status == 0) {
      throw Failure("launcher exited 0 although a fault was injected");
    }
  } else if (job.ended_by_bound) {
    throw Failure("job of " + std::to_string(options.np) + " did not end within its time bound");
  }
  if (!options.expected_problems.empty()) {
    expect_rejected_output(options, dir, outputs);
  } else if (!options.stdout_fault.empty()) {
    expect_failed_writes(options, launcher, dir, job);
  } else {
    expect_clean_run(options, launcher, dir, job, outputs);
  }
}

} // namespace pairdot_harness
