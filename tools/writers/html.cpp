#include "report_text.hpp"
#include "writers.hpp"

#include <algorithm>
#include <limits>
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
constexpr std::size_t few_links = 4; // failed links listed per blamed host, switch or group

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
table.matrix .edge, table.matrix td[data-edge] { border-left: 2px solid #333; }
table.matrix tr.edge > * { border-top: 2px solid #333; }
table.matrix th.switch { font-weight: normal; font-style: italic; }
table.matrix th.suspect { background: #e53935; color: #fff; }
td[data-blamed] { outline: 3px solid #b71c1c; outline-offset: -3px; font-weight: bold; }
)";

// Draws the canvas from hosts and rows, hosts in `order` (by switch, each
// `blocks` entry [first position, switch name]); looks: [mark, colour,
// meaning], the later one shown where a pixel holds several links (above
// 2,000 hosts). The rows and columns of `blamed` hosts are shaded, `marked`
// links [sender, receiver] circled with cross-hairs.
constexpr const char *script = R"js(
(function () {
  const n = hosts.length, block = Math.max(1, Math.ceil(n / 2000)), side = Math.ceil(n / block);
  const scale = n <= 200 ? 3 : n <= 400 ? 2 : 1, margin = blocks.length > 0 ? 70 : 0;
  const size = margin + side * scale;
  const canvas = document.getElementById("links"), at = document.getElementById("at");
  canvas.width = canvas.height = size;
  canvas.style.width = canvas.style.height = size + "px";
  const code = new Uint8Array(128), colours = [[255, 255, 255]];
  looks.forEach(function (look, i) {
    code[look[0].charCodeAt(0)] = i + 1;
    const hex = parseInt(look[1].slice(1), 16);
    colours.push([hex >> 16, (hex >> 8) & 255, hex & 255]);
  });
  const place = new Int32Array(n);
  order.forEach(function (host, i) { place[host] = i; });
  const worst = new Uint8Array(side * side);
  for (let y = 0; y < n; ++y) {
    const row = rows[order[y]], base = Math.floor(y / block) * side;
    for (let x = 0; x < n; ++x) {
      const i = base + Math.floor(x / block), c = code[row.charCodeAt(order[x]) & 127];
      if (c > worst[i]) worst[i] = c;
    }
  }
  const picture = document.createElement("canvas");
  picture.width = picture.height = side;
  const image = picture.getContext("2d").createImageData(side, side);
  for (let i = 0; i < worst.length; ++i) {
    const colour = colours[worst[i]];
    image.data[4 * i] = colour[0];
    image.data[4 * i + 1] = colour[1];
    image.data[4 * i + 2] = colour[2];
    image.data[4 * i + 3] = 255;
  }
  picture.getContext("2d").putImageData(image, 0, 0);
  const context = canvas.getContext("2d");
  context.imageSmoothingEnabled = false;
  context.drawImage(picture, margin, margin, side * scale, side * scale);
  const edge = function (host) { return margin + Math.floor(place[host] / block) * scale; };
  const full = side * scale, wide = Math.max(scale, 5);
  context.fillStyle = "rgba(229, 57, 53, 0.3)";
  blamed.forEach(function (host) {
    const p = edge(host) + scale / 2 - wide / 2;
    context.fillRect(margin, p, full, wide);
    context.fillRect(p, margin, wide, full);
  });
  context.strokeStyle = "#212121";
  context.fillStyle = "#212121";
  context.font = "10px sans-serif";
  context.lineWidth = 1;
  blocks.forEach(function (b) {
    const p = margin + Math.floor(b[0] / block) * scale + 0.5;
    context.beginPath();
    context.moveTo(0, p);
    context.lineTo(size, p);
    context.moveTo(p, 0);
    context.lineTo(p, size);
    context.stroke();
    context.fillText(b[1], 2, p + 11, margin - 4);
    context.save();
    context.translate(p + 11, margin - 2);
    context.rotate(-Math.PI / 2);
    context.fillText(b[1], 0, 0, margin - 4);
    context.restore();
  });
  marked.forEach(function (link, i) {
    const x = edge(link[1]) + scale / 2, y = edge(link[0]) + scale / 2;
    if (i < 20) {
      context.strokeStyle = "rgba(183, 28, 28, 0.45)";
      context.lineWidth = 1;
      context.beginPath();
      context.moveTo(margin, y);
      context.lineTo(size, y);
      context.moveTo(x, margin);
      context.lineTo(x, size);
      context.stroke();
    }
    context.strokeStyle = "#b71c1c";
    context.lineWidth = 3;
    context.beginPath();
    context.arc(x, y, 9 + 2 * scale, 0, 2 * Math.PI);
    context.stroke();
  });
  const span = function (first) {
    const last = Math.min(first + block, n) - 1;
    return block === 1 ? hosts[order[first]] : hosts[order[first]] + " .. " + hosts[order[last]];
  };
  canvas.addEventListener("mousemove", function (event) {
    const box = canvas.getBoundingClientRect(); // no border: the box is the picture
    const x = Math.floor(((event.clientX - box.left) / box.width * size - margin) / scale);
    const y = Math.floor(((event.clientY - box.top) / box.height * size - margin) / scale);
    if (x < 0 || y < 0 || x >= side || y >= side) return;
    const look = looks[worst[y * side + x] - 1];
    at.textContent = span(y * block) + " -> " + span(x * block) + ": " + (look ? look[2] : "");
  });
})();
)js";

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
                 const std::map<LinkNames, const LinkDetail *> &troubled, bool marked) {
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
  return std::string("<td class=\"cell ") + look.css + "\" title=\"" + escaped(title) + "\"" +
         (marked ? " data-blamed" : "") + ">" + look.mark + "</td>";
}

// Hosts by the leaf switch they hang under, in switch order, those under
// none last.
std::vector<std::size_t> host_order(const RunReport &report) {
  std::vector<std::size_t> order(report.hosts.size());
  for (std::size_t h = 0; h < order.size(); ++h)
    order[h] = h;
  const std::vector<int> &leaf = report.switches.leaf;
  const auto key = [&leaf](std::size_t h) {
    return h < leaf.size() && leaf[h] >= 0 ? leaf[h] : std::numeric_limits<int>::max();
  };
  std::stable_sort(order.begin(), order.end(),
                   [&key](std::size_t a, std::size_t b) { return key(a) < key(b); });
  return order;
}

// The switches along the ordered hosts: the first position of each.
std::vector<std::pair<std::size_t, std::string>>
switch_blocks(const RunReport &report, const std::vector<std::size_t> &order) {
  std::vector<std::pair<std::size_t, std::string>> blocks;
  if (report.switches.names.empty())
    return blocks;
  const std::vector<int> &leaf = report.switches.leaf;
  const auto leaf_of = [&leaf](std::size_t h) { return h < leaf.size() ? leaf[h] : -1; };
  for (std::size_t i = 0; i < order.size(); ++i) {
    const int mine = leaf_of(order[i]);
    if (i == 0 || mine != leaf_of(order[i - 1]))
      blocks.emplace_back(i, mine < 0 ? std::string("no switch")
                                      : report.switches.names[static_cast<std::size_t>(mine)]);
  }
  return blocks;
}

// Failed links the blame of no host, switch or group covers, and the suspect
// links: (sender, receiver) indices.
std::vector<std::pair<HostIndex, HostIndex>> marked_links(const RunReport &report,
                                                          const detail::Blame &blame) {
  std::set<std::pair<HostIndex, HostIndex>> out;
  const auto at = [&blame](const std::string &host) {
    const auto found = blame.index.find(host);
    return found == blame.index.end() ? -1 : found->second;
  };
  const auto add = [&](const std::string &sender, const std::string &receiver) {
    if (at(sender) >= 0 && at(receiver) >= 0)
      out.emplace(at(sender), at(receiver));
  };
  for (const LinkDetail &link : report.troubled) {
    if (link.verdict == LinkVerdict::failed && at(link.sender) >= 0 && at(link.receiver) >= 0 &&
        blame.owner[static_cast<std::size_t>(at(link.sender))] < 0 &&
        blame.owner[static_cast<std::size_t>(at(link.receiver))] < 0)
      add(link.sender, link.receiver);
  }
  for (const auto &[sender, receiver] : report.suspect_links)
    add(sender, receiver);
  return {out.begin(), out.end()};
}

// A host-by-host table, senders in rows, hosts by switch with a line between
// switches; cell(sender, receiver) writes a <td>.
template <typename Cell>
void write_host_table(std::ostream &out, const RunReport &report, Cell cell) {
  const std::vector<std::size_t> order = host_order(report);
  const auto blocks = switch_blocks(report, order);
  const detail::Blame blame = detail::blame_of(report);
  std::vector<std::uint8_t> edge(order.size(), 0);
  for (const auto &block : blocks)
    edge[block.first] = block.first > 0 ? 1 : 0;
  const auto name_cell = [&](std::size_t position, const char *kind) {
    const std::size_t h = order[position];
    std::string css = kind;
    css += edge[position] != 0 && std::string(kind) == "receiver" ? " edge" : "";
    css += blame.owner[h] >= 0 ? " suspect" : "";
    return "<th class=\"" + css + "\">" + escaped(report.hosts[h].name) + "</th>";
  };
  out << "<table class=\"matrix\">\n";
  if (!blocks.empty()) {
    out << "<tr><th></th><th></th>";
    for (std::size_t b = 0; b < blocks.size(); ++b) {
      const std::size_t end = b + 1 < blocks.size() ? blocks[b + 1].first : order.size();
      out << "<th class=\"switch" << (b > 0 ? " edge" : "") << "\" colspan=\""
          << end - blocks[b].first << "\">" << escaped(blocks[b].second) << "</th>";
    }
    out << "</tr>\n";
  }
  out << "<tr>" << (blocks.empty() ? "" : "<th></th>") << "<th>sender \\ receiver</th>";
  for (std::size_t position = 0; position < order.size(); ++position)
    out << name_cell(position, "receiver");
  out << "</tr>\n";
  std::size_t next_block = 0;
  for (std::size_t row = 0; row < order.size(); ++row) {
    out << (edge[row] != 0 ? "<tr class=\"edge\">" : "<tr>");
    if (next_block < blocks.size() && blocks[next_block].first == row) {
      const std::size_t end =
          next_block + 1 < blocks.size() ? blocks[next_block + 1].first : order.size();
      out << "<th class=\"switch\" rowspan=\"" << end - row << "\">"
          << escaped(blocks[next_block].second) << "</th>";
      ++next_block;
    }
    out << name_cell(row, "sender");
    for (std::size_t column = 0; column < order.size(); ++column) {
      std::string td = cell(order[row], order[column]);
      if (edge[column] != 0)
        td.insert(3, " data-edge"); // after "<td"
      out << td;
    }
    out << "</tr>\n";
  }
  out << "</table>\n";
}

void write_table(std::ostream &out, const RunReport &report) {
  const auto troubled = troubled_by_name(report);
  const std::vector<std::string> rows = detail::matrix_rows(report);
  const std::vector<std::pair<HostIndex, HostIndex>> marked =
      marked_links(report, detail::blame_of(report));
  const std::set<std::pair<HostIndex, HostIndex>> blamed(marked.begin(), marked.end());
  write_host_table(out, report, [&](std::size_t sender, std::size_t receiver) {
    const bool mark =
        blamed.count({static_cast<HostIndex>(sender), static_cast<HostIndex>(receiver)}) != 0;
    return cell(report, sender, receiver, rows[sender][receiver], troubled, mark);
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
  const std::vector<std::size_t> order = host_order(report);
  nlohmann::json blocks = nlohmann::json::array();
  for (const auto &[first, name] : switch_blocks(report, order))
    blocks.push_back({first, detail::printable(name)});
  const detail::Blame blame = detail::blame_of(report);
  nlohmann::json blamed = nlohmann::json::array();
  for (std::size_t h = 0; h < blame.owner.size(); ++h) {
    if (blame.owner[h] >= 0)
      blamed.push_back(h);
  }
  nlohmann::json marked = nlohmann::json::array();
  for (const auto &[sender, receiver] : marked_links(report, blame)) {
    if (marked.size() < max_links_listed)
      marked.push_back({sender, receiver});
  }
  out << "<p id=\"at\" class=\"at\">Point at the picture to name a link.</p>\n"
      << "<canvas id=\"links\" class=\"matrix\"></canvas>\n<script>\nconst hosts = "
      << script_value(hosts) << ";\nconst order = " << script_value(order)
      << ";\nconst blocks = " << script_value(blocks)
      << ";\nconst blamed = " << script_value(blamed)
      << ";\nconst marked = " << script_value(marked) << ";\nconst looks = " << script_value(looks)
      << ";\nconst rows = [\n";
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
  std::vector<std::string> hosts = report.suspect_hosts;
  for (const std::string &host : report.dark) {
    if (std::find(hosts.begin(), hosts.end(), host) == hosts.end())
      hosts.push_back(host);
  }
  write_list(out, "Suspect hosts", hosts, hosts.size(), [&](const std::string &host) {
    const std::string problem = detail::host_problem(report, host);
    out << escaped(host) << (problem.empty() ? "" : ": " + escaped(problem));
  });
  if (!report.suspect_switches.empty()) {
    write_list(out, "Suspect switches", report.suspect_switches, report.suspect_switches.size(),
               [&](const std::string &name) {
                 const auto &names = report.switches.names;
                 const auto at = static_cast<std::size_t>(
                     std::find(names.begin(), names.end(), name) - names.begin());
                 std::vector<std::string> below;
                 for (const HostIndex host :
                      at < names.size() ? report.switches.below[at] : std::vector<HostIndex>{})
                   below.push_back(report.hosts[static_cast<std::size_t>(host)].name);
                 out << escaped(name) << ": " << switch_problem << " ("
                     << escaped(detail::names_text(below, 20)) << ")";
               });
  }
  if (!report.suspect_groups.empty()) {
    write_list(out, "Suspect groups", report.suspect_groups, report.suspect_groups.size(),
               [&](const std::vector<std::string> &group) {
                 out << escaped(detail::names_text(group, 20)) << ": " << group_problem;
               });
  }
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

// The failed links that explain a blame, with what each job saw of them; the
// rest counted.
void write_troubled(std::ostream &out, const RunReport &report) {
  const std::vector<const LinkDetail *> links =
      detail::explaining_links(detail::blame_of(report), report.troubled, few_links);
  out << "<h2>Failed links that explain the suspects</h2>\n";
  if (links.empty()) {
    out << "<p>none</p>\n";
  } else {
    // Long tables are laid out only when scrolled to.
    out << "<section class=\"long\"><table>\n<tr><th>Sender</th><th>Receiver</th><th>Verified "
           "pairs</th><th>Failed pairs</th><th>Seen</th></tr>\n";
    for (std::size_t i = 0; i < links.size() && i < max_links_listed; ++i) {
      const LinkDetail &link = *links[i];
      out << "<tr><td>" << escaped(link.sender) << "</td><td>" << escaped(link.receiver)
          << "</td><td>" << link.verified_pairs << "</td><td>" << link.failed_pairs
          << "</td><td class=\"text\">" << escaped(detail::joined(detail::seen_lines(link)))
          << "</td></tr>\n";
    }
    out << "</table></section>\n";
  }
  std::size_t counts[4] = {}; // per LinkVerdict
  for (const LinkDetail &link : report.troubled)
    ++counts[static_cast<std::size_t>(link.verdict)];
  const std::size_t shown = std::min(links.size(), max_links_listed);
  out << "<p>Links with failed pairs: " << counts[static_cast<std::size_t>(LinkVerdict::failed)]
      << " failed (" << shown << " above), "
      << counts[static_cast<std::size_t>(LinkVerdict::collateral)]
      << " verified alone after failing in a bigger job, "
      << counts[static_cast<std::size_t>(LinkVerdict::verified)] << " verified in other jobs, "
      << counts[static_cast<std::size_t>(LinkVerdict::not_covered)]
      << " not covered; every pair is in jobs.jsonl.</p>\n";
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
  return std::string(detail::run_verdict_word(report.verdict)) + ": " +
         std::to_string(report.hosts.size()) + " hosts, " + std::to_string(report.jobs.size()) +
         " jobs; links: " + std::to_string(links.verified) + " verified, " +
         std::to_string(links.failed) + " failed, " + std::to_string(links.not_covered) +
         " not covered; suspect hosts: " + std::to_string(report.suspect_hosts.size()) +
         (report.dark.empty() ? "" : ", dark hosts: " + std::to_string(report.dark.size())) +
         (report.suspect_switches.empty()
              ? ""
              : ", suspect switches: " + std::to_string(report.suspect_switches.size())) +
         (report.suspect_groups.empty()
              ? ""
              : ", suspect groups: " + std::to_string(report.suspect_groups.size())) +
         ", suspect links: " + std::to_string(report.suspect_links.size()) +
         (has_probes(report) ? ", slow links: " + std::to_string(report.slow_links.size()) +
                                   ", slow hosts: " + std::to_string(report.slow_hosts.size())
                             : std::string()) +
         ".";
}

} // namespace

std::string detail::html_escaped(std::string_view raw) { return escaped(raw); }

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
