// job_harness: runs one pairdot job for a test through the launch layer and
// checks it; every multi-process test is one run of it. With --print-command
// it prints the launch's command line instead, for the benchmarks to time.
//
//   job_harness --np N --program EXE [options] -- [MPIEXEC NUMPROC_FLAG N PREFLAGS...]
//
// With nothing after --, the program runs without a launcher (a singleton).
// Every job is bounded in time (PAIRDOT_JOB_TIMEOUT, 60 s) and must leave no
// process behind.

#include "bounded_job.hpp"
#include "job_checks.hpp"
#include "job_launch.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <unistd.h>

#ifndef PAIRDOT_RANK_WRAPPER
#define PAIRDOT_RANK_WRAPPER "rank.sh"
#endif

namespace {

namespace fs = std::filesystem;
using namespace pairdot_harness; // NOLINT(google-build-using-namespace)
using pairdot_launch::Launcher;

void add_options(CLI::App &app, JobOptions &options) {
  app.add_option("--np", options.np, "ranks in the job (default 1)")->check(CLI::Range(1, 4096));
  app.add_option("--program", options.program, "the program every rank runs")->required();
  app.add_option("--program-arg", options.program_args, "a word for the program (repeatable)")
      ->allow_extra_args(false);
  app.add_option("--form", options.form,
                 "files: an output file per rank; tagged: the launcher's output, tagged with "
                 "ranks; merged: the launcher's output as it comes (default files)")
      ->check(CLI::IsMember({"files", "tagged", "merged"}));
  auto *check =
      app.add_option("--check", options.check, "check the whole output: EXE --np N FILE...");
  auto *trace = app.add_option("--trace", options.trace,
                               "preload this call tracer, the clock fixed, into every rank");
  app.add_option("--trace-check", options.trace_check,
                 "check every rank's calls and output: EXE DIR NP TIME")
      ->needs(trace);
  app.add_option("--stdout", options.stdout_fault,
                 "every rank's standard output fails: each must exit 1 with one error line")
      ->check(CLI::IsMember({"full", "closed"}));
  app.add_option("--library", options.library,
                 "the MPI library of the launcher, when its --version does not tell")
      ->check(CLI::IsMember({"mpich", "openmpi"}));
  app.add_option("--valgrind", options.valgrind,
                 "run every rank under valgrind memcheck with these suppressions");
  app.add_option("--kill-rank", options.kill_rank,
                 "this rank dies before its send: the launcher must fail")
      ->check(CLI::NonNegativeNumber)
      ->needs(trace);
  app.add_option("--expect-check-failure", options.expected_problems,
                 "the check must reject the output with lines matching each pattern (extended "
                 "regular expressions, up to the next option)")
      ->needs(check);
  auto *print = app.add_flag("--print-command", options.print_command,
                             "print the launch's command line, each word ended by a NUL byte "
                             "(variables the launch needs first, after env); run nothing");
  app.add_option("--dir", options.dir,
                 "--print-command: the job's directory, for placement and output files")
      ->needs(print);
  app.add_option("--hosts", options.rank_hosts,
                 "--print-command: host of every rank, comma-separated; the placement is written "
                 "to DIR/placement")
      ->delimiter(',')
      ->needs(print);
  app.add_option("--tcp", options.tcp, "--print-command: force TCP on this network interface")
      ->needs(print);
  app.footer("After --: the launcher, its process-count flag, N and its other words; nothing: "
             "the program runs alone.\n"
             "Exit status: 0 the job is as it must be, 1 it is not (FAIL: on standard error), "
             "2 usage.");
}

void validate(const JobOptions &options, const LauncherWords &words) {
  if (words.command.empty() && options.np != 1) {
    throw UsageError("a job of " + std::to_string(options.np) + " ranks needs a launcher after --");
  }
  if (!options.trace_check.empty() && options.form != "files") {
    throw UsageError("--trace-check reads the rank files of --form files");
  }
  for (const std::string &pattern : options.expected_problems) {
    try {
      std::regex(pattern, std::regex::extended);
    } catch (const std::regex_error &) {
      throw UsageError("not a regular expression: " + pattern);
    }
  }
  if (!options.rank_hosts.empty() &&
      options.rank_hosts.size() != static_cast<std::size_t>(options.np)) {
    throw UsageError("--hosts names " + std::to_string(options.rank_hosts.size()) +
                     " ranks, --np " + std::to_string(options.np));
  }
  const bool writes_files = options.form == "files" || !options.rank_hosts.empty();
  if (options.print_command && writes_files && options.dir.empty()) {
    throw UsageError("--print-command with --form files or --hosts needs --dir");
  }
}

int print_command(const JobOptions &options, const LauncherWords &words, const Launcher &launcher) {
  const pairdot_launch::Launch launch = job_launch(options, words, launcher);
  if (!options.rank_hosts.empty()) {
    std::error_code error;
    fs::create_directories(options.dir, error);
    std::ofstream placement(options.dir + "/placement");
    if (!(placement << launcher.placement_text(options.rank_hosts))) {
      throw UsageError("cannot write " + options.dir + "/placement");
    }
  }
  std::vector<std::string> argv = launcher.environment(launch);
  if (!argv.empty()) {
    argv.insert(argv.begin(), "env");
  }
  const std::vector<std::string> command = launcher.command_line(launch);
  argv.insert(argv.end(), command.begin(), command.end());
  for (const std::string &word : argv) {
    std::cout << word << '\0';
  }
  return std::cout.flush() ? 0 : 1;
}

// What the ranks need: where to note their exit, an output fault, the call
// tracer and its fixed clock, a rank to kill.
std::vector<std::string> rank_environment(const JobOptions &options, const std::string &dir) {
  std::vector<std::string> env{std::string(status_dir_variable) + "=" + dir,
                               "PAIRDOT_RANK_STDOUT=" + options.stdout_fault};
  if (!options.trace.empty()) {
    env.insert(env.end(), {"PAIRDOT_PRELOAD=" + options.trace, "PAIRDOT_TRACE_DIR=" + dir,
                           std::string("PAIRDOT_FAKE_TIME=") + fixed_clock});
  }
  if (options.kill_rank >= 0) {
    env.push_back("PAIRDOT_KILL_RANK=" + std::to_string(options.kill_rank));
  }
  return env;
}

// Small machines: Open MPI must oversubscribe and yield when idle; as root
// it must be told that this is intended. MPICH ignores these.
std::vector<std::string> launcher_environment() {
  std::vector<std::string> env{"OMPI_MCA_rmaps_base_oversubscribe=1",
                               "OMPI_MCA_mpi_yield_when_idle=1"};
  if (geteuid() == 0) {
    env.insert(env.end(), {"OMPI_ALLOW_RUN_AS_ROOT=1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1"});
  }
  return env;
}

// What rank.sh starts: the program through the job's link, under valgrind if asked.
std::vector<std::string> rank_command(const JobOptions &options, const std::string &dir) {
  std::vector<std::string> argv;
  if (!options.valgrind.empty()) {
    argv = {"valgrind",
            "-q",
            "--error-exitcode=97",
            "--leak-check=full",
            "--errors-for-leak-kinds=definite",
            "--show-leak-kinds=definite",
            "--suppressions=" + options.valgrind};
  }
  argv.push_back(dir + "/pairdot");
  argv.insert(argv.end(), options.program_args.begin(), options.program_args.end());
  return argv;
}

double job_seconds() {
  const char *text = std::getenv("PAIRDOT_JOB_TIMEOUT");
  const double seconds = text != nullptr ? std::strtod(text, nullptr) : 0;
  return seconds > 0 ? seconds : 60;
}

// The whole command: the launcher's, or the shim and program alone.
std::vector<std::string> job_command(const JobOptions &options, const LauncherWords &words,
                                     const Launcher *launcher, const std::string &dir,
                                     std::vector<std::string> &env) {
  const std::vector<std::string> rank_env = rank_environment(options, dir);
  env.insert(env.end(), rank_env.begin(), rank_env.end());
  std::vector<std::string> ranks = rank_command(options, dir);
  if (launcher == nullptr) {
    ranks.insert(ranks.begin(), PAIRDOT_RANK_WRAPPER);
    return ranks;
  }
  pairdot_launch::Launch launch = job_launch(options, words, *launcher);
  launch.dir = dir;
  launch.shim = PAIRDOT_RANK_WRAPPER;
  launch.program = ranks.front();
  launch.program_args.assign(ranks.begin() + 1, ranks.end());
  launch.step_seconds = static_cast<int>(job_seconds() + 0.999);
  // Remote daemons of Open MPI hand on only the variables named.
  for (const std::string &entry : rank_env) {
    launch.forwarded.push_back(entry.substr(0, entry.find('=')));
  }
  const std::vector<std::string> launcher_env = launcher->environment(launch);
  env.insert(env.end(), launcher_env.begin(), launcher_env.end());
  return launcher->command_line(launch);
}

std::string make_job_dir() {
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/pairdot-job.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw Failure("cannot make a directory " + pattern);
  }
  return pattern;
}

