// msmpi.dll of the bridge, a Wine builtin: each MS-MPI call hands its
// arguments to msmpi.so, the Unix side, which calls the real MPI library.

#include "bridge_call.hpp"

#include <mpi.h>

#include <cstddef>
#include <cstdio>

// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): Wine's names
extern "C" {
// Wine's ntdll.dll; 1000 asks NtQueryVirtualMemory for a module's Unix side.
__declspec(dllimport) long __stdcall NtQueryVirtualMemory(void *process, const void *address,
                                                          int info_class, void *info,
                                                          std::size_t length, std::size_t *written);
__declspec(dllimport) long __stdcall __wine_unix_call(std::uint64_t handle, std::uint32_t code,
                                                      void *args);
extern const char __ImageBase; // this module's start, placed by the linker
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {

using msmpi_bridge::Call;
using msmpi_bridge::CallArgs;

constexpr int memory_wine_unix_funcs = 1000;

// The handle of msmpi.so, 0 when Wine gives none (said once on stderr).
std::uint64_t unix_side() {
  static const std::uint64_t handle = [] {
    std::uint64_t found = 0;
    void *const this_process = reinterpret_cast<void *>(-1); // NOLINT: the pseudo-handle
    const long status = NtQueryVirtualMemory(this_process, &__ImageBase, memory_wine_unix_funcs,
                                             &found, sizeof found, nullptr);
    if (status != 0 || found == 0) {
      std::fputs("msmpi.dll: no Unix side (msmpi.so in WINEDLLPATH's x86_64-unix, loaded as "
                 "builtin: WINEDLLOVERRIDES=msmpi=b): every MPI call fails\n",
                 stderr);
      found = 0;
    }
    return found;
  }();
  return handle;
}

int call(Call code, CallArgs args) {
  const std::uint64_t handle = unix_side();
  if (handle == 0) {
    return msmpi_bridge::err_other;
  }
  if (__wine_unix_call(handle, static_cast<std::uint32_t>(code), &args) != 0) {
    return msmpi_bridge::err_intern;
  }
  return args.result;
}

} // namespace

extern "C" {

int MPIAPI MPI_Init(int * /*argc*/, char *** /*argv*/) { return call(Call::init, {}); }

int MPIAPI MPI_Comm_rank(MPI_Comm comm, int *rank) {
  CallArgs args;
  args.comm = comm;
  args.out = rank;
  return call(Call::comm_rank, args);
}

int MPIAPI MPI_Comm_size(MPI_Comm comm, int *size) {
  CallArgs args;
  args.comm = comm;
  args.out = size;
  return call(Call::comm_size, args);
}

int MPIAPI MPI_Send(const void *buf, int count, MPI_Datatype datatype, int dest, int tag,
                    MPI_Comm comm) {
  CallArgs args;
  args.send_buffer = buf;
  args.count = count;
  args.datatype = datatype;
  args.peer = dest;
  args.tag = tag;
  args.comm = comm;
  return call(Call::send, args);
}

int MPIAPI MPI_Recv(void *buf, int count, MPI_Datatype datatype, int source, int tag, MPI_Comm comm,
                    MPI_Status *status) {
  CallArgs args;
  args.out = buf;
  args.status = status;
  args.count = count;
  args.datatype = datatype;
  args.peer = source;
  args.tag = tag;
  args.comm = comm;
  return call(Call::recv, args);
}

int MPIAPI MPI_Finalize() { return call(Call::finalize, {}); }

} // extern "C"
