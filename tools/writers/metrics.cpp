#include "metrics.hpp"

#include "atomic_file.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

namespace pairdot_writers {

namespace {

using pairdot_model::RunReport;
using pairdot_model::RunVerdict;

// Values with their label's value; the label name is the family's.
using Series = std::vector<std::pair<std::string, double>>;

std::string number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

void family(std::string &out, const std::string &name, const char *help) {
  out += "# HELP " + name + " " + help + "\n# TYPE " + name + " gauge\n";
}

void gauge(std::string &out, const std::string &name, const char *help, double value) {
  family(out, name, help);
  out += name + " " + number(value) + "\n";
}

void labelled(std::string &out, const std::string &name, const char *help, const char *label,
              const Series &series) {
  family(out, name, help);
  for (const auto &[value_of_label, value] : series)
    out += name + "{" + label + "=\"" + label_value(value_of_label) + "\"} " + number(value) + "\n";
}

Series ones(const std::vector<std::string> &names) {
  Series series;
  for (const std::string &name : names)
    series.emplace_back(name, 1);
  return series;
}

bool contains(const std::vector<std::string> &names, const std::string &name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Each host in one state: suspect, else cut off (below a suspect switch or
// in a suspect group), else slow, else ok.
Series hosts_by_state(const RunReport &report) {
  std::vector<std::string> cut_off;
  for (const auto &group : report.suspect_groups)
    cut_off.insert(cut_off.end(), group.begin(), group.end());
  const pairdot_model::SwitchTree &tree = report.switches;
  for (std::size_t s = 0; s < tree.names.size() && s < tree.below.size(); ++s) {
    if (!contains(report.suspect_switches, tree.names[s]))
      continue;
    for (const pairdot_model::HostIndex host : tree.below[s]) {
      if (host >= 0 && static_cast<std::size_t>(host) < report.hosts.size())
        cut_off.push_back(report.hosts[static_cast<std::size_t>(host)].name);
    }
  }
  Series series{{"ok", 0}, {"suspect", 0}, {"cut_off", 0}, {"slow", 0}};
  for (const auto &host : report.hosts) {
    const std::size_t state = contains(report.suspect_hosts, host.name) ? 1
                              : contains(cut_off, host.name)            ? 2
                              : contains(report.slow_hosts, host.name)  ? 3
                                                                        : 0;
    ++series[state].second;
  }
  return series;
}

Series median_bandwidths(const RunReport &report) {
  const auto medians = pairdot_model::host_median_mbps(
      report.quality, static_cast<pairdot_model::HostIndex>(report.hosts.size()));
  Series series;
  for (std::size_t host = 0; host < medians.size(); ++host) {
    if (medians[host])
      series.emplace_back(report.hosts[host].name, *medians[host] * 1e6);
  }
  return series;
}

} // namespace

std::string label_value(std::string_view value) {
  std::string out;
  for (const char c : value) {
    if (c == '\\' || c == '"')
      out += '\\';
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return out;
}

std::string metrics_text(const RunReport &report, const RunTime &time) {
  std::string out;
  gauge(out, "pairdot_last_sweep_timestamp_seconds",
        "When the last sweep (or single job run) ended, in Unix time.",
        time.start_seconds + time.duration_seconds);
  gauge(out, "pairdot_last_sweep_duration_seconds", "How long the last sweep took.",
        time.duration_seconds);
  labelled(out, "pairdot_last_sweep_verdict",
           "The last sweep's verdict: 1 for the one it reached, 0 for the others.", "verdict",
           {{"verified", report.verdict == RunVerdict::verified ? 1 : 0},
            {"fault", report.verdict == RunVerdict::fault ? 1 : 0},
            {"incomplete", report.verdict == RunVerdict::incomplete ? 1 : 0}});
  gauge(out, "pairdot_last_sweep_jobs", "Jobs the last sweep ran.",
        static_cast<double>(report.jobs.size()));
  labelled(out, "pairdot_hosts", "Hosts of the last sweep by state.", "state",
           hosts_by_state(report));
  const pairdot_model::LinkCounts links = pairdot_model::count_links(report);
  labelled(out, "pairdot_links", "Links (ordered pairs of hosts) of the last sweep by state.",
           "state",
           {{"verified", static_cast<double>(links.verified)},
            {"failed", static_cast<double>(links.failed)},
            {"not_covered", static_cast<double>(links.not_covered)}});
  labelled(out, "pairdot_suspect_host", "1 for each host the last sweep found suspect.", "host",
           ones(report.suspect_hosts));
  labelled(out, "pairdot_suspect_switch",
           "1 for each switch whose hosts reach each other but nothing beyond.", "switch",
           ones(report.suspect_switches));
  if (pairdot_model::has_probes(report)) {
    labelled(out, "pairdot_slow_host", "1 for each host the last probe sweep found slow.", "host",
             ones(report.slow_hosts));
    labelled(out, "pairdot_slow_switch",
             "1 for each switch whose uplink the last probe sweep found slow.", "switch",
             ones(report.slow_switches));
    labelled(
        out, "pairdot_host_median_link_bandwidth_bytes_per_second",
        "Each host's median link bandwidth at the largest message size, failed links left out.",
        "host", median_bandwidths(report));
  }
  return out;
}

std::string metrics_path_problem(std::string_view path) {
  const std::string_view suffix = ".prom";
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name.size() <= suffix.size() || name.substr(name.size() - suffix.size()) != suffix)
    return "the file name must end in .prom, the only files the textfile collector reads";
  return {};
}

void write_metrics(const std::string &path, const RunReport &report, const RunTime &time) {
  pairdot_files::FileReplacement file = pairdot_files::begin_replacement(path);
  pairdot_files::commit_replacement(file, metrics_text(report, time));
}

} // namespace pairdot_writers
