// What msmpi.dll hands to msmpi.so: a call's code and one argument block,
// laid out alike by MinGW-w64 and GCC on x86-64 (int 4 bytes, pointers 8).
#pragma once

#include <cstdint>

namespace msmpi_bridge {

enum class Call : std::uint32_t { init, comm_rank, comm_size, send, recv, finalize };

struct CallArgs {
  const void *send_buffer = nullptr;
  void *out = nullptr; // receive: the buffer; rank and size: the int
  void *status = nullptr;
  std::int32_t count = 0;
  std::int32_t datatype = 0;
  std::int32_t peer = 0;
  std::int32_t tag = 0;
  std::int32_t comm = 0;
  std::int32_t result = 0; // an MPI error class, MPI_SUCCESS 0
};

static_assert(sizeof(void *) == 8 && sizeof(CallArgs) == 48, "CallArgs differs between sides");

// MPI error classes, equal in MS-MPI and MPICH.
constexpr std::int32_t err_other = 15;
constexpr std::int32_t err_intern = 16;

} // namespace msmpi_bridge
