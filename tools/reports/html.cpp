#include "report_text.hpp"
#include "run_report.hpp"

#include <sstream>

namespace pairdot_reports {

namespace {

// Above this many hosts the matrix cells carry neither text nor titles.
constexpr std::size_t tiny_above = 64;

constexpr const char *style = R"(
body { font-family: sans-serif; margin: 1.5em; color: #222; }
table { border-collapse: collapse; margin-bottom: 1em; }
th, td { border: 1px solid #ccc; padding: 2px 6px; text-align: left; vertical-align: top; }
td.text { white-space: pre-wrap; font-family: monospace; }
tr.bad td { background: #fdecea; }
table.matrix td, table.matrix th { text-align: center; padding: 0 2px; min-width: 1.4em; }
table.matrix th.sender { text-align: right; }
table.matrix th.receiver { writing-mode: vertical-rl; transform: rotate(180deg); }
table.tiny td, table.tiny th.receiver { min-width: 0; width: 4px; height: 4px; padding: 0; }
table.tiny td { border: 0; }
table.tiny th { font-size: 6px; }
.verified { background: #43a047; color: #fff; }
.collateral { background: #a5d6a7; color: #1b5e20; }
.failed { background: #e53935; color: #fff; }
.uncovered { background: #bdbdbd; color: #333; }
.self { background: #424242; }
.legend span { display: inline-block; padding: 1px 8px; margin-right: 0.5em; }
)";

std::string escaped(std::string_view raw) {
  std::string out;
  for (const char c : detail::printable(raw)) {
    switch (c) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    case '\'':
      out += "&#39;";
      break;
    default:
      out += c;
    }
  }
  return out;
}

struct CellLook {
  const char *css;
  const char *mark;
  const char *meaning;
};

CellLook look(const Link *link) {
  if (link == nullptr || link->status == link_status::not_covered)
    return {"uncovered", "?", "not covered"};
  if (link->status == link_status::failed)
    return {"failed", "x", "failed"};
  if (link->collateral)
    return {"verified collateral", "c", "verified alone after failing in a bigger job"};
  return {"verified", "+", "verified"};
}

std::string count_text(int count, const char *what) {
  return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

std::string cell(const Link *link, bool tiny) {
  const CellLook cell_look = look(link);
  std::string out = "<td class=\"cell " + std::string(cell_look.css) + "\"";
  if (tiny)
    return out + "></td>";
  std::string title = cell_look.meaning;
  if (link != nullptr) {
    title = link->sender + " -> " + link->receiver + ": " + title + ", " +
            count_text(link->verified_pairs, "verified pair") + ", " +
            count_text(link->failed_pairs, "failed pair");
  }
  return out + " title=\"" + escaped(title) + "\">" + cell_look.mark + "</td>";
}

void write_matrix(std::ostream &out, const RunReport &report) {
  const std::size_t n = report.hosts.size();
  const bool tiny = n > tiny_above;
  const std::vector<const Link *> grid = detail::link_grid(report);
  out << "<table class=\"matrix" << (tiny ? " tiny" : "") << "\">\n<tr><th>sender \\ receiver</th>";
  for (const Host &host : report.hosts) {
    out << "<th class=\"receiver\" title=\"" << escaped(host.name) << "\">"
        << (tiny ? "" : escaped(host.name)) << "</th>";
  }
  out << "</tr>\n";
  for (std::size_t sender = 0; sender < n; ++sender) {
    out << "<tr><th class=\"sender\">" << escaped(report.hosts[sender].name) << "</th>";
    for (std::size_t receiver = 0; receiver < n; ++receiver) {
      out << (sender == receiver ? "<td class=\"cell self\"></td>"
                                 : cell(grid[sender * n + receiver], tiny));
    }
    out << "</tr>\n";
  }
  out << "</table>\n";
}

void write_legend(std::ostream &out) {
  out << "<p class=\"legend\"><span class=\"verified\">+ verified</span>"
         "<span class=\"verified collateral\">c verified alone after failing in a bigger "
         "job</span><span class=\"failed\">x failed</span><span class=\"uncovered\">? not "
         "covered</span><span class=\"self\">&nbsp;</span> same host</p>\n";
}

void write_suspects(std::ostream &out, const RunReport &report) {
  out << "<h2>Suspect hosts</h2>\n";
  if (report.suspect_hosts.empty())
    out << "<p>none</p>\n";
  else {
    out << "<ul>\n";
    for (const std::string &host : report.suspect_hosts)
      out << "<li>" << escaped(host) << "</li>\n";
    out << "</ul>\n";
  }
  out << "<h2>Suspect links</h2>\n";
  if (report.suspect_links.empty())
    out << "<p>none</p>\n";
  else {
    out << "<ul>\n";
    for (const auto &[sender, receiver] : report.suspect_links)
      out << "<li>" << escaped(sender) << " -&gt; " << escaped(receiver) << "</li>\n";
    out << "</ul>\n";
  }
}

void write_failed_links(std::ostream &out, const RunReport &report) {
  out << "<h2>Links with failed pairs</h2>\n";
  out << "<table>\n<tr><th>Sender</th><th>Receiver</th><th>Status</th><th>Verified "
         "pairs</th><th>Failed pairs</th><th>Seen</th></tr>\n";
  for (const Link &link : report.links) {
    if (link.failed_pairs == 0)
      continue;
    out << "<tr><td>" << escaped(link.sender) << "</td><td>" << escaped(link.receiver)
        << "</td><td>" << escaped(link.status) << (link.collateral ? " (collateral)" : "")
        << "</td><td>" << link.verified_pairs << "</td><td>" << link.failed_pairs
        << "</td><td class=\"text\">" << escaped(detail::joined(link.seen)) << "</td></tr>\n";
  }
  out << "</table>\n";
}

std::string failed_pairs_text(const JobOutcome &job) {
  std::string out;
  for (const PairOutcome &pair : job.pairs) {
    if (!pair.verified) {
      out += (out.empty() ? "" : "\n") + detail::pair_label(pair) + ": " + pair.problem;
    }
  }
  return out;
}

void write_jobs(std::ostream &out, const RunReport &report) {
  out << "<h2>Jobs</h2>\n<table>\n<tr><th>Job</th><th>Kind</th><th>Status</th><th>Seconds</th>"
         "<th>Ranks</th><th>Placement</th><th>Messages</th><th>Failed pairs</th></tr>\n";
  for (const JobOutcome &job : report.jobs) {
    out << (job.status == job_status::verified ? "<tr>" : "<tr class=\"bad\">") << "<td>"
        << job.number << "</td><td>" << escaped(job.kind) << "</td><td>" << escaped(job.status)
        << "</td><td>" << detail::seconds_text(job.seconds) << "</td><td>" << job.rank_hosts.size()
        << "</td><td class=\"text\">" << escaped(job.placement) << "</td><td class=\"text\">"
        << escaped(detail::joined(job.messages)) << "</td><td class=\"text\">"
        << escaped(failed_pairs_text(job)) << "</td></tr>\n";
  }
  out << "</table>\n";
}

std::string summary(const RunReport &report) {
  const detail::LinkCounts links = detail::count_links(report);
  return std::to_string(report.hosts.size()) + " hosts, " + std::to_string(report.jobs.size()) +
         " jobs; links: " + std::to_string(links.verified) + " verified, " +
         std::to_string(links.failed) + " failed, " + std::to_string(links.not_covered) +
         " not covered; suspect hosts: " + std::to_string(report.suspect_hosts.size()) +
         ", suspect links: " + std::to_string(report.suspect_links.size()) + ".";
}

} // namespace

std::string html_page(const RunReport &report) {
  const std::string title = (report.tool.empty() ? "pairdot" : report.tool) + " report" +
                            (report.launcher.empty() ? "" : " (" + report.launcher + ")");
  std::ostringstream out;
  out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>"
      << escaped(title) << "</title>\n<style>" << style << "</style>\n</head>\n<body>\n<h1>"
      << escaped(title) << "</h1>\n<p class=\"summary\">" << escaped(summary(report)) << "</p>\n"
      << "<h2>Links: senders in rows, receivers in columns</h2>\n";
  write_matrix(out, report);
  write_legend(out);
  out << "<p class=\"rule\">" << escaped(diagnosis_rule) << "</p>\n";
  write_suspects(out, report);
  write_failed_links(out, report);
  write_jobs(out, report);
  out << "</body>\n</html>\n";
  return out.str();
}

} // namespace pairdot_reports