// Runs the job and checks it; its directory and processes go either way.
int run_test(const JobOptions &options, const LauncherWords &words, const Launcher *launcher) {
  std::error_code error;
  const fs::path program = fs::canonical(options.program, error);
  if (error) {
    throw UsageError("no program " + options.program);
  }
  catch_interrupts();
  const std::string dir = make_job_dir();
  EndedJob job;
  int status = 0;
  try {
    // Ranks run through a link in the job's own directory, so that this
    // job's processes can be told from those of jobs running beside it.
    fs::create_symlink(program, dir + "/pairdot", error);
    if (error) {
      throw Failure("cannot link " + dir + "/pairdot: " + error.message());
    }
    std::vector<std::string> env = launcher_environment();
    const std::vector<std::string> argv = job_command(options, words, launcher, dir, env);
    job = run_bounded({argv, env, dir + "/stdout", dir + "/stderr", true}, job_seconds());
    const std::vector<std::string> left = processes_left(dir, job.group, 5);
    if (!left.empty()) {
      for (const std::string &process : left) {
        std::cerr << process << "\n";
      }
      throw Failure("processes of the job are left behind");
    }
    check_job(options, launcher, dir, job);
  } catch (const Failure &failure) {
    std::cerr << "FAIL: " << failure.what() << "\n";
    status = 1;
  }
  kill_job_processes(dir, job.group);
  fs::remove_all(dir, error);
  return status;
}

