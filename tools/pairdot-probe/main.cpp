// pairdot-probe: in each pair (2k, 2k + 1) the even rank sends messages of
// every size of a ladder to the odd rank, which checks every byte, times them
// (bandwidth; latency by ping-pong at the smallest size) and prints the
// pair's line (probe_line.hpp). Each size has a deadline; a size late or
// wrong ends the pair's test, and the line says which. The last rank of an
// odd job has no partner and prints nothing.

#include "pattern.hpp"
#include "probe_line.hpp"

#include <CLI/CLI.hpp>
#include <mpi.h>
#include <pairdot_version.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace pairdot_probe;
using Problem = std::optional<std::string>; // none: all arrived intact

constexpr int exit_usage = 2;
constexpr int tag_data = 1;
constexpr int tag_control = 2;
constexpr int go = 1;
constexpr int stop = 0;
constexpr std::uint64_t warmup_messages = 2;
constexpr std::uint64_t window_bytes = 32 * mib; // timed bytes a size aims at
constexpr std::uint64_t fewest_timed = 2;
constexpr std::uint64_t most_timed = 1000;
constexpr std::uint64_t in_flight_bytes = 32 * mib;
constexpr std::uint64_t deepest_ring = 16;
constexpr std::uint64_t round_trips = 100;
constexpr double shortest_timeout = 0.001;
constexpr double longest_timeout = 3600;
constexpr const char *default_sizes = "8,4K,64K,1M,16M";

struct Options {
  std::vector<std::uint64_t> sizes;
  double step_timeout = 5;
};

// The buffers MPI may still use after a request is abandoned: kept by main
// until after MPI_Finalize.
struct Buffers {
  std::vector<unsigned char> ring;
  int control = go;
};

// One size as either end of the pair sees it.
struct Step {
  int pair = 0; // the even rank
  int partner = 0;
  std::uint64_t size = 0;
  double timeout = 0;
  double deadline = 0;
};

std::uint64_t timed_messages(std::uint64_t size) {
  return std::clamp(window_bytes / size, fewest_timed, most_timed);
}

std::uint64_t ring_depth(std::uint64_t size) {
  return std::clamp<std::uint64_t>(in_flight_bytes / size, 1, deepest_ring);
}

// Room for every size's ring, and for a ping beside its echo.
std::size_t ring_bytes(const std::vector<std::uint64_t> &sizes) {
  std::uint64_t bytes = 2 * sizes.front();
  for (const std::uint64_t size : sizes) {
    bytes = std::max(bytes, ring_depth(size) * size);
  }
  return bytes;
}

// Every rank parses the same words alike; rank 0 alone writes help or the
// mistake. Returns the exit status when the run ends here.
std::optional<int> parse_options(int argc, char **argv, int rank, Options &options) {
  CLI::App app("Measures and verifies messages of growing size in each pair of ranks.",
               "pairdot-probe");
  std::string sizes = default_sizes;
  app.add_option("--sizes", sizes,
                 "increasing message sizes in bytes, K = 1024, M = 1024 K (default " +
                     std::string(default_sizes) + ")")
      ->check([](const std::string &text) {
        try {
          parse_sizes(text);
          return std::string();
        } catch (const std::invalid_argument &error) {
          return std::string(error.what());
        }
      });
  app.add_option("--step-timeout", options.step_timeout, "seconds each size may take (default 5)")
      ->check(CLI::Range(shortest_timeout, longest_timeout));
  app.set_version_flag("--version", std::string("pairdot-probe ") + pairdot_version::text);
  app.footer("Each pair's odd rank prints one line: probe E ; O: sizes ... mbps ... latency_us "
             "... verdict ok|failed SIZE: PROBLEM.\nExit status: 0 lines written, whatever their "
             "verdicts; 1 standard output failed; 2 usage.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success &help) {
    return rank == 0 ? app.exit(help) : EXIT_SUCCESS;
  } catch (const CLI::ParseError &error) {
    if (rank == 0) {
      std::fprintf(stderr, "pairdot-probe: %s (pairdot-probe --help)\n", error.what());
    }
    return exit_usage;
  }
  options.sizes = parse_sizes(sizes);
  return std::nullopt;
}

