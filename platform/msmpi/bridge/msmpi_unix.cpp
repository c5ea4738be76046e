// msmpi.so, the Unix side of the bridge: the MS-MPI calls of msmpi.dll on
// MPICH. Handles pass through (MS-MPI's values are MPICH's); errors return
// as MPI error classes, as with MPI_ERRORS_RETURN, never ending the process.

#include "bridge_call.hpp"

#include <mpi.h>

static_assert(sizeof(MPI_Status) == 20 && sizeof(MPI_Comm) == 4 && sizeof(MPI_Datatype) == 4,
              "MPICH's MPI_Status or handles differ from MS-MPI's x64 ones");

namespace {

using msmpi_bridge::CallArgs;

int error_class(int code) {
  int error = code;
  if (code != MPI_SUCCESS && MPI_Error_class(code, &error) != MPI_SUCCESS) {
    error = msmpi_bridge::err_intern;
  }
  return error;
}

// Between MPI_Init and MPI_Finalize, where MPICH takes calls.
bool running() {
  int initialized = 0;
  int finalized = 0;
  MPI_Initialized(&initialized);
  MPI_Finalized(&finalized);
  return initialized != 0 && finalized == 0;
}

// Runs call when MPI is running, and sets its error class.
template <typename Call> int when_running(CallArgs &args, Call call) {
  args.result = running() ? error_class(call()) : msmpi_bridge::err_other;
  return 0;
}

int init(void *raw) {
  auto &args = *static_cast<CallArgs *>(raw);
  int initialized = 0;
  MPI_Initialized(&initialized);
  if (initialized != 0) {
    args.result = msmpi_bridge::err_other;
    return 0;
  }
  int code = MPI_Init(nullptr, nullptr);
  if (code == MPI_SUCCESS) {
    code = MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_RETURN);
  }
  if (code == MPI_SUCCESS) {
    code = MPI_Comm_set_errhandler(MPI_COMM_SELF, MPI_ERRORS_RETURN);
  }
  args.result = error_class(code);
  return 0;
}

int comm_rank(void *raw) {
  auto &args = *static_cast<CallArgs *>(raw);
  return when_running(args, [&] { return MPI_Comm_rank(args.comm, static_cast<int *>(args.out)); });
}

int comm_size(void *raw) {
  auto &args = *static_cast<CallArgs *>(raw);
  return when_running(args, [&] { return MPI_Comm_size(args.comm, static_cast<int *>(args.out)); });
}

int send(void *raw) {
  auto &args = *static_cast<CallArgs *>(raw);
  return when_running(args, [&] {
    return MPI_Send(args.send_buffer, args.count, args.datatype, args.peer, args.tag, args.comm);
  });
}

int recv(void *raw) {
  auto &args = *static_cast<CallArgs *>(raw);
  return when_running(args, [&] {
    return MPI_Recv(args.out, args.count, args.datatype, args.peer, args.tag, args.comm,
                    static_cast<MPI_Status *>(args.status));
  });
}

int finalize(void *raw) {
  auto &args = *static_cast<CallArgs *>(raw);
  return when_running(args, [] { return MPI_Finalize(); });
}

} // namespace

// Wine's table of the Unix side's calls, in the order of msmpi_bridge::Call.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the name Wine looks up
extern "C" __attribute__((visibility("default"))) int (*const __wine_unix_call_funcs[])(void *) = {
    init, comm_rank, comm_size, send, recv, finalize};
