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

// Makes the renames durable; a failure here loses nothing already written.
void sync_dir(const std::string &dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

} // namespace

std::string pair_name(const PairOutcome &pair) {
  return "pair " + detail::pair_ranks(pair.even_rank) + " (" + pair.sender + " -> " +
         pair.receiver + ")";
}

std::string json_text(const RunReport &report) {
  // to_json cleans its text already; never throw on a byte it missed.
  return to_json(report).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

FileReplacement begin_replacement(const std::string &path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
    cannot_write(path, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
  FileReplacement file{path, path + ".tmp" + std::to_string(::getpid()), -1};
  file.fd = ::open(file.temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (file.fd < 0)
    cannot_write(path, errno);
  return file;
}

void commit_replacement(FileReplacement &file, std::string_view text) {
  bool ok = write_all(file.fd, text) && ::fsync(file.fd) == 0;
  int error = errno;
  if (::close(file.fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  file.fd = -1;
  if (ok && ::rename(file.temporary.c_str(), file.path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    abandon_replacement(file);
    cannot_write(file.path, error);
  }
  file.temporary.clear();
}

void abandon_replacement(FileReplacement &file) {
  if (file.fd >= 0)
    ::close(file.fd);
  file.fd = -1;
  if (!file.temporary.empty())
    ::unlink(file.temporary.c_str());
  file.temporary.clear();
}

void write_report_dir(const std::string &dir, const RunReport &report) {
  const std::string where = dir.empty() ? "." : dir;
  if (::mkdir(where.c_str(), 0777) != 0 && errno != EEXIST)
    cannot_write(where, errno);
  const std::pair<const char *, std::string> files[] = {{"report.json", json_text(report)},
                                                        {"junit.xml", junit_xml(report)},
                                                        {"report.html", html_page(report)}};
  for (const auto &[name, text] : files) {
    FileReplacement file = begin_replacement(where + "/" + name);
    commit_replacement(file, text);
  }
  sync_dir(where);
}

} // namespace pairdot_reports
