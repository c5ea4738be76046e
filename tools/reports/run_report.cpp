#include "run_report.hpp"
#include "report_text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

namespace pairdot_reports {

namespace detail {

namespace {

// Length of the valid UTF-8 sequence starting at text[at], or 0.
std::size_t utf8_length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = byte(at);
  if (lead < 0x80)
    return 1;
  std::size_t length = 0;
  unsigned low = 0x80; // bounds of the second byte; later ones are 80..BF
  unsigned high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : low;   // no overlong forms
    high = lead == 0xED ? 0x9F : high; // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : low;
    high = lead == 0xF4 ? 0x8F : high; // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (at + length > text.size())
    return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned next = byte(at + i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
      return 0;
  }
  return length;
}

std::string cleaned(std::string_view text, bool controls_too) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = utf8_length(text, at);
    const auto byte = static_cast<unsigned char>(text[at]);
    if (length == 0 || (controls_too && byte < 0x20 && byte != '\t' && byte != '\n')) {
      out += '?';
      ++at;
    } else {
      out.append(text.substr(at, length));
      at += length;
    }
  }
  return out;
}

} // namespace

std::vector<const Link *> link_grid(const RunReport &report) {
  const std::size_t n = report.hosts.size();
  std::unordered_map<std::string, std::size_t> index;
  for (std::size_t host = 0; host < n; ++host)
    index.emplace(report.hosts[host].name, host);
  std::vector<const Link *> grid(n * n, nullptr);
  for (const Link &link : report.links) {
    const auto sender = index.find(link.sender);
    const auto receiver = index.find(link.receiver);
    if (sender != index.end() && receiver != index.end() && sender != receiver)
      grid[sender->second * n + receiver->second] = &link;
  }
  return grid;
}

std::string valid_utf8(std::string_view text) { return cleaned(text, false); }

std::string printable(std::string_view text) { return cleaned(text, true); }

std::string job_name(int number, const std::string &kind) {
  return "job " + std::to_string(number) + " (" + kind + ")";
}

std::string pair_ranks(int even_rank) {
  return std::to_string(even_rank) + " ; " + std::to_string(even_rank + 1);
}

std::string pair_label(const PairOutcome &pair) {
  return "pair " + pair_ranks(pair.even_rank) + " (" + pair.sender + " -> " + pair.receiver + ")";
}

std::string joined(const std::vector<std::string> &lines) {
  std::string out;
  for (const std::string &line : lines)
    out += (out.empty() ? "" : "\n") + line;
  return out;
}

LinkCounts count_links(const RunReport &report) {
  LinkCounts counts;
  for (const Link &link : report.links) {
    counts.verified += link.status == link_status::verified ? 1 : 0;
    counts.failed += link.status == link_status::failed ? 1 : 0;
    counts.not_covered += link.status == link_status::not_covered ? 1 : 0;
  }
  return counts;
}

std::string seconds_text(double seconds) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << std::fixed << std::setprecision(3) << seconds;
  return out.str();
}

} // namespace detail

namespace {

[[noreturn]] void cannot_write(const std::string &path, int error) {
  throw std::runtime_error("cannot write " + path + ": " + std::strerror(error));
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return false;
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// Writes dir/.name.tmp, syncs it and renames it over dir/name.
void replace_file(const std::string &dir, const std::string &name, std::string_view text) {
  const std::string path = dir + "/" + name;
  const std::string temporary = dir + "/." + name + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    cannot_write(path, errno);
  bool ok = write_all(fd, text) && ::fsync(fd) == 0;
  int error = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    cannot_write(path, error);
  }
}

// Makes the renames durable; a failure here loses nothing already written.
void sync_dir(const std::string &dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

} // namespace

void write_report_dir(const std::string &dir, const RunReport &report) {
  const std::string where = dir.empty() ? "." : dir;
  if (::mkdir(where.c_str(), 0777) != 0 && errno != EEXIST)
    cannot_write(where, errno);
  // to_json cleans its text already; never throw on a byte it missed.
  const std::string json =
      to_json(report).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  replace_file(where, "report.json", json);
  replace_file(where, "junit.xml", junit_xml(report));
  replace_file(where, "report.html", html_page(report));
  sync_dir(where);
}

} // namespace pairdot_reports