// Waits for every one of n requests until the deadline.
bool complete_by(MPI_Request *requests, int n, double deadline) {
  int done = 0;
  while (MPI_Testall(n, requests, &done, MPI_STATUSES_IGNORE), done == 0) {
    if (MPI_Wtime() > deadline) {
      return false;
    }
  }
  return true;
}

// Gives up on requests still active (cancels receives); their buffers stay
// allocated.
void abandon(std::vector<MPI_Request> &requests, bool receives) {
  for (MPI_Request &request : requests) {
    if (request != MPI_REQUEST_NULL && receives) {
      MPI_Cancel(&request);
    }
    if (request != MPI_REQUEST_NULL) {
      MPI_Request_free(&request);
    }
  }
}

unsigned char *slot(Buffers &buffers, const Step &step, std::uint64_t message,
                    std::uint64_t depth) {
  return buffers.ring.data() + (message % depth) * step.size;
}

// Messages first .. first + count - 1, in order, each checked as it arrives;
// arrived: when the last one was in (before its check).
Problem receive_messages(const Step &step, Buffers &buffers, std::uint64_t first,
                         std::uint64_t count, double &arrived) {
  const std::uint64_t depth = std::min(ring_depth(step.size), count);
  std::vector<MPI_Request> requests(depth, MPI_REQUEST_NULL);
  const auto post = [&](std::uint64_t m) {
    MPI_Irecv(slot(buffers, step, m, depth), static_cast<int>(step.size), MPI_BYTE, step.partner,
              tag_data, MPI_COMM_WORLD, &requests[m % depth]);
  };
  for (std::uint64_t m = first; m < first + depth; ++m) {
    post(m);
  }
  for (std::uint64_t m = first; m < first + count; ++m) {
    if (!complete_by(&requests[m % depth], 1, step.deadline)) {
      abandon(requests, true);
      return late_problem(step.size, step.timeout);
    }
    arrived = MPI_Wtime();
    const PatternCheck check =
        check_pattern(slot(buffers, step, m, depth), {step.pair, step.size, m});
    if (check.differing_bytes > 0) {
      abandon(requests, true);
      return corrupt_problem(step.size, m, check.differing_bytes, check.first_offset);
    }
    if (m + depth < first + count) {
      post(m + depth);
    }
  }
  return std::nullopt;
}

// Fills the slots of the first messages a send_messages call sends, ahead of it.
void fill_ahead(const Step &step, Buffers &buffers, std::uint64_t first, std::uint64_t count) {
  const std::uint64_t depth = std::min(ring_depth(step.size), count);
  for (std::uint64_t m = first; m < first + depth; ++m) {
    fill_pattern(slot(buffers, step, m, depth), {step.pair, step.size, m});
  }
}

// Messages first .. first + count - 1, each filled as its slot frees (the
// first ring's worth already, when filled_ahead).
bool send_messages(const Step &step, Buffers &buffers, std::uint64_t first, std::uint64_t count,
                   bool filled_ahead) {
  const std::uint64_t depth = std::min(ring_depth(step.size), count);
  std::vector<MPI_Request> requests(depth, MPI_REQUEST_NULL);
  for (std::uint64_t m = first; m < first + count; ++m) {
    MPI_Request &request = requests[m % depth];
    if (!complete_by(&request, 1, step.deadline)) {
      abandon(requests, false);
      return false;
    }
    if (!filled_ahead || m >= first + depth) {
      fill_pattern(slot(buffers, step, m, depth), {step.pair, step.size, m});
    }
    MPI_Isend(slot(buffers, step, m, depth), static_cast<int>(step.size), MPI_BYTE, step.partner,
              tag_data, MPI_COMM_WORLD, &request);
  }
  if (!complete_by(requests.data(), static_cast<int>(depth), step.deadline)) {
    abandon(requests, false);
    return false;
  }
  return true;
}