int run_main(int argc, char **argv) {
  CLI::App app{"Runs one pairdot job for a test through the launch layer and checks it."};
  JobOptions options;
  add_options(app, options);
  // The launcher's words after --, apart: they are not ours to parse.
  char **const end = std::find(argv + 1, argv + argc, std::string("--"));
  if (end != argv + argc) {
    options.launcher_words.assign(end + 1, argv + argc);
  }
  CLI11_PARSE(app, static_cast<int>(end - argv), argv);
  try {
    const LauncherWords words = split_launcher_words(options.launcher_words, options.np);
    validate(options, words);
    const Launcher *launcher =
        words.command.empty() ? nullptr : &launcher_for(words.command, options.library);
    if (options.print_command) {
      if (launcher == nullptr) {
        throw UsageError("--print-command needs a launcher after --");
      }
      return print_command(options, words, *launcher);
    }
    return run_test(options, words, launcher);
  } catch (const UsageError &error) {
    std::cerr << "job_harness: " << error.what() << "\n";
    return 2;
  } catch (const Failure &error) {
    std::cerr << "FAIL: " << error.what() << "\n";
    return 1;
  }
}
} // namespace

int main(int argc, char **argv) {
  try {
    return run_main(argc, argv);
  } catch (...) {
    std::fputs("job_harness: unexpected error\n", stderr);
    return 2;
  }
}
