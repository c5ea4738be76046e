// Checks the call traces of a job run with the call_trace preload and a fixed
// clock: every rank's calls, their order and arguments, and its standard
// output, against what the run must have been. Usage: trace_check DIR NP TIME
// (DIR holds trace.<pid> and out.<rank>). Derived on its own from the rules
// of the job, not from the program's code.

#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

std::string escaped(const std::string &text) {
  std::string out;
  for (const char c : text) {
    out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : c == '\\' ? "\\\\" : std::string(1, c);
  }
  return out;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Traces by rank, from the MPI_Comm_rank line each holds.
std::map<int, Lines> traces_by_rank(const std::string &dir) {
  std::map<int, Lines> traces;
  DIR *d = opendir(dir.c_str());
  for (dirent *e = d != nullptr ? readdir(d) : nullptr; e != nullptr; e = readdir(d)) {
    if (std::string(e->d_name).rfind("trace.", 0) != 0) {
      continue;
    }
    Lines lines;
    std::istringstream text(read_file(dir + "/" + e->d_name));
    int rank = -1;
    for (std::string line; std::getline(text, line);) {
      if (line.rfind("MPI_Comm_rank\t", 0) == 0) {
        rank =
            static_cast<int>(std::strtol(line.substr(line.rfind('\t') + 1).c_str(), nullptr, 10));
      }
      lines.push_back(line);
    }
    traces[rank] = lines;
  }
  if (d != nullptr) {
    closedir(d);
  }
  return traces;
}

struct Expected {
  Lines calls;
  std::string output;
};

void expect_printf(Expected &e, const std::string &format, const std::string &text) {
  e.calls.push_back("printf\t" + escaped(format) + "\t" + escaped(text));
  e.output += text;
}

std::vector<int> draws(unsigned seed, std::vector<int> &raw) {
  std::srand(seed);
  std::vector<int> values;
  for (int i = 0; i < 5; ++i) {
    raw.push_back(std::rand());
    values.push_back(raw.back() % 5);
  }
  return values;
}

unsigned seed_of(std::int64_t now, int rank) {
  return static_cast<unsigned>((now - 2 * static_cast<std::int64_t>(rank)) & 0xFFFFFFFF);
}

Expected expected_run(int rank, int np, std::int64_t now) {
  Expected e;
  std::vector<int> raw;
  const auto own = draws(seed_of(now, rank), raw);
  const bool x_role = rank % 2 != 0;
  e.calls = {"MPI_Init", "MPI_Comm_rank\tWORLD\t" + std::to_string(rank),
             "MPI_Comm_size\tWORLD\t" + std::to_string(np), "time\t" + std::to_string(now),
             "srand\t" + std::to_string(seed_of(now, rank))};
  const std::string header = x_role ? "\nProcessX %d : \t\t" : "\nProcessY %d : \t\t";
  expect_printf(e, header,
                (x_role ? "\nProcessX " : "\nProcessY ") + std::to_string(rank) + " : \t\t");
  for (int i = 0; i < 5; ++i) {
    e.calls.push_back("rand\t" + std::to_string(raw[i]));
    expect_printf(e, "%d ", std::to_string(own[i]) + " ");
  }
  expect_printf(e, "\n", "\n");
  if (x_role) {
    std::vector<int> partner_raw;
    const auto partner = draws(seed_of(now, rank - 1), partner_raw);
    int dot = 0;
    for (int i = 0; i < 5; ++i) {
      dot += own[i] * partner[i];
    }
    const auto from = std::to_string(rank - 1);
    e.calls.push_back("fflush\tNULL");
    e.calls.push_back("MPI_Recv\tcount=5\ttype=INT\tsource=" + from + "\ttag=" + from +
                      "\tcomm=WORLD\tzeroed=yes\tstatus=given");
    expect_printf(e, "\n For processesXY %d ; %d :\t",
                  "\n For processesXY " + from + " ; " + std::to_string(rank) + " :\t");
    expect_printf(e, "%d ", std::to_string(dot) + " ");
    expect_printf(e, "\n", "\n");
  } else if (rank != np - 1) {
    e.calls.push_back("MPI_Send\tcount=5\ttype=INT\tdest=" + std::to_string(rank + 1) +
                      "\ttag=" + std::to_string(rank) + "\tcomm=WORLD");
  }
  e.calls.insert(e.calls.end(), {"fflush\tNULL", "MPI_Finalize", "fflush\tNULL"});
  return e;
}

bool same_calls(int rank, const Lines &want, const Lines &got) {
  for (std::size_t i = 0; i < want.size() || i < got.size(); ++i) {
    const std::string w = i < want.size() ? want[i] : "(nothing)";
    const std::string g = i < got.size() ? got[i] : "(nothing)";
    if (w != g) {
      std::cerr << "rank " << rank << ": call " << i + 1 << ": want '" << w << "', got '" << g
                << "'\n";
      return false;
    }
  }
  return true;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    std::cerr << "usage: trace_check DIR NP TIME\n";
    return 2;
  }
  const std::string dir = argv[1];
  const int np = static_cast<int>(std::strtol(argv[2], nullptr, 10));
  const std::int64_t now = std::strtoll(argv[3], nullptr, 10);
  const auto traces = traces_by_rank(dir);
  bool ok = traces.size() == static_cast<std::size_t>(np);
  if (!ok) {
    std::cerr << "want " << np << " traces, got " << traces.size() << "\n";
  }
  for (int rank = 0; rank < np; ++rank) {
    const Expected e = expected_run(rank, np, now);
    const auto found = traces.find(rank);
    ok = found != traces.end() && same_calls(rank, e.calls, found->second) && ok;
    const std::string output = read_file(dir + "/out." + std::to_string(rank));
    if (output != e.output) {
      std::cerr << "rank " << rank << ": output '" << escaped(output) << "', want '"
                << escaped(e.output) << "'\n";
      ok = false;
    }
  }
  if (ok) {
    std::cout << "trace_check: " << np << " ranks made exactly the expected calls and output\n";
  }
  return ok ? 0 : 1;
}