enum class Way : std::uint8_t { send, receive };

// One message to or from the partner, done by the step's deadline or abandoned.
bool one_by_deadline(Way way, void *data, int count, MPI_Datatype type, int tag, const Step &step) {
  std::vector<MPI_Request> request(1, MPI_REQUEST_NULL);
  if (way == Way::send)
    MPI_Isend(data, count, type, step.partner, tag, MPI_COMM_WORLD, request.data());
  else
    MPI_Irecv(data, count, type, step.partner, tag, MPI_COMM_WORLD, request.data());
  if (!complete_by(request.data(), 1, step.deadline)) {
    abandon(request, way == Way::receive);
    return false;
  }
  return true;
}

bool send_control(const Step &step, Buffers &buffers, int value) {
  buffers.control = value;
  return one_by_deadline(Way::send, &buffers.control, 1, MPI_INT, tag_control, step);
}

// False when the partner said stop or said nothing in time.
bool partner_says_go(const Step &step, Buffers &buffers) {
  return one_by_deadline(Way::receive, &buffers.control, 1, MPI_INT, tag_control, step) &&
         buffers.control == go;
}

// Receiver: half of each round trip of a ping the sender echoes; the median.
Problem ping_pong(const Step &step, Buffers &buffers, std::uint64_t first, double &latency_us) {
  unsigned char *const ping = buffers.ring.data();
  unsigned char *const echo = ping + step.size;
  const int bytes = static_cast<int>(step.size);
  std::vector<double> halves;
  for (std::uint64_t m = first; m < first + round_trips; ++m) {
    fill_pattern(ping, {step.pair, step.size, m});
    std::vector<MPI_Request> requests(2, MPI_REQUEST_NULL);
    MPI_Irecv(echo, bytes, MPI_BYTE, step.partner, tag_data, MPI_COMM_WORLD, requests.data());
    const double start = MPI_Wtime();
    MPI_Isend(ping, bytes, MPI_BYTE, step.partner, tag_data, MPI_COMM_WORLD, &requests[1]);
    if (!complete_by(requests.data(), 2, step.deadline)) {
      MPI_Cancel(requests.data()); // the echo
      abandon(requests, false);
      return late_problem(step.size, step.timeout);
    }
    halves.push_back((MPI_Wtime() - start) / 2);
    const PatternCheck check = check_pattern(echo, {step.pair, step.size, m});
    if (check.differing_bytes > 0) {
      return corrupt_problem(step.size, m, check.differing_bytes, check.first_offset);
    }
  }
  std::nth_element(halves.begin(), halves.begin() + static_cast<std::ptrdiff_t>(halves.size() / 2),
                   halves.end());
  latency_us = halves[halves.size() / 2] * 1e6;
  return std::nullopt;
}

// Sender: returns each ping unchanged.
bool echo_pings(const Step &step, Buffers &buffers) {
  const int bytes = static_cast<int>(step.size);
  for (std::uint64_t r = 0; r < round_trips; ++r) {
    if (!one_by_deadline(Way::receive, buffers.ring.data(), bytes, MPI_BYTE, tag_data, step) ||
        !one_by_deadline(Way::send, buffers.ring.data(), bytes, MPI_BYTE, tag_data, step)) {
      return false;
    }
  }
  return true;
}

// Sender, one size: warm-up, the timed window's first messages filled, the
// partner's go, the timed window, the pings at the first size, the partner's
// go for the next size.
bool send_size(const Step &step, Buffers &buffers, bool first_size) {
  const std::uint64_t timed = timed_messages(step.size);
  if (!send_messages(step, buffers, 0, warmup_messages, false)) {
    return false;
  }
  fill_ahead(step, buffers, warmup_messages, timed);
  return partner_says_go(step, buffers) &&
         send_messages(step, buffers, warmup_messages, timed, true) &&
         (!first_size || echo_pings(step, buffers)) && partner_says_go(step, buffers);
}

