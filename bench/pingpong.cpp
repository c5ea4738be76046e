// pingpong: a plain MPI ping-pong between ranks 0 and 1, the latency baseline
// for pairdot-probe. Rank 0 prints the median half round trip in µs.
//
//   pingpong [BYTES, default 8] [ROUND_TRIPS, default 1000]

#include <mpi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int tag = 1;
constexpr int warmup_round_trips = 100;
constexpr int default_bytes = 8;
constexpr int default_round_trips = 1000;

// A positive count from argv[index], or the fallback when absent; 0 when
// the word is not one.
int count_argument(int argc, char **argv, int index, int fallback) {
  if (argc <= index) {
    return fallback;
  }
  try {
    std::size_t used = 0;
    const int value = std::stoi(argv[index], &used);
    return used == std::string(argv[index]).size() && value > 0 ? value : 0;
  } catch (const std::exception &) {
    return 0;
  }
}

// Rank 0's half of one round trip: send, then wait for the echo.
void ping(std::vector<char> &buffer) {
  const int bytes = static_cast<int>(buffer.size());
  MPI_Send(buffer.data(), bytes, MPI_BYTE, 1, tag, MPI_COMM_WORLD);
  MPI_Recv(buffer.data(), bytes, MPI_BYTE, 1, tag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
}

// Rank 1's half: receive, then send it back.
void echo(std::vector<char> &buffer) {
  const int bytes = static_cast<int>(buffer.size());
  MPI_Recv(buffer.data(), bytes, MPI_BYTE, 0, tag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  MPI_Send(buffer.data(), bytes, MPI_BYTE, 0, tag, MPI_COMM_WORLD);
}

// Half of each timed round trip, in seconds (rank 0; empty on rank 1).
std::vector<double> half_round_trips(int rank, int bytes, int round_trips) {
  std::vector<char> buffer(static_cast<std::size_t>(bytes), 'p');
  for (int i = 0; i < warmup_round_trips; ++i) {
    rank == 0 ? ping(buffer) : echo(buffer);
  }
  std::vector<double> halves;
  for (int i = 0; i < round_trips; ++i) {
    if (rank == 0) {
      const double start = MPI_Wtime();
      ping(buffer);
      halves.push_back((MPI_Wtime() - start) / 2);
    } else {
      echo(buffer);
    }
  }
  return halves;
}

double median(std::vector<double> values) {
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

} // namespace

int main(int argc, char **argv) {
  MPI_Init(&argc, &argv);
  int rank = 0;
  int size = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  const int bytes = count_argument(argc, argv, 1, default_bytes);
  const int round_trips = count_argument(argc, argv, 2, default_round_trips);
  if (size < 2 || bytes == 0 || round_trips == 0) {
    if (rank == 0) {
      std::fprintf(stderr, "usage: mpiexec -n 2 pingpong [BYTES] [ROUND_TRIPS]\n");
    }
    MPI_Finalize();
    return 2;
  }
  if (rank < 2) {
    const std::vector<double> halves = half_round_trips(rank, bytes, round_trips);
    if (rank == 0) {
      std::printf("pingpong %d B: median half round trip %.2f us over %d round trips\n", bytes,
                  median(halves) * 1e6, round_trips);
    }
  }
  MPI_Finalize();
  return 0;
}
