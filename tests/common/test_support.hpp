#pragma once

// What several test files need: a fresh directory, and the message a call
// throws.

#include <gtest/gtest.h>

#include <stdexcept>
#include <stdlib.h> // mkdtemp
#include <string>

namespace test_support {

inline std::string temp_dir() {
  std::string dir = ::testing::TempDir() + "pairdot_test_XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr)
    throw std::runtime_error("mkdtemp");
  return dir;
}

// What the Error thrown by call says; "" if none is.
template <typename Error = std::exception, typename Call> std::string error_of(Call call) {
  try {
    call();
  } catch (const Error &error) {
    return error.what();
  }
  return "";
}

} // namespace test_support
