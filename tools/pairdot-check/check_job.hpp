#pragma once

// pairdot-check's steps after its options: main.cpp reads and prints, and
// check_job comes from reports.cpp, or from no_reports.cpp where the report
// writers are left out (Windows).

#include "streams.hpp"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace pairdot_check_cli {

constexpr int exit_ok = 0;
constexpr int exit_wrong = 1;
constexpr int exit_usage = 2;

// Host names and report files asked for; empty when not.
struct ReportFiles {
  std::string hosts;
  std::string json;
  std::string junit;
};

// Calls take(data, size) on the file's bytes, in big blocks, while it
// returns true; false on a read error, with errno set.
bool read_blocks(std::FILE *file, const std::function<bool(const char *, std::size_t)> &take);

// Reads every file ("-": standard input) into job; returns -1 to go on,
// else the exit status.
int read_job(const std::vector<std::string> &files, pairdot_check::JobCheck &job);

// Prints the verdict, or the problems and then lines; returns the exit status.
int print_report(const pairdot_check::CheckReport &report, const std::vector<std::string> &lines);

// Checks the job in files, names the hosts of failed pairs and writes the
// report files asked for; returns the exit status. Throws on a bad hosts
// or report file, before any input is read.
int check_job(const std::vector<std::string> &files, const pairdot_check::CheckOptions &options,
              const ReportFiles &reports);

} // namespace pairdot_check_cli
