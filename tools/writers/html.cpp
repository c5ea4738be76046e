#include "report_text.hpp"
#include "writers.hpp"

#include <algorithm>
#include <locale>
#include <map>
#include <set>
#include <sstream>

namespace pairdot_writers {

namespace {

// Up to this many hosts the matrix is a table with a cell per link; above,
// one canvas drawn by a script from the matrix rows, a pixel per link.
constexpr std::size_t table_hosts = 64;
constexpr std::size_t max_links_listed = 1000;
constexpr std::size_t max_jobs_listed = 2000;

constexpr const char *style = R"(
body { font-family: sans-serif; margin: 1.5em; color: #222; }
table { border-collapse: collapse; margin-bottom: 1em; }
th, td { border: 1px solid #ccc; padding: 2px 6px; text-align: left; vertical-align: top; }
td.text { white-space: pre-wrap; font-family: monospace; }
tr.bad td { background: #fdecea; }
table.matrix td, table.matrix th { text-align: center; padding: 0 2px; min-width: 1.4em; }
table.matrix th.sender { text-align: right; }
table.matrix th.receiver { writing-mode: vertical-rl; transform: rotate(180deg); }
canvas.matrix { image-rendering: pixelated; outline: 1px solid #ccc; cursor: crosshair; }
p.at { font-family: monospace; min-height: 1.2em; }
.legend span { display: inline-block; padding: 1px 8px; margin-right: 0.5em; }
section.long { content-visibility: auto; contain-intrinsic-size: auto 60em; }
)";

// Draws the canvas from hosts and rows; looks: [mark, colour, meaning], the
// later one shown where a pixel holds several links (above 2,000 hosts).
constexpr const char *script = R"(
(function () {
  const n = hosts.length, block = Math.max(1, Math.ceil(n / 2000)), side = Math.ceil(n / block);
  const scale = n <= 200 ? 3 : n <= 400 ? 2 : 1;
  const canvas = document.getElementById("links"), at = document.getElementById("at");
  canvas.width = canvas.height = side;
  canvas.style.width = canvas.style.height = side * scale + "px";
  const code = new Uint8Array(128), colours = [[255, 255, 255]];
  looks.forEach(function (look, i) {
    code[look[0].charCodeAt(0)] = i + 1;
    const hex = parseInt(look[1].slice(1), 16);
    colours.push([hex >> 16, (hex >> 8) & 255, hex & 255]);
  });
  const worst = new Uint8Array(side * side);
  for (let s = 0; s < n; ++s) {
    const row = rows[s], y = Math.floor(s / block) * side;
    for (let r = 0; r < n; ++r) {
      const i = y + Math.floor(r / block), c = code[row.charCodeAt(r) & 127];
      if (c > worst[i]) worst[i] = c;
    }
  }
  const context = canvas.getContext("2d"), image = context.createImageData(side, side);
  for (let i = 0; i < worst.length; ++i) {
    const colour = colours[worst[i]];
    image.data[4 * i] = colour[0];
    image.data[4 * i + 1] = colour[1];
    image.data[4 * i + 2] = colour[2];
    image.data[4 * i + 3] = 255;
  }
  context.putImageData(image, 0, 0);
  const span = function (first) {
    const last = Math.min(first + block, n) - 1;
    return block === 1 ? hosts[first] : hosts[first] + " .. " + hosts[last];
  };
  canvas.addEventListener("mousemove", function (event) {
    const box = canvas.getBoundingClientRect(); // no border: the box is the picture
    const x = Math.floor((event.clientX - box.left) / box.width * side);
    const y = Math.floor((event.clientY - box.top) / box.height * side);
    if (x < 0 || y < 0 || x >= side || y >= side) return;
    const look = looks[worst[y * side + x] - 1];
    at.textContent = span(y * block) + " -> " + span(x * block) + ": " + (look ? look[2] : "");
  });
})();
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

// JSON for a script: no "</script" can appear, '<' is written \u003c.
std::string script_value(const nlohmann::json &value) {
  std::string out;
  for (const char c : value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
    out += c == '<' ? std::string("\\u003c") : std::string(1, c);
  return out;
}

std::string look_css() {
  std::string out;
  for (const detail::CellLook &look : detail::cell_looks) {
    std::string selector = std::string(".") + look.css;
    std::replace(selector.begin(), selector.end(), ' ', '.');
    out += selector + " { background: " + look.colour + "; color: " + look.ink + "; }\n";
  }
  return out;
}

std::string count_text(int count, const char *what) {
  return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

using LinkNames = std::pair<std::string, std::string>;

std::map<LinkNames, const LinkDetail *> troubled_by_name(const RunReport &report) {
  std::map<LinkNames, const LinkDetail *> out;
  for (const LinkDetail &link : report.troubled)
    out.emplace(LinkNames{link.sender, link.receiver}, &link);
  return out;
}

const detail::CellLook &look_of_mark(char mark) {
  for (const detail::CellLook &look : detail::cell_looks) {
    if (look.mark == mark)
      return look;
  }
  return detail::cell_looks[0];
}

std::string cell(const RunReport &report, std::size_t sender, std::size_t receiver, char mark,
                 const std::map<LinkNames, const LinkDetail *> &troubled) {
  if (sender == receiver)
    return std::string("<td class=\"cell ") + detail::cell_looks[detail::self_look].css +
           "\"></td>";
  const detail::CellLook &look = look_of_mark(mark);
  const std::string &from = report.hosts[sender].name;
  const std::string &to = report.hosts[receiver].name;
  std::string title = from + " -> " + to + ": " + look.meaning;
  if (const auto found = troubled.find({from, to}); found != troubled.end()) {
    title += ", " + count_text(found->second->verified_pairs, "verified pair") + ", " +
             count_text(found->second->failed_pairs, "failed pair");
  }
  return std::string("<td class=\"cell ") + look.css + "\" title=\"" + escaped(title) + "\">" +
         look.mark + "</td>";
}

// A host-by-host table, senders in rows; cell(sender, receiver) writes a <td>.
template <typename Cell>
void write_host_table(std::ostream &out, const RunReport &report, Cell cell) {
  const std::size_t n = report.hosts.size();
  out << "<table class=\"matrix\">\n<tr><th>sender \\ receiver</th>";
  for (const Host &host : report.hosts)
    out << "<th class=\"receiver\">" << escaped(host.name) << "</th>";
  out << "</tr>\n";
  for (std::size_t sender = 0; sender < n; ++sender) {
    out << "<tr><th class=\"sender\">" << escaped(report.hosts[sender].name) << "</th>";
    for (std::size_t receiver = 0; receiver < n; ++receiver)
      out << cell(sender, receiver);
    out << "</tr>\n";
  }
  out << "</table>\n";
}

void write_table(std::ostream &out, const RunReport &report) {
  const auto troubled = troubled_by_name(report);
  const std::vector<std::string> rows = detail::matrix_rows(report);
  write_host_table(out, report, [&](std::size_t sender, std::size_t receiver) {
    return cell(report, sender, receiver, rows[sender][receiver], troubled);
  });
}

// A probed link's cell: its bandwidth at the largest size as a share of the
// median link's, red at a quarter or less, green from the median up.
std::string bandwidth_cell(const RunReport &report, const LinkProbe &link) {
  const pairdot_probe::ProbeLine &line = link.line;
  std::string title = report.hosts[static_cast<std::size_t>(link.sender)].name + " -> " +
                      report.hosts[static_cast<std::size_t>(link.receiver)].name + ": ";
  const std::optional<double> top = top_mbps(line);
  const std::optional<double> median = report.quality.median_mbps;
  title += detail::measure_text(link, report.quality);
  if (line.failed_size || !top || !median || *median <= 0) {
    return "<td class=\"cell failed\" title=\"" + escaped(title) + "\">x</td>";
  }
  const double percent = 100 * *top / *median;
  const double hue = 120 * std::clamp((percent - 25) / 75, 0.0, 1.0);
  title += std::string(", ") + probe_verdict_word(link.verdict);
  return "<td class=\"cell\" style=\"background: hsl(" + detail::fixed(hue, 0) +
         ", 60%, 42%); color: #fff\" title=\"" + escaped(title) + "\">" +
         detail::fixed(std::min(percent, 999.0), 0) + "</td>";
}

// Beside the pass/fail matrix: each probed link's bandwidth as a share of
// the median link's.
void write_bandwidth(std::ostream &out, const RunReport &report, bool small) {
  const LinkQuality &quality = report.quality;
  out << "<h2>Bandwidth at the largest size, % of the median link";
  if (quality.median_mbps)
    out << " (" << detail::fixed(*quality.median_mbps, 1) << " MB/s)";
  out << "</h2>\n";
  if (!small) {
    out << "<p>Above " << table_hosts << " hosts each link's bandwidth is in report.json.</p>\n";
    return;
  }
  std::map<std::pair<std::size_t, std::size_t>, const LinkProbe *> probed;
  for (const LinkProbe &link : quality.links)
    probed.emplace(std::pair<std::size_t, std::size_t>(link.sender, link.receiver), &link);
  write_host_table(out, report, [&](std::size_t sender, std::size_t receiver) {
    const auto found = probed.find({sender, receiver});
    return sender == receiver      ? std::string("<td class=\"cell self\"></td>")
           : found == probed.end() ? std::string("<td class=\"cell uncovered\">?</td>")
                                   : bandwidth_cell(report, *found->second);
  });
  out << "<p class=\"rule\">" << escaped(slow_rule_text) << "</p>\n";
}

void write_canvas(std::ostream &out, const RunReport &report) {
  nlohmann::json hosts = nlohmann::json::array();
  for (const Host &host : report.hosts)
    hosts.push_back(detail::printable(host.name));
  nlohmann::json looks = nlohmann::json::array();
  for (const std::size_t at : {detail::self_look, std::size_t{1}, detail::slow_look, std::size_t{2},
                               std::size_t{0}, std::size_t{3}}) {
    const detail::CellLook &look = detail::cell_looks[at];
    looks.push_back({std::string(1, look.mark), look.colour, look.meaning});
  }
  out << "<p id=\"at\" class=\"at\">Point at the picture to name a link.</p>\n"
      << "<canvas id=\"links\" class=\"matrix\"></canvas>\n<script>\nconst hosts = "
      << script_value(hosts) << ";\nconst looks = " << script_value(looks) << ";\nconst rows = [\n";
  // Rows hold marks only: nothing to escape.
  const std::vector<std::string> rows = detail::matrix_rows(report);
  for (std::size_t row = 0; row < rows.size(); ++row)
    out << '"' << rows[row] << (row + 1 < rows.size() ? "\",\n" : "\"\n");
  out << "];" << script << "</script>\n";
}

void write_legend(std::ostream &out, bool with_slow) {
  out << "<p class=\"legend\">";
  for (const std::size_t at : detail::legend_order) {
    if (at == detail::slow_look && !with_slow)
      continue;
    const detail::CellLook &look = detail::cell_looks[at];
    out << "<span class=\"" << look.css << "\">" << look.mark << " " << escaped(look.meaning)
        << "</span>";
  }
  out << "</p>\n";
}

// At most max items, then "... N more".
template <typename Items, typename Write>
void write_list(std::ostream &out, const char *heading, const Items &items, std::size_t max,
                Write write) {
  out << "<h2>" << heading << "</h2>\n";
  if (items.empty()) {
    out << "<p>none</p>\n";
    return;
  }
  out << "<ul>\n";
  for (std::size_t i = 0; i < items.size() && i < max; ++i) {
    out << "<li>";
    write(items[i]);
    out << "</li>\n";
  }
  if (items.size() > max)
    out << "<li>... " << items.size() - max << " more</li>\n";
  out << "</ul>\n";
}

void write_suspects(std::ostream &out, const RunReport &report) {
  const std::set<std::string> cannot_run(report.cannot_run.begin(), report.cannot_run.end());
  const std::set<std::string> cannot_join(report.cannot_join.begin(), report.cannot_join.end());
  write_list(out, "Suspect hosts", report.suspect_hosts, report.suspect_hosts.size(),
             [&](const std::string &host) {
               out << escaped(host)
                   << (cannot_run.count(host) != 0    ? " (cannot run)"
                       : cannot_join.count(host) != 0 ? " (cannot run beside others)"
                                                      : "");
             });
  write_list(out, "Suspect links", report.suspect_links, max_links_listed,
             [&](const LinkNames &link) {
               out << escaped(link.first) << " -&gt; " << escaped(link.second);
             });
  if (!has_probes(report))
    return;
  write_list(out, "Slow hosts", report.slow_hosts, report.slow_hosts.size(),
             [&](const std::string &host) { out << escaped(host); });
  write_list(out, "Slow links", report.slow_links, max_links_listed, [&](const LinkNames &link) {
    out << escaped(link.first) << " -&gt; " << escaped(link.second);
  });
}

// Failed links first, then those that verified in the end or were not
// re-tested.
void write_troubled(std::ostream &out, const RunReport &report) {
  std::vector<const LinkDetail *> links;
  for (const LinkDetail &link : report.troubled)
    links.push_back(&link);
  std::stable_partition(links.begin(), links.end(), [](const LinkDetail *link) {
    return link->verdict == LinkVerdict::failed;
  });
  out << "<h2>Links with failed pairs</h2>\n";
  if (links.empty()) {
    out << "<p>none</p>\n";
    return;
  }
  // Long tables are laid out only when scrolled to.
  out << "<section "
         "class=\"long\"><table>\n<tr><th>Sender</th><th>Receiver</th><th>Status</th><th>Verified "
         "pairs</th><th>Failed pairs</th><th>Seen</th></tr>\n";
  for (std::size_t i = 0; i < links.size() && i < max_links_listed; ++i) {
    const LinkDetail &link = *links[i];
    out << "<tr><td>" << escaped(link.sender) << "</td><td>" << escaped(link.receiver)
        << "</td><td>" << verdict_word(link.verdict)
        << (link.verdict == LinkVerdict::collateral ? " (collateral)" : "") << "</td><td>"
        << link.verified_pairs << "</td><td>" << link.failed_pairs << "</td><td class=\"text\">"
        << escaped(detail::joined(detail::seen_lines(link))) << "</td></tr>\n";
  }
  out << "</table></section>\n";
  if (links.size() > max_links_listed)
    out << "<p>... " << links.size() - max_links_listed << " more in report.json</p>\n";
}

// Small runs show each job's placement and up to 100 failed pairs; large
// ones neither placement nor more than 10 failed pairs, and 2,000 jobs.
void write_jobs(std::ostream &out, const RunReport &report, bool small) {
  out << "<h2>Jobs</h2>\n<section "
         "class=\"long\"><table>\n<tr><th>Job</th><th>Kind</th><th>Status</th><th>Seconds</th>"
         "<th>Ranks</th>"
      << (small ? "<th>Placement</th>" : "") << "<th>Messages</th><th>Failed pairs</th></tr>\n";
  const std::size_t listed = small ? report.jobs.size() : max_jobs_listed;
  for (std::size_t i = 0; i < report.jobs.size() && i < listed; ++i) {
    const JobOutcome &job = report.jobs[i];
    out << (job.status == JobStatus::verified ? "<tr>" : "<tr class=\"bad\">") << "<td>"
        << job.number << "</td><td>" << kind_word(job.kind) << "</td><td>"
        << status_word(job.status) << "</td><td>" << detail::seconds_text(job.seconds)
        << "</td><td>" << job.rank_hosts.size() << "</td>";
    if (small)
      out << "<td class=\"text\">" << escaped(job.placement) << "</td>";
    out << "<td class=\"text\">" << escaped(detail::joined(job.messages))
        << "</td><td class=\"text\">" << escaped(detail::failed_pairs_text(job, small ? 100 : 10))
        << "</td></tr>\n";
  }
  out << "</table></section>\n";
  if (report.jobs.size() > listed)
    out << "<p>... " << report.jobs.size() - listed << " more jobs in jobs.jsonl</p>\n";
}

std::string summary(const RunReport &report) {
  const detail::LinkCounts links = detail::count_links(report);
  return std::string(detail::run_verdict_word(detail::run_verdict(report, links))) + ": " +
         std::to_string(report.hosts.size()) + " hosts, " + std::to_string(report.jobs.size()) +
         " jobs; links: " + std::to_string(links.verified) + " verified, " +
         std::to_string(links.failed) + " failed, " + std::to_string(links.not_covered) +
         " not covered; suspect hosts: " + std::to_string(report.suspect_hosts.size()) +
         ", suspect links: " + std::to_string(report.suspect_links.size()) +
         (has_probes(report) ? ", slow links: " + std::to_string(report.slow_links.size()) +
                                   ", slow hosts: " + std::to_string(report.slow_hosts.size())
                             : std::string()) +
         ".";
}

} // namespace

std::string html_page(const RunReport &report) {
  const bool small = report.hosts.size() <= table_hosts;
  const std::string title = (report.tool.empty() ? "pairdot" : report.tool) + " report" +
                            (report.launcher.empty() ? "" : " (" + report.launcher + ")");
  std::ostringstream out;
  out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>"
      << escaped(title) << "</title>\n<style>" << style << look_css()
      << "</style>\n</head>\n<body>\n<h1>" << escaped(title) << "</h1>\n<p class=\"summary\">"
      << escaped(summary(report)) << "</p>\n"
      << "<h2>Links: senders in rows, receivers in columns</h2>\n";
  if (small)
    write_table(out, report);
  else
    write_canvas(out, report);
  const bool probed = has_probes(report);
  write_legend(out, probed);
  out << "<p class=\"rule\">" << escaped(diagnosis_rule) << "</p>\n";
  if (probed)
    write_bandwidth(out, report, small);
  write_suspects(out, report);
  write_troubled(out, report);
  write_jobs(out, report, small);
  out << "</body>\n</html>\n";
  return out.str();
}

} // namespace pairdot_writers
