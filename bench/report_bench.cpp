// The reports of a large sweep, every pair verified: the time to append each
// job to the journal, the time of one full summary (diagnose and the report
// directory), the sizes of the files and the peak RSS. Prints one JSON object.
//
//   report_bench [--hosts 1000] [--slots 64] [--dir DIR]

#include "plan.hpp"
#include "writers.hpp"

#include <CLI/CLI.hpp>

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using pairdot_model::JobOutcome;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0; // KiB on Linux
}

// A sweep job as pairdot-run records it: MPICH placement, every pair verified.
JobOutcome verified_job(int number, const pairdot_run::PlannedJob &planned,
                        const std::vector<std::string> &names) {
  JobOutcome job;
  job.number = number;
  job.kind = pairdot_model::JobKind::sweep;
  job.status = pairdot_model::JobStatus::verified;
  job.seconds = 2.5;
  for (const std::int32_t host : planned.rank_hosts) {
    job.rank_hosts.push_back(names[static_cast<std::size_t>(host)]);
    job.placement += job.rank_hosts.back() + ":1\n";
  }
  for (std::size_t rank = 0; rank + 1 < job.rank_hosts.size(); rank += 2)
    job.pairs.push_back({static_cast<std::int32_t>(rank),
                         job.rank_hosts[rank],
                         job.rank_hosts[rank + 1],
                         true,
                         "",
                         std::nullopt,
                         {}});
  return job;
}

std::uintmax_t size_of(const std::string &path) { return std::filesystem::file_size(path); }

} // namespace

int run_main(int argc, char **argv) {
  int hosts = 1000;
  int slots = 64;
  std::string dir;
  CLI::App app{"Times and sizes the reports of a large all-verified sweep."};
  app.add_option("--hosts", hosts, "hosts in the sweep")->check(CLI::Range(2, 100000));
  app.add_option("--slots", slots, "slots per host")->check(CLI::Range(1, 4096));
  app.add_option("--dir", dir, "report directory (default: a new one in TMPDIR)");
  CLI11_PARSE(app, argc, argv);
  if (dir.empty()) {
    const char *tmp = std::getenv("TMPDIR");
    dir = std::string(tmp != nullptr ? tmp : "/tmp") + "/report_bench_XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) {
      std::perror("report_bench: mkdtemp");
      return 1;
    }
  } else if (std::filesystem::exists(dir + "/jobs.jsonl")) {
    std::fprintf(stderr, "report_bench: %s/jobs.jsonl exists already\n", dir.c_str());
    return 2;
  }
  try {
    std::filesystem::create_directories(dir);
    pairdot_model::RunReport report;
    report.tool = "pairdot-run";
    report.launcher = "mpich";
    std::vector<std::string> names;
    for (int host = 0; host < hosts; ++host) {
      names.push_back("node" + std::to_string(host));
      report.hosts.push_back({names.back(), slots});
    }
    const auto plan =
        pairdot_run::plan_sweep(std::vector<int>(static_cast<std::size_t>(hosts), slots));
    std::vector<double> journal;
    for (const pairdot_run::PlannedJob &planned : plan) {
      report.jobs.push_back(verified_job(static_cast<int>(report.jobs.size()) + 1, planned, names));
      const Clock::time_point start = Clock::now();
      pairdot_writers::append_journal(dir, report.jobs.back());
      journal.push_back(seconds_since(start));
    }
    report.rounds = static_cast<int>(report.jobs.size());
    const Clock::time_point start = Clock::now();
    pairdot_model::diagnose(report);
    pairdot_writers::write_report_dir(dir, report);
    const double summary = seconds_since(start);
    std::vector<double> sorted = journal;
    std::sort(sorted.begin(), sorted.end());
    nlohmann::ordered_json out;
    out["hosts"] = hosts;
    out["slots"] = slots;
    out["jobs"] = report.jobs.size();
    out["journal_seconds_median"] = sorted[sorted.size() / 2];
    out["journal_seconds_max"] = sorted.back();
    out["summary_seconds"] = summary;
    out["journal_bytes"] = size_of(dir + "/jobs.jsonl");
    out["report_json_bytes"] = size_of(dir + "/report.json");
    out["junit_bytes"] = size_of(dir + "/junit.xml");
    out["html_bytes"] = size_of(dir + "/report.html");
    out["peak_rss_mib"] = peak_rss_mib();
    std::printf("%s\n", out.dump().c_str());
  } catch (const std::exception &error) {
    std::fprintf(stderr, "report_bench: %s\n", error.what());
    return 1;
  }
  return 0;
}

int main(int argc, char **argv) {
  try {
    return run_main(argc, argv);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "%s: %s\n", "report_bench", error.what());
    return 2;
  }
}
