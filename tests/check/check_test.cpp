// Checks of pairdot-check's core on built outputs: every form of a correct
// job passes, and each kind of fault is caught and named.

#include "job_text.hpp"
#include "streams.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace job_text;
using pairdot_check::CheckReport;
using Files = std::vector<std::string>;

// Checks the files, each fed whole or in blocks of `block` bytes.
CheckReport check(const Files &files, int np = 0, std::size_t block = 0,
                  pairdot_check::CheckOptions options = {}) {
  pairdot_check::JobCheck job;
  job.options = options;
  job.options.np = np;
  for (std::size_t i = 0; i < files.size(); ++i) {
    auto streams = pairdot_check::open_file(job, "f" + std::to_string(i));
    const std::string &text = files[i];
    const std::size_t step = block ? block : text.size() + 1;
    for (std::size_t at = 0; at < text.size(); at += step) {
      pairdot_check::feed(job, streams, text.data() + at, std::min(step, text.size() - at));
    }
    pairdot_check::close_file(job, streams);
  }
  return pairdot_check::finish(job);
}

std::string joined(const CheckReport &report) {
  std::string out;
  for (const auto *lines : {&report.listed, &report.warnings}) {
    for (const std::string &line : *lines) {
      out += line + "\n";
    }
  }
  return out;
}

TEST(GoodOutput, EveryFormAndSizePasses) {
  for (int ranks : {1, 2, 7, 64}) {
    const auto streams = rank_streams(random_vectors(ranks, 40u + ranks));
    const std::vector<std::pair<const char *, Files>> forms = {
        {"plain", {plain(streams, 1)}},
        {"mpich", {mpich(streams, 2)}},
        {"open mpi", {open_mpi(streams, 3)}},
        {"srun --label", {srun(streams, 7)}},
        {"crlf mpich", {with_crlf(mpich(streams, 4))}},
        {"file per rank", streams},
        {"open mpi with stderr", {"[1,0]<stderr>:oops [0] \n" + open_mpi(streams, 5)}},
        {"extra blank lines", {"\n\n" + plain(streams, 6) + "\r\n"}},
    };
    for (const auto &[form, files] : forms) {
      for (int np : {0, ranks}) {
        const CheckReport report = check(files, np, np ? 3 : 0); // whole, or in 3-byte blocks
        EXPECT_TRUE(report.ok) << form << ", " << ranks << " ranks:\n" << joined(report);
        EXPECT_EQ(report.ranks, ranks) << form;
        EXPECT_EQ(report.pairs, ranks / 2) << form;
      }
    }
  }
}

struct Fault {
  const char *name;
  std::string input;
  int np;
  int exit;
  std::string message; // a fragment of one listed problem
};

// "f0:N" for the line holding the first `text` in `job`.
std::string line_of(const std::string &job, const std::string &text) {
  const auto end = job.begin() + static_cast<long>(job.find(text));
  return "f0:" + std::to_string(std::count(job.begin(), end, '\n') + 1) + ": ";
}

