#include "report_text.hpp"
#include "run_report.hpp"

#include <algorithm>

namespace pairdot_reports {

namespace {

constexpr std::size_t max_hosts = 32;

char mark(const Link *link) {
  if (link == nullptr || link->status == link_status::not_covered)
    return '?';
  if (link->status == link_status::failed)
    return 'x';
  return link->collateral ? 'c' : '+';
}

// Bytes outside printable ASCII become '?'.
std::string ascii(const std::string &text) {
  std::string out = text;
  std::replace_if(
      out.begin(), out.end(), [](char c) { return c < ' ' || c > '~'; }, '?');
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
  const std::vector<const Link *> grid = detail::link_grid(report);
  std::string out = "+ verified, c verified alone after failing in a bigger job, x failed, "
                    "? not covered, . same host; senders in rows\n";
  out += std::string(4 + name_width, ' ');
  for (std::size_t receiver = 1; receiver <= n; ++receiver)
    out += right_aligned(std::to_string(receiver), column);
  out += '\n';
  for (std::size_t sender = 0; sender < n; ++sender) {
    const std::string &name = report.hosts[sender].name;
    out += right_aligned(std::to_string(sender + 1), 3) + ' ' + ascii(name) +
           std::string(name_width - name.size(), ' ');
    for (std::size_t receiver = 0; receiver < n; ++receiver) {
      const char cell = sender == receiver ? '.' : mark(grid[sender * n + receiver]);
      out += right_aligned(std::string(1, cell), column);
    }
    out += '\n';
  }
  return out;
}

} // namespace pairdot_reports
