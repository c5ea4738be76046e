#pragma once

// What several test files need: a fresh directory, and the message a call
// throws.

#include <cstdlib> // mkdtemp
#include <filesystem>
#include <stdexcept>
#include <string>

namespace test_support {

// Removed at the end of its scope; in memory where there is a memory file
// system (reports are synced to disk job by job).
struct TempDir {
  std::string path;
  TempDir() {
    namespace fs = std::filesystem;
    const fs::path base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
    path = (base / "pairdot-test.XXXXXX").string();
    if (::mkdtemp(path.data()) == nullptr)
      throw std::runtime_error("mkdtemp " + path);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  ~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(path, error);
  }
};

// What the Error thrown by call says; "" if none is.
template <typename Error = std::runtime_error, typename Call> std::string error_of(Call call) {
  try {
    call();
  } catch (const Error &error) {
    return error.what();
  }
  return "";
}

} // namespace test_support
