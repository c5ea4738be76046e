#include "watch_text.hpp"

#include "atomic_file.hpp"
#include "report_text.hpp"

#include <algorithm>
#include <array>
#include <sstream>

namespace pairdot_writers {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

const char *end_word(SweepEnd end) {
  switch (end) {
  case SweepEnd::interrupted:
    return "interrupted";
  case SweepEnd::could_not_run:
    return "could not run";
  case SweepEnd::completed:
    break;
  }
  return "completed";
}

constexpr std::array sweep_ends{SweepEnd::completed, SweepEnd::interrupted,
                                SweepEnd::could_not_run};
constexpr std::array verdicts{RunVerdict::verified, RunVerdict::fault, RunVerdict::incomplete};

// The value whose word this is.
template <typename Enum, std::size_t N>
Enum from_word(const std::string &word, const std::array<Enum, N> &values,
               const char *(*to_word)(Enum)) {
  for (const Enum value : values) {
    if (word == to_word(value))
      return value;
  }
  throw std::runtime_error("unknown word \"" + word + "\"");
}

ordered_json links_json(const std::vector<Link> &links) {
  ordered_json out = ordered_json::array();
  for (const auto &[sender, receiver] : links)
    out.push_back({sender, receiver});
  return out;
}

std::vector<Link> links_of(const json &in) {
  std::vector<Link> links;
  for (const json &link : in)
    links.emplace_back(link.at(0).get<std::string>(), link.at(1).get<std::string>());
  return links;
}

SweepRecord sweep_of(const json &in) {
  SweepRecord sweep;
  sweep.run = in.at("run").get<std::string>();
  sweep.time = in.at("time").get<std::string>();
  sweep.seconds = in.at("seconds").get<double>();
  sweep.end = from_word(in.at("end").get<std::string>(), sweep_ends, end_word);
  sweep.verdict =
      from_word(in.at("verdict").get<std::string>(), verdicts, detail::run_verdict_word);
  sweep.hosts = in.at("hosts").get<std::vector<std::string>>();
  sweep.suspect_hosts = in.at("suspect_hosts").get<std::vector<std::string>>();
  sweep.suspect_switches = in.at("suspect_switches").get<std::vector<std::string>>();
  sweep.suspect_links = links_of(in.at("suspect_links"));
  sweep.failed_links = links_of(in.at("failed_links"));
  sweep.slow_links = links_of(in.at("slow_links"));
  return sweep;
}

// Never throws on a byte that is not UTF-8.
std::string dumped(const ordered_json &value, int indent) {
  return value.dump(indent, ' ', false, json::error_handler_t::replace);
}

std::string counts_text(const Intermittent &found) {
  return "failed " + std::to_string(found.failed) + " of " + std::to_string(found.sweeps) +
         " sweeps";
}

// Each host's last sweeps, a cell each, oldest first.
std::string rows_html(const std::vector<HostRow> &rows) {
  if (rows.empty())
    return {};
  std::ostringstream out;
  out << "<h2>Last sweeps of each host, newest last</h2>\n<style>td.sweep { width: 0.9em; "
         "padding: 0; } td.s-verified { background: #9be39b; } td.s-failed { background: "
         "#e36b6b; } td.s-not-tested { background: #ddd; }</style>\n<table class=\"sweeps\">\n";
  for (const HostRow &row : rows) {
    out << "<tr><th>" << detail::html_escaped(row.host) << "</th>";
    for (const SweepMark mark : row.marks) {
      const char *word = mark == SweepMark::verified ? "verified"
                         : mark == SweepMark::failed ? "failed"
                                                     : "not tested";
      std::string css = word;
      std::replace(css.begin(), css.end(), ' ', '-');
      out << "<td class=\"sweep s-" << css << "\" title=\"" << word << "\"></td>";
    }
    out << "</tr>\n";
  }
  out << "</table>\n";
  return out.str();
}

} // namespace

std::string history_line(const SweepRecord &sweep) {
  ordered_json out;
  out["run"] = sweep.run;
  out["time"] = sweep.time;
  out["seconds"] = sweep.seconds;
  out["end"] = end_word(sweep.end);
  out["verdict"] = detail::run_verdict_word(sweep.verdict);
  out["hosts"] = sweep.hosts;
  out["suspect_hosts"] = sweep.suspect_hosts;
  out["suspect_switches"] = sweep.suspect_switches;
  out["suspect_links"] = links_json(sweep.suspect_links);
  out["failed_links"] = links_json(sweep.failed_links);
  out["slow_links"] = links_json(sweep.slow_links);
  return dumped(out, -1) + "\n";
}

HistoryRead read_history(const std::string &text, const std::string &path) {
  HistoryRead read;
  std::size_t number = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end == std::string::npos ? end : end - at);
    ++number;
    at = end == std::string::npos ? text.size() : end + 1;
    try {
      read.sweeps.push_back(sweep_of(json::parse(line)));
    } catch (const std::exception &error) {
      read.warnings.push_back(path + ": line " + std::to_string(number) +
                              (end == std::string::npos
                                   ? " torn (a watch ended while writing it): left out"
                                   : std::string(" left out: ") + error.what()));
    }
  }
  return read;
}

ordered_json intermittent_json(const std::vector<Intermittent> &found) {
  ordered_json out = ordered_json::array();
  for (const Intermittent &one : found) {
    ordered_json item;
    if (one.host.empty())
      item["link"] = {one.link.first, one.link.second};
    else
      item["host"] = one.host;
    item["failed"] = one.failed;
    item["sweeps"] = one.sweeps;
    out.push_back(std::move(item));
  }
  return out;
}

std::string intermittent_lines(const std::vector<Intermittent> &found) {
  std::string out;
  for (const Intermittent &one : found) {
    out += one.host.empty()
               ? "intermittent link: " + one.link.first + " -> " + one.link.second + " "
               : "intermittent host: " + one.host + " ";
    out += counts_text(one) + "\n";
  }
  return out;
}

void write_watch_reports(const std::string &dir, const RunReport &report,
                         const std::vector<Intermittent> &found, const std::vector<HostRow> &rows) {
  ordered_json json_out = to_json(report);
  json_out["intermittent"] = intermittent_json(found);
  std::string page = html_page(report);
  std::string section = rows_html(rows);
  for (const Intermittent &one : found) {
    std::string line = intermittent_lines({one});
    line.pop_back();
    section += "<p class=\"intermittent\">" + detail::html_escaped(line) + "</p>\n";
  }
  page.insert(page.rfind("</body>"), section);
  const std::pair<const char *, std::string> files[] = {{"report.json", dumped(json_out, 1) + "\n"},
                                                        {"report.html", page}};
  for (const auto &[name, text] : files) {
    pairdot_files::FileReplacement file = pairdot_files::begin_replacement(dir + "/" + name);
    pairdot_files::commit_replacement(file, text);
  }
  pairdot_files::sync_dir(dir);
}

} // namespace pairdot_writers