std::vector<Fault> faults() {
  const std::vector<Vector> v = {
      {3, 0, 2, 3, 4}, {4, 1, 1, 4, 3}, {3, 0, 2, 2, 3}, {1, 2, 3, 4, 0}};
  const auto streams = rank_streams(v);
  const std::string job = plain(streams, 7);
  const std::string tagged = open_mpi(streams, 8);
  const int d3 = dot(v[2], v[3]);
  const std::string r3 = result_line(2, 3, d3);
  const std::string y2 = vector_line(2, v[2]);
  const std::string x1 = vector_line(1, v[1]).substr(1);
  const std::string ucx = "[1796715562.863930] [vm:4437 :0]          parser.c:2036 UCX  INFO  x\n";
  const std::string ucx_cut = "[1796715562.863930] [" + std::string(80, 'h') + ":4437:0] UCX\n";
  const std::string ompi = "[vm:28837] mca: base: components_register: found loaded component\n";
  return {
      {"library: UCX's log, a warning", ucx + replaced(job, y2, ucx_cut + y2), 0, 0,
       "f0:1: UCX's log line, not pairdot's: \"[1796715562.863930] [vm:4437 :0]"},
      {"library: UCX's log, host past the bytes kept", job + ucx_cut, 0, 0, "UCX's log line"},
      {"library: Open MPI's log", ompi + job, 0, 0, "f0:1: Open MPI's log line"},
      {"library: tagged, with its rank", "[1,2]<stdout>:" + ucx + tagged, 0, 0,
       "f0:1: rank 2: UCX's log line"},
      {"library: no stand-in for pairdot's line", replaced(job, y2, ucx), 0, 1, "rank 2"},
      {"library: look-alike", job + "[1796715562.86] [vm:x:0] UCX\n", 0, 1, "not a pairdot line"},
      {"format: value 5", replaced(job, y2, vector_line(2, {3, 0, 5, 2, 3})), 0, 1,
       line_of(job, y2.substr(1)) + "rank 2: bad vector line (value out of 0..4)"},
      {"format: four values", replaced(job, "2 2 3 \n", "2 2 \n"), 0, 1, "expected five values"},
      {"format: text after values", replaced(job, "2 2 3 \n", "2 2 3 x\n"), 0, 1, "text after"},
      {"format: leading zero", replaced(job, "Y 2 ", "Y 02 "), 0, 1, "not as %d prints it"},
      {"format: tab as space", replaced(job, "2 : \t", "2 :  "), 0, 1, "after the rank"},
      {"format: stray CR", replaced(job, "2 2 3 \n", "2\r2 3 \n"), 0, 1,
       "\"ProcessY 2 : \\t\\t3 0 2\\r2"},
      {"format: result without space", replaced(job, r3, r3.substr(0, r3.size() - 2) + "\n"), 0, 1,
       "one space after the result"},
      {"format: unknown line", job + "hello\n", 0, 1,
       line_of(job + "hello", "hello") + "not a pairdot line: \"hello\""},
      {"format: no final newline", job + "\nProcessY 4", 0, 1, "unfinished line"},
      {"format: huge line", job + std::string(1 << 20, 'x') + "\n", 0, 1, "(1048576 bytes)"},
      {"format: rank overflow", replaced(job, "Y 2 ", "Y 99999999999999999999 "), 0, 1,
       "number out of range"},
      {"ranks: missing range", replaced(replaced(job, y2, ""), vector_line(1, v[1]), ""), 0, 1,
       "ranks 1..2 missing"},
      {"ranks: repeated", job + y2, 0, 1, "rank 2 appears 2 times"},
      {"ranks: beyond np", job, 3, 1, "rank 3: vector line beyond --np 3"},
      {"ranks: missing under np", job, 7, 1, "ranks 4..6 missing"},
      {"ranks: one-process jobs", vector_line(0, v[0]) + vector_line(0, v[1]), 0, 1,
       "were 2 one-process jobs started?"},
      {"ranks: hostile rank", job + vector_line(2000000000, v[0]), 0, 1,
       "ranks 4..1999999999 missing"},
      {"ranks: nothing", "", 0, 1, "no rank printed a vector line"},
      {"roles: X on even", replaced(job, "ProcessY 2", "ProcessX 2"), 0, 1,
       "rank 2: ProcessX line, but even ranks print ProcessY"},
      {"roles: Y on odd", replaced(job, "ProcessX 3", "ProcessY 3"), 0, 1, "odd ranks print"},
      {"pairs: missing result", replaced(job, r3, ""), 0, 1, "no result line for ranks 2 ; 3"},
      {"pairs: even second", job + result_line(1, 2, 0), 0, 1, "ranks 1 ; 2, which are no pair"},
      {"pairs: apart", job + result_line(0, 3, 0), 0, 1, "ranks 0 ; 3, which are no pair"},
      {"pairs: beyond np", plain(rank_streams({v[0], v[1], v[2]}), 9) + r3, 3, 1,
       "rank 3: result line beyond --np 3"},
      {"pairs: repeated result", job + r3, 0, 1, "rank 3: 2 result lines"},
      {"products: wrong", replaced(job, r3, result_line(2, 3, d3 + 1)), 0, 1,
       "rank 3: result " + std::to_string(d3 + 1) + ", but the vectors of ranks 2 and 3 give " +
           std::to_string(d3)},
      {"products: negative", replaced(job, r3, result_line(2, 3, -1)), 0, 1, "result -1, but"},
      {"products: lowest int", replaced(job, r3, result_line(2, 3, -2147483647 - 1)), 0, 1,
       "rank 3: result -2147483648, but"},
      {"products: highest int", replaced(job, r3, result_line(2, 3, 2147483647)), 0, 1,
       "rank 3: result 2147483647, but"},
      {"tags: vector of another rank", replaced(tagged, "[1,2]<stdout>:Pro", "[1,3]<stdout>:Pro"),
       0, 1, "line tagged as rank 3 is a vector line of rank 2"},
      {"tags: result of another rank", replaced(tagged, "[1,3]<stdout>: For", "[1,1]<stdout>: For"),
       0, 1, "line tagged as rank 1 is a result line of rank 3"},
      {"tags: chunks reassembled",
       "[0] \n[0] Process[1] \n[1] " + x1 + "[0] Y 0 : \t\t3 0 2 3 4 \n[1] " +
           result_line(0, 1, 38),
       0, 0, ""},
      {"tags: cut-off rank", "[0] ProcessY 0 : \t\t[1] \n[1] " + x1, 0, 1,
       "f0:1: unfinished line (output cut off?): \"ProcessY 0 : \\t\\t\""},
      {"hostile: nul bytes", job + std::string("\0\0\n", 3), 0, 1, "\"\\x00\\x00\""},
      {"hostile: high bytes", job + "\xff\xfe\n", 0, 1, "\"\\xff\\xfe\""},
      {"hostile: brackets", job + "[[[1] [\n", 0, 1, "not a pairdot line: \"[[[1] [\""},
      {"hostile: cut tag", job + "[12", 0, 1, "unfinished line (output cut off?): \"[12\""},
      {"hostile: huge tag", "[99999999999] " + y2, 0, 1, "not a pairdot line: \"[99999999999] \""},
      {"good: tagged blank lines", "[0] \n[0] " + vector_line(0, v[0]).substr(1), 0, 0, ""},
  };
}

