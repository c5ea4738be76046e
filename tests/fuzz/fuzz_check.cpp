// libFuzzer target for pairdot-check's reader. The input is one job's output;
// one starting with '\x1e' is several files, split at each '\x1e'. Besides not
// crashing, the report must not depend on where blocks end.

#include "streams.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

std::vector<std::string_view> split_files(std::string_view input) {
  if (input.empty() || input[0] != '\x1e') {
    return {input};
  }
  std::vector<std::string_view> files;
  for (std::size_t at = 1;;) {
    const std::size_t end = input.find('\x1e', at);
    files.push_back(input.substr(at, end == std::string_view::npos ? end : end - at));
    if (end == std::string_view::npos) {
      return files;
    }
    at = end + 1;
  }
}

pairdot_check::CheckReport check(const std::vector<std::string_view> &files, std::int32_t np,
                                 std::size_t block) {
  pairdot_check::JobCheck job;
  job.options.np = np;
  job.options.max_listed = 50;
  for (std::string_view text : files) {
    auto streams = pairdot_check::open_file(job, "f");
    for (std::size_t at = 0; at < text.size(); at += block) {
      pairdot_check::feed(job, streams, text.data() + at, std::min(block, text.size() - at));
    }
    pairdot_check::close_file(job, streams);
  }
  return pairdot_check::finish(job);
}

bool same(const pairdot_check::CheckReport &a, const pairdot_check::CheckReport &b) {
  return a.ok == b.ok && a.ranks == b.ranks && a.problems == b.problems && a.listed == b.listed &&
         a.one_process_jobs == b.one_process_jobs;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char *>(data), size);
  const auto files = split_files(input);
  const auto np = static_cast<std::int32_t>(size % 7);
  const auto whole = check(files, np, size + 1);
  const auto pieces = check(files, np, 1 + size % 13);
  if (!same(whole, pieces) || whole.ok != (whole.problems == 0) ||
      whole.listed.size() > whole.problems) {
    std::abort();
  }
  return 0;
}
