// Prints one label's value of every series in a Prometheus HTTP API query's
// answer (standard input), sorted, a line each; exit 1 if the query failed.
//
//   curl .../api/v1/query?query=pairdot_suspect_host | prom_labels host

#include <nlohmann/json.hpp>

#include <cstdio>
#include <exception>
#include <iostream>
#include <set>
#include <string>

int main(int argc, char **argv) {
  try {
    const nlohmann::json answer = nlohmann::json::parse(std::cin);
    if (argc != 2 || answer.at("status") != "success") {
      std::fprintf(stderr, "usage: prom_labels LABEL <answer; the answer: %s\n",
                   answer.dump().c_str());
      return 1;
    }
    std::multiset<std::string> values;
    for (const nlohmann::json &series : answer.at("data").at("result"))
      values.insert(series.at("metric").value(argv[1], "-"));
    for (const std::string &value : values)
      std::printf("%s\n", value.c_str());
    return 0;
  } catch (const std::exception &error) {
    std::fprintf(stderr, "prom_labels: %s\n", error.what());
    return 1;
  }
}