TEST(Faults, EachIsCaughtAndNamed) {
  for (const Fault &fault : faults()) {
    const CheckReport report = check({fault.input}, fault.np);
    const std::string listed = joined(report);
    EXPECT_EQ(report.ok ? 0 : 1, fault.exit) << fault.name << ":\n" << listed;
    EXPECT_NE(listed.find(fault.message), std::string::npos) << fault.name << ":\n" << listed;
    if (fault.input.size() < 4096) { // reading in pieces changes nothing
      for (std::size_t block : {1, 2, 7}) {
        EXPECT_EQ(joined(check({fault.input}, fault.np, block)), listed) << fault.name;
      }
    }
  }
}

TEST(Faults, OneProcessJobsAreAFactNotOnlyWords) {
  const Vector v = {1, 2, 3, 4, 0};
  const std::string twice = vector_line(0, v) + vector_line(0, v);
  const std::string job = plain(rank_streams({v, v, v, v}), 1);
  const struct {
    const char *name;
    std::string input;
    std::size_t max_listed;
    bool found;
  } rows[] = {
      {"rank 0 twice", twice, 1000, true},
      {"rank 0 twice, nothing listed", twice, 0, true},
      {"rank 2 twice", vector_line(2, v) + job, 1000, false},
      {"result of rank 1 twice", job + result_line(0, 1, dot(v, v)), 1000, false},
      {"the words only", vector_line(0, v) + "one-process jobs\n", 1000, false},
  };
  for (const auto &row : rows) {
    const CheckReport report = check({row.input}, 0, 0, {0, row.max_listed});
    EXPECT_FALSE(report.ok) << row.name;
    EXPECT_EQ(report.one_process_jobs, row.found) << row.name;
  }
}

TEST(Faults, OpenLinesOfInterruptedRanksAreCapped) {
  const std::string text = "[0] Pro[1] Pro[2] Pro[3] Pro[0] cessY 0 : \t\t0 0 0 0 0 \n";
  const std::string listed = joined(check({text}, 0, 0, {0, 1000, 2}));
  EXPECT_NE(listed.find("f0:1: unfinished line (output cut off?): \"Pro\""), std::string::npos)
      << listed; // ranks 2 and 3 are given up while 0 and 1 are parked
  EXPECT_EQ(listed.find("rank 0 missing"), std::string::npos) << listed;
}

TEST(Faults, ListingStopsAtTheCapButCountingDoesNot) {
  std::string text;
  for (int i = 0; i < 100; ++i) {
    text += "junk\n" + std::string(10, '\n');
  }
  const CheckReport report = check({text}, 0, 0, {0, 3});
  EXPECT_EQ(report.listed.size(), 3u);
  EXPECT_EQ(report.problems, 101u); // 100 junk lines, no vector line
}

} // namespace
