// Prints one label's value of every series in a Prometheus HTTP API query
// answer (standard input), sorted, a line each; exit 1 if the answer is no
// successful query's.
//
//   curl .../api/v1/query?query=pairdot_suspect_host | prom_labels host

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

namespace {

int print_labels(const std::string &label) {
  const nlohmann::json answer = nlohmann::json::parse(std::cin, nullptr, false);
  if (answer.is_discarded() || answer.value("status", "") != "success" ||
      !answer.contains("data") || !answer["data"].value("result", nlohmann::json()).is_array()) {
    std::fprintf(stderr, "prom_labels: not a successful query's answer: %s\n",
                 answer.is_discarded() ? "(no JSON)" : answer.dump().c_str());
    return 1;
  }
  std::vector<std::string> values;
  for (const nlohmann::json &series : answer["data"]["result"])
    values.push_back(series.value("metric", nlohmann::json::object()).value(label, "-"));
  std::sort(values.begin(), values.end());
  for (const std::string &value : values)
    std::printf("%s\n", value.c_str());
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fputs("usage: prom_labels LABEL <answer.json\n", stderr);
    return 2;
  }
  try {
    return print_labels(argv[1]);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "prom_labels: %s\n", error.what());
    return 1;
  }
}
