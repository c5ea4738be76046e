// Runs the pairdot-check binary: exit codes, where messages go, file and
// stdin handling, host names and report files.

#include "cli_run.hpp"
#include "job_text.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <pairdot_version.hpp>

#include <algorithm>
#include <cstdio>

namespace {

using namespace cli_run;

// A job of 4 ranks whose rank 3 printed a wrong result.
std::string wrong_rank3(const std::string &name) {
  using namespace job_text;
  const auto vectors = random_vectors(4, 3);
  auto streams = rank_streams(vectors);
  streams[3] = vector_line(3, vectors[3]) + result_line(2, 3, dot(vectors[2], vectors[3]) + 1);
  return write_file(name, plain(streams, 1));
}

std::string hosts_file() {
  return write_file("hosts", "# rank order\nnodeA\nnodeB\nnodeB\nnodeA\n");
}

Outcome run(const std::string &args, const std::string &stdin_file) {
  return run_command(std::string(PAIRDOT_CHECK_BIN) + " " + args, stdin_file);
}

TEST(Cli, ExitCodesAndMessages) {
  using namespace job_text;
  const auto streams = rank_streams(random_vectors(4, 3));
  const std::string good = write_file("good", plain(streams, 1));
  const std::string rank0 = write_file("rank0", streams[0]);
  const std::string rank1 = write_file("rank1", streams[1]);
  const std::string bad =
      write_file("bad", replaced(plain(streams, 1), "ProcessX 1", "ProcessX 5"));
  const std::string junk =
      write_file("junk", std::string(1500, '\n') + std::string(3000, 'x') + "\n");
  std::string junk_lines;
  for (int i = 0; i < 1500; ++i)
    junk_lines += "junk\n";
  const std::string many = write_file("many", junk_lines);
  const std::string wrong = wrong_rank3("wrong");
  const std::string hosts = "--hosts " + hosts_file() + " ";
  const std::string spaced = write_file("spaced", "nodeA\nno de\n");
  const std::string shell = write_file("shell", "$(x)\n");
  const struct {
    std::string args;
    std::string input;
    int status;
    bool on_stdout;
    std::string fragment;
  } rows[] = {
      {"--help", good, 0, true, "Usage: pairdot-check [OPTIONS] [FILE...]"},
      {"--version", good, 0, true, std::string("pairdot-check ") + pairdot_version::text + "\n"},
      {good, good, 0, true, "verified 4 ranks, 2 pairs\n"},
      {"", good, 0, true, "verified 4 ranks, 2 pairs\n"},
      {"--np=4 -", good, 0, true, "verified 4 ranks, 2 pairs\n"},
      {rank0 + " " + rank1, good, 0, true, "verified 2 ranks, 1 pairs\n"},
      {"--np 4 " + rank0 + " " + rank1, good, 1, false, "ranks 2..3 missing"},
      {bad, good, 1, false, bad + ":"},
      {"", bad, 1, false, "<stdin>:"},
      {bad, good, 1, false, "pairdot-check: 3 problems in 6 ranks\n"},
      {many, good, 1, false, "1501 problems in 0 ranks (501 more not listed)\n"},
      {junk, good, 1, false, "line too long (3000 bytes)"},
      {temp_path("absent"), good, 2, false, "cannot read"},
      {::testing::TempDir(), good, 2, false, "cannot read"},
      {"--np", good, 2, false, "--np needs a value"},
      {"--np 0", good, 2, false, "--np wants"},
      {"--np 99999999999", good, 2, false, "--np wants"},
      {"--frob", good, 2, false, "unknown option '--frob'"},
      {hosts + good, good, 0, true, "verified 4 ranks, 2 pairs\n"},
      {hosts + wrong, good, 1, false, "\npair 2 ; 3 (nodeB -> nodeA): result "},
      {"--hosts " + spaced, good, 2, false, spaced + ":2: 'no de' is not a valid host name"},
      {"--hosts " + shell, good, 2, false, shell + ":1: '$(x)' is not a valid host name"},
      {"--hosts " + temp_path("absent"), good, 2, false, "cannot read"},
      {"--np 6 " + hosts, good, 2, false, "names 4 hosts, but --np is 6"},
      {"--json " + temp_path("absent/r.json"), good, 2, false, "cannot write"},
      {"--junit", good, 2, false, "--junit needs a value"},
      {"--json= " + good, good, 2, false, "--json needs a value"}, // not a report over the input
      {"-5 " + good, good, 2, false, "unknown option '-5'"},
  };
  for (const auto &row : rows) {
    const Outcome result = run(row.args, row.input);
    EXPECT_EQ(result.status, row.status) << row.args << "\n" << result.err;
    const std::string &text = row.on_stdout ? result.out : result.err;
    EXPECT_NE(text.find(row.fragment), std::string::npos) << row.args << ":\n" << text;
    EXPECT_EQ(row.on_stdout ? result.err : result.out, "") << row.args;
  }
  const std::string listed = run(many, good).err; // 1000 problems, then the summary
  EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 1001);
}

TEST(Cli, JsonAndJunitReports) {
  using namespace job_text;
  const std::string good = write_file("good", plain(rank_streams(random_vectors(4, 3)), 1));
  const std::string wrong = wrong_rank3("wrong");
  const std::string json_path = temp_path("report.json");
  const std::string junit_path = temp_path("junit.xml");
  const struct {
    std::string hosts;
    std::string input;
    int status;
    std::string job_status;
    std::string sender; // of pair 2 ; 3, which fails
  } rows[] = {
      {"--hosts " + hosts_file(), good, 0, "verified", "nodeB"},
      {"--hosts " + hosts_file(), wrong, 1, "failed", "nodeB"},
      {"", wrong, 1, "failed", "unknown"},
  };
  for (const auto &row : rows) {
    std::remove(json_path.c_str());
    std::remove(junit_path.c_str());
    std::string args = row.hosts;
    args.append(" --json ").append(json_path).append(" --junit ").append(junit_path);
    const Outcome result = run(args.append(" ").append(row.input), good);
    EXPECT_EQ(result.status, row.status) << result.err;
    const auto report = nlohmann::json::parse(read_file(json_path));
    EXPECT_TRUE(report.at("version").is_number_integer());
    EXPECT_EQ(report.at("hosts").at(0).at("slots"), row.hosts.empty() ? 4 : 2);
    ASSERT_EQ(report.at("jobs").size(), 1u);
    const auto &job = report["jobs"][0];
    EXPECT_EQ(job.at("status"), row.job_status);
    EXPECT_EQ(job.at("pairs"), 2);
    const auto &failed = job.at("failed_pairs");
    ASSERT_EQ(failed.size(), row.status == 0 ? 0U : 1U);
    if (row.status != 0) {
      EXPECT_EQ(failed[0].at("ranks").at(0), 2);
      EXPECT_EQ(failed[0].at("sender"), row.sender);
      EXPECT_EQ(failed[0].at("problem").get<std::string>().rfind("result ", 0), 0U);
    }
    EXPECT_EQ(read_file(junit_path).find("<failure") != std::string::npos, row.status == 1);
  }
}

} // namespace
