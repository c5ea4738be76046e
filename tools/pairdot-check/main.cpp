// pairdot-check: reads the output of one pairdot job and verifies it.

#include "check_job.hpp"

#include <CLI/CLI.hpp>
#include <pairdot_version.hpp>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace pairdot_check_cli {

constexpr std::size_t block_size = std::size_t{1} << 18;

bool read_blocks(std::FILE *file, const std::function<bool(const char *, std::size_t)> &take) {
  const std::unique_ptr<char[]> buffer(new char[block_size]);
  std::size_t got = 0;
  while ((got = std::fread(buffer.get(), 1, block_size, file)) > 0 && take(buffer.get(), got)) {
  }
  return std::ferror(file) == 0;
}

namespace {

std::string label_of(const std::string &file) { return file == "-" ? "<stdin>" : file; }

int cannot_read(const std::string &file) {
  std::fprintf(stderr, "pairdot-check: cannot read %s: %s\n", label_of(file).c_str(),
               std::strerror(errno));
  return exit_usage;
}

} // namespace

int read_job(const std::vector<std::string> &files, pairdot_check::JobCheck &job) {
  std::vector<std::FILE *> opened; // all first, so that a bad name fails before any checking
  for (const std::string &file : files) {
    opened.push_back(file == "-" ? stdin : std::fopen(file.c_str(), "rb"));
    if (opened.back() == nullptr) {
      return cannot_read(file);
    }
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    pairdot_check::FileStreams streams = pairdot_check::open_file(job, label_of(files[i]));
    if (!read_blocks(opened[i], [&](const char *data, std::size_t size) {
          pairdot_check::feed(job, streams, data, size);
          return true;
        })) {
      return cannot_read(files[i]);
    }
    pairdot_check::close_file(job, streams);
    if (opened[i] != stdin) {
      std::fclose(opened[i]);
    }
  }
  return -1;
}

// A library's log lines fail nothing, but are said.
void print_warnings(const pairdot_check::CheckReport &report) {
  for (const std::string &warning : report.warnings) {
    std::fprintf(stderr, "warning: %s\n", warning.c_str());
  }
  if (report.library_lines > report.warnings.size()) {
    std::fprintf(stderr, "warning: %" PRIu64 " more library log lines not listed\n",
                 report.library_lines - report.warnings.size());
  }
}

int print_report(const pairdot_check::CheckReport &report, const std::vector<std::string> &lines) {
  print_warnings(report);
  if (report.ok) {
    std::printf("verified %" PRId64 " ranks, %" PRId64 " pairs\n", report.ranks, report.pairs);
    return std::fflush(stdout) == 0 ? exit_ok : exit_usage;
  }
  for (const auto *listed : {&report.listed, &lines}) {
    for (const std::string &line : *listed) {
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

} // namespace pairdot_check_cli

namespace {

using namespace pairdot_check_cli;

struct Arguments {
  std::string np;
  ReportFiles reports;
  std::vector<std::string> files;
};

void add_options(CLI::App &app, Arguments &args) {
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("--np", args.np, "the job had N ranks (default: 0 to the highest rank seen)")
      ->type_name("N");
  app.add_option("--hosts", args.reports.hosts,
                 "the host of each rank, one a line in rank order ('#' comments); each failed "
                 "pair is then named with its sending and receiving host")
      ->type_name("FILE");
  app.add_option("--json", args.reports.json, "write a JSON report of the job")->type_name("FILE");
  app.add_option("--junit", args.reports.junit, "write a JUnit XML report of the job")
      ->type_name("FILE");
  app.add_option("FILE", args.files,
                 "job output, each file its own stream (e.g. one per rank); standard input when "
                 "none or '-' is named")
      ->type_name("");
  app.footer("Accepts plain output, mpiexec -prepend-rank (MPICH), --tag-output (Open MPI) and "
             "srun --label.\nExit status: 0 correct, 1 wrong or incomplete, 2 usage error, "
             "unreadable or unwritable file.");
  app.allow_extras();
  app.allow_windows_style_options(false);
}

int usage_error(const std::string &what) {
  std::fprintf(stderr, "pairdot-check: %s (see pairdot-check --help)\n", what.c_str());
  return exit_usage;
}

// The rank count --np names, from 1 to 2147483647; 0 if it names none.
std::int32_t rank_count(const std::string &text) {
  char *end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  const bool ok =
      errno == 0 && end != text.c_str() && *end == '\0' && value >= 1 && value <= 0x7fffffff;
  return ok ? static_cast<std::int32_t>(value) : 0;
}

// Fills args from the command line; returns -1 to go on, else the exit status.
int parse_arguments(int argc, char **argv, Arguments &args) {
  // Words after "--" are files, even those that start with '-'.
  char **const end = std::find(argv + 1, argv + argc, std::string("--"));
  CLI::App app("Verifies the output of one pairdot job.", "pairdot-check");
  app.set_version_flag("--version", std::string("pairdot-check ") + pairdot_version::text);
  add_options(app, args);
  // CLI11 would take "--json= x" for "--json x".
  auto *const empty_value = std::find_if(argv + 1, end, [&](const std::string &word) {
    return word.size() > 3 && word.compare(0, 2, "--") == 0 && word.back() == '=' &&
           app.get_option_no_throw(word.substr(0, word.size() - 1)) != nullptr;
  });
  if (empty_value != end) {
    std::string name = *empty_value;
    name.pop_back();
    return usage_error(name + " needs a value");
  }
  try {
    app.parse(static_cast<int>(end - argv), argv);
  } catch (const CLI::Success &help) {
    return app.exit(help);
  } catch (const CLI::ArgumentMismatch &) { // the last word, an option, has no value after it
    return usage_error(std::string(end[-1]) + " needs a value");
  } catch (const CLI::ParseError &error) {
    return usage_error(error.what());
  }
  // CLI11 sets unknown options aside, but takes one like "-5" for a file.
  const std::vector<std::string> extras = app.remaining();
  auto *const unknown = std::find_if(argv + 1, end, [&](const std::string &word) {
    return std::count(extras.begin(), extras.end(), word) > 0 ||
           (word.size() > 1 && word[0] == '-' &&
            std::count(args.files.begin(), args.files.end(), word) > 0);
  });
  if (unknown != end) {
    return usage_error("unknown option '" + std::string(*unknown) + "'");
  }
  const std::pair<const char *, const std::string *> values[] = {{"--np", &args.np},
                                                                 {"--hosts", &args.reports.hosts},
                                                                 {"--json", &args.reports.json},
                                                                 {"--junit", &args.reports.junit}};
  for (const auto &[name, value] : values) {
    if (app.count(name) > 0 && value->empty()) {
      return usage_error(std::string(name) + " needs a value");
    }
  }
  if (!args.np.empty() && rank_count(args.np) == 0) {
    return usage_error("--np wants a rank count from 1 to 2147483647, not '" + args.np + "'");
  }
  if (end != argv + argc) {
    args.files.insert(args.files.end(), end + 1, argv + argc);
  }
  if (args.files.empty()) {
    args.files.emplace_back("-");
  }
  return -1;
}

} // namespace

int main(int argc, char **argv) {
  try {
    Arguments args;
    if (const int status = parse_arguments(argc, argv, args); status >= 0) {
      return status;
    }
    pairdot_check::CheckOptions options;
    options.np = args.np.empty() ? 0 : rank_count(args.np);
    return check_job(args.files, options, args.reports);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "pairdot-check: %s\n", error.what());
    return exit_usage;
  }
}
