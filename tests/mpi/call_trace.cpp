// Test-only preload library: records, per process, the MPI and C library
// calls the program makes, fixes its clock, and can kill a rank before its
// send. Loaded with LD_PRELOAD; the MPI calls go on through PMPI.
//
//   PAIRDOT_TRACE_DIR   write trace.<pid> there, one call per line
//   PAIRDOT_FAKE_TIME   time() returns this value to the program
//   PAIRDOT_KILL_RANK   this rank dies by SIGKILL when it calls MPI_Send
//
// Only calls made from the program's own code are recorded (and see the fixed
// clock); calls from the libraries pass through untouched.

#include <mpi.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

int my_rank = -1;

struct Range {
  std::uintptr_t lo = UINTPTR_MAX;
  std::uintptr_t hi = 0;
};

// Address range of the main executable's loaded segments.
Range program_range() {
  Range range;
  dl_iterate_phdr(
      [](dl_phdr_info *info, std::size_t, void *data) {
        auto *r = static_cast<Range *>(data);
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const auto &ph = info->dlpi_phdr[i];
          if (ph.p_type == PT_LOAD) {
            r->lo = std::min<std::uintptr_t>(r->lo, info->dlpi_addr + ph.p_vaddr);
            r->hi = std::max<std::uintptr_t>(r->hi, info->dlpi_addr + ph.p_vaddr + ph.p_memsz);
          }
        }
        return 1; // the first object is the program
      },
      &range);
  return range;
}

bool is_program_code(const void *address) {
  static const Range range = program_range();
  const auto a = reinterpret_cast<std::uintptr_t>(address);
  return a >= range.lo && a < range.hi;
}

#define FROM_PROGRAM is_program_code(__builtin_return_address(0))

template <typename Fn> Fn next(const char *name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

int trace_fd() {
  static int fd = -2;
  if (fd == -2) {
    const char *dir = std::getenv("PAIRDOT_TRACE_DIR");
    fd = -1;
    if (dir != nullptr) {
      const std::string path = std::string(dir) + "/trace." + std::to_string(getpid());
      fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }
  }
  return fd;
}

void record(const std::string &line) {
  const int saved = errno;
  const std::string text = line + "\n";
  if (trace_fd() >= 0 && write(trace_fd(), text.data(), text.size()) < 0) {
    std::abort();
  }
  errno = saved;
}

std::string escaped(const char *text) {
  std::string out;
  for (; *text != '\0'; ++text) {
    switch (*text) {
    case '\n':
      out += "\\n";
      break;
    case '\t':
      out += "\\t";
      break;
    case '\\':
      out += "\\\\";
      break;
    default:
      out += *text;
    }
  }
  return out;
}

std::string type_name(MPI_Datatype type) { return type == MPI_INT ? "INT" : "other"; }
std::string comm_name(MPI_Comm comm) { return comm == MPI_COMM_WORLD ? "WORLD" : "other"; }

int vprintf_recorded(bool from_program, const char *format, va_list args) {
  if (!from_program) {
    return std::vprintf(format, args);
  }
  va_list copy;
  va_copy(copy, args);
  char text[256];
  std::vsnprintf(text, sizeof text, format, copy);
  va_end(copy);
  record("printf\t" + escaped(format) + "\t" + escaped(text));
  return std::vprintf(format, args);
}

} // namespace

extern "C" {

time_t time(time_t *out) { // NOLINT(readability-inconsistent-declaration-parameter-name)
  static const auto real = next<time_t (*)(time_t *)>("time");
  const char *fake = std::getenv("PAIRDOT_FAKE_TIME");
  if (!FROM_PROGRAM || fake == nullptr) {
    return real(out);
  }
  const auto now = static_cast<time_t>(std::strtoll(fake, nullptr, 10));
  record("time\t" + std::to_string(now));
  if (out != nullptr) {
    *out = now;
  }
  return now;
}

void srand(unsigned seed) {
  static const auto real = next<void (*)(unsigned)>("srand");
  if (FROM_PROGRAM) {
    record("srand\t" + std::to_string(seed));
  }
  real(seed);
}

int rand() {
  static const auto real = next<int (*)()>("rand");
  const int value = real();
  if (FROM_PROGRAM) {
    record("rand\t" + std::to_string(value));
  }
  return value;
}

int printf(const char *format, ...) {
  va_list args;
  va_start(args, format);
  const int n = vprintf_recorded(FROM_PROGRAM, format, args);
  va_end(args);
  return n;
}

// glibc's fortified printf.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
int __printf_chk(int /*flag*/, const char *format, ...) {
  va_list args;
  va_start(args, format);
  const int n = vprintf_recorded(FROM_PROGRAM, format, args);
  va_end(args);
  return n;
}

int fflush(FILE *stream) {
  static const auto real = next<int (*)(FILE *)>("fflush");
  if (FROM_PROGRAM) {
    record(std::string("fflush\t") + (stream == nullptr  ? "NULL"
                                      : stream == stdout ? "stdout"
                                                         : "other"));
  }
  return real(stream);
}

int MPI_Init(int *argc, char ***argv) {
  if (FROM_PROGRAM) {
    record("MPI_Init");
  }
  return PMPI_Init(argc, argv);
}

int MPI_Comm_rank(MPI_Comm comm, int *rank) {
  const int result = PMPI_Comm_rank(comm, rank);
  my_rank = *rank;
  if (FROM_PROGRAM) {
    record("MPI_Comm_rank\t" + comm_name(comm) + "\t" + std::to_string(*rank));
  }
  return result;
}

int MPI_Comm_size(MPI_Comm comm, int *size) {
  const int result = PMPI_Comm_size(comm, size);
  if (FROM_PROGRAM) {
    record("MPI_Comm_size\t" + comm_name(comm) + "\t" + std::to_string(*size));
  }
  return result;
}

int MPI_Send(const void *buf, int count, MPI_Datatype type, int dest, int tag, MPI_Comm comm) {
  if (FROM_PROGRAM) {
    record("MPI_Send\tcount=" + std::to_string(count) + "\ttype=" + type_name(type) + "\tdest=" +
           std::to_string(dest) + "\ttag=" + std::to_string(tag) + "\tcomm=" + comm_name(comm));
  }
  const char *kill_rank = std::getenv("PAIRDOT_KILL_RANK");
  if (kill_rank != nullptr && std::strtol(kill_rank, nullptr, 10) == my_rank) {
    std::raise(SIGKILL);
  }
  return PMPI_Send(buf, count, type, dest, tag, comm);
}

int MPI_Recv(void *buf, int count, MPI_Datatype type, int source, int tag, MPI_Comm comm,
             MPI_Status *status) {
  if (!FROM_PROGRAM) {
    return PMPI_Recv(buf, count, type, source, tag, comm, status);
  }
  std::string zeroed = "yes";
  for (int i = 0; i < count && type == MPI_INT; ++i) {
    if (static_cast<const int *>(buf)[i] != 0) {
      zeroed = "no";
    }
  }
  record("MPI_Recv\tcount=" + std::to_string(count) + "\ttype=" + type_name(type) + "\tsource=" +
         std::to_string(source) + "\ttag=" + std::to_string(tag) + "\tcomm=" + comm_name(comm) +
         "\tzeroed=" + zeroed + "\tstatus=" + (status == MPI_STATUS_IGNORE ? "ignore" : "given"));
  return PMPI_Recv(buf, count, type, source, tag, comm, status);
}

int MPI_Finalize() {
  if (FROM_PROGRAM) {
    record("MPI_Finalize");
  }
  return PMPI_Finalize();
}

} // extern "C"