// Receiver, one size: its MB/s (and latency at the first size), or the
// problem that ends the pair's test; the sender is told to stop.
Problem receive_size(const Step &step, Buffers &buffers, double &mbps, double &latency_us,
                     bool first_size) {
  const std::uint64_t timed = timed_messages(step.size);
  double arrived = 0;
  Problem problem = receive_messages(step, buffers, 0, warmup_messages, arrived);
  if (problem) {
    send_control(step, buffers, stop);
    return problem;
  }
  const double start = MPI_Wtime();
  if (!send_control(step, buffers, go)) {
    return late_problem(step.size, step.timeout);
  }
  if ((problem = receive_messages(step, buffers, warmup_messages, timed, arrived))) {
    send_control(step, buffers, stop);
    return problem;
  }
  const double seconds = std::max(arrived - start, 1e-9);
  mbps = static_cast<double>(timed * step.size) / seconds / 1e6;
  if (first_size && (problem = ping_pong(step, buffers, warmup_messages + timed, latency_us))) {
    send_control(step, buffers, stop);
    return problem;
  }
  if (!send_control(step, buffers, go)) {
    return late_problem(step.size, step.timeout);
  }
  return std::nullopt;
}

Step step_of(int rank, const Options &options, std::uint64_t size) {
  const int pair = rank - rank % 2;
  return {pair, rank == pair ? pair + 1 : pair, size, options.step_timeout,
          MPI_Wtime() + options.step_timeout};
}

void run_sender(int rank, const Options &options, Buffers &buffers) {
  for (const std::uint64_t size : options.sizes) {
    if (!send_size(step_of(rank, options, size), buffers, size == options.sizes.front())) {
      return;
    }
  }
}

ProbeLine run_receiver(int rank, const Options &options, Buffers &buffers) {
  ProbeLine line;
  line.sender = rank - 1;
  line.sizes = options.sizes;
  line.mbps.resize(options.sizes.size());
  double latency_us = 0;
  for (std::size_t i = 0; i < options.sizes.size(); ++i) {
    const Step step = step_of(rank, options, options.sizes[i]);
    double mbps = 0;
    const Problem problem = receive_size(step, buffers, mbps, latency_us, i == 0);
    if (problem) {
      line.failed_size = step.size;
      line.problem = *problem;
      break;
    }
    line.mbps[i] = mbps;
    line.latency_us = latency_us;
  }
  return line;
}

// One write for the whole line, so that a launcher forwarding the output of
// many ranks cannot split it.
void print_line(const std::string &line) {
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// The line is the only product: a write that failed must not exit 0.
int exit_status(int rank) {
  if (std::ferror(stdout) != 0) {
    std::fprintf(stderr, "pairdot-probe: rank %d: could not write standard output\n", rank);
    return EXIT_FAILURE;
  }
  return EXIT_SUCCESS;
}

// One rank's work, to its exit status; buffers outlive it.
int run_rank(int argc, char **argv, int rank, int numprocs, Buffers &buffers) {
  Options options;
  if (const std::optional<int> status = parse_options(argc, argv, rank, options)) {
    return *status;
  }
  const bool has_partner = rank % 2 != 0 || rank + 1 < numprocs;
  if (has_partner) {
    buffers.ring.resize(ring_bytes(options.sizes));
  }
  if (has_partner && rank % 2 == 0) {
    run_sender(rank, options, buffers);
  } else if (has_partner) {
    print_line(format_probe_line(run_receiver(rank, options, buffers)));
  }
  return exit_status(rank);
}

} // namespace

int main(int argc, char **argv) {
  MPI_Init(&argc, &argv);
  int rank = 0;
  int numprocs = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &numprocs);

  // Kept until after MPI_Finalize: abandoned requests may still use them.
  Buffers buffers;
  int status = EXIT_FAILURE;
  try {
    status = run_rank(argc, argv, rank, numprocs, buffers);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "pairdot-probe: rank %d: %s\n", rank, error.what());
  }
  MPI_Finalize();
  return status;
}
