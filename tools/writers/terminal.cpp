#include "report_text.hpp"
#include "writers.hpp"

#include <algorithm>

namespace pairdot_writers {

namespace {

constexpr std::size_t max_hosts = 32;

// Bytes outside printable ASCII but newlines become '?'.
std::string ascii(const std::string &text) {
  std::string out = text;
  std::replace_if(
      out.begin(), out.end(), [](char c) { return (c < ' ' && c != '\n') || c > '~'; }, '?');
  return out;
}

std::string right_aligned(const std::string &text, std::size_t width) {
  return std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
}

} // namespace

std::string terminal_matrix(const RunReport &report) {
  const std::size_t n = report.hosts.size();
  if (n > max_hosts)
    return "";
  std::size_t name_width = 0;
  for (const Host &host : report.hosts)
    name_width = std::max(name_width, host.name.size());
  const std::size_t column = std::to_string(n).size() + 1;
  const std::vector<std::string> rows = detail::matrix_rows(report);
  std::string out = detail::legend_text(has_probes(report)) + "; senders in rows\n";
  out += std::string(4 + name_width, ' ');
  for (std::size_t receiver = 1; receiver <= n; ++receiver)
    out += right_aligned(std::to_string(receiver), column);
  out += '\n';
  for (std::size_t sender = 0; sender < n; ++sender) {
    const std::string &name = report.hosts[sender].name;
    out += right_aligned(std::to_string(sender + 1), 3) + ' ' + ascii(name) +
           std::string(name_width - name.size(), ' ');
    for (std::size_t receiver = 0; receiver < n; ++receiver) {
      out += right_aligned(std::string(1, rows[sender][receiver]), column);
    }
    out += '\n';
  }
  return out;
}

std::string suspect_lines(const RunReport &report) {
  std::string out;
  const auto line = [&out](const std::string &text) { out += text + "\n"; };
  for (const std::string &host : report.cannot_join)
    line("host " + host + " " + cannot_join_problem);
  for (const std::string &host : report.cannot_run)
    line("host " + host + " " + cannot_run_problem);
  for (const std::string &host : report.dark)
    line("host " + host + " " + dark_problem);
  for (const std::string &host : report.suspect_hosts)
    line("suspect host: " + host);
  for (const std::string &name : report.suspect_switches)
    line("suspect switch: " + name + ": " + switch_problem);
  for (const std::vector<std::string> &group : report.suspect_groups) {
    std::string names;
    for (const std::string &host : group)
      names += (names.empty() ? "" : ", ") + host;
    line("suspect group: " + names + ": " + group_problem);
  }
  for (const auto &[sender, receiver] : report.suspect_links)
    line(std::string("suspect link: ").append(sender).append(" -> ").append(receiver));
  return ascii(out);
}

} // namespace pairdot_writers
