#include "watch.hpp"

#include "atomic_file.hpp"
#include "history.hpp"
#include "watch_text.hpp"

#include <sys/select.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <vector>

namespace pairdot_run {

namespace {

namespace fs = std::filesystem;
using pairdot_model::SweepEnd;
using pairdot_model::SweepRecord;
using Steady = std::chrono::steady_clock;

constexpr int name_digits = 6;
constexpr const char *latest_name = "latest";

// "2026-12-08T14:50:01.123Z".
std::string utc_now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
  return text;
}

std::vector<long> run_numbers(const std::string &dir) {
  std::vector<long> numbers;
  for (const fs::directory_entry &entry : fs::directory_iterator(dir)) {
    const std::optional<long> number = run_dir_number(entry.path().filename().string());
    if (number && !entry.is_symlink() && entry.is_directory())
      numbers.push_back(*number);
  }
  return numbers;
}

long latest_number(const std::string &dir) {
  std::error_code error;
  const fs::path target = fs::read_symlink(fs::path(dir) / latest_name, error);
  return error ? 0 : run_dir_number(target.string()).value_or(0);
}

// Replaced whole: a new link renamed over the old one.
void point_latest(const std::string &dir, const std::string &name) {
  const fs::path temporary = fs::path(dir) / ".latest.new";
  fs::remove(temporary);
  fs::create_directory_symlink(name, temporary);
  fs::rename(temporary, fs::path(dir) / latest_name);
  pairdot_files::sync_dir(dir);
}

void prune(const std::string &dir, std::size_t keep) {
  for (const long number :
       pairdot_model::runs_to_prune(run_numbers(dir), keep, latest_number(dir))) {
    fs::remove_all(fs::path(dir) / run_dir_name(number));
  }
}

// Sleeps until `until`, waking at once on a stop: the signals are let in
// only while pselect waits.
void sleep_until(Steady::time_point until) {
  sigset_t stops;
  sigset_t before;
  sigemptyset(&stops);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP})
    sigaddset(&stops, signal);
  sigprocmask(SIG_BLOCK, &stops, &before);
  for (auto left = until - Steady::now(); !stop_requested() && left.count() > 0;
       left = until - Steady::now()) {
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec wait{static_cast<std::time_t>(nanos / 1000000000), nanos % 1000000000};
    pselect(0, nullptr, nullptr, nullptr, &wait, &before);
  }
  sigprocmask(SIG_SETMASK, &before, nullptr);
}

SweepEnd sweep_end(RunEnd end) {
  switch (end) {
  case RunEnd::completed:
    return SweepEnd::completed;
  case RunEnd::interrupted:
    return SweepEnd::interrupted;
  case RunEnd::launcher_fails:
  case RunEnd::misplaced:
    break;
  }
  return SweepEnd::could_not_run;
}

// The completed sweeps the rule reads, read from the history at the start
// and kept up as sweeps end.
struct Recent {
  std::vector<SweepRecord> sweeps;
  void add(SweepRecord sweep) {
    if (sweep.end != SweepEnd::completed)
      return;
    sweeps.push_back(std::move(sweep));
    if (sweeps.size() > pairdot_model::history_window)
      sweeps.erase(sweeps.begin());
  }
};

Recent read_recent(const std::string &path) {
  Recent recent;
  if (const std::optional<std::string> text = pairdot_files::file_text(path)) {
    pairdot_writers::HistoryRead read = pairdot_writers::read_history(*text, path);
    for (const std::string &warning : read.warnings)
      std::fprintf(stderr, "pairdot-run: %s\n", warning.c_str());
    for (SweepRecord &sweep : read.sweeps)
      recent.add(std::move(sweep));
  }
  return recent;
}

// Runs one sweep in the next run directory and keeps what it found.
void sweep_once(const RunOptions &options, const WatchOptions &watch, const SweepRunner &sweep,
                Recent &recent) {
  const std::string &dir = options.report_dir;
  const std::vector<long> numbers = run_numbers(dir);
  const std::string name =
      run_dir_name(numbers.empty() ? 1 : *std::max_element(numbers.begin(), numbers.end()) + 1);
  const std::string run_dir = dir + "/" + name;
  if (!fs::create_directory(run_dir))
    throw std::runtime_error("cannot make the run directory " + run_dir + ": it exists");
  std::fprintf(stderr, "pairdot-run: watch: sweep %s\n", run_dir.c_str());
  RunOptions one = options;
  one.report_dir = run_dir;
  std::optional<pairdot_model::RunReport> report;
  RunEnd end = RunEnd::interrupted;
  RunListener keeper;
  keeper.ended = [&report, &end](const pairdot_model::RunReport &ended, RunEnd how) {
    report = ended;
    end = how;
  };
  one.listeners.push_back(keeper);
  const std::string time = utc_now();
  const Steady::time_point started = Steady::now();
  sweep(one);
  if (!report)
    throw std::runtime_error("the sweep in " + run_dir + " ended untold");
  SweepRecord record = pairdot_model::sweep_record(*report, sweep_end(end));
  record.run = name;
  record.time = time;
  record.seconds = std::chrono::duration<double>(Steady::now() - started).count();
  pairdot_files::append_line(dir + "/history.jsonl", pairdot_writers::history_line(record));
  recent.add(std::move(record));
  const auto found = pairdot_model::find_intermittent(recent.sweeps);
  pairdot_writers::write_watch_reports(run_dir, *report, found,
                                       pairdot_model::host_rows(recent.sweeps));
  std::fputs(pairdot_writers::intermittent_lines(found).c_str(), stdout);
  std::fflush(stdout);
  if (end == RunEnd::completed)
    point_latest(dir, name);
  prune(dir, watch.keep);
}

} // namespace

std::string run_dir_name(long number) {
  std::string digits = std::to_string(number);
  if (digits.size() < name_digits)
    digits.insert(0, name_digits - digits.size(), '0');
  return digits;
}

std::optional<long> run_dir_number(const std::string &name) {
  const bool digits =
      name.size() >= name_digits && name.size() <= 18 &&
      std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!digits)
    return std::nullopt;
  return std::stol(name);
}

int watch(const RunOptions &options, const WatchOptions &watch, const SweepRunner &sweep) {
  Recent recent = read_recent(options.report_dir + "/history.jsonl");
  const auto interval =
      std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(watch.interval));
  for (int done = 0; !stop_requested() && (watch.count == 0 || done < watch.count); ++done) {
    const Steady::time_point next = Steady::now() + interval;
    sweep_once(options, watch, sweep, recent);
    if (watch.count == 0 || done + 1 < watch.count)
      sleep_until(next);
  }
  return exit_verified; // stopped as asked: what the sweeps found is in the history
}

int watch(const RunOptions &options, const WatchOptions &watch_options) {
  return watch(options, watch_options, [](const RunOptions &one) { return run(one); });
}

} // namespace pairdot_run
