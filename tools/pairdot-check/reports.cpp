// pairdot-check's hosts file, per-pair lines and report files.

#include "atomic_file.hpp"
#include "check_job.hpp"
#include "host_names.hpp"
#include "writers.hpp"

#include <cerrno>
#include <cstring>
#include <unordered_map>

namespace pairdot_check_cli {

namespace {

using pairdot_hosts::InputError;

constexpr std::size_t max_hosts_bytes = std::size_t{1} << 26;
// Ranks beyond this are left out of the per-pair lines and reports.
constexpr std::int64_t max_pair_ranks = std::int64_t{1} << 18;

// A report file being written, and which.
struct Output {
  pairdot_files::FileReplacement file;
  bool json = false; // else JUnit XML
};

// The host of each rank from a --hosts file; empty when none is named.
std::vector<std::string> read_hosts(const std::string &path) {
  if (path.empty()) {
    return {};
  }
  std::string text;
  std::FILE *file = std::fopen(path.c_str(), "rb");
  const bool read = file != nullptr && read_blocks(file, [&](const char *data, std::size_t size) {
                      text.append(data, size);
                      return text.size() <= max_hosts_bytes;
                    });
  const int error = errno;
  if (file != nullptr) {
    std::fclose(file);
  }
  if (!read) {
    throw InputError("cannot read " + path + ": " + std::strerror(error));
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

// The host of every rank below size: from --hosts ('?' past its end), else "unknown".
std::vector<std::string> rank_hosts_of(const std::vector<std::string> &hosts, std::int64_t size) {
  std::vector<std::string> out;
  for (std::size_t rank = 0; rank < static_cast<std::size_t>(size); ++rank) {
    out.push_back(hosts.empty() ? "unknown" : rank < hosts.size() ? hosts[rank] : "?");
  }
  return out;
}

// The hosts in first-seen order, each with its rank count as its slots; '?' is none.
std::vector<pairdot_hosts::Host> hosts_with_ranks(const std::vector<std::string> &rank_hosts) {
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
  report.hosts = hosts_with_ranks(rank_hosts);
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

// Checks the job and writes its reports into the outputs opened.
int check_and_write(const std::vector<std::string> &files,
                    const pairdot_check::CheckOptions &options,
                    const std::vector<std::string> &hosts, std::vector<Output> &outputs) {
  pairdot_check::JobCheck job;
  job.options = options;
  if (const int status = read_job(files, job); status >= 0) {
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
    lines = failed_pair_lines(pairs, options.max_listed);
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
    pairdot_files::commit_replacement(output.file, output.json
                                                       ? pairdot_writers::json_text(report)
                                                       : pairdot_writers::junit_xml(report));
  }
  return status;
}

} // namespace

int check_job(const std::vector<std::string> &files, const pairdot_check::CheckOptions &options,
              const ReportFiles &reports) {
  const std::vector<std::string> hosts = read_hosts(reports.hosts);
  const auto np = static_cast<std::size_t>(options.np);
  if (!hosts.empty() && np > 0 && hosts.size() != np) {
    throw InputError("--hosts " + reports.hosts + " names " + std::to_string(hosts.size()) +
                     " hosts, but --np is " + std::to_string(np));
  }
  // Report files are opened at once, so that an unwritable path fails before
  // any input is read; those not written in the end are removed.
  std::vector<Output> outputs;
  const auto discard = [&] {
    for (Output &output : outputs) {
      pairdot_files::abandon_replacement(output.file);
    }
  };
  try {
    for (const auto &[path, json] : {std::pair{&reports.json, true}, {&reports.junit, false}}) {
      if (!path->empty()) {
        outputs.push_back({pairdot_files::begin_replacement(*path), json});
      }
    }
    const int status = check_and_write(files, options, hosts, outputs);
    discard();
    return status;
  } catch (...) {
    discard();
    throw;
  }
}

} // namespace pairdot_check_cli
