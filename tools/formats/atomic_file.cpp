#include "atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pairdot_files {

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

// Cuts a torn last line (a crash while appending) so that the next line
// starts on a line of its own.
bool cut_torn_tail(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0)
    return false;
  char buffer[4096];
  constexpr auto chunk = static_cast<off_t>(sizeof buffer);
  for (off_t end = info.st_size; end > 0;) {
    const off_t start = end > chunk ? end - chunk : 0;
    const ssize_t got = ::pread(fd, buffer, static_cast<std::size_t>(end - start), start);
    if (got != end - start)
      return false;
    for (ssize_t i = got; i > 0; --i) {
      if (buffer[i - 1] == '\n') {
        const off_t kept = start + i;
        return kept == info.st_size || ::ftruncate(fd, kept) == 0;
      }
    }
    end = start;
  }
  return info.st_size == 0 || ::ftruncate(fd, 0) == 0;
}

std::string dir_of(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

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

void append_line(const std::string &path, std::string_view line) {
  const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    cannot_write(path, errno);
  struct stat info {};
  const bool created = ::fstat(fd, &info) == 0 && info.st_size == 0;
  bool ok = cut_torn_tail(fd) && write_all(fd, line) && ::fsync(fd) == 0;
  int error = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok)
    cannot_write(path, error);
  if (created)
    sync_dir(dir_of(path));
}

void sync_dir(const std::string &dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

std::optional<std::string> file_text(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf(); // an empty file inserts nothing and sets failbit: not a fault
  return text.str();
}

} // namespace pairdot_files
